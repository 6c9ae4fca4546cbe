// Soak: simulated devices of every family stream at once at real-time rates,
// each drained by a thread of its own (and some through the count-reached
// callback). Every sample is checked against the simulators' deterministic
// signals, and nothing may be lost: no overrun, every unit the devices sent
// acknowledged, and the readers' totals equal to the library's counts.
//
// KORVEL_SOAK_SECONDS sets the streaming time (default 20 s, 12 s under the
// sanitizers, whose rates are a quarter); KORVEL_SOAK_ONLY keeps the devices
// whose name holds its text.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/sim/mc.h"
#include "korvel/sim/signal.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Instrumented builds run every device at a quarter of its rate.
constexpr int kRateDivisor = kSanitized ? 4 : 1;

double soak_seconds() {
  if (const char* text = std::getenv("KORVEL_SOAK_SECONDS")) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end != text && v > 0 && v < 1e6) return v;
  }
  return kSanitized ? 12 : 20;
}

enum class Coding { Lx16, Lx24, Slot };

struct Plan {
  const char* name;
  const char* model;
  const char* slots;
  Coding coding;
  short channels;
  short gain;
  int rate;        // per channel, before the sanitizer divisor
  bool segmented;  // back-to-back finite scans of one second, finished in the callback
  bool volts;      // volt reads in turn with raw ones
};

// A device of the soak, its reader's position and what went wrong.
class SoakDevice {
 public:
  explicit SoakDevice(const Plan& p) : plan(p), raw_(kReadMax), volts_(kReadMax) {}
  ~SoakDevice() {
    if (h) KV_Device_Release(h);
  }
  SoakDevice(const SoakDevice&) = delete;
  SoakDevice& operator=(const SoakDevice&) = delete;

  const Plan plan;
  std::unique_ptr<sim::Device> sim;
  KV_HANDLE h = nullptr;
  int rate = 0;  // achieved, per channel
  std::vector<std::pair<int, unsigned>> ports;  // data port offset, channels it carries

  // Code of sample n of the current run, as a raw read returns it.
  int expected(uint64_t n) const {
    const auto c = static_cast<unsigned>(plan.channels);
    switch (plan.coding) {
      case Coding::Lx16: return sim::stream_code(c, n);
      case Coding::Lx24: return static_cast<int>(raw24(sim::stream_code24(c, n)));
      case Coding::Slot: default: return sim::slot_code(static_cast<unsigned>(n % c), n / c);
    }
  }

  // One read, of a size that varies so that reads end anywhere in a scan;
  // every sample is checked. Samples taken, 0 when none or after a fault.
  int read_some() {
    std::lock_guard<std::mutex> lock(read_mu_);
    if (failed()) return 0;
    static constexpr unsigned kSizes[] = {kReadMax, 1, 4097, 333, 2048, 7};
    const unsigned size = kSizes[turn_++ % std::size(kSizes)];
    const bool as_volts = plan.volts && turn_ % 2 == 0;
    const int got = as_volts ? KV_GetAIBuffer(h, volts_.data(), size)
                             : KV_GetAIBufferHex(h, raw_.data(), size);
    for (int i = 0; i < got; ++i, ++next_) {
      const int code = expected(next_);
      const auto c = static_cast<int>(next_ % static_cast<unsigned>(plan.channels));
      if (as_volts) {
        float v = 0;
        KV_Calibrate_Data_Float(h, c, plan.gain, code, &v);
        if (volts_[static_cast<std::size_t>(i)] != v)
          return fail("sample " + std::to_string(next_) + " (channel " + std::to_string(c) +
                      ") read " + std::to_string(volts_[static_cast<std::size_t>(i)]) +
                      " V, expected " + std::to_string(v) + " V");
      } else if (raw_[static_cast<std::size_t>(i)] != static_cast<unsigned>(code)) {
        return fail("sample " + std::to_string(next_) + " (channel " + std::to_string(c) +
                    ") read code " + std::to_string(raw_[static_cast<std::size_t>(i)]) +
                    ", expected " + std::to_string(code));
      }
    }
    checked_ += static_cast<uint64_t>(std::max(got, 0));
    return got;
  }

  // Reads until nothing is waiting; samples taken.
  uint64_t drain() {
    uint64_t n = 0;
    for (int got; (got = read_some()) > 0;) n += static_cast<uint64_t>(got);
    return n;
  }

  uint64_t position() {
    std::lock_guard<std::mutex> lock(read_mu_);
    return next_;
  }
  uint64_t checked() {
    std::lock_guard<std::mutex> lock(read_mu_);
    return checked_;
  }
  void new_run() {
    std::lock_guard<std::mutex> lock(read_mu_);
    next_ = 0;
  }

