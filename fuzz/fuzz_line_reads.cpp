// Line reads (ReadUntil, ReadLine) on a connection fed in chosen pieces: the lines handed out,
// and what stays in the read-ahead buffer at the end, must be those of the whole byte stream
// read at once, wherever the packet boundaries fall. With ConvertLineEnd and CR LF a line ends
// at CR LF, LF CR, CR or LF, and a pair split across two packets is still one line end.
//
// Input: flags byte (1 ConvertLineEnd, 2 own terminator, 4 ReadLine, 8 one time budget for the
// whole read, 16 MaxLineLength); [MaxLineLength - 1]; [terminator length byte, terminator];
// piece plan (see fuzzsupport.h); the bytes the peer sends.
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "net/blocksocket.h"

namespace {

constexpr char kTarget[] = "line_reads";
// Long enough never to run out on a loaded machine: the peer always closes, so a read that
// times out has waited for nothing.
constexpr int kTimeout = 10000;

using tessaly::Text;

struct TLines {
  std::vector<Text> lines;
  Text rest;  // the bytes after the last line end
};

TLines Expected(const Text& stream, const Text& terminator, bool any_end) {
  TLines out;
  size_t pos = 0;
  for (;;) {
    size_t at = 0;
    size_t length = terminator.size();
    if (any_end) {
      at = stream.find_first_of("\r\n", pos);
      if (at == Text::npos) break;
      length = 1;
      if (at + 1 < stream.size() &&
          ((stream[at] == '\r' && stream[at + 1] == '\n') ||
           (stream[at] == '\n' && stream[at + 1] == '\r'))) {
        length = 2;
      }
    } else {
      at = stream.find(terminator, pos);
      if (at == Text::npos) break;
    }
    out.lines.push_back(stream.substr(pos, at - pos));
    pos = at + length;
  }
  out.rest = stream.substr(pos);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaly;
  using fuzz::Escaped;
  fuzz::IgnoreSigpipe();
  fuzz::TInput input(data, size);
  const uint8_t flags = input.Byte();
  const bool convert = flags & 1;
  const bool own_terminator = flags & 2;
  const bool use_read_line = (flags & 4) && !own_terminator;
  const bool one_budget = flags & 8;
  const int max_line = (flags & 16) ? input.Byte() + 1 : 0;
  Text terminator = "\r\n";
  if (own_terminator) {
    terminator = input.Take(input.Byte() % 3 + 1);
    if (terminator.empty()) terminator = "\n";
  }
  const std::vector<int> lengths = fuzz::ReadPieceLengths(input);
  const Text stream = input.Rest();
  const std::vector<Text> pieces = fuzz::SplitIntoPieces(stream, lengths);

  const bool any_end = convert && terminator == "\r\n";
  const TLines want = Expected(stream, terminator, any_end);
  Text shown = " reading " + Escaped(stream) + " in " + std::to_string(pieces.size()) +
               " pieces with terminator " + Escaped(terminator) + (convert ? ", converting" : "") +
               (max_line ? ", max line " + std::to_string(max_line) : "");

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fuzz::Fail(kTarget, "socketpair");
  fuzz::TPacedPeer peer(ends[1], -1, pieces, false);
  std::vector<Text> got;
  int error = 0;
  Text left;
  int again_error = 0;
  Text again_left;
  {
    TBlockSocket sock;
    sock.AdoptHandle(ends[0]);
    sock.SetConvertLineEnd(convert);
    sock.SetInterPacketTimeout(!one_budget);
    sock.SetMaxLineLength(max_line);
    sock.SetOnMonitor([&peer](TBlockSocket&, bool writing, const void*, int length) {
      if (!writing) peer.Received(length);
    });
    const size_t calls = want.lines.size() + 2;
    for (size_t i = 0; i < calls; ++i) {
      const Text line = use_read_line ? sock.ReadLine(kTimeout) : sock.ReadUntil(kTimeout, terminator);
      error = sock.SocketError();
      if (error != 0) {
        if (use_read_line) FUZZ_CHECK(line.empty(), "ReadLine gave a line with error" + shown);
        break;
      }
      got.push_back(line);
    }
    left = sock.ReadAhead();
    // Once the peer has gone, another read fails at once and keeps what is buffered.
    if (error == ErrPeerClosed) {
      sock.ReadUntil(kTimeout, terminator);
      again_error = sock.SocketError();
      again_left = sock.ReadAhead();
    }
    peer.ReaderDone();
  }

  shown += "; got " + std::to_string(got.size()) + " lines, expected " +
           std::to_string(want.lines.size()) + ", error " + std::to_string(error) + ", left " +
           Escaped(left) + "; lines:";
  for (const Text& line : got) shown += " " + Escaped(line, 40);
  shown += "; expected:";
  for (const Text& line : want.lines) shown += " " + Escaped(line, 40);
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(i < want.lines.size() && got[i] == want.lines[i],
               "line " + std::to_string(i) + " " + Escaped(got[i]) + shown);
    if (max_line > 0) {
      FUZZ_CHECK(got[i].size() <= static_cast<size_t>(max_line), "line over MaxLineLength" + shown);
    }
  }
  if (error == ErrLineTooLong) {
    FUZZ_CHECK(max_line > 0, "10055 without MaxLineLength" + shown);
    FUZZ_CHECK(left.size() > static_cast<size_t>(max_line), "10055 with a short buffer" + shown);
    return 0;
  }
  FUZZ_CHECK(error == ErrPeerClosed, "the reads ended with error " + std::to_string(error) + shown);
  FUZZ_CHECK(got.size() == want.lines.size(), "line count" + shown);
  FUZZ_CHECK(left == want.rest, "left over, expected " + Escaped(want.rest) + shown);
  FUZZ_CHECK(again_error == ErrPeerClosed || (max_line > 0 && again_error == ErrLineTooLong),
             "a read after the close gave error " + std::to_string(again_error) + shown);
  FUZZ_CHECK(again_left == left, "a read after the close changed the buffer to " +
                                     Escaped(again_left) + shown);
  return 0;
}
