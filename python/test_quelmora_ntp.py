"""The Python binding against the real library (system Python, unittest)."""
import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quelmora_ntp  # noqa: E402


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ntp = quelmora_ntp.Library()

    def tearDown(self):
        if self.ntp.status():
            self.ntp.stop()

    def test_serves_and_queries_itself(self):
        port = free_port()
        self.ntp.start(port)
        self.assertTrue(self.ntp.status())
        reply = self.ntp.query("127.0.0.1", port)
        self.assertEqual((reply.mode, reply.version, reply.stratum), (4, 4, 2))
        self.assertEqual(reply.reference_id, "PICB")
        self.assertLess(abs(reply.offset), 0.05)
        self.assertGreaterEqual(reply.delay, 0)
        self.assertLess(abs(reply.transmit_time - time.time()), 1)
        for _ in range(100):
            if self.ntp.stats()["replies"] == 1:
                break
            time.sleep(0.01)
        self.assertEqual(self.ntp.stats(), {"running": 1, "port": port, "requests": 1, "replies": 1})
        self.ntp.stop()
        self.assertFalse(self.ntp.status())
        self.assertEqual(self.ntp.stats()["running"], 0)

    def test_failures_carry_the_last_error_text(self):
        with self.assertRaisesRegex(quelmora_ntp.NtpError, "^bad port$"):
            self.ntp.start(70000)
        with self.assertRaisesRegex(quelmora_ntp.NtpError, "^host resolve failed$"):
            self.ntp.query("no-such-host..invalid", 123)
        with self.assertRaisesRegex(quelmora_ntp.NtpError, r"^bad params"):
            self.ntp.query("", 123)
        self.assertEqual(self.ntp.last_error(), "bad params (need host, pkt buffer >= 48)")

    def test_wrong_state_is_its_own_exception(self):
        with self.assertRaises(quelmora_ntp.WrongStateError):
            self.ntp.stop()
        port = free_port()
        self.ntp.start(port)
        with self.assertRaises(quelmora_ntp.WrongStateError):
            self.ntp.start(port)

    def test_version(self):
        self.assertEqual(self.ntp.version(), os.environ.get("QUELMORA_NTP_VERSION", "1.0.0"))


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

    def test_invalid_answers(self):
        now = time.time()
        ntp_now = int(now) + 2208988800
        self.assertIn("mode 3", quelmora_ntp.decode(self.packet(first=0x23, seconds=ntp_now)).problem())
        kiss = quelmora_ntp.decode(self.packet(stratum=0, refid=b"RATE", seconds=ntp_now))
        self.assertEqual(kiss.problem(), "kiss-o'-death from the server: RATE")
        self.assertEqual(quelmora_ntp.decode(self.packet(seconds=0)).problem(),
                         "zero transmit timestamp")
        self.assertEqual(quelmora_ntp.decode(self.packet(refid=bytes([10, 0, 0, 1]),
                                                         seconds=ntp_now)).reference_id, "10.0.0.1")


if __name__ == "__main__":
    unittest.main()
