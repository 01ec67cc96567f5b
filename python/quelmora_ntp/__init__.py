"""Python binding of the quelmora-ntp library (standard library ctypes only).

    import quelmora_ntp
    ntp = quelmora_ntp.Library()              # or Library("/path/to/libquelmora_ntp.so")
    with ntp.start(12300):                    # the server stops when the block ends
        reply = ntp.query("127.0.0.1", 12300)
        print(reply.time_iso, reply.offset, reply.delay, reply.stratum, reply.reference_id)
        print(ntp.stats())                    # {'running': 1, 'port': 12300, ...}

The library is loaded from the path given; without one, from this package's
own folder (where a wheel puts it), else $QUELMORA_NTP_LIBRARY, else the
system's usual search for the SONAME libquelmora_ntp.so.1 (where Debian's
libquelmora-ntp1 puts it), then libquelmora_ntp.so / quelmora_ntp.dll /
libquelmora_ntp.1.dylib on macOS.

Failures raise NtpError or one of its subclasses; wrong arguments raise
TypeError or ValueError before the library is called. The library keeps the
reason for the last failure in one text for the whole process, so a failure
in another thread at the same moment can overwrite it: an error only ever
shows a reason its own function can give, and otherwise says that the reason
was lost.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import datetime
import json
import operator
import os
import struct
import sys
import threading
import time
from types import TracebackType
from typing import Any, Callable, Dict, FrozenSet, List, Optional, Tuple, Type, TypedDict, TypeVar

__all__ = ["Library", "Server", "Reply", "Stats", "decode", "NtpError", "WrongStateError",
           "BindError", "HostResolveError", "NoReplyError", "InvalidReplyError",
           "KissOfDeathError", "PACKET_SIZE", "__version__"]

__version__ = "1.0.0"

PACKET_SIZE = 48
_WRONG_STATE = -7
_FAILED = -1
_SECONDS_1900_TO_1970 = 2208988800
# The installed library's SONAME: what the dynamic loader finds without the
# development link or a path (its number follows the library's major version).
_SONAME = "libquelmora_ntp.so.1"
# macOS's name for it: the file its install name names.
_DYLIB = "libquelmora_ntp.1.dylib"
_ERA = 1 << 32
_HIGHEST_PORT = 65535
_DEFAULT_PORT = 123
_SERVER_MODES = (4, 5)
_KISS_STRATUM = 0
_PRIMARY_STRATUM = 1
_LOST_REASON = "the reason was lost to a concurrent failure in another thread"
_NO_REPLY = "no reply within 5s (timeout or short packet)"
# ntp_stats() and ntp_last_error() hand out buffers of the library's, one each for the process.
_TEXTS_LOCK = threading.Lock()
# The reasons each call can give. The arguments are checked here first, so neither call can
# fail with "bad port" or "bad params (need host, pkt buffer >= 48)"; ntp_stop gives none.
_START_REASONS = frozenset(("WSAStartup failed", "socket() failed", "bind failed (port in use?)",
                            "CreateThread failed"))
_QUERY_REASONS = frozenset(("WSAStartup failed", "socket() failed", "host resolve failed",
                            "connect failed", "send failed", _NO_REPLY))
_NO_REASONS: FrozenSet[str] = frozenset()
# The server of each loaded library, by its handle: the library's state is the process's, so
# every Library object of the same file shares it.
_SERVERS: Dict[int, "Server"] = {}
_SERVERS_LOCK = threading.Lock()
# How often the main thread looks for Ctrl-C while a query waits (a wait without a bound is
# not interrupted by it on Windows).
_INTERRUPT_CHECK_SECONDS = 0.1
_Result = TypeVar("_Result")


def _forget_servers_in_child() -> None:
    """A forked child runs none of its parent's servers, and must not stop them.

    Its locks are new: a thread that held one at the fork is not in the child.
    """
    global _SERVERS_LOCK, _TEXTS_LOCK
    _SERVERS.clear()
    _SERVERS_LOCK, _TEXTS_LOCK = threading.Lock(), threading.Lock()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(after_in_child=_forget_servers_in_child)


class NtpError(Exception):
    """A call of the library failed; the message is the library's reason."""


class WrongStateError(NtpError):
    """start while the server runs, or stop while it does not."""


class BindError(NtpError, OSError):
    """The server's port is held by another socket, or needs privilege."""


class HostResolveError(NtpError, OSError):
    """The server's host name did not resolve."""


