// The TCP socket that the HTTP client uses: a TBlockSocket fixed to stream sockets over TCP
// that reaches its peer directly, through a SOCKS4/4a/5 server or through an HTTP proxy's
// CONNECT tunnel, closes gracefully, can listen, and carries a TLS plug (net/tlsplug.h).
//
// As with TBlockSocket, every operation reports its outcome in SocketError(); proxy and TLS
// negotiation failures show as 10091 (11003 for a SOCKS listen).
#pragma once

#include <functional>
#include <memory>

#include "base/text.h"
#include "net/blocksocket.h"
#include "net/tlsplug.h"

namespace tessaly {

enum TSocksType { ST_Socks5 = 0, ST_Socks4 = 1 };

// SOCKS settings and state. The negotiation itself runs from TTCPBlockSocket.
class TSocksBlockSocket : public TBlockSocket {
 public:
  // TBlockSocket's defaults, no SOCKS server, port "1080", SOCKS5, 60000 ms per read, the
  // server resolves names.
  TSocksBlockSocket();

  // ---- Published settings -------------------------------------------------------------------

  // Host of the SOCKS server; "" means connections go without SOCKS.
  const Text& SocksIP() const { return socks_ip_; }
  void SetSocksIP(const Text& value) { socks_ip_ = value; }
  const Text& SocksPort() const { return socks_port_; }
  void SetSocksPort(const Text& value) { socks_port_ = value; }
  // SOCKS5 user name (user/password method offered when not empty) and SOCKS4 user id.
  const Text& SocksUsername() const { return socks_username_; }
  void SetSocksUsername(const Text& value) { socks_username_ = value; }
  const Text& SocksPassword() const { return socks_password_; }
  void SetSocksPassword(const Text& value) { socks_password_ = value; }
  // Limit of each read of a SOCKS exchange, in ms.
  int SocksTimeout() const { return socks_timeout_; }
  void SetSocksTimeout(int value) { socks_timeout_ = value; }
  // true: the SOCKS server resolves host names; false: they are resolved here and sent as
  // addresses.
  bool SocksResolver() const { return socks_resolver_; }
  void SetSocksResolver(bool value) { socks_resolver_ = value; }
  TSocksType SocksType() const { return socks_type_; }
  void SetSocksType(TSocksType value) { socks_type_ = value; }

  // ---- State ----------------------------------------------------------------------------------

  // The last SOCKS greeting succeeded (the address queries then answer from the fields below).
  bool SocksActive() const { return socks_active_; }
  // Status byte of the last reply; -1 while a reply is awaited.
  int SocksReplyCode() const { return socks_reply_code_; }
  // Address and port carried in the last reply.
  const Text& SocksReplyHost() const { return socks_reply_host_; }
  const Text& SocksReplyPort() const { return socks_reply_port_; }
  // The local end as the SOCKS server reports it.
  const Text& SocksBoundHost() const { return socks_bound_host_; }
  const Text& SocksBoundPort() const { return socks_bound_port_; }
  // The remote end requested through SOCKS.
  const Text& SocksTargetHost() const { return socks_target_host_; }
  const Text& SocksTargetPort() const { return socks_target_port_; }

  // ---- Negotiation steps (on a socket already connected to the SOCKS server) ---------------

  // SOCKS5: offers "no authentication", plus user/password when SocksUsername is set, and
  // authenticates when the server picks it. SOCKS4 has no greeting. Sets SocksActive on
  // success. User name or password longer than 255 bytes fail at once, sending nothing.
  bool SocksGreeting();
  // Sends a request (command 1 connect, 2 bind) for host:port. True when it was sent. An
  // address that cannot be encoded is not sent (SocketError 11001 when the local resolution
  // found nothing, else left 0 for the caller to fill in).
  bool SocksSendRequest(int command, const Text& host, const Text& port);
  // Reads and checks the server's reply (codes 0 and 90 succeed) and decodes its address.
  bool SocksReadReply();
  // The address part of a request: SOCKS5 type byte, address and port; SOCKS4 port, address
  // and user id (SOCKS4a form for names). "" when it cannot be encoded: a name or user id
  // whose length or bytes the protocol cannot carry, or (with SocksResolver false) a name that
  // does not resolve, which also sets SocketError 11001.
  Text SocksEncodeAddress(const Text& host, const Text& port);
  // Fills SocksReplyHost and SocksReplyPort from the bytes of a reply; SocksReplyPort is "0"
  // when the reply is too short or has an unknown address type.
  void SocksDecodeAddress(const Text& reply);

 protected:
  void SetSocksActive(bool value) { socks_active_ = value; }
  void SetSocksBound(const Text& host, const Text& port) {
    socks_bound_host_ = host;
    socks_bound_port_ = port;
  }
  void SetSocksTarget(const Text& host, const Text& port) {
    socks_target_host_ = host;
    socks_target_port_ = port;
  }

