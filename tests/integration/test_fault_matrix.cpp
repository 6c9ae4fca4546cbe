// Faults x states x device families, from one table. Every cell injects one
// fault into one state of one device and checks the documented result and
// error code, the status bits and events, that the call returned within the
// time-out that applies, that every sample delivered is the device's own at
// its place, and what the device is good for afterwards.
//
// Run with --markdown to print the table; docs/fault-matrix.md holds it, and
// FaultMatrixDocs checks that it is current.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/registry.h"
#include "fs_helpers.h"
#include "korvel/korvel.h"
#include "korvel/sim/lx3100.h"
#include "korvel/sim/lx3200.h"
#include "korvel/sim/mc.h"
#include "korvel/sim/signal.h"
#include "korvel/sim/sync_in.h"
#include "model/model.h"
#include "sim_helpers.h"

extern char** environ;

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// The table

enum class State { Idle, SinglePoint, Scan, FiniteScan, SyncIn, SlotScan, Logging, Download };
enum class FaultKind { Silence, Late, Split, Garbage, Overlong, DataClosed, Reset, SilenceMidScan, Killed };

const char* name_of(State s) {
  switch (s) {
    case State::Idle: return "Idle";
    case State::SinglePoint: return "SinglePoint";
    case State::Scan: return "Scan";
    case State::FiniteScan: return "FiniteScan";
    case State::SyncIn: return "SyncIn";
    case State::SlotScan: return "SlotScan";
    case State::Logging: return "Logging";
    case State::Download: return "Download";
  }
  return "";
}

const char* name_of(FaultKind f) {
  switch (f) {
    case FaultKind::Silence: return "Silence";
    case FaultKind::Late: return "Late";
    case FaultKind::Split: return "Split";
    case FaultKind::Garbage: return "Garbage";
    case FaultKind::Overlong: return "Overlong";
    case FaultKind::DataClosed: return "DataClosed";
    case FaultKind::Reset: return "Reset";
    case FaultKind::SilenceMidScan: return "SilenceMidScan";
    case FaultKind::Killed: return "Killed";
  }
  return "";
}

// What a cell expects of the call the fault hits.
struct Cell {
  State state;
  FaultKind fault;
  const char* family;
  const char* target;  // what the fault hits
  int result;          // the call's result (1 or 0)
  unsigned error;      // its last error when it failed
  unsigned short status = 0;  // buffer status bits at the end (checked under status_mask)
  unsigned short status_mask = 0;
  unsigned short event = 0;   // event raised (0: none checked)
  const char* after = "";     // what holds afterwards
};

constexpr unsigned kNone = 0;
constexpr unsigned short kEnded = KV_STATUS_ENDED;
constexpr unsigned short kTimedOut = KV_STATUS_ENDED | KV_STATUS_TIMEOUT;

const char* const kLx[] = {"LX3100", "LX3200", "LXR5000"};
const char* const kAll[] = {"LX3100", "LX3200", "LXR5000", "MC610s", "MC620Ws"};

