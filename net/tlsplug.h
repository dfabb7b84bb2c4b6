// The TLS plug-in point of the TCP socket. A plug is owned by one TTCPBlockSocket and, while its
// TLSActive is true, carries all of the socket's data. The system ships only TSSLNone, which
// has no TLS: every connection operation fails with "SSL/TLS support is not compiled!".
//
// A real plug is one new class derived from TCustomSSL: its ConnectTLS runs the handshake over
// the owner's handle (RawSend/RawReceive, waiting with WaitHandleReadable/WaitHandleWritable
// under a time limit of its choice), calls SetTLSActive(true) on success, and then serves
// SendData, ReceiveData, PendingData and ShutdownTLS. Each operation of such a plug starts with
// ClearPlugError and leaves PlugError non-zero on failure; the socket turns that into 10091 and
// shows PlugErrorText for it.
#pragma once

#include <memory>

#include "base/text.h"
#include "net/sockapi.h"

namespace tessaly {

class TTCPBlockSocket;

// Protocol choice of a plug.
enum TSSLType {
  LT_all = 0,
  LT_SSLv2 = 1,
  LT_SSLv3 = 2,
  LT_TLSv1 = 3,
  LT_TLSv1_1 = 4,
  LT_SSHv2 = 5,
};

class TCustomSSL {
 public:
  // Answers whether a TLS library stands behind the plug; none here.
  virtual bool LibraryAvailable() const { return false; }

  // Serves `owner` (not owned); every setting starts cleared.
  explicit TCustomSSL(TTCPBlockSocket& owner);
  virtual ~TCustomSSL();
  TCustomSSL(const TCustomSSL&) = delete;
  TCustomSSL& operator=(const TCustomSSL&) = delete;

  // Copies the credentials, protocol, key, cipher and certificate settings of another plug;
  // not its owner, TLSActive, error or SSH channel settings.
  virtual void CopySettingsFrom(const TCustomSSL& other);
  // Human-readable and short names of the TLS provider; "" here.
  virtual Text ProviderDescription() const { return ""; }
  virtual Text ProviderName() const { return ""; }

  // Starts TLS as client on the owner's connected handle; true when it runs.
  virtual bool ConnectTLS();
  // Starts TLS as server on the owner's accepted handle; true when it runs.
  virtual bool AcceptTLS();
  // Ends TLS (sends our closing alert); true when done.
  virtual bool ShutdownTLS();
  // Ends TLS and waits for the peer's closing alert as well; true when done.
  virtual bool CloseTLSBothWays();
  // Sends up to `length` bytes through TLS: bytes taken, -1 on failure.
  virtual int SendData(const void* buffer, int length);
  // Receives up to `length` decrypted bytes: count, 0 at the peer's close, -1 on failure.
  virtual int ReceiveData(void* buffer, int length);
  // Decrypted bytes ready to be received without touching the handle.
  virtual int PendingData();

  // Facts about the peer and the session; "" and 0 while no TLS session runs.
  virtual Text PeerSubject() { return ""; }
  virtual Text PeerIssuer() { return ""; }
  virtual Text PeerName() { return ""; }
  virtual Text PeerSerial() { return ""; }
  virtual Text PeerFingerprint() { return ""; }
  virtual Text CipherName() { return ""; }
  virtual Text ProtocolVersionName() { return ""; }
  virtual int CipherBits() { return 0; }
  virtual int CipherAlgorithmBits() { return 0; }
  // 0 when the peer's certificate was verified; 1 (not verified) while that cannot be told.
  virtual int VerifyResult() { return 1; }
  // True once the peer has ended TLS with its closing alert: all it sent has arrived, even when
  // its TCP close is still on the way.
  virtual bool PeerClosedTLS() const { return false; }

  // ---- Fields -------------------------------------------------------------------------------

  TTCPBlockSocket& OwnerSocket() const { return owner_; }
  // While true the socket routes its data through this plug.
  bool TLSActive() const { return tls_active_; }
  // Code and text of the plug's last failure; 0 and "" when none.
  int PlugError() const { return plug_error_; }
  const Text& PlugErrorText() const { return plug_error_text_; }

