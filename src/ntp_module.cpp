// The library frame: module state, the last-error text, the version and the
// one-time start of the socket layer.
#include "ntp_module.h"

#include <cstring>

#include "platform/platform.h"
#include "quelmora_ntp.h"

namespace quelmora {

std::atomic<std::int32_t> g_running{0};
std::atomic<std::int32_t> g_port{0};
std::atomic<std::uint32_t> g_requests{0};
std::atomic<std::uint32_t> g_replies{0};
std::atomic<std::int32_t> g_wsa{0};
char g_last_error[last_error_capacity] = {};

namespace {
// The build hands in the project version, so the text cannot drift from it.
constexpr char version_text[] = QUELMORA_NTP_VERSION;

// The socket layer is started at most once successfully and never shut
// down: the host may use it too, long after our last call.
int winsock_init() {
  if (!platform::current().start_socket_layer()) return result_failed;
  g_wsa.store(1, std::memory_order_release);
  return result_ok;
}
}  // namespace

void set_last_error(const char* message) {
  std::strncpy(g_last_error, message, last_error_capacity - 1);
  g_last_error[last_error_capacity - 1] = '\0';
}

bool ensure_socket_layer() {
  if (g_wsa.load(std::memory_order_acquire) != 0) return true;
  return winsock_init() == result_ok;
}

}  // namespace quelmora

extern "C" {

const char* ntp_version(void) { return quelmora::version_text; }

const char* ntp_last_error(void) { return quelmora::g_last_error; }

}  // extern "C"
