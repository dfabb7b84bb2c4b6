#include "floodpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "loopback.h"

namespace tessaly {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPieceSize = 64 * 1024;

std::string PieceOf(const std::string& unit, uint64_t units) {
  std::string piece;
  piece.reserve(unit.size() * units);
  for (uint64_t i = 0; i < units; ++i) piece += unit;
  return piece;
}

uint64_t UnitsPerPiece(const std::string& unit) {
  return unit.empty() ? 0 : std::max<uint64_t>(1, kPieceSize / unit.size());
}

// The largest receive buffer that TCP may grow a socket's to on its own.
uint64_t MaxAutoReceiveBuffer() {
  std::ifstream file("/proc/sys/net/ipv4/tcp_rmem");
  uint64_t low = 0;
  uint64_t initial = 0;
  uint64_t high = 0;
  if (file >> low >> initial >> high) return high;
  return uint64_t{32} << 20;
}

}  // namespace

FloodPeer::Generator FloodPeer::Repeat(const std::string& unit) {
  const std::string piece = PieceOf(unit, UnitsPerPiece(unit));
  return [piece](uint64_t) { return piece; };
}

FloodPeer::Generator FloodPeer::RepeatTimes(const std::string& unit, uint64_t count) {
  const uint64_t per_piece = UnitsPerPiece(unit);
  const std::string piece = PieceOf(unit, per_piece);
  auto left = std::make_shared<uint64_t>(count);
  return [piece, per_piece, unit, left](uint64_t) {
    if (*left >= per_piece) {
      *left -= per_piece;
      return piece;
    }
    std::string last = PieceOf(unit, *left);
    *left = 0;
    return last;
  };
}

FloodPeer::FloodPeer(Options options) : options_(std::move(options)) {
  const bool ip6 = options_.host.find(':') != std::string::npos;
  listen_fd_ = ::socket(ip6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0) {
    setup_error_ = ErrnoText("socket/eventfd");
    return;
  }
  sockaddr_storage address;
  socklen_t length = LoopbackListenAddress(listen_fd_, ip6, address);
  // Set on the listening socket so that the accepted one starts with it: a send buffer set
  // after the connection is made may already have grown.
  if (options_.send_buffer > 0) {
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_SNDBUF, &options_.send_buffer,
                 sizeof(options_.send_buffer));
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listen_fd_, 4) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    setup_error_ = ErrnoText("bind/listen on " + options_.host);
    return;
  }
  port_ = ntohs(ip6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  thread_ = std::thread([this] { Run(); });
}

FloodPeer::~FloodPeer() {
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

uint64_t FloodPeer::Sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::string FloodPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool FloodPeer::WaitEnded(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return ended_; });
}

bool FloodPeer::ClientLeftMidStream() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return left_mid_stream_;
}

bool FloodPeer::CapReached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cap_reached_;
}

std::string FloodPeer::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

uint64_t FloodPeer::InFlightAllowance() const {
  // The kernel doubles the value asked for and adds its bookkeeping; a loopback segment may also
  // sit in the peer's queue while the client's window is still open.
  std::lock_guard<std::mutex> lock(mutex_);
  return MaxAutoReceiveBuffer() + static_cast<uint64_t>(send_buffer_actual_) + (uint64_t{1} << 20);
}

void FloodPeer::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty()) failure_ = why;
}

void FloodPeer::MarkEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

bool FloodPeer::Wait(int fd, short events, int timeout_ms, short* revents) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
  int ready = 0;
  do {
    ready = ::poll(fds, 2, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (fds[1].revents != 0) return false;
  *revents = ready > 0 ? fds[0].revents : 0;
  return true;
}

void FloodPeer::Drain(int fd, bool* gone) {
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer, static_cast<size_t>(n));
      changed_.notify_all();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    *gone = true;  // orderly close or reset
    return;
  }
}

void FloodPeer::Run() {
  pollfd accept_fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  int ready = 0;
  do {
    ready = ::poll(accept_fds, 2, options_.await_timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (accept_fds[1].revents != 0) return;
  if (ready <= 0) {
    Fail("no connection came");
    MarkEnded();
    return;
  }
  const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    Fail(ErrnoText("accept"));
    MarkEnded();
    return;
  }
  int send_buffer = 0;
  socklen_t size_length = sizeof(send_buffer);
  ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, &size_length);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    send_buffer_actual_ = send_buffer;
  }
  Stream(fd);
  ::close(fd);
  MarkEnded();
}

void FloodPeer::Stream(int fd) {
  bool gone = false;
  short revents = 0;
  // The request first: a flood that starts before it has arrived tests nothing of the answer.
  const Clock::time_point await_until =
      Clock::now() + std::chrono::milliseconds(options_.await_timeout_ms);
  while (!options_.await_text.empty()) {
    if (Received().find(options_.await_text) != std::string::npos) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(await_until - Clock::now()).count();
    if (left <= 0 || gone) {
      Fail(gone ? "the client left before its request was complete" : "no request came");
      return;
    }
    if (!Wait(fd, POLLIN, static_cast<int>(left), &revents)) return;
    Drain(fd, &gone);
  }

  std::string piece = options_.prefix;
  size_t offset = 0;
  bool streaming = true;
  while (streaming) {
    if (offset == piece.size()) {
      const uint64_t sent = Sent();
      if (sent >= options_.cap) {
        std::lock_guard<std::mutex> lock(mutex_);
        cap_reached_ = true;
        break;
      }
      piece = options_.generate ? options_.generate(sent) : std::string();
      if (piece.empty()) break;
      if (sent + piece.size() > options_.cap) piece.resize(options_.cap - sent);
      offset = 0;
    }
    const ssize_t n =
        ::send(fd, piece.data() + offset, piece.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      offset += static_cast<size_t>(n);
      std::lock_guard<std::mutex> lock(mutex_);
      sent_ += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(fd, POLLOUT | POLLIN, -1, &revents)) return;
      if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) Drain(fd, &gone);
      if (!gone) continue;
    }
    // A failed send or a close seen while waiting: the client has gone.
    std::lock_guard<std::mutex> lock(mutex_);
    left_mid_stream_ = true;
    streaming = false;
  }
  if (!streaming) return;

  switch (options_.after) {
    case AfterStream::Reset: {
      const linger abort_now{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof(abort_now));
      return;
    }
    case AfterStream::Close:
      ::shutdown(fd, SHUT_WR);
      break;
    case AfterStream::Hold:
      break;
  }
  // Silent now: only the client's close or reset, or the destructor, ends the connection.
  while (!gone) {
    if (!Wait(fd, POLLIN, -1, &revents)) return;
    Drain(fd, &gone);
  }
}

MemoryFigures ReadMemoryFigures(const std::string& status_path) {
  MemoryFigures figures;
  std::ifstream file(status_path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name;
    int64_t value = -1;
    fields >> name >> value;
    if (name == "VmRSS:") figures.rss_kib = value;
    if (name == "VmHWM:") figures.hwm_kib = value;
  }
  return figures;
}

bool ResetPeakMemory() {
  // Memory that the allocator kept from earlier work would take new allocations without
  // showing in the peak: hand it back first, so that what runs next must become resident anew.
  malloc_trim(0);
  std::ofstream file("/proc/self/clear_refs");
  file << "5";
  file.flush();
  return static_cast<bool>(file);
}

}  // namespace tessaly
