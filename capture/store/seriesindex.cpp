#include "capture/store/seriesindex.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/url.h"
#include "capture/job/naming.h"

namespace tessaly {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

size_t SkipDigits(std::string_view text, size_t at) {
  while (at < text.size() && IsDigit(text[at])) ++at;
  return at;
}

// The value of the digits text[from, to); -1 when it passes max.
int64_t DigitsValue(std::string_view text, size_t from, size_t to, int64_t max) {
  int64_t value = 0;
  for (size_t i = from; i < to; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > max) return -1;
  }
  return value;
}

}  // namespace

std::vector<Text> SeriesNameForms(const Text& address) {
  const Text plain = UrlFileName(WithoutUserInfo(address));
  // A streaming camera's pictures have one name, always a JPEG's.
  if (LowerAscii(address.substr(0, 7)) == "rtsp://") return {StreamPictureName(plain)};
  const Text frame = JpegFrameName(plain);
  if (frame == plain) return {plain};
  return {plain, frame};
}

int32_t ContinuedCounter(int32_t first, std::optional<int32_t> highest) {
  if (!highest || *highest == INT32_MAX || *highest < first) return first;
  return *highest + 1;
}

TSeriesIndex::TSeriesIndex(std::vector<Text> forms, size_t name_max)
    : forms_(std::move(forms)), name_max_(name_max) {
  for (const Text& form : forms_) {
    bases_.push_back(FileNameBase(form));
    exts_.push_back(FileNameExt(form));
  }
}

Text TSeriesIndex::FileName(const TKey& key) const {
  return SeriesFileName(forms_[key.Form], key.Counter, key.Copy, name_max_);
}

bool TSeriesIndex::Parse(std::string_view file_name, TKey& key) const {
  key = {};
  for (size_t form = 0; form < forms_.size(); ++form) {
    const Text& base = bases_[form];
    // A long name's base may have been cut at its end: the counter follows some prefix of it.
    const size_t limit = std::min(base.size(), file_name.size());
    size_t common = 0;
    while (common < limit && file_name[common] == base[common]) ++common;
    key.Form = static_cast<uint8_t>(form);
    for (size_t at = common + 1; at-- > 0;)
      if (at < file_name.size() && file_name[at] == '_' && ParseAfterBase(file_name, at, key))
        return true;
  }
  key = {};
  return false;
}

// Reads the counter and the copy after the "_" at `at`; the name must then be exactly the one
// the series gives them, which rules out every other spelling of the same numbers.
bool TSeriesIndex::ParseAfterBase(std::string_view name, size_t at, TKey& key) const {
  const size_t digits = at + 1;
  size_t end = SkipDigits(name, digits);
  int64_t counter = 0;
  if (end - digits == 7 && end < name.size() && name[end] == '-' &&
      name.compare(digits, 7, "0000000") == 0) {
    const size_t first = end + 1;  // a negative counter: seven zeros, then its sign
    end = SkipDigits(name, first);
    counter = -DigitsValue(name, first, end, 2147483648);
    if (end == first || name[first] == '0' || counter > 0) return false;
  } else {
    // Eight digits, zeros in front; or more, none in front.
    counter = DigitsValue(name, digits, end, INT32_MAX);
    if (end - digits < 8 || (end - digits > 8 && name[digits] == '0') || counter < 0) return false;
  }
  int64_t copy = 0;
  if (end < name.size() && name[end] == '[') {
    const size_t first = end + 1;
    const size_t close = SkipDigits(name, first);
    copy = DigitsValue(name, first, close, INT32_MAX);
    if (close == first || close >= name.size() || name[close] != ']' || name[first] == '0' ||
        copy < 1)
      return false;
    end = close + 1;
  }
  key.Counter = static_cast<int32_t>(counter);
  key.Copy = static_cast<int32_t>(copy);
  // A season's directory holds a million of these: the usual, unshortened name is told without
  // building it.
  if (at == bases_[key.Form].size() && name.substr(end) == exts_[key.Form])
    return name.size() <= name_max_;
  return FileName(key) == name;
}

bool TSeriesIndex::Count(const Text& dir, int64_t& count) const {
  count = 0;
  return Each(dir, [&](const char*, const TKey&) { ++count; });
}

bool TSeriesIndex::Each(const Text& dir,
                        const std::function<void(const char* name, const TKey& key)>& visit) const {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  TKey key;
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    struct stat file {};
    // Only a file system that does not give the entry's type costs a stat here.
    if ((entry->d_type == DT_REG ||
         (entry->d_type == DT_UNKNOWN &&
          fstatat(fd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode))) &&
        Parse(entry->d_name, key))
      visit(entry->d_name, key);
    errno = 0;
  }
  const int error = errno;
  closedir(listing);
  errno = error;
  return error == 0;
}

}  // namespace tessaly
