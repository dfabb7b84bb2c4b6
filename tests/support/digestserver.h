// A plain-HTTP lighttpd started by a test, with Digest authentication: "md5/" and "sha256/"
// under its scratch directory ask for the user "cam" (password kDigestPassword) in the realm
// "Camera" with that algorithm; everything else is open. It listens on 127.0.0.1 on a free
// port and is killed and reaped with this object.
#pragma once

#include <memory>
#include <string>

#include "support/childprocess.h"

namespace tessaly {

inline constexpr char kDigestUser[] = "cam";
inline constexpr char kDigestPassword[] = "p@ss:w/rd";

class DigestServer {
 public:
  // Null, with the reason in *error, when lighttpd cannot be started.
  static std::unique_ptr<DigestServer> Start(std::string* error);

  // Writes a file under the served directory ("md5/x.jpg" is protected); answers its path.
  std::string Put(const std::string& name, const std::string& content) const {
    return dir_.WriteFile("www/" + name, content);
  }
  int Port() const { return port_; }
  // "http://" + userinfo + "127.0.0.1:<port>/" + path; userinfo is written as given.
  std::string Url(const std::string& path, const std::string& userinfo = "") const {
    return "http://" + userinfo + "127.0.0.1:" + std::to_string(port_) + "/" + path;
  }

 private:
  DigestServer() = default;
  ScratchDir dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace tessaly
