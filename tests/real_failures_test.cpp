// Failures produced by the real system, not by a test platform: each runs in
// a child process whose limits or system-call filter make the call fail.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "quelmora_ntp.h"
#include "udp_peer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's shadow memory takes terabytes of address space.
constexpr bool address_space_is_sanitizers = true;
#else
constexpr bool address_space_is_sanitizers = false;
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

// A spin detector, no speed goal: an idle server sleeps in its receive.
constexpr double idle_cpu_bound_s = 0.1;

// The CPU the whole process used over one second in which the test sleeps.
double process_cpu_over_one_second() {
  const auto cpu_seconds = [] {
    rusage used{};
    ::getrusage(RUSAGE_SELF, &used);
    return static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
           static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return cpu_seconds() - before;
}

bool stops_at_once() {
  const auto begin = std::chrono::steady_clock::now();
  return ntp_stop() == 0 && std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(100);
}

// The child of a fork runs no server: it says so, stops nothing at once,
// and starts one of its own. The exit code names the first check that failed;
// every check runs, as a host's child would go on.
[[noreturn]] void child_of_a_running_server(std::uint16_t own_port) {
  int failed = 0;
  const auto check = [&failed](bool passed, int code) {
    if (!passed && failed == 0) failed = code;
  };
  check(ntp_status() == 0, 1);
  const auto begin = std::chrono::steady_clock::now();
  check(ntp_stop() == -7, 2);
  check(std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(100), 3);
  unsigned char pkt[48];
  check(ntp_start(own_port) == 0, 4);
  check(ntp_query("127.0.0.1", own_port, pkt, sizeof pkt) == 48, 5);
  check(stops_at_once(), 6);
  ::_exit(failed);
}

TEST(Fork, TheChildRunsNoServerAndLeavesTheParentsAlone) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  const std::uint16_t child_port = test::free_port();
  const pid_t child = ::fork();
  if (child == 0) child_of_a_running_server(child_port);
  EXPECT_GT(child, 0);
  int status = -1;
  if (child > 0) ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  unsigned char pkt[48];
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt, sizeof pkt), 48);
  EXPECT_LT(process_cpu_over_one_second(), idle_cpu_bound_s);
  EXPECT_TRUE(stops_at_once());
}

// The descriptor of this process's socket bound to the port, or -1.
int socket_bound_to(std::uint16_t port) {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port) {
      return fd;
    }
  }
  return -1;
}

// Something else shuts the server's socket down (a copy of it in another
// process, say): every receive then returns at once, and the server rests
// between them as after any failed receive.
TEST(ExternalShutdown, TheServerRestsAndStopsAtOnce) {
  const std::uint16_t port = test::free_port();
  ASSERT_EQ(ntp_start(port), 0);
  const int fd = socket_bound_to(port);
  EXPECT_GE(fd, 0);
  // Unconnected, the socket answers ENOTCONN, and is shut down all the same.
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
  EXPECT_LT(process_cpu_over_one_second(), idle_cpu_bound_s);
  EXPECT_TRUE(stops_at_once());
}

}  // namespace
