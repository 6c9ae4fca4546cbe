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

}  // namespace

int get_last_error() { return static_cast<int>(t_last_error); }

void set_last_error(unsigned int code) { t_last_error = code; }

void clear_last_error() { t_last_error = 0; }

const char* error_message(unsigned int code) {
  for (const Message& m : kMessages)
    if (m.code == code) return m.text;
  return kUnknown;
}

}  // namespace korvel
