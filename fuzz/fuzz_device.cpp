// Drivers' command-reply handling: a driver of a fuzz-chosen family runs a
// fuzz-chosen sequence of operations against a fake device that answers
// every command line with the input's replies. Reaches the single-point
// reads, counters, scan read-back, "~01N", "~01SI"/"~01SDI", calibration
// tables, the slot table of the controllers, SD card listings and the
// exchange layer (SendRec/SendRec2, stray bytes, over-long replies).
//
// Input: line 0 is the program: a family byte, then operations of three
// bytes (operation, argument a, argument b). Every further line is one reply.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver_ops.h"
#include "fake_device.h"

using namespace korvel;
using namespace korvel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::vector<std::string> parts = korvel_fuzz::split_input(data, size, kMaxReplies + 1);
  const std::string program = parts[0];
  std::vector<std::string> replies(parts.begin() + 1, parts.end());
  if (program.empty()) return 0;
  const uint8_t family = static_cast<uint8_t>(program[0]);

  bool ok = false;
  std::unique_ptr<MODEL> device = make_driver(family, replies, &ok);
  if (!ok) return 0;
  // The controllers took their first reply as the slot table.
  if (family % 5 >= 3 && !replies.empty()) replies.erase(replies.begin());
  korvel_fuzz::FakeDevice fake(std::move(replies));
  if (fake.driver_fd() < 0) return 0;
  device->cmd_socket = fake.driver_fd();
  if (!finish_connect(*device)) {
    device.reset();
    return 0;
  }

  Buffers buf{};
  for (std::size_t k = 0; k < kMaxOps && 1 + 3 * k + 2 < program.size(); ++k) {
    const auto* p = reinterpret_cast<const uint8_t*>(program.data()) + 1 + 3 * k;
    run_op(*device, p[0], p[1], p[2], buf);
  }
  device.reset();  // closes the driver's end before the fake goes
  return 0;
}
