"""Queries through a DS2480B serial adapter: the emulated adapter of the teds
program on a pseudo-terminal (POSIX only)."""

import os
import subprocess

import pytest

import orvane_teds
from conftest import program

pytestmark = pytest.mark.skipif(os.name != "posix", reason="needs a pseudo-terminal")


@pytest.fixture
def adapter():
    """The built-in bench served by `teds serial-emulator`; yields its path."""
    served = subprocess.Popen([program("TEDS_PROGRAM"), "serial-emulator"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        yield served.stdout.readline().strip()
    finally:
        served.terminate()
        served.wait(timeout=10)


def test_serial_query_reports_what_the_relay_path_reports(adapter):
    heard = []
    result = orvane_teds.query_serial(adapter, timeout_s=20, on_text=heard.append)
    assert not result.timed_out and result.texts == heard
    assert heard[0] == "Transducers Found:\n  [14 3A 7F 1B 05 00 00 B6]\n"
    with orvane_teds.SimulatedDevice() as device:
        relay = orvane_teds.query(device.name, device.address, poll_ms=0, timeout_s=20)
    assert result.transducers == relay.transducers and len(result.transducers) == 1
    assert result.texts == relay.texts[1:]  # the relay's own protocol text first


@pytest.mark.parametrize("baud", [19200, 115200])
def test_serial_query_at_a_higher_baud_rate_reads_the_same(adapter, baud):
    slow = orvane_teds.query_serial(adapter, timeout_s=20)
    fast = orvane_teds.query_serial(adapter, timeout_s=20, baud=baud)
    assert fast.texts == slow.texts and fast.transducers == slow.transducers
    with pytest.raises(ValueError, match="baud"):
        orvane_teds.query_serial(adapter, baud=38400)


def test_serial_query_faults_end_with_their_text():
    missing = orvane_teds.query_serial("/nonexistent/ttyS9", timeout_s=20)
    assert not missing.timed_out and missing.transducers == []
    assert missing.texts[0].startswith(
        "OneWire Error: DS2480B on /nonexistent/ttyS9: cannot open the serial port: ")
    with pytest.raises(ValueError, match="port"):
        orvane_teds.query_serial("")
