// A transaction that answers a server's Digest challenge: the HTTP client's request as always,
// repeated with a Digest "Authorization" line when the server asks for one; and the same
// following a camera's redirects.
#pragma once

#include <cstdint>
#include <stop_token>

#include "base/text.h"
#include "base/url.h"
#include "http/httpclient.h"

namespace tessaly {

// ExecuteRequest(method, url) on the client. When that completes with status 401 (or its body
// ends short of its declared length: the challenge is in its header), a usable
// Digest challenge and a user (in the address, else the client's UserName), the same request
// is sent again on a new connection with the Basic line replaced by the Digest answer (address
// credentials percent-decoded for it); once more when that answer is 401 with stale=true.
// Headers, Document, MimeType and the range are restored for each repeat. Answers the result
// of the last request; the client holds its answer. A stop that can be requested becomes the
// client's (SetStopToken): once it is, the request or its repeat fails at once with 10053.
bool ExecuteWithDigest(THTTPClient& client, const Text& method, const Text& url,
                       std::stop_token stop = {});
// The same with an address already read.
bool ExecuteWithDigest(THTTPClient& client, const Text& method, const TAddress& address,
                       std::stop_token stop = {});

// Which redirects are followed; the default follows none.
struct TRedirectPolicy {
  int32_t MaxRedirects = 0;     // redirects followed in a row; 0 makes a redirect the answer
  bool AllowDowngrade = false;  // an https address may redirect to an http one
};

// ExecuteWithDigest(method, address), and while the answer is a 301, 302, 303, 307 or 308 with
// a Location, ExecuteWithDigest again at LocationAddress(the last address, Location): Digest
// starts afresh there. Only an address of the given address's origin (OriginOf) gets its user
// and password, the client's UserName, Password and AuthorizationLine, and its cookies; for
// any other, Authorization and Cookie lines of Headers are not sent either. 303 (and 301 or
// 302 after a POST) goes on as a GET without a body. False with *refusal (one line, the chain of
// addresses without user information joined by " -> ") when a redirect is not followed: no or
// no usable Location, an address met before, more than MaxRedirects in a row, or https to http
// without AllowDowngrade; the client then holds that redirect's answer. Otherwise as
// ExecuteWithDigest, refusal left empty.
bool ExecuteFollowingRedirects(THTTPClient& client, const Text& method, const TAddress& address,
                               const TRedirectPolicy& policy, Text* refusal = nullptr,
                               std::stop_token stop = {});

}  // namespace tessaly
