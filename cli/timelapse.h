// tessaly-capture timelapse: films of series from the catalog.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

#include "base/text.h"

namespace tessaly {

struct TTimelapseLine {
  enum class TAction { Run, Help, Usage };
  TAction Action = TAction::Run;
  Text Error;  // Usage: what is wrong, one line
  Text Dir;
  // The series' URL or the name its pictures have; none: the directory's one series.
  std::optional<Text> Series;
  // Dir holds series' directories (or is one): a film of each.
  bool All = false;
  int64_t From = INT64_MIN;
  int64_t To = INT64_MAX;
  Text Day;  // --day as YYYY-MM-DD, "" without
  int Fps = 30;
  double RealTime = 0;
  int64_t MaxGap = 0;
  int Crf = 23;
  Text Preset = "medium";
  std::optional<Text> Out;
  bool Quiet = false;
};

// argv[0] is "timelapse"; now decides "today" and "yesterday" (local days).
TTimelapseLine ParseTimelapseLine(int argc, char** argv, std::time_t now);
// A local time "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or with "T"), or "@SECONDS" since the
// epoch, as seconds since the epoch. False for another form or a date that does not exist.
bool ParseLocalTime(const Text& text, int64_t& seconds);
// "today", "yesterday" or "YYYY-MM-DD" as that local day's first second and the next day's, and
// the date; false for another form.
bool ParseDay(const Text& text, std::time_t now, Text& date, int64_t& from, int64_t& to);
Text TimelapseUsage();
// Runs the command; the process's exit status.
int RunTimelapse(int argc, char** argv);

}  // namespace tessaly
