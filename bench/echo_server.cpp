// The ceiling for a one-thread UDP server on loopback: a bare echo that
// receives and sends in batches (recvmmsg/sendmmsg). It answers nothing
// itself; the load generator matches the echoed request.
//
//   echo_server PORT        (runs until SIGTERM)
#include <sys/socket.h>
#include <unistd.h>

#include "loopback_server.h"

namespace {
constexpr int batch = 64;
constexpr int datagram_capacity = 64;
}  // namespace

int main(int argc, char** argv) {
  const int fd = open_loopback_server(argc, argv);
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
