// The SD card of the simulated LX devices: the listing replies, the
// configuration text as the library receives and reads it, and the
// recordings' samples on the data port.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "korvel/sim/lx3100.h"
#include "korvel/sim/lx3200.h"
#include "korvel/sim/lxr5000.h"
#include "korvel/sim/signal.h"
#include "logging/log_reader.h"
#include "model/model.h"
#include "net/transport.h"
#include "sim_helpers.h"

namespace korvel {
namespace {

using sim::LxModel;
using sim::LxState;
using sim::SdRecording;
using sim::StreamFault;

struct Family {
  const char* name;    // the simulator's family name
  const char* module;  // the name the configuration text starts with
  int inputs;
  int gain;  // gain code of the default card's last recording
  std::uint32_t sample_bytes;
  void (*fill)(unsigned channels, std::uint64_t first, std::size_t n, char* out);
  std::function<std::unique_ptr<LxModel>()> make;
  std::function<LxState&(LxModel&)> state;
  // Checks that the reader took the device's calibration for the recording.
  std::function<void(LxModel&, const ModelLog&)> expect_calibration;
};
void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

template <class M>
Family family(const char* name, const char* module, int inputs, int gain, std::uint32_t bytes,
              void (*fill)(unsigned, std::uint64_t, std::size_t, char*),
              std::function<void(M&, const ModelLog&)> expect) {
  return {name,
          module,
          inputs,
          gain,
          bytes,
          fill,
          [] { return std::make_unique<M>(); },
          [](LxModel& m) -> LxState& { return static_cast<M&>(m).state(); },
          [expect](LxModel& m, const ModelLog& log) { expect(static_cast<M&>(m), log); }};
}

const Family kFamilies[] = {
    family<sim::Lx3100>("LX3100", "LX-3100", 8, 1, 2, sim::fill_stream,
                        [](sim::Lx3100& m, const ModelLog& log) {
                          for (int c = 0; c < 8; ++c) {
                            EXPECT_EQ(log.gains[c], m.state().cal_gain[c][1]) << c;
                            EXPECT_EQ(log.offsets[c], m.state().cal_offset[c][1]) << c;
                          }
                        }),
    family<sim::Lx3200>("LX3200", "LX-3200", 4, 3, 4, sim::fill_stream24,
                        [](sim::Lx3200& m, const ModelLog& log) {
                          for (int c = 0; c < 4; ++c) {
                            EXPECT_EQ(log.gains[c], m.state().cal_gain[c][3]) << c;
                            EXPECT_EQ(log.offsets[c], m.state().cal_offset[c][3]) << c;
                            EXPECT_EQ(log.ranges[c], std::uint32_t{m.state().full_scale_mv[3]})
                                << c;
                          }
                        }),
    family<sim::Lxr5000>("LXR5000", "LX-R5000", 4, 0, 4, sim::fill_stream24,
                         [](sim::Lxr5000& m, const ModelLog& log) {
                           for (int c = 0; c < 4; ++c) {
                             EXPECT_EQ(log.offsets[c], m.state().offset[c]) << c;
                             EXPECT_EQ(log.ranges[c], std::uint32_t{m.state().full_scale_mv[c]})
                                 << c;
                           }
                         }),
};

class SdModel : public ::testing::TestWithParam<Family> {};

struct Exchange {
  std::string command;
  std::string reply;
};

void expect_replies(LxModel& m, const std::vector<Exchange>& table) {
  for (const Exchange& e : table) EXPECT_EQ(m.handle(e.command), e.reply) << e.command;
}

TEST_P(SdModel, ListingAndRefusals) {
  const Family& f = GetParam();
  auto m = f.make();
  LxState& s = f.state(*m);
  const std::string last_samples = std::to_string(f.inputs * 6000);
  expect_replies(*m, {{"~01SDC", "!013"},
                      {"~01SDI00000000", "!01101:4000:126/10/20-9:15:0:"},
                      {"~01SDI00000001", "!01102:0:126/10/21-13:2:7:"},
                      {"~01SDI00000002", "!01103:" + last_samples + ":126/11/31-23:59:30:"},
                      {"~01SDI00000003", "?"},
                      {"~01SDI0000000", "?"},
                      {"~01SDI000000001", "?"},
                      {"~01SDL000000003", "?"},
                      {"~01SDL00000000", "?"},
                      {"~01SDLA00000000", "?"},
                      {"~01SDX", "?"}});

  // The text of every recording: its own when it has one.
  const std::string trailer = LxModel::kConfigTrailer;
  EXPECT_EQ(m->handle("~01SDL100000000"),
            "!01\n" + m->recording_config(s.sd.recordings[0]) + trailer);
  s.sd.recordings[1].config = "Module Name,Custom\nGain,0\n";
  EXPECT_EQ(m->handle("~01SDL200000001"), "!01\nModule Name,Custom\nGain,0\n" + trailer);

  // While a scan samples only the listing is answered.
  s.sampling = true;
  expect_replies(*m, {{"~01SDC", "!013"},
                      {"~01SDI00000001", "!01102:0:126/10/21-13:2:7:"},
                      {"~01SDL000000000", "?"}});
  s.sampling = false;

  s.sd.recordings.clear();
  expect_replies(*m, {{"~01SDC", "!010"}, {"~01SDI00000000", "?"}, {"~01SDL000000000", "?"}});
}

TEST_P(SdModel, GeneratedTextHasTheLoggersLines) {
  const Family& f = GetParam();
  auto m = f.make();
  const SdRecording r = f.state(*m).sd.recordings[2];
  const std::vector<std::string> lines = test::lines_of(m->recording_config(r));
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], std::string("Module Name,") + f.module);
  EXPECT_EQ(lines[3], "Gain," + std::to_string(f.gain));
  const std::vector<std::string> keys = {"SDKVersion,",   "IP,",           "Channel Count,",
                                         "Sample Rate,",  "Sample Count,", "External Trigger,",
                                         "Transfer Mode,"};
  for (const std::string& key : keys) {
    int found = 0;
    for (const std::string& line : lines) found += line.rfind(key, 0) == 0;
    EXPECT_EQ(found, 1) << key;
  }
  int channel_lines = 0;
  for (const std::string& line : lines) channel_lines += line.rfind("CH", 0) == 0;
  // "CH<c>" and its calibration line each, one line on the LX-R5000.
  EXPECT_EQ(channel_lines, f.inputs * (std::string(f.name) == "LXR5000" ? 1 : 2));
}

