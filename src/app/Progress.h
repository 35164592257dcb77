// The progress window's state: two text lines, the bar, and the user's
// cancel request. The windows (Win32 or the terminal) show it; the guarded
// close is here so that every front end asks the same question.
#pragma once

#include <functional>
#include <string>

namespace vix::app {

inline constexpr char kCancelQuestion[] = "キャンセルしてもよろしいですか？";
inline constexpr char kLabelArchive[] = "書庫名： ";
inline constexpr char kLabelGathering[] = "ファイル一覧を取得中...";
inline constexpr char kLabelCompressing[] = "圧縮中： ";

class TfrmCompress;

class TfrmProgress {
 public:
  explicit TfrmProgress(TfrmCompress& owner) : owner_(owner) {}

  std::string Label1, Label2;
  int ProgressBar1 = 0;  // 0 to 100
  bool Visible = false;
  // Called after a change of a label or the bar, so that a view can redraw.
  std::function<void(const TfrmProgress&)> OnChange;

  void SetLabel1(const std::string& text);
  void SetLabel2(const std::string& text);
  void SetPosition(int percent);

  // The cancel button and the window's close box: never closes the window;
  // asks the question and leaves the answer in the dialog's Cancelled.
  void Button1Click();
  void FormCloseQuery(bool& CanClose);

 private:
  void Changed() {
    if (OnChange) OnChange(*this);
  }
  TfrmCompress& owner_;
};

// Yes to "キャンセルしてもよろしいですか？" through the message box.
bool AskCancel();

}  // namespace vix::app
