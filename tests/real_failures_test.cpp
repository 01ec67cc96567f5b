// Failures produced by the real system, not by a test platform: each runs in
// a child process whose limits or system-call filter make the call fail.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "quelmora_ntp.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's shadow memory takes terabytes of address space.
constexpr bool address_space_is_sanitizers = true;
#else
constexpr bool address_space_is_sanitizers = false;
#endif
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot follow the child of a threaded process.
constexpr bool forks_are_followed = false;
#else
constexpr bool forks_are_followed = true;
#endif

// Ends the child: code 0 and "ok" when the library said what was expected.
[[noreturn]] void finish_child(int result, int expected_result, const char* expected_message) {
  if (result == expected_result && std::strcmp(ntp_last_error(), expected_message) == 0) {
    std::fputs("ok", stderr);
    std::_Exit(0);
  }
  std::fprintf(stderr, "result %d, message \"%s\"", result, ntp_last_error());
  std::_Exit(1);
}

std::size_t address_space_in_use() {
  std::ifstream status("/proc/self/status");
  std::string key;
  std::size_t kilobytes = 0;
  while (status >> key) {
    if (key == "VmSize:") {
      status >> kilobytes;
      break;
    }
  }
  return kilobytes * 1024;
}

// Makes every sendto in this process fail with EIO.
bool refuse_sendto() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendto, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

[[noreturn]] void run_out_of_descriptors() {
  rlimit limit{0, 0};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 64;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  while (::dup(0) >= 0) {
  }
  unsigned char pkt[48];
  const int queried = ntp_query("127.0.0.1", 123, pkt, 48);
  if (queried != -1 || std::strcmp(ntp_last_error(), "socket() failed") != 0) {
    finish_child(queried, -1, "socket() failed");
  }
  finish_child(ntp_start(test::free_port()), -1, "socket() failed");
}

[[noreturn]] void run_out_of_address_space(std::uint16_t port) {
  constexpr std::size_t headroom = 1 << 20;  // far less than a thread's stack
  const rlim_t cap = address_space_in_use() + headroom;
  rlimit limit{cap, cap};
  ::setrlimit(RLIMIT_AS, &limit);
  const int result = ntp_start(port);
  const std::string expected =
      "{\"running\":0,\"port\":" + std::to_string(port) + ",\"requests\":0,\"replies\":0}";
  if (result == -1 && expected != ntp_stats()) finish_child(result, 0, "stats");
  finish_child(result, -1, "CreateThread failed");
}

[[noreturn]] void query_with_sendto_refused(std::uint16_t port) {
  if (!refuse_sendto()) finish_child(0, -1, "no seccomp");
  unsigned char pkt[48];
  finish_child(ntp_query("127.0.0.1", port, pkt, 48), -1, "send failed");
}

TEST(RealFailures, SocketCreationWhenDescriptorsRunOut) {
  EXPECT_EXIT(run_out_of_descriptors(), ::testing::ExitedWithCode(0), "^ok$");
}

TEST(RealFailures, ThreadCreationWhenAddressSpaceRunsOut) {
  if (address_space_is_sanitizers) {
    GTEST_SKIP() << "a sanitizer reserves the address space this test would limit";
  }
  EXPECT_EXIT(run_out_of_address_space(test::free_port()), ::testing::ExitedWithCode(0), "^ok$");
}

TEST(RealFailures, ConnectToTheBroadcastAddress) {
  unsigned char pkt[48];
  EXPECT_EQ(ntp_query("255.255.255.255", 123, pkt, sizeof pkt), -1);
  EXPECT_STREQ(ntp_last_error(), "connect failed");
}

TEST(RealFailures, SendRefusedByTheKernel) {
  test::udp_peer peer;
  EXPECT_EXIT(query_with_sendto_refused(peer.port()), ::testing::ExitedWithCode(0), "^ok$");
}

std::atomic<int> g_signals_taken{0};
void count_signal(int) { g_signals_taken.fetch_add(1); }

// A host's signals (a profiler's timer, a runtime's own) cut the query's
// wait short again and again: the query still ends within its 5 s.
TEST(RealFailures, SignalsDoNotStretchTheQuerysFiveSeconds) {
  struct sigaction taken {};
  taken.sa_handler = count_signal;  // no SA_RESTART
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &taken, &before), 0);
  const test::udp_peer silent_server;
  const pthread_t caller = ::pthread_self();
  std::atomic<bool> querying{true};
  std::thread signaller([&] {
    while (querying) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      if (querying) ::pthread_kill(caller, SIGUSR1);
    }
  });
  unsigned char pkt[48];
  const auto begin = std::chrono::steady_clock::now();
  const int result = ntp_query("127.0.0.1", silent_server.port(), pkt, sizeof pkt);
  const auto took = std::chrono::steady_clock::now() - begin;
  querying = false;
  signaller.join();
  ::sigaction(SIGUSR1, &before, nullptr);
  EXPECT_EQ(result, -1);
  EXPECT_STREQ(ntp_last_error(), "no reply within 5s (timeout or short packet)");
  EXPECT_GE(took, std::chrono::milliseconds(4900));
  EXPECT_LT(took, std::chrono::milliseconds(6500));
  EXPECT_GE(g_signals_taken.load(), 20);
}

// The CPU the whole process used while the test slept one second: a spin
// detector, no speed goal (an idle server sleeps in its receive).
double cpu_seconds_over_one_second() {
  const std::clock_t before = std::clock();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
}
constexpr double idle_cpu_bound_s = 0.1;

// The child of a fork runs no server: it says so, stops none at once, and
// starts one of its own. Exits 1 or 2 for the first part that failed.
[[noreturn]] void child_of_a_running_server(std::uint16_t own_port) {
  const auto begin = std::chrono::steady_clock::now();
  const int status = ntp_status(), stopped = ntp_stop();
  if (status != 0 || stopped != -7 || std::chrono::steady_clock::now() - begin > 100ms) ::_exit(1);
  unsigned char pkt[48];
  const bool own = ntp_start(own_port) == 0 && ntp_query("127.0.0.1", own_port, pkt, 48) == 48;
  ::_exit(own && ntp_stop() == 0 ? 0 : 2);
}

// This process's socket bound to the port (-1: none).
int socket_bound_to(std::uint16_t port) {
  sockaddr_in bound{};
  for (int fd = 3; fd < 1024; ++fd) {
    socklen_t length = sizeof bound;
    const bool named = ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
    if (named && bound.sin_family == AF_INET && ntohs(bound.sin_port) == port) return fd;
  }
  return -1;
}

// The parent's server answers, idle, after the child's end. Then something
// shuts its socket down (as a child's stop once did, a copy in another
// process): every receive returns at once, and the server rests between them.
TEST(Fork, TheChildRunsNoServerAndTheParentsNeverSpins) {
  if (!forks_are_followed) GTEST_SKIP() << "ThreadSanitizer cannot follow the child of a threaded process";
  const std::uint16_t port = test::free_port(), child_port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  const pid_t child = ::fork();
  if (child == 0) child_of_a_running_server(child_port);
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "the child's wait status";
  unsigned char pkt[48];
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt, sizeof pkt), 48);
  EXPECT_LT(cpu_seconds_over_one_second(), idle_cpu_bound_s);
  ::shutdown(socket_bound_to(port), SHUT_RD);  // ENOTCONN, and done all the same
  EXPECT_LT(cpu_seconds_over_one_second(), idle_cpu_bound_s) << "after a shutdown";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ntp_stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms);
}

}  // namespace
