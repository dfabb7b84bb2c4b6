#include "capture/store/retention.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>

#include "support/childprocess.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;

struct TRetentionRow {
  const char* name;
  TRetentionRules rules;  // MinFreeBytes: in blocks of a picture, less the incoming one
  int64_t free_blocks;    // what the disk has free before, in blocks of a picture
  int result;
  std::vector<std::string> removed;  // in the order tried; "!" before one that could not go
};

void PrintTo(const TRetentionRow& row, std::ostream* os) {
  *os << row.name;
}

class RetentionTest : public testing::TestWithParam<TRetentionRow> {};

constexpr char kAddress[] = "http://cam/snap.jpg";

// The series' catalogued pictures, 100 bytes each, stored at the times given: their counters
// do not follow the times; one is linked into an album as well, one was replaced by another
// file after it was catalogued, one cannot be looked at (its name is too long), one would
// lead out of the directory.
// Beside them lie a picture of the same name stored before the catalog and the oldest picture
// of another series. The disk's free space is what the directory's files leave of its size.
TEST_P(RetentionTest, RemovesOnlyItsOwnCataloguedPictures) {
  ScratchDir dir, state;
  const std::string picture(100, 'p');
  struct stat probe {};
  ASSERT_EQ(stat(dir.WriteFile("probe", picture).c_str(), &probe), 0);
  fs::remove(dir.File("probe"));
  const int64_t block = probe.st_blocks * 512;
  TRetentionRules rules = GetParam().rules;
  if (rules.MinFreeBytes >= 0) rules.MinFreeBytes = rules.MinFreeBytes * block - 100;
  TCatalog catalog;
  Text error;
  ASSERT_TRUE(catalog.Open(state.File("tessaly/catalog.sqlite"), error)) << error;
  TRetention own(catalog, rules, dir.Path() + "/", kAddress);
  TRetention other(catalog, {}, dir.Path() + "/", "http://cam/snap.jpg?token=abc");
  TSeriesStart start;
  ASSERT_TRUE(own.Start(start, error) && other.Start(start, error)) << error;
  const std::tuple<TRetention*, const char*, int32_t, int64_t> stored[] = {
      {&other, "snap_00000001.jpg_token=abc", 1, 500},
      {&own, "snap_00000001.jpg", 1, 1000},
      {&own, "snap_00000005.jpg", 5, 2000},
      {&own, "snap_00000007.jpg", 7, 2500},
      {&own, "snap_00000002.jpg", 2, 3000},
      {&own, "snap_00000004.jpg", 4, 4000}};
  for (const auto& [series, name, counter, time] : stored)
    ASSERT_TRUE(series->Stored(dir.WriteFile(name, picture), counter, 100, time, error)) << error;
  TCatalogSeries series;
  ASSERT_TRUE(catalog.OpenSeries(fs::canonical(dir.Path()), "snap.jpg", {}, series, error));
  TCatalogPicture unreadable{0, 3, std::string(300, 'x'), 100, 1500, 1};
  struct stat victim {};
  ASSERT_EQ(lstat(state.WriteFile("victim", picture).c_str(), &victim), 0);
  const TCatalogPicture outside{
      0,   3,   "../" + fs::path(state.Path()).filename().string() + "/victim",
      100, 100, static_cast<int64_t>(victim.st_ino)};
  ASSERT_TRUE(catalog.Add(series.Id, outside, error)) << error;
  ASSERT_TRUE(catalog.Add(series.Id, unreadable, error)) << error;
  fs::rename(dir.WriteFile("edited", picture), dir.File("snap_00000007.jpg"));
  dir.WriteFile("snap_00000003.jpg", picture);
  fs::create_directory(dir.File("album"));
  fs::create_hard_link(dir.File("snap_00000004.jpg"), dir.File("album/4.jpg"));

  auto used = [&] {
    std::set<ino_t> seen;
    int64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
      struct stat file {};
      if (lstat(entry.path().c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
          seen.insert(file.st_ino).second)
        bytes += file.st_blocks * 512;
    }
    return bytes;
  };
  const int64_t size = used() + GetParam().free_blocks * block;
  own.FreeBytes = [&](int) { return size - used(); };

  auto listing = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path())) names.insert(entry.path());
    return names;
  };
  const std::set<std::string> before = listing();
  const int fd = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
  std::vector<TRemoval> removed;
  Text why;
  EXPECT_EQ(own.MakeRoom(fd, 100, 5000, removed, why), GetParam().result) << why;
  close(fd);
  std::vector<std::string> names;
  std::set<std::string> left = before;
  for (const TRemoval& removal : removed) {
    const std::string name = removal.Path.substr(dir.Path().size() + 1);
    names.push_back(removal.Error.empty() ? name : "!" + name.substr(0, 3));
    if (removal.Error.empty()) left.erase(removal.Path);
  }
  EXPECT_EQ(names, GetParam().removed);
  EXPECT_EQ(listing(), left) << "only those said to be removed have gone";
  EXPECT_TRUE(fs::exists(state.File("victim")));
  EXPECT_EQ(GetParam().result == ENOSPC, !why.empty()) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RetentionTest,
    testing::Values(
        TRetentionRow{"None", {}, 100, 0, {}},
        TRetentionRow{"KeepSizeOldestStoredFirst",
                      {-1, 300, -1},
                      100,
                      0,
                      {"snap_00000001.jpg", "!xxx", "snap_00000005.jpg", "snap_00000002.jpg"}},
        TRetentionRow{"PictureAsLargeAsKeepSize",
                      {-1, 100, -1},
                      100,
                      0,
                      {"snap_00000001.jpg", "!xxx", "snap_00000005.jpg", "snap_00000002.jpg",
                       "snap_00000004.jpg"}},
        TRetentionRow{"PictureAlonePassesKeepSize", {-1, 99, -1}, 100, EFBIG, {}},
        TRetentionRow{"KeepForExactAgeStays",
                      {2500, -1, -1},
                      100,
                      0,
                      {"snap_00000001.jpg", "!xxx", "snap_00000005.jpg"}},
        TRetentionRow{
            "MinFreeReached", {-1, -1, 2}, 0, 0, {"snap_00000001.jpg", "snap_00000005.jpg"}},
        TRetentionRow{"MinFreeBeyondWhatUnlinkedPicturesFree", {-1, -1, 4}, 0, ENOSPC, {}}),
    [](const testing::TestParamInfo<TRetentionRow>& info) { return std::string(info.param.name); });

