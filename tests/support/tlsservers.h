// Real TLS servers as test peers, each on free ports of the loopback interface, killed and
// reaped when the object goes.
//
//   TestPki pki;
//   auto web = TlsNginx::Start(pki);
//   ASSERT_TRUE(web->Ok()) << web->Error();   // never skip: a missing server is a failure
//   web->WriteFile("a.bin", bytes);
//   client.ExecuteRequest("GET", web->Url(TestCert::Good, "/a.bin"));
#pragma once

#include <map>
#include <memory>
#include <string>

#include "support/childprocess.h"
#include "support/tlspki.h"

namespace tessaly {

// One nginx with an "https" server per TestCert (each on its own port, on 127.0.0.1 and, when
// the machine has it, [::1]) and one plain "http" port. All serve the same document root;
// "/chunks/<n>" answers n lines of text produced while the answer is sent (chunked under
// HTTP/1.1, until the close under HTTP/1.0); "/mirror" answers a request's body with itself;
// "/go/<port>/<path>" redirects (302) to "http://127.0.0.1:<port>/<path>".
class TlsNginx {
 public:
  static std::unique_ptr<TlsNginx> Start(const TestPki& pki);

  bool Ok() const { return error_.empty() && child_ != nullptr; }
  const std::string& Error() const { return error_; }
  std::string Log() const { return child_ ? child_->Log() : std::string(); }

  int Port(TestCert cert) const { return ports_.at(cert); }
  int PlainPort() const { return plain_port_; }
  bool HasIPv6() const { return ipv6_; }
  // "https://<host>:<port of cert><path>"; host may be "127.0.0.1", "localhost" or "[::1]".
  std::string Url(TestCert cert, const std::string& path,
                  const std::string& host = "127.0.0.1") const;
  // Puts a file into the document root; its path, "" on failure.
  std::string WriteFile(const std::string& name, const std::string& contents) const;

 private:
  bool Launch(const TestPki& pki);

  ScratchDir dir_;
  std::unique_ptr<ChildProcess> child_;
  std::map<TestCert, int> ports_;
  int plain_port_ = 0;
  bool ipv6_ = false;
  std::string error_;
};

// `openssl s_server -WWW` on 127.0.0.1: answers "GET /<file> HTTP/1.0" with the file from its
// directory, without a length, and closes: a body that runs until the close. One connection
// at a time.
class TlsSServer {
 public:
  static std::unique_ptr<TlsSServer> Start(const TestPki& pki, TestCert cert);

  bool Ok() const { return error_.empty() && child_ != nullptr; }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string WriteFile(const std::string& name, const std::string& contents) const {
    return dir_.WriteFile(name, contents);
  }

 private:
  ScratchDir dir_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
  std::string error_;
};

// A TLS server of the tests run as a child process on a port of its own on 127.0.0.1.
class TlsChildServer {
 public:
  bool Ok() const { return error_.empty() && child_ != nullptr; }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }

 protected:
  ScratchDir dir_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
  std::string error_;
};

// A python3 TLS server on 127.0.0.1 that answers every request with "HTTP/1.0 200 OK", a blank
// line and the given body, and then closes the TCP connection without TLS's closing alert, as
// many servers do.
class TlsBareCloseServer : public TlsChildServer {
 public:
  static std::unique_ptr<TlsBareCloseServer> Start(const TestPki& pki, TestCert cert,
                                                   const std::string& body);
};

// Old camera firmware's TLS: gnutls-serv on a port of its own (it listens on every address;
// connect to 127.0.0.1) with a self-signed RSA certificate for 127.0.0.1 and localhost, TLS 1.2
// with RSA key exchange and AES-128-CBC-SHA1 only, and without secure renegotiation (RFC 5746),
// which OpenSSL 3 refuses by default ("unsafe legacy renegotiation disabled"). Every request
// is answered 200 with body (as application/octet-stream).
class TlsLegacyServer : public TlsChildServer {
 public:
  static std::unique_ptr<TlsLegacyServer> Start(const std::string& body);

  std::string CertFile() const { return dir_.File("cert.pem"); }
};

// Deterministic bytes of every value, so that a body that is cut, shifted or repeated shows.
std::string PatternBytes(size_t length, unsigned seed = 1);

}  // namespace tessaly
