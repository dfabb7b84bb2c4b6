// TSSLOpenSSL: the settings of a session, turned into the library's context and parameters:
// protocol, ciphers, trust anchors, our own certificate and the name the peer must prove.
#include <openssl/err.h>
#include <openssl/pem.h>
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

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

// Hands KeyPassword to the library when it opens an encrypted private key.
int GivePassword(char* buffer, int size, int /*rwflag*/, void* userdata) {
  const Text& password = *static_cast<const Text*>(userdata);
  const int length = static_cast<int>(std::min<size_t>(password.size(), static_cast<size_t>(size)));
  std::memcpy(buffer, password.data(), static_cast<size_t>(length));
  return length;
}

// An address literal as the certificate check wants it: no brackets, no zone.
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
  if (!Ciphers().empty() && SSL_CTX_set_cipher_list(context, Ciphers().c_str()) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
    return false;
  }

  if (VerifyCert()) {
    const int mode = as_server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                               : SSL_VERIFY_PEER;
    SSL_CTX_set_verify(context, mode, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  return SetupTrust() && SetupOwnCertificate(as_server);
}

bool TSSLOpenSSL::SetupTrust() {
  SSL_CTX* context = context_.get();
  // Loaded also without VerifyCert, so that VerifyResult tells what a check would have found.
  if (SSL_CTX_set_default_verify_paths(context) != 1) {
    // A missing system store is no failure by itself: CertCA or CertCAFile may carry the trust.
    ERR_clear_error();
  }
  if (!CertCAFile().empty() &&
      SSL_CTX_load_verify_locations(context, CertCAFile().c_str(), nullptr) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup (CertCAFile)");
    return false;
  }
  if (!CertCA().empty()) {
    std::unique_ptr<BIO, BioFree> pem(
        BIO_new_mem_buf(CertCA().data(), static_cast<int>(CertCA().size())));
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    int added = 0;
    for (;;) {
      std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr));
      if (!cert) break;
      if (X509_STORE_add_cert(store, cert.get()) != 1) {
        FailFromLibrary(SSL_ERROR_SSL, "TLS setup (CertCA)");
        return false;
      }
      ++added;
    }
    ERR_clear_error();  // the end of the text reads as "no start line"
    if (added == 0) {
      SetPlugError(SSL_ERROR_SSL, "TLS setup (CertCA) failed: no PEM certificate found");
      return false;
    }
  }
  return true;
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
