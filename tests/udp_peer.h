// Test helpers: a UDP socket on loopback that plays client or server.
#ifndef QUELMORA_TESTS_UDP_PEER_H
#define QUELMORA_TESTS_UDP_PEER_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <vector>

namespace test {

#ifdef _WIN32
using native_socket = SOCKET;
using address_length = int;
using io_length = int;
inline void close_native(native_socket s) { ::closesocket(s); }
// The test process uses sockets before the library has started Winsock.
inline bool start_winsock() {
  static const bool started = [] {
    WSADATA details;
    return ::WSAStartup(0x0202, &details) == 0;
  }();
  return started;
}
inline bool readable_within(native_socket s, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return ::select(0, &readable, nullptr, nullptr, &timeout) > 0;
}
#else
using native_socket = int;
using address_length = socklen_t;
using io_length = std::size_t;
inline void close_native(native_socket s) { ::close(s); }
inline bool start_winsock() { return true; }
inline bool readable_within(native_socket s, int timeout_ms) {
  pollfd watched{s, POLLIN, 0};
  return ::poll(&watched, 1, timeout_ms) > 0;
}
#endif

using bytes = std::vector<unsigned char>;

// 127.0.0.1 by default; any other address of 127.0.0.0/8 reaches this host too.
inline sockaddr_in loopback(std::uint16_t port, std::uint32_t host_order_address = INADDR_LOOPBACK) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host_order_address);
  address.sin_port = htons(port);
  return address;
}

class udp_peer {
 public:
  // Binds 127.0.0.1 on the given port (0: any free one).
  // Binds exclusively, as a socket of another program would.
  explicit udp_peer(std::uint16_t port = 0)
      : fd_(start_winsock() ? ::socket(AF_INET, SOCK_DGRAM, 0) : native_socket{}) {
#ifdef _WIN32
    int exclusive = 1;  // else Windows lets a socket with SO_REUSEADDR take the port
    ::setsockopt(fd_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive);
#endif
    sockaddr_in address = loopback(port);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~udp_peer() { close_native(fd_); }
  udp_peer(const udp_peer&) = delete;
  udp_peer& operator=(const udp_peer&) = delete;

  bool bound() const { return bound_; }

  std::uint16_t port() const {
    sockaddr_in address{};
    address_length length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  void send_to(std::uint16_t port, const bytes& data,
               std::uint32_t host_order_address = INADDR_LOOPBACK) const {
    sockaddr_in address = loopback(port, host_order_address);
    ::sendto(fd_, reinterpret_cast<const char*>(data.data()), static_cast<io_length>(data.size()), 0,
             reinterpret_cast<sockaddr*>(&address), sizeof address);
  }

  // One datagram within the time-out, or false. Records who sent it.
  bool receive(bytes& data, int timeout_ms, sockaddr_in* sender = nullptr) const {
    if (!readable_within(fd_, timeout_ms)) return false;
    char buffer[2048];
    sockaddr_in from{};
    address_length length = sizeof from;
    const auto got = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                &length);
    if (got < 0) return false;
    data.assign(buffer, buffer + got);  // chars to bytes
    if (sender != nullptr) *sender = from;
    return true;
  }

  void reply_to(const sockaddr_in& peer, const bytes& data) const {
    ::sendto(fd_, reinterpret_cast<const char*>(data.data()), static_cast<io_length>(data.size()), 0,
             reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  }

 private:
  native_socket fd_;
  bool bound_ = false;
};

// A port that was free a moment ago.
inline std::uint16_t free_port() {
  udp_peer probe;
  return probe.port();
}

inline bytes client_request(unsigned char first_byte, std::size_t length = 48) {
  bytes request(length, 0);
  if (length > 0) request[0] = first_byte;
  for (std::size_t i = 40; i < 48 && i < length; ++i) request[i] = static_cast<unsigned char>(0xA0 + i);
  return request;
}

inline std::uint32_t be32(const bytes& data, std::size_t offset) {
  return static_cast<std::uint32_t>(data[offset]) << 24 |
         static_cast<std::uint32_t>(data[offset + 1]) << 16 |
         static_cast<std::uint32_t>(data[offset + 2]) << 8 | data[offset + 3];
}

}  // namespace test

#endif  // QUELMORA_TESTS_UDP_PEER_H
