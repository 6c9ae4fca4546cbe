// Sync-in frame scans: definition, commands, and frames field by field in
// the three output shapes.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "drivers/lx3100/sync_in.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/signal.h"
#include "korvel/sim/sync_in.h"
#include "sim_helpers.h"

namespace korvel::test {
namespace {

using sim::Fault;
using sim::Lx3100;

struct SizeCase {
  unsigned header_mode;
  std::vector<std::pair<uint16_t, uint16_t>> items;  // type, size
  uint32_t bytes;
};

class FrameSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FrameSize, HeaderAndItems) {
  SyncInFrameDef def;
  def.FrameHeaderMode = GetParam().header_mode;
  def.FrameItemCount = static_cast<uint32_t>(GetParam().items.size());
  for (std::size_t i = 0; i < GetParam().items.size(); ++i) {
    def.FrameItemType[i] = GetParam().items[i].first;
    def.FrameItemSize[i] = GetParam().items[i].second;
  }
  EXPECT_EQ(def.CalculateTotalSize(), GetParam().bytes);
  EXPECT_EQ(def.GetTotalSize(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameSize,
    ::testing::Values(SizeCase{1, {{0, 4}, {6, 10}}, 14}, SizeCase{0, {{0, 4}, {6, 10}}, 10},
                      SizeCase{2, {}, 4}, SizeCase{3, {{1, 1}}, 6}, SizeCase{4, {{1, 1}}, 2},
                      SizeCase{0, {{2, 3}, {3, 1}, {4, 2}, {5, 1}}, 20},
                      SizeCase{0, {{6, 8}, {7, 9}, {8, 1}}, 4},
                      SizeCase{0, {{9, 2}, {10, 2}, {11, 1}}, 16},
                      SizeCase{0, {{12, 5}, {0, 1}}, 2}));

TEST(SyncInParam, CommandTextAndReadBack) {
  OpenDevice d;
  unsigned short sizes[2] = {4, 10}, types[2] = {0, 5};
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetSyncInScanParam(d.handle, 1, sizes, types, 2, 0, 0), 1);
  // The definition's own CR, then the exchange's: an empty second line.
  EXPECT_EQ(d.sim->commands(), (std::vector<std::string>{"~01SIH1O00T020004050A", ""}));

  unsigned mode = 9, options = 9, spare = 9;
  unsigned short s[7] = {}, t[7] = {}, count = 0;
  ASSERT_EQ(KV_GetSyncInScanParam(d.handle, &mode, s, t, 7, &count, &options, &spare), 1);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(options, 0u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(s[0], 4);
  EXPECT_EQ(t[1], 5);
  EXPECT_EQ(s[1], 10);
  // More items than the caller can take.
  EXPECT_EQ(KV_GetSyncInScanParam(d.handle, &mode, s, t, 1, &count, &options, &spare), 0);
  EXPECT_EQ(last_error(), 0x17009u);
}

TEST(SyncInParam, ChecksComeBeforeTheHandle) {
  unsigned short sizes[8] = {}, types[8] = {};
  EXPECT_EQ(KV_SetSyncInScanParam(nullptr, 0, sizes, types, 8, 0, 0), 0);
  EXPECT_EQ(last_error(), 0x1300Cu);
  unsigned mode = 5, options = 5, spare = 5;
  unsigned short count = 5;
  EXPECT_EQ(KV_GetSyncInScanParam(nullptr, &mode, sizes, types, 8, &count, &options, &spare), 0);
  EXPECT_EQ(last_error(), 0x1300Cu);
  EXPECT_EQ(KV_GetSyncInScanParam(nullptr, &mode, sizes, types, 7, &count, &options, &spare), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
  EXPECT_EQ(mode + options + spare + count, 0u);
}

TEST(SyncInParam, EnablingForcesALiveContinuousScan) {
  OpenDevice d;
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 4, 0, 2, 20000, 1000, 0, 0), 1);
  unsigned short sizes[1] = {4}, types[1] = {0};
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetSyncInScanParam(d.handle, 0, sizes, types, 1, 1, 0), 1);
  EXPECT_EQ(d.sim->commands(),
            (std::vector<std::string>{"~01SIH0O01T010004", "", "~01PG0C4T0M0", "~01R010000",
                                      "~01T0000000000", "~01A0"}));
  // Already in shape: nothing re-sent.
  d.sim->clear_commands();
  ASSERT_EQ(KV_SetSyncInScanParam(d.handle, 0, sizes, types, 1, 1, 0), 1);
  EXPECT_EQ(d.sim->commands().size(), 2u);
}

// A sync-in scan with every item type the device accepts.
class SyncInScan : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = std::make_unique<OpenDevice>();
    def_.header_mode = 1;
    def_.options = 1;
    def_.items = {{0, 2}, {1, 3}, {2, 2}, {3, 1}, {4, 2}, {5, 1}};
    std::vector<unsigned short> sizes, types;
    for (const auto& item : def_.items) {
      types.push_back(static_cast<unsigned short>(item.type));
      sizes.push_back(static_cast<unsigned short>(item.size));
    }
    ASSERT_EQ(KV_SetAIScanParam(dev_->handle, 3, 0, 0, 2000, 0, 0, 0), 1);
    ASSERT_EQ(KV_SetSyncInScanParam(dev_->handle, 1, sizes.data(), types.data(),
                                    static_cast<unsigned short>(types.size()), 1, 0),
              1);
  }
  void TearDown() override { KV_StopAIScan(dev_->handle); }

  unsigned wait_frames(unsigned wanted) {
    unsigned short status = 0;
    unsigned frames = 0;
    wait_until([&] {
      EXPECT_EQ(KV_GetSyncInBufferStatus(dev_->handle, &status, &frames), 1);
      return frames >= wanted;
    }, 5000);
    return frames;
  }
  float volts(int channel, int16_t code) {
    float v = 0;
    KV_Calibrate_Data_Float(dev_->handle, channel, 0, code, &v);
    return v;
  }
  // Reads n frames as flat arrays and checks them against frames first.. of
  // the definition set up here.
  void expect_flat_frames(unsigned first, unsigned n) {
    std::vector<unsigned> header(n), analog(n * 3), wa(n * 2), wb(n);
    ASSERT_EQ(KV_GetSyncInBufferLV(dev_->handle, header.data(), analog.data(), nullptr, nullptr,
                                   wa.data(), wb.data(), nullptr, nullptr, n),
              static_cast<int>(n));
    for (unsigned f = 0; f < n; ++f) {
      const auto expected = sim::sync_in_frame(def_, first + f);
      EXPECT_EQ(header[f], first + f);
      for (int k = 0; k < 3; ++k) EXPECT_EQ(analog[f * 3 + k], u16(expected, 8 + 2 * k)) << f;
      // words_a: type 2 (size 2) then type 4 (size 2) into the same slots.
      EXPECT_EQ(wa[f * 2], u32(expected, 20)) << f;
      EXPECT_EQ(wa[f * 2 + 1], u32(expected, 24)) << f;
      // words_b: type 3 (size 1) then type 5 (size 1).
      EXPECT_EQ(wb[f], u32(expected, 28)) << f;
    }
  }
  static uint16_t u16(const std::vector<uint8_t>& f, std::size_t at) {
    return static_cast<uint16_t>(f[at] | (f[at + 1] << 8));
  }
  static uint32_t u32(const std::vector<uint8_t>& f, std::size_t at) {
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<uint32_t>(f[at + 3]) << 24);
  }

  std::unique_ptr<OpenDevice> dev_;
  sim::SyncInDefinition def_;
};

