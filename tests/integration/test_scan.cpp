// High-speed scans end to end: sample-exact data, status bits, device-RAM
// modes, time-outs, events, and the nasty lifecycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/signal.h"
#include "core/registry.h"
#include "model/model.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Lx3100;
using sim::StreamFault;

// Volts of a raw code on a channel, by the library's per-sample conversion
// (checked against the device's tables in test_lx3100_io).
float volts(KV_HANDLE h, int channel, int gain, int16_t raw) {
  float v = 0;
  KV_Calibrate_Data_Float(h, channel, gain, raw, &v);
  return v;
}

// Distinct calibrations make a sample converted with another channel's
// table visible.
void distinct_calibrations(sim::Model& m) {
  auto& s = static_cast<Lx3100&>(m).state();
  for (int c = 0; c < 8; ++c) {
    s.cal_gain[c][0] = static_cast<uint16_t>(20000 + 3000 * c);
    s.cal_offset[c][0] = static_cast<int16_t>(100 * c - 300);
  }
}

TEST(Scan, FiniteScanIsSampleExactInCodesAndVoltsAcrossReadsOfAnySize) {
  OpenDevice d(fast_config(), distinct_calibrations);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 1002, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  // Complete and not yet read: data waiting, thread ended, count reached.
  EXPECT_EQ(wait_status(d.handle, 0x85), 0x85);
  unsigned short status = 0;
  unsigned count = 0;
  KV_GetAIBufferStatus(d.handle, &status, &count);
  // The count ends inside a scan: its last two samples are delivered too.
  EXPECT_EQ(count, 1002u);

  // Raw and volt reads share one position, and every sample keeps its
  // channel's table whatever the read sizes.
  unsigned n = 0;
  std::vector<unsigned> codes(1002);
  std::vector<float> v(1002);
  const unsigned sizes[] = {3, 5, 1, 7, 64, 4, 515, 1000};
  for (unsigned k = 0; k < std::size(sizes); ++k) {
    if (k % 2 == 0) {
      const int got = KV_GetAIBufferHex(d.handle, codes.data(), sizes[k]);
      for (int i = 0; i < got; ++i, ++n)
        ASSERT_EQ(codes[i], static_cast<unsigned>(static_cast<int>(sim::stream_code(4, n)))) << n;
    } else {
      const int got = KV_GetAIBuffer(d.handle, v.data(), sizes[k]);
      for (int i = 0; i < got; ++i, ++n)
        ASSERT_FLOAT_EQ(v[i], volts(d.handle, static_cast<int>(n % 4), 0, sim::stream_code(4, n))) << n;
    }
  }
  EXPECT_EQ(n, 1002u);
  float x = 1;
  EXPECT_EQ(KV_GetAIBuffer(d.handle, &x, 0), 0);  // count 0 consumes nothing

  KV_GetAIBufferStatus(d.handle, &status, &count);
  EXPECT_EQ(status, 0x84);
  EXPECT_EQ(count, 0u);
  unsigned total = 0, st = 0;
  ASSERT_EQ(KV_GetTotalSamplingStatus(d.handle, &total, &st), 1);
  EXPECT_EQ(total, 1002u);
  EXPECT_EQ(st, 0x84u);
  EXPECT_TRUE(d.sim->wait_stream_done(2000));
  const auto stats = d.sim->stream_stats();
  EXPECT_EQ(stats.acked_units, 1002u);
  EXPECT_EQ(stats.ack_mismatches, 0u);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  EXPECT_EQ(d.last_command(), "~01Z");
}

struct RamCase {
  const char* name;
  short channels;
  short mode;
  int rate;
  unsigned count;
  unsigned firmware;
};

class DeviceRam : public ::testing::TestWithParam<RamCase> {};

