// The time server through the public interface of the real shared library,
// over real UDP sockets on loopback.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "quelmora_ntp.h"
#include "os_resources.h"
#include "udp_peer.h"

namespace {

using test::bytes;

constexpr int reply_wait_ms = 2000;
constexpr std::uint32_t seconds_1900_to_1970 = 2208988800U;

std::string stats() { return ntp_stats(); }

std::string stats_text(int running, int port, unsigned requests, unsigned replies) {
  char text[128];
  std::snprintf(text, sizeof text, "{\"running\":%d,\"port\":%d,\"requests\":%u,\"replies\":%u}",
                running, port, requests, replies);
  return text;
}

// The reply counter rises just after the send returns: give it a moment.
bool stats_become(const std::string& expected) {
  for (int attempt = 0; attempt < 200 && stats() != expected; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return stats() == expected;
}

std::uint32_t ntp_seconds_now() {
  return static_cast<std::uint32_t>(std::time(nullptr)) + seconds_1900_to_1970;
}

class RunningServer : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::free_port();
    before_start_ = ntp_seconds_now();
    ASSERT_EQ(ntp_start(port_), 0) << ntp_last_error();
    after_start_ = ntp_seconds_now();
  }
  void TearDown() override {
    if (ntp_status() == 1) ntp_stop();
  }

  bytes exchange(const test::udp_peer& client, const bytes& request) {
    client.send_to(port_, request);
    bytes reply;
    EXPECT_TRUE(client.receive(reply, reply_wait_ms)) << "no reply";
    return reply;
  }

  std::uint16_t port_ = 0;
  std::uint32_t before_start_ = 0;
  std::uint32_t after_start_ = 0;
};

using ServerReply = RunningServer;

TEST_F(ServerReply, HasTheFixedLayoutWhateverTheRequestVersion) {
  test::udp_peer client;
  const unsigned char versions[] = {0x23, 0x1B};
  for (unsigned char first_byte : versions) {
    const bytes request = test::client_request(first_byte);
    const bytes reply = exchange(client, request);
    ASSERT_EQ(reply.size(), 48U);
    const bytes fixed = {0x24, 0x02, 0x06, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 'P', 'I', 'C', 'B'};
    EXPECT_EQ(bytes(reply.begin(), reply.begin() + 16), fixed);
    EXPECT_EQ(bytes(reply.begin() + 24, reply.begin() + 32),
              bytes(request.begin() + 40, request.end()));
    EXPECT_EQ(bytes(reply.begin() + 32, reply.begin() + 40), bytes(reply.begin() + 40, reply.end()));
    const std::uint32_t reference = test::be32(reply, 16);
    EXPECT_GE(reference, before_start_);
    EXPECT_LE(reference, after_start_);
    EXPECT_NEAR(static_cast<double>(test::be32(reply, 40)), ntp_seconds_now(), 1.0);
  }
}

TEST_F(ServerReply, EchoesAnAllZeroTransmitTimestamp) {
  test::udp_peer client;
  bytes request(48, 0);
  request[0] = 0x23;
  const bytes reply = exchange(client, request);
  ASSERT_EQ(reply.size(), 48U);
  EXPECT_EQ(bytes(reply.begin() + 24, reply.begin() + 32), bytes(8, 0));
  EXPECT_NE(test::be32(reply, 40), 0U);
}

TEST_F(ServerReply, GoesBackToEachSender) {
  test::udp_peer first;
  test::udp_peer second;
  bytes first_request = test::client_request(0x23);
  bytes second_request = test::client_request(0x23);
  second_request[47] = 0x5A;
  first.send_to(port_, first_request);
  second.send_to(port_, second_request);
  bytes first_reply;
  bytes second_reply;
  ASSERT_TRUE(first.receive(first_reply, reply_wait_ms));
  ASSERT_TRUE(second.receive(second_reply, reply_wait_ms));
  EXPECT_EQ(first_reply[31], first_request[47]);
  EXPECT_EQ(second_reply[31], 0x5A);
  EXPECT_TRUE(stats_become(stats_text(1, port_, 2, 2)));
}

using Classification = RunningServer;

TEST_F(Classification, CountsShortAndWholeDatagramsButAnswersOnlyClientRequests) {
  test::udp_peer client;
  client.send_to(port_, test::client_request(0x23, 0));    // empty: ignored
  client.send_to(port_, test::client_request(0x23, 47));   // counted
  client.send_to(port_, test::client_request(0x24, 48));   // mode 4: counted
  client.send_to(port_, test::client_request(0x23, 49));   // too long: ignored
  client.send_to(port_, test::client_request(0x23, 100));  // too long: ignored
  const bytes request = test::client_request(0x23, 48);    // counted and answered
  client.send_to(port_, request);
  bytes reply;
  ASSERT_TRUE(client.receive(reply, reply_wait_ms));
  EXPECT_EQ(reply.size(), 48U);
  EXPECT_EQ(reply[24], request[40]);
  EXPECT_FALSE(client.receive(reply, 100)) << "a datagram other than the request was answered";
  EXPECT_TRUE(stats_become(stats_text(1, port_, 3, 1))) << stats();
}

TEST_F(RunningServer, ReportsItsRunAndKeepsTheFiguresAfterStop) {
  EXPECT_EQ(ntp_status(), 1);
  EXPECT_EQ(stats(), stats_text(1, port_, 0, 0));
  test::udp_peer client;
  exchange(client, test::client_request(0x23));
  EXPECT_TRUE(stats_become(stats_text(1, port_, 1, 1)));
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(ntp_status(), 0);
  EXPECT_EQ(stats(), stats_text(0, port_, 1, 1));
}

