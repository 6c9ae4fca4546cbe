// korvel sim and demo: the built-in device simulator, and a tour of the
// library against it.
#include <signal.h>

#include <cstdlib>
#include <memory>

#include <fmt/core.h>

#include "commands.h"
#include "common.h"
#include "korvel/sim/device.h"

namespace cli {

int sim(const SimOptions& o) {
  if (o.address.rfind("127.", 0) != 0)
    return usage_error(fmt::format("--address {}: only loopback addresses (127.0.0.0/8) are "
                                   "served", o.address));
  korvel::sim::Config cfg;
  cfg.model = o.model;
  cfg.address = o.address;
  cfg.cmd_port = o.cmd_port;
  cfg.data_port = o.data_port;
  cfg.fast = o.fast;
  cfg.slots = o.slots;
  // Only the stop signals reach sigwait below, not the simulator's threads.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  korvel::sim::Device device(cfg);
  std::string error;
  if (!device.start(&error)) {
    fmt::print(stderr, "korvel: cannot start the simulator: {}\n", error);
    return kFailed;
  }
  fmt::print("simulated {} on {} (commands {}, data {}); Ctrl-C ends it\n", o.model, o.address,
             o.cmd_port, o.data_port);
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  device.stop();
  fmt::print("simulator stopped\n");
  return kOk;
}

int demo(const std::string& address_given, const std::string& model) {
  std::unique_ptr<korvel::sim::Device> simulated;
  std::string address = address_given;
  if (address.empty()) {
    korvel::sim::Config cfg;
    cfg.address = korvel::sim::unique_loopback_address();
    cfg.model = model;
    simulated = std::make_unique<korvel::sim::Device>(cfg);
    std::string error;
    if (!simulated->start(&error)) {
      fmt::print(stderr, "korvel: cannot start the simulator: {}\n", error);
      return kFailed;
    }
    address = cfg.address;
    fmt::print("== simulated {} on {}\n", model, address);
  }
  char version[16] = {};
  KV_GetSDKVersion(version);
  fmt::print("== korvel {}: opening {}\n", version, address);
  int inputs = 0;
  bool can_log = true;
  {
    Device d(address);
    if (!d) return d.fail("opening the device");
    inputs = d.info().ai;
    can_log = d.info().logs;
    if (int rc = print_info(d)) return rc;
    fmt::print("== one reading of every input\n");
    ReadOptions r;
    r.address = address;
    if (int rc = print_inputs(d, r)) return rc;
  }
  ScanOptions s;
  s.address = address;
  s.rate = 10000;
  s.samples = static_cast<unsigned>(inputs) * 10000;
  fmt::print("== finite scan: {} channels at 10 kHz, {} samples\n", inputs, s.samples);
  if (int rc = scan(s)) return rc;
  if (!can_log) {
    fmt::print("== the device does not log to files: done\n");
    return kOk;
  }
  char folder[] = "/tmp/korvel-demo-XXXXXX";
  if (!mkdtemp(folder)) return kFailed;
  LogOptions l;
  l.address = address;
  l.dir = folder;
  l.rate = 2000;
  l.samples = static_cast<unsigned>(inputs) * 1000;
  fmt::print("== logging {} samples into {}\n", l.samples, folder);
  if (int rc = log(l)) return rc;
  fmt::print("== reading the log back without the device\n");
  return logs(folder);
}

}  // namespace cli
