// The simulated node on the virtual bus. The bus calls on_frame in the thread of whoever sent
// the frame (a handle's canSend or another device's inject), outside the bus's locks; answers
// are injected from that same thread before the sender's call returns, unless they are held.
#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "canopen_node.h"
#include "tavik_time.h"
#include "vbus.h"

namespace sim {
namespace {
constexpr int64_t kMaxWaitNs = 100'000'000;

using Clock = std::chrono::steady_clock;
constexpr auto kSpinBefore = std::chrono::microseconds(100);

// The answers of nodes with real-bus timing, injected by one thread at their due times. Frames
// due at the same time go out in the order they were posted.
class DelayLine {
 public:
  static DelayLine& instance() {
    // Leaked on purpose: nodes of static lifetime may post while statics are destroyed.
    static DelayLine* d = new DelayLine;
    return *d;
  }

  // A frame seen by `node`, handed to it `delay_ns` from now in this thread (its processing);
  // on a shared wire, `delay_ns` after the frame has gone over it.
  void post_request(VbusNode* node, int net, const CMSG& frame, int64_t delay_ns) {
    {
      std::lock_guard<std::mutex> lk(mx_);
      start_locked();
      Clock::time_point from = Clock::now();
      const auto w = wires_.find(net);
      if (w != wires_.end()) from = std::max(from, w->second.last_sent_end);
      queue_.emplace(from + std::chrono::nanoseconds(delay_ns), Item{node, 0, 0, frame, true});
    }
    // Outside the lock: the woken thread takes it at once instead of waiting for the poster.
    cv_.notify_one();
  }

  // Answers of `node` (its device id `device`, net `net`), each due its frame time at
  // `bit_rate` after the end of the node's previous one (at once without a bit rate).
  void post_answers(VbusNode* node, int net, int device, const std::vector<CMSG>& frames,
                    int bit_rate) {
    {
      std::lock_guard<std::mutex> lk(mx_);
      start_locked();
      const auto w = wires_.find(net);
      Clock::time_point& busy = w != wires_.end() ? w->second.free : busy_until_[node];
      if (w != wires_.end()) bit_rate = w->second.bit_rate;
      const Clock::time_point now = Clock::now();
      for (const CMSG& m : frames) {
        const Clock::time_point start = std::max(now, busy);
        busy = start + std::chrono::nanoseconds(frame_ns(m, bit_rate));
        queue_.emplace(busy, Item{node, net, device, m, false});
      }
    }
    cv_.notify_one();
  }

  // One wire for `net` (VbusNode::share_wire); 0 removes it.
  void share_wire(int net, int bit_rate) {
    int old_tap = 0;
    {
      std::lock_guard<std::mutex> lk(mx_);
      const auto w = wires_.find(net);
      if (w != wires_.end()) {
        old_tap = w->second.tap;
        wires_.erase(w);
      }
    }
    if (old_tap != 0) vbus::detach_device(old_tap);
    if (bit_rate <= 0) return;
    std::lock_guard<std::mutex> lk(mx_);
    start_locked();
    Wire& w = wires_[net];
    w.bit_rate = bit_rate;
    // The handles' frames are timed by a listener of the net's: the bus calls devices in the
    // order they were attached, so a node attached later sees a request after it is on the wire.
    // The frames this thread injects are the timed answers, already on the wire.
    w.tap = vbus::attach_device(net, [this](int n, const CMSG& f) {
      std::lock_guard<std::mutex> lk2(mx_);
      if (std::this_thread::get_id() == thread_.get_id()) return;
      const auto it = wires_.find(n);
      if (it == wires_.end()) return;
      Wire& wire = it->second;
      wire.free =
          std::max(Clock::now(), wire.free) + std::chrono::nanoseconds(frame_ns(f, wire.bit_rate));
      wire.last_sent_end = wire.free;
    });
  }

  // No answer of `node` is pending or going out when this returns.
  void forget(const VbusNode* node) {
    std::unique_lock<std::mutex> lk(mx_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      it = it->second.node == node ? queue_.erase(it) : std::next(it);
    }
    busy_until_.erase(node);
    idle_cv_.wait(lk, [&] { return sending_ != node; });
  }

 private:
  struct Item {
    VbusNode* node;
    int net;
    int device;
    CMSG frame;
    bool request;  // a frame for the node to process, else an answer to put on the bus
  };

