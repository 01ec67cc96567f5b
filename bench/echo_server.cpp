// The ceiling for a one-thread UDP server on loopback: a bare echo that
// receives and sends in batches (recvmmsg/sendmmsg). It answers nothing
// itself; the load generator matches the echoed request.
//
//   echo_server PORT        (runs until SIGTERM)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int batch = 64;
constexpr int datagram_capacity = 64;
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: echo_server PORT\n");
    return 2;
  }
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);  // no SA_RESTART: the receive returns
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
  static char buffers[batch][datagram_capacity];
  static sockaddr_in peers[batch];
  static iovec vectors[batch];
  static mmsghdr messages[batch];
  while (!g_stop) {
    for (int i = 0; i < batch; ++i) {
      vectors[i] = {buffers[i], datagram_capacity};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &peers[i];
      messages[i].msg_hdr.msg_namelen = sizeof peers[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int received = ::recvmmsg(fd, messages, batch, MSG_WAITFORONE, nullptr);
    if (received <= 0) continue;
    for (int i = 0; i < received; ++i) vectors[i].iov_len = messages[i].msg_len;
    ::sendmmsg(fd, messages, static_cast<unsigned>(received), 0);
  }
  ::close(fd);
  return 0;
}
