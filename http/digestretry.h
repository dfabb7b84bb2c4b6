// A transaction that answers a server's Digest challenge: the HTTP client's request as always,
// repeated with a Digest "Authorization" line when the server asks for one.
#pragma once

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

}  // namespace tessaly