TEST_F(SyncInScan, FramesArriveFieldByFieldInAllThreeShapes) {
  ASSERT_EQ(def_.frame_bytes(), 32u);
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  ASSERT_GE(wait_frames(60), 60u);
  constexpr unsigned kFrames = 20;
  uint64_t frame = 0;

  // Plain rows: 16-bit items packed.
  {
    unsigned header[kFrames];
    float analog_v[kFrames][3];
    uint16_t words_a[kFrames][4];  // room for type 4: two 32-bit words
    uint16_t words_b[kFrames][2];
    void* analog[kFrames];
    void* wa[kFrames];
    void* wb[kFrames];
    for (unsigned f = 0; f < kFrames; ++f) {
      analog[f] = analog_v[f];
      wa[f] = words_a[f];
      wb[f] = words_b[f];
    }
    ASSERT_EQ(KV_GetSyncInBuffer(dev_->handle, header, analog, nullptr, nullptr, wa, wb, nullptr,
                                 nullptr, kFrames),
              static_cast<int>(kFrames));
    for (unsigned f = 0; f < kFrames; ++f, ++frame) {
      const auto expected = sim::sync_in_frame(def_, frame);
      EXPECT_EQ(header[f], frame);
      // Items sharing an output overwrite each other: type 1 (codes) came
      // after type 0 (volts) into analog, type 4 after type 2 into words_a.
      const auto* codes = reinterpret_cast<const uint16_t*>(analog_v[f]);
      for (int k = 0; k < 3; ++k) EXPECT_EQ(codes[k], u16(expected, 8 + 2 * k)) << f;
      const auto* wa32 = reinterpret_cast<const uint32_t*>(words_a[f]);
      EXPECT_EQ(wa32[0], u32(expected, 20)) << f;
      const auto* wb32 = reinterpret_cast<const uint32_t*>(words_b[f]);
      EXPECT_EQ(wb32[0], u32(expected, 28)) << f;
    }
  }
  // DW rows: words_a receives type 2 and then type 4 (32-bit), so type 4 stays.
  {
    std::vector<uint32_t> words(kFrames * 2);
    void* wa[kFrames];
    for (unsigned f = 0; f < kFrames; ++f) wa[f] = &words[2 * f];
    unsigned header[kFrames];
    ASSERT_EQ(KV_GetSyncInBufferDW(dev_->handle, header, nullptr, nullptr, nullptr, wa, nullptr,
                                   nullptr, nullptr, kFrames),
              static_cast<int>(kFrames));
    for (unsigned f = 0; f < kFrames; ++f, ++frame) {
      const auto expected = sim::sync_in_frame(def_, frame);
      EXPECT_EQ(header[f], frame);
      EXPECT_EQ(words[2 * f], u32(expected, 20));
      EXPECT_EQ(words[2 * f + 1], u32(expected, 24));
    }
  }
  // Flat arrays of 32-bit slots.
  expect_flat_frames(static_cast<unsigned>(frame), kFrames);
}

