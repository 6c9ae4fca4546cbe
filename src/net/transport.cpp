#include "net/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/clock.h"
#include "net/wait.h"

namespace korvel {

namespace {

constexpr int kConnectWaits = 5;
constexpr int kConnectWaitMs = 10000;
constexpr std::size_t kDateChars = 25;

int open_tcp(const char* ip, int port, bool data_port) {
  if (ip == nullptr) return -1;
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    if (!data_port) std::printf("useSocket==SOCKET_ERROR err code %d\n", errno);
    return -1;
  }
  if (data_port) {
    int size = kDataSocketRcvBuf;
    (void)setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  // Commands and acknowledgements are small writes that the device waits
  // for; Nagle's algorithm would hold them back behind delayed TCP ACKs.
  int one = 1;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr(ip);
  addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  const int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);

  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (connect(s, sa, sizeof addr) == 0) return s;
  if (errno != EINPROGRESS) {
    std::printf("connect to host %s:%d failed.\n", ip, port);
    close(s);
    return -1;
  }
  for (int i = 0; i < kConnectWaits; ++i) {
    pollfd p{s, POLLIN | POLLOUT, 0};
    int r;
    do {
      r = poll(&p, 1, kConnectWaitMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      std::printf("select error\n");
      close(s);
      return -1;
    }
    if (r == 0) {
      std::printf("select time out\n");
      continue;
    }
    if (p.revents == 0) continue;
    // A second connect on a socket whose connection completed reports EISCONN.
    if (connect(s, sa, sizeof addr) == 0 || errno == EISCONN) return s;
  }
  close(s);
  return -1;
}

// One identification exchange: send cmd, collect the CR-ended reply.
std::size_t identification_exchange(int socket, const char* cmd, char* buf, std::size_t cap) {
  if (send_all(socket, cmd, 3) != 3) return 0;
  bool complete = false;
  return receive_reply(socket, buf, cap, kIdentificationTimeoutMs, &complete);
}

}  // namespace

int OpenTcp(const char* ip, int port, int) { return open_tcp(ip, port, false); }

int OpenTcp_DataPort(const char* ip, int port, int) { return open_tcp(ip, port, true); }

int CloseTcp(int socket) { return close(socket); }

int IsDataAvailable(int socket, int timeout_seconds) {
  pollfd p{socket, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_seconds * 1000);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  return (p.revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
void (*fuzz_after_send)(int socket) = nullptr;
#endif

long send_all(int socket, const void* buf, std::size_t len) {
  std::size_t sent = 0;
  const char* p = static_cast<const char*>(buf);
  while (sent < len) {
    const ssize_t n = send(socket, p + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The peer's window is full: wait for room rather than spin.
      pollfd p2{socket, POLLOUT, 0};
      if (poll(&p2, 1, 1000) > 0) continue;
    }
    break;
  }
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  if (fuzz_after_send != nullptr && sent != 0) fuzz_after_send(socket);
#endif
  return sent == 0 && len != 0 ? -1 : static_cast<long>(sent);
}

namespace {
// More bytes are already waiting on the socket.
bool more_waiting(int socket) {
  char c;
  return recv(socket, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}
}  // namespace

std::size_t receive_reply(int socket, char* buf, std::size_t capacity, int timeout_ms,
                          bool* complete, bool multi_line) {
  *complete = false;
  if (capacity == 0) return 0;
  buf[0] = '\0';
  std::size_t len = 0;
  const int64_t deadline = GetNowMillisecond() + timeout_ms;
  char piece[kReplyCapacity];
  for (;;) {
    const int64_t left = deadline - GetNowMillisecond();
    if (left < 0) break;
    const WaitResult w = wait_readable(socket, static_cast<int>(left), exchange_abort_fd());
    if (w != WaitResult::Ready) break;
    const ssize_t n = recv(socket, piece, sizeof piece, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;  // closed or failed: no more bytes will come
    for (ssize_t i = 0; i < n; ++i) {
      if (len + 1 < capacity) buf[len++] = piece[i];
      // Lines of a multi-line reply end in CR too: only a CR that ends what
      // has arrived, with nothing more waiting, ends the reply.
      if (piece[i] == '\r' && (!multi_line || (i == n - 1 && !more_waiting(socket)))) {
        // Over-long replies end here too, cut to the buffer (without the CR).
        buf[len] = '\0';
        *complete = true;
        return len;
      }
    }
    buf[len] = '\0';
  }
  buf[len] = '\0';
  return len;
}

bool renew_data_connection(int socket, const char* ip, int port) {
  if (socket < 0) return false;
  // The peer's close shows even behind bytes still waiting (those are left
  // to the run's drain).
  pollfd p{socket, POLLRDHUP, 0};
  const int r = poll(&p, 1, 0);
  if (r <= 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) return true;
  const int fresh = open_tcp(ip, port, true);
  if (fresh < 0) return false;
  const bool moved = dup3(fresh, socket, O_CLOEXEC) == socket;
  close(fresh);
  return moved;
}

void discard_pending(int socket) {
  char scratch[4096];
  for (;;) {
    const ssize_t n = recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

void discard_until_quiet(int socket, int64_t quiet_from_ms, int quiet_ms, int limit_ms) {
  // A peer holding back small pieces until they are acknowledged (Nagle)
  // sends them once our pending acknowledgement goes out.
  const int one = 1;
  (void)setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  const int64_t deadline = GetNowMillisecond() + limit_ms;
  int64_t quiet_until = quiet_from_ms + quiet_ms;
  for (;;) {
    discard_pending(socket);
    const int64_t now = GetNowMillisecond();
    if (now >= quiet_until || now >= deadline) return;
    const int64_t wait = std::min(quiet_until, deadline) - now;
    const WaitResult w = wait_readable(socket, static_cast<int>(wait));
    if (w == WaitResult::Timeout || w == WaitResult::Error) return;
    char probe;
    const ssize_t n = recv(socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return;  // closed: the run will see it
    if (n > 0) quiet_until = GetNowMillisecond() + quiet_ms;
  }
}

int GetModuleNameTCP(int socket, char* name, std::size_t name_capacity) {
  if (socket == 0 || name == nullptr || name_capacity == 0) return 0;
  char reply[kReplyCapacity];
  std::size_t n = identification_exchange(socket, "10\r", reply, sizeof reply);
  if (n == 0) return 0;
  if (reply[n - 1] == '\r') reply[--n] = '\0';
  // Two header characters precede the id.
  const char* id = n > 2 ? reply + 2 : "";
  std::size_t id_len = std::strlen(id);
  if (id_len >= name_capacity) id_len = name_capacity - 1;
  std::memcpy(name, id, id_len);
  name[id_len] = '\0';
  return 1;
}

int GetFirmVersionDateTCP(int socket, unsigned short* version, char* date) {
  if (socket == 0 || version == nullptr || date == nullptr) return 0;
  char reply[kReplyCapacity];
  std::size_t n = identification_exchange(socket, "01\r", reply, sizeof reply);
  if (n == 0) return 0;
  // n counts the bytes received, the CR included.
  if (reply[n - 1] == '\r')
    reply[n - 1] = '\0';
  else
    ++n;  // no CR arrived: treat the text as if one had
  const std::size_t text_len = n - 1;

  // The reply is three header characters, the version in hexadecimal, a
  // space and the date text.
  std::size_t space = 0;
  for (std::size_t i = 4; i + 5 <= n; ++i) {
    if (reply[i] == ' ') {
      space = i;
      break;
    }
  }
  const char* date_text;
  if (space != 0) {
    reply[space] = '\0';
    date_text = reply + space + 1;
  } else {
    date_text = text_len >= 2 ? reply + text_len - 2 : reply + text_len;
  }
  const long v = text_len > 3 ? std::strtol(reply + 3, nullptr, 16) : 0;
  *version = static_cast<unsigned short>(v & 0xFFFF);
  std::size_t date_len = std::strlen(date_text);
  if (date_len > kDateChars) date_len = kDateChars;
  std::memcpy(date, date_text, date_len);
  date[date_len] = '\0';
  return 1;
}

int isValidIPv4(const char* text) {
  if (text == nullptr) return 0;
  in_addr a{};
  return inet_pton(AF_INET, text, &a) == 1 ? 1 : 0;
}

}  // namespace korvel
