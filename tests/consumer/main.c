/* Smallest useful program against an installed Korvel. */
#include <korvel/korvel.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  char version[16];
  char message[KV_ERROR_MESSAGE_SIZE];
  KV_GetSDKVersion(version);
  KV_GetErrorMessage(KV_ERR_OPEN_DEVICE, message);
  printf("korvel %s: %s\n", version, message);
  return strcmp(version, "1.2.2.3") == 0 ? 0 : 1;
}
