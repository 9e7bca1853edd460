"""The Python package over the C interface: decoding and queries."""

import math

import pytest

import orvane_teds
from conftest import APPLICATION, WORKED_IMAGE, template25_image, worked_memory


def check_worked(transducer):
    basic = transducer.basic_teds
    assert (basic.present, basic.manufacturer_id, basic.model_number, basic.version_letter,
            basic.version_number, basic.serial_number) == (True, 100, 1234, "B", 3, 123456)
    (t,) = transducer.templates
    assert (t.group, t.transfer_function, t.force) == ("standard", False, False)
    assert math.isclose(t.sens_ref, 0.0100013, rel_tol=1e-5)
    assert math.isclose(t.tf_hp_s, 0.499038, rel_tol=1e-5)
    assert (t.direction, t.direction_text, t.sign, t.sign_text) == (2, "Z", 0, "POSITIVE")
    assert (t.cal_date, t.cal_date_text, t.cal_initials) == (1577836800, "2020-01-01", "ABC")
    assert (t.cal_period, t.meas_id, t.ref_temp) == (365, 5, 23.0)
    assert t.default_fr is None and t.tf_sp is None
    assert "    %CalDate:       2020-01-01\n" in transducer.report


def test_decode_image_bytes_and_hex_text_agree():
    by_bytes = orvane_teds.decode_image(WORKED_IMAGE)
    assert by_bytes.parsed and by_bytes.parse_error is None and by_bytes.pages == []
    check_worked(by_bytes.transducer)
    assert by_bytes.transducer.id == bytes(8)
    assert orvane_teds.decode_image(WORKED_IMAGE.hex(" ")) == by_bytes


@pytest.mark.parametrize("good", [True, False])
def test_decode_ds2430a_gives_the_page_verdict(good):
    result = orvane_teds.decode_ds2430a(APPLICATION, worked_memory(good))
    assert result.pages == [good]
    check_worked(result.transducer)


def test_optional_groups_and_a_missing_basic_teds():
    result = orvane_teds.decode_image(template25_image(extended=True, transfer=True,
                                                       manufacturer=0))
    assert result.transducer.basic_teds.present is False
    (t,) = result.transducer.templates
    # Never a 0.0 sensitivity that reads like a calibration.
    assert (t.group, t.sens_ref, t.tf_hp_s) == ("extended", None, None)
    assert (t.default_fr, t.passive, t.sens_ref_01, t.sens_ref_10, t.tf_hp_s_01,
            t.tf_hp_s_10) == (1, 1, 1001, 1010, 101, 110)
    assert (t.tf_sp, t.tf_kpr, t.tf_kpq, t.tf_sl, t.temp_coef) == (127, 511, 300, 5, 63)


def test_failures_are_values_and_texts_are_utf8():
    failed = orvane_teds.decode_image(b"\x64\x80")
    assert not failed.parsed and failed.transducer is None
    assert failed.parse_error == "Failed to parse TEDS template: Failed to parse Basic TEDS"
    cut = orvane_teds.decode_image(template25_image(extended=True)[:11])
    assert cut.transducer.templates == []
    assert cut.transducer.errors[-1].endswith("%Sens@Ref[\u201c01\u201d]")


@pytest.mark.parametrize("call, error", [
    (lambda: orvane_teds.decode_image(42), TypeError),
    (lambda: orvane_teds.decode_image("6G"), ValueError),
    (lambda: orvane_teds.query(channel=8, timeout_s=1), orvane_teds.TedsError),
    (lambda: orvane_teds.query(mode=256, timeout_s=1), orvane_teds.TedsError),
    (lambda: orvane_teds.query(device="", timeout_s=1), orvane_teds.TedsError),
    (lambda: orvane_teds.query(timeout_s=0), ValueError),
    (lambda: orvane_teds.query(address=-1), ValueError),
    (lambda: orvane_teds.SimulatedDevice('{"name": 5}'), orvane_teds.TedsError),
    (lambda: orvane_teds.query(device="SIM\0DAQ", timeout_s=1), ValueError),
    (lambda: orvane_teds.query_serial("/dev/ttyS0\0", timeout_s=1), ValueError),
    (lambda: orvane_teds.Session.serial(""), ValueError),
    (lambda: orvane_teds.scan(channels=[8], timeout_s=1), ValueError),
    (lambda: orvane_teds.scan(channels=[], timeout_s=1), ValueError),
    (lambda: orvane_teds.scan(address=-1, timeout_s=1), ValueError),
    (lambda: orvane_teds.scan(device="", timeout_s=1), orvane_teds.TedsError),
])
def test_bad_input_is_refused_with_a_clear_error(call, error):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value)


def test_query_of_the_simulated_device_reports_through_callbacks_and_result():
    heard, found = [], []
    with orvane_teds.SimulatedDevice() as device:
        result = orvane_teds.query(device.name, device.address, device.channel, poll_ms=0,
                                   timeout_s=20, on_text=heard.append,
                                   on_transducer=found.append)
        again = orvane_teds.query(device.name, device.address, device.channel, poll_ms=0,
                                  timeout_s=20)
    assert not result.timed_out
    assert result.texts == heard and len(heard) == 3
    assert heard[1] == "Transducers Found:\n  [14 3A 7F 1B 05 00 00 B6]\n"
    assert result.transducers == found and len(found) == 1
    assert found[0].nodes == [bytes.fromhex("143A7F1B050000B6")]
    check_worked(found[0])
    assert again == result


def test_query_time_out_and_callback_exceptions_come_back():
    with orvane_teds.SimulatedDevice() as device:
        slow = orvane_teds.query(device.name, device.address, poll_ms=60000, timeout_s=0.1)
        assert slow.timed_out and slow.transducers == []

        def fail(_text):
            raise RuntimeError("host callback failed")
        with pytest.raises(RuntimeError, match="host callback failed"):
            orvane_teds.query(device.name, device.address, poll_ms=0, timeout_s=20,
                              on_text=fail)


def test_refused_handshake_ends_the_query_without_a_transducer():
    bench = ('{"name": "SIM-PY", "address": 3, "faults": {"refuseServiceMode": true},'
             ' "channels": [{"channel": 0}]}')
    with orvane_teds.SimulatedDevice(bench) as device:
        assert (device.name, device.address) == ("SIM-PY", 3)
        result = orvane_teds.query("SIM-PY", 3, poll_ms=0, timeout_s=20)
    assert not result.timed_out and result.transducers == []
    assert result.texts[0].startswith("OneWire Error: The device refused service operating mode")


def test_scan_gives_a_result_per_channel():
    sensor = ('{"rom": "14 3A 7F 1B 05 00 00 B6", "application": "' + APPLICATION.hex() +
              '", "memory": "' + worked_memory(True).hex() + '"}')
    bench = ('{"name": "SIM-SCAN-PY", "address": 2, "channels": [{"channel": 0, "devices": ['
             + sensor + ']}, {"channel": 3}, {"channel": 4, "faults": {"refuseSetMode": true}}]}')
    with orvane_teds.SimulatedDevice(bench):
        results = orvane_teds.scan("SIM-SCAN-PY", 2, [4, 0, 3], poll_ms=0, timeout_s=20)
    assert [r.channel for r in results] == [0, 3, 4]
    assert not any(r.timed_out for r in results)
    (found,) = results[0].transducers
    check_worked(found)
    assert results[1].transducers == [] and results[1].texts[-1] == "No valid templates found"
    assert results[2].transducers == [] and "refused the TEDS set-mode" in results[2].texts[0]
