// The platform layer on POSIX systems (Linux first, then macOS and the
// BSDs): BSD sockets, pthreads and clock_gettime. What the systems name
// otherwise or lack is chosen here by their own macros, so that the
// protocol code above never asks which system it runs on.
#include "platform/platform.h"
#include "platform/control_messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <dlfcn.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

// Linux takes and sends a batch of datagrams in one system call (recvmmsg,
// sendmmsg); elsewhere, or when a Linux build asks for the path the others
// take (QUELMORA_NTP_PORTABLE_POSIX, which tests that path here), a poll
// and one recvmsg or sendmsg per datagram.
#if defined(__linux__) && !defined(QUELMORA_NTP_PORTABLE_POSIX)
#define QUELMORA_NTP_DATAGRAM_BATCHES 1
#endif
// A datagram's destination, and its reply's source, in IP_PKTINFO control
// messages with struct in_pktinfo: Linux and macOS share them. Elsewhere
// (FreeBSD and OpenBSD have IP_RECVDSTADDR instead) replies leave from the
// system's choice.
#if defined(__linux__) || defined(__APPLE__)
#define QUELMORA_NTP_PKTINFO 1
#endif

namespace quelmora::platform {
namespace {

constexpr std::uint64_t nanoseconds_per_tick = 100;
constexpr std::uint64_t ticks_per_second = 10000000;
constexpr long nanoseconds_per_millisecond = 1000000;
constexpr long milliseconds_per_second = 1000;

int descriptor(socket_handle socket) { return static_cast<int>(socket); }

socket_handle handle(int fd) { return fd < 0 ? invalid_socket : static_cast<socket_handle>(fd); }

// A receive that returned no datagram: none was waiting, or it failed.
receive_result failed_receive() {
  return {(errno == EAGAIN || errno == EWOULDBLOCK) ? receive_status::nothing_pending
                                                   : receive_status::failed,
          0};
}

// A new datagram socket, closed in any program the host starts. macOS has
// no SOCK_CLOEXEC: there the flag is set apart, as on Linux's portable path.
int open_socket(int family) {
#if defined(SOCK_CLOEXEC) && !defined(QUELMORA_NTP_PORTABLE_POSIX)
  return ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
#else
  const int fd = ::socket(family, SOCK_DGRAM, 0);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

// A send on a socket that has been shut raises SIGPIPE on macOS, which ends
// a host that did not ask for it, unless the socket says SO_NOSIGPIPE (macOS
// has no MSG_NOSIGNAL for sendmsg). Linux raises none for datagram sockets.
void never_raise_sigpipe(int fd) {
#if defined(SO_NOSIGPIPE)
  int enable = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &enable, sizeof enable);
#else
  (void)fd;
#endif
}

// One datagram's message header: its bytes, its peer's address, and room
// for its control message (filled in by the caller).
void describe(msghdr& header, iovec& bytes, unsigned char* data, std::size_t length,
              unsigned char* address, socklen_t address_length) {
  bytes = {data, length};
  header = {};
  header.msg_name = address;
  header.msg_namelen = address_length;
  header.msg_iov = &bytes;
  header.msg_iovlen = 1;
}

// A datagram received with its message header. MSG_TRUNC in the header's
// own flags tells one that did not fit: every system sets it there, while
// only Linux would also take it as the call's flag.
receive_result message_outcome(const msghdr& header, std::size_t length) {
  return (header.msg_flags & MSG_TRUNC) != 0 ? receive_result{receive_status::too_long, 0}
                                             : receive_result{receive_status::received, length};
}

// The layout of the system's control messages, from its own macros: a
// socklen_t length on macOS (4-byte steps even on 64-bit machines), a size_t
// one on Linux with glibc, a padded socklen_t with musl.
constexpr control_layout system_control_layout{offsetof(cmsghdr, cmsg_level), CMSG_LEN(0),
                                               CMSG_SPACE(1) - CMSG_LEN(0)};

constexpr bool same_layout(const control_layout& first, const control_layout& second) {
  return first.length_size == second.length_size && first.data_offset == second.data_offset &&
         first.alignment == second.alignment;
}

// The walk's tests cover the 64-bit and 32-bit layouts; each system here
// must have one of them.
static_assert(same_layout(system_control_layout, control_layout_64) ||
                  same_layout(system_control_layout, control_layout_32),
              "control messages as the walk reads them");

#if defined(QUELMORA_NTP_PKTINFO)
// A send with a source address that the system refuses fails with one of
// these: the address is no longer this host's (Linux finds no route from it:
// ENETUNREACH; EADDRNOTAVAIL elsewhere), or it is none that this destination
// can be reached from (EINVAL, as a loopback source towards another host).
send_status failed_send(const outgoing_datagram& datagram) {
  if (datagram.source.known && (errno == ENETUNREACH || errno == EADDRNOTAVAIL || errno == EINVAL)) {
    return send_status::source_refused;
  }
  return send_status::failed;
}

// Room for the IP_PKTINFO control message that carries a datagram's local
// address, aligned as its header needs.
struct address_control {
  alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];

