// korvel: command-line access to devices, and a demo against the built-in
// simulator.
#include <korvel/korvel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvel/sim/device.h"

namespace {

int report(const char* what) {
  char message[KV_ERROR_MESSAGE_SIZE];
  const unsigned code = static_cast<unsigned>(KV_GetLastError());
  KV_GetErrorMessage(code, message);
  std::fprintf(stderr, "korvel: %s failed: error 0x%X (%s)\n", what, code, message);
  return 1;
}

// Closes the device when the command ends.
struct Device {
  KV_HANDLE handle = nullptr;
  explicit Device(const std::string& address) : handle(KV_Device_Create(address.c_str())) {}
  ~Device() {
    if (handle) KV_Device_Release(handle);
  }
  explicit operator bool() const { return handle != nullptr; }
};

// What the tool shows of each family.
struct Family {
  const char* name;  // the model name the library reports
  int channels;
  int ranges;
  const char* range_names[10];
  unsigned code_mask;  // the bits of a raw sample
  bool dio;
  bool counters;
  bool encoder;
  bool range_tables;  // calibration per range (else per channel)
  bool slots = false; // a slot controller: cards in slots (MC620Ws: no calibration)
};

const Family kFamilies[] = {
    {"LX-3100", 8, 2, {"+-5 V", "+-10 V"}, 0xFFFF, true, true, false, true},
    {"LX-3200", 4, 10,
     {"+-10 V", "+-5 V", "+-2.5 V", "+-1.25 V", "+-0.625 V", "+-0.3 V", "+-0.15 V", "+-75 mV",
      "+-40 mV", "+-20 mV"},
     0xFFFFFF, true, false, true, true},
    {"LX-R5000", 4, 1, {"+-10 V"}, 0xFFFFFF, false, false, false, false},
    {"MC610s", 8, 2, {"+-5 V", "+-10 V"}, 0xFFFF, false, false, false, true, true},
    {"MC620Ws", 8, 1, {"+-10 V"}, 0xFFFF, false, false, false, false, true},
};

const Family& family_named(const char* name) {
  for (const Family& f : kFamilies)
    if (std::strcmp(f.name, name) == 0) return f;
  return kFamilies[0];
}

const Family& family_of(KV_HANDLE h) {
  char name[32] = {};
  KV_GetModelName(h, name);
  return family_named(name);
}

int print_info(KV_HANDLE h) {
  char text[64];
  KV_GetModelName(h, text);
  std::printf("model      %s\n", text);
  KV_GetFirmwareVersion(h, text);
  std::printf("firmware   %s\n", text);
  KV_GetHWFirmwareVersion(h, text);
  std::printf("hardware   %s\n", text);
  const Family& f = family_of(h);
  if (f.slots) {
    int count = 0;
    char table[8] = {};
    KV_Get_Module_Count(h, &count, table);
    std::printf("slots      %d:", count);
    for (int k = 0; k < count && k < 8; ++k) std::printf(" %d", table[k]);
    std::printf("\n");
    if (!f.range_tables) return 0;  // the cards have no calibration
  }
  if (!f.range_tables) {
    // One range, calibrated per channel: show where each channel's scale ends.
    std::printf("calibration: one range; full scale per channel\n");
    for (int ch = 0; ch < f.channels; ++ch) {
      float top = 0, bottom = 0;
      KV_Calibrate_Data_Float(h, ch, 0, 0x7FFFFF, &top);
      KV_Calibrate_Data_Float(h, ch, 0, 0x800000, &bottom);
      std::printf("  AI%d  %+9.5f .. %+9.5f V\n", ch, bottom, top);
    }
    return 0;
  }
  std::printf("calibration (gain factor/offset) per range\n  range     ");
  for (int ch = 0; ch < f.channels; ++ch) std::printf("  AI%-9d", ch);
  std::printf("\n");
  for (int r = 0; r < f.ranges; ++r) {
    std::printf("  %-10s", f.range_names[r]);
    for (int ch = 0; ch < f.channels; ++ch) {
      unsigned short g = 0;
      short o = 0;
      if (!KV_ReadGainOffset(h, ch, r, &g, &o)) return report("KV_ReadGainOffset");
      std::printf("  %5u/%-6d", g, o);
    }
    std::printf("\n");
  }
  return 0;
}

int print_inputs(KV_HANDLE h) {
  const Family& f = family_of(h);
  float volts[8];
  int codes[8];
  if (!KV_ReadAIALL(h, 0, volts, f.channels)) return report("KV_ReadAIALL");
  if (!KV_ReadAIALLHEX(h, 0, codes, f.channels)) return report("KV_ReadAIALLHEX");
  for (int ch = 0; ch < f.channels; ++ch)
    std::printf("AI%d  %+9.5f V   code %11d\n", ch, volts[ch], codes[ch]);
  if (f.dio) {
    unsigned di = 0, dout = 0;
    if (!KV_ReadDIO(h, &di, &dout)) return report("KV_ReadDIO");
    std::printf("DI   0x%X   DO 0x%X\n", di, dout);
  }
  if (f.counters) {
    unsigned counts[4] = {}, counter = 0;
    if (!KV_GetDICNTAll(h, counts, 4)) return report("KV_GetDICNTAll");
    if (!KV_GetCounter(h, 0, &counter)) return report("KV_GetCounter");
    std::printf("DI counters  %u %u %u %u   counter %u\n", counts[0], counts[1], counts[2],
                counts[3], counter);
  }
  if (f.encoder) {
    unsigned count = 0;
    if (!KV_ReadEncoder(h, 0, &count)) return report("KV_ReadEncoder");
    std::printf("encoder      %u\n", count);
  }
  return 0;
}

// Runs a finite scan, drains it with a progress line and prints per-channel
// minimum, mean and maximum volts.
int run_scan(KV_HANDLE h, short channels, short gain, int rate, unsigned samples) {
  if (!KV_SetAIScanParam(h, channels, gain, 0, rate, samples, 0, 0)) return report("KV_SetAIScanParam");
  if (!KV_StartAIScan(h)) return report("KV_StartAIScan");
  std::vector<double> lo(channels, 1e9), hi(channels, -1e9), sum(channels, 0.0);
  std::vector<float> buf(16384);
  unsigned long long n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const int got = KV_GetAIBuffer(h, buf.data(), static_cast<unsigned>(buf.size()));
    for (int i = 0; i < got; ++i, ++n) {
      const unsigned c = static_cast<unsigned>(n % channels);
      lo[c] = std::min<double>(lo[c], buf[i]);
      hi[c] = std::max<double>(hi[c], buf[i]);
      sum[c] += buf[i];
    }
    unsigned short status = 0;
    unsigned waiting = 0;
    KV_GetAIBufferStatus(h, &status, &waiting);
    if (got > 0 || n == 0) {
      std::printf("\r  received %llu of %u samples (%3.0f %%)", n, samples, 100.0 * n / samples);
      std::fflush(stdout);
    }
    if ((status & KV_STATUS_ENDED) && waiting == 0) {
      if (status & (KV_STATUS_TIMEOUT | KV_STATUS_OVERRUN))
        std::printf("\n  scan ended early (status 0x%02X)", status);
      break;
    }
    if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  KV_StopAIScan(h);
  std::printf("\n  %llu samples in %.2f s\n", n, secs);
  std::printf("  channel      min V     mean V      max V\n");
  const unsigned long long per_channel = n / channels;
  for (short c = 0; c < channels; ++c)
    std::printf("  AI%-5d %10.4f %10.4f %10.4f\n", c, lo[c],
                per_channel ? sum[c] / static_cast<double>(per_channel) : 0.0, hi[c]);
  return n == samples ? 0 : 1;
}

int cmd_scan(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  short channels = 0, gain = 0;
  int rate = 10000, order = 4;
  unsigned samples = 80000;
  float lowpass = 0, highpass = 0;
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    const long v = std::strtol(args[i + 1].c_str(), nullptr, 10);
    if (args[i] == "--channels") channels = static_cast<short>(v);
    else if (args[i] == "--gain") gain = static_cast<short>(v);
    else if (args[i] == "--rate") rate = static_cast<int>(v);
    else if (args[i] == "--samples") samples = static_cast<unsigned>(v);
    else if (args[i] == "--lowpass") lowpass = std::strtof(args[i + 1].c_str(), nullptr);
    else if (args[i] == "--highpass") highpass = std::strtof(args[i + 1].c_str(), nullptr);
    else if (args[i] == "--order") order = static_cast<int>(v);
    else return 2;
  }
  if (args.size() % 2 == 0 || channels < 0 || samples == 0) return 2;
  if ((lowpass > 0 || highpass > 0) && (order <= 0 || order % 4 != 0)) {
    std::fprintf(stderr, "korvel: --order must be a positive multiple of 4 (got %d)\n", order);
    return 2;
  }
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  if (channels == 0) channels = static_cast<short>(family_of(d.handle).channels);
  // Software filters (the LX-R5000 runs them; other devices ignore them).
  for (short c = 0; c < channels && (lowpass > 0 || highpass > 0); ++c) {
    KV_Init_Software_Filter(d.handle, c, order, rate);
    if (lowpass > 0) KV_Set_LowPassFilter(d.handle, c, 1, lowpass);
    else KV_Set_HighPassFilter(d.handle, c, 1, highpass);
  }
  return run_scan(d.handle, channels, gain, rate, samples);
}