std::vector<Cell> make_cells() {
  std::vector<Cell> cells;
  using F = FaultKind;
  // A command connection reset between commands is replaced by the next one.
  for (const char* f : {"LX3100", "MC620Ws"})
    cells.push_back({State::Idle, F::Reset, f, "command connection, between commands", 1, kNone,
                     0, 0, 0, "next read answered"});
  cells.push_back({State::Idle, F::Killed, "LX3100", "device process, between commands", 0,
                   KV_ERR_RESPONSE, 0, 0, 0, "read fails fast; answered once the device is back"});

  // Single-point reads (KV_ReadAIHEX): the read's reply.
  for (const char* f : kAll) {
    cells.push_back({State::SinglePoint, F::Silence, f, "read reply", 0, KV_ERR_RESPONSE, 0, 0, 0,
                     "next read answered"});
    cells.push_back({State::SinglePoint, F::Late, f, "read reply (stale, arrives later)", 0,
                     KV_ERR_RESPONSE, 0, 0, 0, "next read gets its own reply"});
    cells.push_back({State::SinglePoint, F::Split, f, "read reply (3 pieces)", 1, kNone, 0, 0, 0,
                     "value exact"});
    cells.push_back({State::SinglePoint, F::Garbage, f, "read reply", 0, KV_ERR_RESPONSE, 0, 0, 0,
                     "next read answered"});
    cells.push_back({State::SinglePoint, F::Overlong, f, "read reply (300 hex digits)", 0,
                     KV_ERR_RESPONSE, 0, 0, 0, "next read answered"});
    cells.push_back({State::SinglePoint, F::Reset, f, "command connection, instead of the reply", 0,
                     KV_ERR_RESPONSE, 0, 0, 0, "next read answered"});
  }

  // Continuous scans of the LX families (3 channels: 501 samples are 167 scans).
  for (const char* f : kLx) {
    cells.push_back({State::Scan, F::Silence, f, "start order", 0, KV_ERR_READ_TIMEOUT, 0, 0, 0,
                     "no run left; next scan exact"});
    cells.push_back({State::Scan, F::Late, f, "stop order (stale reply arrives later)", 0,
                     KV_ERR_READ_TIMEOUT, 0, 0, 0, "stopped; next start gets its own reply"});
    cells.push_back({State::Scan, F::Split, f, "start order reply (3 pieces)", 1, kNone, 0, 0, 0,
                     "scan exact"});
    cells.push_back({State::Scan, F::Garbage, f, "start order reply", 0, KV_ERR_RESPONSE, 0, 0, 0,
                     "no run left; next scan exact"});
    cells.push_back({State::Scan, F::Overlong, f, "start order reply", 0, KV_ERR_RESPONSE, 0, 0, 0,
                     "no run left; next scan exact"});
    cells.push_back({State::Scan, F::DataClosed, f, "data connection after 501 samples", 1, kNone,
                     kEnded, kTimedOut, KV_EVENT_RECEIVE_ERROR,
                     "501 samples exact; next scan on a new connection, exact"});
    cells.push_back({State::Scan, F::Reset, f, "data connection after 501 samples", 1, kNone,
                     kEnded, kTimedOut, KV_EVENT_RECEIVE_ERROR,
                     "at most 501 samples, exact; next scan on a new connection, exact"});
  }
  // Only the LX-3100 takes a data time-out base (item 5, index 2); the
  // 24-bit devices scale theirs with the scan: see FiniteScan.
  cells.push_back({State::Scan, F::SilenceMidScan, "LX3100", "data after 201 samples", 1, kNone,
                   kTimedOut, kTimedOut, KV_EVENT_TIMEOUT,
                   "201 samples exact; ends at the 12th time-out of 50 ms"});
  for (const char* f : kLx)
    cells.push_back({State::Scan, F::Killed, f, "device process, mid-scan", 0, KV_ERR_SEND, kEnded,
                     kEnded, KV_EVENT_RECEIVE_ERROR,
                     "samples exact; stop order not sent; next start refused (KV_ERR_OPEN_DEVICE)"});
  // Finite scans of 2000 samples at 100 kHz, cut before their count.
  for (const char* f : kLx) {
    if (std::string(f) != "LXR5000")
      cells.push_back({State::FiniteScan, F::DataClosed, f, "data connection after 501 of 2000", 1,
                       kNone, kEnded, kTimedOut | KV_STATUS_COUNT_REACHED, KV_EVENT_RECEIVE_ERROR,
                       "501 samples exact"});
    cells.push_back({State::FiniteScan, F::SilenceMidScan, f, "data after 201 of 2000", 1, kNone,
                     kTimedOut, kTimedOut | KV_STATUS_COUNT_REACHED, KV_EVENT_TIMEOUT,
                     "201 samples exact"});
  }

  // Sync-in frame scans (frames of 18 bytes, 9 acknowledged words): only
  // whole frames are delivered.
  cells.push_back({State::SyncIn, F::DataClosed, "LX3100", "data connection after 501 words", 1,
                   kNone, kEnded, kTimedOut, KV_EVENT_RECEIVE_ERROR,
                   "the 55 whole frames before it exact; next sync-in scan exact"});
  cells.push_back({State::SyncIn, F::Reset, "LX3100", "data connection after 501 words", 1, kNone,
                   kEnded, kTimedOut, KV_EVENT_RECEIVE_ERROR,
                   "at most 55 frames, exact; next sync-in scan exact"});
  // A sync-in scan has no count to wait for: a silent device ends it
  // quietly at the first expiry, as a finite scan that has all its samples.
  cells.push_back({State::SyncIn, F::SilenceMidScan, "LX3100", "data after 501 words", 1, kNone,
                   kEnded, kTimedOut, 0, "55 frames exact; ends quietly at the first 50 ms expiry"});

  // Slot controllers: scans over several slots, each slot on a connection.
  for (const char* f : {"MC610s", "MC620Ws"}) {
    cells.push_back({State::SlotScan, F::Silence, f, "start order", 0, KV_ERR_READ_TIMEOUT, 0, 0,
                     0, "no run left; next scan exact"});
    cells.push_back({State::SlotScan, F::Late, f, "stop order (stale reply arrives later)", 0,
                     KV_ERR_READ_TIMEOUT, 0, 0, 0, "stopped; next start gets its own reply"});
    cells.push_back({State::SlotScan, F::Garbage, f, "start order reply", 0, KV_ERR_RESPONSE, 0, 0,
                     0, "no run left; next scan exact"});
    cells.push_back({State::SlotScan, F::DataClosed, f, "slot 1's connection", 1, kNone, kEnded,
                     kEnded, 0, "samples before it exact, merged"});
    cells.push_back({State::SlotScan, F::Reset, f, "slot 1's connection", 1, kNone, kEnded, kEnded,
                     0, "samples before it exact, merged"});
  }
  // The MC620Ws's data time-out is fixed at seconds: only the MC610s's
  // scales down far enough to be waited out here.
  cells.push_back({State::SlotScan, F::SilenceMidScan, "MC610s", "slot 1's data after 80", 1, kNone,
                   KV_STATUS_ENDED | KV_STATUS_LOG_TIMEOUT,
                   KV_STATUS_ENDED | KV_STATUS_TIMEOUT | KV_STATUS_LOG_TIMEOUT | KV_STATUS_COUNT_REACHED,
                   0, "the 10 scans slot 1 completed, and slot 0's part of the next"});
  for (const char* f : {"MC610s", "MC620Ws"})
    cells.push_back({State::SlotScan, F::Killed, f, "device process, mid-scan", 0, KV_ERR_SEND,
                     kEnded, kEnded, 0,
                     "samples exact; stop order not sent; next start refused (KV_ERR_OPEN_DEVICE)"});

  // Logging runs (binary files without configuration).
  cells.push_back({State::Logging, F::Silence, "LX3100", "start order", 0, KV_ERR_READ_TIMEOUT, 0,
                   0, 0, "no files; next run exact"});
  cells.push_back({State::Logging, F::SilenceMidScan, "LX3100", "data after 400 samples", 1, kNone,
                   KV_STATUS_LOG_ENDED | KV_STATUS_LOG_TIMEOUT,
                   KV_STATUS_LOG_ENDED | KV_STATUS_LOG_TIMEOUT | KV_STATUS_TIMEOUT, KV_EVENT_TIMEOUT,
                   "file holds the 400 samples"});
  cells.push_back({State::Logging, F::DataClosed, "LX3100", "data connection after 400 samples", 1,
                   kNone, KV_STATUS_LOG_ENDED, KV_STATUS_LOG_ENDED | KV_STATUS_LOG_TIMEOUT,
                   KV_EVENT_RECEIVE_ERROR, "file holds the 400 samples"});

  // SD-card downloads.
  for (const char* f : {"LX3100", "LX3200"}) {
    cells.push_back({State::Download, F::Silence, f, "recording information", 0, KV_ERR_RESPONSE, 0,
                     0, 0, "nothing written; next download exact"});
    cells.push_back({State::Download, F::DataClosed, f, "data connection at half the recording", 1,
                     kNone, KV_STATUS_LOG_ENDED | KV_STATUS_OVERRUN,
                     KV_STATUS_LOG_ENDED | KV_STATUS_OVERRUN | KV_STATUS_COUNT_REACHED, 0,
                     "file holds the samples before the cut"});
  }
  return cells;
}

