// The floor cost of answering one datagram at a time on this machine: a bare
// one-thread server with the library's system calls per request (a receive
// that does not wait, then the reply; a wait only when nothing is pending),
// and nothing else. What the library costs beyond it is its own overhead;
// what chronyd saves against it comes from batching receives.
//
//   bare_server PORT        (runs until SIGTERM)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int packet_size = 48;
constexpr int originate_offset = 24;
constexpr int transmit_offset = 40;
constexpr int stamp_size = 8;
constexpr unsigned char version4_server_header = 0x24;
constexpr unsigned ntp_era_offset_seconds = 2208988800U;
constexpr int idle_wait_ms = 250;
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bare_server PORT\n");
    return 2;
  }
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bind");
    return 1;
  }
  unsigned char request[packet_size + 1];
  unsigned char reply[packet_size] = {version4_server_header};
  while (!g_stop) {
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    const ssize_t received = ::recvfrom(fd, request, sizeof request, MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&peer), &peer_size);
    if (received < 0 && errno == EAGAIN) {
      pollfd readable{fd, POLLIN, 0};
      ::poll(&readable, 1, idle_wait_ms);
      continue;
    }
    if (received != packet_size) continue;
    // Echoing the transmit as originate is all the load generator checks;
    // the clock is read anyway, as every real server must.
    std::memcpy(reply + originate_offset, request + transmit_offset, stamp_size);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::uint32_t seconds = htonl(static_cast<std::uint32_t>(now.tv_sec) + ntp_era_offset_seconds);
    std::memcpy(reply + transmit_offset, &seconds, sizeof seconds);
    ::sendto(fd, reply, packet_size, 0, reinterpret_cast<sockaddr*>(&peer), peer_size);
  }
  ::close(fd);
  return 0;
}
