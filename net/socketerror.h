// Socket error codes in Windows Sockets numbering, their texts, the one mapping from the
// platform's errno and getaddrinfo codes onto them, and the socket layer's exception.
#pragma once

#include <stdexcept>

#include "base/text.h"

namespace tessaly {

// The codes of the text table, under their Windows Sockets names.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAEDISCON = 10101;
constexpr int WSATYPE_NOT_FOUND = 10109;  // no text of its own: "Other Winsock error (10109)"
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The codes the layer sets by itself, without a platform call failing.
constexpr int ErrStopped = WSAECONNABORTED;           // 10053: StopFlag set when I/O began
constexpr int ErrPeerClosed = WSAECONNRESET;          // 10054: the peer closed the connection
constexpr int ErrLineTooLong = WSAENOBUFS;            // 10055: line beyond MaxLineLength
constexpr int ErrTimedOut = WSAETIMEDOUT;             // 10060: a wait or time budget ran out
constexpr int ErrNegotiationFailed = WSASYSNOTREADY;  // 10091: TLS plug or proxy negotiation

// The text of a code as the table gives it: "" for 0, the fixed English text for
// each of the 52 listed codes, "Other Winsock error (<code>)" for every other code.
Text GetErrorDesc(int code);

// The one place where platform numbers become layer codes. errno 0 gives 0; an errno with a
// Windows Sockets twin gives the twin (ECONNREFUSED 10061, ETIMEDOUT 10060, ECONNRESET and
// EPIPE 10054, EAGAIN/EWOULDBLOCK 10035, EINPROGRESS 10036, ...); any other errno is passed on
// unchanged (its text is then "Other Winsock error (<errno>)").
int ErrnoToSocketError(int errno_value);
// errno of the calling thread mapped by ErrnoToSocketError. Read it right after the failed call.
int LastSocketError();
// A getaddrinfo/getnameinfo result mapped onto the layer's codes: 0 stays 0; EAI_NONAME 11001,
// EAI_AGAIN 11002, EAI_FAIL 11003, EAI_NODATA/EAI_ADDRFAMILY 11004, EAI_FAMILY 10047,
// EAI_BADFLAGS 10022, EAI_SOCKTYPE 10044, EAI_SERVICE 10109, EAI_MEMORY 10055, EAI_OVERFLOW
// 10022; EAI_SYSTEM gives ErrnoToSocketError(saved_errno). Any other value gives 11003.
int AddrInfoErrorToSocketError(int eai_code, int saved_errno);
// An h_errno of the IPv4-only lookups (gethostbyname) mapped onto the layer's codes:
// HOST_NOT_FOUND 11001, TRY_AGAIN 11002, NO_RECOVERY 11003, NO_DATA 11004; 0 stays 0; any other
// value gives 11001.
int HostErrorToSocketError(int host_error);

// The socket layer's exception. what() is the message; ErrorCode and ErrorMessage are the
// published properties (the socket's SocketError and SocketErrorText when raised).
class ENetSocketError : public std::runtime_error {
 public:
  // Message "TCP/IP Socket error %d: %s" filled with code and error_message.
  ENetSocketError(int code, const Text& error_message);
  // The message given as it is (used at start-up: code 0, message = error_message).
  ENetSocketError(const Text& message, int code, const Text& error_message);

  int ErrorCode() const { return error_code_; }
  const Text& ErrorMessage() const { return error_message_; }

  // "TCP/IP Socket error %d: %s" for the code and text.
  static Text FormatMessage(int code, const Text& error_message);

 private:
  int error_code_;
  Text error_message_;
};

}  // namespace tessaly
