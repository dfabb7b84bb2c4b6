// The film's span in local days: a day the clocks change is 23 or 25 hours long, "yesterday"
// is the day before whatever the hour, and words that are no time are refused.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>

#include "cli/timelapse.h"

namespace tessaly {

TEST(TimelapseLine, LocalDaysAcrossClockChanges) {
  const char* zone = getenv("TZ");
  const Text saved = zone ? zone : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct TRow {
    Text Day;
    std::time_t Now;
    Text Date;  // "" for a refused day
    int64_t From;
    int64_t Hours;
  };
  const TRow rows[] = {
      {"2026-03-29", 0, "2026-03-29", 1774738800, 23},  // summer time begins
      {"2026-10-25", 0, "2026-10-25", 1792879200, 25},  // and ends
      {"2026-12-10", 0, "2026-12-10", 1796857200, 24},
      // 00:30 on 30 March in Berlin (22:30 UTC the day before): yesterday is the short day.
      {"yesterday", 1774823400, "2026-03-29", 1774738800, 23},
      {"today", 1774823400, "2026-03-30", 1774821600, 24},
      {"2026-02-29", 0, "", 0, 0},
      {"2026-1-01", 0, "", 0, 0},
      {"tomorrow", 0, "", 0, 0},
  };
  for (const TRow& row : rows) {
    Text date;
    int64_t from = 0;
    int64_t to = 0;
    const bool ok = ParseDay(row.Day, row.Now, date, from, to);
    EXPECT_EQ(ok, !row.Date.empty()) << row.Day;
    if (!ok) continue;
    EXPECT_EQ(date, row.Date) << row.Day;
    EXPECT_EQ(from, row.From) << row.Day;
    EXPECT_EQ(to - from, row.Hours * 3600) << row.Day;
  }
  int64_t at = 0;
  EXPECT_TRUE(ParseLocalTime("2026-10-25 12:00", at));
  EXPECT_EQ(at, 1792879200 + 13 * 3600);  // 12:00 CET, an hour more since midnight CEST
  for (const char* bad : {"2026-10-25 24:00", "2026-10-25 12", "@-5", "2026-10-25x12:00"})
    EXPECT_FALSE(ParseLocalTime(bad, at)) << bad;
  if (zone)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace tessaly