TEST_F(SyncInScan, ADefinitionReadFromTheDeviceWithBitItems) {
  // Bit items cannot be defined through the library, only read back from a
  // device that holds them.
  def_.header_mode = 2;
  def_.items = {{0, 2}, {3, 2}, {7, 12}};
  dev_->with<Lx3100>([&](Lx3100& m) { m.state().sync_in = def_; });
  unsigned mode = 0, options = 0, spare = 0;
  unsigned short sizes[7], types[7], count = 0;
  ASSERT_EQ(KV_GetSyncInScanParam(dev_->handle, &mode, sizes, types, 7, &count, &options, &spare),
            1);
  ASSERT_EQ(count, 3);
  ASSERT_EQ(types[2], 7);
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  ASSERT_GE(wait_frames(10), 10u);
  constexpr unsigned kFrames = 10;
  float volts_rows[kFrames][2];
  uint32_t words_rows[kFrames][2];
  unsigned char bits_rows[kFrames][2];
  void* analog[kFrames];
  void* wb[kFrames];
  unsigned char* bb[kFrames];
  for (unsigned f = 0; f < kFrames; ++f) {
    analog[f] = volts_rows[f];
    wb[f] = words_rows[f];
    bb[f] = bits_rows[f];
  }
  unsigned header[kFrames];
  ASSERT_EQ(KV_GetSyncInBufferDW(dev_->handle, header, analog, nullptr, bb, nullptr, wb, nullptr,
                                 nullptr, kFrames),
            static_cast<int>(kFrames));
  for (unsigned f = 0; f < kFrames; ++f) {
    const auto expected = sim::sync_in_frame(def_, f);
    EXPECT_EQ(header[f], f);
    for (int k = 0; k < 2; ++k) {
      EXPECT_FLOAT_EQ(volts_rows[f][k], volts(k, static_cast<int16_t>(u16(expected, 4 + 2 * k))));
      EXPECT_EQ(words_rows[f][k], u16(expected, 8 + 2 * k));
    }
    EXPECT_EQ(bits_rows[f][0], expected[12]);
    EXPECT_EQ(bits_rows[f][1], expected[13]);
  }
}

