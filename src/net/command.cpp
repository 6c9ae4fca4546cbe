// Command exchanges of MODEL: one ASCII line out, one CR-ended reply in.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "model/model.h"
#include "net/transport.h"
#include "net/wait.h"

namespace korvel {

namespace {

// Sends command + CR; 0x1700A when the line does not go out whole.
bool send_line(int socket, const char* command) {
  char line[MODEL::kMaxCommandChars + 2];
  const std::size_t n = std::strlen(command);
  std::memcpy(line, command, n);
  line[n] = '\r';
  if (send_all(socket, line, n + 1) != static_cast<long>(n + 1)) {
    set_last_error(KV_ERR_SEND);
    return false;
  }
  return true;
}

}  // namespace

int MODEL::SendRec(int socket, const char* command, char* reply, int timeout_ms) {
  if (command == nullptr || reply == nullptr) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return 0;
  }
  if (std::strlen(command) > kMaxCommandChars) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return 0;
  }
  std::lock_guard<std::mutex> lock(command_mutex_);
  // A reply that arrived after an earlier exchange gave up must not be taken
  // for this command's reply.
  discard_pending(socket);
  if (!send_line(socket, command)) return 0;
  char buf[kReplyCapacity];
  bool complete = false;
  std::size_t n = receive_reply(socket, buf, sizeof buf, timeout_ms, &complete);
  if (!complete) {
    set_last_error(KV_ERR_READ_TIMEOUT);
    return 0;
  }
  if (n > 0 && buf[n - 1] == '\r') buf[--n] = '\0';
  std::memcpy(reply, buf, n + 1);
  return 1;
}

int MODEL::SendRec2(int socket, const char* command, char* reply, int timeout_ms,
                    std::size_t reply_capacity) {
  if (command == nullptr || reply == nullptr || reply_capacity == 0) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return 0;
  }
  if (std::strlen(command) > kMaxCommandChars) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return 0;
  }
  std::lock_guard<std::mutex> lock(command_mutex_);
  discard_pending(socket);
  if (!send_line(socket, command)) return 0;
  bool complete = false;
  std::size_t n = receive_reply(socket, reply, reply_capacity, timeout_ms, &complete);
  if (!complete) {
    reply[0] = '\0';
    set_last_error(KV_ERR_READ_TIMEOUT);
    return 0;
  }
  // The reply ends with a three-character trailer and the CR.
  n = n >= 4 ? n - 4 : 0;
  reply[n] = '\0';
  return 1;
}

int MODEL::IsDataAvailable_2(int socket, int timeout_seconds) {
  const WaitResult w = wait_readable(socket, timeout_seconds * 1000);
  if (w == WaitResult::Error) {
    set_last_error(static_cast<unsigned int>(errno));
    return -1;
  }
  return w == WaitResult::Ready ? 1 : 0;
}

int parse_fields(const char* text, int length, unsigned int* values, int max_values) {
  int stored = 0;
  for (int pos = 0; pos < length && stored < max_values; pos += 8) {
    char field[9] = {};
    const int take = length - pos < 8 ? length - pos : 8;
    std::memcpy(field, text + pos, static_cast<std::size_t>(take));
    unsigned int v = 0;
    if (std::sscanf(field, "%08X", &v) != 1) {
      set_last_error(KV_ERR_INVALID_VALUE);
      return 0;
    }
    values[stored++] = v;
  }
  return 1;
}

}  // namespace korvel
