#include "common.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <fmt/core.h>

namespace cli {

std::atomic<bool> g_interrupted{false};

namespace {
void on_interrupt(int) { g_interrupted = true; }
}  // namespace

void catch_interrupts() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A reader that went away (korvel scan ... -o - | head) shows as a failed
  // write, which ends the run cleanly, instead of killing the program.
  signal(SIGPIPE, SIG_IGN);
}

void nap(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!g_interrupted && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10)));
}

int report(const std::string& what, const std::string& address) {
  const auto code = static_cast<unsigned>(KV_GetLastError());
  const std::string where = address.empty() ? "" : " (device " + address + ")";
  fmt::print(stderr, "korvel: {} failed{}: error 0x{:05X} {}: {}\n", what, where, code,
             KV_ErrorName(code), KV_ErrorDescription(code));
  return kFailed;
}

int usage_error(const std::string& message) {
  fmt::print(stderr, "korvel: {}\nRun with --help for more information.\n", message);
  return kUsage;
}

std::vector<std::string> range_names(const std::string& model, int ranges) {
  std::vector<std::string> names;
  if (model == "LX-3200") {
    names = {"+-10 V", "+-5 V",  "+-2.5 V", "+-1.25 V", "+-0.625 V",
             "+-0.3 V", "+-0.15 V", "+-75 mV", "+-40 mV", "+-20 mV"};
  } else if (model == "LX-R5000") {
    names = {"+-10 V"};
  } else if (model == "MC620Ws") {
    names = {"+-10 V"};
  } else {
    names = {"+-5 V", "+-10 V"};
  }
  names.resize(static_cast<std::size_t>(std::max(ranges, 1)));
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i].empty()) names[i] = fmt::format("code {}", i);
  return names;
}

Device::Device(std::string address) : address_(std::move(address)) {
  handle_ = KV_Device_Create(address_.c_str());
  if (!handle_) return;
  char name[32] = {};
  KV_GetModelName(handle_, name);
  info_.model = name;
  KV_GetIOCounts(handle_, &info_.ai, &info_.ranges, &info_.ao, &info_.di, &info_.dout,
                 &info_.sample_bytes);
  info_.code_mask = info_.sample_bytes == 2 ? 0xFFFFu : 0xFFFFFFu;
  info_.range_names = range_names(info_.model, info_.ranges);
  info_.counters = info_.model == "LX-3100";
  info_.encoder = info_.model == "LX-3200";
  info_.range_tables = info_.model != "LX-R5000" && info_.model != "MC620Ws";
  info_.logs = info_.model != "MC610s";
  int count = 0;
  char modules[8] = {};
  if (KV_Get_Module_Count(handle_, &count, modules) && count > 0 && count <= 8)
    for (int i = 0; i < count; ++i) info_.slots.push_back(static_cast<unsigned char>(modules[i]));
  KV_ClearLastError();
}

Device::~Device() {
  if (handle_) KV_Device_Release(handle_);
}

Progress::Progress() : tty_(isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { done(); }

void Progress::show_text(const std::string& text) {
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  shown_ = true;
  fmt::print(stderr, "\r{}\x1b[K", text);
  std::fflush(stderr);
}

void Progress::done() {
  if (!shown_) return;
  fmt::print(stderr, "\n");
  shown_ = false;
}

}  // namespace cli
