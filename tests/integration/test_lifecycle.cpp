// Device lifecycles as multi-threaded and careless applications drive them:
// concurrent starts and stops, releases from under callbacks, settings
// changed during a run, stale handles, and a storm of all of these at once
// on shared and own devices of every family.
#include <gtest/gtest.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using sim::Fault;

// Runs f on n threads released at the same moment; their results.
std::vector<int> race(int n, const std::function<int()>& f) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<int> results(static_cast<std::size_t>(n));
  std::vector<unsigned> errors(static_cast<std::size_t>(n));
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      ++ready;
      while (!go) std::this_thread::yield();
      results[static_cast<std::size_t>(i)] = f();
    });
  wait_until([&] { return ready == n; });
  go = true;
  for (auto& t : threads) t.join();
  return results;
}

int count_entries(const char* folder) {
  int n = 0;
  if (DIR* d = opendir(folder)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(Lifecycle, ConcurrentStartsRunOneScanAndRefuseTheOthers) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 8, 0, 0, 30000, 0, 0, 0), 1);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> busy{0};
    const auto r = race(4, [&] {
      const int ok = KV_StartAIScan(d.handle);
      if (!ok && last_error() == 0x18011u) ++busy;
      return ok;
    });
    EXPECT_EQ(std::count(r.begin(), r.end(), 1), 1) << round;
    EXPECT_EQ(busy.load(), 3) << round;
    // Concurrent stops: one stops the scan, the others wait for it and
    // find it stopped; none joins the worker twice.
    const auto s = race(3, [&] { return KV_StopAIScan(d.handle); });
    EXPECT_EQ(std::count(s.begin(), s.end(), 1), 3) << round;
  }
  EXPECT_EQ(d.sim->count_commands("~01S"), 20u);
}

TEST(Lifecycle, SettersAreRefusedWhileARunExistsAndGettersAnswerFromTheStoredScan) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 1, 0, 1000, 100, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x84) & 0x84, 0x84);  // ended by itself, not yet stopped
  d.sim->clear_commands();

  char enable[8] = {1};
  float high[8] = {1.0f}, low[8] = {-1.0f};
  unsigned short sizes[1] = {2}, types[1] = {0};
  const std::vector<std::pair<const char*, std::function<int()>>> setters = {
      {"scan", [&] { return KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 10, 0, 0); }},
      {"analog trigger",
       [&] { return KV_SetAIAnalogTriggerParam(d.handle, 0, enable, high, low, 1, 50, 50); }},
      {"delay trigger", [&] { return KV_SetAIDelayTriggerParam(d.handle, 100); }},
      {"config", [&] { return KV_SetConfig(d.handle, 5, 2, 3); }},
      {"sync-in", [&] { return KV_SetSyncInScanParam(d.handle, 0, sizes, types, 1, 0, 0); }},
      {"logger", [&] { return KV_StartLogger(d.handle, nullptr, 1, 0); }},
      {"second start", [&] { return KV_StartAIScan(d.handle); }},
  };
  for (const auto& [name, call] : setters) {
    KV_SetLastError(0);
    EXPECT_EQ(call(), 0) << name;
    EXPECT_EQ(last_error(), 0x18011u) << name;
  }
  unsigned short status = 0;
  unsigned waiting = 0;
  KV_GetAIBufferStatus(d.handle, &status, &waiting);
  EXPECT_EQ(waiting, 100u);  // the refused calls left the finished run's data alone

  short ch = 0, gain = 0, mode = 9, tm = 0, opt = 0;
  int rate = 0;
  unsigned count = 0, delay = 0;
  ASSERT_EQ(KV_GetAIScanParam(d.handle, &ch, &gain, &mode, &rate, &count, &tm, &opt), 1);
  EXPECT_EQ(ch, 4);
  EXPECT_EQ(gain, 1);
  EXPECT_EQ(rate, 1000);
  EXPECT_EQ(count, 100u);
  EXPECT_EQ(KV_GetAIDelayTriggerParam(d.handle, &delay, nullptr), 1);
  int item = 0;
  EXPECT_EQ(KV_GetConfig(d.handle, 2, 2, &item), 1);
  unsigned hm = 9, so = 9, sp = 9;
  unsigned short n = 9;
  EXPECT_EQ(KV_GetSyncInScanParam(d.handle, &hm, sizes, types, 1, &n, &so, &sp), 1);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(d.sim->commands().empty());  // nothing asked, nothing rewritten

  ASSERT_EQ(KV_StopAIScan(d.handle), 1);
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 10, 0, 0), 1);
}

