"""Sessions (one handle for repeated queries), queries of several threads on
one channel, and Ctrl-C during a blocking query."""

import _thread
import threading
import time

import pytest

import orvane_teds

SENSOR = "[14 3A 7F 1B 05 00 00 B6]"


def test_a_session_queries_again_and_again_and_closes_once():
    with orvane_teds.SimulatedDevice() as device:
        with orvane_teds.Session(device.name, device.address, device.channel,
                                 poll_ms=0) as session:
            results = [session.query(timeout_s=20) for _ in range(3)]
        session.close()  # a second close does nothing
        with pytest.raises(ValueError, match="closed"):
            session.query(timeout_s=1)
    assert all(not r.timed_out and not r.stopped for r in results)
    assert [[t.id_text for t in r.transducers] for r in results] == [[SENSOR]] * 3
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("threads", [2, 3])
def test_queries_of_several_threads_on_one_channel_take_turns(threads):
    outcomes = []

    def poll():
        for _ in range(4):
            result = orvane_teds.query(poll_ms=0, timeout_s=20)
            outcomes.append(([t.id_text for t in result.transducers], result.texts[-1:]))

    with orvane_teds.SimulatedDevice():
        workers = [threading.Thread(target=poll) for _ in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    assert outcomes == [([SENSOR], ["Compile: GOOD CHECKSUM"])] * (4 * threads)


def test_ctrl_c_stops_a_blocking_query_at_once_and_the_session_goes_on():
    with orvane_teds.SimulatedDevice() as device:
        with orvane_teds.Session(device.name, device.address, poll_ms=60000) as session:
            timer = threading.Timer(0.2, _thread.interrupt_main)
            started = time.monotonic()
            timer.start()
            with pytest.raises(KeyboardInterrupt):
                session.query(timeout_s=30)
            assert time.monotonic() - started < 5
            timer.join()
            # The stopped query let the device go; a short one now times out
            # cleanly (the relay's answer is a minute away).
            again = session.query(timeout_s=0.2)
            assert again.timed_out and not again.stopped


def test_closing_a_session_during_its_query_ends_the_query_as_stopped():
    with orvane_teds.SimulatedDevice() as device:
        session = orvane_teds.Session(device.name, device.address, poll_ms=60000)
        timer = threading.Timer(0.2, session.close)
        timer.start()
        result = session.query(timeout_s=30)
        timer.join()
    assert result.stopped and not result.timed_out and result.transducers == []
