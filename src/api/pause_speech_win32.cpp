// Pause and resume are one function that does nothing; the .def file exports
// it under both names.
#include "qzusbd.h"

extern "C" QZUSBD_API void QZUSBD_CALL USBQZ_PauseSpeech(void) {}
