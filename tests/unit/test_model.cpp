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

INSTANTIATE_TEST_SUITE_P(
    AllOperations, ModelDefaults,
    ::testing::Values(
        DefaultCase{"ConnectServer", CALL(m.ConnectServer()), 0, none},
        DefaultCase{"DisconnectServer", CALL(m.DisconnectServer()), 0, none},
        DefaultCase{"GetFPGAVersion", CALL(m.GetFPGAVersion(o.text)), 0,
                    [](Outs& e) { e.text[0] = 0; }},
        DefaultCase{"Calibrate_HEX", CALL(m.Calibrate_HEX(1, 0, 0, &o.i[0])), 0,
                    [](Outs& e) { e.i[0] = 0; }},
        DefaultCase{"Calibrate_Hex2Float", CALL(m.Calibrate_Hex2Float(1, 0, 0, &o.f[0])), 0,
                    [](Outs& e) { e.f[0] = 0; }},
        DefaultCase{"ReadAI", CALL(m.ReadAI(0, 0, &o.f[0])), 0, none},
        DefaultCase{"ReadAIALL", CALL(m.ReadAIALL(0, o.f, 4)), 0, none},
        DefaultCase{"ReadAIHEX", CALL(m.ReadAIHEX(0, 0, &o.i[0])), 0, none},
        DefaultCase{"ReadAIALLHEX", CALL(m.ReadAIALLHEX(0, o.i, 4)), 0, none},
        DefaultCase{"ReadDIO", CALL(m.ReadDIO(&o.u[0], &o.u[1])), 0,
                    [](Outs& e) { e.u[0] = e.u[1] = 0; }},
        DefaultCase{"WriteDO", CALL(m.WriteDO(1)), 0, none},
        DefaultCase{"WriteDOBit", CALL(m.WriteDOBit(1, true)), 0, none},
        DefaultCase{"GetDICNTConfig", CALL(m.GetDICNTConfig(0, &o.u[0], &o.u[1])), 0,
                    [](Outs& e) { e.u[0] = e.u[1] = 0; }},
        DefaultCase{"SetDICNTConfig", CALL(m.SetDICNTConfig(0, 1, 2)), 0, none},
        DefaultCase{"GetCounterConfig", CALL(m.GetCounterConfig(0, &o.u[0], &o.u[1])), 0,
                    [](Outs& e) { e.u[0] = e.u[1] = 0; }},
        DefaultCase{"SetCounterConfig", CALL(m.SetCounterConfig(0, 1, 2)), 0, none},
        DefaultCase{"GetDICNT", CALL(m.GetDICNT(0, &o.u[0])), 0, [](Outs& e) { e.u[0] = 0; }},
        DefaultCase{"GetCounter", CALL(m.GetCounter(0, &o.u[0])), 0,
                    [](Outs& e) { e.u[0] = 0; }},
        DefaultCase{"ClearDICNT", CALL(m.ClearDICNT(0)), 0, none},
        DefaultCase{"ClearDICNTALL", CALL(m.ClearDICNTALL()), 0, none},
        DefaultCase{"ClearCounter", CALL(m.ClearCounter(0)), 0, none},
        DefaultCase{"ClearCounterALL", CALL(m.ClearCounterALL()), 0, none},
        DefaultCase{"GetDICNTAll", CALL(m.GetDICNTAll(o.u, 5)), 0,
                    [](Outs& e) { std::memset(e.u, 0, 5 * sizeof e.u[0]); }},
        DefaultCase{"GetCounterAll", CALL(m.GetCounterAll(o.u, 3)), 0,
                    [](Outs& e) { std::memset(e.u, 0, 3 * sizeof e.u[0]); }},
        DefaultCase{"SetScanParam", CALL(m.SetScanParam(8, 0, 0, 100, 0, 0, 0)), 0, none},
        DefaultCase{"GetScanParam",
                    CALL(m.GetScanParam(&o.s[0], &o.s[1], &o.s[2], &o.i[0], &o.u[0], &o.s[3],
                                        &o.s[4])),
                    0,
                    [](Outs& e) {
                      e.s[0] = e.s[1] = e.s[2] = e.s[3] = e.s[4] = 0;
                      e.i[0] = 0;
                      e.u[0] = 0;
                    }},
        DefaultCase{"SetConfig", CALL(m.SetConfig(4, 1, 1)), 0, none},
        DefaultCase{"GetConfig", CALL(m.GetConfig(4, 1, &o.i[0])), 0,
                    [](Outs& e) { e.i[0] = 0; }},
        DefaultCase{"SetRMSParam", CALL(m.SetRMSParam(1, 1)), 0, none},
        DefaultCase{"GetRMSParam", CALL(m.GetRMSParam(&o.s[0], &o.s[1])), 0,
                    [](Outs& e) { e.s[0] = e.s[1] = 0; }},
        DefaultCase{"GetAIAnalogTriggerIdx", CALL(m.GetAIAnalogTriggerIdx()), 0, none},
        DefaultCase{"SetAIAnalogTriggerParam",
                    CALL(m.SetAIAnalogTriggerParam(0, o.c, o.f, o.g, 2, 1, 1)), 0, none},
        DefaultCase{"GetAIAnalogTriggerParam",
                    CALL(m.GetAIAnalogTriggerParam(&o.i[0], o.c, o.f, o.g, 3, &o.u[0], &o.u[1])),
                    0,
                    [](Outs& e) {
                      e.i[0] = 0;
                      std::memset(e.c, 0, 3);
                      for (int k = 0; k < 3; ++k) e.f[k] = e.g[k] = 0;
                      e.u[0] = e.u[1] = 0;
                    }},
        DefaultCase{"StartAIScan", CALL(m.StartAIScan()), 0, none},
        DefaultCase{"StopAIScan", CALL(m.StopAIScan()), 0, none},
        DefaultCase{"SetWinSize", CALL(m.SetWinSize(32768)), 0, none},
        DefaultCase{"StartMagicScan", CALL(m.StartMagicScan()), 0, none},
        DefaultCase{"StopMagicScan", CALL(m.StopMagicScan()), 0, none},
        DefaultCase{"StartLANQueue", CALL(m.StartLANQueue()), 0, none},
        DefaultCase{"StopLANQueue", CALL(m.StopLANQueue()), 0, none},
        DefaultCase{"GetDAQSampleCnt", CALL(m.GetDAQSampleCnt()), 0, none},
        DefaultCase{"GetTCPReceivedCnt", CALL(m.GetTCPReceivedCnt()), 0, none},
        DefaultCase{"ClearCnt", VOIDCALL(m.ClearCnt()), 0, none},
        DefaultCase{"RunThreadAIScan_NSampleRoutine", CALL(m.RunThreadAIScan_NSampleRoutine()),
                    0, none},
        DefaultCase{"RunThreadAIScan_ReceiveDATAfromKVDevice",
                    CALL(m.RunThreadAIScan_ReceiveDATAfromKVDevice()), 0, none},
        DefaultCase{"RunThreadLog_NSampleRoutine", CALL(m.RunThreadLog_NSampleRoutine()), 0,
                    none},
        DefaultCase{"RunThreadLog_ReceiveDATAfromKVDevice",
                    CALL(m.RunThreadLog_ReceiveDATAfromKVDevice()), 0, none},
        DefaultCase{"RunThread", VOIDCALL(m.RunThread()), 0, none},
        DefaultCase{"Start", CALL(m.Start()), 0, none},
        DefaultCase{"Stop", CALL(m.Stop()), 0, none},
        DefaultCase{"ReBoot", CALL(m.ReBoot()), 0, none},
        DefaultCase{"TransmitData", CALL(m.TransmitData()), 0, none},
        DefaultCase{"GetKVStartSamplingTime", CALL(m.GetKVStartSamplingTime(o.text)), 0,
                    [](Outs& e) { e.text[0] = 0; }},
        DefaultCase{"ReadHostLANBuffer", CALL(m.ReadHostLANBuffer(o.text, 4)), 0, none},
        DefaultCase{"ReadHostLANBufferCnt", CALL(m.ReadHostLANBufferCnt()), 0, none},
        DefaultCase{"ChangeTimeStamp", CALL(m.ChangeTimeStamp()), 0, none},
        DefaultCase{"ReadGainOffset", CALL(m.ReadGainOffset(0, 0, &o.us[0], &o.s[0])), 0,
                    [](Outs& e) {
                      e.us[0] = 0;
                      e.s[0] = 0;
                    }},
        DefaultCase{"ReadAllGainOffsetfromKV", CALL(m.ReadAllGainOffsetfromKV()), 0, none},
        DefaultCase{"SaveStartSamplingTimetoConfigFile",
                    VOIDCALL(m.SaveStartSamplingTimetoConfigFile()), 0, none},
        DefaultCase{"StopLogger", VOIDCALL(m.StopLogger()), 0, none},
        DefaultCase{"setKVsamplingStatus", VOIDCALL(m.setKVsamplingStatus(true)), 0, none},
        DefaultCase{"getKVsamplingStatus", CALL(m.getKVsamplingStatus()), 0, none},
        DefaultCase{"DOCallBackFun", VOIDCALL(m.DOCallBackFun(2)), 0, none},
        DefaultCase{"SetEventCallback", CALL(m.SetEventCallback(1, 0, nullptr, nullptr)), 0,
                    none},
        DefaultCase{"RemoveEventCallback", CALL(m.RemoveEventCallback(1)), 0, none},
        DefaultCase{"AD_ReadData", CALL(m.AD_ReadData(o.text, 4, 2)), 0, none},
        DefaultCase{"AD_ReadData_float", CALL(m.AD_ReadData_float(o.f, 4, 2)), 0, none},
        DefaultCase{"AD_BufferStatus", CALL(m.AD_BufferStatus()), 0, none},
        DefaultCase{"Get_ADSize", CALL(m.Get_ADSize()), 0, none},
        DefaultCase{"AD_ClearData", CALL(m.AD_ClearData()), 0, none},
        DefaultCase{"LANBuffer_Init", CALL(m.LANBuffer_Init()), 0, none},
        DefaultCase{"LANBuffer_Uninit", VOIDCALL(m.LANBuffer_Uninit()), 0, none},
        DefaultCase{"GetSDAllLogFiles", CALL(m.GetSDAllLogFiles(&o.u[0])), 0, none},
        DefaultCase{"GetSDLogFile_Info", CALL(m.GetSDLogFile_Info(0, &o.u[0], &o.u[1], o.text)),
                    0, none},
        DefaultCase{"StartDownload", CALL(m.StartDownload()), 0, none},
        DefaultCase{"RunThreadDownload", VOIDCALL(m.RunThreadDownload()), 0, none},
        DefaultCase{"SaveMagicConfig", VOIDCALL(m.SaveMagicConfig(o.text, o.text, 1, nullptr)),
                    0, none},
        DefaultCase{"StartLogger", CALL(m.StartLogger(nullptr, 1, 0)), 0, none},
        DefaultCase{"DownloadSDFile", CALL(m.DownloadSDFile(0, 0, nullptr, 0)), 0, none},
        DefaultCase{"SaveSDConfigFile",
                    CALL(m.SaveSDConfigFile(0, 0, o.text, o.text, 1, nullptr)), -1, none},
        DefaultCase{"RunThreadDownload_ReceiveDATAfromKVDevice",
                    CALL(m.RunThreadDownload_ReceiveDATAfromKVDevice()), 0, none},
        DefaultCase{"ChangeTimeStamp_SD_Download", CALL(m.ChangeTimeStamp_SD_Download()), 0,
                    none},
        DefaultCase{"SetAIDelayTriggerParam", CALL(m.SetAIDelayTriggerParam(10)), 0, none},
        DefaultCase{"GetAIDelayTriggerParam", CALL(m.GetAIDelayTriggerParam(&o.u[0])), 0,
                    [](Outs& e) { e.u[0] = 0; }},
        DefaultCase{"SetSyncInScanParam",
                    CALL(m.SetSyncInScanParam(0, o.us, o.us, 1, 0, 0)), 0, none},
        DefaultCase{"GetSyncInScanParam",
                    CALL(m.GetSyncInScanParam(&o.u[0], o.us, o.us, 1, &o.us[2], &o.u[1],
                                              &o.u[2])),
                    0, none},
        DefaultCase{"RunThreadSyncInScan", VOIDCALL(m.RunThreadSyncInScan()), 0, none},
        DefaultCase{"WriteAO", CALL(m.WriteAO(0, 0, 1.0f)), 0, none},
        DefaultCase{"WriteAOHEX", CALL(m.WriteAOHEX(0, 0, 1)), 0, none},
        DefaultCase{"GetEncoderMode", CALL(m.GetEncoderMode(0, &o.i[0], &o.i[1], &o.i[2])), 0,
                    [](Outs& e) { e.i[0] = e.i[1] = e.i[2] = 0; }},
        DefaultCase{"SetEncoderMode", CALL(m.SetEncoderMode(0, 0, 0, 0)), 0, none},
        DefaultCase{"ReadEncoder", CALL(m.ReadEncoder(0, &o.u[0])), 0, none},
        DefaultCase{"ClearEncoder", CALL(m.ClearEncoder(0)), 0, none},
        DefaultCase{"GetModuleTable", CALL(m.GetModuleTable(&o.i[0], o.text)), 0, none},
        DefaultCase{"ConfigTrigOut", CALL(m.ConfigTrigOut(1, 1)), 0, none},
        DefaultCase{"Init_Software_Filter", CALL(m.Init_Software_Filter(0, 4, 1000)), 0, none},
        DefaultCase{"Set_LowPassFilter", CALL(m.Set_LowPassFilter(0, 1, 10.f)), 0, none},
        DefaultCase{"Set_HighPassFilter", CALL(m.Set_HighPassFilter(0, 1, 10.f)), 0, none},
        DefaultCase{"Set_BandPassFilter", CALL(m.Set_BandPassFilter(0, 1, 20.f, 10.f)), 0,
                    none},
        DefaultCase{"Set_BandStopFilter", CALL(m.Set_BandStopFilter(0, 1, 20.f, 10.f)), 0,
                    none},
        DefaultCase{"Filter_Data", CALL(m.Filter_Data(4, o.f)), 0, none},
        DefaultCase{"Filter_DataHEX", CALL(m.Filter_DataHEX(4, o.u)), 0, none}),
    [](const ::testing::TestParamInfo<DefaultCase>& info) { return std::string(info.param.name); });

TEST(Descriptors, LookupById) {
  const QLXmodule* r = GetQLXModuleNamebyID(0xA400);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->name, "LX-R5000");
  EXPECT_EQ(GetQLXModuleNamebyID(0x1234), nullptr);
  EXPECT_EQ(GetQLXModuleNamebyID(0), nullptr);  // the terminating row is not a device
  EXPECT_STREQ(GetQLXModuleNamebyID(0xA015)->name, "MC620Ws");
}

TEST(Descriptors, SampleWidthsAndCounts) {
  EXPECT_EQ(QLXMODULE[kRowLX3100].sample_bytes, 2u);
  EXPECT_EQ(QLXMODULE[kRowLX3200].sample_bytes, 4u);
  EXPECT_EQ(QLXMODULE[kRowLX3100].counter_count, 1);
  EXPECT_EQ(QLXMODULE[kRowLX3200].ai_gain_count, 10);
  EXPECT_STREQ(Supported_IO_List[6].name, "MR-420B");
  EXPECT_EQ(Supported_IO_List[6].channels, 16u);
}

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
