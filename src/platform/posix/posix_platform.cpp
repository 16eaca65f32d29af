#include "platform/posix/posix.h"

namespace qz {

const Platform& NativePlatform() {
  static const Platform table = {
      "posix",
      posix::AttachSharedBlock,
      posix::DetachSharedBlock,
      posix::SleepMs,
      [] { return static_cast<uint32_t>(posix::MonotonicMs()); },
      posix::OpenDevice,
      posix::DeviceControl,
      posix::CancelDeviceIo,
      posix::CloseDevice,
      posix::OpenSerialPort,
      posix::GetLineSettings,
      posix::SetLineSettings,
      posix::SetLineTimeouts,
      posix::GetModemStatus,
      posix::WritePort,
      posix::ReadPort,
      posix::CloseSerialPort,
      posix::GetConfigDirectory,
      '/',
      posix::FileExists,
      posix::GetProfileString,
      posix::GetProfileInt,
      posix::WriteProfileString,
      posix::CreateEvent,
      posix::SignalEvent,
      posix::WaitEvent,
      posix::CloseEvent,
      posix::StartThread,
      posix::LowerThreadPriority,
      posix::WaitThread,
      posix::CloseThread,
      posix::KeepLibraryMapped,
      posix::ProcessId,
      posix::MarkAlive,
      posix::UnmarkAlive,
      posix::ProcessGone,
      posix::OnForkInChild,
      posix::OpenSharedWake,
      posix::SignalSharedWake,
      posix::WaitSharedWake,
      posix::CloseSharedWake,
  };
  return table;
}

}  // namespace qz