TEST_F(RunningServer, RestartResetsCountersAndTakesANewReferenceTime) {
  test::udp_peer client;
  const bytes first_reply = exchange(client, test::client_request(0x23));
  ASSERT_EQ(ntp_stop(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(ntp_start(port_), 0) << ntp_last_error();
  EXPECT_EQ(stats(), stats_text(1, port_, 0, 0));
  const bytes second_reply = exchange(client, test::client_request(0x23));
  ASSERT_EQ(second_reply.size(), 48U);
  const auto reference = [](const bytes& reply) {
    return static_cast<std::uint64_t>(test::be32(reply, 16)) << 32 | test::be32(reply, 20);
  };
  EXPECT_GT(reference(second_reply), reference(first_reply));
}

TEST_F(RunningServer, RefusesAStartWhileRunningWithoutTouchingTheLastError) {
  ntp_stop();
  EXPECT_EQ(ntp_start(-5), -1);
  EXPECT_STREQ(ntp_last_error(), "bad port");
  ASSERT_EQ(ntp_start(port_), 0);
  const char* text = ntp_last_error();
  EXPECT_EQ(ntp_start(70000), -7);  // the state is tested before the port
  EXPECT_EQ(ntp_start(port_), -7);
  EXPECT_EQ(ntp_last_error(), text);
  EXPECT_STREQ(ntp_last_error(), "bad port");
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(ntp_stop(), -7);
  EXPECT_STREQ(ntp_last_error(), "bad port");
}

TEST(ServerLifecycle, RejectsBadPortsWithoutOpeningASocket) {
  const int descriptors = test::count_open_handles();
  for (int port : {70000, -5, 65536}) {
    EXPECT_EQ(ntp_start(port), -1);
    EXPECT_STREQ(ntp_last_error(), "bad port");
  }
  EXPECT_EQ(ntp_status(), 0);
  EXPECT_OPEN_HANDLES(descriptors);
}

TEST(ServerLifecycle, BindConflictKeepsTheLastPortAndCounters) {
  const std::uint16_t good_port = test::free_port();
  ASSERT_EQ(ntp_start(good_port), 0);
  ASSERT_EQ(ntp_stop(), 0);
  test::udp_peer holder;  // without address reuse: nobody else may bind it
  ASSERT_TRUE(holder.bound());
  const int descriptors = test::count_open_handles();
  EXPECT_EQ(ntp_start(holder.port()), -1);
  EXPECT_STREQ(ntp_last_error(), "bind failed (port in use?)");
  EXPECT_EQ(ntp_status(), 0);
  EXPECT_EQ(stats(), stats_text(0, good_port, 0, 0));
  EXPECT_OPEN_HANDLES(descriptors);
}

TEST(ServerLifecycle, PortZeroMeansPort123) {
  const int result = ntp_start(0);
  if (result != 0) {
    EXPECT_STREQ(ntp_last_error(), "bind failed (port in use?)");
    GTEST_SKIP() << "port 123 cannot be bound here (no privilege, or in use)";
  }
  EXPECT_EQ(stats(), stats_text(1, 123, 0, 0));
  test::udp_peer client;
  client.send_to(123, test::client_request(0x23));
  bytes reply;
  EXPECT_TRUE(client.receive(reply, reply_wait_ms));
  EXPECT_EQ(ntp_stop(), 0);
}

TEST(ServerLifecycle, StopEndsTheThreadAndClosesTheSocketPromptly) {
  const int threads = test::count_threads();
  const int descriptors = test::count_open_handles();
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  EXPECT_EQ(test::count_threads(), threads + 1);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(ntp_stop(), 0);
  const auto took = std::chrono::steady_clock::now() - begin;
  // Well inside the 3 s bound: the thread ended, it was not given up on.
  EXPECT_LT(took, std::chrono::milliseconds(2500));
  EXPECT_EQ(test::count_threads_when_at(threads), threads);
  EXPECT_OPEN_HANDLES(descriptors);
  test::udp_peer rebinder(port);  // the port is free again, even without reuse
  EXPECT_TRUE(rebinder.bound());
}

TEST(ServerLifecycle, ServesOnADescriptorAbove1023) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: Windows sockets are handles, not small descriptor numbers";
#else
  constexpr int filler_count = 1100;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < filler_count + 64) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, filler_count + 64);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < filler_count + 64) GTEST_SKIP() << "the descriptor limit is too low";
  std::vector<int> fillers;
  for (int i = 0; i < filler_count; ++i) fillers.push_back(::open("/dev/null", O_RDONLY));
  const std::uint16_t port = test::free_port();
  const int start = ntp_start(port);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(start, 0) << ntp_last_error();
  test::udp_peer client;
  client.send_to(port, test::client_request(0x23));
  bytes reply;
  EXPECT_TRUE(client.receive(reply, reply_wait_ms));
  EXPECT_EQ(ntp_stop(), 0);
#endif
}

// Windows reports an ICMP port-unreachable, caused by a reply to a client
// that had gone, as a failure of the server's next receive.
TEST(ServerLifecycle, KeepsServingAfterAClientVanishesBeforeItsReply) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  for (int round = 0; round < 5; ++round) {
    {
      test::udp_peer vanishing;
      vanishing.send_to(port, test::client_request(0x23));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    test::udp_peer client;
    client.send_to(port, test::client_request(0x23));
    bytes reply;
    EXPECT_TRUE(client.receive(reply, reply_wait_ms)) << "round " << round;
  }
  EXPECT_EQ(ntp_stop(), 0);
}

}  // namespace
