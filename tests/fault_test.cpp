// Failures the real platform cannot produce on demand, injected through the
// platform layer; the library is linked in whole so its internals are reachable.
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "ntp_module.h"
#include "quelmora_ntp.h"
#include "os_resources.h"
#include "udp_peer.h"

namespace {

class InjectedFailures : public ::testing::Test {
 protected:
  void TearDown() override {
    if (ntp_status() == 1) ntp_stop();
  }
  test::fault_platform faults_;
  unsigned char pkt_[48] = {};
};

TEST_F(InjectedFailures, SocketLayerStartFailsAndIsTriedAgain) {
  quelmora::g_wsa.store(0);
  faults_.fail_socket_layer = true;
  const std::uint16_t port = test::free_port();
  EXPECT_EQ(ntp_start(port), -1);
  EXPECT_STREQ(ntp_last_error(), "WSAStartup failed");
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt_, 48), -1);
  EXPECT_STREQ(ntp_last_error(), "WSAStartup failed");
  EXPECT_EQ(faults_.socket_layer_starts.load(), 2);
  EXPECT_EQ(quelmora::g_wsa.load(), 0);
  EXPECT_EQ(ntp_status(), 0);

  faults_.fail_socket_layer = false;
  ASSERT_EQ(ntp_start(port), 0) << ntp_last_error();
  EXPECT_EQ(quelmora::g_wsa.load(), 1);
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt_, 48), 48);
  EXPECT_EQ(faults_.socket_layer_starts.load(), 3) << "started again after success";
  EXPECT_STREQ(ntp_last_error(), "WSAStartup failed") << "success cleared the text";
}

TEST_F(InjectedFailures, SocketCreation) {
  faults_.fail_socket = true;
  EXPECT_EQ(ntp_start(test::free_port()), -1);
  EXPECT_STREQ(ntp_last_error(), "socket() failed");
  EXPECT_EQ(ntp_status(), 0);
  EXPECT_EQ(ntp_query("127.0.0.1", 123, pkt_, 48), -1);
  EXPECT_STREQ(ntp_last_error(), "socket() failed");
}

TEST_F(InjectedFailures, ThreadCreationLeavesTheNewPortAndZeroCounters) {
  const std::uint16_t first_port = test::free_port();
  ASSERT_EQ(ntp_start(first_port), 0);
  test::udp_peer client;
  client.send_to(first_port, test::client_request(0x23));
  test::bytes reply;
  ASSERT_TRUE(client.receive(reply, 2000));
  ASSERT_EQ(ntp_stop(), 0);

  const int descriptors = test::count_open_handles();
  const std::uint16_t second_port = test::free_port();
  faults_.fail_thread = true;
  EXPECT_EQ(ntp_start(second_port), -1);
  EXPECT_STREQ(ntp_last_error(), "CreateThread failed");
  EXPECT_EQ(ntp_status(), 0);
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":0,\"port\":" + std::to_string(second_port) +
                                          ",\"requests\":0,\"replies\":0}");
  EXPECT_OPEN_HANDLES(descriptors);
  EXPECT_EQ(ntp_stop(), -7);
}

TEST_F(InjectedFailures, QueryConnectAndSend) {
  faults_.fail_connect = true;
  const int descriptors = test::count_open_handles();
  EXPECT_EQ(ntp_query("127.0.0.1", 123, pkt_, 48), -1);
  EXPECT_STREQ(ntp_last_error(), "connect failed");
  faults_.fail_connect = false;
  faults_.short_send = true;
  EXPECT_EQ(ntp_query("127.0.0.1", 123, pkt_, 48), -1);
  EXPECT_STREQ(ntp_last_error(), "send failed");
  EXPECT_OPEN_HANDLES(descriptors);
}

TEST_F(InjectedFailures, ServerCountsOnlyRepliesSentInFull) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  faults_.short_send = true;
  test::udp_peer client;
  client.send_to(port, test::client_request(0x23));
  test::bytes reply;
  ASSERT_TRUE(client.receive(reply, 2000));
  EXPECT_EQ(reply.size(), 47U);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":1,\"port\":" + std::to_string(port) +
                                          ",\"requests\":1,\"replies\":0}");
}

