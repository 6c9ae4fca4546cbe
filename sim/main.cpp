// korvel-sim: runs simulated devices on loopback addresses until interrupted.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "korvel/sim/device.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: korvel-sim [options]\n"
               "  --model NAME       device family to simulate (LX3100, LX3200, LXR5000,\n"
               "                     MC610s, MC620Ws)\n"
               "  --slots TEXT       slot controllers: MC610s presence per physical slot 0..7\n"
               "                     (default 11010000), MC620Ws card codes (default 193)\n"
               "  --address A        loopback address to listen on (default 127.0.0.2)\n"
               "  --id TEXT          id string reported on port 10000 (default: the family's)\n"
               "  --cmd-port N       command port (default 9999)\n"
               "  --data-port N      data port (default 10010; slot k of a controller: N + k)\n"
               "  --firmware V       firmware version, e.g. 0x312\n"
               "  --date TEXT        firmware date text\n"
               "  --fast             stream scans as fast as TCP allows\n"
               "  --in-step          slot controllers: stream the slots evenly, not out of step\n"
               "  -h, --help         this text\n");
}

bool parse_int(const char* s, int* out) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 0);
  if (end == s || *end != '\0' || v < 0 || v > 0xFFFFFF) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  korvel::sim::Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvel-sim: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    int n = 0;
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--model") {
      cfg.model = value("--model");
    } else if (a == "--address") {
      cfg.address = value("--address");
    } else if (a == "--id") {
      cfg.id = value("--id");
    } else if (a == "--cmd-port" && parse_int(value("--cmd-port"), &n)) {
      cfg.cmd_port = n;
    } else if (a == "--data-port" && parse_int(value("--data-port"), &n)) {
      cfg.data_port = n;
    } else if (a == "--firmware" && parse_int(value("--firmware"), &n)) {
      cfg.firmware = static_cast<unsigned>(n);
    } else if (a == "--date") {
      cfg.firmware_date = value("--date");
    } else if (a == "--fast") {
      cfg.fast = true;
    } else if (a == "--slots") {
      cfg.slots = value("--slots");
    } else if (a == "--in-step") {
      cfg.out_of_step = false;
    } else {
      std::fprintf(stderr, "korvel-sim: bad option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (cfg.address.rfind("127.", 0) != 0) {
    std::fprintf(stderr, "korvel-sim: only loopback addresses (127.0.0.0/8) are served\n");
    return 2;
  }

  // Block the stop signals before any thread starts so that only sigwait
  // sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  korvel::sim::Device device(cfg);
  std::string error;
  if (!device.start(&error)) {
    std::fprintf(stderr, "korvel-sim: %s\n", error.c_str());
    return 1;
  }
  std::string data;
  for (int k : device.data_port_offsets())
    data += (data.empty() ? "" : ",") + std::to_string(cfg.data_port + k);
  std::printf("korvel-sim: %s on %s (identification %d, commands %d, data %s)\n",
              cfg.model.c_str(), cfg.address.c_str(), cfg.id_port, cfg.cmd_port, data.c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  device.stop();
  std::printf("korvel-sim: stopped\n");
  return 0;
}
