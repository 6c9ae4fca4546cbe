// korvel info, read, dio, send, sd: single exchanges with a device.
#include <cstdio>
#include <vector>

#include <fmt/core.h>

#include "commands.h"
#include "common.h"

namespace cli {

namespace {

const char* card_name(int id) {
  static const char* const kCards[] = {"none",    "MR-410A", "MR-410B", "LX-6300",
                                       "LX-6400", "MR-420A", "MR-420B"};
  return id >= 0 && id < 7 ? kCards[id] : "?";
}

int print_calibration(const Device& d) {
  const DeviceInfo& f = d.info();
  const KV_HANDLE h = d.handle();
  if (!f.range_tables) {
    // One range, calibrated per channel: show where each channel's scale ends.
    fmt::print("calibration: one range; full scale per channel\n");
    const int top_code = f.sample_bytes == 2 ? 0x7FFF : 0x7FFFFF;
    const int bottom_code = f.sample_bytes == 2 ? 0x8000 : 0x800000;
    for (int ch = 0; ch < f.ai; ++ch) {
      float top = 0, bottom = 0;
      if (!KV_Calibrate_Data_Float(h, ch, 0, top_code, &top) ||
          !KV_Calibrate_Data_Float(h, ch, 0, bottom_code, &bottom)) {
        fmt::print("  (no calibration is kept on the host)\n");
        KV_ClearLastError();
        return kOk;
      }
      fmt::print("  AI{:<3} {:+9.5f} .. {:+9.5f} V\n", ch, bottom, top);
    }
    return kOk;
  }
  fmt::print("calibration (gain factor/offset) per range\n  range     ");
  for (int ch = 0; ch < f.ai; ++ch) fmt::print("  AI{:<10}", ch);
  fmt::print("\n");
  for (int r = 0; r < f.ranges; ++r) {
    fmt::print("  {:<10}", f.range_names[static_cast<std::size_t>(r)]);
    for (int ch = 0; ch < f.ai; ++ch) {
      unsigned short g = 0;
      short o = 0;
      if (!KV_ReadGainOffset(h, ch, r, &g, &o)) return d.fail("KV_ReadGainOffset");
      fmt::print("  {:5}/{:<6}", g, o);
    }
    fmt::print("\n");
  }
  return kOk;
}

}  // namespace

int print_info(const Device& d) {
  const DeviceInfo& f = d.info();
  char text[64] = {};
  fmt::print("model      {}\n", f.model);
  KV_GetFirmwareVersion(d.handle(), text);
  fmt::print("firmware   {}\n", text);
  text[0] = '\0';
  KV_GetHWFirmwareVersion(d.handle(), text);
  fmt::print("hardware   {}\n", text);
  fmt::print("inputs     {} analog ({} range(s), {}-bit codes)", f.ai, f.ranges,
             f.sample_bytes == 2 ? 16 : 24);
  if (f.ao) fmt::print(", {} analog out", f.ao);
  if (f.di || f.dout) fmt::print(", {} DI, {} DO", f.di, f.dout);
  fmt::print("\n");
  if (!f.slots.empty()) {
    fmt::print("slots      {} populated\n", f.slots.size());
    for (std::size_t k = 0; k < f.slots.size(); ++k) {
      if (f.model == "MC620Ws")
        fmt::print("  slot {}  card {} ({})\n", k, f.slots[k], card_name(f.slots[k]));
      else
        fmt::print("  slot {}  {} channels\n", k, f.slots[k]);
    }
  }
  return print_calibration(d);
}

int info(const std::string& address) {
  Device d(address);
  if (!d) return d.fail("opening the device");
  return print_info(d);
}

int print_inputs(const Device& d, const ReadOptions& o) {
  const DeviceInfo& f = d.info();
  const KV_HANDLE h = d.handle();
  if (o.channel >= f.ai)
    return usage_error(fmt::format("--channel {}: the {} has inputs 0..{}", o.channel, f.model,
                                   f.ai - 1));
  if (o.gain >= f.ranges)
    return usage_error(fmt::format("--gain {}: the {} has range codes 0..{}", o.gain, f.model,
                                   f.ranges - 1));
  const int first = o.channel < 0 ? 0 : o.channel;
  const int count = o.channel < 0 ? f.ai : 1;
  std::vector<float> volts(static_cast<std::size_t>(f.ai));
  std::vector<int> codes(static_cast<std::size_t>(f.ai));
  if (o.channel < 0) {
    if (!o.raw && !KV_ReadAIALL(h, o.gain, volts.data(), f.ai)) return d.fail("KV_ReadAIALL");
    if (!KV_ReadAIALLHEX(h, o.gain, codes.data(), f.ai)) return d.fail("KV_ReadAIALLHEX");
  } else {
    if (!o.raw && !KV_ReadAI(h, o.channel, o.gain, &volts[0])) return d.fail("KV_ReadAI");
    if (!KV_ReadAIHEX(h, o.channel, o.gain, &codes[0])) return d.fail("KV_ReadAIHEX");
  }
  for (int i = 0; i < count; ++i) {
    if (o.raw)
      fmt::print("AI{:<3} code {:11}\n", first + i, codes[static_cast<std::size_t>(i)]);
    else
      fmt::print("AI{:<3} {:+10.5f} V   code {:11}\n", first + i, volts[static_cast<std::size_t>(i)],
                 codes[static_cast<std::size_t>(i)]);
  }
  if (o.channel >= 0) return kOk;
  if (f.di || f.dout) {
    unsigned di = 0, dout = 0;
    if (!KV_ReadDIO(h, &di, &dout)) return d.fail("KV_ReadDIO");
    fmt::print("DI    0x{:X}   DO 0x{:X}\n", di, dout);
  }
  if (f.counters) {
    unsigned counts[4] = {}, counter = 0;
    if (!KV_GetDICNTAll(h, counts, 4)) return d.fail("KV_GetDICNTAll");
    if (!KV_GetCounter(h, 0, &counter)) return d.fail("KV_GetCounter");
    fmt::print("DI counters  {} {} {} {}   counter {}\n", counts[0], counts[1], counts[2],
               counts[3], counter);
  }
  if (f.encoder) {
    unsigned count_value = 0;
    if (!KV_ReadEncoder(h, 0, &count_value)) return d.fail("KV_ReadEncoder");
    fmt::print("encoder      {}\n", count_value);
  }
  return kOk;
}

int read(const ReadOptions& o) {
  Device d(o.address);
  if (!d) return d.fail("opening the device");
  return print_inputs(d, o);
}

int dio(const std::string& address, long long set_value) {
  Device d(address);
  if (!d) return d.fail("opening the device");
  const DeviceInfo& f = d.info();
  if (f.di == 0 && f.dout == 0) {
    fmt::print(stderr, "korvel: the {} at {} has no digital I/O\n", f.model, address);
    return kFailed;
  }
  if (set_value >= 0) {
    const long long limit = (1ll << f.dout) - 1;
    if (set_value > limit)
      return usage_error(fmt::format("--set {}: the {} has {} outputs (0..{})", set_value, f.model,
                                     f.dout, limit));
    if (!KV_WriteDO(d.handle(), static_cast<unsigned>(set_value))) return d.fail("KV_WriteDO");
  }
  unsigned di = 0, dout = 0;
  if (!KV_ReadDIO(d.handle(), &di, &dout)) return d.fail("KV_ReadDIO");
  fmt::print("DI 0x{:X}   DO 0x{:X}\n", di, dout);
  return kOk;
}

int send(const std::string& address, const std::string& command) {
  Device d(address);
  if (!d) return d.fail("opening the device");
  char reply[256] = {};
  std::string text = command;
  if (!KV_SendRecv(d.handle(), text.data(), reply, 1000)) return d.fail("KV_SendRecv");
  fmt::print("{}\n", reply);
  return kOk;
}

int sd(const std::string& address, int get_index, const std::string& folder) {
  Device d(address);
  if (!d) return d.fail("opening the device");
  const KV_HANDLE h = d.handle();
  if (get_index < 0) {
    unsigned count = 0;
    if (!KV_GetSDAllLogFiles(h, &count)) return d.fail("KV_GetSDAllLogFiles");
    fmt::print("{} recording(s)\n", count);
    for (unsigned i = 0; i < count; ++i) {
      unsigned first = 0, samples = 0;
      char time[256] = {};
      if (!KV_GetSDLogFile_Info(h, i, &first, &samples, time)) return d.fail("KV_GetSDLogFile_Info");
      fmt::print("  {}  {:10} samples  recorded {}\n", i, samples, time);
    }
    return kOk;
  }
  const auto index = static_cast<unsigned>(get_index);
  unsigned first = 0, samples = 0;
  char time[256] = {};
  if (!KV_GetSDLogFile_Info(h, index, &first, &samples, time)) return d.fail("KV_GetSDLogFile_Info");
  if (!KV_DownloadSDFile(h, index, 0, folder.c_str(), 0)) return d.fail("KV_DownloadSDFile");
  catch_interrupts();
  Progress progress;
  unsigned short status = 0;
  unsigned waiting = 0, received = 0, total_status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (!(status & KV_STATUS_LOG_ENDED) && !g_interrupted &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(600)) {
    nap(50);
    KV_GetAIBufferStatus(h, &status, &waiting);
    KV_GetTotalSamplingStatus(h, &received, &total_status);
    progress.show("  received {} of {} samples", received, samples);
  }
  progress.done();
  KV_StopLogger(h);
  fmt::print("recording {} into {}: {} of {} samples, status 0x{:02X}\n", index, folder, received,
             samples, status);
  return (status & KV_STATUS_COUNT_REACHED) || samples == 0 ? kOk : kFailed;
}

}  // namespace cli
