// Writes the fuzz targets' seed corpora from the simulator: each device
// program is run on its driver against the simulator's command handler, and
// the replies it gave become the seed's replies; the sync-in seeds carry
// the simulator's "~01SI" read-backs, the log-file seeds the configuration
// texts of its SD card recordings.
//
// Usage: korvel_fuzz_seeds <corpus folder>   (writes <folder>/<what>/...)
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver_ops.h"
#include "fake_device.h"
#include "korvel/sim/device.h"
#include "korvel/sim/lx_family.h"

using namespace korvel_fuzz;

namespace {

std::string root;

void put(const std::string& what, const std::string& name, const std::string& bytes) {
  const std::string dir = root + "/" + what;
  mkdir(root.c_str(), 0777);
  mkdir(dir.c_str(), 0777);
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

const char* const kFamilies[] = {"LX3100", "LX3200", "LXR5000", "MC610s", "MC620Ws"};

// Operations of a program, with arguments that select valid channels and
// ranges (a 4 gives channel 0, b 1 gain 0) and never a line end.
std::string program(int family, const std::vector<int>& ops) {
  std::string p(1, static_cast<char>(family));
  for (int op : ops) {
    p.push_back(static_cast<char>(op));
    p.push_back(static_cast<char>(4 + op % 3));
    p.push_back(static_cast<char>(1 + op % 5));
  }
  return p;
}

void device_seeds() {
  const std::vector<std::vector<int>> programs = {
      {0, 2, 3, 4, 5, 32, 36},           // calibration and single-point reads
      {6, 7, 8, 12, 13, 14, 15, 16, 38},  // digital I/O and counters
      {17, 18, 19, 20, 21, 22, 26, 35},   // scan read-back and configuration
      {33, 23, 24, 25, 37, 1},            // RAM status, start time, SD card
      {27, 28, 27, 29, 30, 34, 31, 39},   // sync-in, encoder, output, slots
      {44, 17, 46, 22, 45, 20, 40, 41, 42, 43},  // settings and their read-back
  };
  for (int f = 0; f < 5; ++f) {
    for (std::size_t k = 0; k < programs.size(); ++k) {
      const std::string prog = program(f, programs[k]);
      // The model reads the device's settings (never started: no port is bound).
      korvel::sim::Config config;
      config.model = kFamilies[f];
      korvel::sim::Device host(config);
      std::unique_ptr<korvel::sim::Model> model = korvel::sim::make_model(kFamilies[f]);
      model->attach(&host);
      std::mutex mu;
      std::vector<std::string> replies;
      auto answer = [&](const std::string& line) -> std::optional<std::string> {
        std::optional<std::string> r = model->handle(line);
        std::lock_guard<std::mutex> lock(mu);
        // A silent device would cost a time-out per run: the fuzz fake
        // answers every line, so the seed gives the refusal instead.
        replies.push_back(r ? *r : std::string("?"));
        return replies.back();
      };
      std::vector<std::string> first;
      if (f >= 3) first.push_back(*model->handle("$01C"));
      bool ok = false;
      std::unique_ptr<MODEL> device = make_driver(static_cast<uint8_t>(f), first, &ok);
      if (!ok) continue;
      {
        FakeDevice fake(answer);
        device->cmd_socket = fake.driver_fd();
        if (!finish_connect(*device)) std::fprintf(stderr, "%s: connection refused\n", kFamilies[f]);
        Buffers buf{};
        for (std::size_t i = 1; i + 2 < prog.size(); i += 3)
          run_op(*device, static_cast<uint8_t>(prog[i]), static_cast<uint8_t>(prog[i + 1]),
                 static_cast<uint8_t>(prog[i + 2]), buf);
        device.reset();
      }
      std::string seed = prog;
      for (const std::string& r : first) seed += "\n" + r;
      for (const std::string& r : replies) seed += "\n" + r;
      put("device", std::string(kFamilies[f]) + "-" + std::to_string(k), seed);
    }
  }
}

void reply_seeds() {
  auto model = korvel::sim::make_model("LX3100");
  put("reply", "id", "\x01" "!0" + model->id_string() + "\r");
  put("reply", "firmware", std::string("\x02") + "!01" + "0105 2026/01/01\r");
  const char* commands[] = {"$01M", "~01N", "@01CREC", "$01C"};
  int n = 0;
  for (const char* c : commands) {
    for (const char* fam : kFamilies) {
      korvel::sim::Config config;
      config.model = fam;
      korvel::sim::Device host(config);
      auto m = korvel::sim::make_model(fam);
      m->attach(&host);
      if (auto r = m->handle(c); r && r->size() > 1)
        put("reply", "field-" + std::to_string(n++), std::string("\x00", 1) + *r);
    }
  }
}

void sync_in_seeds() {
  const char* definitions[] = {"~01SIH1O01T020108020F", "~01SIH0O01T03000406100508",
                               "~01SIH3O01T0404040510"};
  int n = 0;
  for (const char* d : definitions) {
    auto model = korvel::sim::make_model("LX3100");
    model->handle(d);
    const std::string reply = *model->handle("~01SI");
    std::string frames;
    for (int i = 0; i < 300; ++i) frames.push_back(static_cast<char>(i * 37 + 11));
    for (char layout : {'\x00', '\x05', '\x42'})
      put("sync_in", "def" + std::to_string(n++), reply + "\n" + layout + '\x07' + frames);
  }
}

void logfile_seeds() {
  int n = 0;
  for (const char* fam : {"LX3100", "LX3200", "LXR5000"}) {
    auto model = korvel::sim::make_model(fam);
    auto* lx = dynamic_cast<korvel::sim::LxModel*>(model.get());
    if (!lx) continue;
    const std::string name = std::string(fam) + "_192_168_0_1_0001_2026_01_02_03_04_05.bin";
    const auto recordings =
        korvel::sim::lx::default_sd_card(8, 1).recordings;
    if (recordings.empty()) continue;
    const std::string config = lx->recording_config(recordings[0]);
    std::string binary;
    for (int i = 0; i < 64; ++i) binary.push_back(static_cast<char>(i * 5));
    std::string text;
    for (int i = 0; i < 6; ++i) text += "0.125,-1.5,3,4e-2,5,6,7,8\r\n";
    put("logfile", std::to_string(n++), std::string("\x00", 1) + config + '\0' + name + '\0' + binary);
    put("logfile", std::to_string(n++), std::string("\x81", 1) + config + '\0' + name + '\0' + text);
  }
}

void ring_seeds() {
  // Capacity, unit, lanes, grain; then writes and reads of assorted sizes.
  put("ring", "plain", std::string("\x01\x00\x07\x00\x00" "\x00\x00\x33" "\x03\x00\x05"
                                   "\x04\x00\x40" "\x00\x01\x10" "\x86\x02\x01" "\x85\x00\x00",
                                   26));
  put("ring", "lanes", std::string("\x00\x80\x0b\x0e\x01" "\x02\x00\x21" "\x0a\x00\x05"
                                   "\x12\x00\x30" "\x03\x01\x00" "\x04\x00\x08" "\x85\x00\x00",
                                   26));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  device_seeds();
  reply_seeds();
  sync_in_seeds();
  logfile_seeds();
  ring_seeds();
  return 0;
}
