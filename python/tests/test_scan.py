"""Scans end to end against korvel-sim: shapes, sample-exact values,
partial reads, the iterator over a continuous scan, and event callbacks."""

import threading

import numpy as np
import pytest

import korvel
from conftest import calibrated, expected_codes, wait_for


@pytest.mark.parametrize("channels,scans,top_gain", [(1, 1500, False), (4, 1000, True)])
def test_finite_scan_codes_and_volts_match_the_signal(any_device, channels, scans, top_gain):
    dev = any_device
    gain = dev.top_gain if top_gain else 0
    codes = dev.acquire(channels, 1000, scans, gain=gain, raw=True)
    assert codes.shape == (scans, channels) and codes.dtype == np.int32
    expected = expected_codes(channels, scans, dev.bits)
    np.testing.assert_array_equal(codes, expected)

    volts = dev.acquire(channels, 1000, scans, gain=gain)
    assert volts.shape == (scans, channels) and volts.dtype == np.float32
    # Each column is calibrated with its own channel's table.
    np.testing.assert_array_equal(volts, calibrated(dev.calibrate, expected, gain))


def test_all_eight_channels_of_a_16_bit_device(device):
    codes = device.acquire(8, 1000, 640, raw=True)
    np.testing.assert_array_equal(codes, expected_codes(8, 640))


def test_reads_of_any_size_give_whole_scans_in_order(device):
    with device.scan(channels=3, sample_rate=1000, scans=500, raw=True) as scan:
        device.wait_status(korvel.Status.COUNT_REACHED, timeout=5)
        assert device.buffer_status().samples == 1500
        parts = [scan.read(max_scans=7), scan.read(max_scans=1), scan.read(max_scans=0),
                 scan.read(), scan.read(timeout=0.01)]
        assert [len(p) for p in parts] == [7, 1, 0, 492, 0]
        assert scan.scans_read == 500
    np.testing.assert_array_equal(np.concatenate(parts), expected_codes(3, 500))


def test_iterator_over_a_continuous_scan_yields_contiguous_scans(sims):
    # Real-time pacing: 8 channels at 10 kHz, about 80 000 samples a second.
    with korvel.Device(sims.start(fast=False)) as dev:
        with dev.scan(channels=8, sample_rate=10000, raw=True) as scan:
            blocks = []
            for block in scan.blocks(max_scans=2000, timeout=5):
                assert block.shape[1] == 8 and 0 < len(block) <= 2000
                blocks.append(block)
                if sum(map(len, blocks)) >= 5000:
                    break
            assert scan.running
            flags = scan.status().flags
            assert not flags & (korvel.Status.OVERRUN | korvel.Status.ENDED)
        assert not scan.running
        got = np.concatenate(blocks)
        np.testing.assert_array_equal(got, expected_codes(8, len(got)))
        # Stopped: the device is free for single-point I/O again.
        assert dev.read_dio()[1] in range(16)


def test_iterator_ends_with_a_finite_scan_and_stop_ends_it(device):
    with device.scan(channels=2, sample_rate=1000, scans=3000) as scan:
        total = sum(len(b) for b in scan)
        assert total == 3000
    # A fast continuous scan outruns the buffer: the iterator says so, unless
    # told to go on.
    with device.scan(channels=2, sample_rate=1000) as scan:
        device.wait_status(korvel.Status.OVERRUN, timeout=10)
        with pytest.raises(korvel.ScanOverrunError):
            next(iter(scan))
        for n, _ in enumerate(scan.blocks(allow_overrun=True)):
            if n == 2:
                scan.stop()  # the iterator ends instead of waiting for data
        assert n == 2
    with pytest.raises(RuntimeError):
        next(iter(device.scan(2, 1000)))  # not started


def test_event_callbacks_run_on_the_worker_and_survive_exceptions(device, caplog):
    seen = []
    main = threading.get_ident()

    def broken(dev, event, value):
        seen.append((event, value, threading.get_ident()))
        raise ValueError("callback failure")

    device.set_event_callback(broken, korvel.Event.COUNT_REACHED)
    device.acquire(4, 1000, 100, raw=True)
    assert wait_for(lambda: seen)
    assert seen[0][:2] == (korvel.Event.COUNT_REACHED, 400)
    assert seen[0][2] != main
    assert wait_for(lambda: device.callback_errors)
    assert isinstance(device.callback_errors[0], ValueError)

    # Still registered and still working; a replacement takes over.
    calls = []
    device.set_event_callback(lambda dev, e, v: calls.append((dev, e, v)))
    device.acquire(2, 1000, 50)
    assert wait_for(lambda: calls)
    assert calls[0] == (device, korvel.Event.COUNT_REACHED, 100)
    assert len(seen) == 1
    device.remove_event_callback()
    device.acquire(2, 1000, 50)
    assert len(calls) == 1


def test_a_device_that_goes_away_ends_the_iterator_with_an_error(sims):
    with korvel.Device(sims.start(fast=False)) as dev:
        events = []
        dev.set_event_callback(lambda d, e, v: events.append(e))
        with dev.scan(channels=2, sample_rate=1000) as scan:
            blocks = scan.blocks(timeout=10)
            assert len(next(blocks)) > 0
            sims.procs[0].kill()
            with pytest.raises(korvel.ScanEndedError):
                for _ in blocks:
                    pass
        assert korvel.Event.RECEIVE_ERROR in events