const std::vector<Cell>& cells() {
  static const std::vector<Cell> all = make_cells();
  return all;
}

std::string cell_name(const Cell& c) {
  return std::string(name_of(c.state)) + "_" + name_of(c.fault) + "_" + c.family;
}
void PrintTo(const Cell& c, std::ostream* os) { *os << cell_name(c); }

std::string hex_text(unsigned v) {
  char t[16];
  std::snprintf(t, sizeof t, "0x%02X", v);
  return t;
}

std::string markdown_table() {
  std::ostringstream out;
  out << "| State | Fault | Family | Fault hits | Result | Error | Status | Event | Afterwards |\n"
      << "|---|---|---|---|---|---|---|---|---|\n";
  for (const Cell& c : cells()) {
    out << "| " << name_of(c.state) << " | " << name_of(c.fault) << " | " << c.family << " | "
        << c.target << " | " << c.result << " | "
        << (c.result ? "-" : KV_ErrorName(c.error)) << " | "
        << (c.status_mask ? hex_text(c.status) + " of " + hex_text(c.status_mask) : "-") << " | "
        << (c.event ? std::to_string(c.event) : "-") << " | " << c.after << " |\n";
  }
  return out.str();
}

// ---------------------------------------------------------------------------
// Helpers

// Margin on top of a time-out for loaded machines and sanitizers.
constexpr int64_t kMarginMs = 4000;
constexpr int kCommandTimeoutMs = 1000;  // the drivers' command time-out

int64_t ms_since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

bool is_slot_family(const std::string& f) { return f == "MC610s" || f == "MC620Ws"; }

sim::Config family_config(const std::string& family, bool fast = true) {
  sim::Config c = fast ? fast_config(family) : sim_config(family);
  if (family == "MC610s") c.slots = "11010000";
  if (family == "MC620Ws") c.slots = "193";
  return c;
}

// Channels a scan of the family uses: all of a controller's, a few of an LX's.
short scan_channels(const std::string& family) {
  if (family == "MC610s") return 24;
  if (family == "MC620Ws") return 32;
  return 3;  // odd: a shifted sample shows at once
}

// Whether a code read from the ring is sample n of a scan of `channels`.
bool sample_is(const std::string& family, unsigned channels, uint64_t n, unsigned code) {
  if (family == "LX3100") return code == static_cast<unsigned>(static_cast<int>(sim::stream_code(channels, n)));
  if (is_slot_family(family))
    return static_cast<int16_t>(code) == sim::slot_code(static_cast<unsigned>(n % channels), n / channels);
  return code == raw24(sim::stream_code24(channels, n));
}

using Events = EventLog;

