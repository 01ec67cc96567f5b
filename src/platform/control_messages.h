// Control data that comes with a received datagram (ancillary data, the
// cmsghdr of POSIX and the WSACMSGHDR of Winsock), read without trusting it:
// every header's length is checked against what is left of the buffer
// before the header's data is read or stepped over. Free of system headers,
// so that one walk serves every platform and a fuzzer can drive it.
#ifndef QUELMORA_PLATFORM_CONTROL_MESSAGES_H
#define QUELMORA_PLATFORM_CONTROL_MESSAGES_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace quelmora::platform {

// How a system lays out its control messages. POSIX and Winsock agree for a
// given pointer width: a header of a size_t length and two ints (level and
// type), the data after the header rounded up to `alignment`, and each next
// header at the previous one's length rounded up to `alignment`.
struct control_layout {
  std::size_t length_size;  // bytes of the header's length field
  std::size_t data_offset;  // from the header's start to its data
  std::size_t alignment;
};

inline constexpr control_layout control_layout_64{8, 16, 8};
inline constexpr control_layout control_layout_32{4, 12, 4};
inline constexpr control_layout native_control_layout =
    sizeof(void*) == 8 ? control_layout_64 : control_layout_32;

// The data of a control message found in a buffer; null when there is none.
struct control_data {
  const unsigned char* bytes;
  std::size_t length;
};

// The first message of this level and type whose data holds at least
// `wanted` bytes. The walk ends at a header that does not fit what is left,
// or whose length is below the header's own size.
control_data find_control(const unsigned char* buffer, std::size_t buffer_length,
                          const control_layout& layout, int level, int type, std::size_t wanted);

// Where the destination address sits in a system's IP_PKTINFO data.
struct pktinfo_format {
  int level;
  int type;
  std::size_t size;
  std::size_t address_offset;
};

// The control data of one received datagram, and what the system's flags
// said of it.
struct received_control {
  const unsigned char* bytes;
  std::size_t length;
  bool truncated;              // cut short: what it held may be lost
  bool to_group_or_broadcast;  // sent to a broadcast or multicast address
};

// The local address the reply to that datagram leaves from (reply_source of
// the destination its IP_PKTINFO names); unknown when the control data is
// cut short or holds no whole IP_PKTINFO message.
ipv4_local reply_source_from(const received_control& control, const control_layout& layout,
                             const pktinfo_format& format);

// Whether a reply can leave from this address (network byte order): not a
// multicast, limited-broadcast or unspecified one.
bool is_unicast_source(std::uint32_t address);

// The local address a reply leaves from: the one its request reached when
// that is known to be a unicast address of this host; otherwise unknown, and
// the system picks. `to_group_or_broadcast` is what the system said of the
// request's destination (sent to a broadcast or multicast address).
ipv4_local reply_source(ipv4_local destination, bool to_group_or_broadcast);

}  // namespace quelmora::platform

#endif  // QUELMORA_PLATFORM_CONTROL_MESSAGES_H
