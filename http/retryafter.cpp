#include "http/retryafter.h"

#include <algorithm>
#include <cstring>

namespace tessaly {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char* kLongDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                     "Friday", "Saturday", "Sunday"};

// Reads the text from the front; every step answers whether it matched and moves on if so.
class TCursor {
 public:
  explicit TCursor(const Text& text) : text_(text) {}
  bool AtEnd() const { return at_ == text_.size(); }
  bool Literal(const char* word) {
    const size_t length = std::strlen(word);
    if (text_.compare(at_, length, word) != 0) return false;
    at_ += length;
    return true;
  }
  // One of the words (case as written: HTTP-date is case-sensitive); its index.
  template <size_t N>
  bool OneOf(const char* const (&words)[N], int& index) {
    for (size_t i = 0; i < N; ++i) {
      if (Literal(words[i])) {
        index = static_cast<int>(i);
        return true;
      }
    }
    return false;
  }
  // Exactly `count` digits.
  bool Digits(int count, int& value) {
    if (text_.size() - at_ < static_cast<size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
      const char c = text_[at_ + static_cast<size_t>(i)];
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    at_ += static_cast<size_t>(count);
    return true;
  }
  // "HH:MM:SS".
  bool Clock(int& seconds) {
    int h = 0, m = 0, s = 0;
    if (!Digits(2, h) || !Literal(":") || !Digits(2, m) || !Literal(":") || !Digits(2, s))
      return false;
    if (h > 23 || m > 59 || s > 60) return false;  // 60: a leap second
    seconds = h * 3600 + m * 60 + s;
    return true;
  }

 private:
  const Text& text_;
  size_t at_ = 0;
};

bool LeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 1 && LeapYear(year) ? 29 : kDaysIn[month];
}

// Days from 1970-01-01 to the date (month 0-11), by the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  int64_t y = year;
  const int64_t m = month + 1;
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The civil year of an instant, for the RFC 850 window.
int64_t YearOf(int64_t seconds) {
  int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  return yoe + era * 400 + (mp >= 10 ? 1 : 0);
}

std::optional<int64_t> Instant(int64_t year, int month, int day, int clock) {
  if (day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + clock;
}

Text Trimmed(const Text& value) {
  const size_t first = value.find_first_not_of(" \t");
  if (first == Text::npos) return Text();
  const size_t last = value.find_last_not_of(" \t");
  return value.substr(first, last - first + 1);
}

}  // namespace

std::optional<int64_t> ParseHttpDate(const Text& value, int64_t now) {
  int weekday = 0, day = 0, month = 0, year = 0, clock = 0;
  {  // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    TCursor at(value);
    if (at.OneOf(kDays, weekday) && at.Literal(", ") && at.Digits(2, day) && at.Literal(" ") &&
        at.OneOf(kMonths, month) && at.Literal(" ") && at.Digits(4, year) && at.Literal(" ") &&
        at.Clock(clock) && at.Literal(" GMT") && at.AtEnd())
      return Instant(year, month, day, clock);
  }
  {  // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    TCursor at(value);
    if (at.OneOf(kLongDays, weekday) && at.Literal(", ") && at.Digits(2, day) && at.Literal("-") &&
        at.OneOf(kMonths, month) && at.Literal("-") && at.Digits(2, year) && at.Literal(" ") &&
        at.Clock(clock) && at.Literal(" GMT") && at.AtEnd()) {
      // RFC 9110: a year more than 50 years ahead is the most recent past one of those digits.
      const int64_t this_year = YearOf(now);
      int64_t full = this_year - ((this_year % 100) + 100) % 100 + year;
      if (full > this_year + 50) full -= 100;
      if (full <= this_year - 50) full += 100;
      return Instant(full, month, day, clock);
    }
  }
  {  // asctime: "Sun Nov  6 08:49:37 1994" (a day below 10 has a space for its first digit)
    TCursor at(value);
    if (at.OneOf(kDays, weekday) && at.Literal(" ") && at.OneOf(kMonths, month) &&
        at.Literal(" ")) {
      const bool one_digit = at.Literal(" ");
      if (at.Digits(one_digit ? 1 : 2, day) && at.Literal(" ") && at.Clock(clock) &&
          at.Literal(" ") && at.Digits(4, year) && at.AtEnd())
        return Instant(year, month, day, clock);
    }
  }
  return std::nullopt;
}

std::optional<int64_t> ParseRetryAfter(const Text& value, int64_t now) {
  const Text text = Trimmed(value);
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") == Text::npos) {
    int64_t seconds = 0;
    for (char c : text) {
      seconds = seconds * 10 + (c - '0');
      if (seconds >= kMaxRetryAfterSeconds) return kMaxRetryAfterSeconds;
    }
    return seconds;
  }
  const std::optional<int64_t> date = ParseHttpDate(text, now);
  if (!date) return std::nullopt;
  if (*date <= now) return 0;
  return std::min(*date - now, kMaxRetryAfterSeconds);
}

}  // namespace tessaly
