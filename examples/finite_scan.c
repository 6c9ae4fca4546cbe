/*
 * finite_scan: scans four channels of a device for one second and prints
 * each channel's mean in volts.
 *
 *   finite_scan 127.0.0.2          (start `korvel sim --address 127.0.0.2` first)
 */
#include <korvel/korvel.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define CHANNELS 4
#define RATE 10000
#define SAMPLES (CHANNELS * RATE)

static int fail(const char* what) {
  unsigned code = (unsigned)KV_GetLastError();
  fprintf(stderr, "%s failed: 0x%05X %s: %s\n", what, code, KV_ErrorName(code),
          KV_ErrorDescription(code));
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  KV_HANDLE h = KV_Device_Create(argv[1]);
  if (!h) return fail("KV_Device_Create");
  int rc = 1;
  float* volts = malloc(SAMPLES * sizeof *volts);
  if (!volts) goto out;
  if (!KV_SetAIScanParam(h, CHANNELS, 0, 0, RATE, SAMPLES, 0, 0)) {
    rc = fail("KV_SetAIScanParam");
    goto out;
  }
  if (!KV_StartAIScan(h)) {
    rc = fail("KV_StartAIScan");
    goto out;
  }
  /* Take what has arrived until the scan has ended and its buffer is empty. */
  unsigned taken = 0;
  for (;;) {
    int got = KV_GetAIBuffer(h, volts + taken, SAMPLES - taken);
    taken += (unsigned)got;
    unsigned short status = 0;
    unsigned waiting = 0;
    KV_GetAIBufferStatus(h, &status, &waiting);
    if ((status & KV_STATUS_ENDED) && waiting == 0) break;
    if (got == 0) nanosleep(&(struct timespec){0, 5000000}, NULL);
  }
  KV_StopAIScan(h);
  printf("%u of %d samples\n", taken, SAMPLES);
  for (int c = 0; c < CHANNELS; ++c) {
    double sum = 0;
    unsigned n = 0;
    for (unsigned i = (unsigned)c; i < taken; i += CHANNELS, ++n) sum += volts[i];
    printf("AI%d  mean %+.4f V over %u samples\n", c, n ? sum / n : 0.0, n);
  }
  rc = taken == SAMPLES ? 0 : 1;
out:
  free(volts);
  KV_Device_Release(h);
  return rc;
}