// Reads the ring of a scan from sample `next` on, checking every sample,
// until want samples were read in all or the deadline passed.
struct RingReader {
  std::string family;
  unsigned channels;
  uint64_t next = 0;
  ::testing::AssertionResult read(KV_HANDLE h, uint64_t want, int timeout_ms = 8000) {
    std::vector<unsigned> buf(8192);
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (next < want) {
      const unsigned ask = static_cast<unsigned>(std::min<uint64_t>(buf.size(), want - next));
      const int got = KV_GetAIBufferHex(h, buf.data(), ask);
      for (int i = 0; i < got; ++i, ++next)
        if (!sample_is(family, channels, next, buf[static_cast<std::size_t>(i)]))
          return ::testing::AssertionFailure() << "sample " << next << " is 0x" << std::hex
                                               << buf[static_cast<std::size_t>(i)];
      if (got > 0) continue;
      if (Clock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ::testing::AssertionSuccess();
  }
  // Everything still waiting in the ring, checked.
  ::testing::AssertionResult drain(KV_HANDLE h) {
    unsigned short status = 0;
    unsigned count = 0;
    KV_GetAIBufferStatus(h, &status, &count);
    return read(h, next + count, 2000);
  }
};

int set_scan(KV_HANDLE h, const std::string& family, unsigned count, int rate = 1000) {
  return KV_SetAIScanParam(h, scan_channels(family), 0, 0, rate, count, 0, 0);
}

// A finite scan runs to its count with every sample in place.
void expect_exact_scan(KV_HANDLE h, const std::string& family, unsigned count) {
  ASSERT_EQ(set_scan(h, family, count), 1) << std::hex << last_error();
  ASSERT_EQ(KV_StartAIScan(h), 1) << std::hex << last_error();
  RingReader r{family, static_cast<unsigned>(scan_channels(family))};
  EXPECT_TRUE(r.read(h, count));
  EXPECT_EQ(r.next, count);
  EXPECT_EQ(KV_StopAIScan(h), 1);
}

// The same reply with every hexadecimal digit changed: well-formed, and
// never the device's answer.
std::string stale_of(const std::string& reply) {
  std::string s = reply;
  for (std::size_t i = 1; i < s.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(s[i]))) s[i] = s[i] == '7' ? '8' : '7';
  return s;
}

// korvel-sim as a process of its own on a loopback address of its own,
// killed when this goes out of scope (also when an assertion failed).
class SimProcess {
 public:
  explicit SimProcess(const std::string& family, const std::string& address = sim::unique_loopback_address())
      : family_(family), address_(address) {}
  ~SimProcess() { kill_now(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts the program and waits (bounded) until it serves its ports.
  ::testing::AssertionResult start() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return ::testing::AssertionFailure() << "pipe";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args = {KORVEL_SIM_PROGRAM, "--model", family_, "--address", address_};
    const sim::Config c = family_config(family_, false);
    if (!c.slots.empty()) args.insert(args.end(), {"--slots", c.slots});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, KORVEL_SIM_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      pid_ = -1;
      return ::testing::AssertionFailure() << "cannot start " << KORVEL_SIM_PROGRAM;
    }
    // It prints its line once every port listens.
    std::string line;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.find(" on " + address_) == std::string::npos)
      return ::testing::AssertionFailure() << "korvel-sim did not come up: '" << line << "'";
    return ::testing::AssertionSuccess();
  }
  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  const std::string& address() const { return address_; }

 private:
  std::string family_;
  std::string address_;
  pid_t pid_ = -1;
};

// A handle released at the end of the scope.
struct Handle {
  KV_HANDLE h = nullptr;
  ~Handle() {
    if (h) KV_Device_Release(h);
  }
};

// ---------------------------------------------------------------------------
// States

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  const Cell& c() const { return GetParam(); }
  void expect_result(int result) {
    EXPECT_EQ(result, c().result);
    if (c().result == 0) {
      EXPECT_EQ(last_error(), c().error) << std::hex << last_error();
    }
  }
  void expect_status(KV_HANDLE h, int timeout_ms) {
    if (!c().status_mask) return;
    const unsigned short want = c().status & (KV_STATUS_ENDED | KV_STATUS_LOG_ENDED);
    const unsigned short status = wait_status(h, want, timeout_ms);
    EXPECT_EQ(status & c().status_mask, c().status) << std::hex << status;
  }
  void expect_event(Events& events) {
    if (!c().event) return;
    EXPECT_TRUE(wait_until([&] { return events.count(c().event) > 0; }, 3000));
    EXPECT_EQ(events.count(c().event), 1);
  }

  void idle();
  void idle_killed();
  void single_point();
  void scan_command();
  void scan_stream();
  void scan_killed();
  void sync_in();
  void logging();
  void download();
};

// The read every family has: channel 0 as a calibrated code.
int read_code(KV_HANDLE h, int* code) { return KV_ReadAIHEX(h, 0, 0, code); }

