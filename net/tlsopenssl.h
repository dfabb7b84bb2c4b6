// The TLS plug on the system's OpenSSL: TLS as client (with server name indication and, when
// VerifyCert is set, verification of the peer's certificate chain and host name) or as server,
// over the owner socket's connected handle.
//
// The plug never blocks on the handle: the library reads and writes through a non-blocking
// bridge, and the plug waits for readiness itself, in slices, so that StopFlag, the owner's
// heartbeat and the plug's Timeout all bound a handshake or a record that never completes.
//
// Trust: the library's default verify paths (the system store; SSL_CERT_FILE and SSL_CERT_DIR
// override it), plus CertCAFile and CertCA (PEM) as further trust anchors. The peer's name is
// checked against the host the owner socket was asked to connect to (an IP literal against the
// certificate's IP addresses). PinnedPublicKey, when set, takes the place of both: the handshake
// runs without them and then fails unless the peer's key is pinned. LegacyTLS lowers the
// security level of this plug's own context only.
#pragma once

#include <memory>

#include "base/text.h"
#include "net/tlsplug.h"

struct ssl_st;
struct ssl_ctx_st;

namespace tessaly {

class TSSLOpenSSL : public TCustomSSL {
 public:
  explicit TSSLOpenSSL(TTCPBlockSocket& owner);
  ~TSSLOpenSSL() override;

  bool LibraryAvailable() const override { return true; }
  // "ssl_openssl", and the library's own name and version, e.g. "OpenSSL 3.0.19 27 Jan 2026".
  Text ProviderDescription() const override;
  Text ProviderName() const override;

  // Handshake as client, within Timeout. On failure the TCP connection stays open and PlugError
  // says why: 10060 timed out, 10053 stopped, 10054 the peer closed or reset the connection,
  // another socket code for another socket failure, else the library's error class (1 for a
  // protocol or certificate failure) with its reason, e.g. "TLS handshake failed: certificate
  // verify failed (certificate has expired)".
  bool ConnectTLS() override;
  // Handshake as server with CertificateFile and PrivateKeyFile (PEM, KeyPassword if encrypted).
  bool AcceptTLS() override;
  // Sends our closing alert (without waiting for the peer's) and ends TLS on the socket.
  bool ShutdownTLS() override;
  // Sends our closing alert and waits, within Timeout, for the peer's.
  bool CloseTLSBothWays() override;
  // Sends the whole buffer within the owner's NonblockSendTimeout: `length`, or -1 on failure.
  int SendData(const void* buffer, int length) override;
  // At least one decrypted byte (waiting up to Timeout for a record to complete), and then as
  // many more as are ready without waiting: count, 0 at the peer's close, -1 on failure.
  int ReceiveData(void* buffer, int length) override;
  // Decrypted bytes held by the library; 1 when only the peer's close or a failure is pending,
  // so that the next receive reports it without waiting on the handle.
  int PendingData() override;

  // Facts about the last handshake (kept after a failed one, for the peer's certificate);
  // "" and 0 before any.
  Text PeerSubject() override;
  Text PeerIssuer() override;
  // The common name of the peer's certificate.
  Text PeerName() override;
  // Serial number in upper-case hex.
  Text PeerSerial() override;
  // SHA-256 of the peer's certificate (DER), upper-case hex.
  Text PeerFingerprint() override;
  Text CipherName() override;
  Text ProtocolVersionName() override;
  int CipherBits() override;
  int CipherAlgorithmBits() override;
  // 0 when the peer's certificate verified, else the library's verify error code.
  int VerifyResult() override;
  // The peer's closing alert has arrived (a TCP close without it does not count).
  bool PeerClosedTLS() const override { return peer_sent_close_; }

 private:
  struct ContextFree {
    void operator()(ssl_ctx_st* context) const;
  };
  struct SessionFree {
    void operator()(ssl_st* session) const;
  };
  // The library's I/O callbacks over the owner's handle.
  struct Bridge;
  enum class Outcome { Done, PeerClosed, Failed };

  bool StartSession(bool as_server);
  bool SetupContext(bool as_server);
  bool SetupTrust();
  bool SetupOwnCertificate(bool required);
  bool SetupPeerName();
  // After a handshake with PinnedPublicKey: true when the peer's key is pinned, else PlugError
  // names the key it has.
  bool CheckPin();
  // Runs one library call until it completes, waiting on the handle as it asks, until the
  // deadline (steady-clock ms, -1 none). Failed means PlugError is set; `result` receives the
  // call's last answer.
  template <class Call>
  Outcome Drive(Call call, long long deadline, const char* what, int* result = nullptr);
  // Waits for the handle in stop-aware slices; false (PlugError set) on stop or time-out. While
  // a send runs, its limit counts from the last bytes moved instead.
  bool AwaitHandle(bool for_writing, long long deadline, const char* what);
  // PlugError from the library's error queue, else from what the bridge saw.
  void FailFromLibrary(int ssl_error, const char* what);
  // True (with nothing set) while a session can carry data; else PlugError is set.
  bool CanTransfer(const char* what);
  void EndSession();
  // The library reported the end of the peer's data.
  void NotePeerClose();

  std::unique_ptr<ssl_ctx_st, ContextFree> context_;
  std::unique_ptr<ssl_st, SessionFree> session_;
  // What the bridge saw on the handle: a socket failure (layer code) or the peer's close.
  int io_error_ = 0;
  bool io_eof_ = false;
  // While a send runs: its limit without progress (ms, -1 none) and when bytes last moved.
  int send_limit_ms_ = -1;
  long long last_progress_ms_ = 0;
  // The session failed beyond repair: no closing alert may be sent any more.
  bool fatal_ = false;
  // The peer's data has ended, by its closing alert or its TCP close; and by the alert.
  bool peer_closed_ = false;
  bool peer_sent_close_ = false;
  // A failure met while extra bytes were gathered after a receive; the next receive reports it.
  int deferred_error_ = 0;
  Text deferred_error_text_;
};

// The plug class that makes TSSLOpenSSL plugs with VerifyCert set.
std::unique_ptr<TCustomSSL> VerifyingOpenSSLPlug(TTCPBlockSocket& owner);

// Start-up: from now on sockets made with CreateDefault carry a verifying TSSLOpenSSL plug, so
// "https" addresses are fetched over TLS with the peer's certificate checked.
void UseOpenSSLByDefault();

}  // namespace tessaly
