#include "support/webserver.h"

#include <sys/stat.h>
#include <unistd.h>

namespace tessaly {

std::unique_ptr<WebServer> WebServer::Start(std::string* error) {
  std::unique_ptr<WebServer> server(new WebServer());
  const ScratchDir& dir = server->dir_;
  if (dir.Path().empty() || mkdir(dir.File("www").c_str(), 0755) != 0) {
    *error = "no scratch directory for nginx";
    return nullptr;
  }
  server->port_ = PickFreePort("127.0.0.1");
  const std::string port = std::to_string(server->port_);
  // Running as root, nginx would otherwise switch to a user that cannot read the scratch dir.
  dir.WriteFile("nginx.conf", std::string(geteuid() == 0 ? "user root;\n" : "") +
                                  "worker_processes 1;\nerror_log stderr;\n"
                                  "events { worker_connections 64; }\n"
                                  "http {\n  access_log off;\n  server {\n"
                                  "    listen 127.0.0.1:" +
                                  port +
                                  ";\n"
                                  "    listen [::1]:" +
                                  port +
                                  ";\n"
                                  "    root " +
                                  dir.File("www") + ";\n  }\n}\n");
  server->process_ = ChildProcess::Start({"nginx", "-p", dir.Path(), "-c", dir.File("nginx.conf"),
                                          "-g", "daemon off; pid " + dir.File("nginx.pid") + ";"},
                                         dir.File("nginx.log"), error);
  if (!server->process_ ||
      !server->process_->WaitUntilAccepting("127.0.0.1", server->port_, 15000, error)) {
    return nullptr;
  }
  return server;
}

}  // namespace tessaly
