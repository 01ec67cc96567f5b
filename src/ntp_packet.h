// NTP timestamps and the 48-byte packet header (RFC 5905, the SNTP subset of
// RFC 4330). Fields are written at explicit offsets, big-endian, never by
// laying a struct over the bytes.
#ifndef QUELMORA_NTP_PACKET_H
#define QUELMORA_NTP_PACKET_H

#include <cstddef>
#include <cstdint>

namespace quelmora {

inline constexpr std::size_t packet_size = 48;

// Offsets into the packet header.
inline constexpr std::size_t mode_offset = 0;  // leap (2 bits), version (3), mode (3)
inline constexpr std::size_t reference_id_offset = 12;
inline constexpr std::size_t reference_offset = 16;
inline constexpr std::size_t originate_offset = 24;
inline constexpr std::size_t receive_offset = 32;
inline constexpr std::size_t transmit_offset = 40;
inline constexpr std::size_t timestamp_size = 8;

inline constexpr unsigned char mode_mask = 0x07;
inline constexpr unsigned char mode_client = 3;
inline constexpr unsigned char mode_server = 4;

// NTP counts seconds from 1900, the platforms from 1970.
inline constexpr std::uint64_t seconds_1900_to_1970 = 2208988800;

struct ntp_timestamp {
  std::uint32_t seconds;   // since 1900-01-01 00:00:00 UTC, modulo 2^32
  std::uint32_t fraction;  // of a second, in units of 2^-32 s
};

void put_be32(unsigned char* place, std::uint32_t value);
std::uint32_t get_be32(const unsigned char* place);

// Converts whole 100-ns ticks since 1970 into an NTP timestamp.
ntp_timestamp timestamp_from_ticks(std::uint64_t ticks_since_1970);
// One reading of the platform's UTC clock.
ntp_timestamp timestamp_now();
void put_timestamp(unsigned char* place, ntp_timestamp timestamp);

// A client request is a datagram of exactly 48 bytes in mode 3; nothing else
// in it is examined.
bool is_client_request(const unsigned char* datagram, std::size_t length);

// How old the reference time of a reply may be. A synchronised NTP server's
// reference time is its last clock update, at most its longest default poll
// interval (2^10 s, RFC 5905) ago; strict clients reject a server whose
// reference time is a day or more older than its transmit time, or later.
inline constexpr std::uint32_t reference_renewal_seconds = 1024;

// The reference time of a reply composed at `now`: `reference`, unless `now`
// is earlier than it or reference_renewal_seconds or more after it; then
// `now` itself. Holds across the 2036 era wrap.
ntp_timestamp renewed_reference(ntp_timestamp reference, ntp_timestamp now);

// Writes the server's reply to a 48-byte request into reply; reads the clock
// once, and renews the server's reference time by that reading.
void compose_reply(const unsigned char* request, ntp_timestamp& reference, unsigned char* reply);

// Writes a client request into the first 48 bytes of packet; reads the clock.
void compose_request(unsigned char* packet);

}  // namespace quelmora

#endif  // QUELMORA_NTP_PACKET_H
