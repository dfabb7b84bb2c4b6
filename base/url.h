// Splitting an address into its parts, as written: no %-decoding, no case folding.
#pragma once

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

// Defaults: scheme "http", port "80" ("443" for https, "21" for ftp, any case); an empty host
// becomes "localhost".
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

}  // namespace tessaly
