#include "http/digestauth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>

namespace tessaly {
namespace {

struct TAuthParam {
  Text name;  // lower case
  Text value;
};

struct TRawChallenge {
  Text scheme;  // lower case
  std::vector<TAuthParam> params;
};

bool IsTokenChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= '0' && byte <= '9') return true;
  if ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') return true;
  return Text("!#$%&'*+-.^_`|~").find(c) != Text::npos;
}

// Splits one header value into its challenges. A token followed by "=" is a parameter of the
// challenge before it; any other token starts a new challenge, so several challenges may share
// a value and missing commas between parameters are forgiven.
void SplitChallenges(const Text& value, std::vector<TRawChallenge>& out) {
  const size_t n = value.size();
  size_t i = 0;
  const auto skip_blanks = [&] {
    while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
  };
  while (i < n) {
    skip_blanks();
    if (i >= n) break;
    if (!IsTokenChar(value[i])) {
      ++i;  // a separator or a stray byte
      continue;
    }
    const size_t start = i;
    while (i < n && IsTokenChar(value[i])) ++i;
    const Text token = LowerAscii(value.substr(start, i - start));
    skip_blanks();
    if (i >= n || value[i] != '=' || out.empty()) {
      out.push_back({token, {}});
      continue;
    }
    ++i;
    skip_blanks();
    Text param_value;
    if (i < n && value[i] == '"') {
      for (++i; i < n && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < n) ++i;
        param_value += value[i];
      }
      ++i;
    } else {
      const size_t from = i;
      while (i < n && value[i] != ',' && value[i] != ' ' && value[i] != '\t') ++i;
      param_value = value.substr(from, i - from);
    }
    out.back().params.push_back({token, param_value});
  }
}

const TAuthParam* FindParam(const TRawChallenge& challenge, const Text& name) {
  for (const TAuthParam& param : challenge.params) {
    if (param.name == name) return &param;
  }
  return nullptr;
}

// 0 when the challenge cannot be answered, else its strength.
int ReadDigestChallenge(const TRawChallenge& raw, TDigestChallenge& out) {
  out = TDigestChallenge();
  const TAuthParam* nonce = FindParam(raw, "nonce");
  if (raw.scheme != "digest" || nonce == nullptr) return 0;
  out.nonce = nonce->value;
  if (const TAuthParam* realm = FindParam(raw, "realm")) out.realm = realm->value;
  if (const TAuthParam* opaque = FindParam(raw, "opaque")) {
    out.opaque = opaque->value;
    out.has_opaque = true;
  }
  if (const TAuthParam* stale = FindParam(raw, "stale")) {
    out.stale = LowerAscii(TrimBlanks(stale->value)) == "true";
  }
  int strength = 1;
  if (const TAuthParam* algorithm = FindParam(raw, "algorithm")) {
    out.algorithm_token = TrimBlanks(algorithm->value);
    const Text name = UpperAscii(out.algorithm_token);
    if (name == "MD5") {
      out.algorithm = TDigestAlgorithm::MD5;
    } else if (name == "MD5-SESS") {
      out.algorithm = TDigestAlgorithm::MD5Sess;
    } else if (name == "SHA-256") {
      out.algorithm = TDigestAlgorithm::SHA256;
      strength = 2;
    } else if (name == "SHA-256-SESS") {
      out.algorithm = TDigestAlgorithm::SHA256Sess;
      strength = 2;
    } else {
      return 0;
    }
  }
  if (const TAuthParam* qop = FindParam(raw, "qop")) {
    bool auth = false;
    bool auth_int = false;
    Text rest = qop->value;
    while (!rest.empty()) {
      const Text option = LowerAscii(TrimBlanks(CutToken(rest, ",")));
      auth = auth || option == "auth";
      auth_int = auth_int || option == "auth-int";
    }
    // "auth" where offered: its answer does not depend on the body.
    if (auth) {
      out.qop = TDigestQop::Auth;
    } else if (auth_int) {
      out.qop = TDigestQop::AuthInt;
    } else {
      return 0;
    }
  }
  // A "-sess" hash takes the client nonce, which only goes out together with a qop.
  const bool sess =
      out.algorithm == TDigestAlgorithm::MD5Sess || out.algorithm == TDigestAlgorithm::SHA256Sess;
  if (sess && out.qop == TDigestQop::None) return 0;
  return strength;
}

