#include "net/tcpsocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>

namespace tessaly {

TSocksBlockSocket::TSocksBlockSocket() = default;

TTCPBlockSocket::TTCPBlockSocket() : TTCPBlockSocket(DefaultSSLPlugClass()) {}

TTCPBlockSocket::TTCPBlockSocket(TSSLClass plug_class) {
  if (plug_class == nullptr) plug_class = &SSLPlugClass<TSSLNone>;
  ssl_plug_ = plug_class(*this);
  if (!ssl_plug_) ssl_plug_ = std::make_unique<TSSLNone>(*this);
}

std::unique_ptr<TTCPBlockSocket> TTCPBlockSocket::CreateDefault() {
  return std::make_unique<TTCPBlockSocket>();
}

std::unique_ptr<TTCPBlockSocket> TTCPBlockSocket::CreateWithPlug(TSSLClass plug_class) {
  return std::make_unique<TTCPBlockSocket>(plug_class);
}

TTCPBlockSocket::~TTCPBlockSocket() {
  // The base destructor closes the handle; the graceful part needs this class and its plug,
  // which are gone by then.
  ShutdownGracefully();
}

void TTCPBlockSocket::ConnectTo(const Text& ip, const Text& port) {
  connect_host_ = ip;
  if (!SocksIP().empty()) {
    ConnectViaSocks(ip, port);
  } else if (!http_tunnel_ip_.empty()) {
    ConnectViaTunnel(ip, port);
  } else {
    TBlockSocket::ConnectTo(ip, port);
  }
  if (SocketError() == 0 && on_after_connect_) on_after_connect_(*this);
}

void TTCPBlockSocket::OpenTlsSession() {
  ClearError();
  if (!ssl_plug_->ConnectTLS()) SetSocketError(ErrNegotiationFailed);
  ReportError();
}

void TTCPBlockSocket::ShutdownGracefully() {
  if (ssl_plug_->TLSActive()) ssl_plug_->ShutdownTLS();
  if (Handle() != INVALID_SOCKET && SocketError() == 0) {
    ShutdownSocket(Handle(), SHUT_WR);
    DrainInput();
  }
}

void TTCPBlockSocket::Close() {
  ShutdownGracefully();
  TSocksBlockSocket::Close();
}

void TTCPBlockSocket::StartListening() {
  if (SocksIP().empty()) {
    CheckResult(ListenSocket(Handle(), INT_MAX));
    FetchAddresses();
  } else {
    ListenViaSocks();
  }
  ReportError();
  NotifyStatus(SR_Listening, "");
}

int TTCPBlockSocket::WriteBuffer(const void* buffer, int length) {
  if (!ssl_plug_->TLSActive()) return TSocksBlockSocket::WriteBuffer(buffer, length);
  return WriteThroughPlug(buffer, length);
}

int TTCPBlockSocket::WriteThroughPlug(const void* buffer, int length) {
  int sent = 0;
  if (CheckStop()) return 0;
  ClearError();
  NotifyMonitor(true, buffer, length);
  const char* data = static_cast<const char*>(buffer);
  while (sent < length) {
    int piece = std::min(length - sent, SendMaxChunk());
    if (piece <= 0) break;
    Throttle(piece, MaxSendBandwidth(), next_write_tick_);
    int n = ssl_plug_->SendData(data + sent, piece);
    // A count of 0 or less is a failure even when the plug forgot to say so: adding it to the
    // offset would loop for ever or run backwards.
    if (ssl_plug_->PlugError() != 0 || n <= 0) SetSocketError(ErrNegotiationFailed);
    if (SocketError() != 0) break;
    sent += n;
    bytes_written_ += n;
    NotifyStatus(SR_Written, IntToText(n));
  }
  ReportError();
  return sent;
}

int TTCPBlockSocket::ReadSome(void* buffer, int length) {
  if (!ssl_plug_->TLSActive()) return TSocksBlockSocket::ReadSome(buffer, length);
  return ReadThroughPlug(buffer, length);
}

int TTCPBlockSocket::ReadThroughPlug(void* buffer, int length) {
  if (CheckStop()) return 0;
  ClearError();
  Throttle(length, MaxRecvBandwidth(), next_read_tick_);
  int count = ssl_plug_->ReceiveData(buffer, length);
  if (ssl_plug_->PlugError() != 0 || count < 0) {
    if (ssl_plug_->PlugError() == WSAECONNRESET) NotePeerEnd(TPeerEnd::Reset);
    SetSocketError(ErrNegotiationFailed);
  } else if (count == 0) {
    // As on a plain connection: nothing at all means the peer has closed.
    NotePeerEnd(ssl_plug_->PeerClosedTLS() ? TPeerEnd::TlsClosed : TPeerEnd::TlsBareEnd);
    SetSocketError(ErrPeerClosed);
  }
  ReportError();
  if (count > 0) {
    bytes_read_ += count;
    NotifyStatus(SR_Read, IntToText(count));
    NotifyMonitor(false, buffer, count);
    FilterInput(buffer, count);
  }
  return count;
}

int TTCPBlockSocket::PendingBytes() {
  if (ssl_plug_->TLSActive() && Handle() != INVALID_SOCKET) {
    int pending = ssl_plug_->PendingData();
    if (pending != 0) return pending;
  }
  return TSocksBlockSocket::PendingBytes();
}

int TTCPBlockSocket::ProbePeerEnd() {
  if (!ssl_plug_->TLSActive()) return TSocksBlockSocket::ProbePeerEnd();
  // A bare end of the TCP stream is how a cut connection, or an attacker, truncates a TLS one.
  return ProbeStreamEnd(ssl_plug_->PeerClosedTLS() ? TPeerEnd::TlsClosed : TPeerEnd::TlsBareEnd);
}

Text TTCPBlockSocket::LocalIP() {
  if (SocksActive()) return SocksBoundHost();
  return TSocksBlockSocket::LocalIP();
}

Text TTCPBlockSocket::PeerIP() {
  if (SocksActive()) return SocksTargetHost();
  if (tunnel_open_) return tunnel_target_host_;
  return TSocksBlockSocket::PeerIP();
}

int TTCPBlockSocket::LocalPort() {
  if (SocksActive()) return ParseIntDefault(SocksBoundPort(), 0);
  return TSocksBlockSocket::LocalPort();
}

int TTCPBlockSocket::PeerPort() {
  if (SocksActive()) return PortNumber(SocksTargetPort());
  if (tunnel_open_) return ParseIntDefault(tunnel_target_port_, 0);
  return TSocksBlockSocket::PeerPort();
}

int TTCPBlockSocket::SocketKind() const {
  return SOCK_STREAM;
}

int TTCPBlockSocket::SocketProtocol() const {
  return IPPROTO_TCP;
}

Text TTCPBlockSocket::GetErrorDescEx() const {
  Text text = TSocksBlockSocket::GetErrorDescEx();
  if (SocketError() == ErrNegotiationFailed && ssl_plug_ && ssl_plug_->PlugError() != 0) {
    text = ssl_plug_->PlugErrorText();
  }
  return text;
}

}  // namespace tessaly
