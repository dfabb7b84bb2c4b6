#include "net/sockapi.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "net/socketerror.h"

namespace tessaly {

namespace {

// ---- Interface state --------------------------------------------------------------------

using GetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using FreeAddrInfoFn = void (*)(addrinfo*);
using GetNameInfoFn = int (*)(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);

// The function entries that can be missing, and the flags. Written only under the lock during a
// load; read without it afterwards (atomics, so a test that reloads cannot race a reader).
struct TInterfaceState {
  std::atomic<GetAddrInfoFn> getaddrinfo_entry{nullptr};
  std::atomic<FreeAddrInfoFn> freeaddrinfo_entry{nullptr};
  std::atomic<GetNameInfoFn> getnameinfo_entry{nullptr};
  std::atomic<bool> addr_info_in_library{false};
  std::atomic<bool> addr_info_in_ip6_library{false};
  bool library_loaded = false;      // under the lock
  bool ip6_library_loaded = false;  // under the lock
  int use_count = 0;                // under the lock
};

TInterfaceState& State() {
  static TInterfaceState state;
  return state;
}

constexpr size_t kHostBufferSize = 1025;
constexpr size_t kServiceBufferSize = 32;

// Stores all three name functions, answering whether all were found (on Linux always).
bool TakeNameFunctions(TInterfaceState& state) {
  state.getaddrinfo_entry = &::getaddrinfo;
  state.freeaddrinfo_entry = &::freeaddrinfo;
  state.getnameinfo_entry = &::getnameinfo;
  return state.getaddrinfo_entry.load() && state.freeaddrinfo_entry.load() &&
         state.getnameinfo_entry.load();
}

void ForgetNameFunctions(TInterfaceState& state) {
  state.getaddrinfo_entry = nullptr;
  state.freeaddrinfo_entry = nullptr;
  state.getnameinfo_entry = nullptr;
}

// Owns a getaddrinfo list; releases it through the freeaddrinfo entry.
class TAddrInfoList {
 public:
  TAddrInfoList() = default;
  TAddrInfoList(const TAddrInfoList&) = delete;
  TAddrInfoList& operator=(const TAddrInfoList&) = delete;
  ~TAddrInfoList() {
    if (list_ == nullptr) return;
    if (FreeAddrInfoFn release = State().freeaddrinfo_entry.load()) release(list_);
  }
  addrinfo** Out() { return &list_; }
  const addrinfo* First() const { return list_; }

