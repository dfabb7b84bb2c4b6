// An rtsp:// address as the console program and the cameras' files give it: the scheme is told
// in any case, its default port is 554, the address that may be shown, named after or printed
// is the address without its user information (which alone gives user and password), and the name a
// picture is stored under is the one the series' index looks for: one segment without "/" or a
// replaced byte, ending in ".jpg".
//
// Input: the address text.
#include <cstdint>

#include "base/url.h"
#include "capture/job/naming.h"
#include "capture/store/seriesindex.h"
#include "fuzz/fuzzsupport.h"
#include "media/rtspsource.h"

namespace {
constexpr char kTarget[] = "rtsp_address";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  fuzz::TInput input(data, size);
  const Text given = input.Rest();
  const Text shown = " for " + Escaped(given);
  const TAddress address = ParseAddress(given);

  const bool rtsp = IsRtspAddress(address);
  const size_t scheme_end = given.find("://");
  FUZZ_CHECK(rtsp == (scheme_end != Text::npos && scheme_end > 0 &&
                      LowerAscii(given.substr(0, scheme_end)) == "rtsp"),
             "scheme told wrong" + shown);
  if (!rtsp) return 0;

  // The authority: after "://", up to the first "/", after the user information.
  const size_t start = scheme_end + 3;
  const size_t slash = given.find('/', start);
  Text authority = given.substr(start, slash == Text::npos ? Text::npos : slash - start);
  if (const size_t at = authority.find('@'); at != Text::npos && at > 0)
    authority = authority.substr(at + 1);
  const bool port_given = authority.empty() || authority[0] != '['
                              ? authority.find(':') != Text::npos
                              : authority.find("]:") != Text::npos;
  if (!port_given)
    FUZZ_CHECK(address.Parts.port == "554", "port " + Escaped(address.Parts.port) + shown);

  // The user and password are taken from up to the first "@" before the first "/".
  const size_t at = given.find('@', start);
  if (at != Text::npos && (slash == Text::npos || at < slash)) {
    // FFmpeg takes the user information up to the last "@": none of it may stay in the plain.
    const size_t last = given.rfind('@', slash);
    FUZZ_CHECK(address.Plain == given.substr(0, start) + given.substr(last + 1),
               "plain address " + Escaped(address.Plain) + shown);
    const Text info = given.substr(start, at - start);
    FUZZ_CHECK(
        info == address.Parts.user || info == address.Parts.user + ":" + address.Parts.password,
        "user information " + Escaped(info) + shown);
  } else {
    FUZZ_CHECK(address.Plain == given, "plain address " + Escaped(address.Plain) + shown);
  }

  const Text name = StreamPictureName(UrlFileName(address.Plain));
  FUZZ_CHECK(name.size() >= 4 && name.compare(name.size() - 4, 4, ".jpg") == 0,
             "name " + Escaped(name) + shown);
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte >= 32 && c != '/' && c != '\\', "name " + Escaped(name) + shown);
  }
  const auto forms = SeriesNameForms(given);
  FUZZ_CHECK(forms.size() == 1 && forms[0] == name,
             "the index looks for another name than " + Escaped(name) + shown);
  return 0;
}
