#include "watch/mqtttext.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace tessaly {
namespace {

Text Hex2(unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return Text{kDigits[byte >> 4], kDigits[byte & 15]};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const Text& text, Text& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

// Every byte of text is printable ASCII or part of UTF-8, and none is in refused.
bool PlainUtf8(const Text& text, const char* refused) {
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F || Text(refused).find(text[i]) != Text::npos) return false;
    const size_t length = Utf8Length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace

bool ParseMqttUrl(const Text& text, TMqttUrl& url, Text& error) {
  url = TMqttUrl();
  error.clear();
  const size_t scheme_end = text.find("://");
  const Text scheme = LowerAscii(text.substr(0, scheme_end));
  if (scheme_end == Text::npos || (scheme != "mqtt" && scheme != "mqtts"))
    return error = "the address must start with mqtt:// or mqtts://", false;
  url.Tls = scheme == "mqtts";
  url.Port = url.Tls ? 8883 : 1883;
  const Text rest = text.substr(scheme_end + 3);
  const size_t slash = rest.find('/');
  Text authority = rest.substr(0, slash);
  if (const size_t at = authority.rfind('@'); at != Text::npos) {
    const Text info = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const size_t colon = info.find(':');
    url.HasPassword = colon != Text::npos;
    if (!PercentDecode(info.substr(0, colon), url.User) ||
        (url.HasPassword && !PercentDecode(info.substr(colon + 1), url.Password)))
      return error = "a bad %-escape in the user or password", false;
    if (url.User.empty()) return error = "an empty user before \"@\"", false;
    if (url.User.find('\0') != Text::npos || url.Password.find('\0') != Text::npos)
      return error = "a NUL byte in the user or password", false;
  }
  Text port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == Text::npos) return error = "no \"]\" after the IPv6 address", false;
    url.Host = authority.substr(1, close - 1);
    const Text after = authority.substr(close + 1);
    if (!after.empty() && after[0] != ':') return error = "bytes after the IPv6 address", false;
    if (!after.empty()) port = after.substr(1);
    if (url.Host.find_first_not_of("0123456789abcdefABCDEF:.") != Text::npos)
      return error = "not an IPv6 address inside \"[]\"", false;
  } else {
    const size_t colon = authority.find(':');
    url.Host = authority.substr(0, colon);
    if (colon != Text::npos) port = authority.substr(colon + 1);
    if (colon != Text::npos && port.empty()) return error = "no port after \":\"", false;
  }
  if (url.Host.empty()) return error = "no host", false;
  if (!PlainUtf8(url.Host, " /?#[]@%\\")) return error = "bad bytes in the host", false;
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != Text::npos)
      return error = "the port is not a number", false;
    url.Port = std::stoi(port);
    if (url.Port < 1 || url.Port > 65535) return error = "the port is not within 1-65535", false;
  }
  Text prefix = slash == Text::npos ? Text() : rest.substr(slash + 1);
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty()) return true;
  if (!ValidTopicPrefix(prefix))
    return error =
               "the topic prefix may hold no empty level, no \"+\", \"#\", \"?\" or control "
               "byte, and may not start with \"$\"",
           false;
  url.Prefix = prefix;
  return true;
}

bool ValidTopicPrefix(const Text& prefix) {
  return !prefix.empty() && PlainUtf8(prefix, "+#?") && prefix[0] != '/' && prefix[0] != '$' &&
         prefix.back() != '/' && prefix.find("//") == Text::npos;
}

Text TopicLevel(const Text& name) {
  Text level;
  for (size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const size_t length = Utf8Length(name, i);
    if (length == 0 || byte < 0x20 || byte == 0x7F || Text("%+#/").find(name[i]) != Text::npos) {
      level += "%" + Hex2(byte);
      ++i;
      continue;
    }
    level += name.substr(i, length);
    i += length;
  }
  return level.empty() ? Text("%") : level;
}

Text ObjectId(const Text& name) {
  Text id;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    id += kept ? c : '_';
  }
  if (id == name && !id.empty()) return id;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "_%08x", static_cast<unsigned>(hash));
  return id + suffix;
}

Text JsonTime(std::time_t when) {
  if (when == 0) return "null";
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[40];
  std::strftime(text, sizeof text, "\"%Y-%m-%dT%H:%M:%SZ\"", &parts);
  return text;
}

}  // namespace tessaly
