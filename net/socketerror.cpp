#include "net/socketerror.h"

#include <netdb.h>

#include <cerrno>
#include <iterator>

namespace tessaly {

namespace {

struct TErrorText {
  int code;
  const char* text;
};

// The texts are the system's own, exactly (capitals and the missing space of 10059 included).
constexpr TErrorText kErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for Socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on Socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No Buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after Socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
// 51 texts plus code 0 ("") make the 52 entries of the table.
static_assert(std::size(kErrorTexts) == 51);

}  // namespace

Text GetErrorDesc(int code) {
  if (code == 0) return Text();
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Other Winsock error (" + IntToText(code) + ")";
}

int ErrnoToSocketError(int errno_value) {
  switch (errno_value) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EWOULDBLOCK:
      return WSAEWOULDBLOCK;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
      return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
      return WSAEOPNOTSUPP;
#endif
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    // A send to a connection the peer has closed or reset: Windows Sockets reports the reset,
    // and the layer's 10054 means "closed by the peer".
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return errno_value;
  }
}

int LastSocketError() {
  return ErrnoToSocketError(errno);
}

int AddrInfoErrorToSocketError(int eai_code, int saved_errno) {
  switch (eai_code) {
    case 0:
      return 0;
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_BADFLAGS:
      return WSAEINVAL;
    case EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE:
      return WSATYPE_NOT_FOUND;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_OVERFLOW:
      return WSAEINVAL;
    case EAI_SYSTEM: {
      const int code = ErrnoToSocketError(saved_errno);
      return code != 0 ? code : WSANO_RECOVERY;
    }
    default:
      return WSANO_RECOVERY;
  }
}

int HostErrorToSocketError(int host_error) {
  switch (host_error) {
    case 0:
      return 0;
    case HOST_NOT_FOUND:
      return WSAHOST_NOT_FOUND;
    case TRY_AGAIN:
      return WSATRY_AGAIN;
    case NO_RECOVERY:
      return WSANO_RECOVERY;
    case NO_DATA:
      return WSANO_DATA;
    default:
      return WSAHOST_NOT_FOUND;
  }
}

Text ENetSocketError::FormatMessage(int code, const Text& error_message) {
  return "TCP/IP Socket error " + IntToText(code) + ": " + error_message;
}

ENetSocketError::ENetSocketError(int code, const Text& error_message)
    : ENetSocketError(FormatMessage(code, error_message), code, error_message) {}

ENetSocketError::ENetSocketError(const Text& message, int code, const Text& error_message)
    : std::runtime_error(message), error_code_(code), error_message_(error_message) {}

}  // namespace tessaly
