// TBlockSocket: receiving through the read-ahead buffer.
//
// The read-ahead buffer is read_ahead_ from read_ahead_pos_ on. Lines and exact reads take
// their bytes by moving the offset, so a big buffer full of short lines is not copied once per
// line; the consumed front is dropped only when new bytes must be appended.
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/clock.h"
#include "base/codec.h"
#include "net/blocksocket.h"

namespace tessaly {

namespace {

// PendingBytes never answers more than this, so one packet read allocates at most this much.
constexpr int kMaxPending = 65536;
// ReadExactText grows its result in steps of this size: a length announced by the peer is not
// allocated before the bytes have actually arrived.
constexpr int kExactTextStep = 1 << 20;
// DrainInput discards at most this much, for at most this long.
constexpr int64_t kDrainMaxBytes = 1 << 20;
constexpr int32_t kDrainMaxMs = 250;

uint32_t LittleEndian32(const Text& bytes) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

// Charges the time since `start` to a shared budget; -1 is no limit and stays so.
void ChargeBudget(int& budget, uint32_t start) {
  if (budget == -1) return;
  budget -= std::max(TickSpan(start, TickCount()), 0);
  if (budget == -1) budget = -2;  // spent, not "no limit"
}

}  // namespace

// ---- Read-ahead buffer --------------------------------------------------------------------

void TBlockSocket::ConsumeAhead(int count) {
  read_ahead_pos_ += static_cast<size_t>(count);
  if (read_ahead_pos_ >= read_ahead_.size()) ClearAhead();
}

void TBlockSocket::ClearAhead() {
  read_ahead_.clear();
  read_ahead_pos_ = 0;
}

Text TBlockSocket::TakeAhead() {
  Text text;
  if (read_ahead_pos_ == 0) {
    text.swap(read_ahead_);
  } else {
    text.assign(AheadData(), static_cast<size_t>(AheadSize()));
  }
  ClearAhead();
  return text;
}

int TBlockSocket::ReceiveIntoAhead(int n) {
  if (read_ahead_pos_ > 0) {
    read_ahead_.erase(0, read_ahead_pos_);
    read_ahead_pos_ = 0;
  }
  const size_t base = read_ahead_.size();
  read_ahead_.resize(base + static_cast<size_t>(n));
  int got = 0;
  try {
    got = ReceiveQueued(read_ahead_.data() + base, n);
  } catch (...) {
    read_ahead_.resize(base);
    throw;
  }
  read_ahead_.resize(base + static_cast<size_t>(std::max(got, 0)));
  return got;
}

int TBlockSocket::CarriedLineEndLength(const char* data, int length) {
  if (!convert_line_end_ || length <= 0) return 0;
  int drop = 0;
  if (skip_lf_ && data[0] == '\n') drop = 1;
  if (skip_cr_ && length > drop && data[drop] == '\r') ++drop;
  skip_lf_ = false;
  skip_cr_ = false;
  return drop;
}

// ---- Primitives ---------------------------------------------------------------------------

int TBlockSocket::ReadSome(void* buffer, int length) {
  if (CheckStop()) return 0;
  if (length <= 0) {
    ClearError();
    return 0;
  }
  Throttle(length, max_recv_bandwidth_, next_read_tick_);
  int n = ReceiveBytes(handle_, buffer, length, 0);
  if (n == 0) {
    ClearError();
    socket_error_ = ErrPeerClosed;
    NotePeerEnd(TPeerEnd::Orderly);
  } else {
    CheckResult(n);
    if (n < 0 && socket_error_ != WSAEWOULDBLOCK) NotePeerEnd(TPeerEnd::Reset);
  }
  ReportError();
  if (n > 0) {
    bytes_read_ += n;
    NotifyStatus(SR_Read, IntToText(n));
    NotifyMonitor(false, buffer, n);
    FilterInput(buffer, n);
  }
  return n;
}

void TBlockSocket::FilterInput(void* buffer, int& length) {
  if (!on_read_filter_ || length <= 0) return;
  Text value(static_cast<const char*>(buffer), static_cast<size_t>(length));
  on_read_filter_(*this, value);
  // A filter may shorten or change the bytes; the buffer has no room for more.
  if (value.size() > static_cast<size_t>(length)) value.resize(static_cast<size_t>(length));
  length = static_cast<int>(value.size());
  std::memcpy(buffer, value.data(), value.size());
}

int TBlockSocket::PendingBytes() {
  int count = 0;
  if (IoctlSocket(handle_, FIONREAD, count) != 0) return 0;
  return std::clamp(count, 0, kMaxPending);
}

int TBlockSocket::AwaitInput(int timeout) {
  SleepMs(0);  // let a sender that is mid-way finish its packet
  int n = PendingBytes();
  if (n > 0) return n;
  if (WaitReadable(timeout)) {
    n = PendingBytes();
    // Readable with nothing to read: the peer has ended the connection.
    if (n == 0) n = ProbePeerEnd();
    if (n == 0) socket_error_ = ErrPeerClosed;
    return n;
  }
  // A read given up on a stop is stopped, not timed out.
  socket_error_ = wait_stopped_ ? ErrStopped : ErrTimedOut;
  return 0;
}

int TBlockSocket::ProbePeerEnd() {
  return ProbeStreamEnd(TPeerEnd::Orderly);
}

int TBlockSocket::ProbeStreamEnd(TPeerEnd orderly) {
  // A peek tells the peer's FIN (0) from a reset (its error, taken here) without consuming
  // anything that may have arrived meanwhile.
  char byte = 0;
  const int got = ReceiveBytes(handle_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0) return std::max(PendingBytes(), 1);
  // Readiness with neither data nor an end proves nothing complete either.
  NotePeerEnd(got == 0 ? orderly : TPeerEnd::Reset);
  return 0;
}

int TBlockSocket::ReceiveQueued(char* dest, int n) {
  int got = ReadSome(dest, n);
  if (got < 0) return -1;
  const int drop = CarriedLineEndLength(dest, got);
  if (drop > 0) {
    std::memmove(dest, dest + drop, static_cast<size_t>(got - drop));
    got -= drop;
  }
  return got;
}

// ---- Packet and line reads ----------------------------------------------------------------

Text TBlockSocket::ReadAvailable(int timeout) {
  ClearError();
  Text text;
  if (AheadSize() > 0) {
    text = TakeAhead();
    text.erase(
        0, static_cast<size_t>(CarriedLineEndLength(text.data(), static_cast<int>(text.size()))));
  } else {
    const int n = AwaitInput(timeout);
    if (n > 0) {
      text.resize(static_cast<size_t>(n));
      const int got = ReceiveQueued(text.data(), n);
      text.resize(static_cast<size_t>(std::max(got, 0)));
    }
  }
  ReportError();
  return text;
}

Text TBlockSocket::ReadUntil(int timeout, const Text& terminator) {
  ClearError();
  if (terminator.empty()) return Text();
  const bool any_end = convert_line_end_ && terminator == "\r\n";
  int term_length = static_cast<int>(terminator.size());
  int budget = timeout;
  int found = -1;
  int scanned = 0;  // bytes of the accumulated text already searched without success
  bool first = true;
  for (;;) {
    const uint32_t start = TickCount();
    if (first && AheadSize() > 0) {
      // What an earlier read left over comes first, with its carried-over line end dropped.
      ConsumeAhead(CarriedLineEndLength(AheadData(), AheadSize()));
    } else {
      const int n = AwaitInput(budget);
      if (n > 0) {
        ReceiveIntoAhead(n);
      }
      ReportError();
    }
    first = false;
    if (socket_error_ != 0) break;

    const std::string_view acc(AheadData(), static_cast<size_t>(AheadSize()));
    if (!acc.empty()) {
      if (any_end) {
        const size_t pos = acc.find_first_of("\r\n", static_cast<size_t>(scanned));
        if (pos != std::string_view::npos) {
          found = static_cast<int>(pos);
          const char c = acc[pos];
          const bool paired = pos + 1 < acc.size() && acc[pos + 1] == (c == '\r' ? '\n' : '\r');
          term_length = paired ? 2 : 1;
        }
        scanned = static_cast<int>(acc.size());
      } else {
        const size_t pos = acc.find(terminator, static_cast<size_t>(scanned));
        if (pos != std::string_view::npos) found = static_cast<int>(pos);
        // A terminator may straddle the next packet boundary.
        scanned = std::max(0, static_cast<int>(acc.size()) - term_length + 1);
      }
    }
    // The limit is on the line being assembled, not on what may follow it in the buffer.
    const int line_length = found >= 0 ? found : static_cast<int>(acc.size());
    if (max_line_length_ != 0 && line_length > max_line_length_) {
      found = -1;
      socket_error_ = ErrLineTooLong;
      break;
    }
    if (found >= 0) break;
    if (!inter_packet_timeout_) {
      ChargeBudget(budget, start);
      if (budget != -1 && budget <= 0) {
        socket_error_ = ErrTimedOut;
        break;
      }
    }
  }

  Text line;
  if (found >= 0) {
    if (any_end && term_length == 1) {
      // A lone CR or LF may be the first half of a pair whose second half is still on its way.
      if (AheadData()[found] == '\r') {
        skip_lf_ = true;
      } else {
        skip_cr_ = true;
      }
    }
    line.assign(AheadData(), static_cast<size_t>(found));
    ConsumeAhead(found + term_length);
  }
  ReportError();
  return line;
}

Text TBlockSocket::ReadLine(int timeout) {
  Text line = ReadUntil(timeout, "\r\n");
  return socket_error_ == 0 ? line : Text();
}

// ---- Exact reads --------------------------------------------------------------------------

int TBlockSocket::ReadExactInto(char* dest, int length, int& budget) {
  int count = 0;
  bool first = true;
  for (;;) {
    const uint32_t start = TickCount();
    if (first && AheadSize() > 0) {
      ConsumeAhead(CarriedLineEndLength(AheadData(), AheadSize()));
      const int n = std::min(AheadSize(), length - count);
      std::memcpy(dest + count, AheadData(), static_cast<size_t>(n));
      ConsumeAhead(n);
      count += n;
    } else {
      const int queued = AwaitInput(budget);
      if (queued > 0) {
        const int need = length - count;
        if (queued <= need) {
          // The whole packet is wanted: receive it straight into the caller's memory.
          count += std::max(ReceiveQueued(dest + count, queued), 0);
        } else {
          // More is queued than wanted: the surplus goes to the read-ahead buffer.
          ReceiveIntoAhead(queued);
          const int n = std::min(AheadSize(), need);
          std::memcpy(dest + count, AheadData(), static_cast<size_t>(n));
          ConsumeAhead(n);
          count += n;
        }
      }
      ReportError();
    }
    first = false;
    if (!inter_packet_timeout_) ChargeBudget(budget, start);
    if (socket_error_ != 0 || count >= length) break;
    if (!inter_packet_timeout_ && budget != -1 && budget <= 0) {
      socket_error_ = ErrTimedOut;
      ReportError();
      break;
    }
  }
  return count;
}

int TBlockSocket::ReadExact(void* buffer, int length, int timeout) {
  ClearError();
  if (length <= 0) return 0;
  int budget = timeout;
  return ReadExactInto(static_cast<char*>(buffer), length, budget);
}

Text TBlockSocket::ReadExactText(int length, int timeout) {
  ClearError();
  Text text;
  if (length <= 0) return text;
  int budget = timeout;
  while (static_cast<int>(text.size()) < length) {
    const int want = std::min(length - static_cast<int>(text.size()), kExactTextStep);
    const size_t before = text.size();
    text.resize(before + static_cast<size_t>(want));
    const int got = ReadExactInto(text.data() + before, want, budget);
    text.resize(before + static_cast<size_t>(got));
    if (socket_error_ != 0) return Text();
  }
  return text;
}

void TBlockSocket::ReadCountToStream(TByteBuffer& stream, int timeout, int64_t count) {
  ClearError();
  if (count <= 0) return;
  const int chunk = send_max_chunk_;
  int64_t left = count;
  while (left > 0) {
    const int piece = static_cast<int>(std::min<int64_t>(left, chunk));
    int budget = timeout;  // each piece has its own time limit
    if (stream.Position() == stream.Size()) {
      // Appending: receive straight into the stream's memory; a failed piece is taken back.
      const int64_t at = stream.Position();
      stream.Extend(static_cast<size_t>(piece));
      int got = 0;
      try {
        got = ReadExactInto(stream.Memory() + at, piece, budget);
      } catch (...) {
        stream.SetSize(at);
        throw;
      }
      if (socket_error_ != 0 || got < piece) {
        stream.SetSize(at);
        return;
      }
      stream.SetPosition(at + piece);
    } else {
      Text bytes(static_cast<size_t>(piece), '\0');
      const int got = ReadExactInto(bytes.data(), piece, budget);
      if (socket_error_ != 0 || got < piece) return;
      stream.Write(bytes);
    }
    left -= piece;
  }
}

uint8_t TBlockSocket::ReadByte(int timeout) {
  ClearError();
  if (AheadSize() == 0) {
    Text packet = ReadAvailable(timeout);
    read_ahead_.swap(packet);
    read_ahead_pos_ = 0;
  }
  uint8_t value = 0;
  if (socket_error_ == 0 && AheadSize() > 0) {
    value = static_cast<uint8_t>(AheadData()[0]);
    ConsumeAhead(1);
  }
  ReportError();
  return value;
}

int32_t TBlockSocket::ReadInt32(int timeout) {
  const Text bytes = ReadExactText(4, timeout);
  if (socket_error_ != 0 || bytes.size() != 4) return 0;
  return static_cast<int32_t>(LittleEndian32(bytes));
}

Text TBlockSocket::ReadBlock(int timeout) {
  const int32_t length = ReadInt32(timeout);
  if (socket_error_ != 0) return Text();
  return ReadExactText(length, timeout);
}

void TBlockSocket::ReadAllToStream(TByteBuffer& stream, int timeout) {
  for (;;) {
    const Text piece = ReadAvailable(timeout);
    if (socket_error_ != 0) break;
    WriteTextToStream(stream, piece);
  }
}

void TBlockSocket::ReadSizedToStream(TByteBuffer& stream, int timeout) {
  const int32_t size = ReadInt32(timeout);
  if (socket_error_ == 0) ReadCountToStream(stream, timeout, size);
}

void TBlockSocket::ReadSizedToStreamBE(TByteBuffer& stream, int timeout) {
  const int32_t size = ReadInt32(timeout);
  if (socket_error_ == 0) {
    ReadCountToStream(stream, timeout,
                      static_cast<int32_t>(SwapBytes32(static_cast<uint32_t>(size))));
  }
}

// ---- Peeking, datagrams, draining ---------------------------------------------------------

int TBlockSocket::PeekSome(void* buffer, int length) {
  const int n = ReceiveBytes(handle_, buffer, length, MSG_PEEK);
  CheckResult(n);
  ReportError();
  return n;
}

uint8_t TBlockSocket::PeekOneByte(int timeout) {
  uint8_t value = 0;
  if (WaitReadable(timeout)) {
    if (PeekSome(&value, 1) != 1) value = 0;
  } else {
    socket_error_ = wait_stopped_ ? ErrStopped : ErrTimedOut;
  }
  ReportError();
  return value;
}

int TBlockSocket::ReadDatagram(void* buffer, int length) {
  if (CheckStop()) return 0;
  Throttle(length, max_recv_bandwidth_, next_read_tick_);
  // A failed receive must not wipe the peer that WriteDatagram answers to.
  TSocketAddress sender{};
  const int n = ReceiveFromAddress(handle_, buffer, length, 0, sender);
  CheckResult(n);
  if (n >= 0) peer_address_ = sender;
  ReportError();
  if (n >= 0) {
    bytes_read_ += n;
    NotifyStatus(SR_Read, IntToText(n));
    NotifyMonitor(false, buffer, n);
  }
  return n;
}

void TBlockSocket::DrainInput() {
  // A pending stop belongs to whatever the owner does next; draining neither waits for the
  // peer nor uses the stop up.
  if (stop_flag_.load()) {
    ClearError();
    return;
  }
  SleepMs(1);
  // A peer that keeps sending would keep the close here for ever.
  const uint32_t start = TickCount();
  int64_t drained = 0;
  try {
    while ((AheadSize() > 0 || PendingBytes() > 0) && drained < kDrainMaxBytes &&
           TickSpan(start, TickCount()) < kDrainMaxMs) {
      drained += static_cast<int64_t>(ReadAvailable(0).size());
      if (socket_error_ != 0) break;
    }
  } catch (const ENetSocketError&) {
    // Draining is best effort; the caller is closing anyway.
  }
  if (socket_error_ == ErrStopped) stop_flag_.store(true);  // asked for meanwhile: kept too
  ClearError();
}

}  // namespace tessaly
