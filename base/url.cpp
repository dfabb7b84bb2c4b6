#include "base/url.h"

#include <algorithm>
#include <string>

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
  if (scheme == "RTSP") parts.port = "554";

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
  TAddress address{text, SplitUrl(text), WithoutUserInfo(text)};
  // FFmpeg, which opens rtsp addresses, reads the user information up to the last "@" before
  // the path: what is shown and named after must not keep a piece of a password with an "@".
  if (LowerAscii(address.Parts.scheme) == "rtsp") {
    const size_t start = text.find("://") + 3;
    const size_t at = text.rfind('@', text.find('/', start));
    if (at != Text::npos && at >= start)
      address.Plain = text.substr(0, start) + text.substr(at + 1);
  }
  return address;
}

}  // namespace tessaly

namespace tessaly {
namespace {

// A URI reference cut into its five components (RFC 3986, appendix B).
struct TReference {
  bool has_scheme = false, has_authority = false, has_query = false, has_fragment = false;
  Text scheme, authority, path, query, fragment;
};

TReference CutReference(const Text& text) {
  TReference r;
  size_t at = 0;
  const size_t colon = text.find_first_of(":/?#");
  if (colon != Text::npos && colon > 0 && text[colon] == ':') {
    r.has_scheme = true;
    r.scheme = text.substr(0, colon);
    at = colon + 1;
  }
  if (text.compare(at, 2, "//") == 0) {
    const size_t end = std::min(text.find_first_of("/?#", at + 2), text.size());
    r.has_authority = true;
    r.authority = text.substr(at + 2, end - at - 2);
    at = end;
  }
  const size_t path_end = std::min(text.find_first_of("?#", at), text.size());
  r.path = text.substr(at, path_end - at);
  at = path_end;
  if (at < text.size() && text[at] == '?') {
    const size_t end = std::min(text.find('#', at), text.size());
    r.has_query = true;
    r.query = text.substr(at + 1, end - at - 1);
    at = end;
  }
  if (at < text.size()) {
    r.has_fragment = true;
    r.fragment = text.substr(at + 1);
  }
  return r;
}

Text Recompose(const TReference& r) {
  Text text;
  if (r.has_scheme) text += r.scheme + ":";
  if (r.has_authority) text += "//" + r.authority;
  text += r.path;
  if (r.has_query) text += "?" + r.query;
  if (r.has_fragment) text += "#" + r.fragment;
  return text;
}

bool At(const Text& text, size_t at, const char* piece) {
  return text.compare(at, std::char_traits<char>::length(piece), piece) == 0;
}

// Section 5.2.4, over a copy that the rules rewrite in place: each step moves the start
// forward, so a path of many segments costs its length once, not once per segment.
Text RemoveDotSegments(Text in) {
  Text out;
  const auto drop_last = [&out] {
    const size_t slash = out.rfind('/');
    out.erase(slash == Text::npos ? 0 : slash);
  };
  size_t at = 0;
  while (at < in.size()) {
    const size_t left = in.size() - at;
    if (At(in, at, "../")) {
      at += 3;
    } else if (At(in, at, "./")) {
      at += 2;
    } else if (At(in, at, "/./")) {
      at += 2;
    } else if (left == 2 && At(in, at, "/.")) {
      in[++at] = '/';
    } else if (At(in, at, "/../")) {
      at += 3;
      drop_last();
    } else if (left == 3 && At(in, at, "/..")) {
      at += 2;
      in[at] = '/';
      drop_last();
    } else if ((left == 1 && in[at] == '.') || (left == 2 && At(in, at, ".."))) {
      at = in.size();
    } else {
      const size_t end = std::min(in.find('/', at + 1), in.size());
      out.append(in, at, end - at);
      at = end;
    }
  }
  return out;
}

bool IsHttpScheme(const Text& scheme) {
  const Text lower = LowerAscii(scheme);
  return lower == "http" || lower == "https";
}

Text DefaultPort(const Text& scheme) {
  return LowerAscii(scheme) == "https" ? "443" : "80";
}

}  // namespace

Text ResolveReference(const Text& base_text, const Text& reference) {
  const TReference base = CutReference(base_text);
  const TReference r = CutReference(reference);
  TReference t;
  if (r.has_scheme) {
    t = r;
    t.path = RemoveDotSegments(r.path);
  } else {
    if (r.has_authority) {
      t.has_authority = true;
      t.authority = r.authority;
      t.path = RemoveDotSegments(r.path);
      t.has_query = r.has_query;
      t.query = r.query;
    } else {
      if (r.path.empty()) {
        t.path = base.path;
        t.has_query = r.has_query || base.has_query;
        t.query = r.has_query ? r.query : base.query;
      } else {
        if (r.path[0] == '/') {
          t.path = RemoveDotSegments(r.path);
        } else {
          // Merge (section 5.2.3).
          const size_t slash = base.path.rfind('/');
          const Text merged =
              base.has_authority && base.path.empty()
                  ? "/" + r.path
                  : (slash == Text::npos ? Text() : base.path.substr(0, slash + 1)) + r.path;
          t.path = RemoveDotSegments(merged);
        }
        t.has_query = r.has_query;
        t.query = r.query;
      }
      t.has_authority = base.has_authority;
      t.authority = base.authority;
    }
    t.has_scheme = base.has_scheme;
    t.scheme = base.scheme;
  }
  t.has_fragment = r.has_fragment;
  t.fragment = r.fragment;
  return Recompose(t);
}

std::optional<TAddress> LocationAddress(const TAddress& base, const Text& location) {
  const TUrlParts& p = base.Parts;
  const bool bracket = p.host.find(':') != Text::npos;
  Text absolute = p.scheme + "://" + (bracket ? "[" + p.host + "]" : p.host);
  if (p.port != DefaultPort(p.scheme)) absolute += ":" + p.port;
  absolute += p.uri;
  TReference target = CutReference(ResolveReference(absolute, TrimBlanks(location)));
  if (!target.has_scheme || !IsHttpScheme(target.scheme) || !target.has_authority) {
    return std::nullopt;
  }
  target.has_fragment = false;
  target.fragment.clear();
  // User information never comes from a Location: only the address given carries any.
  const size_t at = target.authority.rfind('@');
  if (at != Text::npos) target.authority.erase(0, at + 1);
  if (target.authority.empty() || target.authority[0] == ':') return std::nullopt;
  if (target.path.empty()) target.path = "/";
  // An empty or query-only Location keeps the base's path as written: its dot segments go too,
  // so that an address reads the same however it was reached.
  target.path = RemoveDotSegments(target.path);
  static const char kHex[] = "0123456789ABCDEF";
  Text text;
  for (const char c : Recompose(target)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 32 && byte < 127) {
      text += c;
    } else {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return ParseAddress(text);
}

Text OriginOf(const TAddress& address) {
  const TUrlParts& p = address.Parts;
  return LowerAscii(p.scheme) + "://" + LowerAscii(p.host) + ":" + p.port;
}

}  // namespace tessaly
