// The connection settings shared by the network clients: where the next connection goes, the
// local interface it leaves from, the receive time limit and fallback credentials.
#pragma once

#include <cstdint>

#include "base/text.h"

namespace tessaly {

class TNetClient {
 public:
  TNetClient() = default;
  virtual ~TNetClient() = default;
  TNetClient(const TNetClient&) = delete;
  TNetClient& operator=(const TNetClient&) = delete;

  // Host and port text of the next connection; each transaction overwrites them.
  const Text& TargetHost() const { return target_host_; }
  void SetTargetHost(const Text& value) { target_host_ = value; }
  const Text& TargetPort() const { return target_port_; }
  void SetTargetPort(const Text& value) { target_port_ = value; }
  // Local address the socket is bound to before connecting.
  const Text& IPInterface() const { return ip_interface_; }
  void SetIPInterface(const Text& value) { ip_interface_ = value; }
  // Milliseconds allowed for every wait inside a receive; -1 means no limit.
  int32_t Timeout() const { return timeout_; }
  void SetTimeout(int32_t value) { timeout_ = value; }
  // Basic-authorisation credentials used when the address carries no user.
  const Text& UserName() const { return user_name_; }
  void SetUserName(const Text& value) { user_name_ = value; }
  const Text& Password() const { return password_; }
  void SetPassword(const Text& value) { password_ = value; }

 private:
  Text target_host_ = "127.0.0.1";
  Text target_port_ = "0";
  Text ip_interface_ = "0.0.0.0";
  int32_t timeout_ = 5000;
  Text user_name_;
  Text password_;
};

}  // namespace tessaly
