// Decoding of a raw 48-byte SNTP reply, the way common SNTP clients read it.
// The library hands replies over undecoded; hosts decode them.
#ifndef QUELMORA_CLI_SNTP_DECODE_H
#define QUELMORA_CLI_SNTP_DECODE_H

#include <cstdint>
#include <string>

namespace sntp {

constexpr std::size_t packet_size = 48;

// A moment as nanoseconds since 1970-01-01 00:00:00 UTC.
using unix_ns = std::int64_t;

// An NTP timestamp (seconds since 1900 modulo 2^32, fraction of 2^-32 s)
// placed in the 136-year era nearest to `near`, so that times after the
// 2036 wrap decode correctly.
unix_ns to_unix_ns(std::uint32_t seconds, std::uint32_t fraction, unix_ns near);

struct on_wire {
  double offset_s;  // server clock minus ours
  double delay_s;   // round trip, less the server's own time
};

// RFC 5905's on-wire calculation from our send (t1) and receive (t4) times
// and the server's receive (t2) and transmit (t3) times.
on_wire calculate(unix_ns t1, unix_ns t2, unix_ns t3, unix_ns t4);

// The reference identifier as text: four printable ASCII characters (less
// trailing NULs), otherwise the dotted quad of an IPv4 address.
std::string reference_id_text(const unsigned char* id);

// ISO-8601 UTC with microseconds, e.g. "2026-12-08T19:13:01.302407Z".
std::string iso8601(unix_ns time);

struct reply {
  int leap;
  int version;
  int mode;
  int stratum;
  int poll;
  int precision;  // log2 seconds
  double root_delay_s;
  double root_dispersion_s;
  std::string reference_id;
  unix_ns reference_time;
  unix_ns originate_time;
  unix_ns receive_time;
  unix_ns transmit_time;
  bool transmit_is_zero;
};

reply decode(const unsigned char* packet, unix_ns near);

// Why a reply is not a valid server answer, or "" when it is one. The
// originate time must fall between our clock readings around the query.
std::string problem_with(const unsigned char* packet, const reply& decoded, unix_ns sent_after,
                         unix_ns received_before);

}  // namespace sntp

#endif  // QUELMORA_CLI_SNTP_DECODE_H
