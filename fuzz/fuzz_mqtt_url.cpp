// The broker's address and the texts made from camera names, on arbitrary bytes: an accepted
// address has a host, a port in range and a valid prefix, and reads the same when written
// again; an error never holds a control byte. A topic level holds no "+", "#", "/" or control
// byte, is UTF-8 and gives the name back when its escapes are read; an object id holds only
// Home Assistant's characters; a JSON string is UTF-8 and gives the bytes back.
#include <cstdint>
#include <string>

#include "fuzz/fuzzsupport.h"
#include "watch/mqtttext.h"

namespace {

constexpr char kTarget[] = "mqtt_url";

using tessaly::Text;

// UTF-8 as RFC 3629 defines it, read independently of the code under test.
bool IsUtf8(const Text& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    uint32_t value = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(text[i + k]);
      if ((d >> 6) != 2) return false;
      value = value << 6 | (d & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

int Hex(char c) {
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaly::fuzz::Escaped;
  const Text input(reinterpret_cast<const char*>(data), size);
  const Text shown = " of " + Escaped(input);

  tessaly::TMqttUrl url;
  Text error;
  const bool ok = tessaly::ParseMqttUrl(input, url, error);
  FUZZ_CHECK(ok == error.empty(), "error " + Escaped(error) + shown);
  for (const char c : error)
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 32, "control byte in error" + shown);
  if (ok) {
    FUZZ_CHECK(!url.Host.empty() && url.Port >= 1 && url.Port <= 65535, "host or port" + shown);
    FUZZ_CHECK(tessaly::ValidTopicPrefix(url.Prefix), "prefix " + Escaped(url.Prefix) + shown);
    const Text host = url.Host.find(':') != Text::npos ? "[" + url.Host + "]" : url.Host;
    const Text again = Text(url.Tls ? "mqtts://" : "mqtt://") + host + ":" +
                       std::to_string(url.Port) + "/" + url.Prefix;
    tessaly::TMqttUrl reread;
    FUZZ_CHECK(tessaly::ParseMqttUrl(again, reread, error), "rewritten refused " + again + shown);
    FUZZ_CHECK(reread.Host == url.Host && reread.Port == url.Port && reread.Prefix == url.Prefix &&
                   reread.Tls == url.Tls,
               "rewritten reads otherwise " + Escaped(again) + shown);
  }

  const Text level = tessaly::TopicLevel(input);
  FUZZ_CHECK(!level.empty() && IsUtf8(level), "level not UTF-8 " + Escaped(level) + shown);
  Text back;
  for (size_t i = 0; i < level.size(); ++i) {
    const auto c = static_cast<unsigned char>(level[i]);
    FUZZ_CHECK(c >= 32 && c != 127 && c != '+' && c != '#' && c != '/',
               "bad byte in level " + Escaped(level) + shown);
    if (c != '%') {
      back += level[i];
    } else if (i + 2 < level.size()) {
      back += static_cast<char>(Hex(level[i + 1]) * 16 + Hex(level[i + 2]));
      i += 2;
    }
  }
  FUZZ_CHECK(back == input || (input.empty() && level == "%"),
             "level reads otherwise " + Escaped(level) + shown);

  const Text id = tessaly::ObjectId(input);
  FUZZ_CHECK(!id.empty() && id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTU"
                                                 "VWXYZ0123456789_-") == Text::npos,
             "object id " + Escaped(id) + shown);

  const Text json = tessaly::JsonString(input);
  FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"' && IsUtf8(json),
             "JSON string " + Escaped(json) + shown);
  Text decoded;
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    FUZZ_CHECK(c >= 32 && c != '"', "raw byte in JSON " + Escaped(json) + shown);
    if (c != '\\') {
      decoded += json[i];
      continue;
    }
    FUZZ_CHECK(i + 2 < json.size(), "cut escape " + Escaped(json) + shown);
    if (json[i + 1] == 'u') {
      FUZZ_CHECK(json.compare(i + 2, 2, "00") == 0, "escape " + Escaped(json) + shown);
      decoded += static_cast<char>(Hex(json[i + 4]) * 16 + Hex(json[i + 5]));
      i += 5;
    } else {
      FUZZ_CHECK(json[i + 1] == '"' || json[i + 1] == '\\', "escape " + Escaped(json) + shown);
      decoded += json[++i];
    }
  }
  // Bytes that are not UTF-8 become U+FFFD; the rest reads back as it was.
  FUZZ_CHECK(!IsUtf8(input) || decoded == input, "JSON reads otherwise " + Escaped(json) + shown);
  return 0;
}
