#include "watch/statusserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "capture/series/threadpriority.h"
#include "watch/statusassets.h"
#include "watch/statusreport.h"

namespace tessaly {
namespace {

// A slow or silent client holds a worker at most this long per read or write.
constexpr time_t kClientTimeoutSeconds = 2;
// A connection is a worker's while it is open: a browser holds a few for a page's pictures, and
// an idle one gives its worker back after a second.
constexpr size_t kWorkers = 16;
constexpr time_t kKeepAliveSeconds = 1;
// Accepted connections waiting for a worker; beyond this the listener waits.
constexpr size_t kQueued = 64;
// A picture larger than this is not one a page shows.
constexpr int64_t kLargestPicture = 64 << 20;

// A whole number of at most 9 digits, or fallback.
int64_t QueryNumber(const httplib::Request& request, const char* key, int64_t fallback) {
  if (!request.has_param(key)) return fallback;
  const Text value = request.get_param_value(key);
  if (value.empty() || value.size() > 9) return fallback;
  int64_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return fallback;
    number = number * 10 + (c - '0');
  }
  return number;
}

// The file the series recorded, read whole if it still is a regular file of a sane size;
// a link put in its place is not followed.
bool ReadPicture(const Text& path, Text& body, Text& tag) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  bool read_all = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestPicture;
  if (read_all) {
    body.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < body.size()) {
      const ssize_t n = read(fd, body.data() + done, body.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    body.resize(done);
    tag.assign(1, '"');
    tag += IntToText(static_cast<int64_t>(info.st_ino));
    tag += '-';
    tag += IntToText(static_cast<int64_t>(done));
    tag += '-';
    tag += IntToText(static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec);
    tag += '"';
  }
  close(fd);
  return read_all;
}

void Answer(httplib::Response& response, const Text& body, const char* type,
            const char* cache = "no-store") {
  response.set_header("Cache-Control", cache);
  response.set_content(body, type);
}

// Below the series' loop and the fetch jobs (one step down): a busy page waits, a tick does not.
void LowerPriority() {
  LowerCurrentThreadPriority();
  LowerCurrentThreadPriority();
}

}  // namespace

// httplib's own pool queues without a bound; this one makes the listener wait instead, and at
// the end drops what still waits (the process is ending; the kernel closes those sockets).
class TBoundedPool final : public httplib::TaskQueue {
 public:
  TBoundedPool() {
    for (size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> job) override {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kQueued || ending_; });
    if (ending_) return;
    jobs_.push_back(std::move(job));
    ready_.notify_one();
  }
  ~TBoundedPool() override { shutdown(); }
  void shutdown() override {
    End();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }
  // Wakes a listener that waits for room and the idle workers; what waits is dropped.
  void End() {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    jobs_.clear();
    ready_.notify_all();
    room_.notify_all();
  }

 private:
  void Work() {
    LowerPriority();
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty() || ending_; });
        if (ending_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool ending_ = false;
};

// The server deletes the queue it is given when it stops listening; the pool is the owner's.
class TPoolUse final : public httplib::TaskQueue {
 public:
  explicit TPoolUse(TBoundedPool& pool) : pool_(pool) {}
  void enqueue(std::function<void()> job) override { pool_.enqueue(std::move(job)); }
  void shutdown() override { pool_.shutdown(); }

 private:
  TBoundedPool& pool_;
};

bool ParseListenAddress(const Text& text, TListenAddress& address) {
  address = TListenAddress();
  const size_t colon = text.rfind(':');
  if (colon == Text::npos || colon + 1 >= text.size() || text.size() - colon - 1 > 5) return false;
  int port = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    port = port * 10 + (text[i] - '0');
  }
  if (port > 65535) return false;
  Text host = text.substr(0, colon);
  unsigned char bytes[16];
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.find('\0') != Text::npos || inet_pton(AF_INET6, host.c_str(), bytes) != 1)
      return false;
  } else if (host.find('\0') != Text::npos || inet_pton(AF_INET, host.c_str(), bytes) != 1) {
    return false;
  }
  address.Host = host;
  address.Port = port;
  return true;
}

Text ListenAddressText(const TListenAddress& address) {
  const bool v6 = address.Host.find(':') != Text::npos;
  return (v6 ? "[" + address.Host + "]" : address.Host) + ":" + IntToText(address.Port);
}

