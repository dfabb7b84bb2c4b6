// IP literal recognition and conversion on arbitrary bytes: IsOctetText, IsIPv4Text and
// IsIPv6Text against an independent reading of their rules; the byte conversions against the
// system's inet_pton wherever both accept the text; IPv6BytesToText reading back.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "base/ipaddr.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "ip_text";

using tessaly::Text;

// The cutting rules of the text helpers, written out again.
Text Before(const Text& value, const Text& delimiter) {
  const size_t at = value.find(delimiter);
  return at == Text::npos ? value : value.substr(0, at);
}
Text After(const Text& value, const Text& delimiter) {
  const size_t at = value.find(delimiter);
  return at == Text::npos ? value : value.substr(at + delimiter.size());
}
Text TrimSpaces(const Text& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == Text::npos) return Text();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}
Text Cut(Text& value, const Text& delimiter) {
  const Text result = Before(value, delimiter);
  const Text rest = After(value, delimiter);
  value = rest == value ? Text() : rest;
  return result;
}
Text CutTrimmed(Text& value, const Text& delimiter) {
  const Text result = TrimSpaces(Cut(value, delimiter));
  value = TrimSpaces(value);
  return result;
}
// Value of the whole text as digits of the base, -1 when empty, not all digits, or beyond limit.
int64_t Digits(const Text& text, int base, int64_t limit) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * base + digit;
    if (value > limit) return -1;
  }
  return value;
}
// ParseIntDefault(text, 0) for the decimal form: leading spaces, optional sign.
int32_t DecimalOrZero(const Text& text) {
  Text body = text.substr(std::min(text.size(), text.find_first_not_of(' ')));
  if (body.empty()) return 0;
  if (body[0] == '$') {
    const int64_t value = Digits(body.substr(1), 16, 0xFFFFFFFFLL);
    return value < 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  bool negative = false;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.erase(0, 1);
  }
  const int64_t value = Digits(body, 10, negative ? 2147483648LL : 2147483647LL);
  if (value < 0) return 0;
  return static_cast<int32_t>(negative ? -value : value);
}

bool RefOctet(const Text& text) { return Digits(text, 10, 255) >= 0; }

bool RefIPv4(const Text& text) {
  Text copy = text;
  for (int i = 0; i < 3; ++i) {
    if (!RefOctet(CutTrimmed(copy, "."))) return false;
  }
  return RefOctet(copy);
}

bool RefHexGroup(const Text& text) { return Digits(text, 16, 0xFFFF) >= 0; }

bool RefIPv6(const Text& text) {
  if (text == "::") return true;
  int count = 0;
  int empties = 0;
  bool first = true;
  bool result = false;
  Text copy = text;
  while (!copy.empty()) {
    Text part = CutTrimmed(copy, ":");
    if (!first && part.empty()) ++empties;
    first = false;
    if (empties > 1) return false;
    ++count;
    if (part.empty()) continue;
    if (count > 8) return false;
    const bool last = copy.empty();
    if (last) {
      if (!RefHexGroup(After(part, "%"))) return false;
      part = Before(part, "%");
    }
    if (!RefHexGroup(part)) return false;
    if (last && !(count == 1 && empties == 0)) result = true;
  }
  return result;
}

Text Bytes(const void* data, size_t size) { return Text(static_cast<const char*>(data), size); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  const Text text(reinterpret_cast<const char*>(data), size);
  const Text shown = " of " + Escaped(text);

  FUZZ_CHECK(IsOctetText(text) == RefOctet(text), "IsOctetText" + shown);

  const bool v4 = IsIPv4Text(text);
  FUZZ_CHECK(v4 == RefIPv4(text), "IsIPv4Text" + shown);
  const Text v4_bytes = IPv4TextToBytes(text);
  FUZZ_CHECK(v4_bytes.size() == 4, "IPv4TextToBytes size" + shown);
  {
    // Each part as cut (not trimmed) goes through the integer parse with fallback 0.
    Text copy = text;
    Text want;
    for (int i = 0; i < 3; ++i) want += static_cast<char>(DecimalOrZero(Cut(copy, ".")) & 0xFF);
    want += static_cast<char>(DecimalOrZero(copy) & 0xFF);
    FUZZ_CHECK(v4_bytes == want, "IPv4TextToBytes " + Escaped(v4_bytes) + shown);
  }
  if (v4) {
    // Without spaces and leading zeros the text is one the system reads the same way.
    bool plain = text.find(' ') == Text::npos;
    for (size_t i = 0; plain && i + 1 < text.size(); ++i) {
      if (text[i] == '0' && (i == 0 || text[i - 1] == '.') && text[i + 1] != '.') plain = false;
    }
    in_addr system{};
    if (plain) {
      FUZZ_CHECK(inet_pton(AF_INET, text.c_str(), &system) == 1, "inet_pton refuses" + shown);
      FUZZ_CHECK(Bytes(&system, 4) == v4_bytes, "bytes differ from inet_pton" + shown);
    }
    // The dotted form of the bytes is recognised again and reads back to the same bytes.
    char dotted[INET_ADDRSTRLEN] = {};
    std::memcpy(&system, v4_bytes.data(), 4);
    FUZZ_CHECK(inet_ntop(AF_INET, &system, dotted, sizeof dotted) != nullptr, "inet_ntop");
    FUZZ_CHECK(IsIPv4Text(dotted) && IPv4TextToBytes(dotted) == v4_bytes,
               Text("dotted form ") + dotted + shown);
  }

  const bool v6 = IsIPv6Text(text);
  FUZZ_CHECK(v6 == RefIPv6(text), "IsIPv6Text" + shown);
  const Text v6_bytes = IPv6TextToBytes(text);
  FUZZ_CHECK(v6_bytes.size() == 16, "IPv6TextToBytes size" + shown);
  if (v6) {
    const Text address = Before(text, "%");
    in6_addr system{};
    if (inet_pton(AF_INET6, address.c_str(), &system) == 1) {
      FUZZ_CHECK(Bytes(&system, 16) == v6_bytes,
                 "IPv6TextToBytes " + Escaped(v6_bytes) + " differs from inet_pton" + shown);
    }
  }

  // Sixteen bytes from the input written as text: lower case, read back by the system and by
  // the layer's own conversion.
  if (size >= 16) {
    const Text raw = text.substr(0, 16);
    const Text written = IPv6BytesToText(raw);
    const Text written_shown = " " + Escaped(written) + " for " + Escaped(raw);
    for (char c : written) {
      FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':',
                 "IPv6BytesToText character" + written_shown);
    }
    in6_addr system{};
    FUZZ_CHECK(inet_pton(AF_INET6, written.c_str(), &system) == 1,
               "inet_pton refuses" + written_shown);
    FUZZ_CHECK(Bytes(&system, 16) == raw, "inet_pton reads other bytes from" + written_shown);
    FUZZ_CHECK(IPv6TextToBytes(written) == raw, "IPv6TextToBytes does not read back" + written_shown);
    FUZZ_CHECK(IsIPv6Text(written) == RefIPv6(written), "IsIPv6Text" + written_shown);
  }
  return 0;
}