 private:
  addrinfo* list_ = nullptr;
};

// getaddrinfo through its entry, mapped onto the layer's codes. Texts are passed as given
// except that a null pointer stands for "no host" / "no service".
int CallGetAddrInfo(const char* host, const char* service, const addrinfo& hints,
                    TAddrInfoList& list) {
  const GetAddrInfoFn lookup = State().getaddrinfo_entry.load();
  if (lookup == nullptr) return WSANOTINITIALISED;
  const int rc = lookup(host, service, &hints, list.Out());
  return AddrInfoErrorToSocketError(rc, errno);
}

// getnameinfo with numeric host and service; the host text, or false when it fails.
bool NumericHostText(const sockaddr* address, socklen_t length, Text& host) {
  host.clear();
  const GetNameInfoFn format = State().getnameinfo_entry.load();
  if (format == nullptr) return false;
  char host_buffer[kHostBufferSize] = {};
  char service_buffer[kServiceBufferSize] = {};
  if (format(address, length, host_buffer, sizeof host_buffer, service_buffer,
             sizeof service_buffer, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  host_buffer[sizeof host_buffer - 1] = 0;
  host = host_buffer;
  return true;
}

// The IPv4-only service lookup shared by ResolveSocketAddress and LookupPortNumber. Call with
// SocketInterfaceLock held. The port in network order: the service's port when the protocol
// entry and the service exist, else the low 16 bits of the decimal value (default 0).
uint16_t FallbackPortNetworkOrder(const Text& port, int protocol) {
  if (const protoent* proto = getprotobynumber(protocol)) {
    if (const servent* service = getservbyname(port.c_str(), proto->p_name)) {
      return static_cast<uint16_t>(service->s_port);
    }
  }
  return htons(static_cast<uint16_t>(ParseIntDefault(port, 0) & 0xFFFF));
}

// Converts a millisecond timeout (option value of the Windows form) into a timeval.
timeval MillisecondsToTimeval(int milliseconds) {
  timeval tv{};
  if (milliseconds > 0) {
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
  }
  return tv;
}

// Runs call() until it does not fail with EINTR.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

}  // namespace

// ---- Socket address -----------------------------------------------------------------------

void TSocketAddress::Clear() {
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
}

int SocketAddressLength(const TSocketAddress& address) {
  switch (address.Family()) {
    case AF_INET:
      return static_cast<int>(sizeof(sockaddr_in));
    case AF_INET6:
      return static_cast<int>(sizeof(sockaddr_in6));
    default:
      return 0;
  }
}

// ---- Interface lifetime -------------------------------------------------------------------

std::mutex& SocketInterfaceLock() {
  static std::mutex lock;
  return lock;
}

bool LoadSocketInterface(const Text& library_name, TAddrInfoSource source) {
  const Text name = library_name.empty() ? Text(DefaultSocketLibrary) : library_name;
  TInterfaceState& state = State();
  std::lock_guard<std::mutex> guard(SocketInterfaceLock());
  if (state.use_count > 0) {
    ++state.use_count;
    return true;
  }
  state.addr_info_in_library = false;
  state.addr_info_in_ip6_library = false;
  // The socket functions are linked in; the default name stands for the C library that holds
  // them, and no other library can be loaded.
  if (name != DefaultSocketLibrary) return false;
  state.library_loaded = true;
  ForgetNameFunctions(state);
  if (source == AIS_Library) state.addr_info_in_library = TakeNameFunctions(state);
  if (!state.addr_info_in_library) {
    // The IPv6 support library stands in for the name functions only when it "loads".
    state.ip6_library_loaded = (source == AIS_IP6Library);
    if (state.ip6_library_loaded) state.addr_info_in_ip6_library = TakeNameFunctions(state);
  }
  ++state.use_count;
  return true;
}

bool ReleaseSocketInterface() {
  TInterfaceState& state = State();
  std::lock_guard<std::mutex> guard(SocketInterfaceLock());
  if (state.use_count > 0) --state.use_count;
  if (state.use_count == 0) {
    state.library_loaded = false;
    state.ip6_library_loaded = false;
  }
  return true;
}

int SocketInterfaceUseCount() {
  std::lock_guard<std::mutex> guard(SocketInterfaceLock());
  return State().use_count;
}

bool AddrInfoInLibrary() {
  return State().addr_info_in_library;
}
bool AddrInfoInIP6Library() {
  return State().addr_info_in_ip6_library;
}

bool UsesAddrInfo(int family) {
  return AddrInfoInLibrary() || (family == AF_INET6 && AddrInfoInIP6Library());
}

// ---- Program start-up and shut-down -----------------------------------------------------

void StartSocketLayer(const Text& library_name) {
  // Sends also pass MSG_NOSIGNAL; ignoring SIGPIPE covers every other write to a dead peer.
  std::signal(SIGPIPE, SIG_IGN);
  if (!LoadSocketInterface(library_name)) {
    const Text text = "Error loading Socket interface (ws2_32.dll)!";
    throw ENetSocketError(text, 0, text);
  }
}

void StopSocketLayer() {
  ReleaseSocketInterface();
}

// ---- Resolution ---------------------------------------------------------------------------

int LookupFirstAddress(const Text& host, const Text& port, int family, int protocol,
                       int socket_type, TSocketAddress& address) {
  address.Clear();
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socket_type;
  hints.ai_protocol = protocol;
  const char* node = host.c_str();
  const char* service = port.c_str();
  if (socket_type == SOCK_RAW) {
    hints.ai_socktype = 0;
    hints.ai_protocol = 0;
    service = nullptr;
  } else if (host == "0.0.0.0" || host == "::0") {
    hints.ai_flags |= AI_PASSIVE;
    node = nullptr;
  } else if (host == "127.0.0.1" || host == "::1") {
    node = nullptr;
  }
  TAddrInfoList list;
  const int code = CallGetAddrInfo(node, service, hints, list);
  const addrinfo* first = list.First();
  if (code == 0 && first != nullptr && first->ai_addr != nullptr) {
    const size_t length = std::min<size_t>(first->ai_addrlen, sizeof(TSocketAddress));
    std::memcpy(static_cast<void*>(&address), first->ai_addr, length);
  }
  return code;
}

int ResolveSocketAddress(TSocketAddress& address, const Text& host, const Text& port, int family,
                         int protocol, int socket_type, bool prefer_ip4) {
  address.Clear();
  if (UsesAddrInfo(family)) {
    const bool second_try = (family == AF_UNSPEC);
    const int first_family = second_try ? (prefer_ip4 ? AF_INET : AF_INET6) : family;
    const int second_family = prefer_ip4 ? AF_INET6 : AF_INET;
    int result = LookupFirstAddress(host, port, first_family, protocol, socket_type, address);
    if (result != 0 && second_try) {
      TSocketAddress other{};
      result = LookupFirstAddress(host, port, second_family, protocol, socket_type, other);
      if (result == 0) address = other;
    }
    return result;
  }

  // IPv4-only fallback: the by-name lookups share process-wide storage.
  int result = 0;
  std::lock_guard<std::mutex> guard(SocketInterfaceLock());
  address.in4.sin_family = AF_INET;
  address.in4.sin_port = FallbackPortNetworkOrder(port, protocol);
  if (host == "255.255.255.255") {
    address.in4.sin_addr.s_addr = INADDR_BROADCAST;
  } else {
    address.in4.sin_addr.s_addr = inet_addr(host.c_str());
    if (address.in4.sin_addr.s_addr == INADDR_NONE) {
      const hostent* entry = gethostbyname(host.c_str());
      const int host_error = h_errno;
      if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4 &&
          entry->h_addr_list[0] != nullptr) {
        std::memcpy(&address.in4.sin_addr, entry->h_addr_list[0], 4);
      } else {
        result = HostErrorToSocketError(host_error);
      }
    }
  }
  return result;
}

Text AddressToText(const TSocketAddress& address) {
  if (UsesAddrInfo(address.Family())) {
    Text host;
    NumericHostText(address.Raw(), static_cast<socklen_t>(SocketAddressLength(address)), host);
    return host;
  }
  const char* text = inet_ntoa(address.in4.sin_addr);
  return text != nullptr ? Text(text) : Text();
}

int AddressToPort(const TSocketAddress& address) {
  return ntohs(address.in4.sin_port);
}

Text LocalHostName() {
  char buffer[255] = {};
  if (gethostname(buffer, 254) != 0) return Text();
  buffer[254] = 0;
  return Text(buffer);
}

void LookupHostAddresses(const Text& name, int family, int protocol, int socket_type,
                         TLineList& list) {
  list.Clear();
  if (UsesAddrInfo(family)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socket_type;
    hints.ai_protocol = protocol;
    TAddrInfoList found;
    if (CallGetAddrInfo(name.c_str(), nullptr, hints, found) == 0) {
      for (const addrinfo* entry = found.First(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        if (entry->ai_family == AF_INET && family == AF_INET6) continue;
        if (entry->ai_family == AF_INET6 && family == AF_INET) continue;
        Text host;
        if (NumericHostText(entry->ai_addr, entry->ai_addrlen, host)) list.Add(host);
      }
    }
  } else if (inet_addr(name.c_str()) != INADDR_NONE) {
    list.Add(name);
  } else {
    std::lock_guard<std::mutex> guard(SocketInterfaceLock());
    const hostent* entry = gethostbyname(name.c_str());
    if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4) {
      for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(*item);
        char text[16];
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
        list.Add(text);
      }
    }
  }
  if (list.Count() == 0) list.Add("0.0.0.0");
}

int LookupPortNumber(const Text& port, int family, int protocol, int socket_type) {
  if (UsesAddrInfo(family)) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socket_type;
    hints.ai_protocol = protocol;
    TAddrInfoList found;
    const addrinfo* first = nullptr;
    if (CallGetAddrInfo(nullptr, port.c_str(), hints, found) == 0) first = found.First();
    if (first == nullptr || first->ai_addr == nullptr) return 0;
    if (first->ai_family == AF_INET6) {
      return ntohs(reinterpret_cast<const sockaddr_in6*>(first->ai_addr)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(first->ai_addr)->sin_port);
  }
  std::lock_guard<std::mutex> guard(SocketInterfaceLock());
  return ntohs(FallbackPortNetworkOrder(port, protocol));
}

// ---- Thin wrappers ------------------------------------------------------------------------

TSocketHandle CreateSocket(int family, int socket_type, int protocol) {
  return RetryOnInterrupt([&] { return ::socket(family, socket_type | SOCK_CLOEXEC, protocol); });
}

// close() is not retried: on Linux the descriptor is released even when it reports EINTR.
int CloseSocket(TSocketHandle handle) {
  return ::close(handle);
}

int BindToAddress(TSocketHandle handle, const TSocketAddress& address) {
  const auto length = static_cast<socklen_t>(SocketAddressLength(address));
  return RetryOnInterrupt([&] { return ::bind(handle, address.Raw(), length); });
}

int ConnectToAddress(TSocketHandle handle, const TSocketAddress& address) {
  const auto length = static_cast<socklen_t>(SocketAddressLength(address));
  if (::connect(handle, address.Raw(), length) == 0) return 0;
  if (errno != EINTR) return SOCKET_ERROR;
  // An interrupted connect goes on in the background; restarting it would give EALREADY.
  // Wait until it stands or fails, then take its outcome.
  pollfd entry{handle, POLLOUT, 0};
  if (RetryOnInterrupt([&] { return ::poll(&entry, 1, -1); }) < 0) return SOCKET_ERROR;
  int error = 0;
  socklen_t error_length = sizeof error;
  if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0) return SOCKET_ERROR;
  if (error != 0) {
    errno = error;
    return SOCKET_ERROR;
  }
  return 0;
}

