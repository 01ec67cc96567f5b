#include "platform/control_messages.h"

#include <cstdint>
#include <cstring>

namespace quelmora::platform {
namespace {

// Header fields after the length: the level, then the type, each an int.
constexpr std::size_t field_size = 4;

// 224.0.0.0/4, in host byte order.
constexpr std::uint32_t multicast_mask = 0xF0000000U;
constexpr std::uint32_t multicast_prefix = 0xE0000000U;
constexpr std::uint32_t limited_broadcast = 0xFFFFFFFFU;
constexpr std::uint32_t unspecified = 0;

// The header's length field, of the system's width and byte order.
std::size_t header_length(const unsigned char* header, const control_layout& layout) {
  if (layout.length_size == sizeof(std::uint64_t)) {
    std::uint64_t length = 0;
    std::memcpy(&length, header, sizeof length);
    if constexpr (sizeof(std::size_t) < sizeof length) {
      if (length > SIZE_MAX) return SIZE_MAX;  // past any buffer, which ends the walk
    }
    return static_cast<std::size_t>(length);
  }
  std::uint32_t length = 0;
  std::memcpy(&length, header, sizeof length);
  return length;
}

std::int32_t header_field(const unsigned char* header, std::size_t offset) {
  std::int32_t value = 0;
  std::memcpy(&value, header + offset, sizeof value);
  return value;
}

// Alignments are powers of two.
std::size_t align_up(std::size_t length, std::size_t alignment) {
  return (length + alignment - 1) & ~(alignment - 1);
}

std::uint32_t host_order(std::uint32_t network_order) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&network_order);
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

}  // namespace

control_data find_control(const unsigned char* buffer, std::size_t buffer_length,
                          const control_layout& layout, int level, int type, std::size_t wanted) {
  const std::size_t header_size = layout.length_size + 2 * field_size;
  std::size_t offset = 0;
  while (buffer != nullptr && buffer_length - offset >= header_size) {
    const unsigned char* header = buffer + offset;
    const std::size_t length = header_length(header, layout);
    if (length < header_size || length > buffer_length - offset) break;
    if (header_field(header, layout.length_size) == level &&
        header_field(header, layout.length_size + field_size) == type &&
        length >= layout.data_offset && length - layout.data_offset >= wanted) {
      return {header + layout.data_offset, length - layout.data_offset};
    }
    const std::size_t step = align_up(length, layout.alignment);
    if (step > buffer_length - offset) break;
    offset += step;
  }
  return {nullptr, 0};
}

bool is_unicast_source(std::uint32_t address) {
  const std::uint32_t host = host_order(address);
  return (host & multicast_mask) != multicast_prefix && host != limited_broadcast &&
         host != unspecified;
}

ipv4_local reply_source(ipv4_local destination, bool to_group_or_broadcast) {
  if (!destination.known || to_group_or_broadcast || !is_unicast_source(destination.address)) {
    return {0, false};
  }
  return destination;
}

ipv4_local reply_source_from(const received_control& control, const control_layout& layout,
                             const pktinfo_format& format) {
  if (control.truncated) return {0, false};
  const control_data found =
      find_control(control.bytes, control.length, layout, format.level, format.type, format.size);
  if (found.bytes == nullptr) return {0, false};
  std::uint32_t address = 0;
  std::memcpy(&address, found.bytes + format.address_offset, sizeof address);
  return reply_source({address, true}, control.to_group_or_broadcast);
}

}  // namespace quelmora::platform
