"""Decoding, queries and the version, over the C interface."""

import math
import threading
from ctypes import POINTER, byref, c_char_p, c_int, c_void_p, create_string_buffer
from typing import Any, Callable, List, Optional, Tuple, Union

from . import _native
from .model import ChannelResult, DecodeResult, QueryResult, TedsError, Transducer

#: What the decode functions take: bytes (or any bytes-like object), or a
#: text of hexadecimal bytes ("64 80 34 ...").
BytesLike = Union[bytes, bytearray, memoryview, str]
TransducerCallback = Callable[[Transducer], Any]
TextCallback = Callable[[str], Any]

# How long a blocking query waits at a time before it looks for Ctrl-C.
_WAIT_SLICE_S = 0.05


def _check(status: int) -> None:
    if status != _native.OK:
        raise TedsError(status, _native.teds().orvane_teds_last_error().decode("utf-8"))


def _bytes(value: BytesLike, what: str) -> bytes:
    """Bytes from a bytes-like object or a hexadecimal text."""
    if isinstance(value, str):
        try:
            return bytes.fromhex(value)
        except ValueError as error:
            raise ValueError(f"{what}: not hexadecimal bytes: {error}") from None
    try:
        return bytes(memoryview(value))
    except TypeError:
        raise TypeError(f"{what}: expected bytes or a hexadecimal text, "
                        f"not {type(value).__name__}") from None


def version() -> str:
    """The library's version text, e.g. "0.1.0"."""
    text = c_char_p()
    _check(_native.teds().orvane_teds_version(byref(text)))
    return text.value.decode("utf-8")


def _decoded(call: Callable[[Any], int]) -> DecodeResult:
    lib = _native.teds()
    result = POINTER(_native.DecodeResult)()
    _check(call(byref(result)))
    try:
        return DecodeResult.from_c(result.contents)
    finally:
        lib.orvane_teds_decode_result_free(result)


def decode_image(image: BytesLike) -> DecodeResult:
    """Decodes a whole TEDS image (bytes, or hexadecimal text)."""
    data = _bytes(image, "image")
    return _decoded(lambda out: _native.teds().orvane_teds_decode_image(data, len(data), out))


def decode_ds2430a(application: BytesLike, memory: BytesLike) -> DecodeResult:
    """Assembles the image from a DS2430A's application register and memory,
    gives each page's checksum verdict and decodes the image."""
    app = _bytes(application, "application")
    mem = _bytes(memory, "memory")
    return _decoded(lambda out: _native.teds().orvane_teds_decode_ds2430a(
        app, len(app), mem, len(mem), out))


def _name(value: Any, what: str) -> bytes:
    """A device or port name for the C interface: a text without NUL (the C
    side would see only the part before it)."""
    if not isinstance(value, str):
        raise TypeError(f"{what}: expected a text, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what}: contains a NUL character")
    return value.encode("utf-8")


def _timeout_ms(timeout_s: float) -> int:
    if not (isinstance(timeout_s, (int, float)) and timeout_s > 0 and math.isfinite(timeout_s)):
        raise ValueError("timeout_s: must be a number greater than 0")
    return min(int(round(timeout_s * 1000)), 0xFFFFFFFF)


