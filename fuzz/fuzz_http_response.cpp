// A whole HTTP response, sent by a loopback peer in chosen pieces and then closed, read by
// ExecuteRequest. The transaction must end without waiting for a time-out (the peer always
// closes), keep within the client's limits, and, without limits, agree with a reading of the
// response written from its rules: status and header lines, then the body by length, by chunks
// or until the close, with every size judged by its value.
//
// Input: flags byte (bits 0-1 method GET/HEAD/"head"/GET, 4 protocol "1.1", 8 a short header
// line limit, 16 a small header size limit, 32 a small body limit, 64 one time budget per
// read instead of one per packet); piece plan (see fuzzsupport.h); the response bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "fuzz/fuzzsupport.h"
#include "http/httpclient.h"
#include "net/sockapi.h"
#include "net/tcpsocket.h"

namespace {

constexpr char kTarget[] = "http_response";
// The peer always closes, so no read should ever wait this long; a run that takes most of it
// has waited for a time-out that the closed connection should have cut short.
constexpr int kTimeout = 8000;
constexpr int kSlowRunMs = 6000;
constexpr int kLineLimit = 64;
constexpr int kHeaderLimit = 256;
constexpr int kBodyLimit = 1024;

using tessaly::Text;

// One listening loopback socket for the whole process; each run accepts one connection on it.
class TListener {
 public:
  static TListener& Get() {
    static TListener listener;
    return listener;
  }
  int Fd() const { return fd_; }
  int Port() const { return port_; }

