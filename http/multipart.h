// The first part of a multipart/x-mixed-replace body (a motion-JPEG stream), found in the body's
// bytes as they arrive, whatever the pieces they come in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytebuffer.h"
#include "base/text.h"

namespace tessaly {

// True when a Content-Type value names multipart/x-mixed-replace (any case, any parameters).
bool IsMixedReplace(const Text& content_type);
// The boundary parameter of a Content-Type value without quotes, blanks and leading dashes;
// "" when there is none.
Text MultipartBoundary(const Text& content_type);

// What a server may make the reader hold; 0 or less means no bound.
struct TPartLimits {
  int64_t max_part_size = 0;    // the part's body
  int32_t max_line_length = 0;  // one boundary or part header line
  int64_t max_header_size = 0;  // every line before the part's body, with its line end
};

// A state machine over the body: boundary lines (and anything before them), the part's header
// lines, the part's body. The body ends after its Content-Length bytes, or else before the next
// boundary line: the line end before that line, and one blank line before it, belong to the
// boundary. A boundary line is the boundary after any dashes, optionally followed by "--" and
// blanks. The first line beginning with "--" before any part sets the boundary, whatever was
// declared. A JPEG part (one that begins with FF D8) also ends after its end-of-image marker
// FF D9 when a line beginning with "--" follows it; its Content-Length is believed only when the
// bytes counted end in FF D9 (CR and LF after it allowed), else it is read on like a part
// without length. Empty parts are skipped. A part without length that has not ended after
// kMaxUndelimitedPart bytes cannot be delimited: the reader counts that as a breach.
class TFirstPartReader {
 public:
  static constexpr int64_t kMaxUndelimitedPart = 32 * 1024 * 1024;

  // The part's body is written to `part`, which is emptied first.
  TFirstPartReader(const Text& boundary, TByteBuffer& part, TPartLimits limits);

  // Takes the next bytes of the body; bytes after the part's end are ignored.
  void Feed(const char* data, size_t size);
  // The whole first part is in `part`, exactly its bytes.
  bool Complete() const { return step_ == TStep::Done; }
  // A bound was exceeded; nothing more is taken.
  bool Breached() const { return step_ == TStep::Breached; }
  // The part's Content-Type value; "" when it had none.
  const Text& PartType() const { return part_type_; }

 private:
  enum class TStep { Boundary, Headers, Body, Done, Breached };

  size_t FeedLine(const char* data, size_t size);
  void TakeLine(const Text& line);
  void StartBody(const Text& first_bytes);
  size_t FeedCounted(const char* data, size_t size);
  size_t FeedScanned(const char* data, size_t size);
  // The body's end when the line that begins at `start` of the part ends it; -1 when it does
  // not, -2 when the bytes that would tell have not arrived yet.
  int64_t BodyEndAt(size_t start) const;
  // The part ends at `end`; an empty one is skipped, and what followed it, from `next` on, is
  // read again as the start of the next part.
  void EndPart(int64_t end, size_t next);
  // Forgets the part's headers and scan state.
  void ResetPart();
  bool IsJpegPart() const;
  bool EndsWithJpegEnd() const;
  bool IsBoundaryLine(const Text& line) const;

  Text boundary_;
  bool boundary_seen_ = false;  // a line beginning with "--" has set the boundary
  TByteBuffer& part_;
  TPartLimits limits_;
  TStep step_ = TStep::Boundary;
  Text line_;
  int64_t header_bytes_ = 0;
  Text part_type_;
  int64_t remaining_ = -1;    // body bytes still to come; -1 when the part gave no length
  size_t scan_from_ = 0;      // where the search for the next line feed goes on
  bool line_pending_ = true;  // a line beginning at scan_from_ has not been judged yet
};

}  // namespace tessaly