// A command connection and a data connection to a simulated device of the
// family.
class SdDevice : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    dev_ = test::start_sim(test::sim_config(GetParam().name));
    const sim::Config& c = dev_->config();
    model_ = std::make_unique<MODEL>(c.address.c_str(), c.cmd_port, c.data_port, QLXMODULE[0]);
    model_->cmd_socket = OpenTcp(c.address.c_str(), c.cmd_port, 1);
    ASSERT_GE(model_->cmd_socket, 0);
    data_ = OpenTcp_DataPort(c.address.c_str(), c.data_port, 1);
    ASSERT_GE(data_, 0);
  }
  void TearDown() override {
    if (model_ && model_->cmd_socket >= 0) CloseTcp(model_->cmd_socket);
    if (data_ >= 0) CloseTcp(data_);
  }

  void with(const std::function<void(LxModel&, LxState&)>& f) {
    dev_->with_model([&](sim::Model& m) {
      auto& lx = static_cast<LxModel&>(m);
      f(lx, GetParam().state(lx));
    });
  }

  // Reads the data port until `bytes` arrived or the device closed it
  // (bounded), acknowledging whole samples as the library does.
  std::string receive(std::size_t bytes, bool* closed = nullptr) {
    const std::uint32_t unit = GetParam().sample_bytes;
    std::string got;
    std::size_t acked = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (got.size() < bytes && std::chrono::steady_clock::now() < end) {
      pollfd p{data_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[8192];
      const ssize_t n = recv(data_, buf, sizeof buf, 0);
      if (n == 0) {
        if (closed) *closed = true;
        break;
      }
      if (n < 0) continue;
      got.append(buf, static_cast<std::size_t>(n));
      const auto units = static_cast<std::uint32_t>((got.size() - acked) / unit);
      if (units == 0) continue;
      const unsigned char ack[4] = {
          static_cast<unsigned char>(units), static_cast<unsigned char>(units >> 8),
          static_cast<unsigned char>(units >> 16), static_cast<unsigned char>(units >> 24)};
      EXPECT_EQ(send(data_, ack, sizeof ack, MSG_NOSIGNAL), 4);
      acked += std::size_t{units} * unit;
    }
    return got;
  }

  std::string signal(std::size_t samples) const {
    std::string out(samples * GetParam().sample_bytes, '\0');
    GetParam().fill(4, 0, samples, out.data());
    return out;
  }

  std::string send_rec2(const char* command) {
    char reply[1024];
    EXPECT_EQ(model_->SendRec2(model_->cmd_socket, command, reply, 1000), 1) << command;
    return reply;
  }

  std::unique_ptr<sim::Device> dev_;
  std::unique_ptr<MODEL> model_;
  int data_ = -1;
};