class Session:
    """One query handle kept for repeated queries, for hosts that poll: the
    device-link master of `device` at `address`, TEDS `channel` in TEDS
    `mode`, waiting `poll_ms` before each read of the relay's answer (1000
    on the real device). Use it in a `with` block, or call close().

    One query at a time per session; sessions on the same channel (in this
    process) take turns, each query waiting within its own time-out."""

    def __init__(self, device: str = "SIM-DAQ", address: int = 1, channel: int = 0,
                 mode: int = 1, poll_ms: int = 1000) -> None:
        encoded = _name(device, "device")
        for name, value in (("address", address), ("channel", channel), ("mode", mode),
                            ("poll_ms", poll_ms)):
            if not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
                raise ValueError(f"{name}: must be an integer from 0 to 4294967295")
        self._handle: Optional[c_void_p] = None
        self._open(lambda lib, handle: lib.orvane_teds_query_create(
            encoded, address, channel, mode, poll_ms, handle))

    @classmethod
    def serial(cls, port: str, baud: int = 9600) -> "Session":
        """A session on a DS2480B serial 1-Wire adapter on `port`
        ("/dev/ttyUSB0", "COM3"); the port is opened by each query. `baud`
        (9600, 19200, 57600 or 115200) is the rate the adapter is switched to
        after start-up; one that does not answer there is read at 9600."""
        encoded = _name(port, "port")
        if not port:
            raise ValueError("port: expected the name of a serial port")
        if baud not in BAUD_RATES or isinstance(baud, bool):
            raise ValueError("baud: must be one of 9600, 19200, 57600, 115200")
        session = cls.__new__(cls)
        session._handle = None
        session._open(lambda lib, handle: lib.orvane_teds_query_create_serial_baud(
            encoded, baud, handle))
        return session

    def _open(self, create: Callable[[Any, Any], int]) -> None:
        lib = _native.teds()
        handle = c_void_p()
        _check(create(lib, byref(handle)))
        self._handle = handle
        self._lock = threading.Lock()
        # Held by close while it destroys the handle, and by a query's calls
        # after its run, which a close on another thread may have outlived.
        self._closing = threading.Lock()

    def query(self, timeout_s: float = 60.0, on_transducer: Optional[TransducerCallback] = None,
              on_text: Optional[TextCallback] = None) -> QueryResult:
        """Runs one query and returns everything it produced.
        `on_transducer(Transducer)` and `on_text(str)` are called as results
        arrive, on the library's thread. A query that does not end within
        `timeout_s` returns what it has with `timed_out` set. Ctrl-C stops
        the query and raises KeyboardInterrupt here. An exception raised by
        a callback is raised here once the query is over."""
        timeout_ms = _timeout_ms(timeout_s)
        if self._handle is None:
            raise ValueError("the session is closed")
        if not self._lock.acquire(blocking=False):
            raise TedsError(_native.BUSY, "a query of this session is already running")
        try:
            return self._run(timeout_ms, on_transducer, on_text)
        finally:
            self._lock.release()

    def _run(self, timeout_ms: int, on_transducer: Optional[TransducerCallback],
             on_text: Optional[TextCallback]) -> QueryResult:
        lib = _native.teds()
        handle = self._handle
        raised: List[BaseException] = []

        def guarded(function: Callable[..., Any]) -> Callable[..., None]:
            def call(*args: Any) -> None:
                try:
                    function(*args)
                except BaseException as error:  # noqa: B902 - handed back after the query
                    raised.append(error)
            return call

        # The callback objects must outlive the query: ctypes frees their code
        # with them. Without a callback, a null function pointer.
        transducer_cb = (_native.TransducerCallback(
            guarded(lambda _user, t: on_transducer(Transducer.from_c(t.contents))))
            if on_transducer else _native.TransducerCallback())
        text_cb = (_native.TextCallback(guarded(lambda _user, text: on_text(text.decode("utf-8"))))
                   if on_text else _native.TextCallback())
        ended_cb = _native.EndedCallback()
        _check(lib.orvane_teds_query_set_callbacks(handle, transducer_cb, text_cb, ended_cb, None))

        # The blocking run waits on a thread of its own; this thread waits in
        # short slices, so that Ctrl-C (KeyboardInterrupt) reaches it at once.
        result = POINTER(_native.QueryResult)()
        outcome: List[int] = []
        done = threading.Event()

        def run() -> None:
            try:
                outcome.append(lib.orvane_teds_query_run(handle, timeout_ms, byref(result)))
            finally:
                done.set()

        worker = threading.Thread(target=run, name="orvane_teds query", daemon=True)
        worker.start()
        try:
            while not done.wait(_WAIT_SLICE_S):
                pass
        except BaseException:
            with self._closing:
                if self._handle is handle:
                    lib.orvane_teds_query_stop(handle)
            done.wait()
            worker.join()
            lib.orvane_teds_query_result_free(result)
            self._forget_callbacks(handle)
            raise
        worker.join()
        try:
            status = outcome[0]
            if status not in (_native.OK, _native.TIMEOUT, _native.STOPPED, _native.DESTROYED):
                _check(status)
            value = QueryResult.from_c(result.contents)
        finally:
            lib.orvane_teds_query_result_free(result)
            self._forget_callbacks(handle)
        if raised:
            raise raised[0]
        return value

    def _forget_callbacks(self, handle: c_void_p) -> None:
        # No callback may reach the ctypes objects once they are gone; a
        # handle that a close on another thread destroyed meanwhile is gone
        # itself and must not be touched.
        with self._closing:
            if self._handle is handle:
                _native.teds().orvane_teds_query_set_callbacks(
                    handle, _native.TransducerCallback(), _native.TextCallback(),
                    _native.EndedCallback(), None)

    def close(self) -> None:
        """Releases the handle; a second call does nothing."""
        handle = getattr(self, "_handle", None)
        if handle:
            with self._closing:
                if self._handle is not handle:
                    return
                self._handle = None
                _native.teds().orvane_teds_query_destroy(handle)

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