TEST_F(InjectedFailures, ServerStampsItsStartTimeAndOneClockReading) {
  faults_.fixed_clock = true;
  faults_.clock_ticks = 1000 * 10000000ULL;  // 1970-01-01 00:16:40
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  faults_.clock_ticks = 2000 * 10000000ULL + 5000000;
  test::udp_peer client;
  client.send_to(port, test::client_request(0x23));
  test::bytes reply;
  ASSERT_TRUE(client.receive(reply, 2000));
  ASSERT_EQ(reply.size(), 48U);
  EXPECT_EQ(test::be32(reply, 16), 0x83AA7E80U + 1000);
  EXPECT_EQ(test::be32(reply, 20), 0U);
  EXPECT_EQ(test::be32(reply, 32), 0x83AA7E80U + 2000);
  EXPECT_EQ(test::be32(reply, 36), 0x7FFFFFFFU);
  EXPECT_EQ(test::bytes(reply.begin() + 32, reply.begin() + 40),
            test::bytes(reply.begin() + 40, reply.end()));
}

TEST_F(InjectedFailures, ServerRenewsItsReferenceTimeWhenItIsTooOldOrAhead) {
  constexpr std::uint64_t second = 10000000;
  constexpr std::uint32_t start = 0x83AA7E80U + 1000;  // 1970-01-01 00:16:40
  faults_.fixed_clock = true;
  faults_.clock_ticks = 1000 * second;
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  test::udp_peer client;
  const auto reference_at = [&](std::uint64_t seconds_after_start) {
    faults_.clock_ticks = (1000 + seconds_after_start) * second;
    client.send_to(port, test::client_request(0x23));
    test::bytes reply;
    EXPECT_TRUE(client.receive(reply, 2000));
    return reply.size() == 48 ? test::be32(reply, 16) - start : 0xFFFFFFFFU;
  };
  EXPECT_EQ(reference_at(1023), 0U) << "the first replies carry the start time";
  EXPECT_EQ(reference_at(1024), 1024U);
  EXPECT_EQ(reference_at(2047), 1024U);
  EXPECT_EQ(reference_at(1010), 1010U) << "the clock was stepped back";
  ASSERT_EQ(ntp_stop(), 0);
  faults_.clock_ticks = 1100 * second;
  ASSERT_EQ(ntp_start(port), 0) << ntp_last_error();
  EXPECT_EQ(reference_at(200), 100U) << "a new start takes a new reference time";
}

// Windows fails a receive with the ICMP error an earlier reply caused (a
// client that had gone): what waits behind it is still taken in that wake.
TEST_F(InjectedFailures, ErrorReportsBetweenDatagramsLoseNone) {
  faults_.error_reports_between = true;
  faults_.wait_delay_ms = 50;  // the datagrams pile up before the server's first wait
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  test::udp_peer client;
  constexpr int datagrams = 4;
  for (int i = 0; i < datagrams; ++i) client.send_to(port, test::client_request(0x23));
  for (int i = 0; i < datagrams; ++i) {
    test::bytes reply;
    EXPECT_TRUE(client.receive(reply, 2000)) << "reply " << i;
  }
  EXPECT_EQ(faults_.largest_batch.load(), static_cast<std::size_t>(datagrams));
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":0,\"port\":" + std::to_string(port) +
                                          ",\"requests\":4,\"replies\":4}");
}

// A reply whose source address the system refuses (removed between the
// receive and the send) still goes out, once, from the system's choice.
TEST_F(InjectedFailures, ARefusedSourceIsSentAgainWithoutOneAndCountedOnce) {
  faults_.refuse_sources = true;
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  test::udp_peer client;
  client.send_to(port, test::client_request(0x23));
  test::bytes reply;
  ASSERT_TRUE(client.receive(reply, 2000));
  EXPECT_FALSE(client.receive(reply, 100)) << "sent twice";
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":0,\"port\":" + std::to_string(port) +
                                          ",\"requests\":1,\"replies\":1}");
}

// The kernel itself refuses one reply in the middle of a batch: only that
// one is sent again, and each client gets its reply once.
TEST_F(InjectedFailures, OnlyTheRefusedReplyOfABatchIsSentAgain) {
  if (test::running_under_wine()) GTEST_SKIP() << "Wine drops the source of a send";
  faults_.wait_delay_ms = 50;  // the requests pile up into one batch
  faults_.foreign_source_at = 1;
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  test::udp_peer clients[3];
  for (const test::udp_peer& client : clients) client.send_to(port, test::client_request(0x23));
  for (const test::udp_peer& client : clients) {
    test::bytes reply;
    EXPECT_TRUE(client.receive(reply, 2000));
    EXPECT_FALSE(client.receive(reply, 100)) << "sent twice";
  }
  EXPECT_EQ(faults_.largest_batch.load(), 3U);
  ASSERT_EQ(ntp_stop(), 0);
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":0,\"port\":" + std::to_string(port) +
                                          ",\"requests\":3,\"replies\":3}");
}

