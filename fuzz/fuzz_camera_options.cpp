// A camera's options file on arbitrary bytes: the words never hold a line end or a control
// byte, every option word starts with "--", and the words written back one option a line read
// the same again. The bytes as a printed line shows them hold no control character (C1 as UTF-8
// included) and give the bytes back when their escapes are read.
#include <cstdint>
#include <string>
#include <vector>

#include "capture/settings/cameras.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "camera_options";

using tessaly::Text;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaly::fuzz::Escaped;
  const Text content(reinterpret_cast<const char*>(data), size);
  std::vector<Text> words;
  Text error;
  const bool ok = tessaly::ParseCameraOptions(content, words, error);
  const Text shown = " of " + Escaped(content);
  const Text printed = tessaly::PrintableText(content);
  Text back;
  for (size_t i = 0; i < printed.size(); ++i) {
    const auto byte = static_cast<unsigned char>(printed[i]);
    FUZZ_CHECK(byte >= 32 && byte != 127 &&
                   !(byte == 0xC2 && i + 1 < printed.size() &&
                     static_cast<unsigned char>(printed[i + 1]) < 0xA0),
               "control character printed" + shown);
    if (printed[i] != '\\') {
      back += printed[i];
      continue;
    }
    FUZZ_CHECK(printed.compare(i, 2, "\\x") == 0 && i + 3 < printed.size(), "bad escape" + shown);
    back += static_cast<char>(std::stoi(printed.substr(i + 2, 2), nullptr, 16));
    i += 3;
  }
  FUZZ_CHECK(back == content, "printed " + Escaped(printed) + shown);
  FUZZ_CHECK(ok == error.empty(), "error " + Escaped(error) + shown);
  if (!ok) {
    FUZZ_CHECK(words.empty(), "words after an error" + shown);
    return 0;
  }
  Text again;
  for (size_t i = 0; i < words.size(); ++i) {
    const Text& word = words[i];
    FUZZ_CHECK(!word.empty(), "empty word" + shown);
    for (const char c : word) {
      const auto byte = static_cast<unsigned char>(c);
      FUZZ_CHECK((byte >= 32 || c == '\t') && byte != 127,
                 "control byte in " + Escaped(word) + shown);
    }
    // A value may itself look like an option ("--every --x") or be a bare "--".
    const bool option =
        word.size() >= 3 && word.rfind("--", 0) == 0 && word.find_first_of(" \t") == Text::npos;
    if (option) {
      again += (i == 0 ? "" : "\n") + word;
    } else {
      FUZZ_CHECK(i > 0, "value without option" + shown);
      again += " " + word;
    }
  }
  std::vector<Text> reread;
  FUZZ_CHECK(tessaly::ParseCameraOptions(again, reread, error), "rewritten refused" + shown);
  FUZZ_CHECK(reread == words, "rewritten reads otherwise " + Escaped(again) + shown);
  return 0;
}
