// The reply-field parser (Reply's positional readers, parse_fields) and the
// identification replies of port 10000 (model id, firmware version and date).
//
// Input: a selector byte, then the reply text.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "model/model.h"
#include "net/reply.h"
#include "net/transport.h"

using namespace korvel;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// The identification exchange on a socketpair: the reply is waiting and the
// peer has finished sending, so nothing waits out a time-out.
void identification(const uint8_t* text, std::size_t n, bool name) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
  (void)!write(sv[1], text, n);
  shutdown(sv[1], SHUT_WR);
  if (name) {
    char id[20];
    std::memset(id, 'Z', sizeof id);
    if (GetModuleNameTCP(sv[0], id, sizeof id)) check(std::memchr(id, '\0', sizeof id) != nullptr);
  } else {
    unsigned short version = 0;
    char date[26];
    std::memset(date, 'Z', sizeof date);
    if (GetFirmVersionDateTCP(sv[0], &version, date))
      check(std::memchr(date, '\0', sizeof date) != nullptr);
  }
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t sel = data[0];
  const uint8_t* text = data + 1;
  const std::size_t n = size - 1;

  if (sel % 4 == 1) {
    identification(text, n, true);
    return 0;
  }
  if (sel % 4 == 2) {
    identification(text, n, false);
    return 0;
  }

  Reply r;
  const std::size_t take = std::min(n, sizeof r.text - 1);
  std::memcpy(r.text, text, take);
  const std::size_t len = r.size();
  check(len <= take);
  // Every position, in and beyond the text, reads safely.
  for (std::size_t pos = 0; pos <= len + 2; ++pos) {
    check(r.from(pos) >= r.text && r.from(pos) <= r.text + len);
    check(pos < len || r.at(pos) == '\0');
    unsigned int v = 0;
    for (int digits : {1, 2, 4, 8})
      if (r.hex(pos, digits, &v) && digits < 8) check(v < (1u << (4 * digits)));
    if (r.dec(pos, 4, &v)) check(v <= 9999);
    const int d = r.digit(pos);
    check(d >= -1 && d <= 9);
    unsigned long ul = 0;
    (void)r.number(pos, &ul);
    if (sel & 0x80) break;  // cheaper inputs: the start only
  }
  // Eight-digit fields, from every start and with fewer slots than fields.
  unsigned int values[40];
  const int max_values = (sel >> 2) % 41;
  for (std::size_t start = 0; start < len && start < 9; ++start)
    (void)parse_fields(r.text + start, static_cast<int>(len - start), values, max_values);
  return 0;
}
