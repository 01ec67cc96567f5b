// The command's console on POSIX systems: signals, isatty, clock_gettime,
// getaddrinfo.
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "console.h"

namespace console {
namespace {

constexpr sntp::unix_ns nanoseconds_per_second = 1000000000;
// An IPv6 address with an interface name as its scope fits with room to spare.
constexpr std::size_t address_text_capacity = 128;

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

std::vector<std::string> numeric_addresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  std::vector<std::string> addresses;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    char text[address_text_capacity];
    if (getnameinfo(each->ai_addr, each->ai_addrlen, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace console
