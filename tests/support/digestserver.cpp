#include "support/digestserver.h"

#include <openssl/evp.h>
#include <sys/stat.h>

namespace tessaly {
namespace {

// The user file holds one line per algorithm; lighttpd tells them apart by the hash's length.
std::string HexHash(const EVP_MD* md, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

std::string Protected(const std::string& dir, const std::string& algorithm) {
  return "  \"/" + dir + "/\" => ( \"method\" => \"digest\", \"realm\" => \"Camera\", " +
         "\"require\" => \"valid-user\", \"algorithm\" => \"" + algorithm + "\" )";
}

}  // namespace

std::unique_ptr<DigestServer> DigestServer::Start(std::string* error) {
  std::unique_ptr<DigestServer> server(new DigestServer());
  const ScratchDir& dir = server->dir_;
  if (dir.Path().empty() || mkdir(dir.File("www").c_str(), 0755) != 0 ||
      mkdir(dir.File("www/md5").c_str(), 0755) != 0 ||
      mkdir(dir.File("www/sha256").c_str(), 0755) != 0) {
    *error = "no scratch directory for lighttpd";
    return nullptr;
  }
  const std::string secret = std::string(kDigestUser) + ":Camera:" + kDigestPassword;
  dir.WriteFile("htdigest", std::string(kDigestUser) + ":Camera:" + HexHash(EVP_md5(), secret) +
                                "\n" + kDigestUser + ":Camera:" + HexHash(EVP_sha256(), secret) +
                                "\n");
  server->port_ = PickFreePort("127.0.0.1");
  dir.WriteFile("lighttpd.conf",
                "server.document-root = \"" + dir.File("www") + "\"\n" +
                    "server.bind = \"127.0.0.1\"\nserver.port = " + std::to_string(server->port_) +
                    "\n" + "server.modules = ( \"mod_auth\", \"mod_authn_file\" )\n" +
                    "auth.backend = \"htdigest\"\n" + "auth.backend.htdigest.userfile = \"" +
                    dir.File("htdigest") + "\"\n" + "auth.require = (\n" + Protected("md5", "MD5") +
                    ",\n" + Protected("sha256", "SHA-256") + "\n)\n");
  server->process_ = ChildProcess::Start({"lighttpd", "-D", "-f", dir.File("lighttpd.conf")},
                                         dir.File("lighttpd.log"), error);
  if (!server->process_ ||
      !server->process_->WaitUntilAccepting("127.0.0.1", server->port_, 15000, error)) {
    return nullptr;
  }
  return server;
}

}  // namespace tessaly
