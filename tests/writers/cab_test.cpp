// The CAB writer over the bound cabinet library: the built-in one natively,
// the system's (Wine's) "cabinet.dll" in the Windows build. Cabinets are
// judged by the strict test reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/kvtNames.h"
#include "cabinet/cabreader.h"
#include "platform/platform.h"
#include "support/fault_platform.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/writer_run.h"
#include "writers/cabinet/fci.h"
#include "writers/kvtMakeCab.h"

namespace {

using namespace vix;
using test::Bytes;
using test::Noise;
using test::Words;

Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Rebinds the library for the length of a test and restores the real one.
struct LibraryRebind {
  explicit LibraryRebind(const char* name) { LoadCabinetLibrary(name); }
  ~LibraryRebind() { LoadCabinetLibrary(); }
};

class CabWriterTest : public test::WriterTest<TMakeCab> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CabinetAvailable) << "no cabinet library bound";
    cab.OnEnd = [this](TCompBase&, const std::string& file, bool ok) {
      ends.emplace_back(ExtractFileName(file), ok);
    };
    archive = dir.Join("out.cab");
    // A replaced cabinet goes to the recycle bin by default; tests that
    // check that use a fault platform, which keeps the real one clean.
    cab.DeleteOptions = doFinal;
  }
  // An existing cabinet at out.cab (made by another writer); its bytes.
  std::string OldCabinet() {
    dir.WriteFile("old/old.txt", "the old cabinet's only file");
    TMakeCab other(nullptr);
    other.SetFileSpec({dir.Join("old/old.txt")});
    other.SetArchiveFile(archive);
    EXPECT_EQ(other.Compress(), 1);
    return dir.ReadFile("out.cab");
  }
  // Names of the files and folders in `folder` of the scratch folder.
  std::vector<std::string> Listing(const std::string& folder = "") {
    std::vector<std::string> names;
    auto search = platform::Current().FindFirst(AppendBackslash(dir.Join(folder)), "*");
    for (platform::FindData found; search && search->Next(found);)
      if (found.Name[0] != '.') names.push_back(found.Name);
    std::sort(names.begin(), names.end());
    return names;
  }
  // The standard source tree below src/.
  void MakeTree() {
    dir.WriteFile("src/a.txt", Words(5000, 1));
    dir.WriteFile("src/sub/b.bin", Noise(100000, 2));
    dir.WriteFile("src/sub/empty", "");
    dir.WriteFile("src/日本/名前.txt", Words(70000, 3));
  }
  int Write(const std::string& spec = "src/*.*") {
    return RunKept({dir.Join(spec)}, archive, [](TMakeCab& c) { c.RecurseDirs = true; });
  }
  test::Cabinet Read() {
    test::Cabinet result;
    std::string why;
    EXPECT_TRUE(dir.Exists("out.cab")) << "no cabinet written";
    if (dir.Exists("out.cab")) {
      EXPECT_TRUE(test::ReadCabinet(AsBytes(dir.ReadFile("out.cab")), result, why)) << why;
    }
    return result;
  }

  TMakeCab& cab = writer;
  std::string archive;
  std::vector<std::pair<std::string, bool>> ends;
};

TEST_F(CabWriterTest, PropertiesAndTypeWords) {
  EXPECT_EQ(cab.ArcType(), atCab);
  cab.SetArcType(atZip);
  EXPECT_EQ(cab.ArcType(), atCab);
  EXPECT_EQ(cab.DefaultExt(), ".cab");
  EXPECT_TRUE(cab.FailOnIncompressible);
  EXPECT_EQ(cab.CompressMethod(), cmMsZip);
  EXPECT_EQ(cab.CompressionTypeWord(), 1);
  cab.SetCompressMethod(cmDeflate);
  EXPECT_EQ(cab.CompressMethod(), cmMsZip);
  cab.SetCompressMethod(cmLzx);
  EXPECT_EQ(cab.CompressionTypeWord(), 0x1503);
  EXPECT_EQ(cab.MethodName(), "Lzx");
  cab.SetLzxLevel(10);
  EXPECT_EQ(cab.LzxLevel(), 15);
  EXPECT_EQ(cab.CompressionTypeWord(), 0x0F03);
  cab.SetLzxLevel(30);
  EXPECT_EQ(cab.LzxLevel(), 21);
  cab.SetQuantumLevel(0);
  EXPECT_EQ(cab.QuantumLevel(), 1);
  cab.SetQuantumMemory(5);
  EXPECT_EQ(cab.QuantumMemory(), 10);
  cab.SetQuantumMemory(22);
  EXPECT_EQ(cab.QuantumMemory(), 21);
  cab.SetCompressMethod(cmQuantum);
  cab.SetQuantumLevel(7);
  EXPECT_EQ(cab.CompressionTypeWord(), 0x1571);  // memory 21, level 7, MSZIP nibble
  cab.QuantumType = ctLzx;
  EXPECT_EQ(cab.CompressionTypeWord(), 0x1573);
  cab.SetCompressMethod(cmStore);
  EXPECT_EQ(cab.CompressionTypeWord(), 0);
  EXPECT_EQ(cab.MethodName(), "Stored");
}

