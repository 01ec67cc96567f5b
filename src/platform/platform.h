// The operating system as the library sees it: sockets, name resolution,
// one thread with a bounded wait, and the UTC clock. Protocol code reaches
// the system only through this interface; each platform implements it in a
// file of its own, and tests may install a replacement to inject failures.
#ifndef QUELMORA_PLATFORM_PLATFORM_H
#define QUELMORA_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace quelmora::platform {

// Wide enough for a POSIX descriptor and a Winsock SOCKET alike.
using socket_handle = std::uintptr_t;
inline constexpr socket_handle invalid_socket = ~socket_handle{0};

// A thread the platform layer created; null when there is none.
using thread_handle = void*;
using thread_entry = void (*)(void* argument);

// The sender of a datagram on an IPv4 socket, as the socket layer filled it in.
struct ipv4_peer {
  static constexpr std::uint32_t capacity = 16;
  alignas(8) unsigned char bytes[capacity];
  std::uint32_t length;
};

// A local IPv4 address of this host, in network byte order: the one a
// datagram reached, which its reply must leave from, since clients drop a
// reply from any other. Not known where the platform does not tell; a reply
// then leaves from whichever address the system picks.
struct ipv4_local {
  std::uint32_t address;
  bool known;
};

// One resolved address, borrowed from an address_list.
struct endpoint {
  int native_family;
  const void* address;
  std::uint32_t length;
};

// The result list of a name resolution; released with release_addresses.
struct address_list;

enum class receive_status {
  received,         // a whole datagram (possibly empty) is in the buffer
  nothing_pending,  // no datagram was waiting (non-waiting receive only)
  too_long,         // the datagram did not fit the buffer and is gone
  failed,           // the socket layer reported an error (time-out included)
  error_report,     // no datagram: an ICMP error caused by an earlier send was
                    // reported instead; what is pending after it still waits
};

struct receive_result {
  receive_status status;
  std::size_t length;  // meaningful for received only
};

// How a bounded wait for a datagram ended.
enum class wait_outcome {
  readable,  // a receive would not wait
  nothing,   // the time ran out, or a signal cut the wait short
  failed,    // the wait itself failed: whoever waited fails as a receive would,
             // never going on to a receive that might wait without bound
};

// The most datagrams one batch call takes or sends.
inline constexpr std::size_t max_batch = 32;

// One datagram taken from a socket: the caller's buffer, and what the
// socket layer said of the datagram that landed in it.
struct incoming_datagram {
  unsigned char* buffer;
  std::size_t capacity;
  ipv4_peer sender;
  ipv4_local destination;
  receive_result result;
};

enum class send_status {
  sent,             // the whole datagram went out
  source_refused,   // the system would not send it from the source asked for
                    // (that address has gone, or is no source it accepts)
  failed,
};

// One datagram to send, where to, and from which local address (when known);
// the send says how it went in `status`.
struct outgoing_datagram {
  const unsigned char* data;
  std::size_t length;
  const ipv4_peer* peer;
  ipv4_local source;
  send_status status;
};

class platform {
 public:
  // Socket layer start-up; false when it failed (the caller tries again later).
  virtual bool start_socket_layer() = 0;

