"""Errors, single-point and digital I/O, library loading."""

import os
import subprocess
import sys

import numpy as np
import pytest

import korvel
from korvel import ErrorCode


def test_errors_carry_code_name_and_description(device):
    dev_address = device.address
    with pytest.raises(korvel.KorvelError) as e:
        device.scan(channels=9, sample_rate=1000).start()
    assert e.value.code == ErrorCode.INPUT_CHANNEL
    assert e.value.name == "KV_ERR_INPUT_CHANNEL"
    assert e.value.description and e.value.message
    assert e.value.function == "KV_SetAIScanParam"
    assert "KV_ERR_INPUT_CHANNEL" in str(e.value)

    with device.scan(channels=2, sample_rate=1000):
        with pytest.raises(korvel.KorvelError) as e:
            device.read_dio()  # refused while acquiring
        assert e.value.code == ErrorCode.BUSY_SAMPLING

    with pytest.raises(korvel.KorvelError) as e:
        korvel.Device(dev_address)  # already open
    assert e.value.code == ErrorCode.OPEN_DEVICE

    device.close()
    device.close()  # a second close does nothing
    for call in (lambda: device.model, lambda: device.read_ai(0), device.start_scan):
        with pytest.raises(korvel.KorvelError) as e:
            call()
        assert (e.value.code, e.value.name) == (ErrorCode.INVALID_HANDLE, "KV_ERR_INVALID_HANDLE")


@pytest.mark.parametrize("address,codes", [
    ("127.0.0.1,0", {ErrorCode.INVALID_ARGUMENT}),
    ("not an address", {ErrorCode.INVALID_ARGUMENT}),
    ("127.0.0.1,1,2,3", {ErrorCode.INVALID_ARGUMENT}),
])
def test_open_refuses_bad_addresses(address, codes):
    with pytest.raises(korvel.KorvelError) as e:
        korvel.Device(address)
    assert e.value.code in codes


def test_single_point_and_digital_io(device):
    assert device.model == "LX-3100"
    volts = device.read_ai_all(8)
    codes = device.read_ai_all(8, raw=True)
    assert volts.shape == codes.shape == (8,)
    assert (volts.dtype, codes.dtype) == (np.float32, np.int32)
    assert device.read_ai(3) == pytest.approx(float(volts[3]), abs=0.01)
    assert device.read_ai_code(3) == pytest.approx(int(codes[3]), abs=50)

    device.write_do(0b1010)
    assert device.read_dio()[1] == 0b1010
    device.write_do_bit(0, True)
    assert device.read_dio()[1] == 0b1011
    with pytest.raises(korvel.KorvelError) as e:
        device.write_do(0x10)  # four outputs
    assert e.value.code == ErrorCode.INVALID_ARGUMENT

    p = korvel.ScanParams(channels=5, gain=1, sample_rate=2500, sample_count=500)
    device.set_scan_params(p)
    assert device.scan_params() == p


def test_a_wrong_library_path_is_an_error_not_a_fallback(tmp_path):
    env = dict(os.environ, KORVEL_LIBRARY=str(tmp_path / "missing.so"))
    code = "import korvel\ntry:\n    korvel.sdk_version()\nexcept OSError as e:\n    print(e)"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=30, cwd=os.path.dirname(os.path.dirname(__file__)))
    assert "missing.so" in out.stdout and "KORVEL_LIBRARY" in out.stdout, out.stderr


def test_the_example_prints_statistics_of_every_channel(sims, tmp_path):
    example = os.path.join(os.path.dirname(__file__), "../../examples/python/scan_to_numpy.py")
    out = subprocess.run([sys.executable, example, sims.start(), "--channels", "3",
                          "--scans", "1000"], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert "1000 scans x 3 channels (float32)" in lines
    assert [line.split()[0] for line in lines if line.startswith("      ")] == ["0", "1", "2"]
    assert (tmp_path / "scan.png").exists() or "skipping the plot" in out.stdout
