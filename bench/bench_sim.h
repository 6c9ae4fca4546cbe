// The benchmarks' simulator: a device in a child process, so that the
// benchmark process's CPU time is the library's alone.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "korvel/sim/device.h"

namespace {

// A simulator in a child process; killed when this object goes.
struct SimProcess {
  pid_t pid = -1;
  std::string address;
  SimProcess(const std::string& addr, bool fast, const std::string& model = "LX3100")
      : address(addr) {
    int ready[2];
    if (pipe(ready) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      korvel::sim::Config cfg;
      cfg.address = addr;
      cfg.fast = fast;
      cfg.model = model;
      korvel::sim::Device dev(cfg);
      std::string error;
      const char ok = dev.start(&error) ? 1 : 0;
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
  ~SimProcess() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

}  // namespace
