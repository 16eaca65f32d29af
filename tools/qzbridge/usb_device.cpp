#include "usb_device.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qzbridge {

namespace wire = qz::wire;

namespace {

// Bulk packets are at most 1024 bytes (SuperSpeed); a read asks for a whole
// packet so that a device sending more than one byte at once is no error.
constexpr int kMaxPacket = 1024;

bool ParseHex16(const std::string& s, uint16_t* v) {
  if (s.empty() || s.size() > 4) return false;
  char* end = nullptr;
  const unsigned long n = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0') return false;
  *v = static_cast<uint16_t>(n);
  return true;
}

std::string Describe(const Selection& s) {
  std::string what;
  for (size_t i = 0; i < s.ids.size(); ++i) what += (i == 0 ? "" : " or ") + ToString(s.ids[i]);
  if (s.bus >= 0) what += " at bus " + std::to_string(s.bus) + " address " + std::to_string(s.address);
  return what;
}

}  // namespace

bool ParseUsbId(const std::string& s, UsbId* id) {
  const size_t colon = s.find(':');
  return colon != std::string::npos && ParseHex16(s.substr(0, colon), &id->vendor) &&
         ParseHex16(s.substr(colon + 1), &id->product);
}

std::string ToString(const UsbId& id) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
  return text;
}

bool ParseBusAddress(const std::string& s, int* bus, int* address) {
  unsigned b = 0, a = 0;
  char extra = 0;
  if (std::sscanf(s.c_str(), "%u:%u%c", &b, &a, &extra) != 2 || b > 255 || a > 127) return false;
  *bus = static_cast<int>(b);
  *address = static_cast<int>(a);
  return true;
}

bool ParsePipes(const std::string& s, std::vector<uint8_t>* pipes) {
  std::vector<uint8_t> found;
  size_t start = 0;
  while (start <= s.size()) {
    const size_t comma = std::min(s.find(',', start), s.size());
    const std::string item = s.substr(start, comma - start);
    char* end = nullptr;
    const unsigned long ep = std::strtoul(item.c_str(), &end, 0);
    // An endpoint number 1..15, either direction.
    if (item.empty() || *end != '\0' || (ep & 0x70) != 0 || (ep & 0x0F) == 0 || ep > 0xFF) return false;
    found.push_back(static_cast<uint8_t>(ep));
    start = comma + 1;
  }
  if (found.size() != qz::kPipeCount) return false;
  *pipes = found;
  return true;
}

UsbDevice::UsbDevice(const Selection& selection) : selection_(selection) {}

UsbDevice::~UsbDevice() {
  Close();
  if (ctx_ == nullptr) return;
  if (hotplugRegistered_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
  libusb_exit(ctx_);
}

bool UsbDevice::Start(std::string* why) {
  const int r = libusb_init(&ctx_);
  if (r != 0) {
    ctx_ = nullptr;
    *why = std::string("libusb cannot start: ") + libusb_strerror(r);
    return false;
  }
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    *why = "this libusb cannot report devices being plugged in and out";
    return false;
  }
  // Any device: the selection may name several, and Selected() decides.
  const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
  if (libusb_hotplug_register_callback(ctx_, events, 0, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                       LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, this, &hotplug_) != 0) {
    *why = "libusb cannot report devices being plugged in and out";
    return false;
  }
  hotplugRegistered_ = true;
  return true;
}

int UsbDevice::OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
  UsbDevice& d = *static_cast<UsbDevice*>(self);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED && d.Selected(device)) d.arrived_ = true;
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT && d.handle_ != nullptr && libusb_get_device(d.handle_) == device) {
    d.lost_ = true;
  }
  return 0;  // stay registered
}

bool UsbDevice::Selected(libusb_device* device) const {
  libusb_device_descriptor desc;
  if (libusb_get_device_descriptor(device, &desc) != 0) return false;
  if (selection_.bus >= 0 && (libusb_get_bus_number(device) != selection_.bus ||
                              libusb_get_device_address(device) != selection_.address)) {
    return false;
  }
  for (const UsbId& id : selection_.ids) {
    if (id.vendor == desc.idVendor && id.product == desc.idProduct) return true;
  }
  return false;
}

