// SOCKS4, SOCKS4a and SOCKS5 negotiation, byte for byte, against a scripted server.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "blocksocket_testing.h"
#include "net/tcpsocket.h"
#include "support/childprocess.h"
#include "support/scriptedpeer.h"
#include "wirebytes.h"

namespace tessaly {
namespace {

// The server answers `answer` once `after` bytes have arrived from the client in all.
struct Answer {
  size_t after;
  std::string answer;
};

PeerScript ScriptOf(const std::vector<Answer>& answers, bool close_at_end) {
  PeerScript script;
  for (const Answer& a : answers) {
    script.push_back(PeerStep::AwaitBytes(a.after));
    if (!a.answer.empty()) script.push_back(PeerStep::Send(a.answer));
  }
  if (close_at_end) script.push_back(PeerStep::Close());
  return script;
}

const std::string kName11 = "tessaly.lan";  // eleven characters

// ---- Address encoding ---------------------------------------------------------------------

struct EncodeRow {
  std::string name;
  TSocksType type;
  std::string user;
  std::string host;
  std::string port;
  std::string expected;  // "" = cannot be encoded
};
void PrintTo(const EncodeRow& row, std::ostream* os) {
  *os << row.name;
}

class SocksEncode : public SocketLayerTestP<EncodeRow> {};

TEST_P(SocksEncode, GivesTheAddressPartOfARequest) {
  const EncodeRow& row = GetParam();
  TTCPBlockSocket sock;
  sock.SetSocksType(row.type);
  sock.SetSocksUsername(row.user);
  EXPECT_EQ(Hex(sock.SocksEncodeAddress(row.host, row.port)), Hex(row.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocksEncode,
    ::testing::Values(
        EncodeRow{"s5_ipv4", ST_Socks5, "", "192.0.2.1", "80", Bytes({1, 192, 0, 2, 1, 0, 80})},
        EncodeRow{"s5_ipv6_loopback", ST_Socks5, "", "::1", "443",
                  Bytes({4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 187})},
        EncodeRow{"s5_ipv6_full", ST_Socks5, "", "fe80::1:2", "1",
                  Bytes({4, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2, 0, 1})},
        EncodeRow{"s5_name", ST_Socks5, "", kName11, "80",
                  Bytes({3, 11}) + kName11 + Bytes({0, 80})},
        EncodeRow{"s5_service_name_port", ST_Socks5, "", "127.0.0.1", "http",
                  Bytes({1, 127, 0, 0, 1, 0, 80})},
        EncodeRow{"s5_high_port", ST_Socks5, "", "10.1.2.3", "65535",
                  Bytes({1, 10, 1, 2, 3, 255, 255})},
        EncodeRow{"s5_name_of_255", ST_Socks5, "", std::string(255, 'a'), "80",
                  Bytes({3, 255}) + std::string(255, 'a') + Bytes({0, 80})},
        EncodeRow{"s5_name_of_256_refused", ST_Socks5, "", std::string(256, 'a'), "80", ""},
        EncodeRow{"s4_ipv4_with_user", ST_Socks4, "id", "127.0.0.1", "80",
                  Bytes({0, 80, 127, 0, 0, 1}) + "id" + Bytes({0})},
        EncodeRow{"s4a_name", ST_Socks4, "me", kName11, "8080",
                  Bytes({31, 144, 0, 0, 0, 1}) + "me" + Bytes({0}) + kName11 + Bytes({0})},
        EncodeRow{"s4a_ipv6_literal_as_name", ST_Socks4, "", "::1", "80",
                  Bytes({0, 80, 0, 0, 0, 1, 0}) + "::1" + Bytes({0})},
        EncodeRow{"s4_user_with_zero_byte_refused", ST_Socks4, std::string("a\0b", 3), "127.0.0.1",
                  "80", ""},
        EncodeRow{"s4a_name_with_zero_byte_refused", ST_Socks4, "", std::string("a\0b", 3), "80",
                  ""}),
    [](const auto& info) { return info.param.name; });

class SocksEncodeLocal : public SocketLayerTest {};

TEST_F(SocksEncodeLocal, ResolvesTheNameFirstWhenTheServerMustNot) {
  TTCPBlockSocket sock;
  sock.SetFamily(SF_IP4);
  sock.SetSocksResolver(false);
  EXPECT_EQ(Hex(sock.SocksEncodeAddress("localhost", "80")), Hex(Bytes({1, 127, 0, 0, 1, 0, 80})));
  sock.SetSocksType(ST_Socks4);
  EXPECT_EQ(Hex(sock.SocksEncodeAddress("localhost", "80")), Hex(Bytes({0, 80, 127, 0, 0, 1, 0})));
}

// ---- Reply decoding -------------------------------------------------------------------------

struct DecodeRow {
  std::string name;
  TSocksType type;
  std::string reply;
  std::string host;
  std::string port;
};
void PrintTo(const DecodeRow& row, std::ostream* os) {
  *os << row.name;
}

class SocksDecode : public SocketLayerTestP<DecodeRow> {};

TEST_P(SocksDecode, FillsReplyHostAndPort) {
  const DecodeRow& row = GetParam();
  TTCPBlockSocket sock;
  sock.SetSocksType(row.type);
  sock.SocksDecodeAddress(row.reply);
  EXPECT_EQ(sock.SocksReplyHost(), row.host);
  EXPECT_EQ(sock.SocksReplyPort(), row.port);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocksDecode,
    ::testing::Values(
        DecodeRow{"s5_ipv4", ST_Socks5, Bytes({5, 0, 0, 1, 10, 0, 0, 1, 4, 56}), "10.0.0.1",
                  "1080"},
        DecodeRow{"s5_name", ST_Socks5, Bytes({5, 0, 0, 3, 3}) + "abc" + Bytes({0x12, 0x34}), "abc",
                  "4660"},
        DecodeRow{"s5_ipv6", ST_Socks5, Bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0,    0,
                                               0, 0, 0, 0, 0,    0, 0,    0,    5, 0x1f, 0x90}),
                  "2001:db8::5", "8080"},
        DecodeRow{"s5_ipv4_too_short", ST_Socks5, Bytes({5, 0, 0, 1, 10, 0, 0, 1, 4}), "", "0"},
        DecodeRow{"s5_name_too_short", ST_Socks5, Bytes({5, 0, 0, 3, 3}) + "abc" + Bytes({1}), "",
                  "0"},
        DecodeRow{"s5_unknown_type", ST_Socks5, Bytes({5, 0, 0, 9, 1, 2, 3, 4, 5, 6}), "", "0"},
        DecodeRow{"s5_header_only", ST_Socks5, Bytes({5, 0, 0, 3}), "", "0"},
        DecodeRow{"s4", ST_Socks4, Bytes({0, 90, 0x1f, 0x90, 192, 168, 1, 2}), "192.168.1.2",
                  "8080"},
        DecodeRow{"s4_too_short", ST_Socks4, Bytes({0, 90, 0x1f, 0x90, 192, 168, 1}), "", "0"}),
    [](const auto& info) { return info.param.name; });

// ---- Whole connect exchanges ----------------------------------------------------------------

struct ConnectRow {
  std::string name;
  TSocksType type;
  std::string user;
  std::string pass;
  std::string host;
  std::string port;
  std::vector<Answer> server;
  bool server_closes;
  std::string expect_sent;  // everything the client must have sent
  int expect_error;
  bool expect_active;
  int expect_code;
  std::string expect_reply_host;
  std::string expect_reply_port;
};
void PrintTo(const ConnectRow& row, std::ostream* os) {
  *os << row.name;
}

// Arguments in the order of ConnectRow's fields (keeps the table compact).
ConnectRow Row(std::string name, TSocksType type, std::string user, std::string pass,
               std::string host, std::string port, std::vector<Answer> server, bool server_closes,
               std::string expect_sent, int expect_error, bool expect_active, int expect_code,
               std::string expect_reply_host, std::string expect_reply_port) {
  return ConnectRow{std::move(name),
                    type,
                    std::move(user),
                    std::move(pass),
                    std::move(host),
                    std::move(port),
                    std::move(server),
                    server_closes,
                    std::move(expect_sent),
                    expect_error,
                    expect_active,
                    expect_code,
                    std::move(expect_reply_host),
                    std::move(expect_reply_port)};
}

const std::string kGreeting = Bytes({5, 1, 0});
const std::string kGreetingWithUser = Bytes({5, 2, 2, 0});
const std::string kRequestIPv4 = Bytes({5, 1, 0, 1, 192, 0, 2, 1, 0, 80});
const std::string kReplyOk = Bytes({5, 0, 0, 1, 10, 0, 0, 1, 4, 56});

class SocksConnect : public SocketLayerTestP<ConnectRow> {};

TEST_P(SocksConnect, SendsExactlyAndJudgesTheAnswers) {
  const ConnectRow& row = GetParam();
  ScriptedPeer peer(ScriptOf(row.server, row.server_closes));
  ASSERT_EQ(peer.SetupError(), "");
  TTCPBlockSocket sock;
  sock.SetSocksIP(peer.Host());
  sock.SetSocksPort(peer.PortText());
  sock.SetSocksType(row.type);
  sock.SetSocksUsername(row.user);
  sock.SetSocksPassword(row.pass);
  sock.SetSocksTimeout(300);
  int after_connect = 0;
  sock.SetOnAfterConnect([&](TTCPBlockSocket& sender) {
    EXPECT_EQ(&sender, &sock);
    ++after_connect;
  });

  sock.ConnectTo(row.host, row.port);

  EXPECT_EQ(sock.SocketError(), row.expect_error) << sock.SocketErrorText();
  EXPECT_EQ(after_connect, row.expect_error == 0 ? 1 : 0);
  ASSERT_TRUE(peer.WaitReceived(row.expect_sent.size(), 5000))
      << "got only " << Hex(peer.Received());
  EXPECT_EQ(Hex(peer.Received()), Hex(row.expect_sent));
  EXPECT_EQ(sock.SocksActive(), row.expect_active);
  EXPECT_EQ(sock.SocksReplyCode(), row.expect_code);
  EXPECT_EQ(sock.SocksReplyHost(), row.expect_reply_host);
  EXPECT_EQ(sock.SocksReplyPort(), row.expect_reply_port);
  if (row.expect_error == 0) {
    // The address queries now describe the proxied connection, not the one to the server.
    EXPECT_EQ(sock.SocksTargetHost(), row.host);
    EXPECT_EQ(sock.PeerIP(), row.host);
    EXPECT_EQ(sock.LocalIP(), row.expect_reply_host);
    EXPECT_EQ(sock.LocalPort(), std::stoi(row.expect_reply_port));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Socks5, SocksConnect,
    ::testing::Values(
        Row("ipv4_without_user", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, kReplyOk}}, false, kGreeting + kRequestIPv4, 0, true, 0,
            "10.0.0.1", "1080"),
        Row("name_of_eleven", ST_Socks5, "", "", kName11, "80",
            {{3, Bytes({5, 0})}, {3 + 18, Bytes({5, 0, 0, 3, 5}) + "proxy" + Bytes({4, 56})}},
            false, kGreeting + Bytes({5, 1, 0, 3, 11}) + kName11 + Bytes({0, 80}), 0, true, 0,
            "proxy", "1080"),
        Row("one_letter_user_and_password", ST_Socks5, "u", "p", "192.0.2.1", "80",
            {{4, Bytes({5, 2})}, {9, Bytes({1, 0})}, {19, kReplyOk}}, false,
            kGreetingWithUser + Bytes({1, 1, 'u', 1, 'p'}) + kRequestIPv4, 0, true, 0, "10.0.0.1",
            "1080"),
        Row("user_offered_but_server_wants_none", ST_Socks5, "u", "p", "192.0.2.1", "80",
            {{4, Bytes({5, 0})}, {14, kReplyOk}}, false, kGreetingWithUser + kRequestIPv4, 0, true,
            0, "10.0.0.1", "1080"),
        Row("auth_answer_version_not_looked_at", ST_Socks5, "u", "p", "192.0.2.1", "80",
            {{4, Bytes({5, 2})}, {9, Bytes({9, 0})}, {19, kReplyOk}}, false,
            kGreetingWithUser + Bytes({1, 1, 'u', 1, 'p'}) + kRequestIPv4, 0, true, 0, "10.0.0.1",
            "1080"),
        Row("reply_code_90_counts_as_success", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({5, 90, 0, 1, 10, 0, 0, 1, 4, 56})}}, false,
            kGreeting + kRequestIPv4, 0, true, 90, "10.0.0.1", "1080"),
        Row("reply_with_empty_name", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({5, 0, 0, 3, 0, 0, 7})}}, false,
            kGreeting + kRequestIPv4, 0, true, 0, "", "7"),
        Row("auth_refused", ST_Socks5, "u", "p", "192.0.2.1", "80",
            {{4, Bytes({5, 2})}, {9, Bytes({1, 1})}}, false,
            kGreetingWithUser + Bytes({1, 1, 'u', 1, 'p'}), WSASYSNOTREADY, false, 0, "", ""),
        Row("no_acceptable_method", ST_Socks5, "", "", "192.0.2.1", "80", {{3, Bytes({5, 255})}},
            false, kGreeting, WSASYSNOTREADY, false, 0, "", ""),
        Row("wrong_version_in_method_choice", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({4, 0})}}, false, kGreeting, WSASYSNOTREADY, false, 0, "", ""),
        Row("reply_code_1_fails", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({5, 1, 0, 1, 10, 0, 0, 1, 4, 56})}}, false,
            kGreeting + kRequestIPv4, WSASYSNOTREADY, true, 1, "", ""),
        Row("reply_with_wrong_version", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({4, 0, 0, 1, 10, 0, 0, 1, 4, 56})}}, false,
            kGreeting + kRequestIPv4, WSASYSNOTREADY, true, -1, "", ""),
        Row("reply_with_unknown_address_type", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({5, 0, 0, 7, 10, 0, 0, 1, 4, 56})}}, false,
            kGreeting + kRequestIPv4, WSASYSNOTREADY, true, -1, "", ""),
        Row("server_silent_after_greeting", ST_Socks5, "", "", "192.0.2.1", "80", {{3, ""}}, false,
            kGreeting, WSAETIMEDOUT, false, 0, "", ""),
        Row("server_closes_after_greeting", ST_Socks5, "", "", "192.0.2.1", "80", {{3, ""}}, true,
            kGreeting, WSAECONNRESET, false, 0, "", ""),
        Row("reply_cut_short_in_the_address", ST_Socks5, "", "", "192.0.2.1", "80",
            {{3, Bytes({5, 0})}, {13, Bytes({5, 0, 0, 1, 10, 0})}}, true, kGreeting + kRequestIPv4,
            WSAECONNRESET, true, -1, "", ""),
        Row("address_that_cannot_be_encoded_is_not_sent", ST_Socks5, "", "", std::string(300, 'a'),
            "80", {{3, Bytes({5, 0})}}, false, kGreeting, WSASYSNOTREADY, true, 0, "", ""),
        Row("credentials_too_long_send_nothing", ST_Socks5, std::string(256, 'u'), "p", "192.0.2.1",
            "80", {}, false, "", WSASYSNOTREADY, false, 0, "", "")),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Socks4, SocksConnect,
    ::testing::Values(Row("ipv4_with_user_id", ST_Socks4, "id", "", "127.0.0.1", "80",
                          {{11, Bytes({0, 90, 0, 80, 10, 0, 0, 2})}}, false,
                          Bytes({4, 1, 0, 80, 127, 0, 0, 1, 'i', 'd', 0}), 0, true, 90, "10.0.0.2",
                          "80"),
                      Row("name_as_socks4a", ST_Socks4, "me", "", kName11, "8080",
                          {{23, Bytes({0, 90, 0, 0, 0, 0, 0, 0})}}, false,
                          Bytes({4, 1, 31, 144, 0, 0, 0, 1, 'm', 'e', 0}) + kName11 + Bytes({0}), 0,
                          true, 90, "0.0.0.0", "0"),
                      Row("reply_code_0_counts_as_success", ST_Socks4, "", "", "127.0.0.1", "80",
                          {{9, Bytes({0, 0, 0, 80, 10, 0, 0, 2})}}, false,
                          Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}), 0, true, 0, "10.0.0.2", "80"),
                      Row("reply_version_not_zero_fails_whatever_the_code", ST_Socks4, "", "",
                          "127.0.0.1", "80", {{9, Bytes({4, 90, 0, 80, 10, 0, 0, 2})}}, false,
                          Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}), WSASYSNOTREADY, true, -1, "", ""),
                      Row("request_rejected", ST_Socks4, "", "", "127.0.0.1", "80",
                          {{9, Bytes({0, 91, 0, 0, 0, 0, 0, 0})}}, false,
                          Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}), WSASYSNOTREADY, true, 91, "", ""),
                      Row("reply_cut_short", ST_Socks4, "", "", "127.0.0.1", "80",
                          {{9, Bytes({0, 90, 0})}}, true, Bytes({4, 1, 0, 80, 127, 0, 0, 1, 0}),
                          WSAECONNRESET, true, -1, "", "")),
    [](const auto& info) { return info.param.name; });

