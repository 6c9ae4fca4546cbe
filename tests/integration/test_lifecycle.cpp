// Device lifecycles as multi-threaded and careless applications drive them:
// concurrent starts and stops, releases from under callbacks, settings
// changed during a run, stale handles, and a storm of all of these at once.
#include <gtest/gtest.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
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

TEST(Lifecycle, StartAndStopOrdersTheDeviceDidNotTakeAreFailures) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 5, 2, 1), 1);
  struct Case {
    const char* name;
    Fault fault;
    unsigned error;
  };
  for (const Case& c : {Case{"silent", Fault::no_reply("~01S"), 0x17002u},
                        Case{"refused", Fault::reply("~01S", "?01"), 0x17003u}}) {
    d.sim->add_fault(c.fault);
    EXPECT_EQ(KV_StartAIScan(d.handle), 0) << c.name;
    EXPECT_EQ(last_error(), c.error) << c.name;
    // No run was left behind: settings may change, and the next start runs.
    EXPECT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1) << c.name;
    d.sim->clear_faults();
    ASSERT_EQ(KV_StartAIScan(d.handle), 1) << c.name;
    ASSERT_EQ(KV_StopAIScan(d.handle), 1) << c.name;
  }
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  d.sim->add_fault(Fault::reply("~01Z", "?01"));
  EXPECT_EQ(KV_StopAIScan(d.handle), 0);
  EXPECT_EQ(last_error(), 0x17003u);
  // Stopped on this side all the same.
  EXPECT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);

  // A logging run the device refused leaves no files to be listed later.
  TempDir dir;
  std::string root = dir.path();
  d.sim->add_fault(Fault::no_reply("~01S"));
  EXPECT_EQ(KV_StartLogger(d.handle, root.data(), 1, 0), 0);
  EXPECT_EQ(last_error(), 0x17002u);
  EXPECT_TRUE(files_below(root, ".config").empty());
  EXPECT_TRUE(files_below(root, ".bin").empty());
  EXPECT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
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

// Many threads create, release, start, stop, reconfigure and read on shared
// devices for a bounded time: nothing may abort, hang, or leak a thread or a
// descriptor.
TEST(Lifecycle, StormOfLifecycleCallsOnSharedDevices) {
  constexpr int kDevices = 3;
  std::vector<std::unique_ptr<sim::Device>> sims;
  for (int i = 0; i < kDevices; ++i) sims.push_back(start_sim(fast_config()));
  const int fds_before = count_entries("/proc/self/fd");
  const int threads_before = count_entries("/proc/self/task");

  std::vector<std::atomic<KV_HANDLE>> handles(kDevices);
  for (int i = 0; i < kDevices; ++i) handles[i] = nullptr;
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 6; ++t)
    workers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
      std::vector<float> v(2048);
      unsigned short st;
      unsigned n;
      while (!stop) {
        const int i = static_cast<int>(rng() % kDevices);
        KV_HANDLE h = handles[i].load();
        switch (rng() % 8) {
          case 0:
            if (!h) {
              KV_HANDLE fresh = KV_Device_Create(sims[i]->config().address.c_str());
              KV_HANDLE expected = nullptr;
              if (fresh && !handles[i].compare_exchange_strong(expected, fresh))
                KV_Device_Release(fresh);
            }
            break;
          case 1:
            if (h && rng() % 4 == 0 && handles[i].compare_exchange_strong(h, nullptr))
              KV_Device_Release(h);
            break;
          case 2:
            KV_StartAIScan(h);
            break;
          case 3:
            KV_StopAIScan(h);
            break;
          case 4:
            KV_SetAIScanParam(h, static_cast<short>(1 + rng() % 8), 0, 0, 20000,
                              rng() % 2 ? 0 : 4000, 0, 0);
            break;
          case 5:
            KV_GetAIBuffer(h, v.data(), 2048);
            KV_GetAIBufferStatus(h, &st, &n);
            break;
          case 6:
            KV_ClearAIBuffer(h);
            KV_GetAIBufferHex(h, reinterpret_cast<unsigned*>(v.data()), 1000);
            break;
          default: {
            short ch;
            KV_GetAIScanParam(h, &ch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            unsigned di, dout;
            KV_ReadDIO(h, &di, &dout);
          }
        }
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stop = true;
  for (auto& w : workers) w.join();
  for (auto& h : handles) {
    if (KV_HANDLE x = h.exchange(nullptr)) {
      EXPECT_EQ(KV_Device_Release(x), 1);
    }
  }

  // Every worker joined and every connection closed.
  EXPECT_TRUE(wait_until([&] { return count_entries("/proc/self/task") <= threads_before; }))
      << count_entries("/proc/self/task") << " threads, " << threads_before << " before";
  // The simulators close their ends once they see the library's close.
  EXPECT_TRUE(wait_until([&] { return count_entries("/proc/self/fd") <= fds_before; }))
      << count_entries("/proc/self/fd") << " descriptors, " << fds_before << " before";
}

}  // namespace
}  // namespace korvel::test
