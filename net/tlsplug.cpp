#include "net/tlsplug.h"

#include <atomic>

#include "net/tcpsocket.h"

namespace tessaly {

TCustomSSL::TCustomSSL(TTCPBlockSocket& owner) : owner_(owner) {}

TCustomSSL::~TCustomSSL() = default;

void TCustomSSL::CopySettingsFrom(const TCustomSSL& other) {
  username_ = other.username_;
  password_ = other.password_;
  verify_cert_ = other.verify_cert_;
  pinned_public_key_ = other.pinned_public_key_;
  legacy_tls_ = other.legacy_tls_;
  ssl_type_ = other.ssl_type_;
  key_password_ = other.key_password_;
  ciphers_ = other.ciphers_;
  certificate_file_ = other.certificate_file_;
  private_key_file_ = other.private_key_file_;
  cert_ca_file_ = other.cert_ca_file_;
  cert_ca_ = other.cert_ca_;
  trust_certificate_ = other.trust_certificate_;
  trust_certificate_file_ = other.trust_certificate_file_;
  certificate_ = other.certificate_;
  private_key_ = other.private_key_;
  pfx_ = other.pfx_;
  pfx_file_ = other.pfx_file_;
}

bool TCustomSSL::ConnectTLS() {
  SetNotCompiled();
  return false;
}

bool TCustomSSL::AcceptTLS() {
  SetNotCompiled();
  return false;
}

bool TCustomSSL::ShutdownTLS() {
  SetNotCompiled();
  return false;
}

bool TCustomSSL::CloseTLSBothWays() {
  SetNotCompiled();
  return false;
}

int TCustomSSL::SendData(const void* /*buffer*/, int /*length*/) {
  SetNotCompiled();
  return -1;
}

int TCustomSSL::ReceiveData(void* /*buffer*/, int /*length*/) {
  SetNotCompiled();
  return -1;
}

int TCustomSSL::PendingData() {
  SetNotCompiled();
  return 0;
}

void TCustomSSL::ClearPlugError() {
  plug_error_ = 0;
  plug_error_text_.clear();
}

void TCustomSSL::SetPlugError(int code, const Text& text) {
  plug_error_ = code;
  plug_error_text_ = text;
}

void TCustomSSL::SetNotCompiled() {
  SetPlugError(-1, "SSL/TLS support is not compiled!");
}

TSocketHandle TCustomSSL::SocketHandle() const {
  return owner_.Handle();
}

int TCustomSSL::RawSend(const void* buffer, int length) {
  return SendBytes(SocketHandle(), buffer, length, 0);
}

int TCustomSSL::RawReceive(void* buffer, int length) {
  return ReceiveBytes(SocketHandle(), buffer, length, 0);
}

namespace {

bool WaitHandle(TSocketHandle handle, bool for_writing, int timeout_ms) {
  if (handle == INVALID_SOCKET) return false;
  TFdSet set;
  FdZero(set);
  FdSet(handle, set);
  int ready = for_writing ? SelectSockets(handle + 1, nullptr, &set, nullptr, timeout_ms)
                          : SelectSockets(handle + 1, &set, nullptr, nullptr, timeout_ms);
  return ready > 0;
}

// A plain function pointer, so reading it from any thread is a single atomic load.
std::atomic<TSSLClass> default_plug_class{&SSLPlugClass<TSSLNone>};

}  // namespace

bool TCustomSSL::WaitHandleReadable(int timeout_ms) {
  return WaitHandle(SocketHandle(), false, timeout_ms);
}

bool TCustomSSL::WaitHandleWritable(int timeout_ms) {
  return WaitHandle(SocketHandle(), true, timeout_ms);
}

TSSLClass DefaultSSLPlugClass() {
  return default_plug_class.load();
}

void SetDefaultSSLPlugClass(TSSLClass plug_class) {
  default_plug_class.store(plug_class != nullptr ? plug_class : &SSLPlugClass<TSSLNone>);
}

}  // namespace tessaly
