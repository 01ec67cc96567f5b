// A platform layer for tests: the real one, except for the failures and the
// clock a test asks for.
#ifndef QUELMORA_TESTS_FAULT_PLATFORM_H
#define QUELMORA_TESTS_FAULT_PLATFORM_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace test {

namespace qp = quelmora::platform;

class fault_platform : public qp::platform {
 public:
  fault_platform() { qp::install(this); }
  ~fault_platform() { qp::install(nullptr); }
  fault_platform(const fault_platform&) = delete;
  fault_platform& operator=(const fault_platform&) = delete;

  std::atomic<bool> fail_socket_layer{false};
  std::atomic<bool> fail_socket{false};
  std::atomic<bool> fail_thread{false};
  std::atomic<bool> fail_connect{false};
  std::atomic<bool> short_send{false};
  std::atomic<bool> fixed_clock{false};
  std::atomic<std::uint64_t> clock_ticks{0};
  std::atomic<int> socket_layer_starts{0};
  // While set, the server's next receive holds its thread inside the call.
  std::atomic<bool> hold_receive{false};
  std::atomic<bool> holding{false};
  // Calls a held thread made, once let go, on any socket but its own.
  std::atomic<int> foreign_socket_uses{0};
  // Set when the held thread closed its own socket: its last use of us.
  std::atomic<bool> held_thread_closed_its_socket{false};
  // Each wait first sleeps this long, so that datagrams pile up meanwhile.
  std::atomic<int> wait_delay_ms{0};
  // The most datagrams one receive took.
  std::atomic<std::size_t> largest_batch{0};
  // While set, every other receive reports an ICMP error instead of a
  // datagram, as Windows does after replies to clients that have gone.
  std::atomic<bool> error_reports_between{false};
  // While set, the socket is broken: always readable, every receive fails.
  std::atomic<bool> fail_receives{false};
  std::atomic<int> failed_receives{0};
  // Set before a start and read after the stop: the server's receives take
  // these many empty datagrams from a peer in turn (at most the room each offers)
  // instead of the socket's, noting whether each waited first.
  std::vector<std::size_t> script;
  std::vector<bool> waited;
  // While set, the system refuses every reply's source (it has gone), as
  // Winsock does with WSAEADDRNOTAVAIL; the reply is not sent.
  std::atomic<bool> refuse_sources{false};
  // The reply at this place in a batch asks to leave from an address this
  // host does not have, which the real send refuses; -1: none.
  std::atomic<int> foreign_source_at{-1};
  static std::uint32_t foreign_source() {
    const unsigned char test_net_1[4] = {192, 0, 2, 1};  // in network byte order
    std::uint32_t address = 0;
    std::memcpy(&address, test_net_1, sizeof address);
    return address;
  }

  // The local address each datagram reached, as the platform reported it
  // (0 when it could not tell), and the address each reply was asked to
  // leave from (0: any), in the order they passed.
  std::vector<std::uint32_t> destinations_seen() {
    std::lock_guard<std::mutex> hold(addresses_lock_);
    return destinations_;
  }
  std::vector<std::uint32_t> sources_asked() {
    std::lock_guard<std::mutex> hold(addresses_lock_);
    return sources_;
  }

