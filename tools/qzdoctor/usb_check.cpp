// The USB device: the runtime directory as the library judges it, the device
// server's socket in it, and the device's answer to the descriptor query,
// through the library's own USB channel.
#include <sys/stat.h>

#include <cstdio>

#include "channels/usb_channel.h"
#include "doctor.h"
#include "platform/platform.h"
#include "platform/posix/places.h"
#include "protocol/device_protocol.h"
#include "state/state.h"

namespace qz::doctor {

namespace {

std::string Hex4(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

// Where the library looks for the device; false (and said why) when it
// would not look at all.
bool RuntimeDirUsable(const std::string& dir, bool usbMode) {
  const posix::RuntimeDirCheck check = posix::CheckRuntimeDir(dir);
  if (check == posix::RuntimeDirCheck::kUsable) return true;
  const std::string named = !Env("QZUSBD_RUNTIME_DIR").empty() ? "$QZUSBD_RUNTIME_DIR"
                            : !Env("XDG_RUNTIME_DIR").empty()  ? "$XDG_RUNTIME_DIR"
                                                               : "the default";
  const std::string problem = posix::RuntimeDirProblem(check);
  Line("runtime directory: " + dir + " (" + named + ")");
  Line("it " + problem + ": the library will not look for the device there");
  if (check == posix::RuntimeDirCheck::kMissing) Line("make it with: mkdir -p -m 700 " + dir);
  if (check == posix::RuntimeDirCheck::kWritableByOthers) Line("make it yours alone with: chmod go-w " + dir);
  if (usbMode) Problem("the runtime directory " + dir + " " + problem + ", so the USB device cannot be reached");
  return false;
}

// The descriptor query, as the library's load makes it, in words.
void ReportRevision(OsHandle h, bool usbMode) {
  uint8_t descriptor[kDescriptorLength] = {};
  uint32_t got = 0;
  if (!Os().deviceControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof descriptor, &got) ||
      got < kReleaseOffset + 2) {
    Line("the device is connected but did not answer the descriptor query; the library then assumes");
    Line("the newer protocol");
    if (usbMode) Problem("the USB device did not answer the descriptor query");
    return;
  }
  const uint32_t release = DescriptorRelease(descriptor);
  if (NewerRevision(release)) {
    Line("the device answers: protocol revision " + Hex4(release) + " (newer protocol: reply requests on pipe " +
         std::to_string(kReplyRequestPipe) + ", replies on pipe " + std::to_string(kReplyPipe) + ")");
  } else {
    Line("the device answers: protocol revision " + Hex4(release) + " (older protocol: replies on pipe " +
         std::to_string(kReplyRequestPipe) + ")");
  }
}

}  // namespace

bool CheckUsb(bool usbMode) {
  Say("USB device");
  const std::string dir = posix::RuntimeDirPath();
  if (!RuntimeDirUsable(dir, usbMode)) return false;
  const std::string socketPath = dir + "/" + kDeviceName;
  Line("device socket: " + socketPath);
  struct stat st;
  if (stat(socketPath.c_str(), &st) != 0) {
    Line("there is no device server: the socket does not exist");
    if (usbMode) Problem("no USB device: nothing listens at " + socketPath);
    return false;
  }
  OpenDevice();
  const OsHandle h = Proc().deviceHandle.load();
  if (!IsOpenHandle(h)) {
    Line("the device does not answer: connecting to the socket failed");
    if (usbMode) Problem("no USB device: connecting to " + socketPath + " failed");
    return false;
  }
  Proc().deviceOpen.store(1);
  ReportRevision(h, usbMode);
  // The revision the reply polls of the round trip follow, set as the
  // library's load sets it.
  ReadDeviceRevision();
  return true;
}

}  // namespace qz::doctor
