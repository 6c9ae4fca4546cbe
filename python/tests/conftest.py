"""Test set-up: the library and korvel-sim come from KORVEL_LIBRARY and
KORVEL_SIM when set, else from the dev build tree (build/dev). Every test
runs its own simulator on a loopback address of its own."""

from __future__ import annotations

import itertools
import math
import os
import selectors
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
LIBRARY = Path(os.environ.get("KORVEL_LIBRARY") or ROOT / "build/dev/src/libkorvel.so").resolve()
# Code width and highest gain (range) code of each simulated family.
BITS = {"LX3100": 16, "LX3200": 24, "LXR5000": 24}
TOP_GAIN = {"LX3100": 1, "LX3200": 9, "LXR5000": 0}
SIMULATOR = Path(os.environ.get("KORVEL_SIM") or ROOT / "build/dev/sim/korvel-sim").resolve()



def pytest_configure(config):
    for what, path, variable in (("libkorvel.so", LIBRARY, "KORVEL_LIBRARY"),
                                 ("korvel-sim", SIMULATOR, "KORVEL_SIM")):
        if not path.is_file():
            pytest.exit(f"{what} not found at {path}: build it (cmake --preset dev && "
                        f"cmake --build --preset dev) or set {variable}", returncode=4)
    # The bindings load the library lazily; point them at the one under test.
    os.environ["KORVEL_LIBRARY"] = str(LIBRARY)


_counter = itertools.count()


def unique_address() -> str:
    """127.x.y.z from 14 bits of the process id and 10 bits of a counter, as
    the C++ tests choose theirs: concurrent test processes never share one."""
    pid = os.getpid() % 16381
    n = next(_counter) % 1000
    return f"127.{pid >> 6}.{((pid & 0x3F) << 2) | (n // 250)}.{n % 250 + 1}"


class Simulators:
    """Starts korvel-sim processes and kills them at the end of the test."""

    def __init__(self):
        self.procs: list[subprocess.Popen] = []

    def start(self, model: str = "LX3100", fast: bool = True, timeout: float = 5.0) -> str:
        address = unique_address()
        args = [str(SIMULATOR), "--model", model, "--address", address]
        if fast:
            args.append("--fast")
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.procs.append(proc)
        # It prints its first line once it listens; wait for that line (or
        # its exit) under a deadline.
        with selectors.DefaultSelector() as sel:
            sel.register(proc.stdout, selectors.EVENT_READ)
            if not sel.select(timeout):
                pytest.fail(f"korvel-sim on {address} said nothing within {timeout} s")
        line = proc.stdout.readline().decode(errors="replace")
        if " on " + address not in line:
            pytest.fail(f"korvel-sim on {address} did not start: {line.strip()}")
        return address

    def stop_all(self) -> None:
        for proc in self.procs:
            proc.kill()
            proc.wait(timeout=10)
            proc.stdout.close()


@pytest.fixture
def sims():
    s = Simulators()
    yield s
    s.stop_all()


@pytest.fixture
def device(sims):
    """An LX-3100 simulated device that streams as fast as it is read."""
    import korvel
    with korvel.Device(sims.start("LX3100")) as dev:
        yield dev


@pytest.fixture(params=sorted(BITS))
def any_device(request, sims):
    """A fast simulated device of each family, with .bits and .top_gain."""
    import korvel
    with korvel.Device(sims.start(request.param)) as dev:
        dev.bits = BITS[request.param]
        dev.top_gain = TOP_GAIN[request.param]
        yield dev


def _lround(x: float) -> int:
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


# The simulator's signal: a sine per channel (period 1000 + 37c) plus a
# sawtooth of period 997 common to all channels, stepping once per scan.
def _sines(amplitude):
    return [np.array([_lround(amplitude(c) * math.sin(2.0 * math.pi * k / (1000 + 37 * c)))
                      for k in range(1000 + 37 * c)], dtype=np.int64) for c in range(16)]


_AMPLITUDE24 = (7900001, 2500003, 6100007, 400009, 5200011, 1300013, 7000017, 3700019)
_SIGNALS = {  # bits: (sines, sawtooth step, base)
    16: (_sines(lambda c: 2000.0 * (c % 8 + 1)), 1, -498),
    24: (_sines(lambda c: float(_AMPLITUDE24[c % 8])), 257, -128000),
}


def expected_codes(channels: int, scans: int, bits: int = 16) -> np.ndarray:
    """Raw codes the simulator sends, shaped (scans, channels), int32 as the
    library delivers them: 16-bit codes sign-extended, 24-bit ones in the low
    24 bits."""
    sines, step, base = _SIGNALS[bits]
    scan = np.arange(scans, dtype=np.int64)
    out = np.empty((scans, channels), dtype=np.int64)
    for c in range(channels):
        out[:, c] = sines[c][scan % len(sines[c])] + (scan % 997) * step + base
    if bits == 16:
        return out.astype(np.int16).astype(np.int32)
    return (out & 0xFFFFFF).astype(np.int32)


def calibrated(calibrate, codes: np.ndarray, gain: int) -> np.ndarray:
    """codes converted to volts one distinct code at a time by calibrate(channel, gain, raw)."""
    out = np.empty(codes.shape, dtype=np.float32)
    for c in range(codes.shape[1]):
        distinct, where = np.unique(codes[:, c], return_inverse=True)
        out[:, c] = np.array([calibrate(c, gain, int(r)) for r in distinct],
                             dtype=np.float32)[where]
    return out


def wait_for(condition, timeout: float = 5.0) -> bool:
    """Waits until condition() is true, at most timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True