// Logs a finite scan below root and waits for the run to end.
int run_log(KV_HANDLE h, const std::string& root, short channels, int rate, unsigned samples,
            int mode) {
  if (!KV_SetAIScanParam(h, channels, 0, 0, rate, samples, 0, 0)) return report("KV_SetAIScanParam");
  std::string folder = root;
  if (!KV_StartLogger(h, folder.data(), 1, mode)) return report("KV_StartLogger");
  unsigned short status = 0;
  unsigned count = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (!(status & KV_STATUS_LOG_ENDED) &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(60)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KV_GetAIBufferStatus(h, &status, &count);
  }
  KV_StopLogger(h);
  std::printf("  logging run ended (status 0x%02X)\n", status);
  return (status & KV_STATUS_COUNT_REACHED) ? 0 : 1;
}

// Lists the binary log files below root and reads every one back.
int read_logs(const std::string& root) {
  std::string folder = root;
  const int files = KV_GetAllLogFiles(folder.data(), 0);
  std::printf("  %d data file(s) below %s\n", files, root.c_str());
  for (int i = 0; i < files; ++i) {
    char path[260];
    KV_HANDLE log = KV_LogFile_Open_byIndex(i, path);
    if (!log) return report("KV_LogFile_Open_byIndex");
    char name[20], date[16], time[32];
    unsigned size = 0, type = 0, reserved = 0, total = 0, rate = 0;
    unsigned short channels = 0, gain = 0, trigger = 0, transfer = 0, sync = 0;
    KV_GetLogFileInfo(log, name, &size, &type, &reserved);
    KV_GetLogFile_AIScanConfigInfo(log, &channels, &gain, &trigger, &rate, &transfer, &sync);
    KV_GetLogFile_AIScanSampleInfo(log, &total, date, time);
    std::printf("  %s\n    %s, %u channels at %u Hz, %u samples, started %s %s\n", path, name,
                channels, rate, total, date, time);
    const unsigned mask = family_named(name).code_mask;
    std::vector<unsigned> codes(total, 0);
    const int got = KV_GetLogFile_AIDataHex(log, 0, total, codes.data());
    std::vector<double> lo(channels, 1e9), hi(channels, -1e9);
    for (int k = 0; k < got && channels; ++k) {
      float v = 0;
      const int c = k % channels;
      KV_Calibrate_Data_Float(log, c, gain, static_cast<int>(codes[k] & mask), &v);
      lo[c] = std::min<double>(lo[c], v);
      hi[c] = std::max<double>(hi[c], v);
    }
    for (unsigned short c = 0; c < channels; ++c)
      std::printf("    AI%-3d %9.4f .. %9.4f V\n", c, lo[c], hi[c]);
    KV_LogFile_Close(log);
  }
  return files > 0 ? 0 : 1;
}