TEST_F(CabWriterTest, WritesEveryFileUnderItsStoredName) {
  MakeTree();
  for (TCompressMethod method : {cmStore, cmMsZip}) {
    SCOPED_TRACE(method);
    cab.SetCompressMethod(method);
    int reads = 0;
    cab.OnRead = [&](TCompBase&, uint32_t, int) { ++reads; };
    EXPECT_EQ(Write(), 4);
    EXPECT_TRUE(errors.Empty());
    const test::Cabinet result = Read();
    ASSERT_EQ(result.contents.size(), 4u);
    const std::string japanese = StoredNameForm("日本\\名前.txt", true, '\\').Bytes;
    EXPECT_EQ(result.contents.at("a.txt"), AsBytes(dir.ReadFile("src/a.txt")));
    EXPECT_EQ(result.contents.at("sub\\b.bin"), AsBytes(dir.ReadFile("src/sub/b.bin")));
    EXPECT_TRUE(result.contents.at("sub\\empty").empty());
    EXPECT_EQ(result.contents.at(japanese), AsBytes(dir.ReadFile("src/日本/名前.txt")));
    for (const auto& folder : result.folders) EXPECT_EQ(folder.type, method == cmStore ? 0u : 1u);
    const bool japaneseInUtf8 = StoredNameForm("日本\\名前.txt", true, '\\').Utf8;
    for (const auto& file : result.files) {
      // Where the OEM page lacks the Japanese name (Wine's default 437), it
      // is stored in UTF-8 and marked.
      const unsigned utf8 = japaneseInUtf8 && file.name == japanese ? fci::A_NAME_IS_UTF : 0;
      EXPECT_EQ(file.attribs, unsigned(fci::A_ARCH) | utf8) << file.name;
      EXPECT_NE(file.date, 0u) << file.name;
    }
    EXPECT_EQ(reads, 4);
  }
}

TEST_F(CabWriterTest, StampAndAttributesComeFromTheFile) {
  const std::string path = dir.WriteFile("src/ro.txt", "read only");
  ASSERT_TRUE(platform::Current().SetAttributes(path, platform::kAttrReadOnly));
  uint32_t stamp = 0;
  {
    auto file = platform::Current().OpenRead(path, platform::ShareMode::Read);
    ASSERT_TRUE(file);
    stamp = file->DosTime(1);
  }
  EXPECT_EQ(Write("src/ro.txt"), 1);
  const test::Cabinet result = Read();
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files[0].date, stamp >> 16);
  EXPECT_EQ(result.files[0].time, stamp & 0xFFFF);
  EXPECT_TRUE(result.files[0].attribs & fci::A_RDONLY);
  // Only read-only, hidden, system and archive are kept: 0x80 would mark
  // the name as UTF-8, 0x10 a folder.
  EXPECT_EQ(result.files[0].attribs & ~0x27u, 0u);
  platform::Current().SetAttributes(path, platform::kAttrArchive);
}

TEST_F(CabWriterTest, UntranslatedNamesAreMarkedAsUtf8) {
  MakeTree();
  cab.TranslateOemChar = false;
  EXPECT_EQ(Write(), 4);
  for (const auto& file : Read().files) {
    const bool ascii = std::all_of(file.name.begin(), file.name.end(),
                                   [](char c) { return static_cast<uint8_t>(c) < 0x80; });
    EXPECT_EQ((file.attribs & fci::A_NAME_IS_UTF) != 0, !ascii) << file.name;
    EXPECT_TRUE(ascii || file.name == "日本\\名前.txt") << file.name;
  }
}

// Names the OEM code page cannot hold are stored in UTF-8 and marked, the
// others in the code page as before.
TEST_F(CabWriterTest, NamesOutsideTheCodePageAreStoredInUtf8AndMarked) {
  if (platform::OemCodePage() != 932) GTEST_SKIP() << "OEM code page is not 932";
  dir.WriteFile("src/日本語.txt", "japanese");
  dir.WriteFile("src/한국어.txt", "korean");
  dir.WriteFile("src/emoji😀.txt", "emoji");
  dir.WriteFile("src/plain.txt", "ascii");
  EXPECT_EQ(Write(), 4);
  EXPECT_TRUE(errors.Empty());
  std::map<std::string, std::pair<bool, Bytes>> found;
  const test::Cabinet result = Read();
  for (const auto& file : result.files)
    found[file.name] = {(file.attribs & fci::A_NAME_IS_UTF) != 0, result.contents.at(file.name)};
  const std::map<std::string, std::pair<bool, Bytes>> expected = {
      {platform::Utf8ToOem("日本語.txt"), {false, AsBytes("japanese")}},
      {"한국어.txt", {true, AsBytes("korean")}},
      {"emoji😀.txt", {true, AsBytes("emoji")}},
      {"plain.txt", {false, AsBytes("ascii")}}};
  EXPECT_EQ(found, expected);
}

