// Base64 and the byte-order conversions of the socket layer.
#pragma once

#include <cstdint>

#include "base/text.h"

namespace tessaly {

// RFC 4648 Base64 with "=" padding and no line breaks.
Text Base64Encode(const Text& text);

// 16-bit value as two bytes, high byte first.
Text WordToBytes(uint16_t value);
// Two bytes from position (1-based), high byte first; 0 unless both bytes exist.
uint16_t BytesToWord(const Text& text, int position = 1);
// 32-bit value as four bytes, high byte first.
Text LongToBytes(uint32_t value);
uint32_t SwapBytes32(uint32_t value);

}  // namespace tessaly
