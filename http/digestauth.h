// HTTP Digest access authentication (RFC 7616, RFC 2617 and the older RFC 2069 form): reading a
// server's challenges and computing the answer to one of them. No I/O.
#pragma once

#include <cstdint>
#include <vector>

#include "base/text.h"

namespace tessaly {

enum class TDigestAlgorithm : uint8_t { MD5, MD5Sess, SHA256, SHA256Sess };
// None is the RFC 2069 form: no qop, nc or cnonce in the computation.
enum class TDigestQop : uint8_t { None, Auth, AuthInt };

// One Digest challenge as the server sent it, reduced to what an answer needs.
struct TDigestChallenge {
  TDigestAlgorithm algorithm = TDigestAlgorithm::MD5;
  Text algorithm_token;  // as the server spelt it; "" when it named none (then none is sent)
  TDigestQop qop = TDigestQop::None;
  Text realm;
  Text nonce;
  Text opaque;
  bool has_opaque = false;
  bool stale = false;
};

// Picks the strongest usable Digest challenge from the values of the WWW-Authenticate header
// lines (each value may hold several challenges of any scheme): SHA-256 before MD5, the "-sess"
// variants counting like their hash, the first offered among equals. A challenge without a
// nonce, with an unknown algorithm, with no qop that is understood, or with a "-sess" algorithm
// but no qop at all is not usable. False when none is; `out` is then a default challenge.
bool PickDigestChallenge(const std::vector<Text>& header_values, TDigestChallenge& out);

// The WWW-Authenticate values among response header lines ("Name: value" text, any case).
std::vector<Text> AuthenticateValues(const std::vector<Text>& header_lines);

// The "response" value (lower-case hex) for the challenge: user and password as they are
// (already decoded), method and target exactly as sent, nc as a number, and body only for
// qop "auth-int". Pure function.
Text DigestResponse(const TDigestChallenge& challenge, const Text& user, const Text& password,
                    const Text& method, const Text& target, uint32_t nc, const Text& cnonce,
                    const Text& body = Text());

// The whole "Authorization: Digest ..." request line (without CR LF) carrying that response.
// Empty when the user holds bytes that cannot stand in a header line.
Text DigestAuthorizationLine(const TDigestChallenge& challenge, const Text& user,
                             const Text& password, const Text& method, const Text& target,
                             uint32_t nc, const Text& cnonce, const Text& body = Text());

// A fresh client nonce: 16 random bytes as 32 hex digits; "" when no randomness was to be had.
Text NewClientNonce();

// "%" followed by two hex digits becomes that byte; every other byte (a lone "%" too) stays.
Text PercentDecode(const Text& text);

}  // namespace tessaly