TEST_F(CabWriterTest, ARejectedTypeIsReportedAndTheOtherFilesWritten) {
  MakeTree();
  // Quantum: its type word carries a Quantum level beside the type nibble
  // QuantumType gives (LZX or MSZIP), which the library refuses.
  for (TCompressionType nibble : {ctLzx, ctMsZip}) {
    const TCompressMethod rejected = cmQuantum;
    SCOPED_TRACE(nibble == ctLzx ? "lzx nibble" : "mszip nibble");
    errors.Clear();
    ends.clear();
    cab.QuantumType = nibble;
    cab.OnBegin = [&](TCompBase&, const std::string& file, int, bool&) {
      cab.SetCompressMethod(ExtractFileName(file) == "a.txt" ? rejected : cmMsZip);
    };
    const int written = Write();
#ifdef _WIN32
    // A system library that writes the word as asked takes the file; one
    // that would write something else (Wine's stores it) is refused like
    // the built-in library refuses.
    if (errors.Empty()) {
      EXPECT_EQ(written, 4);
      EXPECT_EQ(Read().contents.at("a.txt"), AsBytes(dir.ReadFile("src/a.txt")));
      continue;
    }
#endif
    EXPECT_EQ(written, 3);
    ASSERT_EQ(errors.Reports.size(), 1u);
    EXPECT_EQ(errors.Reports[0].Code, kErrUnsupported);
    EXPECT_EQ(ExtractFileName(errors.Reports[0].File), "a.txt");
    EXPECT_NE(errors.Reports[0].Extended.find("Cabinet error 5"), std::string::npos);
    const test::Cabinet result = Read();
    EXPECT_EQ(result.contents.size(), 3u);
    EXPECT_FALSE(result.contents.count("a.txt"));
    for (auto& [name, ok] : ends) EXPECT_EQ(ok, name != "a.txt") << name;
  }
}

TEST_F(CabWriterTest, AMissingLibraryIsReportedAndNothingWritten) {
  MakeTree();
  {
    LibraryRebind missing("vix-no-such-cabinet.dll");
    EXPECT_FALSE(CabinetAvailable);
    EXPECT_EQ(Write(), 0);
  }
  EXPECT_TRUE(CabinetAvailable);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrCabinetLibrary});
  EXPECT_FALSE(dir.Exists("out.cab"));
}

TEST_F(CabWriterTest, ANameTheLibraryCannotHoldIsReported) {
  // The cabinet parameters hold 255 bytes of the name: no cut name is used.
  MakeTree();
  archive = dir.Join(std::string(300, 'c') + ".cab");
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
}

// A stored name the cabinet cannot hold is reported with the limit, by the
// file's name; the other files are written.
TEST_F(CabWriterTest, AFileWhoseNameIsTooLongIsReportedWithTheLimit) {
  MakeTree();
  const std::string longName = "src/" + std::string(120, 'd') + "/" + std::string(140, 'e');
  dir.WriteFile(longName, "long");
  dir.WriteFile("src/" + std::string(120, 'd') + "/" + std::string(130, 'f'), "fits");
  EXPECT_EQ(Write(), 5);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
  EXPECT_EQ(errors.Reports[0].File, dir.Join(longName));
  EXPECT_NE(errors.Reports[0].Extended.find("261 bytes; at most 255 fit"), std::string::npos)
      << errors.Reports[0].Extended;
  EXPECT_EQ(Read().contents.size(), 5u);
}

TEST_F(CabWriterTest, AReadOnlyCabinetIsLeftUntouchedWithoutAHandler) {
  const std::string old = OldCabinet();
  MakeTree();
  ASSERT_TRUE(platform::Current().SetAttributes(archive, platform::kAttrReadOnly));
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_EQ(dir.ReadFile("out.cab"), old);
  EXPECT_TRUE(platform::Current().GetAttributes(archive) & platform::kAttrReadOnly);

  // A handler that allows the write: the cabinet is made anew.
  errors.Clear();
  cab.OnNonWriteableArchive = [](TCompBase&, const std::string&, bool& write) { write = true; };
  EXPECT_EQ(Write(), 4);
  EXPECT_TRUE(errors.Empty());
  EXPECT_EQ(Read().contents.size(), 4u);
}

