#include "http/retryafter.h"

#include <gtest/gtest.h>

#include <optional>

namespace tessaly {
namespace {

// 1994-11-06T08:49:37Z, the RFC's example instant.
constexpr int64_t kExample = 784111777;

struct RetryCase {
  const char* name;
  const char* value;
  int64_t now;
  std::optional<int64_t> want;
};

class RetryAfterTest : public testing::TestWithParam<RetryCase> {};

TEST_P(RetryAfterTest, Waits) {
  const RetryCase& c = GetParam();
  EXPECT_EQ(ParseRetryAfter(c.value, c.now), c.want) << c.value;
}

const RetryCase kCases[] = {
    {"Seconds", "120", kExample, 120},
    {"SecondsWithSpaces", " \t7 ", kExample, 7},
    {"Zero", "0", kExample, 0},
    {"AtMostADay", "99999999999999999999999", kExample, kMaxRetryAfterSeconds},
    {"ImfDate", "Sun, 06 Nov 1994 08:49:37 GMT", kExample - 90, 90},
    {"Rfc850Date", "Sunday, 06-Nov-94 08:49:37 GMT", kExample - 90, 90},
    {"AsctimeDate", "Sun Nov  6 08:49:37 1994", kExample - 90, 90},
    {"DatePastIsNow", "Sun, 06 Nov 1994 08:49:37 GMT", kExample + 5, 0},
    {"DateFarIsADay", "Sun, 06 Nov 2094 08:49:37 GMT", kExample, kMaxRetryAfterSeconds},
    {"LeapDay", "Thu, 29 Feb 1996 00:00:00 GMT", 825552000 - 1, 1},
    {"NoFebruary30", "Fri, 30 Feb 1996 00:00:00 GMT", kExample, std::nullopt},
    {"Negative", "-5", kExample, std::nullopt},
    {"Fraction", "1.5", kExample, std::nullopt},
    {"NotGmt", "Sun, 06 Nov 1994 08:49:37 UTC", kExample, std::nullopt},
    {"LowerCaseMonth", "Sun, 06 nov 1994 08:49:37 GMT", kExample, std::nullopt},
    {"Empty", "", kExample, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, RetryAfterTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
