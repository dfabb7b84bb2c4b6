#include "capture/naming.h"

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

Text CounterSuffix(int32_t counter) {
  const int digits = DecimalDigits(counter);
  const Text zeros(digits < 8 ? static_cast<size_t>(8 - digits) : 0, '0');
  return "_" + zeros + IntToText(counter);
}

Text FreshFilePath(const Text& save_dir, const Text& name, int32_t counter) {
  const Text stem = FileNameBase(name) + CounterSuffix(counter);
  const Text ext = FileNameExt(name);
  Text candidate = stem + ext;
  for (int64_t n = 1; FileExists(save_dir + candidate); ++n)
    candidate = stem + "[" + IntToText(n) + "]" + ext;
  return save_dir + candidate;
}

}  // namespace tessaly
