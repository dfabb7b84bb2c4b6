// TSSLOpenSSL: the trust anchors of a session. The system's store (the library's default verify
// paths) takes tens of milliseconds to read, far more than a handshake, so it is read once per
// process for each setting of SSL_CERT_FILE and SSL_CERT_DIR and then shared; a plug with
// anchors of its own gets a copy of it with those added.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "base/codec.h"
#include "net/tlsopenssl.h"

namespace tessaly {

namespace {

struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};

// What names the default paths now; an unset variable differs from an empty one.
std::string DefaultPathsKey() {
  std::string key;
  for (const char* name : {X509_get_default_cert_file_env(), X509_get_default_cert_dir_env()}) {
    const char* value = std::getenv(name);
    if (value != nullptr) {
      key.append("=").append(value);
    } else {
      key.append("-");
    }
    key.append("\n");
  }
  return key;
}

// A new reference to the shared store of the system's anchors; null when none can be made.
StorePtr SystemStore() {
  static std::mutex mutex;
  static std::string cached_key;
  static StorePtr cached;
  const std::string key = DefaultPathsKey();
  std::lock_guard<std::mutex> lock(mutex);
  if (!cached || key != cached_key) {
    StorePtr store(X509_STORE_new());
    if (!store) return nullptr;
    // A missing system store is no failure by itself: CertCA or CertCAFile may carry the trust.
    if (X509_STORE_set_default_paths(store.get()) != 1) ERR_clear_error();
    cached = std::move(store);
    cached_key = key;
  }
  X509_STORE_up_ref(cached.get());
  return StorePtr(cached.get());
}

// Fills `to` with every certificate and revocation list `from` holds, plus the lazily read
// hashed directory of the default paths.
bool CopyStore(X509_STORE* from, X509_STORE* to) {
  bool ok = true;
  X509_STORE_lock(from);
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(from);
  for (int i = 0; ok && i < sk_X509_OBJECT_num(objects); ++i) {
    X509_OBJECT* object = sk_X509_OBJECT_value(objects, i);
    if (X509* cert = X509_OBJECT_get0_X509(object)) {
      ok = X509_STORE_add_cert(to, cert) == 1;
    } else if (X509_CRL* crl = X509_OBJECT_get0_X509_CRL(object)) {
      ok = X509_STORE_add_crl(to, crl) == 1;
    }
  }
  X509_STORE_unlock(from);
  X509_LOOKUP* directory = X509_STORE_add_lookup(to, X509_LOOKUP_hash_dir());
  if (directory == nullptr || X509_LOOKUP_add_dir(directory, nullptr, X509_FILETYPE_DEFAULT) != 1) {
    ERR_clear_error();  // as with the shared store, a missing directory is no failure
  }
  return ok;
}

}  // namespace

bool TSSLOpenSSL::SetupTrust() {
  SSL_CTX* context = context_.get();
  // Loaded also without VerifyCert, so that VerifyResult tells what a check would have found.
  const StorePtr system = SystemStore();
  if (CertCAFile().empty() && CertCA().empty()) {
    if (system) SSL_CTX_set1_cert_store(context, system.get());
    return true;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  if (system && !CopyStore(system.get(), store)) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup (trust store)");
    return false;
  }
  if (!CertCAFile().empty() &&
      SSL_CTX_load_verify_locations(context, CertCAFile().c_str(), nullptr) != 1) {
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup (CertCAFile)");
    return false;
  }
  if (CertCA().empty()) return true;
  std::unique_ptr<BIO, BioFree> pem(
      BIO_new_mem_buf(CertCA().data(), static_cast<int>(CertCA().size())));
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
  return true;
}

bool TSSLOpenSSL::CheckPin() {
  std::unique_ptr<X509, X509Free> cert(SSL_get1_peer_certificate(session_.get()));
  Text key;
  if (cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digest_length,
                                 EVP_sha256(), nullptr) == 1)
      key = "sha256//" + Base64Encode(Text(reinterpret_cast<char*>(digest), digest_length));
    OPENSSL_free(der);
  }
  if (key.empty()) {
    ERR_clear_error();
    SetPlugError(SSL_ERROR_SSL, "TLS handshake failed: the peer's public key cannot be read");
    return false;
  }
  // Each pin of the list, spaces around it ignored; "sha256/" with one slash is taken too.
  const Text& pins = PinnedPublicKey();
  for (size_t start = 0; start <= pins.size();) {
    size_t end = pins.find(';', start);
    if (end == Text::npos) end = pins.size();
    Text pin = pins.substr(start, end - start);
    const size_t first = pin.find_first_not_of(' ');
    pin = first == Text::npos ? Text() : pin.substr(first, pin.find_last_not_of(' ') - first + 1);
    if (pin.rfind("sha256/", 0) == 0 && pin.rfind("sha256//", 0) != 0) pin.insert(7, "/");
    if (pin == key) return true;
    start = end + 1;
  }
  SetPlugError(SSL_ERROR_SSL,
               "TLS handshake failed: the peer's public key " + key + " is not the one pinned");
  return false;
}

}  // namespace tessaly
