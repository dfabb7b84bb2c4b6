#include "capture/series/hourskeeper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace tessaly {
namespace {

using std::chrono::seconds;

// One step at an instant of each clock, in seconds: the wall clock from 2026-06-01 00:00 UTC
// (set by hand between steps when it jumps), the steady one from its zero. 'U' is a look at
// start or after the clock was set, 'W' the wake asked for (both Update), 'O' a tick asking
// Open().
struct KeeperStep {
  char op;
  int64_t steady;
  int64_t wall;
  std::string told;  // "P<until>" paused, "O" opened, "closed" when Open() says so
  int64_t wake;      // the steady instant of the wake asked for last; -1: none
};

struct KeeperCase {
  const char* name;
  std::vector<KeeperStep> steps;
};

class HoursKeeperTest : public testing::TestWithParam<KeeperCase> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

class StepClock final : public TSeriesClock {
 public:
  TTime Now() const override { return TTime(seconds(1'000'000 + at)); }
  int64_t at = 0;
};

// Open from 08:00 to 09:00.
TEST_P(HoursKeeperTest, TakesEachChangeAtItsWallSecond) {
  const std::time_t day = 1780272000;  // 2026-06-01 00:00 UTC
  StepClock steady;
  int64_t wall = 0;
  std::string told;
  int64_t wake = -1;
  THoursKeeper::TEvents events;
  events.Paused = [&](std::time_t now, std::time_t until) {
    EXPECT_EQ(now, day + wall);
    told += "P" + std::to_string(until - day);
  };
  events.Opened = [&] { told += "O"; };
  events.WakeAt = [&](std::optional<TSeriesClock::TTime> when) {
    wake = when ? std::chrono::duration_cast<seconds>(*when - StepClock().Now()).count() : -1;
  };
  TActiveHours hours;
  hours.Ranges = {{8 * 60, 9 * 60}};
  THoursKeeper keeper(hours, events, steady,
                      [&] { return std::chrono::system_clock::from_time_t(day + wall); });
  for (size_t i = 0; i < GetParam().steps.size(); ++i) {
    const KeeperStep& step = GetParam().steps[i];
    steady.at = step.steady;
    wall = step.wall;
    told.clear();
    if (step.op == 'W' || step.op == 'U') keeper.Update();
    if (step.op == 'O' && !keeper.Open()) told += "closed";
    EXPECT_EQ(told, step.told) << "step " << i;
    EXPECT_EQ(wake, step.wake) << "step " << i;
  }
}

const KeeperCase kKeeperCases[] = {
    {"PausesUntilTheRangeOpens",
     {{'U', 0, 25200, "P28800", 3600},
      {'W', 3600, 28800, "O", 7200},
      {'O', 3700, 28900, "", 7200}}},
    {"EarlyWakeAfterTheClockWasSetBack",
     {{'U', 0, 25200, "P28800", 3600},
      {'W', 3600, 28200, "", 4200},
      {'W', 4200, 28800, "O", 7800}}},
    {"ClockSetForwardOpensAtOnce", {{'U', 0, 25200, "P28800", 3600}, {'U', 10, 30600, "O", 1810}}},
    {"ClockSetBackWhileOpenPauses", {{'U', 0, 30600, "", 1800}, {'U', 5, 27000, "P28800", 1805}}},
    {"TickAfterTheCloseTakesItFirst",
     {{'U', 0, 30600, "", 1800}, {'O', 1900, 32401, "P115200closed", 84699}}},
};

INSTANTIATE_TEST_SUITE_P(Table, HoursKeeperTest, testing::ValuesIn(kKeeperCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
