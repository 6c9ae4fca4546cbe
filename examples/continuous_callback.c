/*
 * continuous_callback: a continuous scan for two seconds, drained by the
 * main thread, with an event callback that reports lost samples or a
 * device that stopped sending.
 *
 *   continuous_callback 127.0.0.2
 */
#include <korvel/korvel.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>

static atomic_uint events;

/* Runs on the library's worker thread: keep it short, touch no locks the
 * main thread may hold, never stop or release the device from here. */
static void on_event(KV_HANDLE h, unsigned short event, unsigned int value, void* user) {
  (void)h;
  (void)value;
  (void)user;
  atomic_fetch_or(&events, event);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  KV_HANDLE h = KV_Device_Create(argv[1]);
  if (!h) {
    unsigned code = (unsigned)KV_GetLastError();
    fprintf(stderr, "%s: %s\n", KV_ErrorName(code), KV_ErrorDescription(code));
    return 1;
  }
  KV_SetEventCallback(h, KV_EVENT_RECEIVE_ERROR | KV_EVENT_TIMEOUT | KV_EVENT_OVERRUN, 0,
                      on_event, NULL);
  if (!KV_SetAIScanParam(h, 2, 0, 0, 20000, 0, 0, 0) || !KV_StartAIScan(h)) {
    fprintf(stderr, "scan failed: %s\n", KV_ErrorName((unsigned)KV_GetLastError()));
    KV_Device_Release(h);
    return 1;
  }
  static float block[2 * 4096];
  unsigned long long total = 0;
  const double end = now() + 2.0;
  while (now() < end && !(atomic_load(&events) & (KV_EVENT_RECEIVE_ERROR | KV_EVENT_TIMEOUT))) {
    int got = KV_GetAIBuffer(h, block, sizeof block / sizeof *block);
    total += (unsigned)got;
    if (got == 0) nanosleep(&(struct timespec){0, 2000000}, NULL);
  }
  KV_StopAIScan(h);
  KV_RemoveEventCallback(h, 0xFFFF);
  KV_Device_Release(h);
  unsigned seen = atomic_load(&events);
  printf("%llu samples in 2 s (%.0f per second)%s%s\n", total, total / 2.0,
         seen & KV_EVENT_OVERRUN ? "; samples were lost" : "",
         seen & (KV_EVENT_RECEIVE_ERROR | KV_EVENT_TIMEOUT) ? "; the device stopped sending" : "");
  return seen ? 1 : 0;
}
