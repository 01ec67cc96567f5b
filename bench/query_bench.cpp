// The cost of one ntp_query against the library's own server on loopback,
// beside bare UDP exchanges of the same 48 bytes: on a socket connected once,
// and on a fresh socket per exchange (what ntp_query must do, minus name
// resolution and the library's own work).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include "quelmora_ntp.h"

namespace {

constexpr int first_port = 24100;
constexpr int ports_to_try = 100;
int g_port = 0;

sockaddr_in server_address() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(g_port));
  return address;
}

bool exchange(int fd) {
  unsigned char packet[48] = {0x23};
  if (::send(fd, packet, sizeof packet, 0) != 48) return false;
  return ::recv(fd, packet, sizeof packet, 0) == 48;
}

int connected_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = server_address();
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

void BM_ntp_query(benchmark::State& state) {
  unsigned char pkt[48];
  for (auto _ : state) {
    if (ntp_query("127.0.0.1", g_port, pkt, sizeof pkt) != 48) state.SkipWithError(ntp_last_error());
  }
}

void BM_bare_exchange_fresh_socket(benchmark::State& state) {
  for (auto _ : state) {
    const int fd = connected_socket();
    if (!exchange(fd)) state.SkipWithError("exchange failed");
    ::close(fd);
  }
}

void BM_bare_exchange_connected_socket(benchmark::State& state) {
  const int fd = connected_socket();
  for (auto _ : state) {
    if (!exchange(fd)) state.SkipWithError("exchange failed");
  }
  ::close(fd);
}

BENCHMARK(BM_ntp_query)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.5);
BENCHMARK(BM_bare_exchange_fresh_socket)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.5);
BENCHMARK(BM_bare_exchange_connected_socket)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  for (int port = first_port; port < first_port + ports_to_try && g_port == 0; ++port) {
    if (ntp_start(port) == 0) g_port = port;
  }
  if (g_port == 0) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ntp_stop();
  return 0;
}