  // The server's side: one IPv4 datagram socket, receives that never wait.
  virtual socket_handle open_ipv4_datagram_socket() = 0;
  // Before the bind, best effort: the port is this socket's alone (no other
  // socket can bind it alongside and take its traffic); each datagram's
  // destination is reported with it; reports of ICMP errors caused by
  // earlier sends are switched off where the platform would fail receives
  // with them; a receive that waits gives up after wait_timeout_ms.
  virtual void prepare_server_socket(socket_handle socket, int wait_timeout_ms) = 0;
  virtual bool bind_ipv4_any(socket_handle socket, std::uint16_t port) = 0;
  // Waits at most timeout_ms until a receive on the socket would not wait.
  virtual wait_outcome wait_readable(socket_handle socket, int timeout_ms) = 0;
  // One datagram, if one is waiting: its bytes, sender and destination.
  virtual receive_result receive_pending_from(socket_handle socket,
                                              incoming_datagram& datagram) = 0;
  virtual send_status send_to(socket_handle socket, const outgoing_datagram& datagram) = 0;
  // Takes what is already waiting, up to `count` (at most max_batch)
  // datagrams, without waiting for more; each is judged on its own. 0 when
  // nothing was waiting; a failed receive fills one entry with its failure
  // and ends the batch; error reports are passed over (a bounded number per
  // call). Here one system call per datagram, the last finding nothing; a
  // platform that can take several in one call does so. (Defined here: an
  // out-of-line virtual would anchor the class's type information in the
  // library, which is built without it.)
  virtual std::size_t receive_pending_batch(socket_handle socket, incoming_datagram* batch,
                                            std::size_t count) {
    std::size_t taken = 0;
    std::size_t error_reports = 0;
    while (taken < count) {
      incoming_datagram& next = batch[taken];
      next.result = receive_pending_from(socket, next);
      const receive_status status = next.result.status;
      if (status == receive_status::nothing_pending) break;
      if (status == receive_status::error_report) {
        if (++error_reports > max_batch) break;
        continue;
      }
      if (status == receive_status::failed) return taken + 1;
      ++taken;
    }
    return taken;
  }
  // Waits at most wait_timeout_ms (as given to prepare_server_socket) for a
  // datagram, then takes it and what else is already waiting, as
  // receive_pending_batch does. 0 when the wait ended with nothing (its time
  // ran out, or a signal cut it short); a wait that failed fills one entry
  // with a failed receive, so that the caller rests as after any other, and
  // so does a wait that found the socket readable and then nothing at all.
  // interrupt_waits ends the wait with 0 or with one empty datagram, as the
  // platform has it: a Linux socket whose receiving side is shut down hands
  // each waiting receive an empty datagram at once, and the wake Windows
  // sends itself is one. Here a wait and then a receive; a platform that can
  // wait in the receive itself saves the wait's call.
  virtual std::size_t receive_batch_waiting(socket_handle socket, incoming_datagram* batch,
                                            std::size_t count, int wait_timeout_ms) {
    switch (wait_readable(socket, wait_timeout_ms)) {
      case wait_outcome::readable: {
        // A socket shut down from outside (another process's copy of it)
        // stays readable with nothing to take: a failed receive, or the
        // caller would spin on it.
        batch[0].result = {receive_status::nothing_pending, 0};
        const std::size_t taken = receive_pending_batch(socket, batch, count);
        if (taken > 0 || batch[0].result.status != receive_status::nothing_pending) return taken;
        break;
      }
      case wait_outcome::nothing: return 0;
      case wait_outcome::failed: break;
    }
    batch[0].result = {receive_status::failed, 0};
    return 1;
  }
  // Sends each datagram to its peer, once, and sets its status; returns how
  // many went out whole. One that fails is passed over and the rest are
  // still sent.
  virtual std::size_t send_batch(socket_handle socket, outgoing_datagram* batch,
                                 std::size_t count) {
    std::size_t sent = 0;
    for (std::size_t i = 0; i < count; ++i) {
      batch[i].status = send_to(socket, batch[i]);
      if (batch[i].status == send_status::sent) ++sent;
    }
    return sent;
  }
  // Best effort: makes a thread waiting on the socket return early.
  virtual void interrupt_waits(socket_handle socket) = 0;
  virtual void close_socket(socket_handle socket) = 0;

  // The query's side: resolve, connect one datagram socket, one exchange.
  // resolve_datagram returns null when resolution fails or yields nothing.
  virtual address_list* resolve_datagram(const char* host, const char* service) = 0;
  virtual endpoint first_address(const address_list* list) = 0;
  virtual void release_addresses(address_list* list) = 0;
  virtual socket_handle open_datagram_socket(int native_family) = 0;
  virtual bool connect_to(socket_handle socket, const endpoint& address) = 0;
  virtual long send(socket_handle socket, const unsigned char* data, std::size_t length) = 0;
  // Waits at most timeout_ms for one datagram and takes it. nothing_pending
  // when the wait ended without one: its time ran out, or a signal cut it
  // short; the caller, who keeps the deadline, decides whether to go on.
  // failed when the wait failed as well as when the receive did.
  virtual receive_result receive_within(socket_handle socket, unsigned char* buffer,
                                        std::size_t capacity, int timeout_ms) = 0;

  // Keeps the library's code loaded for the rest of the process, so that a
  // host unloading it cannot pull the code from under the server thread.
  virtual void keep_library_loaded() = 0;

  // A thread that starts at once on the default stack.
  virtual bool start_thread(thread_entry entry, void* argument, thread_handle& thread) = 0;
  // True when the thread ended within the bound.
  virtual bool wait_thread(thread_handle thread, int timeout_ms) = 0;
  // Gives up the handle; a thread that has not ended runs on by itself.
  virtual void release_thread(thread_handle thread) = 0;

  // Sleeps the calling thread; no socket or signal wakes it early.
  virtual void sleep_milliseconds(int milliseconds) = 0;

  // Whole 100-ns ticks of UTC since 1970-01-01 00:00:00.
  virtual std::uint64_t utc_ticks_since_1970() = 0;
  // Milliseconds from an arbitrary origin, never set back (for deadlines).
  virtual std::uint64_t monotonic_milliseconds() = 0;

 protected:
  // Never deleted through this interface; trivial so that no work runs at unload.
  ~platform() = default;
};

// The platform every call goes through: the native one unless a test
// installed another.
platform& current();
platform& native();
// Installs a replacement (null restores the native platform). For tests.
void install(platform* replacement);

// Has `forget` run in the child of every later fork() of the process, in
// the forking thread, the only one the child has; the platform first forgets
// the threads it started, which the child does not have. Registered once;
// later calls change nothing. Where there is no fork, nothing.
using fork_child_handler = void (*)();
void on_fork_child(fork_child_handler forget);

}  // namespace quelmora::platform

#endif  // QUELMORA_PLATFORM_PLATFORM_H
