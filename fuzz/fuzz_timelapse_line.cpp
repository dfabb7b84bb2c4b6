// The timelapse command line on arbitrary words (one a line): what it accepts is a span that
// begins before it ends, values in their ranges, and a day that reads back as the same span;
// a local time it accepts, printed again, reads as the same second.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "cli/timelapse.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char kTarget[] = "timelapse_line";
constexpr std::time_t kNow = 1700000000;

using tessaly::Text;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessaly::fuzz::Escaped;
  // Local time is UTC here: no hour the clocks skip or repeat makes a second read twice.
  static const bool utc = [] {
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
  }();
  (void)utc;
  const Text content(reinterpret_cast<const char*>(data), size);
  const Text shown = " of " + Escaped(content);
  std::vector<Text> words{"timelapse"};
  for (size_t start = 0; start <= content.size() && words.size() < 24;) {
    size_t end = content.find('\n', start);
    if (end == Text::npos) end = content.size();
    words.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (Text& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const tessaly::TTimelapseLine line =
      tessaly::ParseTimelapseLine(static_cast<int>(words.size()), argv.data(), kNow);
  using TAction = tessaly::TTimelapseLine::TAction;
  FUZZ_CHECK((line.Action == TAction::Usage) == !line.Error.empty(), "error" + shown);
  if (line.Action == TAction::Run) {
    FUZZ_CHECK(line.From < line.To, "empty span" + shown);
    FUZZ_CHECK(line.Fps >= 1 && line.Fps <= 240 && line.Crf >= 0 && line.Crf <= 51,
               "value out of range" + shown);
    FUZZ_CHECK(!line.Dir.empty() || words.size() > 1, "no directory" + shown);
    FUZZ_CHECK(line.MaxGap == 0 || line.RealTime > 0, "gap without real time" + shown);
    if (!line.Day.empty()) {
      Text date;
      int64_t from = 0;
      int64_t to = 0;
      FUZZ_CHECK(tessaly::ParseDay(line.Day, kNow, date, from, to) && date == line.Day &&
                     from == line.From && to == line.To && to - from == 86400,
                 "day reads otherwise " + Escaped(line.Day) + shown);
    }
  }
  int64_t seconds = 0;
  if (tessaly::ParseLocalTime(content, seconds) && content[0] != '@') {
    const std::time_t at = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&at, &local);
    char again[64];
    std::snprintf(again, sizeof again, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    int64_t reread = 0;
    FUZZ_CHECK(tessaly::ParseLocalTime(again, reread) && reread == seconds,
               "time reads otherwise " + Text(again) + shown);
  }
  return 0;
}
