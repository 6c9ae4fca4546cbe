"""Python bindings of libkorvel, the client library of Korvel data-acquisition
devices: devices, scans read as numpy arrays, event callbacks and log files.

The library is found through KORVEL_LIBRARY, next to the package, or on the
system (see korvel._lib.candidates); it is loaded on first use.
"""

from ._lib import load as load_library
from .device import (BufferStatus, Device, Event, Scan, ScanParams, Status, sdk_version)
from .errors import ErrorCode, KorvelError, ScanEndedError, ScanOverrunError
from .logfile import LogConfig, LogFile

__all__ = [
    "BufferStatus", "Device", "ErrorCode", "Event", "KorvelError", "LogConfig", "LogFile",
    "Scan", "ScanEndedError", "ScanOverrunError", "ScanParams", "Status", "load_library",
    "sdk_version",
]
__version__ = "0.1.0"