void FaultMatrix::idle() {
  OpenDevice d(family_config(c().family));
  int before = 0, after = -1;
  ASSERT_EQ(read_code(d.handle, &before), 1);
  d.sim->drop_connections("cmd", true);
  // The reset reaches the library's end of the connection first (a reset
  // arriving during the exchange fails it, as it must).
  const int socket = KVList().find(d.handle)->cmd_socket;
  ASSERT_TRUE(wait_until([&] {
    pollfd p{socket, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }));
  const auto t0 = Clock::now();
  expect_result(read_code(d.handle, &after));
  EXPECT_LT(ms_since(t0), kMarginMs);
  EXPECT_EQ(after, before);
}

void FaultMatrix::idle_killed() {
  SimProcess device(c().family);
  ASSERT_TRUE(device.start());
  Handle d{KV_Device_Create(device.address().c_str())};
  ASSERT_NE(d.h, nullptr) << std::hex << last_error();
  int before = 0, code = -1;
  ASSERT_EQ(read_code(d.h, &before), 1);
  device.kill_now();
  // Nothing listens: the lost connection and the refused new one both fail at once.
  const auto t0 = Clock::now();
  expect_result(read_code(d.h, &code));
  EXPECT_LT(ms_since(t0), kCommandTimeoutMs + kMarginMs);
  EXPECT_EQ(code, 0);
  // Back at the same address: the next read makes a new connection.
  SimProcess again(c().family, device.address());
  ASSERT_TRUE(again.start());
  ASSERT_EQ(read_code(d.h, &code), 1) << std::hex << last_error();
  EXPECT_EQ(code, before);
}

void FaultMatrix::single_point() {
  OpenDevice d(family_config(c().family));
  int before = 0;
  ASSERT_EQ(read_code(d.handle, &before), 1);
  const std::string command = d.last_command();
  ASSERT_FALSE(command.empty());
  char reply[256] = {};
  ASSERT_EQ(KV_SendRecv(d.handle, command.c_str(), reply, 1000), 1);
  switch (c().fault) {
    case FaultKind::Silence: d.sim->add_fault(sim::Fault::no_reply(command)); break;
    case FaultKind::Late: d.sim->add_fault(sim::Fault::late(command).with_text(stale_of(reply))); break;
    case FaultKind::Split: d.sim->add_fault(sim::Fault::split(command, 3, 20)); break;
    case FaultKind::Garbage: d.sim->add_fault(sim::Fault::garbage(command)); break;
    case FaultKind::Overlong: d.sim->add_fault(sim::Fault::overlong(command, 300)); break;
    case FaultKind::Reset: d.sim->add_fault(sim::Fault::reset(command)); break;
    default: FAIL() << "no such cell";
  }
  int code = -1;
  KV_SetLastError(0);
  const auto t0 = Clock::now();
  expect_result(read_code(d.handle, &code));
  const int64_t took = ms_since(t0);
  if (c().fault == FaultKind::Silence || c().fault == FaultKind::Late) {
    EXPECT_GE(took, kCommandTimeoutMs - 20);
  }
  EXPECT_LT(took, kCommandTimeoutMs + kMarginMs);
  EXPECT_EQ(code, c().result ? before : 0);
  // The next read gets its own reply: the device's value, not a stale one.
  int again = -1;
  ASSERT_EQ(read_code(d.handle, &again), 1) << std::hex << last_error();
  EXPECT_EQ(again, before);
  EXPECT_EQ(d.sim->count_commands(command), 4u);
}

// Faults of the start and stop orders.
void FaultMatrix::scan_command() {
  OpenDevice d(family_config(c().family));
  const std::string family = c().family;
  ASSERT_EQ(set_scan(d.handle, family, 0), 1);
  if (c().fault == FaultKind::Late) {
    // The stop order's reply is held back and then sent as a refusal: were
    // it taken for the next start's reply, that start would fail.
    ASSERT_EQ(KV_StartAIScan(d.handle), 1);
    RingReader r{family, static_cast<unsigned>(scan_channels(family))};
    EXPECT_TRUE(r.read(d.handle, 1000));
    d.sim->add_fault(sim::Fault::late("~01Z").with_text("?01"));
    const auto t0 = Clock::now();
    expect_result(KV_StopAIScan(d.handle));
    EXPECT_GE(ms_since(t0), kCommandTimeoutMs - 20);
    EXPECT_LT(ms_since(t0), kCommandTimeoutMs + kMarginMs);
    // Stopped on this side: settings may change, and the next start runs.
    expect_exact_scan(d.handle, family, 2000);
    return;
  }
  switch (c().fault) {
    case FaultKind::Silence: d.sim->add_fault(sim::Fault::no_reply("~01S")); break;
    case FaultKind::Split: d.sim->add_fault(sim::Fault::split("~01S", 3, 20)); break;
    case FaultKind::Garbage: d.sim->add_fault(sim::Fault::garbage("~01S")); break;
    case FaultKind::Overlong: d.sim->add_fault(sim::Fault::overlong("~01S", 300)); break;
    default: FAIL() << "no such cell";
  }
  KV_SetLastError(0);
  const auto t0 = Clock::now();
  const int started = KV_StartAIScan(d.handle);
  const int64_t took = ms_since(t0);
  expect_result(started);
  if (c().fault == FaultKind::Silence) {
    EXPECT_GE(took, kCommandTimeoutMs - 20);
  }
  EXPECT_LT(took, kCommandTimeoutMs + kMarginMs);
  if (started) {
    RingReader r{family, static_cast<unsigned>(scan_channels(family))};
    EXPECT_TRUE(r.read(d.handle, 2000));
    EXPECT_EQ(r.next, 2000u);
    EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  } else {
    // No run was left behind: nothing is acquiring, settings may change.
    unsigned short status = 0;
    unsigned count = 0;
    KV_GetAIBufferStatus(d.handle, &status, &count);
    EXPECT_EQ(count, 0u);
  }
  expect_exact_scan(d.handle, family, 2000);
}

// Faults of the data connections while a scan streams.
void FaultMatrix::scan_stream() {
  const std::string family = c().family;
  const bool slots = c().state == State::SlotScan;
  const bool silence = c().fault == FaultKind::SilenceMidScan;
  sim::Config config = family_config(family);
  unsigned channels = static_cast<unsigned>(scan_channels(family));
  unsigned count = c().state == State::FiniteScan ? 2000 : 0;
  // A finite scan at a high rate: the 24-bit devices' data time-out is
  // then their shortest, 50 ms.
  int rate = count ? 100000 : 1000;
  uint64_t cut = silence ? 201 : 501;  // units of the faulty stream
  uint64_t readable = cut;             // samples the ring gives (at most, after a reset)
  if (slots && silence) {
    // A short scan at a high rate: the controller's data time-out is its
    // shortest, 50 ms. Slot 1 (8 of the 16 channels) stops after 10 scans.
    config.slots = "11000000";
    channels = 16;
    count = 1600;
    rate = 200000;
    cut = 80;
    readable = 16u * 10 + 8;
  } else if (slots) {
    // Slot 1 stops inside its 500th scan at the latest: what is readable
    // ends there.
    const unsigned slot1 = family == "MC610s" ? 8u : static_cast<unsigned>(sim::mc620_card_channels(config.slots[1]));
    cut = 500u * slot1;
    readable = channels * 501u;
  }
  OpenDevice d(config);
  Events events;
  if (!slots) {
    ASSERT_EQ(KV_SetEventCallback(d.handle, 0xFF, 0, &Events::record, &events), 1);
  }
  if (family == "LX3100") {
    ASSERT_EQ(KV_SetConfig(d.handle, 5, 2, 1), 1);  // 50 ms data time-out
  }
  ASSERT_EQ(KV_SetAIScanParam(d.handle, static_cast<short>(channels), 0, 0, rate, count, 0, 0), 1);
  sim::StreamFault fault;
  fault.kind = c().fault == FaultKind::DataClosed ? sim::StreamFault::Kind::Close
               : c().fault == FaultKind::Reset    ? sim::StreamFault::Kind::Reset
                                                  : sim::StreamFault::Kind::Silence;
  fault.after_units = cut;
  d.sim->set_stream_fault(fault, slots ? 1 : -1);
  const auto t0 = Clock::now();
  ASSERT_EQ(KV_StartAIScan(d.handle), 1) << std::hex << last_error();
  // Twelve expiries of 50 ms, or the lost connection at once.
  const int timeout_ms = silence ? 12 * 50 : 0;
  expect_status(d.handle, timeout_ms + 8000);
  const int64_t took = ms_since(t0);
  if (!slots && silence) {
    EXPECT_GE(took, timeout_ms);
  }
  EXPECT_LT(took, timeout_ms + kMarginMs);
  expect_event(events);

  RingReader r{family, channels};
  EXPECT_TRUE(r.drain(d.handle));
  if (c().fault == FaultKind::Reset || (slots && !silence)) {
    EXPECT_LE(r.next, readable);
    EXPECT_GT(r.next, 0u);
  } else {
    EXPECT_EQ(r.next, readable);
  }
  if (family == "LX3100") {
    int base = 0;
    ASSERT_EQ(KV_GetConfig(d.handle, 5, 2, &base), 1);
    EXPECT_EQ(base, 1);
  }
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  if (slots && silence) return;
  // The device is in step again: a new scan is exact.
  d.sim->set_stream_fault(sim::StreamFault{}, -1);
  expect_exact_scan(d.handle, family, channels * 100);
}

void FaultMatrix::scan_killed() {
  const std::string family = c().family;
  const unsigned channels = static_cast<unsigned>(scan_channels(family));
  SimProcess device(family);
  ASSERT_TRUE(device.start());
  Handle d{KV_Device_Create(device.address().c_str())};
  ASSERT_NE(d.h, nullptr) << std::hex << last_error();
  Events events;
  ASSERT_EQ(KV_SetEventCallback(d.h, 0xFF, 0, &Events::record, &events), 1);
  ASSERT_EQ(set_scan(d.h, family, 0, 1000), 1);  // in real time: still streaming when killed
  ASSERT_EQ(KV_StartAIScan(d.h), 1);
  RingReader r{family, channels};
  EXPECT_TRUE(r.read(d.h, channels * 100));
  EXPECT_EQ(r.next, channels * 100);
  device.kill_now();
  const auto t0 = Clock::now();
  expect_status(d.h, 8000);
  EXPECT_LT(ms_since(t0), kMarginMs);
  if (!is_slot_family(family)) expect_event(events);
  EXPECT_TRUE(r.drain(d.h));
  // The stop order cannot reach a device that is gone; stopped all the same.
  const auto t1 = Clock::now();
  expect_result(KV_StopAIScan(d.h));
  EXPECT_LT(ms_since(t1), kCommandTimeoutMs + kMarginMs);
  // No run is in the way, and no data connection is to be had: refused.
  EXPECT_EQ(KV_StartAIScan(d.h), 0);
  EXPECT_EQ(last_error(), KV_ERR_OPEN_DEVICE);
}

void FaultMatrix::sync_in() {
  OpenDevice d(family_config(c().family));
  Events events;
  ASSERT_EQ(KV_SetEventCallback(d.handle, 0xFF, 0, &Events::record, &events), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 5, 2, 1), 1);  // 50 ms data time-out
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 3, 0, 0, 2000, 0, 0, 0), 1);
  sim::SyncInDefinition def;
  def.header_mode = 1;
  def.options = 1;
  def.items = {{1, 3}, {4, 2}};  // three analog codes, two 32-bit words
  const unsigned short sizes[] = {3, 2}, types[] = {1, 4};
  ASSERT_EQ(KV_SetSyncInScanParam(d.handle, 1, sizes, types, 2, 1, 0), 1);
  ASSERT_EQ(def.frame_bytes(), 18u);
  const uint64_t cut = 501;                       // words
  const unsigned whole = cut * 2 / 18;            // frames complete before the cut
  // Every frame waiting, checked against the definition; the frames read.
  auto read_frames = [&](unsigned first, unsigned at_most) -> unsigned {
    std::vector<unsigned> header(at_most), analog(at_most * 3), words(at_most * 2);
    const int got = KV_GetSyncInBufferLV(d.handle, header.data(), analog.data(), nullptr, nullptr,
                                         words.data(), nullptr, nullptr, nullptr, at_most);
    for (int f = 0; f < got; ++f) {
      const auto frame = sim::sync_in_frame(def, first + static_cast<unsigned>(f));
      auto le = [&](std::size_t at, int bytes) {
        unsigned v = 0;
        for (int b = bytes - 1; b >= 0; --b) v = v << 8 | frame[at + static_cast<std::size_t>(b)];
        return v;
      };
      const auto i = static_cast<std::size_t>(f);
      EXPECT_EQ(header[i], first + i);
      for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(analog[i * 3 + k], le(4 + 2 * k, 2)) << f;
      for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(words[i * 2 + k], le(10 + 4 * k, 4)) << f;
    }
    return got > 0 ? static_cast<unsigned>(got) : 0u;
  };
  sim::StreamFault fault;
  fault.kind = c().fault == FaultKind::DataClosed ? sim::StreamFault::Kind::Close
               : c().fault == FaultKind::Reset    ? sim::StreamFault::Kind::Reset
                                                  : sim::StreamFault::Kind::Silence;
  fault.after_units = cut;
  d.sim->set_stream_fault(fault);
  const auto t0 = Clock::now();
  ASSERT_EQ(KV_StartAIScan(d.handle), 1) << std::hex << last_error();
  const int timeout_ms = c().fault == FaultKind::SilenceMidScan ? 50 : 0;
  unsigned short status = 0;
  unsigned frames = 0;
  EXPECT_TRUE(wait_until([&] {
    KV_GetSyncInBufferStatus(d.handle, &status, &frames);
    return (status & KV_STATUS_ENDED) != 0;
  }, timeout_ms + 8000));
  EXPECT_EQ(status & c().status_mask, c().status) << std::hex << status;
  EXPECT_GE(ms_since(t0), timeout_ms);
  EXPECT_LT(ms_since(t0), timeout_ms + kMarginMs);
  expect_event(events);
  const unsigned got = read_frames(0, whole + 8);
  if (c().fault == FaultKind::Reset) {
    EXPECT_LE(got, whole);
  } else {
    EXPECT_EQ(got, whole);
  }
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
  // The device is in step again: a new sync-in scan starts at frame 0, exact.
  d.sim->set_stream_fault(sim::StreamFault{});
  ASSERT_EQ(KV_StartAIScan(d.handle), 1) << std::hex << last_error();
  EXPECT_TRUE(wait_until([&] {
    KV_GetSyncInBufferStatus(d.handle, &status, &frames);
    return frames >= 100;
  }, 8000));
  EXPECT_EQ(read_frames(0, 100), 100u);
  EXPECT_EQ(KV_StopAIScan(d.handle), 1);
}

