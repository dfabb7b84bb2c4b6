// The names a series gives its pictures, told apart from every other name. A name says nothing
// of who stored the file: only the catalog does (capture/catalog.h).
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
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

  // forms: as SeriesNameForms gives them; name_max: the directory's NameMax, which decides how
  // long names were shortened.
  TSeriesIndex(std::vector<Text> forms, size_t name_max);

  // True when file_name is exactly the name SeriesFileName gives one of the forms with some
  // counter and copy; key then says which.
  bool Parse(std::string_view file_name, TKey& key) const;
  // The file name of the picture at key.
  Text FileName(const TKey& key) const;

  // Counts, by one pass of readdir over the directory, the regular files whose names Parse
  // accepts, never a link or a directory. False (errno set) when the directory cannot be read.
  bool Count(const Text& dir, int64_t& count) const;
  // The same, calling visit with each such file's name and key.
  bool Each(const Text& dir,
            const std::function<void(const char* name, const TKey& key)>& visit) const;

 private:
  bool ParseAfterBase(std::string_view name, size_t at, TKey& key) const;

  std::vector<Text> forms_;
  std::vector<Text> bases_;
  std::vector<Text> exts_;
  size_t name_max_;
};

}  // namespace tessaly
