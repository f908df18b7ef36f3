// The simulated node on the virtual bus. The bus calls on_frame in the thread of whoever sent
// the frame (a handle's canSend or another device's inject), outside the bus's locks; answers
// are injected from that same thread before the sender's call returns, unless they are held.
#include <algorithm>
#include <chrono>
#include <utility>

#include "canopen_node.h"
#include "tavik_time.h"
#include "vbus.h"

namespace sim {
namespace {
constexpr int64_t kMaxWaitNs = 100'000'000;
}  // namespace

VbusNode::VbusNode(int net, int node_id, const std::string& device_name,
                   const std::string& hw_version, const std::string& sw_version)
    : net_(net), logic_(node_id, device_name, hw_version, sw_version) {
  device_.store(vbus::attach_device(net_, [this](int, const CMSG& frame) { on_frame(frame); }));
  boot();
}

VbusNode::~VbusNode() {
  stop_heartbeat();
  // After this returns the bus no longer calls on_frame, so the members may go.
  vbus::detach_device(device_.load());
}

void VbusNode::boot() {
  std::vector<CMSG> frames = logic_.boot();
  if (!logic_.silent()) put(frames);
}

void VbusNode::send_emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor) {
  if (logic_.silent() || logic_.state() == kStopped) return;
  put({logic_.emcy(code, reg, vendor)});
}

void VbusNode::send_heartbeat() {
  if (logic_.silent()) return;
  put({logic_.heartbeat()});
}

void VbusNode::hold_answers(bool on) {
  std::vector<CMSG> flush;
  {
    std::lock_guard<std::mutex> lk(hold_mx_);
    hold_ = on;
    if (!on) flush.swap(held_);
  }
  inject_all(flush);
}

void VbusNode::release_answers() {
  std::vector<CMSG> flush;
  {
    std::lock_guard<std::mutex> lk(hold_mx_);
    flush.swap(held_);
  }
  inject_all(flush);
}

size_t VbusNode::held_answers() {
  std::lock_guard<std::mutex> lk(hold_mx_);
  return held_.size();
}

void VbusNode::heartbeat_tick() {
  put(logic_.heartbeat_due(tavik::clock().now_ns()));
}

void VbusNode::start_heartbeat() {
  std::lock_guard<std::mutex> lk(hb_mx_);
  if (hb_thread_.joinable()) return;
  hb_stop_ = false;
  hb_thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lk(hb_mx_);
    while (!hb_stop_) {
      lk.unlock();
      heartbeat_tick();
      // Until the next beat is due; at most 100 ms, so that a new period (0x1017) is seen.
      const int64_t next = logic_.next_heartbeat_ns();
      const int64_t wait = next == 0 ? kMaxWaitNs : next - tavik::clock().now_ns();
      lk.lock();
      hb_cv_.wait_for(lk, std::chrono::nanoseconds(std::clamp(wait, int64_t{0}, kMaxWaitNs)),
                      [this] { return hb_stop_; });
    }
  });
}

void VbusNode::stop_heartbeat() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(hb_mx_);
    hb_stop_ = true;
    t = std::move(hb_thread_);
  }
  hb_cv_.notify_all();
  if (t.joinable()) t.join();
}

void VbusNode::on_frame(const CMSG& frame) {
  put(logic_.on_frame(frame));
}

void VbusNode::put(const std::vector<CMSG>& frames) {
  if (frames.empty()) return;
  {
    std::lock_guard<std::mutex> lk(hold_mx_);
    if (hold_) {
      held_.insert(held_.end(), frames.begin(), frames.end());
      return;
    }
  }
  inject_all(frames);
}

void VbusNode::inject_all(const std::vector<CMSG>& frames) {
  // Not under hold_mx_: inject runs the other devices' callbacks in this thread, and one of
  // them may answer with a frame that comes back to this node.
  for (const CMSG& m : frames) vbus::inject(net_, m, device_.load());
}

}  // namespace sim