class NoReplyError(NtpError, TimeoutError):
    """No 48-byte reply came within 5 s (or the port refused the request)."""


class InvalidReplyError(NtpError, ValueError):
    """A reply came but holds no server's time; `raw` keeps its 48 bytes."""

    def __init__(self, raw: bytes, reason: str) -> None:
        super().__init__(reason)
        self.raw = raw
        self.reason = reason


class KissOfDeathError(InvalidReplyError):
    """The server refused service (stratum 0); `code` is its kiss code, such as "RATE".

    "RATE" asks the client to query less often, "DENY" and "RSTR" to stop.
    """

    def __init__(self, raw: bytes, code: str) -> None:
        super().__init__(raw, "kiss-o'-death from the server: " + code)
        self.code = code


_ERROR_TYPES: Dict[str, Type[NtpError]] = {
    "bad port": NtpError,
    "WSAStartup failed": NtpError,
    "socket() failed": NtpError,
    "bind failed (port in use?)": BindError,
    "CreateThread failed": NtpError,
    "bad params (need host, pkt buffer >= 48)": NtpError,
    "host resolve failed": HostResolveError,
    "connect failed": NtpError,
    "send failed": NtpError,
    _NO_REPLY: NoReplyError,
}


def _library_error(reason: str, possible: FrozenSet[str]) -> NtpError:
    """The exception for a reason text read after a failed call.

    A text the call cannot give is another call's (or torn between two), never this one's.
    """
    error_type = _ERROR_TYPES.get(reason) if reason in possible else None
    return error_type(reason) if error_type else NtpError(_LOST_REASON)


def _checked(outcome: Tuple[int, str], wrong_state: str, possible: FrozenSet[str]) -> int:
    result, reason = outcome
    if result == _FAILED:
        raise _library_error(reason, possible)
    if result == _WRONG_STATE:
        raise WrongStateError(wrong_state)
    return result


def _interruptible(call: Callable[[], _Result]) -> _Result:
    """call(), on a thread of its own when this is the main thread, so that Ctrl-C arrives at once.

    Only the main thread takes signals, and a native call holds it until it returns. An
    interrupted call runs on to its own end (the library bounds it), and its outcome is dropped.
    """
    if threading.current_thread() is not threading.main_thread():
        return call()
    outcome: List[_Result] = []
    failure: List[BaseException] = []
    done = threading.Event()

    def run() -> None:
        try:
            outcome.append(call())
        except BaseException as error:  # handed to the waiting thread as it is
            failure.append(error)
        finally:
            done.set()

    # A daemon: an interrupted query must not hold up the interpreter's exit.
    try:
        threading.Thread(target=run, name="quelmora-ntp query", daemon=True).start()
    except RuntimeError:
        # No thread can start (at interpreter shutdown, as in an atexit handler, from 3.12 on):
        # nor can any Ctrl-C come then, so the call runs here.
        return call()
    while not done.wait(_INTERRUPT_CHECK_SECONDS):
        pass
    if failure:
        raise failure[0]
    return outcome[0]


class Stats(TypedDict):
    """The server's report: running is 1 or 0; the counts since the last start."""

    running: int
    port: int
    requests: int
    replies: int


def _port(port: object, lowest: int) -> int:
    if isinstance(port, bool):
        raise TypeError("port must be an integer, not bool")
    try:
        number = operator.index(port)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"port must be an integer, not {type(port).__name__}") from None
    if not lowest <= number <= _HIGHEST_PORT:
        raise ValueError(f"port must be {lowest} to {_HIGHEST_PORT}, not {number}")
    return number


def _host(host: object) -> bytes:
    if not isinstance(host, str):
        raise TypeError(f"host must be a str, not {type(host).__name__}")
    if not host:
        raise ValueError("host is empty")
    if "\0" in host:
        raise ValueError("host holds a NUL character")
    return host.encode()


def _system_names() -> List[str]:
    if sys.platform == "win32":
        return ["quelmora_ntp.dll", "quelmora_ntp"]
    if sys.platform == "darwin":
        return [name for name in (ctypes.util.find_library("quelmora_ntp"), _DYLIB) if name]
    # The SONAME first: Debian's runtime package has it, the .so link comes
    # with the development files only.
    found = ctypes.util.find_library("quelmora_ntp")
    return [name for name in (_SONAME, found, "libquelmora_ntp.so") if name]


