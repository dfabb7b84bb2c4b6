#include "support/proxyservers.h"

#include <utility>

namespace tessaly {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kTries = 3;

struct Config {
  std::string name;  // "" = the server takes no configuration file
  std::string contents;
};

}  // namespace

template <class ConfigFor, class ArgvFor>
void ProxyServer::Launch(const std::string& what, ConfigFor config_for, ArgvFor argv_for) {
  if (dir_.Path().empty()) {
    error_ = what + ": no scratch directory";
    return;
  }
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    port_ = PickFreePort(host_);
    if (port_ == 0) {
      error_ = what + ": no free port";
      return;
    }
    Config config = config_for(port_);
    std::string config_path;
    if (!config.name.empty()) {
      config_path = dir_.WriteFile(config.name, config.contents);
      if (config_path.empty()) {
        error_ = what + ": cannot write " + dir_.File(config.name);
        return;
      }
    }
    std::string why;
    child_ = ChildProcess::Start(argv_for(port_, config_path), dir_.File(what + ".log"), &why);
    if (!child_) {
      error_ = what + ": " + why;
      return;
    }
    if (child_->WaitUntilAccepting(host_, port_, kStartTimeoutMs, &why)) {
      error_.clear();
      return;
    }
    error_ = what + " (try " + std::to_string(attempt) + "): " + why;
    child_.reset();
  }
}

std::unique_ptr<ProxyServer> ProxyServer::StartMicrosocks(const std::string& user,
                                                          const std::string& password) {
  auto server = std::make_unique<ProxyServer>();
  server->Launch(
      "microsocks", [](int) { return Config{}; },
      [&](int port, const std::string&) {
        std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p",
                                         std::to_string(port)};
        if (!user.empty()) {
          argv.insert(argv.end(), {"-u", user, "-P", password});
        }
        return argv;
      });
  return server;
}

std::unique_ptr<ProxyServer> ProxyServer::StartDanted() {
  auto server = std::make_unique<ProxyServer>();
  const std::string pid_file = server->dir_.File("danted.pid");
  server->Launch(
      "danted",
      [](int port) {
        return Config{"danted.conf",
                      "logoutput: stderr\n"
                      "internal: 127.0.0.1 port = " +
                          std::to_string(port) +
                          "\n"
                          "external: 127.0.0.1\n"
                          "clientmethod: none\n"
                          "socksmethod: none\n"
                          "user.privileged: root\n"
                          "user.unprivileged: root\n"
                          "client pass {\n"
                          "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                          "}\n"
                          "socks pass {\n"
                          "  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                          "  command: connect bind bindreply\n"
                          "  protocol: tcp\n"
                          "}\n"};
      },
      [&](int, const std::string& config) {
        return std::vector<std::string>{"danted", "-f", config, "-p", pid_file};
      });
  return server;
}

std::unique_ptr<ProxyServer> ProxyServer::StartTinyproxy(const std::vector<int>& connect_ports,
                                                         const std::string& user,
                                                         const std::string& password) {
  auto server = std::make_unique<ProxyServer>();
  server->Launch(
      "tinyproxy",
      [&](int port) {
        std::string conf = "Port " + std::to_string(port) +
                           "\n"
                           "Listen 127.0.0.1\n"
                           "Timeout 30\n"
                           "MaxClients 20\n"
                           "LogLevel Info\n"
                           "Allow 127.0.0.1\n";
        for (int p : connect_ports) conf += "ConnectPort " + std::to_string(p) + "\n";
        if (!user.empty()) conf += "BasicAuth " + user + " " + password + "\n";
        return Config{"tinyproxy.conf", conf};
      },
      [](int, const std::string& config) {
        // -d keeps it in the foreground, logging to stderr.
        return std::vector<std::string>{"tinyproxy", "-d", "-c", config};
      });
  return server;
}

}  // namespace tessaly
