// Timestamps and packet bytes, at exact clock values from a test clock.
#include <cstring>

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "ntp_packet.h"

namespace {

using quelmora::ntp_timestamp;
using quelmora::timestamp_from_ticks;

constexpr std::uint64_t ticks_per_second = 10000000;
constexpr std::uint64_t unix_2036_wrap = 2085978496;  // 2036-02-07 06:28:16 UTC

TEST(Timestamps, ConvertAtTheEpochsAndTheEraWrap) {
  EXPECT_EQ(timestamp_from_ticks(0).seconds, 0x83AA7E80U);
  EXPECT_EQ(timestamp_from_ticks(0).fraction, 0U);
  const ntp_timestamp wrap = timestamp_from_ticks(unix_2036_wrap * ticks_per_second);
  EXPECT_EQ(wrap.seconds, 0U);
  EXPECT_EQ(wrap.fraction, 0U);
  EXPECT_EQ(timestamp_from_ticks((unix_2036_wrap + 1) * ticks_per_second).seconds, 1U);
  EXPECT_EQ(timestamp_from_ticks((unix_2036_wrap - 1) * ticks_per_second).seconds, 0xFFFFFFFFU);
}

TEST(Timestamps, ScaleTheFractionBy2To32Minus1) {
  EXPECT_EQ(timestamp_from_ticks(1).fraction, 429U);
  EXPECT_EQ(timestamp_from_ticks(5000000).fraction, 0x7FFFFFFFU);
  EXPECT_EQ(timestamp_from_ticks(9999999).fraction, 0xFFFFFE51U);
  EXPECT_EQ(timestamp_from_ticks(3 * ticks_per_second + 5000000).seconds, 0x83AA7E83U);
}

TEST(Timestamps, BigEndianHelpersRoundTrip) {
  unsigned char place[4];
  quelmora::put_be32(place, 0x01020304U);
  EXPECT_EQ(place[0], 1);
  EXPECT_EQ(place[3], 4);
  EXPECT_EQ(quelmora::get_be32(place), 0x01020304U);
}

class Composition : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_.fixed_clock = true;
    clock_.clock_ticks = 5000000;  // 1970-01-01 00:00:00.5
  }
  test::fault_platform clock_;
};

TEST_F(Composition, ReplyBytesExactly) {
  unsigned char request[48];
  std::memset(request, 0x99, sizeof request);
  for (int i = 0; i < 8; ++i) request[40 + i] = static_cast<unsigned char>(0xF0 + i);
  unsigned char reply[48];
  ntp_timestamp reference{0x83AA7D80U, 0x05060708U};  // 256 s before the clock: kept
  quelmora::compose_reply(request, reference, reply);
  const unsigned char expected[48] = {
      0x24, 0x02, 0x06, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 'P', 'I', 'C', 'B',
      0x83, 0xAA, 0x7D, 0x80, 0x05, 0x06, 0x07, 0x08,  // reference: as given
      0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,  // originate: request's transmit
      0x83, 0xAA, 0x7E, 0x80, 0x7F, 0xFF, 0xFF, 0xFF,  // receive: the clock
      0x83, 0xAA, 0x7E, 0x80, 0x7F, 0xFF, 0xFF, 0xFF};  // transmit: the same reading
  EXPECT_EQ(0, std::memcmp(reply, expected, sizeof expected));
}

// Strict clients reject a reference time after the transmit time, or a day
// or more before it: it is renewed to the reply's own reading when it is.
TEST(ReferenceTime, RenewedWhenTheClockIsEarlierOr1024SecondsOrMoreLater) {
  const auto renewed = [](ntp_timestamp reference, ntp_timestamp now) {
    const ntp_timestamp result = quelmora::renewed_reference(reference, now);
    EXPECT_TRUE((result.seconds == now.seconds && result.fraction == now.fraction) ||
                (result.seconds == reference.seconds && result.fraction == reference.fraction));
    return result.seconds != reference.seconds || result.fraction != reference.fraction;
  };
  const ntp_timestamp start{1000, 0x80000000U};
  EXPECT_FALSE(renewed(start, {1000, 0x80000001U}));
  EXPECT_FALSE(renewed(start, {2024, 0x7FFFFFFFU}));  // 2^-32 s short of 1024 s
  EXPECT_TRUE(renewed(start, {2024, 0x80000000U}));
  EXPECT_TRUE(renewed(start, {1000, 0x7FFFFFFFU}));  // the clock stepped back a little
  EXPECT_TRUE(renewed(start, {2000000, 0}));
  // Across the 2036 era wrap, where the seconds start again from 0.
  const ntp_timestamp before_wrap{0xFFFFFF00U, 0};
  EXPECT_FALSE(renewed(before_wrap, {0x100, 0}));  // 512 s later
  EXPECT_TRUE(renewed(before_wrap, {0x300, 0}));   // 1024 s later
  EXPECT_TRUE(renewed({0x10, 0}, {0xFFFFFFF0U, 0}));  // 32 s earlier
}

TEST_F(Composition, RequestBytesExactlyAndNothingBeyond48) {
  unsigned char packet[60];
  std::memset(packet, 0xEE, sizeof packet);
  quelmora::compose_request(packet);
  unsigned char expected[48] = {0x23};
  const unsigned char transmit[8] = {0x83, 0xAA, 0x7E, 0x80, 0x7F, 0xFF, 0xFF, 0xFF};
  std::memcpy(expected + 40, transmit, sizeof transmit);
  EXPECT_EQ(0, std::memcmp(packet, expected, sizeof expected));
  for (int i = 48; i < 60; ++i) EXPECT_EQ(packet[i], 0xEE);
}

TEST(Classification, OnlyWhole48ByteMode3Datagrams) {
  unsigned char datagram[48] = {};
  const unsigned char requests[] = {0x23, 0x1B, 0x0B, 0xE3};
  for (unsigned char first : requests) {
    datagram[0] = first;
    EXPECT_TRUE(quelmora::is_client_request(datagram, 48)) << int{first};
    EXPECT_FALSE(quelmora::is_client_request(datagram, 47));
    EXPECT_FALSE(quelmora::is_client_request(datagram, 49));
  }
  const unsigned char others[] = {0x24, 0x21, 0x00, 0x1C};
  for (unsigned char first : others) {
    datagram[0] = first;
    EXPECT_FALSE(quelmora::is_client_request(datagram, 48)) << int{first};
  }
}

}  // namespace
