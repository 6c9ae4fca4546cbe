#include "core/errors.h"

namespace korvel {

namespace {

// Thread-local storage gives every thread its own code without a shared map
// or lock; a thread that never set a code reads 0.
thread_local unsigned int t_last_error = 0;

struct Message {
  unsigned int code;
  const char* text;
};

// Codes without a row here (0x1300A, 0x1300C, ...) deliberately fall back to
// the generic text: applications compare against these strings.
constexpr Message kMessages[] = {
    {0x00001, "Unknow Error!"},
    {0x13001, "Slot registered error"},
    {0x13002, "Slot not registered error"},
    {0x13003, "Unknown Module"},
    {0x13004, "Invalid MAC address"},
    {0x13005, "Invalid COM port number"},
    {0x13006, "The function isn't supported"},
    {0x13007, "The Module doesn't exist"},
    {0x13008, "Invalid Slot number"},
    {0x14001, "Accesses invalid EEPROM address"},
    {0x14002, "Accesses invalid SRAM address"},
    {0x14003, "Invalid memory type"},
    {0x14004, "Accesses invalid NVRAM address"},
    {0x14005, "EEPROM is write-protected"},
    {0x14006, "Write EEPROM Failed"},
    {0x14007, "Read EEPROM Failed"},
    {0x15001, "Invalid WatchDog timer value"},
    {0x15002, "WatchDog function doesn't exist"},
    {0x15003, "WatchDog base address isn't set"},
    {0x15004, "OS WatchDog is for OS startup process"},
    {0x17001, "Device check sum error"},
    {0x17002, "Device read timeout"},
    {0x17003, "Device response error"},
    {0x17004, "Device under input range"},
    {0x17005, "Device exceed input range"},
    {0x17006, "Open Device failed"},
    {0x17007, "Fail to get the Modem status"},
    {0x17008, "Invalid value"},
    {0x17009, "Internal buffer overflow"},
    {0x1700A, "Device send command error"},
    {0x18001, "IO card does not support this API function!"},
    {0x18002, "API unsupport this IO card!"},
    {0x18003, "Slot's value exceeds its range!"},
    {0x18004, "Channel's value exceeds its range!"},
    {0x18005, "Gain's value exceeds its range!"},
    {0x18006, "RM-4400 unsupport the interrupt mode!"},
    {0x18007, "The input value is out of range!"},
    {0x18008, "The input channel is out of range!"},
    {0x1800A, "DO output cannot be overwrite!"},
    {0x1800B, "AO output cannot be overwirte!"},
};

constexpr const char* kUnknown = "Unknow error code!";

struct Explained {
  unsigned int code;
  const char* name;
  const char* description;
};

constexpr Explained kExplained[] = {
    {0x00000, "KV_NO_ERROR", "no error"},
    {0x13001, "KV_ERR_SLOT_REGISTERED", "the slot is registered already"},
    {0x13002, "KV_ERR_SLOT_NOT_REGISTERED", "the slot is not registered"},
    {0x13003, "KV_ERR_UNKNOWN_MODULE",
     "unknown module: the device's identification names no model the library knows"},
    {0x13004, "KV_ERR_INVALID_MAC", "invalid MAC address"},
    {0x13005, "KV_ERR_INVALID_COM_PORT", "invalid COM port number"},
    {0x13006, "KV_ERR_NOT_SUPPORTED",
     "not supported: the operation does not exist in this library or for this device"},
    {0x13007, "KV_ERR_MODULE_NOT_EXIST",
     "the module does not exist: the device's driver is missing or its calibration could not "
     "be read"},
    {0x13008, "KV_ERR_INVALID_SLOT", "invalid slot number"},
    {0x1300A, "KV_ERR_INVALID_HANDLE",
     "invalid handle: the device was never created, or was released"},
    {0x1300C, "KV_ERR_INVALID_ARGUMENT",
     "invalid argument: a required pointer is null or a value is out of range"},
    {0x1300E, "KV_ERR_OUT_OF_MEMORY",
     "out of resources: memory or a thread for the acquisition could not be had"},
    {0x14001, "KV_ERR_EEPROM_ADDRESS", "invalid EEPROM address"},
    {0x14002, "KV_ERR_SRAM_ADDRESS", "invalid SRAM address"},
    {0x14003, "KV_ERR_MEMORY_TYPE", "invalid memory type"},
    {0x14004, "KV_ERR_NVRAM_ADDRESS", "invalid NVRAM address"},
    {0x14005, "KV_ERR_EEPROM_PROTECTED", "the EEPROM is write-protected"},
    {0x14006, "KV_ERR_EEPROM_WRITE", "writing the EEPROM failed"},
    {0x14007, "KV_ERR_EEPROM_READ", "reading the EEPROM failed"},
    {0x14102, "KV_ERR_FILE_OPEN",
     "file error: a file could not be opened, written or closed (missing folder, no "
     "permission, full disk, or not a log file)"},
    {0x15001, "KV_ERR_WDT_VALUE", "invalid watchdog timer value"},
    {0x15002, "KV_ERR_WDT_MISSING", "the watchdog does not exist"},
    {0x15003, "KV_ERR_WDT_BASE", "the watchdog base address is not set"},
    {0x15004, "KV_ERR_WDT_OS", "the OS watchdog is for the OS start-up"},
    {0x17001, "KV_ERR_CHECKSUM", "the device's reply failed its checksum"},
    {0x17002, "KV_ERR_READ_TIMEOUT",
     "time-out: the device did not answer in time (or the connection was lost)"},
    {0x17003, "KV_ERR_RESPONSE",
     "bad response: the device refused the command or answered something else"},
    {0x17004, "KV_ERR_UNDER_RANGE", "the input is below its range"},
    {0x17005, "KV_ERR_OVER_RANGE", "the input exceeds its range"},
    {0x17006, "KV_ERR_OPEN_DEVICE",
     "cannot open the device: no answer on its ports, or its slot table is impossible"},
    {0x17007, "KV_ERR_MODEM_STATUS", "the modem status could not be read"},
    {0x17008, "KV_ERR_INVALID_VALUE",
     "invalid value: a reply or an argument holds a value that is not what it should be"},
    {0x17009, "KV_ERR_BUFFER_OVERFLOW", "an internal buffer overflowed"},
    {0x1700A, "KV_ERR_SEND", "the command could not be sent (the connection is closed)"},
    {0x18001, "KV_ERR_CARD_NO_API", "the I/O card does not support this function"},
    {0x18002, "KV_ERR_API_NO_CARD", "this function does not support the I/O card"},
    {0x18003, "KV_ERR_SLOT_RANGE", "the slot number is out of range"},
    {0x18004, "KV_ERR_CHANNEL_RANGE", "the channel number is out of range"},
    {0x18005, "KV_ERR_GAIN_RANGE", "the gain (range) code is out of range"},
    {0x18006, "KV_ERR_INTERRUPT_MODE", "the trigger mode is not one the device has"},
    {0x18007, "KV_ERR_VALUE_RANGE",
     "a value is out of range (sample rate, sample count, transfer mode, level...)"},
    {0x18008, "KV_ERR_INPUT_CHANNEL", "the input channel or channel count is out of range"},
    {0x1800A, "KV_ERR_DO_OVERWRITE", "the digital outputs cannot be written"},
    {0x1800B, "KV_ERR_AO_OVERWRITE", "the analog output cannot be written"},
    {0x1800C, "KV_ERR_SCAN_MODE",
     "the scan mode does not allow this (e.g. a triggered scan needs a sample count)"},
    {0x1800D, "KV_ERR_DELAY_RANGE", "the trigger delay is out of range"},
    {0x1800E, "KV_ERR_TRIGGER_CHANNEL", "the trigger channel or trigger mode is out of range"},
    {0x1800F, "KV_ERR_TRIGGER_PARAM", "a trigger level is outside the input range"},
    {0x18010, "KV_ERR_TRIGGER_SETUP",
     "the trigger setup is inconsistent: pre- and post-trigger counts must add up to the scan's "
     "sample count"},
    {0x18011, "KV_ERR_BUSY_SAMPLING",
     "busy: a scan, logging run or download is acquiring; stop it first"},
    {0x19002, "KV_ERR_CONFIG_ITEM", "the configuration item or index does not exist"},
    {0xFFFFF, "KV_ERR_UNSUPPORTED", "unsupported: the device's driver has no such operation"},
};

const Explained* explained(unsigned int code) {
  for (const Explained& e : kExplained)
    if (e.code == code) return &e;
  return nullptr;
}

}  // namespace

const char* error_name(unsigned int code) {
  const Explained* e = explained(code);
  return e ? e->name : "KV_ERR_UNKNOWN";
}

const char* error_description(unsigned int code) {
  const Explained* e = explained(code);
  return e ? e->description : "unknown error code: not one the library raises";
}

int get_last_error() { return static_cast<int>(t_last_error); }

void set_last_error(unsigned int code) { t_last_error = code; }

void clear_last_error() { t_last_error = 0; }

const char* error_message(unsigned int code) {
  for (const Message& m : kMessages)
    if (m.code == code) return m.text;
  return kUnknown;
}

}  // namespace korvel
