"""Devices, scans and event callbacks."""

from __future__ import annotations

import atexit
import collections
import ctypes
import enum
import logging
import threading
import time
import weakref
from ctypes import byref, c_float, c_int, c_short, c_uint, c_ushort
from dataclasses import dataclass
from typing import Callable, Iterator

import numpy as np

from . import _lib
from .errors import ErrorCode, KorvelError, ScanEndedError, ScanOverrunError

_log = logging.getLogger("korvel")

# How often a waiting reader looks at the buffer: the library has no blocking
# read, so waits are short sleeps bounded by the caller's time-out.
POLL_INTERVAL = 0.005


class Status(enum.IntFlag):
    """Buffer status bits (KV_STATUS_*)."""

    DATA = 0x01           # samples waiting in the buffer
    OVERRUN = 0x02        # samples were lost (buffer full, or a log file write failed)
    ENDED = 0x04          # the acquisition thread has ended
    TIMEOUT = 0x08        # ended by a data time-out
    LOG_ENDED = 0x10      # the logger thread has ended
    LOG_TIMEOUT = 0x20    # the logger ended by a data time-out
    LOG_FILE = 0x40       # the first data file was opened
    COUNT_REACHED = 0x80  # a finite scan reached its sample count


class Event(enum.IntFlag):
    """Scan events delivered to event callbacks (KV_EVENT_*)."""

    RECEIVE_ERROR = 1   # a receive on the data port failed; the run ended
    COUNT_REACHED = 2   # a finite scan reached its sample count (value: samples)
    TIMEOUT = 4         # the run ended by a data time-out
    OVERRUN = 8         # samples were dropped (buffer full)
    LOG_COMPLETE = 16   # a logging run reached its sample count (value: samples)
    ALL = 31


@dataclass(frozen=True)
class BufferStatus:
    """The scan buffer's status bits and the samples (not scans) waiting."""

    flags: Status
    samples: int


@dataclass(frozen=True)
class ScanParams:
    """High-speed scan settings, as KV_SetAIScanParam takes them.

    sample_count is the total over all channels (0: continuous).
    """

    channels: int
    gain: int = 0
    trigger_mode: int = 0
    sample_rate: int = 1000
    sample_count: int = 0
    transfer_mode: int = 0
    option: int = 0


def sdk_version() -> str:
    """The library's version text, e.g. "1.2.2.3"."""
    buf = ctypes.create_string_buffer(32)
    _lib.load().KV_GetSDKVersion(buf)
    return buf.value.decode()


_open_devices: "weakref.WeakSet[Device]" = weakref.WeakSet()
# Callback objects of devices collected without a successful release: the
# library may still call them, so they must never be freed.
_orphaned_callbacks: list = []


@atexit.register
def _close_all() -> None:
    # Close devices while the interpreter can still run their callbacks: the
    # library would otherwise stop the runs when it is unloaded, after Python
    # has gone.
    for dev in list(_open_devices):
        try:
            dev.close()
        except Exception:
            pass


EventHandler = Callable[["Device", Event, int], None]


