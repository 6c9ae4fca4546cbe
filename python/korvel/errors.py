"""Exceptions raised by the bindings, and the library's error codes."""

from __future__ import annotations

import ctypes
import enum

from . import _lib


class ErrorCode(enum.IntEnum):
    """The library's error codes (the KV_ERR_* constants of korvel.h)."""

    NO_ERROR = 0x00000
    SLOT_REGISTERED = 0x13001
    SLOT_NOT_REGISTERED = 0x13002
    UNKNOWN_MODULE = 0x13003
    INVALID_MAC = 0x13004
    INVALID_COM_PORT = 0x13005
    NOT_SUPPORTED = 0x13006
    MODULE_NOT_EXIST = 0x13007
    INVALID_SLOT = 0x13008
    INVALID_HANDLE = 0x1300A
    INVALID_ARGUMENT = 0x1300C
    OUT_OF_MEMORY = 0x1300E
    EEPROM_ADDRESS = 0x14001
    SRAM_ADDRESS = 0x14002
    MEMORY_TYPE = 0x14003
    NVRAM_ADDRESS = 0x14004
    EEPROM_PROTECTED = 0x14005
    EEPROM_WRITE = 0x14006
    EEPROM_READ = 0x14007
    FILE_OPEN = 0x14102
    WDT_VALUE = 0x15001
    WDT_MISSING = 0x15002
    WDT_BASE = 0x15003
    WDT_OS = 0x15004
    CHECKSUM = 0x17001
    READ_TIMEOUT = 0x17002
    RESPONSE = 0x17003
    UNDER_RANGE = 0x17004
    OVER_RANGE = 0x17005
    OPEN_DEVICE = 0x17006
    MODEM_STATUS = 0x17007
    INVALID_VALUE = 0x17008
    BUFFER_OVERFLOW = 0x17009
    SEND = 0x1700A
    CARD_NO_API = 0x18001
    API_NO_CARD = 0x18002
    SLOT_RANGE = 0x18003
    CHANNEL_RANGE = 0x18004
    GAIN_RANGE = 0x18005
    INTERRUPT_MODE = 0x18006
    VALUE_RANGE = 0x18007
    INPUT_CHANNEL = 0x18008
    DO_OVERWRITE = 0x1800A
    AO_OVERWRITE = 0x1800B
    SCAN_MODE = 0x1800C
    DELAY_RANGE = 0x1800D
    TRIGGER_CHANNEL = 0x1800E
    TRIGGER_PARAM = 0x1800F
    TRIGGER_SETUP = 0x18010
    BUSY_SAMPLING = 0x18011
    CONFIG_ITEM = 0x19002
    UNSUPPORTED = 0xFFFFF


class KorvelError(Exception):
    """A library call failed.

    Attributes:
        code: the library's error code (an int; compare with ErrorCode members).
        name: the code's constant name, e.g. "KV_ERR_INVALID_HANDLE".
        description: a sentence saying what the code means.
        message: the library's short legacy message (KV_GetErrorMessage).
        function: the C function that failed, when known.
    """

    def __init__(self, code: int, function: str | None = None):
        code = int(code) & 0xFFFFFFFF
        lib = _lib.load()
        self.code = code
        self.name = lib.KV_ErrorName(code).decode("utf-8", "replace")
        self.description = lib.KV_ErrorDescription(code).decode("utf-8", "replace")
        buf = ctypes.create_string_buffer(64)
        lib.KV_GetErrorMessage(code, buf)
        self.message = buf.value.decode("utf-8", "replace")
        self.function = function
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{self.name} (0x{code:05X}): {self.description}")


class ScanOverrunError(KorvelError):
    """Samples of a scan were lost because the library's buffer was full
    (the reader did not keep up); the data read before is still valid.
    Device.clear_buffer() empties the buffer and clears the status."""

    def __init__(self, function: str | None = None):
        super().__init__(ErrorCode.BUFFER_OVERFLOW, function)


class ScanEndedError(KorvelError):
    """A scan ended before reaching its sample count (a data time-out or a
    failed receive), or a continuous scan ended without being stopped."""


def last_error(function: str | None = None, default: int = ErrorCode.RESPONSE) -> KorvelError:
    """The calling thread's last library error as an exception (default when
    the library set none)."""
    code = _lib.load().KV_GetLastError() & 0xFFFFFFFF
    return KorvelError(code or default, function)
