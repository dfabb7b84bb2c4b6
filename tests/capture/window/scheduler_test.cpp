#include "capture/window/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <stdexcept>

#include "base/bigblock.h"
#include "base/fileutil.h"
#include "capture/window/errordisplay.h"
#include "support/childprocess.h"
#include "tests/capture/window/fakewindow.h"
#include "tests/capture/window/jobgate.h"

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class SchedulerTest : public testing::Test {
 public:
  SchedulerTest() { window_.directory = dir_.Path(); }
  ~SchedulerTest() override {
    gate_.Open();
    scheduler_.reset();
  }
  TScheduler& Scheduler() {
    if (!scheduler_) scheduler_ = std::make_unique<TScheduler>(window_, gate_.Job());
    return *scheduler_;
  }
  // Start (or a tick), and wait until job number `count` is at the gate.
  bool StartJob(size_t count = 1, bool start = true) {
    start ? Scheduler().Button1_StartClick() : Scheduler().Timer1Timer();
    return gate_.WaitStarted(count);
  }
  // Lets the running job end and waits until the window thread has handled its end.
  bool FinishJob() {
    gate_.Release();
    return window_.PumpUntil([&] { return !Scheduler().JobRunning(); });
  }
  // "untouched", "idle" (Start and fields on, Stop off), "running" (the reverse) or "mixed".
  Text Look() {
    if (window_.enabled.empty()) return "untouched";
    if (window_.enabled.size() != 8) return "mixed";
    bool idle = true, running = true;
    for (const auto& [control, on] : window_.enabled) {
      const bool stop = control == TControl::Button2_Stop;
      idle = idle && on != stop;
      running = running && on == stop;
    }
    return idle ? "idle" : running ? "running" : "mixed";
  }

  ScratchDir dir_;
  TFakeWindow window_;
  TJobGate gate_;
  std::unique_ptr<TScheduler> scheduler_;
};

// Starts that end early: a message box (nothing changed) or the error display (Stalled).
struct TRefusal {
  const char* name;
  const char* directory;  // "<dir>" stands for the scratch directory
  const char* counter;
  const char* interval;
  int unit;
  bool timers;
  const char* message;
  const char* error;
};

class RefusedStartTest : public SchedulerTest, public testing::WithParamInterface<TRefusal> {};

