// The socket layer's binding to the operating system's socket interface (unit `sockapi`):
// interface load/release with its use count and flags, address records, name resolution with an
// IPv4-only fallback, and thin wrappers over the POSIX socket calls.
//
// Error results: the resolution functions return layer codes (Windows Sockets numbering, see
// net/socketerror.h). The thin wrappers return the platform call's result unchanged (-1 on
// failure); the caller reads LastSocketError() (net/socketerror.h) right after a -1. Every
// wrapper retries EINTR itself, so 10004 never reaches the caller from them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <mutex>

#include "base/linelist.h"
#include "base/text.h"

namespace tessaly {

// ---- Handles and platform constants -------------------------------------------------------

using TSocketHandle = int;
constexpr TSocketHandle INVALID_SOCKET = -1;  // what CreateSocket gives on failure
constexpr int SOCKET_ERROR = -1;              // the failure result of the thin wrappers

// ---- Families -----------------------------------------------------------------------------

// The socket object's Family property.
enum TSocketFamily { SF_Any = 0, SF_IP4 = 1, SF_IP6 = 2 };

// SF_Any -> AF_UNSPEC, SF_IP4 -> AF_INET, SF_IP6 -> AF_INET6 (the platform's values).
constexpr int AddressFamilyOf(TSocketFamily family) {
  return family == SF_IP4 ? AF_INET : family == SF_IP6 ? AF_INET6 : AF_UNSPEC;
}

// ---- Socket address -----------------------------------------------------------------------

// A 28-byte record in the platform's socket-address layout, holding either form: family at 0
// (host order), port at 2 (network order), IPv4 address at 4, IPv6 address at 8, scope at 24.
// Value-initialisation (`TSocketAddress a{};`) zero-fills all 28 bytes.
struct TSocketAddress {
  union {
    sockaddr_in6 in6;  // first member, so value-initialisation zeroes the whole record
    sockaddr_in in4;
    sockaddr sa;
  };