void FaultMatrix::logging() {
  OpenDevice d(family_config(c().family));
  Events events;
  ASSERT_EQ(KV_SetEventCallback(d.handle, 0xFF, 0, &Events::record, &events), 1);
  ASSERT_EQ(KV_SetAIScanParam(d.handle, 2, 0, 0, 1000, 0, 0, 0), 1);
  ASSERT_EQ(KV_SetConfig(d.handle, 5, 2, 1), 1);
  TempDir dir;
  std::string root = dir.path();
  const uint64_t cut = 400;
  if (c().fault == FaultKind::Silence) {
    d.sim->add_fault(sim::Fault::no_reply("~01S"));
    const auto t0 = Clock::now();
    expect_result(KV_StartLogger(d.handle, root.data(), 1, 4));
    EXPECT_LT(ms_since(t0), kCommandTimeoutMs + kMarginMs);
    EXPECT_TRUE(files_below(root, ".bin").empty());
    d.sim->set_stream_fault(sim::StreamFault{sim::StreamFault::Kind::Silence, cut});
  } else {
    d.sim->set_stream_fault(sim::StreamFault{c().fault == FaultKind::DataClosed
                                                 ? sim::StreamFault::Kind::Close
                                                 : sim::StreamFault::Kind::Silence,
                                             cut});
  }
  const auto t0 = Clock::now();
  ASSERT_EQ(KV_StartLogger(d.handle, root.data(), 1, 4), 1) << std::hex << last_error();
  if (c().fault == FaultKind::Silence) {
    // The next run logs what the device sends, then ends by the time-out.
    EXPECT_EQ(wait_status(d.handle, KV_STATUS_LOG_ENDED) & 0x30, 0x30);
  } else {
    expect_status(d.handle, 8000);
    const int timeout_ms = c().fault == FaultKind::SilenceMidScan ? 12 * 50 : 0;
    EXPECT_GE(ms_since(t0), timeout_ms);
    EXPECT_LT(ms_since(t0), timeout_ms + kMarginMs);
    expect_event(events);
  }
  EXPECT_EQ(KV_StopLogger(d.handle), 1);
  const auto files = files_below(root + "/log", ".bin");
  ASSERT_EQ(files.size(), 1u);
  std::string want(2 * cut, '\0');
  sim::fill_stream(2, 0, cut, want.data());
  EXPECT_EQ(read_file(files[0]), want);
}

