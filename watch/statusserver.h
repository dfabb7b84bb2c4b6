// The cameras service's HTTP endpoint: the status page, /cameras.json, /metrics, /health and
// each camera's last picture, served from the board on threads of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "base/text.h"
#include "watch/statusboard.h"

namespace httplib {
class Server;
}

namespace tessaly {

// Where the endpoint listens: an IPv4 address or a bracketed IPv6 one, and a port (0: one the
// system picks).
struct TListenAddress {
  Text Host;  // without brackets
  int Port = 0;
};
// "127.0.0.1:8090", "[::1]:8090", "0.0.0.0:8090", "[::]:8090"; false for anything else (a name,
// a port beyond 65535, a missing port).
bool ParseListenAddress(const Text& text, TListenAddress& address);
// "127.0.0.1:8090", "[::1]:8090".
Text ListenAddressText(const TListenAddress& address);

class TBoundedPool;

// Serves board on its own threads: a few workers, a bounded queue of accepted connections
// (beyond it the listener waits, and the kernel's backlog holds or refuses the rest), a read
// and write time-out that cuts slow clients off, small request limits. Only GET and HEAD.
class TStatusServer {
 public:
  // health_grace: seconds a camera may fail before /health answers 503.
  TStatusServer(const TStatusBoard& board, int64_t health_grace);
  // Stops and joins: at most the time-out a client in the middle of an answer is given.
  ~TStatusServer();
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Binds address and begins serving; false with error ("cannot listen on 127.0.0.1:8090:
  // Address already in use") when it cannot bind.
  bool Start(const TListenAddress& address, Text& error);
  // The port bound by Start.
  int Port() const { return port_; }

 private:
  void Route();

  const TStatusBoard& board_;
  const int64_t health_grace_;
  const double started_;
  std::unique_ptr<TBoundedPool> pool_;  // before server_, which uses it
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace tessaly
