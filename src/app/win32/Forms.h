// The Win32 windows bound to the forms of src/app.
#pragma once

#include "app/win32/Win32Ui.h"

#include <exception>
#include <memory>

#include "app/Main.h"

namespace vix::app::win32 {

// Shows the drop window modally; on a drop fills the names and the window's
// bounds and returns true. Its position is read from and saved to the
// settings file.
bool ShowDropWindow(std::vector<std::string>& dropped, TRect& bounds, const std::string& settings);

class ProgressWindow {
 public:
  ProgressWindow(TfrmProgress& form, HWND owner);
  ~ProgressWindow();
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;
  HWND Handle() const { return hwnd_; }

 private:
  void Show(const TfrmProgress& f);
  TfrmProgress& form_;
  HWND hwnd_ = nullptr;
  std::string shown1_, shown2_;
  int bar_ = -1;
};

class CompressWindow {
 public:
  explicit CompressWindow(TfrmCompress& form);
  ~CompressWindow();
  CompressWindow(const CompressWindow&) = delete;
  CompressWindow& operator=(const CompressWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  SIZE Size() const;
  // The tabs of the visible pages, then the controls from the form.
  void FillTabs();
  void FromForm();
  void ToForm();
  bool RunOpenDialog(std::string& chosen);
  // An error a handler raised, for the application's top-level handler.
  void RethrowError();

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR Command(int id, int code);
  void Init();
  void ShowPage(int page);
  void Close();
  void RunJob();
  HWND Item(int id) const;
  static bool OnPage(int id);

  TfrmCompress& form_;
  HWND hwnd_ = nullptr;
  HWND tips_ = nullptr;
  std::vector<int> tabPages_;  // page index of each tab
  bool syncing_ = false;
  std::exception_ptr error_;
};

}  // namespace vix::app::win32
