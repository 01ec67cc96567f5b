// The time server: ntp_start, ntp_stop, ntp_status and the server thread.
#include "ntp_server.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ntp_module.h"
#include "ntp_packet.h"
#include "platform/platform.h"
#include "quelmora_ntp.h"

namespace quelmora {
namespace {

using platform::socket_handle;

constexpr int default_port = 123;
constexpr int lowest_port = 1;
constexpr int highest_port = 65535;
// Bounds how long the thread can miss a stop request while nothing arrives.
constexpr int wait_timeout_ms = 250;
constexpr int stop_wait_ms = 3000;

// What one start hands its thread. The thread reads only its own run, so a
// thread that outlives ntp_stop's bound never sees a later start's socket,
// stop flag or reference time. The socket stays open until both the thread
// and ntp_stop are done with it: its descriptor number cannot be handed to
// the host while a late thread may still use it.
struct server_run {
  socket_handle sock = platform::invalid_socket;
  platform::thread_handle thread = nullptr;
  ntp_timestamp start{};
  std::atomic<std::int32_t> stop{0};
  std::atomic<unsigned> holders{0};
};

constexpr unsigned run_claimed = 1U;
constexpr unsigned run_loop_done = 2U;
constexpr unsigned run_control_done = 4U;
// The current run, plus room for late threads still on their way out.
constexpr int run_count = 4;
server_run g_runs[run_count];

// Lets concurrent ntp_start/ntp_stop calls claim the lifecycle without a lock:
// a call that finds another one in progress gets the wrong-state result.
enum control_state : int { control_stopped, control_starting, control_running, control_stopping };
std::atomic<int> g_control{control_stopped};
// Written only by the caller that holds the lifecycle.
server_run* g_run = nullptr;

server_run* claim_run() {
  for (server_run& run : g_runs) {
    unsigned expected = 0;
    if (run.holders.compare_exchange_strong(expected, run_claimed, std::memory_order_acq_rel)) {
      return &run;
    }
  }
  return nullptr;
}

// Whichever of the thread and ntp_stop finishes second closes the socket and
// frees the run.
void finish_run(platform::platform& os, server_run& run, unsigned done_flag) {
  const unsigned other = done_flag == run_loop_done ? run_control_done : run_loop_done;
  if ((run.holders.fetch_or(done_flag, std::memory_order_acq_rel) & other) == 0) return;
  os.close_socket(run.sock);
  run.sock = platform::invalid_socket;
  run.holders.store(0, std::memory_order_release);
}

bool stop_requested(const server_run& run) { return run.stop.load(std::memory_order_acquire) != 0; }

// One batch of datagrams and their replies, on the server thread's stack.
struct batch_buffers {
  unsigned char requests[platform::max_batch][packet_size] = {};
  unsigned char replies[platform::max_batch][packet_size] = {};
  platform::incoming_datagram incoming[platform::max_batch] = {};
  platform::outgoing_datagram outgoing[platform::max_batch] = {};

