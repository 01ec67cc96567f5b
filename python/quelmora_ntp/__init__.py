"""Python binding of the quelmora-ntp library (standard library ctypes only).

    import quelmora_ntp
    ntp = quelmora_ntp.Library()              # or Library("/path/to/libquelmora_ntp.so")
    ntp.start(12300)
    reply = ntp.query("127.0.0.1", 12300)
    print(reply.time_iso, reply.offset, reply.delay, reply.stratum, reply.reference_id)
    print(ntp.stats())                        # {'running': 1, 'port': 12300, ...}
    ntp.stop()

The library is loaded from the path given; without one, from this package's
own folder (where a wheel puts it), else $QUELMORA_NTP_LIBRARY, else the
system's usual search for libquelmora_ntp.so (or its SONAME,
libquelmora_ntp.so.1) / quelmora_ntp.dll (where the Debian package puts it).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import datetime
import json
import os
import struct
import sys
import time
from typing import Any, Dict, List, Optional

__all__ = ["Library", "NtpError", "WrongStateError", "Reply", "decode"]

PACKET_SIZE = 48
WRONG_STATE = -7
FAILED = -1
_SECONDS_1900_TO_1970 = 2208988800
# The installed library's SONAME: what the dynamic loader finds without the
# development link or a path (its number follows the library's major version).
_SONAME = "libquelmora_ntp.so.1"
_ERA = 1 << 32


class NtpError(Exception):
    """A call failed; the message is the library's last-error text."""


class WrongStateError(NtpError):
    """start while the server runs, or stop while it does not."""


def _system_names() -> List[str]:
    if sys.platform == "win32":
        return ["quelmora_ntp.dll", "quelmora_ntp"]
    found = ctypes.util.find_library("quelmora_ntp")
    return [name for name in (found, "libquelmora_ntp.so", _SONAME) if name]


def _bundled_library() -> Optional[str]:
    """The library a wheel put beside this module, if any."""
    name = "quelmora_ntp.dll" if sys.platform == "win32" else _SONAME
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    if not os.path.isfile(path):
        return None
    if sys.platform.startswith("linux") and not _glibc():
        raise OSError("quelmora-ntp's wheels support Linux with glibc 2.17 or later (x86-64, ARM64) "
                      "and Windows (x86, x64); this Linux has another C library (musl?)")
    return path


def _glibc() -> bool:
    try:
        return bool(os.confstr("CS_GNU_LIBC_VERSION"))
    except (ValueError, OSError):
        return False


def _candidates(path: Optional[str]) -> List[str]:
    # A path the caller names is what the caller wants, even beside a wheel's copy.
    if path:
        return [path]
    bundled = _bundled_library()
    if bundled:
        return [bundled]
    from_environment = os.environ.get("QUELMORA_NTP_LIBRARY")
    return [from_environment] if from_environment else _system_names()


def _to_unix(seconds: int, fraction: int, near: float) -> float:
    """An NTP timestamp in the 136-year era nearest `near` (Unix seconds)."""
    near_ntp = int(near) + _SECONDS_1900_TO_1970
    era = near_ntp // _ERA
    candidates = [(e * _ERA + seconds) for e in (era - 1, era, era + 1)]
    best = min(candidates, key=lambda c: abs(c - near_ntp))
    return best - _SECONDS_1900_TO_1970 + fraction / 2**32


def _reference_id_text(raw: bytes) -> str:
    text = raw.rstrip(b"\0")
    if text and all(0x20 <= b <= 0x7E for b in text):
        return text.decode("ascii")
    return ".".join(str(b) for b in raw)


