// The replaceable service object, the UI hooks and the test doubles that
// other suites build on.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/fault_platform.h"
#include "support/temp_dir.h"
#include "support/ui_double.h"

#ifndef _WIN32
#include "platform/posix/posix_util.h"
#endif

namespace vix::platform {
namespace {

TEST(UiHooks, WithoutHooksQuestionsGetTheSafeAnswer) {
  const UiHooks saved = Ui();
  Ui() = UiHooks{};
  EXPECT_FALSE(AskYesNo("Delete?", "t"));
  EXPECT_FALSE(AskRetryCancel("A:\\is not accessible.", "t"));
  ShowMessage("nobody listens", "t", MsgIcon::Stop);
  PumpMessages();
  Ui() = saved;
  EXPECT_EQ(ApplicationTitle(), "Pelmoran Vix");
}

TEST(UiHooks, ScriptedAnswersComeInOrderThenTheSafeOne) {
  {
    test::UiDouble ui;
    ui.QueueAnswer(Answer::Retry);
    ui.QueueAnswer(Answer::Yes);
    EXPECT_TRUE(AskRetryCancel("again?", "cap"));
    EXPECT_TRUE(AskYesNo("sure?", "cap"));
    EXPECT_FALSE(AskRetryCancel("again?", "cap"));
    EXPECT_FALSE(AskYesNo("sure?", "cap"));
    ShowMessage("done", "cap", MsgIcon::Information);
    PumpMessages();
    ASSERT_EQ(ui.Questions.size(), 4u);
    EXPECT_EQ(ui.Questions[0].kind, test::UiDouble::Kind::RetryCancel);
    EXPECT_EQ(ui.Questions[1].Text, "sure?");
    EXPECT_EQ(ui.Questions[3].Given, Answer::No);
    ASSERT_EQ(ui.Messages.size(), 1u);
    EXPECT_EQ(ui.Messages[0].Icon, MsgIcon::Information);
    EXPECT_EQ(ui.Pumps, 1);
  }
  EXPECT_FALSE(Ui().AskYesNo);  // restored
}

TEST(FaultPlatform, WritesStopAtThePerFileAndDiskBudgets) {
  test::TempDir dir;
  test::FaultPlatform faults;
  ScopedPlatform use(faults);
  faults.ShortWriteAfter(5);
  FileHandle a = Current().Create(dir.Join("a"), true);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Write("abc", 3), 3);
  EXPECT_EQ(a->Write("defg", 4), 2);  // crosses the limit
  EXPECT_EQ(a->Write("h", 1), 0);
  EXPECT_TRUE(a->Close());
  EXPECT_EQ(dir.ReadFile("a"), "abcde");

  faults.ShortWriteAfter(test::FaultPlatform::kNoLimit);
  faults.DiskFullAfter(6);
  FileHandle b = Current().Create(dir.Join("b"), true);
  FileHandle c = Current().Create(dir.Join("c"), true);
  EXPECT_EQ(b->Write("1234", 4), 4);
  EXPECT_EQ(c->Write("5678", 4), 2);  // the shared budget runs out
  EXPECT_EQ(b->Write("9", 1), 0);
  EXPECT_EQ(faults.BytesWritten(), 5 + 6);
  EXPECT_EQ(faults.LastErrorText().empty(), false);
}

TEST(FaultPlatform, InjectedFailuresOnceOrAlways) {
  test::TempDir dir;
  test::FaultPlatform faults;
  ScopedPlatform use(faults);
  const std::string a = dir.WriteFile("a.txt", "a");
  faults.FailMoveFile(test::FaultPlatform::Fail::Once);
  EXPECT_FALSE(Current().MoveFile(a, dir.Join("b.txt")));
  EXPECT_EQ(Current().LastErrorText(), "Simulated fault");
  EXPECT_TRUE(Current().MoveFile(a, dir.Join("b.txt")));
  EXPECT_EQ(faults.MoveCalls, 2);
  ASSERT_EQ(faults.Moved.size(), 1u);

  faults.FailDeleteFile(test::FaultPlatform::Fail::Always);
  EXPECT_FALSE(Current().DeleteFile(dir.Join("b.txt")));
  EXPECT_FALSE(Current().DeleteFile(dir.Join("b.txt")));
  EXPECT_TRUE(dir.Exists("b.txt"));

  const std::string c = dir.WriteFile("c.txt", "c");
  faults.FailRecycleFile(test::FaultPlatform::Fail::Once);
  EXPECT_FALSE(Current().RecycleFile(c));
  EXPECT_TRUE(Current().RecycleFile(c));
  EXPECT_FALSE(dir.Exists("c.txt"));
  EXPECT_EQ(faults.Recycled, std::vector<std::string>{c});
  EXPECT_FALSE(Current().RecycleFile(c));  // nothing left

  faults.FailOpenRead("b.txt");
  EXPECT_FALSE(Current().OpenRead(dir.Join("b.txt"), ShareMode::Read));
  faults.FailCreate("new.bin");
  EXPECT_FALSE(Current().Create(dir.Join("new.bin"), true));
  EXPECT_TRUE(Current().Create(dir.Join("xnew.bin"), true));  // only whole names match
}

TEST(FaultPlatform, SimulatedVolumes) {
  test::FaultPlatform faults;
  ScopedPlatform use(faults);
  test::FaultPlatform::Volume floppy;
  floppy.Type = kDriveRemovable;
  floppy.FailuresBeforeReady = 1;
  floppy.Label = "PKBACK# 001";
  floppy.Clusters = {1, 512, 100, 2847};
  faults.SimulateVolume("A:\\", floppy);
  std::string label;
  {
    CriticalErrorsOff quiet;
    EXPECT_FALSE(Current().VolumeInformation("A:\\", label));  // the disk is still going in
    EXPECT_TRUE(Current().VolumeInformation("A:\\", label));
  }
  EXPECT_EQ(faults.ErrorModes, (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(label, "PKBACK# 001");
  EXPECT_EQ(Current().DriveType("A:\\"), kDriveRemovable);
  ClusterInfo info;
  ASSERT_TRUE(Current().DiskFreeSpace("A:\\", info));
  EXPECT_EQ(info.TotalClusters, 2847u);
  EXPECT_TRUE(Current().SetVolumeLabel("A:\\", "PKBACK# 002"));
  EXPECT_EQ(faults.VolumeAt("A:\\").Label, "PKBACK# 002");
  ASSERT_EQ(faults.LabelsWritten.size(), 1u);
  faults.VolumeAt("A:\\").Ready = false;
  EXPECT_FALSE(Current().DiskFreeSpace("A:\\", info));
  EXPECT_FALSE(Current().SetVolumeLabel("A:\\", "x"));
}

#ifndef _WIN32
TEST(PlatformVolumes, HugeVolumesScaleTheClusterToFit32Bits) {
  const auto small = detail::FitClusters(1000, 400);
  EXPECT_EQ(small.PerCluster, 1u);
  EXPECT_EQ(small.Total, 1000u);
  EXPECT_EQ(small.Free, 400u);
  const uint64_t blocks = uint64_t{1} << 40, free = (uint64_t{1} << 39) + 12345;
  const auto big = detail::FitClusters(blocks, free);
  EXPECT_EQ(big.PerCluster, 512u);
  EXPECT_EQ(uint64_t{big.Total} * big.PerCluster, blocks);
  EXPECT_EQ(uint64_t{big.Free} * big.PerCluster, free - free % 512);
}
#endif

}  // namespace
}  // namespace vix::platform
