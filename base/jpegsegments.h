// A JPEG's header segments, walked by their lengths up to the first scan's coded data: an
// end-of-image marker among them (the thumbnail in a camera's metadata) is not the picture's.
#pragma once

#include <cstddef>

namespace tessaly {

enum class TJpegWalk { Scan, More, Broken };

// Walks the segments of the JPEG in data[0, size) from `at`, the position of a marker (2 for a
// fresh walk, after the start marker). Scan: `at` is where the coded data begins (possibly
// beyond size). More: the bytes end inside the segments; `at` is where to go on once more have
// arrived. Broken: the segments stop making sense at `at` (no scan is reached): more bytes never
// change that, and nothing before `at` is outside a segment.
TJpegWalk WalkJpegSegments(const unsigned char* data, size_t size, size_t& at);

}  // namespace tessaly
