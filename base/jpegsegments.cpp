#include "base/jpegsegments.h"

#include <cstdint>

namespace tessaly {

TJpegWalk WalkJpegSegments(const unsigned char* data, size_t size, size_t& at) {
  for (;;) {
    if (at >= size) return TJpegWalk::More;
    if (data[at] != 0xFF) return TJpegWalk::Broken;
    size_t marker = at;
    while (marker < size && data[marker] == 0xFF) ++marker;  // fill bytes before a marker
    // A walk resumed later starts at the last fill byte, so it never passes the others again.
    if (marker >= size) {
      at = marker - 1;
      return TJpegWalk::More;
    }
    const unsigned code = data[marker++];
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD8)) {  // no length follows
      at = marker;
      continue;
    }
    // A broken marker is placed at its last fill byte, which a resumed walk also knows.
    if (code == 0xD9) {
      at = marker - 2;
      return TJpegWalk::Broken;
    }
    if (marker + 2 > size) {
      at = marker - 2;
      return TJpegWalk::More;
    }
    const size_t length = size_t{data[marker]} << 8 | data[marker + 1];
    if (length < 2) {
      at = marker - 2;
      return TJpegWalk::Broken;
    }
    at = marker + length;
    if (code == 0xDA) return TJpegWalk::Scan;
  }
}

}  // namespace tessaly
