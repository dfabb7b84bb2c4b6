#include "http/multipart.h"

#include <algorithm>
#include <cstring>

namespace tessaly {
namespace {

// What a boundary line may hold besides the boundary: dashes before it, "--" and blanks after
// it, its CR. A longer line is not a boundary line, so a body is never held back waiting for it.
constexpr size_t kBoundarySlack = 32;

// Without quotes, surrounding blanks and leading dashes: cameras declare the boundary with and
// without the "--" that their boundary lines begin with.
Text BareBoundary(Text value) {
  value = TrimBlanks(value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  const size_t begin = value.find_first_not_of('-');
  return begin == Text::npos ? Text() : value.substr(begin);
}

// "Name: value" with a name free of blanks and control bytes.
bool IsHeaderLine(const Text& line) {
  const size_t colon = line.find(':');
  if (colon == Text::npos || colon == 0) return false;
  return std::all_of(line.begin(), line.begin() + static_cast<ptrdiff_t>(colon),
                     [](char c) { return static_cast<unsigned char>(c) > 32; });
}

}  // namespace

bool IsMixedReplace(const Text& content_type) {
  return LowerAscii(TrimBlanks(TextBefore(content_type, ";"))) == "multipart/x-mixed-replace";
}

Text MultipartBoundary(const Text& content_type) {
  Text params = TextAfter(content_type, ";");
  if (params == content_type) return Text();  // no parameters at all
  while (!params.empty()) {
    const Text param = CutToken(params, ";");
    if (LowerAscii(TrimBlanks(TextBefore(param, "="))) == "boundary") {
      return BareBoundary(TextAfter(param, "="));
    }
  }
  return Text();
}

TFirstPartReader::TFirstPartReader(const Text& boundary, TByteBuffer& part, TPartLimits limits)
    : boundary_(BareBoundary(boundary)), part_(part), limits_(limits) {
  part_.Clear();
}

void TFirstPartReader::Feed(const char* data, size_t size) {
  while (size > 0) {
    size_t taken = 0;
    switch (step_) {
      case TStep::Boundary:
      case TStep::Headers:
        taken = FeedLine(data, size);
        break;
      case TStep::Body:
        taken = remaining_ >= 0 ? FeedCounted(data, size) : FeedScanned(data, size);
        break;
      case TStep::Done:
      case TStep::Breached:
        return;
    }
    data += taken;
    size -= taken;
  }
}

size_t TFirstPartReader::FeedLine(const char* data, size_t size) {
  const TStep was = step_;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') {
      line_.push_back(data[i]);
      const auto held = static_cast<int64_t>(line_.size());
      if ((limits_.max_line_length > 0 && held > limits_.max_line_length) ||
          (limits_.max_header_size > 0 && header_bytes_ + held > limits_.max_header_size)) {
        step_ = TStep::Breached;
        return i + 1;
      }
      // A part that begins with a JPEG's first bytes came without boundary and header lines.
      if (step_ == TStep::Boundary && line_ == "\xFF\xD8") {
        StartBody(line_);
        line_.clear();
        return i + 1;
      }
      continue;
    }
    header_bytes_ += static_cast<int64_t>(line_.size()) + 1;
    if (limits_.max_header_size > 0 && header_bytes_ > limits_.max_header_size) {
      step_ = TStep::Breached;
      return i + 1;
    }
    Text line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    TakeLine(line);
    if (step_ != was) return i + 1;
  }
  return size;
}

void TFirstPartReader::TakeLine(const Text& line) {
  if (step_ == TStep::Boundary) {
    // The boundary lines actually sent decide, whatever the answer declared.
    if (!boundary_seen_ && line.rfind("--", 0) == 0) {
      boundary_ = BareBoundary(line);
      boundary_seen_ = true;
    }
    if (IsBoundaryLine(line)) {
      step_ = TStep::Headers;
      return;
    }
    if (!IsHeaderLine(line)) return;  // blank lines and preamble text before the first boundary
    step_ = TStep::Headers;           // the first part's header lines came without a boundary
  }
  if (IsBoundaryLine(line)) {
    ResetPart();  // a part with neither header lines nor body
    return;
  }
  if (line.empty()) {
    StartBody(Text());
    return;
  }
  const Text name = LowerAscii(TrimBlanks(TextBefore(line, ":")));
  const Text value = TrimBlanks(TextAfter(line, ":"));
  if (name == "content-type") part_type_ = value;
  int32_t length = -1;
  if (name == "content-length" && TryParseInt(value, length) && length >= 0) remaining_ = length;
}

void TFirstPartReader::StartBody(const Text& first_bytes) {
  step_ = TStep::Body;
  if (remaining_ >= 0) {
    // No room is taken from the announced length: memory follows the bytes that arrive.
    if (limits_.max_part_size > 0 && remaining_ > limits_.max_part_size) {
      step_ = TStep::Breached;
    } else if (remaining_ == 0) {
      ResetPart();
      step_ = TStep::Boundary;
    }
    return;
  }
  if (!first_bytes.empty()) FeedScanned(first_bytes.data(), first_bytes.size());
}

