#include "sntp_decode.h"

#include <cstdio>

namespace sntp {
namespace {

constexpr std::int64_t seconds_1900_to_1970 = 2208988800LL;
constexpr std::int64_t era_seconds = 1LL << 32;
constexpr std::int64_t nanoseconds_per_second = 1000000000LL;
constexpr std::int64_t seconds_per_day = 86400;
constexpr double short_format_scale = 65536.0;   // 2^16, root delay and dispersion
constexpr unsigned char printable_low = 0x20;
constexpr unsigned char printable_high = 0x7E;
constexpr int server_mode = 4;
constexpr int broadcast_mode = 5;
constexpr int kiss_stratum = 0;
constexpr int primary_stratum = 1;

std::uint32_t be32(const unsigned char* place) {
  return static_cast<std::uint32_t>(place[0]) << 24 | static_cast<std::uint32_t>(place[1]) << 16 |
         static_cast<std::uint32_t>(place[2]) << 8 | static_cast<std::uint32_t>(place[3]);
}

std::optional<unix_ns> timestamp_at(const unsigned char* packet, std::size_t offset, unix_ns near) {
  const std::uint32_t seconds = be32(packet + offset);
  const std::uint32_t fraction = be32(packet + offset + 4);
  if (seconds == 0 && fraction == 0) return std::nullopt;
  return to_unix_ns(seconds, fraction, near);
}

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) {
  const std::int64_t quotient = value / divisor;
  return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

struct civil_date {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// The proleptic Gregorian date of a day counted from 1970-01-01, by plain
// arithmetic (H. Hinnant's civil_from_days): no C library time functions,
// which differ between platforms and stop at 2038 on some.
civil_date civil_from_days(std::int64_t days) {
  constexpr std::int64_t days_0000_03_01_to_1970 = 719468;
  constexpr std::int64_t days_per_era = 146097;  // 400 Gregorian years
  days += days_0000_03_01_to_1970;
  const std::int64_t era = floor_div(days, days_per_era);
  const std::int64_t day_of_era = days - era * days_per_era;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
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

std::string reference_id_text(const unsigned char* id, int stratum) {
  if (stratum <= primary_stratum) {
    std::size_t length = 4;
    while (length > 0 && id[length - 1] == 0) --length;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      const bool printable = id[i] >= printable_low && id[i] <= printable_high;
      text += printable ? static_cast<char>(id[i]) : '?';
    }
    return text;
  }
  char quad[16];
  std::snprintf(quad, sizeof quad, "%u.%u.%u.%u", id[0], id[1], id[2], id[3]);
  return quad;
}

std::string iso8601(unix_ns time) {
  const std::int64_t seconds = floor_div(time, nanoseconds_per_second);
  const std::int64_t microseconds = (time - seconds * nanoseconds_per_second) / 1000;
  const std::int64_t days = floor_div(seconds, seconds_per_day);
  const std::int64_t second_of_day = seconds - days * seconds_per_day;
  const civil_date date = civil_from_days(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%06lldZ",
                static_cast<long long>(date.year), date.month, date.day,
                static_cast<long long>(second_of_day / 3600),
                static_cast<long long>(second_of_day / 60 % 60),
                static_cast<long long>(second_of_day % 60), static_cast<long long>(microseconds));
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
  decoded.reference_id = reference_id_text(packet + 12, decoded.stratum);
  decoded.reference_time = timestamp_at(packet, 16, near);
  decoded.originate_time = timestamp_at(packet, 24, near);
  decoded.receive_time = timestamp_at(packet, 32, near);
  decoded.transmit_time = timestamp_at(packet, 40, near);
  return decoded;
}

namespace {

bool from_a_server(const reply& decoded) {
  return decoded.mode == server_mode || decoded.mode == broadcast_mode;
}

}  // namespace

bool is_kiss_of_death(const reply& decoded) {
  return from_a_server(decoded) && decoded.stratum == kiss_stratum;
}

std::string problem_with(const reply& decoded) {
  if (!from_a_server(decoded)) return "not a server reply (mode " + std::to_string(decoded.mode) + ")";
  if (is_kiss_of_death(decoded)) return "kiss-o'-death from the server: " + decoded.reference_id;
  if (!decoded.transmit_time) return "zero transmit timestamp";
  if (!decoded.originate_time) return "zero originate timestamp";
  if (!decoded.receive_time) return "zero receive timestamp";
  return "";
}

}  // namespace sntp
