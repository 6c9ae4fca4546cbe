"""Reading log files written by the library's logger, without a device."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_uint, c_ushort
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _lib
from .errors import ErrorCode, KorvelError


@dataclass(frozen=True)
class LogConfig:
    """The scan settings recorded with a log."""

    channels: int
    gain: int
    trigger: int
    sample_rate: int
    transfer_mode: int
    sync_mode: int


class LogFile(_lib.Closing):
    """A data file written by the logger, opened with its configuration file
    (KV_LogFile_Open / KV_LogFile_Close). A context manager::

        with korvel.LogFile(path) as log:
            volts = log.read()          # (scans, channels) float32
            print(log.config.sample_rate, log.start)
    """

    def __init__(self, path: str | Path):
        self._lib = _lib.load()
        self._handle = None
        self.path = Path(path)
        self._lib.KV_ClearLastError()
        handle = self._lib.KV_LogFile_Open(str(path).encode())
        if not handle:
            raise KorvelError(self._lib.KV_GetLastError() or ErrorCode.FILE_OPEN,
                              "KV_LogFile_Open")
        self._handle = handle
        name = ctypes.create_string_buffer(32)
        size, kind, reserved = c_uint(), c_uint(), c_uint()
        self._lib.KV_GetLogFileInfo(handle, name, byref(size), byref(kind), byref(reserved))
        #: Model name of the device that wrote the log, e.g. "LX-3100".
        self.model = name.value.decode("latin-1")
        #: Data file size in bytes (saturated at 0xFFFFFFFF).
        self.size = size.value
        #: True for raw binary data, False for calibrated text.
        self.binary = kind.value == 0
        self.config = self._config()

    @staticmethod
    def find(folder: str | Path, suffix: str = ".bin") -> list[Path]:
        """The data files with suffix below folder (recursively), sorted."""
        return sorted(p for p in Path(folder).rglob("*" + suffix) if p.is_file())

    def close(self) -> None:
        """Closes the file; calling it again does nothing."""
        if self._handle is not None:
            self._lib.KV_LogFile_Close(self._handle)
            self._handle = None

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "LogFile":
        return self

    def _check(self) -> None:
        if self._handle is None:
            raise KorvelError(ErrorCode.INVALID_HANDLE, "LogFile (closed)")

    def _config(self) -> LogConfig:
        ch, gain, trig, tm, sync = (c_ushort() for _ in range(5))
        rate = c_uint()
        if not self._lib.KV_GetLogFile_AIScanConfigInfo(self._handle, byref(ch), byref(gain),
                                                        byref(trig), byref(rate), byref(tm),
                                                        byref(sync)):
            raise KorvelError(ErrorCode.FILE_OPEN, "KV_GetLogFile_AIScanConfigInfo")
        return LogConfig(ch.value, gain.value, trig.value, rate.value, tm.value, sync.value)

    def gain_offsets(self) -> list[tuple[int, int]]:
        """Each channel's recorded (Q15 gain factor, offset in codes)."""
        self._check()
        out = []
        for c in range(self.config.channels):
            g, o = c_ushort(), c_ushort()
            if not self._lib.KV_GetLogFile_GainOffset(self._handle, c, self.config.gain,
                                                      byref(g), byref(o)):
                raise KorvelError(ErrorCode.INPUT_CHANNEL, "KV_GetLogFile_GainOffset")
            out.append((g.value, o.value - 0x10000 if o.value >= 0x8000 else o.value))
        return out

    def _sample_info(self) -> tuple[int, str, str]:
        total = c_uint()
        date, clock = ctypes.create_string_buffer(16), ctypes.create_string_buffer(32)
        self._lib.KV_GetLogFile_AIScanSampleInfo(self._handle, byref(total), date, clock)
        return total.value, date.value.decode("latin-1"), clock.value.decode("latin-1")

    @property
    def samples(self) -> int:
        """Samples in the data file (all channels)."""
        self._check()
        return self._sample_info()[0]

    @property
    def start(self) -> str:
        """The recorded start, "YYYY/MM/DD hh:mm:ss.n"."""
        self._check()
        _, date, clock = self._sample_info()
        return f"{date} {clock}"

    def _raw_slots(self, offset: int, count: int) -> np.ndarray:
        slots = np.zeros(count, dtype=np.uint32)  # 16-bit samples fill low halves only
        got = self._lib.KV_GetLogFile_AIDataHex(self._handle, offset, count,
                                                slots.ctypes.data_as(ctypes.c_void_p))
        return slots[:got]

    def _code_bits(self, total: int) -> int:
        return 16 if total and self.size // total == 2 else 24

    def read_codes(self) -> np.ndarray:
        """Binary logs: every whole scan's raw codes, int32 shaped
        (scans, channels); 16-bit codes sign-extended as a live scan gives them."""
        self._check()
        if not self.binary:
            raise KorvelError(ErrorCode.INVALID_ARGUMENT, "read_codes (text log)")
        ch = max(self.config.channels, 1)
        total = self._sample_info()[0]
        slots = self._raw_slots(0, total // ch * ch)
        if self._code_bits(total) == 16:
            codes = slots.astype(np.uint16).view(np.int16).astype(np.int32)
        else:
            codes = slots.view(np.int32)
        return codes[: len(codes) // ch * ch].reshape(-1, ch)

    def read(self) -> np.ndarray:
        """Every whole scan in volts, float32 shaped (scans, channels).

        Binary logs are calibrated with the log's own tables (through the
        library, once per distinct code of a channel); text logs hold volts
        already, and a missing value of a line is NaN.
        """
        self._check()
        if self.binary:
            codes = self.read_codes()
            volts = np.zeros(codes.shape, dtype=np.float32)
            v = ctypes.c_float()
            for c in range(codes.shape[1]):
                distinct, where = np.unique(codes[:, c], return_inverse=True)
                table = np.empty(len(distinct), dtype=np.float32)
                for i, raw in enumerate(distinct.tolist()):
                    if not self._lib.KV_Calibrate_Data_Float(self._handle, c, self.config.gain,
                                                             raw, byref(v)):
                        raise KorvelError(self._lib.KV_GetLastError() or ErrorCode.GAIN_RANGE,
                                          "KV_Calibrate_Data_Float")
                    table[i] = v.value
                volts[:, c] = table[where]
            return volts
        ch = max(self.config.channels, 1)
        total = self._sample_info()[0]  # also rewinds the text file
        if total == 0xFFFFFFFF:  # the library's "more than it can count"
            raise ValueError(f"{self.path}: too many values to read at once")
        values = np.full(total, np.nan, dtype=np.float32)
        got = self._lib.KV_GetLogFile_AIData(self._handle, 0, total,
                                             values.ctypes.data_as(ctypes.c_void_p))
        values = values[: got // ch * ch]
        return values.reshape(-1, ch)
