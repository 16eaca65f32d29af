/*
 * speak.c: say one line through the synthesizer and print the reply bytes
 * that come back.
 *
 *   cc speak.c $(pkg-config --cflags --libs qzusbd) -o speak
 *   ./speak "Hello, world."
 *
 * After the text it sends an index marker, the bytes 0x01 '9' '9' 0x01: the
 * synthesizer answers with the reply byte 99 once its speech reaches it, so
 * the program waits for that reply before it ends (unloading the library
 * would otherwise cut the speech short).
 *
 * Exit code 0 when the text was spoken, 1 when no synthesizer is connected,
 * it goes away, or the text is not spoken within 30 seconds.
 */
#include <qzusbd.h>
#include <stdio.h>
#include <string.h>

#define END_MARKER 99

#ifdef _WIN32
#include <windows.h>
static void sleep_ms(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void sleep_ms(unsigned ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

int main(int argc, char** argv) {
  const char* text = argc > 1 ? argv[1] : "Hello from qzusbd.";

  /* The library opened the connection when the program loaded it. */
  if (!USBQZ_CheckWdmStatus()) {
    fprintf(stderr, "speak: no synthesizer is connected (run qzdoctor to see why)\n");
    return 1;
  }

  /* Queue the text byte by byte. USBQZ_ReadyCheck says whether more may be
   * written: on USB whether the queue has room, on a serial port whether CTS
   * is on. Waiting here keeps USBQZ_WriteByte from blocking. */
  for (const char* p = text; *p != '\0'; ++p) {
    for (int tries = 0; !USBQZ_ReadyCheck() && tries < 100; ++tries) sleep_ms(10);
    USBQZ_WriteByte((unsigned char)*p);
  }
  USBQZ_WriteByte('\r'); /* end of the utterance */
  for (const char* p = "\001" "99" "\001"; *p != '\0'; ++p) USBQZ_WriteByte((unsigned char)*p);

  /* Collect reply bytes until the end marker's comes back. On USB a
   * background thread polls the device; each call both fetches a byte polled
   * earlier and asks for the next poll, so keep calling. */
  for (int i = 0; i < 1500; ++i) {
    int reply = USBQZ_ReadByte();
    if (reply == END_MARKER) {
      printf("spoke %d bytes\n", (int)strlen(text));
      return 0;
    }
    if (reply >= 0) {
      printf("reply %d\n", reply);
    } else if (!USBQZ_CheckWdmStatus()) {
      fprintf(stderr, "speak: the synthesizer was disconnected\n");
      return 1;
    } else {
      sleep_ms(20);
    }
  }
  fprintf(stderr, "speak: the synthesizer did not finish within 30 seconds\n");
  return 1;
}
