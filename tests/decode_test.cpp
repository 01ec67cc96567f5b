// The command-line host's reading of SNTP replies.
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sntp_decode.h"

namespace {

constexpr sntp::unix_ns second = 1000000000LL;
constexpr std::int64_t unix_2036_wrap = 2085978496LL;  // NTP seconds wrap to 0 here
constexpr std::int64_t unix_2026_12_08 = 1796688000LL;

TEST(EraChoice, PicksTheEraNearestTheLocalClock) {
  // 0x83AA7E80 NTP seconds is 1970-01-01 in era 0 and 2106-02-07 in era 1.
  EXPECT_EQ(sntp::to_unix_ns(0x83AA7E80U, 0, 0), 0);
  const sntp::unix_ns year_2100 = 4102444800LL * second;
  EXPECT_EQ(sntp::to_unix_ns(0x83AA7E80U, 0, year_2100), (1LL << 32) * second);
  // Just after the 2036 wrap, read from just before it, and the other way round.
  EXPECT_EQ(sntp::to_unix_ns(5, 0, (unix_2036_wrap - 10) * second), (unix_2036_wrap + 5) * second);
  EXPECT_EQ(sntp::to_unix_ns(0xFFFFFFF0U, 0, (unix_2036_wrap + 10) * second),
            (unix_2036_wrap - 16) * second);
  EXPECT_EQ(sntp::to_unix_ns(static_cast<std::uint32_t>(unix_2026_12_08 + 2208988800LL), 0x80000000U,
                             unix_2026_12_08 * second),
            unix_2026_12_08 * second + second / 2);
}

TEST(OnWire, OffsetAndDelayFromTheFourTimes) {
  // Server 1 s ahead; 10 ms each way; 2 ms inside the server.
  const sntp::unix_ns t1 = 100 * second;
  const sntp::unix_ns t2 = t1 + second + 10000000;
  const sntp::unix_ns t3 = t2 + 2000000;
  const sntp::unix_ns t4 = t3 - second + 10000000;
  const sntp::on_wire result = sntp::calculate(t1, t2, t3, t4);
  EXPECT_NEAR(result.offset_s, 1.0, 1e-9);
  EXPECT_NEAR(result.delay_s, 0.020, 1e-9);
}

TEST(Iso8601, MicrosecondsInUtc) {
  EXPECT_EQ(sntp::iso8601(unix_2026_12_08 * second + 302407123), "2026-12-08T00:00:00.302407Z");
  EXPECT_EQ(sntp::iso8601(unix_2036_wrap * second), "2036-02-07T06:28:16.000000Z");
  // Leap days and centuries, and a moment before 1970.
  EXPECT_EQ(sntp::iso8601(951782400LL * second), "2000-02-29T00:00:00.000000Z");
  EXPECT_EQ(sntp::iso8601(4107542399LL * second), "2100-02-28T23:59:59.000000Z");
  EXPECT_EQ(sntp::iso8601(4107542400LL * second), "2100-03-01T00:00:00.000000Z");
  EXPECT_EQ(sntp::iso8601(-1 * second + 500000000), "1969-12-31T23:59:59.500000Z");
}

// One line of tests/vectors/replies.txt: its name and its key=value fields.
struct vector_case {
  std::string name;
  std::map<std::string, std::string> fields;
  const std::string& operator[](const std::string& key) const { return fields.at(key); }
};

std::vector<vector_case> read_vectors(const char* path) {
  std::ifstream file(path);
  EXPECT_TRUE(file) << path;
  std::vector<vector_case> cases;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    vector_case read;
    const std::size_t reason_at = line.find(" reason=");
    if (reason_at != std::string::npos) {
      read.fields["reason"] = line.substr(reason_at + std::strlen(" reason="));
      line.erase(reason_at);
    }
    std::istringstream words(line);
    words >> read.name;
    for (std::string word; words >> word;) {
      const std::size_t equals = word.find('=');
      read.fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    cases.push_back(read);
  }
  return cases;
}

std::vector<unsigned char> from_hex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string time_field(const std::optional<sntp::unix_ns>& time) {
  return time ? std::to_string(*time) : "-";
}

TEST(SharedVectors, EveryReplyDecodesAndIsCheckedAsListed) {
  const std::vector<vector_case> cases = read_vectors(QUELMORA_NTP_REPLY_VECTORS);
  ASSERT_GE(cases.size(), 10U);
  for (const vector_case& expected : cases) {
    SCOPED_TRACE(expected.name);
    const std::vector<unsigned char> packet = from_hex(expected["packet"]);
    ASSERT_EQ(packet.size(), sntp::packet_size);
    const sntp::unix_ns received = std::stoll(expected["received"]);
    const sntp::reply r = sntp::decode(packet.data(), received);
    if (expected["valid"] == "no") {
      EXPECT_EQ(sntp::problem_with(r), expected["reason"]);
      EXPECT_EQ(sntp::is_kiss_of_death(r), expected.fields.count("kiss") == 1);
      if (sntp::is_kiss_of_death(r)) {
        EXPECT_EQ(r.reference_id, expected["kiss"]);
      }
      continue;
    }
    EXPECT_EQ(sntp::problem_with(r), "");
    EXPECT_EQ(std::to_string(r.leap), expected["leap"]);
    EXPECT_EQ(std::to_string(r.version), expected["version"]);
    EXPECT_EQ(std::to_string(r.mode), expected["mode"]);
    EXPECT_EQ(std::to_string(r.stratum), expected["stratum"]);
    EXPECT_EQ(std::to_string(r.poll), expected["poll"]);
    EXPECT_EQ(std::to_string(r.precision), expected["precision"]);
    EXPECT_EQ(r.root_delay_s, std::stod(expected["root_delay"]));
    EXPECT_EQ(r.root_dispersion_s, std::stod(expected["root_dispersion"]));
    EXPECT_EQ(r.reference_id, expected["refid"]);
    EXPECT_EQ(time_field(r.reference_time), expected["reference"]);
    EXPECT_EQ(time_field(r.originate_time), expected["originate"]);
    EXPECT_EQ(time_field(r.receive_time), expected["receive"]);
    EXPECT_EQ(time_field(r.transmit_time), expected["transmit"]);
    const sntp::on_wire wire =
        sntp::calculate(*r.originate_time, *r.receive_time, *r.transmit_time, received);
    EXPECT_NEAR(wire.offset_s, std::stod(expected["offset"]), 1e-9);
    EXPECT_NEAR(wire.delay_s, std::stod(expected["delay"]), 1e-9);
  }
}

}  // namespace
