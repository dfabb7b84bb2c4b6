// TSSLOpenSSL: the settings of a session, turned into the library's context and parameters:
// protocol, ciphers, our own certificate and the name the peer must prove.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "base/ipaddr.h"
#include "net/tcpsocket.h"
#include "net/tlsopenssl.h"

namespace tessaly {

namespace {

// Hands KeyPassword to the library when it opens an encrypted private key.
int GivePassword(char* buffer, int size, int /*rwflag*/, void* userdata) {
  const Text& password = *static_cast<const Text*>(userdata);
  const int length = static_cast<int>(std::min<size_t>(password.size(), static_cast<size_t>(size)));
  std::memcpy(buffer, password.data(), static_cast<size_t>(length));
  return length;
}

// A host as it was written in an address, without the brackets of an IPv6 literal.
Text BareAddress(Text host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

bool TSSLOpenSSL::SetupContext(bool as_server) {
  context_.reset(SSL_CTX_new(as_server ? TLS_server_method() : TLS_client_method()));
  SSL_CTX* context = context_.get();
  if (context == nullptr) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
    return false;
  }
  // Many servers end a body that runs until the close without the closing alert; a body with
  // a length still shows a cut-off as a short read.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);

  int version = 0;
  switch (SSLType()) {
    case LT_all:
      break;
    case LT_TLSv1:
      version = TLS1_VERSION;
      break;
    case LT_TLSv1_1:
      version = TLS1_1_VERSION;
      break;
    case LT_SSLv2:
    case LT_SSLv3:
    case LT_SSHv2:
      SetPlugError(WSAEPROTONOSUPPORT, "TLS setup failed: protocol not supported");
      return false;
  }
  if (version != 0 && (SSL_CTX_set_min_proto_version(context, version) != 1 ||
                       SSL_CTX_set_max_proto_version(context, version) != 1)) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
    return false;
  }
  if (LegacyTLS()) {
    // Level 0 lets TLS 1.0 and 1.1, RSA key exchange, SHA-1 and short keys through; the
    // system's configuration (Debian: level 2, TLS 1.2 at least) stays for every other plug.
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_options(context, SSL_OP_LEGACY_SERVER_CONNECT);
    if (version == 0 && SSL_CTX_set_min_proto_version(context, TLS1_VERSION) != 1) {
      FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
      return false;
    }
  }
  const Text ciphers = !Ciphers().empty() ? Ciphers() : LegacyTLS() ? "ALL:@SECLEVEL=0" : "";
  if (!ciphers.empty() && SSL_CTX_set_cipher_list(context, ciphers.c_str()) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
    return false;
  }

  if (!PinnedPublicKey().empty() && !as_server) {
    // The pin is the whole trust: the chain and the names are not asked for (CheckPin).
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else if (VerifyCert()) {
    const int mode =
        as_server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER;
    SSL_CTX_set_verify(context, mode, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  return SetupTrust() && SetupOwnCertificate(as_server);
}

bool TSSLOpenSSL::SetupOwnCertificate(bool required) {
  SSL_CTX* context = context_.get();
  if (CertificateFile().empty()) {
    if (!required) return true;
    SetPlugError(SSL_ERROR_SSL, "TLS setup failed: a server needs CertificateFile");
    return false;
  }
  SSL_CTX_set_default_passwd_cb(context, &GivePassword);
  SSL_CTX_set_default_passwd_cb_userdata(context, const_cast<Text*>(&KeyPassword()));
  // The key may sit in the certificate's file.
  const Text& key_file = PrivateKeyFile().empty() ? CertificateFile() : PrivateKeyFile();
  if (SSL_CTX_use_certificate_chain_file(context, CertificateFile().c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup (certificate)");
    return false;
  }
  return true;
}

bool TSSLOpenSSL::SetupPeerName() {
  SSL* ssl = session_.get();
  TTCPBlockSocket& owner = OwnerSocket();
  Text host = BareAddress(owner.ConnectHost());
  // Without a known name (an adopted handle) the peer must prove the address it has.
  if (host.empty()) host = owner.PeerIP();
  if (host.empty()) return true;
  if (IsIPv4Text(host) || IsIPv6Text(host)) {
    // Addresses are not sent as server names; the certificate must list the address itself.
    const Text address = host.substr(0, host.find('%'));
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str()) != 1) {
      FailFromLibrary(SSL_ERROR_SSL, "TLS setup (peer address)");
      return false;
    }
    return true;
  }
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1 || SSL_set1_host(ssl, host.c_str()) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup (server name)");
    return false;
  }
  return true;
}

}  // namespace tessaly