TEST_P(RefusedStartTest, ShowsWhyAndStartsNoJob) {
  const TRefusal& c = GetParam();
  auto expand = [&](Text text) {
    if (const size_t at = text.find("<dir>"); at != Text::npos) text.replace(at, 5, dir_.Path());
    return text;
  };
  window_.directory = expand(c.directory);
  window_.counter = c.counter;
  window_.interval = c.interval;
  window_.unit = c.unit;
  window_.timers_available = c.timers;
  Scheduler().Button1_StartClick();
  EXPECT_EQ(window_.messages,
            (*c.message ? std::vector<Text>{expand(c.message)} : std::vector<Text>{}));
  EXPECT_EQ(window_.errors, (*c.error ? std::vector<Text>{c.error} : std::vector<Text>{}));
  EXPECT_EQ(Look(), *c.message ? "untouched" : "running");
  EXPECT_FALSE(window_.timer_enabled);
  EXPECT_FALSE(Scheduler().Ready());
  EXPECT_TRUE(gate_.Runs().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RefusedStartTest,
    testing::Values(TRefusal{"MissingDirectory", "<dir>/gone", "1", "10", 0, true,
                             "Error - Directory\r\n<dir>/gone\r\nDo Not Exist", ""},
                    TRefusal{"EmptyDirectory", "", "1", "10", 0, true,
                             "Error - Directory\r\n\r\nDo Not Exist", ""},
                    TRefusal{"EmptyCounter", "<dir>", "", "10", 0, true, "",
                             "'' is not a valid integer value."},
                    TRefusal{"HugeCounter", "<dir>", "99999999999", "10", 0, true, "",
                             "'99999999999' is not a valid integer value."},
                    TRefusal{"HugeInterval", "<dir>", "1", "2147483648", 0, true, "",
                             "'2147483648' is not a valid integer value."},
                    TRefusal{"SecondsBeyondTimer", "<dir>", "1", "5000000", 0, true, "",
                             "Interval out of range: 5000000 Sec (0 to 2147483 Sec)"},
                    TRefusal{"MinutesBeyondTimer", "<dir>", "1", "35792", 1, true, "",
                             "Interval out of range: 35792 Min (0 to 35791 Min)"},
                    TRefusal{"NoUnitBeyondTimer", "<dir>", "1", "71583", -1, true, "",
                             "Interval out of range: 71583 Min (0 to 35791 Min)"},
                    TRefusal{"NoTimer", "<dir>", "1", "10", 0, false, "",
                             "Not enough timers available."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SchedulerTest, RefusedIntervalKeepsCounterAndDirectories) {
  window_.counter = "42";
  window_.interval = "4294967296";
  Scheduler().Button1_StartClick();
  EXPECT_EQ(Scheduler().Counter(), 42);
  EXPECT_EQ(Scheduler().SaveDir(), dir_.Path() + "/");
  EXPECT_EQ(Scheduler().LastDir(), dir_.Path() + "/");
}

struct TInterval {
  const char* text;
  int unit;
  int32_t ms;
};

class IntervalTest : public SchedulerTest, public testing::WithParamInterface<TInterval> {};

TEST_P(IntervalTest, TimerGetsTheExactInterval) {
  window_.interval = GetParam().text;
  window_.unit = GetParam().unit;
  ASSERT_TRUE(StartJob());
  EXPECT_EQ(window_.timer_interval, GetParam().ms);
  EXPECT_TRUE(window_.timer_enabled);
  EXPECT_EQ(window_.interval, *GetParam().text ? GetParam().text : "10");
}

INSTANTIATE_TEST_SUITE_P(Units, IntervalTest,
                         testing::Values(TInterval{"10", 0, 10000}, TInterval{"5", 1, 300000},
                                         TInterval{"", 0, 10000}, TInterval{"", 1, 600000},
                                         TInterval{"7", -1, 420000}, TInterval{"0", 0, 0},
                                         TInterval{"2147483", 0, 2147483000},
                                         TInterval{"35791", 1, 2147460000}));

struct TCounter {
  const char* field;
  bool job_throws;
  int32_t job_sees, after;
};

class CounterTest : public SchedulerTest, public testing::WithParamInterface<TCounter> {};

TEST_P(CounterTest, JobNamesWithItAndItAdvancesAfterEveryJob) {
  if (GetParam().job_throws) gate_.AfterGate([](TJobContext&) { throw std::runtime_error("x"); });
  window_.counter = GetParam().field;
  ASSERT_TRUE(StartJob());
  EXPECT_EQ(gate_.Runs()[0].counter, GetParam().job_sees);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(Scheduler().Counter(), GetParam().after);
  EXPECT_EQ(window_.counter, GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(Values, CounterTest,
                         testing::Values(TCounter{"7", false, 7, 8}, TCounter{"7", true, 7, 8},
                                         TCounter{"00012", false, 12, 13},
                                         TCounter{"2147483647", false, INT32_MAX, INT32_MIN}));

class DirectoryTest : public SchedulerTest,
                      public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(DirectoryTest, StartEndsItWithTheDelimiter) {
  const auto [typed, after] = GetParam();
  window_.directory = *typed ? Text(typed) : dir_.Path();
  const Text expected = *after ? Text(after) : dir_.Path() + "/";
  ASSERT_TRUE(StartJob());
  EXPECT_EQ(window_.directory, expected);
  EXPECT_EQ(Scheduler().SaveDir(), expected);
  EXPECT_EQ(Scheduler().LastDir(), expected);
  EXPECT_EQ(gate_.Runs()[0].save_dir, expected);
}

INSTANTIATE_TEST_SUITE_P(Directories, DirectoryTest,
                         testing::Values(std::pair{"", ""}, std::pair{"/", "/"},
                                         std::pair{".", "./"}));

class BellTest : public SchedulerTest, public testing::WithParamInterface<bool> {};

TEST_P(BellTest, OneBeepPerStartedJobAndTicksDuringAJobDropped) {
  window_.bell = GetParam();
  ASSERT_TRUE(StartJob());
  for (int tick = 0; tick < 3; ++tick) Scheduler().Timer1Timer();
  EXPECT_EQ(window_.beeps, GetParam() ? 1 : 0);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(gate_.Runs().size(), 1u);
  ASSERT_TRUE(StartJob(2, false));
  EXPECT_EQ(window_.beeps, GetParam() ? 2 : 0);
  EXPECT_EQ(gate_.Runs()[1].counter, 2);
  EXPECT_EQ(gate_.Runs()[1].address, window_.address);
}

INSTANTIATE_TEST_SUITE_P(Switch, BellTest, testing::Bool());

TEST_F(SchedulerTest, WorkerRunsOneStepBelowTheWindowThread) {
  const int nice = CurrentThreadNice();
  ASSERT_TRUE(StartJob());
  EXPECT_EQ(gate_.Runs()[0].nice, nice < 19 ? nice + 1 : 19);
  EXPECT_EQ(CurrentThreadNice(), nice);
}

TEST_F(SchedulerTest, CaptionShowsThePathAndTheWorkerWaitsForItsBox) {
  std::atomic<bool> past_box{false};
  bool waited = false;
  window_.on_message = [&] { waited = !past_box; };
  gate_.AfterGate([&](TJobContext& job) {
    job.MakeFileName("image.jpg");
    job.ShowMessage("Error - can't save file");
    past_box = true;
  });
  ASSERT_TRUE(StartJob());
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(window_.caption, dir_.Path() + "/image_00000001.jpg");
  EXPECT_EQ(Scheduler().LastFileName(), window_.caption);
  EXPECT_TRUE(waited);
}

// Stands for the body a job has just stored: its memory is kept for the next job.
void KeepABody() {
  FreeBigBlock(AllocateBigBlock(4 << 20));
}

TEST_F(SchedulerTest, BodyMemoryIsKeptDuringASeriesAndGivenBackWhenItEnds) {
  ASSERT_TRUE(StartJob());
  KeepABody();
  ASSERT_TRUE(FinishJob());
  EXPECT_GT(SpareBlockSize(), 0u) << "released while the series runs";
  // Stop while a job still runs: the memory goes when that job has ended.
  ASSERT_TRUE(StartJob(2, false));
  Scheduler().Button2_StopClick();
  EXPECT_GT(SpareBlockSize(), 0u);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(SpareBlockSize(), 0u);
  // Stop with no job running gives it back at once.
  Scheduler().Button1_StartClick();
  ASSERT_TRUE(gate_.WaitStarted(3));
  ASSERT_TRUE(FinishJob());
  KeepABody();
  Scheduler().Button2_StopClick();
  EXPECT_EQ(SpareBlockSize(), 0u);
}

TEST_F(SchedulerTest, StartWhileTheLastSeriesDrainsWaitsForItsJob) {
  ASSERT_TRUE(StartJob());
  Scheduler().Button2_StopClick();
  window_.counter = "50";
  Scheduler().Button1_StartClick();
  Scheduler().Timer1Timer();
  EXPECT_EQ(Look(), "running");
  EXPECT_EQ(Scheduler().Counter(), 50);
  EXPECT_EQ(gate_.Runs().size(), 1u) << "a second job started beside the first";
  // The old job's end leaves the new counter alone and starts the new series' first job.
  gate_.Release();
  ASSERT_TRUE(window_.PumpUntil([&] { return gate_.Runs().size() == 2; }));
  EXPECT_EQ(gate_.Runs()[1].counter, 50);
  ASSERT_TRUE(FinishJob());
  EXPECT_EQ(Scheduler().Counter(), 51);
}

struct TShutdown {
  const char* name;
  bool job_listens;
  bool job_waits_for_window;  // blocked in a call to the window thread when the close comes
  bool ends;
};

class ShutdownTest : public SchedulerTest, public testing::WithParamInterface<TShutdown> {};

TEST_P(ShutdownTest, EndsPromptlyAndTheWorkerNeverReachesTheWindowAgain) {
  const TShutdown& c = GetParam();
  gate_.HonourStop(c.job_listens);
  gate_.AfterGate([](TJobContext& job) {
    job.MakeFileName("image.jpg");
    job.ShowMessage("late");
  });
  if (c.job_waits_for_window) gate_.Open();
  ASSERT_TRUE(StartJob());
  if (c.job_waits_for_window) {
    ASSERT_TRUE(window_.WaitQueued(1));
  }
  const auto begin = steady_clock::now();
  EXPECT_EQ(Scheduler().Shutdown(milliseconds(300)), c.ends);
  EXPECT_LT(steady_clock::now() - begin, milliseconds(1000));
  EXPECT_FALSE(Scheduler().JobRunning());
  gate_.Open();
  ASSERT_TRUE(gate_.WaitFinished(1));
  ASSERT_TRUE(window_.PumpUntil([&] { return window_.Queued() == 0; }));
  EXPECT_TRUE(window_.caption.empty());
  EXPECT_TRUE(window_.messages.empty());
  Scheduler().Button1_StartClick();
  EXPECT_EQ(gate_.Runs().size(), 1u) << "nothing starts after a shutdown";
}

INSTANTIATE_TEST_SUITE_P(Jobs, ShutdownTest,
                         testing::Values(TShutdown{"Listening", true, false, true},
                                         TShutdown{"Deaf", false, false, false},
                                         TShutdown{"WaitingForTheWindow", false, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorDisplayText, FullStopOnlyAfterAByteAboveIt) {
  const std::pair<Text, Text> cases[] = {{"", ""},     {"abc", "abc."},    {"abc.", "abc."},
                                         {"a)", "a)"}, {"a-", "a-"},       {"a/", "a/."},
                                         {"a ", "a "}, {"a\xe9", "a\xe9."}};
  for (const auto& [message, shown] : cases) EXPECT_EQ(ErrorDisplayText(message), shown);
}

}  // namespace
}  // namespace tessaly