TEST_P(DeviceRam, WaitsForTheDeviceThenReceivesItsRam) {
  const RamCase& c = GetParam();
  sim::Config cfg = sim_config();
  cfg.firmware = c.firmware;
  OpenDevice d(cfg);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, c.channels, 0, c.mode, c.rate, c.count, 0, 0), 1);
  if (c.mode == 6) {
    char enable[1] = {1};
    float high[1] = {1.0f}, low[1] = {-1.0f};
    ASSERT_EQ(KV_SetAIAnalogTriggerParam(d.handle, 0, enable, high, low, 1, c.count / 4,
                                         c.count - c.count / 4),
              1);
  }
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_EQ(wait_status(d.handle, 0x84, 8000) & 0x8C, 0x84);
  EXPECT_GE(d.sim->count_commands("~01N"), 1u);
  EXPECT_EQ(d.sim->count_commands("~01E"), 1u);
  if (c.mode == 6) {
    EXPECT_EQ(d.sim->count_commands("~01XN"), 1u);
  }
  std::vector<unsigned> buf(c.count + 10);
  ASSERT_EQ(KV_GetAIBufferHex(d.handle, buf.data(), c.count + 10), static_cast<int>(c.count));
  for (unsigned i = 0; i < c.count; ++i)
    ASSERT_EQ(buf[i], static_cast<unsigned>(static_cast<int>(sim::stream_code(c.channels, i)))) << i;
  unsigned total = 0, status = 0;
  KV_GetTotalSamplingStatus(d.handle, &total, &status);
  EXPECT_EQ(total, c.count);
  EXPECT_EQ(static_cast<unsigned>(KVList().find(d.handle).get()->GetDAQSampleCnt()), c.count);
  KV_StopAIScan(d.handle);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DeviceRam,
    ::testing::Values(RamCase{"Mode2", 4, 2, 20000, 4000, 0x312},
                      RamCase{"Mode3TriggerBit", 2, 3, 50000, 3000, 0x312},
                      RamCase{"Mode6AnalogTrigger", 2, 6, 50000, 2000, 0x312},
                      RamCase{"Mode9", 8, 9, 20000, 8000, 0x312},
                      RamCase{"FastMode0GoesThroughRam", 8, 0, 40000, 16000, 0x312},
                      RamCase{"OldFirmwareStatusReply", 4, 2, 20000, 4000, 0x300}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scan, TotalStatusReportsTheDevicesCountBeforeData) {
  OpenDevice d;  // real time, so the RAM phase lasts a while
  // 2000 samples at 5 kHz fill the device's RAM in 400 ms.
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 2, 5000, 2000, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  // Before any data: no status yet, and the count is the device's RAM count,
  // growing.
  unsigned total = 0, status = 9;
  EXPECT_TRUE(wait_until([&] {
    EXPECT_EQ(KV_GetTotalSamplingStatus(d.handle, &total, &status), 1);
    return status != 0 || total > 0;
  }));
  EXPECT_EQ(status, 0u);
  EXPECT_GT(total, 0u);
  EXPECT_LT(total, 2000u);
  EXPECT_EQ(wait_status(d.handle, 0x84, 5000) & 0x84, 0x84);
  KV_StopAIScan(d.handle);
}

TEST(Scan, Mode8CountsBlocksAndKeepsNothing) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 8, 0, 8, 10000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  MODEL* model = KVList().find(d.handle).get();
  ASSERT_TRUE(wait_until(
      [&] { return model->GetTCPReceivedCnt() > 0 && d.sim->stream_stats().units_sent > 100000; }));
  const auto total = static_cast<unsigned>(model->GetTCPReceivedCnt());
  const auto sent = d.sim->stream_stats().units_sent;
  EXPECT_LT(total, sent / 2);  // blocks, not samples
  unsigned short st = 0;
  unsigned count = 9;
  KV_GetAIBufferStatus(d.handle, &st, &count);
  EXPECT_EQ(count, 0u);
  KV_StopAIScan(d.handle);
  EXPECT_EQ(d.sim->stream_stats().ack_mismatches, 0u);
}

TEST(Scan, ReadsAfterStopSeeAnEmptyRing) {
  OpenDevice d(fast_config());
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 100, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x85) & 0x85, 0x85);
  ASSERT_EQ(KV_StopAIScan(d.handle), 1);
  unsigned short status = 0;
  unsigned count = 9;
  KV_GetAIBufferStatus(d.handle, &status, &count);
  EXPECT_EQ(status & 0x01, 0);
  EXPECT_EQ(count, 0u);
  float v[4];
  EXPECT_EQ(KV_GetAIBuffer(d.handle, v, 4), 0);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);  // a stop without a thread is harmless
}

