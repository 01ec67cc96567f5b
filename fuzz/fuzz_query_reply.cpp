// Fuzzes ntp_query's handling of whatever comes back: a platform layer that
// answers every request with the fuzzer's bytes as one datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "quelmora_ntp.h"

namespace {

namespace qp = quelmora::platform;

constexpr std::size_t packet_size = 48;
constexpr std::size_t canary_size = 16;
constexpr unsigned char canary = 0xC3;
constexpr int reply_timeout_ms = 5000;
constexpr std::uint64_t wait_ms = 1000;
// The transmit timestamp of a request composed at 1970-01-01 00:00:00 UTC,
// which its reply's originate timestamp (bytes 24 to 31) must repeat.
constexpr unsigned char request_transmit[8] = {0x83, 0xAA, 0x7E, 0x80, 0, 0, 0, 0};
constexpr std::size_t originate_offset = 24;

void require(bool holds) {
  if (!holds) std::abort();
}

// No network at all: one fake socket whose peer sends back `reply`.
class scripted_peer final : public qp::platform {
 public:
  const std::uint8_t* reply = nullptr;
  std::size_t reply_size = 0;
  bool request_sent = false;

  bool start_socket_layer() override { return true; }
  qp::socket_handle open_ipv4_datagram_socket() override { return qp::invalid_socket; }
  void prepare_server_socket(qp::socket_handle, int) override {}
  bool bind_ipv4_any(qp::socket_handle, std::uint16_t) override { return false; }
  qp::wait_outcome wait_readable(qp::socket_handle, int) override {
    return qp::wait_outcome::nothing;
  }
  qp::receive_result receive_pending_from(qp::socket_handle, qp::incoming_datagram&) override {
    return {qp::receive_status::failed, 0};
  }
  qp::send_status send_to(qp::socket_handle, const qp::outgoing_datagram&) override {
    return qp::send_status::failed;
  }
  void interrupt_waits(qp::socket_handle) override {}
  void close_socket(qp::socket_handle socket) override { require(socket == fake_socket); }
  qp::address_list* resolve_datagram(const char*, const char*) override {
    return reinterpret_cast<qp::address_list*>(&fake_address);
  }
  qp::endpoint first_address(const qp::address_list*) override { return {0, &fake_address, 4}; }
  void release_addresses(qp::address_list*) override {}
  qp::socket_handle open_datagram_socket(int) override { return fake_socket; }
  bool connect_to(qp::socket_handle, const qp::endpoint&) override { return true; }
  long send(qp::socket_handle, const unsigned char* data, std::size_t length) override {
    require(length == packet_size && data[0] == 0x23);
    for (std::size_t i = 1; i < 40; ++i) require(data[i] == 0);
    request_sent = true;
    return static_cast<long>(length);
  }
  // The reply once; then the waits run out, each a second of the deadline.
  qp::receive_result receive_within(qp::socket_handle, unsigned char* buffer, std::size_t capacity,
                                    int timeout_ms) override {
    require(timeout_ms > 0 && timeout_ms <= reply_timeout_ms);
    if (reply_taken) {
      milliseconds += wait_ms;
      return {qp::receive_status::nothing_pending, 0};
    }
    reply_taken = true;
    if (reply_size > capacity) return {qp::receive_status::too_long, 0};
    if (reply_size > 0) std::memcpy(buffer, reply, reply_size);
    return {qp::receive_status::received, reply_size};
  }
  void keep_library_loaded() override {}
  bool start_thread(qp::thread_entry, void*, qp::thread_handle&) override { return false; }
  bool wait_thread(qp::thread_handle, int) override { return true; }
  void release_thread(qp::thread_handle) override {}
  void sleep_milliseconds(int) override {}
  std::uint64_t monotonic_milliseconds() override { return milliseconds; }
  std::uint64_t utc_ticks_since_1970() override { return 0; }

  bool reply_taken = false;
  std::uint64_t milliseconds = 0;

 private:
  static constexpr qp::socket_handle fake_socket = 7;
  int fake_address = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 2000) return 0;
  static scripted_peer peer;
  peer.reply = data;
  peer.reply_size = size;
  peer.request_sent = false;
  peer.reply_taken = false;
  qp::install(&peer);

  unsigned char pkt[packet_size + canary_size];
  std::memset(pkt, canary, sizeof pkt);
  const int result = ntp_query("192.0.2.1", 123, pkt, static_cast<int>(sizeof pkt));
  qp::install(nullptr);

  require(peer.request_sent);
  for (std::size_t i = packet_size; i < sizeof pkt; ++i) require(pkt[i] == canary);
  if (size == packet_size &&
      std::memcmp(data + originate_offset, request_transmit, sizeof request_transmit) == 0) {
    require(result == static_cast<int>(packet_size));
    require(std::memcmp(pkt, data, packet_size) == 0);
  } else {
    require(result == -1);
    require(std::strcmp(ntp_last_error(), "no reply within 5s (timeout or short packet)") == 0);
  }
  return 0;
}