int ListenSocket(TSocketHandle handle, int backlog) {
  return RetryOnInterrupt([&] { return ::listen(handle, backlog); });
}

TSocketHandle AcceptSocket(TSocketHandle handle, TSocketAddress* address) {
  if (address == nullptr) {
    return RetryOnInterrupt([&] { return ::accept4(handle, nullptr, nullptr, SOCK_CLOEXEC); });
  }
  address->Clear();
  socklen_t length = sizeof(TSocketAddress);
  return RetryOnInterrupt([&] {
    length = sizeof(TSocketAddress);
    return ::accept4(handle, address->Raw(), &length, SOCK_CLOEXEC);
  });
}

int ShutdownSocket(TSocketHandle handle, int how) {
  return RetryOnInterrupt([&] { return ::shutdown(handle, how); });
}

int LocalAddressOf(TSocketHandle handle, TSocketAddress& address) {
  address.Clear();
  socklen_t length = sizeof(TSocketAddress);
  return RetryOnInterrupt([&] { return ::getsockname(handle, address.Raw(), &length); });
}

int PeerAddressOf(TSocketHandle handle, TSocketAddress& address) {
  address.Clear();
  socklen_t length = sizeof(TSocketAddress);
  return RetryOnInterrupt([&] { return ::getpeername(handle, address.Raw(), &length); });
}

