// The platform layer on Windows: Winsock 2, Win32 threads and the precise
// system time.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/address_control_win32.h"
#include "platform/control_messages.h"
#include "platform/platform.h"

// MinGW's headers lack it: a TTL-expired report fails receives as a
// port-unreachable one does.
#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace quelmora::platform {
namespace {

constexpr WORD winsock_version = 0x0202;
// FILETIME counts 100-ns ticks since 1601-01-01; this many lie before 1970.
constexpr std::uint64_t ticks_1601_to_1970 = 116444736000000000ULL;
constexpr long milliseconds_per_second = 1000;
constexpr long microseconds_per_millisecond = 1000;

SOCKET native(socket_handle socket) { return static_cast<SOCKET>(socket); }

socket_handle handle(SOCKET socket) {
  return socket == INVALID_SOCKET ? invalid_socket : static_cast<socket_handle>(socket);
}

// Windows fails a receive whose datagram did not fit (WSAEMSGSIZE) instead
// of truncating it. Unless switched off, it reports an ICMP error caused by
// an earlier send (a client that had gone, a TTL expired) as WSAECONNRESET
// or WSAENETRESET on the next receive: nothing was lost, and what is
// pending still waits behind it.
receive_result datagram_outcome(int length) {
  if (length != SOCKET_ERROR) return {receive_status::received, static_cast<std::size_t>(length)};
  switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK: return {receive_status::nothing_pending, 0};
    case WSAEMSGSIZE: return {receive_status::too_long, 0};
    case WSAECONNRESET:
    case WSAENETRESET: return {receive_status::error_report, 0};
    default: return {receive_status::failed, 0};
  }
}

// WSARecvMsg is reached through a pointer that Winsock hands out per
// provider; null until a server socket has asked for it, or if it refused.
std::atomic<LPFN_WSARECVMSG> g_receive_message{nullptr};

void find_receive_message(SOCKET socket) {
  GUID id = WSAID_WSARECVMSG;
  LPFN_WSARECVMSG function = nullptr;
  DWORD written = 0;
  if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &written, nullptr, nullptr) == 0) {
    g_receive_message.store(function, std::memory_order_release);
  }
}

void switch_off(SOCKET socket, DWORD control_code) {
  BOOL report = FALSE;
  DWORD written = 0;
  ::WSAIoctl(socket, control_code, &report, sizeof report, nullptr, 0, &written, nullptr, nullptr);
}

WSAMSG message_for(WSABUF& bytes, unsigned char* data, std::size_t length, unsigned char* peer,
                   std::uint32_t peer_length) {
  bytes.len = static_cast<ULONG>(length);
  bytes.buf = reinterpret_cast<char*>(data);
  WSAMSG message{};
  message.name = reinterpret_cast<sockaddr*>(peer);
  message.namelen = static_cast<INT>(peer_length);
  message.lpBuffers = &bytes;
  message.dwBufferCount = 1;
  return message;
}

static_assert(WSA_CMSG_LEN(0) == native_control_layout.data_offset &&
                  alignof(WSACMSGHDR) == native_control_layout.alignment &&
                  sizeof(WSACMSGHDR::cmsg_len) == native_control_layout.length_size,
              "control messages as the walk reads them");

// A send with a source address that Winsock refuses fails with one of these:
// the address has gone (WSAEADDRNOTAVAIL), or it is none it sends from.
send_status failed_send(const outgoing_datagram& datagram) {
  const int error = ::WSAGetLastError();
  if (datagram.source.known && (error == WSAEADDRNOTAVAIL || error == WSAEINVAL)) {
    return send_status::source_refused;
  }
  return send_status::failed;
}

int clamp_length(std::size_t length) { return static_cast<int>(length); }

// CreateThread passes one pointer, and the layer's threads need two (entry
// and argument): a slot carries them until the new thread has read them.
struct thread_start {
  std::atomic<bool> in_use{false};
  thread_entry entry = nullptr;
  void* argument = nullptr;
};
constexpr int thread_start_count = 4;
thread_start g_thread_starts[thread_start_count];

DWORD WINAPI run_thread(LPVOID raw_start) {
  auto* start = static_cast<thread_start*>(raw_start);
  const thread_entry entry = start->entry;
  void* const argument = start->argument;
  start->in_use.store(false, std::memory_order_release);
  entry(argument);
  return 0;
}

thread_start* claim_thread_start() {
  for (thread_start& start : g_thread_starts) {
    bool expected = false;
    if (start.in_use.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      return &start;
    }
  }
  return nullptr;
}

