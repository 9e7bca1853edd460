"""Decoding, queries and the version, over the C interface."""

import ctypes
import math
from ctypes import POINTER, byref, c_char_p, c_void_p

from . import _native
from .model import DecodeResult, QueryResult, TedsError, Transducer


def _check(status):
    if status != _native.OK:
        raise TedsError(status, _native.teds().orvane_teds_last_error().decode("utf-8"))


def _bytes(value, what):
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


def version():
    """The library's version text, e.g. "0.1.0"."""
    text = c_char_p()
    _check(_native.teds().orvane_teds_version(byref(text)))
    return text.value.decode("utf-8")


def _decoded(call):
    lib = _native.teds()
    result = POINTER(_native.DecodeResult)()
    _check(call(byref(result)))
    try:
        return DecodeResult.from_c(result.contents)
    finally:
        lib.orvane_teds_decode_result_free(result)


def decode_image(image):
    """Decodes a whole TEDS image (bytes, or hexadecimal text)."""
    data = _bytes(image, "image")
    return _decoded(lambda out: _native.teds().orvane_teds_decode_image(data, len(data), out))


def decode_ds2430a(application, memory):
    """Assembles the image from a DS2430A's application register and memory,
    gives each page's checksum verdict and decodes the image."""
    app = _bytes(application, "application")
    mem = _bytes(memory, "memory")
    return _decoded(lambda out: _native.teds().orvane_teds_decode_ds2430a(
        app, len(app), mem, len(mem), out))


def query(device="SIM-DAQ", address=1, channel=0, mode=1, poll_ms=1000, timeout_s=60.0,
          on_transducer=None, on_text=None):
    """Runs one TEDS query through the device library and returns everything
    it produced. `on_transducer(Transducer)` and `on_text(str)` are called as
    results arrive, on the device library's thread. A query that does not end
    within `timeout_s` returns what it has with `timed_out` set. An exception
    raised by a callback is raised here once the query is over."""
    if not isinstance(device, str):
        raise TypeError("device: expected a text")
    timeout_ms = _timeout_ms(timeout_s)
    for name, value in (("address", address), ("channel", channel), ("mode", mode),
                        ("poll_ms", poll_ms)):
        if not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"{name}: must be an integer from 0 to 4294967295")
    return _run(lambda lib, handle: lib.orvane_teds_query_create(
        device.encode("utf-8"), address, channel, mode, poll_ms, handle),
        timeout_ms, on_transducer, on_text)


def query_serial(port, timeout_s=60.0, on_transducer=None, on_text=None, baud=9600):
    """Runs one TEDS query through a DS2480B serial 1-Wire adapter on `port`
    ("/dev/ttyUSB0", "COM3"), as `query` does through the device library;
    the callbacks come on the master's own thread. A port that cannot be
    opened, or an adapter that does not answer, ends the query with a text
    saying so and no transducer. `baud` (9600, 19200, 57600 or 115200) is the
    rate the adapter is switched to after start-up; one that does not answer
    there is read at 9600."""
    if not isinstance(port, str) or not port:
        raise ValueError("port: expected the name of a serial port")
    if baud not in BAUD_RATES or isinstance(baud, bool):
        raise ValueError("baud: must be one of 9600, 19200, 57600, 115200")
    return _run(lambda lib, handle: lib.orvane_teds_query_create_serial_baud(
        port.encode("utf-8"), baud, handle), _timeout_ms(timeout_s), on_transducer, on_text)


def write_serial(port, rom, application, memory, lock=False, timeout_s=60.0):
    """Programs the DS2430A `rom` (8 bytes) behind a DS2480B serial adapter
    on `port` with `application` (8 bytes) and `memory` (32 bytes, page
    checksum first), as `teds write --serial` does, locking the application
    register only when `lock` is true. Bytes or hexadecimal texts. Returns
    (written, report): whether the part was written and verified, and the
    line that says what was written or which step failed and what the part
    holds now. A write that does not end within `timeout_s` raises TedsError."""
    if not isinstance(port, str) or not port:
        raise ValueError("port: expected the name of a serial port")
    values = {"rom": (rom, 8), "application": (application, 8), "memory": (memory, 32)}
    given = {}
    for name, (value, size) in values.items():
        given[name] = _bytes(value, name)
        if len(given[name]) != size:
            raise ValueError(f"{name}: expected {size} bytes, not {len(given[name])}")
    written = ctypes.c_int()
    report = ctypes.create_string_buffer(1024)
    _check(_native.teds().orvane_teds_write_serial(
        port.encode("utf-8"), given["rom"], given["application"], given["memory"],
        1 if lock else 0, _timeout_ms(timeout_s), byref(written), report, len(report)))
    return written.value == 1, report.value.decode("latin-1")


# The serial rates of a DS2480B adapter.
BAUD_RATES = (9600, 19200, 57600, 115200)


def _timeout_ms(timeout_s):
    if not (isinstance(timeout_s, (int, float)) and timeout_s > 0 and math.isfinite(timeout_s)):
        raise ValueError("timeout_s: must be a number greater than 0")
    return min(int(round(timeout_s * 1000)), 0xFFFFFFFF)


def _run(create, timeout_ms, on_transducer, on_text):
    lib = _native.teds()
    handle = c_void_p()
    _check(create(lib, byref(handle)))
    raised = []

    def guarded(function):
        def call(*args):
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
    try:
        _check(lib.orvane_teds_query_set_callbacks(handle, transducer_cb, text_cb, ended_cb,
                                                   None))
        result = POINTER(_native.QueryResult)()
        status = lib.orvane_teds_query_run(handle, timeout_ms, byref(result))
        if status not in (_native.OK, _native.TIMEOUT):
            _check(status)
        try:
            value = QueryResult.from_c(result.contents)
        finally:
            lib.orvane_teds_query_result_free(result)
    finally:
        lib.orvane_teds_query_destroy(handle)
    if raised:
        raise raised[0]
    return value