  int fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(fault_mu_);
    if (fault_.empty()) fault_ = what;
    failed_ = true;
    return 0;
  }
  bool failed() const { return failed_; }
  std::string fault() {
    std::lock_guard<std::mutex> lock(fault_mu_);
    return fault_;
  }

  // Events: count reached finishes a segment (its rest is read here, on
  // the library's worker); anything else is a fault of the run.
  static void on_event(KV_HANDLE, unsigned short event, unsigned value, void* user) {
    auto* d = static_cast<SoakDevice*>(user);
    if (event == KV_EVENT_COUNT_REACHED && d->plan.segmented) {
      const uint64_t took = d->drain();
      {
        std::lock_guard<std::mutex> lock(d->segment_mu_);
        d->by_callback += took;
        d->segment_done_ = true;
        d->segment_value_ = value;
      }
      d->segment_cv_.notify_all();
      return;
    }
    d->fail("event " + std::to_string(event) + " value " + std::to_string(value));
  }

  // Waits (bounded) for the callback to finish the segment, reading every
  // 20 ms meanwhile. The count the event reported, or -1.
  long wait_segment(int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(segment_mu_);
        if (segment_cv_.wait_for(lock, std::chrono::milliseconds(20),
                                 [&] { return segment_done_; })) {
          segment_done_ = false;
          return static_cast<long>(segment_value_);
        }
      }
      if (failed() || Clock::now() >= end) return -1;
      read_some();
      if (!has_events()) {
        unsigned count = 0, status = 0;
        KV_GetTotalSamplingStatus(h, &count, &status);
        if (status & KV_STATUS_COUNT_REACHED) {
          drain();
          return static_cast<long>(count);
        }
      }
    }
  }

  // The slot controllers keep no event callbacks.
  bool has_events() const { return plan.coding != Coding::Slot; }

  uint64_t runs = 0;
  uint64_t by_callback = 0;  // guarded by segment_mu_ while the run goes on

 private:
  static constexpr unsigned kReadMax = 8192;
  std::mutex read_mu_;  // readers: this device's thread and its callback
  uint64_t next_ = 0;
  uint64_t checked_ = 0;
  unsigned turn_ = 0;
  std::vector<unsigned> raw_;
  std::vector<float> volts_;
  std::mutex fault_mu_;
  std::string fault_;
  std::atomic<bool> failed_{false};
  std::mutex segment_mu_;
  std::condition_variable segment_cv_;
  bool segment_done_ = false;
  unsigned segment_value_ = 0;
};

