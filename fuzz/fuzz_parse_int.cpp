// Integer parsing: TryParseInt, ParseIntDefault and StrToInt must agree with each other and
// with an independent reading of the accepted forms, and IntToText must read back.
#include <cstdint>
#include <optional>

#include "base/text.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "parse_int";

using tessaly::Text;

// Leading spaces; then [+-]digits within int32, or "$" and hex digits up to FFFFFFFF taken as
// a signed pattern; nothing after.
std::optional<int32_t> Reference(const Text& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return std::nullopt;
  if (text[i] == '$') {
    if (++i == text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL || value < -2147483648LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  const Text text(reinterpret_cast<const char*>(data), size);
  const std::optional<int32_t> expected = Reference(text);
  const Text shown = fuzz::Escaped(text);

  int32_t value = 12345;
  const bool ok = TryParseInt(text, value);
  FUZZ_CHECK(ok == expected.has_value(), "TryParseInt of " + shown);
  if (ok) {
    FUZZ_CHECK(value == *expected, "TryParseInt of " + shown + " gave " + IntToText(value));
  } else {
    FUZZ_CHECK(value == 0, "a failed TryParseInt must leave 0, " + shown);
  }

  // Two different fallbacks tell a parsed value apart from a fallback that happens to match.
  FUZZ_CHECK(ParseIntDefault(text, -7) == (ok ? value : -7), "ParseIntDefault of " + shown);
  FUZZ_CHECK(ParseIntDefault(text, 99) == (ok ? value : 99), "ParseIntDefault of " + shown);

  bool threw = false;
  try {
    const int32_t strict = StrToInt(text);
    FUZZ_CHECK(ok && strict == value, "StrToInt of " + shown);
  } catch (const EConvertError& error) {
    threw = true;
    // what() is a C string, so the message is compared up to a NUL the input may hold.
    const Text message = "'" + text + "' is not a valid integer value";
    FUZZ_CHECK(Text(error.what()) == message.substr(0, message.find('\0')),
               "StrToInt message for " + shown);
  }
  FUZZ_CHECK(threw == !ok, "StrToInt threw exactly when TryParseInt failed, " + shown);

  if (ok) {
    // The canonical text of a value reads back to it, and only that text is produced.
    const Text canonical = IntToText(value);
    int32_t again = 0;
    FUZZ_CHECK(TryParseInt(canonical, again) && again == value, "IntToText " + canonical);
    FUZZ_CHECK(canonical == std::to_string(value), "IntToText form " + canonical);
  }

  // The same bytes read as a hex body.
  const Text hex = "$" + text;
  int32_t hex_value = 0;
  const bool hex_ok = TryParseInt(hex, hex_value);
  const std::optional<int32_t> hex_expected = Reference(hex);
  FUZZ_CHECK(hex_ok == hex_expected.has_value() && (!hex_ok || hex_value == *hex_expected),
             "TryParseInt of " + fuzz::Escaped(hex));
  return 0;
}
