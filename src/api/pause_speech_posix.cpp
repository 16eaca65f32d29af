// Pause and resume are one function that does nothing, exported under both
// names.
#include "qzusbd.h"

extern "C" {
QZUSBD_API void QZUSBD_CALL USBQZ_PauseSpeech(void) {}
QZUSBD_API void QZUSBD_CALL USBQZ_ResumeSpeech(void) __attribute__((alias("USBQZ_PauseSpeech")));
}
