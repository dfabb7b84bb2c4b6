#include "capture/store/seriesindex.h"

#include <gtest/gtest.h>

#include "capture/job/naming.h"

namespace tessaly {
namespace {

struct TParseRow {
  const char* address;
  size_t name_max;
  Text file;
  bool ours;
  int32_t counter;
  int32_t copy;
  uint8_t form;
};

// Exactly the names the series gives, shortened ones included; never a look-alike.
TEST(SeriesIndex, ParsesOnlyTheSeriesOwnNames) {
  const Text token = "http://h/snap.jpg?token=" + Text(40, 'x');
  const TParseRow rows[] = {
      {"http://h/snap.jpg", 255, "snap_00000001.jpg", true, 1, 0, 0},
      {"http://u:p@h/snap.jpg", 255, "snap_00000042[3].jpg", true, 42, 3, 0},
      {"http://h/snap.jpg", 255, "snap_123456789.jpg", true, 123456789, 0, 0},
      {"http://h/snap.jpg", 255, "snap_0000000-7.jpg", true, -7, 0, 0},
      {"http://h/snap.jpg", 255, "snap_0000001.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_000000001.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_99999999999.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001[0].jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001[01].jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001[1.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001.jpeg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001.jpg~", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snapshot_00000001.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "xsnap_00000001.jpg", false, 0, 0, 0},
      {"http://h/snap.jpg", 255, "snap_00000001_00000002.jpg", false, 0, 0, 0},
      {"http://h/a_00000001.jpg", 255, "a_00000001_00000002.jpg", true, 2, 0, 0},
      {"http://h/video.mjpg", 255, "video_00000005.mjpg", true, 5, 0, 0},
      {"http://h/video.mjpg", 255, "video_00000005.jpg", true, 5, 0, 1},
      {"http://h/live", 255, "_00000003", true, 3, 0, 0},
      {"http://h/live", 255, "_00000003.jpg", true, 3, 0, 1},
      {token.c_str(), 30, "snap_00000001.jpg_token=xxxxx", true, 1, 0, 0},
      {token.c_str(), 30, "snap_00000001.jpg_token=xxxx", false, 0, 0, 0},
      {"http://h/abcdefghijklmnopqrstuvwxyz.jpg", 20, "abcdefg_00000001.jpg", true, 1, 0, 0},
      {"http://h/abcdefghijklmnopqrstuvwxyz.jpg", 20, "abcd_00000001[1].jpg", true, 1, 1, 0},
      {"http://h/abcdefghijklmnopqrstuvwxyz.jpg", 20, "abcdefg_00000001[1].jpg", false, 0, 0, 0},
      {"http://h/abcdefghijklmnopqrstuvwxyz.jpg", 20, "abc_00000001.jpg", false, 0, 0, 0},
  };
  for (const TParseRow& row : rows) {
    const TSeriesIndex index(SeriesNameForms(row.address), row.name_max);
    TSeriesIndex::TKey key;
    ASSERT_EQ(index.Parse(row.file, key), row.ours) << row.file;
    if (!row.ours) continue;
    EXPECT_EQ(key, (TSeriesIndex::TKey{row.counter, row.copy, row.form})) << row.file;
    EXPECT_EQ(index.FileName(key), row.file);
  }
}

}  // namespace
}  // namespace tessaly
