// A stop request a worker can wait on: raising it wakes every wait of the
// worker (socket waits, sleeps, command exchanges) at once, so stopping a
// worker never needs a grace period or a thread cancellation.
#pragma once

#include <atomic>

namespace korvel {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void raise();
  // Clears the request; only while no worker waits on it.
  void reset();
  bool raised() const { return raised_.load(std::memory_order_acquire); }
  // Readable while the request is raised; for poll().
  int fd() const { return fd_; }

  // Sleeps up to ms; false when the stop request cut the sleep short.
  bool sleep_ms(int ms) const;

 private:
  int fd_ = -1;
  std::atomic<bool> raised_{false};
};

}  // namespace korvel
