// TBlockSocket: sending in bounded pieces.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>

#include "base/clock.h"
#include "base/codec.h"
#include "net/blocksocket.h"

namespace tessaly {

namespace {

Text LittleEndianBytes(uint32_t value) {
  Text bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

}  // namespace

int TBlockSocket::WriteBuffer(const void* buffer, int length) {
  ClearError();
  if (CheckStop()) return 0;
  NotifyMonitor(true, buffer, length);
  const char* bytes = static_cast<const char*>(buffer);
  int sent = 0;
  uint32_t progress = TickCount();
  while (sent < length) {
    const int piece = std::min(length - sent, send_max_chunk_);
    if (piece <= 0) break;
    Throttle(piece, max_send_bandwidth_, next_write_tick_);
    // Straight from the caller's memory; the send never raises a signal for a gone peer. It
    // never blocks either: a peer that stops reading would hold a blocking send for ever.
    int n = SendBytes(handle_, bytes + sent, piece, MSG_DONTWAIT);
    while (CheckResult(n) == WSAEWOULDBLOCK) {
      // No room: wait for it, the limit counting from the last progress.
      int left = -1;
      if (nonblock_send_timeout_ != -1) {
        left = std::max(nonblock_send_timeout_ - std::max(TickSpan(progress, TickCount()), 0), 0);
      }
      if (!WaitWritableSliced(left)) break;
      n = SendBytes(handle_, bytes + sent, piece, MSG_DONTWAIT);
    }
    if (socket_error_ != 0) break;
    progress = TickCount();
    // A platform send may take fewer bytes than offered; the loop goes on with the rest.
    sent += n;
    bytes_written_ += n;
    NotifyStatus(SR_Written, IntToText(n));
  }
  ReportError();
  return sent;
}

int TBlockSocket::WriteByte(uint8_t value) {
  return WriteBuffer(&value, 1);
}

int TBlockSocket::WriteText(const Text& text) {
  return WriteBuffer(text.data(), static_cast<int>(text.size()));
}

int TBlockSocket::WriteInt32(int32_t value) {
  const Text bytes = LittleEndianBytes(static_cast<uint32_t>(value));
  return WriteBuffer(bytes.data(), 4);
}

void TBlockSocket::WriteBlock(const Text& text) {
  WriteText(LittleEndianBytes(static_cast<uint32_t>(text.size())) + text);
}

void TBlockSocket::WriteFromStream(TByteBuffer& stream, bool with_size, bool big_endian) {
  ClearError();
  const int64_t size = std::max<int64_t>(stream.Size() - stream.Position(), 0);
  const uint32_t size32 = static_cast<uint32_t>(size);
  const Text prefix = big_endian ? LongToBytes(size32) : LittleEndianBytes(size32);
  if (size == 0) {
    // An empty sized block is still a block: without its prefix the reader would wait for one.
    if (with_size) WriteText(prefix);
    return;
  }
  int64_t done = 0;
  bool first = true;
  while (done < size) {
    const Text piece = ReadTextFromStream(stream, std::min<int64_t>(size - done, send_max_chunk_));
    if (piece.empty()) break;
    if (with_size && first) {
      WriteText(prefix + piece);
      first = false;
    } else {
      WriteText(piece);
    }
    if (socket_error_ != 0) break;
    done += static_cast<int64_t>(piece.size());
  }
}

void TBlockSocket::WriteStreamRaw(TByteBuffer& stream) {
  WriteFromStream(stream, false, false);
}

void TBlockSocket::WriteStreamSized(TByteBuffer& stream) {
  WriteFromStream(stream, true, false);
}

void TBlockSocket::WriteStreamSizedBE(TByteBuffer& stream) {
  WriteFromStream(stream, true, true);
}

int TBlockSocket::WriteDatagram(const void* buffer, int length) {
  ClearError();
  if (CheckStop()) return 0;
  NotifyMonitor(true, buffer, length);
  Throttle(length, max_send_bandwidth_, next_write_tick_);
  const int n = SendToAddress(handle_, buffer, length, 0, peer_address_);
  CheckResult(n);
  ReportError();
  if (n >= 0) {
    bytes_written_ += n;
    NotifyStatus(SR_Written, IntToText(n));
  }
  return n;
}

}  // namespace tessaly