def _bundled_library() -> Optional[str]:
    """The library a wheel put beside this module, if any.

    pip takes the wheel of the running C library, glibc (manylinux) or musl
    (musllinux), so the one inside is built for it.
    """
    name = {"win32": "quelmora_ntp.dll", "darwin": _DYLIB}.get(sys.platform, _SONAME)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    return path if os.path.isfile(path) else None


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


def _timestamp(packet: bytes, offset: int, near: float) -> Optional[float]:
    """The timestamp at offset, or None for zero (not known, not 2036)."""
    seconds, fraction = struct.unpack_from("!II", packet, offset)
    return None if seconds == 0 and fraction == 0 else _to_unix(seconds, fraction, near)


def _reference_id_text(raw: bytes, stratum: int) -> str:
    """A kiss code or clock name at stratum 0 and 1, an IPv4 address above."""
    if stratum <= _PRIMARY_STRATUM:
        return "".join(chr(b) if 0x20 <= b <= 0x7E else "?" for b in raw.rstrip(b"\0"))
    return ".".join(str(b) for b in raw)


class Reply:
    """A server's answer, decoded and checked, with the on-wire offset and delay.

    Made by decode() and Library.query(). Times are Unix seconds (UTC), placed
    in the NTP era nearest the local clock; reference_time is None where the
    server sent zero. raw keeps the 48 bytes as they came.
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
    reference_time: Optional[float]
    originate_time: float
    receive_time: float
    transmit_time: float
    received_at: float
    offset: float
    delay: float

    def __init__(self, raw: bytes, reference_time: Optional[float], originate_time: float,
                 receive_time: float, transmit_time: float, received_at: float) -> None:
        self.raw = raw
        first, self.stratum, self.poll, self.precision = struct.unpack_from("!BBbb", raw, 0)
        self.leap, self.version, self.mode = first >> 6, (first >> 3) & 7, first & 7
        root_delay, root_dispersion = struct.unpack_from("!iI", raw, 4)
        self.root_delay, self.root_dispersion = root_delay / 65536, root_dispersion / 65536
        self.reference_id = _reference_id_text(raw[12:16], self.stratum)
        self.reference_time, self.originate_time = reference_time, originate_time
        self.receive_time, self.transmit_time = receive_time, transmit_time
        self.received_at = received_at
        t1, t2, t3, t4 = originate_time, receive_time, transmit_time, received_at
        self.offset = ((t2 - t1) + (t3 - t4)) / 2
        self.delay = (t4 - t1) - (t3 - t2)

    @property
    def time_iso(self) -> str:
        """The server's transmit time, ISO 8601 UTC with microseconds."""
        moment = datetime.datetime.fromtimestamp(self.transmit_time, datetime.timezone.utc)
        return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")

    def __repr__(self) -> str:
        return (f"Reply(time={self.time_iso}, offset={self.offset:+.6f}, delay={self.delay:.6f}, "
                f"stratum={self.stratum}, reference_id={self.reference_id!r})")


def decode(packet: bytes, received_at: Optional[float] = None) -> Reply:
    """Decodes and checks the 48 bytes of a reply (e.g. from Library.query_raw).

    received_at is when it arrived (Unix seconds; now if not given). Raises
    ValueError for another length, KissOfDeathError for a refusal (stratum 0)
    and InvalidReplyError for a reply that is not a server's (mode other than
    4 or 5) or lacks a transmit, originate or receive time.
    """
    raw = bytes(packet)
    if len(raw) != PACKET_SIZE:
        raise ValueError(f"a reply is {PACKET_SIZE} bytes, not {len(raw)}")
    received = time.time() if received_at is None else received_at
    mode, stratum = raw[0] & 7, raw[1]
    if mode not in _SERVER_MODES:
        raise InvalidReplyError(raw, f"not a server reply (mode {mode})")
    if stratum == _KISS_STRATUM:
        raise KissOfDeathError(raw, _reference_id_text(raw[12:16], stratum))
    reference, originate, receive, transmit = (_timestamp(raw, offset, received)
                                               for offset in (16, 24, 32, 40))
    if transmit is None:
        raise InvalidReplyError(raw, "zero transmit timestamp")
    if originate is None:
        raise InvalidReplyError(raw, "zero originate timestamp")
    if receive is None:
        raise InvalidReplyError(raw, "zero receive timestamp")
    return Reply(raw, reference, originate, receive, transmit, received)


