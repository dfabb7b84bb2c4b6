// IP literal recognition and conversion on arbitrary bytes: IsOctetText, IsIPv4Text and
// IsIPv6Text against a reading of their rules as a grammar; the byte conversions against the
// system's inet_pton wherever both accept the text; IPv6BytesToText reading back.
#include <arpa/inet.h>

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

#include "base/ipaddr.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "ip_text";

using tessaly::Text;

// The literals' rules, read as a grammar over the text's fields rather than as the steps that
// cut them.

// The text split at every delimiter, each field with spaces around it removed.
std::vector<Text> Fields(const Text& text, char delimiter) {
  std::vector<Text> fields;
  Text field;
  for (char c : text + delimiter) {
    if (c != delimiter) {
      field += c;
      continue;
    }
    const size_t first = field.find_first_not_of(' ');
    fields.push_back(first == Text::npos
                         ? Text()
                         : field.substr(first, field.find_last_not_of(' ') - first + 1));
    field.clear();
  }
  return fields;
}

bool AllOf(const Text& text, const char* alphabet) {
  return !text.empty() && text.find_first_not_of(alphabet) == Text::npos;
}

// Value of digits in base, judged whole (leading zeros do not count); ULLONG_MAX when huge.
unsigned long long ValueOf(const Text& digits, int base) {
  unsigned long long value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  return error == std::errc() && end == digits.data() + digits.size() ? value : ULLONG_MAX;
}

// Decimal digits only, of any count, worth 0..255.
bool RefOctet(const Text& text) {
  return AllOf(text, "0123456789") && ValueOf(text, 10) <= 255;
}

// Four dot-separated octets, spaces around each allowed.
bool RefIPv4(const Text& text) {
  const std::vector<Text> fields = Fields(text, '.');
  if (fields.size() != 4) return false;
  for (const Text& field : fields) {
    if (!RefOctet(field)) return false;
  }
  return true;
}

bool RefHexGroup(const Text& text) {
  return AllOf(text, "0123456789abcdefABCDEF") && ValueOf(text, 16) <= 0xFFFF;
}

// Colon-separated groups (spaces around each allowed) of at most eight, with at most one
// empty group after the first field ("::"), the last group not empty and possibly carrying a
// numeric "%" zone, and more than one group in all; "::" alone also counts. An empty field
// after the last colon is never looked at, which is why "1::" fails on its empty last group.
bool RefIPv6(const Text& text) {
  if (text == "::") return true;
  std::vector<Text> fields = Fields(text, ':');
  if (fields.size() > 1 && fields.back().empty()) fields.pop_back();
  if (fields.size() < 2 || fields.back().empty()) return false;
  int empties = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].empty()) {
      if (i > 0 && ++empties > 1) return false;
      continue;
    }
    if (i >= 8) return false;
    Text group = fields[i];
    if (i + 1 == fields.size()) {
      const size_t percent = group.find('%');
      if (!RefHexGroup(percent == Text::npos ? group : group.substr(percent + 1))) return false;
      group = group.substr(0, percent);
    }
    if (!RefHexGroup(group)) return false;
  }
  return true;
}

// What the conversion to bytes does with one field: the integer parse with fallback 0.
int32_t DecimalOrZero(const Text& text) {
  Text body = text.substr(std::min(text.size(), text.find_first_not_of(' ')));
  if (body.empty()) return 0;
  if (body[0] == '$') {
    const Text digits = body.substr(1);
    if (!AllOf(digits, "0123456789abcdefABCDEF")) return 0;
    const unsigned long long value = ValueOf(digits, 16);
    return value > 0xFFFFFFFFULL ? 0 : static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  const bool negative = body[0] == '-';
  if (body[0] == '+' || negative) body.erase(0, 1);
  if (!AllOf(body, "0123456789")) return 0;
  const unsigned long long value = ValueOf(body, 10);
  if (value > (negative ? 2147483648ULL : 2147483647ULL)) return 0;
  return static_cast<int32_t>(negative ? -static_cast<long long>(value)
                                       : static_cast<long long>(value));
}

Text Bytes(const void* data, size_t size) {
  return Text(static_cast<const char*>(data), size);
}

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
    // The first three dot-separated fields as written (not trimmed), and all that follows the
    // third dot, each through the integer parse with fallback 0.
    Text want;
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
      const size_t dot = i < 3 ? text.find('.', from) : Text::npos;
      want += static_cast<char>(DecimalOrZero(text.substr(from, dot - from)) & 0xFF);
      from = dot == Text::npos ? text.size() : dot + 1;
    }
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
    const Text address = text.substr(0, text.find('%'));
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
    FUZZ_CHECK(IPv6TextToBytes(written) == raw,
               "IPv6TextToBytes does not read back" + written_shown);
    FUZZ_CHECK(IsIPv6Text(written) == RefIPv6(written), "IsIPv6Text" + written_shown);
  }
  return 0;
}
