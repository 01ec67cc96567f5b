// Real NTP software against the library, both ways, on loopback: real
// clients query the library's server (run by this test process), and the
// library's query reads a real chronyd. Nothing here may set the clock:
// the clients only print, and chronyd runs with -Q or -x.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "ntp_packet.h"
#include "quelmora_ntp.h"
#include "udp_peer.h"

extern char** environ;

namespace {

constexpr double offset_bound_s = 0.050;
constexpr const char* system_python = "/usr/bin/python3";

// The program's path on PATH (or in the system folders), or "".
std::string program_path(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return ::access(program.c_str(), X_OK) == 0 ? program : "";
  }
  const char* path = std::getenv("PATH");
  std::string folders = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
  std::size_t begin = 0;
  while (begin <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', begin), folders.size());
    const std::string candidate = folders.substr(begin, end - begin) + "/" + program;
    if (end > begin && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    begin = end + 1;
  }
  return "";
}

bool installed(const std::string& program) { return !program_path(program).empty(); }

bool ntplib_installed() {
  return installed(system_python) &&
         std::system((std::string(system_python) + " -c 'import ntplib' 2>/dev/null").c_str()) == 0;
}

#define REQUIRE_PROGRAM(program, package)                                               \
  if (!installed(program)) GTEST_SKIP() << program << " is missing: apt-get install " \
                                        << package

// Runs a command to its end (bounded by `timeout`) and returns what it printed.
std::string run(const std::string& command, int timeout_s = 20) {
  const std::string bounded =
      "timeout " + std::to_string(timeout_s) + " " + command + " 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(bounded.c_str(), "r")) {
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    ::pclose(pipe);
  }
  return output;
}

// The first number that follows `pattern`'s group, or NaN.
double number_after(const std::string& text, const std::string& pattern) {
  std::smatch found;
  if (!std::regex_search(text, found, std::regex(pattern))) return NAN;
  return std::stod(found[1].str());
}

// A temporary folder that chronyd, which drops to its own user, may write.
class scratch_dir {
 public:
  scratch_dir() {
    char name[] = "/tmp/quelmora-interop-XXXXXX";
    path_ = ::mkdtemp(name);
    ::chmod(path_.c_str(), 0777);
  }
  ~scratch_dir() { std::system(("rm -rf " + path_).c_str()); }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name)) << text;
    return file(name);
  }

 private:
  std::string path_;
};

// A server process of another program, stopped by its process id.
class background_process {
 public:
  explicit background_process(const std::vector<std::string>& arguments,
                              const std::string& log_path) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~background_process() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  background_process(const background_process&) = delete;
  background_process& operator=(const background_process&) = delete;

  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};


// Loopback addresses the server is asked on: it listens on all of them, and
// each reply must come from the one asked, or the client drops it.
const char* const local_addresses[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

std::string ntpdig_query(const std::string& host) { return run("ntpdig -j -t 3 " + host); }

double ntpdig_offset(const std::string& output) {
  return number_after(output, "\"offset\":(-?[0-9.]+)");
}

// chronyd measuring a server once (-Q: it prints, and never touches the clock).
double chronyd_query_offset(const std::string& host, std::uint16_t port,
                            const std::string& options = "") {
  scratch_dir dir;
  const std::string config =
      dir.write("chrony.conf", "server " + host + " port " + std::to_string(port) + " iburst" +
                                   options + "\ncmdport 0\npidfile " + dir.file("chronyd.pid") + "\n");
  const std::string output = run("chronyd -Q -t 10 -f " + config);
  const double offset = number_after(output, "System clock wrong by (-?[0-9.]+) seconds");
  if (std::isnan(offset)) std::printf("chronyd said:\n%s\n", output.c_str());
  return offset;
}

// What ntplib's reply says, as "offset X stratum S mode M".
std::string ntplib_query(const std::string& host, std::uint16_t port, int version = 4) {
  return run(std::string(system_python) + " -c 'import ntplib; r = ntplib.NTPClient().request(\"" +
             host + "\", version=" + std::to_string(version) + ", port=" + std::to_string(port) +
             ", timeout=3); print(\"offset\", r.offset, \"stratum\", r.stratum, \"mode\", r.mode)'");
}

double ntplib_offset(const std::string& output) {
  return number_after(output, "offset (-?[0-9.e-]+)");
}

// The library's server on port 123, for the clients that know no other port.
class ServerOnPort123 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ntp_start(0) != 0) {
      GTEST_SKIP() << "port 123 is not free here or needs privilege: " << ntp_last_error();
    }
  }
  void TearDown() override {
    if (ntp_status() == 1) ntp_stop();
  }
};

