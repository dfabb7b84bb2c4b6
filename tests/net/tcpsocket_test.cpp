// The TCP socket: defaults, direct connections, the graceful close, listening, the address
// queries and the error text of 10091.
#include "net/tcpsocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "blocksocket_testing.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "wirebytes.h"

namespace tessaly {
namespace {

class TCPSocketDefaults : public SocketLayerTest {};

TEST_F(TCPSocketDefaults, AreThoseOfANewSocket) {
  TTCPBlockSocket sock;
  EXPECT_EQ(sock.SocksIP(), "");
  EXPECT_EQ(sock.SocksPort(), "1080");
  EXPECT_EQ(sock.SocksTimeout(), 60000);
  EXPECT_EQ(sock.SocksUsername(), "");
  EXPECT_EQ(sock.SocksPassword(), "");
  EXPECT_TRUE(sock.SocksResolver());
  EXPECT_EQ(sock.SocksType(), ST_Socks5);
  EXPECT_FALSE(sock.SocksActive());
  EXPECT_EQ(sock.SocksReplyCode(), 0);
  EXPECT_EQ(sock.HTTPTunnelIP(), "");
  EXPECT_EQ(sock.HTTPTunnelPort(), "");
  EXPECT_EQ(sock.HTTPTunnelUser(), "");
  EXPECT_EQ(sock.HTTPTunnelPass(), "");
  EXPECT_EQ(sock.HTTPTunnelTimeout(), 30000);
  EXPECT_FALSE(sock.TunnelOpen());
  EXPECT_FALSE(sock.OnAfterConnect());
  EXPECT_EQ(sock.SocketKind(), SOCK_STREAM);
  EXPECT_EQ(sock.SocketProtocol(), IPPROTO_TCP);
  EXPECT_EQ(sock.Handle(), INVALID_SOCKET);
}

// ---- Direct connections ---------------------------------------------------------------------

class DirectConnect : public SocketLayerTestP<std::string> {};

TEST_P(DirectConnect, ConnectsCallsTheHookOnceAndCarriesData) {
  ScriptedPeer::Options options;
  options.host = GetParam();
  ScriptedPeer peer({PeerStep::AwaitText("ping"), PeerStep::Send("pong")}, options);
  ASSERT_EQ(peer.SetupError(), "");
  TTCPBlockSocket sock;
  int after_connect = 0;
  int error_in_hook = -1;
  sock.SetOnAfterConnect([&](TTCPBlockSocket& sender) {
    ++after_connect;
    error_in_hook = sender.SocketError();
  });

  sock.ConnectTo(peer.Host(), peer.PortText());

  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  EXPECT_EQ(after_connect, 1);
  EXPECT_EQ(error_in_hook, 0);
  EXPECT_EQ(sock.PeerIP(), peer.Host());
  EXPECT_EQ(sock.PeerPort(), peer.Port());
  EXPECT_EQ(sock.LocalIP(), peer.Host());
  EXPECT_NE(sock.LocalPort(), 0);
  sock.WriteText("ping");
  EXPECT_EQ(sock.ReadExactText(4, 5000), "pong") << sock.SocketErrorText();
}

INSTANTIATE_TEST_SUITE_P(Loopback, DirectConnect, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return info.param == "::1" ? "IPv6" : "IPv4"; });

class DirectConnectFailure : public SocketLayerTest {};

TEST_F(DirectConnectFailure, LeavesTheCodeAndSkipsTheHook) {
  const int port = PickFreePort("127.0.0.1");  // free a moment ago: nothing listens there
  ASSERT_NE(port, 0);
  TTCPBlockSocket sock;
  int after_connect = 0;
  sock.SetOnAfterConnect([&](TTCPBlockSocket&) { ++after_connect; });
  sock.ConnectTo("127.0.0.1", std::to_string(port));
  EXPECT_EQ(sock.SocketError(), WSAECONNREFUSED) << sock.SocketErrorText();
  EXPECT_EQ(after_connect, 0);
}

class ProxyChoice : public SocketLayerTest {};

TEST_F(ProxyChoice, SocksTakesPrecedenceOverTheTunnel) {
  ScriptedPeer socks({PeerStep::AwaitBytes(3), PeerStep::Send(Bytes({5, 255}))});
  ScriptedPeer proxy({});
  ASSERT_EQ(socks.SetupError(), "");
  ASSERT_EQ(proxy.SetupError(), "");
  TTCPBlockSocket sock;
  sock.SetSocksIP(socks.Host());
  sock.SetSocksPort(socks.PortText());
  sock.SetHTTPTunnelIP(proxy.Host());
  sock.SetHTTPTunnelPort(proxy.PortText());
  sock.ConnectTo("127.0.0.1", "80");
  EXPECT_EQ(sock.SocketError(), WSASYSNOTREADY) << sock.SocketErrorText();
  EXPECT_EQ(socks.Received(), Bytes({5, 1, 0}));
  EXPECT_EQ(proxy.Accepted(), 0u);
}

// ---- Graceful close -------------------------------------------------------------------------

struct CloseRow {
  std::string name;
  bool error_pending;   // a failure is left on the socket before it is closed
  bool by_destruction;  // the socket is destroyed instead of closed
  bool expect_drained;  // what the peer sent is read and discarded on the way out
};
void PrintTo(const CloseRow& row, std::ostream* os) {
  *os << row.name;
}

class GracefulClose : public SocketLayerTestP<CloseRow> {};

TEST_P(GracefulClose, ShutsDownAndDrainsOnlyWithoutAPendingError) {
  const CloseRow& row = GetParam();
  ScriptedPeer peer({PeerStep::Send("unread"), PeerStep::AwaitEof()});
  ASSERT_EQ(peer.SetupError(), "");
  int read_monitored = 0;
  int closed_events = 0;
  {
    TTCPBlockSocket sock;
    sock.SetOnMonitor([&](TBlockSocket&, bool writing, const void*, int length) {
      if (!writing) read_monitored += length;
    });
    sock.SetOnStatus([&](TBlockSocket&, THookSocketReason reason, const Text&) {
      if (reason == SR_Closed) ++closed_events;
    });
    sock.ConnectTo(peer.Host(), peer.PortText());
    ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
    // Bounded wait until the peer's bytes are queued here, so the close finds them.
    for (int i = 0; i < 500 && sock.PendingBytes() < 6; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(sock.PendingBytes(), 6);
    if (row.error_pending) {
      sock.SetStopFlag(true);
      char c;
      sock.ReadSome(&c, 1);
      ASSERT_EQ(sock.SocketError(), WSAECONNABORTED);
    }
    if (!row.by_destruction) {
      sock.Close();
      EXPECT_EQ(sock.Handle(), INVALID_SOCKET);
      EXPECT_EQ(closed_events, 1);
    }
  }
  EXPECT_EQ(read_monitored, row.expect_drained ? 6 : 0);
  if (row.expect_drained) {
    // The peer saw our sending side end in order.
    EXPECT_TRUE(peer.WaitFinished(5000));
    EXPECT_EQ(peer.Failure(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, GracefulClose,
                         ::testing::Values(CloseRow{"close", false, false, true},
                                           CloseRow{"close_with_error_pending", true, false, false},
                                           CloseRow{"destruction", false, true, true},
                                           CloseRow{"destruction_with_error_pending", true, true,
                                                    false}),
                         [](const auto& info) { return info.param.name; });

class GracefulCloseWithoutHandle : public SocketLayerTest {};

TEST_F(GracefulCloseWithoutHandle, OnlyReportsTheClose) {
  std::vector<THookSocketReason> reasons;
  TTCPBlockSocket sock;
  sock.SetOnStatus(
      [&](TBlockSocket&, THookSocketReason reason, const Text&) { reasons.push_back(reason); });
  sock.Close();
  EXPECT_EQ(reasons, (std::vector<THookSocketReason>{SR_Closed}));
  EXPECT_EQ(sock.SocketError(), 0);
}

// ---- Listening ------------------------------------------------------------------------------

struct ListenRow {
  std::string name;
  std::string bind_host;  // "" = do not bind first
  bool expect_ok;
};
void PrintTo(const ListenRow& row, std::ostream* os) {
  *os << row.name;
}

class DirectListen : public SocketLayerTestP<ListenRow> {};

TEST_P(DirectListen, ListensOnTheBoundAddress) {
  const ListenRow& row = GetParam();
  std::vector<THookSocketReason> reasons;
  TTCPBlockSocket sock;
  if (!row.bind_host.empty()) {
    sock.BindTo(row.bind_host, "0");
    ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  }
  sock.SetOnStatus(
      [&](TBlockSocket&, THookSocketReason reason, const Text&) { reasons.push_back(reason); });

  sock.StartListening();

  ASSERT_FALSE(reasons.empty());
  EXPECT_EQ(reasons.back(), SR_Listening);
  if (row.expect_ok) {
    ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
    EXPECT_EQ(sock.LocalIP(), row.bind_host);
    ASSERT_NE(sock.LocalPort(), 0);
    EXPECT_TRUE(PortAccepts(row.bind_host, sock.LocalPort()));
  } else {
    EXPECT_NE(sock.SocketError(), 0);
    EXPECT_NE(std::find(reasons.begin(), reasons.end(), SR_Failed), reasons.end());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DirectListen,
                         ::testing::Values(ListenRow{"ipv4", "127.0.0.1", true},
                                           ListenRow{"ipv6", "::1", true},
                                           ListenRow{"without_a_socket", "", false}),
                         [](const auto& info) { return info.param.name; });

// ---- The text of 10091 ----------------------------------------------------------------------

class ErrorText : public SocketLayerTest {};

TEST_F(ErrorText, NegotiationFailureShowsThePlugTextOnlyOnceThePlugHasFailed) {
  // A proxy that refuses every CONNECT gives 10091 without any help from the plug.
  const PeerStep refuse = PeerStep::Send("HTTP/1.0 403 Forbidden\r\n\r\n");
  ScriptedPeer proxy(std::vector<PeerScript>{{PeerStep::AwaitText("\r\n\r\n"), refuse},
                                             {PeerStep::AwaitText("\r\n\r\n"), refuse}},
                     ScriptedPeer::Options{});
  ScriptedPeer target({});
  ASSERT_EQ(proxy.SetupError(), "");
  ASSERT_EQ(target.SetupError(), "");
  TTCPBlockSocket sock;
  sock.SetHTTPTunnelIP(proxy.Host());
  sock.SetHTTPTunnelPort(proxy.PortText());

  sock.ConnectTo("tessaly.lan", "443");
  EXPECT_EQ(sock.SocketError(), WSASYSNOTREADY);
  EXPECT_EQ(sock.SocketErrorText(), GetErrorDesc(WSASYSNOTREADY));
  EXPECT_EQ(sock.SocketErrorText(), "Network subsystem is unusable");
  sock.Close();

  // Let the plug fail once, on a direct connection.
  sock.SetHTTPTunnelIP("");
  sock.ConnectTo(target.Host(), target.PortText());
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  sock.OpenTlsSession();
  sock.Close();

  sock.SetHTTPTunnelIP(proxy.Host());
  sock.ConnectTo("tessaly.lan", "443");
  EXPECT_EQ(sock.SocketError(), WSASYSNOTREADY);
  EXPECT_EQ(sock.SocketErrorText(), "SSL/TLS support is not compiled!");
  // Other codes keep their own text.
  sock.Close();
  sock.SetHTTPTunnelIP("");
  const int port = PickFreePort("127.0.0.1");
  sock.ConnectTo("127.0.0.1", std::to_string(port));
  EXPECT_EQ(sock.SocketErrorText(), "Connection refused");
}

}  // namespace
}  // namespace tessaly
