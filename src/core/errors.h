// Per-thread last-error store and the message table.
#pragma once

#include <cstdint>

namespace korvel {

// Error codes the library sets. The numbers are part of the public contract
// (they are mirrored by the KV_ERR_* constants of korvel.h).
enum ErrorCode : unsigned int {
  KV_NO_ERROR = 0x00000,
  KV_ERR_SLOT_REGISTERED = 0x13001,
  KV_ERR_SLOT_NOT_REGISTERED = 0x13002,
  KV_ERR_UNKNOWN_MODULE = 0x13003,
  KV_ERR_INVALID_MAC = 0x13004,
  KV_ERR_INVALID_COM_PORT = 0x13005,
  KV_ERR_NOT_SUPPORTED = 0x13006,
  KV_ERR_MODULE_NOT_EXIST = 0x13007,
  KV_ERR_INVALID_SLOT = 0x13008,
  KV_ERR_INVALID_HANDLE = 0x1300A,
  KV_ERR_INVALID_ARGUMENT = 0x1300C,
  KV_ERR_OUT_OF_MEMORY = 0x1300E,
  KV_ERR_EEPROM_ADDRESS = 0x14001,
  KV_ERR_SRAM_ADDRESS = 0x14002,
  KV_ERR_MEMORY_TYPE = 0x14003,
  KV_ERR_NVRAM_ADDRESS = 0x14004,
  KV_ERR_EEPROM_PROTECTED = 0x14005,
  KV_ERR_EEPROM_WRITE = 0x14006,
  KV_ERR_EEPROM_READ = 0x14007,
  KV_ERR_FILE_OPEN = 0x14102,
  KV_ERR_WDT_VALUE = 0x15001,
  KV_ERR_WDT_MISSING = 0x15002,
  KV_ERR_WDT_BASE = 0x15003,
  KV_ERR_WDT_OS = 0x15004,
  KV_ERR_CHECKSUM = 0x17001,
  KV_ERR_READ_TIMEOUT = 0x17002,
  KV_ERR_RESPONSE = 0x17003,
  KV_ERR_UNDER_RANGE = 0x17004,
  KV_ERR_OVER_RANGE = 0x17005,
  KV_ERR_OPEN_DEVICE = 0x17006,
  KV_ERR_MODEM_STATUS = 0x17007,
  KV_ERR_INVALID_VALUE = 0x17008,
  KV_ERR_BUFFER_OVERFLOW = 0x17009,
  KV_ERR_SEND = 0x1700A,
  KV_ERR_CARD_NO_API = 0x18001,
  KV_ERR_API_NO_CARD = 0x18002,
  KV_ERR_SLOT_RANGE = 0x18003,
  KV_ERR_CHANNEL_RANGE = 0x18004,
  KV_ERR_GAIN_RANGE = 0x18005,
  KV_ERR_INTERRUPT_MODE = 0x18006,
  KV_ERR_VALUE_RANGE = 0x18007,
  KV_ERR_INPUT_CHANNEL = 0x18008,
  KV_ERR_DO_OVERWRITE = 0x1800A,
  KV_ERR_AO_OVERWRITE = 0x1800B,
  KV_ERR_SCAN_MODE = 0x1800C,
  KV_ERR_DELAY_RANGE = 0x1800D,
  KV_ERR_TRIGGER_CHANNEL = 0x1800E,
  KV_ERR_TRIGGER_PARAM = 0x1800F,
  KV_ERR_TRIGGER_SETUP = 0x18010,
  KV_ERR_BUSY_SAMPLING = 0x18011,
  KV_ERR_CONFIG_ITEM = 0x19002,
  KV_ERR_UNSUPPORTED = 0xFFFFF,
};

// The calling thread's last error; 0 when it never set one.
int get_last_error();
void set_last_error(unsigned int code);
// Forgets the calling thread's code; the next read yields 0.
void clear_last_error();
// Message text of a code; never null. The longest text is 43 characters.
const char* error_message(unsigned int code);
// The code's constant name ("KV_ERR_INVALID_ARGUMENT") and a plain sentence
// saying what went wrong; never null ("KV_ERR_UNKNOWN" and a sentence naming
// an unknown code for codes the library does not raise).
const char* error_name(unsigned int code);
const char* error_description(unsigned int code);

// Sets code as the calling thread's last error; 0, the failure result of
// most operations.
inline int fail(unsigned int code) {
  set_last_error(code);
  return 0;
}

// Longest message plus its NUL.
inline constexpr unsigned kErrorMessageCapacity = 44;

}  // namespace korvel
