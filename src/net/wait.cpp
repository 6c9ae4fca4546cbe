#include "net/wait.h"

#include <poll.h>

#include <cerrno>

#include "net/clock.h"

namespace korvel {

namespace {
thread_local int t_abort_fd = -1;

WaitResult wait_impl(const int* fd_list, bool* ready, int count, short events, int timeout_ms,
                     int abort_fd) {
  pollfd fds[kMaxWaitFds + 1];
  if (count < 0 || count > kMaxWaitFds) return WaitResult::Error;
  nfds_t n = 0;
  for (int i = 0; i < count; ++i) {
    if (fd_list[i] < 0) return WaitResult::Error;
    fds[n++] = {fd_list[i], events, 0};
  }
  const nfds_t abort_index = n;
  if (abort_fd >= 0) fds[n++] = {abort_fd, POLLIN, 0};
  const int64_t deadline = GetNowMillisecond() + (timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int remaining = -1;
    if (timeout_ms >= 0) {
      const int64_t left = deadline - GetNowMillisecond();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
    const int r = poll(fds, n, remaining);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Error;
    }
    if (r == 0) return WaitResult::Timeout;
    if (abort_fd >= 0 && fds[abort_index].revents) return WaitResult::Aborted;
    bool any = false;
    for (int i = 0; i < count; ++i) {
      const bool r_i = fds[i].revents != 0;
      if (ready) ready[i] = r_i;
      any = any || r_i;
    }
    if (any) return WaitResult::Ready;
  }
}
}  // namespace

WaitResult wait_readable(int fd, int timeout_ms, int abort_fd) {
  return wait_impl(&fd, nullptr, fd >= 0 ? 1 : 0, POLLIN, timeout_ms, abort_fd);
}

WaitResult wait_any_readable(const int* fds, bool* ready, int count, int timeout_ms,
                             int abort_fd) {
  return wait_impl(fds, ready, count, POLLIN, timeout_ms, abort_fd);
}

WaitResult wait_writable(int fd, int timeout_ms, int abort_fd) {
  return wait_impl(&fd, nullptr, fd >= 0 ? 1 : 0, POLLOUT, timeout_ms, abort_fd);
}

WaitResult wait_abortable(int timeout_ms, int abort_fd) {
  if (timeout_ms <= 0) return WaitResult::Timeout;
  return wait_impl(nullptr, nullptr, 0, POLLIN, timeout_ms, abort_fd);
}

int exchange_abort_fd() { return t_abort_fd; }

ExchangeAbortScope::ExchangeAbortScope(int fd) : previous_(t_abort_fd) { t_abort_fd = fd; }
ExchangeAbortScope::~ExchangeAbortScope() { t_abort_fd = previous_; }

}  // namespace korvel
