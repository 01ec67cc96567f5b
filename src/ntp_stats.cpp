// The statistics report: one line of JSON about the server.
#include <cstdio>

#include "ntp_module.h"
#include "quelmora_ntp.h"

namespace quelmora {
namespace {
constexpr std::size_t stats_capacity = 128;
char g_stats[stats_capacity] = {};
}  // namespace
}  // namespace quelmora

extern "C" const char* ntp_stats(void) {
  using namespace quelmora;
  // Replies first: each request is counted before its reply can be, so the
  // report never shows more replies than requests.
  const unsigned long long replies = g_replies.load(std::memory_order_acquire);
  const unsigned long long requests = g_requests.load(std::memory_order_acquire);
  (void)std::snprintf(g_stats, stats_capacity, "{\"running\":%d,\"port\":%d,\"requests\":%llu,\"replies\":%llu}",
                static_cast<int>(g_running.load()), static_cast<int>(g_port.load()), requests,
                replies);
  return g_stats;
}
