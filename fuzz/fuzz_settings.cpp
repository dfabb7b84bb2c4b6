// The settings file on arbitrary bytes: loading never fails loudly, fills the six fields exactly
// as an independent reading of the file format says, and saving what was loaded writes exactly
// six CR LF lines that load back to the same fields. The console's strict reading takes exactly
// the files whose six lines the window reads in full and that hold no NUL, and reads them alike.
#include <cstdint>
#include <vector>

#include "capture/settings/settings.h"
#include "fuzz/fuzzfiles.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "settings";

using tessaly::Text;

Text DigitsOnly(const Text& text) {
  Text out;
  for (char c : text)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

// The window's fields as plain values; the two number fields keep digits only, and the unit
// list selects nothing for an index other than 0 and 1, as the real window does.
class TFieldWindow : public tessaly::TWindowPort {
 public:
  Text address = "http://";
  Text interval = "10";
  int unit = 0;
  bool bell = false;
  Text directory;
  Text counter = "1";
  std::vector<Text> messages;

  Text AddressText() const override { return address; }
  void SetAddressText(const Text& text) override { address = text; }
  Text IntervalText() const override { return interval; }
  void SetIntervalText(const Text& text) override { interval = DigitsOnly(text); }
  int UnitIndex() const override { return unit; }
  void SetUnitIndex(int index) override { unit = index == 0 || index == 1 ? index : -1; }
  bool BellOn() const override { return bell; }
  void SetBellOn(bool on) override { bell = on; }
  Text DirectoryText() const override { return directory; }
  void SetDirectoryText(const Text& text) override { directory = text; }
  Text CounterText() const override { return counter; }
  void SetCounterText(const Text& text) override { counter = DigitsOnly(text); }
  void SetControlEnabled(tessaly::TControl, bool) override {}
  void SetCaption(const Text&) override {}
  void ShowMessage(const Text& text) override { messages.push_back(text); }
  void ShowError(const Text& text) override { messages.push_back(text); }
  void Beep() override {}
  bool StartTimer(int32_t) override { return true; }
  void StopTimer() override {}
  void PostToWindowThread(std::function<void()> fn) override { fn(); }
};

struct TFields {
  Text address = "http://";
  Text interval = "10";
  int unit = 0;
  bool bell = false;
  Text directory;
  Text counter = "1";
  Text last_dir;
  bool complete = false;  // all six lines read
};

// Lines end at CR LF, a lone CR, a lone LF or a NUL; a NUL also ends the text.
std::vector<Text> SplitLines(const Text& content) {
  std::vector<Text> lines;
  Text line;
  bool open = false;
  for (size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\0') break;
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
      lines.push_back(line);
      line.clear();
      open = false;
      continue;
    }
    line += c;
    open = true;
  }
  if (open) lines.push_back(line);
  return lines;
}

