// Decoding of a raw 48-byte SNTP reply, the way common SNTP clients read it.
// The library hands replies over undecoded; hosts decode them.
#ifndef QUELMORA_CLI_SNTP_DECODE_H
#define QUELMORA_CLI_SNTP_DECODE_H

#include <cstdint>
#include <optional>
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

// The reference identifier as its stratum means it: at stratum 0 (a kiss
// code) and 1 (a reference clock's name) ASCII text less trailing NULs, with
// "?" for a byte outside printable ASCII; from stratum 2 on the IPv4 address
// of the server's own server, as a dotted quad.
std::string reference_id_text(const unsigned char* id, int stratum);

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
  // A zero timestamp means "not known", never 2036-02-07T06:28:16Z.
  std::optional<unix_ns> reference_time;
  std::optional<unix_ns> originate_time;
  std::optional<unix_ns> receive_time;
  std::optional<unix_ns> transmit_time;
};

reply decode(const unsigned char* packet, unix_ns near);

// A server's refusal (stratum 0), its kiss code in reference_id.
bool is_kiss_of_death(const reply& decoded);

// Why a reply is not a server's answer with a time in it, or "" when it is
// one. The library itself refuses a reply whose originate timestamp is not
// the request's transmit timestamp.
std::string problem_with(const reply& decoded);

}  // namespace sntp

#endif  // QUELMORA_CLI_SNTP_DECODE_H
