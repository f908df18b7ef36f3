// Helpers of the frame I/O and CANopen tests: node properties with a given value, a device that
// records what it sees on a net, and client writes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "D_esdcan.h"
#include "support/frames.h"
#include "support/nodes.h"
#include "vbus.h"

namespace canbus_test {

// A device that records every frame it sees on a net (frames sent by handles and frames put on
// the bus by other devices).
class Recorder {
 public:
  explicit Recorder(int net)
      : id_(vbus::attach_device(net, [this](int, const CMSG& m) {
          std::lock_guard<std::mutex> lk(mx_);
          frames_.push_back(m);
        })) {}
  ~Recorder() { vbus::detach_device(id_); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // The frames of identifier `id` in the can-utils text form.
  std::vector<std::string> texts(int32_t id) {
    std::lock_guard<std::mutex> lk(mx_);
    std::vector<std::string> out;
    for (const CMSG& m : frames_) {
      if (m.id == id) out.push_back(frame_text(m));
    }
    return out;
  }

 private:
  std::mutex mx_;
  std::vector<CMSG> frames_;
  int id_;
};

// A device on a net for the lifetime of the object; `fn` sees every frame of the net (see
// vbus::DeviceFn) and may answer with vbus::inject.
class ScopedDevice {
 public:
  ScopedDevice(int net, vbus::DeviceFn fn) : id_(vbus::attach_device(net, std::move(fn))) {}
  ~ScopedDevice() { vbus::detach_device(id_); }
  ScopedDevice(const ScopedDevice&) = delete;
  ScopedDevice& operator=(const ScopedDevice&) = delete;
  int id() const { return id_; }

 private:
  int id_;
};

// A device that answers every frame sent with identifier `request_id` by putting `replies` on
// the bus, after running `before` (if given).
inline vbus::DeviceFn answer(int32_t request_id, std::vector<CMSG> replies,
                             std::function<void()> before = {}) {
  return [=](int net, const CMSG& m) {
    if (m.id != request_id) return;
    if (before) before();
    for (const CMSG& r : replies) vbus::inject(net, r);
  };
}

inline std::vector<std::string> sent_texts(int net) {
  std::vector<std::string> out;
  for (const CMSG& m : vbus::sent(net)) out.push_back(frame_text(m));
  return out;
}

}  // namespace canbus_test
