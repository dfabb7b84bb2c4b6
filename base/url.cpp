#include "base/url.h"

namespace tessaly {

TUrlParts SplitUrl(const Text& url) {
  TUrlParts parts;
  Text rest = url;
  if (Find("://", url) > 0) {
    parts.scheme = TextBefore(url, "://");
    rest = TextAfter(url, "://");
  }
  const Text scheme = UpperAscii(parts.scheme);
  if (scheme == "HTTPS") parts.port = "443";
  if (scheme == "FTP") parts.port = "21";

  const int at = Find("@", rest);
  const int slash = Find("/", rest);
  if (at > 0 && (slash == 0 || slash > at)) {
    const Text userinfo = TextBefore(rest, "@");
    rest = TextAfter(rest, "@");
    if (Find(":", userinfo) > 0) {
      parts.user = TextBefore(userinfo, ":");
      parts.password = TextAfter(userinfo, ":");
    } else {
      parts.user = userinfo;
    }
  }

  Text hostport = rest;
  Text tail;
  if (Find("/", rest) > 0) {
    hostport = TextBefore(rest, "/");
    tail = TextAfter(rest, "/");
  }

  if (!hostport.empty() && hostport[0] == '[') {
    parts.host = TextBefore(hostport, "]").substr(1);
    const Text remainder = TextAfter(hostport, "]");
    if (!remainder.empty() && remainder[0] == ':') parts.port = TextAfter(remainder, ":");
  } else if (Find(":", hostport) > 0) {
    parts.host = TextBefore(hostport, ":");
    parts.port = TextAfter(hostport, ":");
  } else {
    parts.host = hostport;
  }

  parts.uri = "/" + tail;
  if (Find("?", tail) > 0) {
    parts.path = "/" + TextBefore(tail, "?");
    parts.query = TextAfter(tail, "?");
  } else {
    parts.path = "/" + tail;
  }
  if (parts.host.empty()) parts.host = "localhost";
  return parts;
}

Text WithoutUserInfo(const Text& url) {
  const int scheme_end = Find("://", url);
  const size_t start = scheme_end > 0 ? static_cast<size_t>(scheme_end) + 2 : 0;
  const size_t at = url.find('@', start);
  const size_t slash = url.find('/', start);
  if (at == Text::npos || (slash != Text::npos && slash < at)) return url;
  return url.substr(0, start) + url.substr(at + 1);
}

TAddress ParseAddress(const Text& text) {
  return TAddress{text, SplitUrl(text), WithoutUserInfo(text)};
}

}  // namespace tessaly
