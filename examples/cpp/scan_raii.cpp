// scan_raii: the RAII layer in use; any failure ends up in one catch.
//
//   scan_raii 127.0.0.2
#include <cstdio>

#include "korvel.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  try {
    korvel_cpp::Device device(argv[1]);
    std::printf("%s, AI0 reads %+.4f V\n", device.model().c_str(), device.read(0));
    korvel_cpp::Scan scan(device, 2, 1000, 2000);
    const auto volts = scan.collect(2000, std::chrono::seconds(10));
    std::printf("scanned %zu samples; first scan %+.4f %+.4f V\n", volts.size(),
                volts.size() >= 2 ? volts[0] : 0.0f, volts.size() >= 2 ? volts[1] : 0.0f);
    return volts.size() == 2000 ? 0 : 1;
  } catch (const korvel_cpp::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
