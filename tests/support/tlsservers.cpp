#include "support/tlsservers.h"

#include <filesystem>
#include <vector>

namespace tessaly {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kTries = 3;

const TestCert kAllCerts[] = {TestCert::Good, TestCert::SelfSigned, TestCert::OtherHost,
                              TestCert::Expired, TestCert::NameOnly};

// The echo module comes with the light build of nginx; "/chunks/<n>" uses it.
const char kEchoModule[] = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

std::string Listen(int port, bool ssl, bool ipv6) {
  const std::string tail = std::to_string(port) + (ssl ? " ssl" : "") + ";\n";
  std::string text = "    listen 127.0.0.1:" + tail;
  if (ipv6) text += "    listen [::1]:" + tail;
  return text;
}

const char kBareCloseScript[] = R"(import os, socket, ssl, sys
cert, key, port, body_path = sys.argv[1:5]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
body = open(body_path, "rb").read()
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", int(port)))
listener.listen(8)
while True:
    connection, _ = listener.accept()
    try:
        tls = context.wrap_socket(connection, server_side=True)
        request = b""
        while b"\r\n\r\n" not in request:
            piece = tls.recv(4096)
            if not piece:
                break
            request += piece
        tls.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + body)
        # Closing the socket under the TLS layer sends no closing alert.
        os.close(tls.detach())
    except Exception:
        connection.close()
)";

}  // namespace

std::string PatternBytes(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  uint32_t state = 2463534242u ^ seed;
  for (size_t i = 0; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<char>(state & 0xFF);
  }
  return bytes;
}

std::unique_ptr<TlsNginx> TlsNginx::Start(const TestPki& pki) {
  auto server = std::make_unique<TlsNginx>();
  if (!pki.Ok()) {
    server->error_ = "no certificates: " + pki.Error();
  } else if (server->dir_.Path().empty()) {
    server->error_ = "nginx: no scratch directory";
  } else {
    server->Launch(pki);
  }
  return server;
}

bool TlsNginx::Launch(const TestPki& pki) {
  const std::string root = dir_.File("www");
  std::error_code ignored;
  std::filesystem::create_directory(root, ignored);
  ipv6_ = PickFreePort("::1") != 0;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    std::string servers;
    for (TestCert cert : kAllCerts) {
      ports_[cert] = PickFreePort();
      servers += "  server {\n" + Listen(ports_[cert], true, ipv6_) + "    ssl_certificate " +
                 pki.CertFile(cert) + ";\n" + "    ssl_certificate_key " + pki.KeyFile(cert) +
                 ";\n" + "    location ~ ^/chunks/(\\d+)$ {\n" +
                 "      default_type text/plain;\n" +
                 "      echo_duplicate $1 \"chunk line\\r\\n\";\n" + "      echo_flush;\n" +
                 "      echo_duplicate $1 \"second half\\r\\n\";\n" + "    }\n" +
                 "    location = /mirror {\n" +
                 "      client_max_body_size 64m;\n      client_body_buffer_size 64m;\n" +
                 "      echo_read_request_body;\n      echo_request_body;\n" + "    }\n  }\n";
    }
    plain_port_ = PickFreePort();
    servers += "  server {\n" + Listen(plain_port_, false, ipv6_) + "  }\n";
    const std::string d = dir_.Path();
    const std::string config =
        std::string("load_module ") + kEchoModule + ";\n" +
        "daemon off;\nmaster_process off;\nworker_processes 1;\n" + "pid " + d +
        "/nginx.pid;\nerror_log " + d + "/error.log warn;\n" +
        "events { worker_connections 64; }\n" + "http {\n  access_log off;\n" +
        "  default_type application/octet-stream;\n  root " + root + ";\n" +
        "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n" +
        "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n" +
        "  scgi_temp_path " + d + "/scgi;\n" + servers + "}\n";
    const std::string config_path = dir_.WriteFile("nginx.conf", config);
    std::string why;
    child_ = ChildProcess::Start({"nginx", "-p", d, "-c", config_path, "-e", d + "/error.log"},
                                 dir_.File("nginx.log"), &why);
    if (!child_) {
      error_ = "nginx: " + why;
      return false;
    }
    bool up = true;
    for (TestCert cert : kAllCerts) {
      up = up && child_->WaitUntilAccepting("127.0.0.1", ports_[cert], kStartTimeoutMs, &why);
    }
    up = up && child_->WaitUntilAccepting("127.0.0.1", plain_port_, kStartTimeoutMs, &why);
    if (up) {
      error_.clear();
      return true;
    }
    error_ = "nginx (try " + std::to_string(attempt) + "): " + why;
    child_.reset();
  }
  return false;
}

