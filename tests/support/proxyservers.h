// Real proxy servers as test peers, each run on 127.0.0.1 on a free port with a configuration
// written into a scratch directory, and killed and reaped when the object goes.
//
//   auto socks = ProxyServer::StartMicrosocks("", "");
//   ASSERT_TRUE(socks->Ok()) << socks->Error();   // never skip: a missing server is a failure
//   sock.SetSocksIP(socks->Host()); sock.SetSocksPort(socks->PortText());
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/childprocess.h"

namespace tessaly {

class ProxyServer {
 public:
  // SOCKS5 only; with a user name it insists on the user/password method.
  static std::unique_ptr<ProxyServer> StartMicrosocks(const std::string& user,
                                                      const std::string& password);
  // SOCKS4, SOCKS4a and SOCKS5 without authentication; connect, bind and the bind reply are
  // allowed for clients on 127.0.0.0/8. Runs as root (the tests do).
  static std::unique_ptr<ProxyServer> StartDanted();
  // HTTP proxy whose CONNECT reaches only the given ports; with a user name it demands Basic
  // proxy authorisation.
  static std::unique_ptr<ProxyServer> StartTinyproxy(const std::vector<int>& connect_ports,
                                                     const std::string& user,
                                                     const std::string& password);

  // True once the server accepts connections; otherwise Error() says why (with its log).
  bool Ok() const { return error_.empty() && child_ != nullptr; }
  const std::string& Error() const { return error_; }
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // What the server has logged so far (for assertion messages).
  std::string Log() const { return child_ ? child_->Log() : std::string(); }

 private:
  // Writes the configuration for a port (config_for(port) gives name and contents, "" name for
  // none), starts argv_for(port, config path) and waits until it accepts; a few tries with
  // fresh ports in case another process took the port in between.
  template <class ConfigFor, class ArgvFor>
  void Launch(const std::string& what, ConfigFor config_for, ArgvFor argv_for);

  ScratchDir dir_;
  std::unique_ptr<ChildProcess> child_;
  std::string host_ = "127.0.0.1";
  int port_ = 0;
  std::string error_;
};

}  // namespace tessaly
