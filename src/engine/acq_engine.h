// The acquisition engine: one worker thread per device that receives the
// device's data stream, acknowledges every block, hands the bytes to a sink
// (the ring buffer of a scan, or the files of a logging run) and decides
// when the run ends. Every driver and every kind of run (scan, sync-in scan,
// logging) uses this one engine; drivers differ only through AcqHooks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/ring_buffer.h"
#include "engine/stop_signal.h"
#include "net/clock.h"

namespace korvel {

class MODEL;

// The scan as it was configured when the run started.
struct ScanSettings {
  uint32_t channels = 0;
  uint32_t gain = 0;
  uint16_t trigger_mode = 0;
  uint32_t rate = 0;          // samples per second per channel
  uint32_t sample_count = 0;  // over all channels; 0 = continuous
  uint32_t sample_bytes = 2;
  bool continuous() const { return sample_count == 0; }
};

// Download: an SD-card recording the device streams after the request, into
// the logger's files, ending at the recording's sample count (0 included).
enum class RunKind { Scan, SyncIn, Log, Download };

// How the kinds of run differ in the engine's shared loop.
struct RunProfile {
  int data_wait_ms;            // longest wait for data before the time-out check
  uint16_t timeout_status;     // ADStatus bit of a time-out end
  uint16_t end_status;         // ADStatus bit set when the thread leaves
  uint16_t count_event;        // event of a finite run reaching its count
  bool quiet_end_needs_count;  // a quiet time-out end needs a finite run
  bool ram_phase;              // may wait for the device's RAM first
  bool trigger_marks_data;     // triggered RAM phase sets kStatusData (logger)
  int ram_empty_sleep_cap_ms;  // modes 2 and 5 before the device has samples
  uint32_t ack_unit;           // bytes per acknowledged unit (0: sample bytes)
  uint32_t min_block;          // smaller receives are errors
  bool never_completes_in_mode7;
  bool always_counted;         // ends at its count even when the count is 0
  bool loss_marks_overrun;     // a lost connection marks the run's data lost (0x02)
  static RunProfile of(RunKind kind);
};

// Blocks of at most this many bytes are received (twenty TCP segments).
inline constexpr uint32_t kReceiveBlock = 29200;
// Below this many samples still due, a receive asks for exactly what is due.
inline constexpr uint32_t kReceiveTailSamples = 1459;

// One data connection of a run. A device with several (a controller's
// slots) streams its share of every scan on each; the engine serves them
// from its one worker, each with its own count and acknowledgements.
struct DataLink {
  int socket = -1;
  uint32_t target = 0;  // samples it delivers in a finite run
};

// How a connection's receives are sized: `block` bytes (at most
// kReceiveBlock), or exactly what is due once at most `tail_samples`
// samples remain in a finite run whose receives are limited.
struct ReceivePlan {
  uint32_t block = kReceiveBlock;
  uint32_t tail_samples = kReceiveTailSamples;
};

// Device-specific answers the engine needs. Called on the worker thread
// (ram_status, transmit, trigger_index: command exchanges; the device's
// command lock is taken inside them) unless noted.
class AcqHooks {
 public:
  virtual ~AcqHooks() = default;
  // Whether the run waits for the device's RAM before streaming.
  virtual bool needs_ram_phase(const ScanSettings& s) const = 0;
  // Whether receives are cut to the samples still due.
  virtual bool limits_receive(const ScanSettings& s, RunKind kind) const = 0;
  // The device RAM's sample count and status ("~01N").
  virtual bool ram_status(uint32_t* count, uint32_t* status) = 0;
  // Orders the transfer of the device RAM ("~01E").
  virtual bool transmit() = 0;
  // Reads the analog trigger's index from the device; its value.
  virtual uint32_t trigger_index() = 0;
  virtual uint32_t post_trigger_count() const = 0;
  // Receive sizes of data connection `link`.
  virtual ReceivePlan receive_plan(const ScanSettings&, RunKind, uint32_t /*link*/) const {
    return {};
  }
  // Whether the data time-out applies, given the samples received so far.
  // Default: always, except scans in trigger modes 1 and 7 (they wait for
  // their trigger without limit).
  virtual bool data_timeout_applies(const ScanSettings& s, RunKind kind, uint32_t received) const;
  // A driver's own rule for a finite run's end by count; nullopt: the
  // engine's (the count reached; mode 6 the trigger window; mode 7 never).
  virtual std::optional<bool> count_complete(const ScanSettings&, RunKind, uint32_t /*received*/) {
    return std::nullopt;
  }
  // The run ended by the data time-out: quietly (all it was due had
  // arrived) or as a time-out.
  virtual void timed_out(bool /*quiet*/) {}
  // A device's own variations of a kind of run (e.g. the status bit a
  // time-out end sets, or records instead of samples as the unit of counts
  // and acknowledgements), applied when the run starts.
  virtual void adjust_profile(RunKind, const ScanSettings&, RunProfile&) const {}
};

// Where received bytes go. Called on the worker thread.
class RunSink {
 public:
  virtual ~RunSink() = default;
  // The first data of the run arrived (before it is stored).
  virtual void first_data() {}
  // Stores one block received on data connection `link` (the index in the
  // run's DataLink list); false ends the run (data could not be kept).
  virtual bool store(uint32_t link, const char* data, uint32_t bytes) = 0;
  // Space to receive the next block of up to `wanted` bytes of `link` into
  // directly, saving a copy; null to receive into the engine's buffer and
  // store().
  virtual char* direct_space(uint32_t /*link*/, uint32_t /*wanted*/) { return nullptr; }
  // Keeps a block received into direct_space.
  virtual bool commit_direct(uint32_t /*link*/, uint32_t /*bytes*/) { return true; }
  // The run ended, for whatever reason.
  virtual void finish() {}
};

class AcqEngine {
 public:
  using EventFunction = void (*)(void* handle, unsigned short event, unsigned int value,
                                 void* user);

