#include "http/digestretry.h"

#include <algorithm>
#include <optional>
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

namespace tessaly {
namespace {

bool IsRedirect(int32_t code) {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

Text LocationValue(const TLineList& headers) {
  for (const Text& line : headers.Lines()) {
    if (line.find(':') != Text::npos && LowerAscii(TrimBlanks(TextBefore(line, ":"))) == "location")
      return TrimBlanks(TextAfter(line, ":"));
  }
  return Text();
}

bool IsHttps(const TAddress& address) {
  return LowerAscii(address.Parts.scheme) == "https";
}

Text Chain(const std::vector<Text>& addresses) {
  Text text;
  for (const Text& address : addresses) text += (text.empty() ? "" : " -> ") + address;
  return text;
}

// What the client is told about its user, restored once the redirects have been followed.
struct TClientCredentials {
  Text user, password, authorization;
  TClientCredentials() = default;
  explicit TClientCredentials(const THTTPClient& client)
      : user(client.UserName()),
        password(client.Password()),
        authorization(client.AuthorizationLine()) {}
  void Apply(THTTPClient& client) const {
    client.SetUserName(user);
    client.SetPassword(password);
    client.SetAuthorizationLine(authorization);
  }
};

}  // namespace

bool ExecuteFollowingRedirects(THTTPClient& client, const Text& method, const TAddress& address,
                               const TRedirectPolicy& policy, Text* refusal, std::stop_token stop) {
  if (refusal != nullptr) refusal->clear();
  if (stop.stop_possible()) client.SetStopToken(std::move(stop));
  TRequestSnapshot request(client);
  const TClientCredentials own(client);
  const Text home = OriginOf(address);
  std::vector<Text> chain{address.Plain};
  std::vector<Text> visited{home + address.Parts.uri};
  TAddress hop = address;
  Text verb = method;
  bool ok = ExecuteWithDigest(client, verb, hop);
  const auto refuse = [&](const Text& why) {
    if (refusal != nullptr) *refusal = why;
    own.Apply(client);
    return false;
  };
  // A redirect's body means nothing: one cut short still brought its Location whole.
  for (int32_t followed = 0; policy.MaxRedirects > 0 && IsRedirect(client.ResultCode()) &&
                             (ok || client.ShortEnd().has_value());
       ++followed) {
    const Text code = "redirect " + IntToText(client.ResultCode());
    const Text location = LocationValue(client.Headers());
    if (location.empty()) return refuse(code + " without a Location: " + Chain(chain));
    std::optional<TAddress> next = LocationAddress(hop, location);
    if (!next) {
      // The camera's text goes to a console line: no control bytes, no second line.
      Text shown = location.substr(0, 200);
      for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
      return refuse(code + " to an address that is not http or https: " + Chain(chain) + " -> " +
                    shown);
    }
    // Addresses are the same when their origin and request target are, however written.
    const Text key = OriginOf(*next) + next->Parts.uri;
    const bool met = std::find(visited.begin(), visited.end(), key) != visited.end();
    visited.push_back(key);
    chain.push_back(next->Plain);
    if (met) return refuse("redirect loop: " + Chain(chain));
    if (followed == policy.MaxRedirects)
      return refuse("more than " + IntToText(policy.MaxRedirects) + " redirects: " + Chain(chain));
    if (IsHttps(hop) && !IsHttps(*next) && !policy.AllowDowngrade)
      return refuse("redirect from https to http refused: " + Chain(chain));

    const int32_t status = client.ResultCode();
    if (status == 303 || ((status == 301 || status == 302) && UpperAscii(verb) == "POST")) {
      if (UpperAscii(verb) != "HEAD") verb = "GET";
      request.body.clear();
    }
    // The user's credentials go back to the address they were given for, and along the camera's
    // own move from http to https on the same host (its picture over TLS): never elsewhere.
    const bool home_again =
        OriginOf(*next) == home || (!IsHttps(address) && IsHttps(*next) &&
                                    LowerAscii(next->Parts.host) == LowerAscii(address.Parts.host));
    if (home_again) {
      next->Parts.user = address.Parts.user;
      next->Parts.password = address.Parts.password;
      own.Apply(client);
    } else {
      TClientCredentials().Apply(client);
      client.Cookies().Clear();
    }
    request.Restore(client);
    if (!home_again) {
      std::vector<Text> kept;
      for (const Text& line : client.Headers().Lines()) {
        const Text name = LowerAscii(TrimBlanks(TextBefore(line, ":")));
        if (line.find(':') == Text::npos || (name != "authorization" && name != "cookie"))
          kept.push_back(line);
      }
      client.Headers().Clear();
      for (const Text& line : kept) client.Headers().Add(line);
    }
    // Another origin, or the same host under another scheme, needs a connection of its own.
    if (OriginOf(*next) != OriginOf(hop)) client.Sock().Close();
    hop = std::move(*next);
    ok = ExecuteWithDigest(client, verb, hop);
  }
  own.Apply(client);
  return ok;
}

}  // namespace tessaly
