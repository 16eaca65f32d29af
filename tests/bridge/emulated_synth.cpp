#include "emulated_synth.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socket_server.h"

namespace qztest {

namespace {

constexpr char kNode[] = "/dev/bus/usb/001/002";
constexpr char kSysPath[] = "/sys/devices/pci0000:00/usb1/1-1";

// The device and configuration descriptors, as sysfs shows them: one
// interface of vendor class with a bulk endpoint for each address.
std::string Descriptors(const SynthModel& m) {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64,
                            kSynthVendor & 0xFF, kSynthVendor >> 8, kSynthProduct & 0xFF, kSynthProduct >> 8,
                            static_cast<uint8_t>(m.release), static_cast<uint8_t>(m.release >> 8), 1, 2, 0, 1};
  const uint8_t total = static_cast<uint8_t>(9 + 9 + 7 * m.endpoints.size());
  const std::vector<uint8_t> config = {9, 2, total, 0, 1, 1, 0, 0x80, 50,
                                       9, 4, 0, 0, static_cast<uint8_t>(m.endpoints.size()), 0xFF, 0, 0, 0};
  d.insert(d.end(), config.begin(), config.end());
  for (uint8_t ep : m.endpoints) d.insert(d.end(), {7, 5, ep, 2, 64, 0, 0});
  return qzserver::Hex(d.data(), static_cast<uint32_t>(d.size()));
}

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

EmulatedSynth::EmulatedSynth(const SynthModel& model)
    : model_(model), testbed_(umockdev_testbed_new()), handler_(umockdev_ioctl_base_new()) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  // The handler first: libusb may open the device as soon as it is added.
  umockdev_testbed_attach_ioctl(testbed_, kNode, handler_, nullptr);
  device_ = std::string("P: ") + (kSysPath + 4) +
                             "\nN: bus/usb/001/002\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                             "E: BUSNUM=001\nE: DEVNUM=002\nE: DEVNAME=" + kNode +
                             "\nA: busnum=1\\n\nA: devnum=2\\n\nA: bConfigurationValue=1\\n\nA: speed=12\\n\n"
                             "H: descriptors=" + Descriptors(model) + "\n";
  umockdev_testbed_add_from_string(testbed_, device_.c_str(), nullptr);
}

EmulatedSynth::~EmulatedSynth() {
  umockdev_testbed_detach_ioctl(testbed_, kNode, nullptr);
  g_object_unref(handler_);
  g_object_unref(testbed_);
  for (Urb& u : flying_) g_object_unref(u.data);
}

void EmulatedSynth::Unplug() {
  umockdev_testbed_uevent(testbed_, kSysPath, "remove");
  umockdev_testbed_detach_ioctl(testbed_, kNode, nullptr);
  umockdev_testbed_remove_device(testbed_, kSysPath);
}
void EmulatedSynth::Replug() {
  umockdev_testbed_attach_ioctl(testbed_, kNode, handler_, nullptr);
  umockdev_testbed_add_from_string(testbed_, device_.c_str(), nullptr);
}

void EmulatedSynth::Nak(uint8_t endpoint, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_[endpoint] += count;
}

void EmulatedSynth::RefuseClaims(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseClaims_ += count;
}

void EmulatedSynth::QueueReply(uint8_t byte) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(byte);
}

std::vector<UrbEvent> EmulatedSynth::Journal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journal_;
}

std::string EmulatedSynth::Taken(uint8_t endpoint) const {
  std::string bytes;
  for (const UrbEvent& e : Journal()) {
    if (e.what == 'T' && e.endpoint == endpoint) bytes += e.bytes;
  }
  return bytes;
}

int EmulatedSynth::Count(char what, uint8_t endpoint) const {
  int n = 0;
  for (const UrbEvent& e : Journal()) n += e.what == what && e.endpoint == endpoint;
  return n;
}

long EmulatedSynth::FirstIndex(char what, uint8_t endpoint) const {
  const std::vector<UrbEvent> j = Journal();
  for (size_t i = 0; i < j.size(); ++i) {
    if (j[i].what == what && j[i].endpoint == endpoint) return static_cast<long>(i);
  }
  return -1;
}

