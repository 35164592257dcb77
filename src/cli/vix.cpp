// vix: the compress dialog's job on the command line. The same dialog
// object runs it: options take the place of clicks, the progress window is
// a line on the terminal, and Ctrl-C is its cancel button.
//
//   vix [options] FILE...      vix [options] /SE LISTFILE
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/AppMessages.h"
#include "app/AppUtils.h"
#include "app/Main.h"
#include "app/Option.h"
#include "app/WriterChoice.h"
#include "archive/kvtErrors.h"
#include "archive/kvtNames.h"
#include "platform/platform.h"
#include "writers/kvtZipIT.h"

namespace {

using namespace vix;
using namespace vix::app;

constexpr char kVersion[] = "vix (Pelmoran Vix) 1.0";
enum ExitCode { kExitOk = 0, kExitErrors = 1, kExitUsage = 2, kExitCancelled = 130 };

volatile std::sig_atomic_t gInterrupts = 0;
extern "C" void OnInterrupt(int) {
  gInterrupts = gInterrupts + 1;
  std::signal(SIGINT, OnInterrupt);  // some systems reset the handler
}

struct Options {
  std::string Type, Method, Paths, Output, Password;
  uint32_t Split = 0;  // bytes per segment of a split ZIP archive
  unsigned Threads = 0;  // compression threads; 0: every core
  bool AskPassword = false, Quiet = false, SaveSettings = false;
  bool Verify = false;  // -T: the writer checks what it wrote
  bool Strict = false;  // a name the archive cannot hold as it is stops the run
  std::vector<std::string> Names;  // the dialog's command line
};

TLang gLang = TLang::En;

void Say(const std::string& text) {
  std::fputs(("vix: " + text + "\n").c_str(), stderr);
}

int Usage(const std::string& problem) {
  if (!problem.empty()) Say(problem);
  std::fputs(Text(TMsg::Usage, gLang).c_str(), stderr);
  return kExitUsage;
}

// The type an archive name asks for by its extension; "" for none we know.
std::string TypeOfName(const std::string& name) {
  const std::string lower = LowerAscii(name);
  const auto ends = [&](const char* ext) {
    const std::string e(ext);
    return lower.size() > e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".tgz") || ends(".tar.gz")) return "tgz";
  for (const char* t : {"lzh", "zip", "cab", "tar"})
    if (ends((std::string(".") + t).c_str())) return t;
  return "";
}