int SendBytes(TSocketHandle handle, const void* buffer, int length, int flags) {
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  return static_cast<int>(
      RetryOnInterrupt([&] { return ::send(handle, buffer, size, flags | MSG_NOSIGNAL); }));
}

int ReceiveBytes(TSocketHandle handle, void* buffer, int length, int flags) {
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  return static_cast<int>(RetryOnInterrupt([&] { return ::recv(handle, buffer, size, flags); }));
}

int SendToAddress(TSocketHandle handle, const void* buffer, int length, int flags,
                  const TSocketAddress& destination) {
  const TSocketAddress target = destination;
  const auto address_length = static_cast<socklen_t>(SocketAddressLength(target));
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  return static_cast<int>(RetryOnInterrupt([&] {
    return ::sendto(handle, buffer, size, flags | MSG_NOSIGNAL, target.Raw(), address_length);
  }));
}

int ReceiveFromAddress(TSocketHandle handle, void* buffer, int length, int flags,
                       TSocketAddress& source) {
  source.Clear();
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  socklen_t address_length = sizeof(TSocketAddress);
  return static_cast<int>(RetryOnInterrupt([&] {
    address_length = sizeof(TSocketAddress);
    return ::recvfrom(handle, buffer, size, flags, source.Raw(), &address_length);
  }));
}

