// Moving, deleting, recycling, folders, temporary files and paths.
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "support/fault_platform.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <filesystem>

#include "support/scoped_env.h"
#endif

namespace vix::platform {
namespace {

#ifdef _WIN32
constexpr char kDelim = '\\';
#else
constexpr char kDelim = '/';
#endif

TEST(PlatformMove, MovesButNeverReplaces) {
  test::TempDir dir;
  const std::string from = dir.WriteFile("from.txt", "payload");
  const std::string taken = dir.WriteFile("taken.txt", "keep me");
  EXPECT_FALSE(Current().MoveFile(from, taken));
  EXPECT_EQ(dir.ReadFile("from.txt"), "payload");
  EXPECT_EQ(dir.ReadFile("taken.txt"), "keep me");

  EXPECT_TRUE(Current().MoveFile(from, dir.Join("sub-less.txt")));
  EXPECT_FALSE(dir.Exists("from.txt"));
  EXPECT_EQ(dir.ReadFile("sub-less.txt"), "payload");
  EXPECT_FALSE(Current().MoveFile(dir.Join("from.txt"), dir.Join("x.txt")));  // gone
  EXPECT_FALSE(Current().LastErrorText().empty());

  dir.MakeDir("folder/inner");
  EXPECT_TRUE(Current().MoveFile(dir.Join("folder"), dir.Join("renamed")));
  EXPECT_TRUE(dir.Exists("renamed/inner"));
}

TEST(PlatformDelete, DeletesFilesOnly) {
  test::TempDir dir;
  const std::string file = dir.WriteFile("f.txt", "f");
  const std::string folder = dir.MakeDir("folder");
  EXPECT_FALSE(Current().DeleteFile(folder));
  EXPECT_TRUE(dir.Exists("folder"));
  EXPECT_TRUE(Current().DeleteFile(file));
  EXPECT_FALSE(dir.Exists("f.txt"));
  EXPECT_FALSE(Current().DeleteFile(file));
}

TEST(PlatformFolders, CreateAndRemove) {
  test::TempDir dir;
  const std::string folder = dir.Join("new");
  EXPECT_TRUE(Current().CreateDirectory(folder));
  EXPECT_FALSE(Current().CreateDirectory(folder));
  EXPECT_FALSE(Current().CreateDirectory(dir.Join("no/parent")));
  dir.WriteFile("new/x", "x");
  EXPECT_FALSE(Current().RemoveDirectory(folder));  // not empty
  ASSERT_TRUE(Current().DeleteFile(dir.Join("new/x")));
  EXPECT_TRUE(Current().RemoveDirectory(folder));
  EXPECT_FALSE(dir.Exists("new"));
}

TEST(PlatformTemp, UniqueTempFilesAreNewEmptyAndPrefixed) {
  const std::string temp = Current().TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), kDelim);
  EXPECT_EQ(Current().GetAttributes(temp) & kAttrDirectory, uint32_t{kAttrDirectory});

  test::TempDir dir;
  const std::string a = Current().UniqueTempFile(dir.Path(), "kvt");
  const std::string b = Current().UniqueTempFile(dir.Path() + kDelim, "kvt");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  for (const std::string& path : {a, b}) {
    const std::string name = path.substr(path.find_last_of(kDelim) + 1);
    EXPECT_EQ(name.substr(0, 3), "kvt") << path;
    EXPECT_EQ(path.substr(0, dir.Path().size() + 1), dir.Path() + kDelim) << path;
    EXPECT_EQ(dir.ReadFile(name), "") << path;
  }
  EXPECT_EQ(Current().UniqueTempFile(dir.Join("missing"), "kvt"), "");
  // The name tells which process made it.
  const std::string name = a.substr(a.find_last_of(kDelim) + 1);
#ifdef _WIN32
  EXPECT_GT(TempFileOwner(name, "kvt"), 0) << name;
#else
  EXPECT_EQ(TempFileOwner(name, "kvt"), static_cast<long>(getpid())) << name;
#endif
  EXPECT_EQ(TempFileOwner("kvt12-x.tmp", "kvt"), 12);
  EXPECT_EQ(TempFileOwner("kvt12.tmp", "kvt"), 0);
  EXPECT_EQ(TempFileOwner("kvt-1.tmp", "kvt"), 0);
  EXPECT_EQ(TempFileOwner("kvt12-x.txt", "kvt"), 0);
}

