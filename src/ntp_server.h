// What the server does with each datagram, apart from the socket and thread
// that bring it: the part of the server that fuzzing and tests drive directly.
#ifndef QUELMORA_NTP_SERVER_H
#define QUELMORA_NTP_SERVER_H

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

}  // namespace quelmora

#endif  // QUELMORA_NTP_SERVER_H
