#include "http/multipart.h"

#include <algorithm>
#include <cstring>

#include "base/bigblock.h"

namespace tessaly {
namespace {

// What a boundary line may hold besides the boundary: dashes before it, "--" and blanks after
// it, its CR. A longer line is not a boundary line, so a body is never held back waiting for it.
constexpr size_t kBoundarySlack = 32;

// A boundary has at most 70 characters (RFC 2046, section 5.1.1); this allows for cameras that
// stretch that, and keeps the look at each line that may be a boundary line short.
constexpr size_t kMaxBoundary = 256;

constexpr size_t kGrowthStep = 4 * 1024 * 1024;

// Without quotes, surrounding blanks and leading dashes: cameras declare the boundary with and
// without the "--" that their boundary lines begin with. "" for one longer than kMaxBoundary.
Text BareBoundary(Text value) {
  value = TrimBlanks(value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  const size_t begin = value.find_first_not_of('-');
  if (begin == Text::npos || value.size() - begin > kMaxBoundary) return Text();
  return value.substr(begin);
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
  for (size_t at = 0; at < size;) {
    switch (step_) {
      case TStep::Boundary:
      case TStep::Headers:
        at += TakeFraming(data + at, size - at);
        break;
      case TStep::Body:
        at +=
            remaining_ >= 0 ? TakeCounted(data + at, size - at) : TakeScanned(data + at, size - at);
        break;
      case TStep::Done:
      case TStep::Breached:
        return;
    }
  }
}

size_t TFirstPartReader::TakeFraming(const char* data, size_t size) {
  size_t at = 0;
  // The first two bytes of a line one by one: FF D8 there begins a picture at once, unless the
  // line may yet turn out to be a boundary line.
  while (at < size && line_.size() < 2 && data[at] != '\n') {
    line_.push_back(data[at++]);
    if (!LineWithinLimits()) return at;
    if (line_ == "\xFF\xD8" && !MayBeBoundaryStart(line_.data(), line_.size())) {
      StartPicture(false);
      return at;
    }
  }
  if (at < size && data[at] != '\n') {
    const void* feed = std::memchr(data + at, '\n', size - at);
    size_t count = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - data) - at
                                   : size - at;
    // Never more than one byte past a bound, however large the piece, so that the bound met
    // first is the one met whatever the pieces.
    const auto held = static_cast<int64_t>(line_.size());
    if (limits_.max_line_length > 0) {
      count = std::min<size_t>(count, limits_.max_line_length + 1 - held);
    }
    if (limits_.max_header_size > 0) {
      count = std::min<size_t>(count, limits_.max_header_size + 1 - header_bytes_ - held);
    }
    line_.append(data + at, count);
    at += count;
    if (!LineWithinLimits() || at == size || data[at] != '\n') return at;
  }
  if (at == size) return at;
  ++at;  // the line feed
  header_bytes_ += static_cast<int64_t>(line_.size()) + 1;
  if (limits_.max_header_size > 0 && header_bytes_ > limits_.max_header_size) {
    Breach(TPartLimit::HeaderSize);
    return at;
  }
  Text raw;
  raw.swap(line_);
  TakeLine(raw);
  return at;
}

bool TFirstPartReader::LineWithinLimits() {
  const auto held = static_cast<int64_t>(line_.size());
  if (limits_.max_line_length > 0 && held > limits_.max_line_length) {
    Breach(TPartLimit::LineLength);
  } else if (limits_.max_header_size > 0 && header_bytes_ + held > limits_.max_header_size) {
    Breach(TPartLimit::HeaderSize);
  }
  return step_ != TStep::Breached;
}

void TFirstPartReader::Breach(TPartLimit limit) {
  step_ = TStep::Breached;
  limit_ = limit;
}

void TFirstPartReader::TakeLine(const Text& raw) {
  Text line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const bool picture = raw.rfind("\xFF\xD8", 0) == 0;
  if (!candidate_.empty()) {
    if (line.empty() || picture || IsHeaderLine(line)) {
      AdoptCandidate();
    } else {
      candidate_.clear();  // preamble after all: this line is judged as such
      step_ = TStep::Boundary;
    }
  }
  if (step_ == TStep::Boundary) {
    if (IsBoundaryLine(line)) {
      boundary_seen_ = true;
      OpenPart();
      return;
    }
    if (picture) {
      line_ = raw;
      StartPicture(true);
      return;
    }
    const Text bare = line.rfind("--", 0) == 0 ? BareBoundary(line) : Text();
    if (!bare.empty() && !boundary_seen_) {
      if (boundary_.empty()) {
        boundary_ = bare;
        boundary_seen_ = true;
      } else {
        candidate_ = bare;  // the declared boundary has not been seen: this one may be the real
      }
      OpenPart();
      return;
    }
    if (!IsHeaderLine(line)) return;  // blank lines and preamble text before the first boundary
    step_ = TStep::Headers;           // the first part's header lines came without a boundary
  }
  if (IsBoundaryLine(line)) {
    OpenPart();  // a part with neither header lines nor body
    return;
  }
  if (picture) {
    line_ = raw;
    StartPicture(true);
    return;
  }
  if (line.empty()) {
    StartBody();
    return;
  }
  const Text name = LowerAscii(TrimBlanks(TextBefore(line, ":")));
  const Text value = TrimBlanks(TextAfter(line, ":"));
  if (name == "content-type") part_type_ = value;
  int32_t length = -1;
  if (name == "content-length" && TryParseInt(value, length) && length >= 0) remaining_ = length;
}

void TFirstPartReader::OpenPart() {
  ResetPart();
  step_ = TStep::Headers;
  header_bytes_ = 0;
}

void TFirstPartReader::AdoptCandidate() {
  if (candidate_.empty()) return;
  boundary_ = candidate_;
  boundary_seen_ = true;
  candidate_.clear();
}

bool TFirstPartReader::MayBeBoundaryStart(const char* bytes, size_t size) const {
  const Text& boundary = candidate_.empty() ? boundary_ : candidate_;
  return !boundary.empty() &&
         boundary.compare(0, size, bytes, std::min(size, boundary.size())) == 0;
}

void TFirstPartReader::StartBody() {
  AdoptCandidate();
  step_ = TStep::Body;
  ClearBody();
  if (remaining_ < 0) return;
  // No room is taken from the announced length: memory follows the bytes that arrive.
  if (limits_.max_part_size > 0 && remaining_ > limits_.max_part_size) {
    Breach(TPartLimit::PartSize);
  } else if (remaining_ == 0) {
    FinishCounted();
  }
}

void TFirstPartReader::StartPicture(bool whole_line) {
  Text first;
  first.swap(line_);
  if (whole_line) first.push_back('\n');
  StartBody();
  // At most a line: whatever of it a wrong length leaves over is not read again.
  for (size_t at = 0; at < first.size() && step_ == TStep::Body;) {
    at += remaining_ >= 0 ? TakeCounted(first.data() + at, first.size() - at)
                          : TakeScanned(first.data() + at, first.size() - at);
  }
}

size_t TFirstPartReader::TakeCounted(const char* data, size_t size) {
  const size_t count = std::min(size, static_cast<size_t>(remaining_));
  Write(data, count);
  remaining_ -= static_cast<int64_t>(count);
  if (remaining_ == 0) FinishCounted();
  return count;
}

void TFirstPartReader::FinishCounted() {
  const char* bytes = part_.Memory();
  const auto size = static_cast<size_t>(part_.Size());
  if (IsJpegPart() && !EndsWithPictureEnd()) {
    // Miscounted: the picture ends where its framing says, looked for from its first line on.
    remaining_ = -1;
    line_start_ = 0;
    line_judged_ = true;
    scan_from_ = 0;
    ScanPart();
    if (step_ == TStep::Body) CheckBodyBound();
    return;
  }
  if (std::all_of(bytes, bytes + size, [](char c) { return c == '\r' || c == '\n'; })) {
    ResetPart();  // nothing but line ends: an empty part
    step_ = TStep::Boundary;
    return;
  }
  step_ = TStep::Done;
}

size_t TFirstPartReader::TakeScanned(const char* data, size_t size) {
  size_t at = 0;
  // Until the part's first line is judged, one byte at a time: when it is the boundary line of
  // an empty part, the next part's lines are read on from the input, never copied back.
  while (at < size && step_ == TStep::Body && line_start_ == 0 && !line_judged_) {
    at += Append(data + at, 1);
    ScanPart();
  }
  if (at < size && step_ == TStep::Body) {
    at += Append(data + at, size - at);
    ScanPart();
  }
  if (step_ == TStep::Body) CheckBodyBound();
  return at;
}

size_t TFirstPartReader::Append(const char* data, size_t size) {
  const auto held = static_cast<size_t>(part_.Size());
  const size_t room = static_cast<size_t>(kMaxUndelimitedPart) + 1 -
                      std::min<size_t>(held, kMaxUndelimitedPart + 1);
  const size_t count = std::min(size, room);
  Write(data, count);
  return count;
}

void TFirstPartReader::Write(const char* data, size_t size) {
  const size_t needed = static_cast<size_t>(part_.Size()) + size;
  if (needed > reserved_) {
    // Doubling while small, then steps of kGrowthStep: a step holds the old memory and the new
    // at once, which must stay below twice the part plus a little, however large it grows. The
    // block kept for reuse (the part's memory before the last step, most likely) is too small
    // to serve the step and would make it three times: it goes first.
    reserved_ = reserved_ < kGrowthStep ? std::max(needed, 2 * reserved_)
                                        : std::max(needed, reserved_ + kGrowthStep);
    if (reserved_ >= kBigBlockMin && SpareBlockSize() < reserved_) ReleaseSpareBlock();
    part_.Reserve(reserved_);
  }
  part_.Write(data, size);
}

void TFirstPartReader::CheckBodyBound() {
  // The body reaches to at most four bytes (a line end and a blank line) before the first
  // line not yet ruled out as a boundary line.
  const auto certain = static_cast<int64_t>(line_judged_ ? part_.Size() : line_start_);
  if (part_.Size() > kMaxUndelimitedPart) {
    Breach(TPartLimit::Undelimited);
  } else if (limits_.max_part_size > 0 && certain - 4 > limits_.max_part_size) {
    Breach(TPartLimit::PartSize);
  }
}

void TFirstPartReader::ScanPart() {
  for (;;) {
    if (!line_judged_) {
      switch (Judge(line_start_)) {
        case TVerdict::Undecided:
          return;
        case TVerdict::Framing:
          ClearBody();
          return;
        case TVerdict::Boundary: {
          // The line end before the boundary line belongs to it, and so does one blank line.
          const char* bytes = part_.Memory();
          size_t end = line_start_;
          for (int ends = 0; ends < 2 && end > 0 && bytes[end - 1] == '\n'; ++ends) {
            --end;
            if (end > 0 && bytes[end - 1] == '\r') --end;
          }
          if (end > 0) {
            EndPart(end);
          } else {
            OpenPart();  // an empty part; its boundary line opens the next
          }
          return;
        }
        case TVerdict::PictureEnd: {
          size_t end = line_start_ - 1;
          if (part_.Memory()[end - 1] == '\r') --end;
          EndPart(end);
          return;
        }
        case TVerdict::Body:
          line_judged_ = true;
          scan_from_ = std::max(scan_from_, line_start_);
          break;
      }
    }
    const char* bytes = part_.Memory();
    const auto total = static_cast<size_t>(part_.Size());
    const void* feed = std::memchr(bytes + scan_from_, '\n', total - scan_from_);
    if (feed == nullptr) {
      scan_from_ = total;
      return;
    }
    line_start_ = static_cast<size_t>(static_cast<const char*>(feed) - bytes) + 1;
    scan_from_ = line_start_;
    line_judged_ = false;
  }
}

void TFirstPartReader::EndPart(size_t end) {
  part_.SetSize(static_cast<int64_t>(end));
  step_ = TStep::Done;
  if (limits_.max_part_size > 0 && part_.Size() > limits_.max_part_size) {
    Breach(TPartLimit::PartSize);
  }
}

TFirstPartReader::TVerdict TFirstPartReader::Judge(size_t start) {
  const char* bytes = part_.Memory();
  const auto total = static_cast<size_t>(part_.Size());
  if (start >= total) return TVerdict::Undecided;
  // A boundary line is short: its end is looked for no further than it may reach.
  const size_t longest = boundary_.size() + kBoundarySlack;
  const size_t reach = std::min(total, start + longest + 2);
  const void* feed = std::memchr(bytes + start, '\n', reach - start);
  const size_t end =
      feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - bytes) : reach;
  if (start == 0 && end <= longest &&
      std::all_of(bytes, bytes + end, [](char c) { return c == '\r'; })) {
    // Blank lines before the part's first byte are framing, however many.
    if (feed != nullptr) return TVerdict::Framing;
    if (end == total) return TVerdict::Undecided;
  }
  if (start > 0 && bytes[start] == '-' && IsJpegPart()) {
    // The end-of-image marker, a line end and a line beginning with "--": whatever boundary
    // that line names, the picture is complete.
    size_t eol = start - 1;
    if (eol > 0 && bytes[eol - 1] == '\r') --eol;
    if (eol >= 4 && bytes[eol - 2] == '\xFF' && bytes[eol - 1] == '\xD9' && PastSegments(eol - 2)) {
      if (total - start < 2) return TVerdict::Undecided;
      if (bytes[start + 1] == '-') return TVerdict::PictureEnd;
    }
  }
  // Most lines inside a picture begin with neither a dash nor the boundary.
  if (boundary_.empty() || (bytes[start] != '-' && bytes[start] != boundary_[0])) {
    return TVerdict::Body;
  }
  if (feed == nullptr)
    return end - start <= longest + 1 && end == total ? TVerdict::Undecided : TVerdict::Body;
  size_t length = end - start;
  if (length > 0 && bytes[end - 1] == '\r') --length;
  if (length > longest) return TVerdict::Body;
  return IsBoundaryLine(Text(bytes + start, length)) ? TVerdict::Boundary : TVerdict::Body;
}

bool TFirstPartReader::PastSegments(size_t pos) {
  if (walk_ == TJpegWalk::More) {
    walk_ = WalkJpegSegments(reinterpret_cast<const unsigned char*>(part_.Memory()),
                             static_cast<size_t>(part_.Size()), walk_at_);
  }
  // Past segments that stop making sense, any marker may be the picture's end.
  return walk_ != TJpegWalk::More && pos >= walk_at_;
}

void TFirstPartReader::ResetPart() {
  ClearBody();
  part_type_.clear();
  remaining_ = -1;
}

void TFirstPartReader::ClearBody() {
  part_.SetSize(0);  // keeps its memory for the next part, which reserved_ goes on counting
  line_start_ = 0;
  line_judged_ = false;
  scan_from_ = 0;
  walk_at_ = 2;
  walk_ = TJpegWalk::More;
}

bool TFirstPartReader::IsJpegPart() const {
  return part_.Size() >= 2 && part_.Memory()[0] == '\xFF' && part_.Memory()[1] == '\xD8';
}

bool TFirstPartReader::EndsWithPictureEnd() {
  const char* bytes = part_.Memory();
  auto end = static_cast<size_t>(part_.Size());
  while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n')) --end;
  return end >= 4 && bytes[end - 2] == '\xFF' && bytes[end - 1] == '\xD9' && PastSegments(end - 2);
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