// Both systems: a file of a process id that cannot exist goes once old.
TEST(PlatformTemp, StaleTempFilesOfAProcessThatIsGoneAreRemoved) {
  test::TempDir dir;
  const std::string gone = dir.WriteFile("kvt99999999-abc.tmp", "x");
  dir.WriteFile("kvt99999999-def.tmp", "x");
  dir.WriteFile("kvt99999999.tmp", "not one of ours");
  ASSERT_TRUE(Current().SetLastWriteTime(gone, static_cast<int64_t>(std::time(nullptr)) - 300));
  EXPECT_EQ(Current().RemoveStaleTempFiles(dir.Path(), "kvt", 60), 1);
  EXPECT_FALSE(dir.Exists("kvt99999999-abc.tmp"));
  EXPECT_TRUE(dir.Exists("kvt99999999-def.tmp"));
  EXPECT_TRUE(dir.Exists("kvt99999999.tmp"));
}

// A move to another volume (every folder is one here) that fails part-way
// leaves the original, no file under the target's name and no temporary
// copy beside it; one that works leaves the file under the target's name
// only.
TEST(PlatformMove, AMoveAcrossVolumesNeverLeavesAPartialFile) {
  test::TempDir dir;
  test::FaultPlatform faults;
  ScopedPlatform use(faults);
  faults.VolumePerFolder(true);
  const std::string from = dir.WriteFile("a/file.bin", std::string(100000, 'x'));
  const std::string to = dir.MakeDir("b") + kDelim + "file.bin";
  faults.DiskFullAfter(5000);
  EXPECT_FALSE(Current().MoveFile(from, to));
  EXPECT_EQ(Current().LastErrorCode(), DiskFullError());
  EXPECT_EQ(dir.ReadFile("a/file.bin"), std::string(100000, 'x'));
  EXPECT_EQ(Current().FindFirst(dir.Join("b"), "*.*") == nullptr, false);
  size_t inB = 0;
  auto search = Current().FindFirst(dir.Join("b"), "*");
  for (FindData d; search && search->Next(d);) inB += d.Name != "." && d.Name != "..";
  EXPECT_EQ(inB, 0u);

  faults.DiskFullAfter(test::FaultPlatform::kNoLimit);
  dir.WriteFile("b/taken.bin", "keep");
  EXPECT_FALSE(Current().MoveFile(from, dir.Join("b/taken.bin")));
  EXPECT_EQ(dir.ReadFile("b/taken.bin"), "keep");
  EXPECT_TRUE(Current().MoveFile(from, to));
  EXPECT_FALSE(dir.Exists("a/file.bin"));
  EXPECT_EQ(dir.ReadFile("b/file.bin"), std::string(100000, 'x'));
}

TEST(PlatformPaths, CurrentDirectoryFollowsSetCurrentDirectory) {
  test::TempDir dir;
  const std::string saved = Current().CurrentDirectory();
  ASSERT_FALSE(saved.empty());
  ASSERT_TRUE(Current().SetCurrentDirectory(dir.Path()));
  const std::string now = Current().CurrentDirectory();
  EXPECT_NE(now.back(), kDelim);
  // A relative name now lands in the folder.
  FileHandle file = Current().Create("rel.txt", true);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(Current().FullPath("rel.txt"), now + kDelim + "rel.txt");
  EXPECT_TRUE(Current().SetCurrentDirectory(saved));
  EXPECT_TRUE(dir.Exists("rel.txt"));
  EXPECT_FALSE(Current().SetCurrentDirectory(dir.Join("missing")));
  EXPECT_EQ(Current().CurrentDirectory(), saved);
}

