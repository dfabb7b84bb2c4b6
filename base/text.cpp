#include "base/text.h"

#include <algorithm>
#include <cstdio>

namespace tessaly {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int Find(const Text& needle, const Text& text) {
  if (needle.empty() || text.empty()) return 0;
  const size_t at = text.find(needle);
  return at == Text::npos ? 0 : static_cast<int>(at) + 1;
}

Text UpperAscii(const Text& text) {
  Text result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

Text LowerAscii(const Text& text) {
  Text result = text;
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

namespace {

template <typename Pred>
Text TrimIf(const Text& text, bool left, bool right, Pred strip) {
  size_t begin = 0;
  size_t end = text.size();
  if (left) {
    while (begin < end && strip(static_cast<unsigned char>(text[begin]))) ++begin;
  }
  if (right) {
    while (end > begin && strip(static_cast<unsigned char>(text[end - 1]))) --end;
  }
  return text.substr(begin, end - begin);
}

bool IsBlank(unsigned char c) {
  return c <= 32;
}
bool IsSpace(unsigned char c) {
  return c == 32;
}

}  // namespace

Text TrimBlanks(const Text& text) {
  return TrimIf(text, true, true, IsBlank);
}
Text TrimSpacesLeft(const Text& text) {
  return TrimIf(text, true, false, IsSpace);
}
Text TrimSpacesRight(const Text& text) {
  return TrimIf(text, false, true, IsSpace);
}
Text TrimSpaces(const Text& text) {
  return TrimIf(text, true, true, IsSpace);
}

bool TryParseInt(const Text& text, int32_t& value) {
  value = 0;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return false;

  if (text[i] == '$') {
    ++i;
    if (i == text.size()) return false;
    uint64_t pattern = 0;
    for (; i < text.size(); ++i) {
      const int digit = HexValue(text[i]);
      if (digit < 0) return false;
      pattern = pattern * 16 + static_cast<uint64_t>(digit);
      if (pattern > 0xFFFFFFFFull) return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(pattern));
    return true;
  }

  bool negative = false;
  if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (magnitude > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                        : static_cast<int64_t>(magnitude));
  return true;
}

int32_t ParseIntDefault(const Text& text, int32_t fallback) {
  int32_t value = 0;
  return TryParseInt(text, value) ? value : fallback;
}

int32_t StrToInt(const Text& text) {
  int32_t value = 0;
  if (!TryParseInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

Text IntToText(int64_t value) {
  return std::to_string(value);
}

Text TextBefore(const Text& value, const Text& delimiter) {
  const int p = Find(delimiter, value);
  return p < 1 ? value : value.substr(0, static_cast<size_t>(p - 1));
}

Text TextAfter(const Text& value, const Text& delimiter) {
  const int p = Find(delimiter, value);
  return p > 0 ? value.substr(static_cast<size_t>(p - 1) + delimiter.size()) : value;
}

Text CutToken(Text& value, const Text& delimiter) {
  Text result = TextBefore(value, delimiter);
  Text rest = TextAfter(value, delimiter);
  value = rest == value ? Text() : std::move(rest);
  return result;
}

Text CutTrimmedToken(Text& value, const Text& delimiter) {
  Text result = TrimSpaces(CutToken(value, delimiter));
  value = TrimSpaces(value);
  return result;
}

int FindLineEnd(const Text& text, Text& terminator) {
  terminator.clear();
  const size_t at = text.find_first_of("\r\n");
  if (at == Text::npos) return -1;
  terminator = text.substr(at, 1);
  if (at + 1 < text.size()) {
    const char next = text[at + 1];
    if ((text[at] == '\r' && next == '\n') || (text[at] == '\n' && next == '\r')) {
      terminator += next;
    }
  }
  return static_cast<int>(at) + 1;
}

namespace {

// The length of the UTF-8 sequence of a printable character at text[at], or 0 when the bytes
// there are a control character or not UTF-8.
size_t PrintableLength(const Text& text, size_t at) {
  const auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F && lead != '\\' ? 1 : 0;
  // The lowest and highest second byte of each lead, which rules out overlong forms, the
  // surrogates and code points past U+10FFFF; C2 80..9F are the C1 controls.
  unsigned char low = 0x80, high = 0xBF;
  size_t length = 0;
  if (lead == 0xC2) {
    length = 2, low = 0xA0;
  } else if (lead >= 0xC3 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

Text PrintableText(const Text& text) {
  Text shown;
  shown.reserve(text.size());
  static const char kHex[] = "0123456789abcdef";
  for (size_t at = 0; at < text.size();) {
    if (const size_t length = PrintableLength(text, at); length > 0) {
      shown.append(text, at, length);
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at++]);
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 15];
  }
  return shown;
}

size_t Utf8Length(const Text& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

Text JsonString(const Text& text) {
  Text out(1, '"');
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += text[i];
    } else if (byte < 0x20 || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", byte);
      out += code;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out + '"';
}

}  // namespace tessaly
