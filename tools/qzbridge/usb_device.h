// The synthesizer on the USB bus, through libusb-1.0: finding it, opening it
// and claiming its interface, the map from the library's pipes to its
// endpoints, the answer to each control call, and its comings and goings.
//
// Everything runs on one thread. libusb's hot-plug notices are delivered
// while libusb handles events: from HandleEvents, or from inside a transfer
// of Answer. So they only set flags, which the program takes with
// TakeArrival and TakeLoss between calls and acts on.
#pragma once

#include <libusb.h>
#include <poll.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/device_protocol.h"
#include "socket_server.h"

namespace qzbridge {

// Time-outs of the transfers, each well inside the two seconds the library
// gives a call. A text write that the device does not take within
// kWriteTimeoutMs (it answers NAK) is answered busy, and the library writes
// it again; a write it took in part gets until kWriteDeadlineMs for the
// rest. A reply read that gets nothing within kReadTimeoutMs reads 0 bytes.
// The calls are answered one at a time, so these are also how long a call
// may wait behind another: the library polls for replies every few tens of
// milliseconds, and text and the urgent cancel must not queue long behind
// a poll. The urgent cancel itself waits longest: it must get through.
constexpr unsigned kWriteTimeoutMs = 20;
constexpr unsigned kWriteDeadlineMs = 1000;
constexpr unsigned kReadTimeoutMs = 5;
constexpr unsigned kUrgentTimeoutMs = 500;

struct UsbId {
  uint16_t vendor = 0;
  uint16_t product = 0;
};

// Which device to drive, and how the library's pipes map to its endpoints.
struct Selection {
  std::vector<UsbId> ids;  // the first of these that is connected is used
  int bus = -1;            // with address: only the device at that place
  int address = -1;
  std::vector<uint8_t> pipes;  // endpoint addresses of pipes 0..3; empty:
                               // interface 0's endpoints in descriptor order
};

// "VID:PID" in hexadecimal.
bool ParseUsbId(const std::string& s, UsbId* id);
std::string ToString(const UsbId& id);
// "BUS:ADDRESS" in decimal.
bool ParseBusAddress(const std::string& s, int* bus, int* address);
// Four endpoint addresses, comma-separated ("0x01,0x02,0x03,0x84").
bool ParsePipes(const std::string& s, std::vector<uint8_t>* pipes);

class UsbDevice : public qzserver::Device {
 public:
  explicit UsbDevice(const Selection& selection);
  ~UsbDevice() override;
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // libusb and its hot-plug notices. False, with the reason in *why.
  bool Start(std::string* why);
  // Finds the device, opens it and claims interface 0 (detaching a kernel
  // driver bound to it). False, with the reason in *why.
  bool Open(std::string* why);
  // Releases the interface and closes the device; nothing when closed.
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  // The endpoint address of each pipe; 0 for a pipe without one.
  const uint8_t* Pipes() const { return pipes_; }
  // Where the open device is: "1209:0010 at bus 1 address 2".
  const std::string& Where() const { return where_; }

  // A selected device was plugged in / the open one went away, since the
  // last call.
  bool TakeArrival();
  bool TakeLoss();

  // libusb's descriptors that wake it up, for the program's poll; when any
  // is ready, HandleEvents.
  void AddPollFds(std::vector<pollfd>* fds) const;
  void HandleEvents();

  // The device's answer to one well-formed request. block holds the input
  // block and goes back as left here (the busy word); read codes put their
  // bytes into data (*dataLength). False: the call failed.
  bool Answer(uint32_t conn, const qz::wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength,
              uint32_t* returned) override;

 private:
  static int OnHotplug(libusb_context* ctx, libusb_device* device, libusb_hotplug_event event, void* self);
  bool Selected(libusb_device* device) const;
  bool OpenDevice(libusb_device* device, std::string* why);
  bool MapPipes(libusb_device* device, std::string* why);
  // One bulk transfer; a vanished device is noted for TakeLoss.
  int Transfer(uint8_t endpoint, uint8_t* bytes, int length, int* done, unsigned timeoutMs);
  bool Write(uint32_t pipe, const qz::wire::Request& q, uint8_t* block, uint32_t* returned);
  bool Read(uint32_t pipe, uint8_t* data, uint32_t* dataLength, uint32_t* returned);

  Selection selection_;
  libusb_context* ctx_ = nullptr;
  libusb_hotplug_callback_handle hotplug_ = 0;
  bool hotplugRegistered_ = false;
  libusb_device_handle* handle_ = nullptr;
  std::string where_;
  uint8_t pipes_[qz::kPipeCount] = {};
  // Bytes of a packet read beyond the one asked for, served first.
  std::deque<uint8_t> unread_[qz::kPipeCount];
  bool arrived_ = false;
  bool lost_ = false;
};

}  // namespace qzbridge
