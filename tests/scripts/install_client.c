/* A client of the installed library: no device server is running, so the
 * library loads without a connection and every call fails softly. */
#include <qzusbd.h>
#include <stdio.h>

int main(void) {
  int bad = 0;
  bad |= USBQZ_CheckWdmStatus() != 0;
  bad |= USBQZ_ReadByte() != -1;
  bad |= USBQZ_ReadyCheck() != 1;
  bad |= USBQZ_WriteString((const uint8_t*)"x", 0) != 1;
  USBQZ_PauseSpeech();
  USBQZ_ResumeSpeech();
  printf("%s\n", bad ? "unexpected results" : "ok");
  return bad;
}
