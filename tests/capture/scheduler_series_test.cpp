#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <stdexcept>

#include "base/fileutil.h"
#include "capture/naming.h"
#include "capture/safefile.h"
#include "capture/threadpriority.h"
#include "tests/capture/schedulerfixture.h"

namespace tessaly {
namespace {

// What the real job does with the naming and the disk, without the network.
void StoreImage(TJobContext& job) {
  const Text path = job.MakeFileName(UrlFileName(job.Address()));
  if (!WriteFileWhole(path, Text("image bytes"), TExisting::Keep))
    job.ShowMessage("Error - can't save file\r\nProbably disk full");
}

struct TCounterCase {
  const char* field;
  bool job_throws;
  int32_t job_counter;
  int32_t after;
};

class CounterTest : public SchedulerFixture, public testing::WithParamInterface<TCounterCase> {};

TEST_P(CounterTest, JobNamesWithItAndItAdvancesAfterEveryJob) {
  if (GetParam().job_throws)
    gate_.AfterGate([](TJobContext&) { throw std::runtime_error("fetch failed"); });
  window_.counter = GetParam().field;
  ASSERT_TRUE(StartAndWaitForJob());
  EXPECT_EQ(gate_.Runs()[0].counter, GetParam().job_counter);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(Scheduler().Counter(), GetParam().after);
  EXPECT_EQ(window_.counter, GetParam().field) << "the field keeps what the user typed";
}

INSTANTIATE_TEST_SUITE_P(Values, CounterTest,
                         testing::Values(TCounterCase{"7", false, 7, 8},
                                         TCounterCase{"7", true, 7, 8},
                                         TCounterCase{"0", false, 0, 1},
                                         TCounterCase{"00012", false, 12, 13},
                                         TCounterCase{"2147483647", false, INT32_MAX, INT32_MIN}));

TEST_F(SchedulerFixture, EachJobOfASeriesTakesTheNextCounter) {
  window_.counter = "3";
  ASSERT_TRUE(StartAndWaitForJob());
  for (size_t job = 1; job < 4; ++job) {
    ASSERT_TRUE(FinishJob());
    Scheduler().Timer1Timer();
    ASSERT_TRUE(gate_.WaitStarted(job + 1));
  }
  const auto runs = gate_.Runs();
  for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].counter, 3 + static_cast<int>(i));
}

struct TDirectoryCase {
  const char* directory;  // "<dir>" is the scratch directory
  const char* after;
};

class SeriesDirectoryTest : public SchedulerFixture,
                            public testing::WithParamInterface<TDirectoryCase> {
 protected:
  Text Expand(const Text& text) {
    const size_t at = text.find("<dir>");
    return at == Text::npos ? text : Text(text).replace(at, 5, dir_.Path());
  }
};

TEST_P(SeriesDirectoryTest, StartEndsItWithTheDelimiter) {
  window_.directory = Expand(GetParam().directory);
  ASSERT_TRUE(StartAndWaitForJob());
  const Text after = Expand(GetParam().after);
  EXPECT_EQ(window_.directory, after);
  EXPECT_EQ(Scheduler().SaveDir(), after);
  EXPECT_EQ(Scheduler().LastDir(), after);
  EXPECT_EQ(gate_.Runs()[0].save_dir, after);
}

INSTANTIATE_TEST_SUITE_P(Directories, SeriesDirectoryTest,
                         testing::Values(TDirectoryCase{"<dir>", "<dir>/"},
                                         TDirectoryCase{"<dir>/", "<dir>/"},
                                         TDirectoryCase{"/", "/"}, TDirectoryCase{".", "./"}));

TEST_F(SchedulerFixture, JobGetsTheAddressFieldOfItsTick) {
  window_.address = "http://cam.example/a.jpg";
  ASSERT_TRUE(StartAndWaitForJob());
  EXPECT_EQ(gate_.Runs()[0].address, "http://cam.example/a.jpg");
}

class BellTest : public SchedulerFixture, public testing::WithParamInterface<bool> {};

