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
// "_" and the counter's decimal text, zero-padded to eight digits; a negative counter counts
// as one digit, and longer values are never cut.
Text CounterSuffix(int32_t counter);
// save_dir + base + CounterSuffix + ext, or with "[1]", "[2]", ... before ext: the first
// candidate that no file has yet.
Text FreshFilePath(const Text& save_dir, const Text& name, int32_t counter);

}  // namespace tessaly