bool UsbDevice::Open(std::string* why) {
  if (handle_ != nullptr) return true;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx_, &list);
  if (n < 0) {
    *why = std::string("cannot list the USB devices: ") + libusb_strerror(static_cast<int>(n));
    return false;
  }
  // The first id of the selection that is connected wins.
  libusb_device* chosen = nullptr;
  for (size_t i = 0; i < selection_.ids.size() && chosen == nullptr; ++i) {
    for (ssize_t k = 0; k < n && chosen == nullptr; ++k) {
      libusb_device_descriptor desc;
      if (Selected(list[k]) && libusb_get_device_descriptor(list[k], &desc) == 0 &&
          desc.idVendor == selection_.ids[i].vendor && desc.idProduct == selection_.ids[i].product) {
        chosen = list[k];
      }
    }
  }
  const bool opened = chosen != nullptr && OpenDevice(chosen, why);
  libusb_free_device_list(list, 1);
  if (chosen == nullptr) *why = "no USB device " + Describe(selection_) + " is connected";
  return opened;
}

bool UsbDevice::OpenDevice(libusb_device* device, std::string* why) {
  libusb_device_descriptor desc;
  libusb_get_device_descriptor(device, &desc);
  where_ = ToString({desc.idVendor, desc.idProduct}) + " at bus " + std::to_string(libusb_get_bus_number(device)) +
           " address " + std::to_string(libusb_get_device_address(device));
  int r = libusb_open(device, &handle_);
  if (r != 0) {
    handle_ = nullptr;
    *why = "cannot open the USB device " + where_ + ": " + libusb_strerror(r) +
           (r == LIBUSB_ERROR_ACCESS ? " (install the udev rule that qzbridge --udev-rule prints)" : "");
    return false;
  }
  libusb_set_auto_detach_kernel_driver(handle_, 1);
  r = libusb_claim_interface(handle_, 0);
  if (r != 0) {
    *why = "cannot claim interface 0 of the USB device " + where_ + ": " + libusb_strerror(r) +
           (r == LIBUSB_ERROR_BUSY ? " (another program is using it)" : "");
    libusb_close(handle_);
    handle_ = nullptr;
    return false;
  }
  if (!MapPipes(device, why)) {
    Close();
    return false;
  }
  for (std::deque<uint8_t>& u : unread_) u.clear();
  lost_ = false;
  return true;
}

bool UsbDevice::MapPipes(libusb_device* device, std::string* why) {
  std::memset(pipes_, 0, sizeof pipes_);
  if (!selection_.pipes.empty()) {
    std::memcpy(pipes_, selection_.pipes.data(), qz::kPipeCount);
    return true;
  }
  libusb_config_descriptor* config = nullptr;
  const int r = libusb_get_active_config_descriptor(device, &config);
  if (r != 0) {
    *why = "cannot read the configuration of " + where_ + ": " + libusb_strerror(r);
    return false;
  }
  const bool hasInterface = config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0;
  if (hasInterface) {
    const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
    for (uint32_t i = 0; i < qz::kPipeCount && i < alt.bNumEndpoints; ++i) pipes_[i] = alt.endpoint[i].bEndpointAddress;
  }
  libusb_free_config_descriptor(config);
  if (!hasInterface || pipes_[0] == 0) {
    *why = "interface 0 of " + where_ + " has no endpoints; name them with --pipes";
    return false;
  }
  return true;
}

void UsbDevice::Close() {
  if (handle_ == nullptr) return;
  libusb_release_interface(handle_, 0);  // gives the kernel driver back
  libusb_close(handle_);
  handle_ = nullptr;
}

bool UsbDevice::TakeArrival() {
  const bool a = arrived_;
  arrived_ = false;
  return a;
}

bool UsbDevice::TakeLoss() {
  const bool l = lost_;
  lost_ = false;
  return l;
}

void UsbDevice::AddPollFds(std::vector<pollfd>* fds) const {
  // Only those libusb reads: its wake-up and timer descriptors. The
  // device's own descriptor signals finished transfers, and every transfer
  // here is waited for inside Answer.
  const libusb_pollfd** list = libusb_get_pollfds(ctx_);
  if (list == nullptr) return;
  for (const libusb_pollfd** p = list; *p != nullptr; ++p) {
    if (((*p)->events & POLLIN) != 0) fds->push_back({(*p)->fd, POLLIN, 0});
  }
  libusb_free_pollfds(list);
}

void UsbDevice::HandleEvents() {
  timeval zero{0, 0};
  libusb_handle_events_timeout_completed(ctx_, &zero, nullptr);
}

