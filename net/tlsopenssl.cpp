// TSSLOpenSSL: the session, its handshake and its data path over the owner's handle.
#include "net/tlsopenssl.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "net/socketerror.h"
#include "net/tcpsocket.h"

namespace tessaly {

namespace {

// Without a heartbeat rate the waits still wake this often to look at StopFlag.
constexpr int kStopSliceMs = 100;
// PendingBytes never answers more than the socket's own read size.
constexpr int kMaxPending = 65536;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long long DeadlineAfter(int timeout_ms) {
  return timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
}

struct MethodFree {
  void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

}  // namespace

// The library reads and writes through these callbacks. They never block: the plug waits for
// readiness itself, so that its waits can be bounded and stopped.
struct TSSLOpenSSL::Bridge {
  static TSSLOpenSSL& PlugOf(BIO* bio) { return *static_cast<TSSLOpenSSL*>(BIO_get_data(bio)); }

  static int Write(BIO* bio, const char* buffer, int length) {
    TSSLOpenSSL& plug = PlugOf(bio);
    BIO_clear_retry_flags(bio);
    const int n = SendBytes(plug.SocketHandle(), buffer, length, MSG_DONTWAIT);
    if (n > 0) plug.last_progress_ms_ = NowMs();
    if (n >= 0) return n;
    const int code = LastSocketError();
    if (code == WSAEWOULDBLOCK) {
      BIO_set_retry_write(bio);
    } else {
      plug.io_error_ = code;
    }
    return -1;
  }

  static int Read(BIO* bio, char* buffer, int length) {
    TSSLOpenSSL& plug = PlugOf(bio);
    BIO_clear_retry_flags(bio);
    const int n = ReceiveBytes(plug.SocketHandle(), buffer, length, MSG_DONTWAIT);
    if (n > 0) {
      plug.last_progress_ms_ = NowMs();
      return n;
    }
    if (n == 0) {
      plug.io_eof_ = true;
      return 0;
    }
    const int code = LastSocketError();
    if (code == WSAEWOULDBLOCK) {
      BIO_set_retry_read(bio);
    } else {
      plug.io_error_ = code;
    }
    return -1;
  }

  static long Control(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
      case BIO_CTRL_FLUSH:
        return 1;  // writes go straight to the handle
      case BIO_CTRL_EOF:
        // Lets the library tell the peer's TCP close from a failed read.
        return PlugOf(bio).io_eof_ ? 1 : 0;
      default:
        return 0;
    }
  }

