// Timestamps and packet composition. All multi-byte fields are big-endian.
#include "ntp_packet.h"

#include <cstring>

#include "platform/platform.h"

namespace quelmora {
namespace {

constexpr std::uint64_t ticks_per_second = 10000000;  // 100-ns ticks
// 2^32 - 1, not 2^32: half a second is 0x7FFFFFFF and the largest fraction
// 0xFFFFFE51. The difference from an exact scale is below a nanosecond.
constexpr std::uint64_t fraction_multiplier = 4294967295;

// The fixed bytes of each packet; everything not set here starts as zero.
// Reply: leap 0, version 4, mode 4; stratum 2; poll 2^6 s; precision 2^-20 s;
// reference identifier "PICB". It says version 4 whatever the request said.
constexpr unsigned char reply_template[packet_size] = {
    0x24, 0x02, 0x06, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 'P', 'I', 'C', 'B'};
// Request: leap 0, version 4, mode 3.
constexpr unsigned char request_template[packet_size] = {0x23};

}  // namespace

void put_be32(unsigned char* place, std::uint32_t value) {
  place[0] = static_cast<unsigned char>(value >> 24);
  place[1] = static_cast<unsigned char>(value >> 16);
  place[2] = static_cast<unsigned char>(value >> 8);
  place[3] = static_cast<unsigned char>(value);
}

std::uint32_t get_be32(const unsigned char* place) {
  return static_cast<std::uint32_t>(place[0]) << 24 | static_cast<std::uint32_t>(place[1]) << 16 |
         static_cast<std::uint32_t>(place[2]) << 8 | static_cast<std::uint32_t>(place[3]);
}

ntp_timestamp timestamp_from_ticks(std::uint64_t ticks_since_1970) {
  const std::uint64_t unix_seconds = ticks_since_1970 / ticks_per_second;
  const std::uint64_t remainder = ticks_since_1970 % ticks_per_second;
  // The cast keeps the low 32 bits: the seconds wrap into the next NTP era in 2036.
  return {static_cast<std::uint32_t>(unix_seconds + seconds_1900_to_1970),
          static_cast<std::uint32_t>(remainder * fraction_multiplier / ticks_per_second)};
}

ntp_timestamp timestamp_now() {
  return timestamp_from_ticks(platform::current().utc_ticks_since_1970());
}

void put_timestamp(unsigned char* place, ntp_timestamp timestamp) {
  put_be32(place, timestamp.seconds);
  put_be32(place + 4, timestamp.fraction);
}

bool is_client_request(const unsigned char* datagram, std::size_t length) {
  return length == packet_size && (datagram[mode_offset] & mode_mask) == mode_client;
}

ntp_timestamp renewed_reference(ntp_timestamp reference, ntp_timestamp now) {
  const auto fixed_point = [](ntp_timestamp t) {
    return static_cast<std::uint64_t>(t.seconds) << 32 | t.fraction;
  };
  // Taken modulo 2^64, the difference keeps its sign across the era wrap.
  const auto age = static_cast<std::int64_t>(fixed_point(now) - fixed_point(reference));
  const std::int64_t oldest = static_cast<std::int64_t>(reference_renewal_seconds) << 32;
  return age < 0 || age >= oldest ? now : reference;
}

void compose_reply(const unsigned char* request, ntp_timestamp& reference, unsigned char* reply) {
  const ntp_timestamp now = timestamp_now();
  reference = renewed_reference(reference, now);
  std::memcpy(reply, reply_template, packet_size);
  put_timestamp(reply + reference_offset, reference);
  // The client matches its reply by these bytes: echo them, never re-encode.
  std::memcpy(reply + originate_offset, request + transmit_offset, timestamp_size);
  put_timestamp(reply + receive_offset, now);
  put_timestamp(reply + transmit_offset, now);
}

void compose_request(unsigned char* packet) {
  std::memcpy(packet, request_template, packet_size);
  put_timestamp(packet + transmit_offset, timestamp_now());
}

}  // namespace quelmora