int UsbDevice::Transfer(uint8_t endpoint, uint8_t* bytes, int length, int* done, unsigned timeoutMs) {
  *done = 0;
  const int r = libusb_bulk_transfer(handle_, endpoint, bytes, length, done, timeoutMs);
  if (r == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
  if (r == LIBUSB_ERROR_PIPE) libusb_clear_halt(handle_, endpoint);  // a stall: the next call may go through
  return r;
}

bool UsbDevice::Answer(uint32_t, const wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength,
                       uint32_t* returned) {
  if (handle_ == nullptr) return false;
  if (q.code == qz::IOCTL_GET_DEVICE_DESCRIPTOR) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(libusb_get_device(handle_), &d) != 0) return false;
    const uint8_t bytes[qz::kDescriptorLength] = {d.bLength, d.bDescriptorType, static_cast<uint8_t>(d.bcdUSB),
                               static_cast<uint8_t>(d.bcdUSB >> 8), d.bDeviceClass, d.bDeviceSubClass,
                               d.bDeviceProtocol, d.bMaxPacketSize0, static_cast<uint8_t>(d.idVendor),
                               static_cast<uint8_t>(d.idVendor >> 8), static_cast<uint8_t>(d.idProduct),
                               static_cast<uint8_t>(d.idProduct >> 8), static_cast<uint8_t>(d.bcdDevice),
                               static_cast<uint8_t>(d.bcdDevice >> 8), d.iManufacturer, d.iProduct,
                               d.iSerialNumber, d.bNumConfigurations};
    *dataLength = q.outLength < qz::kDescriptorLength ? q.outLength : qz::kDescriptorLength;
    std::memcpy(data, bytes, *dataLength);
    *returned = *dataLength;
    return true;
  }
  const uint32_t pipe = wire::GetWord(block);
  if (pipe >= qz::kPipeCount || pipes_[pipe] == 0) return false;
  if (q.code == qz::IOCTL_BULK_READ) return Read(pipe, data, dataLength, returned);
  if (q.code == qz::IOCTL_URGENT_WRITE) {
    // The calls are answered one at a time, so no text is in flight on
    // pipe 0 that the cancel would have to overtake: it goes out at once.
    const uint8_t ep = pipes_[qz::kImmediatePipe];
    if (pipe != qz::kImmediatePipe || (ep & LIBUSB_ENDPOINT_IN) != 0) return false;
    int done = 0;
    const int r = Transfer(ep, const_cast<uint8_t*>(q.data), static_cast<int>(q.outLength), &done,
                           kUrgentTimeoutMs);
    *returned = static_cast<uint32_t>(done);
    return r == 0;
  }
  return Write(pipe, q, block, returned);
}

bool UsbDevice::Write(uint32_t pipe, const wire::Request& q, uint8_t* block, uint32_t* returned) {
  const uint8_t ep = pipes_[pipe];
  if ((ep & LIBUSB_ENDPOINT_IN) != 0) return false;
  uint8_t bytes[wire::kMaxOutLength];
  std::memcpy(bytes, q.data, q.outLength);
  const int length = static_cast<int>(q.outLength);
  int sent = 0;
  int r = Transfer(ep, bytes, length, &sent, kWriteTimeoutMs);
  if (r == LIBUSB_ERROR_TIMEOUT && sent == 0) {
    wire::PutWord(block + 4, 1);  // busy: nothing taken, the library writes it again
    *returned = 0;
    return true;
  }
  // Taken in part: the rest follows, within the deadline.
  for (unsigned waited = kWriteTimeoutMs; r == LIBUSB_ERROR_TIMEOUT && sent < length && waited < kWriteDeadlineMs;
       waited += kWriteTimeoutMs) {
    int more = 0;
    r = Transfer(ep, bytes + sent, length - sent, &more, kWriteTimeoutMs);
    sent += more;
  }
  wire::PutWord(block + 4, 0);
  *returned = static_cast<uint32_t>(sent);
  return r == 0 || sent == length;
}

bool UsbDevice::Read(uint32_t pipe, uint8_t* data, uint32_t* dataLength, uint32_t* returned) {
  const uint8_t ep = pipes_[pipe];
  if ((ep & LIBUSB_ENDPOINT_IN) == 0) return false;
  std::deque<uint8_t>& unread = unread_[pipe];
  if (unread.empty()) {
    uint8_t packet[kMaxPacket];
    int got = 0;
    const int r = Transfer(ep, packet, kMaxPacket, &got, kReadTimeoutMs);
    if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) return false;
    unread.insert(unread.end(), packet, packet + got);
  }
  // The library reads one byte at a time.
  *dataLength = 0;
  if (!unread.empty()) {
    data[0] = unread.front();
    unread.pop_front();
    *dataLength = 1;
  }
  *returned = *dataLength;
  return true;
}

}  // namespace qzbridge
