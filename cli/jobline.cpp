#include "cli/jobline.h"

namespace tessaly {

Text LocalTimeStamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[40];
  const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S%z", &local);
  // strftime writes the offset as +hhmm; ISO 8601's extended form wants +hh:mm.
  if (n < 5) return Text(text, n);
  return Text(text, n - 2) + ":" + Text(text + n - 2, 2);
}

Text JobLine(const Text& stamp, const TJobOutcome& outcome, int64_t ms) {
  if (outcome.Kind == TJobOutcome::TKind::Unchanged) return stamp + " unchanged";
  if (outcome.Kind != TJobOutcome::TKind::Stored) return stamp + " failed " + outcome.Reason;
  return stamp + " stored " + outcome.Path + " " + IntToText(outcome.Bytes) + " " + IntToText(ms) +
         (outcome.ShortOfLength ? " short of its declared length" : "");
}

}  // namespace tessaly