sim::SdCard& card_of(sim::Model& m, const std::string& family) {
  if (family == "LX3200") return static_cast<sim::Lx3200&>(m).state().sd;
  return static_cast<sim::Lx3100&>(m).state().sd;
}

void FaultMatrix::download() {
  const std::string family = c().family;
  OpenDevice d(family_config(family));
  TempDir dir;
  const std::string root = dir.path();
  sim::SdRecording rec;
  d.sim->with_model([&](sim::Model& m) { rec = card_of(m, family).recordings.at(0); });
  const unsigned bytes = family == "LX3100" ? 2 : 4;
  auto code = [&](unsigned n) -> unsigned {
    if (family == "LX3100") return static_cast<uint16_t>(sim::stream_code(static_cast<unsigned>(rec.channels), n));
    return raw24(sim::stream_code24(static_cast<unsigned>(rec.channels), n));
  };
  uint64_t cut = rec.samples;
  if (c().fault == FaultKind::Silence) {
    d.sim->add_fault(sim::Fault::no_reply("~01SDI"));
    d.sim->clear_commands();
    const auto t0 = Clock::now();
    expect_result(KV_DownloadSDFile(d.handle, 0, 0, root.c_str(), 0));
    EXPECT_GE(ms_since(t0), kCommandTimeoutMs - 20);
    EXPECT_LT(ms_since(t0), kCommandTimeoutMs + kMarginMs);
    EXPECT_TRUE(files_below(root, "").empty());
    ASSERT_EQ(KV_DownloadSDFile(d.handle, 0, 0, root.c_str(), 0), 1) << std::hex << last_error();
    EXPECT_EQ(wait_status(d.handle, KV_STATUS_LOG_ENDED) & 0x92, 0x90);
  } else {
    cut = rec.samples / 2;
    d.sim->with_model([&](sim::Model& m) {
      card_of(m, family).recordings[0].fault = sim::StreamFault{sim::StreamFault::Kind::Close, cut};
    });
    const auto t0 = Clock::now();
    ASSERT_EQ(KV_DownloadSDFile(d.handle, 0, 0, root.c_str(), 0), 1) << std::hex << last_error();
    expect_status(d.handle, 8000);
    EXPECT_LT(ms_since(t0), kMarginMs);
  }
  EXPECT_EQ(KV_StopLogger(d.handle), 1);
  const auto data = files_below(root + "/log", ".bin");
  ASSERT_EQ(data.size(), 1u);
  const std::string got = read_file(data[0]);
  ASSERT_EQ(got.size(), cut * bytes);
  for (unsigned n = 0; n < cut; ++n) {
    unsigned v = 0;
    std::memcpy(&v, got.data() + bytes * n, bytes);
    ASSERT_EQ(v, code(n)) << n;
  }
}