std::string hex(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// The library's count and flags, and the simulator's acknowledgements, once
// the device has sent its last sample. The count is the received count only
// while the status is not 0, so it is read while samples still wait.
void expect_counted(SoakDevice& d, uint64_t total) {
  unsigned count = 0, status = 0;
  KV_GetTotalSamplingStatus(d.h, &count, &status);
  if (status == 0) d.fail("nothing waiting and nothing flagged at the end");
  if (count != total)
    d.fail("the library counted " + std::to_string(count) + " samples, the device sent " +
           std::to_string(total));
  if (status & (KV_STATUS_OVERRUN | KV_STATUS_TIMEOUT)) d.fail("status " + hex(status));
  uint64_t acked = 0;
  for (const auto& [port, channels] : d.ports) {
    const sim::StreamStats s = d.sim->stream_stats(port);
    acked += s.acked_units;
    if (s.ack_mismatches) d.fail("acknowledgements of unsent samples on port " + std::to_string(port));
  }
  if (acked != total)
    d.fail("the device saw " + std::to_string(acked) + " samples acknowledged of " +
           std::to_string(total));
}

// The reader took exactly what was sent, and nothing is left.
void expect_all_read(SoakDevice& d, uint64_t total) {
  if (!wait_until([&] {
        d.drain();
        return d.failed() || d.position() >= total;
      }, 30000) || d.position() != total)
    d.fail("read " + std::to_string(d.position()) + " samples of " + std::to_string(total));
  unsigned short status = 0;
  unsigned waiting = 0;
  KV_GetAIBufferStatus(d.h, &status, &waiting);
  if (waiting != 0) d.fail(std::to_string(waiting) + " samples left after the last one");
  if (status & KV_STATUS_OVERRUN) d.fail("overrun at the end, status " + hex(status));
}

// Every port sent `scans` scans and saw all of them acknowledged.
bool ports_settled(SoakDevice& d, uint64_t scans) {
  for (const auto& [port, channels] : d.ports) {
    const sim::StreamStats s = d.sim->stream_stats(port);
    if (s.units_sent != scans * channels || s.acked_units != s.units_sent) return false;
  }
  return true;
}

// A continuous scan read until time is up. Then every slot is made to stop
// at the same scan S, so that the stream has a known end: exactly S scans
// must arrive, be acknowledged, be counted and be read.
void run_continuous(SoakDevice& d, const std::atomic<bool>& time_up) {
  if (KV_StartAIScan(d.h) != 1) {
    d.fail("start refused, error " + hex(last_error()));
    return;
  }
  d.runs = 1;
  while (!time_up && !d.failed())
    if (d.read_some() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));

  // Every port stops at scan S, about 0.1 s ahead of the furthest one. A
  // port may have prepared more than that before it was told (it then
  // stops where that ends): S moves up to it and the others follow.
  uint64_t end_scan = 0;
  for (const auto& [port, channels] : d.ports)
    end_scan = std::max<uint64_t>(end_scan, d.sim->stream_stats(port).units_sent / channels);
  end_scan += static_cast<uint64_t>(d.rate) / 10 + 16;
  bool settled = false;
  for (int round = 0; round < 4 && !settled && !d.failed(); ++round) {
    for (const auto& [port, channels] : d.ports) {
      sim::StreamFault quiet;
      quiet.kind = sim::StreamFault::Kind::Silence;
      quiet.after_units = end_scan * channels;
      d.sim->set_stream_fault(quiet, port);
    }
    // Unread meanwhile: the ring holds seconds of samples.
    uint64_t furthest = end_scan;
    const bool quiet = wait_until([&] {
      furthest = end_scan;
      for (const auto& [port, channels] : d.ports) {
        const sim::StreamStats st = d.sim->stream_stats(port);
        if (st.units_sent < end_scan * channels || st.acked_units != st.units_sent) return false;
        furthest = std::max<uint64_t>(furthest, (st.units_sent + channels - 1) / channels);
      }
      return true;
    }, 20000);
    if (!quiet) d.fail("the device never reached scan " + std::to_string(end_scan));
    settled = quiet && furthest == end_scan;
    end_scan = furthest;
  }
  const uint64_t total = end_scan * static_cast<uint64_t>(d.plan.channels);
  if (settled) {
    expect_counted(d, total);
  } else {
    d.fail("the ports did not end at one scan");
  }
  expect_all_read(d, total);
  if (KV_StopAIScan(d.h) != 1) d.fail("stop refused, error " + hex(last_error()));
  d.sim->set_stream_fault(sim::StreamFault{});
}