TStatusServer::TStatusServer(const TStatusBoard& board, int64_t health_grace)
    : board_(board),
      health_grace_(health_grace),
      started_(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                   .count()),
      pool_(std::make_unique<TBoundedPool>()),
      server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [this] { return new TPoolUse(*pool_); };
  server_->set_read_timeout(kClientTimeoutSeconds, 0);
  server_->set_write_timeout(kClientTimeoutSeconds, 0);
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  server_->set_keep_alive_max_count(100);
  server_->set_payload_max_length(1024);
  // cpp-httplib's own options add SO_REUSEPORT, which lets a second program bind the same port
  // and take half the requests; a port in use must be an error at start instead.
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  Route();
}

TStatusServer::~TStatusServer() {
  pool_->End();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool TStatusServer::Start(const TListenAddress& address, Text& error) {
  server_->set_address_family(address.Host.find(':') != Text::npos ? AF_INET6 : AF_INET);
  errno = 0;
  const bool bound = address.Port == 0 ? (port_ = server_->bind_to_any_port(address.Host)) > 0
                                       : server_->bind_to_port(address.Host, port_ = address.Port);
  if (!bound) {
    const int code = errno;
    error = "cannot listen on " + ListenAddressText(address) +
            (code != 0 ? Text(": ") + std::strerror(code) : Text());
    return false;
  }
  thread_ = std::thread([this] {
    LowerPriority();
    server_->listen_after_bind();
  });
  // A stop before the listener runs would be lost and its join would wait for ever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void TStatusServer::Route() {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    // Every answer: no sniffing a stored file into a page, no framing, nothing from elsewhere.
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    response.set_header("Referrer-Policy", "no-referrer");
    if (request.method == "GET" || request.method == "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET and HEAD\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty())
      response.set_content(IntToText(response.status) + "\n", "text/plain; charset=utf-8");
  });
  const auto asset = [&s](const char* path, const char* body, const char* type) {
    s.Get(path, [body, type](const httplib::Request&, httplib::Response& response) {
      Answer(response, body, type, "no-cache");
    });
  };
  asset("/", kStatusPageHtml, "text/html; charset=utf-8");
  asset("/status.css", kStatusPageCss, "text/css; charset=utf-8");
  asset("/status.js", kStatusPageJs, "text/javascript; charset=utf-8");
  asset("/favicon.svg", kStatusIconSvg, "image/svg+xml");
  asset("/favicon.ico", kStatusIconSvg, "image/svg+xml");

  s.Get("/cameras.json", [this](const httplib::Request& request, httplib::Response& response) {
    TCardsQuery query;
    query.Page = QueryNumber(request, "page", 0);
    query.PerPage = QueryNumber(request, "per", query.PerPage);
    if (request.has_param("state")) query.State = request.get_param_value("state");
    Answer(response, CamerasJson(board_.View(), query, std::time(nullptr)), "application/json");
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    Answer(response, MetricsText(board_.View(), OwnProcessFigures(started_)),
           "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/health", [this](const httplib::Request&, httplib::Response& response) {
    int64_t failing = 0;
    const Text cameras = UnhealthyJson(board_.View(), std::time(nullptr), health_grace_, failing);
    response.status = failing > 0 ? 503 : 200;
    Answer(response,
           Text("{\"status\":\"") + (failing > 0 ? "failing" : "ok") + "\",\"grace_seconds\":" +
               IntToText(health_grace_) + ",\"failing\":" + cameras + "}\n",
           "application/json");
  });
  // The name is looked up among the cameras; the file is the one the series recorded for it.
  s.Get(R"(/cameras/([^/]+)/latest\.jpg)",
        [this](const httplib::Request& request, httplib::Response& response) {
          TCameraCard card;
          Text body, tag;
          if (!board_.Card(request.matches[1].str(), card) || card.LastPath.empty() ||
              !ReadPicture(card.LastPath, body, tag)) {
            response.status = 404;
            return;
          }
          response.set_header("ETag", tag);
          if (request.get_header_value("If-None-Match") == tag) {
            response.status = 304;
            response.set_header("Cache-Control", "no-cache");
            return;
          }
          Answer(response, body, "image/jpeg", "no-cache");
        });
}

}  // namespace tessaly
