// The platform layer on Windows: Winsock 2, Win32 threads and the precise
// system time.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

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
// of truncating it, and reports an ICMP port-unreachable caused by an
// earlier send as WSAECONNRESET on the next receive: both just fail here.
receive_result datagram_outcome(int length) {
  if (length != SOCKET_ERROR) return {receive_status::received, static_cast<std::size_t>(length)};
  switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK: return {receive_status::nothing_pending, 0};
    case WSAEMSGSIZE: return {receive_status::too_long, 0};
    default: return {receive_status::failed, 0};
  }
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

  void allow_address_reuse(socket_handle socket) override {
    int enable = 1;
    ::setsockopt(native(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&enable),
                 sizeof enable);
  }

  bool bind_ipv4_any(socket_handle socket, std::uint16_t port) override {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }

  // A read set of one socket: select takes any SOCKET value on Windows.
  bool wait_readable(socket_handle socket, int timeout_ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval timeout{};
    timeout.tv_sec = timeout_ms / milliseconds_per_second;
    timeout.tv_usec = (timeout_ms % milliseconds_per_second) * microseconds_per_millisecond;
    return ::select(0, &readable, nullptr, nullptr, &timeout) > 0 &&
           FD_ISSET(native(socket), &readable);
  }

  receive_result receive_pending_from(socket_handle socket, unsigned char* buffer,
                                      std::size_t capacity, ipv4_peer& sender) override {
    int length = static_cast<int>(sizeof sender.bytes);
    const int received =
        ::recvfrom(native(socket), reinterpret_cast<char*>(buffer), clamp_length(capacity), 0,
                   reinterpret_cast<sockaddr*>(sender.bytes), &length);
    sender.length = static_cast<std::uint32_t>(length);
    return datagram_outcome(received);
  }

  long send_to(socket_handle socket, const unsigned char* data, std::size_t length,
               const ipv4_peer& peer) override {
    return ::sendto(native(socket), reinterpret_cast<const char*>(data), clamp_length(length), 0,
                    reinterpret_cast<const sockaddr*>(peer.bytes), static_cast<int>(peer.length));
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

  void set_receive_timeout(socket_handle socket, int timeout_ms) override {
    const DWORD timeout = static_cast<DWORD>(timeout_ms);
    ::setsockopt(native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
  }

  long send(socket_handle socket, const unsigned char* data, std::size_t length) override {
    return ::send(native(socket), reinterpret_cast<const char*>(data), clamp_length(length), 0);
  }

  receive_result receive(socket_handle socket, unsigned char* buffer,
                         std::size_t capacity) override {
    receive_result outcome = datagram_outcome(
        ::recv(native(socket), reinterpret_cast<char*>(buffer), clamp_length(capacity), 0));
    if (outcome.status == receive_status::nothing_pending) outcome.status = receive_status::failed;
    return outcome;
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

platform& native() { return g_native_platform; }

}  // namespace quelmora::platform
