// CTS for a pty. A pty has no modem lines, so a status read (TIOCMGET) on
// one fails; this program defines ioctl() itself, and the library's calls
// bind to the program's definition first. The real system call is still
// made, and while CTS is supplied, a TIOCMGET that fails on a pty slave is
// answered "CTS and DSR on". The harness's bare serial loop goes through the
// same ioctl(), so both sides pay the same.
#pragma once

namespace qzbench {

void SupplyCts(bool on);

}  // namespace qzbench
