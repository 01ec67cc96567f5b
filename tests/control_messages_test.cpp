// The walk over a received datagram's control data, in both layouts that
// systems use (64-bit and 32-bit headers), with lengths that lie.
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/control_messages.h"

namespace {

namespace qp = quelmora::platform;

constexpr int ip_level = 0;
constexpr int pktinfo_type = 8;
constexpr std::size_t pktinfo_size = 12;

// Appends one control message as a system lays it out, its header stating
// `length` (by default the true one).
void append(std::vector<unsigned char>& buffer, const qp::control_layout& layout, int level,
            int type, std::size_t data_size, const std::uint64_t* stated_length = nullptr) {
  const std::size_t start = buffer.size();
  const std::uint64_t length =
      stated_length != nullptr ? *stated_length : layout.data_offset + data_size;
  buffer.resize(start + (layout.data_offset + data_size + layout.alignment - 1) / layout.alignment *
                            layout.alignment,
                0xAB);
  if (layout.length_size == 8) {
    std::memcpy(&buffer[start], &length, 8);
  } else {
    const auto length32 = static_cast<std::uint32_t>(length);
    std::memcpy(&buffer[start], &length32, 4);
  }
  std::memcpy(&buffer[start + layout.length_size], &level, 4);
  std::memcpy(&buffer[start + layout.length_size + 4], &type, 4);
}

qp::control_data find_pktinfo(const std::vector<unsigned char>& buffer,
                              const qp::control_layout& layout) {
  return qp::find_control(buffer.data(), buffer.size(), layout, ip_level, pktinfo_type,
                          pktinfo_size);
}

class ControlWalk : public ::testing::TestWithParam<qp::control_layout> {};

TEST_P(ControlWalk, FindsTheMessageBehindAnother) {
  const qp::control_layout layout = GetParam();
  std::vector<unsigned char> buffer;
  append(buffer, layout, 1, 29, 4);  // SO_TIMESTAMP-like, 4 bytes: padded
  append(buffer, layout, ip_level, pktinfo_type, pktinfo_size);
  const qp::control_data found = find_pktinfo(buffer, layout);
  ASSERT_NE(found.bytes, nullptr);
  EXPECT_EQ(found.bytes, buffer.data() + buffer.size() -
                             (pktinfo_size + layout.alignment - 1) / layout.alignment *
                                 layout.alignment);
  EXPECT_EQ(found.length, pktinfo_size);
}

TEST_P(ControlWalk, LengthsThatLieEndTheWalkInsideTheBuffer) {
  const qp::control_layout layout = GetParam();
  const struct {
    const char* what;
    std::uint64_t stated;
  } lies[] = {
      {"zero", 0},
      {"below the header", layout.length_size + 7},
      {"past the buffer", layout.data_offset + pktinfo_size + layout.alignment},
      {"past any buffer", ~std::uint64_t{0}},
      {"too short for the data", layout.data_offset + pktinfo_size - 1},
  };
  for (const auto& lie : lies) {
    std::vector<unsigned char> buffer;
    append(buffer, layout, ip_level, pktinfo_type, pktinfo_size, &lie.stated);
    EXPECT_EQ(find_pktinfo(buffer, layout).bytes, nullptr) << lie.what;
  }
  EXPECT_EQ(qp::find_control(nullptr, 64, layout, ip_level, pktinfo_type, pktinfo_size).bytes,
            nullptr);
  std::vector<unsigned char> header_cut_short;
  append(header_cut_short, layout, ip_level, pktinfo_type, pktinfo_size);
  header_cut_short.resize(layout.length_size + 4);
  EXPECT_EQ(find_pktinfo(header_cut_short, layout).bytes, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ControlWalk,
                         ::testing::Values(qp::control_layout_64, qp::control_layout_32));

TEST(ReplySource, OnlyAUnicastDestinationIsKept) {
  const auto address = [](unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    std::uint32_t network_order = 0;
    std::memcpy(&network_order, bytes, sizeof network_order);
    return network_order;
  };
  const qp::ipv4_local unicast{address(10, 8, 8, 7), true};
  EXPECT_TRUE(qp::reply_source(unicast, false).known);
  EXPECT_EQ(qp::reply_source(unicast, false).address, unicast.address);
  EXPECT_FALSE(qp::reply_source(unicast, true).known) << "flagged as sent to a group or broadcast";
  EXPECT_FALSE(qp::reply_source({unicast.address, false}, false).known);
  for (const std::uint32_t unusable : {address(224, 0, 1, 1), address(239, 255, 255, 250),
                                       address(255, 255, 255, 255), address(0, 0, 0, 0)}) {
    EXPECT_FALSE(qp::reply_source({unusable, true}, false).known) << std::hex << unusable;
  }
}

}  // namespace
