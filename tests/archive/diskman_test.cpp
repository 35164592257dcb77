// The disk manager against a scripted volume and scripted answers.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "archive/kvtDiskMan.h"
#include "archive/kvtNames.h"
#include "support/ui_double.h"

namespace vix {
namespace {

using platform::kPosixStyle;
using platform::kWindowsStyle;

// One drive whose reads fail a given number of times, then answer.
class VolumeDouble : public platform::Platform {
 public:
  int volumeFailures = 0, spaceFailures = 0;
  int volumeCalls = 0, spaceCalls = 0;
  bool setLabelWorks = true;
  std::string label, lastRoot;
  uint8_t type = platform::kDriveRemovable;
  platform::ClusterInfo clusters{2, 512, 100, 2847};
  std::vector<std::string> labelsWritten;
  uint32_t mode = 0;
  std::vector<uint32_t> modeDuringReads;
  std::string cwd = "D:\\work";
  std::set<std::string> folders;

  bool VolumeInformation(const std::string& root, std::string& out) override {
    ++volumeCalls;
    lastRoot = root;
    modeDuringReads.push_back(mode);
    if (volumeFailures > 0) return --volumeFailures, false;
    out = label;
    return true;
  }
  uint8_t DriveType(const std::string&) override { return type; }
  bool DiskFreeSpace(const std::string&, platform::ClusterInfo& info) override {
    ++spaceCalls;
    modeDuringReads.push_back(mode);
    if (spaceFailures > 0) return --spaceFailures, false;
    info = clusters;
    return true;
  }
  bool SetVolumeLabel(const std::string& root, const std::string& value) override {
    labelsWritten.push_back(root + "|" + value);
    if (setLabelWorks) label = value;
    return setLabelWorks;
  }
  uint32_t SetCriticalErrorMode(uint32_t m) override {
    const uint32_t previous = mode;
    mode = m;
    return previous;
  }
  std::string LastErrorText() override { return "The device is not ready."; }
  std::string CurrentDirectory() override { return cwd; }
  std::string FullPath(const std::string& path) override {
    return path[0] == '/' ? path : cwd + "/" + path;
  }
  uint32_t GetAttributes(const std::string& path) override {
    return folders.count(path) ? platform::kAttrDirectory : 0xFFFFFFFF;
  }
};

// Queues Retry/Cancel answers on a UI double.
void Queue(test::UiDouble& ui, std::initializer_list<platform::Answer> answers) {
  for (platform::Answer a : answers) ui.QueueAnswer(a);
}

class DiskManagerTest : public ::testing::Test {
 protected:
  DiskManagerTest() : use_(system) { manager.Style = kWindowsStyle; }
  VolumeDouble system;
  platform::ScopedPlatform use_;
  TDiskManager manager;
};

TEST(DiskNumber, FromSpannedLabels) {
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK# 007"), 7);
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK# 12A"), 0);
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("BACKUP"), 0);
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK# "), 0);
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK#007"), 0);
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK# 1PKBACK# 023"), 23);  // the last marker
  EXPECT_EQ(TDiskManager::DiskNumberFromLabel("PKBACK# 99999999999"), 0);
  EXPECT_EQ(TDiskManager::SpannedLabel(7), "PKBACK# 007");
  EXPECT_EQ(TDiskManager::SpannedLabel(1234), "PKBACK# 1234");
  for (int n : {0, 1, 99, 100, 999, 65535})
    EXPECT_EQ(TDiskManager::DiskNumberFromLabel(TDiskManager::SpannedLabel(n)), n);
}

TEST_F(DiskManagerTest, RefreshReadsLabelTypeAndSpaceQuietly) {
  system.label = "PKBACK# 003";
  manager.SetDrive("a:");
  EXPECT_TRUE(manager.Ready);
  EXPECT_EQ(system.lastRoot, "a:\\");
  EXPECT_EQ(manager.VolumeLabel, "PKBACK# 003");
  EXPECT_EQ(manager.DiskNumber, 3);
  EXPECT_EQ(manager.DriveType, platform::kDriveRemovable);
  EXPECT_EQ(manager.DiskSpace.TotalBytes, 1024u * 2847u);
  EXPECT_EQ(manager.DiskSpace.FreeBytes, 1024u * 100u);
  EXPECT_EQ(manager.DiskSpace.SectorsPerCluster, 2u);
  // Critical-error dialogs were off for every read and are back on after.
  EXPECT_EQ(system.modeDuringReads, (std::vector<uint32_t>{1, 1}));
  EXPECT_EQ(system.mode, 0u);
}

TEST_F(DiskManagerTest, ByteCountsWrapInThirtyTwoBits) {
  system.clusters = {8, 512, 1500000, 2000000};
  manager.SetDrive("C:");
  EXPECT_EQ(manager.DiskSpace.TotalBytes, static_cast<uint32_t>(8ull * 512 * 2000000));
  EXPECT_EQ(manager.DiskSpace.FreeBytes, static_cast<uint32_t>(8ull * 512 * 1500000));
}

TEST_F(DiskManagerTest, RetryUntilTheVolumeAnswers) {
  test::UiDouble ui;
  Queue(ui, {platform::Answer::Retry, platform::Answer::Retry});
  system.volumeFailures = 2;
  manager.SetDrive("a:");
  EXPECT_TRUE(manager.Ready);
  ASSERT_EQ(ui.Questions.size(), 2u);
  EXPECT_EQ(ui.Questions[0].Text, "A:\\is not accessible.\r\n\r\nThe device is not ready.");
  EXPECT_EQ(ui.Questions[0].Caption, platform::ApplicationTitle());
}

TEST_F(DiskManagerTest, CancelAtTheVolumeQuestion) {
  test::UiDouble ui;
  Queue(ui, {platform::Answer::Cancel});
  system.volumeFailures = 5;
  manager.SetDrive("a:");
  EXPECT_FALSE(manager.Ready);
  EXPECT_EQ(system.spaceCalls, 0);
}

TEST_F(DiskManagerTest, CancelAtTheSpaceQuestionLeavesNotReady) {
  test::UiDouble ui;
  Queue(ui, {platform::Answer::Retry, platform::Answer::Cancel});
  system.spaceFailures = 5;
  manager.SetDrive("a:");
  EXPECT_FALSE(manager.Ready);
  EXPECT_EQ(system.spaceCalls, 2);
  EXPECT_EQ(ui.Questions.size(), 2u);
  manager.Ready = true;
  EXPECT_FALSE(manager.Refresh());  // a failed refresh clears an earlier ready state
  EXPECT_FALSE(manager.Ready);
}

TEST_F(DiskManagerTest, NetworkShareKeepsItsSpace) {
  system.type = platform::kDriveRemote;
  manager.SetDrive("\\\\srv\\share");
  EXPECT_TRUE(manager.Ready);
  EXPECT_EQ(system.lastRoot, "\\\\srv\\share\\");
  EXPECT_EQ(system.spaceCalls, 0);
  EXPECT_EQ(manager.DiskSpace.TotalBytes, 0u);
  EXPECT_EQ(manager.DiskSpace.FreeBytes, 0u);
}

TEST_F(DiskManagerTest, WritingTheSameLabelWritesNothingButRefreshes) {
  system.label = "PKBACK# 001";
  manager.SetDrive("a:");
  const int reads = system.volumeCalls;
  system.label = "PKBACK# 001";
  EXPECT_TRUE(manager.WriteVolumeLabel("PKBACK# 001"));
  EXPECT_TRUE(system.labelsWritten.empty());
  EXPECT_EQ(system.volumeCalls, reads + 1);

  EXPECT_TRUE(manager.WriteVolumeLabel(TDiskManager::SpannedLabel(2)));
  EXPECT_EQ(system.labelsWritten, std::vector<std::string>{"a:\\|PKBACK# 002"});
  EXPECT_EQ(manager.DiskNumber, 2);

  system.setLabelWorks = false;
  EXPECT_FALSE(manager.WriteVolumeLabel("pkback# 002"));  // labels compare case-sensitively
  EXPECT_EQ(system.volumeCalls, reads + 2);             // no refresh after a failure
  EXPECT_EQ(manager.VolumeLabel, "PKBACK# 002");
}

TEST_F(DiskManagerTest, EmptyDriveFailsAtOnceAndNamesAnEmptyRoot) {
  test::UiDouble ui;
  Queue(ui, {platform::Answer::Cancel});
  manager.SetDrive("");
  EXPECT_FALSE(manager.Ready);
  EXPECT_EQ(system.volumeCalls, 0);
  ASSERT_EQ(ui.Questions.size(), 1u);
  EXPECT_EQ(ui.Questions[0].Text, "is not accessible.\r\n\r\nThe device is not ready.");
  EXPECT_EQ(manager.DriveTypeOf(""), platform::kDriveNoRoot);
}

TEST_F(DiskManagerTest, PosixFoldersKeepTheirCase) {
  test::UiDouble ui;
  Queue(ui, {platform::Answer::Cancel});
  manager.Style = kPosixStyle;
  system.volumeFailures = 1;
  manager.SetDrive("/media/USB");
  EXPECT_EQ(system.lastRoot, "/media/USB/");
  ASSERT_EQ(ui.Questions.size(), 1u);
  EXPECT_EQ(ui.Questions[0].Text, "/media/USB/is not accessible.\r\n\r\nThe device is not ready.");
}

TEST_F(DiskManagerTest, DriveOfWindowsNames) {
  auto drive = [](const char* name) { return TDiskManager::DriveOfName(name, kWindowsStyle); };
  EXPECT_EQ(drive("C:\\w\\pics.zip"), "C:");
  EXPECT_EQ(drive("x:y.zip"), "x:");
  EXPECT_EQ(drive("\\\\srv\\share\\dir\\a.zip"), "\\\\srv\\share");
  EXPECT_EQ(drive("pics.zip"), "D:");      // the current directory's drive
  EXPECT_EQ(drive(":pics.zip"), "D:");     // a colon in the first place only
  EXPECT_EQ(drive("\\w\\pics.zip"), "D:");
  EXPECT_EQ(drive("a\\\\b.zip"), "");      // a double delimiter without a drive part
  EXPECT_EQ(drive("ab:c.zip"), "");
}

TEST_F(DiskManagerTest, DriveOfPosixNamesIsTheNearestExistingFolder) {
  system.cwd = "/home/u";
  system.folders = {"/", "/home", "/home/u", "/media", "/media/usb"};
  auto drive = [](const char* name) { return TDiskManager::DriveOfName(name, kPosixStyle); };
  EXPECT_EQ(drive("/media/usb/a.zip"), "/media/usb");
  EXPECT_EQ(drive("a.zip"), "/home/u");
  EXPECT_EQ(drive("sub/new/a.zip"), "/home/u");
  EXPECT_EQ(drive("/a.zip"), "/");
  EXPECT_EQ(drive("/nowhere/a.zip"), "/");
}

// The drive of an archive in the temporary folder, on the real system.
TEST(DiskManagerSystem, TemporaryFolderDriveIsReady) {
  TDiskManager manager;
  manager.SetDrive(TDiskManager::DriveOfName(GetTempDir() + "archive.zip"));
  EXPECT_FALSE(manager.Drive.empty());
  EXPECT_TRUE(manager.Ready) << manager.Drive;
  EXPECT_NE(manager.DriveType, platform::kDriveNoRoot);
  if (manager.DriveType != platform::kDriveRemote) {
    EXPECT_GT(manager.DiskSpace.TotalClusters, 0u);
  }
}

}  // namespace
}  // namespace vix
