#include "sntp_decode.h"

#include <cstdio>
#include <ctime>

namespace sntp {
namespace {

constexpr std::int64_t seconds_1900_to_1970 = 2208988800LL;
constexpr std::int64_t era_seconds = 1LL << 32;
constexpr std::int64_t nanoseconds_per_second = 1000000000LL;
constexpr double short_format_scale = 65536.0;   // 2^16, root delay and dispersion
constexpr unsigned char printable_low = 0x20;
constexpr unsigned char printable_high = 0x7E;

std::uint32_t be32(const unsigned char* place) {
  return static_cast<std::uint32_t>(place[0]) << 24 | static_cast<std::uint32_t>(place[1]) << 16 |
         static_cast<std::uint32_t>(place[2]) << 8 | static_cast<std::uint32_t>(place[3]);
}

unix_ns timestamp_at(const unsigned char* packet, std::size_t offset, unix_ns near) {
  return to_unix_ns(be32(packet + offset), be32(packet + offset + 4), near);
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

}  // namespace

unix_ns to_unix_ns(std::uint32_t seconds, std::uint32_t fraction, unix_ns near) {
  const std::int64_t near_ntp_seconds =
      floor_div(near, nanoseconds_per_second) + seconds_1900_to_1970;
  const std::int64_t near_era = floor_div(near_ntp_seconds, era_seconds);
  // Of the candidate eras around `near`, the one that lands closest.
  std::int64_t best = 0;
  std::int64_t best_distance = -1;
  for (std::int64_t era = near_era - 1; era <= near_era + 1; ++era) {
    const std::int64_t candidate = era * era_seconds + seconds;
    const std::int64_t distance =
        candidate > near_ntp_seconds ? candidate - near_ntp_seconds : near_ntp_seconds - candidate;
    if (best_distance < 0 || distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  const std::int64_t nanoseconds =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(fraction) * 1000000000ULL) >> 32);
  return (best - seconds_1900_to_1970) * nanoseconds_per_second + nanoseconds;
}

on_wire calculate(unix_ns t1, unix_ns t2, unix_ns t3, unix_ns t4) {
  const double outbound = static_cast<double>(t2 - t1);
  const double inbound = static_cast<double>(t3 - t4);
  const double total = static_cast<double>((t4 - t1) - (t3 - t2));
  return {(outbound + inbound) / 2 / nanoseconds_per_second, total / nanoseconds_per_second};
}

std::string reference_id_text(const unsigned char* id) {
  std::size_t length = 4;
  while (length > 0 && id[length - 1] == 0) --length;
  bool printable = length > 0;
  for (std::size_t i = 0; i < length; ++i) {
    printable = printable && id[i] >= printable_low && id[i] <= printable_high;
  }
  if (printable) return std::string(reinterpret_cast<const char*>(id), length);
  char quad[16];
  std::snprintf(quad, sizeof quad, "%u.%u.%u.%u", id[0], id[1], id[2], id[3]);
  return quad;
}

std::string iso8601(unix_ns time) {
  const std::time_t seconds = static_cast<std::time_t>(floor_div(time, nanoseconds_per_second));
  const long microseconds =
      static_cast<long>((time - static_cast<std::int64_t>(seconds) * nanoseconds_per_second) / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[48];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%06ldZ", microseconds);
  return text;
}

reply decode(const unsigned char* packet, unix_ns near) {
  reply decoded{};
  decoded.leap = packet[0] >> 6;
  decoded.version = (packet[0] >> 3) & 0x07;
  decoded.mode = packet[0] & 0x07;
  decoded.stratum = packet[1];
  decoded.poll = static_cast<signed char>(packet[2]);
  decoded.precision = static_cast<signed char>(packet[3]);
  decoded.root_delay_s = static_cast<std::int32_t>(be32(packet + 4)) / short_format_scale;
  decoded.root_dispersion_s = be32(packet + 8) / short_format_scale;
  decoded.reference_id = reference_id_text(packet + 12);
  decoded.reference_time = timestamp_at(packet, 16, near);
  decoded.originate_time = timestamp_at(packet, 24, near);
  decoded.receive_time = timestamp_at(packet, 32, near);
  decoded.transmit_time = timestamp_at(packet, 40, near);
  decoded.transmit_is_zero = be32(packet + 40) == 0 && be32(packet + 44) == 0;
  return decoded;
}

std::string problem_with(const unsigned char* packet, const reply& decoded, unix_ns sent_after,
                         unix_ns received_before) {
  if (decoded.mode != 4) return "not a server reply (mode " + std::to_string(decoded.mode) + ")";
  if (decoded.stratum == 0) {
    return "kiss-o'-death from the server: " + reference_id_text(packet + 12);
  }
  if (decoded.transmit_is_zero) return "zero transmit timestamp";
  // The library stamped the request between these two readings of our clock.
  constexpr unix_ns slack_ns = 1000;  // the stamp's 100-ns ticks and fraction rounding
  if (decoded.originate_time < sent_after - slack_ns ||
      decoded.originate_time > received_before + slack_ns) {
    return "originate timestamp is not what was sent";
  }
  return "";
}

}  // namespace sntp
