// The picture checks on arbitrary bytes: they never crash, and whatever IsWholeJpeg accepts is a
// complete picture for PictureFault, with CR and LF bytes after it or without. The walk over a
// JPEG's header segments, resumed where it asked for more bytes, ends as one walk over them all:
// the stream reader walks a part as it arrives.
//
// Input: type length byte (0..63) and the answer's Content-Type value; the picture's bytes.
#include <cstdint>

#include "base/jpegsegments.h"
#include "capture/job/picturecheck.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "picture_check";

void CheckResumedWalk(const tessaly::Text& bytes) {
  using namespace tessaly;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  size_t whole_at = 2;
  const TJpegWalk whole = WalkJpegSegments(data, size, whole_at);
  for (size_t cut : {size_t{1}, size_t{3}, size_t{4}, size_t{5}, size / 3, size / 2, size - 1}) {
    if (cut >= size) continue;
    size_t at = 2;
    TJpegWalk walk = WalkJpegSegments(data, cut, at);
    if (walk == TJpegWalk::More) walk = WalkJpegSegments(data, size, at);
    FUZZ_CHECK(walk == whole && at == whole_at,
               "the walk resumed after " + IntToText(static_cast<int64_t>(cut)) +
                   " bytes ends elsewhere: " + fuzz::Escaped(bytes));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  fuzz::TInput input(data, size);
  const Text type = input.Take(input.Byte() % 64);
  const Text bytes = input.Rest();
  const Text fault = PictureFault(bytes.data(), bytes.size(), type);
  const bool whole = IsWholeJpeg(bytes.data(), bytes.size());
  CheckResumedWalk(bytes);
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
