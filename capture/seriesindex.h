// The pictures a series has stored in its directory, known by the names the series gives them,
// read by one pass over the directory and kept current by every store and removal.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"

namespace tessaly {

// The names a series of this address stores under: the address's last segment (without user
// information) and, when it differs, the name its JPEG stream frames get.
std::vector<Text> SeriesNameForms(const Text& address);

// The counter a series starts at when it continues one already stored: first, or the number
// after highest when that is larger (and still a counter).
int32_t ContinuedCounter(int32_t first, std::optional<int32_t> highest);

class TSeriesIndex {
 public:
  // Where a picture stands in the series: by counter, then by the "[n]" copy (0 for none),
  // then by which of the name forms it has.
  struct TKey {
    int32_t Counter = 0;
    int32_t Copy = 0;
    uint8_t Form = 0;
    auto operator<=>(const TKey&) const = default;
  };
  struct TPicture {
    int64_t Bytes = 0;
    int64_t Time = 0;  // the last modification, seconds since the epoch
  };

  // forms: as SeriesNameForms gives them; name_max: the directory's NameMax, which decides how
  // long names were shortened. by_time: keep the pictures in order of time as well.
  TSeriesIndex(std::vector<Text> forms, size_t name_max, bool by_time = false);

  // True when file_name is exactly the name SeriesFileName gives one of the forms with some
  // counter and copy; key then says which.
  bool Parse(std::string_view file_name, TKey& key) const;
  // The file name of the picture at key.
  Text FileName(const TKey& key) const;

  // Replaces the index by one pass of readdir over the directory: only regular files whose
  // names Parse accepts, never a link or a directory. False (index empty, errno set) when the
  // directory cannot be read. Sizes and times are left unknown (0) for speed: a season's
  // directory is read in well under a second, but a stat of every picture takes several.
  bool Scan(const Text& dir);
  // Reads the size and time of every picture that does not have them yet, through the
  // directory open at dir_fd; a picture that has gone or is no regular file any more is
  // forgotten. Does nothing after the first call since Scan.
  void ReadDetails(int dir_fd);
  // Notes a picture stored under file_name, with its details; a name that is not the series'
  // is ignored.
  void Add(const Text& file_name, int64_t bytes, int64_t time);
  // Forgets the picture at key.
  void Remove(const TKey& key);

  const std::map<TKey, TPicture>& Pictures() const { return pictures_; }
  // The picture stored longest ago; nullopt when empty or the times are not kept.
  std::optional<TKey> Earliest() const;
  std::optional<int32_t> HighestCounter() const;
  int64_t TotalBytes() const { return total_bytes_; }
  // The directory's device and inode as the last Scan found them.
  std::pair<dev_t, ino_t> Identity() const { return identity_; }

 private:
  bool ParseAfterBase(std::string_view name, size_t at, TKey& key) const;
  void Insert(const TKey& key, const TPicture& picture);

  std::vector<Text> forms_;
  std::vector<Text> bases_;
  std::vector<Text> exts_;
  size_t name_max_;
  bool by_time_;
  std::map<TKey, TPicture> pictures_;
  std::set<std::pair<int64_t, TKey>> times_;
  int64_t total_bytes_ = 0;
  std::pair<dev_t, ino_t> identity_{};
  bool details_ = true;
};

}  // namespace tessaly