// Parses the options; the rest is the dialog's command line. Returns -1 to
// go on, or an exit code.
int Parse(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (a == "/SE") {
      // The list switch and everything after it go to the dialog's grammar.
      o.Names.insert(o.Names.end(), args.begin() + static_cast<long>(i), args.end());
      break;
    }
    if (a == "--") {
      o.Names.insert(o.Names.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (a == "--help" || a == "-h") {
      std::fputs(Text(TMsg::Usage, gLang).c_str(), stdout);
      return kExitOk;
    }
    if (a == "--install-desktop" || a == "--uninstall-desktop") {
      // The file manager's command for this vix: a launcher action and a
      // Nautilus script under $XDG_DATA_HOME.
      const std::string home = DesktopDataHome();
      std::error_code ec;
      const std::string self = std::filesystem::canonical("/proc/self/exe", ec).string();
      std::string reason = home.empty()   ? "neither XDG_DATA_HOME nor HOME is set"
                           : self.empty() ? "/proc/self/exe: " + ec.message()
                                          : "";
      const bool ok = reason.empty() &&
                      (a == "--install-desktop" ? InstallDesktopIntegration(home, self, reason)
                                                : UninstallDesktopIntegration(home, reason));
      if (!ok) std::fprintf(stderr, "vix: %s\n", reason.c_str());
      return ok ? kExitOk : kExitErrors;
    }
    if (a == "--version") {
      std::puts(kVersion);
      return kExitOk;
    }
    if (a == "-t" || a == "-m" || a == "-p" || a == "-o" || a == "-P") {
      std::string v;
      if (!value(v)) return Usage(a + ": a value is missing");
      (a == "-t" ? o.Type : a == "-m" ? o.Method : a == "-p" ? o.Paths : a == "-o" ? o.Output
                                                                            : o.Password) = v;
    } else if (a == "--split") {
      std::string v;
      if (!value(v) || !TZipSpan::ParseSplitSize(v, o.Split))
        return Usage("--split: a size of 64k or more (bytes, or a number with k, M or G)");
    } else if (a == "--threads") {
      std::string v;
      if (!value(v) || v.empty() || v.size() > 4 ||
          v.find_first_not_of("0123456789") != std::string::npos)
        return Usage("--threads: a number of threads (0 for every core)");
      o.Threads = static_cast<unsigned>(std::stoul(v));
    } else if (a == "-e") {
      o.AskPassword = true;
    } else if (a == "-q") {
      o.Quiet = true;
    } else if (a == "-T" || a == "--verify") {
      o.Verify = true;
    } else if (a == "--strict") {
      o.Strict = true;
    } else if (a == "--save-settings") {
      o.SaveSettings = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else {
      o.Names.push_back(a);
    }
  }
  if (o.Names.empty()) return Usage("no FILE given");
  return -1;
}

// Sets the dialog's controls as the options ask.
int Apply(const Options& o, TfrmCompress& form) {
  std::string type = o.Type;
  if (type.empty() && !o.Output.empty()) type = TypeOfName(o.Output);
  if (!type.empty()) {
    if (type == "tgz") {
      form.PageControl1.ActivePageIndex = pgTar;
      form.grpTAR_CompressType.ItemIndex = 1;
    } else if (type == "tar") {
      form.PageControl1.ActivePageIndex = pgTar;
      form.grpTAR_CompressType.ItemIndex = 0;
    } else {
      const TFormatInfo* f = FindFormat(type);
      if (!f || f->Page < 0) return Usage("-t: unknown type " + type);
      form.PageControl1.ActivePageIndex = f->Page;
    }
  }
  const int page = form.PageControl1.ActivePageIndex;
  const TFormatInfo* format = FormatOfPage(page);
  // The settings may select no page; vix then writes LZH, the first page.
  if (!format) {
    form.PageControl1.ActivePageIndex = pgLzh;
    format = FormatOfPage(pgLzh);
  }
  TRadioGroup* groups[] = {&form.grpLHACompressMethod, &form.grpZipDeflateType,
                           &form.grpCAB_CompressType, &form.grpTAR_CompressType};
  if (!o.Method.empty()) {
    const TMethodInfo* m = FindMethod(format->Name, o.Method);
    if (!m || m->Item < 0) return Usage("-m: " + o.Method + " is not a method of " + format->Name);
    groups[form.PageControl1.ActivePageIndex]->ItemIndex = m->Item;
  }
  if (!o.Paths.empty()) {
    static const char* const kPaths[] = {"relative", "absolute", "none"};
    int item = -1;
    for (int i = 0; i < 3; ++i)
      if (o.Paths == kPaths[i]) item = i;
    if (item < 0) return Usage("-p: use relative, absolute or none");
    form.grpStoredDirNames.ItemIndex = item;
  }
  if (o.Split > 0 && form.PageControl1.ActivePageIndex != pgZip)
    return Usage("--split is for ZIP archives");
  if (!o.Output.empty()) form.edtArchiveFilename.Text = o.Output;
  if (o.Verify) form.chkVerify.SetChecked(true);
  if (!o.Password.empty() || o.AskPassword) {
    if (form.PageControl1.ActivePageIndex != pgZip) return Usage(Text(TMsg::PasswordNotZip, gLang));
    std::string password = o.Password;
    if (o.AskPassword) {
      std::fputs(Text(TMsg::PasswordPrompt, gLang).c_str(), stderr);
      std::fflush(stderr);
      if (!platform::ReadSecretLine(password) || password.empty())
        return Usage("no password given");
    }
    form.chkZIP_Password.SetChecked(true);
    form.edtZIP_Password.Text = password;
  }
  return -1;
}

// The progress window as one line on the terminal.
class TerminalProgress {
 public:
  explicit TerminalProgress(bool shown) : shown_(shown) {}
  ~TerminalProgress() { Clear(); }
  void Show(const TfrmProgress& p) {
    if (!shown_) return;
    const int columns = platform::TerminalColumns();
    constexpr int kBar = 20;
    const int filled = p.ProgressBar1 * kBar / 100;
    char head[64];
    std::snprintf(head, sizeof head, "[%s%s] %3d%% ", std::string(filled, '#').c_str(),
                  std::string(kBar - filled, '.').c_str(), p.ProgressBar1);
    std::string line = head + p.Label2;
    line = FitColumns(line, columns - 1);
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) std::fputs("\r\x1b[K", stderr);
    drawn_ = false;
  }

 private:
  // Cuts UTF-8 text to about `columns` cells (wide characters count two).
  static std::string FitColumns(const std::string& s, int columns) {
    int used = 0;
    for (size_t i = 0; i < s.size();) {
      const auto c = static_cast<unsigned char>(s[i]);
      const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      const int cells = len >= 3 ? 2 : 1;
      if (used + cells > columns) return s.substr(0, i);
      used += cells;
      i += len;
    }
    return s;
  }
  bool shown_;
  bool drawn_ = false;
};

int Run(const std::vector<std::string>& args) {
  gLang = UserLanguage();
  Options o;
  const int parsed = Parse(args, o);
  if (parsed >= 0) return parsed;

  const bool interactive = platform::IsTerminal(0) && platform::IsTerminal(2);
  TerminalProgress bar(!o.Quiet && platform::IsTerminal(2));
  platform::ApplicationTitle() = kAppTitle;
  TfrmCompress* running = nullptr;

  // The cancel button: a Ctrl-C asks on a terminal; a second one before the
  // answer (or any without a terminal) cancels at once. An answer No starts
  // the count afresh. Seen at the writer's next report.
  int answered = 0;  // presses settled by an answer
  const auto pressed = [&] { return static_cast<int>(gInterrupts) - answered; };
  platform::Ui().PumpMessages = [&] {
    if (!running || pressed() == 0 || running->Cancelled) return;
    if (!interactive || pressed() >= 2 || !running->frmProgress) {
      running->Cancelled = true;
      return;
    }
    bar.Clear();
    running->frmProgress->Button1Click();
    if (pressed() >= 2) running->Cancelled = true;
    answered = gInterrupts;
  };
  platform::Ui().AskYesNo = [&](const std::string& text, const std::string&) {
    const std::string question =
        text == kCancelQuestion ? Text(TMsg::CancelQuestion, gLang) : text;
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!platform::ReadLineUnless(answer, [&] { return pressed() >= 2; }))
      return pressed() >= 2 ? platform::Answer::Yes : platform::Answer::No;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? platform::Answer::Yes
                                                                     : platform::Answer::No;
  };
  platform::Ui().MessageBox = [&](const std::string& text, const std::string&, platform::MsgIcon) {
    bar.Clear();
    Say(text);
  };

  TfrmCompress form;
  running = &form;
#ifdef _WIN32
  form.SettingsPath = SettingsFileFor(
      ExtractFilePath(platform::ProgramPath()) + kMainProgramName + ".EXE", UserSettingsDir());
#else
  form.SettingsPath = AppendBackslash(UserSettingsDir()) + kMainProgramName + ".INI";
#endif
  form.SaveSettingsOnDestroy = false;
  int errors = 0;
  form.ShowError = [&](const std::string& file, const std::string& extended, int code) {
    bar.Clear();
    Say(ErrorLine(file, extended, code, gLang));
  };
  // Names the archive cannot hold as they are: listed, then the run goes on
  // (or, with --strict, stops before writing anything).
  form.ConfirmNames = [&](const std::vector<TNameNote>& names) {
    bar.Clear();
    for (const TNameNote& n : names) Say(NameNoteLine(n, gLang));
    return !o.Strict;
  };
  form.BindProgress = [&](TfrmProgress& p) { p.OnChange = [&](const TfrmProgress& q) { bar.Show(q); }; };

  // A ZIP archive too large for its removable disk asks for disks here;
  // without a terminal to ask on, the answer is the safe one: stop.
  const auto askLine = [&](const std::string& question, std::string& answer) {
    bar.Clear();
    if (!interactive) {
      Say(question + ": no terminal to answer on, the archive is stopped");
      return false;
    }
    std::fprintf(stderr, "vix: %s ", question.c_str());
    std::fflush(stderr);
    return platform::ReadLineUnless(answer, [&] { return pressed() > 0; }) && pressed() == 0;
  };
  form.WriterFactory = [&](int page) {
    std::unique_ptr<TCompBase> writer = MakePageWriter(page);
    if (writer) writer->Threads = o.Threads;
    auto* zip = dynamic_cast<TZip*>(writer.get());
    if (!zip) return writer;
    zip->SplitSize = o.Split;
    // "c" cancels the run as Ctrl-C would.
    const auto cancels = [](TCompBase& s, const std::string& answer) {
      if (answer == "c" || answer == "C") s.SetCancel(true);
      return s.Cancel();
    };
    zip->OnInsertDisk = [&, cancels](TCompBase& s, const std::string& volume, bool& cancel) {
      std::string answer;
      cancel = !askLine("insert disk " + volume + " into " + s.DiskManager().Drive +
                            ", then press Enter (c to cancel):",
                        answer) ||
               cancels(s, answer);
    };
    zip->OnClearDisk = [&, cancels](TCompBase& s, const std::string& drive, uint32_t required,
                                    uint32_t free, uint32_t total, bool& cancel) {
      std::string answer;
      const bool asked = askLine(
          "the disk in " + drive + " holds other files (" + std::to_string(free) + " of " +
              std::to_string(total) + " bytes free, " + std::to_string(required) +
              " needed): delete some and press Enter to read it again, u to use it as it "
              "is, c to cancel:",
          answer);
      // Cancel asks for the disk to be read again; nothing freed stops the archive.
      cancel = !asked || cancels(s, answer) || !(answer == "u" || answer == "U");
    };
    return writer;
  };

  // Names that are not there are reported; the dialog would pass them on and
  // find nothing.
  form.FormCreate(o.Names);
  if (Application().Terminated) {
    const bool listSwitch = !o.Names.empty() && o.Names.size() >= 2 &&
                            o.Names[o.Names.size() - 2] == "/SE";
    if (listSwitch) {
      Say(Format(TMsg::ListFileUnreadable, gLang, o.Names.back()));
      return kExitErrors;
    }
    return Usage(Text(TMsg::ListFileUsage, gLang));
  }
  for (const std::string& line : form.FileList) {
    const bool wild = line.find_first_of("*?") != std::string::npos;
    if (!wild && platform::Current().GetAttributes(line) == platform::kNoAttributes) {
      Say(Format(TMsg::NoSuchName, gLang, line));
      ++errors;
    }
  }
  const int applied = Apply(o, form);
  if (applied >= 0) return applied;

  std::signal(SIGINT, OnInterrupt);
  int code = kExitOk;
  try {
    form.btnOKClick();
  } catch (const E_RAISE& e) {
    bar.Clear();
    if (!e.Reported) Say(e.what());
    ++errors;
  } catch (const std::exception& e) {
    bar.Clear();
    Say(e.what());
    ++errors;
  }
  std::signal(SIGINT, SIG_DFL);
  bar.Clear();
  const TJobResult& job = form.LastJob;
  errors += job.Errors;
  if (job.Cancelled) {
    Say(Text(TMsg::Cancelled, gLang));
    code = kExitCancelled;
  } else if (job.NamesStopped) {
    Say(Text(TMsg::NamesStopped, gLang));
    code = kExitErrors;
  } else if (errors > 0) {
    code = kExitErrors;
  } else if (!job.Committed) {
    Say(Format(TMsg::NothingWritten, gLang, job.ArchiveFile));
    code = kExitErrors;
  } else if (!o.Quiet && platform::IsTerminal(2)) {
    Say(Format(TMsg::Written, gLang, job.ArchiveFile, std::to_string(job.Written)));
  }
  if (o.SaveSettings) {
    ForceDirs(ExtractFileDir(form.SettingsPath));
    if (!form.SaveSettings()) {
      Say(Format(TMsg::SettingsNotSaved, gLang, form.SettingsPath, form.SettingsWriteReason));
      if (code == kExitOk) code = kExitErrors;
    }
  }
  running = nullptr;
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  return Run(vix::platform::ProgramArguments(argc, argv));
}
