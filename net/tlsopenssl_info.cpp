// TSSLOpenSSL: names of the provider, facts about the running session, and the plug class that
// the program installs as its default.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "net/tlsopenssl.h"

namespace tessaly {

namespace {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

using PeerCert = std::unique_ptr<X509, X509Free>;

Text UpperHex(const unsigned char* bytes, unsigned int length) {
  static const char kDigits[] = "0123456789ABCDEF";
  Text text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

Text NameText(const X509_NAME* name) {
  if (name == nullptr) return Text();
  char buffer[1024];
  const char* text = X509_NAME_oneline(name, buffer, sizeof buffer);
  return text != nullptr ? Text(text) : Text();
}

}  // namespace

Text TSSLOpenSSL::ProviderName() const {
  return "ssl_openssl";
}

Text TSSLOpenSSL::ProviderDescription() const {
  return OpenSSL_version(OPENSSL_VERSION);
}

namespace {

PeerCert PeerCertificate(const SSL* ssl) {
  return PeerCert(ssl != nullptr ? SSL_get1_peer_certificate(ssl) : nullptr);
}

}  // namespace

Text TSSLOpenSSL::PeerSubject() {
  const PeerCert cert = PeerCertificate(session_.get());
  return cert ? NameText(X509_get_subject_name(cert.get())) : Text();
}

Text TSSLOpenSSL::PeerIssuer() {
  const PeerCert cert = PeerCertificate(session_.get());
  return cert ? NameText(X509_get_issuer_name(cert.get())) : Text();
}

Text TSSLOpenSSL::PeerName() {
  const PeerCert cert = PeerCertificate(session_.get());
  if (!cert) return Text();
  char buffer[256];
  const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(cert.get()), NID_commonName,
                                               buffer, sizeof buffer);
  return length > 0 ? Text(buffer, static_cast<size_t>(length)) : Text();
}

Text TSSLOpenSSL::PeerSerial() {
  const PeerCert cert = PeerCertificate(session_.get());
  if (!cert) return Text();
  BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr);
  char* hex = number != nullptr ? BN_bn2hex(number) : nullptr;
  Text text = hex != nullptr ? Text(hex) : Text();
  OPENSSL_free(hex);
  BN_free(number);
  return text;
}

Text TSSLOpenSSL::PeerFingerprint() {
  const PeerCert cert = PeerCertificate(session_.get());
  if (!cert) return Text();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1) return Text();
  return UpperHex(digest, length);
}

Text TSSLOpenSSL::CipherName() {
  if (!session_ || !TLSActive()) return Text();
  const char* name = SSL_get_cipher_name(session_.get());
  return name != nullptr ? Text(name) : Text();
}

Text TSSLOpenSSL::ProtocolVersionName() {
  if (!session_ || !TLSActive()) return Text();
  return SSL_get_version(session_.get());
}

int TSSLOpenSSL::CipherBits() {
  if (!session_ || !TLSActive()) return 0;
  return SSL_get_cipher_bits(session_.get(), nullptr);
}

int TSSLOpenSSL::CipherAlgorithmBits() {
  if (!session_ || !TLSActive()) return 0;
  int algorithm_bits = 0;
  SSL_get_cipher_bits(session_.get(), &algorithm_bits);
  return algorithm_bits;
}

int TSSLOpenSSL::VerifyResult() {
  if (!session_) return 1;
  return static_cast<int>(SSL_get_verify_result(session_.get()));
}

std::unique_ptr<TCustomSSL> VerifyingOpenSSLPlug(TTCPBlockSocket& owner) {
  auto plug = std::make_unique<TSSLOpenSSL>(owner);
  plug->SetVerifyCert(true);
  return plug;
}

void UseOpenSSLByDefault() {
  SetDefaultSSLPlugClass(&VerifyingOpenSSLPlug);
}

}  // namespace tessaly
