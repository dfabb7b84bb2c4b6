#include "http/digestretry.h"

#include <utility>
#include <vector>

#include "base/url.h"
#include "http/digestauth.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// What a transaction consumes of the client's request settings.
struct TRequestSnapshot {
  std::vector<Text> lines;
  Text body;
  Text mime_type;
  int32_t range_start = 0;
  int32_t range_end = 0;

  explicit TRequestSnapshot(THTTPClient& client)
      : lines(client.Headers().Lines()),
        body(client.Document().Memory(), static_cast<size_t>(client.Document().Size())),
        mime_type(client.MimeType()),
        range_start(client.RangeStart()),
        range_end(client.RangeEnd()) {}

  void Restore(THTTPClient& client) const {
    client.Headers().Clear();
    for (const Text& line : lines) client.Headers().Add(line);
    client.Document().Clear();
    client.Document().Write(body);
    client.SetMimeType(mime_type);
    client.SetRangeStart(range_start);
    client.SetRangeEnd(range_end);
  }
};

// A second answer may only renew the nonce; any other refusal is final.
constexpr int kMaxDigestRequests = 2;

}  // namespace

bool ExecuteWithDigest(THTTPClient& client, const Text& method, const Text& url,
                       std::stop_token stop) {
  return ExecuteWithDigest(client, method, ParseAddress(url), std::move(stop));
}

bool ExecuteWithDigest(THTTPClient& client, const Text& method, const TAddress& address,
                       std::stop_token stop) {
  if (stop.stop_possible()) client.SetStopToken(std::move(stop));
  const TRequestSnapshot request(client);
  bool ok = client.ExecuteRequest(method, address);

  const TUrlParts& parts = address.Parts;
  Text user = PercentDecode(parts.user);
  Text password = PercentDecode(parts.password);
  if (parts.user.empty()) {
    user = client.UserName();
    password = client.Password();
  }
  if (user.empty()) return ok;

  // A refusal's body means nothing: one cut short still brought its challenge whole.
  const auto refused = [&client, &ok] {
    return client.ResultCode() == 401 && (ok || client.ShortEnd().has_value());
  };
  for (int sent = 0; sent < kMaxDigestRequests && refused(); ++sent) {
    TDigestChallenge challenge;
    if (!PickDigestChallenge(AuthenticateValues(client.Headers().Lines()), challenge)) break;
    if (sent > 0 && !challenge.stale) break;
    const Text cnonce = NewClientNonce();
    if (cnonce.empty()) break;
    const Text line = DigestAuthorizationLine(challenge, user, password, UpperAscii(method),
                                              client.RequestTarget(), 1, cnonce, request.body);
    if (line.empty()) break;
    request.Restore(client);
    client.SetAuthorizationLine(line);
    // The answer goes over a fresh connection, as a refused one may be dropped at any moment.
    client.Sock().Close();
    ok = client.ExecuteRequest(method, address);
    client.SetAuthorizationLine(Text());
  }
  return ok;
}

}  // namespace tessaly
