// The status endpoint's readers and writers on arbitrary bytes: --listen's address reads back
// from its own text and agrees with inet_pton; /proc's status lines give only figures or -1;
// a JSON string and a Prometheus label value hold no raw control character or bare quote, and
// decode back to an ASCII input.
#include <arpa/inet.h>

#include "fuzz/fuzzsupport.h"
#include "watch/statusreport.h"
#include "watch/statusserver.h"

namespace {

constexpr char kTarget[] = "status_text";

using tessaly::Text;

// The escapes both writers use, undone; false at one they never write.
bool Unescape(const Text& text, Text& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    const char c = text[i];
    if (c == '\\' || c == '"') {
      out += c;
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'u' && i + 4 < text.size() && text.compare(i + 1, 2, "00") == 0) {
      out += static_cast<char>(std::stoi(text.substr(i + 3, 2), nullptr, 16));
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  const Text text(reinterpret_cast<const char*>(data), size);
  const Text shown = " of " + Escaped(text);

  TListenAddress address;
  if (ParseListenAddress(text, address)) {
    FUZZ_CHECK(address.Port >= 0 && address.Port <= 65535, "port" + shown);
    unsigned char bytes[16];
    const int family = address.Host.find(':') != Text::npos ? AF_INET6 : AF_INET;
    FUZZ_CHECK(inet_pton(family, address.Host.c_str(), bytes) == 1, "host" + shown);
    TListenAddress again;
    FUZZ_CHECK(ParseListenAddress(ListenAddressText(address), again) &&
                   again.Host == address.Host && again.Port == address.Port,
               "read back" + shown);
  }

  const TProcessFigures figures = ParseProcStatus(text);
  FUZZ_CHECK(figures.ResidentBytes >= -1 && figures.Threads >= -1, "figures" + shown);

  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  const Text json = JsonString(text);
  FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"', "json quotes" + shown);
  const Text inner = json.substr(1, json.size() - 2);
  for (size_t i = 0; i < inner.size(); ++i) {
    FUZZ_CHECK(static_cast<unsigned char>(inner[i]) >= 0x20, "json control" + shown);
    if (inner[i] == '\\')
      ++i;
    else
      FUZZ_CHECK(inner[i] != '"', "json bare quote" + shown);
  }
  Text back;
  FUZZ_CHECK(Unescape(inner, back), "json escape" + shown);
  if (ascii) FUZZ_CHECK(back == text, "json decodes to " + Escaped(back) + shown);

  const Text label = LabelText(text);
  for (size_t i = 0; i < label.size(); ++i) {
    FUZZ_CHECK(label[i] != '\n', "label line feed" + shown);
    if (label[i] == '\\')
      ++i;
    else
      FUZZ_CHECK(label[i] != '"', "label bare quote" + shown);
  }
  FUZZ_CHECK(Unescape(label, back), "label escape" + shown);
  if (ascii) FUZZ_CHECK(back == text, "label decodes to " + Escaped(back) + shown);
  return 0;
}