// The integer parse of the settings file's lines 3 and 4.
bool ParseLine(const Text& text, int32_t& value) {
  size_t i = text.find_first_not_of(' ');
  if (i == Text::npos) return false;
  int64_t v = 0;
  if (text[i] == '$') {
    if (++i == text.size()) return false;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      v = v * 16 + d;
      if (v > 0xFFFFFFFFLL) return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<int32_t>(v);
  return true;
}

TFields Expected(const Text& content, const Text& home) {
  TFields f;
  const std::vector<Text> lines = SplitLines(content);
  const size_t n = lines.size();
  int32_t number = 0;
  bool complete = false;
  do {
    if (n < 1) break;
    f.address = lines[0];
    if (n < 2) break;
    f.interval = DigitsOnly(lines[1]);
    if (n < 3 || !ParseLine(lines[2], number)) break;
    f.unit = number == 0 || number == 1 ? number : -1;
    if (n < 4 || !ParseLine(lines[3], number)) break;
    f.bell = number != 0;
    if (n < 5) break;
    f.last_dir = lines[4];
    f.directory = lines[4];
    if (n < 6) break;
    f.counter = DigitsOnly(lines[5]);
    complete = true;
  } while (false);
  f.complete = complete;
  if (!complete) {
    f.address = "http://";
    f.counter = "1";
    f.bell = false;
    f.unit = 0;
    f.last_dir = home;
    f.directory = home;
  }
  return f;
}

Text Describe(const TFieldWindow& w, const Text& last_dir) {
  using tessaly::fuzz::Escaped;
  return "address " + Escaped(w.address) + ", interval " + Escaped(w.interval) + ", unit " +
         std::to_string(w.unit) + ", bell " + (w.bell ? "on" : "off") + ", directory " +
         Escaped(w.directory) + ", counter " + Escaped(w.counter) + ", last dir " +
         Escaped(last_dir);
}

bool Same(const TFieldWindow& w, const Text& last_dir, const TFields& f) {
  return w.address == f.address && w.interval == f.interval && w.unit == f.unit &&
         w.bell == f.bell && w.directory == f.directory && w.counter == f.counter &&
         last_dir == f.last_dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  const Text content(reinterpret_cast<const char*>(data), size);
  const Text home = fuzz::TScratchDir::Path();
  const Text in_name = home + "loaded.ini";
  const Text out_name = home + "saved.ini";
  fuzz::WriteBytes(in_name, content);

  TFieldWindow window;
  Text last_dir;
  LoadSettings(window, in_name, home, last_dir);
  const TFields want = Expected(content, home);
  FUZZ_CHECK(Same(window, last_dir, want), "loaded " + Describe(window, last_dir) + " from " +
                                               Escaped(content));
  FUZZ_CHECK(window.messages.empty(), "loading showed a message");

  TSettingsValues values;
  Text error;
  const bool strict = ParseSettingsFile(content, values, error);
  const bool six = content.find('\0') == Text::npos && want.complete;
  FUZZ_CHECK(strict == six && strict == error.empty(),
             "strict reading " + Escaped(error) + " of " + Escaped(content));
  FUZZ_CHECK(
      !strict || (values.Address == want.address && DigitsOnly(values.Interval) == want.interval &&
                  values.UnitIndex == want.unit && values.Bell == want.bell &&
                  values.Directory == want.directory && DigitsOnly(values.Counter) == want.counter),
      "strict reading differs from the window's for " + Escaped(content));

  SaveSettings(window, out_name);
  FUZZ_CHECK(window.messages.empty(), "saving showed " + Escaped(window.messages.front()));
  Text saved;
  FUZZ_CHECK(fuzz::ReadBytes(out_name, saved), "no saved file");
  const Text expected_file = window.address + "\r\n" + window.interval + "\r\n" +
                             std::to_string(window.unit) + "\r\n" + (window.bell ? "1" : "0") +
                             "\r\n" + window.directory + "\r\n" + window.counter + "\r\n";
  FUZZ_CHECK(saved == expected_file, "saved " + Escaped(saved));
  // Six lines, each ended by CR LF, and no other line end or NUL anywhere.
  size_t ends = 0;
  for (size_t i = 0; i < saved.size(); ++i) {
    FUZZ_CHECK(saved[i] != '\0', "NUL in the saved file " + Escaped(saved));
    if (saved[i] == '\n') FUZZ_CHECK(i > 0 && saved[i - 1] == '\r', "lone LF " + Escaped(saved));
    if (saved[i] == '\r') {
      FUZZ_CHECK(i + 1 < saved.size() && saved[i + 1] == '\n', "lone CR " + Escaped(saved));
      ++ends;
    }
  }
  FUZZ_CHECK(ends == 6 && saved.size() >= 12 && saved.compare(saved.size() - 2, 2, "\r\n") == 0,
             "not six CR LF lines: " + Escaped(saved));

  // What was saved loads back to the same fields.
  TFieldWindow again;
  again.interval = "77";
  Text again_dir;
  LoadSettings(again, out_name, home, again_dir);
  FUZZ_CHECK(again.address == window.address && again.interval == window.interval &&
                 again.unit == window.unit && again.bell == window.bell &&
                 again.directory == window.directory && again.counter == window.counter &&
                 again_dir == window.directory,
             "reloaded " + Describe(again, again_dir) + " after saving " +
                 Describe(window, last_dir));
  return 0;
}