TEST_F(ServerOnPort123, NtpdigAcceptsTheReplyOnEachLocalAddress) {
  REQUIRE_PROGRAM("ntpdig", "ntpsec-ntpdig");
  for (const char* address : local_addresses) {
    const std::string output = ntpdig_query(address);
    EXPECT_NE(output.find("\"stratum\":2"), std::string::npos) << address << ": " << output;
    EXPECT_LT(std::fabs(ntpdig_offset(output)), offset_bound_s) << address << ": " << output;
  }
}

TEST_F(ServerOnPort123, SntpAcceptsTheReply) {
  REQUIRE_PROGRAM("sntp", "sntp");
  const std::string output = run("sntp -t 3 127.0.0.1");
  // e.g. "2026-12-08 19:13:01.302407 (+0000) +0.000032 +/- 0.000290 127.0.0.1 s2 no-leap"
  EXPECT_NE(output.find(" s2 no-leap"), std::string::npos) << output;
  const double offset = number_after(output, "\\) ([-+][0-9.]+) \\+/-");
  EXPECT_LT(std::fabs(offset), offset_bound_s) << output;
}

class ServerOnFreePort : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::free_port();
    ASSERT_EQ(ntp_start(port_), 0) << ntp_last_error();
  }
  void TearDown() override { ntp_stop(); }
  std::uint16_t port_ = 0;
};

TEST_F(ServerOnFreePort, ChronydQueryModeAcceptsTheReplyToVersions4And3) {
  REQUIRE_PROGRAM("chronyd", "chrony");
  for (const char* version : {"", " version 3"}) {
    EXPECT_LT(std::fabs(chronyd_query_offset("127.0.0.1", port_, version)), offset_bound_s)
        << "version line: '" << version << "'";
  }
}

#define REQUIRE_NTPLIB()          \
  if (!ntplib_installed())        \
  GTEST_SKIP() << "ntplib is missing from the system Python: apt-get install python3-ntplib"

TEST_F(ServerOnFreePort, PythonNtplibAcceptsTheReplyToVersions2To4) {
  REQUIRE_NTPLIB();
  for (int version : {2, 3, 4}) {
    const std::string output = ntplib_query("127.0.0.1", port_, version);
    EXPECT_NE(output.find("stratum 2 mode 4"), std::string::npos) << output;
    EXPECT_LT(std::fabs(ntplib_offset(output)), offset_bound_s) << "version " << version << ": " << output;
  }
}

// Clients that check where a reply came from: our own connected socket,
// ntplib's address check, chronyd.
TEST_F(ServerOnFreePort, AnswersFromEachAddressItIsAskedOn) {
  REQUIRE_PROGRAM("chronyd", "chrony");
  REQUIRE_NTPLIB();
  for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
    unsigned char pkt[48];
    EXPECT_EQ(ntp_query(address, port_, pkt, sizeof pkt), 48) << address << ": " << ntp_last_error();
    const std::string output = ntplib_query(address, port_);
    EXPECT_LT(std::fabs(ntplib_offset(output)), offset_bound_s) << address << ": " << output;
    EXPECT_LT(std::fabs(chronyd_query_offset(address, port_)), offset_bound_s) << address;
  }
}