class win32_platform final : public platform {
 public:
  bool start_socket_layer() override {
    WSADATA details;
    return ::WSAStartup(winsock_version, &details) == 0;
  }

  // Non-blocking, so that the server takes what is pending without waiting.
  socket_handle open_ipv4_datagram_socket() override {
    SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) return invalid_socket;
    u_long non_blocking = 1;
    ::ioctlsocket(socket, static_cast<long>(FIONBIO), &non_blocking);
    return handle(socket);
  }

  // SO_EXCLUSIVEADDRUSE, never SO_REUSEADDR: with the latter any other
  // socket could bind the port too, and even take it over by force.
  // The socket stays non-blocking and waits in select: Winsock has no
  // per-call flag that keeps a receive from waiting, and a batch must take
  // what is pending without waiting for more. A blocking receive with a
  // time-out would save the select of a lone request only at the price of
  // two FIONBIO switches around every batch.
  void prepare_server_socket(socket_handle socket, int) override {
    const SOCKET server = native(socket);
    int enable = 1;
    ::setsockopt(server, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&enable),
                 sizeof enable);
    ::setsockopt(server, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&enable),
                 sizeof enable);
    find_receive_message(server);
    switch_off(server, SIO_UDP_CONNRESET);
    switch_off(server, SIO_UDP_NETRESET);
  }

  bool bind_ipv4_any(socket_handle socket, std::uint16_t port) override {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }

  // A read set of one socket: select takes any SOCKET value on Windows.
  wait_outcome wait_readable(socket_handle socket, int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval timeout{};
    timeout.tv_sec = timeout_ms / milliseconds_per_second;
    timeout.tv_usec = (timeout_ms % milliseconds_per_second) * microseconds_per_millisecond;
    const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == SOCKET_ERROR) return wait_outcome::failed;
    return ready > 0 && FD_ISSET(native(socket), &readable) ? wait_outcome::readable
                                                            : wait_outcome::nothing;
  }

  // With WSARecvMsg, also the local address the datagram reached.
  receive_result receive_pending_from(socket_handle socket, incoming_datagram& datagram) override {
    datagram.destination = {0, false};
    WSABUF bytes;
    WSAMSG message = message_for(bytes, datagram.buffer, datagram.capacity, datagram.sender.bytes,
                                 ipv4_peer::capacity);
    const LPFN_WSARECVMSG receive_message = g_receive_message.load(std::memory_order_acquire);
    int received = SOCKET_ERROR;
    if (receive_message != nullptr) {
      win32::address_control control;
      win32::attach_control(message, control);
      DWORD length = 0;
      if (receive_message(native(socket), &message, &length, nullptr, nullptr) == 0) {
        if ((message.dwFlags & MSG_TRUNC) != 0) return {receive_status::too_long, 0};
        received = static_cast<int>(length);
        datagram.destination = win32::destination_of(message);
      }
    } else {
      received = ::recvfrom(native(socket), bytes.buf, static_cast<int>(bytes.len), 0,
                            message.name, &message.namelen);
    }
    datagram.sender.length = static_cast<std::uint32_t>(message.namelen);
    return datagram_outcome(received);
  }

  send_status send_to(socket_handle socket, const outgoing_datagram& datagram) override {
    WSABUF bytes;
    // WSASendMsg only reads through these pointers.
    WSAMSG message = message_for(bytes, const_cast<unsigned char*>(datagram.data), datagram.length,
                                 const_cast<unsigned char*>(datagram.peer->bytes),
                                 datagram.peer->length);
    win32::address_control control;
    win32::ask_for_source(message, control, datagram.source);
    DWORD sent = 0;
    if (::WSASendMsg(native(socket), &message, 0, &sent, nullptr, nullptr) != 0) {
      return failed_send(datagram);
    }
    return sent == datagram.length ? send_status::sent : send_status::failed;
  }

  // Winsock cannot wake a select on a datagram socket short of closing it,
  // so the socket sends itself an empty datagram on the loopback address
  // (from itself: no socket to make and close, each a slow call under Wine).
  // The server passes empty datagrams over, sees the stop flag and ends.
  // Should the datagram go astray (another socket sharing the port may take
  // it), the wait's own 250 ms bound still ends the thread.
  void interrupt_waits(socket_handle socket) override {
    sockaddr_in self{};
    int length = static_cast<int>(sizeof self);
    if (::getsockname(native(socket), reinterpret_cast<sockaddr*>(&self), &length) != 0) return;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(native(socket), "", 0, 0, reinterpret_cast<const sockaddr*>(&self), length);
  }

  void close_socket(socket_handle socket) override { ::closesocket(native(socket)); }

  address_list* resolve_datagram(const char* host, const char* service) override {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, service, &hints, &found) != 0) return nullptr;
    return reinterpret_cast<address_list*>(found);
  }

  endpoint first_address(const address_list* list) override {
    const auto* first = reinterpret_cast<const addrinfo*>(list);
    return {first->ai_family, first->ai_addr, static_cast<std::uint32_t>(first->ai_addrlen)};
  }

  void release_addresses(address_list* list) override {
    ::freeaddrinfo(reinterpret_cast<addrinfo*>(list));
  }

  socket_handle open_datagram_socket(int native_family) override {
    return handle(::socket(native_family, SOCK_DGRAM, 0));
  }

  bool connect_to(socket_handle socket, const endpoint& address) override {
    return ::connect(native(socket), static_cast<const sockaddr*>(address.address),
                     static_cast<int>(address.length)) == 0;
  }

  long send(socket_handle socket, const unsigned char* data, std::size_t length) override {
    return ::send(native(socket), reinterpret_cast<const char*>(data), clamp_length(length), 0);
  }

  // The wait, not a receive time-out, bounds it: the caller keeps one
  // deadline across waits, so the socket blocks and only a wait that found a
  // datagram may lead to the receive. A refusal reported for an earlier send
  // (WSAECONNRESET on a connected socket) is the answer itself here.
  receive_result receive_within(socket_handle socket, unsigned char* buffer, std::size_t capacity,
                                int timeout_ms) override {
    const wait_outcome waited = wait_readable(socket, timeout_ms);
    if (waited == wait_outcome::failed) return {receive_status::failed, 0};
    if (waited == wait_outcome::nothing) return {receive_status::nothing_pending, 0};
    return datagram_outcome(
        ::recv(native(socket), reinterpret_cast<char*>(buffer), clamp_length(capacity), 0));
  }

  // Pins this DLL: FreeLibrary by the host no longer unmaps it.
  void keep_library_loaded() override {
    HMODULE self = nullptr;
    ::GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
        reinterpret_cast<LPCSTR>(&g_thread_starts), &self);
  }

  bool start_thread(thread_entry entry, void* argument, thread_handle& thread) override {
    thread_start* start = claim_thread_start();
    if (start == nullptr) return false;
    start->entry = entry;
    start->argument = argument;
    HANDLE created = ::CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (created == nullptr) {
      start->in_use.store(false, std::memory_order_release);
      return false;
    }
    thread = created;
    return true;
  }

  bool wait_thread(thread_handle thread, int timeout_ms) override {
    return ::WaitForSingleObject(static_cast<HANDLE>(thread), static_cast<DWORD>(timeout_ms)) ==
           WAIT_OBJECT_0;
  }

  void release_thread(thread_handle thread) override { ::CloseHandle(static_cast<HANDLE>(thread)); }

  void sleep_milliseconds(int milliseconds) override { ::Sleep(static_cast<DWORD>(milliseconds)); }

  std::uint64_t monotonic_milliseconds() override { return ::GetTickCount64(); }

  std::uint64_t utc_ticks_since_1970() override {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks_since_1601 =
        static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return ticks_since_1601 - ticks_1601_to_1970;
  }
};

