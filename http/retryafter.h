// The Retry-After field of a busy answer (429, 503): how long the server asks to be left alone.
// A pure function of the field's value and the wall clock's now.
#pragma once

#include <cstdint>
#include <optional>

#include "base/text.h"

namespace tessaly {

// The longest wait a Retry-After is honoured for; a longer one is cut to it, so that a wrong
// clock or a hostile server cannot silence a camera for good.
inline constexpr int64_t kMaxRetryAfterSeconds = 24 * 60 * 60;

// The wait a Retry-After value asks for, in whole seconds from now (seconds since the epoch,
// UTC): delay-seconds (digits only), or an HTTP-date in any of its three forms (IMF-fixdate
// "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT", asctime
// "Sun Nov  6 08:49:37 1994"; RFC 9110 5.6.7) less now, 0 for a date already past. At most
// kMaxRetryAfterSeconds. Spaces and tabs around the value are ignored; none for any other text.
std::optional<int64_t> ParseRetryAfter(const Text& value, int64_t now);

// The HTTP-date alone, as seconds since the epoch; none for another text. A two-digit RFC 850
// year is the one of that century nearest to and not more than 50 years after now.
std::optional<int64_t> ParseHttpDate(const Text& value, int64_t now);

}  // namespace tessaly
