"""The quelmora-ntp command as a person runs it (system Python, unittest).

Needs the path of the built command in QUELMORA_NTP_CLI.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

CLI = os.environ.get("QUELMORA_NTP_CLI", "quelmora-ntp")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run(*arguments, timeout=30):
    return subprocess.run([CLI, *arguments], capture_output=True, text=True, timeout=timeout)


class Serving:
    """`quelmora-ntp serve` in the background, stopped by its process id."""

    def __init__(self, *arguments):
        self.port = free_port()
        self.process = subprocess.Popen([CLI, "serve", "--port", str(self.port), *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 5
        while run("query", "127.0.0.1", "--port", str(self.port)).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("serve did not come up")
            time.sleep(0.05)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        out, err = self.process.communicate(timeout=10)
        return self.process.returncode, out, err


class CommandTest(unittest.TestCase):
    def test_query_decodes_the_projects_own_server(self):
        server = Serving()
        try:
            result = run("query", f"127.0.0.1:{server.port}")
            self.assertEqual(result.returncode, 0, result.stderr)
            # Stratum 2: the reference identifier is an address, whatever its bytes spell.
            self.assertIn("stratum 2, reference id 80.73.67.66, leap 0, version 4, mode 4", result.stdout)
            result = run("query", "127.0.0.1", "--port", str(server.port), "--json",
                         "--count", "3", "--interval", "0.05")
            replies = [json.loads(line) for line in result.stdout.splitlines()]
            self.assertEqual(len(replies), 3)
            for reply in replies:
                self.assertEqual((reply["mode"], reply["stratum"], reply["refid"], reply["address"]),
                                 (4, 2, "80.73.67.66", "127.0.0.1"))
                self.assertLess(abs(reply["offset"]), 0.05)
        finally:
            code, out, _ = server.stop()
        self.assertEqual(code, 0)
        self.assertIn(f"stopped  port {server.port}  requests 5  replies 5", out)

    def test_serve_prints_a_line_a_second_and_stops_cleanly_on_sigterm(self):
        server = Serving("--json")
        time.sleep(1.3)
        code, out, err = server.stop()
        self.assertEqual(code, 0, err)
        lines = [json.loads(line) for line in out.splitlines()]
        self.assertGreaterEqual(len(lines), 2)
        self.assertEqual(lines[0]["running"], 1)
        self.assertEqual(lines[-1], {"running": 0, "port": server.port, "requests": 1, "replies": 1})

    def test_usage_errors_exit_2(self):
        for arguments, words in (([], "A subcommand is required"), (["query"], "host is required"),
                                 (["query", "127.0.0.1", "--port", "0"], "--port"),
                                 (["serve", "--port", "70000"], "--port"),
                                 (["server"], "unknown subcommand server"),
                                 (["query", ""], "a host is needed"),
                                 (["query", "127.0.0.1:12300", "--port", "12301"],
                                  "two ports: 12300 in 127.0.0.1:12300 and --port 12301"),
                                 (["query", "[::1]:0"], "bad port in [::1]:0"),
                                 (["query", "[::1"], "bad host [::1")):
            result = run(*arguments)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertIn(words, result.stderr, arguments)

    def test_failures_exit_1_with_the_reason(self):
        result = run("query", "no-such-host..invalid")
        self.assertEqual(result.returncode, 1)
        self.assertIn("host resolve failed", result.stderr)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            result = run("serve", "--port", str(holder.getsockname()[1]))
        self.assertEqual(result.returncode, 1)
        self.assertIn("bind failed (port in use?)", result.stderr)
        self.assertIn("try another --port", result.stderr)
        self.assertNotIn("privilege", result.stderr)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            try:
                holder.bind(("0.0.0.0", 1021))  # held here, or refused to us as to the command
            except OSError:
                pass
            result = run("serve", "--port", "1021", "--seconds", "1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("port 1021 may be taken or need privilege; try --port 12300", result.stderr)
        port = free_port()  # nothing listens: refused at once, whichever way the port is given
        for arguments, where in ((["127.0.0.1", "--port", str(port)], f"127.0.0.1:{port}"),
                                 ([f"127.0.0.1:{port}"], f"127.0.0.1:{port}"),
                                 (["::1", "--port", str(port)], f"[::1]:{port}"),
                                 (["[::1]", "--port", str(port)], f"[::1]:{port}"),
                                 ([f"[::1]:{port}", "--port", str(port)], f"[::1]:{port}")):
            self.assertRegex(run("query", *arguments).stderr,
                             f"quelmora-ntp: {re.escape(where)}: no reply within 5s "
                             r"\(timeout or short packet\); after 0\.\d{3} s: the port refused the "
                             "query, answered with something other than a reply, or the wait for "
                             "the reply failed\n")

    def test_a_second_server_on_a_served_port_fails_and_the_first_keeps_serving(self):
        server = Serving()
        try:
            second = run("serve", "--port", str(server.port), "--seconds", "3")
            self.assertEqual(second.returncode, 1, second.stdout)
            self.assertIn("bind failed (port in use?)", second.stderr)
            result = run("query", "127.0.0.1", "--port", str(server.port))
            self.assertEqual(result.returncode, 0, result.stderr)
        finally:
            code, out, _ = server.stop()
        self.assertEqual(code, 0)
        self.assertIn(f"stopped  port {server.port}  requests 2  replies 2", out)

    def test_a_server_that_is_not_an_sntp_server(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as echo:
            echo.bind(("127.0.0.1", 0))
            query = subprocess.Popen([CLI, "query", "127.0.0.1", "--port",
                                      str(echo.getsockname()[1])],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            request, sender = echo.recvfrom(64)
            # Mode 3 back, its originate the request's transmit time: an
            # answer to this request, but not a server's.
            echo.sendto(request[:24] + request[40:48] + request[32:], sender)
            _, err = query.communicate(timeout=10)
        self.assertEqual(query.returncode, 1)
        self.assertIn("invalid reply: not a server reply (mode 3)", err)

    def test_a_kiss_o_death_ends_the_queries(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as kisser:
            kisser.bind(("127.0.0.1", 0))
            query = subprocess.Popen([CLI, "query", "127.0.0.1", "--port", str(kisser.getsockname()[1]),
                                      "--count", "3", "--interval", "0.1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            request, sender = kisser.recvfrom(64)
            # Mode 4, stratum 0, kiss code RATE, the request's transmit time as originate.
            kisser.sendto(bytes([0x24, 0]) + bytes(10) + b"RATE" + bytes(8) + request[40:48]
                          + request[40:48] * 2, sender)
            _, err = query.communicate(timeout=10)
            kisser.settimeout(0.3)
            with self.assertRaises(socket.timeout):
                kisser.recvfrom(64)
        self.assertEqual(query.returncode, 1)
        self.assertIn("invalid reply: kiss-o'-death from the server: RATE", err)
        self.assertIn("no further queries", err)

    def test_version(self):
        for arguments in (["version"], ["--version"]):
            self.assertEqual(run(*arguments).stdout,
                             os.environ.get("QUELMORA_NTP_VERSION", "1.0.0") + "\n")


class LocalhostIPv6First(unittest.TestCase):
    """`query localhost` where localhost is ::1 first (Debian, Windows) and the
    server listens on IPv4 only: in a network and mount namespace of its own,
    with its own /etc/hosts."""

    def test_the_next_address_answers_after_a_refusal(self):
        if not (shutil.which("ip") and shutil.which("unshare")) or subprocess.run(
                ["unshare", "--mount", "--net", "true"], capture_output=True).returncode != 0:
            self.skipTest("needs unshare --mount --net (root, util-linux) and ip (iproute2)")
        # A bounded wait for the server, then the query; the server is ended by its id.
        script = ('ip link set lo up && mount --bind "$1" /etc/hosts || exit 1\n'
                  '"$2" serve --port 12300 --seconds 20 >/dev/null 2>&1 & server=$!\n'
                  'for _ in $(seq 50); do "$2" query 127.0.0.1:12300 >/dev/null 2>&1 && break;'
                  ' sleep 0.1; done\n'
                  '"$2" query localhost --port 12300; status=$?\n'
                  'kill $server; wait $server; exit $status\n')
        with tempfile.NamedTemporaryFile("w", suffix=".hosts") as hosts:
            hosts.write("::1 localhost\n127.0.0.1 localhost\n")
            hosts.flush()
            result = subprocess.run(["unshare", "--mount", "--net", "sh", "-c", script, "sh",
                                     hosts.name, CLI], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("quelmora-ntp: localhost ([::1]:12300): no reply", result.stderr)
        self.assertTrue(result.stdout.startswith("localhost (127.0.0.1:12300)  "), result.stdout)


class AgainstChronyd(unittest.TestCase):
    """Offset and delay agree with ntpdig's against chronyd serving on port 123."""

    def test_agrees_with_ntpdig(self):
        chronyd = shutil.which("chronyd") or "/usr/sbin/chronyd"
        if not os.path.exists(chronyd) or not shutil.which("ntpdig"):
            self.skipTest("needs chronyd and ntpdig: apt-get install chrony ntpsec-ntpdig")
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.bind(("127.0.0.1", 123))
        except OSError as error:
            self.skipTest(f"port 123 is not free here or needs privilege: {error}")
        folder = tempfile.mkdtemp(prefix="quelmora-cli-")
        os.chmod(folder, 0o777)
        config = os.path.join(folder, "chrony.conf")
        with open(config, "w") as text:
            text.write("port 123\nbindaddress 127.0.0.1\nallow 127.0.0.1\nlocal stratum 3\n"
                       f"cmdport 0\npidfile {folder}/chronyd.pid\ndriftfile {folder}/drift\n")
        # -x: chronyd never touches the clock.
        server = subprocess.Popen([chronyd, "-d", "-x", "-f", config],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            ours = None
            for _ in range(50):
                result = run("query", "127.0.0.1", "--json")
                if result.returncode == 0:
                    ours = json.loads(result.stdout)
                    break
                time.sleep(0.1)
            self.assertIsNotNone(ours, "chronyd did not answer")
            theirs = json.loads(subprocess.run(["ntpdig", "-j", "-t", "3", "127.0.0.1"],
                                               capture_output=True, text=True,
                                               timeout=20).stdout)
            self.assertEqual(ours["stratum"], 3)
            self.assertLess(abs(ours["offset"] - theirs["offset"]), 0.005)
            # ntpdig reports no delay of its own in JSON; ours must be a sane round trip.
            self.assertLess(abs(ours["delay"]), 0.005)
        finally:
            server.terminate()
            server.wait(timeout=10)
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