  static BIO_METHOD* Method() {
    static const std::unique_ptr<BIO_METHOD, MethodFree> method = [] {
      std::unique_ptr<BIO_METHOD, MethodFree> m(
          BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tessaly socket"));
      if (m) {
        BIO_meth_set_write(m.get(), &Write);
        BIO_meth_set_read(m.get(), &Read);
        BIO_meth_set_ctrl(m.get(), &Control);
      }
      return m;
    }();
    return method.get();
  }
};

void TSSLOpenSSL::ContextFree::operator()(ssl_ctx_st* context) const {
  SSL_CTX_free(context);
}

void TSSLOpenSSL::SessionFree::operator()(ssl_st* session) const {
  SSL_free(session);
}

TSSLOpenSSL::TSSLOpenSSL(TTCPBlockSocket& owner) : TCustomSSL(owner) {}

// Freeing a session sends nothing: the owner shuts TLS down before it lets the plug go.
TSSLOpenSSL::~TSSLOpenSSL() = default;

void TSSLOpenSSL::EndSession() {
  SetTLSActive(false);
  session_.reset();
  context_.reset();
  io_error_ = 0;
  io_eof_ = false;
  fatal_ = false;
  peer_closed_ = false;
  peer_sent_close_ = false;
  deferred_error_ = 0;
  deferred_error_text_.clear();
}

bool TSSLOpenSSL::ConnectTLS() {
  return StartSession(false);
}

bool TSSLOpenSSL::AcceptTLS() {
  return StartSession(true);
}

bool TSSLOpenSSL::StartSession(bool as_server) {
  ClearPlugError();
  EndSession();
  if (SocketHandle() == INVALID_SOCKET) {
    SetPlugError(WSAENOTCONN, "TLS needs a connected socket");
    return false;
  }
  if (!SetupContext(as_server)) return false;
  session_.reset(SSL_new(context_.get()));
  BIO* bio = Bridge::Method() != nullptr ? BIO_new(Bridge::Method()) : nullptr;
  if (!session_ || bio == nullptr) {
    BIO_free(bio);
    FailFromLibrary(SSL_ERROR_SSL, "TLS setup");
    return false;
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(session_.get(), bio, bio);  // the session owns the bridge from here on
  if (as_server) {
    SSL_set_accept_state(session_.get());
  } else {
    if (!SetupPeerName()) return false;
    SSL_set_connect_state(session_.get());
  }
  SSL* ssl = session_.get();
  const Outcome outcome =
      Drive([ssl] { return SSL_do_handshake(ssl); }, DeadlineAfter(Timeout()), "TLS handshake");
  if (outcome == Outcome::PeerClosed) {
    SetPlugError(ErrPeerClosed, "TLS handshake failed: the peer closed the connection");
  }
  if (outcome != Outcome::Done) {
    // The session stays for VerifyResult and the peer queries; it can carry nothing more.
    fatal_ = true;
    return false;
  }
  if (!as_server && !PinnedPublicKey().empty() && !CheckPin()) {
    fatal_ = true;
    return false;
  }
  SetTLSActive(true);
  return true;
}

template <class Call>
TSSLOpenSSL::Outcome TSSLOpenSSL::Drive(Call call, long long deadline, const char* what,
                                        int* result) {
  for (;;) {
    ERR_clear_error();
    io_error_ = 0;
    io_eof_ = false;
    const int answer = call();
    if (result != nullptr) *result = answer;
    if (answer > 0) return Outcome::Done;
    const int error = SSL_get_error(session_.get(), answer);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (!AwaitHandle(error == SSL_ERROR_WANT_WRITE, deadline, what)) return Outcome::Failed;
      continue;
    }
    if (error == SSL_ERROR_ZERO_RETURN) return Outcome::PeerClosed;
    FailFromLibrary(error, what);
    return Outcome::Failed;
  }
}

bool TSSLOpenSSL::AwaitHandle(bool for_writing, long long deadline, const char* what) {
  TTCPBlockSocket& owner = OwnerSocket();
  const int rate = owner.HeartbeatRate();
  const int slice = rate > 0 ? rate : kStopSliceMs;
  for (;;) {
    if (owner.CheckStop()) {
      SetPlugError(ErrStopped, Text(what) + " stopped");
      return false;
    }
    if (SocketHandle() == INVALID_SOCKET) {
      SetPlugError(WSAENOTSOCK, Text(what) + " failed: the socket is closed");
      return false;
    }
    long long wait = slice;
    if (send_limit_ms_ >= 0) deadline = last_progress_ms_ + send_limit_ms_;
    if (deadline >= 0) {
      const long long left = deadline - NowMs();
      if (left <= 0) {
        SetPlugError(ErrTimedOut, Text(what) + " timed out");
        return false;
      }
      wait = std::min(wait, left);
    }
    const int ms = static_cast<int>(wait);
    if (for_writing ? WaitHandleWritable(ms) : WaitHandleReadable(ms)) return true;
  }
}

void TSSLOpenSSL::FailFromLibrary(int ssl_error, const char* what) {
  fatal_ = true;
  Text text = Text(what) + " failed";
  const unsigned long code = ERR_peek_error();
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) {
      text += ": ";
      text += reason;
    } else {
      char line[256];
      ERR_error_string_n(code, line, sizeof line);
      text += ": ";
      text += line;
    }
    if (session_ && ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      const long verify = SSL_get_verify_result(session_.get());
      if (verify != X509_V_OK) {
        text += " (";
        text += X509_verify_cert_error_string(verify);
        text += ")";
      }
    }
    SetPlugError(ssl_error, text);
  } else if (io_error_ != 0) {
    SetPlugError(io_error_, text + ": " + GetErrorDesc(io_error_));
  } else if (io_eof_) {
    SetPlugError(ErrPeerClosed, text + ": the peer closed the connection");
  } else {
    SetPlugError(ssl_error, text + ": library error " + IntToText(ssl_error));
  }
  ERR_clear_error();
}

bool TSSLOpenSSL::CanTransfer(const char* what) {
  if (session_ && TLSActive() && !fatal_) return true;
  SetPlugError(WSAENOTCONN, Text(what) + " failed: no TLS session");
  return false;
}