// A socket that stays readable and fails every receive costs a wake per
// wait's length, not a core; a stop still ends the thread at once.
TEST_F(InjectedFailures, AReceiveThatKeepsFailingRestsAndStopsAtOnce) {
  faults_.fail_receives = true;
  ASSERT_EQ(ntp_start(test::free_port()), 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int receives = faults_.failed_receives.load();
  EXPECT_GE(receives, 1);
  EXPECT_LE(receives, 5) << "receives in one second";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
}

// The room a partial batch leaves stays within the batch: a batch that
// fills it counts as full, and the next receive does not wait first.
TEST_F(InjectedFailures, AFullBatchAfterAPartialOneCountsAsFull) {
  faults_.script = {4, 8, 16, 20, 32, 0};
  ASSERT_EQ(ntp_start(test::free_port()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_EQ(faults_.waited, (std::vector<bool>{true, false, false, false, true, false}));
}

TEST_F(InjectedFailures, ALateThreadNeverTouchesTheNextStartsSocket) {
  const int threads = test::count_threads();
  const int descriptors = test::count_open_handles();
  const std::uint16_t first_port = test::free_port();
  faults_.hold_receive = true;
  ASSERT_EQ(ntp_start(first_port), 0);
  while (!faults_.holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2900));
  EXPECT_EQ(ntp_status(), 0);

  // The late thread's socket still holds the port, and no other may share it.
  EXPECT_EQ(ntp_start(first_port), -1);
  EXPECT_STREQ(ntp_last_error(), "bind failed (port in use?)");
  const std::uint16_t second_port = test::free_port();
  ASSERT_EQ(ntp_start(second_port), 0) << ntp_last_error();
  // Waiting for the late thread on its own socket: it must neither count nor answer it.
  test::udp_peer late_client;
  late_client.send_to(first_port, test::client_request(0x23));
  test::udp_peer client;
  for (int i = 0; i < 3; ++i) {
    client.send_to(second_port, test::client_request(0x23));
    test::bytes reply;
    ASSERT_TRUE(client.receive(reply, 2000)) << "request " << i;
  }
  faults_.hold_receive = false;
  EXPECT_EQ(test::count_threads_when_at(threads + 1), threads + 1) << "the late thread did not end";
  EXPECT_TRUE(faults_.held_thread_closed_its_socket);
  test::bytes late_reply;
  EXPECT_FALSE(late_client.receive(late_reply, 200)) << "the late thread answered";
  EXPECT_OPEN_HANDLES(descriptors < 0 ? -1 : descriptors + 2 + test::handles_per_server);
  EXPECT_EQ(faults_.foreign_socket_uses.load(), 0);
  EXPECT_EQ(std::string(ntp_stats()), "{\"running\":1,\"port\":" + std::to_string(second_port) +
                                          ",\"requests\":3,\"replies\":3}");
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_EQ(ntp_start(first_port), 0) << "the port stayed taken after the late thread ended";
  EXPECT_EQ(ntp_stop(), 0);
}

#ifdef _WIN32
std::atomic<int> g_selects{0};
int WSAAPI failing_select(int, fd_set*, fd_set*, fd_set*, const timeval*) {
  ++g_selects;
  ::WSASetLastError(WSAENETDOWN);  // the network subsystem has failed
  return SOCKET_ERROR;
}

// This program's slot for an imported function (writable where MinGW links).
void** import_slot_of(void* function) {
  auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  void** const slots = reinterpret_cast<void**>(base + table.VirtualAddress);
  void** const end = slots + table.Size / sizeof(void*);
  void** const found = std::find(slots, end, function);
  return found == end ? nullptr : found;
}

// The real waits fail, select being pointed at a stand-in (the library's
// code is linked into this program): a query must not go on to a receive
// without bound, nor the server spin.
TEST(FailingWait, EndsTheQueryAtOnceAndTheServerRestsAndStopsAtOnce) {
  const test::udp_peer silent_server;
  const std::uint16_t port = test::free_port();
  void** const slot = import_slot_of(reinterpret_cast<void*>(&::select));
  ASSERT_NE(slot, nullptr);
  void* const real_select = std::exchange(*slot, reinterpret_cast<void*>(&failing_select));
  const auto query = std::make_shared<std::promise<int>>();  // a query left behind may outlive us
  std::future<int> result = query->get_future();
  std::thread([query, silent = silent_server.port()] {
    unsigned char pkt[48];
    query->set_value(ntp_query("127.0.0.1", silent, pkt, sizeof pkt));
  }).detach();
  const bool ended = result.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  EXPECT_TRUE(ended && result.get() == -1);
  EXPECT_STREQ(ntp_last_error(), "no reply within 5s (timeout or short packet)");
  EXPECT_EQ(ntp_start(port), 0);
  g_selects = 0;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_GE(g_selects.load(), 1);
  EXPECT_LE(g_selects.load(), 5) << "waits in one second";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(100));
  *slot = real_select;
}
#endif

// What the server made of one mixed set of datagrams: its counters, and the
// originate fields of the replies it sent (each one a request's transmit).
struct burst_outcome {
  std::string stats;
  std::vector<test::bytes> originates;
  bool operator==(const burst_outcome& other) const {
    return stats == other.stats && originates == other.originates;
  }
};

burst_outcome serve_mixed_datagrams(test::fault_platform& platform, bool together) {
  const std::uint16_t port = test::free_port();
  // Arriving together: the server sleeps before each wait while they pile up.
  platform.wait_delay_ms = together ? 50 : 0;
  EXPECT_EQ(ntp_start(port), 0) << ntp_last_error();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into its first wait
  std::vector<test::bytes> mix = {
      test::client_request(0x23),     test::client_request(0x23, 47), test::client_request(0x1B),
      test::client_request(0x23, 49), test::bytes{},                  test::client_request(0x24),
      test::client_request(0x23, 1),  test::client_request(0xE3)};
  for (std::size_t i = 0; i < mix.size(); ++i) {
    if (mix[i].size() == 48) mix[i][47] = static_cast<unsigned char>(i);  // tells replies apart
  }
  test::udp_peer client;
  burst_outcome outcome;
  for (const test::bytes& datagram : mix) {
    client.send_to(port, datagram);
    if (!together) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  test::bytes reply;
  while (client.receive(reply, 1000)) {  // until a busy machine would have answered all
    EXPECT_EQ(reply.size(), 48U);
    EXPECT_EQ(reply[0], 0x24);
    outcome.originates.emplace_back(reply.begin() + 24, reply.begin() + 32);
  }
  std::sort(outcome.originates.begin(), outcome.originates.end());
  EXPECT_EQ(ntp_stop(), 0);
  const std::string stats = ntp_stats();
  outcome.stats = stats.substr(stats.find("\"requests\""));  // the ports differ
  return outcome;
}

TEST(Bursts, MixedDatagramsArrivingTogetherFareAsWhenTheyArriveOneByOne) {
  test::fault_platform platform;
  const burst_outcome one_by_one = serve_mixed_datagrams(platform, false);
  platform.largest_batch = 0;
  const burst_outcome together = serve_mixed_datagrams(platform, true);
  // Three client requests answered; the 47-byte, the 1-byte and the mode-4
  // datagram counted only; the empty and the 49-byte one neither.
  EXPECT_EQ(one_by_one.originates.size(), 3U);
  EXPECT_EQ(one_by_one.stats, "\"requests\":6,\"replies\":3}");
  EXPECT_TRUE(together == one_by_one) << together.stats << " against " << one_by_one.stats;
#ifdef __linux__
  EXPECT_GT(platform.largest_batch.load(), 1U) << "the datagrams were not taken together";
#endif
}

// A client that asked 127.0.0.2 drops a reply from 127.0.0.1: each reply
// leaves from the address its request reached.
TEST(ReplySource, IsTheAddressEachRequestReached) {
  test::fault_platform platform;
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0) << ntp_last_error();
  const std::uint32_t asked[] = {0x7F000001U, 0x7F000002U, 0x7F000003U};
  test::udp_peer client;
  for (std::uint32_t address : asked) {
    client.send_to(port, test::client_request(0x23), address);
    test::bytes reply;
    sockaddr_in sender{};
    ASSERT_TRUE(client.receive(reply, 2000, &sender));
    // Wine drops the source address on WSASendMsg: there every reply leaves from 127.0.0.1.
    if (!test::running_under_wine()) {
      EXPECT_EQ(ntohl(sender.sin_addr.s_addr), address);
    }
  }
  EXPECT_EQ(ntp_stop(), 0);
  const std::vector<std::uint32_t> expected = {htonl(asked[0]), htonl(asked[1]), htonl(asked[2])};
  EXPECT_EQ(platform.destinations_seen(), expected) << "the destinations were not learned";
  EXPECT_EQ(platform.sources_asked(), expected);
}

}  // namespace
