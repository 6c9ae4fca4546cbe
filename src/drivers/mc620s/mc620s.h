// MC620s (reported as "MC620Ws"): the controller whose slots hold cards of
// the supported types (8, 12 or 16 channels). Its differences from the
// shared slot driver: slots addressed by ordinal in two hex digits, no
// calibration of its own (the device's volts for single reads), one trigger
// mode, one scan of a slot per receive, a fixed data time-out. In trigger
// modes 4 and 5, which only the device's own setup brings in, its slots
// send text records instead of samples; logging turns them into lines.
#pragma once

#include <vector>

#include "drivers/mc620s/mc620_records.h"
#include "drivers/mc_common/mc_device.h"
#include "logging/logger.h"

namespace korvel {

class MC620s : public McDevice, protected LogHooks {
 public:
  MC620s(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  // The worker calls this class's hooks: it is stopped before they go.
  ~MC620s() override { engine_.stop(); }

  int GetFPGAVersion(char* text) override;
  int StartMagicScan() override;

  // Logging runs: the slots' streams merged in the ring, whole samples on
  // into the logger's files.
  int StartLogger(const char* path, int period, int mode) override;
  void StopLogger() override;
  void SaveStartSamplingTimetoConfigFile() override;
  void stop_all_runs() override;
  int LoggerMode = 0;
  int LogFilePeriod = 0;

 protected:
  const char* console_name() const override { return "MC620s"; }
  bool parse_slots(const Reply& reply, std::vector<Slot>* slots) const override;
  int data_port_offset(const Slot&, int ordinal) const override { return ordinal; }
  bool check_scan(short ch_count, short gain, short trig_mode, int rate, unsigned count,
                  short transfer, uint16_t* mode) override;
  bool send_slot_param(const Slot& s, int ordinal) override;
  bool send_rate(uint32_t rate) override;
  bool send_slot_target(const Slot& s, int ordinal) override;
  bool read_slot_param(const Slot& s, int ordinal, SlotParam* p) override;
  bool read_rate(unsigned long* rate) override;
  bool read_slot_target(const Slot& s, int ordinal, unsigned long* target) override;
  bool read_device_timing(int index, int* value) override;
  // Accepted and ignored: the cards keep no channel factors.
  int set_channel_factor(int, int) override { return 1; }
  int get_channel_factor(int, int* value) override;
  bool read_slot_volts(int ordinal, int gain, float* values) override;
  bool read_slot_codes(int ordinal, int gain, int* codes) override;
  uint32_t finite_ring_bytes_per_sample() const override { return 200; }
  uint32_t data_timeout_base() const override { return 100; }

  // AcqHooks.
  ReceivePlan receive_plan(const ScanSettings&, RunKind, uint32_t link) const override;
  // A run of records counts and acknowledges records, not samples.
  void adjust_profile(RunKind kind, const ScanSettings& s, RunProfile& profile) const override;
  std::optional<bool> count_complete(const ScanSettings& s, RunKind, uint32_t received) override {
    return received >= s.sample_count;
  }
  void timed_out(bool quiet) override;

  // LogHooks. The cards have no calibration of their own: text files hold
  // the codes on the device's single-read scale (code / 3276.8 V).
  std::vector<std::string> log_config_lines() override;
  bool log_start_time(std::string* text) override;
  int log_value_text(int32_t raw, unsigned channel, char* out, std::size_t capacity) override;

 private:
  // A logging run's sink: each slot's block goes into its ring lane, and
  // whatever the ring then holds goes to the logger in scan order.
  class LogSink : public RunSink {
   public:
    explicit LogSink(MC620s& owner) : owner_(owner) {}
    void first_data() override { owner_.logger_.first_data(); }
    bool store(uint32_t link, const char* data, uint32_t bytes) override;
    void finish() override { owner_.logger_.finish(); }

   private:
    MC620s& owner_;
    std::vector<char> merged_;
  };

  // Whether a logging run in this trigger mode receives text records.
  static bool sends_records(uint16_t trigger_mode) { return trigger_mode == 4 || trigger_mode == 5; }

  Logger logger_{engine_, *this};
  LogSink log_sink_{*this};
  // Set when a logging run starts; read by its worker.
  bool records_run_ = false;
  RecordMerger records_{engine_.ring(), [this](const char* text, std::size_t bytes) {
                          return logger_.write_line(text, static_cast<uint32_t>(bytes));
                        }};
};

}  // namespace korvel