// An existing cabinet stays as it is until its replacement is complete, and
// then goes by the DeleteOptions rule (to the recycle bin by default), so
// that a user who meant to add to it can get it back.
TEST_F(CabWriterTest, AnExistingCabinetIsReplacedOnlyByACompleteOne) {
  const std::string old = OldCabinet();
  MakeTree();
  cab.DeleteOptions = doAllowUndo;
  {
    // The old one cannot be moved away: it stays, and the new one goes.
    test::FaultPlatform faults;
    platform::ScopedPlatform use(faults);
    faults.FailRecycleFile(test::FaultPlatform::Fail::Always);
    EXPECT_EQ(Write(), 0);
    EXPECT_FALSE(cab.OldCabinetReplaced);
  }
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_EQ(dir.ReadFile("out.cab"), old);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"old", "out.cab", "src"}));

  // The new one cannot take the name once the old one is gone: it is kept
  // under the name the report gives.
  errors.Clear();
  {
    test::FaultPlatform faults;
    platform::ScopedPlatform use(faults);
    faults.FailMoveFile(test::FaultPlatform::Fail::Always);
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(faults.Recycled, std::vector<std::string>{archive});
  }
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  const std::vector<std::string> left = Listing();
  ASSERT_EQ(left.size(), 3u);
  EXPECT_NE(errors.Reports[0].Extended.find(dir.Join(left[0])), std::string::npos)
      << errors.Reports[0].Extended;
  EXPECT_EQ(dir.ReadFile(left[0]).substr(0, 4), "MSCF");
  platform::Current().MoveFile(dir.Join(left[0]), archive);

  errors.Clear();
  const std::string previous = dir.ReadFile("out.cab");
  {
    test::FaultPlatform faults;
    platform::ScopedPlatform use(faults);
    EXPECT_EQ(Write(), 4);
    EXPECT_EQ(faults.Recycled, std::vector<std::string>{archive});
  }
  EXPECT_TRUE(cab.OldCabinetReplaced);
  EXPECT_TRUE(errors.Empty());
  EXPECT_EQ(Read().contents.size(), 4u);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"old", "out.cab", "src"}));
}

// Fault mended: any file at the cabinet's name was overwritten, a picture
// named x.cab as much as one of the inputs. Only a cabinet is replaced.
TEST_F(CabWriterTest, AFileThatIsNotACabinetIsLeftAsItIs) {
  MakeTree();
  std::string header = OldCabinet().substr(0, 36);
  std::string badReserved = header;
  badReserved[4] = 1;
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + Noise(300, 9);
  for (const std::string& content :
       {png, std::string(), std::string("MSCF"), badReserved, Words(3000, 5)}) {
    errors.Clear();
    dir.WriteFile("out.cab", content);
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
    EXPECT_EQ(dir.ReadFile("out.cab"), content);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"old", "out.cab", "src"}));
  }
  // One of the inputs named as the cabinet.
  errors.Clear();
  archive = dir.Join("src/a.txt");
  const std::string input = dir.ReadFile("src/a.txt");
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_EQ(dir.ReadFile("src/a.txt"), input);
}

// Fault mended: a cabinet written into the folder it gathers stored its
// own earlier self and the library's temporary files.
TEST_F(CabWriterTest, ACabinetInItsInputFolderHoldsNeitherItselfNorTemporaryFiles) {
  MakeTree();
  archive = dir.Join("src/out.cab");
#ifndef _WIN32
  // The library's temporary files in the gathered folder too.
  test::ScopedEnv temp("TMPDIR", dir.Join("src").c_str());
#endif
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    errors.Clear();
    EXPECT_EQ(Write(), 4);
    EXPECT_TRUE(errors.Empty());
    test::Cabinet result;
    std::string why;
    ASSERT_TRUE(test::ReadCabinet(AsBytes(dir.ReadFile("src/out.cab")), result, why)) << why;
    std::vector<std::string> names;
    for (auto& [name, data] : result.contents) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub\\b.bin", "sub\\empty",
                                               StoredNameForm("日本\\名前.txt", true, '\\').Bytes}));
  }
  EXPECT_EQ(Listing("src"), (std::vector<std::string>{"a.txt", "out.cab", "sub", "日本"}));
}