size_t TFirstPartReader::FeedCounted(const char* data, size_t size) {
  const size_t count = std::min(size, static_cast<size_t>(remaining_));
  part_.Write(data, count);
  remaining_ -= static_cast<int64_t>(count);
  if (remaining_ > 0) return count;
  if (IsJpegPart() && !EndsWithJpegEnd()) {
    // Miscounted: the picture ends where its framing says, looked for from its first byte on.
    remaining_ = -1;
    scan_from_ = 0;
    line_pending_ = true;
    FeedScanned(nullptr, 0);
  } else {
    step_ = TStep::Done;
  }
  return count;
}

size_t TFirstPartReader::FeedScanned(const char* data, size_t size) {
  part_.Write(data, size);
  const size_t total = static_cast<size_t>(part_.Size());
  for (;;) {
    if (line_pending_) {
      const int64_t end = BodyEndAt(scan_from_);
      if (end == -2) break;
      if (end >= 0) {
        EndPart(end, scan_from_);
        return size;
      }
      line_pending_ = false;
    }
    const void* feed = std::memchr(part_.Memory() + scan_from_, '\n', total - scan_from_);
    if (feed == nullptr) {
      scan_from_ = total;
      break;
    }
    scan_from_ = static_cast<size_t>(static_cast<const char*>(feed) - part_.Memory()) + 1;
    line_pending_ = true;
  }
  // The body reaches to at most four bytes (a line end and a blank line) before the first
  // line not yet ruled out as a boundary line.
  const int64_t least = static_cast<int64_t>(scan_from_) - 4;
  if ((limits_.max_part_size > 0 && least > limits_.max_part_size) ||
      part_.Size() > kMaxUndelimitedPart) {
    step_ = TStep::Breached;
  }
  return size;
}

int64_t TFirstPartReader::BodyEndAt(size_t start) const {
  const char* bytes = part_.Memory();
  const size_t total = static_cast<size_t>(part_.Size());
  if (start > 0 && IsJpegPart()) {
    // The end-of-image marker, a line end and a line beginning with "--": whatever boundary
    // that line names, the picture is complete.
    size_t eol = start - 1;
    if (eol > 0 && bytes[eol - 1] == '\r') --eol;
    if (eol >= 4 && bytes[eol - 2] == '\xFF' && bytes[eol - 1] == '\xD9') {
      if (total - start < 2 && (total == start || bytes[start] == '-')) return -2;
      if (total - start >= 2 && bytes[start] == '-' && bytes[start + 1] == '-') {
        return static_cast<int64_t>(eol);
      }
    }
  }
  if (boundary_.empty()) return -1;
  if (start == total) return -2;
  // Most lines inside a picture begin with neither a dash nor the boundary.
  if (bytes[start] != '-' && bytes[start] != boundary_[0]) return -1;
  const size_t longest = boundary_.size() + kBoundarySlack;
  size_t next = start;
  while (next < total && bytes[next] != '\n' && next - start <= longest) ++next;
  if (next - start > longest) return -1;
  if (next == total) return -2;
  Text line(bytes + start, next - start);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!IsBoundaryLine(line)) return -1;
  // The line end before the boundary line belongs to it, and so does one blank line before it.
  size_t end = start;
  for (int ends = 0; ends < 2 && end > 0 && bytes[end - 1] == '\n'; ++ends) {
    --end;
    if (end > 0 && bytes[end - 1] == '\r') --end;
  }
  return static_cast<int64_t>(end);
}

void TFirstPartReader::EndPart(int64_t end, size_t next) {
  if (end > 0) {
    part_.SetSize(end);
    step_ = TStep::Done;
    return;
  }
  const Text rest(part_.Memory() + next, static_cast<size_t>(part_.Size()) - next);
  ResetPart();
  step_ = TStep::Boundary;
  Feed(rest.data(), rest.size());
}

void TFirstPartReader::ResetPart() {
  part_.Clear();
  part_type_.clear();
  remaining_ = -1;
  scan_from_ = 0;
  line_pending_ = true;
}

bool TFirstPartReader::IsJpegPart() const {
  return part_.Size() >= 2 && part_.Memory()[0] == '\xFF' && part_.Memory()[1] == '\xD8';
}

bool TFirstPartReader::EndsWithJpegEnd() const {
  const char* bytes = part_.Memory();
  size_t end = static_cast<size_t>(part_.Size());
  while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n')) --end;
  return end >= 4 && bytes[end - 2] == '\xFF' && bytes[end - 1] == '\xD9';
}

bool TFirstPartReader::IsBoundaryLine(const Text& line) const {
  if (boundary_.empty()) return false;
  const size_t begin = line.find_first_not_of('-');
  const size_t last = line.find_last_not_of(" \t");
  if (begin == Text::npos || last == Text::npos || last < begin) return false;
  Text rest = line.substr(begin, last + 1 - begin);
  // The closing boundary ends in "--".
  if (rest.size() == boundary_.size() + 2 && rest.compare(boundary_.size(), 2, "--") == 0) {
    rest.resize(boundary_.size());
  }
  return rest == boundary_;
}

}  // namespace tessaly
