// What the server does with each datagram, apart from the socket and thread
// that bring it: the part of the server that fuzzing and tests drive directly.
#ifndef QUELMORA_NTP_SERVER_H
#define QUELMORA_NTP_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ntp_packet.h"
#include "platform/platform.h"

namespace quelmora {

enum class datagram_fate {
  ignored,   // failed, empty or over-long: neither counted nor answered
  counted,   // 1 to 48 bytes but not a client request
  answered,  // a client request: counted, and its reply is composed
};

// Decides the fate of one receive; for a client request, composes the reply
// (reading the clock once, and renewing `reference` as compose_reply does)
// into `reply`.
datagram_fate take_datagram(const platform::receive_result& got, const unsigned char* request,
                            ntp_timestamp& reference, unsigned char* reply);

// One batch of datagrams and their replies, on the server thread's stack.
struct server_batch {
  unsigned char requests[platform::max_batch][packet_size] = {};
  unsigned char replies[platform::max_batch][packet_size] = {};
  platform::incoming_datagram incoming[platform::max_batch] = {};
  platform::outgoing_datagram outgoing[platform::max_batch] = {};

  server_batch();
};

struct round_outcome {
  std::size_t received;  // datagrams and failures the receive reported
  bool receive_failed;   // the socket reported an error: rest before the next
  bool stopping;         // a stop was seen: the thread ends
};

// One round of the server: takes up to `room` datagrams (at most max_batch)
// of what is pending on `sock` (first waiting, bounded, for a datagram when
// `wait` is set), counts and answers them, and sends the replies, each once
// from the address its request reached or, where the system refuses that
// source, once more from its own choice. Looks at `stop` after the receive
// and before each datagram.
round_outcome serve_round(platform::platform& os, platform::socket_handle sock,
                          const std::atomic<std::int32_t>& stop, server_batch& batch,
                          ntp_timestamp& reference, std::size_t room, bool wait);

}  // namespace quelmora

#endif  // QUELMORA_NTP_SERVER_H
