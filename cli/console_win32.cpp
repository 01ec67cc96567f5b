// The command's console on Windows: console control events, console modes,
// the precise system time and getaddrinfo.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace console {
namespace {

// FILETIME counts 100-ns ticks since 1601-01-01; this many lie before 1970.
constexpr std::int64_t ticks_1601_to_1970 = 116444736000000000LL;
constexpr std::int64_t nanoseconds_per_tick = 100;
// Windows ends a process this long after it was told its console closes;
// the handler gives the command a little less to stop and print its summary.
constexpr DWORD close_grace_ms = 4000;
// An IPv6 address with a scope fits with room to spare.
constexpr DWORD address_text_capacity = 128;
constexpr WORD winsock_version = MAKEWORD(2, 2);

std::atomic<bool> g_stop_requested{false};
HANDLE g_stopped = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  g_stop_requested = true;
  // Ctrl-C and Ctrl-Break return at once and the command stops in its own
  // time; for the other events the process ends when this handler returns.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && g_stopped != nullptr) {
    WaitForSingleObject(g_stopped, close_grace_ms);
  }
  return TRUE;
}

enum class output_kind { unknown, file_or_pipe, console_with_escapes, plain_console };

// A console that understands escape sequences clears the line with them;
// an older one gets the line padded over the previous one.
output_kind output() {
  static output_kind kind = output_kind::unknown;
  if (kind == output_kind::unknown) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) == 0) {
      kind = output_kind::file_or_pipe;
    } else if (SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
      kind = output_kind::console_with_escapes;
    } else {
      kind = output_kind::plain_console;
    }
  }
  return kind;
}

}  // namespace

void catch_stop_requests() {
  g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() { return g_stop_requested; }

void stopped_cleanly() {
  std::fflush(stdout);
  if (g_stopped != nullptr) SetEvent(g_stopped);
}

void show_status(const char* text) {
  static int previous_length = 0;
  const int length = static_cast<int>(std::strlen(text));
  switch (output()) {
    case output_kind::console_with_escapes: std::printf("\r\033[K%s", text); break;
    case output_kind::plain_console:
      std::printf("\r%s%*s", text, previous_length > length ? previous_length - length : 0, "");
      break;
    default: std::printf("%s\n", text); break;
  }
  previous_length = length;
  std::fflush(stdout);
}

void end_status_lines() {
  if (output() != output_kind::file_or_pipe) std::printf("\n");
}

sntp::unix_ns utc_now_ns() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t ticks_since_1601 =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(now.dwHighDateTime) << 32 |
                                now.dwLowDateTime);
  return (ticks_since_1601 - ticks_1601_to_1970) * nanoseconds_per_tick;
}

std::vector<std::string> numeric_addresses(const std::string& host) {
  std::vector<std::string> addresses;
  // Winsock stays started for the process's life, as the library's does.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(winsock_version, &data) == 0;
  }();
  if (!started) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    char text[address_text_capacity];
    if (getnameinfo(each->ai_addr, static_cast<socklen_t>(each->ai_addrlen), text, sizeof text,
                    nullptr, 0, NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace console
