// The proxy negotiations of the TCP socket: SOCKS4, SOCKS4a and SOCKS5 (with the user/password
// method) and the HTTP proxy's CONNECT tunnel.
#include <cstdint>

#include "base/codec.h"
#include "base/ipaddr.h"
#include "net/tcpsocket.h"

namespace tessaly {

namespace {

constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks4ReplyVersion = 0;
constexpr uint8_t kMethodNone = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kUserPasswordVersion = 1;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressName = 3;
constexpr uint8_t kAddressIPv6 = 4;
constexpr int kCommandConnect = 1;
constexpr int kCommandBind = 2;
// A one-byte length field cannot say more.
constexpr size_t kMaxFieldLength = 255;

Text Byte(unsigned value) {
  return Text(1, static_cast<char>(value & 0xFF));
}

uint8_t At(const Text& bytes, size_t index) {
  return static_cast<uint8_t>(bytes[index]);
}

Text DottedQuad(const Text& bytes, size_t first) {
  return IntToText(At(bytes, first)) + "." + IntToText(At(bytes, first + 1)) + "." +
         IntToText(At(bytes, first + 2)) + "." + IntToText(At(bytes, first + 3));
}

// Big-endian port at a 0-based index, as decimal text.
Text PortAt(const Text& bytes, size_t index) {
  return IntToText(BytesToWord(bytes, static_cast<int>(index) + 1));
}

bool HasZeroByte(const Text& text) {
  return text.find('\0') != Text::npos;
}

// A request-line target must not end the line or the field early, or smuggle in a header.
bool FitsRequestLine(const Text& text) {
  for (char c : text) {
    auto b = static_cast<uint8_t>(c);
    if (b <= 32 || b == 127) return false;
  }
  return true;
}

}  // namespace

// ---- SOCKS negotiation steps --------------------------------------------------------------

bool TSocksBlockSocket::SocksGreeting() {
  socks_active_ = false;
  if (socks_type_ == ST_Socks4) {
    socks_active_ = true;
    return true;
  }
  const bool with_user = !socks_username_.empty();
  // Credentials the sub-negotiation could not carry are refused before anything is sent.
  if (with_user &&
      (socks_username_.size() > kMaxFieldLength || socks_password_.size() > kMaxFieldLength)) {
    return false;
  }
  Text greeting = Byte(kSocks5Version);
  greeting += with_user ? Byte(2) + Byte(kMethodUserPassword) + Byte(kMethodNone)
                        : Byte(1) + Byte(kMethodNone);
  WriteText(greeting);
  if (SocketError() != 0) return false;
  Text choice = ReadExactText(2, socks_timeout_);
  if (choice.size() < 2 || At(choice, 0) != kSocks5Version) return false;
  switch (At(choice, 1)) {
    case kMethodNone:
      break;
    case kMethodUserPassword: {
      WriteText(Byte(kUserPasswordVersion) + Byte(socks_username_.size()) + socks_username_ +
                Byte(socks_password_.size()) + socks_password_);
      if (SocketError() != 0) return false;
      Text answer = ReadExactText(2, socks_timeout_);
      if (answer.size() < 2 || At(answer, 1) != 0) return false;
      break;
    }
    default:  // 255: none of the offered methods is acceptable
      return false;
  }
  socks_active_ = true;
  return true;
}

Text TSocksBlockSocket::SocksEncodeAddress(const Text& host, const Text& port) {
  const Text port_bytes = WordToBytes(static_cast<uint16_t>(PortNumber(port)));
  Text target = host;
  if (!socks_resolver_) {
    target = ResolveFirst(host);
    // "0.0.0.0" is the resolver's "nothing found"; sending it would reach the proxy's own
    // machine instead of failing.
    if (target == "0.0.0.0" && !IsIPv4Text(host)) {
      SetSocketError(WSAHOST_NOT_FOUND);
      return "";
    }
  }
  if (socks_type_ == ST_Socks5) {
    if (IsIPv4Text(target)) return Byte(kAddressIPv4) + IPv4TextToBytes(target) + port_bytes;
    if (IsIPv6Text(target)) return Byte(kAddressIPv6) + IPv6TextToBytes(target) + port_bytes;
    if (target.size() > kMaxFieldLength) return "";
    return Byte(kAddressName) + Byte(target.size()) + target + port_bytes;
  }
  // SOCKS4 fields end at a zero byte, so one inside would cut them short.
  if (HasZeroByte(socks_username_)) return "";
  if (IsIPv4Text(target)) {
    return port_bytes + IPv4TextToBytes(target) + socks_username_ + Byte(0);
  }
  if (HasZeroByte(target)) return "";
  // SOCKS4a: an address of the form 0.0.0.x tells the server that a name follows.
  return port_bytes + Byte(0) + Byte(0) + Byte(0) + Byte(1) + socks_username_ + Byte(0) + target +
         Byte(0);
}

bool TSocksBlockSocket::SocksSendRequest(int command, const Text& host, const Text& port) {
  ClearError();
  Text address = SocksEncodeAddress(host, port);
  if (address.empty()) return false;
  Text request = socks_type_ == ST_Socks5 ? Byte(kSocks5Version) + Byte(command) + Byte(0) + address
                                          : Byte(kSocks4Version) + Byte(command) + address;
  WriteText(request);
  return SocketError() == 0;
}

bool TSocksBlockSocket::SocksReadReply() {
  socks_reply_host_.clear();
  socks_reply_port_.clear();
  socks_reply_code_ = -1;
  Text reply;
  if (socks_type_ == ST_Socks4) {
    reply = ReadExactText(8, socks_timeout_);
    if (SocketError() != 0 || reply.size() < 8 || At(reply, 0) != kSocks4ReplyVersion) {
      return false;
    }
    socks_reply_code_ = At(reply, 1);
  } else {
    Text head = ReadExactText(4, socks_timeout_);
    if (SocketError() != 0 || head.size() < 4 || At(head, 0) != kSocks5Version) return false;
    Text address;
    switch (At(head, 3)) {
      case kAddressIPv4:
        address = ReadExactText(4, socks_timeout_);
        break;
      case kAddressName: {
        uint8_t length = ReadByte(socks_timeout_);
        if (SocketError() != 0) return false;
        address = Byte(length) + ReadExactText(length, socks_timeout_);
        break;
      }
      case kAddressIPv6:
        address = ReadExactText(16, socks_timeout_);
        break;
      default:
        return false;
    }
    // Each read starts by clearing the error, so a failed address read must stop here.
    if (SocketError() != 0) return false;
    Text port = ReadExactText(2, socks_timeout_);
    if (SocketError() != 0) return false;
    reply = head + address + port;
    socks_reply_code_ = At(head, 1);
  }
  if (socks_reply_code_ != 0 && socks_reply_code_ != 90) return false;
  SocksDecodeAddress(reply);
  return true;
}

void TSocksBlockSocket::SocksDecodeAddress(const Text& reply) {
  socks_reply_host_.clear();
  socks_reply_port_ = "0";
  const size_t size = reply.size();
  if (socks_type_ == ST_Socks4) {
    if (size >= 8) {
      socks_reply_port_ = PortAt(reply, 2);
      socks_reply_host_ = DottedQuad(reply, 4);
    }
    return;
  }
  if (size < 4) return;
  switch (At(reply, 3)) {
    case kAddressIPv4:
      if (size >= 10) {
        socks_reply_host_ = DottedQuad(reply, 4);
        socks_reply_port_ = PortAt(reply, 8);
      }
      break;
    case kAddressName:
      if (size >= 5) {
        size_t length = At(reply, 4);
        if (size >= length + 7) {
          socks_reply_host_ = reply.substr(5, length);
          socks_reply_port_ = PortAt(reply, 5 + length);
        }
      }
      break;
    case kAddressIPv6:
      if (size >= 22) {
        socks_reply_host_ = IPv6BytesToText(reply.substr(4, 16));
        socks_reply_port_ = PortAt(reply, 20);
      }
      break;
    default:
      break;
  }
}

// ---- Connecting and listening through a proxy ---------------------------------------------

void TTCPBlockSocket::ConnectViaSocks(const Text& host, const Text& port) {
  TBlockSocket::ConnectTo(SocksIP(), SocksPort());
  if (SocketError() == 0) {
    bool ok = SocksGreeting() && SocksSendRequest(kCommandConnect, host, port) && SocksReadReply();
    if (!ok && SocketError() == 0) SetSocketError(ErrNegotiationFailed);
    SetSocksBound(SocksReplyHost(), SocksReplyPort());
    SetSocksTarget(host, port);
  }
  ReportError();
  NotifyStatus(SR_Connected, host + ":" + port);
}

void TTCPBlockSocket::ListenViaSocks() {
  Text host = LocalIP();
  if (host == "0.0.0.0") host = HostName();
  const Text port = IntToText(LocalPort());
  // A failed connect shows in the first send or read of the exchange.
  TBlockSocket::ConnectTo(SocksIP(), SocksPort());
  bool ok = SocksGreeting() && SocksSendRequest(kCommandBind, host, port) && SocksReadReply();
  if (!ok && SocketError() == 0) SetSocketError(WSANO_RECOVERY);
  SetSocksBound(SocksReplyHost() == "0.0.0.0" ? SocksIP() : SocksReplyHost(), SocksReplyPort());
  SetSocksTarget("", "");
}

void TTCPBlockSocket::ConnectViaTunnel(const Text& host, const Text& port) {
  // Cleared before the attempt so that a failed connect cannot leave an old tunnel standing.
  tunnel_open_ = false;
  const Text port_text = IntToText(PortNumber(port));
  TBlockSocket::ConnectTo(http_tunnel_ip_, http_tunnel_port_);
  if (SocketError() != 0) return;
  const Text target = IsIPv6Text(host) ? "[" + host + "]" : host;
  if (FitsRequestLine(target)) {
    WriteText("CONNECT " + target + ":" + port_text + " HTTP/1.0\r\n");
    if (!http_tunnel_user_.empty()) {
      WriteText("Proxy-Authorization: Basic " +
                Base64Encode(http_tunnel_user_ + ":" + http_tunnel_pass_) + "\r\n");
    }
    WriteText("\r\n");
    for (;;) {
      Text line = ReadUntil(http_tunnel_timeout_, "\n");
      if (SocketError() != 0) break;
      // "HTTP/1.x 2.." — the status code starts at the tenth character.
      if (line.rfind("HTTP/", 0) == 0 && line.size() > 11) tunnel_open_ = line[9] == '2';
      if (line.empty() || line == "\r") break;
    }
  }
  if (SocketError() == 0 && !tunnel_open_) SetSocketError(ErrNegotiationFailed);
  tunnel_target_host_ = target;
  tunnel_target_port_ = port_text;
  ReportError();
}

}  // namespace tessaly
