// The library loaded in this process, and in second processes: this program
// started again with --idle-process or --reader-process (a fresh program
// rather than a fork, as this process runs threads).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "library_process.h"

namespace qzbench {

// The reply byte the measurements have the server hand out.
constexpr int32_t kReplyByte = 42;

// Loads the library at path; says why on stderr when it cannot.
bool LoadLibrary(qztest::Library& lib, const char* path);

// A second process with the library loaded that does nothing. Its load
// greets the device and empties the rings before it answers. -1 when it
// could not be started; StopIdleProcess ends it.
pid_t StartIdleProcess(const char* path);
void StopIdleProcess(pid_t pid);
int IdleProcessMain(const char* path);

// A second process that reads replies, as an application does: for each
// start time (ns) it is sent on to, it calls USBQZ_ReadByte every
// millisecond until kReplyByte comes and answers on from with the time it
// came (0: not within 2 s). Its poller does not poll: the harness's process
// holds the poller lease.
struct Reader {
  pid_t pid = -1;
  int to = -1, from = -1;
};
Reader StartReader(const char* path);
void StopReader(Reader& r);
int ReaderProcessMain(const char* path);

}  // namespace qzbench
