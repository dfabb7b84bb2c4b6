#include <gtest/gtest.h>

#include "capture/errordisplay.h"
#include "tests/capture/schedulerfixture.h"

namespace tessaly {
namespace {

enum class TLook { Idle, Running };

class StatesTest;

struct TStateCase {
  const char* state;
  void (*drive)(StatesTest&);
  TLook look;
  bool timer;
  bool ready;
  bool job;
};

class StatesTest : public SchedulerFixture, public testing::WithParamInterface<TStateCase> {
 public:
  void StartBusy() { ASSERT_TRUE(StartAndWaitForJob()); }
  void StartWaiting() {
    StartBusy();
    ASSERT_TRUE(FinishJob());
  }
  void StartDraining() {
    StartBusy();
    Scheduler().Button2_StopClick();
  }
  void StartStalled() {
    window_.counter = "";
    Scheduler().Button1_StartClick();
  }
  void StopWaiting() {
    StartWaiting();
    Scheduler().Button2_StopClick();
  }
  void EndDraining() {
    StartDraining();
    ASSERT_TRUE(FinishJob());
  }
  void StopStalled() {
    StartStalled();
    Scheduler().Button2_StopClick();
  }
};

TEST_P(StatesTest, ControlsTimerReadyAndJob) {
  const TStateCase& c = GetParam();
  c.drive(*this);
  if (HasFatalFailure()) return;
  EXPECT_EQ(ShowsRunning(), c.look == TLook::Running);
  EXPECT_EQ(ShowsIdle(), c.look == TLook::Idle);
  EXPECT_EQ(window_.timer_enabled, c.timer);
  EXPECT_EQ(Scheduler().Ready(), c.ready);
  EXPECT_EQ(Scheduler().JobRunning(), c.job);
  EXPECT_LE(gate_.Running(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Series, StatesTest,
    testing::Values(
        TStateCase{"IdleAtStart", [](StatesTest&) {}, TLook::Idle, false, false, false},
        TStateCase{"Busy", [](StatesTest& t) { t.StartBusy(); }, TLook::Running, true, false,
                   true},
        TStateCase{"Waiting", [](StatesTest& t) { t.StartWaiting(); }, TLook::Running, true,
                   true, false},
        TStateCase{"Draining", [](StatesTest& t) { t.StartDraining(); }, TLook::Idle, false,
                   false, true},
        TStateCase{"Stalled", [](StatesTest& t) { t.StartStalled(); }, TLook::Running, false,
                   false, false},
        TStateCase{"IdleAfterWaiting", [](StatesTest& t) { t.StopWaiting(); }, TLook::Idle,
                   false, true, false},
        TStateCase{"IdleAfterDraining", [](StatesTest& t) { t.EndDraining(); }, TLook::Idle,
                   false, true, false},
        TStateCase{"IdleAfterStalled", [](StatesTest& t) { t.StopStalled(); }, TLook::Idle,
                   false, false, false}),
    [](const auto& info) { return std::string(info.param.state); });

class MissingDirectoryTest : public SchedulerFixture,
                             public testing::WithParamInterface<const char*> {};

TEST_P(MissingDirectoryTest, ShowsTheMessageAndChangesNothing) {
  const Text directory = Text(GetParam()) == "<file>" ? dir_.WriteFile("plain", "x")
                         : Text(GetParam()) == "<gone>" ? dir_.Path() + "/gone"
                                                        : Text(GetParam());
  window_.directory = directory;
  Scheduler().Button1_StartClick();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0], "Error - Directory\r\n" + directory + "\r\nDo Not Exist");
  EXPECT_TRUE(window_.errors.empty());
  EXPECT_TRUE(ShowsIdle());
  EXPECT_FALSE(window_.timer_enabled);
  EXPECT_FALSE(Scheduler().Ready());
  EXPECT_EQ(window_.directory, directory);
  EXPECT_TRUE(Scheduler().SaveDir().empty());
  EXPECT_EQ(gate_.Started(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Directories, MissingDirectoryTest,
                         testing::Values("", "<gone>", "<file>"));

struct TUnparsable {
  const char* counter;
  const char* interval;
  const char* error;
};

class UnparsableStartTest : public SchedulerFixture,
                            public testing::WithParamInterface<TUnparsable> {};

TEST_P(UnparsableStartTest, ErrorDisplayThenStalled) {
  window_.counter = GetParam().counter;
  window_.interval = GetParam().interval;
  Scheduler().Button1_StartClick();
  ASSERT_EQ(window_.errors.size(), 1u);
  EXPECT_EQ(window_.errors[0], GetParam().error);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_TRUE(ShowsRunning());
  EXPECT_FALSE(window_.timer_enabled);
  EXPECT_FALSE(Scheduler().Ready());
  EXPECT_EQ(gate_.Started(), 0u);

  Scheduler().Button2_StopClick();
  EXPECT_TRUE(ShowsIdle());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, UnparsableStartTest,
    testing::Values(TUnparsable{"", "10", "'' is not a valid integer value."},
                    TUnparsable{"99999999999", "10", "'99999999999' is not a valid integer value."},
                    TUnparsable{"1", "2147483648", "'2147483648' is not a valid integer value."}));

TEST_F(SchedulerFixture, UnparsableIntervalKeepsCounterAndDirectories) {
  window_.counter = "42";
  window_.interval = "4294967296";
  Scheduler().Button1_StartClick();
  ASSERT_EQ(window_.errors.size(), 1u);
  EXPECT_EQ(Scheduler().Counter(), 42);
  EXPECT_EQ(Scheduler().SaveDir(), dir_.Path() + "/");
  EXPECT_EQ(Scheduler().LastDir(), dir_.Path() + "/");
}

TEST_F(SchedulerFixture, NoTimerMeansErrorDisplayAndNoJob) {
  window_.timers_available = false;
  Scheduler().Button1_StartClick();
  ASSERT_EQ(window_.errors.size(), 1u);
  EXPECT_EQ(window_.errors[0], "Not enough timers available.");
  EXPECT_TRUE(ShowsRunning());
  EXPECT_FALSE(Scheduler().Ready());
  EXPECT_EQ(gate_.Started(), 0u);
}

struct TIntervalCase {
  const char* text;
  int unit;
  int64_t interval_ms;  // -1: refused
  const char* field_after;
};

class IntervalTest : public SchedulerFixture, public testing::WithParamInterface<TIntervalCase> {
};

TEST_P(IntervalTest, TimerGetsTheExactIntervalOrStartRefuses) {
  const TIntervalCase& c = GetParam();
  window_.interval = c.text;
  window_.unit = c.unit;
  Scheduler().Button1_StartClick();
  EXPECT_EQ(window_.interval, c.field_after);
  if (c.interval_ms >= 0) {
    EXPECT_TRUE(window_.errors.empty());
    EXPECT_TRUE(window_.timer_enabled);
    EXPECT_EQ(window_.timer_interval, c.interval_ms);
    EXPECT_TRUE(gate_.WaitStarted(1));
  } else {
    ASSERT_EQ(window_.errors.size(), 1u);
    EXPECT_EQ(window_.errors[0].rfind("Interval out of range: " + Text(c.text), 0), 0u)
        << window_.errors[0];
    EXPECT_FALSE(window_.timer_enabled);
    EXPECT_TRUE(ShowsRunning());
    EXPECT_FALSE(Scheduler().Ready());
    EXPECT_EQ(gate_.Started(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Units, IntervalTest,
    testing::Values(TIntervalCase{"10", 0, 10000, "10"}, TIntervalCase{"5", 1, 300000, "5"},
                    TIntervalCase{"", 0, 10000, "10"}, TIntervalCase{"", 1, 600000, "10"},
                    TIntervalCase{"7", -1, 420000, "7"}, TIntervalCase{"0", 0, 0, "0"},
                    TIntervalCase{"2147483", 0, 2147483000, "2147483"},
                    TIntervalCase{"35791", 1, 2147460000, "35791"},
                    TIntervalCase{"2147484", 0, -1, "2147484"},
                    TIntervalCase{"5000000", 0, -1, "5000000"},
                    TIntervalCase{"35792", 1, -1, "35792"},
                    TIntervalCase{"71583", -1, -1, "71583"},
                    TIntervalCase{"2147483647", 1, -1, "2147483647"}));

TEST(IntervalMs, ProductsBeyondThirtyTwoBitsAreExact) {
  EXPECT_EQ(IntervalMs(5000000, 0), int64_t{5000000} * 1000);
  EXPECT_EQ(IntervalMs(2147483647, 1), int64_t{2147483647} * 60000);
}

struct TFullStop {
  Text message;
  Text shown;
};

class ErrorDisplayTextTest : public testing::TestWithParam<TFullStop> {};

TEST_P(ErrorDisplayTextTest, FullStopOnlyAfterBytesAboveIt) {
  EXPECT_EQ(ErrorDisplayText(GetParam().message), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Texts, ErrorDisplayTextTest,
                         testing::Values(TFullStop{"", ""}, TFullStop{"abc", "abc."},
                                         TFullStop{"abc.", "abc."}, TFullStop{"a)", "a)"},
                                         TFullStop{"a-", "a-"}, TFullStop{"a/", "a/."},
                                         TFullStop{"a0", "a0."}, TFullStop{"a ", "a "},
                                         TFullStop{"a\xe9", "a\xe9."}));

}  // namespace
}  // namespace tessaly
