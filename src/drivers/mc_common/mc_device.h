// McDevice: what the slot-based controllers (MC610s, MC620Ws) share. A
// controller carries analog-input cards in slots; a scan's channels are
// spread over the populated slots in ordinal order, each slot streams its
// share of every scan on a data connection of its own, and the ring puts
// the slots' columns back side by side into whole scans (one lane per slot).
// The two drivers derive from it and state their commands, checks and
// receive rules. Digital I/O, counters, filters, events, sync-in and SD
// operations keep MODEL's defaults: these controllers have none of them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "drivers/device_config.h"
#include "drivers/scan_fields.h"
#include "engine/acq_engine.h"
#include "model/model.h"
#include "net/reply.h"

namespace korvel {

inline constexpr int kMaxSlots = 8;
// The widest card has 16 channels.
inline constexpr int kMaxCardChannels = 16;

// How a scan's channels and samples are spread over the slots (ordinal
// order). Pure, so the rules are testable on their own.
// Channels: each slot takes min(its capacity, what is left).
std::vector<uint16_t> distribute_channels(uint32_t channels, const std::vector<uint16_t>& capacity);
// Samples: total is shared in proportion to the slots' channel counts over
// the largest multiple of the scan's channel count; the remainder goes in
// ordinal order, a whole scan's share per slot while it lasts, the rest to
// the first slot it does not cover.
std::vector<uint32_t> distribute_samples(uint32_t total, const std::vector<uint16_t>& channels);

class McDevice : public MODEL, protected AcqHooks, protected RunSink, protected ScanFields {
 public:
  McDevice(const char* ip, int cmd_port, int data_port, const QLXmodule& module);
  ~McDevice() override;

  int ConnectServer() override;
  int DisconnectServer() override;
  int ReBoot() override;
  int SetWinSize(unsigned int size) override;
  int GetModuleTable(int* count, char* modules) override;

  int SetScanParam(short ch_count, short gain, short trig_mode, int sample_rate,
                   unsigned int sample_count, short transfer_mode, short option) override;
  int GetScanParam(short* ch_count, short* gain, short* trig_mode, int* sample_rate,
                   unsigned int* sample_count, short* transfer_mode, short* option) override;
  int SetConfig(int item, int index, int value) override;
  int GetConfig(int item, int index, int* value) override;

  // Single-point reads: while a run acquires they return 1 and write
  // nothing (the controller cannot answer them then).
  int ReadAI(int channel, int gain, float* value) override;
  int ReadAIALL(int gain, float* values, int count) override;
  int ReadAIHEX(int channel, int gain, int* code) override;
  int ReadAIALLHEX(int gain, int* codes, int count) override;

  void setKVsamplingStatus(bool on) override;
  int getKVsamplingStatus() override;

  // Acquisition.
  int StartLANQueue() override;
  int StopLANQueue() override;
  int StartAIScan() override;
  int StopAIScan() override;
  int StopMagicScan() override;
  bool run_active() const override;
  void stop_all_runs() override;
  int GetDAQSampleCnt() override;
  int GetTCPReceivedCnt() override;
  void ClearCnt() override;
  int GetKVStartSamplingTime(char* text) override;
  int LANBuffer_Init() override;
  void LANBuffer_Uninit() override;
  int AD_ReadData(char* dst, unsigned int count, int unit) override;
  int AD_ReadCodes(unsigned int* dst, unsigned int count) override;
  int AD_BufferStatus() override;
  // Samples readable: whole scans every slot has delivered, plus the part of
  // the next scan that has arrived up to the first slot still owing; in a
  // finite scan never more than the count leaves unread.
  int Get_ADSize() override;

  static constexpr int kCommandTimeoutMs = 1000;

  // One entry of the slot table, by ordinal.
  struct Slot {
    int data_port = 0;
    int socket = -1;
    int number = -1;            // the physical slot the ordinal stands for
    uint16_t capacity = 0;      // channels of the card
    uint8_t module_byte = 0;    // what the module table reports for it
    uint16_t channels = 0;      // of the scan's channels
    uint32_t target = 0;        // samples due in a finite scan
    uint32_t first_channel = 0; // scan channels of the slots before it
  };

