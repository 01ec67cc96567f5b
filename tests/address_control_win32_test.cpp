// The IP_PKTINFO control messages of the Windows layer, byte for byte: Wine
// hands received ones over but drops the one a reply is sent with, so no
// socket there can show that a reply asks for the right source.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <cstring>

#include <gtest/gtest.h>

#include "platform/address_control_win32.h"

namespace {

namespace qp = quelmora::platform;

// What WSARecvMsg leaves in the message for a datagram sent to `address`,
// with the flags it sets.
void as_received(WSAMSG& message, qp::win32::address_control& control, const char* address,
                 DWORD flags = 0) {
  std::memset(control.bytes, 0, sizeof control.bytes);
  qp::win32::attach_control(message, control);
  message.dwFlags = flags;
  WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
  item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  IN_PKTINFO info{};
  info.ipi_addr.s_addr = ::inet_addr(address);
  info.ipi_ifindex = 1;
  std::memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
}

TEST(AddressControl, AReplyAsksToLeaveFromItsRequestsDestinationOnly) {
  WSAMSG message{};
  qp::win32::address_control control;
  qp::win32::ask_for_source(message, control, {::inet_addr("127.0.0.2"), true});
  ASSERT_EQ(message.Control.buf, control.bytes);
  ASSERT_EQ(message.Control.len, WSA_CMSG_SPACE(sizeof(IN_PKTINFO)));
  const WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->cmsg_level, IPPROTO_IP);
  EXPECT_EQ(item->cmsg_type, IP_PKTINFO);
  EXPECT_EQ(item->cmsg_len, WSA_CMSG_LEN(sizeof(IN_PKTINFO)));
  IN_PKTINFO info;
  std::memcpy(&info, WSA_CMSG_DATA(item), sizeof info);
  EXPECT_EQ(info.ipi_addr.s_addr, ::inet_addr("127.0.0.2"));
  EXPECT_EQ(info.ipi_ifindex, 0U) << "the interface is routing's choice";
  EXPECT_EQ(WSA_CMSG_NXTHDR(&message, item), nullptr);

  WSAMSG unknown_source{};
  qp::win32::ask_for_source(unknown_source, control, {0, false});
  EXPECT_EQ(unknown_source.Control.buf, nullptr);
  EXPECT_EQ(unknown_source.Control.len, 0U);
}

TEST(AddressControl, TheDestinationIsKeptOnlyWhereAReplyCanLeaveFrom) {
  WSAMSG message{};
  qp::win32::address_control control;
  as_received(message, control, "127.0.0.3");
  const qp::ipv4_local reached = qp::win32::destination_of(message);
  EXPECT_TRUE(reached.known);
  EXPECT_EQ(reached.address, ::inet_addr("127.0.0.3"));
  const struct {
    const char* address;
    DWORD flags;
  } no_source[] = {
      {"10.8.8.255", MSG_BCAST},  // a subnet broadcast: Winsock names it as the destination
      {"10.8.8.7", MSG_BCAST},
      {"224.0.1.1", MSG_MCAST},
      {"239.255.255.250", 0},
      {"255.255.255.255", 0},
      {"0.0.0.0", 0},
      {"127.0.0.3", MSG_CTRUNC},  // the control data was cut short
  };
  for (const auto& request : no_source) {
    as_received(message, control, request.address, request.flags);
    EXPECT_FALSE(qp::win32::destination_of(message).known)
        << request.address << " flags " << request.flags;
  }
  WSAMSG without_control{};
  EXPECT_FALSE(qp::win32::destination_of(without_control).known);
  as_received(message, control, "127.0.0.3");
  WSA_CMSG_FIRSTHDR(&message)->cmsg_len = 0;  // would step onto itself for ever
  EXPECT_FALSE(qp::win32::destination_of(message).known);
}

}  // namespace
