#include "capture/job/naming.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/fileutil.h"

namespace tessaly {

namespace {

bool Unsafe(unsigned char c) {
  if (c < 32) return true;
  for (char bad : Text("\"&'*+,/:;<>?\\|"))
    if (c == static_cast<unsigned char>(bad)) return true;
  return false;
}

int DecimalDigits(int32_t value) {
  int count = 1;
  while (value / 10 >= 1) {
    value /= 10;
    ++count;
  }
  return count;
}

// A cut at size bytes, moved back so that no UTF-8 character loses its tail.
Text CutAtCharacter(const Text& text, size_t size) {
  if (size >= text.size()) return text;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  return text.substr(0, size);
}

constexpr size_t kLongestCutExt = 16;

}  // namespace

Text UrlFileName(const Text& address) {
  const size_t slash = address.rfind('/');
  if (slash == Text::npos) return Text();
  Text segment = address.substr(slash + 1);
  for (char& c : segment)
    if (Unsafe(static_cast<unsigned char>(c))) c = '_';
  return segment;
}

Text FileNameBase(const Text& name) {
  const size_t dot = name.rfind('.');
  return dot == Text::npos ? Text() : name.substr(0, dot);
}

Text FileNameExt(const Text& name) {
  const size_t last = name.find_last_of("./");
  if (last == Text::npos || name[last] != '.') return Text();
  return name.substr(last);
}

bool IsJpegFrame(const Text& part_type, const char* bytes, size_t size) {
  if (LowerAscii(TrimBlanks(TextBefore(part_type, ";"))) == "image/jpeg") return true;
  return size >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xD8;
}

Text JpegFrameName(const Text& name) {
  // Without a "." the whole name is extension-less and names no base either.
  return FileNameBase(name) + ".jpg";
}

Text StreamPictureName(const Text& name) {
  return FileNameExt(name).empty() ? name + ".jpg" : JpegFrameName(name);
}

Text CounterSuffix(int32_t counter) {
  const int digits = DecimalDigits(counter);
  const Text zeros(digits < 8 ? static_cast<size_t>(8 - digits) : 0, '0');
  return "_" + zeros + IntToText(counter);
}

Text SeriesFileName(const Text& name, int32_t counter, int64_t copy, size_t name_max) {
  Text base = FileNameBase(name);
  Text ext = FileNameExt(name);
  Text numbers = CounterSuffix(counter);
  if (copy != 0) numbers.append("[").append(IntToText(copy)).append("]");
  if (base.size() + numbers.size() + ext.size() > name_max) {
    // What came from the address gives way; the numbers that order the series never do.
    if (ext.size() > kLongestCutExt) ext = CutAtCharacter(ext, kLongestCutExt);
    const size_t room = name_max - std::min(name_max, numbers.size() + ext.size());
    base = CutAtCharacter(base, room);
  }
  return base + numbers + ext;
}

size_t NameMax(const Text& dir) {
  const long limit = pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 255;
}

bool EntryExists(const Text& path) {
  struct stat entry {};
  return lstat(path.c_str(), &entry) == 0;
}

Text FreshFilePath(const Text& save_dir, const Text& name, int32_t counter) {
  const size_t name_max = NameMax(save_dir);
  Text candidate = SeriesFileName(name, counter, 0, name_max);
  for (int64_t n = 1; EntryExists(save_dir + candidate); ++n)
    candidate = SeriesFileName(name, counter, n, name_max);
  return save_dir + candidate;
}

}  // namespace tessaly
