// Load generator for SNTP servers on loopback: keeps W client requests
// outstanding over a few source sockets for a fixed time, matches each reply
// to its request, and prints one JSON line of figures.
//
//   loadgen --port P [--window W] [--sockets S] [--seconds T] [--echo]
//
// Each request carries a unique sequence number as its transmit timestamp; an
// NTP server echoes it in the originate field (offset 24), a bare echo
// server returns it where it was (offset 40, with --echo).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ntp_packet.h"

namespace {

using quelmora::mode_client;
using quelmora::mode_mask;
using quelmora::mode_server;
using quelmora::originate_offset;
using quelmora::packet_size;
using quelmora::transmit_offset;
constexpr std::int64_t loss_timeout_ns = 200'000'000;
constexpr std::int64_t drain_ns = 300'000'000;
constexpr std::size_t max_samples = 20'000'000;  // bounds memory on a fast machine
constexpr std::uint32_t slot_count = 1U << 16;   // more than any window
constexpr int batch = 64;

struct options {
  int port = 0;
  int window = 32;
  int sockets = 4;
  double seconds = 2.0;
  bool echo = false;
};

struct slot {
  std::uint64_t sequence = 0;
  std::int64_t sent_ns = 0;
  int socket_index = -1;  // -1: free
};

std::int64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void put_be64(unsigned char* place, std::uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) place[i] = static_cast<unsigned char>(value);
}

std::uint64_t get_be64(const unsigned char* place) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | place[i];
  return value;
}

options parse(int argc, char** argv) {
  options parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "0";
    if (flag == "--port") parsed.port = std::atoi(value), ++i;
    else if (flag == "--window") parsed.window = std::atoi(value), ++i;
    else if (flag == "--sockets") parsed.sockets = std::atoi(value), ++i;
    else if (flag == "--seconds") parsed.seconds = std::atof(value), ++i;
    else if (flag == "--echo") parsed.echo = true;
  }
  if (parsed.port <= 0 || parsed.window <= 0 || parsed.sockets <= 0 || parsed.seconds <= 0 ||
      parsed.seconds > 60) {
    std::fprintf(stderr, "usage: loadgen --port P [--window W] [--sockets S] [--seconds T<=60] [--echo]\n");
    std::exit(2);
  }
  parsed.sockets = std::min(parsed.sockets, parsed.window);
  return parsed;
}

