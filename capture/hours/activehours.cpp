#include "capture/hours/activehours.h"

#include <libnova/precession.h>
#include <libnova/solar.h>
#include <libnova/transform.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <string_view>

namespace tessaly {
namespace {

constexpr int kDayMinutes = 24 * 60;
// Ranges change only where a local minute begins (offsets change by whole minutes), so three
// days of local minutes hold every change of ranges that change at all.
constexpr std::time_t kRangeSearch = 3 * 86400;
// The Julian day of the epoch J2000.
constexpr double kJ2000 = 2451545.0;
// Faster than the sun's altitude ever changes anywhere (15.04 degrees an hour at most), in
// degrees per second: no crossing hides inside a step of |altitude - angle| / this.
constexpr double kSunMaxRate = 16.0 / 3600;
// Daylight shorter than this may be stepped over.
constexpr std::time_t kSunMinStep = 60;

// "H:MM" or "HH:MM"; 24:00 only as the end of a range.
bool ParseClock(std::string_view text, bool end, int& minute) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3)
    return false;
  int hour = 0, min = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == colon) continue;
    if (text[i] < '0' || text[i] > '9') return false;
    int& part = i < colon ? hour : min;
    part = part * 10 + (text[i] - '0');
  }
  if (min > 59 || hour > 24 || (hour == 24 && (!end || min != 0))) return false;
  minute = hour * 60 + min;
  return true;
}

bool ParseDegrees(std::string_view text, double limit, double& value) {
  if (text.empty() || text.front() == '+') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value) &&
         std::fabs(value) <= limit;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (size_t at = 0;;) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
    if (next == std::string_view::npos) return parts;
    at = next + 1;
  }
}

std::optional<std::time_t> NextRangeChange(const std::vector<TClockRange>& ranges,
                                           std::time_t when) {
  const bool open = InClockRanges(ranges, when);
  std::tm local{};
  localtime_r(&when, &local);
  for (std::time_t minute = when - local.tm_sec + 60; minute <= when + kRangeSearch; minute += 60)
    if (InClockRanges(ranges, minute) != open) return minute;
  return std::nullopt;
}

bool SunUp(const TDaylightRule& rule, std::time_t when) {
  return SunAltitude(rule, when) > rule.Angle;
}

std::optional<std::time_t> NextSunChange(const TDaylightRule& rule, std::time_t when) {
  double altitude = SunAltitude(rule, when);
  const bool open = altitude > rule.Angle;
  for (std::time_t from = when; from < when + kActiveLookAhead;) {
    const auto step = static_cast<std::time_t>(std::fabs(altitude - rule.Angle) / kSunMaxRate);
    const std::time_t to = from + std::max(step, kSunMinStep);
    altitude = SunAltitude(rule, to);
    if ((altitude > rule.Angle) != open) {
      // One crossing lies in (from, to]: halve down to the second.
      std::time_t low = from, high = to;
      while (high - low > 1) {
        const std::time_t middle = low + (high - low) / 2;
        (SunUp(rule, middle) != open ? high : low) = middle;
      }
      return high;
    }
    from = to;
  }
  return std::nullopt;
}

}  // namespace

bool ParseBetween(const Text& text, std::vector<TClockRange>& ranges) {
  ranges.clear();
  for (std::string_view item : Split(text, ',')) {
    const std::vector<std::string_view> ends = Split(item, '-');
    TClockRange range;
    if (ends.size() != 2 || !ParseClock(ends[0], false, range.StartMinute) ||
        !ParseClock(ends[1], true, range.EndMinute) ||
        range.StartMinute == range.EndMinute % kDayMinutes) {
      ranges.clear();
      return false;
    }
    ranges.push_back(range);
  }
  return true;
}

bool ParseDaylight(const Text& text, TDaylightRule& rule) {
  const std::vector<std::string_view> parts = Split(text, ',');
  TDaylightRule parsed;
  if (parts.size() < 2 || parts.size() > 3 || !ParseDegrees(parts[0], 90, parsed.Latitude) ||
      !ParseDegrees(parts[1], 180, parsed.Longitude) ||
      (parts.size() == 3 && !ParseDegrees(parts[2], 90, parsed.Angle)))
    return false;
  rule = parsed;
  return true;
}

bool InClockRanges(const std::vector<TClockRange>& ranges, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  const int minute = local.tm_hour * 60 + local.tm_min;
  return std::any_of(ranges.begin(), ranges.end(), [minute](const TClockRange& r) {
    return r.StartMinute < r.EndMinute ? r.StartMinute <= minute && minute < r.EndMinute
                                       : minute >= r.StartMinute || minute < r.EndMinute;
  });
}

double SunAltitude(const TDaylightRule& place, std::time_t when) {
  static std::mutex library;
  std::lock_guard lock(library);
  // Julian day of the Unix epoch; the difference between UT and dynamical time (about a
  // minute) moves the sun by less than an arc second.
  const double jd = 2440587.5 + static_cast<double>(when) / 86400.0;
  ln_equ_posn mean{}, sun{};
  ln_get_solar_equ_coords(jd, &mean);
  // The library gives the sun against the equinox of J2000 but the sidereal time of date: a
  // quarter century of precession would put sunrise a minute and a half early.
  ln_get_equ_prec2(&mean, kJ2000, jd, &sun);
  ln_lnlat_posn observer{place.Longitude, place.Latitude};
  ln_hrz_posn horizontal{};
  ln_get_hrz_from_equ(&sun, &observer, jd, &horizontal);
  return horizontal.alt;
}

TActiveState ActiveStateAt(const TActiveHours& hours, std::time_t when) {
  auto ranges_open = [&](std::time_t t) {
    return hours.Ranges.empty() || InClockRanges(hours.Ranges, t);
  };
  auto sun_open = [&](std::time_t t) { return !hours.Daylight || SunUp(*hours.Daylight, t); };

  if (ranges_open(when) && sun_open(when)) {
    std::optional<std::time_t> ranges_change, sun_change;
    if (!hours.Ranges.empty()) ranges_change = NextRangeChange(hours.Ranges, when);
    if (hours.Daylight) sun_change = NextSunChange(*hours.Daylight, when);
    if (ranges_change && sun_change) return {true, std::min(*ranges_change, *sun_change)};
    return {true, ranges_change ? ranges_change : sun_change};
  }
  // Closed: move to where each closed rule opens until both hold at once.
  for (std::time_t at = when; at - when < kActiveLookAhead;) {
    const bool ranges = ranges_open(at), sun = sun_open(at);
    if (ranges && sun) return {false, at};
    std::time_t next = at;
    for (const auto& change :
         {ranges ? std::optional<std::time_t>(at) : NextRangeChange(hours.Ranges, at),
          sun ? std::optional<std::time_t>(at) : NextSunChange(*hours.Daylight, at)}) {
      if (!change) return {false, std::nullopt};
      next = std::max(next, *change);
    }
    at = next;
  }
  return {false, std::nullopt};
}

}  // namespace tessaly
