// Fuzzes one round of the server through the platform seam: a platform that
// hands out the fuzzer's datagrams, receive outcomes and control data (in
// the Linux and the Winsock layout, 64-bit and 32-bit), and fails sends as
// the fuzzer says. Checks what the round must keep whatever it is given:
// every reply is a server reply, counted once it is sent and only then,
// sent again only after its source was refused, and then without one.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ntp_module.h"
#include "ntp_packet.h"
#include "ntp_server.h"
#include "platform/control_messages.h"
#include "platform/platform.h"

namespace {

namespace qp = quelmora::platform;

void require(bool holds) {
  if (!holds) std::abort();
}

// The fuzzer's bytes, read in turn; zeros once they run out.
struct input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t used = 0;

  bool empty() const { return used >= size; }
  std::uint8_t next() { return empty() ? 0 : data[used++]; }
  // Up to `count` bytes; how many there were.
  std::size_t take(unsigned char* into, std::size_t count) {
    std::size_t taken = 0;
    while (taken < count && !empty()) into[taken++] = next();
    return taken;
  }
};

// IP_PKTINFO as Linux (address at 4, ipi_spec_dst) and Winsock (at 0) put it.
constexpr int ip_level = 0;
constexpr int pktinfo_type = 8;
constexpr qp::pktinfo_format linux_pktinfo{ip_level, pktinfo_type, 12, 4};
constexpr qp::pktinfo_format winsock_pktinfo{ip_level, pktinfo_type, 8, 0};
constexpr std::size_t control_capacity = 64;
constexpr std::size_t longest_datagram = 64;

class fuzzing_platform final : public qp::platform {
 public:
  explicit fuzzing_platform(input& bytes, std::atomic<std::int32_t>& stop)
      : bytes_(bytes), stop_(stop) {}

  std::size_t sent = 0;
  // Per reply of the round: how often it was offered, and whether its
  // source was refused.
  const unsigned char* replies = nullptr;
  int offers[qp::max_batch] = {};
  bool refused[qp::max_batch] = {};

  void start_round(const unsigned char* first_reply) {
    replies = first_reply;
    for (std::size_t i = 0; i < qp::max_batch; ++i) offers[i] = 0, refused[i] = false;
  }

  qp::receive_result receive_pending_from(qp::socket_handle, qp::incoming_datagram& datagram) override {
    const std::uint8_t outcome = bytes_.next();
    if ((outcome & 0x80) != 0) stop_.store(1);  // a stop arrives while receiving
    switch (outcome % 8) {
      case 0: return {qp::receive_status::nothing_pending, 0};
      case 1: return {qp::receive_status::too_long, 0};
      case 2: return {qp::receive_status::failed, 0};
      case 3: return {qp::receive_status::error_report, 0};
      default: break;
    }
    unsigned char datagram_bytes[longest_datagram];
    const std::size_t length = bytes_.take(datagram_bytes, bytes_.next() % (longest_datagram + 1));
    if (length > datagram.capacity) return {qp::receive_status::too_long, 0};
    std::memcpy(datagram.buffer, datagram_bytes, length);
    datagram.sender.length = qp::ipv4_peer::capacity;
    datagram.destination = destination(outcome);
    return {qp::receive_status::received, length};
  }

  qp::send_status send_to(qp::socket_handle, const qp::outgoing_datagram& datagram) override {
    require(datagram.length == quelmora::packet_size && datagram.data[0] == 0x24);
    const auto reply = static_cast<std::size_t>(datagram.data - replies) / quelmora::packet_size;
    require(reply < qp::max_batch);
    ++offers[reply];
    require(offers[reply] == 1 || (offers[reply] == 2 && refused[reply] && !datagram.source.known));
    switch (bytes_.next() % 3) {
      case 0:
        ++sent;
        return qp::send_status::sent;
      case 1:
        if (!datagram.source.known) return qp::send_status::failed;
        refused[reply] = true;
        return qp::send_status::source_refused;
      default:
        return qp::send_status::failed;
    }
  }