class generator {
 public:
  explicit generator(const options& chosen) : options_(chosen), slots_(slot_count) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<std::uint16_t>(chosen.port));
    for (int i = 0; i < chosen.sockets; ++i) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
      sockets_.push_back(fd);
    }
    samples_.reserve(1 << 20);
  }
  ~generator() {
    for (int fd : sockets_) ::close(fd);
  }

  void run() {
    const std::int64_t start = now_ns();
    const std::int64_t end = start + static_cast<std::int64_t>(options_.seconds * 1e9);
    for (int i = 0; i < options_.window; ++i) send_request(i % options_.sockets);
    std::int64_t next_loss_scan = start + loss_timeout_ns / 4;
    for (std::int64_t now = start; outstanding_ > 0 && now < end + drain_ns; now = now_ns()) {
      const bool sending = now < end;
      // Spins instead of sleeping: a server that had to wake the generator
      // for its replies would pay for the wake-ups in its own measurement.
      for (std::size_t i = 0; i < sockets_.size(); ++i) drain(static_cast<int>(i), sending);
      if (now >= next_loss_scan) {
        expire(now, sending);
        next_loss_scan = now + loss_timeout_ns / 4;
      }
    }
    lost_ += outstanding_;
    elapsed_s_ = static_cast<double>(std::min(now_ns(), end) - start) / 1e9;
  }

  void report() {
    std::sort(samples_.begin(), samples_.end());
    const auto percentile = [this](double p) {
      return samples_.empty() ? 0.0
                              : static_cast<double>(samples_[static_cast<std::size_t>(
                                    p * static_cast<double>(samples_.size() - 1))]) / 1e3;
    };
    std::printf(
        "{\"replies\":%llu,\"seconds\":%.3f,\"rate\":%.0f,\"lost\":%llu,\"invalid\":%llu,"
        "\"p50_us\":%.1f,\"p99_us\":%.1f}\n",
        static_cast<unsigned long long>(replies_), elapsed_s_,
        static_cast<double>(replies_in_time_) / elapsed_s_, static_cast<unsigned long long>(lost_),
        static_cast<unsigned long long>(invalid_), percentile(0.50), percentile(0.99));
  }

 private:
  // Stamps and registers one request in `request`; sending is the caller's.
  void prepare_request(int socket_index, unsigned char* request) {
    std::memset(request, 0, packet_size);
    request[0] = 0x23;
    const std::uint64_t sequence = ++last_sequence_;
    put_be64(request + transmit_offset, sequence);
    slot& entry = slots_[sequence % slot_count];
    if (entry.socket_index >= 0) {  // never expected with windows below slot_count
      ++lost_;
      --outstanding_;
    }
    entry = {sequence, now_ns(), socket_index};
    ++outstanding_;
  }

  void send_request(int socket_index) {
    unsigned char request[packet_size];
    prepare_request(socket_index, request);
    ::send(sockets_[static_cast<std::size_t>(socket_index)], request, packet_size, 0);
  }

  bool accept_reply(const unsigned char* reply, std::size_t length, std::int64_t now,
                    bool sending) {
    const std::size_t match_offset = options_.echo ? transmit_offset : originate_offset;
    const unsigned char expected_mode = options_.echo ? mode_client : mode_server;
    const std::uint64_t sequence = get_be64(reply + match_offset);
    slot& entry = slots_[sequence % slot_count];
    if (length != packet_size || (reply[0] & mode_mask) != expected_mode || entry.socket_index < 0 ||
        entry.sequence != sequence) {
      ++invalid_;
      return false;
    }
    entry.socket_index = -1;
    --outstanding_;
    ++replies_;
    if (sending) ++replies_in_time_;
    if (samples_.size() < max_samples) samples_.push_back(now - entry.sent_ns);
    return true;
  }

  // Takes every reply waiting on the socket and sends as many new requests,
  // a batch at a time, so that the generator outruns the server it measures.
  void drain(int socket_index, bool sending) {
    const int fd = sockets_[static_cast<std::size_t>(socket_index)];
    static unsigned char buffers[batch][packet_size + 1];
    static iovec vectors[batch];
    static mmsghdr messages[batch];
    for (;;) {
      for (int i = 0; i < batch; ++i) {
        vectors[i] = {buffers[i], sizeof buffers[i]};
        messages[i].msg_hdr = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int received = ::recvmmsg(fd, messages, batch, MSG_DONTWAIT, nullptr);
      if (received <= 0) return;
      const std::int64_t now = now_ns();
      unsigned replacements = 0;
      for (int i = 0; i < received; ++i) {
        if (accept_reply(buffers[i], messages[i].msg_len, now, sending) && sending) {
          prepare_request(socket_index, buffers[replacements]);
          vectors[replacements].iov_len = packet_size;
          ++replacements;
        }
      }
      if (replacements > 0) ::sendmmsg(fd, messages, replacements, 0);
    }
  }

  void expire(std::int64_t now, bool sending) {
    for (slot& entry : slots_) {
      if (entry.socket_index >= 0 && now - entry.sent_ns > loss_timeout_ns) {
        const int socket_index = entry.socket_index;
        entry.socket_index = -1;
        --outstanding_;
        ++lost_;
        if (sending) send_request(socket_index);
      }
    }
  }

  options options_;
  std::vector<slot> slots_;
  std::vector<int> sockets_;
  std::vector<std::int64_t> samples_;
  std::uint64_t last_sequence_ = 0;
  std::uint64_t outstanding_ = 0;
  std::uint64_t replies_ = 0;
  std::uint64_t replies_in_time_ = 0;
  std::uint64_t lost_ = 0;
  std::uint64_t invalid_ = 0;
  double elapsed_s_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  generator load(parse(argc, argv));
  load.run();
  load.report();
  return 0;
}
