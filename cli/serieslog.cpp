#include "cli/serieslog.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace tessaly {
namespace {

constexpr int64_t kPrintedAsTheyCome = 3;
constexpr std::time_t kTellAtLeastEvery = 3600;

Text HourMinute(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[8];
  return Text(text, std::strftime(text, sizeof(text), "%H:%M", &local));
}

}  // namespace

bool IsJournalStream(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  uintmax_t device = 0, inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%ju:%ju", &device, &inode) != 2) return false;
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

Text PriorityPrefix(int priority) {
  Text prefix = "<0>";
  prefix[1] = static_cast<char>('0' + priority);
  return prefix;
}

TFailureFold::TVerdict TFailureFold::Failed(const Text& reason, std::time_t now) {
  if (count_ == 0 || reason != reason_) {
    reason_ = reason;
    count_ = 0;
    since_ = now;
  }
  ++count_;
  if (count_ <= kPrintedAsTheyCome) {
    told_count_ = count_;
    told_at_ = now;
    return {};
  }
  if (count_ < 2 * told_count_ && now - told_at_ < kTellAtLeastEvery) return {false, {}};
  told_count_ = count_;
  told_at_ = now;
  return {false, "still failing since " + HourMinute(since_) + ": " + reason_ + " (" +
                     IntToText(count_) + " times)"};
}

std::optional<Text> TFailureFold::Succeeded() {
  const int64_t count = count_;
  count_ = 0;
  if (count <= kPrintedAsTheyCome) return std::nullopt;
  return "recovered after " + IntToText(count) + " failures since " + HourMinute(since_);
}

}  // namespace tessaly
