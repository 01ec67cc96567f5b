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

bool stop_requested(const std::atomic<std::int32_t>& stop) {
  return stop.load(std::memory_order_acquire) != 0;
}

// Judges each received datagram on its own, counts it, and composes the
// replies (each reading the clock as it is composed, and leaving from the
// address its request reached); returns how many are ready to send. Stops
// early, setting `stopping`, once a stop is requested. Requests are counted
// before their replies can be, so a report never shows more replies than
// requests.
std::size_t answer_batch(const std::atomic<std::int32_t>& stop, server_batch& batch,
                         std::size_t received, ntp_timestamp& reference, bool& stopping) {
  std::uint32_t counted = 0;
  std::size_t answers = 0;
  for (std::size_t i = 0; i < received && !(stopping = stop_requested(stop)); ++i) {
    const platform::incoming_datagram& request = batch.incoming[i];
    const datagram_fate fate =
        take_datagram(request.result, batch.requests[i], reference, batch.replies[answers]);
    if (fate == datagram_fate::ignored) continue;
    ++counted;
    if (fate == datagram_fate::answered) {
      batch.outgoing[answers] = {batch.replies[answers], packet_size, &request.sender,
                                 request.destination, platform::send_status::failed};
      ++answers;
    }
  }
  g_requests.fetch_add(counted);
  return answers;
}

// The replies whose source the system refused (the address went away
// between the receive and the send, or is none it sends from) go out once
// more from an address it picks: a reply from another address may still
// serve a lenient client, and none serves no one.
std::size_t resend_refused(platform::platform& os, socket_handle sock,
                           platform::outgoing_datagram* outgoing, std::size_t count) {
  std::size_t refused = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (outgoing[i].status != platform::send_status::source_refused) continue;
    outgoing[refused] = outgoing[i];
    outgoing[refused].source = {0, false};
    ++refused;
  }
  return refused == 0 ? 0 : os.send_batch(sock, outgoing, refused);
}

// A reply that could not be sent is not reported: the client will retry.
void send_replies(platform::platform& os, socket_handle sock, platform::outgoing_datagram* outgoing,
                  std::size_t count) {
  std::size_t sent = os.send_batch(sock, outgoing, count);
  if (sent < count) sent += resend_refused(os, sock, outgoing, count);
  g_replies.fetch_add(static_cast<std::uint32_t>(sent));
}

// A socket whose receiving side is shut down hands each receive an empty
// datagram from no one, at once. Unless a stop did that, something else shut
// it down: that is a failed receive, which ends the batch, and the thread
// rests rather than spin on it.
std::size_t end_at_shutdown(platform::incoming_datagram* incoming, std::size_t received) {
  for (std::size_t i = 0; i < received; ++i) {
    platform::receive_result& got = incoming[i].result;
    if (got.status == platform::receive_status::received && got.length == 0 &&
        incoming[i].sender.length == 0) {
      got = {platform::receive_status::failed, 0};
      return i + 1;
    }
  }
  return received;
}

// After a receive failed, a socket that keeps failing would bring the thread
// straight back: it rests for one wait's length, looking at the stop flag
// often enough that a stop is as prompt as ever.
constexpr int failure_rest_step_ms = 10;

void rest_after_failure(platform::platform& os, const server_run& run) {
  for (int rested = 0; rested < wait_timeout_ms && !stop_requested(run.stop);
       rested += failure_rest_step_ms) {
    os.sleep_milliseconds(failure_rest_step_ms);
  }
}

// How many datagrams a receive makes room for. Each place costs the
// platform a message header to prepare, which a lone request should not pay
// for 32 times over: the room doubles while receives come back full, and
// otherwise follows what came. Never past the batch, so that a receive that
// fills the batch counts as full.
constexpr std::size_t least_room = 4;

std::size_t next_room(std::size_t room, std::size_t received) {
  const std::size_t wanted = received == room ? room * 2 : received * 2;
  if (wanted > platform::max_batch) return platform::max_batch;
  return wanted > least_room ? wanted : least_room;
}

// Takes everything pending in one receive and answers it with one send.
// The receive waits (bounded) for the first datagram unless the last one
// filled the whole batch, where more is likely pending; where the platform
// can wait in the receive itself, a lone request costs a receive and a send.
// The stop flag is tested before and after each receive and before each
// datagram, and ntp_stop cuts a wait short, so a stop request is seen within
// one wait, and a datagram taken after it belongs to no run; replies
// already composed still go out. The reference time starts as the run's
// start time and is the thread's own from then on.
void server_loop(platform::platform& os, server_run& run) {
  server_batch batch;
  ntp_timestamp reference = run.start;
  std::size_t room = least_room;
  bool batch_was_full = false;
  for (;;) {
    if (stop_requested(run.stop)) return;
    const round_outcome round =
        serve_round(os, run.sock, run.stop, batch, reference, room, !batch_was_full);
    if (round.stopping) return;
    batch_was_full = round.received == room;
    room = next_room(room, round.received);
    if (round.receive_failed) rest_after_failure(os, run);
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

// A child of fork() has copies of the server's sockets but none of its
// threads: it runs no server. It closes its copies without a shutdown, which
// would shut down the parent's socket too (the two are one socket).
void forget_server_in_child() {
  platform::platform& os = platform::current();
  for (server_run& run : g_runs) {
    if (run.holders.load(std::memory_order_relaxed) == 0) continue;
    if (run.sock != platform::invalid_socket) os.close_socket(run.sock);
    run.sock = platform::invalid_socket;
    run.thread = nullptr;
    run.holders.store(0, std::memory_order_relaxed);
  }
  g_run = nullptr;
  g_running.store(0);
  g_control.store(control_stopped);
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
  os.prepare_server_socket(sock, wait_timeout_ms);
  if (!os.bind_ipv4_any(sock, static_cast<std::uint16_t>(port))) {
    set_last_error("bind failed (port in use?)");
    os.close_socket(sock);
    return result_failed;
  }
  platform::on_fork_child(forget_server_in_child);
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

server_batch::server_batch() {
  for (std::size_t i = 0; i < platform::max_batch; ++i) {
    incoming[i] = {requests[i], packet_size, {}, {}, {}};
  }
}

round_outcome serve_round(platform::platform& os, socket_handle sock,
                          const std::atomic<std::int32_t>& stop, server_batch& batch,
                          ntp_timestamp& reference, std::size_t room, bool wait) {
  if (room > platform::max_batch) room = platform::max_batch;
  const std::size_t received = end_at_shutdown(
      batch.incoming, wait ? os.receive_batch_waiting(sock, batch.incoming, room, wait_timeout_ms)
                           : os.receive_pending_batch(sock, batch.incoming, room));
  // A failure always ends the batch.
  const bool receive_failed =
      received > 0 && batch.incoming[received - 1].result.status == platform::receive_status::failed;
  if (stop_requested(stop)) return {received, receive_failed, true};
  bool stopping = false;
  const std::size_t answers = answer_batch(stop, batch, received, reference, stopping);
  if (answers > 0) send_replies(os, sock, batch.outgoing, answers);
  return {received, receive_failed, stopping};
}

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