TEST_F(CabWriterTest, ACancelledRunLeavesTheCabinetAsItWas) {
  const std::string old = OldCabinet();
  MakeTree();
  int files = 0;
  cab.OnEnd = [&](TCompBase& sender, const std::string&, bool) {
    if (++files == 2) sender.SetCancel(true);
  };
  {
    test::FaultPlatform faults;
    platform::ScopedPlatform use(faults);
    cab.DeleteOptions = doAllowUndo;
    EXPECT_EQ(Write(), 0);
    EXPECT_EQ(faults.RecycleCalls, 0);
    EXPECT_FALSE(cab.OldCabinetReplaced);
  }
  EXPECT_EQ(dir.ReadFile("out.cab"), old);
  ASSERT_TRUE(platform::Current().DeleteFile(archive));
  files = 0;
  cab.OnEnd = [&](TCompBase& sender, const std::string&, bool) {
    if (++files == 2) sender.SetCancel(true);
  };
  EXPECT_EQ(Write(), 0);
  EXPECT_FALSE(dir.Exists("out.cab"));

  // A cancel in the middle of a large file stops the library at its next
  // block (the status callback aborts), not after the whole file.
  dir.WriteFile("big/big.txt", Words(1000000, 4));
  cab.OnEnd = nullptr;
  int progress = 0;
  cab.OnProgress = [&](TCompBase& sender, uint8_t, uint8_t) {
    if (++progress == 3) sender.SetCancel(true);
  };
  errors.Clear();
  EXPECT_EQ(Write("big/*.*"), 0);
  EXPECT_FALSE(dir.Exists("out.cab"));
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUserCanceled});
#ifndef _WIN32
  EXPECT_LT(progress, 10) << "the library read on after the cancel";
#endif
}

// With the blocks compressed on worker threads the cabinet is the bytes of a
// one-thread run, and a cancel in the middle of a large file still stops at
// the next block, keeps the old cabinet and leaves nothing behind.
TEST_F(CabWriterTest, ThreadsChangeNeitherTheCabinetNorACancel) {
  dir.WriteFile("big/big.txt", Words(1500000, 4));
  dir.WriteFile("big/noise.bin", Noise(300000, 5));
  std::vector<std::string> written;
  for (unsigned threads : {1u, 2u, 8u}) {
    cab.Threads = threads;
    ASSERT_EQ(Write("big/*.*"), 2) << threads;
    written.push_back(dir.ReadFile("out.cab"));
  }
  EXPECT_TRUE(written[1] == written[0]);
  EXPECT_TRUE(written[2] == written[0]);
  for (unsigned threads : {2u, 8u}) {
    SCOPED_TRACE(threads);
    int progress = 0;
    cab.Threads = threads;
    cab.OnProgress = [&](TCompBase& sender, uint8_t, uint8_t) {
      if (++progress == 5) sender.SetCancel(true);
    };
    errors.Clear();
    EXPECT_EQ(Write("big/*.*"), 0);
    EXPECT_TRUE(dir.ReadFile("out.cab") == written[0]);
    EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUserCanceled});
    // The stop is seen when the next block is written: the workers may hold
    // two blocks each, read before it.
    EXPECT_LE(progress, 5 + 2 * int(threads) + 2) << "the library went on after the cancel";
    EXPECT_EQ(Listing(), (std::vector<std::string>{"big", "out.cab"}));
  }
}

TEST_F(CabWriterTest, AFileThatCannotBeOpenedIsReportedOnce) {
  MakeTree();
  const std::string gone = dir.Join("src/sub/b.bin");
  cab.OnBegin = [&](TCompBase&, const std::string& file, int, bool&) {
    if (file == gone) platform::Current().DeleteFile(gone);
  };
  EXPECT_EQ(Write(), 3);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
  EXPECT_EQ(errors.Reports[0].File, gone);
  EXPECT_EQ(Read().contents.size(), 3u);
}

// A source whose read fails part-way is reported once as a read failure and
// not counted; the other files are written. The built-in library drops the
// file; a system library may keep a cut entry of it, so only the count and
// the report are common to both.
TEST_F(CabWriterTest, AFileWhoseReadFailsIsReportedAndNotCounted) {
  MakeTree();
  for (TCompressMethod method : {cmStore, cmMsZip}) {
    for (bool error : {true, false}) {  // a read error, or a file that shrank
      SCOPED_TRACE(std::to_string(method) + (error ? " read error" : " shrank"));
      errors.Clear();
      platform::Current().DeleteFile(archive);
      cab.SetCompressMethod(method);
      test::FaultPlatform faults;
      faults.CutReads("b.bin", 40000, error);
      platform::ScopedPlatform use(faults);
      EXPECT_EQ(Write(), 3);
      EXPECT_EQ(errors.Codes(), std::vector<int>{kErrOpen});
      ASSERT_FALSE(errors.Empty());
      EXPECT_EQ(errors.Reports[0].File, dir.Join("src/sub/b.bin"));
      const auto cabinet = Read();
#ifndef _WIN32
      EXPECT_EQ(cabinet.contents.size(), 3u);
      EXPECT_EQ(cabinet.contents.count("sub\\b.bin"), 0u);
#endif
    }
  }
}

