// Connection steps, their status events, the error state and the exception, queued options.
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <vector>

#include "blocksocket_testing.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

constexpr int kTimeout = 5000;

// A port on host where nothing listens: bound a moment ago, then released.
Text RefusingPort(const Text& host) {
  TStreamTestSocket probe;
  probe.BindTo(host, "0");
  const int port = probe.LocalPort();
  probe.CloseNow();
  return IntToText(port);
}

class ErrorStateSocket : public TStreamTestSocket {
 public:
  using TBlockSocket::SetSocketError;
};

// ---- Connecting ---------------------------------------------------------------------------

class ConnectTest : public SocketLayerTestP<Text> {};

TEST_P(ConnectTest, EventsOfASuccessfulConnectAndClose) {
  const Text host = GetParam();
  ScriptedPeer peer(PeerScript{}, {.host = host});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.ConnectTo(host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  socket.Close();
  const Text endpoint = host + ":" + peer.PortText();
  const std::vector<EventLog::Event> events = log.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].reason, SR_Resolving);
  EXPECT_EQ(events[0].value, endpoint);
  EXPECT_EQ(events[1].reason, SR_Resolved);
  EXPECT_EQ(events[1].value, endpoint);
  EXPECT_EQ(events[2].reason, SR_Created);
  EXPECT_EQ(events[2].value, host == "::1" ? "IPv6" : "IPv4");
  EXPECT_EQ(events[3].reason, SR_Connected);
  EXPECT_EQ(events[3].value, endpoint);
  EXPECT_EQ(events[4].reason, SR_Closed);
  EXPECT_EQ(socket.Handle(), INVALID_SOCKET);
}

TEST_P(ConnectTest, AddressesAndFamilyFollowTheLiteral) {
  const Text host = GetParam();
  ScriptedPeer peer(PeerScript{}, {.host = host});
  TStreamTestSocket socket;
  socket.ConnectTo(host, peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.UsingIP6(), host == "::1");
  EXPECT_EQ(socket.PeerIP(), host);
  EXPECT_EQ(socket.PeerPort(), peer.Port());
  EXPECT_EQ(socket.LocalIP(), host);
  EXPECT_GT(socket.LocalPort(), 0);
}

TEST_P(ConnectTest, RefusedConnectLeavesItsCodeAndReportsIt) {
  const Text host = GetParam();
  const Text port = RefusingPort(host);
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.ConnectTo(host, port);
  EXPECT_EQ(socket.SocketError(), WSAECONNREFUSED) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.SocketErrorText(), "Connection refused");
  EXPECT_EQ(log.Reasons(), (std::vector<THookSocketReason>{SR_Resolving, SR_Resolved, SR_Created,
                                                           SR_Failed, SR_Connected}));
  EXPECT_EQ(log.Values(SR_Failed), std::vector<Text>{"10061,Connection refused"});
  // The next operation starts from a clean state.
  socket.Close();
  ScriptedPeer peer(PeerScript{}, {.host = host});
  socket.ConnectTo(host, peer.PortText());
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
}