  batch_buffers() {
    for (std::size_t i = 0; i < platform::max_batch; ++i) {
      incoming[i] = {requests[i], packet_size, {}, {}, {}};
    }
  }
};

// Judges each received datagram on its own, counts it, and composes the
// replies (each reading the clock as it is composed, and leaving from the
// address its request reached); returns how many are ready to send. Stops
// early, setting `stopping`, once a stop is requested. Requests are counted
// before their replies can be, so a report never shows more replies than
// requests.
std::size_t answer_batch(const server_run& run, batch_buffers& batch, std::size_t received,
                         ntp_timestamp& reference, bool& stopping) {
  std::uint32_t counted = 0;
  std::size_t answers = 0;
  for (std::size_t i = 0; i < received && !(stopping = stop_requested(run)); ++i) {
    const platform::incoming_datagram& request = batch.incoming[i];
    const datagram_fate fate =
        take_datagram(request.result, batch.requests[i], reference, batch.replies[answers]);
    if (fate == datagram_fate::ignored) continue;
    ++counted;
    if (fate == datagram_fate::answered) {
      batch.outgoing[answers] = {batch.replies[answers], packet_size, &request.sender,
                                 request.destination};
      ++answers;
    }
  }
  g_requests.fetch_add(counted);
  return answers;
}

// Takes everything pending in one receive and answers it with one send.
// It waits (bounded) before a receive unless the last one filled the whole
// batch: the wait returns at once when something is pending, and when
// nothing is, it saves a receive that would come back empty; so a lone
// request costs a wait, a receive and a send. The stop flag is tested after
// each wait and receive and before each datagram, so a stop request is seen
// within one wait, and a datagram taken after it belongs to no run; replies
// already composed still go out. The reference time starts as the run's
// start time and is the thread's own from then on.
void server_loop(platform::platform& os, server_run& run) {
  batch_buffers batch;
  ntp_timestamp reference = run.start;
  bool batch_was_full = false;
  for (;;) {
    if (!batch_was_full) os.wait_readable(run.sock, wait_timeout_ms);
    if (stop_requested(run)) return;
    const std::size_t received =
        os.receive_pending_batch(run.sock, batch.incoming, platform::max_batch);
    if (stop_requested(run)) return;
    batch_was_full = received == platform::max_batch;
    bool stopping = false;
    const std::size_t answers = answer_batch(run, batch, received, reference, stopping);
    // A reply that could not be sent is not reported: the client will retry.
    if (answers > 0) {
      g_replies.fetch_add(static_cast<std::uint32_t>(os.send_batch(run.sock, batch.outgoing, answers)));
    }
    if (stopping) return;
  }
}

void server_thread(void* argument) {
  auto* run = static_cast<server_run*>(argument);
  platform::platform& os = platform::current();
  server_loop(os, *run);
  finish_run(os, *run, run_loop_done);
}

server_run* launch_thread(socket_handle sock, ntp_timestamp start) {
  server_run* run = claim_run();
  if (run == nullptr) return nullptr;
  platform::current().keep_library_loaded();
  run->sock = sock;
  run->start = start;
  run->stop.store(0, std::memory_order_relaxed);
  if (!platform::current().start_thread(server_thread, run, run->thread)) {
    run->holders.store(0, std::memory_order_release);
    return nullptr;
  }
  return run;
}

int start_server(int port) {
  if (port == 0) {
    port = default_port;
  } else if (port < lowest_port || port > highest_port) {
    set_last_error("bad port");
    return result_failed;
  }
  if (!ensure_socket_layer()) {
    set_last_error("WSAStartup failed");
    return result_failed;
  }
  platform::platform& os = platform::current();
  const socket_handle sock = os.open_ipv4_datagram_socket();
  if (sock == platform::invalid_socket) {
    set_last_error("socket() failed");
    return result_failed;
  }
  os.prepare_server_socket(sock);
  if (!os.bind_ipv4_any(sock, static_cast<std::uint16_t>(port))) {
    set_last_error("bind failed (port in use?)");
    os.close_socket(sock);
    return result_failed;
  }
  const ntp_timestamp start = timestamp_now();
  g_port.store(port);
  g_requests.exchange(0);
  g_replies.exchange(0);
  server_run* run = launch_thread(sock, start);
  if (run == nullptr) {
    set_last_error("CreateThread failed");
    os.close_socket(sock);
    return result_failed;
  }
  g_run = run;
  g_running.store(1);
  return result_ok;
}

void stop_server() {
  platform::platform& os = platform::current();
  server_run& run = *g_run;
  run.stop.store(1, std::memory_order_release);
  os.interrupt_waits(run.sock);
  // A thread still running after the bound is not waited for again: it
  // returns at its next look at the stop flag and closes the socket itself.
  os.wait_thread(run.thread, stop_wait_ms);
  os.release_thread(run.thread);
  run.thread = nullptr;
  g_run = nullptr;
  finish_run(os, run, run_control_done);
  g_running.store(0);
}

bool claim_control(control_state from, control_state to) {
  int expected = from;
  return g_control.compare_exchange_strong(expected, to, std::memory_order_acq_rel);
}

}  // namespace

datagram_fate take_datagram(const platform::receive_result& got, const unsigned char* request,
                            ntp_timestamp& reference, unsigned char* reply) {
  if (got.status != platform::receive_status::received || got.length == 0) {
    return datagram_fate::ignored;
  }
  if (!is_client_request(request, got.length)) return datagram_fate::counted;
  compose_reply(request, reference, reply);
  return datagram_fate::answered;
}

}  // namespace quelmora

extern "C" {

int ntp_start(int port) {
  using namespace quelmora;
  if (!claim_control(control_stopped, control_starting)) return result_wrong_state;
  const int result = start_server(port);
  g_control.store(result == result_ok ? control_running : control_stopped,
                  std::memory_order_release);
  return result;
}

int ntp_stop(void) {
  using namespace quelmora;
  if (!claim_control(control_running, control_stopping)) return result_wrong_state;
  stop_server();
  g_control.store(control_stopped, std::memory_order_release);
  return result_ok;
}

int ntp_status(void) { return quelmora::g_running.load() != 0 ? 1 : 0; }

}  // extern "C"
