#include "capture/naming.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>

#include "support/childprocess.h"

namespace tessaly {
namespace {

struct TSegmentCase {
  const char* address;
  const char* segment;
};

class UrlFileNameTest : public testing::TestWithParam<TSegmentCase> {};

TEST_P(UrlFileNameTest, TakesTheLastSegmentMadeSafe) {
  EXPECT_EQ(UrlFileName(GetParam().address), GetParam().segment);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UrlFileNameTest,
    testing::Values(TSegmentCase{"http://h/cam/image.jpg", "image.jpg"},
                    TSegmentCase{"http://h/a.b.c.jpg", "a.b.c.jpg"},
                    TSegmentCase{"http://h/snap.cgi?w=640&h=480", "snap.cgi_w=640_h=480"},
                    TSegmentCase{"http://h/live", "live"}, TSegmentCase{"http://h/", ""},
                    TSegmentCase{"http://h/my%20cam.jpg", "my%20cam.jpg"},
                    TSegmentCase{"", ""}, TSegmentCase{"no slash at all", ""},
                    TSegmentCase{"x/=%#-[] .\x80\xff", "=%#-[] .\x80\xff"},
                    TSegmentCase{"x/a\\b", "a_b"}, TSegmentCase{"x/a\x7f", "a\x7f"}));

// Every unsafe byte becomes "_" in place, with its neighbours untouched.
class UnsafeByteTest : public testing::TestWithParam<char> {};

TEST_P(UnsafeByteTest, BecomesUnderscore) {
  const Text address = Text("http://h/a") + GetParam() + "b.jpg";
  EXPECT_EQ(UrlFileName(address), "a_b.jpg");
}

INSTANTIATE_TEST_SUITE_P(Listed, UnsafeByteTest,
                         testing::Values('"', '&', '\'', '*', '+', ',', ':', ';', '<', '>', '?',
                                         '\\', '|'));
INSTANTIATE_TEST_SUITE_P(Control, UnsafeByteTest,
                         testing::Values('\x01', '\t', '\n', '\r', '\x1b', '\x1f'));

TEST(UrlFileName, NulByteIsReplacedToo) {
  EXPECT_EQ(UrlFileName(Text("h/a\0b", 5)), "a_b");
}

struct TSplitCase {
  const char* name;
  const char* base;
  const char* ext;
};

class SplitTest : public testing::TestWithParam<TSplitCase> {};

TEST_P(SplitTest, BaseAndExtension) {
  EXPECT_EQ(FileNameBase(GetParam().name), GetParam().base);
  EXPECT_EQ(FileNameExt(GetParam().name), GetParam().ext);
}

INSTANTIATE_TEST_SUITE_P(Names, SplitTest,
                         testing::Values(TSplitCase{"image.jpg", "image", ".jpg"},
                                         TSplitCase{"a.b.c.jpg", "a.b.c", ".jpg"},
                                         TSplitCase{"snap.cgi_w=640_h=480", "snap",
                                                    ".cgi_w=640_h=480"},
                                         TSplitCase{"live", "", ""}, TSplitCase{"", "", ""},
                                         TSplitCase{".hidden", "", ".hidden"},
                                         TSplitCase{"trail.", "trail", "."},
                                         TSplitCase{"dir.x/file", "dir", ""}));

struct TCounterCase {
  int32_t counter;
  const char* suffix;
};

class CounterSuffixTest : public testing::TestWithParam<TCounterCase> {};

TEST_P(CounterSuffixTest, PadsToEightDigits) {
  EXPECT_EQ(CounterSuffix(GetParam().counter), GetParam().suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Counters, CounterSuffixTest,
    testing::Values(TCounterCase{0, "_00000000"}, TCounterCase{1, "_00000001"},
                    TCounterCase{7, "_00000007"}, TCounterCase{10, "_00000010"},
                    TCounterCase{9999999, "_09999999"}, TCounterCase{12345678, "_12345678"},
                    TCounterCase{123456789, "_123456789"},
                    TCounterCase{INT32_MAX, "_2147483647"}, TCounterCase{-5, "_0000000-5"},
                    TCounterCase{-123, "_0000000-123"},
                    TCounterCase{INT32_MIN, "_0000000-2147483648"}));

struct TFileCase {
  const char* path_after_host;
  int32_t counter;
  const char* file;
};

class FreshFilePathTest : public testing::TestWithParam<TFileCase> {
 protected:
  ScratchDir dir_;
};

TEST_P(FreshFilePathTest, NamesFromAddressAndCounter) {
  ASSERT_FALSE(dir_.Path().empty());
  const Text save_dir = dir_.Path() + "/";
  const Text name = UrlFileName(Text("http://cam.example") + GetParam().path_after_host);
  EXPECT_EQ(FreshFilePath(save_dir, name, GetParam().counter), save_dir + GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, FreshFilePathTest,
    testing::Values(TFileCase{"/cam/image.jpg", 1, "image_00000001.jpg"},
                    TFileCase{"/a.b.c.jpg", 1, "a.b.c_00000001.jpg"},
                    TFileCase{"/snap.cgi?w=640&h=480", 1, "snap_00000001.cgi_w=640_h=480"},
                    TFileCase{"/live", 1, "_00000001"}, TFileCase{"/", 1, "_00000001"},
                    TFileCase{"/my%20cam.jpg", 1, "my%20cam_00000001.jpg"},
                    TFileCase{"/cam/image.jpg", 0, "image_00000000.jpg"},
                    TFileCase{"/cam/image.jpg", 123456789, "image_123456789.jpg"},
                    TFileCase{"/cam/image.jpg", -7, "image_0000000-7.jpg"}));

class CollisionTest : public testing::TestWithParam<int> {
 protected:
  ScratchDir dir_;
};

// With the plain name and the first n-1 suffixed names taken, the n-th suffix comes next.
TEST_P(CollisionTest, TakenNamesGetTheNextFreeSuffix) {
  const int taken = GetParam();
  const Text save_dir = dir_.Path() + "/";
  Text expected = save_dir + "image_00000001.jpg";
  for (int n = 0; n < taken; ++n) {
    ASSERT_FALSE(dir_.WriteFile(expected.substr(save_dir.size()), "x").empty());
    expected = save_dir + "image_00000001[" + std::to_string(n + 1) + "].jpg";
  }
  EXPECT_EQ(FreshFilePath(save_dir, "image.jpg", 1), expected);
}

INSTANTIATE_TEST_SUITE_P(Taken, CollisionTest, testing::Values(0, 1, 2, 3));

TEST(FreshFilePath, ADirectoryOfThatNameIsNoCollision) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.File("image_00000001.jpg").c_str(), 0755), 0);
  EXPECT_EQ(FreshFilePath(dir.Path() + "/", "image.jpg", 1), dir.File("image_00000001.jpg"));
}

TEST(FreshFilePath, OtherCountersDoNotCollide) {
  ScratchDir dir;
  dir.WriteFile("image_00000002.jpg", "x");
  EXPECT_EQ(FreshFilePath(dir.Path() + "/", "image.jpg", 1), dir.File("image_00000001.jpg"));
}

}  // namespace
}  // namespace tessaly
