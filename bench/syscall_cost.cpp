// What one kernel entry costs on this machine: the median time of a system
// call that does no work. Where it is high (virtual machines that trap every
// entry), servers that batch receives gain most over one-at-a-time servers.
//
//   syscall_cost            prints {"null_syscall_ns": N}
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace {
constexpr int rounds = 7;
constexpr int calls_per_round = 200000;
constexpr double ns_per_second = 1e9;

double seconds_now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / ns_per_second;
}
}  // namespace

int main() {
  std::array<double, rounds> per_call_ns{};
  for (double& figure : per_call_ns) {
    const double start = seconds_now();
    for (int i = 0; i < calls_per_round; ++i) ::syscall(SYS_getppid);
    figure = (seconds_now() - start) * ns_per_second / calls_per_round;
  }
  std::sort(per_call_ns.begin(), per_call_ns.end());
  std::printf("{\"null_syscall_ns\": %.0f}\n", per_call_ns[rounds / 2]);
  return 0;
}