win32_platform g_native_platform;

}  // namespace

namespace win32 {

void attach_control(WSAMSG& message, address_control& control) {
  message.Control.buf = control.bytes;
  message.Control.len = sizeof control.bytes;
}

ipv4_local destination_of(const WSAMSG& message) {
  constexpr pktinfo_format winsock_pktinfo{IPPROTO_IP, IP_PKTINFO, sizeof(IN_PKTINFO),
                                           offsetof(IN_PKTINFO, ipi_addr)};
  return reply_source_from({reinterpret_cast<const unsigned char*>(message.Control.buf),
                            message.Control.len, (message.dwFlags & MSG_CTRUNC) != 0,
                            (message.dwFlags & (MSG_BCAST | MSG_MCAST)) != 0},
                           native_control_layout, winsock_pktinfo);
}

void ask_for_source(WSAMSG& message, address_control& control, ipv4_local source) {
  if (!source.known) return;
  std::memset(control.bytes, 0, sizeof control.bytes);
  attach_control(message, control);
  WSACMSGHDR* item = WSA_CMSG_FIRSTHDR(&message);
  item->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  IN_PKTINFO info{};
  info.ipi_addr.s_addr = source.address;
  std::memcpy(WSA_CMSG_DATA(item), &info, sizeof info);
}

}  // namespace win32

platform& native() { return g_native_platform; }

// Windows makes no process a copy of another.
void on_fork_child(fork_child_handler) {}

}  // namespace quelmora::platform
