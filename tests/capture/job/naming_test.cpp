#include "capture/job/naming.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <functional>

#include "support/childprocess.h"

namespace tessaly {
namespace {

TEST(UrlFileName, LastSegmentWithUnsafeBytesReplaced) {
  const std::pair<Text, Text> cases[] = {
      {"", ""},
      {"no slash", ""},
      {"http://h/", ""},
      {"http://h/cam/live", "live"},
      {"http://h/snap.cgi?w=640&h=480", "snap.cgi_w=640_h=480"},
      {"x/a\"&'*+,:;<>?\\|b", "a_____________b"},
      {Text("x/a\x01\t\n\r\x1f") + '\0' + "b", "a______b"},
      {"x/=%#-[] .\x7f\x80\xff", "=%#-[] .\x7f\x80\xff"},
  };
  for (const auto& [address, segment] : cases) EXPECT_EQ(UrlFileName(address), segment) << address;
}

TEST(FileNameParts, BaseBeforeAndExtensionFromTheLastDot) {
  const std::tuple<Text, Text, Text> cases[] = {
      {"a.b.c.jpg", "a.b.c", ".jpg"}, {"live", "", ""},          {".hidden", "", ".hidden"},
      {"trail.", "trail", "."},       {"dir.x/file", "dir", ""},
  };
  for (const auto& [name, base, ext] : cases) {
    EXPECT_EQ(FileNameBase(name), base) << name;
    EXPECT_EQ(FileNameExt(name), ext) << name;
  }
}

struct TName {
  const char* path_after_host;
  int32_t counter;
  int taken;  // how many of the candidate names exist already
  const char* file;
};

class FreshFilePathTest : public testing::TestWithParam<TName> {};

TEST_P(FreshFilePathTest, NamesFromAddressAndCounterNeverReusingAFile) {
  const TName& c = GetParam();
  ScratchDir dir;
  const Text save_dir = dir.Path() + "/";
  const Text name = UrlFileName(Text("http://cam.example") + c.path_after_host);
  for (int n = 0; n < c.taken; ++n) {
    const Text taken = FreshFilePath(save_dir, name, c.counter);
    ASSERT_FALSE(dir.WriteFile(taken.substr(save_dir.size()), "x").empty()) << taken;
  }
  EXPECT_EQ(FreshFilePath(save_dir, name, c.counter), save_dir + c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FreshFilePathTest,
    testing::Values(TName{"/cam/image.jpg", 1, 0, "image_00000001.jpg"},
                    TName{"/a.b.c.jpg", 1, 0, "a.b.c_00000001.jpg"},
                    TName{"/snap.cgi?w=640&h=480", 1, 0, "snap_00000001.cgi_w=640_h=480"},
                    TName{"/live", 1, 0, "_00000001"}, TName{"/", 1, 0, "_00000001"},
                    TName{"/my%20cam.jpg", 1, 0, "my%20cam_00000001.jpg"},
                    TName{"/cam/image.jpg", 0, 0, "image_00000000.jpg"},
                    TName{"/cam/image.jpg", 12345678, 0, "image_12345678.jpg"},
                    TName{"/cam/image.jpg", 123456789, 0, "image_123456789.jpg"},
                    TName{"/cam/image.jpg", -7, 0, "image_0000000-7.jpg"},
                    TName{"/cam/image.jpg", INT32_MIN, 0, "image_0000000-2147483648.jpg"},
                    TName{"/cam/image.jpg", 1, 1, "image_00000001[1].jpg"},
                    TName{"/cam/image.jpg", 1, 2, "image_00000001[2].jpg"},
                    TName{"/live", 3, 3, "_00000003[3]"}));

// Any entry makes a name taken: a store there could only fail.
TEST(FreshFilePath, AnyEntryTakesTheName) {
  ScratchDir dir;
  const Text name = dir.File("image_00000001.jpg");
  const std::function<int()> entries[] = {
      [&] { return ::mkdir(name.c_str(), 0755); },
      [&] { return ::symlink(dir.File("nowhere").c_str(), name.c_str()); },
      [&] { return ::symlink(dir.Path().c_str(), name.c_str()); }};
  for (const auto& make : entries) {
    ASSERT_EQ(make(), 0);
    EXPECT_EQ(FreshFilePath(dir.Path() + "/", "image.jpg", 1), dir.File("image_00000001[1].jpg"));
    std::filesystem::remove(name.c_str());
  }
}

// Names that would pass the directory's limit give way in what came from the address: a long
// extension down to 16 bytes first, then the base from its end, never inside a UTF-8 character.
TEST(SeriesFileName, ShortenedToTheLimit) {
  const Text token = "snap.jpg_token=" + Text(300, 'x');
  const Text accents = "\xc3\xa9\xc3\xa9\xc3\xa9";  // three two-byte characters
  const std::tuple<Text, int32_t, int64_t, size_t, Text> cases[] = {
      {"image.jpg", 1, 0, 255, "image_00000001.jpg"},
      {"image.jpg", 1, 0, 18, "image_00000001.jpg"},
      {"image.jpg", 1, 0, 17, "imag_00000001.jpg"},
      {"image.jpg", 1, 2, 17, "i_00000001[2].jpg"},
      {token, 1, 0, 255, "snap_00000001.jpg_token=xxxxx"},
      {token, 1, 0, 28, "sna_00000001.jpg_token=xxxxx"},
      {"abcdefghij.0123456789abcdefghij", 1, 12, 30, "a_00000001[12].0123456789abcde"},
      {accents + ".jpg", 1, 0, 16, "\xc3\xa9_00000001.jpg"},
      {"a." + accents + accents + accents, 1, 0, 28,
       "a_00000001." + accents + accents + "\xc3\xa9"},
      {"live", 7, 0, 5, "_00000007"},
  };
  for (const auto& [name, counter, copy, name_max, file] : cases)
    EXPECT_EQ(SeriesFileName(name, counter, copy, name_max), file) << name << " " << name_max;
}

}  // namespace
}  // namespace tessaly
