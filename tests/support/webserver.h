// A plain-HTTP nginx started by a test: serves a scratch directory on 127.0.0.1 and [::1] on a
// free port, and is killed and reaped with this object.
#pragma once

#include <memory>
#include <string>

#include "support/childprocess.h"

namespace tessaly {

class WebServer {
 public:
  // Null, with the reason in *error, when nginx cannot be started.
  static std::unique_ptr<WebServer> Start(std::string* error);

  // The served directory; files written here are served at once.
  std::string Root() const { return dir_.File("www"); }
  // Writes a file under the served directory; answers its path.
  std::string Put(const std::string& name, const std::string& content) const {
    return dir_.WriteFile("www/" + name, content);
  }
  int Port() const { return port_; }
  // "http://127.0.0.1:<port>/" followed by path (which has no leading "/").
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }

 private:
  WebServer() = default;
  ScratchDir dir_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace tessaly