gboolean EmulatedSynth::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  EmulatedSynth& s = *static_cast<EmulatedSynth*>(self);
  std::lock_guard<std::mutex> lock(s.mutex_);
  return s.Handle(client);
}

bool EmulatedSynth::Handle(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      *reinterpret_cast<uint32_t*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      g_object_unref(caps);
      Complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: {
      if (refuseClaims_ > 0) {
        --refuseClaims_;
        Complete(client, -1, EBUSY);
        return true;
      }
      // Both start with the interface number.
      UMockdevIoctlData* iface = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      journal_.push_back({'C', static_cast<uint8_t>(*reinterpret_cast<uint32_t*>(iface->data)), ""});
      g_object_unref(iface);
      Complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
      Complete(client, 0, 0);
      return true;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      Complete(client, -1, ENODATA);  // no kernel driver bound
      return true;
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
      UMockdevIoctlData* buffer =
          umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
      const bool out = (urb->endpoint & 0x80) == 0;
      journal_.push_back({'S', urb->endpoint,
                          out ? std::string(reinterpret_cast<char*>(buffer->data), urb->buffer_length) : ""});
      const bool refused = out && refuse_[urb->endpoint] > 0;
      if (refused) --refuse_[urb->endpoint];
      flying_.push_back({data, urb->endpoint, refused, false});
      g_object_unref(buffer);
      Complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_DISCARDURB:
      for (Urb& u : flying_) {
        if (u.data->client_addr != reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data))) continue;
        u.discarded = true;
        journal_.push_back({'D', u.endpoint, ""});
        Complete(client, 0, 0);
        return true;
      }
      Complete(client, -1, EINVAL);
      return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      return Reap(client);
    default:
      return false;
  }
}

bool EmulatedSynth::Reap(UMockdevIoctlClient* client) {
  for (size_t i = 0; i < flying_.size(); ++i) {
    Urb u = flying_[i];
    if (!Finish(u)) continue;
    flying_.erase(flying_.begin() + static_cast<long>(i));
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, u.data);
    g_object_unref(slot);
    g_object_unref(u.data);
    Complete(client, 0, 0);
    return true;
  }
  Complete(client, -1, EAGAIN);  // nothing finished
  return true;
}

bool EmulatedSynth::Finish(Urb& u) {
  auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
  urb->status = 0;
  urb->actual_length = 0;
  if (u.discarded) {
    urb->status = -ENOENT;
    return true;
  }
  if ((u.endpoint & 0x80) == 0) {
    if (u.refused) return false;
    const std::string bytes(static_cast<char*>(urb->buffer), urb->buffer_length);
    if (u.endpoint == model_.requestEndpoint) requests_ += static_cast<int>(std::count(bytes.begin(), bytes.end(), 3));
    for (size_t i = 0; u.endpoint == model_.endpoints[0] && i < bytes.size(); ++i) {
      if (markers_.Read(static_cast<uint8_t>(bytes[i])) == qz::wire::MarkerReader::kReply) {
        replies_.push_back(static_cast<uint8_t>(markers_.Reply()));
      }
    }
    urb->actual_length = urb->buffer_length;
    journal_.push_back({'T', u.endpoint, bytes});
    return true;
  }
  const bool asked = model_.requestEndpoint == 0 || requests_ > 0;
  if (u.endpoint != model_.replyEndpoint || replies_.empty() || !asked) return false;  // NAK
  if (model_.requestEndpoint != 0) --requests_;
  static_cast<uint8_t*>(urb->buffer)[0] = replies_.front();
  urb->actual_length = 1;
  journal_.push_back({'T', u.endpoint, std::string(1, static_cast<char>(replies_.front()))});
  replies_.pop_front();
  return true;
}

void ReexecUnderUmockdev(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
  const std::string with = std::string("libumockdev-preload.so.0") + (preload != nullptr ? std::string(":") + preload : "");
  setenv("LD_PRELOAD", with.c_str(), 1);
  // The address sanitizer wants its runtime first; umockdev's must be.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("cannot run the tests under umockdev's preload library");
  std::exit(1);
}

}  // namespace qztest