// Checks a stream of samples of `channels` channels, read in any mixture of
// raw and volt reads, against the device's deterministic signal. Units may be
// missing (dropped whole on overrun, or cleared), but every sample present
// must be the one the device sent at that place, on its channel.
class StreamChecker {
 public:
  StreamChecker(OpenDevice& d, unsigned channels, int gain) : channels_(channels), gain_(gain) {
    d.with<Lx3100>([&](Lx3100& m) {
      for (unsigned c = 0; c < channels; ++c) {
        cal_gain_.push_back(m.state().cal_gain[c][gain]);
        cal_offset_.push_back(m.state().cal_offset[c][gain]);
      }
    });
  }
  // One sample read; raw when is_raw, else volts.
  ::testing::AssertionResult add(bool is_raw, double value) {
    unit_.push_back({is_raw, value});
    if (unit_.size() < channels_) return ::testing::AssertionSuccess();
    // A whole unit: the next scan, or a later one after a gap.
    uint64_t s = next_;
    while (!matches(s)) {
      if (++s > next_ + 3000000) {
        std::vector<Sample> u = unit_;
        unit_.clear();
        return ::testing::AssertionFailure()
               << "unit " << checked_ / channels_ << " (" << describe(u)
               << ") matches no scan from " << next_ << " on";
      }
    }
    gaps_ += s != next_;
    next_ = s + 1;
    checked_ += channels_;
    unit_.clear();
    return ::testing::AssertionSuccess();
  }
  // After a clear the next sample starts a unit.
  void cleared() { unit_.clear(); }
  uint64_t checked() const { return checked_; }
  uint64_t gaps() const { return gaps_; }

 private:
  struct Sample {
    bool raw;
    double value;
  };
  static std::string describe(const std::vector<Sample>& u) {
    std::string text;
    for (const Sample& x : u) text += (x.raw ? "raw " : "volts ") + std::to_string(x.value) + " ";
    return text;
  }
  bool matches(uint64_t scan) const {
    for (unsigned c = 0; c < channels_; ++c) {
      const int16_t raw = sim::scan_code(c, scan);
      if (unit_[c].raw) {
        if (unit_[c].value != static_cast<double>(static_cast<int>(raw))) return false;
      } else {
        int code = ((raw * cal_gain_[c]) >> 15) + cal_offset_[c];
        code = std::clamp(code, -32768, 32767);
        const float v = static_cast<float>(code) / (gain_ == 0 ? 6553.6f : 3276.8f);
        if (static_cast<float>(unit_[c].value) != v) return false;
      }
    }
    return true;
  }
  unsigned channels_;
  int gain_;
  std::vector<int> cal_gain_, cal_offset_;
  std::vector<Sample> unit_;
  uint64_t next_ = 0, checked_ = 0, gaps_ = 0;
};

TEST(Scan, AfterOverrunClearAndMixedReadsEverySampleKeepsItsChannelAndValue) {
  // Real time, at the fastest live rate: the ring overruns within seconds,
  // and the gaps it leaves stay small enough to find the stream again.
  OpenDevice d(sim_config(), distinct_calibrations);
  constexpr unsigned kChannels = 3;  // odd: a byte or channel shift shows at once
  ASSERT_EQ(KV_SetAIScanParam(d.handle, kChannels, 0, 1, 80000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x02, 20000) & 0x02, 0x02);  // overrun: units dropped

  StreamChecker check(d, kChannels, 0);
  // Odd sizes, raw and volt reads in turn, and a clear now and then: reads
  // start and end anywhere inside a unit.
  const unsigned sizes[] = {1, 4, 2, 7, 5, 3001, 1, 1, 998};
  std::vector<unsigned> raw(4096);
  std::vector<float> volts_buf(4096);
  ASSERT_TRUE(wait_until([&] {
    for (int round = 0; round < 20; ++round) {
      for (unsigned i = 0; i < std::size(sizes); ++i) {
        const bool as_raw = (round + i) % 2 == 0;
        const int got = as_raw ? KV_GetAIBufferHex(d.handle, raw.data(), sizes[i])
                               : KV_GetAIBuffer(d.handle, volts_buf.data(), sizes[i]);
        for (int k = 0; k < got; ++k) {
          const double v = as_raw ? static_cast<double>(static_cast<int>(raw[k])) : volts_buf[k];
          const auto r = check.add(as_raw, v);
          EXPECT_TRUE(r);
          if (!r) return true;
        }
      }
      if (round % 7 == 6) {
        // Samples are waiting (and the reader is inside a unit): the clear
        // drops them, leaving a gap in the stream.
        wait_until([&] {
          unsigned short st = 0;
          unsigned n = 0;
          KV_GetAIBufferStatus(d.handle, &st, &n);
          return n >= 3000;
        });
        KV_ClearAIBuffer(d.handle);
        check.cleared();
      }
    }
    return check.checked() >= 60000 && check.gaps() >= 2;
  }, 30000));
  EXPECT_GE(check.checked(), 60000u);
  EXPECT_GE(check.gaps(), 2u);
  KV_StopAIScan(d.handle);
}

