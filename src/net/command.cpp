// Command exchanges of MODEL: one ASCII line out, one CR-ended reply in.
//
// The protocol carries no sequence numbers, so a reply is matched to its
// command only by order. An exchange that ends without its whole reply (time-
// out, stop, a failed send, a closed connection) leaves the order unknown: the
// reply may still be under way; so may answers to the later lines of a command
// text that holds CRs of its own. The connection is therefore replaced at once
// by a new one to the same peer, put in place under the same descriptor
// number, and whatever the old one still carries is never read. When the new
// connection cannot be made the old one is shut down, so nothing more is read
// from it either, and the next exchange tries again before it sends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "core/errors.h"
#include "model/model.h"
#include "net/transport.h"
#include "net/wait.h"

namespace korvel {

namespace {

// Longest wait for the connection that replaces one whose order was lost.
constexpr int kReconnectMs = 1000;

// The peer of a command connection: from the socket, or (once the socket no
// longer knows it) the device's address and command port.
bool command_peer(const MODEL& m, int socket, sockaddr_storage* peer, socklen_t* len) {
  *len = sizeof *peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(peer), len) == 0) return true;
  if (socket != m.cmd_socket) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(m.cmd_port & 0xFFFF));
  if (inet_pton(AF_INET, m.ip_address, &addr.sin_addr) != 1) return false;
  std::memcpy(peer, &addr, sizeof addr);
  *len = sizeof addr;
  return true;
}

// A new non-blocking connection to peer within kReconnectMs, or -1.
int connect_bounded(const sockaddr_storage& peer, socklen_t len) {
  const int s = socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  int one = 1;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(s, reinterpret_cast<const sockaddr*>(&peer), len) == 0) return s;
  int err = errno;
  if (err == EINPROGRESS &&
      wait_writable(s, kReconnectMs, exchange_abort_fd()) == WaitResult::Ready) {
    socklen_t n = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &n) != 0) err = errno;
    if (err == 0) return s;
  }
  close(s);
  return -1;
}

// Replaces the connection behind socket (the descriptor number stays), or
// shuts it down when no new one can be had. True when replaced.
bool replace_connection(const MODEL& m, int socket) {
  sockaddr_storage peer{};
  socklen_t len = 0;
  const int fresh = command_peer(m, socket, &peer, &len) ? connect_bounded(peer, len) : -1;
  if (fresh >= 0) {
    const bool moved = dup3(fresh, socket, O_CLOEXEC) == socket;
    close(fresh);
    if (moved) return true;
  }
  shutdown(socket, SHUT_RDWR);
  return false;
}

// A command text with CRs of its own is several lines to the device, and
// whether it answers the later ones is not known: the connection is replaced
// so that such an answer cannot reach a later command.
void settle_after_lines(const MODEL& m, int socket, const char* command) {
  if (std::strchr(command, '\r') != nullptr) replace_connection(m, socket);
}

// True when the connection can carry no more replies: closed by the device,
// failed, or shut down after a replacement failed.
bool connection_ended(int socket) {
  char c;
  const ssize_t n = recv(socket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

// Readies the connection for a command: stray bytes are dropped, and a
// connection that has ended is replaced. False (0x1700A) when none is usable.
bool ready_connection(const MODEL& m, int socket) {
  if (socket < 0) {
    set_last_error(KV_ERR_SEND);
    return false;
  }
  discard_pending(socket);
  if (!connection_ended(socket) || replace_connection(m, socket)) return true;
  set_last_error(KV_ERR_SEND);
  return false;
}

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

// One exchange under the device's command lock: the line out, the reply
// (up to its CR) into buf. A reply that never came whole leaves the
// connection replaced. False with the code set.
bool MODEL::exchange(int socket, const char* command, char* buf, std::size_t capacity,
                     int timeout_ms, std::size_t* n, bool multi_line) {
  if (command == nullptr || buf == nullptr || capacity == 0 ||
      std::strlen(command) > kMaxCommandChars) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return false;
  }
  std::lock_guard<std::mutex> lock(command_mutex_);
  if (!ready_connection(*this, socket)) return false;
  if (!send_line(socket, command)) {
    replace_connection(*this, socket);  // part of the line may have gone out
    return false;
  }
  bool complete = false;
  *n = receive_reply(socket, buf, capacity, timeout_ms, &complete, multi_line);
  if (!complete) {
    replace_connection(*this, socket);
    set_last_error(KV_ERR_READ_TIMEOUT);
    return false;
  }
  settle_after_lines(*this, socket, command);
  return true;
}

int MODEL::SendRec(int socket, const char* command, char* reply, int timeout_ms,
                   std::size_t reply_capacity) {
  if (reply == nullptr || reply_capacity == 0) {
    set_last_error(KV_ERR_INVALID_VALUE);
    return 0;
  }
  char buf[kLongReplyCapacity];
  std::size_t n = 0;
  if (!exchange(socket, command, buf, std::min(reply_capacity, sizeof buf), timeout_ms, &n))
    return 0;
  if (n > 0 && buf[n - 1] == '\r') buf[--n] = '\0';
  std::memcpy(reply, buf, n + 1);
  return 1;
}

int MODEL::SendRec2(int socket, const char* command, char* reply, int timeout_ms,
                    std::size_t reply_capacity) {
  std::size_t n = 0;
  if (!exchange(socket, command, reply, reply_capacity, timeout_ms, &n, true)) {
    if (reply != nullptr && reply_capacity > 0) reply[0] = '\0';
    return 0;
  }
  // The reply ends with a three-character trailer and the CR. A reply too
  // short to have one (a refusal, "?") loses only its CR.
  if (n >= 4)
    n -= 4;
  else if (n > 0 && reply[n - 1] == '\r')
    --n;
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
