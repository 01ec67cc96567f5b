// Stress on loopback, each bounded in count and time: lifecycles under
// traffic, concurrent readers and queries, and garbage on the wire. At the
// end of each, no descriptor and no thread may be left over.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "os_resources.h"
#include "quelmora_ntp.h"
#include "udp_peer.h"

namespace {

using clock_type = std::chrono::steady_clock;
using test::bytes;

struct counters {
  unsigned long long requests = 0;
  unsigned long long replies = 0;
};

counters read_counters() {
  counters read;
  int running = 0;
  int port = 0;
  std::sscanf(ntp_stats(), "{\"running\":%d,\"port\":%d,\"requests\":%llu,\"replies\":%llu}",
              &running, &port, &read.requests, &read.replies);
  return read;
}

// Sends valid requests to a port until told to stop (or a bound is reached),
// taking whatever replies come back without waiting for them.
class request_flood {
 public:
  explicit request_flood(std::uint16_t port, int max_requests = 2000000)
      : worker_([this, port, max_requests] {
          test::udp_peer client;
          const bytes request = test::client_request(0x23);
          bytes reply;
          for (int sent = 0; !stop_ && sent < max_requests; ++sent) {
            client.send_to(port, request);
            if (sent % 8 == 0) client.receive(reply, 0);
          }
        }) {}
  ~request_flood() {
    stop_ = true;
    worker_.join();
  }
  request_flood(const request_flood&) = delete;
  request_flood& operator=(const request_flood&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

class Stress : public ::testing::Test {
 protected:
  void SetUp() override {
    threads_ = test::count_threads();
    handles_ = test::count_open_handles();
  }
  void TearDown() override {
    if (ntp_status() == 1) ntp_stop();
    EXPECT_EQ(test::count_threads_when_at(threads_), threads_) << "a thread was left over";
    EXPECT_OPEN_HANDLES(handles_);
  }
  int threads_ = 0;
  int handles_ = 0;
};

TEST_F(Stress, FiveHundredStartStopCyclesUnderTraffic) {
  const std::uint16_t port = test::free_port();
  {
    request_flood flood(port);
    request_flood second_flood(port);
    for (int cycle = 0; cycle < 500; ++cycle) {
      ASSERT_EQ(ntp_start(port), 0) << "cycle " << cycle << ": " << ntp_last_error();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      const counters seen = read_counters();
      EXPECT_LE(seen.replies, seen.requests);
      ASSERT_EQ(ntp_stop(), 0) << "cycle " << cycle;
    }
  }
  EXPECT_EQ(ntp_status(), 0);
}

TEST_F(Stress, ConcurrentStartsAndStopsAgreeOnOneState) {
  const std::uint16_t port = test::free_port();
  std::atomic<int> unexpected{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        const int started = ntp_start(port);
        const int stopped = ntp_stop();
        if ((started != 0 && started != -7) || (stopped != 0 && stopped != -7)) ++unexpected;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(unexpected.load(), 0) << ntp_last_error();
  if (ntp_status() == 1) {
    EXPECT_EQ(ntp_stop(), 0);
  }
}

TEST_F(Stress, ReportsStayConsistentWhileReadFromOtherThreads) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};
  std::atomic<int> not_running{0};
  {
    request_flood flood(port);
    request_flood second_flood(port);
    std::thread stats_reader([&] {
      counters previous;
      while (!done) {
        const counters seen = read_counters();
        if (seen.replies > seen.requests || seen.requests < previous.requests ||
            seen.replies < previous.replies) {
          ++inconsistent;
        }
        previous = seen;
      }
    });
    std::thread status_reader([&] {
      while (!done) {
        if (ntp_status() != 1) ++not_running;
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    done = true;
    stats_reader.join();
    status_reader.join();
  }
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_EQ(not_running.load(), 0);
  EXPECT_GT(read_counters().replies, 1000U);
  EXPECT_EQ(ntp_stop(), 0);
}

TEST_F(Stress, EightThreadsQueryTheRunningServer) {
  constexpr int query_threads = 8;
  constexpr int queries_each = 100;
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  std::atomic<int> failures{0};
  std::vector<std::thread> queriers;
  for (int i = 0; i < query_threads; ++i) {
    queriers.emplace_back([&] {
      unsigned char pkt[48];
      for (int q = 0; q < queries_each; ++q) {
        if (ntp_query("127.0.0.1", port, pkt, sizeof pkt) != 48 || pkt[0] != 0x24) ++failures;
      }
    });
  }
  for (std::thread& querier : queriers) querier.join();
  EXPECT_EQ(failures.load(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const counters seen = read_counters();
  EXPECT_EQ(seen.requests, static_cast<unsigned long long>(query_threads * queries_each));
  EXPECT_EQ(seen.replies, seen.requests);
  EXPECT_EQ(ntp_stop(), 0);
}

// Random datagrams of every size from 0 to 2000 bytes: exactly those of 1 to
// 48 bytes are counted. After each burst a marked request, answered only once
// everything before it from this socket has been handled, keeps the socket
// buffers from overflowing and the count exact.
TEST_F(Stress, GarbageOnTheWireIsCountedExactlyAndNeverCrashes) {
  constexpr int bursts = 60;
  constexpr int burst_size = 50;
  constexpr auto time_bound = std::chrono::seconds(20);
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> size_of(0, 2000);
  std::uniform_int_distribution<int> byte_of(0, 255);
  test::udp_peer sender;
  unsigned long long expected = 0;
  const auto deadline = clock_type::now() + time_bound;
  int burst = 0;
  for (; burst < bursts && clock_type::now() < deadline; ++burst) {
    for (int i = 0; i < burst_size; ++i) {
      bytes datagram(static_cast<std::size_t>(size_of(random)));
      for (unsigned char& b : datagram) b = static_cast<unsigned char>(byte_of(random));
      if (!datagram.empty() && datagram.size() <= 48) ++expected;
      sender.send_to(port, datagram);
    }
    bytes marker = test::client_request(0x23);
    marker[47] = static_cast<unsigned char>(burst);
    marker[46] = 0xEE;
    sender.send_to(port, marker);
    ++expected;
    bytes reply;
    bool marker_answered = false;
    while (!marker_answered && sender.receive(reply, 2000)) {
      marker_answered = reply.size() == 48 && reply[30] == 0xEE && reply[31] == marker[47];
    }
    ASSERT_TRUE(marker_answered) << "burst " << burst;
  }
  EXPECT_EQ(read_counters().requests, expected) << "after " << burst << " bursts";
  EXPECT_EQ(ntp_status(), 1);
  EXPECT_EQ(ntp_stop(), 0);
}

}  // namespace