// Handlers run inside the library's calls; what they raise must not pass
// through the library (on Windows a foreign C frame). It fails the file in
// the writer's count, while the library gets its bytes as read, so that no
// library stores a cut entry: the cabinet stays whole.
TEST_F(CabWriterTest, AnExceptionInAHandlerFailsOnlyItsFile) {
  MakeTree();
  std::string current;
  cab.OnBegin = [&](TCompBase&, const std::string& file, int, bool&) {
    current = ExtractFileName(file);
  };
  cab.OnProgress = [&](TCompBase&, uint8_t, uint8_t) {
    if (current == "b.bin") throw std::runtime_error("handler failed");
  };
  EXPECT_EQ(Write(), 3);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrWrite});
  EXPECT_EQ(errors.Reports[0].Extended, "handler failed");
  for (auto& [name, ok] : ends) EXPECT_EQ(ok, name != "b.bin") << name;
  const test::Cabinet result = Read();
  EXPECT_EQ(result.contents.size(), 4u);
  EXPECT_EQ(result.contents.at("sub\\b.bin"), AsBytes(dir.ReadFile("src/sub/b.bin")));
}

TEST_F(CabWriterTest, ProgressCountsTheSourcesOnly) {
  MakeTree();
  std::vector<uint8_t> byArchive;
  cab.OnProgress = [&](TCompBase&, uint8_t, uint8_t archive) { byArchive.push_back(archive); };
  EXPECT_EQ(Write(), 4);
  ASSERT_FALSE(byArchive.empty());
  EXPECT_TRUE(std::is_sorted(byArchive.begin(), byArchive.end()));
  EXPECT_EQ(byArchive.back(), 100);
  EXPECT_EQ(cab.BytesLeft, 0u);
}

TEST_F(CabWriterTest, ACabinetThatCannotBeCreatedCountsNoFile) {
  MakeTree();
  test::FaultPlatform faults;
  platform::ScopedPlatform use(faults);
  faults.FailCreate("out.cab");
  EXPECT_EQ(Write(), 0);
  ASSERT_EQ(errors.Reports.size(), 1u);
  EXPECT_EQ(errors.Reports[0].File, archive);
  EXPECT_FALSE(dir.Exists("out.cab"));
}

TEST_F(CabWriterTest, RenameAndNothingToWrite) {
  dir.WriteFile("src/a.txt", "alpha");
  cab.OnRenameFile = [](TCompBase&, const std::string&, std::string& name) { name = "z.txt"; };
  EXPECT_EQ(Write("src/a.txt"), 1);
  EXPECT_EQ(Read().contents.count("z.txt"), 1u);

  // A handler that keeps naming another file of the run (names stored as
  // the full paths of the entry list) is asked a bounded number of times,
  // and the run ends with both files under their own names.
  dir.WriteFile("src/b.txt", "beta");
  int asked = 0;
  cab.StoredDirNames = sdAbsolute;
  cab.OnRenameFile = [&](TCompBase&, const std::string&, std::string& name) {
    ++asked;
    name = "b.txt";
  };
  EXPECT_EQ(Write("src/*.txt"), 2);
  EXPECT_LE(asked, 100 + 1);
  EXPECT_EQ(Read().contents.size(), 2u);
  cab.StoredDirNames = sdRelative;

  // No file found: no cabinet, and an existing one stays.
  cab.OnRenameFile = nullptr;
  const std::string before = dir.ReadFile("out.cab");
  EXPECT_EQ(Write("src/*.none"), 0);
  EXPECT_EQ(dir.ReadFile("out.cab"), before);
  EXPECT_TRUE(errors.Empty());
}

// --- a system library that does not write what it is asked -----------------

// Stands in for a system library that accepts every type word but writes
// stored folders for all (as Wine's does for LZX and Quantum), from its
// `honest`-th added file on; the built-in library does the work.
struct StoringLibrary {
  static int& Honest() {
    static int honest = 0;
    return honest;
  }
  static fci::BOOL VIX_DIAMONDAPI AddFile(fci::HFCI h, char* source, char* name, fci::BOOL exec,
                                          fci::PFNFCIGETNEXTCABINET next, fci::PFNFCISTATUS status,
                                          fci::PFNFCIGETOPENINFO info, fci::TCOMP type) {
    const bool honest = Honest()-- > 0;
    return fci::FCIAddFile(h, source, name, exec, next, status, info,
                           honest ? type : static_cast<fci::TCOMP>(fci::tcompTYPE_NONE));
  }
  explicit StoringLibrary(int honestAdds) {
    Honest() = honestAdds;
    TCabinetEntryPoints entries = BuiltinCabinetEntries();
    entries.FCIAddFile = AddFile;
    BindCabinetEntries(entries);
  }
  ~StoringLibrary() { LoadCabinetLibrary(); }
};

