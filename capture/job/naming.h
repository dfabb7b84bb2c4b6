// Fresh, sortable file names for the stored images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

namespace tessaly {

// The address's last path segment (after its last "/"; empty without one), with every byte
// below 32 and every one of  " & ' * + , / : ; < > ? \ |  replaced by "_".
Text UrlFileName(const Text& address);
// The text before the last "." of name; empty when name holds no ".".
Text FileNameBase(const Text& name);
// The text from the last "." to the end, when no "/" follows that "."; else empty.
Text FileNameExt(const Text& name);
// A stream's frame is a JPEG when its part says image/jpeg or its bytes begin FF D8.
bool IsJpegFrame(const Text& part_type, const char* bytes, size_t size);
// The name a JPEG frame is stored under: name with its extension (if any) replaced by ".jpg".
Text JpegFrameName(const Text& name);
// The name an rtsp camera's picture is stored under: name with its extension replaced by
// ".jpg", or ".jpg" added when it has none ("stream1" gives "stream1.jpg").
Text StreamPictureName(const Text& name);
// "_" and the counter's decimal text, zero-padded to eight digits; a negative counter counts
// as one digit, and longer values are never cut.
Text CounterSuffix(int32_t counter);
// base + CounterSuffix(counter) + "[copy]" (none when copy is 0) + ext of name. When that is
// longer than name_max bytes, the extension is first cut to 16 bytes (when longer), then the
// base from its end, both at UTF-8 character boundaries, as far as needed to fit.
Text SeriesFileName(const Text& name, int32_t counter, int64_t copy, size_t name_max);
// The longest file name the directory takes, in bytes; 255 when the system does not say.
size_t NameMax(const Text& dir);
// True when any entry is at path: a file, a directory, a link (dangling ones too).
bool EntryExists(const Text& path);
// save_dir + SeriesFileName with copy 0, 1, 2, ...: the first candidate at which no entry is.
Text FreshFilePath(const Text& save_dir, const Text& name, int32_t counter);

}  // namespace tessaly
