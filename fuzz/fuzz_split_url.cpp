// SplitUrl on arbitrary bytes: every part must match an independent reading of the splitting
// rules, and the parts must fit together (the request URI is path and query as written).
#include <cstdint>

#include "base/url.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "split_url";

using tessaly::Text;

Text Before(const Text& value, const Text& delimiter) {
  const size_t at = value.find(delimiter);
  return at == Text::npos ? value : value.substr(0, at);
}
Text After(const Text& value, const Text& delimiter) {
  const size_t at = value.find(delimiter);
  return at == Text::npos ? value : value.substr(at + delimiter.size());
}
bool Has(const Text& value, const Text& needle) { return value.find(needle) != Text::npos; }
Text Upper(Text text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

tessaly::TUrlParts Reference(const Text& url) {
  tessaly::TUrlParts parts;
  parts.scheme = "http";
  parts.port = "80";
  Text rest = url;
  if (Has(url, "://")) {
    parts.scheme = Before(url, "://");
    rest = After(url, "://");
  }
  if (Upper(parts.scheme) == "HTTPS") parts.port = "443";
  if (Upper(parts.scheme) == "FTP") parts.port = "21";
  const size_t at = rest.find('@');
  const size_t slash = rest.find('/');
  if (at != Text::npos && (slash == Text::npos || slash > at)) {
    const Text userinfo = Before(rest, "@");
    rest = After(rest, "@");
    if (Has(userinfo, ":")) {
      parts.user = Before(userinfo, ":");
      parts.password = After(userinfo, ":");
    } else {
      parts.user = userinfo;
    }
  }
  Text hostport = rest;
  Text tail;
  if (Has(rest, "/")) {
    hostport = Before(rest, "/");
    tail = After(rest, "/");
  }
  if (!hostport.empty() && hostport[0] == '[') {
    parts.host = Before(hostport, "]").substr(1);
    const Text remainder = After(hostport, "]");
    if (!remainder.empty() && remainder[0] == ':') parts.port = After(remainder, ":");
  } else if (Has(hostport, ":")) {
    parts.host = Before(hostport, ":");
    parts.port = After(hostport, ":");
  } else {
    parts.host = hostport;
  }
  parts.uri = "/" + tail;
  if (Has(tail, "?")) {
    parts.path = "/" + Before(tail, "?");
    parts.query = After(tail, "?");
  } else {
    parts.path = "/" + tail;
  }
  if (parts.host.empty()) parts.host = "localhost";
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaly::fuzz::Escaped;
  const Text url(reinterpret_cast<const char*>(data), size);
  const tessaly::TUrlParts got = tessaly::SplitUrl(url);
  const tessaly::TUrlParts want = Reference(url);
  const Text shown = " of " + Escaped(url);

  FUZZ_CHECK(got.scheme == want.scheme, "scheme " + Escaped(got.scheme) + shown);
  FUZZ_CHECK(got.user == want.user, "user " + Escaped(got.user) + shown);
  FUZZ_CHECK(got.password == want.password, "password " + Escaped(got.password) + shown);
  FUZZ_CHECK(got.host == want.host, "host " + Escaped(got.host) + shown);
  FUZZ_CHECK(got.port == want.port, "port " + Escaped(got.port) + shown);
  FUZZ_CHECK(got.path == want.path, "path " + Escaped(got.path) + shown);
  FUZZ_CHECK(got.query == want.query, "query " + Escaped(got.query) + shown);
  FUZZ_CHECK(got.uri == want.uri, "uri " + Escaped(got.uri) + shown);

  // Shape, independent of the reference: a host is always there, the URI starts with "/",
  // path and query put back together give the URI, and nothing is longer than the input.
  FUZZ_CHECK(!got.host.empty(), "empty host" + shown);
  FUZZ_CHECK(!got.uri.empty() && got.uri[0] == '/', "uri" + shown);
  FUZZ_CHECK(got.uri == (Has(got.uri, "?") ? got.path + "?" + got.query : got.path),
             "uri is not path?query" + shown);
  FUZZ_CHECK(got.uri.size() <= url.size() + 1, "uri longer than the input" + shown);
  return 0;
}
