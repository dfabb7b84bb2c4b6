// Error texts, the mapping of platform numbers onto the layer's codes, and the exception.
#include "net/socketerror.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>

namespace tessaly {
namespace {

struct TDescRow {
  int code;
  const char* text;
};

// Every row of the system's error table, texts as the users see them.
const TDescRow kTableRows[] = {
    {0, ""},
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
    // Codes between and around the table's rows have no text of their own.
    {10100, "Other Winsock error (10100)"},
    {12345, "Other Winsock error (12345)"},
    {-1, "Other Winsock error (-1)"},
    {1, "Other Winsock error (1)"},
    {10000, "Other Winsock error (10000)"},
    {10072, "Other Winsock error (10072)"},
    {10090, "Other Winsock error (10090)"},
    {10109, "Other Winsock error (10109)"},
    {11000, "Other Winsock error (11000)"},
    {11005, "Other Winsock error (11005)"},
    {-2147483647 - 1, "Other Winsock error (-2147483648)"},
};

class ErrorDescTest : public ::testing::TestWithParam<TDescRow> {};

TEST_P(ErrorDescTest, GivesTheTableText) {
  EXPECT_EQ(GetErrorDesc(GetParam().code), GetParam().text) << "code " << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(Table, ErrorDescTest, ::testing::ValuesIn(kTableRows),
                         [](const ::testing::TestParamInfo<TDescRow>& info) {
                           const int code = info.param.code;
                           return (code < 0 ? "minus" + std::to_string(-(int64_t)code)
                                            : "code" + std::to_string(code));
                         });

TEST(ErrorDescTable, HasExactly52Entries) {
  int with_text = 0;
  for (int code = 10000; code <= 11100; ++code) {
    if (GetErrorDesc(code).rfind("Other Winsock error (", 0) != 0) ++with_text;
  }
  EXPECT_EQ(with_text + 1, 52) << "51 texted codes above 10000 plus code 0";
}

struct TMapRow {
  const char* name;
  int from;
  int code;
};

class ErrnoMappingTest : public ::testing::TestWithParam<TMapRow> {};

TEST_P(ErrnoMappingTest, MapsOntoTheLayerCode) {
  const TMapRow& row = GetParam();
  EXPECT_EQ(ErrnoToSocketError(row.from), row.code) << row.name << ": " << GetErrorDesc(row.code);
  errno = row.from;
  EXPECT_EQ(LastSocketError(), row.code) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Errno, ErrnoMappingTest,
    ::testing::Values(
        TMapRow{"none", 0, 0}, TMapRow{"EINTR", EINTR, 10004}, TMapRow{"EBADF", EBADF, 10009},
        TMapRow{"EACCES", EACCES, 10013}, TMapRow{"EPERM", EPERM, 10013},
        TMapRow{"EFAULT", EFAULT, 10014}, TMapRow{"EINVAL", EINVAL, 10022},
        TMapRow{"EMFILE", EMFILE, 10024}, TMapRow{"EWOULDBLOCK", EWOULDBLOCK, 10035},
        TMapRow{"EAGAIN", EAGAIN, 10035}, TMapRow{"EINPROGRESS", EINPROGRESS, 10036},
        TMapRow{"EALREADY", EALREADY, 10037}, TMapRow{"ENOTSOCK", ENOTSOCK, 10038},
        TMapRow{"EDESTADDRREQ", EDESTADDRREQ, 10039}, TMapRow{"EMSGSIZE", EMSGSIZE, 10040},
        TMapRow{"EPROTOTYPE", EPROTOTYPE, 10041}, TMapRow{"ENOPROTOOPT", ENOPROTOOPT, 10042},
        TMapRow{"EPROTONOSUPPORT", EPROTONOSUPPORT, 10043},
        TMapRow{"ESOCKTNOSUPPORT", ESOCKTNOSUPPORT, 10044},
        TMapRow{"EOPNOTSUPP", EOPNOTSUPP, 10045}, TMapRow{"EPFNOSUPPORT", EPFNOSUPPORT, 10046},
        TMapRow{"EAFNOSUPPORT", EAFNOSUPPORT, 10047}, TMapRow{"EADDRINUSE", EADDRINUSE, 10048},
        TMapRow{"EADDRNOTAVAIL", EADDRNOTAVAIL, 10049}, TMapRow{"ENETDOWN", ENETDOWN, 10050},
        TMapRow{"ENETUNREACH", ENETUNREACH, 10051}, TMapRow{"ENETRESET", ENETRESET, 10052},
        TMapRow{"ECONNABORTED", ECONNABORTED, 10053}, TMapRow{"ECONNRESET", ECONNRESET, 10054},
        TMapRow{"EPIPE", EPIPE, 10054}, TMapRow{"ENOBUFS", ENOBUFS, 10055},
        TMapRow{"EISCONN", EISCONN, 10056}, TMapRow{"ENOTCONN", ENOTCONN, 10057},
        TMapRow{"ESHUTDOWN", ESHUTDOWN, 10058}, TMapRow{"ETOOMANYREFS", ETOOMANYREFS, 10059},
        TMapRow{"ETIMEDOUT", ETIMEDOUT, 10060}, TMapRow{"ECONNREFUSED", ECONNREFUSED, 10061},
        TMapRow{"ELOOP", ELOOP, 10062}, TMapRow{"ENAMETOOLONG", ENAMETOOLONG, 10063},
        TMapRow{"EHOSTDOWN", EHOSTDOWN, 10064}, TMapRow{"EHOSTUNREACH", EHOSTUNREACH, 10065},
        TMapRow{"ENOTEMPTY", ENOTEMPTY, 10066}, TMapRow{"EUSERS", EUSERS, 10068},
        TMapRow{"EDQUOT", EDQUOT, 10069}, TMapRow{"ESTALE", ESTALE, 10070},
        TMapRow{"EREMOTE", EREMOTE, 10071},
        // No twin: passed on, so the text names the number.
        TMapRow{"EIO", EIO, EIO}, TMapRow{"ENOENT", ENOENT, ENOENT}),
    [](const ::testing::TestParamInfo<TMapRow>& info) { return std::string(info.param.name); });

TEST(ErrnoMapping, UnmappedNumberShowsAsOtherError) {
  EXPECT_EQ(GetErrorDesc(ErrnoToSocketError(EIO)),
            "Other Winsock error (" + std::to_string(EIO) + ")");
}

class AddrInfoMappingTest : public ::testing::TestWithParam<TMapRow> {};

TEST_P(AddrInfoMappingTest, MapsOntoTheResolverCodes) {
  const TMapRow& row = GetParam();
  EXPECT_EQ(AddrInfoErrorToSocketError(row.from, 0), row.code)
      << row.name << ": " << GetErrorDesc(row.code);
}

INSTANTIATE_TEST_SUITE_P(
    Eai, AddrInfoMappingTest,
    ::testing::Values(
        TMapRow{"success", 0, 0}, TMapRow{"NONAME", EAI_NONAME, 11001},
        TMapRow{"AGAIN", EAI_AGAIN, 11002}, TMapRow{"FAIL", EAI_FAIL, 11003},
        TMapRow{"NODATA", EAI_NODATA, 11004}, TMapRow{"ADDRFAMILY", EAI_ADDRFAMILY, 11004},
        TMapRow{"FAMILY", EAI_FAMILY, 10047}, TMapRow{"BADFLAGS", EAI_BADFLAGS, 10022},
        TMapRow{"SOCKTYPE", EAI_SOCKTYPE, 10044}, TMapRow{"MEMORY", EAI_MEMORY, 10055},
        TMapRow{"OVERFLOW", EAI_OVERFLOW, 10022}, TMapRow{"SERVICE", EAI_SERVICE, 10109},
        TMapRow{"SYSTEM_without_errno", EAI_SYSTEM, 11003}, TMapRow{"unknown", -12345, 11003}),
    [](const ::testing::TestParamInfo<TMapRow>& info) { return std::string(info.param.name); });

TEST(AddrInfoMapping, SystemErrorTakesTheSavedErrno) {
  EXPECT_EQ(AddrInfoErrorToSocketError(EAI_SYSTEM, ETIMEDOUT), 10060);
  EXPECT_EQ(AddrInfoErrorToSocketError(EAI_SYSTEM, EMFILE), 10024);
}

class HostErrorMappingTest : public ::testing::TestWithParam<TMapRow> {};

TEST_P(HostErrorMappingTest, MapsOntoTheResolverCodes) {
  EXPECT_EQ(HostErrorToSocketError(GetParam().from), GetParam().code) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    HErrno, HostErrorMappingTest,
    ::testing::Values(TMapRow{"none", 0, 0}, TMapRow{"HOST_NOT_FOUND", HOST_NOT_FOUND, 11001},
                      TMapRow{"TRY_AGAIN", TRY_AGAIN, 11002},
                      TMapRow{"NO_RECOVERY", NO_RECOVERY, 11003},
                      TMapRow{"NO_DATA", NO_DATA, 11004}, TMapRow{"unknown", 99, 11001}),
    [](const ::testing::TestParamInfo<TMapRow>& info) { return std::string(info.param.name); });

TEST(LayerCodes, KeepTheirNumbers) {
  EXPECT_EQ(ErrStopped, 10053);
  EXPECT_EQ(ErrPeerClosed, 10054);
  EXPECT_EQ(ErrLineTooLong, 10055);
  EXPECT_EQ(ErrTimedOut, 10060);
  EXPECT_EQ(ErrNegotiationFailed, 10091);
  EXPECT_EQ(WSAHOST_NOT_FOUND, 11001);
  EXPECT_EQ(WSAEWOULDBLOCK, 10035);
  EXPECT_EQ(WSAEINPROGRESS, 10036);
}

struct TExceptionRow {
  int code;
  const char* error_message;
  const char* what;
};

class NetSocketErrorTest : public ::testing::TestWithParam<TExceptionRow> {};

TEST_P(NetSocketErrorTest, FormatsItsMessage) {
  const TExceptionRow& row = GetParam();
  try {
    throw ENetSocketError(row.code, row.error_message);
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), row.what);
    const auto* net_error = dynamic_cast<const ENetSocketError*>(&error);
    ASSERT_NE(net_error, nullptr);
    EXPECT_EQ(net_error->ErrorCode(), row.code);
    EXPECT_EQ(net_error->ErrorMessage(), row.error_message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, NetSocketErrorTest,
    ::testing::Values(TExceptionRow{10061, "Connection refused",
                                    "TCP/IP Socket error 10061: Connection refused"},
                      TExceptionRow{10060, "Connection timed out",
                                    "TCP/IP Socket error 10060: Connection timed out"},
                      TExceptionRow{0, "", "TCP/IP Socket error 0: "},
                      TExceptionRow{-1, "Other Winsock error (-1)",
                                    "TCP/IP Socket error -1: Other Winsock error (-1)"}));

TEST(NetSocketError, GivenMessageIsKeptAsItIs) {
  const Text text = "Error loading Socket interface (ws2_32.dll)!";
  const ENetSocketError error(text, 0, text);
  EXPECT_EQ(Text(error.what()), text);
  EXPECT_EQ(error.ErrorCode(), 0);
  EXPECT_EQ(error.ErrorMessage(), text);
}

}  // namespace
}  // namespace tessaly