// The rows as a reader of the file finds them: one per picture, with its series.
TEST(Catalog, RowsInTheFile) {
  ScratchDir dir, state;
  const std::string path = state.File("a/b/catalog.sqlite");
  {
    TCatalog catalog;
    Text error;
    ASSERT_TRUE(catalog.Open(path, error)) << error;
    TRetention series(catalog, {}, dir.Path() + "/", "http://u:p@cam/live");
    TSeriesStart start;
    ASSERT_TRUE(series.Start(start, error)) << error;
    EXPECT_EQ(start.Uncatalogued, 0);
    ASSERT_TRUE(series.Stored(dir.WriteFile("_00000009", "abc"), 9, 3, 1234, error)) << error;
  }
  struct stat file {
  }, home{};
  ASSERT_EQ(stat(dir.File("_00000009").c_str(), &file), 0);
  ASSERT_EQ(stat(dir.Path().c_str(), &home), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* rows = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT s.dir || '|' || s.name || '|' || s.device || '|' || s.inode"
                               " || '|' || p.counter || '|' || p.file || '|' || p.bytes || '|' ||"
                               " p.stored || '|' || p.inode FROM picture p JOIN series s"
                               " ON p.series = s.id",
                               -1, &rows, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
  EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)),
            fs::canonical(dir.Path()).string() + "|live|" + std::to_string(home.st_dev) + "|" +
                std::to_string(home.st_ino) + "|9|_00000009|3|1234|" + std::to_string(file.st_ino));
  EXPECT_EQ(sqlite3_step(rows), SQLITE_DONE);
  sqlite3_finalize(rows);
  sqlite3_close(db);
}

// A removal that fails keeps its row and stalls nothing: the next oldest go meanwhile, and it
// is tried again after an hour or at the next start. A stop ends a pass between removals.
TEST(Retention, FailedRemovalTriedAgainLater) {
  ScratchDir dir, state;
  TCatalog catalog;
  Text error;
  ASSERT_TRUE(catalog.Open(state.File("catalog.sqlite"), error)) << error;
  std::unique_ptr<TRetention> series;
  TSeriesStart start;
  auto begin = [&] {
    series.reset();
    series = std::make_unique<TRetention>(catalog, TRetentionRules{-1, 400, -1}, dir.Path() + "/",
                                          kAddress);
    EXPECT_TRUE(series->Start(start, error)) << error;
  };
  begin();
  // Four pictures, and before them one that cannot even be looked at (its name is too long).
  for (int n = 1; n <= 4; ++n)
    ASSERT_TRUE(series->Stored(
        dir.WriteFile("snap_0000000" + std::to_string(n) + ".jpg", std::string(100, 'p')), n, 100,
        1000 * n, error));
  TCatalogSeries row;
  ASSERT_TRUE(catalog.OpenSeries(fs::canonical(dir.Path()), "snap.jpg", {}, row, error));
  ASSERT_TRUE(catalog.Add(row.Id, {0, 9, std::string(300, 'x'), 100, 500, 1}, error));
  // Which were removed ("1") and which could not be ("!"), making room for incoming at now.
  auto pass = [&](int64_t incoming, int64_t now, const std::stop_token& stop = {}) {
    std::vector<TRemoval> removed;
    const int fd = open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    series->MakeRoom(fd, incoming, now, removed, error, stop);
    close(fd);
    std::string said;
    for (const TRemoval& removal : removed)
      said += removal.Error.empty() ? removal.Path.substr(removal.Path.size() - 5, 1) : "!";
    return said;
  };
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(pass(100, 5000, stop.get_token()), "");
  EXPECT_EQ(pass(100, 5000), "!12");
  EXPECT_EQ(pass(200, 5001), "3");
  EXPECT_EQ(pass(300, 8600), "!4");
  begin();
  EXPECT_EQ(pass(400, 8601), "!");
}

// A directory is its device and inode together: either one changed makes another directory.
TEST(SeriesDirectory, AnotherDeviceOrInodeIsAnotherDirectory) {
  ScratchDir dir;
  const TDirectoryIdentity started = IdentifyDirectory(dir.Path());
  ASSERT_TRUE(started.Known);
  EXPECT_FALSE(DirectoryReplaced(dir.Path(), started));
  for (const auto& [device, inode] : {std::pair{1, 0}, std::pair{0, 1}}) {
    const TDirectoryIdentity other{true, started.Device + device, started.Inode + inode};
    EXPECT_TRUE(DirectoryReplaced(dir.Path(), other)) << device << inode;
  }
}

}  // namespace
}  // namespace tessaly
