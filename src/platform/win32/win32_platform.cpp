#include "platform/win32/win32.h"

namespace qz {

const Platform& NativePlatform() {
  static const Platform table = {
      "win32",
      win32::AttachSharedBlock,
      win32::DetachSharedBlock,
      win32::SleepMs,
      win32::TickMs,
      win32::OpenDevice,
      win32::DeviceControl,
      win32::CancelDeviceIo,
      win32::CloseDevice,
      win32::OpenSerialPort,
      win32::GetLineSettings,
      win32::SetLineSettings,
      win32::SetLineTimeouts,
      win32::GetModemStatus,
      win32::WritePort,
      win32::ReadPort,
      win32::CloseSerialPort,
      win32::WindowsDirectory,
      '\\',
      win32::FileExists,
      win32::ReadProfileString,
      win32::ReadProfileInt,
      win32::WriteProfileEntry,
      win32::MakeEvent,
      win32::SignalEvent,
      win32::WaitEvent,
      win32::CloseEvent,
      win32::StartThread,
      win32::LowerThreadPriority,
      win32::WaitThread,
      win32::CloseThread,
      win32::KeepLibraryMapped,
      win32::ProcessId,
      win32::MarkAlive,
      win32::UnmarkAlive,
      win32::ProcessGone,
      win32::OnForkInChild,
      win32::OpenSharedWake,
      win32::SignalSharedWake,
      win32::WaitSharedWake,
      win32::CloseSharedWake,
  };
  return table;
}

}  // namespace qz
