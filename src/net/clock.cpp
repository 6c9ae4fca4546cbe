#include "net/clock.h"

#include <cerrno>
#include <ctime>

namespace korvel {

namespace {
int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

uint32_t GetTickCount() { return static_cast<uint32_t>(monotonic_ms()); }

int64_t GetNowMillisecond() { return monotonic_ms(); }

int msleep(int ms) {
  if (ms < 0) {
    errno = EINVAL;
    return -1;
  }
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // The fuzz targets' fake device answers at once: pacing pauses meant for a
  // real device would only slow them down.
  return 0;
#endif
  timespec req{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) != 0) {
    if (errno != EINTR) return -1;
    req = rem;
  }
  return 0;
}

TimeData::TimeData() : start_ticks_(monotonic_ms()) {}

void TimeData::reset_ticks() { start_ticks_.store(monotonic_ms(), std::memory_order_relaxed); }

double TimeData::GetGlobalTicks() const {
  return static_cast<double>(monotonic_ms() - start_ticks_.load(std::memory_order_relaxed));
}

double TimeData::GetTimeTicks() const { return static_cast<double>(monotonic_ms()); }

}  // namespace korvel
