// quelmora-ntp: serve time, query a server, and show what the library says.
//
//   quelmora-ntp serve [--port N] [--seconds S] [--json]
//   quelmora-ntp query HOST[:PORT] [--port N] [--count K] [--interval S] [--json]
//   quelmora-ntp version | --version
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "console.h"
#include "quelmora_ntp.h"
#include "sntp_decode.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int suggested_port = 12300;
constexpr int default_port = 123;
constexpr int highest_port = 65535;
constexpr int first_unprivileged_port = 1024;
constexpr std::size_t status_capacity = 160;
constexpr const char* no_reply = "no reply within 5s (timeout or short packet)";
// A query that failed this much sooner did not wait out its 5 s.
constexpr double early_failure_s = 4.0;

struct counters {
  unsigned long long requests = 0;
  unsigned long long replies = 0;
};

counters read_counters() {
  counters read;
  int running = 0;
  int port = 0;
  std::sscanf(ntp_stats(), "{\"running\":%d,\"port\":%d,\"requests\":%llu,\"replies\":%llu}",
              &running, &port, &read.requests, &read.replies);
  return read;
}

std::string counts_text(const char* state, int port, const counters& now, const counters* before) {
  char text[status_capacity];
  const int length = std::snprintf(text, sizeof text, "%s  port %d  requests %llu  replies %llu",
                                   state, port, now.requests, now.replies);
  if (before != nullptr && length > 0) {
    std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "  %llu req/s",
                  now.requests - before->requests);
  }
  return text;
}

// Serves until the user asks to stop or, when seconds > 0, until they have passed.
int serve(int port, double seconds, bool json) {
  const int shown_port = port == 0 ? default_port : port;
  // Before the first reply can go out: whoever has seen one may ask to stop.
  console::catch_stop_requests();
  if (ntp_start(port) != 0) {
    std::fprintf(stderr, "quelmora-ntp: cannot serve: %s\n", ntp_last_error());
    if (std::string(ntp_last_error()).find("bind") == std::string::npos) return exit_failure;
    if (shown_port < first_unprivileged_port) {
      std::fprintf(stderr, "port %d may be taken or need privilege; try --port %d\n",
                   shown_port, suggested_port);
    } else {
      std::fprintf(stderr, "port %d may be taken by another program; try another --port\n",
                   shown_port);
    }
    return exit_failure;
  }
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(seconds));
  counters last = read_counters();
  auto next_report = started + std::chrono::seconds(1);
  while (!console::stop_requested() && (seconds <= 0 || std::chrono::steady_clock::now() < deadline)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::chrono::steady_clock::now() < next_report) continue;
    next_report += std::chrono::seconds(1);
    if (json) {
      std::printf("%s\n", ntp_stats());
      std::fflush(stdout);
    } else {
      const counters now = read_counters();
      console::show_status(counts_text("running", shown_port, now, &last).c_str());
      last = now;
    }
  }
  ntp_stop();
  if (json) {
    std::printf("%s\n", ntp_stats());
  } else {
    console::end_status_lines();
    std::printf("%s\n", counts_text("stopped", shown_port, read_counters(), nullptr).c_str());
  }
  console::stopped_cleanly();
  return exit_ok;
}

