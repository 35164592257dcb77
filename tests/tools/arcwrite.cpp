// arcwrite: drives one writer component directly. Used by the interop tests
// and by anyone checking archives by hand.
//
//   arcwrite FORMAT ARCHIVE [options] SPEC...
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/WriterChoice.h"
#include "archive/kvtBase.h"
#include "archive/kvtErrors.h"
#include "platform/platform.h"
#include "writers/kvtMakeCab.h"
#include "writers/kvtTar.h"
#include "../support/folder_disks.h"
#include "writers/kvtZipIT.h"
#include "writers/kvtZipSpan.h"

namespace {

using namespace vix;

const char kUsage[] =
    "usage: arcwrite FORMAT ARCHIVE [options] SPEC...\n"
    "  FORMAT      zip | lzh | tar | gzip | cab\n"
    "  --method M  zip: store|deflate   lzh: store|lh5|lh6   tar: tar|tgz\n"
    "              (tgz writes ARCHIVE.gz and replaces an existing one once it is complete)\n"
    "              cab: store|mszip|lzx|quantum (quantum passes the writer's Quantum type\n"
    "              word, 0x1571 by default: the built-in cabinet library refuses it, and\n"
    "              every file is reported as unsupported)\n"
    "  --lzx-level N  cab: LZX window bits, 15..21 (default 21)\n"
    "  --deflate T S|F|N|X (zip and gzip)\n"
    "  --paths P   none|absolute|absolute-nodrv|relative|relative-start|explorer\n"
    "  --default-dir DIR  --recurse  --empty-dirs  --password PW  --no-oem\n"
    "  --switch add|move|delete  --exclude PATTERN (repeatable)  --date file|sys|max\n"
    "  --split SIZE  zip: split segments ARCHIVE.z01, ... of SIZE bytes (k, M, G)\n"
    "  --span-disks DIR1,DIR2,... --disk-size N  zip: spanned over folders standing for\n"
    "              removable disks, inserted in this order into ARCHIVE's folder (the\n"
    "              drive); each disk holds N bytes; its label is printed at the end\n"
    "  --leave N   zip: bytes left free on the first disk\n"
    "  --threads N compress on N threads (0, the default: every core; 1: one)\n"
    "  --verify    read the written archive back and compare it with the sources before\n"
    "              it replaces anything\n"
    "\n"
    "Before writing, names the archive cannot hold as they are are listed, one\n"
    "a line: \"name utf-8: NAME\" (stored in UTF-8 and marked) or \"name left out:\n"
    "NAME: REASON\" (also reported as an error once the run goes on).\n"
    "\n"
    "SPEC is a file name or a wildcard in a folder (dir/*.txt). An --exclude\n"
    "PATTERN without a folder part (*.bak) leaves out files of that name in\n"
    "every folder; one with a folder part (sub/*.bak) only files in that\n"
    "folder, relative to the SPEC's folder as stored names are (or an absolute\n"
    "path). Wildcards: * any run of characters, ? one character; *.* matches\n"
    "only names with a dot. Case is ignored for a to z.\n"
    "\n"
    "SIGINT or SIGTERM cancels the run: its temporary files are removed, an\n"
    "existing archive stays as it was, and the exit status is 130 (143).\n";

template <typename T, size_t N>
int IndexOf(const T (&names)[N], const std::string& value) {
  for (size_t i = 0; i < N; ++i)
    if (value == names[i]) return static_cast<int>(i);
  return -1;
}

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "arcwrite: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

// The writer's cancel flag, set by SIGINT and SIGTERM. The run polls it
// and unwinds as after a cancel button, removing its temporary files.
bool* volatile gCancelFlag = nullptr;
volatile std::sig_atomic_t gSignal = 0;

extern "C" void OnStopSignal(int signal) {
  gSignal = signal;
  if (gCancelFlag) *gCancelFlag = true;
}

void CatchStopSignals() {
#ifdef _WIN32
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#else
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Reads and writes in progress go on; a second signal ends the process
  // at once (a later run removes what it leaves).
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  const std::string format = argv[1];
  if (format == "--help" || format == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) return Usage("missing ARCHIVE");
  auto writer = app::MakeWriter(format);
  if (!writer) return Usage(("format not available: " + format).c_str());
  const std::string archive = argv[2];

  std::vector<std::string> specs, excludes;
  std::string password;
  bool emptyDirs = false;
  std::vector<std::string> spanDisks;
  uint32_t diskSize = 0, splitSize = 0, leave = 0;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--method") {
      const char* v = value();
      if (!v) return Usage("--method needs a value");
      const app::TMethodInfo* m = app::FindMethod(format, v);
      if (!m) return Usage("unknown method for this format");
      app::ApplyMethod(*writer, *m);
    } else if (arg == "--lzx-level") {
      const char* v = value();
      const int level = v ? std::atoi(v) : 0;
      auto* cab = dynamic_cast<TMakeCab*>(writer.get());
      if (!cab || level < 15 || level > 21) return Usage("--lzx-level takes 15..21 (cab)");
      cab->SetLzxLevel(level);
    } else if (arg == "--deflate") {
      const char* v = value();
      static const char* const kTypes[] = {"S", "F", "N", "X"};
      const int t = v ? IndexOf(kTypes, v) : -1;
      if (t < 0) return Usage("--deflate takes S, F, N or X");
      writer->SetDeflateType(static_cast<TDeflateType>(t));
    } else if (arg == "--paths") {
      const char* v = value();
      static const char* const kModes[] = {"none",     "absolute",       "absolute-nodrv",
                                           "relative", "relative-start", "explorer"};
      const int m = v ? IndexOf(kModes, v) : -1;
      if (m < 0) return Usage("unknown --paths mode");
      writer->StoredDirNames = static_cast<TStoredDirNames>(m);
    } else if (arg == "--default-dir") {
      const char* v = value();
      if (!v) return Usage("--default-dir needs a folder");
      writer->SetDefaultDir(v);
    } else if (arg == "--recurse") {
      writer->RecurseDirs = true;
    } else if (arg == "--empty-dirs") {
      emptyDirs = true;
    } else if (arg == "--password") {
      const char* v = value();
      if (!v) return Usage("--password needs a value");
      password = v;
    } else if (arg == "--threads") {
      const char* v = value();
      const std::string s = v ? v : "";
      if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789") != std::string::npos)
        return Usage("--threads takes a number (0: every core)");
      writer->Threads = static_cast<unsigned>(std::atoi(v));
    } else if (arg == "--verify") {
      writer->Verify = true;
    } else if (arg == "--no-oem") {
      writer->TranslateOemChar = false;
    } else if (arg == "--switch") {
      const char* v = value();
      static const char* const kSwitches[] = {"add", "move", "delete"};
      const int s = v ? IndexOf(kSwitches, v) : -1;
      if (s < 0) return Usage("--switch takes add, move or delete");
      writer->Switch = static_cast<TSwitch>(s);
    } else if (arg == "--exclude") {
      const char* v = value();
      if (!v) return Usage("--exclude needs a pattern");
      excludes.push_back(v);
    } else if (arg == "--date") {
      const char* v = value();
      static const char* const kDates[] = {"file", "sys", "max"};
      const int d = v ? IndexOf(kDates, v) : -1;
      if (d < 0) return Usage("--date takes file, sys or max");
      writer->DateAttribute = static_cast<TDateAttribute>(d);
    } else if (arg == "--split") {
      const char* v = value();
      if (!v || !TZipSpan::ParseSplitSize(v, splitSize))
        return Usage("--split takes a size of 64k or more (bytes, or with k, M, G)");
    } else if (arg == "--span-disks") {
      const char* v = value();
      if (!v) return Usage("--span-disks needs folders");
      std::string list = v;
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        if (comma > at) spanDisks.push_back(list.substr(at, comma - at));
        at = comma + 1;
      }
    } else if (arg == "--disk-size" || arg == "--leave") {
      const char* v = value();
      char* end = nullptr;
      const unsigned long n = v ? std::strtoul(v, &end, 10) : 0;
      if (!v || *end != '\0' || n > 0xFFFFFFFFul) return Usage("a byte count is needed");
      (arg == "--leave" ? leave : diskSize) = static_cast<uint32_t>(n);
    } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      return Usage(("unknown option " + arg).c_str());
    } else {
      specs.push_back(arg);
    }
  }
  if (specs.empty() && writer->Switch != swDelete) return Usage("no SPEC given");

  if (!password.empty()) {
    auto* zip = dynamic_cast<TZip*>(writer.get());
    if (!zip) return Usage("--password is for zip archives");
    zip->Password = password;
  }
  auto* zip = dynamic_cast<TZip*>(writer.get());
  if ((splitSize || !spanDisks.empty() || leave) && !zip)
    return Usage("--split, --span-disks and --leave are for zip archives");
  if (!spanDisks.empty() && diskSize == 0) return Usage("--span-disks needs --disk-size");
  std::unique_ptr<vix::test::FolderDisks> disks;
  std::unique_ptr<platform::ScopedPlatform> useDisks;
  if (zip) {
    zip->SplitSize = splitSize;
    zip->LeaveSpaceOnFirstDisk = leave;
  }
  if (!spanDisks.empty()) {
    const std::string slot = ExtractFileDir(archive);
    disks = std::make_unique<vix::test::FolderDisks>(slot.empty() ? "." : slot, spanDisks,
                                                     diskSize);
    useDisks = std::make_unique<platform::ScopedPlatform>(*disks);
    zip->OnInsertDisk = [&](TCompBase&, const std::string& volume, bool& cancel) {
      cancel = !disks->InsertNext();
      std::printf("insert disk %s: %s\n", volume.c_str(),
                  cancel ? "no disk left, cancelled" : disks->CurrentDisk().c_str());
    };
    // A disk holding other files is taken as it is.
    zip->OnClearDisk = [](TCompBase&, const std::string&, uint32_t, uint32_t, uint32_t,
                          bool&) {};
  }
  if (emptyDirs) {
    writer->StoreEmptySubDirs = true;
    writer->FileAttribute().SetftDirectory(true);
  }

  int errors = 0;
  writer->OnError = [&](TCompBase&, const std::string& file, const std::string& extended,
                        const std::string&, int code) {
    ++errors;
    std::printf("error %d: %s: %s: %s\n", code, MessageText(code).c_str(), file.c_str(),
                extended.c_str());
    std::fflush(stdout);
  };
  writer->OnNameCheck = [](TCompBase&, const std::vector<TNameNote>& names, bool&) {
    for (const TNameNote& n : names) {
      if (n.LeftOut())
        std::printf("name left out: %s: %s\n", n.StoredName.c_str(), n.Reason.c_str());
      else
        std::printf("name utf-8: %s\n", n.StoredName.c_str());
    }
    std::fflush(stdout);
  };
  writer->OnReplaceFile = [](TCompBase&, const std::string&, const std::string&, TDateTime,
                             TDateTime, uint64_t, uint64_t, int, int,
                             bool& replace) { replace = true; };
  // TAR-GZIP output: an existing x.tgz.gz is replaced as an archive is.
  if (auto* tar = dynamic_cast<TTar*>(writer.get()))
    tar->OnFileExists = [](TCompBase&, const std::string&, TDateTime, int& mode) { mode = 0; };
  writer->SetFileSpec(specs);
  writer->SetExcludeSpec(excludes);
  writer->SetArchiveFile(archive);
  gCancelFlag = writer->CancelFlag;
  CatchStopSignals();
  // A run clears its cancel flag as it starts: a signal that came before
  // is taken up again here.
  writer->OnActivate = [](TCompBase& c) {
    if (gSignal) c.SetCancel(true);
  };

  // The file the user gets: TAR-GZIP output is ARCHIVE.gz.
  auto* tar = dynamic_cast<TTar*>(writer.get());
  const std::string result = writer->ArchiveFile() +
                             (tar && tar->CompressMethod() == cmGzipTar ? ".gz" : "");
  try {
    const int written = writer->Compress();
    if (gSignal) {
      std::fprintf(stderr, "arcwrite: cancelled by signal %d; %s is as it was\n",
                   static_cast<int>(gSignal), result.c_str());
      return 128 + gSignal;
    }
    // A delete run that removed every entry removed the archive with them.
    const std::string& out = writer->ArchiveFile();
    const bool archiveLeft = platform::Current().GetAttributes(out) != platform::kNoAttributes;
    std::string reason;
    if (format == "lzh" && written > 0 && archiveLeft && !app::AppendLzhEndMark(out, reason)) {
      std::printf("error: cannot append the end mark to %s: %s\n", writer->ArchiveFile().c_str(),
                  reason.c_str());
      ++errors;
    }
    // Not an error (an update may find nothing changed), but a silent run
    // after a mistyped spec would leave the user guessing.
    if (written == 0 && errors == 0)
      std::fprintf(stderr, "arcwrite: nothing written to %s (no file matched, or none changed)\n",
                   result.c_str());
  } catch (const std::exception& e) {
    std::printf("fatal: %s\n", e.what());
    return gSignal ? 128 + gSignal : 1;
  }
  for (const auto& disk : spanDisks) std::printf("label %s: %s\n", disk.c_str(), disks->Label(disk).c_str());
  return errors ? 1 : 0;
}