// A callback that sits inside API calls on its own device while the
// application releases that device.
struct BusyCallback {
  std::atomic<bool> entered{false};
  std::atomic<bool> releasing{false};
  std::atomic<int> calls{0};
  static void on_event(KV_HANDLE h, unsigned short, unsigned, void* user) {
    auto* self = static_cast<BusyCallback*>(user);
    self->entered = true;
    unsigned short st;
    unsigned n;
    // Keeps calling until the release is under way, and a little longer.
    for (int i = 0; i < 100000 && !self->releasing; ++i) {
      KV_GetAIBufferStatus(h, &st, &n);
      ++self->calls;
    }
    for (int i = 0; i < 50; ++i) KV_GetAIBufferStatus(h, &st, &n);
  }
};

TEST(Lifecycle, ReleaseWhileACallbackIsInsideAnApiCall) {
  for (int round = 0; round < 5; ++round) {
    OpenDevice d(fast_config());
    BusyCallback cb;
    ASSERT_EQ(KV_SetEventCallback(d.handle, 8, 0, &BusyCallback::on_event, &cb), 1);
    // Nobody drains the ring: it overflows and raises event 8.
    ASSERT_EQ(KV_SetAIScanParam(d.handle, 8, 0, 0, 30000, 0, 0, 0), 1);
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    ASSERT_TRUE(wait_until([&] { return cb.entered.load(); }));
    cb.releasing = true;
    ASSERT_EQ(KV_Device_Release(d.handle), 1);
    KV_HANDLE stale = d.handle;
    d.handle = nullptr;
    EXPECT_EQ(KV_StartAIScan(stale), 0);
    EXPECT_EQ(last_error(), 0x1300Au);
  }
}

TEST(Lifecycle, CallbacksMayQueryButNotReconfigureStopOrReleaseTheirOwnDevice) {
  struct Probe {
    std::atomic<unsigned> set_error{0}, start_error{0}, logger_error{0}, stop_error{0};
    std::atomic<int> got_scan{-1}, status_result{-1}, stop_result{-1}, release_result{-1};
    static void on_event(KV_HANDLE h, unsigned short, unsigned, void* user) {
      auto* self = static_cast<Probe*>(user);
      unsigned short st;
      unsigned n;
      self->status_result = KV_GetAIBufferStatus(h, &st, &n);
      if (KV_SetAIScanParam(h, 1, 0, 0, 100, 10, 0, 0) == 0)
        self->set_error = static_cast<unsigned>(KV_GetLastError());
      if (KV_StartAIScan(h) == 0) self->start_error = static_cast<unsigned>(KV_GetLastError());
      if (KV_StartLogger(h, nullptr, 1, 0) == 0)
        self->logger_error = static_cast<unsigned>(KV_GetLastError());
      self->stop_result = KV_StopAIScan(h);
      self->stop_error = static_cast<unsigned>(KV_GetLastError());
      self->release_result = KV_Device_Release(h);
      short ch = 0;
      self->got_scan = KV_GetAIScanParam(h, &ch, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr) == 1 ? ch : 0;
    }
  } probe;
  OpenDevice d(fast_config());
  KV_SetEventCallback(d.handle, 2, 0, &Probe::on_event, &probe);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 1000, 30, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_TRUE(wait_until([&] { return probe.got_scan.load() >= 0; }));
  EXPECT_EQ(probe.set_error.load(), 0x18011u);
  EXPECT_EQ(probe.start_error.load(), 0x18011u);
  EXPECT_EQ(probe.logger_error.load(), 0x18011u);
  EXPECT_EQ(probe.got_scan.load(), 3);
  EXPECT_EQ(probe.status_result.load(), 1);
  EXPECT_EQ(probe.stop_result.load(), 0);
  EXPECT_EQ(probe.stop_error.load(), 0x13006u);
  EXPECT_EQ(probe.release_result.load(), 0);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
}

TEST(Lifecycle, HandlesOfReleasedDevicesNeverNameANewOne) {
  auto dev = start_sim(fast_config());
  const std::string ip = dev->config().address;
  std::vector<KV_HANDLE> released;
  for (int i = 0; i < 20; ++i) {
    KV_HANDLE h = KV_Device_Create(ip.c_str());
    ASSERT_NE(h, nullptr);
    for (KV_HANDLE old : released) ASSERT_NE(h, old);
    char name[32];
    for (KV_HANDLE old : released) {
      ASSERT_EQ(KV_GetModelName(old, name), 0);
      ASSERT_EQ(last_error(), 0x1300Au);
    }
    ASSERT_EQ(KV_Device_Release(h), 1);
    EXPECT_EQ(KV_Device_Release(h), 0);
    released.push_back(h);
  }
}

