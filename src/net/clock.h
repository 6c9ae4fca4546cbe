// Millisecond clocks on the monotonic clock, and the TimeData stopwatch.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel {

// Milliseconds of the monotonic clock as an unsigned 32-bit value that wraps;
// compare unsigned differences, which stay right across the wrap.
uint32_t GetTickCount();
// The same quantity in 64 bits.
int64_t GetNowMillisecond();
// Sleeps ms milliseconds, resuming after signals. -1 with errno EINVAL for a
// negative argument, -1 for another failure, else 0.
int msleep(int ms);

// Millisecond stopwatch. Mostly used by one thread; the atomic keeps the
// occasional reset from another thread (scan start) well defined.
class TimeData {
 public:
  TimeData();
  void reset_ticks();
  // Milliseconds since the last reset.
  double GetGlobalTicks() const;
  // Now, in milliseconds of the monotonic clock.
  double GetTimeTicks() const;

 private:
  std::atomic<int64_t> start_ticks_;
};

}  // namespace korvel