 private:
  Text socks_ip_;
  Text socks_port_ = "1080";
  int socks_timeout_ = 60000;
  Text socks_username_;
  Text socks_password_;
  bool socks_active_ = false;
  bool socks_resolver_ = true;
  int socks_reply_code_ = 0;
  Text socks_reply_host_;
  Text socks_reply_port_;
  Text socks_bound_host_;
  Text socks_bound_port_;
  Text socks_target_host_;
  Text socks_target_port_;
  TSocksType socks_type_ = ST_Socks5;
};

class TTCPBlockSocket;
// Called after every successful ConnectTo.
using THookAfterConnect = std::function<void(TTCPBlockSocket& sender)>;

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  // A socket whose plug is made by DefaultSSLPlugClass().
  TTCPBlockSocket();
  // A socket whose plug is made by plug_class (nullptr: TSSLNone).
  explicit TTCPBlockSocket(TSSLClass plug_class);
  // The same as owned objects.
  static std::unique_ptr<TTCPBlockSocket> CreateDefault();
  static std::unique_ptr<TTCPBlockSocket> CreateWithPlug(TSSLClass plug_class);
  // Closes gracefully, then frees the plug.
  ~TTCPBlockSocket() override;

  // ---- Published settings -------------------------------------------------------------------

  // Host and port of the HTTP proxy whose CONNECT tunnel is used; "" host means no tunnel
  // (SOCKS, when set, takes precedence).
  const Text& HTTPTunnelIP() const { return http_tunnel_ip_; }
  void SetHTTPTunnelIP(const Text& value) { http_tunnel_ip_ = value; }
  const Text& HTTPTunnelPort() const { return http_tunnel_port_; }
  void SetHTTPTunnelPort(const Text& value) { http_tunnel_port_ = value; }
  // Basic authorisation for the proxy; "" user means none is sent.
  const Text& HTTPTunnelUser() const { return http_tunnel_user_; }
  void SetHTTPTunnelUser(const Text& value) { http_tunnel_user_ = value; }
  const Text& HTTPTunnelPass() const { return http_tunnel_pass_; }
  void SetHTTPTunnelPass(const Text& value) { http_tunnel_pass_ = value; }
  // Limit of each line read of the proxy's answer, in ms.
  int HTTPTunnelTimeout() const { return http_tunnel_timeout_; }
  void SetHTTPTunnelTimeout(int value) { http_tunnel_timeout_ = value; }
  const THookAfterConnect& OnAfterConnect() const { return on_after_connect_; }
  void SetOnAfterConnect(THookAfterConnect hook) { on_after_connect_ = std::move(hook); }

  // ---- State ----------------------------------------------------------------------------------

  // The proxy accepted the last CONNECT.
  bool TunnelOpen() const { return tunnel_open_; }
  // Host (bracketed when IPv6) and port as sent in the last CONNECT.
  const Text& TunnelTargetHost() const { return tunnel_target_host_; }
  const Text& TunnelTargetPort() const { return tunnel_target_port_; }
  // Host text of the last ConnectTo, whichever way it went: the name a TLS peer must prove.
  const Text& ConnectHost() const { return connect_host_; }
  // The TLS plug (never null).
  TCustomSSL& SSLPlug() const { return *ssl_plug_; }

  // ---- Operations ---------------------------------------------------------------------------

  // Connects to host:port through SOCKS when SocksIP is set, else through the tunnel when
  // HTTPTunnelIP is set, else directly; then OnAfterConnect when SocketError is 0.
  void ConnectTo(const Text& ip, const Text& port) override;
  // Asks the plug to start TLS as client on the connection; 10091 with the plug's text when
  // it cannot. The TCP connection stays open either way.
  void OpenTlsSession();
  // Ends TLS when active; on an open socket without a pending error shuts the sending side
  // and discards what the peer still sends; then closes the handle.
  void Close() override;
  // Listens on the bound socket (backlog as large as the platform allows) or, with SocksIP
  // set, asks the SOCKS server to listen for it (failure 11003). SR_Listening afterwards.
  void StartListening();

  // The three ways of connecting, for callers that want one explicitly.
  void ConnectViaSocks(const Text& host, const Text& port);
  void ListenViaSocks();
  void ConnectViaTunnel(const Text& host, const Text& port);

  // Through the plug while TLS is active; otherwise as TBlockSocket.
  int WriteBuffer(const void* buffer, int length) override;
  int ReadSome(void* buffer, int length) override;
  int PendingBytes() override;
  // Over TLS the end of the TCP stream is complete only after the peer's closing alert.
  int ProbePeerEnd() override;

  // The SOCKS bound/target ends while SocksActive, the tunnel's target while TunnelOpen
  // (peer side only), else the platform's addresses.
  Text LocalIP() override;
  Text PeerIP() override;
  int LocalPort() override;
  int PeerPort() override;

  // SOCK_STREAM (1) and IPPROTO_TCP (6).
  int SocketKind() const override;
  int SocketProtocol() const override;
  // The text of SocketError; for 10091 after the plug has failed, the plug's own text.
  Text GetErrorDescEx() const override;

 private:
  // The plug's shutdown and the half-close with draining, without closing the handle.
  void ShutdownGracefully();
  int WriteThroughPlug(const void* buffer, int length);
  int ReadThroughPlug(void* buffer, int length);

  THookAfterConnect on_after_connect_;
  std::unique_ptr<TCustomSSL> ssl_plug_;
  Text http_tunnel_ip_;
  Text http_tunnel_port_;
  bool tunnel_open_ = false;
  Text tunnel_target_host_;
  Text tunnel_target_port_;
  Text connect_host_;
  Text http_tunnel_user_;
  Text http_tunnel_pass_;
  int http_tunnel_timeout_ = 30000;
};

}  // namespace tessaly
// API complete
