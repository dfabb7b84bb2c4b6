// Retry-After: any bytes give either nothing or a wait within [0, a day]; digits give their
// value (cut to a day); a date gives its distance from now; and every instant written in each
// of the three HTTP-date forms reads back to itself.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "fuzz/fuzzsupport.h"
#include "http/retryafter.h"

namespace {

constexpr char kTarget[] = "retry_after";

using tessaly::Text;

Text Format(const char* format, int64_t instant) {
  const time_t t = static_cast<time_t>(instant);
  tm parts{};
  gmtime_r(&t, &parts);
  char buffer[64];
  // strftime's names are the C locale's, which are HTTP's.
  const size_t n = strftime(buffer, sizeof buffer, format, &parts);
  return Text(buffer, n);
}

int64_t Clamp(int64_t wait) {
  return std::clamp<int64_t>(wait, 0, tessaly::kMaxRetryAfterSeconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  fuzz::TInput input(data, size);
  // now anywhere from 1970 to about 2242; an instant up to about 34 years either side of it.
  const int64_t now = static_cast<int64_t>(input.Quad()) * 2;
  const int64_t delta = static_cast<int64_t>(static_cast<int32_t>(input.Quad()) / 2);
  const Text text = input.Rest();
  const Text shown = fuzz::Escaped(text);

  const std::optional<int64_t> wait = ParseRetryAfter(text, now);
  if (wait) FUZZ_CHECK(*wait >= 0 && *wait <= kMaxRetryAfterSeconds, "bounds of " + shown);
  const size_t first = text.find_first_not_of(" \t");
  const Text trimmed =
      first == Text::npos ? Text() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
  if (!trimmed.empty() && trimmed.find_first_not_of("0123456789") == Text::npos) {
    int64_t value = 0;
    for (char c : trimmed) value = std::min<int64_t>(value * 10 + (c - '0'), 1LL << 40);
    FUZZ_CHECK(wait && *wait == Clamp(value), "delay-seconds " + shown);
  } else {
    const std::optional<int64_t> date = ParseHttpDate(trimmed, now);
    FUZZ_CHECK(wait.has_value() == date.has_value(), "a wait is a date or digits: " + shown);
    if (date) FUZZ_CHECK(*wait == Clamp(*date - now), "date distance of " + shown);
  }

  const int64_t instant = now + delta;
  if (instant >= 0) {
    for (const char* format :
         {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
      const Text written = Format(format, instant);
      const std::optional<int64_t> back = ParseHttpDate(written, now);
      FUZZ_CHECK(back && *back == instant,
                 "round trip of " + written + " at now " + IntToText(now));
      const std::optional<int64_t> again = ParseRetryAfter(" " + written + "\t", now);
      FUZZ_CHECK(again && *again == Clamp(delta), "wait until " + written);
    }
  }
  return 0;
}