  void attach_to(msghdr& header) {
    header.msg_control = bytes;
    header.msg_controllen = sizeof bytes;
  }
};

#if defined(QUELMORA_NTP_DATAGRAM_BATCHES)
// ipi_spec_dst, not ipi_addr: for a datagram sent to a broadcast address it
// is this host's own address on that network, which a reply can leave from.
constexpr std::size_t destination_field = offsetof(in_pktinfo, ipi_spec_dst);
#else
// ipi_addr, the header's destination: macOS leaves ipi_spec_dst empty on a
// receive. A reply to a subnet's broadcast address is then refused that
// source and leaves again from the system's choice.
constexpr std::size_t destination_field = offsetof(in_pktinfo, ipi_addr);
#endif
constexpr pktinfo_format system_pktinfo{IPPROTO_IP, IP_PKTINFO, sizeof(in_pktinfo),
                                        destination_field};

ipv4_local destination_of(const msghdr& header) {
  return reply_source_from({static_cast<const unsigned char*>(header.msg_control),
                            header.msg_controllen, (header.msg_flags & MSG_CTRUNC) != 0, false},
                           system_control_layout, system_pktinfo);
}

// Only the source address is asked for: the interface is left to routing.
void ask_for_source(msghdr& header, address_control& control, ipv4_local source) {
  if (!source.known) return;
  control = {};
  control.attach_to(header);
  cmsghdr* item = CMSG_FIRSTHDR(&header);
  item->cmsg_level = IPPROTO_IP;
  item->cmsg_type = IP_PKTINFO;
  item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = source.address;
  std::memcpy(CMSG_DATA(item), &info, sizeof info);
}

// The option that asks for IP_PKTINFO with each datagram: macOS names it
// apart from the message (with the same value).
#if defined(IP_RECVPKTINFO)
constexpr int ask_for_destinations = IP_RECVPKTINFO;
#else
constexpr int ask_for_destinations = IP_PKTINFO;
#endif
#else
// No destination is known here, and replies leave from the system's choice.
struct address_control {
  void attach_to(msghdr&) {}
};

ipv4_local destination_of(const msghdr&) { return {0, false}; }

void ask_for_source(msghdr&, address_control&, ipv4_local) {}

send_status failed_send(const outgoing_datagram&) { return send_status::failed; }
#endif

void take_outcome(incoming_datagram& datagram, msghdr& header, std::size_t length) {
  datagram.sender.length = header.msg_namelen;
  datagram.destination = destination_of(header);
  datagram.result = message_outcome(header, length);
}

#if defined(QUELMORA_NTP_DATAGRAM_BATCHES)
// recvmmsg's flags in the type its declaration takes: int in glibc,
// unsigned in musl.
template <typename Flags, typename... Rest>
Flags receive_flags(int (*)(int, mmsghdr*, unsigned, Flags, Rest...), int flags) {
  return static_cast<Flags>(flags);
}

bool same_source(ipv4_local first, ipv4_local second) {
  return first.known == second.known && (!first.known || first.address == second.address);
}
#endif

// pthreads has no join with a time-out on every libc, so each thread the
// layer starts owns a slot whose flags say when it has ended and when its
// handle has been given up; whichever of the two comes second frees the slot.
// The slots are static: the library allocates nothing of its own.
struct thread_slot {
  std::atomic<unsigned> state{0};
  pthread_t id{};
  thread_entry entry = nullptr;
  void* argument = nullptr;
};

constexpr unsigned slot_claimed = 1U;
constexpr unsigned slot_ended = 2U;
constexpr unsigned slot_released = 4U;
// One running server thread, plus room for late ones still on their way out.
constexpr int thread_slot_count = 8;
thread_slot g_thread_slots[thread_slot_count];

void mark_slot(thread_slot& slot, unsigned flag) {
  unsigned other = (flag == slot_ended) ? slot_released : slot_ended;
  unsigned before = slot.state.fetch_or(flag, std::memory_order_acq_rel);
  if ((before & other) != 0) slot.state.store(0, std::memory_order_release);
}

void* run_thread_slot(void* raw_slot) {
  auto* slot = static_cast<thread_slot*>(raw_slot);
  slot->entry(slot->argument);
  mark_slot(*slot, slot_ended);
  return nullptr;
}

thread_slot* claim_thread_slot() {
  for (thread_slot& slot : g_thread_slots) {
    unsigned expected = 0;
    if (slot.state.compare_exchange_strong(expected, slot_claimed, std::memory_order_acq_rel)) {
      return &slot;
    }
  }
  return nullptr;
}

// The child of a fork has none of the threads the slots name: a slot held
// for one would have the child wait for it, and detach an id of the parent's.
std::atomic<fork_child_handler> g_fork_child_handler{nullptr};

void forget_in_fork_child() {
  for (thread_slot& slot : g_thread_slots) slot.state.store(0, std::memory_order_relaxed);
  const fork_child_handler forget = g_fork_child_handler.load(std::memory_order_acquire);
  if (forget != nullptr) forget();
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

class posix_platform final : public platform {
 public:
  bool start_socket_layer() override { return true; }

  socket_handle open_ipv4_datagram_socket() override { return open_datagram_socket(AF_INET); }

  // No SO_REUSEADDR: with it, any other socket that sets it too could bind
  // the port beside ours and take its traffic (UDP has no TIME_WAIT for it
  // to help with).
  void prepare_server_socket(socket_handle socket, int wait_timeout_ms) override {
#if defined(QUELMORA_NTP_PKTINFO)
    int enable = 1;
    ::setsockopt(descriptor(socket), IPPROTO_IP, ask_for_destinations, &enable, sizeof enable);
#endif
#if defined(QUELMORA_NTP_DATAGRAM_BATCHES)
    constexpr long microseconds_per_millisecond = 1000;
    timeval wait{wait_timeout_ms / milliseconds_per_second,
                 (wait_timeout_ms % milliseconds_per_second) * microseconds_per_millisecond};
    ::setsockopt(descriptor(socket), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
#else
    (void)socket;  // the wait is poll's, bounded by its own time-out
    (void)wait_timeout_ms;
#endif
  }

  bool bind_ipv4_any(socket_handle socket, std::uint16_t port) override {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(descriptor(socket), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == 0;
  }

  // poll, not select: a host with many open files may hand us a descriptor
  // above FD_SETSIZE, which select cannot watch.
  // A host's signal handler cuts the wait short (EINTR): that is no failure,
  // and the caller waits on with the time it has left.
  wait_outcome wait_readable(socket_handle socket, int timeout_ms) override {
    pollfd watched{descriptor(socket), POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeout_ms);
    if (ready > 0) return wait_outcome::readable;
    return ready == 0 || errno == EINTR ? wait_outcome::nothing : wait_outcome::failed;
  }

#if defined(QUELMORA_NTP_DATAGRAM_BATCHES)
  // One datagram is a batch of one: the same headers and control data.
  receive_result receive_pending_from(socket_handle socket, incoming_datagram& datagram) override {
    receive_pending_batch(socket, &datagram, 1);
    return datagram.result;
  }

  send_status send_to(socket_handle socket, const outgoing_datagram& datagram) override {
    outgoing_datagram one = datagram;
    send_batch(socket, &one, 1);
    return one.status;
  }

  std::size_t receive_pending_batch(socket_handle socket, incoming_datagram* batch,
                                    std::size_t count) override {
    return receive_batch(socket, batch, count, MSG_DONTWAIT);
  }

  // The wait is the receive's own: it blocks for the first datagram (at most
  // the socket's SO_RCVTIMEO) and takes what else is pending without
  // waiting, so a lone request costs this call and the send.
  std::size_t receive_batch_waiting(socket_handle socket, incoming_datagram* batch,
                                    std::size_t count, int) override {
    return receive_batch(socket, batch, count, MSG_WAITFORONE);
  }

  // Up to the batch, in one system call. A time-out, or a host's signal
  // that cut the wait short, is no failure: nothing came.
  std::size_t receive_batch(socket_handle socket, incoming_datagram* batch, std::size_t count,
                            int flags) {
    mmsghdr headers[max_batch];
    iovec buffers[max_batch];
    address_control controls[max_batch];
    if (count > max_batch) count = max_batch;
    for (std::size_t i = 0; i < count; ++i) {
      describe(headers[i].msg_hdr, buffers[i], batch[i].buffer, batch[i].capacity,
               batch[i].sender.bytes, ipv4_peer::capacity);
      controls[i].attach_to(headers[i].msg_hdr);
    }
    const int received =
        ::recvmmsg(descriptor(socket), headers, static_cast<unsigned>(count),
                   receive_flags(::recvmmsg, flags), nullptr);
    if (received < 0) {
      if (errno == EINTR) return 0;
      batch[0].result = failed_receive();
      return batch[0].result.status == receive_status::nothing_pending ? 0 : 1;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
      take_outcome(batch[i], headers[i].msg_hdr, headers[i].msg_len);
    }
    return static_cast<std::size_t>(received);
  }

  // All replies in one system call. sendmmsg stops at the first that fails;
  // that one is passed over, as a failed send always was, and the rest go on.
  std::size_t send_batch(socket_handle socket, outgoing_datagram* batch,
                         std::size_t count) override {
    mmsghdr headers[max_batch];
    iovec buffers[max_batch];
    address_control controls[max_batch];
    if (count > max_batch) count = max_batch;
    for (std::size_t i = 0; i < count; ++i) {
      describe(headers[i].msg_hdr, buffers[i], const_cast<unsigned char*>(batch[i].data),
               batch[i].length, const_cast<unsigned char*>(batch[i].peer->bytes),
               batch[i].peer->length);
      // Replies from one address share one control message: the kernel
      // only reads it.
      if (i > 0 && same_source(batch[i].source, batch[i - 1].source)) {
        headers[i].msg_hdr.msg_control = headers[i - 1].msg_hdr.msg_control;
        headers[i].msg_hdr.msg_controllen = headers[i - 1].msg_hdr.msg_controllen;
      } else {
        ask_for_source(headers[i].msg_hdr, controls[i], batch[i].source);
      }
    }
    std::size_t sent = 0;
    std::size_t next = 0;
    while (next < count) {
      const int done =
          ::sendmmsg(descriptor(socket), headers + next, static_cast<unsigned>(count - next), 0);
      if (done < 0) {
        batch[next].status = failed_send(batch[next]);
        ++next;
        continue;
      }
      for (std::size_t i = next; i < next + static_cast<std::size_t>(done); ++i) {
        batch[i].status =
            headers[i].msg_len == batch[i].length ? send_status::sent : send_status::failed;
        if (batch[i].status == send_status::sent) ++sent;
      }
      next += static_cast<std::size_t>(done);
    }
    return sent;
  }
#else
  // One datagram per call, after the poll of receive_batch_waiting.
  receive_result receive_pending_from(socket_handle socket, incoming_datagram& datagram) override {
    msghdr header;
    iovec bytes;
    address_control control;
    describe(header, bytes, datagram.buffer, datagram.capacity, datagram.sender.bytes,
             ipv4_peer::capacity);
    control.attach_to(header);
    const ssize_t received = ::recvmsg(descriptor(socket), &header, MSG_DONTWAIT);
    if (received < 0) {
      datagram.destination = {0, false};
      datagram.result = failed_receive();
    } else {
      take_outcome(datagram, header, static_cast<std::size_t>(received));
    }
    return datagram.result;
  }

  send_status send_to(socket_handle socket, const outgoing_datagram& datagram) override {
    msghdr header;
    iovec bytes;
    address_control control;
    describe(header, bytes, const_cast<unsigned char*>(datagram.data), datagram.length,
             const_cast<unsigned char*>(datagram.peer->bytes), datagram.peer->length);
    ask_for_source(header, control, datagram.source);
    const ssize_t sent = ::sendmsg(descriptor(socket), &header, 0);
    if (sent < 0) return failed_send(datagram);
    return sent == static_cast<ssize_t>(datagram.length) ? send_status::sent : send_status::failed;
  }
#endif

  // Shutting down the receiving side wakes the server's wait at once, even
  // for an unconnected datagram socket, so a stop need not sit out the wait:
  // on Linux the waiting recvmmsg returns one empty datagram, and a poll
  // finds the socket readable. macOS may refuse to shut down a socket that is
  // not connected (ENOTCONN) and leave the poll waiting: the stop then takes
  // at most the wait's 250 ms, which bounds it on every system.
  void interrupt_waits(socket_handle socket) override { ::shutdown(descriptor(socket), SHUT_RD); }

  void close_socket(socket_handle socket) override { ::close(descriptor(socket)); }

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
    const int fd = open_socket(native_family);
    if (fd >= 0) never_raise_sigpipe(fd);
    return handle(fd);
  }

  bool connect_to(socket_handle socket, const endpoint& address) override {
    return ::connect(descriptor(socket), static_cast<const sockaddr*>(address.address),
                     address.length) == 0;
  }

  long send(socket_handle socket, const unsigned char* data, std::size_t length) override {
    return ::send(descriptor(socket), data, length, 0);
  }

  receive_result receive_within(socket_handle socket, unsigned char* buffer, std::size_t capacity,
                                int timeout_ms) override {
    const wait_outcome waited = wait_readable(socket, timeout_ms);
    if (waited == wait_outcome::failed) return {receive_status::failed, 0};
    if (waited == wait_outcome::nothing) return {receive_status::nothing_pending, 0};
    msghdr header;
    iovec bytes;
    describe(header, bytes, buffer, capacity, nullptr, 0);
    const ssize_t received = ::recvmsg(descriptor(socket), &header, MSG_DONTWAIT);
    if (received < 0) return failed_receive();
    return message_outcome(header, static_cast<std::size_t>(received));
  }

#if defined(__APPLE__)
  // macOS's linker has no -z nodelete: the library opens itself once more,
  // never to be unloaded, and keeps that reference for the process's life.
  void keep_library_loaded() override {
    Dl_info self{};
    if (::dladdr(static_cast<const void*>(g_thread_slots), &self) != 0 && self.dli_fname != nullptr) {
      ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
  }
#else
  // Done once for all by linking with -z nodelete.
  void keep_library_loaded() override {}
#endif

  bool start_thread(thread_entry entry, void* argument, thread_handle& thread) override {
    thread_slot* slot = claim_thread_slot();
    if (slot == nullptr) return false;
    slot->entry = entry;
    slot->argument = argument;
    if (::pthread_create(&slot->id, nullptr, run_thread_slot, slot) != 0) {
      slot->state.store(0, std::memory_order_release);
      return false;
    }
    thread = slot;
    return true;
  }

  bool wait_thread(thread_handle thread, int timeout_ms) override {
    constexpr timespec pause{0, 200000};  // 0.2 ms between looks
    auto* slot = static_cast<thread_slot*>(thread);
    const std::uint64_t deadline = monotonic_milliseconds() + static_cast<std::uint64_t>(timeout_ms);
    while ((slot->state.load(std::memory_order_acquire) & slot_ended) == 0) {
      if (monotonic_milliseconds() >= deadline) return false;
      ::nanosleep(&pause, nullptr);
    }
    return true;
  }

  void release_thread(thread_handle thread) override {
    auto* slot = static_cast<thread_slot*>(thread);
    if ((slot->state.load(std::memory_order_acquire) & slot_ended) != 0) {
      ::pthread_join(slot->id, nullptr);
    } else {
      ::pthread_detach(slot->id);
    }
    mark_slot(*slot, slot_released);
  }

  void sleep_milliseconds(int milliseconds) override {
    timespec pause{milliseconds / milliseconds_per_second,
                   (milliseconds % milliseconds_per_second) * nanoseconds_per_millisecond};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }

  std::uint64_t monotonic_milliseconds() override {
    const timespec now = monotonic_now();
    return static_cast<std::uint64_t>(now.tv_sec) * milliseconds_per_second +
           static_cast<std::uint64_t>(now.tv_nsec / nanoseconds_per_millisecond);
  }

  std::uint64_t utc_ticks_since_1970() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * ticks_per_second +
           static_cast<std::uint64_t>(now.tv_nsec) / nanoseconds_per_tick;
  }
};

}  // namespace

namespace {
posix_platform g_native_platform;
}  // namespace

platform& native() { return g_native_platform; }

void on_fork_child(fork_child_handler forget) {
  fork_child_handler none = nullptr;
  if (g_fork_child_handler.compare_exchange_strong(none, forget, std::memory_order_acq_rel)) {
    ::pthread_atfork(nullptr, nullptr, forget_in_fork_child);
  }
}

}  // namespace quelmora::platform