int cmd_log(const std::vector<std::string>& args) {
  if (args.size() != 2 && args.size() != 3) return 2;
  const unsigned samples = args.size() == 3 ? static_cast<unsigned>(std::strtoul(args[2].c_str(), nullptr, 10)) : 8000;
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  return run_log(d.handle, args[1], static_cast<short>(family_of(d.handle).channels), 1000,
                 samples, 0);
}

int cmd_logread(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  return read_logs(args[0]);
}

// Lists the SD card's recordings, or downloads one below a folder.
int cmd_sd(const std::vector<std::string>& args) {
  if (args.size() != 1 && !(args.size() == 4 && args[1] == "--get")) return 2;
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  if (args.size() == 1) {
    unsigned count = 0;
    if (!KV_GetSDAllLogFiles(d.handle, &count)) return report("KV_GetSDAllLogFiles");
    std::printf("%u recording(s)\n", count);
    for (unsigned i = 0; i < count; ++i) {
      unsigned first = 0, samples = 0;
      char time[256];
      if (!KV_GetSDLogFile_Info(d.handle, i, &first, &samples, time))
        return report("KV_GetSDLogFile_Info");
      std::printf("  %u  %10u samples  recorded %s\n", i, samples, time);
    }
    return 0;
  }
  char* end = nullptr;
  const unsigned long index = std::strtoul(args[2].c_str(), &end, 10);
  if (end == args[2].c_str() || *end != '\0') return 2;
  unsigned first = 0, samples = 0;
  char time[256];
  if (!KV_GetSDLogFile_Info(d.handle, static_cast<unsigned>(index), &first, &samples, time))
    return report("KV_GetSDLogFile_Info");
  if (!KV_DownloadSDFile(d.handle, static_cast<unsigned>(index), 0, args[3].c_str(), 0))
    return report("KV_DownloadSDFile");
  unsigned short status = 0;
  unsigned waiting = 0, received = 0, total_status = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (!(status & KV_STATUS_LOG_ENDED) &&
         std::chrono::steady_clock::now() - t0 < std::chrono::seconds(600)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KV_GetAIBufferStatus(d.handle, &status, &waiting);
    KV_GetTotalSamplingStatus(d.handle, &received, &total_status);
    std::fprintf(stderr, "\r  received %u of %u samples", received, samples);
  }
  std::fprintf(stderr, "\n");
  KV_StopLogger(d.handle);
  std::printf("  recording %lu into %s: status 0x%02X\n", index, args[3].c_str(), status);
  return (status & KV_STATUS_COUNT_REACHED) || samples == 0 ? 0 : 1;
}

