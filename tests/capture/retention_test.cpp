#include "capture/retention.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "capture/naming.h"
#include "support/childprocess.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

struct TRetentionRow {
  const char* name;
  TRetentionRules rules;
  int64_t free_bytes;
  int result;
  std::vector<std::string> removed;  // in the order removed
};

void PrintTo(const TRetentionRow& row, std::ostream* os) {
  *os << row.name;
}

class RetentionTest : public testing::TestWithParam<TRetentionRow> {};

// The series' four pictures (100 bytes each, stored at the times given) share the directory
// with another file, a picture of a similarly named series, and a directory and a link named
// like the series' pictures; a 100-byte picture is about to be stored at 6000.
TEST_P(RetentionTest, RemovesOnlyTheSeriesOwnPicturesOldestFirst) {
  ScratchDir dir, elsewhere;
  const std::pair<const char*, time_t> pictures[] = {{"snap_00000001.jpg", 1000},
                                                     {"snap_00000001[1].jpg", 5000},
                                                     {"snap_00000004.jpg", 2000},
                                                     {"snap_00000005.jpg", 3000}};
  for (const auto& [name, time] : pictures) {
    dir.WriteFile(name, std::string(100, 'p'));
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.File(name).c_str(), times, 0), 0);
  }
  dir.WriteFile("other.txt", "x");
  dir.WriteFile("snapshot_00000001.jpg", "x");
  ASSERT_EQ(mkdir(dir.File("snap_00000002.jpg").c_str(), 0755), 0);
  const std::string target = elsewhere.WriteFile("kept.jpg", "outside");
  ASSERT_EQ(symlink(target.c_str(), dir.File("snap_00000003.jpg").c_str()), 0);

  const TRetentionRow& row = GetParam();
  TSeriesIndex index(SeriesNameForms("http://cam/snap.jpg"), NameMax(dir.Path()), true);
  ASSERT_TRUE(index.Scan(dir.Path())) << std::strerror(errno);
  TRetention retention(index, row.rules, dir.Path() + "/");
  const int fd = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
  std::vector<TRemoval> removed;
  EXPECT_EQ(retention.MakeRoom(fd, 100, 6000, row.free_bytes, removed), row.result);
  close(fd);

  std::vector<std::string> names;
  for (const TRemoval& removal : removed) {
    names.push_back(removal.Path.substr(dir.Path().size() + 1));
    EXPECT_FALSE(fs::exists(fs::symlink_status(removal.Path))) << removal.Path;
    EXPECT_EQ(removal.Bytes, 100);
  }
  EXPECT_EQ(names, row.removed);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
            static_cast<ptrdiff_t>(8 - names.size()))
      << "nothing else is removed";
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(index.Pictures().size(), 4 - names.size());
}

constexpr int64_t kPlenty = int64_t{1} << 40;
INSTANTIATE_TEST_SUITE_P(
    Rules, RetentionTest,
    testing::Values(
        TRetentionRow{"None", {}, kPlenty, 0, {}},
        TRetentionRow{
            "KeepSize", {-1, 300, -1}, kPlenty, 0, {"snap_00000001.jpg", "snap_00000001[1].jpg"}},
        TRetentionRow{"PictureAlonePassesKeepSize", {-1, 99, -1}, kPlenty, EFBIG, {}},
        TRetentionRow{"KeepForByTime",
                      {2500, -1, -1},
                      kPlenty,
                      0,
                      {"snap_00000001.jpg", "snap_00000004.jpg", "snap_00000005.jpg"}},
        TRetentionRow{"KeepForExactAgeStays",
                      {3000, -1, -1},
                      kPlenty,
                      0,
                      {"snap_00000001.jpg", "snap_00000004.jpg"}},
        TRetentionRow{"MinFree",
                      {-1, -1, 1000},
                      850,
                      0,
                      {"snap_00000001.jpg", "snap_00000001[1].jpg", "snap_00000004.jpg"}},
        TRetentionRow{"MinFreeNothingLeft",
                      {-1, -1, kPlenty},
                      850,
                      ENOSPC,
                      {"snap_00000001.jpg", "snap_00000001[1].jpg", "snap_00000004.jpg",
                       "snap_00000005.jpg"}}),
    [](const testing::TestParamInfo<TRetentionRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
