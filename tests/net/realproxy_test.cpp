// Connections through real SOCKS servers and a real HTTP proxy, started by the tests on
// loopback, to a scripted peer behind them.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "blocksocket_testing.h"
#include "net/tcpsocket.h"
#include "support/childprocess.h"
#include "support/proxyservers.h"
#include "support/scriptedpeer.h"

namespace tessaly {
namespace {

enum class Server { Microsocks, Danted, Tinyproxy };

struct RealRow {
  std::string name;
  Server server;
  std::string server_user;  // credentials the server demands ("" = none)
  std::string server_pass;
  TSocksType socks_type;
  std::string client_user;  // credentials the socket offers
  std::string client_pass;
  std::string target;  // "" = the peer's own address; else a name that means it
  std::string peer_host;
  bool socks_resolver;
  bool allow_peer_port;  // tinyproxy: the peer's port is a permitted CONNECT port
  int expect_error;
};
void PrintTo(const RealRow& row, std::ostream* os) {
  *os << row.name;
}

std::unique_ptr<ProxyServer> StartServer(const RealRow& row, int peer_port) {
  switch (row.server) {
    case Server::Microsocks:
      return ProxyServer::StartMicrosocks(row.server_user, row.server_pass);
    case Server::Danted:
      return ProxyServer::StartDanted();
    case Server::Tinyproxy: {
      int other = PickFreePort("127.0.0.1");
      return ProxyServer::StartTinyproxy({row.allow_peer_port ? peer_port : other}, row.server_user,
                                         row.server_pass);
    }
  }
  return nullptr;
}

class RealProxy : public SocketLayerTestP<RealRow> {};

TEST_P(RealProxy, ReachesThePeerAndCarriesData) {
  const RealRow& row = GetParam();
  ScriptedPeer::Options options;
  options.host = row.peer_host;
  ScriptedPeer peer(
      {PeerStep::AwaitText("ping\r\n"), PeerStep::Send("pong\r\n"), PeerStep::AwaitEof()}, options);
  ASSERT_EQ(peer.SetupError(), "");
  std::unique_ptr<ProxyServer> server = StartServer(row, peer.Port());
  ASSERT_TRUE(server && server->Ok()) << (server ? server->Error() : "no server");

  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  sock.SetFamily(row.socks_resolver ? SF_Any : SF_IP4);
  if (row.server == Server::Tinyproxy) {
    sock.SetHTTPTunnelIP(server->Host());
    sock.SetHTTPTunnelPort(server->PortText());
    sock.SetHTTPTunnelUser(row.client_user);
    sock.SetHTTPTunnelPass(row.client_pass);
    sock.SetHTTPTunnelTimeout(10000);
  } else {
    sock.SetSocksIP(server->Host());
    sock.SetSocksPort(server->PortText());
    sock.SetSocksType(row.socks_type);
    sock.SetSocksUsername(row.client_user);
    sock.SetSocksPassword(row.client_pass);
    sock.SetSocksResolver(row.socks_resolver);
    sock.SetSocksTimeout(10000);
  }
  int after_connect = 0;
  sock.SetOnAfterConnect([&](TTCPBlockSocket&) { ++after_connect; });
  const std::string target = row.target.empty() ? peer.Host() : row.target;

  sock.ConnectTo(target, peer.PortText());

  ASSERT_EQ(sock.SocketError(), row.expect_error) << sock.SocketErrorText() << "\nserver log:\n"
                                                  << server->Log();
  if (row.expect_error != 0) {
    EXPECT_EQ(after_connect, 0);
    EXPECT_EQ(peer.Accepted(), 0u);
    return;
  }
  EXPECT_EQ(after_connect, 1);
  EXPECT_EQ(sock.PeerIP(), row.server == Server::Tinyproxy && target == "::1" ? "[::1]" : target);
  EXPECT_EQ(sock.PeerPort(), peer.Port());
  sock.WriteText("ping\r\n");
  EXPECT_EQ(sock.ReadLine(10000), "pong") << sock.SocketErrorText() << "\n" << server->Log();
  sock.Close();
  EXPECT_TRUE(peer.WaitFinished(10000)) << peer.Failure();
  EXPECT_EQ(peer.Received(), "ping\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealProxy,
    ::testing::Values(
        RealRow{"microsocks_socks5", Server::Microsocks, "", "", ST_Socks5, "", "", "", "127.0.0.1",
                true, true, 0},
        RealRow{"microsocks_socks5_ipv6_target", Server::Microsocks, "", "", ST_Socks5, "", "", "",
                "::1", true, true, 0},
        RealRow{"microsocks_user_password", Server::Microsocks, "alice", "s3cret", ST_Socks5,
                "alice", "s3cret", "", "127.0.0.1", true, true, 0},
        RealRow{"microsocks_wrong_password", Server::Microsocks, "alice", "s3cret", ST_Socks5,
                "alice", "wrong", "", "127.0.0.1", true, true, WSASYSNOTREADY},
        RealRow{"microsocks_credentials_missing", Server::Microsocks, "alice", "s3cret", ST_Socks5,
                "", "", "", "127.0.0.1", true, true, WSASYSNOTREADY},
        RealRow{"microsocks_name_resolved_here", Server::Microsocks, "", "", ST_Socks5, "", "",
                "localhost", "127.0.0.1", false, true, 0},
        RealRow{"danted_socks5", Server::Danted, "", "", ST_Socks5, "", "", "", "127.0.0.1", true,
                true, 0},
        RealRow{"danted_socks4", Server::Danted, "", "", ST_Socks4, "user", "", "", "127.0.0.1",
                true, true, 0},
        RealRow{"danted_socks4_name_resolved_here", Server::Danted, "", "", ST_Socks4, "", "",
                "localhost", "127.0.0.1", false, true, 0},
        RealRow{"tinyproxy_connect", Server::Tinyproxy, "", "", ST_Socks5, "", "", "", "127.0.0.1",
                true, true, 0},
        RealRow{"tinyproxy_basic_authorisation", Server::Tinyproxy, "alice", "s3cret", ST_Socks5,
                "alice", "s3cret", "", "127.0.0.1", true, true, 0},
        RealRow{"tinyproxy_wrong_authorisation", Server::Tinyproxy, "alice", "s3cret", ST_Socks5,
                "alice", "wrong", "", "127.0.0.1", true, true, WSASYSNOTREADY},
        RealRow{"tinyproxy_port_not_allowed", Server::Tinyproxy, "", "", ST_Socks5, "", "", "",
                "127.0.0.1", true, false, WSASYSNOTREADY},
        RealRow{"tinyproxy_ipv6_target", Server::Tinyproxy, "", "", ST_Socks5, "", "", "", "::1",
                true, true, 0}),
    [](const auto& info) { return info.param.name; });

class RealSocksListen : public SocketLayerTest {};

TEST_F(RealSocksListen, TheServerListensForTheSocket) {
  std::unique_ptr<ProxyServer> server = ProxyServer::StartDanted();
  ASSERT_TRUE(server->Ok()) << server->Error();
  TTCPBlockSocket sock;
  sock.BindTo("127.0.0.1", "0");
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  sock.SetSocksIP(server->Host());
  sock.SetSocksPort(server->PortText());
  sock.SetSocksTimeout(10000);

  sock.StartListening();

  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText() << "\n" << server->Log();
  EXPECT_TRUE(sock.SocksActive());
  EXPECT_EQ(sock.LocalIP(), sock.SocksBoundHost());
  ASSERT_NE(sock.LocalPort(), 0);
  EXPECT_TRUE(PortAccepts(sock.SocksBoundHost(), sock.LocalPort()))
      << sock.SocksBoundHost() << ":" << sock.LocalPort() << "\n"
      << server->Log();
}

}  // namespace
}  // namespace tessaly
