// The command protocol as drivers use it: a bounded, printf-style command
// line exchanged on the device's command connection, and its reply read by
// character position. Shared by every driver family.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "model/model.h"
#include "net/transport.h"

namespace korvel {

// Writes value through out when the caller gave one.
template <class T>
void put(T* out, T value) {
  if (out) *out = value;
}

// One reply line of the command protocol, read by character position.
struct Reply {
  // The longest reply this exchange takes (at most sizeof text): a reply that
  // fills it is refused as cut. Commands whose reply holds every input of a
  // controller raise it.
  std::size_t limit = kReplyCapacity;
  char text[kLongReplyCapacity] = {};
  std::size_t size() const;
  // The text from pos on; empty when the reply is shorter.
  const char* from(std::size_t pos) const;
  // Character at pos, or NUL beyond the end.
  char at(std::size_t pos) const;
  // ndigits hexadecimal digits at pos; false when any is missing or not hex.
  bool hex(std::size_t pos, int ndigits, unsigned int* out) const;
  // ndigits decimal digits at pos; false when any is missing or not a digit.
  bool dec(std::size_t pos, int ndigits, unsigned int* out) const;
  // The decimal digit at pos; -1 when it is not one.
  int digit(std::size_t pos) const;
  // A decimal number ("%lu") from pos on.
  bool number(std::size_t pos, unsigned long* out) const;
};

// Formats a command (bounded: a line that would not fit is refused with
// 0x17008, never cut into another command) and exchanges it on the
// device's command connection. True when a reply arrived.
bool send_command(MODEL& device, Reply& reply, int timeout_ms, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
bool vsend_command(MODEL& device, Reply& reply, int timeout_ms, const char* format, va_list args);

}  // namespace korvel