TEST_P(BellTest, RingsOncePerStartedJobAndNeverForADroppedTick) {
  const bool bell = GetParam();
  window_.bell = bell;
  ASSERT_TRUE(StartAndWaitForJob());
  EXPECT_EQ(window_.beeps, bell ? 1 : 0);
  for (int tick = 0; tick < 3; ++tick) Scheduler().Timer1Timer();
  EXPECT_EQ(window_.beeps, bell ? 1 : 0);
  ASSERT_TRUE(FinishJob());
  Scheduler().Timer1Timer();
  ASSERT_TRUE(gate_.WaitStarted(2));
  EXPECT_EQ(window_.beeps, bell ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Switch, BellTest, testing::Bool());

TEST_F(SchedulerFixture, TicksDuringAJobAreDroppedNotMadeUp) {
  ASSERT_TRUE(StartAndWaitForJob());
  for (int tick = 0; tick < 3; ++tick) {
    Scheduler().Timer1Timer();
    EXPECT_FALSE(Scheduler().Ready());
  }
  ASSERT_TRUE(FinishJob());
  ASSERT_TRUE(gate_.WaitFinished(1));
  EXPECT_EQ(gate_.Started(), 1u);
  EXPECT_TRUE(Scheduler().Ready());
  Scheduler().Timer1Timer();
  ASSERT_TRUE(gate_.WaitStarted(2));
  EXPECT_EQ(gate_.Runs()[1].counter, 2);
}

TEST_F(SchedulerFixture, WorkerRunsOneStepBelowTheWindowThread) {
  const int window_nice = CurrentThreadNice();
  ASSERT_TRUE(StartAndWaitForJob());
  EXPECT_EQ(gate_.Runs()[0].nice, window_nice < 19 ? window_nice + 1 : 19);
  EXPECT_EQ(CurrentThreadNice(), window_nice);
}

TEST_F(SchedulerFixture, JobShowsItsPathInTheCaptionBeforeWriting) {
  std::atomic<bool> caption_seen{false};
  gate_.AfterGate([&](TJobContext& job) {
    const Text path = job.MakeFileName("image.jpg");
    // The caption call has run on the window thread by now.
    caption_seen = !FileExists(path);
    WriteFileWhole(path, Text("x"), TExisting::Keep);
  });
  ASSERT_TRUE(StartAndWaitForJob());
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(window_.caption, dir_.File("image_00000001.jpg"));
  EXPECT_EQ(Scheduler().LastFileName(), window_.caption);
  EXPECT_TRUE(caption_seen);
}

TEST_F(SchedulerFixture, WorkerWaitsUntilItsMessageBoxIsDismissed) {
  std::atomic<bool> past_box{false};
  bool worker_waited = false;
  window_.on_message = [&](const Text&) { worker_waited = !past_box; };
  gate_.AfterGate([&](TJobContext& job) {
    job.ShowMessage("Error - can't save file\r\nProbably disk full");
    past_box = true;
  });
  ASSERT_TRUE(StartAndWaitForJob());
  ASSERT_TRUE(FinishJob());
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_TRUE(worker_waited);
  EXPECT_TRUE(past_box);
}

TEST_F(SchedulerFixture, StopDuringAJobLetsItFinishItsFile) {
  gate_.AfterGate(StoreImage);
  ASSERT_TRUE(StartAndWaitForJob());
  Scheduler().Button2_StopClick();
  EXPECT_TRUE(ShowsIdle());
  EXPECT_FALSE(window_.timer_enabled);
  EXPECT_TRUE(Scheduler().JobRunning());
  ASSERT_TRUE(FinishJob());
  EXPECT_TRUE(FileExists(dir_.File("image_00000001.jpg")));
  EXPECT_EQ(window_.caption, dir_.File("image_00000001.jpg"));
  EXPECT_EQ(Scheduler().Counter(), 2);
  EXPECT_EQ(gate_.Started(), 1u);
}

TEST_F(SchedulerFixture, StopAndStartAgainGivesCollisionSuffixes) {
  gate_.AfterGate(StoreImage);
  const char* expected[] = {"image_00000001.jpg", "image_00000001[1].jpg",
                            "image_00000001[2].jpg"};
  for (const char* name : expected) {
    ASSERT_TRUE(StartAndWaitForJob());
    ASSERT_TRUE(FinishJob());
    Scheduler().Button2_StopClick();
    EXPECT_EQ(window_.caption, dir_.File(name));
    EXPECT_TRUE(FileExists(dir_.File(name)));
  }
  EXPECT_TRUE(window_.messages.empty());
}

TEST_F(SchedulerFixture, StartWhileTheLastSeriesDrainsWaitsForItsJob) {
  window_.counter = "1";
  ASSERT_TRUE(StartAndWaitForJob());
  Scheduler().Button2_StopClick();
  window_.counter = "50";
  Scheduler().Button1_StartClick();
  EXPECT_TRUE(ShowsRunning());
  EXPECT_EQ(Scheduler().Counter(), 50);
  EXPECT_FALSE(Scheduler().Ready());
  Scheduler().Timer1Timer();
  EXPECT_EQ(gate_.Started(), 1u) << "a second job started beside the first";

  // The old job's end leaves the new counter alone and starts the new series' first job.
  gate_.Release();
  ASSERT_TRUE(Pump([&] { return gate_.Started() == 2; }));
  EXPECT_EQ(gate_.Runs()[0].counter, 1);
  EXPECT_EQ(gate_.Runs()[1].counter, 50);
  EXPECT_LE(gate_.Running(), 1);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(Scheduler().Counter(), 51);
}

TEST_F(SchedulerFixture, StopAfterAnEarlyStartDropsTheWaitingFirstJob) {
  ASSERT_TRUE(StartAndWaitForJob());
  Scheduler().Button2_StopClick();
  Scheduler().Button1_StartClick();
  Scheduler().Button2_StopClick();
  ASSERT_TRUE(FinishJob());
  ASSERT_TRUE(gate_.WaitFinished(1));
  EXPECT_EQ(gate_.Started(), 1u);
  EXPECT_TRUE(Scheduler().Ready());
}

TEST_F(SchedulerFixture, IntervalZeroRunsOneJobThenWaits) {
  window_.interval = "0";
  ASSERT_TRUE(StartAndWaitForJob());
  ASSERT_TRUE(FinishJob());
  EXPECT_TRUE(window_.timer_enabled);
  EXPECT_EQ(window_.timer_interval, 0);
  EXPECT_TRUE(ShowsRunning());
  EXPECT_EQ(gate_.Started(), 1u);
}

}  // namespace
}  // namespace tessaly
