// Certificates for TLS tests, made with the openssl tool in a scratch directory: a test CA and
// server certificates that pass or fail verification in the ways the tests need.
//
//   TestPki pki;
//   ASSERT_TRUE(pki.Ok()) << pki.Error();   // never skip: no certificates is a failure
//   plug.SetCertCAFile(pki.CaFile());
#pragma once

#include <string>
#include <vector>

#include "support/childprocess.h"

namespace tessaly {

// The server certificates. All but SelfSigned are issued by the test CA; all use EC P-256 keys.
enum class TestCert {
  Good,        // for localhost, 127.0.0.1 and ::1; valid from 2020 until ten years from now
  SelfSigned,  // the same names, signed by its own key
  OtherHost,   // only for other.invalid
  Expired,     // the names of Good, valid only in January 2020
  NameOnly,    // only for localhost: no address in it
};

const char* TestCertName(TestCert cert);

class TestPki {
 public:
  // Makes the CA and every certificate; Ok() tells whether all went well.
  TestPki();

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // The CA certificate as a PEM file, as PEM text, and as a hashed directory (SSL_CERT_DIR).
  std::string CaFile() const { return dir_.File("ca.pem"); }
  std::string CaText() const;
  std::string CaDir() const { return dir_.File("cadir"); }
  // PEM files of a server certificate and its unencrypted private key.
  std::string CertFile(TestCert cert) const;
  std::string KeyFile(TestCert cert) const;

 private:
  // Runs `openssl` with args in the scratch directory; false (with error_ set) on failure.
  bool Openssl(const std::vector<std::string>& args);

  ScratchDir dir_;
  std::string error_;
};

// Runs a program to its end, its output going to log_path; its exit status, or -1 when it
// could not be started (then *error says why).
int RunToEnd(const std::vector<std::string>& argv, const std::string& log_path, std::string* error);

}  // namespace tessaly
