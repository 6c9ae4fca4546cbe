#include "net/reply.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/errors.h"

namespace korvel {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::size_t Reply::size() const { return std::strlen(text); }

const char* Reply::from(std::size_t pos) const {
  const std::size_t n = size();
  return pos <= n ? text + pos : text + n;
}

char Reply::at(std::size_t pos) const { return pos < size() ? text[pos] : '\0'; }

bool Reply::hex(std::size_t pos, int ndigits, unsigned int* out) const {
  unsigned int v = 0;
  for (int i = 0; i < ndigits; ++i) {
    const int d = hex_value(at(pos + static_cast<std::size_t>(i)));
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned int>(d);
  }
  *out = v;
  return true;
}

bool Reply::dec(std::size_t pos, int ndigits, unsigned int* out) const {
  unsigned int v = 0;
  for (int i = 0; i < ndigits; ++i) {
    const char c = at(pos + static_cast<std::size_t>(i));
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned int>(c - '0');
  }
  *out = v;
  return true;
}

int Reply::digit(std::size_t pos) const {
  const char c = at(pos);
  return c >= '0' && c <= '9' ? c - '0' : -1;
}

bool Reply::number(std::size_t pos, unsigned long* out) const {
  return std::sscanf(from(pos), "%lu", out) == 1;
}

bool vsend_command(MODEL& device, Reply& reply, int timeout_ms, const char* format,
                   va_list args) {
  char line[kReplyCapacity];
  const int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof line) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return false;
  }
  const std::size_t limit = std::min(reply.limit, sizeof reply.text);
  if (device.SendRec(device.cmd_socket, line, reply.text, timeout_ms, limit) != 1) return false;
  // A reply that fills the buffer may have been cut: no device sends one
  // that long, and its cut text must never be read as values or as an
  // acknowledgement.
  if (reply.size() + 1 >= limit) {
    set_last_error(KV_ERR_RESPONSE);
    return false;
  }
  return true;
}

bool send_command(MODEL& device, Reply& reply, int timeout_ms, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = vsend_command(device, reply, timeout_ms, format, args);
  va_end(args);
  return ok;
}

}  // namespace korvel
