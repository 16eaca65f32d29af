/*
 * qzusbd: drive an external hardware speech synthesizer.
 *
 * There is no open or close call. The library starts itself when a process
 * loads it (it reads qzusbd.ini, opens the USB device or the configured serial
 * port, and greets the synthesizer with the cancel byte 24) and stops itself
 * when the process unloads it. Failures are silent: the functions below then
 * answer "no byte", "not ready" or "not connected".
 *
 * Threads and processes
 *   Every function may be called from any thread of any process. The text
 *   queue and the reply queue live in one block shared by every process that
 *   has the library loaded, so all of them speak through one synthesizer.
 *   - Text: each byte queued with USBQZ_WriteByte reaches the synthesizer
 *     once and in the order of the calls that queued it, from one thread or
 *     several, in one process or several. Bytes of different threads or
 *     processes interleave in the order their calls took their places.
 *     Nothing queued is lost but what a cancel (24) discards, what a full
 *     queue discards after its 0.9 s wait, what a failed transfer loses (the
 *     device was unplugged), and a byte whose calling process died in the
 *     middle of the call.
 *   - Replies: one process at a time polls the device for all of them, and
 *     each reply byte is queued once, in the device's order; a reply goes to
 *     whichever USBQZ_ReadByte call takes it first, in any process.
 *   - A cancel from any process discards the text and replies queued by all
 *     of them, the byte a writer still retries against a busy device
 *     included; no call in flight brings discarded text back.
 *   - A process that loads the library empties both queues and greets the
 *     synthesizer with a cancel, so it cuts off speech in progress.
 *   - When a process ends or dies, another process with the library loaded
 *     carries on sending the queued text and polling for replies at once.
 *   - A stopped, suspended or starved process hands sending and polling on
 *     after 200 ms without progress; when it runs again, at most the one
 *     byte it had in hand is sent late, and nothing twice. Its own calls
 *     stay where it stopped. A process waiting on a busy device keeps its
 *     turn.
 *   - USBQZ_ReadByte in any process makes the polling process poll at once.
 *   - fork() after the load: the child shares the queues but never uses or
 *     closes the parent's connection; its first call of a function makes
 *     its own connection and worker threads.
 */
#ifndef QZUSBD_H
#define QZUSBD_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define QZUSBD_CALL __stdcall
#else
#define QZUSBD_CALL
#endif

#ifndef QZUSBD_API
#if defined(QZUSBD_BUILDING) && defined(_WIN32)
#define QZUSBD_API /* exported by name and ordinal through the .def file */
#elif defined(QZUSBD_BUILDING)
#define QZUSBD_API __attribute__((visibility("default")))
#elif defined(_WIN32)
#define QZUSBD_API __declspec(dllimport)
#else
#define QZUSBD_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when a synthesizer is connected, else 0. On a serial port this probes CTS
 * (about 10 ms at most); a port whose CTS stays off is closed for good. */
QZUSBD_API int32_t QZUSBD_CALL USBQZ_CheckWdmStatus(void);

/* Does nothing; kept for applications that call it. Same function as
 * USBQZ_ResumeSpeech. */
QZUSBD_API void QZUSBD_CALL USBQZ_PauseSpeech(void);

/* One reply byte (0 to 99), or -1 when none is waiting. On USB it also asks
 * the device to be polled soon; a byte polled for this call is returned by a
 * later one. On a serial port it waits up to 10 ms for a byte. */
QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadByte(void);

/* 1 when more text may be written: on USB, the text queue is not full; on a
 * serial port, CTS is on. Never blocks. */
QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadyCheck(void);

/* Does nothing; kept for applications that call it. */
QZUSBD_API void QZUSBD_CALL USBQZ_ResumeSpeech(void);

/* Queue one text byte (the low 8 bits of b) for speech. The byte 24 cancels:
 * queued text is discarded. On USB this returns at once unless the queue is
 * full, in which case it waits up to 0.9 s for room and then discards the
 * queue. On a serial port it waits up to about 1 s for CTS. */
QZUSBD_API void QZUSBD_CALL USBQZ_WriteByte(int32_t b);

/* Send one byte now, past the queue and the text filter; 10 is sent as 0.
 * On USB the byte 24 is the urgent cancel: queued text and replies are
 * discarded. Non-zero when the byte was handed to the device. */
QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteByteImmediate(int32_t b);

/* Send n raw bytes on the USB device in chunks of 32, past the queue and the
 * filter. 1 on success (also for n <= 0), 0 when a transfer failed or p is
 * null. Blocks while the device answers busy. */
QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteString(const uint8_t* p, int32_t n);

#ifdef __cplusplus
}
#endif

#endif /* QZUSBD_H */
