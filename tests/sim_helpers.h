// Simulated devices for tests: each on a loopback address of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "korvel/sim/device.h"

namespace korvel::test {

inline sim::Config sim_config(const std::string& family = "LX3100") {
  sim::Config c;
  c.model = family;
  c.address = sim::unique_loopback_address();
  return c;
}

// Starts a simulated device or fails the test.
inline std::unique_ptr<sim::Device> start_sim(const sim::Config& config) {
  auto d = std::make_unique<sim::Device>(config);
  std::string error;
  EXPECT_TRUE(d->start(&error)) << error;
  return d;
}

}  // namespace korvel::test