  AcqEngine(MODEL& device, AcqHooks& hooks);
  ~AcqEngine();
  AcqEngine(const AcqEngine&) = delete;
  AcqEngine& operator=(const AcqEngine&) = delete;

  // Application thread, under the device's lifecycle lock (start and stop
  // are never concurrent). Drops what the data connection holds from an
  // earlier run (drain(); a download has its data requested before the
  // start, so the driver drains first instead). Resets the run state and
  // starts the worker; the
  // device reads as sampling from here until the worker ends. False when a
  // run exists already (until stop()) or the thread cannot be created.
  bool start(RunKind kind, const ScanSettings& settings, uint32_t timeout_base, int data_socket,
             RunSink* sink);
  // A run on several data connections (at least one). A finite run
  // completes when the connections' received samples together reach the
  // settings' count (or the hooks' rule); each connection's receives are
  // limited by its own target.
  bool start(RunKind kind, const ScanSettings& settings, uint32_t timeout_base,
             std::vector<DataLink> links, RunSink* sink);
  // Application thread, under the lifecycle lock: asks the worker to stop,
  // joins it; the run no longer exists. Prompt: every wait of the worker
  // ends when asked. Never called on the worker itself.
  void stop();
  // Asks the worker to stop without waiting for it.
  void request_stop();
  // Drops what the data connection holds from an earlier run: after a run
  // cut short, waits until it has been quiet for 10 ms since the stop (at
  // most 0.2 s), since bytes trailing a stop can arrive after its reply.
  void drain(int data_socket);
  void drain(const std::vector<DataLink>& links);
  RunKind kind() const { return kind_; }
  // A run exists: started and not yet stopped (its worker may have ended).
  bool run_exists() const { return run_exists_.load(std::memory_order_acquire); }
  bool running() const { return running_.load(std::memory_order_acquire); }
  bool on_worker_thread() const;

  RingBuffer& ring() { return ring_; }
  const ScanSettings& settings() const { return settings_; }
  // Samples received in the run, over all its connections.
  uint32_t received() const { return received_.load(std::memory_order_relaxed); }
  void set_received(uint32_t v) { received_.store(v, std::memory_order_relaxed); }
  uint32_t device_count() const { return device_count_.load(std::memory_order_relaxed); }
  void set_device_count(uint32_t v) { device_count_.store(v, std::memory_order_relaxed); }
  uint32_t timeout_base() const { return timeout_base_.load(std::memory_order_relaxed); }

  // Event registration (any thread) and delivery (worker thread). The
  // function runs without any lock of the library held.
  void set_events(unsigned short mask, EventFunction function, void* user);
  void clear_events();
  void raise(unsigned short event, unsigned int value = 0);

  // Milliseconds since the run's first data (or since the last file split).
  TimeData& start_timer() { return start_timer_; }

 private:
  void run();
  void ram_phase();
  bool check_trigger_status(uint32_t status);
  uint32_t check_trigger_timeout(uint32_t ms_per_sample, uint64_t expected_ms, uint32_t previous);
  // True when the run received all it was due.
  bool stream();
  // One receive on link i; false when the run ends on it (complete or not:
  // *complete tells).
  bool receive_on(uint32_t i, bool* complete);
  uint32_t receive_size(uint32_t i) const;
  void after_receive(uint32_t i, uint32_t bytes, bool direct);
  bool reach_count();
  void receive_timeout();
  // One expiry of the data time-out: counted, and the twelfth ends the run.
  void expire();
  void end_with_timeout();
  // Time left of the data time-out, for the next wait.
  int data_timeout_left_ms() const;

  MODEL& device_;
  AcqHooks& hooks_;
  RingBuffer ring_;
  StopSignal stop_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> run_exists_{false};

  // Run state: written by start() before the worker exists, then by the
  // worker only.
  RunKind kind_ = RunKind::Scan;
  RunProfile profile_ = RunProfile::of(RunKind::Scan);
  ScanSettings settings_;
  RunSink* sink_ = nullptr;
  struct Link {
    DataLink link;
    ReceivePlan plan;
    uint32_t received = 0;
    uint32_t partial = 0;  // bytes of a sample split across receives
    bool idle = true;      // its last receive found nothing: wait for it
  };
  std::vector<Link> links_;
  bool first_data_seen_ = false;
  bool start_time_taken_ = false;
  uint32_t retry_count_ = 0;
  uint32_t trigger_index_ = 0;
  std::atomic<uint32_t> received_{0};
  std::atomic<uint32_t> device_count_{0};
  std::atomic<uint32_t> timeout_base_{1};
  // How the last run ended, for the next start: written by the worker
  // before it ends and by stop(), read by start() after the join.
  bool ended_complete_ = true;
  int64_t stopped_at_ms_ = 0;
  TimeData start_timer_;
  TimeData last_data_timer_;
  std::unique_ptr<char[]> recv_buffer_;

  std::mutex events_mu_;
  unsigned short event_mask_ = 0;
  EventFunction event_function_ = nullptr;
  void* event_user_ = nullptr;
};

}  // namespace korvel
