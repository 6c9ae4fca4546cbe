// The operations the device fuzz target drives, shared with the seed
// generator: a program of three-byte operations run on a driver.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drivers/lx3100/lx3100.h"
#include "drivers/lx3200/lx3200.h"
#include "drivers/lxr5000/lxr5000.h"
#include "drivers/mc610s/mc610s.h"
#include "drivers/mc620s/mc620s.h"
#include "net/reply.h"

namespace korvel_fuzz {
using namespace korvel;

constexpr std::size_t kMaxReplies = 64;
constexpr std::size_t kMaxOps = 24;

// Controllers: the slot table comes from the first reply, as at connection.
template <class D>
struct Controller : D {
  using D::D;
  bool load(const std::vector<std::string>& replies) {
    Reply r;
    if (!replies.empty()) {
      const std::size_t n = std::min(replies[0].size(), sizeof r.text - 1);
      std::memcpy(r.text, replies[0].data(), n);
    }
    return this->load_slots(r);
  }
  // The rest of a connection: calibration tables sized and read.
  bool finish_connection() { return this->after_connect(); }
};

// Controllers: what the connection does once the command socket is in
// place; false when the connection would have been refused.
inline bool finish_connect(MODEL& d) {
  if (auto* c = dynamic_cast<Controller<MC610s>*>(&d)) return c->finish_connection();
  if (auto* c = dynamic_cast<Controller<MC620s>*>(&d)) return c->finish_connection();
  return true;
}

// Caller's buffers as the C API documents them.
struct Buffers {
  float f[64];
  int i[64];
  unsigned int u[64];
  char text[256];
  char enable[64];
  float high[64], low[64];
  unsigned short sizes[16], types[16];
};

inline void run_op(MODEL& d, uint8_t op, uint8_t a, uint8_t b, Buffers& buf) {
  const int ch = a % 40 - 4;  // mostly valid channels, some negative
  const int gain = b % 12 - 1;
  const int count = b % 70;
  unsigned int u1 = 0, u2 = 0;
  int i1 = 0, i2 = 0, i3 = 0;
  short s1, s2, s3, s4, s5;
  unsigned short us = 0, us2 = 0;
  switch (op % 48) {
    case 0: d.ReadAllGainOffsetfromKV(); break;
    case 1: d.GetFPGAVersion(buf.text); break;
    case 2: d.ReadAI(ch, gain, &buf.f[0]); break;
    case 3: d.ReadAIALL(gain, buf.f, std::min(count, 64)); break;
    case 4: d.ReadAIHEX(ch, gain, &buf.i[0]); break;
    case 5: d.ReadAIALLHEX(gain, buf.i, std::min(count, 64)); break;
    case 6: d.ReadDIO(&u1, &u2); break;
    case 7: d.WriteDO(static_cast<unsigned>(a) << (b % 24)); break;
    case 8: d.WriteDOBit(ch, b & 1); break;
    case 9: d.ClearCounter(static_cast<unsigned>(ch)); break;
    case 10: d.ClearDICNTALL(); break;
    case 11: d.ClearCounterALL(); break;
    case 12: d.GetDICNT(static_cast<unsigned>(ch), &u1); break;
    case 13: d.GetCounter(static_cast<unsigned>(ch), &u1); break;
    case 14: d.ClearDICNT(static_cast<unsigned>(ch)); break;
    case 15: d.GetDICNTAll(buf.u, std::min(count, 64)); break;
    case 16: d.GetCounterAll(buf.u, std::min(count, 64)); break;
    case 17: d.GetScanParam(&s1, &s2, &s3, &i1, &u1, &s4, &s5); break;
    case 18: d.GetConfig(a % 8, b % 8, &i1); break;
    case 19: d.SetConfig(a % 8, b % 8, a * b); break;
    case 20: d.GetRMSParam(&s1, &s2); break;
    case 21: d.GetAIAnalogTriggerIdx(); break;
    case 22:
      d.GetAIAnalogTriggerParam(&i1, buf.enable, buf.high, buf.low, std::min(count, 64), &u1,
                                &u2);
      break;
    case 23: d.GetKVStartSamplingTime(buf.text); break;
    case 24: d.GetSDAllLogFiles(&u1); break;
    case 25: d.GetSDLogFile_Info(a, &u1, &u2, buf.text); break;
    case 26: d.GetAIDelayTriggerParam(&u1); break;
    case 27:
      d.GetSyncInScanParam(&u1, buf.sizes, buf.types, b % 10, &us, &u2, &u1);
      break;
    case 28: {
      // Items from the arguments: up to 7 of a few types and sizes.
      const unsigned short n = a % 9;
      for (unsigned k = 0; k < n; ++k) {
        buf.types[k] = static_cast<unsigned short>((b >> k) % 7);
        buf.sizes[k] = static_cast<unsigned short>((a + k * b) % 20);
      }
      d.SetSyncInScanParam(b % 5, buf.sizes, buf.types, n, a & 1, 0);
      break;
    }
    case 29: d.GetEncoderMode(ch, &i1, &i2, &i3); break;
    case 30: d.ReadEncoder(ch, &u1); break;
    case 31: d.GetModuleTable(&i1, buf.text); break;
    case 32: d.ReadGainOffset(ch, gain, &us2, &s1); break;
    case 33:
      if (auto* lx = dynamic_cast<LxDevice*>(&d)) lx->GetKVRAMBufferStatus(&u1, &u2);
      if (auto* mc = dynamic_cast<MC610s*>(&d)) mc->GetKVRAMBufferStatus(ch, &u1, &u2);
      break;
    case 34: d.WriteAOHEX(ch, b % 4, a * 257); break;
    case 35: d.SetAIDelayTriggerParam(static_cast<unsigned>(a) * b); break;
    case 36: d.Calibrate_Hex2Float(a * 256 + b, ch, gain, &buf.f[0]); break;
    case 37: d.SetWinSize(static_cast<unsigned>(a) << 8); break;
    case 38: d.GetCounterAll(buf.u, 64); break;
    case 39: {
      // A raw exchange as KV_SendRecv makes it, and the multi-line form.
      char reply[kReplyCapacity];
      if (b & 1)
        d.SendRec(d.cmd_socket, "$01M", reply, 1000);
      else
        d.SendRec2(d.cmd_socket, "~01L", buf.text, 1000, sizeof buf.text);
      break;
    }
    case 40: d.GetDICNTConfig(static_cast<unsigned>(ch), &u1, &u2); break;
    case 41: d.SetDICNTConfig(static_cast<unsigned>(ch), b % 4, b); break;
    case 42: d.GetCounterConfig(static_cast<unsigned>(ch), &u1, &u2); break;
    case 43: d.SetCounterConfig(static_cast<unsigned>(ch), a % 4, b); break;
    case 44:
      d.SetScanParam(static_cast<short>(1 + a % 16), static_cast<short>(b % 6),
                     static_cast<short>(a % 10), 100 * (1 + b), a % 3 == 0 ? 0 : 50u * a,
                     static_cast<short>(b % 3), static_cast<short>(a % 2));
      break;
    case 45: d.SetRMSParam(static_cast<short>(a), static_cast<short>(b)); break;
    case 46:
      for (int k = 0; k < 64; ++k) {
        buf.enable[k] = static_cast<char>((a >> (k % 8)) & 1);
        buf.high[k] = static_cast<float>(b) / 25.0f;
        buf.low[k] = -static_cast<float>(a) / 25.0f;
      }
      d.SetAIAnalogTriggerParam(a % 4, buf.enable, buf.high, buf.low, std::min(count, 64), a, b);
      break;
    case 47: d.SetConfig(5, b % 4, a); break;
  }
}

inline std::unique_ptr<MODEL> make_driver(uint8_t family, const std::vector<std::string>& replies,
                                   bool* ok) {
  // No address: a lost connection is never redialled.
  const char* ip = "";
  *ok = true;
  switch (family % 5) {
    case 0: return std::make_unique<LX3100>(ip, 9999, 10010, QLXMODULE[kRowLX3100]);
    case 1: return std::make_unique<LX3200>(ip, 9999, 10010, QLXMODULE[kRowLX3200]);
    case 2: return std::make_unique<LXR5000>(ip, 9999, 10010, QLXMODULE[kRowLXR5000]);
    case 3: {
      auto d = std::make_unique<Controller<MC610s>>(ip, 9999, 10010, QLXMODULE[kRowMC610s]);
      *ok = d->load(replies);
      return d;
    }
    default: {
      auto d = std::make_unique<Controller<MC620s>>(ip, 9999, 10010, QLXMODULE[kRowMC620Ws]);
      *ok = d->load(replies);
      return d;
    }
  }
}

}  // namespace korvel_fuzz