 private:
  TListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      tessaly::fuzz::Fail(kTarget, "cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
  }
  ~TListener() { close(fd_); }
  int fd_ = -1;
  int port_ = 0;
};

// What a response must give: the transaction's result, and when it succeeds, the status code,
// the status and header lines kept and the body.
struct TAnswer {
  bool result = false;
  int32_t code = 0;
  std::vector<Text> headers;
  Text document;
};

// Line reads take CR LF, LF CR, CR or LF as a line end. False when the stream ends first.
bool NextLine(const Text& stream, size_t& pos, Text& line) {
  const size_t at = stream.find_first_of("\r\n", pos);
  if (at == Text::npos) return false;
  line = stream.substr(pos, at - pos);
  size_t length = 1;
  if (at + 1 < stream.size() && ((stream[at] == '\r' && stream[at + 1] == '\n') ||
                                 (stream[at] == '\n' && stream[at + 1] == '\r'))) {
    length = 2;
  }
  pos = at + length;
  return true;
}

bool StartsWith(const Text& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The reading below follows the rules of an answer, not the client's code: its own field
// cutting, and numbers read by std::from_chars with their value judged as a whole.

Text Trimmed(const Text& text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t first = 0;
  size_t last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

Text Upper(Text text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A header field's value: the line after its first space, blanks trimmed (the whole line
// when it has no space).
Text FieldValue(const Text& line) {
  const size_t space = line.find(' ');
  return Trimmed(space == Text::npos ? line : line.substr(space + 1));
}

// An integer text: spaces, then an optional sign and decimal digits, or "$" and hex digits,
// nothing after. Its value is exact within 2^62 and pinned there beyond.
std::optional<int64_t> ReadNumber(const Text& text) {
  const size_t at = std::min(text.find_first_not_of(' '), text.size());
  const bool hex = text.compare(at, 1, "$") == 0;
  const bool sign = !hex && (text.compare(at, 1, "-") == 0 || text.compare(at, 1, "+") == 0);
  const Text digits = text.substr(at + (hex || sign ? 1 : 0));
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != Text::npos) {
    return std::nullopt;
  }
  uint64_t magnitude = 0;
  const auto result =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, hex ? 16 : 10);
  const int64_t value = result.ec == std::errc() && magnitude < (uint64_t{1} << 62)
                            ? static_cast<int64_t>(magnitude)
                            : int64_t{1} << 62;
  return text.compare(at, 1, "-") == 0 ? -value : value;
}

// A status code: an integer text within 32 bits ("$" hex up to FFFFFFFF taken as signed), 0
// otherwise.
int32_t StatusCode(const Text& line) {
  const Text rest = FieldValue(line);
  const Text word = Trimmed(rest.substr(0, rest.find(' ')));
  const std::optional<int64_t> value = ReadNumber(word);
  if (!value) return 0;
  if (word[0] == '$') return *value <= 0xFFFFFFFFLL ? static_cast<int32_t>(*value) : 0;
  return *value >= INT32_MIN && *value <= INT32_MAX ? static_cast<int32_t>(*value) : 0;
}

TAnswer Expected(const Text& stream, const Text& method) {
  TAnswer answer;
  size_t pos = 0;
  Text line;
  do {
    do {
      if (!NextLine(stream, pos, line)) return answer;
    } while (line.empty());
    if (Upper(line).rfind("HTTP/", 0) == 0) {
      answer.headers.push_back(line);
      answer.code = StatusCode(line);
    } else {
      answer.document += line + "\r\n";
      answer.code = 0;
    }
  } while (answer.code == 100);

  // A length is -1 ("none") unless the field reads as a number; any number other than -1
  // frames the body by length, and a length outside 0..2147483647 frames nothing at all.
  enum { kUntilClose, kByLength, kChunked } mode = kUntilClose;
  int64_t length = -1;
  if (!answer.headers.empty()) {
    for (;;) {
      if (!NextLine(stream, pos, line)) return answer;
      answer.headers.push_back(line);
      if (line.empty()) break;
      if (Upper(line).rfind("CONTENT-LENGTH:", 0) == 0) {
        length = ReadNumber(FieldValue(line)).value_or(-1);
        if (length != -1 && mode == kUntilClose) mode = kByLength;
      }
      if (Upper(line).rfind("TRANSFER-ENCODING:", 0) == 0 &&
          Upper(FieldValue(line)).find("CHUNKED") != Text::npos) {
        mode = kChunked;
      }
    }
  }
  if (method == "HEAD" || answer.code == 204 || answer.code == 304) {
    answer.result = true;
    return answer;
  }
  switch (mode) {
    case kUntilClose:
      answer.document += stream.substr(pos);
      answer.result = true;
      break;
    case kByLength:
      if (length < 0 || length > INT32_MAX) break;
      if (stream.size() - pos < static_cast<size_t>(length)) break;
      answer.document += stream.substr(pos, static_cast<size_t>(length));
      answer.result = true;
      break;
    case kChunked:
      for (;;) {
        if (!NextLine(stream, pos, line)) return answer;
        // The size is the hex digits before any space or ";" (blanks around them trimmed); a
        // size line without them (a blank line too) or above 7FFFFFFF frames nothing.
        Text field = Trimmed(line.substr(0, line.find(' ')));
        field = Trimmed(field.substr(0, field.find(';')));
        const std::optional<int64_t> size = ReadNumber("$" + field);
        if (!size || *size > INT32_MAX) return answer;
        if (*size == 0) break;
        if (stream.size() - pos < static_cast<size_t>(*size)) return answer;
        answer.document += stream.substr(pos, static_cast<size_t>(*size));
        pos += static_cast<size_t>(*size);
        // The chunk's data ends with CR LF exactly.
        if (stream.compare(pos, 2, "\r\n") != 0) return answer;
        pos += 2;
      }
      answer.result = true;
      break;
  }
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  fuzz::IgnoreSigpipe();
  fuzz::TInput input(data, size);
  const uint8_t flags = input.Byte();
  static const char* const kMethods[] = {"GET", "HEAD", "head", "GET"};
  const Text method = kMethods[flags & 3];
  const bool http11 = flags & 4;
  const int line_limit = (flags & 8) ? kLineLimit : 0;
  const int header_limit = (flags & 16) ? kHeaderLimit : 0;
  const int body_limit = (flags & 32) ? kBodyLimit : 0;
  const bool one_budget = flags & 64;
  const std::vector<int> lengths = fuzz::ReadPieceLengths(input);
  const Text response = input.Rest();
  const std::vector<Text> pieces = fuzz::SplitIntoPieces(response, lengths);

  TListener& listener = TListener::Get();
  const Text url = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/image.jpg";
  Text shown = " for " + method + (http11 ? " HTTP/1.1" : "") + " answered by " +
               Escaped(response) + " in " + std::to_string(pieces.size()) + " pieces";

  fuzz::TPacedPeer peer(-1, listener.Fd(), pieces, true);
  THTTPClient client;
  client.SetTimeout(kTimeout);
  if (http11) client.SetProtocol("1.1");
  // 0 turns a limit off; the defaults stay for the flags that are not set.
  if (line_limit) client.SetMaxHeaderLineLength(line_limit);
  if (header_limit) client.SetMaxHeaderSize(header_limit);
  if (body_limit) client.SetMaxBodySize(body_limit);
  client.Sock().SetInterPacketTimeout(!one_budget);
  client.Sock().SetOnMonitor([&peer](TBlockSocket&, bool writing, const void*, int length) {
    if (!writing) peer.Received(length);
  });

  const auto start = std::chrono::steady_clock::now();
  const bool result = client.ExecuteRequest(method, url);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  peer.ReaderDone();

  const Text request = peer.Request();
  FUZZ_CHECK(
      StartsWith(request,
                 (UpperAscii(method) + " /image.jpg HTTP/" + client.Protocol() + "\r\n").c_str()),
      "request " + Escaped(request) + shown);

  const TLineList& headers = client.Headers();
  TByteBuffer& document = client.Document();
  shown += ": result " + Text(result ? "true" : "false") + ", code " +
           std::to_string(client.ResultCode()) + ", " + std::to_string(headers.Count()) +
           " header lines, document " +
           Escaped(Text(document.Memory(), static_cast<size_t>(document.Size())));

  FUZZ_CHECK(elapsed < kSlowRunMs, "took " + std::to_string(elapsed) + " ms" + shown);
  FUZZ_CHECK(!result || document.Position() == 0, "document not at 0" + shown);
  FUZZ_CHECK(document.Size() <= static_cast<int64_t>(response.size()) + 2,
             "document too big" + shown);
  FUZZ_CHECK(!(result && client.LimitExceeded()), "true with a limit exceeded" + shown);
  FUZZ_CHECK(!(result && headers.Count() == 0 && client.ResultCode() != 0),
             "no status line but a code" + shown);
  if (headers.Count() > 0) {
    FUZZ_CHECK(StartsWith(UpperAscii(headers[0]), "HTTP/"), "first header line" + shown);
  }
  if (result && line_limit) {
    for (const Text& line : headers.Lines()) {
      FUZZ_CHECK(line.size() <= static_cast<size_t>(line_limit),
                 "header line over the limit" + shown);
    }
  }
  if (result && header_limit) {
    size_t total = 0;
    for (const Text& line : headers.Lines()) total += line.size() + 2;
    FUZZ_CHECK(total <= static_cast<size_t>(header_limit), "header size over the limit" + shown);
  }
  if (result && body_limit && headers.Count() > 0) {
    FUZZ_CHECK(document.Size() <= body_limit, "body over the limit" + shown);
  }

  if (!line_limit && !header_limit && !body_limit) {
    const TAnswer want = Expected(response, method);
    FUZZ_CHECK(result == want.result, "expected " + Text(want.result ? "true" : "false") + shown);
    if (result) {
      FUZZ_CHECK(client.ResultCode() == want.code,
                 "expected code " + std::to_string(want.code) + shown);
      FUZZ_CHECK(headers.Lines() == want.headers,
                 "expected " + std::to_string(want.headers.size()) + " header lines" + shown);
      FUZZ_CHECK(Text(document.Memory(), static_cast<size_t>(document.Size())) == want.document,
                 "expected document " + Escaped(want.document) + shown);
    }
  }
  return 0;
}