std::vector<fci::TCOMP> FolderTypes(const test::Cabinet& cabinet) {
  std::vector<fci::TCOMP> types;
  for (const auto& folder : cabinet.folders) types.push_back(static_cast<fci::TCOMP>(folder.type));
  return types;
}

TEST_F(CabWriterTest, ATypeTheSystemLibraryDoesNotWriteGoesToTheBuiltInOne) {
  MakeTree();
  StoringLibrary storing(0);
  ASSERT_TRUE(CabinetAvailable);
  EXPECT_FALSE(CabinetIsBuiltin());
  EXPECT_TRUE(CabinetHonoursType(fci::tcompTYPE_NONE));
  EXPECT_FALSE(CabinetHonoursType(fci::tcompTYPE_MSZIP));
  EXPECT_FALSE(CabinetHonoursType(0x1503));
  cab.SetCompressMethod(cmLzx);
  EXPECT_EQ(Write(), 4);
  EXPECT_TRUE(errors.Empty()) << errors.Reports.at(0).Extended;
  const test::Cabinet result = Read();
  EXPECT_EQ(FolderTypes(result), std::vector<fci::TCOMP>{0x1503});
  EXPECT_EQ(result.contents.at("sub\\b.bin"), AsBytes(dir.ReadFile("src/sub/b.bin")));
  EXPECT_EQ(result.contents.at("a.txt"), AsBytes(dir.ReadFile("src/a.txt")));

  // A run the system library writes (stored) keeps it for the whole
  // cabinet: a file that asks for another type it would not write is
  // refused, as the built-in library refuses a type it does not know.
  errors.Clear();
  cab.SetCompressMethod(cmStore);
  cab.OnBegin = [&](TCompBase&, const std::string& file, int, bool&) {
    cab.SetCompressMethod(ExtractFileName(file) == "a.txt" ? cmLzx : cmStore);
  };
  EXPECT_EQ(Write(), 3);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_EQ(ExtractFileName(errors.Reports.at(0).File), "a.txt");
  EXPECT_NE(errors.Reports.at(0).Extended.find("Cabinet error 5"), std::string::npos);
  const test::Cabinet stored = Read();
  EXPECT_EQ(FolderTypes(stored), std::vector<fci::TCOMP>{0});
  EXPECT_FALSE(stored.contents.count("a.txt"));
}

// The probe may be right and the run still not: a cabinet whose folders are
// not of the asked type is reported and not kept, and the old one stays.
TEST_F(CabWriterTest, ACabinetNotWrittenAsAskedIsReportedAndNotKept) {
  const std::string old = OldCabinet();
  MakeTree();
  StoringLibrary storing(1);  // honest for the probe's file only
  cab.SetCompressMethod(cmMsZip);
  EXPECT_EQ(Write(), 0);
  ASSERT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_NE(errors.Reports.at(0).Extended.find("type word 0x0000"), std::string::npos)
      << errors.Reports.at(0).Extended;
  EXPECT_EQ(dir.ReadFile("out.cab"), old);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"old", "out.cab", "src"}));
  // Without an old cabinet nothing is left either.
  ASSERT_TRUE(platform::Current().DeleteFile(archive));
  StoringLibrary again(1);
  errors.Clear();
  EXPECT_EQ(Write(), 0);
  EXPECT_EQ(errors.Codes(), std::vector<int>{kErrUnsupported});
  EXPECT_FALSE(dir.Exists("out.cab"));
}

// With the real bound library: Wine's writes no LZX itself, so this checks
// the hand-over under Wine and the built-in library natively.
TEST_F(CabWriterTest, LzxCabinetsAtEveryWindowAreWrittenAsAsked) {
  MakeTree();
  cab.SetCompressMethod(cmLzx);
  for (int window : {15, 21}) {
    SCOPED_TRACE(window);
    cab.SetLzxLevel(window);
    errors.Clear();
    EXPECT_EQ(Write(), 4);
    EXPECT_TRUE(errors.Empty());
    const test::Cabinet result = Read();
    ASSERT_FALSE(result.folders.empty());
    for (fci::TCOMP type : FolderTypes(result)) EXPECT_EQ(type, fci::TCOMPfromLZXWindow(window));
    EXPECT_EQ(result.contents.at("sub\\b.bin"), AsBytes(dir.ReadFile("src/sub/b.bin")));
  }
}