  // A wait ends with a datagram, with nothing (time-out, signal, stop), or fails.
  qp::wait_outcome wait_readable(qp::socket_handle, int) override {
    constexpr qp::wait_outcome outcomes[] = {qp::wait_outcome::nothing, qp::wait_outcome::failed,
                                             qp::wait_outcome::readable, qp::wait_outcome::readable};
    return outcomes[bytes_.next() % 4];
  }

  // The rest is never reached by a round.
  bool start_socket_layer() override { return true; }
  qp::socket_handle open_ipv4_datagram_socket() override { return qp::invalid_socket; }
  void prepare_server_socket(qp::socket_handle, int) override {}
  bool bind_ipv4_any(qp::socket_handle, std::uint16_t) override { return false; }
  void interrupt_waits(qp::socket_handle) override {}
  void close_socket(qp::socket_handle) override {}
  qp::address_list* resolve_datagram(const char*, const char*) override { return nullptr; }
  qp::endpoint first_address(const qp::address_list*) override { return {0, nullptr, 0}; }
  void release_addresses(qp::address_list*) override {}
  qp::socket_handle open_datagram_socket(int) override { return qp::invalid_socket; }
  bool connect_to(qp::socket_handle, const qp::endpoint&) override { return false; }
  long send(qp::socket_handle, const unsigned char*, std::size_t) override { return -1; }
  qp::receive_result receive_within(qp::socket_handle, unsigned char*, std::size_t, int) override {
    return {qp::receive_status::failed, 0};
  }
  void keep_library_loaded() override {}
  bool start_thread(qp::thread_entry, void*, qp::thread_handle&) override { return false; }
  bool wait_thread(qp::thread_handle, int) override { return true; }
  void release_thread(qp::thread_handle) override {}
  void sleep_milliseconds(int) override {}
  std::uint64_t monotonic_milliseconds() override { return 0; }
  std::uint64_t utc_ticks_since_1970() override { return 0x0123456789ABCDEFULL; }

 private:
  // Control data as one of four systems lays it out, read by the real walk.
  qp::ipv4_local destination(std::uint8_t outcome) {
    alignas(8) unsigned char control[control_capacity];
    const std::uint8_t shape = bytes_.next();
    const std::size_t length = bytes_.take(control, bytes_.next() % (control_capacity + 1));
    const qp::received_control received{control, length, (shape & 4) != 0, (outcome & 0x40) != 0};
    const qp::control_layout& layout =
        (shape & 1) != 0 ? qp::control_layout_32 : qp::control_layout_64;
    const qp::ipv4_local found = qp::reply_source_from(
        received, layout, (shape & 2) != 0 ? winsock_pktinfo : linux_pktinfo);
    require(!found.known || qp::is_unicast_source(found.address));
    require(!found.known || (!received.truncated && !received.to_group_or_broadcast));
    return found;
  }

  input& bytes_;
  std::atomic<std::int32_t>& stop_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4000) return 0;
  input bytes{data, size};
  std::atomic<std::int32_t> stop{0};
  fuzzing_platform os(bytes, stop);
  static quelmora::server_batch batch;
  quelmora::ntp_timestamp reference{0x01020304U, 0x05060708U};
  for (int round = 0; round < 4 && !bytes.empty() && stop.load() == 0; ++round) {
    const std::uint32_t requests_before = quelmora::g_requests.load();
    const std::uint32_t replies_before = quelmora::g_replies.load();
    const std::size_t sent_before = os.sent;
    os.start_round(batch.replies[0]);
    const quelmora::round_outcome outcome =
        quelmora::serve_round(os, qp::invalid_socket, stop, batch, reference,
                              1 + bytes.next() % qp::max_batch, bytes.next() % 2 == 0);
    require(outcome.received <= qp::max_batch);
    const std::uint32_t requests = quelmora::g_requests.load() - requests_before;
    const std::uint32_t replies = quelmora::g_replies.load() - replies_before;
    require(requests <= outcome.received);
    require(replies == os.sent - sent_before);
    require(replies <= requests);
  }
  return 0;
}