TEST(PlatformPaths, FullPathResolvesDotsByText) {
  const std::string cwd = Current().CurrentDirectory();
#ifdef _WIN32
  EXPECT_EQ(Current().FullPath("C:\\a\\b\\..\\c\\.\\d"), "C:\\a\\c\\d");
  EXPECT_EQ(Current().FullPath("C:\\a\\..\\..\\b"), "C:\\b");
  EXPECT_EQ(Current().FullPath("C:\\a\\dir\\"), "C:\\a\\dir\\");
#else
  EXPECT_EQ(Current().FullPath("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(Current().FullPath("/a/../../b"), "/b");
  EXPECT_EQ(Current().FullPath("//a///dir/"), "/a/dir/");
  EXPECT_EQ(Current().FullPath("/.."), "/");
#endif
  EXPECT_EQ(Current().FullPath("x"), cwd + kDelim + "x");
  EXPECT_EQ(Current().FullPath(std::string("x") + kDelim + ".." + kDelim + "y"), cwd + kDelim + "y");
}

TEST(PlatformVolumes, TheTemporaryFolderIsAReadyFixedVolume) {
#ifdef _WIN32
  const std::string temp = Current().TempFolder().substr(0, 3);  // its drive root
#else
  const std::string temp = Current().TempFolder();
#endif
  std::string label = "stale";
  EXPECT_TRUE(Current().VolumeInformation(temp, label));
  EXPECT_EQ(Current().DriveType(temp), kDriveFixed);
  ClusterInfo info;
  ASSERT_TRUE(Current().DiskFreeSpace(temp, info));
  EXPECT_GT(info.BytesPerSector, 0u);
  EXPECT_GT(info.SectorsPerCluster, 0u);
  EXPECT_GT(info.TotalClusters, 0u);
  EXPECT_LE(info.FreeClusters, info.TotalClusters);
  CriticalErrorsOff quiet;  // must be harmless on the real system
#ifdef _WIN32
  EXPECT_EQ(Current().DriveType("Q:\\"), kDriveNoRoot);
#else
  EXPECT_EQ(label, "");  // no labels under /dev/disk/by-label here
  EXPECT_FALSE(Current().VolumeInformation("/no/such/place/", label));
  EXPECT_EQ(Current().DriveType("/no/such/place/"), kDriveNoRoot);
  EXPECT_FALSE(Current().DiskFreeSpace("/no/such/place/", info));
  EXPECT_FALSE(Current().SetVolumeLabel("/", "PKBACK# 001"));
  EXPECT_FALSE(Current().LastErrorText().empty());
#endif
  EXPECT_EQ(Current().DriveType(""), kDriveNoRoot);
}

#ifdef _WIN32
TEST(PlatformRecycle, RecycledFileLeavesItsFolder) {
  test::TempDir dir;
  const std::string file = dir.WriteFile("bin me.txt", "x");
  EXPECT_TRUE(Current().RecycleFile(file));
  EXPECT_FALSE(dir.Exists("bin me.txt"));
}
#else
// The Path= value of a trash info file, or "" when the file is not laid
// out as the freedesktop.org Trash rules ask (a local date without zone).
std::string OriginIn(const std::string& info) {
  const std::string head = "[Trash Info]\nPath=";
  const size_t eol = info.find('\n', head.size());
  if (info.compare(0, head.size(), head) != 0 || eol == std::string::npos) return {};
  const std::string date = info.substr(eol + 1);
  const std::string shape = "DeletionDate=0000-00-00T00:00:00\n";
  if (date.size() != shape.size()) return {};
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(date[i])) : date[i] != shape[i]) return {};
  return info.substr(head.size(), eol - head.size());
}

TEST(PlatformRecycle, FilesGoToTheHomeTrashWithTheirOrigin) {
  test::TempDir dir;
  test::ScopedEnv data("XDG_DATA_HOME", dir.Join("data").c_str());
  const std::string first = dir.WriteFile("work/r e%port.txt", "one");
  const std::string second = dir.WriteFile("other/r e%port.txt", "two");

  ASSERT_TRUE(Current().RecycleFile(first));
  ASSERT_TRUE(Current().RecycleFile(second));
  EXPECT_FALSE(dir.Exists("work/r e%port.txt"));
  EXPECT_FALSE(dir.Exists("other/r e%port.txt"));
  EXPECT_EQ(dir.ReadFile("data/Trash/files/r e%port.txt"), "one");
  EXPECT_EQ(dir.ReadFile("data/Trash/files/r e%port.2.txt"), "two");

  EXPECT_EQ(OriginIn(dir.ReadFile("data/Trash/info/r e%port.txt.trashinfo")),
            dir.Join("work/r%20e%25port.txt"));
  EXPECT_EQ(OriginIn(dir.ReadFile("data/Trash/info/r e%port.2.txt.trashinfo")),
            dir.Join("other/r%20e%25port.txt"));

  // A name taken in files/ without its info file is not reused.
  dir.WriteFile("data/Trash/files/stray", "old");
  ASSERT_TRUE(Current().RecycleFile(dir.WriteFile("stray", "new")));
  EXPECT_EQ(dir.ReadFile("data/Trash/files/stray"), "old");
  EXPECT_EQ(dir.ReadFile("data/Trash/files/stray.2"), "new");

  EXPECT_FALSE(Current().RecycleFile(first));  // nothing left to recycle
  EXPECT_FALSE(dir.Exists("data/Trash/info/r e%port.3.txt.trashinfo"));
}