TEST(Lifecycle, ConcurrentSinglePointReadsShareTheRawCodeCacheSafely) {
  OpenDevice d;
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      float v[8];
      int codes[8];
      for (int i = 0; i < 40 && !stop; ++i) {
        if (KV_ReadAIALL(d.handle, 0, v, 8) != 1) ++failures;
        if (KV_ReadAIALLHEX(d.handle, 0, codes, 8) != 1) ++failures;
      }
    });
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(Lifecycle, SilentCommandPortIsRefusedAfterTwoCalibrationReads) {
  auto dev = start_sim(sim_config());
  dev->add_fault(Fault::no_reply("$01R0").times(-1));
  EXPECT_EQ(KV_Device_Create(dev->config().address.c_str()), nullptr);
  EXPECT_EQ(last_error(), 0x17006u);
  EXPECT_EQ(dev->count_commands("$01R0"), 2u);
}

// Silent start orders, and the logging run's, are cells of the fault matrix.
TEST(Lifecycle, StartAndStopOrdersTheDeviceRefusedAreFailures) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  d.sim->add_fault(Fault::reply("~01S", "?01"));
  EXPECT_EQ(KV_StartAIScan(d.handle), 0);
  EXPECT_EQ(last_error(), 0x17003u);
  // No run was left behind: settings may change, and the next start runs.
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  d.sim->add_fault(Fault::reply("~01Z", "?01"));
  EXPECT_EQ(KV_StopAIScan(d.handle), 0);
  EXPECT_EQ(last_error(), 0x17003u);
  // Stopped on this side all the same.
  EXPECT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
}