  struct Wire {
    int bit_rate = 0;
    int tap = 0;                      // the bus listener timing the handles' frames
    Clock::time_point free;           // when the last frame on the wire ends
    Clock::time_point last_sent_end;  // when the handles' last frame ends
  };

  static int64_t frame_ns(const CMSG& m, int bit_rate) {
    const int64_t bits = 47 + 8 * (m.len & NTCAN_RTR ? 0 : std::min(m.len & 0x0F, 8));
    return bit_rate > 0 ? bits * 1'000'000'000 / bit_rate : 0;
  }

  void start_locked() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }

  void run() {
    // Wake-ups to the microsecond, not the default 50 us timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock<std::mutex> lk(mx_);
    for (;;) {
      if (queue_.empty()) {
        cv_.wait(lk);
        continue;
      }
      auto first = queue_.begin();
      const Clock::time_point due = first->first;
      const Clock::time_point now = Clock::now();
      if (due > now) {
        // A sleeping thread wakes some tens of microseconds late on a loaded or virtual
        // machine: sleep until shortly before the due time, then yield until it comes, so that
        // a node answers at its time and not the scheduler's.
        if (due - now > kSpinBefore) {
          cv_.wait_until(lk, due - kSpinBefore);
        } else {
          lk.unlock();
          std::this_thread::yield();
          lk.lock();
        }
        continue;
      }
      Item item = first->second;
      queue_.erase(first);
      sending_ = item.node;
      lk.unlock();
      if (item.request) {
        item.node->process(item.frame);
      } else {
        vbus::inject(item.net, item.frame, item.device);
      }
      lk.lock();
      sending_ = nullptr;
      idle_cv_.notify_all();
    }
  }

  std::mutex mx_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::multimap<Clock::time_point, Item> queue_;
  std::unordered_map<const VbusNode*, Clock::time_point> busy_until_;
  std::map<int, Wire> wires_;          // by net
  const VbusNode* sending_ = nullptr;  // whose frame the thread processes or sends now
  std::thread thread_;                 // never joined: runs until the process ends
};

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
  DelayLine::instance().forget(this);
}

void VbusNode::set_timing(std::chrono::nanoseconds delay, int bit_rate) {
  delay_ns_ = delay.count();
  bit_rate_ = bit_rate;
}

void VbusNode::share_wire(int net, int bit_rate) {
  DelayLine::instance().share_wire(net, bit_rate);
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

void VbusNode::pdo_tick() {
  put(logic_.pdo_due(tavik::clock().now_ns()));
}

void VbusNode::start_heartbeat() {
  std::lock_guard<std::mutex> lk(hb_mx_);
  if (hb_thread_.joinable()) return;
  hb_stop_ = false;
  hb_thread_ = std::thread([this] {
    // Named so that a program hosting simulated devices can tell their processor time from its
    // own (top -H, /proc/PID/task/*/comm).
    pthread_setname_np(pthread_self(), "sim-device");
    std::unique_lock<std::mutex> lk(hb_mx_);
    while (!hb_stop_) {
      lk.unlock();
      heartbeat_tick();
      pdo_tick();
      // Until the next beat or PDO is due; at most 100 ms, so that a new period (0x1017) or a
      // PDO configured meanwhile is seen.
      const int64_t hb = logic_.next_heartbeat_ns();
      const int64_t pdo = logic_.next_pdo_ns();
      const int64_t next = hb == 0 ? pdo : (pdo == 0 ? hb : std::min(hb, pdo));
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
  if (delay_ns_.load() != 0 || bit_rate_.load() != 0) {
    // Only frames the node takes notice of (NMT, its SDO requests, its guarding, LSS) are worth the
    // timing thread's while: on a net of many nodes every frame reaches every node.
    if (logic_.wants(frame.id)) {
      DelayLine::instance().post_request(this, net_, frame, delay_ns_.load());
    }
    return;
  }
  put(logic_.on_frame(frame));
}

void VbusNode::process(const CMSG& frame) {
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
  const int bit_rate = bit_rate_.load();
  if (delay_ns_.load() != 0 || bit_rate != 0) {
    DelayLine::instance().post_answers(this, net_, device_.load(), frames, bit_rate);
    return;
  }
  inject_all(frames);
}

void VbusNode::inject_all(const std::vector<CMSG>& frames) {
  // Not under hold_mx_: inject runs the other devices' callbacks in this thread, and one of
  // them may answer with a frame that comes back to this node.
  for (const CMSG& m : frames) vbus::inject(net_, m, device_.load());
}

}  // namespace sim
