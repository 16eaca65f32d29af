// A small device server that answers index markers, for tests of whole
// programs (the doctor, the examples): listens on <runtime dir>/qzusb-0 and
// answers the library's control calls as a synthesizer would, recording what
// it was sent. Several connections are served at once, each in order.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qz::test {

struct MarkerServerOptions {
  // bcdDevice in the device descriptor.
  uint16_t release = 0x0106;
  // Descriptor queries fail (ok = 0).
  bool descriptorFails = false;
  // Index markers in the text, 0x01 D [D] 0x01 with one or two decimal
  // digits, come back as the reply byte D.
  bool markers = false;
  // Every text byte below 100 written on pipe 0 comes back as a reply.
  bool echoText = false;
};

class MarkerServer {
 public:
  MarkerServer() = default;
  ~MarkerServer() { Stop(); }
  MarkerServer(const MarkerServer&) = delete;
  MarkerServer& operator=(const MarkerServer&) = delete;

  // Listens on <dir>/qzusb-0 and serves on a thread of its own. False (with
  // nothing running) when the socket cannot be made.
  bool Start(const std::string& dir, const MarkerServerOptions& options);
  void Stop();

  void QueueReply(uint8_t b);
  // What arrived so far, by pipe: 0 text, 1 immediate; urgent cancels count.
  std::vector<uint8_t> Text();
  std::vector<uint8_t> Immediate();
  int Cancels();
  int DescriptorQueries();

  // One request packet in, its answer out; empty when the request is
  // malformed (the connection is then closed). Public for the program that
  // wraps the server.
  std::vector<uint8_t> Answer(const uint8_t* request, size_t size);

 private:
  void Serve();
  void Marker(uint8_t b);  // with lock_ held

  MarkerServerOptions options_;
  std::string path_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex lock_;
  std::deque<uint8_t> replies_;
  std::vector<uint8_t> text_;
  std::vector<uint8_t> immediate_;
  int cancels_ = 0;
  int markerDigits_ = -1;  // -1: not inside a marker
  int markerValue_ = 0;
  int descriptorQueries_ = 0;
};

}  // namespace qz::test