class Server:
    """The running server as Library.start returns it; leaving a with-block stops it."""

    def __init__(self, library: Library, port: int) -> None:
        self.library = library
        self.port = port

    def stop(self) -> None:
        """Stops this server; WrongStateError if it no longer runs (it was stopped elsewhere)."""
        self.library._stop_server(self, asked=True)

    def __enter__(self) -> Server:
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.library._stop_server(self, asked=False)

    def __repr__(self) -> str:
        return f"Server(port={self.port})"


class Library:
    """The seven functions of one loaded library.

    The server, the statistics and the last-error text are the process's: one
    server at a time, whichever Library object of the same library file
    started it, and any of them may stop it.
    """

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
        self._handle: int = lib._handle

    @staticmethod
    def _text(function: Any) -> str:
        """A text of the library's (its c_char_p result comes back as a copy in bytes)."""
        text: bytes = function()
        return text.decode(errors="replace")

    def version(self) -> str:
        """The library's version, such as "1.0.0"."""
        return self._text(self._lib.ntp_version)

    def last_error(self) -> str:
        """The reason for the process's most recent failure ("" before any).

        Failures in other threads overwrite it: the exceptions carry the
        reason read at once after their own call.
        """
        with _TEXTS_LOCK:
            return self._text(self._lib.ntp_last_error)

    def _call(self, function: Any, *arguments: Any) -> Tuple[int, str]:
        """The result of a call, with the last-error text read at once if it failed."""
        result: int = function(*arguments)
        return result, self.last_error() if result == _FAILED else ""

    def start(self, port: int = 0) -> Server:
        """Starts the server on IPv4, every local address, a UDP port (0 means 123).

        Returns the Server, a context manager that stops it. Raises TypeError
        or ValueError for a port that is no integer from 0 to 65535,
        BindError when the port is taken or needs privilege, WrongStateError
        when a server already runs in this process.
        """
        number = _port(port, 0)
        with _SERVERS_LOCK:
            _checked(self._call(self._lib.ntp_start, number), "a server already runs in this process",
                     _START_REASONS)
            server = _SERVERS[self._handle] = Server(self, number or _DEFAULT_PORT)
            return server

    def stop(self) -> None:
        """Stops the server, whichever object started it, waiting at most 3 s for its thread.

        WrongStateError if none runs.
        """
        with _SERVERS_LOCK:
            _SERVERS.pop(self._handle, None)
            _checked(self._call(self._lib.ntp_stop), "no server runs in this process", _NO_REASONS)

    def _stop_server(self, server: Server, asked: bool) -> None:
        """Stops the server if it is still the one running; says it is not only if asked."""
        with _SERVERS_LOCK:
            if _SERVERS.get(self._handle) is not server:
                if asked:
                    raise WrongStateError("this server is not running")
                return
            del _SERVERS[self._handle]
            outcome = self._call(self._lib.ntp_stop)
            if asked:
                _checked(outcome, "this server is not running", _NO_REASONS)

    def status(self) -> bool:
        """Whether a server runs in this process."""
        running: int = self._lib.ntp_status()
        return running == 1

    def stats(self) -> Stats:
        """The server's report: whether it runs, its port, requests and replies since its start."""
        with _TEXTS_LOCK:
            text = self._text(self._lib.ntp_stats)
        report: Stats = json.loads(text)
        return report

    def query_raw(self, host: str, port: int = _DEFAULT_PORT) -> bytes:
        """Sends one request and returns the 48 bytes of the reply, unchecked.

        Waits up to 5 s; the library itself refuses a reply whose originate
        time is not the request's. Ctrl-C (KeyboardInterrupt) ends the wait
        at once in the main thread; the library's call then runs on to its
        own end in the background. Raises TypeError or ValueError for a host
        that is no non-empty str without NUL or a port that is no integer
        from 1 to 65535, HostResolveError, NoReplyError, or NtpError.
        """
        name, number = _host(host), _port(port, 1)
        buffer = (ctypes.c_ubyte * PACKET_SIZE)()
        outcome = _interruptible(lambda: self._call(self._lib.ntp_query, name, number, buffer,
                                                    PACKET_SIZE))
        _checked(outcome, "query", _QUERY_REASONS)
        return bytes(buffer)

    def query(self, host: str, port: int = _DEFAULT_PORT) -> Reply:
        """Sends one request and returns the reply, decoded and checked.

        Raises what query_raw raises, and KissOfDeathError or InvalidReplyError
        as decode does.
        """
        raw = self.query_raw(host, port)
        return decode(raw, time.time())