// Finite scans of one second each, back to back, until time is up. This
// thread reads now and then; on the LX devices the count-reached callback
// reads the rest, on the slot controllers (no events) this thread does.
void run_segments(SoakDevice& d, const std::atomic<bool>& time_up) {
  const uint64_t per_run = static_cast<uint64_t>(d.rate) * static_cast<uint64_t>(d.plan.channels);
  while (!time_up && !d.failed()) {
    d.new_run();
    if (KV_StartAIScan(d.h) != 1) {
      d.fail("start refused, error " + hex(last_error()));
      return;
    }
    const long value = d.wait_segment(30000);
    if (value < 0) {
      unsigned count = 0, status = 0;
      KV_GetTotalSamplingStatus(d.h, &count, &status);
      d.fail("segment " + std::to_string(d.runs) + " never reached its count: read " +
             std::to_string(d.position()) + ", status " + hex(status) + ", count " +
             std::to_string(count));
    } else if (static_cast<uint64_t>(value) != per_run) {
      d.fail("count reached at " + std::to_string(value));
    }
    if (!wait_until([&] { return d.failed() || ports_settled(d, per_run / d.plan.channels); },
                    10000))
      d.fail("segment not acknowledged");
    if (!d.failed()) {
      expect_counted(d, per_run);
      expect_all_read(d, per_run);
    }
    if (KV_StopAIScan(d.h) != 1) d.fail("stop refused, error " + hex(last_error()));
    ++d.runs;
  }
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

const std::vector<Plan>& plans() {
  static const std::vector<Plan> p = {
      {"LX3100 8x10k", "LX3100", "", Coding::Lx16, 8, 1, 10000, false, false},
      {"LX3100 2x20k volts", "LX3100", "", Coding::Lx16, 2, 0, 20000, false, true},
      {"LX3100 3x5k segments", "LX3100", "", Coding::Lx16, 3, 0, 5000, true, true},
      {"LX3200 4x8k", "LX3200", "", Coding::Lx24, 4, 2, 8000, false, false},
      {"LX3200 2x4k volts", "LX3200", "", Coding::Lx24, 2, 0, 4000, false, true},
      {"LXR5000 4x4k volts", "LXR5000", "", Coding::Lx24, 4, 0, 4000, false, true},
      {"MC610s 20x1k", "MC610s", "11010000", Coding::Slot, 20, 0, 1000, false, true},
      {"MC610s 12x2k segments", "MC610s", "10010000", Coding::Slot, 12, 1, 2000, true, false},
      {"MC620Ws 36x1k", "MC620Ws", "1938", Coding::Slot, 36, 0, 1000, false, false},
      {"MC620Ws 30x500", "MC620Ws", "193", Coding::Slot, 30, 0, 500, false, false},
  };
  return p;
}

TEST(Soak, EveryFamilyStreamsAtOnceAndEverySampleArrivesInPlace) {
  const double seconds = soak_seconds();
  std::vector<std::unique_ptr<SoakDevice>> devices;
  const char* only = std::getenv("KORVEL_SOAK_ONLY");
  for (const Plan& plan : plans()) {
    if (only && std::string(plan.name).find(only) == std::string::npos) continue;
    SCOPED_TRACE(plan.name);
    auto d = std::make_unique<SoakDevice>(plan);
    sim::Config config = sim_config(plan.model);
    config.slots = plan.slots;
    config.out_of_step = true;
    d->sim = start_sim(config);
    d->h = KV_Device_Create(config.address.c_str());
    ASSERT_NE(d->h, nullptr) << hex(last_error());
    const int rate = plan.rate / kRateDivisor;
    const unsigned count = plan.segmented ? static_cast<unsigned>(rate * plan.channels) : 0;
    ASSERT_EQ(KV_SetAIScanParam(d->h, plan.channels, plan.gain, 0, rate, count, 0, 0), 1)
        << hex(last_error());
    // The 24-bit devices run at the nearest rate their clock divides to.
    ASSERT_EQ(KV_GetAIScanParam(d->h, nullptr, nullptr, nullptr, &d->rate, nullptr, nullptr,
                                nullptr),
              1);
    ASSERT_GT(d->rate, 0);
    if (plan.segmented) {
      ASSERT_EQ(d->rate, rate);  // a segment is one second of samples
    }
    if (plan.coding == Coding::Slot) {
      d->sim->with_model([&](sim::Model& m) {
        const sim::McState& s = static_cast<sim::McModel&>(m).state();
        for (std::size_t k = 0; k < s.physical.size(); ++k)
          d->ports.emplace_back(s.physical[k], static_cast<unsigned>(s.scan[k].channels));
      });
    } else {
      d->ports = {{0, static_cast<unsigned>(plan.channels)}};
    }
    if (d->has_events()) {
      ASSERT_EQ(KV_SetEventCallback(d->h, 0xFF, 0, &SoakDevice::on_event, d.get()), 1);
    }
    devices.push_back(std::move(d));
  }

  std::atomic<bool> time_up{false};
  const double cpu_before = cpu_seconds();
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (auto& d : devices)
    threads.emplace_back([&time_up, dev = d.get()] {
      dev->plan.segmented ? run_segments(*dev, time_up) : run_continuous(*dev, time_up);
    });
  // Streams for the whole time unless a device fails first.
  const auto until = t0 + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (Clock::now() < until &&
         std::none_of(devices.begin(), devices.end(), [](auto& d) { return d->failed(); }))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  time_up = true;
  for (auto& t : threads) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpu_seconds() - cpu_before;

  uint64_t samples = 0, by_callback = 0;
  for (auto& d : devices) {
    SCOPED_TRACE(d->plan.name);
    EXPECT_EQ(d->fault(), "");
    const uint64_t checked = d->checked();
    // Real time: about rate x channels x seconds; half of that at least.
    if (!d->failed()) {
      EXPECT_GE(static_cast<double>(checked), 0.5 * d->rate * d->plan.channels * seconds);
    }
    samples += checked;
    by_callback += d->by_callback;
    if (d->plan.segmented) {
      EXPECT_GE(d->runs, static_cast<uint64_t>(seconds / 2));
    }
    EXPECT_EQ(KV_Device_Release(d->h), 1);
    d->h = nullptr;
  }
  std::printf("soak: %zu devices, %llu samples checked (%llu read in callbacks), %.1f s, "
              "CPU %.1f s (%.0f%% of one core)\n",
              devices.size(), static_cast<unsigned long long>(samples),
              static_cast<unsigned long long>(by_callback), wall, cpu, 100.0 * cpu / wall);
  RecordProperty("samples", std::to_string(samples));
  RecordProperty("cpu_percent", std::to_string(static_cast<int>(100.0 * cpu / wall)));
}

}  // namespace
}  // namespace korvel::test
