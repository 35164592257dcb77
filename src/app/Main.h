// The compress dialog as plain C++: its named controls as value objects, the
// start-up steps, the file list, the archive name, the click handlers and
// the compress job. The Win32 dialog binds its windows to these objects; vix
// and the tests drive them directly.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/AppUtils.h"
#include "app/Progress.h"
#include "archive/kvtBase.h"

namespace vix::app {

// ---------------------------------------------------------------------------
// Controls

struct TControl {
  bool Enabled = true;
  bool Visible = true;
};

struct TEdit : TControl {
  std::string Text;
  char PasswordChar = 0;  // 0: the text is shown
  bool AllSelected = false;
};

struct TCheckBox : TControl {
  std::string Caption;
  bool Checked = false;
  std::function<void()> OnClick;
  // As a click does: the box's handler runs.
  void SetChecked(bool value) {
    Checked = value;
    if (OnClick) OnClick();
  }
};

struct TRadioGroup : TControl {
  std::string Caption;
  std::vector<std::string> Items;
  int ItemIndex = -1;
  int LastIndex() const { return static_cast<int>(Items.size()) - 1; }
};

struct TTabSheet {
  std::string Caption;
  bool TabVisible = true;
};

struct TPageControl : TControl {
  std::vector<TTabSheet> Pages;
  int ActivePageIndex = 0;  // -1: no page selected
};

// ---------------------------------------------------------------------------
// Placement

struct TRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};
// The middle of the screen (div truncating toward zero).
TPoint CentreOnScreen(int screenWidth, int screenHeight, int width, int height);
// The dialog centred on the drop window, then kept on the screen
// (horizontally first).
TPoint CentreOnDropWindow(const TRect& drop, int width, int height, int screenWidth,
                          int screenHeight);

// ---------------------------------------------------------------------------
// What a job did, for front ends that report an outcome (vix).

struct TJobResult {
  bool Ran = false;          // a writer was started
  int Written = 0;           // files the writer wrote
  int Errors = 0;            // reports through OnError (and the job's own)
  bool Cancelled = false;    // the writer was stopped by the user
  bool Committed = false;    // a new archive file was put in place
  bool NamesStopped = false; // stopped at the name check: nothing was written
  std::string ArchiveFile;   // the name the archive has (or would have had)
};

// Reads a list file: one name per line (CR LF, CR or LF), a final break adds
// no entry, a NUL ends the text; UTF-8 after a byte-order mark, the system
// code page otherwise. False when the file cannot be read.
bool LoadListFile(const std::string& path, std::vector<std::string>& lines, std::string& reason);
std::vector<std::string> SplitListText(const std::string& bytes);

class TfrmCompress {
 public:
  TfrmCompress();
  ~TfrmCompress();
  TfrmCompress(const TfrmCompress&) = delete;
  TfrmCompress& operator=(const TfrmCompress&) = delete;

  // --- controls -------------------------------------------------------------
  std::string Caption;
  TRect Bounds{0, 0, 397, 314};
  int ScreenWidth = 1024, ScreenHeight = 768;
  TEdit edtArchiveFilename;
  TPageControl PageControl1;
  TRadioGroup grpLHACompressMethod, grpZipDeflateType, grpCAB_CompressType, grpTAR_CompressType;
  TRadioGroup grpStoredDirNames;
  TCheckBox chkVerify;  // under the path group: the writer checks what it wrote
  TCheckBox chkZIP_Password, chkZIP_ShowPassword, chkZIP_SFX, chkLZH_SFX;
  TEdit edtZIP_Password;

  // --- state ----------------------------------------------------------------
  std::vector<std::string> FileList;
  bool Cancelled = false;
  std::unique_ptr<TfrmProgress> frmProgress;
  TJobResult LastJob;

  // --- front-end hooks ------------------------------------------------------
  // The drop window for a start without arguments: shows it and, on a drop,
  // fills the names and its bounds and returns true.
  std::function<bool(std::vector<std::string>& dropped, TRect& drop)> ShowDropWindow;
  // The open-file dialog "書庫ファイルの選択": the chosen name, or false.
  std::function<bool(std::string& chosen)> RunOpenDialog;
  // Shows one error of the writer; the default is the dialog's message box.
  std::function<void(const std::string& FileName, const std::string& ExtendedMsg, int ECode)>
      ShowError;
  // The name check's question, with the names the archive cannot hold as
  // they are: true goes on. Unset: the dialog's Yes/No message box.
  std::function<bool(const std::vector<TNameNote>& Names)> ConfirmNames;
  // Called with the progress window once it is made, before it is shown.
  std::function<void(TfrmProgress&)> BindProgress;
  // Makes the page's writer; unset: the writer-choice table's.
  std::function<std::unique_ptr<TCompBase>(int page)> WriterFactory;
  // The settings file; empty: SettingsFileName().
  std::string SettingsPath;
  bool SaveSettingsOnDestroy = true;
  // Set when a save failed: the dialog's report, and the system's reason.
  std::string SettingsWriteError, SettingsWriteReason;

  // --- start-up and end -----------------------------------------------------
  // args: the command line without the program's name.
  void FormCreate(const std::vector<std::string>& args);
  void FormDestroy();
  void ReadFileList(const std::vector<std::string>& args);
  void LoadSettings();
  bool SaveSettings();

  // --- the file list and the archive name -----------------------------------
  void ExpandFileList();
  void AddSubFolders(const std::string& Folder, std::vector<std::string>& out);
  std::string DefaultArchiveDir() const;
  std::string DefaultArchiveName() const;
  std::string CompleteArchiveName(const std::string& Ext) const;

  // --- click handlers -------------------------------------------------------
  void btnSearchArchiveFileClick();
  void btnGoDeskTopClick();
  void chkZIP_PasswordClick();
  void chkZIP_ShowPasswordClick();
  void chkZIP_SFXClick();
  void btnCloseClick();
  // The compress job. May throw the writer's fatal error after the clean-up.
  void btnOKClick();

  // --- the writer's handlers ------------------------------------------------
  void CompressProgress(TCompBase& Sender, uint8_t ProgressByFile, uint8_t ProgressByArchive);
  void CompressError(TCompBase& Sender, const std::string& FileName,
                     const std::string& ExtendedMsg, const std::string& VolumeID, int ECode);
  void CompressBegin(TCompBase& Sender, const std::string& fName, int Count, bool& Extract);
  void CompressNameCheck(TCompBase& Sender, const std::vector<TNameNote>& Names, bool& Continue);
  void CompressReplaceFile(TCompBase& Sender, const std::string& OldFN, const std::string& FN,
                           TDateTime OldDate, TDateTime NewDate, uint64_t OldFileSize,
                           uint64_t NewFileSize, int OldAttr, int NewAttr, bool& Replace);

  // The dialog's text of an error report.
  static std::string ErrorMessage(const std::string& FileName, const std::string& ExtendedMsg,
                                  int ECode);
  // The dialog's question of the name check (at most kNamesShown names).
  static std::string NameCheckQuestion(const std::vector<TNameNote>& Names);
  static constexpr size_t kNamesShown = 20;

  bool Closed = false;

 private:
  std::string SettingsFile() const;
};

}  // namespace vix::app