// /dev/shm is a file system of its own on most Linux systems; it lets the
// tests cross file systems without privileges.
std::string OtherFileSystem(const std::string& than) {
  struct stat a, b;
  if (stat("/dev/shm", &a) != 0 || stat(than.c_str(), &b) != 0 || a.st_dev == b.st_dev ||
      access("/dev/shm", W_OK) != 0)
    return {};
  return "/dev/shm";
}

TEST(PlatformMove, MovesAcrossFileSystemsByCopying) {
  test::TempDir dir;
  const std::string other = OtherFileSystem(dir.Path());
  if (other.empty()) GTEST_SKIP() << "no second file system";
  const std::string from = other + "/vixtest-move-" + std::to_string(getpid());
  {
    FileHandle f = Current().Create(from, true);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->Write("across", 6), 6);
    ASSERT_TRUE(f->Close());
  }
  ASSERT_EQ(chmod(from.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(stat(from.c_str(), &before), 0);

  dir.WriteFile("taken", "keep");
  EXPECT_FALSE(Current().MoveFile(from, dir.Join("taken")));
  EXPECT_EQ(dir.ReadFile("taken"), "keep");

  ASSERT_TRUE(Current().MoveFile(from, dir.Join("moved")));
  EXPECT_NE(access(from.c_str(), F_OK), 0);
  EXPECT_EQ(dir.ReadFile("moved"), "across");
  struct stat after;
  ASSERT_EQ(stat(dir.Join("moved").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_mtime, before.st_mtime);
}

// Temporary files of runs that are gone are removed once a minute old;
// those of a live process (this one, or pid 1) and young ones stay.
TEST(PlatformTemp, StaleTempFilesOfDeadRunsAreRemoved) {
  test::TempDir dir;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child);
  auto make = [&](const std::string& name, int ageSeconds) {
    const std::string path = dir.WriteFile(name, "x");
    const time_t then = time(nullptr) - ageSeconds;
    const struct timespec times[2] = {{then, 0}, {then, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  make("kvt" + dead + "-old.tmp", 120);
  make("kvt" + dead + "-young.tmp", 5);
  make("kvt1-init.tmp", 120);
  make("kvt" + std::to_string(getpid()) + "-mine.tmp", 120);
  make("kvtabcdef.tmp", 120);
  make("other" + dead + "-x.tmp", 120);
  EXPECT_EQ(Current().RemoveStaleTempFiles(dir.Path(), "kvt", 60), 1);
  EXPECT_FALSE(dir.Exists("kvt" + dead + "-old.tmp"));
  EXPECT_TRUE(dir.Exists("kvt" + dead + "-young.tmp"));
  EXPECT_TRUE(dir.Exists("kvt1-init.tmp"));
  EXPECT_TRUE(dir.Exists("kvt" + std::to_string(getpid()) + "-mine.tmp"));
  EXPECT_TRUE(dir.Exists("kvtabcdef.tmp"));
  EXPECT_TRUE(dir.Exists("other" + dead + "-x.tmp"));
}

TEST(PlatformRecycle, FilesOnAnotherFileSystemUseItsOwnTrash) {
  test::TempDir dir;
  const std::string other = OtherFileSystem(dir.Path());
  if (other.empty()) GTEST_SKIP() << "no second file system";
  test::ScopedEnv data("XDG_DATA_HOME", dir.Join("data").c_str());
  const std::string name = "vixtest-trash-" + std::to_string(getpid());
  const std::string file = other + "/" + name;
  {
    FileHandle f = Current().Create(file, true);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->Close());
  }
  const std::string trash = other + "/.Trash-" + std::to_string(getuid());
  const bool hadTrash = access(trash.c_str(), F_OK) == 0;
  ASSERT_TRUE(Current().RecycleFile(file));
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  EXPECT_FALSE(dir.Exists("data/Trash/files/" + name));
  const std::string kept = trash + "/files/" + name;
  const std::string info = trash + "/info/" + name + ".trashinfo";
  EXPECT_EQ(access(kept.c_str(), F_OK), 0);
  std::string text;
  if (FileHandle in = Current().OpenRead(info, ShareMode::Read)) {
    char buffer[512];
    const int64_t n = in->Read(buffer, sizeof buffer);
    text.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  }
  // Paths in a file system's own trash are relative to its top.
  EXPECT_NE(text.find("\nPath=" + name + "\n"), std::string::npos) << text;
  unlink(kept.c_str());
  unlink(info.c_str());
  if (!hadTrash) std::filesystem::remove_all(trash);
}
#endif

}  // namespace
}  // namespace vix::platform
