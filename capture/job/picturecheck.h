// Whether an answer is a complete picture, judged by its markers alone (nothing is decoded), and
// whether it equals a picture already stored.
#pragma once

#include <cstddef>

#include "base/text.h"

namespace tessaly {

// "" when data is a complete picture: a JPEG from its start marker through the end-of-image
// marker that ends its scans, followed by nothing but CR and LF bytes, a PNG from its signature
// through its IEND chunk, a GIF from its header through its trailer, or a WebP whose RIFF length
// matches its size and whose first chunk, a VP8, VP8L or VP8X one, lies within it. Otherwise why
// not, in one line: "not a picture: text/html, 1234 bytes" (type is the answer's Content-Type
// value, "" when it had none), "incomplete JPEG: no end-of-image marker", "not one picture: 80
// bytes after the JPEG's end-of-image marker".
Text PictureFault(const char* data, size_t size, const Text& type);
// True when data is a complete JPEG as above.
bool IsWholeJpeg(const char* data, size_t size);
// True when the file at path holds exactly these bytes; false also when it cannot be read.
bool FileHolds(const Text& path, const char* data, size_t size);

}  // namespace tessaly