TEST(Scan, FullRingFlagsTheLossAndRaisesEvent8) {
  OpenDevice d(fast_config());
  EventLog log;
  KV_SetEventCallback(d.handle, 8, 0, &EventLog::record, &log);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 8, 0, 1, 30000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  // The continuous ring holds 730 000 samples; nobody drains it.
  EXPECT_EQ(wait_status(d.handle, 0x02, 10000) & 0x02, 0x02);
  EXPECT_TRUE(log.wait_for(8));
  unsigned short status = 0;
  unsigned count = 0;
  KV_GetAIBufferStatus(d.handle, &status, &count);
  EXPECT_EQ(count, 730000u);
  // What was kept is the start of the stream, whole.
  std::vector<unsigned> buf(count);
  ASSERT_EQ(KV_GetAIBufferHex(d.handle, buf.data(), count), static_cast<int>(count));
  for (unsigned i = 0; i < count; ++i)
    ASSERT_EQ(buf[i], static_cast<unsigned>(static_cast<int>(sim::stream_code(8, i)))) << i;
  KV_StopAIScan(d.handle);
}

TEST(Scan, SplitSamplesAreCountedWhenComplete) {
  OpenDevice d(fast_config());
  // Three-byte pieces split every other sample across two receives.
  d.sim->set_stream_fault(StreamFault{StreamFault::Kind::ShortBlocks, 0, 3});
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 1000, 90, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(wait_status(d.handle, 0x84, 5000) & 0x8C, 0x84);
  std::vector<unsigned> buf(90);
  ASSERT_EQ(KV_GetAIBufferHex(d.handle, buf.data(), 90), 90);
  for (unsigned i = 0; i < 90; ++i)
    ASSERT_EQ(buf[i], static_cast<unsigned>(static_cast<int>(sim::stream_code(3, i)))) << i;
  EXPECT_TRUE(d.sim->wait_stream_done(2000));
  EXPECT_EQ(d.sim->stream_stats().acked_units, 90u);
  EXPECT_EQ(d.sim->stream_stats().ack_mismatches, 0u);
  KV_StopAIScan(d.handle);
}

TEST(Scan, BytesTrailingAStopAreNotTheNextScansFirstSamples) {
  OpenDevice d(fast_config());
  // Three bytes of the stopped stream reach us 2 ms after the stop's reply,
  // as when the device's network held them back.
  d.sim->set_stream_fault(StreamFault{StreamFault::Kind::Trailing, 0, 3, 2});
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_EQ(KV_StopAIScan(d.handle), 1);
  // A run counts only when the simulator sent the bytes on time (a stalled
  // machine may send them late, mixed into the next stream).
  int on_time = 0;
  for (int run = 0; run < 30 && on_time < 3; ++run) {
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    std::vector<unsigned> buf(30);
    unsigned got = 0;
    ASSERT_TRUE(wait_until([&] {
      const int n = KV_GetAIBufferHex(d.handle, buf.data() + got, 30 - got);
      got += n > 0 ? static_cast<unsigned>(n) : 0u;
      return got == 30;
    }, 5000));
    const int64_t delay = d.sim->trailing_delay_ms();
    if (delay >= 0 && delay <= 6) {
      ++on_time;
      for (unsigned i = 0; i < 30; ++i)
        ASSERT_EQ(buf[i], static_cast<unsigned>(static_cast<int>(sim::stream_code(3, i))))
            << "run " << run << " sample " << i;
    }
    ASSERT_EQ(KV_StopAIScan(d.handle), 1);
  }
  EXPECT_EQ(on_time, 3);
}