int cmd_info(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  return print_info(d.handle);
}

int cmd_read(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  return print_inputs(d.handle);
}

int cmd_send(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  Device d(args[0]);
  if (!d) return report("KV_Device_Create");
  char reply[256];
  std::string command = args[1];
  if (!KV_SendRecv(d.handle, command.data(), reply, 1000)) return report("KV_SendRecv");
  std::printf("%s\n", reply);
  return 0;
}

int cmd_demo(const std::vector<std::string>& args) {
  std::string address, model = "LX3100";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--address" && i + 1 < args.size()) address = args[++i];
    else if (args[i] == "--model" && i + 1 < args.size()) model = args[++i];
    else return 2;
  }
  std::unique_ptr<korvel::sim::Device> simulated;
  if (address.empty()) {
    korvel::sim::Config cfg;
    cfg.address = korvel::sim::unique_loopback_address();
    cfg.model = model;
    simulated = std::make_unique<korvel::sim::Device>(cfg);
    std::string error;
    if (!simulated->start(&error)) {
      std::fprintf(stderr, "korvel: cannot start the simulator: %s\n", error.c_str());
      return 1;
    }
    address = cfg.address;
    std::printf("== simulated %s on %s\n", model.c_str(), address.c_str());
  }
  char version[16];
  KV_GetSDKVersion(version);
  std::printf("== korvel %s: opening %s\n", version, address.c_str());
  Device d(address);
  if (!d) return report("KV_Device_Create");
  if (print_info(d.handle)) return 1;
  std::printf("== one reading of every input\n");
  if (print_inputs(d.handle)) return 1;
  const short channels = static_cast<short>(family_of(d.handle).channels);
  std::printf("== finite scan: %d channels at 10 kHz, %d samples\n", channels, channels * 10000);
  if (run_scan(d.handle, channels, 0, 10000, static_cast<unsigned>(channels) * 10000)) return 1;
  char folder[] = "/tmp/korvel-demo-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  std::printf("== logging %d samples into %s\n", channels * 1000, folder);
  if (run_log(d.handle, folder, channels, 2000, static_cast<unsigned>(channels) * 1000, 0))
    return 1;
  std::printf("== reading the log back without the device\n");
  return read_logs(folder);
}

void usage(FILE* out) {
  std::fprintf(out,
               "usage: korvel COMMAND [ARGS]\n"
               "  demo [--address A] [--model M]\n"
               "                         identify, read and scan a device (default: a\n"
               "                         built-in simulated device, M = LX3100, LX3200\n"
               "                         or LXR5000,\n"
               "                         on a loopback address)\n"
               "  info ADDRESS           model, firmware and calibration\n"
               "  read ADDRESS           one reading of every input\n"
               "  scan ADDRESS [--channels N] [--gain G] [--rate HZ] [--samples N]\n"
               "       [--lowpass HZ | --highpass HZ] [--order N]\n"
               "                         a finite scan with per-channel statistics,\n"
               "                         optionally filtered (LX-R5000; order a multiple of 4)\n"
               "  log ADDRESS FOLDER [N] log N samples of every channel at 1 kHz below FOLDER\n"
               "  logread FOLDER         list and read back the binary log files below FOLDER\n"
               "  sd ADDRESS [--get N FOLDER]\n"
               "                         list the SD card's recordings, or download one\n"
               "  send ADDRESS COMMAND   raw command exchange\n"
               "ADDRESS is a.b.c.d[,cmdport[,dataport]].\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    usage(stdout);
    return 0;
  }
  const std::map<std::string, std::function<int(const std::vector<std::string>&)>> commands = {
      {"demo", cmd_demo}, {"info", cmd_info},       {"log", cmd_log},
      {"logread", cmd_logread}, {"read", cmd_read}, {"scan", cmd_scan}, {"sd", cmd_sd},
      {"send", cmd_send}};
  const auto it = commands.find(name);
  if (it == commands.end()) {
    usage(stderr);
    return 2;
  }
  const int rc = it->second(std::vector<std::string>(argv + 2, argv + argc));
  if (rc == 2) usage(stderr);
  return rc;
}
