/*
 * read_inputs: opens a device and prints its identity, its calibration and
 * one reading of every input.
 *
 *   read_inputs 127.0.0.2          (start `korvel-sim --address 127.0.0.2` first)
 */
#include <korvel/korvel.h>
#include <stdio.h>

static int fail(const char* what) {
  char message[KV_ERROR_MESSAGE_SIZE];
  int code = KV_GetLastError();
  KV_GetErrorMessage((unsigned)code, message);
  fprintf(stderr, "%s failed: 0x%X %s\n", what, (unsigned)code, message);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ADDRESS[,CMDPORT[,DATAPORT]]\n", argv[0]);
    return 2;
  }
  KV_HANDLE h = KV_Device_Create(argv[1]);
  if (!h) return fail("KV_Device_Create");

  char text[64];
  KV_GetModelName(h, text);
  printf("model     %s\n", text);
  KV_GetFirmwareVersion(h, text);
  printf("firmware  %s\n", text);
  KV_GetHWFirmwareVersion(h, text);
  printf("hardware  %s\n", text);

  printf("calibration (gain factor / offset)\n");
  for (int ch = 0; ch < 8; ++ch) {
    unsigned short g0, g1;
    short o0, o1;
    KV_ReadGainOffset(h, ch, 0, &g0, &o0);
    KV_ReadGainOffset(h, ch, 1, &g1, &o1);
    printf("  AI%d  +-5 V: %5u / %4d   +-10 V: %5u / %4d\n", ch, g0, o0, g1, o1);
  }

  float volts[8];
  int codes[8];
  if (!KV_ReadAIALL(h, 0, volts, 8) || !KV_ReadAIALLHEX(h, 0, codes, 8)) {
    KV_Device_Release(h);
    return fail("analog read");
  }
  for (int ch = 0; ch < 8; ++ch) printf("AI%d  %9.5f V  (code %6d)\n", ch, volts[ch], codes[ch]);

  unsigned di = 0, dout = 0;
  if (!KV_ReadDIO(h, &di, &dout)) {
    KV_Device_Release(h);
    return fail("KV_ReadDIO");
  }
  printf("DI   0x%X\nDO   0x%X\n", di, dout);

  unsigned counts[4], counter = 0;
  KV_GetDICNTAll(h, counts, 4);
  KV_GetCounter(h, 0, &counter);
  printf("DI counters %u %u %u %u\ncounter %u\n", counts[0], counts[1], counts[2], counts[3],
         counter);

  KV_Device_Release(h);
  return 0;
}
