#include "base/ipaddr.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

struct LiteralCase {
  const char* text;
  bool want;
};

class IPv4TextTest : public ::testing::TestWithParam<LiteralCase> {};
TEST_P(IPv4TextTest, RecognisesDottedQuads) {
  EXPECT_EQ(IsIPv4Text(GetParam().text), GetParam().want) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Table, IPv4TextTest,
    ::testing::Values(LiteralCase{"1.2.3.4", true}, LiteralCase{"1.2.3", false},
                      LiteralCase{"1.2.3.4.5", false}, LiteralCase{"256.1.1.1", false},
                      LiteralCase{"01.2.3.4", true}, LiteralCase{"1 . 2 . 3 . 4", true},
                      LiteralCase{"0.0.0.0", true}, LiteralCase{"255.255.255.255", true},
                      LiteralCase{"+1.2.3.4", false}, LiteralCase{"$A.2.3.4", false},
                      LiteralCase{"1..3.4", false}, LiteralCase{"", false},
                      LiteralCase{"cam.local", false}, LiteralCase{"1.2.3.-4", false}));

class IPv6TextTest : public ::testing::TestWithParam<LiteralCase> {};
TEST_P(IPv6TextTest, RecognisesColonGroups) {
  EXPECT_EQ(IsIPv6Text(GetParam().text), GetParam().want) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Table, IPv6TextTest,
    ::testing::Values(LiteralCase{"::", true}, LiteralCase{"::1", true},
                      LiteralCase{"fe80::1%3", true}, LiteralCase{"fe80::1%eth0", false},
                      LiteralCase{"1:2:3:4:5:6:7:8", true}, LiteralCase{"1:2:3:4:5:6:7:8:9", false},
                      LiteralCase{"1:::2", false}, LiteralCase{"abc", false},
                      LiteralCase{"cafe:1", true}, LiteralCase{"0000000001::1", true},
                      LiteralCase{"1::2::3", false}, LiteralCase{"10000::1", false},
                      LiteralCase{"fe80::", false}, LiteralCase{"1.2.3.4", false},
                      LiteralCase{"", false}, LiteralCase{"g::1", false}));

TEST(IPv4BytesTest, PartsParsedWithZeroDefault) {
  EXPECT_EQ(IPv4TextToBytes("192.0.2.1"), Text("\xC0\x00\x02\x01", 4));
  EXPECT_EQ(IPv4TextToBytes("1.x.3.4"), Text("\x01\x00\x03\x04", 4));
}

struct V6Case {
  const char* text;
  const char* canonical;
};
class IPv6BytesTest : public ::testing::TestWithParam<V6Case> {};
TEST_P(IPv6BytesTest, RoundTripsThroughBytes) {
  const Text bytes = IPv6TextToBytes(GetParam().text);
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(IPv6BytesToText(bytes), GetParam().canonical);
}
INSTANTIATE_TEST_SUITE_P(Table, IPv6BytesTest,
                         ::testing::Values(V6Case{"::1", "::1"}, V6Case{"::", "::"},
                                           V6Case{"FE80::1%3", "fe80::1"},
                                           V6Case{"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
                                           V6Case{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
                                           V6Case{"1::", "1::"},
                                           V6Case{"0:0:1:0:0:0:2:0", "0:0:1::2:0"}));

TEST(IPv6BytesTest, TooManyGroupsStayWithinSixteenBytes) {
  EXPECT_EQ(IPv6BytesToText(IPv6TextToBytes("1::2:3:4:5:6:7:8:9:a")), "1:4:5:6:7:8:9:a")
      << "the last groups after the gap fill what is left";
  EXPECT_EQ(IPv6TextToBytes("1:2:3:4:5:6:7:8:9::").size(), 16u);
  EXPECT_EQ(IPv6TextToBytes("::1:2:3:4:5:6:7:8:9").size(), 16u);
}

TEST(IPv6BytesTest, LoopbackBytes) {
  EXPECT_EQ(IPv6TextToBytes("::1"), Text(15, '\0') + "\x01");
}

}  // namespace
}  // namespace tessaly