TEST(CabFolderTypes, ReadFromTheHeaderWithReserveAndCabinetNames) {
  // A header with 3 reserve bytes, 2 of folder reserve, the names of a
  // previous cabinet and disk, and two folders.
  Bytes cab(36, 0);
  std::memcpy(cab.data(), "MSCF", 4);
  cab[26] = 2;                    // folders
  cab[30] = 0x01 | 0x04;          // previous cabinet, reserve present
  Bytes rest = {3, 0, 2, 0, 'r', 'e', 's', 'p', '.', 'c', 'a', 'b', 0, 'd', 0};
  rest.insert(rest.end(), {0, 0, 0, 0, 1, 0, 0x03, 0x15, 0xAA, 0xBB});  // LZX 21
  rest.insert(rest.end(), {0, 0, 0, 0, 1, 0, 0x01, 0x00, 0xAA, 0xBB});  // MSZIP
  cab.insert(cab.end(), rest.begin(), rest.end());
  std::vector<fci::TCOMP> types;
  ASSERT_TRUE(ReadFolderTypes(cab.data(), cab.size(), types));
  EXPECT_EQ(types, (std::vector<fci::TCOMP>{0x1503, 0x0001}));
  // Cut inside the folder table, or without the signature: not a cabinet.
  EXPECT_FALSE(ReadFolderTypes(cab.data(), cab.size() - 1, types));
  cab[0] = 'X';
  EXPECT_FALSE(ReadFolderTypes(cab.data(), cab.size(), types));

  EXPECT_TRUE(FolderTypeMatches(0x1503, 0x1503));
  EXPECT_FALSE(FolderTypeMatches(0x1503, 0x1203));  // another window
  EXPECT_FALSE(FolderTypeMatches(0x1503, 0x0000));
  EXPECT_TRUE(FolderTypeMatches(0x1571, 0x0001));   // MSZIP takes no parameters
  EXPECT_FALSE(FolderTypeMatches(0x1572, 0x1072));  // Quantum's memory differs
}

TEST(CabFileHandler, HandlesAndErrors) {
  test::TempDir dir;
  TStreamCabinetFileHandler handler(nullptr);
  int err = 0;
  const std::string name = dir.Join("f.bin");
  const fci::INT_PTR h =
      handler.OpenCabFile(name, fci::O_RDWR_ | fci::O_CREAT_ | fci::O_EXCL_ | fci::O_BINARY_, err);
  ASSERT_NE(h, -1);
  EXPECT_EQ(handler.WriteCabFile(h, "0123456789", 10, err), 10u);
  EXPECT_EQ(handler.SeekCabFile(h, 4, fci::SEEK_SET_, err), 4);
  char buffer[16] = {};
  EXPECT_EQ(handler.ReadCabFile(h, buffer, 16, err), 6u);
  EXPECT_STREQ(buffer, "456789");
  EXPECT_EQ(handler.SeekCabFile(h, -2, fci::SEEK_END_, err), 8);
  EXPECT_EQ(handler.CloseCabFile(h, err), 0);
  EXPECT_EQ(err, 0);
  // A closed or unknown handle is an error, not an empty file.
  EXPECT_EQ(handler.ReadCabFile(h, buffer, 1, err), static_cast<fci::UINT>(-1));
  EXPECT_EQ(err, -1);
  EXPECT_EQ(handler.SeekCabFile(h, 0, fci::SEEK_SET_, err), -1);
  EXPECT_EQ(handler.OpenCabFile(dir.Join("missing"), fci::O_BINARY_, err), -1);
  EXPECT_NE(err, 0);
  // Creating replaces; opening for reading keeps.
  const fci::INT_PTR again = handler.OpenCabFile(name, fci::O_BINARY_, err);
  ASSERT_NE(again, -1);
  EXPECT_EQ(handler.ReadCabFile(again, buffer, 16, err), 10u);
  EXPECT_EQ(handler.OpenCount(), 1u);
  handler.DeleteCabFile(dir.Join("missing"), err);
  EXPECT_NE(err, 0);
}

TEST(CabFileHandler, AWriteThatDoesNotReachTheDiskIsAnError) {
  test::TempDir dir;
  test::FaultPlatform faults;
  platform::ScopedPlatform use(faults);
  faults.ShortWriteAfter(10);
  TStreamCabinetFileHandler handler(nullptr);
  int err = 0;
  const fci::INT_PTR h = handler.OpenCabFile(dir.Join("f.bin"), fci::O_RDWR_ | fci::O_CREAT_, err);
  ASSERT_NE(h, -1);
  const std::string data(100, 'x');
  int writeErr = 0, closeErr = 0;
  const bool shortWrite = handler.WriteCabFile(h, data.data(), 100, writeErr) != 100;
  const bool closeFailed = handler.CloseCabFile(h, closeErr) == -1;
  EXPECT_TRUE(shortWrite || closeFailed);
  EXPECT_TRUE(!shortWrite || writeErr != 0);
  EXPECT_TRUE(!closeFailed || closeErr != 0);
}

}  // namespace
