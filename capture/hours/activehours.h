// Active hours: the times of day and the daylight in which a series may fetch. Everything here is
// a pure function of an instant (seconds since the epoch, UTC) and the rules; local time comes
// from the time zone in force (TZ), so days on which the clocks change follow the local clock.
#pragma once

#include <ctime>
#include <optional>
#include <vector>

#include "base/text.h"

namespace tessaly {

// One range of local time, [Start, End) in minutes after midnight. End is before Start when the
// range passes midnight; End 1440 is midnight at the end of the day.
struct TClockRange {
  int StartMinute = 0;
  int EndMinute = 0;
};

// Open while the centre of the sun stands above Angle degrees at the place (geometric altitude,
// no refraction): -6 is civil twilight, 0 sunrise to sunset.
struct TDaylightRule {
  double Latitude = 0;   // degrees, north positive
  double Longitude = 0;  // degrees, east positive
  double Angle = -6;
};

struct TActiveHours {
  std::vector<TClockRange> Ranges;  // empty: any time of day
  std::optional<TDaylightRule> Daylight;
  bool Limited() const { return !Ranges.empty() || Daylight.has_value(); }
};

// How far ahead the next change is looked for.
inline constexpr std::time_t kActiveLookAhead = 400 * 86400;

// "HH:MM-HH:MM[,HH:MM-HH:MM...]" (the end may be 24:00). False for any other form and for a
// range that starts where it ends; ranges is then left empty.
bool ParseBetween(const Text& text, std::vector<TClockRange>& ranges);
// "LAT,LON[,ANGLE]" in decimal degrees. False for any other form and for values out of range
// (latitude and angle -90 to 90, longitude -180 to 180).
bool ParseDaylight(const Text& text, TDaylightRule& rule);

// True when the local time of when lies in one of the ranges.
bool InClockRanges(const std::vector<TClockRange>& ranges, std::time_t when);
// The altitude of the sun's centre in degrees at the rule's place; from libnova, serialised
// because the library keeps caches of its own.
double SunAltitude(const TDaylightRule& place, std::time_t when);

struct TActiveState {
  bool Open = true;
  // When open: the first second at which it closes. When closed: the first second at which all
  // rules hold again. Empty when that does not happen within kActiveLookAhead.
  std::optional<std::time_t> Change;
};

// Where a series with these hours stands at when, and when that changes (to the second).
TActiveState ActiveStateAt(const TActiveHours& hours, std::time_t when);

}  // namespace tessaly
