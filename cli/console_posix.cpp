// The command's console on POSIX systems: signals, isatty, clock_gettime.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "console.h"

namespace console {
namespace {

constexpr sntp::unix_ns nanoseconds_per_second = 1000000000;

volatile sig_atomic_t g_stop_requested = 0;
void request_stop(int) { g_stop_requested = 1; }

bool output_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  return terminal;
}

}  // namespace

void catch_stop_requests() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() { return g_stop_requested != 0; }

void stopped_cleanly() {}

void show_status(const char* text) {
  if (output_is_terminal()) {
    std::printf("\r\033[K%s", text);  // back to the line's start, clear it
  } else {
    std::printf("%s\n", text);
  }
  std::fflush(stdout);
}

void end_status_lines() {
  if (output_is_terminal()) std::printf("\n");
}

sntp::unix_ns utc_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<sntp::unix_ns>(now.tv_sec) * nanoseconds_per_second + now.tv_nsec;
}

}  // namespace console
