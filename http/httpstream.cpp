// Answers that are streams (multipart/x-mixed-replace, as motion-JPEG cameras send): the body is
// read through its framing only until its first part is complete.
#include <algorithm>

#include "http/httpclient.h"
#include "http/multipart.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// The most read from the socket in one step while the body's framing limits the read.
constexpr int64_t kStreamPiece = 64 * 1024;

// The value of the answer's last Content-Type line, however it is spaced.
Text ContentTypeOf(const TLineList& headers) {
  Text value;
  for (const Text& line : headers.Lines()) {
    if (LowerAscii(TrimBlanks(TextBefore(line, ":"))) == "content-type" &&
        line.find(':') != Text::npos) {
      value = TrimBlanks(TextAfter(line, ":"));
    }
  }
  return value;
}

}  // namespace

bool THTTPClient::IsStreamAnswer(const Text& method) const {
  if (!first_part_of_stream_ || method == "HEAD" || result_code_ == 204 || result_code_ == 304) {
    return false;
  }
  return IsMixedReplace(ContentTypeOf(*headers_));
}

bool THTTPClient::ReadFirstStreamPart() {
  TFirstPartReader reader(MultipartBoundary(ContentTypeOf(*headers_)), *document_,
                          {max_body_size_, max_header_line_length_, max_header_size_});
  bool fed = true;
  switch (transfer_mode_) {
    case THTTPTransferMode::UntilClose:
      fed = FeedStream(reader, -1);
      break;
    case THTTPTransferMode::ByLength:
      fed = FeedStream(reader, expected_length_);
      break;
    case THTTPTransferMode::Chunked:
      while (fed && !reader.Complete()) {
        int64_t size = 0;
        if (!ReadChunkSize(size)) return false;
        if (sock_->SocketError() != 0 || size == 0) break;  // the stream ended
        fed = FeedStream(reader, size);
        // A part complete inside this chunk needs nothing after it.
        if (fed && !reader.Complete() && !ReadChunkEnd()) return false;
      }
      break;
  }
  if (!fed) return false;
  // Whatever follows the first part is of no use: the stream never ends by itself.
  DropConnection();
  if (!reader.Complete()) return false;
  document_->SetPosition(0);
  CollectCookies();
  stream_part_read_ = true;
  part_type_ = reader.PartType();
  return true;
}

bool THTTPClient::FeedStream(TFirstPartReader& reader, int64_t limit) {
  for (int64_t fed = 0; !reader.Complete() && (limit < 0 || fed < limit);) {
    const Text piece = ReadStreamPiece(limit < 0 ? -1 : limit - fed);
    if (sock_->SocketError() != 0) {
      DropConnection();
      return false;
    }
    reader.Feed(piece.data(), piece.size());
    if (reader.Breached()) {
      stream_limit_ = reader.LimitMet();
      return Breach();
    }
    fed += static_cast<int64_t>(piece.size());
  }
  return true;
}

Text THTTPClient::ReadStreamPiece(int64_t limit) {
  if (limit < 0) return sock_->ReadAvailable(ReadTimeout());
  // Only what has arrived, so that a part that is complete is never held up waiting for more;
  // and never beyond the framing's limit, whose bytes after it are framing again. With nothing
  // read ahead one byte is waited for: the socket keeps whatever else came in its read-ahead,
  // which (unlike the platform's count under TLS) holds only bytes ready to be taken.
  const int64_t ready = static_cast<int64_t>(sock_->ReadAhead().size());
  const int64_t count = std::clamp<int64_t>(std::min(ready, limit), 1, kStreamPiece);
  Text piece(static_cast<size_t>(count), '\0');
  const int got = sock_->ReadExact(piece.data(), static_cast<int>(count), ReadTimeout());
  piece.resize(static_cast<size_t>(std::max(got, 0)));
  return piece;
}

}  // namespace tessaly
