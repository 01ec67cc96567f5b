// The command-line host's reading of SNTP replies.
#include <cstring>

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

TEST(ReferenceId, TextWherePrintableElseDottedQuad) {
  const unsigned char picb[4] = {'P', 'I', 'C', 'B'};
  const unsigned char gps[4] = {'G', 'P', 'S', 0};
  const unsigned char address[4] = {192, 0, 2, 7};
  const unsigned char zero[4] = {0, 0, 0, 0};
  EXPECT_EQ(sntp::reference_id_text(picb), "PICB");
  EXPECT_EQ(sntp::reference_id_text(gps), "GPS");
  EXPECT_EQ(sntp::reference_id_text(address), "192.0.2.7");
  EXPECT_EQ(sntp::reference_id_text(zero), "0.0.0.0");
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

class ReplyChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(packet_, 0, sizeof packet_);
    packet_[0] = 0x24;
    packet_[1] = 2;
    std::memcpy(packet_ + 12, "PICB", 4);
    put_time(24, sent_);
    put_time(32, sent_ + 1000);
    put_time(40, sent_ + 2000);
  }
  void put_time(std::size_t offset, sntp::unix_ns time) {
    const std::uint64_t seconds = static_cast<std::uint64_t>(time / second) + 2208988800ULL;
    const std::uint64_t fraction = (static_cast<std::uint64_t>(time % second) << 32) / second + 1;
    for (std::size_t i = 0; i < 4; ++i) {
      packet_[offset + i] = static_cast<unsigned char>(seconds >> (24 - 8 * i));
      packet_[offset + 4 + i] = static_cast<unsigned char>(fraction >> (24 - 8 * i));
    }
  }
  std::string problem() {
    return sntp::problem_with(packet_, sntp::decode(packet_, sent_), sent_ - 5000, sent_ + 50000);
  }
  sntp::unix_ns sent_ = unix_2026_12_08 * second + 123456000;
  unsigned char packet_[48];
};

TEST_F(ReplyChecks, AValidServerAnswer) {
  EXPECT_EQ(problem(), "");
  const sntp::reply r = sntp::decode(packet_, sent_);
  EXPECT_EQ(r.version, 4);
  EXPECT_EQ(r.mode, 4);
  EXPECT_EQ(r.reference_id, "PICB");
}

TEST_F(ReplyChecks, RejectsWhatIsNotAServerAnswer) {
  packet_[0] = 0x23;
  EXPECT_EQ(problem(), "not a server reply (mode 3)");
  packet_[0] = 0x24;
  packet_[1] = 0;
  std::memcpy(packet_ + 12, "RATE", 4);
  EXPECT_EQ(problem(), "kiss-o'-death from the server: RATE");
  packet_[1] = 2;
  put_time(24, sent_ - second);
  EXPECT_EQ(problem(), "originate timestamp is not what was sent");
  put_time(24, sent_);
  std::memset(packet_ + 40, 0, 8);
  EXPECT_EQ(problem(), "zero transmit timestamp");
}

}  // namespace
