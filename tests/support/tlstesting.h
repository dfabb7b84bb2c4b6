// Small pieces shared by the TLS tests of the socket and the HTTP client: a socket with the
// OpenSSL plug, an environment variable set for one test, a stopwatch.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "net/sockapi.h"
#include "net/tcpsocket.h"
#include "net/tlsopenssl.h"

namespace tessaly {

// A socket whose plug is a TSSLOpenSSL (VerifyCert as the plug class leaves it: off).
inline std::unique_ptr<TTCPBlockSocket> NewTlsSocket() {
  return TTCPBlockSocket::CreateWithPlug(&SSLPlugClass<TSSLOpenSSL>);
}

// Sets (or, with nullopt, removes) an environment variable until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class Stopwatch {
 public:
  long long Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Loads the socket interface for one test, as the program does at start-up.
class TlsSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadSocketInterface()); }
  void TearDown() override { ReleaseSocketInterface(); }
};

template <class Param>
class TlsSocketTestP : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override { ASSERT_TRUE(LoadSocketInterface()); }
  void TearDown() override { ReleaseSocketInterface(); }
};

}  // namespace tessaly
