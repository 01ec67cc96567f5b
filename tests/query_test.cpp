// ntp_query through the real shared library, against a scripted UDP peer and
// against the library's own server, all on loopback.
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "quelmora_ntp.h"
#include "os_resources.h"
#include "udp_peer.h"

namespace {

using test::bytes;

constexpr int request_wait_ms = 3000;
constexpr unsigned char untouched = 0xEE;
constexpr const char* no_reply = "no reply within 5s (timeout or short packet)";

// A peer on loopback that takes one request and answers it as told, with
// one datagram or several in turn.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<bytes(const bytes&)> answer)
      : ScriptedPeer([answer](const bytes& request) {
          const bytes reply = answer(request);
          return reply.empty() ? std::vector<bytes>{} : std::vector<bytes>{reply};
        }) {}
  explicit ScriptedPeer(std::function<std::vector<bytes>(const bytes&)> answers,
                        std::chrono::milliseconds between = {})
      : worker_([this, answers, between] {
          sockaddr_in sender{};
          if (!peer_.receive(request_, request_wait_ms, &sender)) return;
          for (const bytes& reply : answers(request_)) {
            std::this_thread::sleep_for(between);
            peer_.reply_to(sender, reply);
          }
        }) {}
  ~ScriptedPeer() {
    if (worker_.joinable()) worker_.join();
  }

  std::uint16_t port() const { return peer_.port(); }
  // The request the peer took, once it has finished with it.
  const bytes& request() {
    if (worker_.joinable()) worker_.join();
    return request_;
  }

 private:
  test::udp_peer peer_;
  bytes request_;
  std::thread worker_;
};

// A reply to `request`: its originate timestamp repeats the request's
// transmit timestamp, as every server's does.
bytes reply_of_size(const bytes& request, std::size_t size) {
  bytes reply(size, 0x11);
  reply[0] = 0x24;
  for (std::size_t i = 0; i < 8 && 24 + i < size; ++i) reply[24 + i] = request[40 + i];
  return reply;
}

// A 48-byte reply to some other request: stratum 9, another originate.
bytes stray_reply(const bytes& request) {
  bytes stray = reply_of_size(request, 48);
  stray[1] = 9;
  stray[31] = static_cast<unsigned char>(stray[31] ^ 0xFF);
  return stray;
}

TEST(QueryExchange, SendsAVersion4ClientRequestAndHandsBackTheReply) {
  bytes sent_reply;
  ScriptedPeer peer([&](const bytes& request) {
    sent_reply = reply_of_size(request, 48);
    sent_reply[47] = 0x77;
    return sent_reply;
  });
  unsigned char pkt[64];
  std::memset(pkt, untouched, sizeof pkt);
  ASSERT_EQ(ntp_query("127.0.0.1", peer.port(), pkt, sizeof pkt), 48) << ntp_last_error();
  EXPECT_EQ(bytes(pkt, pkt + 48), sent_reply);
  for (std::size_t i = 48; i < sizeof pkt; ++i) ASSERT_EQ(pkt[i], untouched) << "byte " << i;

  const bytes& request = peer.request();
  ASSERT_EQ(request.size(), 48U);
  EXPECT_EQ(request[0], 0x23);
  EXPECT_EQ(bytes(request.begin() + 1, request.begin() + 40), bytes(39, 0));
  const double sent_seconds = test::be32(request, 40) - 2208988800.0;
  EXPECT_NEAR(sent_seconds, static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(QueryExchange, AcceptsABufferOfExactly48Bytes) {
  ScriptedPeer peer([](const bytes& request) { return reply_of_size(request, 48); });
  unsigned char pkt[48];
  EXPECT_EQ(ntp_query("127.0.0.1", peer.port(), pkt, sizeof pkt), 48) << ntp_last_error();
}

TEST(QueryExchange, ReadsTheLibrarysOwnServer) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0) << ntp_last_error();
  unsigned char pkt[48];
  ASSERT_EQ(ntp_query("127.0.0.1", port, pkt, sizeof pkt), 48) << ntp_last_error();
  EXPECT_EQ(pkt[0], 0x24);
  EXPECT_EQ(pkt[1], 2);
  // Originate is our own transmit time, sent a moment before the server's.
  const bytes reply(pkt, pkt + 48);
  EXPECT_LE(test::be32(reply, 32) - test::be32(reply, 24), 1U);
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(std::string(ntp_stats()),
            "{\"running\":0,\"port\":" + std::to_string(port) + ",\"requests\":1,\"replies\":1}");
}

