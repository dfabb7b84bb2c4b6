// The picture checks on arbitrary bytes: they never crash, and whatever IsWholeJpeg accepts is a
// complete picture for PictureFault, with CR and LF bytes after it or without.
//
// Input: type length byte (0..63) and the answer's Content-Type value; the picture's bytes.
#include <cstdint>

#include "capture/picturecheck.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "picture_check";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  fuzz::TInput input(data, size);
  const Text type = input.Take(input.Byte() % 64);
  const Text bytes = input.Rest();
  const Text fault = PictureFault(bytes.data(), bytes.size(), type);
  const bool whole = IsWholeJpeg(bytes.data(), bytes.size());
  FUZZ_CHECK(!whole || fault.empty(),
             "IsWholeJpeg accepts what PictureFault calls " + fault + ": " + fuzz::Escaped(bytes));
  FUZZ_CHECK(fault.find('\n') == Text::npos,
             "a fault of more than one line: " + fuzz::Escaped(fault));
  if (!whole) return 0;
  const Text trimmed = bytes.substr(0, bytes.find_last_not_of("\r\n") + 1);
  FUZZ_CHECK(IsWholeJpeg(trimmed.data(), trimmed.size()),
             "a whole JPEG that is not whole without its line ends: " + fuzz::Escaped(bytes));
  return 0;
}
