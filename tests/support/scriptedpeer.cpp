#include "scriptedpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "loopback.h"

namespace tessaly {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PeerStep PeerStep::Send(std::string bytes) {
  PeerStep step;
  step.kind = Kind::Send;
  step.bytes = std::move(bytes);
  return step;
}

PeerStep PeerStep::Pause(int ms) {
  PeerStep step;
  step.kind = Kind::Pause;
  step.ms = ms;
  return step;
}

PeerStep PeerStep::AwaitBytes(size_t total) {
  PeerStep step;
  step.kind = Kind::AwaitBytes;
  step.count = total;
  return step;
}

PeerStep PeerStep::AwaitText(std::string text) {
  PeerStep step;
  step.kind = Kind::AwaitText;
  step.bytes = std::move(text);
  return step;
}

PeerStep PeerStep::AwaitEof() {
  PeerStep step;
  step.kind = Kind::AwaitEof;
  return step;
}

PeerStep PeerStep::Close() {
  PeerStep step;
  step.kind = Kind::Close;
  return step;
}

PeerStep PeerStep::Reset() {
  PeerStep step;
  step.kind = Kind::Reset;
  return step;
}

PeerStep PeerStep::ShutdownWrite() {
  PeerStep step;
  step.kind = Kind::ShutdownWrite;
  return step;
}

ScriptedPeer::ScriptedPeer(PeerScript script) : ScriptedPeer(std::move(script), Options()) {}

ScriptedPeer::ScriptedPeer(PeerScript script, Options options)
    : ScriptedPeer(std::vector<PeerScript>{std::move(script)}, std::move(options)) {}

ScriptedPeer::ScriptedPeer(std::vector<PeerScript> scripts, Options options)
    : options_(std::move(options)), scripts_(std::move(scripts)) {
  const bool ip6 = options_.host.find(':') != std::string::npos;
  listen_fd_ = ::socket(ip6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0) {
    setup_error_ = ErrnoText("socket/eventfd");
    return;
  }
  sockaddr_storage address;
  socklen_t length = LoopbackListenAddress(listen_fd_, ip6, address);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listen_fd_, options_.mode == Mode::FullQueue ? 0 : 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    setup_error_ = ErrnoText("bind/listen on " + options_.host);
    return;
  }
  if (options_.mode == Mode::FullQueue) {
    // The kernel queues one connection for a backlog of 0 and ignores further requests.
    filler_fd_ = ::socket(ip6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(filler_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      setup_error_ = ErrnoText("filling the queue of " + options_.host);
      return;
    }
  }
  port_ = ntohs(ip6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  // Listening already: a client may connect as soon as the constructor returns.
  thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &one, sizeof(one));
  }
  if (thread_.joinable()) thread_.join();
  if (filler_fd_ >= 0) ::close(filler_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

std::string ScriptedPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string all;
  for (const std::string& part : received_) all += part;
  return all;
}

std::string ScriptedPeer::Received(size_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection < received_.size() ? received_[connection] : std::string();
}

size_t ScriptedPeer::Accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

bool ScriptedPeer::WaitReceived(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return total_received_ >= count; });
}

bool ScriptedPeer::WaitFinished(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return finished_; });
}

std::string ScriptedPeer::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

void ScriptedPeer::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty()) failure_ = why;
}

void ScriptedPeer::Run() {
  auto finish = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  };
  if (options_.mode != Mode::Script) {
    finish();
    pollfd wake{wake_fd_, POLLIN, 0};
    while (::poll(&wake, 1, -1) < 0 && errno == EINTR) {
    }
    return;
  }
  for (size_t index = 0; index < scripts_.size(); ++index) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        --index;
        continue;
      }
      Fail(ErrnoText("poll"));
      break;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      Fail(ErrnoText("accept"));
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.emplace_back();
      changed_.notify_all();
    }
    const bool go_on = Play(fd, index, scripts_[index]);
    if (!go_on) return;
  }
  finish();
}

