#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/errors.h"
#include "model/model.h"

namespace korvel {
namespace {

// Every output an operation might touch, pre-filled with a pattern so that a
// default operation's writes show up exactly.
struct Outs {
  int i[4];
  unsigned u[8];
  short s[8];
  unsigned short us[4];
  float f[8];
  float g[8];
  char c[8];
  char text[16];
};

struct DefaultCase {
  const char* name;
  std::function<int(MODEL&, Outs&)> call;
  int result;
  std::function<void(Outs&)> cleared;  // zeroes the outputs the default clears
};

void none(Outs&) {}

std::ostream& operator<<(std::ostream& os, const DefaultCase& c) { return os << c.name; }

class ModelDefaults : public ::testing::TestWithParam<DefaultCase> {};

TEST_P(ModelDefaults, ReportUnsupportedAndClearOnlyTheListedOutputs) {
  MODEL m("127.0.0.1", 9999, 10010, QLXMODULE[kRowLX3100]);
  Outs outs, expected;
  std::memset(&outs, 0xA5, sizeof outs);
  std::memset(&expected, 0xA5, sizeof expected);
  GetParam().cleared(expected);
  set_last_error(0);
  EXPECT_EQ(GetParam().call(m, outs), GetParam().result);
  EXPECT_EQ(static_cast<unsigned>(get_last_error()), 0xFFFFFu);
  EXPECT_EQ(std::memcmp(&outs, &expected, sizeof outs), 0);
}

#define VOIDCALL(expr) [](MODEL& m, Outs& o) { (void)o; expr; return 0; }
#define CALL(expr) [](MODEL& m, Outs& o) { (void)o; return (expr); }

// A few representative operations: outputs cleared whole, only the caller's
// count of them, none at all, and the one default that answers -1.
INSTANTIATE_TEST_SUITE_P(
    Representative, ModelDefaults,
    ::testing::Values(
        DefaultCase{"GetScanParam",
                    CALL(m.GetScanParam(&o.s[0], &o.s[1], &o.s[2], &o.i[0], &o.u[0], &o.s[3],
                                        &o.s[4])),
                    0,
                    [](Outs& e) {
                      e.s[0] = e.s[1] = e.s[2] = e.s[3] = e.s[4] = 0;
                      e.i[0] = 0;
                      e.u[0] = 0;
                    }},
        DefaultCase{"GetDICNTAll", CALL(m.GetDICNTAll(o.u, 5)), 0,
                    [](Outs& e) { std::memset(e.u, 0, 5 * sizeof e.u[0]); }},
        DefaultCase{"GetAIAnalogTriggerParam",
                    CALL(m.GetAIAnalogTriggerParam(&o.i[0], o.c, o.f, o.g, 3, &o.u[0], &o.u[1])),
                    0,
                    [](Outs& e) {
                      e.i[0] = 0;
                      std::memset(e.c, 0, 3);
                      for (int k = 0; k < 3; ++k) e.f[k] = e.g[k] = 0;
                      e.u[0] = e.u[1] = 0;
                    }},
        DefaultCase{"ReadAIALL", CALL(m.ReadAIALL(0, o.f, 4)), 0, none},
        DefaultCase{"ClearCnt", VOIDCALL(m.ClearCnt()), 0, none},
        DefaultCase{"SaveSDConfigFile",
                    CALL(m.SaveSDConfigFile(0, 0, o.text, o.text, 1, nullptr)), -1, none}),
    [](const ::testing::TestParamInfo<DefaultCase>& info) { return std::string(info.param.name); });

TEST(Model, FirmwareVersionAndDateAreCopiedWithinSize) {
  MODEL m("127.0.0.1", 9999, 10010, QLXMODULE[0]);
  m.firmware_version = 0x105;
  std::strcpy(m.firmware_date, "2026/11/20");
  unsigned short v = 0;
  char date[8];
  std::memset(date, 0x7F, sizeof date);
  EXPECT_EQ(m.GetFirmVersionDate(&v, date, 5), 0);
  EXPECT_EQ(v, 0x105);
  EXPECT_STREQ(date, "2026");
  EXPECT_EQ(date[5], 0x7F);
}

}  // namespace
}  // namespace korvel