std::string json_text(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// A timestamp as ISO-8601 text, "-" where the reply's field was zero.
std::string time_text(const std::optional<sntp::unix_ns>& time) {
  return time ? sntp::iso8601(*time) : "-";
}

std::string json_time(const std::optional<sntp::unix_ns>& time) {
  return time ? json_text(sntp::iso8601(*time)) : "null";
}

// host:port, an IPv6 address in brackets ([::1]:123), as in a URL.
std::string endpoint_text(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Where a query went: the address alone, or after the name it was given as
// ("localhost (127.0.0.1:123)"), so that the address that answered is known.
std::string where_text(const std::string& host, const std::string& address, int port) {
  if (host == address) return endpoint_text(address, port);
  return host + " (" + endpoint_text(address, port) + ")";
}

void print_reply(const std::string& host, const std::string& address, int port,
                 const sntp::reply& r, const sntp::on_wire& w, bool json) {
  if (json) {
    std::printf(
        "{\"host\":%s,\"address\":%s,\"port\":%d,\"time\":\"%s\",\"offset\":%.6f,\"delay\":%.6f,"
        "\"stratum\":%d,\"refid\":%s,\"leap\":%d,\"version\":%d,\"mode\":%d,\"precision\":%d,"
        "\"root_delay\":%.6f,\"root_dispersion\":%.6f,\"reference_time\":%s}\n",
        json_text(host).c_str(), json_text(address).c_str(), port, time_text(r.transmit_time).c_str(), w.offset_s, w.delay_s,
        r.stratum, json_text(r.reference_id).c_str(), r.leap, r.version, r.mode, r.precision,
        r.root_delay_s, r.root_dispersion_s, json_time(r.reference_time).c_str());
    return;
  }
  std::printf("%s  %s  offset %+.6f s  delay %.6f s\n", where_text(host, address, port).c_str(),
              time_text(r.transmit_time).c_str(), w.offset_s, w.delay_s);
  std::printf("  stratum %d, reference id %s, leap %d, version %d, mode %d, precision 2^%d s\n",
              r.stratum, r.reference_id.c_str(), r.leap, r.version, r.mode, r.precision);
  std::printf("  root delay %.6f s, root dispersion %.6f s, reference time %s\n", r.root_delay_s,
              r.root_dispersion_s, time_text(r.reference_time).c_str());
}

// failed_at_once: the query failed long before its 5 s were out (refused,
// unreachable), so another address of the same name may still answer.
enum class outcome { answered, failed, failed_at_once, refused };

// The library's reason, and what its one text for "no reply" leaves open
// when the failure came long before the 5 s were out.
void report_failure(const std::string& where, double took_s) {
  const std::string reason = ntp_last_error();
  if (reason != no_reply || took_s >= early_failure_s) {
    std::fprintf(stderr, "quelmora-ntp: %s: %s\n", where.c_str(), reason.c_str());
    return;
  }
  std::fprintf(stderr,
               "quelmora-ntp: %s: %s; after %.3f s: the port refused the query, answered "
               "with something other than a reply, or the wait for the reply failed\n",
               where.c_str(), reason.c_str(), took_s);
}

// One query to one numeric address, with the reason on the error stream
// when it brought no time.
outcome query_once(const std::string& host, const std::string& address, int port, bool json) {
  unsigned char pkt[sntp::packet_size];
  const std::string where = where_text(host, address, port);
  const auto asked = std::chrono::steady_clock::now();
  const int result = ntp_query(address.c_str(), port, pkt, static_cast<int>(sizeof pkt));
  const sntp::unix_ns received = console::utc_now_ns();
  if (result != static_cast<int>(sntp::packet_size)) {
    const double took_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    report_failure(where, took_s);
    return took_s < early_failure_s ? outcome::failed_at_once : outcome::failed;
  }
  const sntp::reply decoded = sntp::decode(pkt, received);
  const std::string problem = sntp::problem_with(decoded);
  if (!problem.empty()) {
    std::fprintf(stderr, "quelmora-ntp: %s: invalid reply: %s\n", where.c_str(), problem.c_str());
    return sntp::is_kiss_of_death(decoded) ? outcome::refused : outcome::failed;
  }
  print_reply(host, address, port, decoded,
              sntp::calculate(*decoded.originate_time, *decoded.receive_time,
                              *decoded.transmit_time, received),
              json);
  return outcome::answered;
}

// One query of a name's addresses in turn, from the one that answered last
// (current). Only a failure that came at once moves on to the next address:
// one that took the whole 5 s would make every further address wait as long.
outcome query_addresses(const std::string& host, const std::vector<std::string>& addresses,
                        std::size_t& current, int port, bool json) {
  outcome result = outcome::failed;
  for (std::size_t tried = 0; tried < addresses.size(); ++tried) {
    const std::size_t index = (current + tried) % addresses.size();
    result = query_once(host, addresses[index], port, json);
    if (result == outcome::answered) current = index;
    if (result != outcome::failed_at_once) break;
  }
  return result;
}

int query(const std::string& host, int port, int count, double interval_s, bool json) {
  // Resolved here, not by the library, which would try the first address only.
  const std::vector<std::string> addresses = console::numeric_addresses(host);
  if (addresses.empty()) {
    std::fprintf(stderr, "quelmora-ntp: %s: host resolve failed\n",
                 endpoint_text(host, port).c_str());
    return exit_failure;
  }
  std::size_t current = 0;
  int status = exit_ok;
  for (int i = 0; i < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::duration<double>(interval_s));
    const outcome result = query_addresses(host, addresses, current, port, json);
    std::fflush(stdout);
    if (result == outcome::answered) continue;
    status = exit_failure;
    // A kiss-o'-death asks the client to stop asking.
    if (result == outcome::refused) {
      std::fprintf(stderr, "quelmora-ntp: %s: no further queries: the server refused service\n",
                   endpoint_text(host, port).c_str());
      break;
    }
  }
  return status;
}

// HOST, HOST:PORT, [IPv6] or [IPv6]:PORT; an address with two colons or
// more and no brackets is an IPv6 address, without a port.
struct host_and_port {
  std::string host;
  std::optional<int> port;
  std::string problem;
};

std::optional<int> port_number(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int port = std::stoi(text);
  if (port < 1 || port > highest_port) return std::nullopt;
  return port;
}

host_and_port split_host(const std::string& text) {
  host_and_port split;
  std::string port_text;
  bool has_port = false;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
      split.problem = "bad host " + text + ": expected [IPv6] or [IPv6]:PORT";
      return split;
    }
    split.host = text.substr(1, close - 1);
    has_port = close + 1 < text.size();
    if (has_port) port_text = text.substr(close + 2);
  } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
    split.host = text.substr(0, text.find(':'));
    has_port = true;
    port_text = text.substr(text.find(':') + 1);
  } else {
    split.host = text;
  }
  if (has_port) {
    split.port = port_number(port_text);
    if (!split.port) split.problem = "bad port in " + text + ": expected 1 to 65535";
  }
  if (split.problem.empty() && split.host.empty()) split.problem = "a host is needed";
  return split;
}

