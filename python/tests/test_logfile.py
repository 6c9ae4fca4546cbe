"""Logs written by the library's logger, read back without the device."""

import numpy as np
import pytest

import korvel
from conftest import calibrated, expected_codes


@pytest.mark.parametrize("top_gain", [False, True])
def test_binary_log_reads_back_codes_volts_and_configuration(any_device, tmp_path, top_gain):
    dev = any_device
    gain = dev.top_gain if top_gain else 0
    dev.log(tmp_path, channels=4, sample_rate=2000, scans=600, gain=gain, mode=0)
    files = korvel.LogFile.find(tmp_path, ".bin")
    assert len(files) == 1
    with korvel.LogFile(files[0]) as log:
        assert (log.model, log.binary, log.samples) == (dev.model, True, 2400)
        assert (log.config.channels, log.config.gain) == (4, gain)
        assert log.config.sample_rate == dev.scan_params().sample_rate
        assert len(log.gain_offsets()) == 4
        assert len(log.start) >= len("YYYY/MM/DD hh:mm:ss.n")
        codes = log.read_codes()
        np.testing.assert_array_equal(codes, expected_codes(4, 600, dev.bits))
        # The log's calibration is the device's.
        np.testing.assert_array_equal(log.read(), calibrated(dev.calibrate, codes, gain))
    assert log.closed
    with pytest.raises(korvel.KorvelError) as e:
        log.read()
    assert e.value.code == korvel.ErrorCode.INVALID_HANDLE


def test_text_log_reads_back_volts(device, tmp_path):
    device.log(tmp_path, channels=3, sample_rate=1000, scans=200, mode=1)
    (path,) = korvel.LogFile.find(tmp_path, ".txt")
    with korvel.LogFile(path) as log:
        assert not log.binary
        volts = log.read()
        assert volts.shape == (200, 3)
        expected = calibrated(device.calibrate, expected_codes(3, 200), 0)
        np.testing.assert_allclose(volts, expected, atol=1e-3)
        with pytest.raises(korvel.KorvelError):
            log.read_codes()


def test_opening_a_missing_log_raises(tmp_path):
    with pytest.raises(korvel.KorvelError) as e:
        korvel.LogFile(tmp_path / "none.bin")
    assert e.value.code == korvel.ErrorCode.FILE_OPEN