  bool start_socket_layer() override {
    ++socket_layer_starts;
    return !fail_socket_layer && real().start_socket_layer();
  }
  qp::socket_handle open_ipv4_datagram_socket() override {
    return fail_socket ? qp::invalid_socket : real().open_ipv4_datagram_socket();
  }
  void prepare_server_socket(qp::socket_handle s, int wait_timeout_ms) override {
    real().prepare_server_socket(s, wait_timeout_ms);
  }
  bool bind_ipv4_any(qp::socket_handle s, std::uint16_t port) override {
    return real().bind_ipv4_any(s, port);
  }
  qp::wait_outcome wait_readable(qp::socket_handle s, int timeout_ms) override {
    note_use(s);
    if (fail_receives) return qp::wait_outcome::readable;
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_delay_ms.load()));
    return real().wait_readable(s, timeout_ms);
  }
  qp::receive_result receive_pending_from(qp::socket_handle s,
                                          qp::incoming_datagram& datagram) override {
    if (hold_receive && !hold_claimed_.exchange(true)) {
      held_thread_ = std::this_thread::get_id();
      held_socket_ = s;
      holding = true;
      while (hold_receive) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    note_use(s);
    if (error_reports_between && receives_.fetch_add(1) % 2 == 0) {
      return {qp::receive_status::error_report, 0};
    }
    return real().receive_pending_from(s, datagram);
  }
  qp::send_status send_to(qp::socket_handle s, const qp::outgoing_datagram& datagram) override {
    note_use(s);
    if (refuse_sources && datagram.source.known) return qp::send_status::source_refused;
    qp::outgoing_datagram sent = datagram;
    if (!short_send) return real().send_to(s, sent);
    --sent.length;
    const qp::send_status status = real().send_to(s, sent);
    return status == qp::send_status::sent ? qp::send_status::failed : status;
  }
  // The native batches, unless a test asked for a held receive, error
  // reports or short sends: the one-datagram operations above make those.
  std::size_t receive_pending_batch(qp::socket_handle s, qp::incoming_datagram* batch,
                                    std::size_t count) override {
    note_use(s);
    if (scripted(batch, count, false)) return count;
    if (fail_receives) {
      ++failed_receives;
      batch[0].result = {qp::receive_status::failed, 0};
      return 1;
    }
    const std::size_t taken = hold_receive || error_reports_between
                                  ? qp::platform::receive_pending_batch(s, batch, count)
                                  : real().receive_pending_batch(s, batch, count);
    if (taken > largest_batch) largest_batch = taken;
    std::lock_guard<std::mutex> hold(addresses_lock_);
    for (std::size_t i = 0; i < taken; ++i) {
      // Not the empty datagram that wakes the thread for a stop on Windows.
      if (batch[i].result.status != qp::receive_status::received || batch[i].result.length == 0) {
        continue;
      }
      destinations_.push_back(batch[i].destination.known ? batch[i].destination.address : 0);
    }
    return taken;
  }
  // A wait, then a receive, where the faults above live; a held receive
  // holds the thread at once, without waiting for a datagram first.
  std::size_t receive_batch_waiting(qp::socket_handle s, qp::incoming_datagram* batch,
                                    std::size_t count, int wait_timeout_ms) override {
    if (scripted(batch, count, true)) return count;
    if (hold_receive) return receive_pending_batch(s, batch, count);
    return qp::platform::receive_batch_waiting(s, batch, count, wait_timeout_ms);
  }
  std::size_t send_batch(qp::socket_handle s, qp::outgoing_datagram* batch,
                         std::size_t count) override {
    {
      std::lock_guard<std::mutex> hold(addresses_lock_);
      for (std::size_t i = 0; i < count; ++i) {
        sources_.push_back(batch[i].source.known ? batch[i].source.address : 0);
      }
    }
    const int foreign = foreign_source_at;
    if (foreign >= 0 && static_cast<std::size_t>(foreign) < count) {
      batch[foreign].source = {foreign_source(), true};
    }
    if (short_send || refuse_sources) return qp::platform::send_batch(s, batch, count);
    note_use(s);
    return real().send_batch(s, batch, count);
  }
  void interrupt_waits(qp::socket_handle s) override { real().interrupt_waits(s); }
  void close_socket(qp::socket_handle s) override {
    note_use(s);
    real().close_socket(s);
    if (holding && std::this_thread::get_id() == held_thread_.load() && s == held_socket_.load()) {
      held_thread_closed_its_socket = true;
    }
  }
  qp::address_list* resolve_datagram(const char* host, const char* service) override {
    return real().resolve_datagram(host, service);
  }
  qp::endpoint first_address(const qp::address_list* list) override {
    return real().first_address(list);
  }
  void release_addresses(qp::address_list* list) override { real().release_addresses(list); }
  qp::socket_handle open_datagram_socket(int family) override {
    return fail_socket ? qp::invalid_socket : real().open_datagram_socket(family);
  }
  bool connect_to(qp::socket_handle s, const qp::endpoint& address) override {
    return !fail_connect && real().connect_to(s, address);
  }
  long send(qp::socket_handle s, const unsigned char* data, std::size_t length) override {
    return real().send(s, data, short_send ? length - 1 : length);
  }
  qp::receive_result receive_within(qp::socket_handle s, unsigned char* buffer,
                                    std::size_t capacity, int timeout_ms) override {
    return real().receive_within(s, buffer, capacity, timeout_ms);
  }
  void keep_library_loaded() override { real().keep_library_loaded(); }
  bool start_thread(qp::thread_entry entry, void* argument, qp::thread_handle& thread) override {
    return !fail_thread && real().start_thread(entry, argument, thread);
  }
  bool wait_thread(qp::thread_handle thread, int timeout_ms) override {
    return real().wait_thread(thread, timeout_ms);
  }
  void release_thread(qp::thread_handle thread) override { real().release_thread(thread); }
  void sleep_milliseconds(int milliseconds) override { real().sleep_milliseconds(milliseconds); }
  std::uint64_t monotonic_milliseconds() override { return real().monotonic_milliseconds(); }
  std::uint64_t utc_ticks_since_1970() override {
    return fixed_clock ? clock_ticks.load() : real().utc_ticks_since_1970();
  }

 private:
  static qp::platform& real() { return qp::native(); }
  void note_use(qp::socket_handle s) {
    if (holding && std::this_thread::get_id() == held_thread_.load() && s != held_socket_.load()) {
      ++foreign_socket_uses;
    }
  }
  std::atomic<bool> hold_claimed_{false};
  std::atomic<std::thread::id> held_thread_{};
  std::atomic<qp::socket_handle> held_socket_{qp::invalid_socket};
  std::atomic<unsigned> receives_{0};
  bool scripted(qp::incoming_datagram* batch, std::size_t& count, bool waiting) {
    if (script.empty()) return false;
    waited.push_back(waiting);
    count = std::min(count, script.front());
    script.erase(script.begin());
    for (std::size_t i = 0; i < count; ++i) {
      batch[i].result = {qp::receive_status::received, 0};
      batch[i].sender.length = qp::ipv4_peer::capacity;
    }
    return true;
  }
  std::mutex addresses_lock_;
  std::vector<std::uint32_t> destinations_;
  std::vector<std::uint32_t> sources_;
};

}  // namespace test

#endif  // QUELMORA_TESTS_FAULT_PLATFORM_H
