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


def test_serial_write_programs_the_sensor_and_a_serial_query_reads_it_back(adapter):
    rom = "14 3A 7F 1B 05 00 00 B6"
    sheet = subprocess.run(
        [program("TEDS_PROGRAM"), "query", "--json", "--quiet", "--poll-ms", "0"],
        capture_output=True, text=True).stdout
    encoded = subprocess.run(
        [program("TEDS_PROGRAM"), "encode", "--sheet", "-", "--set", "calInitials=PYW"],
        input=sheet, capture_output=True, text=True, check=True).stdout
    lines = dict(line.split(":", 1) for line in encoded.splitlines()[1:3])
    written, report = orvane_teds.write_serial(
        adapter, rom, lines["Application"].strip(), lines["Memory"].strip(), lock=True,
        timeout_s=20)
    assert written, report
    assert report == ("Wrote [" + rom + "]: memory programmed with the new contents; "
                      "application register already locked with the new contents")
    result = orvane_teds.query_serial(adapter, timeout_s=20)
    assert "%CalInitials:   PYW" in result.transducers[0].report
    with pytest.raises(ValueError, match="memory"):
        orvane_teds.write_serial(adapter, rom, lines["Application"].strip(), "00")
    gone, text = orvane_teds.write_serial("/nonexistent/ttyS9", rom, bytes(8), bytes(32))
    assert not gone and text.startswith("DS2480B on /nonexistent/ttyS9: cannot open")