class SocksConnectFailure : public SocketLayerTest {};

TEST_F(SocksConnectFailure, AnUnreachableServerLeavesThePlatformCode) {
  const int port = PickFreePort("127.0.0.1");  // free a moment ago: nothing listens there
  ASSERT_NE(port, 0);
  TTCPBlockSocket sock;
  int after_connect = 0;
  sock.SetOnAfterConnect([&](TTCPBlockSocket&) { ++after_connect; });
  sock.SetSocksIP("127.0.0.1");
  sock.SetSocksPort(std::to_string(port));
  sock.ConnectTo("192.0.2.1", "80");
  EXPECT_EQ(sock.SocketError(), WSAECONNREFUSED) << sock.SocketErrorText();
  EXPECT_EQ(after_connect, 0);
  EXPECT_FALSE(sock.SocksActive());
}

// ---- Listening through SOCKS ----------------------------------------------------------------

struct ListenRow {
  std::string name;
  TSocksType type;
  std::string reply;
  int expect_error;
  std::string expect_bound_host;  // "=socks" stands for the SOCKS server's address
  std::string expect_bound_port;
};
void PrintTo(const ListenRow& row, std::ostream* os) {
  *os << row.name;
}

class SocksListen : public SocketLayerTestP<ListenRow> {};

TEST_P(SocksListen, AsksTheServerToBindForTheLocalAddress) {
  const ListenRow& row = GetParam();
  const size_t request_size = row.type == ST_Socks5 ? 3 + 10 : 9;
  ScriptedPeer peer(row.type == ST_Socks5
                        ? ScriptOf({{3, Bytes({5, 0})}, {request_size, row.reply}}, false)
                        : ScriptOf({{request_size, row.reply}}, false));
  ASSERT_EQ(peer.SetupError(), "");
  std::vector<THookSocketReason> reasons;
  TTCPBlockSocket sock;
  sock.BindTo("127.0.0.1", "0");
  ASSERT_EQ(sock.SocketError(), 0) << sock.SocketErrorText();
  const int local_port = sock.LocalPort();
  sock.SetSocksIP(peer.Host());
  sock.SetSocksPort(peer.PortText());
  sock.SetSocksType(row.type);
  sock.SetSocksTimeout(300);
  sock.SetOnStatus(
      [&](TBlockSocket&, THookSocketReason reason, const Text&) { reasons.push_back(reason); });

  sock.StartListening();

  EXPECT_EQ(sock.SocketError(), row.expect_error) << sock.SocketErrorText();
  ASSERT_FALSE(reasons.empty());
  EXPECT_EQ(reasons.back(), SR_Listening);
  const std::string expect_sent =
      row.type == ST_Socks5
          ? Bytes({5, 1, 0}) + Bytes({5, 2, 0, 1, 127, 0, 0, 1}) + PortBytes(local_port)
          : Bytes({4, 2}) + PortBytes(local_port) + Bytes({127, 0, 0, 1, 0});
  ASSERT_TRUE(peer.WaitReceived(expect_sent.size(), 5000)) << Hex(peer.Received());
  EXPECT_EQ(Hex(peer.Received()), Hex(expect_sent));
  const std::string bound_host =
      row.expect_bound_host == "=socks" ? peer.Host() : row.expect_bound_host;
  EXPECT_EQ(sock.SocksBoundHost(), bound_host);
  EXPECT_EQ(sock.SocksBoundPort(), row.expect_bound_port);
  EXPECT_EQ(sock.SocksTargetHost(), "");
  if (row.expect_error == 0) {
    EXPECT_EQ(sock.LocalIP(), bound_host);
    EXPECT_EQ(sock.LocalPort(), std::stoi(row.expect_bound_port));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocksListen,
    ::testing::Values(ListenRow{"s5_wildcard_reply_means_the_server", ST_Socks5,
                                Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0x30, 0x39}), 0, "=socks", "12345"},
                      ListenRow{"s5_named_address", ST_Socks5,
                                Bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x30, 0x39}), 0, "10.0.0.9",
                                "12345"},
                      ListenRow{"s5_refused", ST_Socks5, Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}),
                                WSANO_RECOVERY, "", ""},
                      ListenRow{"s4_granted", ST_Socks4, Bytes({0, 90, 0x30, 0x39, 10, 0, 0, 9}), 0,
                                "10.0.0.9", "12345"},
                      ListenRow{"s4_rejected", ST_Socks4, Bytes({0, 91, 0, 0, 0, 0, 0, 0}),
                                WSANO_RECOVERY, "", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tessaly