// A reply to another request (a late answer, or an off-path sender that
// guessed the port) is passed over, and the wait goes on for the true one.
TEST(QueryExchange, TakesOnlyTheReplyToItsOwnRequest) {
  ScriptedPeer peer(
      [](const bytes& request) {
        return std::vector<bytes>{stray_reply(request), reply_of_size(request, 48)};
      },
      std::chrono::milliseconds(50));
  unsigned char pkt[48];
  ASSERT_EQ(ntp_query("127.0.0.1", peer.port(), pkt, sizeof pkt), 48) << ntp_last_error();
  EXPECT_EQ(pkt[1], 0x11) << "the stray reply was taken";
  EXPECT_EQ(bytes(pkt + 24, pkt + 32), bytes(peer.request().begin() + 40, peer.request().end()));
}

// The query fails only once its 5 s are over, not long after, and leaves
// the request it sent in the buffer.
void expect_no_reply_after_five_seconds(ScriptedPeer& peer) {
  unsigned char pkt[48];
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_query("127.0.0.1", peer.port(), pkt, sizeof pkt), -1);
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_STREQ(ntp_last_error(), no_reply);
  EXPECT_GE(took, std::chrono::milliseconds(4900));
  EXPECT_LT(took, std::chrono::milliseconds(6500));
  EXPECT_EQ(bytes(pkt, pkt + 48), peer.request()) << "the request is still in the buffer";
}

TEST(QueryFailures, OnlyStrayRepliesFailWithinTheBound) {
  ScriptedPeer peer(
      [](const bytes& request) { return std::vector<bytes>(8, stray_reply(request)); },
      std::chrono::milliseconds(300));
  expect_no_reply_after_five_seconds(peer);
}

TEST(QueryFailures, RejectBadArgumentsBeforeThePort) {
  unsigned char pkt[48];
  const struct {
    const char* host;
    int port;
    unsigned char* buffer;
    int length;
    const char* message;
  } cases[] = {
      {nullptr, 123, pkt, 48, "bad params (need host, pkt buffer >= 48)"},
      {"", 123, pkt, 48, "bad params (need host, pkt buffer >= 48)"},
      {"127.0.0.1", 123, nullptr, 48, "bad params (need host, pkt buffer >= 48)"},
      {"127.0.0.1", 123, pkt, 47, "bad params (need host, pkt buffer >= 48)"},
      {"127.0.0.1", 123, pkt, -48, "bad params (need host, pkt buffer >= 48)"},
      {nullptr, 0, pkt, 48, "bad params (need host, pkt buffer >= 48)"},
      {"127.0.0.1", 0, pkt, 48, "bad port"},
      {"127.0.0.1", 65536, pkt, 48, "bad port"},
      {"127.0.0.1", -1, pkt, 48, "bad port"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ntp_query(c.host, c.port, c.buffer, c.length), -1);
    EXPECT_STREQ(ntp_last_error(), c.message) << "port " << c.port << " length " << c.length;
  }
}

TEST(QueryFailures, NameThatDoesNotResolve) {
  unsigned char pkt[48];
  // An empty label: the resolver refuses it without asking any server.
  EXPECT_EQ(ntp_query("no-such-host..invalid", 123, pkt, sizeof pkt), -1);
  EXPECT_STREQ(ntp_last_error(), "host resolve failed");
}

TEST(QueryFailures, RepliesOfTheWrongLength) {
  for (std::size_t size : {std::size_t{47}, std::size_t{49}, std::size_t{200}}) {
    ScriptedPeer peer([size](const bytes& request) { return reply_of_size(request, size); });
    unsigned char pkt[64];
    std::memset(pkt, untouched, sizeof pkt);
    EXPECT_EQ(ntp_query("127.0.0.1", peer.port(), pkt, sizeof pkt), -1) << size;
    EXPECT_STREQ(ntp_last_error(), no_reply);
    EXPECT_EQ(pkt[48], untouched);
  }
}

TEST(QueryFailures, RefusedPortFailsWithoutWaitingOutTheTimeout) {
  if (test::running_under_wine()) {
    GTEST_SKIP() << "Wine does not pass a port-unreachable on to a connected datagram socket";
  }
  const std::uint16_t port = test::free_port();
  unsigned char pkt[48];
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt, sizeof pkt), -1);
  EXPECT_STREQ(ntp_last_error(), no_reply);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
}

TEST(QueryFailures, Ipv6LoopbackIsNotAnsweredByTheIpv4Server) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  unsigned char pkt[48];
  EXPECT_EQ(ntp_query("::1", port, pkt, sizeof pkt), -1);
  const std::string message = ntp_last_error();
  ntp_stop();
  // Without IPv6 on the machine the socket or connect fails instead.
  EXPECT_TRUE(message == no_reply || message == "socket() failed" || message == "connect failed")
      << message;
}

TEST(QueryFailures, SilentServerTimesOutAfterFiveSecondsLeavingTheRequest) {
  ScriptedPeer peer([](const bytes&) { return bytes(); });
  expect_no_reply_after_five_seconds(peer);
}

}  // namespace