std::string TlsNginx::Url(TestCert cert, const std::string& path, const std::string& host) const {
  return "https://" + host + ":" + std::to_string(Port(cert)) + path;
}

std::string TlsNginx::WriteFile(const std::string& name, const std::string& contents) const {
  return dir_.WriteFile("www/" + name, contents);
}

std::unique_ptr<TlsSServer> TlsSServer::Start(const TestPki& pki, TestCert cert) {
  auto server = std::make_unique<TlsSServer>();
  if (!pki.Ok()) {
    server->error_ = "no certificates: " + pki.Error();
    return server;
  }
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    server->port_ = PickFreePort();
    // s_server takes the files it serves from its working directory.
    const std::string command = "cd '" + server->dir_.Path() +
                                "' && exec openssl s_server -quiet -WWW -accept 127.0.0.1:" +
                                std::to_string(server->port_) + " -cert '" + pki.CertFile(cert) +
                                "' -key '" + pki.KeyFile(cert) + "'";
    std::string why;
    server->child_ =
        ChildProcess::Start({"sh", "-c", command}, server->dir_.File("s_server.log"), &why);
    if (server->child_ &&
        server->child_->WaitUntilAccepting("127.0.0.1", server->port_, kStartTimeoutMs, &why)) {
      server->error_.clear();
      return server;
    }
    server->error_ = "openssl s_server (try " + std::to_string(attempt) + "): " + why;
    server->child_.reset();
  }
  return server;
}

std::unique_ptr<TlsLegacyServer> TlsLegacyServer::Start(const std::string& body) {
  auto server = std::make_unique<TlsLegacyServer>();
  const std::string data = server->dir_.WriteFile("body", body);
  std::string why;
  if (RunToEnd({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout",
                server->dir_.File("key.pem"), "-out", server->CertFile()},
               server->dir_.File("req.log"), &why) != 0) {
    server->error_ = "openssl req: " + why + " " + server->dir_.File("req.log");
    return server;
  }
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    server->port_ = PickFreePort();
    server->child_ = ChildProcess::Start(
        {"gnutls-serv", "--http", "--httpdata=" + data, "-p", std::to_string(server->port_),
         "--x509certfile", server->CertFile(), "--x509keyfile", server->dir_.File("key.pem"),
         "--priority",
         "NONE:+VERS-TLS1.2:+RSA:+AES-128-CBC:+SHA1:+COMP-NULL:+SIGN-ALL:+CTYPE-X509:"
         "%DISABLE_SAFE_RENEGOTIATION"},
        server->dir_.File("gnutls-serv.log"), &why);
    if (server->child_ &&
        server->child_->WaitUntilAccepting("127.0.0.1", server->port_, kStartTimeoutMs, &why)) {
      server->error_.clear();
      return server;
    }
    server->error_ = "gnutls-serv (try " + std::to_string(attempt) + "): " + why;
    server->child_.reset();
  }
  return server;
}

std::unique_ptr<TlsBareCloseServer> TlsBareCloseServer::Start(const TestPki& pki, TestCert cert,
                                                              const std::string& body) {
  auto server = std::make_unique<TlsBareCloseServer>();
  if (!pki.Ok()) {
    server->error_ = "no certificates: " + pki.Error();
    return server;
  }
  const std::string script = server->dir_.WriteFile("server.py", kBareCloseScript);
  const std::string body_path = server->dir_.WriteFile("body", body);
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    server->port_ = PickFreePort();
    std::string why;
    server->child_ = ChildProcess::Start({"python3", script, pki.CertFile(cert), pki.KeyFile(cert),
                                          std::to_string(server->port_), body_path},
                                         server->dir_.File("python.log"), &why);
    if (server->child_ &&
        server->child_->WaitUntilAccepting("127.0.0.1", server->port_, kStartTimeoutMs, &why)) {
      server->error_.clear();
      return server;
    }
    server->error_ = "python3 TLS server (try " + std::to_string(attempt) + "): " + why;
    server->child_.reset();
  }
  return server;
}

}  // namespace tessaly