  // Zero-fills all 28 bytes.
  void Clear();
  // The family field (AF_INET, AF_INET6, or anything else that was stored).
  int Family() const { return sa.sa_family; }
  sockaddr* Raw() { return &sa; }
  const sockaddr* Raw() const { return &sa; }
};
static_assert(sizeof(TSocketAddress) == 28, "TSocketAddress must be 28 bytes");

// 16 for AF_INET, 28 for AF_INET6, 0 for any other family.
int SocketAddressLength(const TSocketAddress& address);

// ---- Interface lifetime -------------------------------------------------------------------

// The process-wide lock guarding the load/release and the IPv4-only lookups. It exists before
// the first load and outlives the last release (a function-local static). Never taken twice.
std::mutex& SocketInterfaceLock();

// Where the protocol-independent name functions (getaddrinfo, freeaddrinfo, getnameinfo) are
// found by a load. On Linux they are linked in (AIS_Library); the other two are test seams that
// make the load behave as if the socket library lacked them.
enum TAddrInfoSource {
  AIS_Library,     // the socket library has all three: AddrInfoInLibrary true
  AIS_IP6Library,  // only the IPv6 support library has them: AddrInfoInIP6Library true
  AIS_None,        // neither: both flags false, every lookup takes the IPv4-only fallback
};

// Default library name; "" stands for it. It is the only name that loads on Linux (it stands
// for the linked-in C library); any other name fails to load, which tests use for the failure
// path of StartSocketLayer.
constexpr const char* DefaultSocketLibrary = "ws2_32.dll";

// Under the lock; when already loaded (use count > 0) only raises the count and keeps the flags
// and entries of the first load (source is then ignored).
// Otherwise clears both flags, "loads" the library, fills the name-function entries from
// `source` and sets the flags. True when loaded (count raised), false when the library cannot
// be loaded (count unchanged).
bool LoadSocketInterface(const Text& library_name = Text(), TAddrInfoSource source = AIS_Library);
// Under the lock: lowers the use count (never below 0) and unloads at 0. Always true.
bool ReleaseSocketInterface();
// Number of successful loads not yet released.
int SocketInterfaceUseCount();
// True when the socket library itself offered all three name functions at the first load.
bool AddrInfoInLibrary();
// True when the IPv6 support library was loaded and offered all three.
bool AddrInfoInIP6Library();
// AddrInfoInLibrary, or (family == AF_INET6 and AddrInfoInIP6Library).
bool UsesAddrInfo(int family);

// ---- Program start-up and shut-down ----------------------------------------------------

// Called once by main() before any window exists: ignores SIGPIPE process-wide, then
// LoadSocketInterface(library_name). When that fails, throws ENetSocketError with ErrorCode 0
// and message and ErrorMessage both "Error loading Socket interface (ws2_32.dll)!".
// (There is no WSAStartup on Linux.)
void StartSocketLayer(const Text& library_name = DefaultSocketLibrary);
// Called once at exit, after the last socket object is gone: ReleaseSocketInterface.
void StopSocketLayer();

// RAII form for main(): StartSocketLayer in the constructor (may throw), StopSocketLayer in
// the destructor. Declare it before the QApplication so the release runs last.
class TSocketLayerScope {
 public:
  TSocketLayerScope() { StartSocketLayer(); }
  ~TSocketLayerScope() { StopSocketLayer(); }
  TSocketLayerScope(const TSocketLayerScope&) = delete;
  TSocketLayerScope& operator=(const TSocketLayerScope&) = delete;
};

// ---- Resolution ---------------------------------------------------------------------------
// None throws; results are codes in Windows Sockets numbering. They need a loaded interface:
// before the first LoadSocketInterface both flags are false and every lookup takes the
// IPv4-only fallback (no IPv6).

// Host text + port/service text into `address` (zero-filled first). family is AF_UNSPEC,
// AF_INET or AF_INET6; with AF_UNSPEC the preferred family (IPv4 when prefer_ip4) is tried
// first and the other only after a failure; the code of the last try is returned (0 = found).
// Failure leaves an all-zero record, or in the fallback family AF_INET, the port and address
// 0xFFFFFFFF. "0.0.0.0"/"::0" give the wildcard, "127.0.0.1"/"::1" the loopback of the family
// looked up; socket type SOCK_RAW resolves the host without a service (port 0).
int ResolveSocketAddress(TSocketAddress& address, const Text& host, const Text& port, int family,
                         int protocol, int socket_type, bool prefer_ip4);
// One getaddrinfo lookup with the rules above (raw, wildcard, loopback, plain) for the hints'
// family, socket type and protocol; copies the first entry into `address` (zero-filled first).
// Returns the mapped getaddrinfo code. Only meaningful while UsesAddrInfo holds.
int LookupFirstAddress(const Text& host, const Text& port, int family, int protocol,
                       int socket_type, TSocketAddress& address);
// Numeric host text of the record (dotted IPv4 or IPv6 notation); "" when it cannot be
// formatted (e.g. the family is neither AF_INET nor AF_INET6).
Text AddressToText(const TSocketAddress& address);
// The port field in host order; 0 for an all-zero record.
int AddressToPort(const TSocketAddress& address);
// The machine's host name as gethostname gives it; "" when the call fails.
Text LocalHostName();
// Clears `list`, then fills it with the numeric address texts of `name` (IPv4 entries only for
// AF_INET, IPv6 only for AF_INET6, both for AF_UNSPEC, in resolver order). Never fails: the
// list is "0.0.0.0" alone when nothing was found.
void LookupHostAddresses(const Text& name, int family, int protocol, int socket_type,
                         TLineList& list);
// Service name or decimal text into a port in host order; 0 when it cannot be resolved.
int LookupPortNumber(const Text& port, int family, int protocol, int socket_type);

// ---- Thin wrappers (platform result returned unchanged; -1 = failure, see LastSocketError) --

// socket(family, type, protocol), close-on-exec; INVALID_SOCKET on failure.
TSocketHandle CreateSocket(int family, int socket_type, int protocol);
// close(handle); never retried (the handle is gone either way).
int CloseSocket(TSocketHandle handle);
// bind with SocketAddressLength(address).
int BindToAddress(TSocketHandle handle, const TSocketAddress& address);
// connect with SocketAddressLength(address); blocks until the connection stands or fails (an
// interrupted connect is finished by waiting for it, not restarted).
int ConnectToAddress(TSocketHandle handle, const TSocketAddress& address);
// listen(handle, backlog).
int ListenSocket(TSocketHandle handle, int backlog);
// accept; the peer's address is stored in `address` (zero-filled first, length 28) when given.
TSocketHandle AcceptSocket(TSocketHandle handle, TSocketAddress* address);
// shutdown(handle, how); how 1 (SHUT_WR) closes the sending direction.
int ShutdownSocket(TSocketHandle handle, int how);
// Zero-fills the record, then getsockname with length 28.
int LocalAddressOf(TSocketHandle handle, TSocketAddress& address);
// Zero-fills the record, then getpeername with length 28.
int PeerAddressOf(TSocketHandle handle, TSocketAddress& address);
// send(handle, buffer, length, flags | MSG_NOSIGNAL): bytes sent or -1. A closed peer gives
// -1 with LastSocketError() 10054, never SIGPIPE.
int SendBytes(TSocketHandle handle, const void* buffer, int length, int flags);
// recv(handle, buffer, length, flags): bytes received, 0 at the peer's orderly close, or -1.
// flags MSG_PEEK peeks.
int ReceiveBytes(TSocketHandle handle, void* buffer, int length, int flags);
// sendto with the destination copied first and SocketAddressLength of its family;
// MSG_NOSIGNAL is added.
int SendToAddress(TSocketHandle handle, const void* buffer, int length, int flags,
                  const TSocketAddress& destination);
// recvfrom with an address length of 28; `source` is zero-filled first.
int ReceiveFromAddress(TSocketHandle handle, void* buffer, int length, int flags,
                       TSocketAddress& source);
// setsockopt / getsockopt (length in bytes; get updates it). SetSocketOption also accepts the
// Windows forms: SO_RCVTIMEO/SO_SNDTIMEO as one int of milliseconds (length 4),
// SO_LINGER as two 16-bit fields on/off, seconds (length 4); it converts them to Linux's.
int SetSocketOption(TSocketHandle handle, int level, int option, const void* value, int length);
int GetSocketOption(TSocketHandle handle, int level, int option, void* value, int& length);
// ioctlsocket: FIONREAD stores the byte count waiting in `value`; FIONBIO switches blocking
// mode (value 0 blocking, non-zero non-blocking). 0 on success, -1 on failure.
int IoctlSocket(TSocketHandle handle, unsigned long request, int& value);

// ---- Descriptor set and readiness -------------------------------------------------------

// The platform's select set as Windows Sockets has it: a count and up to 64 handles.
constexpr int FD_SETCAPACITY = 64;
struct TFdSet {
  int fd_count = 0;
  TSocketHandle fd_array[FD_SETCAPACITY] = {};
};
// Count := 0.
void FdZero(TFdSet& set);
// Appends handle when the count is below 64; otherwise does nothing.
void FdSet(TSocketHandle handle, TFdSet& set);
// True when handle is in the set.
bool FdIsSet(TSocketHandle handle, const TFdSet& set);
// select over the given sets (any may be null); `first_arg` is kept for the Windows form
// (handle + 1) and not needed. Waits up to timeout_ms (-1: no limit; 0: poll) and leaves in
// each set only the handles that are ready (all removed at time-out). Returns the number of
// ready handles, 0 at time-out, -1 on failure. Works for any handle value (poll inside).
int SelectSockets(int first_arg, TFdSet* read_set, TFdSet* write_set, TFdSet* except_set,
                  int timeout_ms);

}  // namespace tessaly