 protected:
  // Differences of a driver.
  // Name in the console lines ("MC610s", "MC620s").
  virtual const char* console_name() const = 0;
  // Builds the slot table from the "$01C" reply: false when the count lies
  // outside what the controller may have (nothing kept).
  virtual bool parse_slots(const Reply& reply, std::vector<Slot>* slots) const = 0;
  // Builds the slot table from a "$01C" reply (parse_slots) and gives the
  // slots the default scan's channels; false, with nothing kept, when the
  // reply is refused. Opens no connection.
  bool load_slots(const Reply& reply);
  // The data port offset of ordinal k.
  virtual int data_port_offset(const Slot& slot, int ordinal) const = 0;
  // Whatever the connection reads after the sockets are open (calibration);
  // false with the code set ends it.
  virtual bool after_connect() { return true; }
  // Argument checks of SetScanParam, before anything is stored or sent; the
  // trigger mode the scan runs in.
  virtual bool check_scan(short ch_count, short gain, short trig_mode, int rate, unsigned count,
                          short transfer, uint16_t* mode) = 0;
  // Whether a finite count is given to every slot with channels whole
  // (MC610s trigger modes 4 and 5) instead of shared.
  virtual bool count_per_slot(uint16_t /*mode*/) const { return false; }
  // Per-slot and rate commands.
  virtual bool send_slot_param(const Slot& s, int ordinal) = 0;
  virtual bool send_rate(uint32_t rate) = 0;
  virtual bool send_slot_target(const Slot& s, int ordinal) = 0;
  // Read-backs of GetScanParam.
  struct SlotParam {
    int gain = -1, channels = -1, trigger = -1, transfer = -1;
  };
  virtual bool read_slot_param(const Slot& s, int ordinal, SlotParam* p) = 0;
  virtual bool read_rate(unsigned long* rate) = 0;
  virtual bool read_slot_target(const Slot& s, int ordinal, unsigned long* target) = 0;
  virtual bool reports_option() const { return false; }
  // Item 5 read-backs and item 6.
  virtual bool read_device_timing(int index, int* value) = 0;
  virtual int set_channel_factor(int channel, int value) = 0;
  virtual int get_channel_factor(int channel, int* value) = 0;
  // One slot's single-point values, in channel order (`capacity` of them);
  // false with the code set.
  virtual bool read_slot_volts(int ordinal, int gain, float* values) = 0;
  virtual bool read_slot_codes(int ordinal, int gain, int* codes) = 0;
  // Ring bytes of a finite scan per sample, and the data time-out base.
  virtual uint32_t finite_ring_bytes_per_sample() const = 0;
  virtual uint32_t data_timeout_base() const = 0;

  // AcqHooks shared by both.
  bool needs_ram_phase(const ScanSettings&) const override { return false; }
  bool limits_receive(const ScanSettings&, RunKind) const override { return true; }
  bool ram_status(uint32_t*, uint32_t*) override { return false; }
  bool transmit() override { return false; }
  uint32_t trigger_index() override { return 0; }
  uint32_t post_trigger_count() const override { return 0; }
  // A time-out end of these controllers' scans is reported with 0x20.
  void adjust_profile(RunKind kind, const ScanSettings&, RunProfile& profile) const override;

  // RunSink: each slot's blocks fill its columns of the ring.
  bool store(uint32_t link, const char* data, uint32_t bytes) override;

  bool command(Reply& reply, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Sends a start or stop order: 1 when the controller acknowledged it ("!");
  // 0 with 0x17002 (no reply), 0x1700A (not sent) or 0x17003 (refused).
  int run_order(const char* order);
  // Before a run: connected, and every slot's data connection the
  // controller closed or reset is made anew. False when one cannot be had.
  bool data_connections_ready();
  ScanSettings scan_settings() const;
  // The slot (ordinal) holding global channel c and c's place in it, by
  // the cards' capacities; false when c is beyond the total.
  bool locate_channel(int channel, int* ordinal, int* position) const;
  // The populated slots' card widths, in ordinal order.
  std::vector<uint16_t> capacities() const;
  // Gives the slots their channels and targets (ordinal order) and each its
  // first column of a scan.
  void assign_slots(const std::vector<uint16_t>& channels, const std::vector<uint32_t>& targets);
  // Slots with channels, in ordinal order (the run's links and lanes).
  std::vector<int> active_slots() const;
  void close_sockets();
  // Samples readable now (see Get_ADSize).
  uint32_t available();

  int data_port;
  int SlotCount = 0;
  std::array<Slot, kMaxSlots> SlotTable{};

  // Scan configuration as last sent.
  LogFolderConfig LogFolders;

  uint32_t ADBufferSize = 0;
  bool ContinuousScan = false;
  // What the buffer readers use of the run, fixed when its ring is set up:
  // readers take no lifecycle lock, so they must not read the scan fields a
  // setter may rewrite once the run is stopped. The run's sample count (0:
  // continuous), and its slots when the count is per slot (modes 4 and 5;
  // else 0).
  std::atomic<uint32_t> run_count_{0};
  std::atomic<uint32_t> run_count_slots_{0};
  AcqEngine engine_{*this, *this};
};

}  // namespace korvel
