#include "capture/hours/activehours.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/childprocess.h"

namespace tessaly {
namespace {

// "YYYY-MM-DD[ HH:MM[:SS]]" in UTC.
std::time_t Utc(const std::string& text) {
  std::tm tm{};
  std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
              &tm.tm_min, &tm.tm_sec);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return timegm(&tm);
}

TEST(ActiveHoursParse, AcceptsTheWrittenFormsOnly) {
  const std::pair<Text, bool> between[] = {
      {"7:05-9:30,22:00-24:00", true}, {"22:00-02:00", true},  {"08:00", false},
      {"08:00-08:00", false},          {"24:00-01:00", false}, {"08:60-09:00", false},
      {"08:00-09:00,", false},         {"08:00-24:01", false}, {"8-17", false},
      {"08:00-09:00-10:00", false},    {"0800-0900", false},   {"", false}};
  std::vector<TClockRange> ranges;
  for (const auto& [text, ok] : between) EXPECT_EQ(ParseBetween(text, ranges), ok) << text;
  const std::pair<Text, bool> daylight[] = {
      {"52.5,13.4", true}, {"-33.9,151.2,0", true}, {"90,-180,-0.833", true}, {"52.5", false},
      {"91,0", false},     {"0,181", false},        {"0,0,-91", false},       {"+1,0", false},
      {"1,2,3,4", false},  {"nan,0", false},        {" 1,0", false},          {"1;2", false}};
  TDaylightRule rule;
  for (const auto& [text, ok] : daylight) EXPECT_EQ(ParseDaylight(text, rule), ok) << text;
}

// Berlin's clocks go forward at 01:00 UTC on 2026-03-29 and back at 01:00 UTC on 2026-10-25.
class ActiveHoursInBerlin : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(ActiveHoursInBerlin, LocalRangesAcrossMidnightAndClockChanges) {
  struct Row {
    const char *between, *at;
    bool open;
    const char* change;  // "" when it never changes
  } const rows[] = {
      {"08:00-17:00", "2026-12-08 06:30", false, "2026-12-08 07:00"},
      {"08:00-17:00", "2026-12-08 06:59:30", false, "2026-12-08 07:00"},
      {"22:00-02:00", "2026-12-08 22:00", true, "2026-12-09 01:00"},
      {"22:00-02:00", "2026-12-09 02:00", false, "2026-12-09 21:00"},
      {"6:00-7:00,18:00-19:00", "2026-12-08 06:30", false, "2026-12-08 17:00"},
      {"00:00-12:00,12:00-24:00", "2026-12-08 06:30", true, ""},
      {"01:30-02:30", "2026-03-29 00:45", true, "2026-03-29 01:00"},
      {"02:15-04:00", "2026-03-29 00:00", false, "2026-03-29 01:00"},
      {"08:00-09:00", "2026-03-28 11:00", false, "2026-03-29 06:00"},
      {"08:00-09:00", "2026-10-24 10:00", false, "2026-10-25 07:00"},
      {"08:00-08:30", "2026-10-24 06:30", false, "2026-10-25 07:00"},
      {"02:30-02:45", "2026-10-25 00:00", false, "2026-10-25 00:30"},
      {"02:30-02:45", "2026-10-25 00:40:30", true, "2026-10-25 00:45"},
      {"02:30-02:45", "2026-10-25 00:50", false, "2026-10-25 01:30"},
  };
  for (const Row& row : rows) {
    TActiveHours hours;
    ASSERT_TRUE(ParseBetween(row.between, hours.Ranges)) << row.between;
    const TActiveState state = ActiveStateAt(hours, Utc(row.at));
    const std::string what = std::string(row.between) + " at " + row.at;
    EXPECT_EQ(state.Open, row.open) << what;
    EXPECT_EQ(state.Change.value_or(0), *row.change ? Utc(row.change) : 0) << what;
  }
}

// Ranges and daylight together: open only while both hold, walked through one day.
TEST_F(ActiveHoursInBerlin, BothRulesMustHold) {
  TActiveHours sun, both;
  sun.Daylight = both.Daylight = TDaylightRule{52.52, 13.40, -6};
  ASSERT_TRUE(ParseBetween("06:00-10:00,15:00-23:00", both.Ranges));
  const std::time_t dawn = ActiveStateAt(sun, Utc("2026-12-08 04:00")).Change.value_or(0);
  const std::time_t dusk = ActiveStateAt(sun, Utc("2026-12-08 12:00")).Change.value_or(0);
  const std::time_t next_dawn = ActiveStateAt(sun, dusk).Change.value_or(0);
  const std::time_t steps[] = {Utc("2026-12-08 04:00"), dawn, Utc("2026-12-08 09:00"),
                               Utc("2026-12-08 14:00"), dusk, next_dawn};
  for (size_t i = 0; i + 1 < std::size(steps); ++i) {
    const TActiveState state = ActiveStateAt(both, steps[i]);
    EXPECT_EQ(state.Open, i % 2 == 1) << i;
    EXPECT_EQ(state.Change.value_or(0), steps[i + 1]) << i;
  }
}

// Each daylight period's start and end against an independent ephemeris, run at test time.
TEST(ActiveHoursDaylight, AgreesWithEphemWithinTwoMinutes) {
  struct Row {
    const char* place;
    double lat, lon, angle;
    const char* date;  // the search starts at 00:00 UTC
  } const rows[] = {
      {"Berlin, clocks forward", 52.52, 13.40, -6, "2026-03-29"},
      {"Berlin, clocks back", 52.52, 13.40, 0, "2026-10-25"},
      {"New York, clocks forward", 40.71, -74.01, -6, "2026-03-08"},
      {"Sydney, clocks back", -33.87, 151.21, 0, "2026-04-05"},
      {"Sydney, clocks forward", -33.87, 151.21, -6, "2026-10-04"},
      {"Quito, equinox", -0.18, -78.47, 0, "2026-03-20"},
      {"Singapore", 1.35, 103.82, -6, "2026-06-21"},
      {"Arctic circle, winter", 66.56, 25.70, -6, "2026-12-21"},
      {"Arctic circle, summer", 66.56, 25.70, -6, "2026-06-21"},
      {"Antarctic circle, winter", -66.56, 0, -3, "2026-06-21"},
      {"Tromso, polar day", 69.65, 18.96, 0, "2026-06-21"},
      {"Tromso, polar night", 69.65, 18.96, 0, "2026-12-21"},
      {"Longyearbyen, polar night", 78.22, 15.65, -6, "2026-12-21"},
      {"North pole", 90, 0, -6, "2026-06-21"},
      {"South pole", -90, 0, -6, "2026-06-21"},
      {"McMurdo, polar day", -77.85, 166.67, 0, "2026-12-21"},
      {"Reykjavik, short night", 64.15, -21.94, 0, "2026-06-21"},
      {"Cape Town, ten degrees", -33.92, 18.42, 10, "2026-01-15"},
      {"Honolulu", 21.31, -157.86, 0, "2026-07-01"},
      {"Ushuaia", -54.80, -68.30, -6, "2026-12-21"},
  };
  ScratchDir dir;
  std::ostringstream input;
  for (const Row& row : rows)
    input << row.lat << ' ' << row.lon << ' ' << row.angle << ' ' << Utc(row.date) << '\n';
  const std::string in = dir.WriteFile("places", input.str());
  FILE* ephem =
      popen((std::string(TESSALY_EPHEM_PYTHON " " TESSALY_SUN_SCRIPT " <") + in).c_str(), "r");
  ASSERT_TRUE(ephem);
  for (const Row& row : rows) {
    char rise[32] = "", set[32] = "";
    ASSERT_EQ(std::fscanf(ephem, "%31s %31s", rise, set), 2) << row.place;
    TActiveHours hours;
    hours.Daylight = TDaylightRule{row.lat, row.lon, row.angle};
    const std::time_t start = Utc(row.date);
    const TActiveState first = ActiveStateAt(hours, start);
    if (std::string(rise) == "always" || std::string(rise) == "never") {
      EXPECT_EQ(first.Open, std::string(rise) == "always") << row.place;
      EXPECT_GT(first.Change.value_or(start + kActiveLookAhead), start + 86400) << row.place;
      continue;
    }
    ASSERT_TRUE(first.Change) << row.place;
    const TActiveState second = ActiveStateAt(hours, *first.Change);
    EXPECT_NE(second.Open, first.Open) << row.place;
    EXPECT_NEAR(*first.Change, std::atoll(first.Open ? set : rise), 120) << row.place;
    EXPECT_NEAR(second.Change.value_or(0), std::atoll(first.Open ? rise : set), 120) << row.place;
  }
  EXPECT_EQ(pclose(ephem), 0);
}

}  // namespace
}  // namespace tessaly
