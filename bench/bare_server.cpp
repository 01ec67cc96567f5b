// The floor cost of answering one datagram at a time on this machine: a bare
// one-thread server with the library's system calls per request (a receive
// that does not wait, then the reply; a wait only when nothing is pending),
// and nothing else. What the library costs beyond it is its own overhead;
// what chronyd saves against it comes from batching receives.
//
//   bare_server PORT        (runs until SIGTERM)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "loopback_server.h"
#include "ntp_packet.h"

namespace {
using quelmora::originate_offset;
using quelmora::packet_size;
using quelmora::seconds_1900_to_1970;
using quelmora::timestamp_size;
using quelmora::transmit_offset;
constexpr unsigned char version4_server_header = 0x24;
constexpr int idle_wait_ms = 250;
}  // namespace

int main(int argc, char** argv) {
  const int fd = open_loopback_server(argc, argv);
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
    std::memcpy(reply + originate_offset, request + transmit_offset, timestamp_size);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto ntp_seconds = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) +
                                                        seconds_1900_to_1970);
    const std::uint32_t seconds = htonl(ntp_seconds);
    std::memcpy(reply + transmit_offset, &seconds, sizeof seconds);
    ::sendto(fd, reply, packet_size, 0, reinterpret_cast<sockaddr*>(&peer), peer_size);
  }
  ::close(fd);
  return 0;
}
