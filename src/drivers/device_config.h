// Configuration items and small exchanges that every driver family answers
// alike, kept in one place so the families cannot drift apart.
#pragma once

#include <cstdint>

#include "engine/acq_engine.h"
#include "model/model.h"

namespace korvel {

// Item 4: how the logger groups its folders (index 1, 0..7) and its second
// value (index 2, stored unchanged).
struct LogFolderConfig {
  uint32_t grouping = 1;
  uint32_t second_value = 4000000000u;
  // 1 stored; 0 with 0x1300C for a grouping above 7 or another index.
  // Grouping 0 never splits files, which a continuous run needs: a 0 given
  // while the scan is continuous is stored as 1.
  int set(int index, int value, bool continuous);
  int get(int index, int* value) const;
};

// Item 5, index 0 (the device's RMS window, "~01RPF", a value outside
// 1..500 sent as 500) and index 1 (its data time-out, "~01DT", clamped to
// 1..1000). 1 when the device answered, 0 when not; -1 for another index
// (nothing sent), which the caller refuses in its own way.
int set_device_timing(MODEL& device, int index, int value, int timeout_ms);

// Item 6: a channel factor given in thousandths, as the float the device
// keeps (the nearest to value / 1000), and back (rounded: 0.009f is a hair
// below 0.009 and must read as 9; 0 when out of range).
float channel_factor(int thousandths);
uint32_t float_bits(float value);
float bits_float(uint32_t bits);
int channel_factor_thousandths(float factor);

// The device's time of the last start ("~01SST"): the reply from its fifth
// character on. 1, or 0 when the device did not answer or refused.
int read_start_sampling_time(MODEL& device, char* text, int timeout_ms);

// The outputs of an analog-trigger read that cannot be answered: mode and
// counts 0, and the first `count` channels disabled at 0 V. Returns 0 with
// 0x17008 set.
int refuse_trigger_read(int* mode, char* enable, float* high, float* low, int count,
                        unsigned int* pre, unsigned int* post);

// A start or stop order ("~01S...", "~01Z"): 1 when the device acknowledged
// it ("!"); 0 with 0x17002 (no reply), 0x1700A (not sent) or 0x17003
// (refused).
int send_run_order(MODEL& device, const char* order, int timeout_ms);

// After a start order the device did not acknowledge (its engine already
// stopped): the order may still have started the device, its reply lost or
// garbled, so it is told to stop, and its data cannot reach the next run.
// An order that never went out (0x1700A) needs none. The last error is
// left as code.
void withdraw_start(MODEL& device, unsigned int code);

// Starts a configured scan: the worker and the ring (StartAIScan), then the
// device's start order. A device that refuses the order never starts: the
// worker is stopped and the ring released, so no run is left waiting for
// data, and 0 is returned with the order's error.
int start_scan(MODEL& device, AcqEngine& engine);

// Stops a scan from the application: the worker is told first (so none of
// its waits holds the stop up), then the device's stop order goes out, then
// the worker is joined and the ring released (StopAIScan). 1 when the
// device acknowledged the stop; 0 with its error otherwise (stopped on this
// side all the same: the caller must hear that the device may still
// sample), or 0x13006 from the run's own worker, which cannot wait for
// itself.
int stop_scan(MODEL& device, AcqEngine& engine);

}  // namespace korvel
