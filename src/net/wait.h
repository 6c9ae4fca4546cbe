// Bounded waits on sockets, with an optional descriptor that aborts the wait
// (a worker's stop signal), so that no loop spins and every stop is prompt.
#pragma once

namespace korvel {

enum class WaitResult { Ready, Timeout, Aborted, Error };

// Blocks until fd is readable (or has an error or hang-up pending), abort_fd
// (when >= 0) becomes readable, or timeout_ms passes. A negative timeout waits
// without limit. Interrupted polls resume with the remaining time.
WaitResult wait_readable(int fd, int timeout_ms, int abort_fd = -1);
// As wait_readable for several descriptors (at most kMaxWaitFds): Ready
// when one or more are, each marked in ready[i].
inline constexpr int kMaxWaitFds = 16;
WaitResult wait_any_readable(const int* fds, bool* ready, int count, int timeout_ms,
                             int abort_fd = -1);
// As wait_readable, until fd is writable (a connection in progress completed
// or failed).
WaitResult wait_writable(int fd, int timeout_ms, int abort_fd = -1);

// Sleeps up to timeout_ms; returns early (Aborted) when abort_fd becomes
// readable. Without an abort descriptor it is a plain sleep.
WaitResult wait_abortable(int timeout_ms, int abort_fd);

// The abort descriptor that command exchanges on the calling thread honour.
// A worker thread installs its stop signal here for its lifetime so that an
// exchange it is waiting in ends as soon as the worker is told to stop.
int exchange_abort_fd();

class ExchangeAbortScope {
 public:
  explicit ExchangeAbortScope(int fd);
  ~ExchangeAbortScope();
  ExchangeAbortScope(const ExchangeAbortScope&) = delete;
  ExchangeAbortScope& operator=(const ExchangeAbortScope&) = delete;

 private:
  int previous_;
};

}  // namespace korvel
