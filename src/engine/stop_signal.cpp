#include "engine/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "net/wait.h"

namespace korvel {

StopSignal::StopSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::bad_alloc();
}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::raise() {
  raised_.store(true, std::memory_order_release);
  const uint64_t one = 1;
  (void)!write(fd_, &one, sizeof one);
}

void StopSignal::reset() {
  uint64_t value;
  while (read(fd_, &value, sizeof value) > 0) {
  }
  raised_.store(false, std::memory_order_release);
}

bool StopSignal::sleep_ms(int ms) const {
  if (raised()) return false;
  return wait_abortable(ms, fd_) != WaitResult::Aborted;
}

}  // namespace korvel