TEST_P(ConnectTest, SameObjectConnectsAgainAfterClose) {
  const Text host = GetParam();
  ScriptedPeer peer({{PeerStep::Send("first\r\n"), PeerStep::AwaitEof()},
                     {PeerStep::Send("second\r\n"), PeerStep::AwaitEof()}},
                    {.host = host});
  TStreamTestSocket socket;
  for (const Text& expected : {Text("first"), Text("second")}) {
    socket.ConnectTo(host, peer.PortText());
    ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
    EXPECT_EQ(socket.ReadLine(kTimeout), expected);
    socket.Close();
  }
  ASSERT_TRUE(peer.WaitFinished(kTimeout)) << peer.Failure();
  EXPECT_EQ(peer.Accepted(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Hosts, ConnectTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

// ---- Binding ------------------------------------------------------------------------------

struct BindParam {
  const char* name;
  TSocketFamily family;
  Text ip;
  Text port;
  bool makes_socket;
};
void PrintTo(const BindParam& p, std::ostream* out) {
  *out << p.name;
}

class BindTest : public SocketLayerTestP<BindParam> {};

TEST_P(BindTest, OnlyTheUnspecifiedWildcardIsANoOp) {
  const BindParam& p = GetParam();
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.SetFamily(p.family);
  socket.BindTo(p.ip, p.port);
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  if (!p.makes_socket) {
    EXPECT_EQ(socket.Handle(), INVALID_SOCKET);
    EXPECT_TRUE(log.Events().empty());
    return;
  }
  EXPECT_NE(socket.Handle(), INVALID_SOCKET);
  EXPECT_GT(socket.LocalPort(), 0);
  EXPECT_EQ(log.Reasons(),
            (std::vector<THookSocketReason>{SR_Resolving, SR_Resolved, SR_Created, SR_Bound}));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, BindTest,
    ::testing::Values(BindParam{"WildcardAnyFamily", SF_Any, "0.0.0.0", "0", false},
                      BindParam{"WildcardIPv4", SF_IP4, "0.0.0.0", "0", true},
                      BindParam{"Loopback", SF_Any, "127.0.0.1", "0", true},
                      BindParam{"LoopbackIPv6", SF_Any, "::1", "0", true}),
    [](const ::testing::TestParamInfo<BindParam>& info) { return info.param.name; });

class ResolveTest : public SocketLayerTest {};

TEST_F(ResolveTest, UnknownServiceFailsBeforeAnySocketIsMade) {
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.ConnectTo("127.0.0.1", "no-such-service-here");
  EXPECT_NE(socket.SocketError(), 0);
  EXPECT_EQ(socket.Handle(), INVALID_SOCKET);
  EXPECT_EQ(log.Reasons(),
            (std::vector<THookSocketReason>{SR_Resolving, SR_Resolved, SR_Failed, SR_Connected}));
}

// ---- Error state and the exception ----------------------------------------------------------

struct RaiseParam {
  const char* name;
  int code;
  void (*provoke)(TBlockSocket& socket, const Text& port);
};
void PrintTo(const RaiseParam& p, std::ostream* out) {
  *out << p.name;
}

class RaiseExceptTest : public SocketLayerTestP<RaiseParam> {};

TEST_P(RaiseExceptTest, FailureRaisesWithCodeAndTextAfterTheEvent) {
  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.SetRaiseExcept(true);
  const Text port =
      GetParam().code == WSAECONNREFUSED ? RefusingPort("127.0.0.1") : peer.PortText();
  try {
    GetParam().provoke(socket, port);
    FAIL() << "no exception for code " << GetParam().code;
  } catch (const ENetSocketError& error) {
    const Text text = TBlockSocket::GetErrorDesc(GetParam().code);
    EXPECT_EQ(error.ErrorCode(), GetParam().code) << text;
    EXPECT_EQ(error.ErrorMessage(), text);
    EXPECT_EQ(Text(error.what()),
              "TCP/IP Socket error " + IntToText(GetParam().code) + ": " + text);
    EXPECT_EQ(socket.SocketError(), GetParam().code) << "the code stays on the socket";
    const std::vector<Text> failures = log.Values(SR_Failed);
    ASSERT_EQ(failures.size(), 1u) << "the event comes first, and only once";
    EXPECT_EQ(failures[0], IntToText(GetParam().code) + "," + text);
  }
}

INSTANTIATE_TEST_SUITE_P(Failures, RaiseExceptTest,
                         ::testing::Values(RaiseParam{"Refused", WSAECONNREFUSED,
                                                      [](TBlockSocket& s, const Text& port) {
                                                        s.ConnectTo("127.0.0.1", port);
                                                      }},
                                           RaiseParam{"TimedOut", WSAETIMEDOUT,
                                                      [](TBlockSocket& s, const Text& port) {
                                                        s.ConnectTo("127.0.0.1", port);
                                                        s.ReadAvailable(50);
                                                      }},
                                           RaiseParam{"Stopped", WSAECONNABORTED,
                                                      [](TBlockSocket& s, const Text& port) {
                                                        s.ConnectTo("127.0.0.1", port);
                                                        s.SetStopFlag(true);
                                                        s.WriteText("x");
                                                      }}),
                         [](const ::testing::TestParamInfo<RaiseParam>& info) {
                           return info.param.name;
                         });

class DrainTest : public SocketLayerTest {};

TEST_F(DrainTest, DrainInputNeverPassesAFailureOn) {
  ScriptedPeer peer({PeerStep::Send("left over"), PeerStep::Close()});
  TStreamTestSocket socket;
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  ASSERT_TRUE(peer.WaitFinished(kTimeout)) << peer.Failure();
  EXPECT_EQ(socket.ReadByte(kTimeout), 'l');
  socket.SetRaiseExcept(true);
  EXPECT_NO_THROW(socket.DrainInput());
  EXPECT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.ReadAhead(), "");
  EXPECT_EQ(socket.PendingBytes(), 0);
}

struct ReportParam {
  int code;
  bool reported;
};

class ReportErrorTest : public SocketLayerTestP<ReportParam> {};

TEST_P(ReportErrorTest, OnlyRealFailuresBecomeEvents) {
  ErrorStateSocket socket;
  EventLog log;
  log.Attach(socket);
  socket.SetRaiseExcept(true);
  socket.SetSocketError(GetParam().code);
  if (GetParam().reported) {
    EXPECT_THROW(socket.ReportError(), ENetSocketError);
    EXPECT_EQ(log.Values(SR_Failed).size(), 1u);
  } else {
    EXPECT_NO_THROW(socket.ReportError());
    EXPECT_TRUE(log.Events().empty());
  }
  EXPECT_EQ(socket.SocketError(), GetParam().code) << "reporting keeps the code";
  EXPECT_EQ(socket.SocketErrorText(), TBlockSocket::GetErrorDesc(GetParam().code));
  socket.ClearError();
  EXPECT_EQ(socket.SocketError(), 0);
  EXPECT_EQ(socket.SocketErrorText(), "");
}

INSTANTIATE_TEST_SUITE_P(Codes, ReportErrorTest,
                         ::testing::Values(ReportParam{0, false}, ReportParam{10035, false},
                                           ReportParam{10036, false}, ReportParam{10054, true},
                                           ReportParam{12345, true}),
                         [](const ::testing::TestParamInfo<ReportParam>& info) {
                           return "Code" + IntToText(info.param.code);
                         });

struct CheckParam {
  int result;
  int errno_value;
  int expected;
};

class CheckResultTest : public SocketLayerTestP<CheckParam> {};

TEST_P(CheckResultTest, OnlyTheFailureResultTakesTheThreadsError) {
  TStreamTestSocket socket;
  errno = GetParam().errno_value;
  EXPECT_EQ(socket.CheckResult(GetParam().result), GetParam().expected);
  EXPECT_EQ(socket.SocketError(), GetParam().expected);
  EXPECT_EQ(socket.SocketErrorText(), TBlockSocket::GetErrorDesc(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Results, CheckResultTest,
                         ::testing::Values(CheckParam{0, ECONNREFUSED, 0},
                                           CheckParam{5, ECONNREFUSED, 0},
                                           CheckParam{-2, ECONNREFUSED, 0},
                                           CheckParam{-1, ECONNREFUSED, WSAECONNREFUSED},
                                           CheckParam{-1, ETIMEDOUT, WSAETIMEDOUT}));

// ---- Queued options -------------------------------------------------------------------------

struct OptionCase {
  const char* name;
  std::vector<TSocketOption> options;  // queued in this order before the socket exists
  int level;
  int option;
  // The same setting made directly on a fresh socket, for comparison.
  void (*reference)(int handle);
};
void PrintTo(const OptionCase& p, std::ostream* out) {
  *out << p.name;
}

Text OptionBytes(int handle, int level, int option) {
  char value[64] = {};
  socklen_t length = sizeof value;
  if (::getsockopt(handle, level, option, value, &length) != 0) return "getsockopt failed";
  return Text(value, length);
}

void SetIntOption(int handle, int level, int option, int value) {
  ::setsockopt(handle, level, option, &value, sizeof value);
}

const OptionCase kOptionCases[] = {
    {"ReceiveBuffer",
     {{OptReceiveBuffer, false, 8192}},
     SOL_SOCKET,
     SO_RCVBUF,
     [](int h) { SetIntOption(h, SOL_SOCKET, SO_RCVBUF, 8192); }},
    {"LaterOptionWins",
     {{OptSendBuffer, false, 8192}, {OptSendBuffer, false, 32768}},
     SOL_SOCKET,
     SO_SNDBUF,
     [](int h) { SetIntOption(h, SOL_SOCKET, SO_SNDBUF, 32768); }},
    {"Linger",
     {{OptLinger, true, 2500}},
     SOL_SOCKET,
     SO_LINGER,
     [](int h) {
       const linger value{1, 2};
       ::setsockopt(h, SOL_SOCKET, SO_LINGER, &value, sizeof value);
     }},
    {"ReceiveTimeout",
     {{OptReceiveTimeout, false, 1500}},
     SOL_SOCKET,
     SO_RCVTIMEO,
     [](int h) {
       const timeval value{1, 500000};
       ::setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
     }},
    {"ReuseAddress",
     {{OptReuseAddress, true, 0}},
     SOL_SOCKET,
     SO_REUSEADDR,
     [](int h) { SetIntOption(h, SOL_SOCKET, SO_REUSEADDR, 1); }},
    {"TTL",
     {{OptTTL, false, 33}},
     IPPROTO_IP,
     IP_TTL,
     [](int h) { SetIntOption(h, IPPROTO_IP, IP_TTL, 33); }},
};

class QueuedOptionTest : public SocketLayerTestP<OptionCase> {};

TEST_P(QueuedOptionTest, QueuedOptionsTakeEffectWhenTheSocketIsMade) {
  const OptionCase& c = GetParam();
  const int fresh = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fresh, 0);
  const Text untouched = OptionBytes(fresh, c.level, c.option);
  c.reference(fresh);
  const Text expected = OptionBytes(fresh, c.level, c.option);
  ::close(fresh);
  ASSERT_NE(expected, untouched) << "the case must change something";

  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  for (const TSocketOption& option : c.options) {
    socket.QueueOption(std::make_unique<TSocketOption>(option));
  }
  EXPECT_EQ(socket.QueuedOptionCount(), static_cast<int>(c.options.size()));
  Text seen_at_creation;
  socket.SetOnCreateSocket([&](TBlockSocket& sender) {
    seen_at_creation = OptionBytes(sender.Handle(), c.level, c.option);
  });
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(socket.QueuedOptionCount(), 0);
  EXPECT_EQ(seen_at_creation, expected) << "applied before the creation hook runs";
  EXPECT_EQ(OptionBytes(socket.Handle(), c.level, c.option), expected);
}

TEST_P(QueuedOptionTest, CloseBeforeTheSocketExistsDropsThem) {
  const OptionCase& c = GetParam();
  const int fresh = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fresh, 0);
  const Text untouched = OptionBytes(fresh, c.level, c.option);
  ::close(fresh);

  ScriptedPeer peer(PeerScript{});
  TStreamTestSocket socket;
  for (const TSocketOption& option : c.options) {
    socket.QueueOption(std::make_unique<TSocketOption>(option));
  }
  socket.Close();
  EXPECT_EQ(socket.QueuedOptionCount(), 0);
  // Looked at on creation: a connection may tune some of these values by itself later.
  Text seen_at_creation;
  socket.SetOnCreateSocket([&](TBlockSocket& sender) {
    seen_at_creation = OptionBytes(sender.Handle(), c.level, c.option);
  });
  socket.ConnectTo(peer.Host(), peer.PortText());
  ASSERT_EQ(socket.SocketError(), 0) << socket.GetErrorDesc(socket.SocketError());
  EXPECT_EQ(seen_at_creation, untouched);
}

INSTANTIATE_TEST_SUITE_P(Options, QueuedOptionTest, ::testing::ValuesIn(kOptionCases),
                         [](const ::testing::TestParamInfo<OptionCase>& info) {
                           return info.param.name;
                         });

// ---- Adopting a handle ----------------------------------------------------------------------

class AdoptTest : public SocketLayerTestP<Text> {};

TEST_P(AdoptTest, AdoptedHandleKnowsItsEndsAndTalks) {
  ConnectedPair pair(GetParam());
  ASSERT_EQ(pair.error, "");
  EXPECT_EQ(pair.server.UsingIP6(), GetParam() == "::1");
  EXPECT_EQ(pair.server.PeerPort(), pair.client.LocalPort());
  EXPECT_EQ(pair.server.LocalPort(), pair.client.PeerPort());
  pair.server.WriteText("hello\r\n");
  EXPECT_EQ(pair.client.ReadLine(kTimeout), "hello");
  EXPECT_EQ(pair.server.BytesWritten(), 7);
}

INSTANTIATE_TEST_SUITE_P(Hosts, AdoptTest, ::testing::ValuesIn(LoopbackHosts()), HostName);

}  // namespace
}  // namespace tessaly
