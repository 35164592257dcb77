#include "app/Main.h"

#include "app/AppMessages.h"
#include "app/WriterChoice.h"
#include "archive/kvtNames.h"
#include "writers/kvtZipIT.h"

namespace vix::app {

namespace {

using platform::kNativeStyle;

constexpr char kWild[] = "*.*";
// Windows' reparse-point attribute: a junction or folder link is not entered.
constexpr uint32_t kAttrReparsePoint = 0x400;

bool IsFolder(const std::string& name) {
  const uint32_t a = platform::Current().GetAttributes(name);
  return a != platform::kNoAttributes && (a & platform::kAttrDirectory);
}

bool Exists(const std::string& name) {
  return platform::Current().GetAttributes(name) != platform::kNoAttributes;
}

// The first line without its trailing "\*.*".
std::string FirstLineWithoutWild(const std::vector<std::string>& list) {
  if (list.empty()) return "";
  std::string s = list.front();
  if (s.size() >= 3 && s.compare(s.size() - 3, 3, kWild) == 0)
    s.erase(s.size() >= 4 ? s.size() - 4 : 0);
  return s;
}

int Clamp(int value, int last) {
  if (value < -1) return -1;
  return value > last ? last : value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Placement

TPoint CentreOnScreen(int screenWidth, int screenHeight, int width, int height) {
  return {(screenWidth - width) / 2, (screenHeight - height) / 2};
}

TPoint CentreOnDropWindow(const TRect& drop, int width, int height, int screenWidth,
                          int screenHeight) {
  TPoint p{drop.Left - (width - drop.Width) / 2, drop.Top - (height - drop.Height) / 2};
  if (p.X < 0) p.X = 0;
  else if (p.X + width > screenWidth) p.X = screenWidth - width;
  if (p.Y < 0) p.Y = 0;
  else if (p.Y + height > screenHeight) p.Y = screenHeight - height;
  return p;
}

// ---------------------------------------------------------------------------
// The list file

std::vector<std::string> SplitListText(const std::string& bytes) {
  std::string text = bytes.substr(0, bytes.find('\0'));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);
  } else {
    text = platform::AnsiToUtf8(text);
  }
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  return lines;
}

bool LoadListFile(const std::string& path, std::vector<std::string>& lines, std::string& reason) {
  auto& os = platform::Current();
  auto file = os.OpenRead(path, platform::ShareMode::Read);
  if (!file) {
    reason = os.LastErrorText();
    return false;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const int64_t n = file->Read(buffer, sizeof buffer);
    if (n < 0) {
      reason = os.LastErrorText();
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  lines = SplitListText(bytes);
  return true;
}

// ---------------------------------------------------------------------------
// The dialog

TfrmCompress::TfrmCompress() {
  PageControl1.Pages = {{"LZH", true}, {"ZIP", true}, {"CAB", true}, {"TAR", false}};
  PageControl1.ActivePageIndex = 0;
  grpLHACompressMethod = {{}, "圧縮方法", {"無圧縮(&C)", "LH&5", "LH&6"}, 0};
  grpZipDeflateType = {{}, "圧縮方法", {"無圧縮(&C)", "Def: &F", "Def: &N", "Def: &X"}, 1};
  grpCAB_CompressType = {{}, "圧縮方式", {"無圧縮(&C)", "&MSZIP", "&LZX"}, 1};
  grpTAR_CompressType = {{}, "圧縮形式", {"無圧縮(&C)", "TAR-GZIP(&G)"}, 1};
  grpStoredDirNames = {{},
                       "パス名の扱い",
                       {"相対パスを格納する(&E)", "絶対パスを格納する(&R)",
                        "パス名を格納しない(&N)"},
                       0};
  chkZIP_Password.Caption = "パスワードを指定する(&P)";
  chkZIP_ShowPassword.Caption = "入力内容表示(&V)";
  chkZIP_SFX.Caption = chkLZH_SFX.Caption = "自己解凍書庫を作成する(&S)";
  chkVerify.Caption = "書き込み後に検査する(&T)";
  chkZIP_SFX.Visible = chkLZH_SFX.Visible = false;
  chkZIP_Password.OnClick = [this] { chkZIP_PasswordClick(); };
  chkZIP_ShowPassword.OnClick = [this] { chkZIP_ShowPasswordClick(); };
  chkZIP_SFX.OnClick = [this] { chkZIP_SFXClick(); };
}

TfrmCompress::~TfrmCompress() = default;

std::string TfrmCompress::SettingsFile() const {
  return SettingsPath.empty() ? SettingsFileName() : SettingsPath;
}

void TfrmCompress::FormCreate(const std::vector<std::string>& args) {
  FileList.clear();
  ReadFileList(args);
  ExpandFileList();
  LoadSettings();
  Caption = kAppTitle;
  chkZIP_PasswordClick();
  chkZIP_ShowPasswordClick();
  chkZIP_SFXClick();
}

void TfrmCompress::FormDestroy() {
  FileList.clear();
  if (SaveSettingsOnDestroy && !SaveSettings())
    AppMessageBox(SettingsWriteError, MB_OK_ | MB_ICONSTOP_);
}

void TfrmCompress::ReadFileList(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::vector<std::string> dropped;
    TRect drop;
    if (ShowDropWindow && ShowDropWindow(dropped, drop)) {
      const TPoint p =
          CentreOnDropWindow(drop, Bounds.Width, Bounds.Height, ScreenWidth, ScreenHeight);
      Bounds.Left = p.X;
      Bounds.Top = p.Y;
      FileList = dropped;
    } else {
      QuitApplication();
    }
    return;
  }
  const TPoint p = CentreOnScreen(ScreenWidth, ScreenHeight, Bounds.Width, Bounds.Height);
  Bounds.Left = p.X;
  Bounds.Top = p.Y;
  const size_t last = args.size() - 1;
  for (size_t i = 0; i < args.size();) {
    if (args[i] != "/SE") {
      FileList.push_back(args[i]);
      ++i;
      continue;
    }
    if (i + 1 == last && Exists(args[i + 1])) {
      std::vector<std::string> lines;
      std::string reason;
      if (LoadListFile(args[i + 1], lines, reason)) {
        FileList = lines;
        platform::Current().DeleteFile(args[i + 1]);
      } else {
        // The list could not be read: the names are unknown, so nothing runs.
        AppMessageBox(args[i + 1] + ": " + reason, MB_OK_ | MB_ICONSTOP_);
        QuitApplication();
      }
    } else {
      QuitApplication();
    }
    i += 2;
  }
}

void TfrmCompress::LoadSettings() {
  const TIniFile ini(SettingsFile());
  const int page = ini.ReadInteger("Common", "ActivePage", 0);
  PageControl1.ActivePageIndex = page >= 0 && page < kPageCount ? page : -1;
  grpStoredDirNames.ItemIndex =
      Clamp(ini.ReadInteger("Common", "StoredDirNames", 0), grpStoredDirNames.LastIndex());
  chkVerify.SetChecked(ini.ReadBool("Common", "Verify", false));
  grpLHACompressMethod.ItemIndex =
      Clamp(ini.ReadInteger("LZH", "CompressMethod", 0), grpLHACompressMethod.LastIndex());
  chkZIP_Password.SetChecked(ini.ReadBool("ZIP", "UsePassword", false));
  chkZIP_ShowPassword.SetChecked(ini.ReadBool("ZIP", "ShowPassword", false));
  grpZipDeflateType.ItemIndex =
      Clamp(ini.ReadInteger("ZIP", "DeflateType", 1), grpZipDeflateType.LastIndex());
  grpCAB_CompressType.ItemIndex =
      Clamp(ini.ReadInteger("CAB", "CompressType", 1), grpCAB_CompressType.LastIndex());
}

bool TfrmCompress::SaveSettings() {
  TIniFile ini(SettingsFile());
  const bool ok = ini.WriteInteger("Common", "ActivePage", PageControl1.ActivePageIndex) &&
                  ini.WriteInteger("Common", "StoredDirNames", grpStoredDirNames.ItemIndex) &&
                  ini.WriteBool("Common", "Verify", chkVerify.Checked) &&
                  ini.WriteInteger("LZH", "CompressMethod", grpLHACompressMethod.ItemIndex) &&
                  ini.WriteBool("ZIP", "UsePassword", chkZIP_Password.Checked) &&
                  ini.WriteBool("ZIP", "ShowPassword", chkZIP_ShowPassword.Checked) &&
                  ini.WriteInteger("ZIP", "DeflateType", grpZipDeflateType.ItemIndex) &&
                  ini.WriteInteger("CAB", "CompressType", grpCAB_CompressType.ItemIndex);
  if (!ok) {
    SettingsWriteReason = ini.Reason();
    SettingsWriteError = ini.FileName() + " に書き込めません (" + ini.Reason() + ")";
  }
  return ok;
}

void TfrmCompress::ExpandFileList() {
  if (FileList.empty()) return;
  edtArchiveFilename.Text = DefaultArchiveName();
  edtArchiveFilename.AllSelected = true;
  std::vector<std::string> expanded;
  for (const std::string& entry : FileList) {
    if (!entry.empty() && IsFolder(entry)) {
      expanded.push_back(StripTrailingDelimiter(entry) + kNativeStyle.Delim + kWild);
      AddSubFolders(StripTrailingDelimiter(entry), expanded);
    } else {
      expanded.push_back(entry);
    }
  }
  FileList = expanded;
}

void TfrmCompress::AddSubFolders(const std::string& Folder, std::vector<std::string>& out) {
  auto find = platform::Current().FindFirst(Folder, kWild);
  if (!find) return;
  platform::FindData data;
  while (find->Next(data)) {
    if (!(data.Attr & platform::kAttrDirectory) || data.Name == "." || data.Name == "..")
      continue;
    // A folder link could lead back up the tree; the search never follows
    // one on Linux, and on Windows a reparse point is not entered.
    if (data.Attr & kAttrReparsePoint) continue;
    const std::string sub = Folder + kNativeStyle.Delim + data.Name;
    out.push_back(sub + kNativeStyle.Delim + kWild);
    AddSubFolders(sub, out);
  }
}

std::string TfrmCompress::DefaultArchiveDir() const {
  return ExtractFileDir(FirstLineWithoutWild(FileList));
}

std::string TfrmCompress::DefaultArchiveName() const {
  // A folder given with a trailing delimiter still names the archive.
  const std::string first = StripTrailingDelimiter(FirstLineWithoutWild(FileList));
  return ChangeFileExt(FoundFileName(first), "");
}

std::string TfrmCompress::CompleteArchiveName(const std::string& Ext) const {
  std::string name = edtArchiveFilename.Text;
  if (name.empty()) name = DefaultArchiveName();
  if (ExtractFileDir(name).empty()) {
    // With no folder to go to (relative names), the archive stays a relative
    // name instead of landing in the root.
    const std::string dir = StripTrailingDelimiter(DefaultArchiveDir());
    if (!dir.empty() || DefaultArchiveDir() == std::string(1, kNativeStyle.Delim))
      name = dir + kNativeStyle.Delim + name;
  }
  if (ExtractFileExt(name).empty()) name += Ext;
  return name;
}

void TfrmCompress::btnSearchArchiveFileClick() {
  std::string chosen;
  if (RunOpenDialog && RunOpenDialog(chosen)) edtArchiveFilename.Text = chosen;
}

void TfrmCompress::btnGoDeskTopClick() {
  std::string name = ExtractFileName(edtArchiveFilename.Text);
  if (name.empty()) name = DefaultArchiveName();
  const std::string desktop = SpecialFolderDir(platform::kCsidlDesktopDirectory);
  edtArchiveFilename.Text = desktop.empty() ? name : AppendBackslash(desktop) + name;
  edtArchiveFilename.AllSelected = true;
}

void TfrmCompress::chkZIP_PasswordClick() {
  chkZIP_ShowPassword.Enabled = edtZIP_Password.Enabled = chkZIP_Password.Checked;
}

void TfrmCompress::chkZIP_ShowPasswordClick() {
  edtZIP_Password.PasswordChar = chkZIP_ShowPassword.Checked ? 0 : '*';
}

void TfrmCompress::chkZIP_SFXClick() {
  chkZIP_Password.Enabled = edtZIP_Password.Enabled = chkZIP_ShowPassword.Enabled =
      !chkZIP_SFX.Checked;
}

void TfrmCompress::btnCloseClick() { Closed = true; }

// ---------------------------------------------------------------------------
// The writer's handlers

void TfrmCompress::CompressProgress(TCompBase& Sender, uint8_t, uint8_t ProgressByArchive) {
  if (Cancelled) {
    Sender.SetCancel(true);
  } else if (frmProgress) {
    frmProgress->SetPosition(ProgressByArchive);
  }
}

std::string TfrmCompress::ErrorMessage(const std::string& FileName,
                                       const std::string& ExtendedMsg, int ECode) {
  return FileName + " を処理中にエラーが発生しました。\r\n\r\nERROR:\t" + MessageText(ECode) +
         "\r\n詳細:\t" + ExtendedMsg;
}

void TfrmCompress::CompressError(TCompBase&, const std::string& FileName,
                                 const std::string& ExtendedMsg, const std::string&, int ECode) {
  ++LastJob.Errors;
  if (ShowError) {
    ShowError(FileName, ExtendedMsg, ECode);
  } else {
    AppMessageBox(ErrorMessage(FileName, ExtendedMsg, ECode), MB_OK_ | MB_ICONSTOP_);
  }
}

void TfrmCompress::CompressBegin(TCompBase&, const std::string& fName, int, bool&) {
  if (frmProgress) frmProgress->SetLabel2(kLabelCompressing + fName);
}

std::string TfrmCompress::NameCheckQuestion(const std::vector<TNameNote>& Names) {
  std::string lines;
  for (size_t i = 0; i < Names.size() && i < kNamesShown; ++i)
    lines += NameNoteLine(Names[i], TLang::Ja) + "\r\n";
  if (Names.size() > kNamesShown)
    lines += Format(TMsg::NamesMore, TLang::Ja, std::to_string(Names.size() - kNamesShown)) +
             "\r\n";
  return Format(TMsg::NameQuestion, TLang::Ja, lines);
}

void TfrmCompress::CompressNameCheck(TCompBase&, const std::vector<TNameNote>& Names,
                                     bool& Continue) {
  Continue = ConfirmNames ? ConfirmNames(Names)
                          : AppMessageBox(NameCheckQuestion(Names), MB_YESNO_) == IDYES_;
  LastJob.NamesStopped = !Continue;
}

void TfrmCompress::CompressReplaceFile(TCompBase&, const std::string&, const std::string&,
                                       TDateTime, TDateTime, uint64_t, uint64_t, int, int,
                                       bool& Replace) {
  Replace = true;
}

// ---------------------------------------------------------------------------
// The job

namespace {

// The folder a TAR-GZIP run works in: beside the archive (so the finished
// file moves onto it without a copy), made by this run and removed with
// whatever is left in it.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& archive) {
    auto& os = platform::Current();
    for (int n = 0; n < 1000 && path_.empty(); ++n) {
      const std::string candidate = archive + ".~vix" + std::to_string(n);
      if (os.CreateDirectory(candidate)) path_ = candidate;
    }
  }
  ~WorkFolder() {
    if (path_.empty()) return;
    auto& os = platform::Current();
    std::vector<std::string> names;
    if (auto find = os.FindFirst(path_, "*")) {
      platform::FindData data;
      while (find->Next(data))
        if (!(data.Attr & platform::kAttrDirectory)) names.push_back(data.Name);
    }
    for (const auto& n : names) os.DeleteFile(path_ + kNativeStyle.Delim + n);
    os.RemoveDirectory(path_);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

void TfrmCompress::btnOKClick() {
  LastJob = TJobResult();
  if (FileList.empty()) return;
  const int page = PageControl1.ActivePageIndex;
  if (page < 0 || page >= kPageCount) return;
  std::unique_ptr<TCompBase> writer = WriterFactory ? WriterFactory(page) : MakePageWriter(page);
  if (!writer) return;
  const TRadioGroup* methods[kPageCount] = {&grpLHACompressMethod, &grpZipDeflateType,
                                            &grpCAB_CompressType, &grpTAR_CompressType};
  const int item = methods[page]->ItemIndex;
  ApplyPageMethod(*writer, page, item);
  const std::string ext = PageExtension(page, item);
  writer->StoredDirNames = StoredDirNamesOfItem(grpStoredDirNames.ItemIndex);
  writer->RecurseDirs = false;
  writer->Verify = chkVerify.Checked;
  writer->SetFileSpec(FileList);
  writer->SetArchiveFile(CompleteArchiveName(ext));
  const std::string archive = writer->ArchiveFile();
  LastJob.ArchiveFile = archive;

  writer->OnProgress = [this](TCompBase& s, uint8_t f, uint8_t a) { CompressProgress(s, f, a); };
  writer->OnError = [this](TCompBase& s, const std::string& f, const std::string& x,
                           const std::string& v, int c) { CompressError(s, f, x, v, c); };
  writer->OnBegin = [this](TCompBase& s, const std::string& f, int n, bool& e) {
    CompressBegin(s, f, n, e);
  };
  writer->OnReplaceFile = [this](TCompBase& s, const std::string& o, const std::string& f,
                                 TDateTime od, TDateTime nd, uint64_t os, uint64_t ns, int oa,
                                 int na, bool& r) {
    CompressReplaceFile(s, o, f, od, nd, os, ns, oa, na, r);
  };
  writer->OnNameCheck = [this](TCompBase& s, const std::vector<TNameNote>& names, bool& go) {
    CompressNameCheck(s, names, go);
  };
  auto* zip = dynamic_cast<TZip*>(writer.get());
  if (zip && page == pgZip && chkZIP_Password.Checked && !edtZIP_Password.Text.empty())
    zip->Password = edtZIP_Password.Text;
  // An archive larger than its removable disk goes over several disks; the
  // user is asked for each one (a front end may have answers of its own).
  if (zip && !zip->OnInsertDisk)
    zip->OnInsertDisk = [archive](TCompBase& s, const std::string& volume, bool& cancel) {
      const std::string text = "ディスク " + volume + " を " + s.DiskManager().Drive +
                               " に入れてください。\r\n\r\n" + ExtractFileName(archive) +
                               " のこの部分をこのディスクに書き込みますか?";
      cancel = AppMessageBox(text, MB_YESNO_) != IDYES_;
    };
  if (zip && !zip->OnClearDisk)
    zip->OnClearDisk = [](TCompBase&, const std::string& drive, uint32_t required,
                          uint32_t free, uint32_t total, bool& cancel) {
      const std::string text =
          drive + " のディスクには他のファイルがあります (空き " + std::to_string(free) + " / " +
          std::to_string(total) + " バイト、必要 " + std::to_string(required) +
          " バイト)。\r\n\r\nファイルを削除してから [はい] を選ぶとディスクを読み直します "
          "(何も削除していなければ書庫の作成を中止します)。[いいえ] はこのディスクをそのまま"
          "使います。";
      cancel = AppMessageBox(text, MB_YESNO_ | MB_ICONSTOP_) == IDYES_;
    };
  writer->SetDefaultDir(DefaultArchiveDir());

  frmProgress = std::make_unique<TfrmProgress>(*this);
  if (BindProgress) BindProgress(*frmProgress);
  frmProgress->SetLabel1(kLabelArchive + ExtractFileName(archive));
  frmProgress->SetLabel2(kLabelGathering);
  frmProgress->Visible = true;

  // Whatever happens below: the progress window goes and the run ends.
  struct EndOfJob {
    TfrmCompress& form;
    ~EndOfJob() {
      form.frmProgress.reset();
      QuitApplication();
    }
  } endOfJob{*this};

  auto& os = platform::Current();
  const bool existed = Exists(archive);
  // TAR-GZIP: the TAR file and its GZIP file are made in a work folder, and
  // only a finished GZIP file replaces the archive.
  const bool tgz = page == pgTar && writer->CompressMethod() == cmGzipTar;
  std::unique_ptr<WorkFolder> work;
  std::string workTar;
  if (tgz) {
    const uint32_t attr = os.GetAttributes(archive);
    if (attr != platform::kNoAttributes &&
        (attr & (platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem))) {
      CompressError(*writer, archive, "OnNonWriteableArchive", "0", kErrEventNotAssigned);
      return;
    }
    work = std::make_unique<WorkFolder>(archive);
    if (work->Path().empty()) {
      CompressError(*writer, archive, os.LastErrorText(), "0", kErrCreateDir);
      return;
    }
    workTar = work->Path() + kNativeStyle.Delim + ChangeFileExt(ExtractFileName(archive), ".tar");
    writer->SetArchiveFile(workTar);
  }

  writer->SetCancel(false);
  LastJob.Ran = true;
  LastJob.Written = writer->Compress();
  LastJob.Cancelled = writer->Cancel();

  if (LastJob.Cancelled) {
    // Only an archive this job made goes; one the user had stays as it was
    // (the writer commits nothing after a cancel).
    // Disks or segments written so far stay: the next one may not be there.
    const bool spanned = zip && zip->SpannedVolumes > 0;
    if (!existed && !spanned && Exists(archive)) os.DeleteFile(archive);
    return;
  }
  if (tgz) {
    const std::string gz = workTar + ".gz";
    if (Exists(gz)) {
      if (TCompBase::ReplaceFileWith(gz, archive)) {
        LastJob.Committed = true;
      } else {
        CompressError(*writer, archive, os.LastErrorText(), "0", kErrWrite);
      }
    }
    return;
  }
  // A run that wrote no file leaves the old archive in place (with its mark).
  // The CAB writer runs its own commit and counts no file when it failed.
  LastJob.Committed = LastJob.Written > 0 &&
                      (writer->PostCommit || page == pgCab || (zip && zip->SpannedComplete));
  // The LZH writer leaves the end mark to the job; an archive the run did not
  // rewrite has its mark already.
  if (page == pgLzh && LastJob.Committed) {
    std::string reason;
    if (!AppendLzhEndMark(archive, reason)) CompressError(*writer, archive, reason, "0", kErrWrite);
  }
}

}  // namespace vix::app
