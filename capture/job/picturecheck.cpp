#include "capture/job/picturecheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/jpegsegments.h"

namespace tessaly {
namespace {

using Bytes = const unsigned char*;

uint32_t Big16(Bytes p) {
  return uint32_t{p[0]} << 8 | p[1];
}
uint32_t Big32(Bytes p) {
  return Big16(p) << 16 | Big16(p + 2);
}
uint32_t Little32(Bytes p) {
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

bool Starts(Bytes data, size_t size, const char* magic, size_t length) {
  return size >= length && std::memcmp(data, magic, length) == 0;
}

// Where the first scan's coded data begins; 0 when the segments do not reach a scan.
size_t JpegScanStart(Bytes data, size_t size) {
  size_t at = 2;
  return WalkJpegSegments(data, size, at) == TJpegWalk::Scan ? at : 0;
}

// The position of the picture's end-of-image marker, the first one after its scans; size when
// none. Coded data holds no FF D9 (an FF in it is always followed by 00, a restart marker or
// more FF fill), and the segments between the scans of a progressive picture are stepped over
// by their lengths: a later picture run on behind this one, MIME headers and all, is not this
// one's end.
size_t EndOfImage(Bytes data, size_t size, size_t from) {
  for (size_t at = from; at + 1 < size;) {
    const void* found = std::memchr(data + at, 0xFF, size - at - 1);
    if (found == nullptr) break;
    const size_t mark = static_cast<Bytes>(found) - data;
    const unsigned kind = data[mark + 1];
    if (kind == 0xD9) return mark;
    if (kind == 0x00 || kind == 0xFF || (kind >= 0xD0 && kind <= 0xD7)) {
      at = mark + 1;
    } else if (kind == 0xD8 || mark + 4 > size) {
      break;  // a second start marker: no end of this picture comes before it
    } else {
      at = mark + 2 + Big16(data + mark + 2);
    }
  }
  return size;
}

// The JPEG's length without the CR and LF bytes that may follow it.
size_t WithoutLineEnds(Bytes data, size_t size) {
  while (size > 2 && (data[size - 1] == '\r' || data[size - 1] == '\n')) --size;
  return size;
}

// Whether bytes after a picture's end show another part run on behind it: a picture's start
// marker, or a line of a stream's part boundary or part headers. Other trailing bytes (the zero
// padding some cameras add) were always stored and still are.
bool HoldsAnotherPart(Bytes data, size_t size) {
  const std::string_view rest(reinterpret_cast<const char*>(data), size);
  if (rest.find("\xFF\xD8") != std::string_view::npos) return true;
  for (size_t at = 0; at < size;) {
    const size_t end = std::min(rest.find('\n', at), size);
    std::string_view line = rest.substr(at, end - at);
    if (line.substr(0, 2) == "--") return true;
    std::string lower(line.substr(0, 15));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("content-type:", 0) == 0 || lower.rfind("content-length:", 0) == 0) return true;
    at = end + 1;
  }
  return false;
}

// The fault of a JPEG; "" when it is one picture. trailing: the bytes after its end-of-image
// marker, line ends not counted.
Text JpegFault(Bytes data, size_t size, size_t* trailing = nullptr) {
  const size_t scan = JpegScanStart(data, size);
  const size_t end = scan == 0 || scan > size ? size : EndOfImage(data, size, scan);
  if (end == size) return "incomplete JPEG: no end-of-image marker";
  const size_t after = WithoutLineEnds(data, size) - (end + 2);
  if (trailing != nullptr) *trailing = after;
  if (after > 0 && HoldsAnotherPart(data + end + 2, after))
    return "not one picture: " + IntToText(static_cast<int64_t>(after)) +
           " bytes after the JPEG's end-of-image marker";
  return Text();
}

Text PngFault(Bytes data, size_t size) {
  for (uint64_t at = 8; at + 12 <= size;) {
    const uint64_t end = at + 12 + Big32(data + at);
    if (end > size) break;
    if (std::memcmp(data + at + 4, "IEND", 4) == 0) return Text();
    at = end;
  }
  return "incomplete PNG: no IEND chunk";
}

// Skips a GIF's data sub-blocks up to their empty terminator; false when they run off the end.
bool SkipSubBlocks(Bytes data, size_t size, uint64_t& at) {
  while (at < size) {
    // The walk hops from length byte to length byte, each a cache line of its own; encoders
    // write full 255-byte blocks, so the lines a few hops ahead are fetched while it hops.
    __builtin_prefetch(data + at + 32 * 256);
    const unsigned length = data[at++];
    if (length == 0) return true;
    at += length;
  }
  return false;
}

uint64_t ColorTableSize(unsigned flags) {
  return (flags & 0x80) != 0 ? uint64_t{3} << ((flags & 7) + 1) : 0;
}

Text GifFault(Bytes data, size_t size) {
  const Text incomplete = "incomplete GIF: no trailer";
  if (size < 13) return incomplete;
  uint64_t at = 13 + ColorTableSize(data[10]);
  while (at < size) {
    const unsigned block = data[at++];
    if (block == 0x3B) return Text();
    if (block == 0x21) {
      ++at;  // the extension's label
    } else if (block == 0x2C) {
      if (at + 9 > size) break;
      at += 9 + ColorTableSize(data[at + 8]) + 1;  // descriptor, colours, LZW code size
    } else {
      return "broken GIF: unknown block at byte " + IntToText(static_cast<int64_t>(at - 1));
    }
    if (!SkipSubBlocks(data, size, at)) break;
  }
  return incomplete;
}

Text WebpFault(Bytes data, size_t size) {
  const uint64_t declared = uint64_t{Little32(data + 4)} + 8;
  if (declared != size)
    return "WebP of the wrong length: RIFF says " + IntToText(static_cast<int64_t>(declared)) +
           " bytes, " + IntToText(static_cast<int64_t>(size)) + " arrived";
  // The RIFF header alone, or with some other chunk first, holds no picture.
  const bool image = size >= 20 && (std::memcmp(data + 12, "VP8 ", 4) == 0 ||
                                    std::memcmp(data + 12, "VP8L", 4) == 0 ||
                                    std::memcmp(data + 12, "VP8X", 4) == 0);
  if (!image || 20 + uint64_t{Little32(data + 16)} > size)
    return "incomplete WebP: no VP8, VP8L or VP8X chunk";
  return Text();
}

}  // namespace

Text PictureFault(const char* raw, size_t size, const Text& type) {
  const Bytes data = reinterpret_cast<Bytes>(raw);
  if (Starts(data, size, "\xFF\xD8", 2)) return JpegFault(data, size);
  if (Starts(data, size, "\x89PNG\r\n\x1A\n", 8)) return PngFault(data, size);
  if (Starts(data, size, "GIF87a", 6) || Starts(data, size, "GIF89a", 6))
    return GifFault(data, size);
  if (Starts(data, size, "RIFF", 4) && size >= 12 && std::memcmp(data + 8, "WEBP", 4) == 0)
    return WebpFault(data, size);
  Text shown = TrimBlanks(TextBefore(type, ";"));
  // The camera's text goes to a console line: no control bytes, no second line.
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return "not a picture: " + (shown.empty() ? Text("no type") : shown) + ", " +
         IntToText(static_cast<int64_t>(size)) + " bytes";
}

bool IsWholeJpeg(const char* raw, size_t size) {
  const Bytes data = reinterpret_cast<Bytes>(raw);
  // Whole means nothing but line ends after its end: a short answer is kept only then.
  size_t trailing = 0;
  return Starts(data, size, "\xFF\xD8", 2) && JpegFault(data, size, &trailing).empty() &&
         trailing == 0;
}

bool FileHolds(const Text& path, const char* data, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat info {};
  bool same =
      fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) == size;
  char piece[64 * 1024];
  for (size_t at = 0; same && at < size;) {
    const ssize_t got = read(fd, piece, std::min(sizeof(piece), size - at));
    if (got < 0 && errno == EINTR) continue;
    same = got > 0 && std::memcmp(piece, data + at, static_cast<size_t>(got)) == 0;
    at += got > 0 ? static_cast<size_t>(got) : 0;
  }
  close(fd);
  return same;
}

}  // namespace tessaly
