// The control message that carries a datagram's local address on Winsock
// (IP_PKTINFO): read from what WSARecvMsg returns, written for WSASendMsg.
// Apart from the platform file so that tests can check its bytes, which no
// socket shows under Wine (it drops IP_PKTINFO on send).
#ifndef QUELMORA_PLATFORM_ADDRESS_CONTROL_WIN32_H
#define QUELMORA_PLATFORM_ADDRESS_CONTROL_WIN32_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include "platform/platform.h"

namespace quelmora::platform::win32 {

// Room for one IP_PKTINFO control message, aligned as its header needs.
struct address_control {
  alignas(WSACMSGHDR) char bytes[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
};

// Points the message's control buffer at `control`, for a receive.
void attach_control(WSAMSG& message, address_control& control);

// Where the reply to a datagram received with `message` leaves from: the
// local address the datagram reached, when its control data says so whole
// and that is a unicast address; unknown (the system picks) for a datagram
// Winsock flags as sent to a broadcast or multicast address (MSG_BCAST,
// MSG_MCAST: it reports even a subnet broadcast address as the destination,
// and no send can leave from one), and for cut-short control data.
ipv4_local destination_of(const WSAMSG& message);

// Asks for the datagram to leave from `source` when it is known (the
// interface is left to routing); otherwise the message carries no control.
void ask_for_source(WSAMSG& message, address_control& control, ipv4_local source);

}  // namespace quelmora::platform::win32

#endif  // QUELMORA_PLATFORM_ADDRESS_CONTROL_WIN32_H