class Reply:
    """A decoded server reply, with the on-wire offset and delay.

    Times are Unix seconds (UTC), placed in the NTP era nearest the local clock.
    """

    raw: bytes
    leap: int
    version: int
    mode: int
    stratum: int
    poll: int
    precision: int
    root_delay: float
    root_dispersion: float
    reference_id: str
    reference_time: float
    originate_time: float
    receive_time: float
    transmit_time: float
    transmit_is_zero: bool
    offset: float
    delay: float

    def __init__(self, packet: bytes, sent_after: Optional[float], received_at: float) -> None:
        if len(packet) != PACKET_SIZE:
            raise ValueError("a reply is 48 bytes")
        self.raw = bytes(packet)
        first, self.stratum, poll, precision = struct.unpack_from("!BBbb", packet, 0)
        self.leap, self.version, self.mode = first >> 6, (first >> 3) & 7, first & 7
        self.poll, self.precision = poll, precision
        root_delay, root_dispersion = struct.unpack_from("!iI", packet, 4)
        self.root_delay, self.root_dispersion = root_delay / 65536, root_dispersion / 65536
        self.reference_id = _reference_id_text(packet[12:16])
        stamps = struct.unpack_from("!8I", packet, 16)
        (self.reference_time, self.originate_time, self.receive_time,
         self.transmit_time) = (_to_unix(stamps[i], stamps[i + 1], received_at)
                                for i in range(0, 8, 2))
        self.transmit_is_zero = stamps[6] == 0 and stamps[7] == 0
        t1, t2, t3, t4 = self.originate_time, self.receive_time, self.transmit_time, received_at
        self.offset = ((t2 - t1) + (t3 - t4)) / 2
        self.delay = (t4 - t1) - (t3 - t2)
        self._sent_after, self._received_at = sent_after, received_at

    @property
    def time_iso(self) -> str:
        moment = datetime.datetime.fromtimestamp(self.transmit_time, datetime.timezone.utc)
        return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")

    def problem(self) -> Optional[str]:
        """Why this is not a valid server answer, or None."""
        if self.mode != 4:
            return f"not a server reply (mode {self.mode})"
        if self.stratum == 0:
            return "kiss-o'-death from the server: " + self.reference_id
        if self.transmit_is_zero:
            return "zero transmit timestamp"
        if self._sent_after is not None and not (
                self._sent_after - 1e-6 <= self.originate_time <= self._received_at + 1e-6):
            return "originate timestamp is not what was sent"
        return None

    def __repr__(self) -> str:
        return (f"Reply(time={self.time_iso}, offset={self.offset:+.6f}, delay={self.delay:.6f}, "
                f"stratum={self.stratum}, reference_id={self.reference_id!r})")


def decode(packet: bytes, sent_after: Optional[float] = None,
           received_at: Optional[float] = None) -> Reply:
    """Decodes raw reply bytes (e.g. from Library.query_raw)."""
    return Reply(packet, sent_after, time.time() if received_at is None else received_at)


class Library:
    """The seven functions of one loaded library."""

    def __init__(self, path: Optional[str] = None) -> None:
        errors = []
        for name in _candidates(path):
            try:
                self._lib = ctypes.CDLL(name)
                break
            except OSError as error:
                errors.append(f"{name}: {error}")
        else:
            raise OSError("cannot load quelmora-ntp: " + "; ".join(errors))
        lib = self._lib
        for name in ("ntp_version", "ntp_last_error", "ntp_stats"):
            getattr(lib, name).argtypes = []
            getattr(lib, name).restype = ctypes.c_char_p
        for name in ("ntp_stop", "ntp_status"):
            getattr(lib, name).argtypes = []
            getattr(lib, name).restype = ctypes.c_int
        lib.ntp_start.argtypes = [ctypes.c_int]
        lib.ntp_start.restype = ctypes.c_int
        lib.ntp_query.argtypes = [ctypes.c_char_p, ctypes.c_int,
                                  ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int]
        lib.ntp_query.restype = ctypes.c_int

    @staticmethod
    def _text(function: Any) -> str:
        """A text of the library's (its c_char_p result comes back as bytes)."""
        text: bytes = function()
        return text.decode()

    def version(self) -> str:
        return self._text(self._lib.ntp_version)

    def last_error(self) -> str:
        return self._text(self._lib.ntp_last_error)

    def _check(self, result: int, what: str) -> int:
        if result == WRONG_STATE:
            raise WrongStateError(what + ": wrong state")
        if result == FAILED:
            raise NtpError(self.last_error())
        return result

    def start(self, port: int = 0) -> None:
        """Starts the server (port 0 means 123)."""
        self._check(self._lib.ntp_start(port), "start")

    def stop(self) -> None:
        self._check(self._lib.ntp_stop(), "stop")

    def status(self) -> bool:
        running: int = self._lib.ntp_status()
        return running == 1

    def stats(self) -> Dict[str, Any]:
        report: Dict[str, Any] = json.loads(self._text(self._lib.ntp_stats))
        return report

    def query_raw(self, host: str, port: int = 123) -> bytes:
        """The raw 48-byte reply."""
        buffer = (ctypes.c_ubyte * PACKET_SIZE)()
        self._check(self._lib.ntp_query(host.encode(), port, buffer, PACKET_SIZE), "query")
        return bytes(buffer)

    def query(self, host: str, port: int = 123) -> Reply:
        """A decoded reply; raises NtpError for a failure or an invalid answer."""
        sent_after = time.time()
        raw = self.query_raw(host, port)
        reply = Reply(raw, sent_after, time.time())
        problem = reply.problem()
        if problem:
            raise NtpError(f"invalid reply from {host}:{port}: {problem}")
        return reply