TEST_F(SyncInScan, OnlyWholeFramesAreDelivered) {
  // Frames arrive in 5-byte pieces, so the ring mostly ends inside a frame.
  dev_->sim->set_stream_fault(sim::StreamFault{sim::StreamFault::Kind::ShortBlocks, 0, 5});
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  ASSERT_GE(wait_frames(5), 5u);
  KV_StopAIScan(dev_->handle);  // a new scan starts again at frame 0
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  std::vector<unsigned> header(100000);
  unsigned next = 0;
  for (int round = 0; round < 4; ++round) {
    ASSERT_GE(wait_frames(1), 1u);
    const int got = KV_GetSyncInBufferLV(dev_->handle, header.data(), nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, 100000);
    ASSERT_GT(got, 0);
    ASSERT_LT(got, 100000);
    for (int f = 0; f < got; ++f) ASSERT_EQ(header[f], next + static_cast<unsigned>(f));
    next += static_cast<unsigned>(got);
  }
  EXPECT_EQ(KV_GetSyncInBuffer(dev_->handle, header.data(), nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, 0),
            0);
  EXPECT_EQ(last_error(), 0x1300Cu);
}

TEST_F(SyncInScan, AHugeRequestIsSizedByTheFramesWaiting) {
  using Get = int (*)(KV_HANDLE, unsigned*, unsigned*);
  const std::vector<Get> variants = {
      [](KV_HANDLE h, unsigned* header, unsigned*) {
        return KV_GetSyncInBuffer(h, header, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, UINT_MAX);
      },
      [](KV_HANDLE h, unsigned* header, unsigned*) {
        return KV_GetSyncInBufferDW(h, header, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, UINT_MAX);
      },
      [](KV_HANDLE h, unsigned*, unsigned*) {
        return KV_GetSyncInBufferLV(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, UINT_MAX);
      },
  };
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  unsigned next = 0;
  unsigned one_header = 0;
  for (const Get get : variants) {
    ASSERT_GE(wait_frames(3), 3u);
    // All outputs null: the frames waiting are taken and dropped.
    const int dropped = get(dev_->handle, nullptr, nullptr);
    ASSERT_GE(dropped, 3);
    next += static_cast<unsigned>(dropped);
    ASSERT_GE(wait_frames(1), 1u);
    ASSERT_EQ(KV_GetSyncInBuffer(dev_->handle, &one_header, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, 1),
              1);
    EXPECT_EQ(one_header, next);
    ++next;
  }
}

