#include "base/codec.h"

namespace tessaly {

Text Base64Encode(const Text& text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Text out;
  out.reserve((text.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    const uint32_t n = (static_cast<uint8_t>(text[i]) << 16) |
                       (static_cast<uint8_t>(text[i + 1]) << 8) | static_cast<uint8_t>(text[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const size_t left = text.size() - i;
  if (left > 0) {
    uint32_t n = static_cast<uint8_t>(text[i]) << 16;
    if (left == 2) n |= static_cast<uint8_t>(text[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += left == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

Text WordToBytes(uint16_t value) {
  return Text{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

uint16_t BytesToWord(const Text& text, int position) {
  if (position < 1 || static_cast<size_t>(position) + 1 > text.size()) return 0;
  const size_t i = static_cast<size_t>(position - 1);
  return static_cast<uint16_t>((static_cast<uint8_t>(text[i]) << 8) |
                               static_cast<uint8_t>(text[i + 1]));
}

Text LongToBytes(uint32_t value) {
  return Text{static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
              static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

uint32_t SwapBytes32(uint32_t value) {
  const Text bytes = LongToBytes(value);
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[3])) << 24;
}

}  // namespace tessaly
