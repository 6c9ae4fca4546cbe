"""Loading libkorvel.so and declaring the C signatures used by the bindings."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import (CFUNCTYPE, POINTER, c_bool, c_char_p, c_float, c_int, c_short, c_uint,
                    c_ushort, c_void_p)
from pathlib import Path

LIBRARY_NAME = "libkorvel.so"

# KV_EventCallback(handle, event, value, user_data)
EVENT_CALLBACK = CFUNCTYPE(None, c_void_p, c_ushort, c_uint, c_void_p)

_c_int_p = POINTER(c_int)
_c_uint_p = POINTER(c_uint)
_c_ushort_p = POINTER(c_ushort)
_c_short_p = POINTER(c_short)
_c_float_p = POINTER(c_float)

# name: (restype, argtypes). Only what the bindings use is declared.
_SIGNATURES = {
    "KV_GetLastError": (c_int, []),
    "KV_ClearLastError": (None, []),
    "KV_GetErrorMessage": (None, [c_uint, c_char_p]),
    "KV_ErrorName": (c_char_p, [c_uint]),
    "KV_ErrorDescription": (c_char_p, [c_uint]),
    "KV_GetSDKVersion": (None, [c_char_p]),
    "KV_Device_Create": (c_void_p, [c_char_p]),
    "KV_Device_Release": (c_int, [c_void_p]),
    "KV_GetModelName": (c_int, [c_void_p, c_char_p]),
    "KV_GetFirmwareVersion": (c_int, [c_void_p, c_char_p]),
    "KV_GetHWFirmwareVersion": (c_int, [c_void_p, c_char_p]),
    "KV_ReadAI": (c_int, [c_void_p, c_int, c_int, _c_float_p]),
    "KV_ReadAIALL": (c_int, [c_void_p, c_int, c_void_p, c_int]),
    "KV_ReadAIHEX": (c_int, [c_void_p, c_int, c_int, _c_int_p]),
    "KV_ReadAIALLHEX": (c_int, [c_void_p, c_int, c_void_p, c_int]),
    "KV_WriteAO": (c_int, [c_void_p, c_int, c_int, c_float]),
    "KV_Calibrate_Data_HEX": (c_int, [c_void_p, c_int, c_int, c_int, _c_int_p]),
    "KV_Calibrate_Data_Float": (c_int, [c_void_p, c_int, c_int, c_int, _c_float_p]),
    "KV_ReadDIO": (c_int, [c_void_p, _c_uint_p, _c_uint_p]),
    "KV_WriteDO": (c_int, [c_void_p, c_uint]),
    "KV_WriteDOBit": (c_int, [c_void_p, c_int, c_bool]),
    "KV_SetAIScanParam": (c_int, [c_void_p, c_short, c_short, c_short, c_int, c_uint, c_short,
                                  c_short]),
    "KV_GetAIScanParam": (c_int, [c_void_p, _c_short_p, _c_short_p, _c_short_p, _c_int_p,
                                  _c_uint_p, _c_short_p, _c_short_p]),
    "KV_StartAIScan": (c_int, [c_void_p]),
    "KV_StopAIScan": (c_int, [c_void_p]),
    "KV_GetAIBufferStatus": (c_int, [c_void_p, _c_ushort_p, _c_uint_p]),
    "KV_GetAIBuffer": (c_int, [c_void_p, c_void_p, c_uint]),
    "KV_GetAIBufferHex": (c_int, [c_void_p, c_void_p, c_uint]),
    "KV_ClearAIBuffer": (c_int, [c_void_p]),
    "KV_GetTotalSamplingStatus": (c_int, [c_void_p, _c_uint_p, _c_uint_p]),
    "KV_SetEventCallback": (c_int, [c_void_p, c_ushort, c_ushort, EVENT_CALLBACK, c_void_p]),
    "KV_RemoveEventCallback": (c_int, [c_void_p, c_ushort]),
    "KV_StartLogger": (c_int, [c_void_p, c_char_p, c_int, c_int]),
    "KV_StopLogger": (c_int, [c_void_p]),
    "KV_LogFile_Open": (c_void_p, [c_char_p]),
    "KV_LogFile_Close": (c_int, [c_void_p]),
    "KV_GetLogFileInfo": (c_int, [c_void_p, c_char_p, _c_uint_p, _c_uint_p, _c_uint_p]),
    "KV_GetLogFile_AIScanConfigInfo": (c_int, [c_void_p, _c_ushort_p, _c_ushort_p, _c_ushort_p,
                                               _c_uint_p, _c_ushort_p, _c_ushort_p]),
    "KV_GetLogFile_GainOffset": (c_int, [c_void_p, c_int, c_uint, _c_ushort_p, _c_ushort_p]),
    "KV_GetLogFile_AIScanSampleInfo": (c_int, [c_void_p, _c_uint_p, c_char_p, c_char_p]),
    "KV_GetLogFile_AIData": (c_int, [c_void_p, c_uint, c_uint, c_void_p]),
    "KV_GetLogFile_AIDataHex": (c_int, [c_void_p, c_uint, c_uint, c_void_p]),
}


def candidates() -> list[str]:
    """Where the library is looked for, in order.

    1. KORVEL_LIBRARY (a path to the .so), when set;
    2. next to the package: libkorvel.so in the package folder or the folder above it;
    3. the system: ctypes.util.find_library("korvel"), then plain "libkorvel.so"
       (the dynamic loader's search path, LD_LIBRARY_PATH included).
    """
    found = []
    env = os.environ.get("KORVEL_LIBRARY")
    if env:
        found.append(env)
    here = Path(__file__).resolve().parent
    for folder in (here, here.parent):
        p = folder / LIBRARY_NAME
        if p.exists():
            found.append(str(p))
    system = ctypes.util.find_library("korvel")
    if system:
        found.append(system)
    found.append(LIBRARY_NAME)
    return found


_lock = threading.Lock()
_lib: ctypes.CDLL | None = None


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def load(path: str | None = None) -> ctypes.CDLL:
    """The loaded library (loaded on first use).

    An explicit path wins over the search; KORVEL_LIBRARY, when set, must name a
    loadable library: a wrong value is an error rather than a silent fallback
    to another copy.
    """
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        tried = [path] if path else candidates()
        if not path and os.environ.get("KORVEL_LIBRARY"):
            tried = tried[:1]
        errors = []
        for candidate in tried:
            try:
                # CDLL (not PyDLL) releases the GIL during every call, so the
                # library's worker thread can run Python callbacks meanwhile.
                lib = ctypes.CDLL(candidate)
            except OSError as e:
                errors.append(f"{candidate}: {e}")
                continue
            try:
                _declare(lib)
            except AttributeError as e:
                errors.append(f"{candidate}: {e}")
                continue
            _lib = lib
            return lib
        raise OSError("libkorvel.so not found; set KORVEL_LIBRARY to its path. Tried:\n  "
                      + "\n  ".join(errors))


class Closing:
    """What objects with a close() share: a context manager that closes on
    exit, and closing when collected (errors then are swallowed: there is no
    caller left to hear them)."""

    def close(self) -> None:  # pragma: no cover - every subclass defines it
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass
