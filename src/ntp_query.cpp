// The query client: one SNTP exchange with a named server.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ntp_module.h"
#include "ntp_packet.h"
#include "platform/platform.h"
#include "quelmora_ntp.h"

namespace quelmora {
namespace {

constexpr int lowest_port = 1;
constexpr int highest_port = 65535;
constexpr int reply_timeout_ms = 5000;
constexpr std::size_t port_text_capacity = 16;

constexpr const char* no_reply = "no reply within 5s (timeout or short packet)";

// Every checking client matches the reply's originate timestamp with the
// transmit timestamp it sent: anything else answers another request, or
// comes from a sender that guessed the port.
bool answers_request(const unsigned char* reply, const unsigned char* request) {
  return std::memcmp(reply + originate_offset, request + transmit_offset, timestamp_size) == 0;
}

// Waits for the reply to the request in pkt, within one deadline however
// often a signal cuts a wait short, passing over replies to other requests.
// The reply lands in pkt only once it is the one; a datagram that is not 48
// bytes long, or a refusal, ends the wait at once.
const char* await_reply(platform::platform& os, platform::socket_handle sock, unsigned char* pkt) {
  unsigned char reply[packet_size];
  const std::uint64_t deadline = os.monotonic_milliseconds() + reply_timeout_ms;
  for (;;) {
    const std::uint64_t now = os.monotonic_milliseconds();
    if (now >= deadline) return no_reply;
    const platform::receive_result got =
        os.receive_within(sock, reply, packet_size, static_cast<int>(deadline - now));
    if (got.status == platform::receive_status::nothing_pending) continue;
    if (got.status != platform::receive_status::received || got.length != packet_size) {
      return no_reply;
    }
    if (answers_request(reply, pkt)) {
      std::memcpy(pkt, reply, packet_size);
      return nullptr;
    }
  }
}

// Connects a socket to the first resolved address and makes the exchange.
// Returns the message of the failure, or null on success.
const char* exchange(platform::platform& os, const platform::address_list* addresses,
                     unsigned char* pkt) {
  const platform::endpoint first = os.first_address(addresses);
  const platform::socket_handle sock = os.open_datagram_socket(first.native_family);
  if (sock == platform::invalid_socket) return "socket() failed";
  const char* failure = nullptr;
  if (!os.connect_to(sock, first)) {
    failure = "connect failed";
  } else {
    compose_request(pkt);
    if (os.send(sock, pkt, packet_size) != static_cast<long>(packet_size)) {
      failure = "send failed";
    } else {
      failure = await_reply(os, sock, pkt);
    }
  }
  os.close_socket(sock);
  return failure;
}

}  // namespace
}  // namespace quelmora

extern "C" int ntp_query(const char* host, int port, unsigned char* pkt, int pkt_len) {
  using namespace quelmora;
  if (host == nullptr || host[0] == '\0' || pkt == nullptr || pkt_len < static_cast<int>(packet_size)) {
    set_last_error("bad params (need host, pkt buffer >= 48)");
    return result_failed;
  }
  if (port < lowest_port || port > highest_port) {
    set_last_error("bad port");
    return result_failed;
  }
  if (!ensure_socket_layer()) {
    set_last_error("WSAStartup failed");
    return result_failed;
  }
  char service[port_text_capacity];
  (void)std::snprintf(service, sizeof service, "%d", port);  // at most 5 digits
  platform::platform& os = platform::current();
  platform::address_list* addresses = os.resolve_datagram(host, service);
  if (addresses == nullptr) {
    set_last_error("host resolve failed");
    return result_failed;
  }
  const char* failure = exchange(os, addresses, pkt);
  os.release_addresses(addresses);
  if (failure != nullptr) {
    set_last_error(failure);
    return result_failed;
  }
  return static_cast<int>(packet_size);
}