int TSSLOpenSSL::SendData(const void* buffer, int length) {
  ClearPlugError();
  if (!CanTransfer("TLS send")) return -1;
  SSL* ssl = session_.get();
  const char* data = static_cast<const char*>(buffer);
  // As for a plain send, the limit is on a peer that takes nothing, not on a slow one.
  send_limit_ms_ = std::max(OwnerSocket().NonblockSendTimeout(), -1);
  last_progress_ms_ = NowMs();
  int sent = 0;
  while (sent < length) {
    int count = 0;
    const Outcome outcome =
        Drive([&] { return SSL_write(ssl, data + sent, length - sent); }, -1, "TLS send", &count);
    if (outcome == Outcome::PeerClosed) {
      SetPlugError(ErrPeerClosed, "TLS send failed: the peer closed the connection");
    }
    if (outcome != Outcome::Done) break;
    sent += count;
  }
  send_limit_ms_ = -1;
  return sent < length ? -1 : sent;
}

int TSSLOpenSSL::ReceiveData(void* buffer, int length) {
  ClearPlugError();
  if (deferred_error_ != 0) {
    SetPlugError(deferred_error_, deferred_error_text_);
    deferred_error_ = 0;
    deferred_error_text_.clear();
    return -1;
  }
  if (peer_closed_) return 0;
  if (!CanTransfer("TLS receive")) return -1;
  if (length <= 0) return 0;
  SSL* ssl = session_.get();
  char* data = static_cast<char*>(buffer);
  int got = 0;
  const Outcome outcome = Drive([&] { return SSL_read(ssl, data, length); },
                                DeadlineAfter(Timeout()), "TLS receive", &got);
  if (outcome == Outcome::PeerClosed) {
    NotePeerClose();
    return 0;
  }
  if (outcome == Outcome::Failed) return -1;
  // The library hands out one record per call; taking every record that is complete already
  // saves the socket a round of waiting and asking per record.
  while (got < length) {
    ERR_clear_error();
    io_error_ = 0;
    io_eof_ = false;
    const int count = SSL_read(ssl, data + got, length - got);
    if (count > 0) {
      got += count;
      continue;
    }
    const int error = SSL_get_error(ssl, count);
    if (error == SSL_ERROR_ZERO_RETURN) {
      NotePeerClose();
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      // The bytes already decrypted are handed out first; the failure comes with the next call.
      FailFromLibrary(error, "TLS receive");
      deferred_error_ = PlugError();
      deferred_error_text_ = PlugErrorText();
      ClearPlugError();
    }
    break;
  }
  return got;
}

void TSSLOpenSSL::NotePeerClose() {
  peer_closed_ = true;
  // The library reports a bare TCP close the same way; only the bridge saw that one.
  peer_sent_close_ = !io_eof_;
}

// Only a question: it leaves the plug's last error alone.
int TSSLOpenSSL::PendingData() {
  if (!session_) return 0;
  if (peer_closed_ || deferred_error_ != 0) return 1;
  return std::clamp(SSL_pending(session_.get()), 0, kMaxPending);
}

bool TSSLOpenSSL::ShutdownTLS() {
  ClearPlugError();
  const bool active = TLSActive();
  SetTLSActive(false);
  if (!active || !session_ || fatal_ || SocketHandle() == INVALID_SOCKET) return true;
  SSL* ssl = session_.get();
  // 0 (our alert sent, the peer's not yet seen) is as good as 1 here.
  const Outcome outcome = Drive(
      [ssl] {
        const int answer = SSL_shutdown(ssl);
        return answer >= 0 ? 1 : answer;
      },
      DeadlineAfter(OwnerSocket().NonblockSendTimeout()), "TLS shutdown");
  return outcome == Outcome::Done;
}

bool TSSLOpenSSL::CloseTLSBothWays() {
  const bool active = TLSActive() && session_ && !fatal_;
  if (!ShutdownTLS()) return false;
  if (!active || peer_closed_ || SocketHandle() == INVALID_SOCKET) return true;
  // The peer may still send data before its alert; it is read and dropped.
  SSL* ssl = session_.get();
  char sink[4096];
  const long long deadline = DeadlineAfter(Timeout());
  for (;;) {
    const Outcome outcome =
        Drive([&] { return SSL_read(ssl, sink, sizeof sink); }, deadline, "TLS close");
    if (outcome == Outcome::PeerClosed) break;
    if (outcome == Outcome::Failed) return false;
  }
  NotePeerClose();
  return true;
}

}  // namespace tessaly
