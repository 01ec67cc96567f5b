"""The Python binding against the real library (system Python, unittest)."""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quelmora_ntp  # noqa: E402

VECTORS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "vectors",
                       "replies.txt")
NO_REPLY = "no reply within 5s (timeout or short packet)"
LOST = "the reason was lost to a concurrent failure in another thread"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_vectors():
    """(name, fields) for each line of the shared decoding vectors."""
    with open(VECTORS) as text:
        for line in text:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            line, _, reason = line.partition(" reason=")
            name, *pairs = line.split(" ")
            fields = dict(pair.split("=", 1) for pair in pairs)
            if reason:
                fields["reason"] = reason
            yield name, fields


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ntp = quelmora_ntp.Library()

    def tearDown(self):
        if self.ntp.status():
            self.ntp.stop()

    def test_serves_and_queries_itself(self):
        port = free_port()
        with self.ntp.start(port) as server:
            self.assertEqual(server.port, port)
            self.assertTrue(self.ntp.status())
            reply = self.ntp.query("127.0.0.1", port)
            self.assertEqual((reply.mode, reply.version, reply.stratum), (4, 4, 2))
            self.assertEqual(reply.reference_id, "80.73.67.66")  # stratum 2: an address
            self.assertLess(abs(reply.offset), 0.05)
            self.assertGreaterEqual(reply.delay, 0)
            self.assertLess(abs(reply.transmit_time - time.time()), 1)
            for _ in range(100):
                if self.ntp.stats()["replies"] == 1:
                    break
                time.sleep(0.01)
            self.assertEqual(self.ntp.stats(), {"running": 1, "port": port, "requests": 1, "replies": 1})
        self.assertFalse(self.ntp.status())
        self.assertEqual(self.ntp.stats()["running"], 0)
        with self.assertRaises(quelmora_ntp.WrongStateError):
            server.stop()

    def test_arguments_and_failures_map_to_their_types(self):
        ntp = self.ntp
        for call, error in ((lambda: ntp.start(True), TypeError),
                            (lambda: ntp.start(2**32 + 47211), ValueError),
                            (lambda: ntp.start(-1), ValueError),
                            (lambda: ntp.start("123"), TypeError),
                            (lambda: ntp.query("127.0.0.1", 0), ValueError),
                            (lambda: ntp.query("127.0.0.1", 65536), ValueError),
                            (lambda: ntp.query("127.0.0.1", 1.5), TypeError),
                            (lambda: ntp.query("", 123), ValueError),
                            (lambda: ntp.query("127.0.0.1\0.evil", 123), ValueError),
                            (lambda: ntp.query(b"127.0.0.1", 123), TypeError)):
            with self.assertRaises(error):
                call()
        self.assertFalse(ntp.status())
        self.assertNotIn(ntp.last_error(), ("bad port", "bad params (need host, pkt buffer >= 48)"))
        with self.assertRaisesRegex(quelmora_ntp.HostResolveError, "^host resolve failed$") as caught:
            ntp.query("no-such-host..invalid", 123)
        self.assertIsInstance(caught.exception, OSError)
        with self.assertRaises(quelmora_ntp.NoReplyError) as caught:
            ntp.query("127.0.0.1", free_port())
        self.assertIsInstance(caught.exception, TimeoutError)
        self.assertEqual(str(caught.exception), NO_REPLY)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            with self.assertRaises(quelmora_ntp.BindError) as caught:
                ntp.start(holder.getsockname()[1])
        self.assertIsInstance(caught.exception, OSError)
        self.assertEqual(str(caught.exception), "bind failed (port in use?)")
        # A text torn between two threads' failures is never shown as a reason.
        torn = quelmora_ntp._library_error("host resolve fai5s (timeout or short packe",
                                           quelmora_ntp._QUERY_REASONS)
        self.assertIs(type(torn), quelmora_ntp.NtpError)
        self.assertEqual(str(torn), LOST)
        for error in (quelmora_ntp.WrongStateError, quelmora_ntp.BindError, quelmora_ntp.NoReplyError,
                      quelmora_ntp.HostResolveError, quelmora_ntp.KissOfDeathError):
            self.assertTrue(issubclass(error, quelmora_ntp.NtpError), error)

    def test_wrong_state_is_its_own_exception(self):
        with self.assertRaises(quelmora_ntp.WrongStateError):
            self.ntp.stop()
        port = free_port()
        self.ntp.start(port)
        with self.assertRaises(quelmora_ntp.WrongStateError):
            self.ntp.start(port)

    def test_concurrent_failures_never_show_the_other_calls_reason(self):
        seen = {"start": set(), "query": set()}

        def fail_for(what, call):
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline:
                try:
                    call()
                except quelmora_ntp.NtpError as error:
                    seen[what].add((type(error), str(error)))

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            held, closed = holder.getsockname()[1], free_port()
            threads = [threading.Thread(target=fail_for, args=("start", lambda: self.ntp.start(held))),
                       threading.Thread(target=fail_for, args=("query", lambda: self.ntp.query("127.0.0.1", closed)))]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=30)
        lost = (quelmora_ntp.NtpError, LOST)
        self.assertLessEqual(seen["start"], {(quelmora_ntp.BindError, "bind failed (port in use?)"), lost})
        self.assertLessEqual(seen["query"], {(quelmora_ntp.NoReplyError, NO_REPLY), lost})
        self.assertIn((quelmora_ntp.BindError, "bind failed (port in use?)"), seen["start"])
        self.assertIn((quelmora_ntp.NoReplyError, NO_REPLY), seen["query"])

    def test_leaving_a_with_block_leaves_another_objects_server_alone(self):
        other, port = quelmora_ntp.Library(), free_port()
        with self.ntp.start(free_port()) as first:
            other.stop()
            other.start(port)
        self.assertEqual(self.ntp.stats()["port"], port)
        self.assertTrue(other.status())
        with self.assertRaises(quelmora_ntp.WrongStateError):
            first.stop()
        self.assertTrue(other.status())

    def test_ctrl_c_ends_a_query_at_once(self):
        sent = []

        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
            silent.bind(("127.0.0.1", 0))
            timer = threading.Timer(1, interrupt)
            timer.start()
            with self.assertRaises(KeyboardInterrupt):
                self.ntp.query("127.0.0.1", silent.getsockname()[1])
            self.assertLess(time.monotonic() - sent[0], 0.5)
            timer.join()

    def test_a_forked_childs_with_block_leaves_the_parents_server_alone(self):
        port, child = free_port(), -1
        try:
            with self.ntp.start(port):
                forked, child = time.monotonic(), os.fork()
                if child:
                    self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]), 0)
                    self.assertLess(time.monotonic() - forked, 1, "the child's block ends at once")
                    self.assertEqual(self.ntp.query("127.0.0.1", port).stratum, 2)
        finally:
            if child == 0:
                os._exit(1 if self.ntp.status() else 0)

    def test_a_query_at_interpreter_shutdown_needs_no_thread(self):
        port = free_port()
        if sys.version_info < (3, 12):  # threads still start then: make the start fail
            refused = RuntimeError("can't create new thread at interpreter shutdown")
            with self.ntp.start(port), mock.patch.object(threading.Thread, "start", side_effect=refused):
                self.assertEqual(self.ntp.query("127.0.0.1", port).stratum, 2)
            return
        handler = ("import atexit, quelmora_ntp; ntp = quelmora_ntp.Library()\n"
                   f"atexit.register(lambda: print(ntp.query('127.0.0.1', {port}).stratum))")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
        with self.ntp.start(port):
            done = subprocess.run([sys.executable, "-c", handler], capture_output=True, text=True,
                                  timeout=30, env=env)
        self.assertEqual((done.stdout, done.stderr), ("2\n", ""))

    def test_stats_from_eight_threads_always_parse(self):
        failures = []

        def read_stats():
            try:
                for _ in range(10000):
                    self.ntp.stats()
            except (ValueError, KeyError) as error:
                failures.append(error)

        with self.ntp.start(free_port()):
            threads = [threading.Thread(target=read_stats) for _ in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=120)
        self.assertEqual(failures, [])

    def test_version(self):
        expected = os.environ.get("QUELMORA_NTP_VERSION", "1.0.0")
        self.assertEqual(self.ntp.version(), expected)
        self.assertEqual(quelmora_ntp.__version__, expected)