TEST_P(SdDevice, ConfigurationReadsBackWithTheDeviceCalibration) {
  const Family& f = GetParam();
  std::string text;
  with([&](LxModel& m, LxState& s) {
    s.sd.recordings[2].samples = 0;  // the text alone
    text = m.recording_config(s.sd.recordings[2]);
  });
  const std::string reply = send_rec2("~01SDL100000002");
  ASSERT_EQ(reply, "!01\n" + text);

  test::TempDir dir;
  test::write_file(dir / "config.txt", reply);
  test::write_file(dir / "data.bin", "");
  const auto log =
      OpenConfigAndOpenLogFile((dir / "data.bin").c_str(), (dir / "config.txt").c_str(), 0);
  ASSERT_TRUE(log);
  EXPECT_EQ(std::string(log->module.name), f.module);
  EXPECT_EQ(log->channel_count, f.inputs);
  EXPECT_EQ(log->gain, f.gain);
  EXPECT_EQ(log->sample_count, 0u);
  with([&](LxModel& m, LxState&) { f.expect_calibration(m, *log); });
}

TEST_P(SdDevice, RecordingsStreamOnRequest) {
  const std::size_t unit = GetParam().sample_bytes;
  // The download request: the recording's samples from the first.
  send_rec2("~01SDL000000000");
  EXPECT_EQ(receive(4000 * unit), signal(4000));
  EXPECT_TRUE(dev_->wait_stream_done(8000));

  // An empty recording starts no stream.
  send_rec2("~01SDL000000001");
  const sim::StreamStats after_empty = dev_->stream_stats();
  EXPECT_FALSE(after_empty.active);
  EXPECT_EQ(after_empty.units_sent, 4000u);

  // Unasked, after its information, when the device is told to.
  with([](LxModel&, LxState& s) { s.sd.stream_after_info = true; });
  char reply[kReplyCapacity];
  ASSERT_EQ(model_->SendRec(model_->cmd_socket, "~01SDI00000000", reply, 1000), 1);
  EXPECT_EQ(receive(4000 * unit), signal(4000));
  EXPECT_TRUE(dev_->wait_stream_done(8000));

  // Cut off mid-way: the data connection closes after the samples before.
  with([](LxModel&, LxState& s) {
    s.sd.stream_after_info = false;
    s.sd.recordings[0].fault = StreamFault{StreamFault::Kind::Close, 1000};
  });
  send_rec2("~01SDL000000000");
  bool closed = false;
  EXPECT_EQ(receive(4000 * unit, &closed), signal(1000));
  EXPECT_TRUE(closed);
}

const auto kName = [](const ::testing::TestParamInfo<Family>& info) {
  return std::string(info.param.name);
};
INSTANTIATE_TEST_SUITE_P(Families, SdModel, ::testing::ValuesIn(kFamilies), kName);
INSTANTIATE_TEST_SUITE_P(Families, SdDevice, ::testing::ValuesIn(kFamilies), kName);

}  // namespace
}  // namespace korvel
