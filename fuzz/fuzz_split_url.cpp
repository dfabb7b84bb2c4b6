// SplitUrl on arbitrary bytes: every part must match a reading of the splitting rules as
// patterns, and the parts must fit together (the request URI is path and query as written).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <regex>

#include "base/url.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "split_url";

using tessaly::Text;

bool Has(const Text& value, const Text& needle) {
  return value.find(needle) != Text::npos;
}

// The splitting rules read as patterns: each part is what a pattern of the rule captures, so
// a misreading of where a part starts or ends shows as a difference.
bool Match(const Text& text, const char* pattern, std::smatch& parts) {
  return std::regex_match(text, parts, std::regex(pattern));
}

bool SameIgnoringCase(const Text& text, const char* upper) {
  if (text.size() != std::strlen(upper)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != upper[i]) return false;
  }
  return true;
}

tessaly::TUrlParts Reference(const Text& url) {
  tessaly::TUrlParts parts;
  std::smatch m;
  Text rest = url;
  parts.scheme = "http";
  // The scheme ends at the first "://" (lazy match: the earliest one).
  if (Match(url, R"(^([\s\S]*?)://([\s\S]*)$)", m)) {
    parts.scheme = m[1];
    rest = m[2];
  }
  parts.port = SameIgnoringCase(parts.scheme, "HTTPS")  ? "443"
               : SameIgnoringCase(parts.scheme, "FTP")  ? "21"
               : SameIgnoringCase(parts.scheme, "RTSP") ? "554"
                                                        : "80";
  // User information: up to the first "@", when no "/" comes before it; the password is all
  // after the first ":" of it.
  if (Match(rest, R"(^([^/@]*)@([\s\S]*)$)", m)) {
    const Text userinfo = m[1];
    rest = m[2];
    std::smatch u;
    Match(userinfo, R"(^([^:]*)(?::([\s\S]*))?$)", u);
    parts.user = u[1];
    parts.password = u[2];
  }
  // Host and port end at the first "/"; the rest is path and query as written.
  Match(rest, R"(^([^/]*)(?:/([\s\S]*))?$)", m);
  const Text hostport = m[1];
  const Text tail = m[2];
  if (Match(hostport, R"(^\[([^\]]*)(?:\](?::([\s\S]*)|[^:][\s\S]*|))?$)", m)) {
    parts.host = m[1];
    if (m[2].matched) parts.port = m[2];
  } else if (Match(hostport, R"(^([^:]*):([\s\S]*)$)", m)) {
    parts.host = m[1];
    parts.port = m[2];
  } else {
    parts.host = hostport;
  }
  parts.uri = "/" + tail;
  Match(tail, R"(^([^?]*)(?:\?([\s\S]*))?$)", m);
  parts.path = "/" + Text(m[1]);
  parts.query = m[2];
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