// chronyd serving its own clock as a local stratum-3 server, never adjusting it (-x).
TEST(QueryAgainstChronyd, ReadsARealServerWhosePortTheLibraryCannotTake) {
  REQUIRE_PROGRAM("chronyd", "chrony");
  scratch_dir dir;
  const std::uint16_t port = test::free_port();
  const std::string config = dir.write(
      "chrony.conf", "port " + std::to_string(port) +
                         "\nbindaddress 127.0.0.1\nallow 127.0.0.1\nlocal stratum 3\ncmdport 0\n"
                         "pidfile " + dir.file("chronyd.pid") + "\ndriftfile " +
                         dir.file("drift") + "\n");
  background_process chronyd({program_path("chronyd"), "-d", "-x", "-f", config}, dir.file("log"));
  ASSERT_TRUE(chronyd.started());

  // The request's transmit time is a known clock reading, to compare exactly.
  test::fault_platform clock;
  unsigned char pkt[48] = {};
  int result = -1;
  for (int attempt = 0; attempt < 50 && result != 48; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    clock.fixed_clock = false;
    clock.clock_ticks = clock.utc_ticks_since_1970();
    clock.fixed_clock = true;
    result = ntp_query("127.0.0.1", port, pkt, sizeof pkt);
  }
  ASSERT_EQ(result, 48) << ntp_last_error();
  EXPECT_EQ(pkt[0] & 7, 4);
  EXPECT_EQ(pkt[1], 3);
  unsigned char sent[48];
  quelmora::compose_request(sent);  // the same fixed reading as the query's request
  EXPECT_EQ(0, std::memcmp(pkt + 24, sent + 40, 8)) << "originate is not what was sent";
  const test::bytes reply(pkt, pkt + 48);
  const double server_time = test::be32(reply, 40) + test::be32(reply, 44) / 4294967296.0;
  const double local_time = test::be32(test::bytes(sent, sent + 48), 40) +
                            test::be32(test::bytes(sent, sent + 48), 44) / 4294967296.0;
  EXPECT_LT(std::fabs(server_time - local_time), offset_bound_s);

  clock.fixed_clock = false;
  EXPECT_EQ(ntp_start(port), -1);
  EXPECT_STREQ(ntp_last_error(), "bind failed (port in use?)");
  EXPECT_EQ(ntp_query("127.0.0.1", port, pkt, sizeof pkt), 48) << "chronyd lost its traffic";
  EXPECT_EQ(pkt[1], 3);
}

}  // namespace

namespace {

std::uint64_t fixed_point(const test::bytes& reply, std::size_t offset) {
  return static_cast<std::uint64_t>(test::be32(reply, offset)) << 32 | test::be32(reply, offset + 4);
}

// A server started while the host clock was wrong, the clock then set right:
// strict clients reject a reference time later than the transmit time, or
// a day or more before it. Port 123 where possible, for ntpdig.
class ClockSetRightAfterTheStart : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(ClockSetRightAfterTheStart, RepliesCarryAReferenceTimeClientsAccept) {
  constexpr std::int64_t ticks_per_second = 10000000;
  test::fault_platform clock;
  clock.clock_ticks = clock.utc_ticks_since_1970() + static_cast<std::uint64_t>(GetParam() * ticks_per_second);
  clock.fixed_clock = true;
  std::uint16_t port = 123;
  if (ntp_start(0) != 0) {
    port = test::free_port();
    ASSERT_EQ(ntp_start(port), 0) << ntp_last_error();
  }
  clock.fixed_clock = false;
  test::udp_peer client;
  for (int i = 0; i < 2; ++i) {
    client.send_to(port, test::client_request(0x23));
    test::bytes reply;
    ASSERT_TRUE(client.receive(reply, 2000));
    const std::uint64_t reference = fixed_point(reply, 16);
    const std::uint64_t transmit = fixed_point(reply, 40);
    EXPECT_LE(reference, transmit);
    EXPECT_LE(transmit - reference, std::uint64_t{quelmora::reference_renewal_seconds} << 32);
  }
  if (port == 123 && installed("ntpdig")) {
    const std::string output = ntpdig_query("127.0.0.1");
    EXPECT_LT(std::fabs(ntpdig_offset(output)), offset_bound_s) << output;
  }
  if (installed("chronyd")) {
    EXPECT_LT(std::fabs(chronyd_query_offset("127.0.0.1", port)), offset_bound_s);
  }
  if (ntplib_installed()) {
    const std::string output = ntplib_query("127.0.0.1", port);
    EXPECT_LT(std::fabs(ntplib_offset(output)), offset_bound_s) << output;
  }
  ntp_stop();
}

// Seconds the clock was off at the start: 40 hours and 7 days behind, 1 hour ahead.
INSTANTIATE_TEST_SUITE_P(ClockOffAtStart, ClockSetRightAfterTheStart,
                         ::testing::Values(-40 * 3600, -7 * 24 * 3600, 3600));

}  // namespace
