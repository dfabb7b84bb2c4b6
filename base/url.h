// Splitting an address into its parts, as written: no %-decoding, no case folding.
#pragma once

#include <optional>

#include "base/text.h"

namespace tessaly {

struct TUrlParts {
  Text scheme = "http";
  Text user;
  Text password;
  Text host;
  Text port = "80";
  Text path;
  Text query;
  Text uri;  // "/" followed by path and query as written
};

// Defaults: scheme "http", port "80" ("443" for https, "21" for ftp, "554" for rtsp, any case); an
// empty host becomes "localhost".
TUrlParts SplitUrl(const Text& url);

// The address without the user information that SplitUrl would take from it ("user:password@"
// before the first "/" after the scheme); otherwise unchanged.
Text WithoutUserInfo(const Text& url);

// An address read once where it enters, so that every later use takes its parts from here
// instead of cutting the text again.
struct TAddress {
  Text Given;       // the address exactly as given
  TUrlParts Parts;  // SplitUrl(Given)
  Text Plain;       // WithoutUserInfo(Given): what may be shown, named after or sent as referer
};

TAddress ParseAddress(const Text& text);

// RFC 3986, section 5.2 (strict): the target of reference resolved against base, an absolute
// URI, with dot segments removed (section 5.2.4) and recomposed as section 5.3 says. A pure
// function of the two texts; nothing is %-decoded or case-folded.
Text ResolveReference(const Text& base, const Text& reference);

// A redirect's Location value as the next address, read once: resolved against base's own
// absolute form, without fragment or user information, an empty path made "/", dot segments
// removed, and every space, control or non-ASCII byte written as %XX. Nullopt when the target is
// not an http or https address with a host.
std::optional<TAddress> LocationAddress(const TAddress& base, const Text& location);

// The scheme (lower case), host (lower case) and port of an address: two addresses of the
// same origin may share credentials.
Text OriginOf(const TAddress& address);

}  // namespace tessaly