// A definition that is refused, or read back from a device in a form the
// library cannot hold, changes nothing: frames are still cut and distributed
// by the definition in force.
struct RefusalCase {
  const char* name;
  std::string device_reply;  // "~01SI..." answer the device gives instead (when set)
  std::function<int(KV_HANDLE)> call;
  unsigned error;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

int set_def(KV_HANDLE h, unsigned header_mode, std::vector<unsigned short> types,
            std::vector<unsigned short> sizes) {
  return KV_SetSyncInScanParam(h, header_mode, sizes.data(), types.data(),
                               static_cast<unsigned short>(types.size()), 1, 0);
}

int get_def(KV_HANDLE h, unsigned short max_count) {
  unsigned mode = 0, options = 0, spare = 0;
  unsigned short sizes[7] = {}, types[7] = {}, count = 0;
  return KV_GetSyncInScanParam(h, &mode, sizes, types, max_count, &count, &options, &spare);
}

std::string items(int n, const char* item) {
  std::string s;
  for (int i = 0; i < n; ++i) s += item;
  return s;
}

class RefusedDefinition : public SyncInScan, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedDefinition, LeavesTheFramesAsTheyWere) {
  const RefusalCase& c = GetParam();
  if (!c.device_reply.empty()) dev_->sim->add_fault(Fault::reply("~01SI", c.device_reply));
  dev_->sim->clear_commands();
  KV_SetLastError(0);
  EXPECT_EQ(c.call(dev_->handle), 0);
  EXPECT_EQ(last_error(), c.error);
  // A definition refused by its checks never reaches the device.
  if (c.error == 0x1300C) {
    EXPECT_TRUE(dev_->sim->commands().empty());
  }
  // The device keeps streaming the frames of the definition set up first.
  dev_->with<Lx3100>([&](Lx3100& m) { m.state().sync_in = def_; });

  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  ASSERT_GE(wait_frames(10), 10u);
  expect_flat_frames(0, 10);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedDefinition,
    ::testing::Values(
        RefusalCase{"SetWithAnUnsupportedType", "",
                    [](KV_HANDLE h) {
                      return set_def(h, 1, {1, 1, 1, 1, 1, 1, 9}, {8, 8, 8, 8, 8, 8, 1});
                    },
                    0x1300C},
        RefusalCase{"SetWithABitItem", "",
                    [](KV_HANDLE h) { return set_def(h, 0, {1, 8}, {2, 3}); }, 0x1300C},
        RefusalCase{"SetWithMoreChannelsThanTheDevice", "",
                    [](KV_HANDLE h) { return set_def(h, 1, {1}, {9}); }, 0x1300C},
        RefusalCase{"SetRefusedByTheDevice", "?01",
                    [](KV_HANDLE h) {
                      return set_def(h, 0, {1, 2, 3, 4, 5, 4, 5}, {8, 8, 8, 8, 8, 8, 8});
                    },
                    0x17003},
        RefusalCase{"GetWithMoreItemsThanTheCallerTakes", "!01H0O01T07" + items(7, "0108"),
                    [](KV_HANDLE h) { return get_def(h, 3); }, 0x17009},
        RefusalCase{"GetReporting255Items", "!01H1O01TFF" + items(7, "0108"),
                    [](KV_HANDLE h) { return get_def(h, 7); }, 0x17008},
        RefusalCase{"GetWithAnUnreadableItem", "!01H1O01T07" + items(3, "0108") + "ZZZZ",
                    [](KV_HANDLE h) { return get_def(h, 7); }, 0x17003},
        RefusalCase{"GetWithAnAnalogItemLargerThanTheDevice", "!01H1O01T01" "00C8",
                    [](KV_HANDLE h) { return get_def(h, 7); }, 0x17008}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(SyncInScan, AOneByteReceiveEndsTheScan) {
  dev_->sim->set_stream_fault(sim::StreamFault{sim::StreamFault::Kind::ShortBlocks, 0, 1});
  ASSERT_EQ(KV_StartAIScan(dev_->handle), 1);
  unsigned short status = 0;
  unsigned frames = 0;
  wait_until([&] {
    KV_GetSyncInBufferStatus(dev_->handle, &status, &frames);
    return (status & 0x04) != 0;
  }, 5000);
  EXPECT_EQ(status & 0x0C, 0x04);
}

TEST(SyncIn, DevicesWithoutFramesOrHandles) {
  unsigned short status = 7;
  unsigned frames = 7;
  EXPECT_EQ(KV_GetSyncInBufferStatus(nullptr, &status, &frames), 0);
  EXPECT_EQ(last_error(), 0x1300Au);
  OpenDevice d;
  EXPECT_EQ(KV_GetSyncInBufferStatus(d.handle, &status, &frames), 0);  // nothing defined
  EXPECT_EQ(frames, 7u);
  unsigned header[1];
  EXPECT_EQ(KV_GetSyncInBuffer(d.handle, header, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, 1),
            0);
  EXPECT_EQ(last_error(), 0x17003u);
}

}  // namespace
}  // namespace korvel::test
