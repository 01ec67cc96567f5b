// Module-wide state shared by the server, the statistics report and the
// query client, and the helpers every exported function uses to fail.
#ifndef QUELMORA_NTP_MODULE_H
#define QUELMORA_NTP_MODULE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quelmora {

// Results shared by the exported functions.
inline constexpr int result_ok = 0;
inline constexpr int result_failed = -1;
inline constexpr int result_wrong_state = -7;

inline constexpr std::size_t last_error_capacity = 256;

// 1 while the time server runs; written only by ntp_start and ntp_stop.
extern std::atomic<std::int32_t> g_running;
// The port of the last start that got past binding; never reset by a stop.
extern std::atomic<std::int32_t> g_port;
// Datagrams of 1 to 48 bytes received, and replies sent in full, since the
// last start. Wrap at 2^32.
extern std::atomic<std::uint32_t> g_requests;
extern std::atomic<std::uint32_t> g_replies;
// 1 once the socket layer has been started in this process; never reset.
extern std::atomic<std::int32_t> g_wsa;
extern char g_last_error[last_error_capacity];

// Every path that returns result_failed calls this exactly once.
void set_last_error(const char* message);

// Starts the socket layer unless an earlier call already did. On failure the
// caller reports "WSAStartup failed"; the next call tries again.
bool ensure_socket_layer();

}  // namespace quelmora

#endif  // QUELMORA_NTP_MODULE_H
