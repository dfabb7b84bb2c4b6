#include "base/codec.h"

#include <gtest/gtest.h>

#include "base/clock.h"

namespace tessaly {
namespace {

struct Base64Case {
  Text plain;
  const char* encoded;
};

class Base64Test : public ::testing::TestWithParam<Base64Case> {};
TEST_P(Base64Test, EncodesWithPadding) {
  EXPECT_EQ(Base64Encode(GetParam().plain), GetParam().encoded);
}
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Test,
                         ::testing::Values(Base64Case{"", ""}, Base64Case{"a", "YQ=="},
                                           Base64Case{"abc", "YWJj"}, Base64Case{"f", "Zg=="},
                                           Base64Case{"fo", "Zm8="},
                                           Base64Case{"foobar", "Zm9vYmFy"},
                                           Base64Case{"user:pa:ss", "dXNlcjpwYTpzcw=="},
                                           Base64Case{Text("\xFF\xFE\x00", 3), "//4A"}));

TEST(ByteOrderTest, HighByteFirst) {
  EXPECT_EQ(WordToBytes(1080), Text("\x04\x38", 2));
  EXPECT_EQ(BytesToWord(Text("\x04\x38", 2)), 1080);
  EXPECT_EQ(BytesToWord(Text("\x00\x00\x50", 3), 2), 80);
  EXPECT_EQ(BytesToWord(Text("\x04", 1)), 0) << "a word needs both bytes";
  EXPECT_EQ(BytesToWord(Text("\x04\x38", 2), 2), 0);
  EXPECT_EQ(LongToBytes(0x01020304u), Text("\x01\x02\x03\x04", 4));
  EXPECT_EQ(SwapBytes32(0x01020304u), 0x04030201u);
}

TEST(ClockTest, SpanIsWrapSafe) {
  EXPECT_EQ(TickSpan(4294967290u, 6u), 12);
  EXPECT_EQ(TickSpan(100u, 100u), 0);
  EXPECT_EQ(TickSpan(100u, 250u), 150);
  EXPECT_EQ(TickSpan(250u, 100u), -150);
}

TEST(ClockTest, TickCountAdvancesWithSleep) {
  const uint32_t start = TickCount();
  SleepMs(30);
  const int32_t elapsed = TickSpan(start, TickCount());
  EXPECT_GE(elapsed, 25);
  EXPECT_LT(elapsed, 5000);
}

}  // namespace
}  // namespace tessaly