bool ScriptedPeer::Pump(int fd, size_t index, int timeout_ms, bool want_write, bool* writable,
                        bool* eof) {
  pollfd fds[2] = {{fd, 0, 0}, {wake_fd_, POLLIN, 0}};
  if (!*eof) fds[0].events |= POLLIN;
  if (want_write) fds[0].events |= POLLOUT;
  if (fds[0].events == 0) fds[0].fd = -1;  // nothing to watch on the connection: just wait
  const int ready = ::poll(fds, 2, timeout_ms);
  if (ready < 0) return errno == EINTR;
  if (fds[1].revents != 0) return false;
  if (want_write && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) *writable = true;
  if (!*eof && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_[index].append(buffer, static_cast<size_t>(n));
        total_received_ += static_cast<size_t>(n);
        changed_.notify_all();
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      *eof = true;  // orderly close or reset by the client
      break;
    }
  }
  return true;
}

bool ScriptedPeer::Play(int fd, size_t index, const PeerScript& script) {
  bool eof = false;
  bool open = true;
  size_t text_from = 0;  // AwaitText searches from here
  bool writable = false;
  auto received_size = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_[index].size();
  };
  auto find_text = [&](const std::string& text, size_t* end) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t at = received_[index].find(text, text_from);
    if (at == std::string::npos) return false;
    *end = at + text.size();
    return true;
  };
  auto step_failed = [&](const std::string& why) {
    Fail("connection " + std::to_string(index) + ": " + why);
    ::close(fd);
    open = false;
  };

  for (const PeerStep& step : script) {
    if (!open) break;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(options_.await_timeout_ms);
    switch (step.kind) {
      case PeerStep::Kind::Send: {
        size_t offset = 0;
        while (open && offset < step.bytes.size()) {
          const ssize_t n =
              ::send(fd, step.bytes.data() + offset, step.bytes.size() - offset, MSG_NOSIGNAL);
          if (n > 0) {
            offset += static_cast<size_t>(n);
          } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            writable = false;
            if (!Pump(fd, index, -1, true, &writable, &eof)) {
              ::close(fd);
              return false;
            }
          } else {
            step_failed(ErrnoText("send"));
          }
        }
        break;
      }
      case PeerStep::Kind::Pause: {
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(step.ms);
        while (Clock::now() < until) {
          if (!Pump(fd, index, MillisecondsLeft(until), false, &writable, &eof)) {
            ::close(fd);
            return false;
          }
        }
        break;
      }
      case PeerStep::Kind::AwaitBytes:
      case PeerStep::Kind::AwaitText:
      case PeerStep::Kind::AwaitEof: {
        for (;;) {
          size_t end = 0;
          if (step.kind == PeerStep::Kind::AwaitBytes && received_size() >= step.count) break;
          if (step.kind == PeerStep::Kind::AwaitText && find_text(step.bytes, &end)) {
            text_from = end;
            break;
          }
          if (step.kind == PeerStep::Kind::AwaitEof && eof) break;
          if (eof && step.kind != PeerStep::Kind::AwaitEof) {
            step_failed("the client closed while the peer was waiting");
            break;
          }
          const int left = MillisecondsLeft(deadline);
          if (left == 0) {
            step_failed("an await step ran out of time");
            break;
          }
          if (!Pump(fd, index, left, false, &writable, &eof)) {
            ::close(fd);
            return false;
          }
        }
        break;
      }
      case PeerStep::Kind::Close:
        // Unread input would turn the close into a reset; take it first.
        Pump(fd, index, 0, false, &writable, &eof);
        ::close(fd);
        open = false;
        break;
      case PeerStep::Kind::Reset: {
        const linger abort_now{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof(abort_now));
        ::close(fd);
        open = false;
        break;
      }
      case PeerStep::Kind::ShutdownWrite:
        ::shutdown(fd, SHUT_WR);
        break;
    }
  }
  if (!open) return true;
  if (index + 1 == scripts_.size()) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }
  // The script is over but the connection stays: keep recording until the client closes.
  while (!eof) {
    if (!Pump(fd, index, -1, false, &writable, &eof)) {
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

}  // namespace tessaly
