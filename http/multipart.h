// The first part of a multipart/x-mixed-replace body (a motion-JPEG stream), found in the body's
// bytes as they arrive, whatever the pieces they come in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytebuffer.h"
#include "base/jpegsegments.h"
#include "base/text.h"

namespace tessaly {

// True when a Content-Type value names multipart/x-mixed-replace (any case, any parameters).
bool IsMixedReplace(const Text& content_type);
// The boundary parameter of a Content-Type value without quotes, blanks and leading dashes;
// "" when there is none or it is longer than 256 bytes.
Text MultipartBoundary(const Text& content_type);

// What a server may make the reader hold; 0 or less means no bound.
struct TPartLimits {
  int64_t max_part_size = 0;    // the part's body
  int32_t max_line_length = 0;  // one boundary or part header line
  int64_t max_header_size = 0;  // every line before a part's body, with its line end
};

// The bound a stream met, for the caller to say which.
enum class TPartLimit : uint8_t {
  None,
  LineLength,   // a line before the part's body longer than max_line_length
  HeaderSize,   // the lines before a part's body (from its boundary line on) beyond max_header_size
  PartSize,     // the part's body beyond max_part_size
  Undelimited,  // a part without length not ended within kMaxUndelimitedPart bytes
};

// A state machine over the body: boundary lines (and anything before them), the part's header
// lines, the part's body, stepped through by one loop over the bytes at hand. The body ends after
// its Content-Length bytes, or else before the next boundary line: the line end before that line,
// and one blank line before it, belong to the boundary. A boundary line is the boundary after any
// dashes, optionally followed by "--" and blanks. A line "--" + the declared boundary always
// delimits; another line beginning with "--" sets the boundary when none was declared, or when
// the declared one has not been seen yet and part header lines, a blank line or FF D8 follow it.
// FF D8 at the start of a line before a part's body begins the body (a picture sent without
// boundary or header lines). A JPEG part (one that begins with FF D8) also ends after an
// end-of-image marker FF D9 past its header segments when a line end and a line beginning with
// "--" follow it; its Content-Length is believed only when the bytes counted end in such a marker
// (CR and LF after it allowed), else it is read on like a part without length. Blank lines before
// a part's first byte are framing, and parts that are empty (or only line ends) are skipped. A
// part without length that has not ended after kMaxUndelimitedPart bytes cannot be delimited.
class TFirstPartReader {
 public:
  static constexpr int64_t kMaxUndelimitedPart = 32 * 1024 * 1024;

  // The part's body is written to `part`, which is emptied first.
  TFirstPartReader(const Text& boundary, TByteBuffer& part, TPartLimits limits);

  // Takes the next bytes of the body; bytes after the part's end are ignored. Work and memory
  // grow with the bytes taken, never with how they were split.
  void Feed(const char* data, size_t size);
  // The whole first part is in `part`, exactly its bytes.
  bool Complete() const { return step_ == TStep::Done; }
  // A bound was exceeded; nothing more is taken.
  bool Breached() const { return step_ == TStep::Breached; }
  // Which bound; None unless Breached.
  TPartLimit LimitMet() const { return limit_; }
  // The part's Content-Type value; "" when it had none.
  const Text& PartType() const { return part_type_; }

 private:
  enum class TStep { Boundary, Headers, Body, Done, Breached };
  // What the line that begins at an offset of the part's body is, as far as its bytes tell.
  enum class TVerdict { Undecided, Body, Framing, Boundary, PictureEnd };

  // Each Take* consumes at least one byte or changes the step; answers the bytes consumed.
  size_t TakeFraming(const char* data, size_t size);
  size_t TakeCounted(const char* data, size_t size);
  size_t TakeScanned(const char* data, size_t size);
  void TakeLine(const Text& raw);
  bool LineWithinLimits();
  void Breach(TPartLimit limit);
  // A boundary line opened a part.
  void OpenPart();
  void StartBody();
  // The line in line_, which begins with FF D8, begins the part's body.
  void StartPicture(bool whole_line);
  void AdoptCandidate();
  bool MayBeBoundaryStart(const char* bytes, size_t size) const;
  void FinishCounted();
  // Writes at most what the undelimited bound leaves room for; answers the bytes written.
  size_t Append(const char* data, size_t size);
  // Writes to the part, taking room in bounded steps.
  void Write(const char* data, size_t size);
  // Judges the body's lines from line_start_ on as far as the bytes go, ending the part when
  // one ends it.
  void ScanPart();
  TVerdict Judge(size_t start);
  // The body ends at `end`.
  void EndPart(size_t end);
  void CheckBodyBound();
  // True when an end-of-image marker at pos lies past the JPEG part's header segments.
  bool PastSegments(size_t pos);
  // Forgets the part's headers and body.
  void ResetPart();
  void ClearBody();
  bool IsJpegPart() const;
  bool EndsWithPictureEnd();
  bool IsBoundaryLine(const Text& line) const;

  Text boundary_;
  bool boundary_seen_ = false;  // the boundary was declared and met, or set by a line
  Text candidate_;              // a "--" line's boundary waiting for what follows it
  TByteBuffer& part_;
  TPartLimits limits_;
  TStep step_ = TStep::Boundary;
  TPartLimit limit_ = TPartLimit::None;
  Text line_;  // the framing line being read, without its line feed
  int64_t header_bytes_ = 0;
  Text part_type_;
  int64_t remaining_ = -1;  // body bytes still to come; -1 when the part gave no length
  size_t line_start_ = 0;   // where the body's last line begins
  bool line_judged_ = false;
  size_t scan_from_ = 0;  // where the search for the next line feed goes on
  size_t walk_at_ = 2;    // where the walk over a JPEG part's header segments goes on
  TJpegWalk walk_ = TJpegWalk::More;
  size_t reserved_ = 0;  // room taken for the part
};

}  // namespace tessaly
