// The eight exported functions. Placeholders until the pipeline lands: every
// call fails softly.
#include "qzusbd.h"

extern "C" {

QZUSBD_API int32_t QZUSBD_CALL USBQZ_CheckWdmStatus(void) { return 0; }
QZUSBD_API void QZUSBD_CALL USBQZ_PauseSpeech(void) {}
QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadByte(void) { return -1; }
QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadyCheck(void) { return 0; }
QZUSBD_API void QZUSBD_CALL USBQZ_ResumeSpeech(void) {}
QZUSBD_API void QZUSBD_CALL USBQZ_WriteByte(int32_t) {}
QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteByteImmediate(int32_t) { return 0; }
QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteString(const uint8_t*, int32_t) { return 0; }

}  // extern "C"
