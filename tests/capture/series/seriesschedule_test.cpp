#include "capture/series/seriesschedule.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace tessaly {
namespace {

using std::chrono::milliseconds;
using TTime = TSeriesSchedule::TTime;

// One step at an instant (ms after the clock's zero): Start (with the row's interval), a clock
// poll (Due), a tick of the window's own timer, the running job's end, or Stop. want: what the
// step answers; a Due or Tick that answers true starts a job.
struct Step {
  char op;  // 'S' Start, 'D' Due, 'T' Tick, 'E' job ended, 'X' Stop, 'H' hold until `at`
  int64_t at;
  bool want;
};

struct ScheduleCase {
  const char* name;
  std::optional<int64_t> interval_ms;  // none: the window's timer ticks
  std::vector<Step> steps;
  int64_t dropped;
  std::optional<int64_t> next_wake_ms;  // -1: at once
};

class SeriesScheduleTest : public testing::TestWithParam<ScheduleCase> {};

TEST_P(SeriesScheduleTest, StartsDropsAndWakes) {
  const ScheduleCase& c = GetParam();
  TSeriesSchedule schedule;
  const TTime zero{milliseconds(1'000'000)};
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    const TTime now = zero + milliseconds(step.at);
    bool got = false;
    switch (step.op) {
      case 'S':
        got = schedule.Start(now, c.interval_ms
                                      ? std::optional<milliseconds>(milliseconds(*c.interval_ms))
                                      : std::nullopt);
        if (got) schedule.JobStarted();
        break;
      case 'D':
        got = schedule.Due(now);
        if (got) schedule.JobStarted();
        break;
      case 'T':
        got = schedule.Tick();
        if (got) schedule.JobStarted();
        break;
      case 'E':
        got = schedule.JobEnded();
        if (got) schedule.JobStarted();
        break;
      case 'X':
        schedule.Stop();
        got = step.want;
        break;
      case 'H':
        schedule.HoldUntil(now);
        got = step.want;
        break;
    }
    EXPECT_EQ(got, step.want) << "step " << i << " '" << step.op << "' at " << step.at;
    EXPECT_FALSE(got && step.op != 'X' && !schedule.JobRunning()) << "step " << i;
  }
  EXPECT_EQ(schedule.Dropped(), c.dropped);
  const auto wake = schedule.NextWake();
  ASSERT_EQ(wake.has_value(), c.next_wake_ms.has_value());
  if (wake && *c.next_wake_ms < 0) {
    EXPECT_LE(*wake, zero);
  } else if (wake) {
    EXPECT_EQ(*wake, zero + milliseconds(*c.next_wake_ms));
  }
}

const ScheduleCase kCases[] = {
    {"FirstFetchAtStart", 1000, {{'S', 0, true}}, 0, 1000},
    {"TickAfterTheJobEnded", 1000, {{'S', 0, true}, {'E', 300, false}, {'D', 1000, true}}, 0, 2000},
    {"NotBeforeTheTick", 1000, {{'S', 0, true}, {'E', 300, false}, {'D', 999, false}}, 0, 1000},
    {"TickDuringAJobIsDropped",
     1000,
     {{'S', 0, true}, {'D', 1000, false}, {'E', 1500, false}, {'D', 1999, false}},
     1,
     2000},
    {"UnseenTicksAreDroppedNotMadeUp",
     1000,
     {{'S', 0, true}, {'E', 100, false}, {'D', 3500, true}},
     2,
     4000},
    {"BeatStaysFromStart",
     1000,
     {{'S', 250, true}, {'E', 300, false}, {'D', 1300, true}, {'E', 1400, false}},
     0,
     2250},
    {"BackToBack", 0, {{'S', 0, true}, {'D', 5, false}, {'E', 10, false}, {'D', 10, true}}, 0, {}},
    {"BackToBackIdleWakesAtOnce", 0, {{'S', 0, true}, {'E', 10, false}}, 0, -1},
    {"StartBehindAnEarlierJobWaitsForItsEnd",
     1000,
     {{'S', 0, true}, {'X', 10, false}, {'S', 20, false}, {'E', 30, true}},
     0,
     1020},
    {"StopForgetsTheWaitingFirstJob",
     1000,
     {{'S', 0, true}, {'X', 10, false}, {'S', 20, false}, {'X', 25, false}, {'E', 30, false}},
     0,
     {}},
    {"StoppedSeriesHasNoTicks",
     1000,
     {{'S', 0, true}, {'E', 10, false}, {'X', 20, false}, {'D', 5000, false}},
     0,
     {}},
    {"HeldTicksPassWithoutAJob",
     1000,
     {{'S', 0, true},
      {'E', 100, false},
      {'H', 3500, false},
      {'D', 1000, false},
      {'D', 3000, false}},
     3,
     4000},
    {"TheFirstTickAfterTheHoldIsDue",
     1000,
     {{'S', 0, true}, {'E', 100, false}, {'H', 3500, false}, {'D', 4000, true}},
     3,
     5000},
    {"BackToBackWaitsForTheHold",
     0,
     {{'S', 0, true}, {'E', 10, false}, {'H', 500, false}, {'D', 20, false}},
     0,
     500},
    {"StartForgetsTheHold", 1000, {{'H', 3500, false}, {'S', 0, true}}, 0, 1000},
    {"WindowTicksBeforeAnyStartAreDropped", {}, {{'T', 0, false}}, 1, {}},
    {"WindowTickWhileAJobRunsIsDropped",
     {},
     {{'S', 0, true}, {'T', 10, false}, {'E', 20, false}, {'T', 30, true}},
     1,
     {}},
    {"WindowTickAfterStopStillStartsAJob",
     {},
     {{'S', 0, true}, {'E', 10, false}, {'X', 20, false}, {'T', 30, true}},
     0,
     {}},
};

INSTANTIATE_TEST_SUITE_P(Table, SeriesScheduleTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
