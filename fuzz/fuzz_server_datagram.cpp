// Fuzzes what the server does with one datagram of any length and content:
// whether it is counted, whether it is answered, and the reply's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ntp_packet.h"
#include "ntp_server.h"

namespace {

constexpr unsigned char fixed_reply_bytes[16] = {0x24, 0x02, 0x06, 0xEC, 0, 0, 0, 0,
                                                 0,    0,    0,    0,    'P', 'I', 'C', 'B'};
constexpr quelmora::ntp_timestamp start_reference{0x01020304U, 0x05060708U};

void require(bool holds) {
  if (!holds) std::abort();
}

// What the platform reports for a datagram of this size: the server's
// receive buffer holds 48 bytes, and a longer datagram does not fit.
quelmora::platform::receive_result as_received(std::size_t size) {
  if (size > quelmora::packet_size) return {quelmora::platform::receive_status::too_long, 0};
  return {quelmora::platform::receive_status::received, size};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 2000) return 0;
  unsigned char request[quelmora::packet_size];
  std::memset(request, 0xA5, sizeof request);  // what an earlier datagram left behind
  if (size > 0) std::memcpy(request, data, size < sizeof request ? size : sizeof request);
  unsigned char reply[quelmora::packet_size];
  std::memset(reply, 0x5A, sizeof reply);

  quelmora::ntp_timestamp reference = start_reference;
  const quelmora::datagram_fate fate =
      quelmora::take_datagram(as_received(size), request, reference, reply);

  const bool counted = size >= 1 && size <= quelmora::packet_size;
  const bool answered = size == quelmora::packet_size && (data[0] & 0x07) == 3;
  require((fate != quelmora::datagram_fate::ignored) == counted);
  require((fate == quelmora::datagram_fate::answered) == answered);
  if (!answered) {
    for (unsigned char byte : reply) require(byte == 0x5A);  // nothing composed
    require(reference.seconds == start_reference.seconds);
    return 0;
  }
  require(std::memcmp(reply, fixed_reply_bytes, sizeof fixed_reply_bytes) == 0);
  require(quelmora::get_be32(reply + 16) == reference.seconds);
  require(quelmora::get_be32(reply + 20) == reference.fraction);
  // The reference time is never after the transmit time, nor too far before.
  const std::uint32_t age = quelmora::get_be32(reply + 40) - reference.seconds;
  require(age < quelmora::reference_renewal_seconds);
  require(std::memcmp(reply + 24, data + 40, 8) == 0);
  require(std::memcmp(reply + 32, reply + 40, 8) == 0);
  return 0;
}
