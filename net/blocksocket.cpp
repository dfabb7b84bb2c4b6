// TBlockSocket: lifetime, connection steps, addresses, hooks and the error state.
#include "net/blocksocket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include "base/ipaddr.h"

namespace tessaly {

namespace {

Text Endpoint(const Text& ip, const Text& port) {
  return ip + ":" + port;
}

}  // namespace

TBlockSocket::TBlockSocket() {
  FdZero(read_set_);
}

TBlockSocket::~TBlockSocket() {
  // Only the base Close is reachable here; derived sockets close in their own destructors.
  TBlockSocket::Close();
  queued_options_.clear();
}

void TBlockSocket::SetMaxBandwidth(int value) {
  max_send_bandwidth_ = value;
  max_recv_bandwidth_ = value;
}

void TBlockSocket::SetFamily(TSocketFamily value) {
  family_ = value;
}

void TBlockSocket::SetSendMaxChunk(int value) {
  // A piece size of 0 would stall every send loop and divide by zero in ReadCountToStream.
  if (value > 0) send_max_chunk_ = value;
}

Text TBlockSocket::ReadAhead() const {
  return Text(AheadData(), static_cast<size_t>(AheadSize()));
}

// ---- Connection ---------------------------------------------------------------------------

void TBlockSocket::ResolveEndpoint(TSocketAddress& address, const Text& ip, const Text& port) {
  NotifyStatus(SR_Resolving, Endpoint(ip, port));
  ClearError();
  TSocketFamily family = family_;
  // A literal decides the family, unless a socket of some family already exists.
  if (handle_ == INVALID_SOCKET && family_ == SF_Any) {
    family = IsIPv4Text(ip) ? SF_IP4 : IsIPv6Text(ip) ? SF_IP6 : SF_Any;
  }
  socket_error_ = ResolveSocketAddress(address, ip, port, AddressFamilyOf(family), SocketProtocol(),
                                       SocketKind(), prefer_ip4_);
  NotifyStatus(SR_Resolved, Endpoint(ip, port));
}

void TBlockSocket::OpenHandle(const TSocketAddress& address) {
  peer_end_ = TPeerEnd::Open;
  bytes_read_ = 0;
  bytes_written_ = 0;
  ClearError();
  if (handle_ != INVALID_SOCKET) return;
  ClearAhead();
  using_ip6_ = address.Family() == AF_INET6;
  handle_ = CreateSocket(address.Family(), SocketKind(), SocketProtocol());
  FdZero(read_set_);
  if (handle_ == INVALID_SOCKET) {
    socket_error_ = LastSocketError();
    // No socket was made: no creation event, and the queued options wait for the next try.
    ReportError();
    return;
  }
  FdSet(handle_, read_set_);
  ReportError();
  NotifyStatus(SR_Created, using_ip6_ ? "IPv6" : "IPv4");
  ApplyQueuedOptions();
  NotifyCreated();
}

void TBlockSocket::BindTo(const Text& ip, const Text& port) {
  ClearError();
  // The wildcard on a closed socket of no particular family is "bind nowhere in particular".
  if (handle_ == INVALID_SOCKET && family_ == SF_Any && ip == "0.0.0.0" && port == "0") return;
  TSocketAddress address{};
  ResolveEndpoint(address, ip, port);
  if (socket_error_ == 0) {
    if (handle_ == INVALID_SOCKET) OpenHandle(address);
    if (socket_error_ == 0) {
      CheckResult(BindToAddress(handle_, address));
      LocalAddressOf(handle_, local_address_);
    }
    ClearAhead();
  }
  ReportError();
  NotifyStatus(SR_Bound, Endpoint(ip, port));
}

void TBlockSocket::ConnectTo(const Text& ip, const Text& port) {
  TSocketAddress address{};
  // A stop asked for before or while the name was looked up ends the connect before it starts:
  // the lookup itself cannot be cut short, the wait for the peer can be avoided.
  ClearError();
  if (!TakeStop()) ResolveEndpoint(address, ip, port);
  if (socket_error_ == 0) TakeStop();
  if (socket_error_ == 0) {
    if (handle_ == INVALID_SOCKET) OpenHandle(address);
    if (socket_error_ == 0) {
      peer_end_ = TPeerEnd::Open;
      ConnectWithinLimit(address);
      if (socket_error_ == 0) FetchAddresses();
    }
    ClearAhead();
    skip_lf_ = false;
    skip_cr_ = false;
  }
  ReportError();
  NotifyStatus(SR_Connected, Endpoint(ip, port));
}

void TBlockSocket::ConnectWithinLimit(const TSocketAddress& address) {
  // The platform's connect waits minutes for a peer that does not answer, and nothing can cut
  // it short; run non-blocking, the wait is this socket's own and can be limited and stopped.
  int mode = 1;
  IoctlSocket(handle_, FIONBIO, mode);
  CheckResult(ConnectToAddress(handle_, address));
  if (socket_error_ == WSAEINPROGRESS || socket_error_ == WSAEWOULDBLOCK) {
    if (WaitWritableSliced(connect_timeout_)) {
      int pending = 0;
      int length = sizeof(pending);
      if (GetSocketOption(handle_, SOL_SOCKET, SO_ERROR, &pending, length) != 0) {
        CheckResult(SOCKET_ERROR);
      } else {
        socket_error_ = ErrnoToSocketError(pending);
      }
    }
  }
  mode = 0;
  IoctlSocket(handle_, FIONBIO, mode);
}

void TBlockSocket::Close() {
  CloseNow();
}

void TBlockSocket::CloseNow() {
  if (handle_ != INVALID_SOCKET) CloseSocket(handle_);
  handle_ = INVALID_SOCKET;
  FdZero(read_set_);
  queued_options_.clear();
  NotifyStatus(SR_Closed, "");
}

void TBlockSocket::AdoptHandle(TSocketHandle handle) {
  // The socket owns its handle; one replaced here would otherwise leak.
  if (handle_ != INVALID_SOCKET && handle_ != handle) CloseSocket(handle_);
  peer_end_ = TPeerEnd::Open;
  bytes_read_ = 0;
  bytes_written_ = 0;
  handle_ = handle;
  FdZero(read_set_);
  FdSet(handle_, read_set_);
  FetchAddresses();
  using_ip6_ = peer_address_.Family() == AF_INET6;
}

// ---- Addresses and names ------------------------------------------------------------------

void TBlockSocket::FetchAddresses() {
  LocalAddressOf(handle_, local_address_);
  PeerAddressOf(handle_, peer_address_);
}

Text TBlockSocket::LocalIP() {
  return AddressToText(local_address_);
}
Text TBlockSocket::PeerIP() {
  return AddressToText(peer_address_);
}
int TBlockSocket::LocalPort() {
  return AddressToPort(local_address_);
}
int TBlockSocket::PeerPort() {
  return AddressToPort(peer_address_);
}

Text TBlockSocket::HostName() {
  Text name = LocalHostName();
  return name.empty() ? Text("127.0.0.1") : name;
}

void TBlockSocket::ResolveAll(const Text& name, TLineList& list) {
  list.Clear();
  LookupHostAddresses(name, AddressFamilyOf(family_), SocketProtocol(), SocketKind(), list);
  if (list.Count() == 0) list.Add("0.0.0.0");
}

Text TBlockSocket::ResolveFirst(const Text& name) {
  TLineList list;
  ResolveAll(name, list);
  return list[0];
}

int TBlockSocket::PortNumber(const Text& port) {
  return LookupPortNumber(port, AddressFamilyOf(family_), SocketProtocol(), SocketKind());
}

int TBlockSocket::SocketKind() const {
  return 0;
}
int TBlockSocket::SocketProtocol() const {
  return 0;
}

// ---- Hooks --------------------------------------------------------------------------------

void TBlockSocket::NotifyStatus(THookSocketReason reason, const Text& value) {
  if (on_status_) on_status_(*this, reason, value);
}

void TBlockSocket::NotifyMonitor(bool writing, const void* buffer, int length) {
  if (on_monitor_) on_monitor_(*this, writing, buffer, length);
}

void TBlockSocket::NotifyCreated() {
  if (on_create_socket_) on_create_socket_(*this);
}

void TBlockSocket::NotifyHeartbeat() {
  if (heartbeat_rate_ != 0 && on_heartbeat_) on_heartbeat_(*this);
}

// ---- Error state --------------------------------------------------------------------------

void TBlockSocket::ClearError() {
  socket_error_ = 0;
  socket_error_text_.clear();
}

int TBlockSocket::CheckResult(int result) {
  // The thread's error number is read before anything else can change it.
  const int code = result == SOCKET_ERROR ? LastSocketError() : 0;
  ClearError();
  if (code != 0) {
    socket_error_ = code;
    socket_error_text_ = GetErrorDescEx();
  }
  return socket_error_;
}

void TBlockSocket::ReportError() {
  socket_error_text_ = GetErrorDescEx();
  // Would-block and in-progress are states, not failures worth an event.
  if (socket_error_ == 0 || socket_error_ == WSAEWOULDBLOCK || socket_error_ == WSAEINPROGRESS) {
    return;
  }
  NotifyStatus(SR_Failed, IntToText(socket_error_) + "," + socket_error_text_);
  if (raise_except_) throw ENetSocketError(socket_error_, socket_error_text_);
}

Text TBlockSocket::GetErrorDesc(int code) {
  return ::tessaly::GetErrorDesc(code);
}

Text TBlockSocket::GetErrorDescEx() const {
  return GetErrorDesc(socket_error_);
}

}  // namespace tessaly