class DecodeTest(unittest.TestCase):
    def packet(self, first=0x24, stratum=2, refid=b"PICB", seconds=0, fraction=0):
        stamps = struct.pack("!8I", 0, 0, seconds, fraction, seconds, fraction, seconds, fraction)
        return struct.pack("!BBbb", first, stratum, 6, -20) + bytes(8) + refid + stamps

    def test_era_after_2036_wrap(self):
        wrap = 2085978496  # NTP seconds wrap to 0 at this Unix time
        reply = quelmora_ntp.decode(self.packet(seconds=5), received_at=wrap + 5)
        self.assertAlmostEqual(reply.transmit_time, wrap + 5)
        reply = quelmora_ntp.decode(self.packet(seconds=0xFFFFFFF0), received_at=wrap - 16)
        self.assertAlmostEqual(reply.transmit_time, wrap - 16)

    def test_shared_vectors(self):
        nanosecond = 1e-9
        count = 0
        for name, expected in read_vectors():
            count += 1
            with self.subTest(name):
                raw = bytes.fromhex(expected["packet"])
                received = int(expected["received"]) * nanosecond
                if expected["valid"] == "no":
                    error_type = (quelmora_ntp.KissOfDeathError if "kiss" in expected
                                  else quelmora_ntp.InvalidReplyError)
                    with self.assertRaises(error_type) as caught:
                        quelmora_ntp.decode(raw, received)
                    self.assertIs(type(caught.exception), error_type)
                    self.assertEqual(str(caught.exception), expected["reason"])
                    self.assertEqual(caught.exception.raw, raw)
                    if "kiss" in expected:
                        self.assertEqual(caught.exception.code, expected["kiss"])
                    continue
                reply = quelmora_ntp.decode(raw, received)
                self.assertEqual(reply.raw, raw)
                for field in ("leap", "version", "mode", "stratum", "poll", "precision"):
                    self.assertEqual(getattr(reply, field), int(expected[field]), field)
                self.assertEqual(reply.root_delay, float(expected["root_delay"]))
                self.assertEqual(reply.root_dispersion, float(expected["root_dispersion"]))
                self.assertEqual(reply.reference_id, expected["refid"])
                for field, key in (("reference_time", "reference"), ("originate_time", "originate"),
                                   ("receive_time", "receive"), ("transmit_time", "transmit")):
                    if expected[key] == "-":
                        self.assertIsNone(getattr(reply, field), field)
                    else:
                        self.assertAlmostEqual(getattr(reply, field), int(expected[key]) * nanosecond,
                                               delta=1e-6, msg=field)
                self.assertAlmostEqual(reply.offset, float(expected["offset"]), delta=1e-6)
                self.assertAlmostEqual(reply.delay, float(expected["delay"]), delta=1e-6)
        self.assertGreaterEqual(count, 10)


if __name__ == "__main__":
    unittest.main()
