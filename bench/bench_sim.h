// The benchmarks' simulators: devices in child processes, so that the
// benchmark process's CPU time is the library's alone.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "korvel/sim/device.h"

namespace {

// Simulated devices of one model in a child process; killed when this
// object goes.
struct SimProcess {
  pid_t pid = -1;
  std::string address;  // the first device's
  SimProcess(const std::string& addr, bool fast, const std::string& model = "LX3100")
      : SimProcess(std::vector<std::string>{addr}, fast, model) {}
  SimProcess(const std::vector<std::string>& addresses, bool fast,
             const std::string& model = "LX3100")
      : address(addresses.front()) {
    int ready[2];
    if (pipe(ready) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      std::vector<std::unique_ptr<korvel::sim::Device>> devices;
      char ok = 1;
      for (const std::string& a : addresses) {
        korvel::sim::Config cfg;
        cfg.address = a;
        cfg.fast = fast;
        cfg.model = model;
        devices.push_back(std::make_unique<korvel::sim::Device>(cfg));
        std::string error;
        if (!devices.back()->start(&error)) ok = 0;
      }
      (void)!write(ready[1], &ok, 1);
      if (!ok) _exit(1);
      pause();  // until killed
      _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1 || !ok) {
      std::fprintf(stderr, "simulator did not start\n");
      std::exit(1);
    }
    close(ready[0]);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

}  // namespace