class Device(_lib.Closing):
    """An open device (KV_Device_Create / KV_Device_Release).

    Use it as a context manager so that it is released::

        with korvel.Device("127.0.0.5") as dev:
            print(dev.model, dev.read_ai(0))

    Methods raise KorvelError when the library reports a failure. After
    close() the handle stays invalid (handles are never reused), so calls
    raise KorvelError with ErrorCode.INVALID_HANDLE.

    A device may be used from several Python threads; the library serialises
    command exchanges and run start/stop per device. Every call releases the
    GIL while it runs.
    """

    def __init__(self, address: str):
        """Opens the device at "a.b.c.d[,cmdport[,dataport]]"."""
        self._lib = _lib.load()
        self._handle = None
        self._released = False
        # Every callback object ever registered stays alive until the release
        # has joined the worker thread: the worker may be inside an old one
        # while a new one is being registered.
        self._callbacks: list = []
        #: Exceptions raised inside event callbacks (most recent last, at most 100).
        self.callback_errors: collections.deque = collections.deque(maxlen=100)
        self._lib.KV_ClearLastError()
        handle = self._lib.KV_Device_Create(address.encode())
        if not handle:
            raise self._error("KV_Device_Create")
        self._handle = handle
        self.address = address
        _open_devices.add(self)

    # -- plumbing ---------------------------------------------------------

    def _error(self, function: str) -> KorvelError:
        code = self._lib.KV_GetLastError() & 0xFFFFFFFF
        if not code:
            code = ErrorCode.INVALID_HANDLE if self._released else ErrorCode.RESPONSE
        return KorvelError(code, function)

    def _call(self, function: str, *args) -> int:
        """Calls a KV_ function on this device, raising on a 0 result."""
        self._lib.KV_ClearLastError()
        result = getattr(self._lib, function)(self._handle, *args)
        if result == 0:
            raise self._error(function)
        return result

    @property
    def handle(self) -> int:
        """The library's handle (an integer), for calls the bindings do not wrap."""
        return self._handle

    @property
    def closed(self) -> bool:
        return self._released

    def close(self) -> None:
        """Releases the device: stops its scan or logging run and joins its
        worker thread. Calling it again does nothing. Refused (KorvelError
        NOT_SUPPORTED) from an event callback of this device."""
        if self._released or self._handle is None:
            return
        self._call("KV_Device_Release")
        self._released = True
        self._callbacks.clear()  # the worker is joined: nothing can call them now
        _open_devices.discard(self)

    def __enter__(self) -> "Device":
        return self

    def __del__(self):
        super().__del__()
        if not self._released and self._callbacks:
            _orphaned_callbacks.extend(self._callbacks)

    def __repr__(self) -> str:
        state = "closed" if self._released else "open"
        return f"<korvel.Device {getattr(self, 'address', '?')} {state}>"

    # -- identity ---------------------------------------------------------

    def _text(self, function: str, size: int) -> str:
        buf = ctypes.create_string_buffer(size)
        self._call(function, buf)
        return buf.value.decode("latin-1")

    @property
    def model(self) -> str:
        """Model name, e.g. "LX-3100"."""
        return self._text("KV_GetModelName", 32)

    @property
    def firmware_version(self) -> str:
        """Firmware version and date, "V<hex version>,<date>"."""
        return self._text("KV_GetFirmwareVersion", 64)

    @property
    def hardware_version(self) -> str:
        """Hardware (FPGA) version text, e.g. "V7b"."""
        return self._text("KV_GetHWFirmwareVersion", 128)

    # -- single-point analog I/O -----------------------------------------

    def read_ai(self, channel: int, gain: int = 0) -> float:
        """One analog input in volts. gain is the range code (LX-3100:
        0 = +-5 V, 1 = +-10 V). While a scan runs, the last read's value."""
        v = c_float()
        self._call("KV_ReadAI", channel, gain, byref(v))
        return v.value

    def read_ai_code(self, channel: int, gain: int = 0) -> int:
        """One analog input as a calibrated code."""
        v = c_int()
        self._call("KV_ReadAIHEX", channel, gain, byref(v))
        return v.value

    def read_ai_all(self, count: int, gain: int = 0, raw: bool = False) -> np.ndarray:
        """Channels 0..count-1 in volts (float32), or as calibrated codes
        (int32) when raw is true."""
        out = np.zeros(count, dtype=np.int32 if raw else np.float32)
        self._call("KV_ReadAIALLHEX" if raw else "KV_ReadAIALL", gain,
                   out.ctypes.data_as(ctypes.c_void_p), count)
        return out

    def write_ao(self, channel: int, range_code: int, volts: float) -> None:
        """Drives an analog output (families with outputs, e.g. LX-3200)."""
        self._call("KV_WriteAO", channel, range_code, volts)

    def calibrate(self, channel: int, gain: int, raw: int) -> float:
        """Volts of a raw code of channel with the device's calibration."""
        v = c_float()
        self._call("KV_Calibrate_Data_Float", channel, gain, int(raw), byref(v))
        return v.value

    def calibrate_code(self, channel: int, gain: int, raw: int) -> int:
        """Calibrated code of a raw code of channel."""
        v = c_int()
        self._call("KV_Calibrate_Data_HEX", channel, gain, int(raw), byref(v))
        return v.value

    # -- digital I/O --------------------------------------------------------

    def read_dio(self) -> tuple[int, int]:
        """(digital inputs, digital-output state), one bit per line.
        Refused (BUSY_SAMPLING) while a run is acquiring."""
        di, do = c_uint(), c_uint()
        self._call("KV_ReadDIO", byref(di), byref(do))
        return di.value, do.value

    def write_do(self, value: int) -> None:
        """Sets all digital outputs (LX-3100 and LX-3200: 0..15)."""
        self._call("KV_WriteDO", value)

    def write_do_bit(self, bit: int, on: bool) -> None:
        """Sets or clears one digital output."""
        self._call("KV_WriteDOBit", bit, bool(on))

    # -- scan settings and buffer ----------------------------------------

    def set_scan_params(self, params: ScanParams) -> None:
        """Sets the high-speed scan (refused while a run exists)."""
        p = params
        # ctypes would silently wrap values that do not fit the C types.
        for name, value, low, high in (
                ("channels", p.channels, -2**15, 2**15 - 1), ("gain", p.gain, -2**15, 2**15 - 1),
                ("trigger_mode", p.trigger_mode, -2**15, 2**15 - 1),
                ("sample_rate", p.sample_rate, -2**31, 2**31 - 1),
                ("sample_count", p.sample_count, 0, 2**32 - 1),
                ("transfer_mode", p.transfer_mode, -2**15, 2**15 - 1),
                ("option", p.option, -2**15, 2**15 - 1)):
            if not low <= value <= high:
                raise ValueError(f"{name} {value} does not fit the library's parameter")
        self._call("KV_SetAIScanParam", p.channels, p.gain, p.trigger_mode, p.sample_rate,
                   p.sample_count, p.transfer_mode, p.option)

    def scan_params(self) -> ScanParams:
        """The scan settings: the device's, or those of the run that exists."""
        ch, gain, trig, tm, opt = c_short(), c_short(), c_short(), c_short(), c_short()
        rate, count = c_int(), c_uint()
        self._call("KV_GetAIScanParam", byref(ch), byref(gain), byref(trig), byref(rate),
                   byref(count), byref(tm), byref(opt))
        return ScanParams(ch.value, gain.value, trig.value, rate.value, count.value, tm.value,
                          opt.value)

    def start_scan(self) -> None:
        """Starts the configured scan (see also scan(), which does it all)."""
        self._call("KV_StartAIScan")

    def stop_scan(self) -> None:
        """Stops the scan and discards unread samples."""
        self._call("KV_StopAIScan")

    def buffer_status(self) -> BufferStatus:
        """Status bits and samples waiting."""
        st, n = c_ushort(), c_uint()
        self._call("KV_GetAIBufferStatus", byref(st), byref(n))
        return BufferStatus(Status(st.value), n.value)

    def total_samples(self) -> int:
        """Samples received in this scan so far."""
        n, st = c_uint(), c_uint()
        self._call("KV_GetTotalSamplingStatus", byref(n), byref(st))
        return n.value

    def clear_buffer(self) -> None:
        """Empties the buffer (a partly read scan too); the scan goes on."""
        self._call("KV_ClearAIBuffer")

    def read_samples(self, count: int, raw: bool = False) -> np.ndarray:
        """Takes up to count samples from the buffer, channels interleaved;
        float32 volts, or int32 raw codes when raw is true (16-bit codes
        sign-extended, 24-bit codes in the low 24 bits, as calibrate() takes
        them). Does not wait. Scan.read() gives whole scans shaped
        (scans, channels)."""
        if raw:
            out = np.empty(count, dtype=np.uint32)
            function = "KV_GetAIBufferHex"
        else:
            out = np.empty(count, dtype=np.float32)
            function = "KV_GetAIBuffer"
        if count <= 0:
            return out[:0].view(np.int32) if raw else out[:0]
        self._lib.KV_ClearLastError()
        got = getattr(self._lib, function)(self._handle, out.ctypes.data_as(ctypes.c_void_p),
                                           count)
        if got == 0 and self._lib.KV_GetLastError():
            raise self._error(function)
        out = out[:got]
        return out.view(np.int32) if raw else out

    def wait_status(self, flags: Status, timeout: float) -> BufferStatus:
        """Waits until every bit of flags is set; TimeoutError after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            st = self.buffer_status()
            if st.flags & flags == flags:
                return st
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"status {int(st.flags):#x} lacks {int(flags):#x}")
            time.sleep(min(POLL_INTERVAL, left))

    def scan(self, channels: int, sample_rate: int, scans: int = 0, gain: int = 0,
             raw: bool = False, trigger_mode: int = 0, transfer_mode: int = 0,
             option: int = 0) -> "Scan":
        """A scan of channels 0..channels-1 at sample_rate scans per second:
        `scans` whole scans, or continuous when 0. Use it as a context manager
        (started on entry, stopped on exit) or call start()/stop().
        raw chooses int32 raw codes instead of float32 volts."""
        params = ScanParams(channels, gain, trigger_mode, sample_rate, scans * channels,
                            transfer_mode, option)
        return Scan(self, params, raw=raw)

    def acquire(self, channels: int, sample_rate: int, scans: int, gain: int = 0,
                raw: bool = False, timeout: float = 10.0) -> np.ndarray:
        """Runs a finite scan and returns all of it, shaped (scans, channels)."""
        if scans <= 0:
            raise ValueError("acquire needs a finite number of scans")
        with self.scan(channels, sample_rate, scans, gain=gain, raw=raw) as s:
            return s.read_all(timeout=timeout)

    # -- events ---------------------------------------------------------

    def set_event_callback(self, function: EventHandler, mask: Event = Event.ALL) -> None:
        """Calls function(device, event, value) for the events in mask.

        The function runs on the library's worker thread of this device, not
        on the thread that registered it (ctypes takes the GIL for it). It must
        return quickly; it may read buffers and settings of this device, but
        starting, stopping, reconfiguring or closing it from the callback is
        refused by the library. An exception raised by the function never
        reaches the library: it is logged on the "korvel" logger and appended
        to callback_errors. value is the sample count for COUNT_REACHED and
        LOG_COMPLETE, else 0. A new registration replaces the previous one.
        """
        device_ref = weakref.ref(self)
        errors = self.callback_errors

        def trampoline(_handle, event, value, _user):
            try:
                device = device_ref()
                if device is not None:
                    function(device, Event(event), value)
            except BaseException as e:  # noqa: BLE001 - nothing may unwind into C
                try:
                    errors.append(e)
                    _log.error("exception in event callback %r", function, exc_info=e)
                except BaseException:
                    pass

        callback = _lib.EVENT_CALLBACK(trampoline)
        self._callbacks.append(callback)
        self._call("KV_SetEventCallback", int(mask), 0, callback, None)

    def remove_event_callback(self) -> None:
        """Removes the registration (the callback objects live on until close())."""
        self._call("KV_RemoveEventCallback", 0)

    # -- logging runs ---------------------------------------------------

    def start_logger(self, folder: str, period: int = 10, mode: int = 0) -> None:
        """Logs the configured scan below folder: a configuration file in
        folder/config and data files in folder/log/<address>/..., a new one
        every period minutes. mode: 0 raw .bin, 1 calibrated text .txt (both
        with configuration), see korvel.h for 2..4."""
        self._call("KV_StartLogger", str(folder).encode(), period, mode)

    def stop_logger(self) -> None:
        """Stops the logging run and closes its files."""
        self._call("KV_StopLogger")

    def log(self, folder: str, channels: int, sample_rate: int, scans: int, gain: int = 0,
            mode: int = 0, period: int = 10, timeout: float = 10.0) -> None:
        """Logs a finite scan of `scans` whole scans below folder and waits
        until the logger has written it all (TimeoutError after timeout)."""
        self.set_scan_params(ScanParams(channels, gain, 0, sample_rate, scans * channels))
        self.start_logger(folder, period, mode)
        try:
            self.wait_status(Status.LOG_ENDED, timeout)
        finally:
            self.stop_logger()


class Scan:
    """A high-speed scan of a device, read as numpy arrays of whole scans
    shaped (scans, channels): float32 volts, or int32 raw codes.

    Context manager: the scan is configured and started on entry and stopped
    (unread samples discarded) on exit. Iterating over it yields the arrays as
    they arrive and ends when the scan ends::

        with dev.scan(channels=4, sample_rate=10000) as scan:   # continuous
            for block in scan:
                process(block)          # block.shape == (n, 4)
                if done: break

    Rows stay aligned with channels as long as every read of the scan's
    buffer goes through the Scan (not Device.read_samples).
    """

    def __init__(self, device: Device, params: ScanParams, raw: bool = False):
        self.device = device
        self.params = params
        self.raw = raw
        # The library judges the channel count when the scan starts; shapes
        # only need a positive one until then.
        self.channels = max(params.channels, 1)
        self._dtype = np.int32 if raw else np.float32
        self._carry = np.empty(0, dtype=self._dtype)  # the start of a partly read scan
        self._running = False
        self._ended_early = False
        self._lock = threading.Lock()
        #: Whole scans delivered so far.
        self.scans_read = 0

    def start(self) -> "Scan":
        """Sets the scan parameters and starts the scan."""
        self.device.set_scan_params(self.params)
        self.device.start_scan()
        self._running = True
        return self

    def stop(self) -> None:
        """Stops the scan (unread samples are discarded). Idempotent.

        The library stops its side even when the device does not acknowledge
        the stop order; that failure raises KorvelError (the device may still
        be sampling), except after the scan already ended early with
        ScanEndedError: the connection is known to be gone then.
        """
        if self._running:
            self._running = False
            if self.device.closed:
                return
            try:
                self.device.stop_scan()
            except KorvelError:
                if not self._ended_early:
                    raise

    def __enter__(self) -> "Scan":
        return self.start()

    def __exit__(self, exc_type, exc, tb) -> None:
        try:
            self.stop()
        except KorvelError:
            if exc_type is None:
                raise
            # Never hide the exception that ended the block.
            _log.warning("stopping the scan after %s failed", exc_type.__name__, exc_info=True)

    @property
    def running(self) -> bool:
        return self._running

    @property
    def finite(self) -> bool:
        return self.params.sample_count > 0

    def status(self) -> BufferStatus:
        return self.device.buffer_status()

    def _take(self, waiting: int, max_scans: int | None) -> np.ndarray:
        ch = self.channels
        with self._lock:
            have = len(self._carry)
            scans = (have + waiting) // ch
            if max_scans is not None:
                scans = min(scans, max_scans)
            want = scans * ch - have
            fresh = self.device.read_samples(want, raw=self.raw) if want > 0 else \
                np.empty(0, self._dtype)
            data = np.concatenate((self._carry, fresh)) if have else fresh
            whole = len(data) // ch * ch
            self._carry = data[whole:].copy()
            block = data[:whole].reshape(-1, ch)
            self.scans_read += len(block)
            return block

    def read(self, max_scans: int | None = None, timeout: float = 0.0) -> np.ndarray:
        """The whole scans waiting (at most max_scans), shaped (n, channels).
        With a timeout, waits up to timeout seconds for at least one scan;
        the result may be empty (n == 0) when none came or the scan ended."""
        deadline = time.monotonic() + timeout
        while True:
            st = self.device.buffer_status()
            block = self._take(st.samples, max_scans)
            if len(block) or Status.ENDED in st.flags:
                return block
            left = deadline - time.monotonic()
            if left <= 0:
                return block
            time.sleep(min(POLL_INTERVAL, left))

    def __iter__(self) -> Iterator[np.ndarray]:
        return self.blocks()

    def blocks(self, max_scans: int | None = None, timeout: float = 5.0,
               allow_overrun: bool = False) -> Iterator[np.ndarray]:
        """Yields arrays of whole scans (each at most max_scans long) as they
        arrive, until the scan ends, or until stop() is called.

        Raises TimeoutError when no data came for timeout seconds while the
        scan runs; ScanOverrunError when samples were lost (unless
        allow_overrun); ScanEndedError when the scan ended without reaching
        its count (a data time-out or a failed receive).
        """
        if not self._running:
            raise RuntimeError("the scan is not running: start() it first")
        deadline = time.monotonic() + timeout
        while self._running:
            st = self.device.buffer_status()
            if Status.OVERRUN in st.flags and not allow_overrun:
                raise ScanOverrunError("scan buffer overrun (the reader fell behind)")
            block = self._take(st.samples, max_scans)
            if len(block):
                yield block
                deadline = time.monotonic() + timeout
                continue
            if Status.ENDED in st.flags:
                # Nothing was waiting when the thread had already ended: done.
                if Status.TIMEOUT in st.flags:
                    self._ended_early = True
                    raise ScanEndedError(ErrorCode.READ_TIMEOUT, "scan ended early")
                if Status.COUNT_REACHED not in st.flags:
                    self._ended_early = True
                    raise ScanEndedError(ErrorCode.RESPONSE, "scan ended early")
                return
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no scan data for {timeout} s")
            time.sleep(min(POLL_INTERVAL, left))

    def read_all(self, timeout: float = 10.0) -> np.ndarray:
        """Every scan of a finite scan until it ends, as one array
        (scans, channels). timeout bounds each wait for new data."""
        if not self.finite:
            raise ValueError("read_all needs a finite scan (scans > 0)")
        blocks = list(self.blocks(timeout=timeout))
        if not blocks:
            return np.empty((0, self.channels), dtype=self._dtype)
        return np.concatenate(blocks)
