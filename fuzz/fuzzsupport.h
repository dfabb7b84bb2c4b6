// Shared pieces of the fuzz targets: failing with a message, taking bytes from the input, and
// a scripted peer that feeds a connection in chosen pieces.
//
// Every target is built twice: with libFuzzer (clang) for fuzzing, and with a plain main that
// replays a corpus directory (replaymain.cpp), so nothing here may depend on libFuzzer.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"

namespace tessaly::fuzz {

// Printable form of a byte string for failure messages.
inline Text Escaped(const Text& text, size_t limit = 200) {
  Text out;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 32 && c < 127 && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (text.size() > limit) out += "...";
  return "\"" + out + "\"";
}

// An invariant broke: the message goes to stderr and the process aborts, which libFuzzer
// records as a crash and the replay run as a failed test.
[[noreturn]] inline void Fail(const char* target, const Text& message) {
  std::fprintf(stderr, "\n*** fuzz invariant broken in %s: %s\n", target, message.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, message)                                                  \
  do {                                                                             \
    if (!(cond)) ::tessaly::fuzz::Fail(kTarget, Text(#cond) + " -- " + (message)); \
  } while (0)

// Reads the input front to back; past the end every byte is 0 and every text empty.
class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  size_t Left() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t Quad() { return static_cast<uint32_t>(Word()) << 16 | Word(); }
  Text Take(size_t count) {
    count = std::min(count, Left());
    Text out(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return out;
  }
  Text Rest() { return Take(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Reads a piece plan from the input: one byte n (0..7 used), then n length bytes (1..256 each).
// The payload is cut into pieces of those lengths, in turn, at most max_pieces of them; the last
// piece takes whatever is left. n = 0 sends the payload whole.
inline std::vector<int> ReadPieceLengths(TInput& input) {
  const int count = input.Byte() % 8;
  std::vector<int> lengths;
  for (int i = 0; i < count; ++i) lengths.push_back(input.Byte() + 1);
  return lengths;
}

inline std::vector<Text> SplitIntoPieces(const Text& payload, const std::vector<int>& lengths,
                                         size_t max_pieces = 64) {
  std::vector<Text> pieces;
  size_t at = 0;
  size_t turn = 0;
  while (at < payload.size()) {
    size_t length = payload.size() - at;
    if (!lengths.empty() && pieces.size() + 1 < max_pieces) {
      length = std::min(length, static_cast<size_t>(lengths[turn++ % lengths.size()]));
    }
    pieces.push_back(payload.substr(at, length));
    at += length;
  }
  return pieces;
}

// Runs once per process: a peer that has gone must show as a failed send, not kill us.
inline void IgnoreSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

// The far end of a connection, on a thread of its own. It optionally accepts the connection
// and reads a request up to its blank line first, then writes the pieces one by one, each only
// once the reader has received every byte before it (so each piece arrives as a packet of its
// own), then shuts down its sending side, and closes once the reader is done.
//
// The reader reports what it received through Received (from the socket's monitor hook) and
// calls ReaderDone when it has finished; nothing here waits on a clock, and ReaderDone ends
// every wait.
class TPacedPeer {
 public:
  // TESSALY_FUZZ_TRACE=1 in the environment logs every piece sent and every receive.
  static bool Tracing() {
    static const bool on = std::getenv("TESSALY_FUZZ_TRACE") != nullptr;
    return on;
  }
  // fd: a connected socket, owned from here on; or -1 with a listening socket to accept from.
  TPacedPeer(int fd, int listener, std::vector<Text> pieces, bool read_request)
      : fd_(fd), listener_(listener), pieces_(std::move(pieces)), read_request_(read_request) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      std::perror("pipe2");
      std::abort();
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~TPacedPeer() {
    ReaderDone();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    close(wake_[0]);
    close(wake_[1]);
  }
  TPacedPeer(const TPacedPeer&) = delete;
  TPacedPeer& operator=(const TPacedPeer&) = delete;

  // Bytes the reader took from its socket.
  void Received(int count) {
    if (Tracing()) std::fprintf(stderr, "[peer] reader received %d bytes\n", count);
    if (count <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += count;
    changed_.notify_all();
  }
  void ReaderDone() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (done_) return;
      done_ = true;
      changed_.notify_all();
    }
    const char byte = 1;
    if (write(wake_[1], &byte, 1) < 0) {
      // The pipe is non-blocking and read by nobody but Run; a full pipe still wakes it.
    }
  }
  // The request bytes read before the answer (when read_request was set).
  Text Request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }

 private:
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  // Waits until fd is ready for `events` or the reader is done; false for the latter.
  bool WaitFor(int fd, short events) {
    pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
      if (Done()) return false;
      const int n = poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (fds[1].revents != 0) return false;
      if (fds[0].revents != 0) return true;
    }
  }
  bool AcceptOne() {
    while (WaitFor(listener_, POLLIN)) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        fd_ = fd;
        return true;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
    return false;
  }
  bool ReadRequest() {
    Text request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == Text::npos) {
      if (!WaitFor(fd_, POLLIN)) return false;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        return false;
      }
      request.append(buffer, static_cast<size_t>(n));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    request_ = request;
    return true;
  }
  bool SendAll(const Text& piece) {
    if (Tracing()) std::fprintf(stderr, "[peer] sending %s\n", Escaped(piece).c_str());
    size_t at = 0;
    while (at < piece.size()) {
      if (!WaitFor(fd_, POLLOUT)) return false;
      const ssize_t n = send(fd_, piece.data() + at, piece.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        return false;  // the reader has closed: the rest cannot arrive
      }
      at += static_cast<size_t>(n);
    }
    return true;
  }
  void Run() {
    if (fd_ < 0 && !AcceptOne()) return;
    if (read_request_ && !ReadRequest()) return;
    int64_t sent = 0;
    for (const Text& piece : pieces_) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return done_ || received_ >= sent; });
        if (done_) break;
      }
      if (!SendAll(piece)) break;
      sent += static_cast<int64_t>(piece.size());
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return done_ || received_ >= sent; });
    }
    shutdown(fd_, SHUT_WR);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
  }

  int fd_;
  int listener_;
  std::vector<Text> pieces_;
  bool read_request_;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t received_ = 0;
  bool done_ = false;
  Text request_;
  std::thread thread_;
};

}  // namespace tessaly::fuzz