TEST_P(FaultMatrix, Cell) {
  switch (c().state) {
    case State::Idle:
      if (c().fault == FaultKind::Killed) return idle_killed();
      return idle();
    case State::SinglePoint:
      return single_point();
    case State::Scan:
    case State::FiniteScan:
    case State::SlotScan:
      if (c().fault == FaultKind::Killed) return scan_killed();
      if (c().fault == FaultKind::DataClosed || c().fault == FaultKind::Reset ||
          c().fault == FaultKind::SilenceMidScan)
        return scan_stream();
      return scan_command();
    case State::SyncIn:
      return sync_in();
    case State::Logging:
      return logging();
    case State::Download:
      return download();
  }
}

INSTANTIATE_TEST_SUITE_P(, FaultMatrix, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) { return cell_name(info.param); });

// The table in the docs is the one above.
TEST(FaultMatrixDocs, TableInTheDocsIsCurrent) {
  const std::string doc = read_file(KORVEL_SOURCE_DIR "/docs/fault-matrix.md");
  const std::string begin = "<!-- fault-matrix begin -->\n", end = "<!-- fault-matrix end -->";
  const std::size_t b = doc.find(begin), e = doc.find(end);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(e, std::string::npos);
  EXPECT_EQ(doc.substr(b + begin.size(), e - b - begin.size()), markdown_table())
      << "regenerate it: test_fault_matrix --markdown";
}

}  // namespace
}  // namespace korvel::test

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--markdown") == 0) {
      std::cout << korvel::test::markdown_table();
      return 0;
    }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
