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

}  // namespace tessaly