  // Published settings, read by a real plug when it starts TLS.
  TSSLType SSLType() const { return ssl_type_; }
  void SetSSLType(TSSLType value) { ssl_type_ = value; }
  const Text& KeyPassword() const { return key_password_; }
  void SetKeyPassword(const Text& value) { key_password_ = value; }
  const Text& Username() const { return username_; }
  void SetUsername(const Text& value) { username_ = value; }
  const Text& Password() const { return password_; }
  void SetPassword(const Text& value) { password_ = value; }
  const Text& Ciphers() const { return ciphers_; }
  void SetCiphers(const Text& value) { ciphers_ = value; }
  const Text& CertificateFile() const { return certificate_file_; }
  void SetCertificateFile(const Text& value) { certificate_file_ = value; }
  const Text& PrivateKeyFile() const { return private_key_file_; }
  void SetPrivateKeyFile(const Text& value) { private_key_file_ = value; }
  const Text& Certificate() const { return certificate_; }
  void SetCertificate(const Text& value) { certificate_ = value; }
  const Text& PrivateKey() const { return private_key_; }
  void SetPrivateKey(const Text& value) { private_key_ = value; }
  const Text& PFX() const { return pfx_; }
  void SetPFX(const Text& value) { pfx_ = value; }
  const Text& PFXfile() const { return pfx_file_; }
  void SetPFXfile(const Text& value) { pfx_file_ = value; }
  const Text& TrustCertificateFile() const { return trust_certificate_file_; }
  void SetTrustCertificateFile(const Text& value) { trust_certificate_file_ = value; }
  const Text& TrustCertificate() const { return trust_certificate_; }
  void SetTrustCertificate(const Text& value) { trust_certificate_ = value; }
  const Text& CertCA() const { return cert_ca_; }
  void SetCertCA(const Text& value) { cert_ca_ = value; }
  const Text& CertCAFile() const { return cert_ca_file_; }
  void SetCertCAFile(const Text& value) { cert_ca_file_ = value; }
  bool VerifyCert() const { return verify_cert_; }
  void SetVerifyCert(bool value) { verify_cert_ = value; }
  // Pins of the peer's public key, curl's form: "sha256//" and the base64 SHA-256 of the DER
  // SubjectPublicKeyInfo, several separated by ";". When set, the peer is trusted exactly when
  // its certificate's key is one of them, whatever its issuer and names.
  const Text& PinnedPublicKey() const { return pinned_public_key_; }
  void SetPinnedPublicKey(const Text& value) { pinned_public_key_ = value; }
  // Old TLS for old firmware: TLS 1.0 and 1.1, RSA key exchange and CBC ciphers at the
  // library's lowest security level, and servers without secure renegotiation. Off by default.
  bool LegacyTLS() const { return legacy_tls_; }
  void SetLegacyTLS(bool value) { legacy_tls_ = value; }
  // Limit in ms of each wait of a handshake or receive of a real plug (-1 = none); the owner's
  // client sets it to its own read limit before starting TLS.
  int Timeout() const { return timeout_; }
  void SetTimeout(int value) { timeout_ = value; }
  const Text& SSHChannelType() const { return ssh_channel_type_; }
  void SetSSHChannelType(const Text& value) { ssh_channel_type_ = value; }
  const Text& SSHChannelArg1() const { return ssh_channel_arg1_; }
  void SetSSHChannelArg1(const Text& value) { ssh_channel_arg1_ = value; }
  const Text& SSHChannelArg2() const { return ssh_channel_arg2_; }
  void SetSSHChannelArg2(const Text& value) { ssh_channel_arg2_ = value; }

 protected:
  // For the plug's own operations.
  void SetTLSActive(bool value) { tls_active_ = value; }
  void ClearPlugError();
  void SetPlugError(int code, const Text& text);
  // PlugError -1 with "SSL/TLS support is not compiled!".
  void SetNotCompiled();

  // The owner's platform socket, and raw I/O on it that bypasses the socket's own bookkeeping
  // (error state, events, counters). Results as the platform gives them; on -1 the layer code
  // of the failure is LastSocketError().
  TSocketHandle SocketHandle() const;
  int RawSend(const void* buffer, int length);
  int RawReceive(void* buffer, int length);
  // Waits on the owner's handle for at most timeout_ms (-1 = no limit); true when ready.
  bool WaitHandleReadable(int timeout_ms);
  bool WaitHandleWritable(int timeout_ms);

 private:
  TTCPBlockSocket& owner_;
  bool tls_active_ = false;
  int plug_error_ = 0;
  Text plug_error_text_;
  TSSLType ssl_type_ = LT_all;
  Text key_password_;
  Text ciphers_;
  Text certificate_file_;
  Text private_key_file_;
  Text certificate_;
  Text private_key_;
  Text pfx_;
  Text pfx_file_;
  Text cert_ca_;
  Text cert_ca_file_;
  Text trust_certificate_;
  Text trust_certificate_file_;
  bool verify_cert_ = false;
  Text pinned_public_key_;
  bool legacy_tls_ = false;
  int timeout_ = 60000;
  Text username_;
  Text password_;
  Text ssh_channel_type_;
  Text ssh_channel_arg1_;
  Text ssh_channel_arg2_;
};

// The plug of a socket built without TLS support.
class TSSLNone : public TCustomSSL {
 public:
  using TCustomSSL::TCustomSSL;
  Text ProviderDescription() const override { return "Without SSL support"; }
  Text ProviderName() const override { return "ssl_none"; }
};

// A plug class: makes a plug of that class serving the given socket.
using TSSLClass = std::unique_ptr<TCustomSSL> (*)(TTCPBlockSocket& owner);

// The class value of plug class T, e.g. SSLPlugClass<TSSLNone>.
template <class T>
std::unique_ptr<TCustomSSL> SSLPlugClass(TTCPBlockSocket& owner) {
  return std::make_unique<T>(owner);
}

// Process-wide: the plug class of sockets made with CreateDefault. TSSLNone from start-up on.
TSSLClass DefaultSSLPlugClass();
// Changes it for sockets made afterwards; nullptr restores TSSLNone.
void SetDefaultSSLPlugClass(TSSLClass plug_class);

}  // namespace tessaly