Text Hex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  Text text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Lower-case hex of the digest; "" when the library fails.
Text HexDigest(TDigestAlgorithm algorithm, const Text& data) {
  const bool md5 = algorithm == TDigestAlgorithm::MD5 || algorithm == TDigestAlgorithm::MD5Sess;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, md5 ? EVP_md5() : EVP_sha256(),
                 nullptr) != 1) {
    return Text();
  }
  return Hex(digest, length);
}

Text QopName(TDigestQop qop) {
  return qop == TDigestQop::AuthInt ? "auth-int" : "auth";
}

Text NonceCount(uint32_t nc) {
  char text[9];
  std::snprintf(text, sizeof(text), "%08x", nc);
  return text;
}

Text Quoted(const Text& value) {
  Text quoted = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

bool PickDigestChallenge(const std::vector<Text>& header_values, TDigestChallenge& out) {
  out = TDigestChallenge();
  std::vector<TRawChallenge> raw;
  for (const Text& value : header_values) SplitChallenges(value, raw);
  int best = 0;
  for (const TRawChallenge& candidate : raw) {
    TDigestChallenge read;
    const int strength = ReadDigestChallenge(candidate, read);
    if (strength > best) {
      best = strength;
      out = read;
    }
  }
  return best > 0;
}

std::vector<Text> AuthenticateValues(const std::vector<Text>& header_lines) {
  std::vector<Text> values;
  for (const Text& line : header_lines) {
    if (Find(":", line) > 0 &&
        LowerAscii(TrimBlanks(TextBefore(line, ":"))) == "www-authenticate") {
      values.push_back(TrimBlanks(TextAfter(line, ":")));
    }
  }
  return values;
}

Text DigestResponse(const TDigestChallenge& challenge, const Text& user, const Text& password,
                    const Text& method, const Text& target, uint32_t nc, const Text& cnonce,
                    const Text& body) {
  const TDigestAlgorithm algorithm = challenge.algorithm;
  const auto h = [algorithm](const Text& data) { return HexDigest(algorithm, data); };
  Text ha1 = h(user + ":" + challenge.realm + ":" + password);
  if (algorithm == TDigestAlgorithm::MD5Sess || algorithm == TDigestAlgorithm::SHA256Sess) {
    ha1 = h(ha1 + ":" + challenge.nonce + ":" + cnonce);
  }
  Text a2 = method + ":" + target;
  if (challenge.qop == TDigestQop::AuthInt) a2 += ":" + h(body);
  const Text ha2 = h(a2);
  if (ha1.empty() || ha2.empty()) return Text();
  if (challenge.qop == TDigestQop::None) return h(ha1 + ":" + challenge.nonce + ":" + ha2);
  return h(ha1 + ":" + challenge.nonce + ":" + NonceCount(nc) + ":" + cnonce + ":" +
           QopName(challenge.qop) + ":" + ha2);
}

Text DigestAuthorizationLine(const TDigestChallenge& challenge, const Text& user,
                             const Text& password, const Text& method, const Text& target,
                             uint32_t nc, const Text& cnonce, const Text& body) {
  const Text response = DigestResponse(challenge, user, password, method, target, nc, cnonce, body);
  if (response.empty()) return Text();
  Text line = "Authorization: Digest username=" + Quoted(user) +
              ", realm=" + Quoted(challenge.realm) + ", nonce=" + Quoted(challenge.nonce) +
              ", uri=" + Quoted(target);
  if (!challenge.algorithm_token.empty()) line += ", algorithm=" + challenge.algorithm_token;
  line += ", response=" + Quoted(response);
  if (challenge.has_opaque) line += ", opaque=" + Quoted(challenge.opaque);
  if (challenge.qop != TDigestQop::None) {
    line +=
        ", qop=" + QopName(challenge.qop) + ", nc=" + NonceCount(nc) + ", cnonce=" + Quoted(cnonce);
  }
  // A decoded "%0D%0A" in the user must not write header lines of its own.
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 32 && byte != '\t') || byte == 127) return Text();
  }
  return line;
}

Text NewClientNonce() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return Text();
  return Hex(bytes, sizeof(bytes));
}

Text PercentDecode(const Text& text) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Text decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

}  // namespace tessaly
