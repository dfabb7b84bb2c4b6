// The response half of a transaction: status line, header lines, the three body framings and
// the cookies.
#include <algorithm>
#include <cstdint>

#include "http/httpclient.h"
#include "net/tcpsocket.h"

namespace tessaly {
namespace {

// A body of known length is asked for in pieces of this size, so that memory follows the
// bytes that really arrive rather than the length announced.
constexpr int64_t kBodyPiece = 1024 * 1024;
// Bytes of a body of known length that must have arrived before room for all of it is taken.
constexpr int64_t kCommitAfter = 4 * 1024 * 1024;

bool StartsWith(const Text& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Sizes are judged by value, however many (leading zero) digits they have; a value stops
// growing here, far beyond any size a body may have.
constexpr int64_t kBeyondAnySize = int64_t{1} << 40;

int DigitValue(char c, int base) {
  int value = base;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

// The value of a non-empty run of digits in base; -1 when a byte is no such digit.
int64_t DigitsValue(const Text& digits, int base) {
  if (digits.empty()) return -1;
  int64_t value = 0;
  for (char c : digits) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return -1;
    value = std::min(value * base + digit, kBeyondAnySize);
  }
  return value;
}

// A Content-Length value in the forms of an integer text (leading spaces, then a sign and
// decimal digits, or "$" and hex digits), by its value. -1, "no length", when the text has
// none of those forms.
int64_t ContentLengthValue(const Text& text) {
  const Text number = text.substr(std::min(text.find_first_not_of(' '), text.size()));
  if (!number.empty() && number[0] == '$') return DigitsValue(number.substr(1), 16);
  const bool sign = !number.empty() && (number[0] == '-' || number[0] == '+');
  const int64_t magnitude = DigitsValue(number.substr(sign ? 1 : 0), 10);
  if (magnitude < 0) return -1;
  return number[0] == '-' ? -magnitude : magnitude;
}

// A chunk-size field of hex digits by its value; -1 for any other text.
int64_t ChunkSizeValue(const Text& text) {
  return DigitsValue(text, 16);
}

}  // namespace

void THTTPClient::ParseStatusLine(const Text& line) {
  const Text rest = TrimBlanks(TextAfter(line, " "));
  result_code_ = ParseIntDefault(TrimBlanks(TextBefore(rest, " ")), 0);
  result_string_ = TrimBlanks(TextAfter(rest, " "));
  if (result_string_ == rest) result_string_.clear();  // no reason phrase
}

bool THTTPClient::ReadLimitedLine(Text& line, bool counts_as_header) {
  line = sock_->ReadLine(ReadTimeout());
  if (sock_->SocketError() == ErrLineTooLong) return Breach();
  if (counts_as_header) {
    header_bytes_ += static_cast<int64_t>(line.size()) + 2;
    if (max_header_size_ > 0 && header_bytes_ > max_header_size_) return Breach();
  }
  return true;
}

bool THTTPClient::ReadStatusLine() {
  if (have_early_answer_) {
    headers_->Add(early_status_line_);
    return true;
  }
  do {
    Text line;
    do {
      if (!ReadLimitedLine(line, true)) return false;
    } while (line.empty() && sock_->SocketError() == 0);
    if (StartsWith(UpperAscii(line), "HTTP/")) {
      headers_->Add(line);
      ParseStatusLine(line);
    } else {
      // An answer without a status line is all body (HTTP/0.9 style).
      WriteTextToStream(*document_, line + "\r\n");
      result_code_ = 0;
    }
  } while (sock_->SocketError() == 0 && result_code_ == 100);
  return true;
}

void THTTPClient::ApplyHeaderLine(const Text& line) {
  const Text upper = UpperAscii(line);
  if (StartsWith(upper, "CONTENT-LENGTH:")) {
    expected_length_ = ContentLengthValue(TrimBlanks(TextAfter(line, " ")));
    if (expected_length_ != -1 && transfer_mode_ == THTTPTransferMode::UntilClose) {
      transfer_mode_ = THTTPTransferMode::ByLength;
    }
  }
  if (StartsWith(upper, "CONTENT-TYPE:")) mime_type_ = TrimBlanks(TextAfter(line, " "));
  if (StartsWith(upper, "TRANSFER-ENCODING:") &&
      Find("CHUNKED", TrimBlanks(TextAfter(upper, " "))) > 0) {
    transfer_mode_ = THTTPTransferMode::Chunked;
  }
  if (StartsWith(upper, "CONNECTION: CLOSE")) close_after_ = true;
}

bool THTTPClient::ReadHeaderLines() {
  if (headers_->Count() == 0) return true;  // no status line, so no header lines either
  if (have_early_answer_) {
    for (const Text& line : early_header_lines_) {
      headers_->Add(line);
      ApplyHeaderLine(line);
    }
    headers_->Add(Text());
    return true;
  }
  for (;;) {
    Text line;
    if (!ReadLimitedLine(line, true)) return false;
    headers_->Add(line);
    if (sock_->SocketError() != 0 || line.empty()) return true;
    ApplyHeaderLine(line);
  }
}

bool THTTPClient::ReadBody(const Text& method) {
  if (method == "HEAD" || result_code_ == 204 || result_code_ == 304) return true;
  switch (transfer_mode_) {
    case THTTPTransferMode::ByLength:
      // A length no body can have, or one that a later line took below 0, frames nothing.
      if (expected_length_ < 0 || expected_length_ > INT32_MAX) return FramingFault();
      if (ReadBodyByLength(static_cast<int32_t>(expected_length_))) return true;
      if (sock_->SocketError() == ErrPeerClosed || sock_->SocketError() == ErrTimedOut)
        short_end_ = THTTPShortEnd{document_->Size(), expected_length_, sock_->PeerEnd()};
      return false;
    case THTTPTransferMode::Chunked:
      return ReadChunkedBody();
    case THTTPTransferMode::UntilClose:
      break;
  }
  return ReadBodyUntilClose();
}

bool THTTPClient::ReadBodyUntilClose() {
  for (;;) {
    const Text piece = sock_->ReadAvailable(ReadTimeout());
    if (sock_->SocketError() != 0) break;
    if (max_body_size_ > 0 &&
        document_->Size() + static_cast<int64_t>(piece.size()) > max_body_size_) {
      return Breach();
    }
    ReserveBody(document_->Size() + static_cast<int64_t>(piece.size()), 0);
    WriteTextToStream(*document_, piece);
  }
  // Only the peer's orderly close ends such a body: a reset means it was cut short, and over
  // TLS only the closing alert proves that nothing was cut off.
  if (sock_->SocketError() != ErrPeerClosed) return false;
  const TPeerEnd end = sock_->PeerEnd();
  if (end != TPeerEnd::Orderly && end != TPeerEnd::TlsClosed) return false;
  sock_->ClearError();
  return true;
}

void THTTPClient::ReserveBody(int64_t needed, int64_t known_end) {
  if (needed <= static_cast<int64_t>(body_reserved_)) return;
  // Grow by doubling what has arrived. Once a body of known length has shown that it is real
  // (a few MiB, or a quarter of it, have arrived), take room for all of it in one step: each
  // step copies what is held, and the allocator keeps freed steps around, so fewer steps keep
  // the peak near the body's own size.
  int64_t target = std::max(needed, 2 * static_cast<int64_t>(body_reserved_));
  if (known_end > 0 && (document_->Size() >= kCommitAfter || 2 * target >= known_end)) {
    target = std::max(needed, known_end);
  }
  // Never more room than the body may take.
  if (max_body_size_ > 0) target = std::max(needed, std::min(target, max_body_size_));
  document_->Reserve(static_cast<size_t>(target));
  body_reserved_ = static_cast<size_t>(target);
}

bool THTTPClient::ReadBodyByLength(int32_t size) {
  if (size < 1) return true;
  download_size_ = size;
  const int64_t start = document_->Size();
  if (max_body_size_ > 0 && start + size > max_body_size_) return Breach();
  const int64_t end = start + size;
  // Only a body delimited by its length knows where it ends; chunks do not tell the total.
  const int64_t known_end = transfer_mode_ == THTTPTransferMode::ByLength ? end : 0;
  // Reads straight into the body's memory; bytes that did arrive stay even when a read fails.
  for (int64_t at = start; at < end;) {
    const int64_t piece = std::min(kBodyPiece, end - at);
    ReserveBody(at + piece, known_end);
    document_->Extend(static_cast<size_t>(piece));
    const int got =
        sock_->ReadExact(document_->Memory() + at, static_cast<int>(piece), ReadTimeout());
    at += std::max(got, 0);
    if (sock_->SocketError() != 0) {
      document_->SetSize(at);
      break;
    }
  }
  document_->Seek(0, TSeekOrigin::End);
  return sock_->SocketError() == 0;
}

bool THTTPClient::ReadChunkSize(int64_t& size) {
  size = 0;
  Text line;
  if (!ReadLimitedLine(line, false)) return false;
  if (sock_->SocketError() != 0) return true;
  // Chunk extensions after ";" are dropped (RFC 9112, section 7.1.1).
  const Text size_text = TrimBlanks(TextBefore(TrimBlanks(TextBefore(line, " ")), ";"));
  size = ChunkSizeValue(size_text);
  // A line that is no size at all is most likely data of a chunk that went astray: ending the
  // body there would pass a cut body off as complete.
  if (size < 0 || size > INT32_MAX) {
    size = 0;
    return FramingFault();
  }
  return true;
}

bool THTTPClient::ReadChunkEnd() {
  // A chunk's data ends with CR LF and nothing else: a chunk declared longer than its data
  // would otherwise take the framing's CR into the body, and the LF left would pass for it.
  const Text end = sock_->ReadExactText(2, ReadTimeout());
  if (sock_->SocketError() != 0) return false;
  return end == "\r\n" || FramingFault();
}

bool THTTPClient::ReadChunkedBody() {
  for (;;) {
    int64_t size = 0;
    if (!ReadChunkSize(size)) return false;
    if (sock_->SocketError() != 0 || size == 0) break;
    if (!ReadBodyByLength(static_cast<int32_t>(size))) {
      if (limit_exceeded_) return false;
      break;
    }
    if (!ReadChunkEnd()) break;
  }
  return sock_->SocketError() == 0 && !framing_failed_;
}

void THTTPClient::CollectCookies() {
  for (const Text& line : headers_->Lines()) {
    if (!StartsWith(LowerAscii(line), "set-cookie:")) continue;
    const Text pair = TrimBlanks(TextBefore(TextAfter(line, ":"), ";"));
    const Text name = TrimBlanks(TextBefore(pair, "="));
    cookies_->SetValue(name, TrimBlanks(TextAfter(pair, "=")));
  }
}

}  // namespace tessaly