int SetSocketOption(TSocketHandle handle, int level, int option, const void* value, int length) {
  // The Windows forms of three options differ in layout from Linux's; translate them so that
  // callers may pass the Windows forms.
  if (level == SOL_SOCKET && (option == SO_RCVTIMEO || option == SO_SNDTIMEO) &&
      length == static_cast<int>(sizeof(int))) {
    int milliseconds = 0;
    std::memcpy(&milliseconds, value, sizeof milliseconds);
    const timeval tv = MillisecondsToTimeval(milliseconds);
    return RetryOnInterrupt([&] { return ::setsockopt(handle, level, option, &tv, sizeof tv); });
  }
  if (level == SOL_SOCKET && option == SO_LINGER &&
      length == 2 * static_cast<int>(sizeof(uint16_t))) {
    uint16_t fields[2] = {};
    std::memcpy(fields, value, sizeof fields);
    const linger native{fields[0], fields[1]};
    return RetryOnInterrupt(
        [&] { return ::setsockopt(handle, level, option, &native, sizeof native); });
  }
  const auto size = static_cast<socklen_t>(length > 0 ? length : 0);
  return RetryOnInterrupt([&] { return ::setsockopt(handle, level, option, value, size); });
}

int GetSocketOption(TSocketHandle handle, int level, int option, void* value, int& length) {
  socklen_t size = static_cast<socklen_t>(length > 0 ? length : 0);
  const int result =
      RetryOnInterrupt([&] { return ::getsockopt(handle, level, option, value, &size); });
  if (result == 0) length = static_cast<int>(size);
  return result;
}

int IoctlSocket(TSocketHandle handle, unsigned long request, int& value) {
  return RetryOnInterrupt([&] { return ::ioctl(handle, request, &value); });
}

// ---- Descriptor set and readiness -------------------------------------------------------

void FdZero(TFdSet& set) {
  set.fd_count = 0;
}

void FdSet(TSocketHandle handle, TFdSet& set) {
  if (set.fd_count < FD_SETCAPACITY) set.fd_array[set.fd_count++] = handle;
}

bool FdIsSet(TSocketHandle handle, const TFdSet& set) {
  for (int i = 0; i < set.fd_count; ++i) {
    if (set.fd_array[i] == handle) return true;
  }
  return false;
}

int SelectSockets(int /*first_arg*/, TFdSet* read_set, TFdSet* write_set, TFdSet* except_set,
                  int timeout_ms) {
  // poll rather than select: a select set cannot hold descriptors at or above FD_SETSIZE.
  std::vector<pollfd> entries;
  auto add = [&entries](const TFdSet* set, short events) {
    if (set == nullptr) return;
    for (int i = 0; i < set->fd_count; ++i) {
      const TSocketHandle handle = set->fd_array[i];
      pollfd* found = nullptr;
      for (pollfd& entry : entries) {
        if (entry.fd == handle) found = &entry;
      }
      if (found == nullptr)
        entries.push_back(pollfd{handle, events, 0});
      else
        found->events = static_cast<short>(found->events | events);
    }
  };
  add(read_set, POLLIN);
  add(write_set, POLLOUT);
  add(except_set, POLLPRI);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  int ready = 0;
  for (;;) {
    int wait = timeout_ms;
    if (timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    } else if (timeout_ms < 0) {
      wait = -1;
    }
    ready = ::poll(entries.data(), static_cast<nfds_t>(entries.size()), wait);
    if (!(ready == -1 && errno == EINTR)) break;
  }
  if (ready < 0) return SOCKET_ERROR;
  for (const pollfd& entry : entries) {
    if (entry.revents & POLLNVAL) {
      errno = EBADF;  // what select reports for a handle that is not open
      return SOCKET_ERROR;
    }
  }

  // Keep in each set the handles select would report: readable includes hang-up and error,
  // writable includes error, exceptional is out-of-band data.
  int count = 0;
  auto keep = [&entries, &count](TFdSet* set, short mask) {
    if (set == nullptr) return;
    int kept = 0;
    for (int i = 0; i < set->fd_count; ++i) {
      const TSocketHandle handle = set->fd_array[i];
      for (const pollfd& entry : entries) {
        if (entry.fd == handle && (entry.revents & mask) && (entry.events & mask)) {
          set->fd_array[kept++] = handle;
          ++count;
          break;
        }
      }
    }
    set->fd_count = kept;
  };
  keep(read_set, POLLIN | POLLHUP | POLLERR);
  keep(write_set, POLLOUT | POLLERR);
  keep(except_set, POLLPRI);
  return count;
}

}  // namespace tessaly
