// A redirect's Location on arbitrary bytes: ResolveReference against any base and
// LocationAddress against any address never crash, and what they give holds together. A target
// with a scheme and an authority, once resolved, resolves to itself; a next address is an http or
// https address with a host and a path, carries no user, fragment, space or control byte, and read
// again against itself it is the same origin and request target.
//
// Input: the base (up to the first LF), then the Location.
#include <cstdint>

#include "base/url.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "location";

using tessaly::Text;

// "scheme://" at the start, as RFC 3986's grammar reads a scheme and an authority.
bool HasSchemeAndAuthority(const Text& text) {
  const size_t colon = text.find_first_of(":/?#");
  return colon != Text::npos && colon > 0 && text.compare(colon, 3, "://") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  const Text input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const Text base = cut == Text::npos ? Text("http://a/b/c/d;p?q") : input.substr(0, cut);
  const Text location = cut == Text::npos ? input : input.substr(cut + 1);
  const Text shown = " of " + fuzz::Escaped(base) + " and " + fuzz::Escaped(location);

  // An empty reference keeps the base's path as written; resolved once more, a target has its
  // dot segments removed and from then on resolves to itself.
  const Text target = ResolveReference(base, ResolveReference(base, location));
  if (HasSchemeAndAuthority(target)) {
    FUZZ_CHECK(ResolveReference(base, target) == target,
               "the target " + fuzz::Escaped(target) + " resolves elsewhere" + shown);
  }

  const TAddress from = ParseAddress(base);
  const std::optional<TAddress> next = LocationAddress(from, location);
  if (!next) return 0;
  const Text& given = next->Given;
  const Text scheme = LowerAscii(next->Parts.scheme);
  FUZZ_CHECK(scheme == "http" || scheme == "https", "scheme " + fuzz::Escaped(scheme) + shown);
  FUZZ_CHECK(next->Parts.user.empty() && next->Parts.password.empty(), "a user" + shown);
  FUZZ_CHECK(given == next->Plain, "user information in " + fuzz::Escaped(given) + shown);
  FUZZ_CHECK(!next->Parts.host.empty(), "no host in " + fuzz::Escaped(given) + shown);
  FUZZ_CHECK(!next->Parts.uri.empty() && next->Parts.uri[0] == '/', "target" + shown);
  for (const char c : given) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte > 32 && byte < 127 && c != '#', "a byte of " + fuzz::Escaped(given) + shown);
  }
  const std::optional<TAddress> again = LocationAddress(*next, given);
  FUZZ_CHECK(again && OriginOf(*again) == OriginOf(*next) && again->Parts.uri == next->Parts.uri,
             fuzz::Escaped(given) + " read again is " +
                 (again ? fuzz::Escaped(again->Given) : Text("nothing")) + shown);
  return 0;
}