def query(device: str = "SIM-DAQ", address: int = 1, channel: int = 0, mode: int = 1,
          poll_ms: int = 1000, timeout_s: float = 60.0,
          on_transducer: Optional[TransducerCallback] = None,
          on_text: Optional[TextCallback] = None) -> QueryResult:
    """Runs one TEDS query through the device library and returns everything
    it produced, as Session(...).query(...) does on a session of its own.
    Queries of several threads on one channel take turns."""
    _timeout_ms(timeout_s)  # checked before anything is created
    with Session(device, address, channel, mode, poll_ms) as session:
        return session.query(timeout_s, on_transducer, on_text)


def scan(device: str = "SIM-DAQ", address: int = 1, channels: Union[str, List[int]] = "all",
         mode: int = 1, poll_ms: int = 1000, timeout_s: float = 60.0) -> List[ChannelResult]:
    """Queries the `channels` (a list of numbers 0 to 7, or "all") of `device`
    at `address` all at once and returns one result per channel, in ascending
    channel order; eight channels take about as long as one. A channel
    without a sensor, or whose handshake the device refused, has a result too
    (its texts say why). A channel whose query did not end within
    `timeout_s` (for the whole scan) has `timed_out` set. The call blocks
    until the scan has ended."""
    if channels == "all":
        mask = 0xFF
    elif isinstance(channels, (list, tuple, range)) and channels:
        mask = 0
        for channel in channels:
            if not isinstance(channel, int) or isinstance(channel, bool) or not 0 <= channel <= 7:
                raise ValueError(f"channels: {channel!r} is not a channel 0 to 7")
            mask |= 1 << channel
    else:
        raise ValueError('channels: expected "all" or a list of channels 0 to 7')
    for name, value in (("address", address), ("mode", mode), ("poll_ms", poll_ms)):
        if not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"{name}: must be an integer from 0 to 4294967295")
    timeout_ms = _timeout_ms(timeout_s)
    lib = _native.teds()
    result = POINTER(_native.ScanResult)()
    status = lib.orvane_teds_scan(_name(device, "device"), address, mask, mode, poll_ms,
                                  timeout_ms, byref(result))
    try:
        if status != _native.TIMEOUT:
            _check(status)
        c = result.contents
        found = []
        for i in range(c.channel_count):
            query = QueryResult.from_c(c.results[i].contents)
            found.append(ChannelResult(channel=c.channels[i], timed_out=query.timed_out,
                                       texts=query.texts, transducers=query.transducers))
        return found
    finally:
        lib.orvane_teds_scan_result_free(result)


def query_serial(port: str, timeout_s: float = 60.0,
                 on_transducer: Optional[TransducerCallback] = None,
                 on_text: Optional[TextCallback] = None, baud: int = 9600) -> QueryResult:
    """Runs one TEDS query through a DS2480B serial 1-Wire adapter on `port`
    ("/dev/ttyUSB0", "COM3"), as `query` does through the device library;
    the callbacks come on the master's own thread. A port that cannot be
    opened, or an adapter that does not answer, ends the query with a text
    saying so and no transducer. `baud` (9600, 19200, 57600 or 115200) is the
    rate the adapter is switched to after start-up; one that does not answer
    there is read at 9600."""
    if not isinstance(port, str) or not port:
        raise ValueError("port: expected the name of a serial port")
    _timeout_ms(timeout_s)
    with Session.serial(port, baud) as session:
        return session.query(timeout_s, on_transducer, on_text)


def write_serial(port: str, rom: BytesLike, application: BytesLike, memory: BytesLike,
                 lock: bool = False, timeout_s: float = 60.0) -> Tuple[bool, str]:
    """Programs the DS2430A `rom` (8 bytes) behind a DS2480B serial adapter
    on `port` with `application` (8 bytes) and `memory` (32 bytes, page
    checksum first), as `teds write --serial` does, locking the application
    register only when `lock` is true. Bytes or hexadecimal texts. Returns
    (written, report): whether the part was written and verified, and the
    line that says what was written or which step failed and what the part
    holds now. A write that does not end within `timeout_s` raises TedsError."""
    encoded = _name(port, "port")
    if not port:
        raise ValueError("port: expected the name of a serial port")
    values = {"rom": (rom, 8), "application": (application, 8), "memory": (memory, 32)}
    given = {}
    for name, (value, size) in values.items():
        given[name] = _bytes(value, name)
        if len(given[name]) != size:
            raise ValueError(f"{name}: expected {size} bytes, not {len(given[name])}")
    written = c_int()
    report = create_string_buffer(1024)
    _check(_native.teds().orvane_teds_write_serial(
        encoded, given["rom"], given["application"], given["memory"],
        1 if lock else 0, _timeout_ms(timeout_s), byref(written), report, len(report)))
    return written.value == 1, report.value.decode("latin-1")


# The serial rates of a DS2480B adapter.
BAUD_RATES = (9600, 19200, 57600, 115200)
