// The synthesizer on an emulated USB bus, for the bridge's tests: umockdev
// puts its descriptors into a testbed's sysfs and answers the usbfs ioctls
// on its device node here, in a worker thread of the test process. libusb,
// in this process or in a child, sees a real USB device.
//
// The device takes what is written to its OUT endpoints (or refuses it, NAK,
// when told to), answers IN transfers on its reply endpoint with reply bytes
// (queued by the test, or those of the index markers in the text taken on
// its first endpoint), and journals every URB. With a request endpoint, a
// reply goes out only after the byte 3 arrived there (the newer protocol).
//
// Only programs running under umockdev's preload library see the testbed:
// ReexecUnderUmockdev makes the test program one, and its children inherit it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/index_marker.h"
#include "umockdev.h"

namespace qztest {

constexpr uint16_t kSynthVendor = 0x1209;
constexpr uint16_t kSynthProduct = 0x0010;

struct SynthModel {
  uint16_t release;                // bcdDevice
  std::vector<uint8_t> endpoints;  // interface 0's, in descriptor order
  uint8_t replyEndpoint;
  uint8_t requestEndpoint;         // 0: replies are not asked for
};

// One URB event: 'S' submitted, 'T' taken or answered, 'D' discarded (the
// transfer was cancelled), 'C' interface claimed.
struct UrbEvent {
  char what;
  uint8_t endpoint;  // for 'C', the interface
  std::string bytes;
};

class EmulatedSynth {
 public:
  explicit EmulatedSynth(const SynthModel& model);
  ~EmulatedSynth();
  EmulatedSynth(const EmulatedSynth&) = delete;
  EmulatedSynth& operator=(const EmulatedSynth&) = delete;

  // Removal (the uevent, then the device node and sysfs entry go) and
  // arrival again.
  void Unplug();
  void Replug();
  // The next `count` transfers to endpoint are refused until cancelled.
  void Nak(uint8_t endpoint, int count);
  // The next `count` claims of an interface fail (it is busy).
  void RefuseClaims(int count);
  void QueueReply(uint8_t byte);

  std::vector<UrbEvent> Journal() const;
  // The bytes taken from endpoint, in order.
  std::string Taken(uint8_t endpoint) const;
  int Count(char what, uint8_t endpoint) const;
  // Where in the journal the first event `what` on endpoint is; -1: none.
  long FirstIndex(char what, uint8_t endpoint) const;

 private:
  struct Urb {
    UMockdevIoctlData* data;
    uint8_t endpoint;
    bool refused;
    bool discarded;
  };
  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  bool Handle(UMockdevIoctlClient* client);
  bool Reap(UMockdevIoctlClient* client);
  // Whether the URB can finish now, and finishes it (under mutex_).
  bool Finish(Urb& u);

  SynthModel model_;
  std::string device_;
  UMockdevTestbed* testbed_;
  UMockdevIoctlBase* handler_;
  mutable std::mutex mutex_;
  std::vector<Urb> flying_;
  std::vector<UrbEvent> journal_;
  std::map<uint8_t, int> refuse_;
  int refuseClaims_ = 0;
  std::deque<uint8_t> replies_;
  int requests_ = 0;
  qz::wire::MarkerReader markers_;
};

// Runs the program again under umockdev's preload library, unless it is
// already; first thing in main.
void ReexecUnderUmockdev(char** argv);

}  // namespace qztest
