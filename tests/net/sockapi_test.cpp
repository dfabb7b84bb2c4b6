// The operating-system binding: interface load/release, address records, resolution over both
// ways of lookup, and the thin wrappers on loopback sockets. Names used: numeric literals,
// "localhost" (IPv4 only) and names the resolver rejects without asking any server.
#include "net/sockapi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/socketerror.h"

namespace tessaly {
namespace {

// Brings the interface into a fresh load from `source` whatever loads are outstanding, and
// restores those loads afterwards.
class TInterfaceReload {
 public:
  explicit TInterfaceReload(TAddrInfoSource source) : outstanding_(SocketInterfaceUseCount()) {
    for (int i = 0; i < outstanding_; ++i) ReleaseSocketInterface();
    loaded_ = LoadSocketInterface("", source);
  }
  ~TInterfaceReload() {
    if (loaded_) ReleaseSocketInterface();
    for (int i = 0; i < outstanding_; ++i) LoadSocketInterface();
  }
  TInterfaceReload(const TInterfaceReload&) = delete;
  TInterfaceReload& operator=(const TInterfaceReload&) = delete;
  bool Loaded() const { return loaded_; }

 private:
  int outstanding_;
  bool loaded_ = false;
};

// True when the service database names http as 80/tcp (rows that look up "http" need it).
bool ServicesKnowHttp() {
  std::ifstream file("/etc/services");
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name, port;
    if (fields >> name >> port && name == "http" && port == "80/tcp") return true;
  }
  return false;
}

bool IsAllZero(const TSocketAddress& address) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  for (size_t i = 0; i < sizeof address; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Whether this machine can bind a socket on ::1.
bool HasIPv6Loopback() {
  const TSocketHandle handle = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (handle < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(handle);
  return ok;
}

TSocketAddress MakeAddress(int family, const char* text, int port) {
  TSocketAddress address{};
  if (family == AF_INET) {
    address.in4.sin_family = AF_INET;
    address.in4.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(inet_pton(AF_INET, text, &address.in4.sin_addr), 1) << text;
  } else {
    address.in6.sin6_family = AF_INET6;
    address.in6.sin6_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(inet_pton(AF_INET6, text, &address.in6.sin6_addr), 1) << text;
  }
  return address;
}

// ---- Address record ---------------------------------------------------------------------

TEST(SocketAddress, HasThePlatformLayout) {
  TSocketAddress address{};
  EXPECT_EQ(sizeof address, 28u);
  EXPECT_TRUE(IsAllZero(address));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);

  address.in6.sin6_family = AF_INET6;
  address.in6.sin6_port = htons(0x1234);
  address.in6.sin6_flowinfo = htonl(0x01020304);
  address.in6.sin6_addr.s6_addr[0] = 0xAB;
  address.in6.sin6_addr.s6_addr[15] = 0xCD;
  address.in6.sin6_scope_id = 0x0A0B0C0D;
  uint16_t family = 0;
  std::memcpy(&family, bytes, 2);
  EXPECT_EQ(family, AF_INET6) << "family at 0, host order";
  EXPECT_EQ(bytes[2], 0x12);
  EXPECT_EQ(bytes[3], 0x34);
  EXPECT_EQ(bytes[4], 0x01) << "flow information at 4";
  EXPECT_EQ(bytes[8], 0xAB) << "IPv6 address at 8";
  EXPECT_EQ(bytes[23], 0xCD);
  uint32_t scope = 0;
  std::memcpy(&scope, bytes + 24, 4);
  EXPECT_EQ(scope, 0x0A0B0C0Du) << "scope at 24";

  // The IPv4 form shares family and port, and keeps its address at 4.
  address.Clear();
  EXPECT_TRUE(IsAllZero(address));
  address.in4.sin_family = AF_INET;
  address.in4.sin_port = htons(0x1234);
  address.in4.sin_addr.s_addr = htonl(0x7F000001);
  EXPECT_EQ(bytes[2], 0x12);
  EXPECT_EQ(bytes[4], 0x7F);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(address.Family(), AF_INET);
}

struct TLengthRow {
  int family;
  int length;
};

class SocketAddressLengthTest : public ::testing::TestWithParam<TLengthRow> {};

TEST_P(SocketAddressLengthTest, DependsOnTheFamilyAlone) {
  TSocketAddress address{};
  address.sa.sa_family = static_cast<sa_family_t>(GetParam().family);
  EXPECT_EQ(SocketAddressLength(address), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(Families, SocketAddressLengthTest,
                         ::testing::Values(TLengthRow{AF_INET, 16}, TLengthRow{AF_INET6, 28},
                                           TLengthRow{AF_UNSPEC, 0}, TLengthRow{AF_UNIX, 0},
                                           TLengthRow{AF_PACKET, 0}));

TEST(SocketFamily, MapsOntoAddressFamilies) {
  EXPECT_EQ(AddressFamilyOf(SF_Any), AF_UNSPEC);
  EXPECT_EQ(AddressFamilyOf(SF_IP4), AF_INET);
  EXPECT_EQ(AddressFamilyOf(SF_IP6), AF_INET6);
}

// ---- Interface lifetime -----------------------------------------------------------------

TEST(SocketInterface, CountsLoadsAndReleases) {
  TInterfaceReload fresh(AIS_Library);  // count 1, then back to what it was
  ASSERT_TRUE(fresh.Loaded());
  ReleaseSocketInterface();
  ASSERT_EQ(SocketInterfaceUseCount(), 0);

  EXPECT_TRUE(LoadSocketInterface(""));  // "" stands for the default library
  EXPECT_EQ(SocketInterfaceUseCount(), 1);
  EXPECT_TRUE(AddrInfoInLibrary());
  // A second load only raises the count: the flags of the first load stay.
  EXPECT_TRUE(LoadSocketInterface(DefaultSocketLibrary, AIS_None));
  EXPECT_EQ(SocketInterfaceUseCount(), 2);
  EXPECT_TRUE(AddrInfoInLibrary());
  EXPECT_TRUE(UsesAddrInfo(AF_INET));

  EXPECT_TRUE(ReleaseSocketInterface());
  EXPECT_EQ(SocketInterfaceUseCount(), 1);
  EXPECT_TRUE(ReleaseSocketInterface());
  EXPECT_EQ(SocketInterfaceUseCount(), 0);
  EXPECT_TRUE(ReleaseSocketInterface()) << "releasing more often than loading";
  EXPECT_EQ(SocketInterfaceUseCount(), 0);

  // A load from nothing sets the flags anew.
  EXPECT_TRUE(LoadSocketInterface("", AIS_None));
  EXPECT_FALSE(AddrInfoInLibrary());
  EXPECT_FALSE(AddrInfoInIP6Library());
  EXPECT_TRUE(ReleaseSocketInterface());

  // A library that is not there fails the load and leaves the count alone.
  EXPECT_FALSE(LoadSocketInterface("no-such-socket-library.so"));
  EXPECT_EQ(SocketInterfaceUseCount(), 0);

  EXPECT_TRUE(LoadSocketInterface(""));  // handed back to `fresh`
}

struct TSourceRow {
  const char* name;
  TAddrInfoSource source;
  bool in_library;
  bool in_ip6_library;
  bool any, ip4, ip6;  // UsesAddrInfo for AF_UNSPEC, AF_INET, AF_INET6
};

class AddrInfoSourceTest : public ::testing::TestWithParam<TSourceRow> {};

TEST_P(AddrInfoSourceTest, SetsTheFlagsAndTheWayOfLookup) {
  const TSourceRow& row = GetParam();
  TInterfaceReload reload(row.source);
  ASSERT_TRUE(reload.Loaded());
  EXPECT_EQ(AddrInfoInLibrary(), row.in_library);
  EXPECT_EQ(AddrInfoInIP6Library(), row.in_ip6_library);
  EXPECT_EQ(UsesAddrInfo(AF_UNSPEC), row.any);
  EXPECT_EQ(UsesAddrInfo(AF_INET), row.ip4);
  EXPECT_EQ(UsesAddrInfo(AF_INET6), row.ip6);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, AddrInfoSourceTest,
    ::testing::Values(TSourceRow{"Library", AIS_Library, true, false, true, true, true},
                      TSourceRow{"IP6Library", AIS_IP6Library, false, true, false, false, true},
                      TSourceRow{"None", AIS_None, false, false, false, false, false}),
    [](const ::testing::TestParamInfo<TSourceRow>& info) { return std::string(info.param.name); });

TEST(SocketInterface, ConcurrentLoadsAndReleasesKeepTheCount) {
  TInterfaceReload fresh(AIS_Library);
  const int before = SocketInterfaceUseCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        LoadSocketInterface();
        ReleaseSocketInterface();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(SocketInterfaceUseCount(), before);
  EXPECT_TRUE(AddrInfoInLibrary());
}

TEST(SocketLayer, StartFailureRaisesTheLoadingError) {
  const int before = SocketInterfaceUseCount();
  try {
    StartSocketLayer("no-such-socket-library.so");
    FAIL() << "no exception";
  } catch (const ENetSocketError& error) {
    EXPECT_STREQ(error.what(), "Error loading Socket interface (ws2_32.dll)!");
    EXPECT_EQ(error.ErrorMessage(), "Error loading Socket interface (ws2_32.dll)!");
    EXPECT_EQ(error.ErrorCode(), 0);
  }
  EXPECT_EQ(SocketInterfaceUseCount(), before);
}

TEST(SocketLayer, StartLoadsAndIgnoresBrokenPipes) {
  const int before = SocketInterfaceUseCount();
  {
    TSocketLayerScope scope;
    EXPECT_EQ(SocketInterfaceUseCount(), before + 1);
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
    EXPECT_TRUE(UsesAddrInfo(AF_UNSPEC));
  }
  EXPECT_EQ(SocketInterfaceUseCount(), before);
}

// ---- ResolveSocketAddress ---------------------------------------------------------------

struct TResolveRow {
  const char* name;
  const char* host;
  const char* port;
  int family;
  bool prefer_ip4;
  int protocol;
  int socket_type;
  bool needs_services;
  int code;          // expected result
  int out_family;    // expected family field (0 with an all-zero record)
  const char* text;  // expected AddressToText ("" with an all-zero record)
  int out_port;
};

std::string RowName(const ::testing::TestParamInfo<TResolveRow>& info) {
  return info.param.name;
}

void CheckResolve(const TResolveRow& row) {
  if (row.needs_services && !ServicesKnowHttp()) GTEST_SKIP() << "no http in /etc/services";
  TSocketAddress address{};
  address.in4.sin_port = 0xFFFF;  // must be cleared
  const int code = ResolveSocketAddress(address, row.host, row.port, row.family, row.protocol,
                                        row.socket_type, row.prefer_ip4);
  EXPECT_EQ(code, row.code) << GetErrorDesc(code);
  EXPECT_EQ(address.Family(), row.out_family);
  EXPECT_EQ(AddressToPort(address), row.out_port);
  if (row.out_family == 0) {
    EXPECT_TRUE(IsAllZero(address)) << "a failed lookup leaves the zero record";
  } else {
    EXPECT_EQ(AddressToText(address), row.text);
  }
}

class ResolveTest : public ::testing::TestWithParam<TResolveRow> {
 protected:
  TInterfaceReload reload_{AIS_Library};
};

TEST_P(ResolveTest, GivesTheAddress) {
  if (GetParam().out_family == AF_INET6 && !HasIPv6Loopback()) GTEST_SKIP() << "no IPv6";
  CheckResolve(GetParam());
}

constexpr int kTcp = IPPROTO_TCP;
constexpr int kStream = SOCK_STREAM;

INSTANTIATE_TEST_SUITE_P(
    AddrInfo, ResolveTest,
    ::testing::Values(
        TResolveRow{"Wildcard4", "0.0.0.0", "0", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "0.0.0.0", 0},
        TResolveRow{"Wildcard6", "::0", "0", AF_INET6, true, kTcp, kStream, false, 0, AF_INET6,
                    "::", 0},
        TResolveRow{"Wildcard4Port", "0.0.0.0", "8080", AF_INET, true, kTcp, kStream, false, 0,
                    AF_INET, "0.0.0.0", 8080},
        TResolveRow{"WildcardAnyPrefer6", "0.0.0.0", "0", AF_UNSPEC, false, kTcp, kStream, false, 0,
                    AF_INET6, "::", 0},
        TResolveRow{"Loopback4", "127.0.0.1", "80", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.1", 80},
        TResolveRow{"Loopback4AsIP6", "127.0.0.1", "80", AF_INET6, true, kTcp, kStream, false, 0,
                    AF_INET6, "::1", 80},
        TResolveRow{"Loopback6AsIP4", "::1", "81", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.1", 81},
        TResolveRow{"Loopback6", "::1", "81", AF_INET6, true, kTcp, kStream, false, 0, AF_INET6,
                    "::1", 81},
        TResolveRow{"LoopbackAnyPrefer4", "127.0.0.1", "80", AF_UNSPEC, true, kTcp, kStream, false,
                    0, AF_INET, "127.0.0.1", 80},
        TResolveRow{"LoopbackAnyPrefer6", "127.0.0.1", "80", AF_UNSPEC, false, kTcp, kStream, false,
                    0, AF_INET6, "::1", 80},
        TResolveRow{"Plain4", "127.0.0.2", "8080", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.2", 8080},
        TResolveRow{"Plain4AnyPrefer6FallsBack", "127.0.0.2", "8080", AF_UNSPEC, false, kTcp,
                    kStream, false, 0, AF_INET, "127.0.0.2", 8080},
        TResolveRow{"Plain6AnyPrefer4FallsBack", "::2", "8080", AF_UNSPEC, true, kTcp, kStream,
                    false, 0, AF_INET6, "::2", 8080},
        TResolveRow{"Mapped6", "::ffff:127.0.0.1", "1", AF_INET6, true, kTcp, kStream, false, 0,
                    AF_INET6, "::ffff:127.0.0.1", 1},
        TResolveRow{"LocalhostAnyPrefer4", "localhost", "80", AF_UNSPEC, true, kTcp, kStream, false,
                    0, AF_INET, "127.0.0.1", 80},
        TResolveRow{"Localhost4", "localhost", "443", AF_INET, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 443},
        TResolveRow{"ServiceName", "127.0.0.1", "http", AF_INET, true, kTcp, kStream, true, 0,
                    AF_INET, "127.0.0.1", 80},
        TResolveRow{"EmptyPort", "127.0.0.2", "", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.2", 0},
        TResolveRow{"UntypedSocket", "127.0.0.2", "99", AF_INET, true, 0, 0, false, 0, AF_INET,
                    "127.0.0.2", 99},
        // Raw sockets have no port: the host alone is looked up, even the loopback literal.
        TResolveRow{"Raw4", "127.0.0.1", "80", AF_INET, true, kTcp, SOCK_RAW, false, 0, AF_INET,
                    "127.0.0.1", 0},
        TResolveRow{"Raw6", "::1", "80", AF_INET6, true, kTcp, SOCK_RAW, false, 0, AF_INET6, "::1",
                    0},
        // Failures leave the zero record and the code of the last try.
        TResolveRow{"Ip6TextAsIP4", "::2", "80", AF_INET, true, kTcp, kStream, false, WSANO_DATA, 0,
                    "", 0},
        TResolveRow{"Ip4TextAsIP6", "127.0.0.2", "80", AF_INET6, true, kTcp, kStream, false,
                    WSANO_DATA, 0, "", 0},
        TResolveRow{"BadNameBothFail", "bad..name", "80", AF_UNSPEC, true, kTcp, kStream, false,
                    WSAHOST_NOT_FOUND, 0, "", 0},
        TResolveRow{"BadName6", "bad..name", "80", AF_INET6, true, kTcp, kStream, false,
                    WSAHOST_NOT_FOUND, 0, "", 0},
        TResolveRow{"UnknownService", "127.0.0.2", "no-such-service-here", AF_UNSPEC, true, kTcp,
                    kStream, false, WSATYPE_NOT_FOUND, 0, "", 0}),
    RowName);

class FallbackResolveTest : public ::testing::TestWithParam<TResolveRow> {
 protected:
  TInterfaceReload reload_{AIS_None};
};

TEST_P(FallbackResolveTest, GivesTheIPv4Address) {
  ASSERT_FALSE(UsesAddrInfo(GetParam().family));
  CheckResolve(GetParam());
}

TEST_F(FallbackResolveTest, FailureKeepsFamilyPortAndNoneAddress) {
  TSocketAddress address{};
  const int code =
      ResolveSocketAddress(address, "bad..name", "8080", AF_UNSPEC, kTcp, kStream, true);
  EXPECT_EQ(code, WSAHOST_NOT_FOUND) << GetErrorDesc(code);
  EXPECT_EQ(address.Family(), AF_INET);
  EXPECT_EQ(AddressToPort(address), 8080);
  EXPECT_EQ(address.in4.sin_addr.s_addr, 0xFFFFFFFFu);
}

TEST_F(FallbackResolveTest, ConcurrentLookupsAgree) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong] {
      for (int i = 0; i < 50; ++i) {
        TSocketAddress address{};
        if (ResolveSocketAddress(address, "localhost", "80", AF_UNSPEC, kTcp, kStream, true) != 0 ||
            AddressToText(address) != "127.0.0.1" ||
            LookupPortNumber("80", AF_INET, kTcp, kStream) != 80) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fallback, FallbackResolveTest,
    ::testing::Values(
        TResolveRow{"Broadcast", "255.255.255.255", "0", AF_UNSPEC, true, kTcp, kStream, false, 0,
                    AF_INET, "255.255.255.255", 0},
        TResolveRow{"Literal", "127.0.0.1", "80", AF_UNSPEC, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.1", 80},
        TResolveRow{"ShortLiteral", "127.1", "80", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "127.0.0.1", 80},
        TResolveRow{"FamilyIgnored", "127.0.0.1", "80", AF_INET6, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 80},
        TResolveRow{"Wildcard", "0.0.0.0", "0", AF_INET, true, kTcp, kStream, false, 0, AF_INET,
                    "0.0.0.0", 0},
        TResolveRow{"Localhost", "localhost", "21", AF_UNSPEC, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 21},
        TResolveRow{"ServiceOfTcp", "127.0.0.1", "http", AF_UNSPEC, true, kTcp, kStream, true, 0,
                    AF_INET, "127.0.0.1", 80},
        // Protocol 0 is "ip", which has no http service: the text is read as a number.
        TResolveRow{"ServiceOfIp", "127.0.0.1", "http", AF_UNSPEC, true, 0, 0, true, 0, AF_INET,
                    "127.0.0.1", 0},
        TResolveRow{"UnknownService", "127.0.0.1", "no-such-service-here", AF_UNSPEC, true, kTcp,
                    kStream, false, 0, AF_INET, "127.0.0.1", 0},
        TResolveRow{"PortLow16Bits", "127.0.0.1", "70000", AF_UNSPEC, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 4464},
        TResolveRow{"HexPort", "127.0.0.1", "$50", AF_UNSPEC, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 80},
        TResolveRow{"NegativePort", "127.0.0.1", "-1", AF_UNSPEC, true, kTcp, kStream, false, 0,
                    AF_INET, "127.0.0.1", 65535}),
    RowName);

// With the name functions only in the IPv6 support library, IPv6 lookups use them and the rest
// falls back to IPv4.
TEST(IP6LibraryResolve, UsesNameFunctionsForIPv6Only) {
  TInterfaceReload reload(AIS_IP6Library);
  TSocketAddress address{};
  EXPECT_EQ(ResolveSocketAddress(address, "::1", "80", AF_INET6, kTcp, kStream, true), 0);
  EXPECT_EQ(address.Family(), AF_INET6);
  EXPECT_EQ(AddressToText(address), "::1");
  EXPECT_EQ(ResolveSocketAddress(address, "localhost", "80", AF_UNSPEC, kTcp, kStream, false), 0);
  EXPECT_EQ(address.Family(), AF_INET) << "AF_UNSPEC takes the IPv4-only way";
  EXPECT_EQ(AddressToText(address), "127.0.0.1");
}

// ---- LookupFirstAddress rules -----------------------------------------------------------

TEST(LookupFirstAddress, RulesAreExactAndCaseSensitive) {
  TInterfaceReload reload(AIS_Library);
  TSocketAddress address{};
  // "::0" is the wildcard, but the same address written otherwise is looked up as it stands.
  EXPECT_EQ(LookupFirstAddress("::0", "1", AF_INET, kTcp, kStream, address), 0);
  EXPECT_EQ(AddressToText(address), "0.0.0.0");
  EXPECT_NE(LookupFirstAddress("::", "1", AF_INET, kTcp, kStream, address), 0);
  EXPECT_TRUE(IsAllZero(address));
  // "0::1" is no loopback literal: as an IPv4 lookup it fails.
  EXPECT_NE(LookupFirstAddress("0::1", "1", AF_INET, kTcp, kStream, address), 0);
  EXPECT_EQ(LookupFirstAddress("::1", "1", AF_INET, kTcp, kStream, address), 0);
  EXPECT_EQ(AddressToText(address), "127.0.0.1");
}

// ---- AddressToText / AddressToPort ------------------------------------------------------

struct TTextRow {
  const char* name;
  int family;
  const char* address;
  int port;
  const char* text;
};

class AddressTextTest : public ::testing::TestWithParam<std::tuple<TAddrInfoSource, TTextRow>> {};

TEST_P(AddressTextTest, FormatsNumerically) {
  const auto& [source, row] = GetParam();
  TInterfaceReload reload(source);
  const TSocketAddress address = MakeAddress(row.family, row.address, row.port);
  EXPECT_EQ(AddressToText(address), row.text);
  EXPECT_EQ(AddressToPort(address), row.port);
}

const TTextRow kIPv4TextRows[] = {
    {"Zero", AF_INET, "0.0.0.0", 0, "0.0.0.0"},
    {"Loopback", AF_INET, "127.0.0.1", 80, "127.0.0.1"},
    {"Doc", AF_INET, "192.0.2.7", 65535, "192.0.2.7"},
    {"Broadcast", AF_INET, "255.255.255.255", 1, "255.255.255.255"},
};
const TTextRow kIPv6TextRows[] = {
    {"Unspecified", AF_INET6, "::", 0, "::"},
    {"Loopback6", AF_INET6, "::1", 443, "::1"},
    {"Doc6", AF_INET6, "2001:db8::1", 8080, "2001:db8::1"},
    {"Mapped", AF_INET6, "::ffff:10.1.2.3", 1, "::ffff:10.1.2.3"},
    {"Full", AF_INET6, "2001:db8:1:2:3:4:5:6", 65535, "2001:db8:1:2:3:4:5:6"},
};

std::string TextRowName(
    const ::testing::TestParamInfo<std::tuple<TAddrInfoSource, TTextRow>>& info) {
  const TAddrInfoSource source = std::get<0>(info.param);
  const char* prefix = source == AIS_Library ? "Library_" : source == AIS_None ? "None_" : "IP6_";
  return prefix + std::string(std::get<1>(info.param).name);
}

// IPv4 records format alike on both ways; IPv6 records need the name functions.
INSTANTIATE_TEST_SUITE_P(IPv4, AddressTextTest,
                         ::testing::Combine(::testing::Values(AIS_Library, AIS_None),
                                            ::testing::ValuesIn(kIPv4TextRows)),
                         TextRowName);
INSTANTIATE_TEST_SUITE_P(IPv6, AddressTextTest,
                         ::testing::Combine(::testing::Values(AIS_Library, AIS_IP6Library),
                                            ::testing::ValuesIn(kIPv6TextRows)),
                         TextRowName);

TEST(AddressText, ZeroRecordHasPortZeroAndNoText) {
  TInterfaceReload reload(AIS_Library);
  const TSocketAddress address{};
  EXPECT_EQ(AddressToPort(address), 0);
  EXPECT_EQ(AddressToText(address), "") << "family 0 cannot be formatted";
}

TEST(AddressText, PortLiesAtTheSamePlaceInBothForms) {
  TSocketAddress address{};
  auto* bytes = reinterpret_cast<unsigned char*>(&address);
  bytes[2] = 0x1F;
  bytes[3] = 0x90;
  address.sa.sa_family = AF_INET;
  EXPECT_EQ(AddressToPort(address), 8080);
  address.sa.sa_family = AF_INET6;
  EXPECT_EQ(AddressToPort(address), 8080);
}

// ---- LookupHostAddresses ----------------------------------------------------------------

struct THostListRow {
  const char* name;
  TAddrInfoSource source;
  const char* host;
  int family;
  std::vector<std::string> expected;  // exact list
};

class HostAddressesTest : public ::testing::TestWithParam<THostListRow> {};

TEST_P(HostAddressesTest, ListsNumericAddresses) {
  const THostListRow& row = GetParam();
  if (row.family == AF_INET6 && !HasIPv6Loopback()) GTEST_SKIP() << "no IPv6";
  TInterfaceReload reload(row.source);
  TLineList list;
  list.Add("left over");
  LookupHostAddresses(row.host, row.family, kTcp, kStream, list);
  EXPECT_EQ(list.Lines(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, HostAddressesTest,
    ::testing::Values(
        THostListRow{"Literal4", AIS_Library, "127.0.0.1", AF_INET, {"127.0.0.1"}},
        THostListRow{"Literal4Any", AIS_Library, "127.0.0.1", AF_UNSPEC, {"127.0.0.1"}},
        THostListRow{"Literal6", AIS_Library, "::1", AF_INET6, {"::1"}},
        THostListRow{"Literal6Any", AIS_Library, "::1", AF_UNSPEC, {"::1"}},
        THostListRow{"Literal6AsIP4", AIS_Library, "::1", AF_INET, {"0.0.0.0"}},
        THostListRow{"Literal4AsIP6", AIS_Library, "127.0.0.1", AF_INET6, {"0.0.0.0"}},
        THostListRow{"BadName", AIS_Library, "bad..name", AF_UNSPEC, {"0.0.0.0"}},
        THostListRow{"FallbackLiteralAsWritten", AIS_None, "127.1", AF_INET, {"127.1"}},
        THostListRow{"FallbackLiteral", AIS_None, "127.0.0.1", AF_INET6, {"127.0.0.1"}},
        THostListRow{"FallbackBadName", AIS_None, "bad..name", AF_UNSPEC, {"0.0.0.0"}}),
    [](const ::testing::TestParamInfo<THostListRow>& info) {
      return std::string(info.param.name);
    });

class LocalhostAddressesTest : public ::testing::TestWithParam<TAddrInfoSource> {};

TEST_P(LocalhostAddressesTest, IPv4OnlyGivesDottedTexts) {
  TInterfaceReload reload(GetParam());
  TLineList list;
  LookupHostAddresses("localhost", AF_INET, kTcp, kStream, list);
  ASSERT_GE(list.Count(), 1);
  bool has_loopback = false;
  for (const Text& entry : list.Lines()) {
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, entry.c_str(), &parsed), 1) << entry;
    has_loopback = has_loopback || entry == "127.0.0.1";
  }
  EXPECT_TRUE(has_loopback);
}

INSTANTIATE_TEST_SUITE_P(Sources, LocalhostAddressesTest, ::testing::Values(AIS_Library, AIS_None));

// ---- LookupPortNumber -------------------------------------------------------------------

struct TPortRow {
  const char* name;
  TAddrInfoSource source;
  const char* port;
  int protocol;
  bool needs_services;
  int expected;
};

class PortNumberTest : public ::testing::TestWithParam<TPortRow> {};

TEST_P(PortNumberTest, ResolvesTheService) {
  const TPortRow& row = GetParam();
  if (row.needs_services && !ServicesKnowHttp()) GTEST_SKIP() << "no http in /etc/services";
  TInterfaceReload reload(row.source);
  EXPECT_EQ(LookupPortNumber(row.port, AF_UNSPEC, row.protocol, kStream), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortNumberTest,
    ::testing::Values(TPortRow{"Number", AIS_Library, "80", kTcp, false, 80},
                      TPortRow{"Zero", AIS_Library, "0", kTcp, false, 0},
                      TPortRow{"Highest", AIS_Library, "65535", kTcp, false, 65535},
                      TPortRow{"Service", AIS_Library, "http", kTcp, true, 80},
                      TPortRow{"UnknownService", AIS_Library, "no-such-service-here", kTcp, false,
                               0},
                      TPortRow{"FallbackNumber", AIS_None, "80", kTcp, false, 80},
                      TPortRow{"FallbackZero", AIS_None, "0", kTcp, false, 0},
                      TPortRow{"FallbackService", AIS_None, "http", kTcp, true, 80},
                      TPortRow{"FallbackUnknown", AIS_None, "no-such-service-here", kTcp, false, 0},
                      TPortRow{"FallbackLow16Bits", AIS_None, "70000", kTcp, false, 4464}),
    [](const ::testing::TestParamInfo<TPortRow>& info) { return std::string(info.param.name); });

// ---- Host name ----------------------------------------------------------------------------

TEST(LocalHostName, IsTheMachineName) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(LocalHostName(), Text(names.nodename));
}

// ---- Thin wrappers on loopback sockets --------------------------------------------------

// A listening TCP socket on the loopback of one family, port 0.
class TListener {
 public:
  explicit TListener(int family) {
    const char* host = family == AF_INET6 ? "::1" : "127.0.0.1";
    EXPECT_EQ(ResolveSocketAddress(address_, host, "0", family, kTcp, kStream, true), 0);
    handle_ = CreateSocket(family, kStream, kTcp);
    EXPECT_NE(handle_, INVALID_SOCKET) << GetErrorDesc(LastSocketError());
    EXPECT_EQ(BindToAddress(handle_, address_), 0) << GetErrorDesc(LastSocketError());
    EXPECT_EQ(ListenSocket(handle_, 8), 0) << GetErrorDesc(LastSocketError());
    EXPECT_EQ(LocalAddressOf(handle_, address_), 0);
  }
  ~TListener() {
    if (handle_ != INVALID_SOCKET) CloseSocket(handle_);
  }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;
  TSocketHandle Handle() const { return handle_; }
  const TSocketAddress& Address() const { return address_; }
  void Close() {
    CloseSocket(handle_);
    handle_ = INVALID_SOCKET;
  }

 private:
  TSocketAddress address_{};
  TSocketHandle handle_ = INVALID_SOCKET;
};

// A connected pair: client and the accepted server side.
struct TConnectedPair {
  explicit TConnectedPair(int family) : listener(family) {
    client = CreateSocket(family, kStream, kTcp);
    EXPECT_EQ(ConnectToAddress(client, listener.Address()), 0) << GetErrorDesc(LastSocketError());
    server = AcceptSocket(listener.Handle(), &accepted_from);
    EXPECT_NE(server, INVALID_SOCKET) << GetErrorDesc(LastSocketError());
  }
  ~TConnectedPair() {
    if (client != INVALID_SOCKET) CloseSocket(client);
    if (server != INVALID_SOCKET) CloseSocket(server);
  }
  TConnectedPair(const TConnectedPair&) = delete;
  TConnectedPair& operator=(const TConnectedPair&) = delete;

  TListener listener;
  TSocketHandle client = INVALID_SOCKET;
  TSocketHandle server = INVALID_SOCKET;
  TSocketAddress accepted_from{};
};

class LoopbackTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (GetParam() == AF_INET6 && !HasIPv6Loopback()) GTEST_SKIP() << "no IPv6";
  }
  TInterfaceReload reload_{AIS_Library};
};

TEST_P(LoopbackTest, ConnectsSendsAndReports) {
  TConnectedPair pair(GetParam());
  const int listen_port = AddressToPort(pair.listener.Address());
  ASSERT_NE(listen_port, 0);

  TSocketAddress local{}, peer{};
  ASSERT_EQ(LocalAddressOf(pair.client, local), 0);
  ASSERT_EQ(PeerAddressOf(pair.client, peer), 0);
  EXPECT_EQ(peer.Family(), GetParam());
  EXPECT_EQ(AddressToPort(peer), listen_port);
  EXPECT_EQ(AddressToText(peer), GetParam() == AF_INET6 ? "::1" : "127.0.0.1");
  EXPECT_EQ(AddressToPort(pair.accepted_from), AddressToPort(local));

  const char message[] = "hello";
  EXPECT_EQ(SendBytes(pair.client, message, 5, 0), 5);
  char buffer[16] = {};
  EXPECT_EQ(ReceiveBytes(pair.server, buffer, sizeof buffer, MSG_PEEK), 5);
  EXPECT_EQ(ReceiveBytes(pair.server, buffer, sizeof buffer, 0), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");

  ASSERT_EQ(ShutdownSocket(pair.client, SHUT_WR), 0);
  EXPECT_EQ(ReceiveBytes(pair.server, buffer, sizeof buffer, 0), 0) << "orderly close";
}

TEST_P(LoopbackTest, RefusedConnectGives10061) {
  TListener listener(GetParam());
  const TSocketAddress target = listener.Address();
  listener.Close();
  const TSocketHandle client = CreateSocket(GetParam(), kStream, kTcp);
  ASSERT_EQ(ConnectToAddress(client, target), SOCKET_ERROR);
  const int code = LastSocketError();
  EXPECT_EQ(code, WSAECONNREFUSED) << GetErrorDesc(code);
  CloseSocket(client);
}

TEST_P(LoopbackTest, BusyPortGives10048) {
  TListener listener(GetParam());
  const TSocketHandle second = CreateSocket(GetParam(), kStream, kTcp);
  ASSERT_EQ(BindToAddress(second, listener.Address()), SOCKET_ERROR);
  const int code = LastSocketError();
  EXPECT_EQ(code, WSAEADDRINUSE) << GetErrorDesc(code);
  CloseSocket(second);
}

TEST_P(LoopbackTest, SendToClosedPeerGives10054WithoutSignal) {
  // Without MSG_NOSIGNAL the default action of SIGPIPE would end this test process.
  struct sigaction previous {};
  struct sigaction deflt {};
  deflt.sa_handler = SIG_DFL;
  ASSERT_EQ(sigaction(SIGPIPE, &deflt, &previous), 0);

  TConnectedPair pair(GetParam());
  CloseSocket(pair.server);
  pair.server = INVALID_SOCKET;
  const std::string chunk(4096, 'x');
  int result = 0;
  for (int i = 0; i < 100 && result >= 0; ++i) {
    result = SendBytes(pair.client, chunk.data(), static_cast<int>(chunk.size()), 0);
  }
  const int code = LastSocketError();
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(code, WSAECONNRESET) << GetErrorDesc(code);
}

TEST_P(LoopbackTest, NonBlockingReceiveGives10035AndWaitingBytesAreCounted) {
  TConnectedPair pair(GetParam());
  int on = 1;
  ASSERT_EQ(IoctlSocket(pair.server, FIONBIO, on), 0);
  char buffer[8];
  ASSERT_EQ(ReceiveBytes(pair.server, buffer, sizeof buffer, 0), SOCKET_ERROR);
  const int code = LastSocketError();
  EXPECT_EQ(code, WSAEWOULDBLOCK) << GetErrorDesc(code);

  ASSERT_EQ(SendBytes(pair.client, "abc", 3, 0), 3);
  TFdSet set;
  FdSet(pair.server, set);
  ASSERT_EQ(SelectSockets(pair.server + 1, &set, nullptr, nullptr, 10000), 1);
  int waiting = -1;
  ASSERT_EQ(IoctlSocket(pair.server, FIONREAD, waiting), 0);
  EXPECT_EQ(waiting, 3);
}

TEST_P(LoopbackTest, SelectReportsReadinessAndTimesOut) {
  TConnectedPair pair(GetParam());
  TFdSet read_set;
  FdSet(pair.server, read_set);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SelectSockets(pair.server + 1, &read_set, nullptr, nullptr, 100), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(read_set.fd_count, 0) << "a time-out empties the set";

  TFdSet write_set;
  FdSet(pair.client, write_set);
  EXPECT_EQ(SelectSockets(pair.client + 1, nullptr, &write_set, nullptr, 0), 1);
  EXPECT_TRUE(FdIsSet(pair.client, write_set));

  ASSERT_EQ(SendBytes(pair.client, "x", 1, 0), 1);
  FdZero(read_set);
  FdSet(pair.server, read_set);
  EXPECT_EQ(SelectSockets(pair.server + 1, &read_set, nullptr, nullptr, -1), 1);
  EXPECT_TRUE(FdIsSet(pair.server, read_set));
}

TEST_P(LoopbackTest, DatagramsCarryTheirAddresses) {
  const char* host = GetParam() == AF_INET6 ? "::1" : "127.0.0.1";
  TSocketAddress address{};
  ASSERT_EQ(ResolveSocketAddress(address, host, "0", GetParam(), IPPROTO_UDP, SOCK_DGRAM, true), 0);
  const TSocketHandle receiver = CreateSocket(GetParam(), SOCK_DGRAM, IPPROTO_UDP);
  const TSocketHandle sender = CreateSocket(GetParam(), SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_EQ(BindToAddress(receiver, address), 0);
  ASSERT_EQ(BindToAddress(sender, address), 0);
  TSocketAddress receiver_address{}, sender_address{};
  ASSERT_EQ(LocalAddressOf(receiver, receiver_address), 0);
  ASSERT_EQ(LocalAddressOf(sender, sender_address), 0);

  EXPECT_EQ(SendToAddress(sender, "ping", 4, 0, receiver_address), 4);
  char buffer[16] = {};
  TSocketAddress from{};
  EXPECT_EQ(ReceiveFromAddress(receiver, buffer, sizeof buffer, 0, from), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(from.Family(), GetParam());
  EXPECT_EQ(AddressToPort(from), AddressToPort(sender_address));
  CloseSocket(receiver);
  CloseSocket(sender);
}

INSTANTIATE_TEST_SUITE_P(Families, LoopbackTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == AF_INET6 ? "IPv6" : "IPv4");
                         });

TEST(Wrappers, BadHandlesGiveTheirCodes) {
  const TSocketHandle file = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(file, 0);
  char buffer[4];
  EXPECT_EQ(ReceiveBytes(file, buffer, sizeof buffer, 0), SOCKET_ERROR);
  EXPECT_EQ(LastSocketError(), WSAENOTSOCK) << GetErrorDesc(LastSocketError());
  ::close(file);
  EXPECT_EQ(SendBytes(file, buffer, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(LastSocketError(), WSAEBADF) << GetErrorDesc(LastSocketError());
  TFdSet set;
  FdSet(file, set);
  EXPECT_EQ(SelectSockets(file + 1, &set, nullptr, nullptr, 0), SOCKET_ERROR);
  EXPECT_EQ(LastSocketError(), WSAEBADF) << GetErrorDesc(LastSocketError());
}

TEST(Wrappers, UnconnectedPeerAddressGives10057) {
  const TSocketHandle handle = CreateSocket(AF_INET, kStream, kTcp);
  TSocketAddress peer{};
  peer.in4.sin_port = 1;
  EXPECT_EQ(PeerAddressOf(handle, peer), SOCKET_ERROR);
  EXPECT_EQ(LastSocketError(), WSAENOTCONN) << GetErrorDesc(LastSocketError());
  EXPECT_TRUE(IsAllZero(peer));
  CloseSocket(handle);
}

TEST(Wrappers, WindowsFormsOfTimeoutAndLingerOptions) {
  const TSocketHandle handle = CreateSocket(AF_INET, kStream, kTcp);
  const int milliseconds = 1500;
  ASSERT_EQ(SetSocketOption(handle, SOL_SOCKET, SO_RCVTIMEO, &milliseconds, sizeof milliseconds), 0)
      << GetErrorDesc(LastSocketError());
  timeval tv{};
  int length = sizeof tv;
  ASSERT_EQ(GetSocketOption(handle, SOL_SOCKET, SO_RCVTIMEO, &tv, length), 0);
  EXPECT_EQ(tv.tv_sec, 1);
  EXPECT_EQ(tv.tv_usec, 500000);

  const uint16_t linger_fields[2] = {1, 7};
  ASSERT_EQ(SetSocketOption(handle, SOL_SOCKET, SO_LINGER, linger_fields, sizeof linger_fields), 0)
      << GetErrorDesc(LastSocketError());
  linger native{};
  length = sizeof native;
  ASSERT_EQ(GetSocketOption(handle, SOL_SOCKET, SO_LINGER, &native, length), 0);
  EXPECT_EQ(native.l_onoff, 1);
  EXPECT_EQ(native.l_linger, 7);

  const int size = 65536;
  EXPECT_EQ(SetSocketOption(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size), 0);
  CloseSocket(handle);
}

TEST(DescriptorSet, HoldsAtMost64Handles) {
  TFdSet set;
  EXPECT_EQ(set.fd_count, 0);
  for (int handle = 100; handle < 170; ++handle) FdSet(handle, set);
  EXPECT_EQ(set.fd_count, 64);
  EXPECT_TRUE(FdIsSet(163, set));
  EXPECT_FALSE(FdIsSet(164, set)) << "the 65th handle is dropped";
  FdZero(set);
  EXPECT_EQ(set.fd_count, 0);
  EXPECT_FALSE(FdIsSet(100, set));
}

// A blocked receive that is interrupted by a signal handler goes on waiting.
std::atomic<int> interruptions{0};
void CountInterruption(int) {
  ++interruptions;
}

TEST(Wrappers, InterruptedReceiveIsRetried) {
  TInterfaceReload reload(AIS_Library);
  TConnectedPair pair(AF_INET);
  struct sigaction handler {};
  struct sigaction previous {};
  handler.sa_handler = CountInterruption;
  handler.sa_flags = 0;  // no SA_RESTART: the kernel hands EINTR back to the wrapper
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
  interruptions = 0;

  const pthread_t receiver_thread = pthread_self();
  std::thread interrupter([&] {
    // Keep signalling until several interruptions landed, then let the receive complete.
    while (interruptions < 5) {
      pthread_kill(receiver_thread, SIGUSR1);
      std::this_thread::yield();
    }
    SendBytes(pair.client, "z", 1, 0);
  });
  char byte = 0;
  const int received = ReceiveBytes(pair.server, &byte, 1, 0);
  const int code = received < 0 ? LastSocketError() : 0;
  interrupter.join();
  // Ignoring first discards a signal still pending, which the default action would not survive.
  signal(SIGUSR1, SIG_IGN);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(received, 1) << GetErrorDesc(code);
  EXPECT_EQ(byte, 'z');
}

}  // namespace
}  // namespace tessaly
