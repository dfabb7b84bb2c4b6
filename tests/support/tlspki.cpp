#include "support/tlspki.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tessaly {

namespace {

// Names, key usage and the CA's bookkeeping in one configuration, so that the system's own
// openssl.cnf plays no part.
const char kConfig[] = R"([ req ]
distinguished_name = dn
prompt = no

[ dn ]
CN = Tessaly Test CA

[ ca ]
default_ca = test_ca

[ test_ca ]
dir = .
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = any_name
unique_subject = no
email_in_dn = no

[ any_name ]
commonName = supplied

[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ good_ext ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1

[ other_ext ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid

[ nameonly_ext ]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
)";

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

const char* TestCertName(TestCert cert) {
  switch (cert) {
    case TestCert::Good:
      return "good";
    case TestCert::SelfSigned:
      return "selfsigned";
    case TestCert::OtherHost:
      return "otherhost";
    case TestCert::Expired:
      return "expired";
    case TestCert::NameOnly:
      return "nameonly";
  }
  return "unknown";
}

int RunToEnd(const std::vector<std::string>& argv, const std::string& log_path,
             std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = "cannot run " + argv[0] + ": " + std::strerror(spawned);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool TestPki::Openssl(const std::vector<std::string>& args) {
  if (!error_.empty()) return false;
  // Relative names in the configuration and the arguments refer to the scratch directory.
  std::string command = "cd '" + dir_.Path() + "' && exec openssl";
  for (const std::string& a : args) command += " '" + a + "'";
  const std::string log = dir_.File("openssl.log");
  std::string why;
  const int status = RunToEnd({"sh", "-c", command}, log, &why);
  if (status != 0) {
    std::ifstream in(log);
    std::ostringstream text;
    text << in.rdbuf();
    error_ = "openssl " + (args.empty() ? std::string() : args[0]) + " failed (" +
             std::to_string(status) + ") " + why + ":\n" + text.str();
    return false;
  }
  return true;
}

TestPki::TestPki() {
  if (dir_.Path().empty()) {
    error_ = "no scratch directory";
    return;
  }
  std::error_code ignored;
  std::filesystem::create_directory(dir_.File("issued"), ignored);
  std::filesystem::create_directory(CaDir(), ignored);
  if (dir_.WriteFile("pki.cnf", kConfig).empty() || dir_.WriteFile("index.txt", "").empty() ||
      dir_.WriteFile("serial", "1000\n").empty()) {
    error_ = "cannot write the CA's files in " + dir_.Path();
    return;
  }
  const std::vector<std::string> config = {"-config", "pki.cnf"};
  Openssl(Join(Join({"req", "-x509"}, config),
               Join(kNewKey, {"-keyout", "ca.key", "-out", "ca.pem", "-days", "3650", "-extensions",
                              "ca_ext"})));

  struct Issue {
    TestCert cert;
    const char* extensions;
    std::vector<std::string> dates;
  };
  const std::vector<Issue> issued = {
      {TestCert::Good, "good_ext", {"-startdate", "20200101000000Z", "-days", "3650"}},
      {TestCert::OtherHost, "other_ext", {"-startdate", "20200101000000Z", "-days", "3650"}},
      {TestCert::Expired,
       "good_ext",
       {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"}},
      {TestCert::NameOnly, "nameonly_ext", {"-startdate", "20200101000000Z", "-days", "3650"}},
  };
  for (const Issue& i : issued) {
    const std::string name = TestCertName(i.cert);
    Openssl(
        Join(Join({"req", "-new"}, config),
             Join(kNewKey, {"-keyout", name + ".key", "-out", name + ".csr", "-subj",
                            "/CN=" + std::string(i.cert == TestCert::OtherHost ? "other.invalid"
                                                                               : "localhost")})));
    Openssl(Join(Join({"ca", "-batch", "-notext"}, config),
                 Join({"-cert", "ca.pem", "-keyfile", "ca.key", "-in", name + ".csr", "-out",
                       name + ".pem", "-extensions", i.extensions},
                      i.dates)));
  }
  Openssl(Join(Join({"req", "-x509"}, config),
               Join(kNewKey, {"-keyout", "selfsigned.key", "-out", "selfsigned.pem", "-days", "365",
                              "-subj", "/CN=localhost", "-extensions", "good_ext"})));
  if (!error_.empty()) return;
  std::filesystem::copy_file(CaFile(), CaDir() + "/ca.pem", ignored);
  Openssl({"rehash", CaDir()});
}

std::string TestPki::CaText() const {
  std::ifstream in(CaFile(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TestPki::CertFile(TestCert cert) const {
  return dir_.File(std::string(TestCertName(cert)) + ".pem");
}

std::string TestPki::KeyFile(TestCert cert) const {
  return dir_.File(std::string(TestCertName(cert)) + ".key");
}

}  // namespace tessaly
