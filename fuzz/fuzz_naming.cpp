// File naming on arbitrary addresses and counters: the sanitised segment holds no "/", no byte
// below 32 and none of the replaced characters; the fresh path is the directory, the segment's
// base, the zero-padded counter and the extension, with a numbered suffix past names that are
// taken; and it never names an existing file.
//
// Input: 4 bytes counter (high byte first), 1 byte count of names to occupy first (0..3), then
// the address.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/fileutil.h"
#include "capture/job/naming.h"
#include "fuzz/fuzzfiles.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "naming";

using tessaly::Text;

const Text kReplaced = "\"&'*+,/:;<>?\\|";

bool Replaced(unsigned char c) { return c < 32 || kReplaced.find(static_cast<char>(c)) != Text::npos; }

Text CounterText(int32_t counter) {
  const Text digits = std::to_string(counter);
  // A negative counter counts as one digit.
  const size_t count = counter < 0 ? 1 : digits.size();
  return "_" + Text(count < 8 ? 8 - count : 0, '0') + digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  fuzz::TInput input(data, size);
  const int32_t counter = static_cast<int32_t>(input.Quad());
  const int occupied = input.Byte() % 4;
  const Text address = input.Rest();
  const Text shown = " for " + Escaped(address) + " and counter " + std::to_string(counter);

  const Text name = UrlFileName(address);
  const size_t slash = address.rfind('/');
  const Text segment = slash == Text::npos ? Text() : address.substr(slash + 1);
  FUZZ_CHECK(name.size() == segment.size(), "UrlFileName " + Escaped(name) + shown);
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    FUZZ_CHECK(!Replaced(c), "UrlFileName kept a replaced byte: " + Escaped(name) + shown);
    const unsigned char was = static_cast<unsigned char>(segment[i]);
    FUZZ_CHECK(c == (Replaced(was) ? '_' : was), "UrlFileName changed a byte: " + Escaped(name) + shown);
  }

  const Text base = FileNameBase(name);
  const Text ext = FileNameExt(name);
  const size_t dot = name.rfind('.');
  FUZZ_CHECK(base == (dot == Text::npos ? Text() : name.substr(0, dot)), "base " + Escaped(base) + shown);
  FUZZ_CHECK(ext == (dot == Text::npos ? Text() : name.substr(dot)), "ext " + Escaped(ext) + shown);

  const Text suffix = CounterSuffix(counter);
  FUZZ_CHECK(suffix == CounterText(counter), "CounterSuffix " + suffix + shown);

  // Occupy the first names of the series, then ask for a fresh one.
  const Text dir = fuzz::TScratchDir::Path();
  const Text stem = base + suffix;
  std::vector<Text> made;
  int taken = 0;
  for (int n = 0; n < occupied; ++n) {
    const Text file = dir + stem + (n == 0 ? Text() : "[" + std::to_string(n) + "]") + ext;
    const int fd = open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) break;  // a name the file system cannot take ends the series early
    close(fd);
    made.push_back(file);
    ++taken;
  }
  const Text path = FreshFilePath(dir, name, counter);
  const bool exists = FileExists(path);
  for (const Text& file : made) std::remove(file.c_str());
  FUZZ_CHECK(!exists, "the fresh path names an existing file " + Escaped(path) + shown);

  const Text want = dir + stem + (taken == 0 ? Text() : "[" + std::to_string(taken) + "]") + ext;
  FUZZ_CHECK(path == want, "FreshFilePath " + Escaped(path) + " after " + std::to_string(taken) +
                               " taken names" + shown);
  const Text file_name = path.substr(dir.size());
  FUZZ_CHECK(file_name.find('/') == Text::npos, "a / in " + Escaped(file_name) + shown);
  for (char c : file_name) {
    FUZZ_CHECK(!Replaced(static_cast<unsigned char>(c)), "replaced byte in " + Escaped(file_name) + shown);
  }
  FUZZ_CHECK(file_name.find(suffix) != Text::npos, "no counter text in " + Escaped(file_name) + shown);
  return 0;
}