TEST(Lifecycle, UnloadClosesEveryDeviceAndJoinsItsRun) {
  OpenDevice a(fast_config()), b(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(a.handle, 8, 0, 0, 30000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(a.handle), 1);
  KV_Free();  // what unloading the library runs
  char name[32];
  EXPECT_EQ(KV_GetModelName(a.handle, name), 0);
  EXPECT_EQ(KV_GetModelName(b.handle, name), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
  EXPECT_GE(a.sim->count_commands("~01Z"), 1u);
  a.handle = b.handle = nullptr;
}

// ---------------------------------------------------------------------------
// The storm: many threads create, release, start, stop, reconfigure, log and
// read, on devices they share (handles swapped between threads) and on
// devices of their own, across the families, for a bounded time. Nothing
// may abort, hang, or leak a thread or a descriptor, and a device only one
// thread drives answers every call as its state says it must.

struct StormFamily {
  const char* model;
  const char* slots;
  short channels;
  short gains;
  int max_rate;
  bool logs;    // keeps logging runs (the MC610s does not)
  bool config;  // has configuration items (the LX-R5000 has none)
};

const std::vector<StormFamily>& storm_families() {
  static const std::vector<StormFamily> f = {
      {"LX3100", "", 8, 2, 20000, true, true},  {"LX3200", "", 4, 10, 16000, true, true},
      {"LXR5000", "", 4, 1, 8000, true, false}, {"MC610s", "11010000", 24, 2, 2000, false, true},
      {"MC620Ws", "193", 24, 1, 2000, true, true},
  };
  return f;
}

double storm_seconds() {
  if (const char* text = std::getenv("KORVEL_STORM_SECONDS")) {
    const double v = std::atof(text);
    if (v > 0 && v < 1e5) return v;
  }
  return 3;
}

// A valid scan of the family: continuous or a few thousand samples.
int set_random_scan(KV_HANDLE h, const StormFamily& f, std::mt19937& rng) {
  const auto ch = static_cast<short>(1 + rng() % static_cast<unsigned>(f.channels));
  const auto gain = static_cast<short>(rng() % static_cast<unsigned>(f.gains));
  const int rate = 100 + static_cast<int>(rng() % static_cast<unsigned>(f.max_rate));
  const unsigned count = rng() % 2 ? 0 : static_cast<unsigned>(ch) * (100 + rng() % 2000);
  return KV_SetAIScanParam(h, ch, gain, 0, rate, count, 0, 0);
}

std::atomic<unsigned> g_storm_events{0};
// Calls of the storm that took effect, so that it is known to have done work.
std::atomic<unsigned> g_storm_creates{0}, g_storm_scans{0}, g_storm_logs{0};
void storm_event(KV_HANDLE h, unsigned short, unsigned, void*) {
  unsigned short st;
  unsigned n;
  KV_GetAIBufferStatus(h, &st, &n);  // a read from the worker, as applications do
  ++g_storm_events;
}

// Reads of every kind; results vary with the state and are not checked.
void storm_reads(KV_HANDLE h, std::mt19937& rng, std::vector<float>& buf) {
  unsigned short st;
  unsigned n, total, status;
  switch (rng() % 4) {
    case 0:
      KV_GetAIBuffer(h, buf.data(), static_cast<unsigned>(1 + rng() % buf.size()));
      KV_GetAIBufferStatus(h, &st, &n);
      break;
    case 1:
      KV_GetAIBufferHex(h, reinterpret_cast<unsigned*>(buf.data()),
                        static_cast<unsigned>(1 + rng() % buf.size()));
      KV_GetTotalSamplingStatus(h, &total, &status);
      break;
    case 2: {
      float v[24];
      int codes[24];
      KV_ReadAI(h, 0, 0, v);
      KV_ReadAIALL(h, 0, v, 4);
      KV_ReadAIALLHEX(h, 0, codes, 4);
      break;
    }
    default: {
      short ch;
      int rate, item;
      KV_GetAIScanParam(h, &ch, nullptr, nullptr, &rate, nullptr, nullptr, nullptr);
      KV_GetConfig(h, 4, 1, &item);
      if (rng() % 8 == 0) KV_ClearAIBuffer(h);
    }
  }
}

// What a storm thread does to a device it does not own: anything, in any
// state, racing the other threads.
void storm_shared(std::vector<std::atomic<KV_HANDLE>>& handles,
                  const std::vector<std::unique_ptr<sim::Device>>& sims,
                  const std::string& folder, std::mt19937& rng, std::vector<float>& buf) {
  const std::size_t i = rng() % handles.size();
  const StormFamily& f = storm_families()[i % storm_families().size()];
  KV_HANDLE h = handles[i].load();
  switch (rng() % 10) {
    case 0:
      if (!h) {
        KV_HANDLE fresh = KV_Device_Create(sims[i]->config().address.c_str());
        KV_HANDLE expected = nullptr;
        if (fresh && !handles[i].compare_exchange_strong(expected, fresh))
          KV_Device_Release(fresh);
        else if (fresh)
          ++g_storm_creates;
      }
      break;
    case 1:
      if (h && rng() % 4 == 0 && handles[i].compare_exchange_strong(h, nullptr))
        KV_Device_Release(h);
      break;
    case 2:
      g_storm_scans += KV_StartAIScan(h) == 1;
      break;
    case 3:
      KV_StopAIScan(h);
      break;
    case 4:
      set_random_scan(h, f, rng);
      break;
    case 5:
      KV_SetConfig(h, 4, 1, static_cast<int>(rng() % 8));
      KV_SetConfig(h, 5, 2, static_cast<int>(1 + rng() % 40));
      break;
    case 6: {
      std::string path = folder;
      if (rng() % 2)
        g_storm_logs += KV_StartLogger(h, path.data(), 1, static_cast<int>(rng() % 2)) == 1;
      else
        KV_StopLogger(h);
      break;
    }
    case 7:
      if (rng() % 2)
        KV_SetEventCallback(h, 0xFF, 0, &storm_event, nullptr);
      else
        KV_RemoveEventCallback(h, 0);
      break;
    default:
      storm_reads(h, rng, buf);
  }
}

// A device one thread owns: its calls must answer as its state says.
class OwnDevice {
 public:
  OwnDevice(const StormFamily& f, const sim::Device& sim, std::string folder)
      : family_(f), address_(sim.config().address), folder_(std::move(folder)) {}
  ~OwnDevice() {
    if (h_) KV_Device_Release(h_);
  }

  void step(std::mt19937& rng, std::vector<float>& buf) {
    if (!h_) {
      h_ = KV_Device_Create(address_.c_str());
      expect(h_ != nullptr, "create");
      ++g_storm_creates;
      state_ = State::Idle;
      return;
    }
    switch (rng() % 8) {
      case 0:
        if (rng() % 4 == 0) {
          expect(KV_Device_Release(h_) == 1, "release");
          h_ = nullptr;
        }
        break;
      case 1: {  // settings: taken when idle, refused while a run exists
        const int r = set_random_scan(h_, family_, rng);
        const int c = KV_SetConfig(h_, 4, 1, static_cast<int>(rng() % 8));
        if (state_ == State::Idle) {
          expect(r == 1 && (c == 1 || !family_.config), "settings while idle");
        } else {
          expect(r == 0 && last_error() == KV_ERR_BUSY_SAMPLING, "scan settings during a run");
        }
        break;
      }
      case 2:
        if (state_ == State::Idle) {
          expect(KV_StartAIScan(h_) == 1, "start");
          ++g_storm_scans;
          state_ = State::Scan;
        } else {
          expect(KV_StartAIScan(h_) == 0 && last_error() == KV_ERR_BUSY_SAMPLING, "second start");
        }
        break;
      case 3:
        if (state_ != State::Log) {
          expect(KV_StopAIScan(h_) == 1, "stop");
          state_ = State::Idle;
        }
        break;
      case 4:
        if (state_ == State::Idle && family_.logs) {
          std::string path = folder_;
          expect(KV_StartLogger(h_, path.data(), 1, static_cast<int>(rng() % 2)) == 1,
                 "start logger");
          ++g_storm_logs;
          state_ = State::Log;
        } else if (state_ == State::Log) {
          expect(KV_StopLogger(h_) == 1, "stop logger");
          state_ = State::Idle;
        }
        break;
      case 5:
        if (rng() % 2)
          KV_SetEventCallback(h_, 0xFF, 0, &storm_event, nullptr);
        else
          KV_RemoveEventCallback(h_, 0);
        break;
      default:
        storm_reads(h_, rng, buf);
    }
  }

  std::vector<std::string> faults;

 private:
  enum class State { Idle, Scan, Log };
  void expect(bool ok, const char* what) {
    if (!ok && faults.size() < 10)
      faults.push_back(std::string(family_.model) + ": " + what + " (error 0x" +
                       [] {
                         char t[16];
                         std::snprintf(t, sizeof t, "%X", last_error());
                         return std::string(t);
                       }() +
                       ")");
  }
  const StormFamily& family_;
  std::string address_;
  std::string folder_;
  KV_HANDLE h_ = nullptr;
  State state_ = State::Idle;
};

TEST(LifecycleStorm, SharedAndOwnDevicesOfEveryFamilyLeakNothing) {
  constexpr int kThreads = 6;
  const auto& families = storm_families();
  // The simulators (their threads and sockets) and the log folder come
  // before the counts.
  std::vector<std::unique_ptr<sim::Device>> shared_sims, own_sims;
  for (const StormFamily& f : families) {
    sim::Config c = sim_config(f.model);
    c.slots = f.slots;
    shared_sims.push_back(start_sim(c));
  }
  for (int t = 0; t < kThreads; ++t) {
    const StormFamily& f = families[static_cast<std::size_t>(t) % families.size()];
    sim::Config c = sim_config(f.model);
    c.slots = f.slots;
    own_sims.push_back(start_sim(c));
  }
  TempDir dir;
  const int fds_before = count_entries("/proc/self/fd");
  const int threads_before = count_entries("/proc/self/task");

  std::vector<std::atomic<KV_HANDLE>> handles(shared_sims.size());
  for (auto& h : handles) h = nullptr;
  std::atomic<bool> stop{false};
  std::vector<std::vector<std::string>> faults(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
      std::vector<float> buf(2048);
      const std::size_t k = static_cast<std::size_t>(t);
      OwnDevice own(families[k % families.size()], *own_sims[k], dir.path());
      while (!stop) {
        if (rng() % 2)
          storm_shared(handles, shared_sims, dir.path(), rng, buf);
        else
          own.step(rng, buf);
      }
      faults[k] = own.faults;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(storm_seconds() * 1000)));
  stop = true;
  for (auto& w : workers) w.join();
  for (auto& h : handles) {
    if (KV_HANDLE x = h.exchange(nullptr)) {
      EXPECT_EQ(KV_Device_Release(x), 1);
    }
  }
  for (int t = 0; t < kThreads; ++t)
    for (const std::string& f : faults[static_cast<std::size_t>(t)]) ADD_FAILURE() << "thread " << t << ": " << f;

  // Every worker joined and every connection and file closed.
  EXPECT_TRUE(wait_until([&] { return count_entries("/proc/self/task") <= threads_before; }))
      << count_entries("/proc/self/task") << " threads, " << threads_before << " before";
  // The simulators close their ends once they see the library's close.
  EXPECT_TRUE(wait_until([&] { return count_entries("/proc/self/fd") <= fds_before; }))
      << count_entries("/proc/self/fd") << " descriptors, " << fds_before << " before";
  std::printf("storm: %u creates, %u scans, %u logging runs, %u events\n",
              g_storm_creates.load(), g_storm_scans.load(), g_storm_logs.load(),
              g_storm_events.load());
  EXPECT_GT(g_storm_scans.load(), 10u);
  EXPECT_GT(g_storm_logs.load(), 10u);
}

}  // namespace
}  // namespace korvel::test