TEST(Events, DeliveredWithIdsAndValuesOnTheWorkerThread) {
  OpenDevice d(fast_config());
  EventLog log;
  ASSERT_EQ(KV_SetEventCallback(d.handle, 2 | 4, 0, &EventLog::record, &log), 1);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 0, 1000, 2000, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  ASSERT_TRUE(log.wait_for(2));
  KV_StopAIScan(d.handle);
  const auto events = log.take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (std::pair<unsigned short, unsigned>{2, 2000}));
  EXPECT_NE(log.threads[0], std::this_thread::get_id());
}

TEST(Events, MaskNullFunctionAndRemove) {
  OpenDevice d(fast_config());
  EventLog log;
  ASSERT_EQ(KV_SetEventCallback(d.handle, 0, 0, &EventLog::record, &log), 1);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 1, 0, 0, 1000, 10, 0, 0), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  wait_status(d.handle, 0x84);
  KV_StopAIScan(d.handle);
  EXPECT_TRUE(log.take().empty());  // mask 0: no call at all

  // A null function keeps the registered one; mask and user data change.
  ASSERT_EQ(KV_SetEventCallback(d.handle, 2, 0, nullptr, &log), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  EXPECT_TRUE(log.wait_for(2));
  KV_StopAIScan(d.handle);

  ASSERT_EQ(KV_RemoveEventCallback(d.handle, 0), 1);  // whatever the mask
  const auto before = log.take().size();
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  wait_status(d.handle, 0x84);
  KV_StopAIScan(d.handle);
  EXPECT_EQ(log.take().size(), before);
}

TEST(Lifecycle, StopIsPromptWhateverTheWorkerIsWaitingFor) {
  OpenDevice d;
  // Streaming, waiting for data, and polling the device's RAM.
  struct Case {
    short mode;
    int rate;
    unsigned count;
    bool silent;
  };
  MODEL* model = KVList().find(d.handle).get();
  for (Case c : {Case{0, 1000, 0, false}, Case{1, 1000, 0, true}, Case{2, 100, 100000, false}}) {
    ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, c.mode, c.rate, c.count, 0, 0), 1);
    d.sim->set_stream_fault(StreamFault{c.silent ? StreamFault::Kind::Silence : StreamFault::Kind::None, 0});
    d.sim->clear_commands();
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    // The worker is in the wait of its case: receiving, waiting for data
    // that never comes, or between polls of the device's RAM.
    if (c.mode == 0) {
      ASSERT_TRUE(wait_until([&] { return model->GetTCPReceivedCnt() > 0; }));
    } else if (c.mode == 2) {
      ASSERT_TRUE(wait_until([&] { return d.sim->count_commands("~01N") >= 2; }));
    }
    const auto t0 = Clock::now();
    ASSERT_EQ(KV_StopAIScan(d.handle), 1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    // Typically a few milliseconds; without the stop signal these waits last
    // a second or more.
    EXPECT_LT(ms, 900) << "mode " << c.mode;
  }
}

TEST(Lifecycle, DigitalOperationsAreRefusedForTheWholeRun) {
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 8, 0, 0, 30000, 0, 0, 0), 1);
  unsigned di, dout;
  ASSERT_EQ(KV_ReadDIO(d.handle, &di, &dout), 1);
  ASSERT_EQ(KV_StartAIScan(d.handle), 1);
  d.sim->clear_commands();
  // Whether the worker is receiving, waiting or acknowledging at the moment.
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(KV_ReadDIO(d.handle, &di, &dout), 0) << i;
    ASSERT_EQ(last_error(), 0x18011u) << i;
  }
  EXPECT_EQ(d.sim->count_commands("@01"), 0u);
  KV_StopAIScan(d.handle);
  EXPECT_EQ(KV_ReadDIO(d.handle, &di, &dout), 1);  // idle again
  EXPECT_EQ(di, 5u);
}

}  // namespace
}  // namespace korvel::test