int usage_error(const std::string& problem) {
  std::fprintf(stderr, "quelmora-ntp: %s\nRun with --help for more information.\n",
               problem.c_str());
  return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"quelmora-ntp: simple network time over UDP"};
  app.require_subcommand(1);

  int serve_port = 0;
  double serve_seconds = 0;
  bool serve_json = false;
  CLI::App* serve_command = app.add_subcommand("serve", "Answer SNTP requests until stopped");
  serve_command->add_option("--port", serve_port, "UDP port (default 123)")
      ->check(CLI::Range(0, 65535));
  serve_command->add_option("--seconds", serve_seconds, "stop after this many seconds")
      ->check(CLI::PositiveNumber);
  serve_command->add_flag("--json", serve_json, "print the statistics line once a second");

  std::string host;
  int query_port = 123;
  int count = 1;
  double interval_s = 1.0;
  bool query_json = false;
  CLI::App* query_command = app.add_subcommand("query", "Ask an NTP server for the time");
  query_command->add_option("host", host, "server name or address; HOST:PORT, [IPv6]:PORT")
      ->required();
  query_command->add_option("--port", query_port, "UDP port (default 123)")
      ->check(CLI::Range(1, 65535));
  query_command->add_option("--count", count, "number of queries (default 1)")
      ->check(CLI::Range(1, 1000000));
  query_command->add_option("--interval", interval_s, "seconds between queries (default 1)")
      ->check(CLI::Range(0.0, 3600.0));
  query_command->add_flag("--json", query_json, "one JSON object per reply");

  CLI::App* version_command = app.add_subcommand("version", "Print the library's version");
  app.set_version_flag("--version", std::string(ntp_version()), "Print the library's version");

  // CLI11 would say only that a subcommand is required.
  if (argc > 1 && argv[1][0] != '-' && !serve_command->check_name(argv[1]) &&
      !query_command->check_name(argv[1]) && !version_command->check_name(argv[1])) {
    return usage_error(std::string("unknown subcommand ") + argv[1] +
                       ": expected serve, query or version");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& help_or_version) {
    return app.exit(help_or_version);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return exit_usage;
  }
  if (*version_command) {
    std::printf("%s\n", ntp_version());
    return exit_ok;
  }
  if (*serve_command) return serve(serve_port, serve_seconds, serve_json);
  const host_and_port target = split_host(host);
  if (!target.problem.empty()) return usage_error(target.problem);
  if (target.port && query_command->count("--port") > 0 && *target.port != query_port) {
    return usage_error("two ports: " + std::to_string(*target.port) + " in " + host +
                       " and --port " + std::to_string(query_port));
  }
  return query(target.host, target.port.value_or(query_port), count, interval_s, query_json);
}
