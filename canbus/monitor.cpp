// The node monitor. One poll: the receive cycle, then node by node a copy of the node's buffer,
// evaluated once (states, emergencies, lost frames), the supervision deadlines checked against
// the time of the poll, the guarding request sent when due, and that node's callbacks.
//
// Frames carry no time stamp: a frame taken by a poll arrived at the latest at the poll's time.
// Each poll drains first and compares deadlines afterwards, so a late poll finds the beats that
// came meanwhile and never reports a time-out the node did not have.
//
// The thread (run) polls every node each period, and in between, where the driver can tell
// arrivals (ntcan_wait.h), sleeps in a watcher of the supervised nodes' handles: a frame on one
// of them wakes a cycle of just the masters that received frames and their nodes, at most one
// such cycle per wake spacing, and at once again for a node whose cycle took the whole frame
// budget. Supervision deadlines stay with the periodic poll, which still runs for every node.
#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "D_esdcan.h"
#include "cob_id.h"
#include "registry.h"
#if __has_include("ntcan_wait.h")
#include "ntcan_wait.h"
#endif

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int kBootUp = 0x00;
constexpr uint8_t kToggle = 0x80;

// The monitor whose thread runs the receive cycle; a second one would take the frames the
// first one has to evaluate.
std::atomic<NodeMonitor*> g_cycle_owner{nullptr};

#ifdef NTCAN_HAS_WATCHER
// The running monitor's watcher, for canbus_post_arrival; set and cleared by start/stop.
std::mutex g_watch_mx;
NTCAN_WATCHER g_watcher = nullptr;    // guarded by g_watch_mx
std::atomic<bool> g_watching{false};  // g_watcher != nullptr, read without the lock
#endif

// A callback that throws must not end the monitor's thread (and with it the server): the
// exception is logged and supervision goes on.
template <class Fn, class... Args>
void call(const Fn& fn, Args&&... args) {
  if (!fn) return;
  try {
    fn(std::forward<Args>(args)...);
  } catch (const std::exception& x) {
    tavik::printtostderr("NodeMonitor", std::string("a callback threw: ") + x.what(), DF_LOG);
  } catch (...) {
    tavik::printtostderr("NodeMonitor", "a callback threw", DF_LOG);
  }
}

}  // namespace
}  // namespace canbus

void canbus_post_arrival(NTCAN_HANDLE handle) {
#ifdef NTCAN_HAS_WATCHER
  if (handle <= 0 || !canbus::g_watching.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lk(canbus::g_watch_mx);
  if (canbus::g_watcher != nullptr) canWatcherPost(canbus::g_watcher, handle);
#else
  (void)handle;
#endif
}

namespace canbus {

struct NodeMonitor::Entry {
  D_can* prop;
  int line;
  int node;
  NodeConfig cfg;
  NodeStats st;
  bool removed = false;
  // Guarding: when the next request is due (0: at the next poll), whether the last one still
  // waits for its reply, and the toggle bit the reply must carry once it is known.
  int64_t next_request = 0;
  bool awaiting = false;
  bool toggle_known = false;
  uint8_t expected_toggle = 0;
  int miss_run = 0;
  // Heartbeat: armed by the first beat or boot-up; a node never heard is never "lost".
  bool armed = false;
  int64_t last_beat = 0;
};

struct NodeMonitor::Event {
  enum Kind { kState, kLost, kBack, kEmcy, kLineLost, kLineBack } kind;
  int a = 0;  // old state, or line
  int b = 0;  // new state
  Emcy emcy{};
};

NodeMonitor::NodeMonitor(MonitorCallbacks callbacks)
    : cb_(std::move(callbacks)), frames_(D_can::kRxFrames) {}

NodeMonitor::~NodeMonitor() {
  stop();
}

int NodeMonitor::add(D_can* node, const NodeConfig& config) {
  if (node == nullptr) return -1;
  IIII v;
  {
    // Attachment sets the buffer and a client's reconfiguration the value under mx_loop.
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    if (node->rx_buffer() == nullptr) return -1;
    v = node->value();
  }
  if (v.i2_data < 1 || v.i2_data > 127 || v.i1_data < 1 || v.i1_data > 20) return -1;
  // Periods that cannot be kept: a request or a time-out on every poll.
  if ((config.mode == Supervision::kGuarding && config.guard_period_ms <= 0) ||
      (config.mode == Supervision::kHeartbeat &&
       (config.heartbeat_ms <= 0 ||
        (config.write_producer_time && config.heartbeat_ms > 0xFFFF)))) {
    return -1;
  }
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (const auto& e : entries_) {
      if (e->prop == node || (e->line == v.i1_data && e->node == v.i2_data)) return -1;
    }
    auto e = std::make_shared<Entry>();
    e->prop = node;
    e->line = v.i1_data;
    e->node = v.i2_data;
    e->cfg = config;
    e->cfg.guard_misses = std::max(e->cfg.guard_misses, 1);
    entries_.push_back(std::move(e));
    ++entries_gen_;
  }
  int r = node->AddIdent(cob_id(0x700, v.i2_data));
  const int r2 = node->AddIdent(cob_id(0x80, v.i2_data));
  if (r == 0) r = r2;
  if (r == 0 && config.mode == Supervision::kHeartbeat && config.write_producer_time) {
    // The node's producer time (0x1017, UNSIGNED16 milliseconds), by SDO download; its answer
    // comes on 0x580 + node.
    r = node->AddIdent(cob_id(0x580, v.i2_data));
    const unsigned char t[2] = {static_cast<unsigned char>(config.heartbeat_ms & 0xFF),
                                static_cast<unsigned char>(config.heartbeat_ms >> 8)};
    if (r == 0) r = node->sdo_download(0x1017, 0, t, sizeof t);
  }
  return r;
}

bool NodeMonitor::remove(D_can* node) {
  // From another thread: wait for a poll in progress, whose callbacks may concern this node.
  std::unique_lock<std::mutex> pl(poll_mx_, std::defer_lock);
  if (polling_thread_.load() != std::this_thread::get_id()) pl.lock();
  std::lock_guard<std::mutex> lk(mx_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [node](const auto& e) { return e->prop == node; });
  if (it == entries_.end()) return false;
  (*it)->removed = true;
  entries_.erase(it);
  ++entries_gen_;
  return true;
}

bool NodeMonitor::supervised(const D_can* node) const {
  std::lock_guard<std::mutex> lk(mx_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [node](const auto& e) { return e->prop == node; });
}

bool NodeMonitor::stats(const D_can* node, NodeStats& out) const {
  std::lock_guard<std::mutex> lk(mx_);
  for (const auto& e : entries_) {
    if (e->prop != node) continue;
    out = e->st;
    return true;
  }
  return false;
}

void NodeMonitor::evaluate(Entry& e, const CMSG* frames, int count, int64_t now,
                           std::vector<Event>& out) {
  NodeStats& st = e.st;
  auto set_state = [&](int s) {
    if (s == st.state) return;
    out.push_back({Event::kState, st.state, s, {}});
    st.state = s;
  };
  auto back = [&] {
    e.miss_run = 0;
    if (!st.lost) return;
    st.lost = false;
    out.push_back({Event::kBack, 0, 0, {}});
  };
  const int32_t emcy_id = cob_id(0x80, e.node);
  const int32_t ec_id = cob_id(0x700, e.node);
  for (int i = 0; i < count; ++i) {
    const CMSG& m = frames[i];
    if ((m.len & NTCAN_RTR) != 0) continue;
    if (m.id == emcy_id) {
      ++st.emergencies;
      out.push_back({Event::kEmcy, 0, 0, emcy_from_frame(m)});
      continue;
    }
    if (m.id != ec_id || (m.len & 0x0F) != 1) continue;
    const uint8_t b = m.data[0];
    if (b == kBootUp) {
      // The node (re)started: its guarding toggle starts again, its heartbeat begins.
      ++st.boot_ups;
      e.toggle_known = false;
      e.armed = true;
      e.last_beat = now;
      back();
      set_state(kBootUp);
      continue;
    }
    switch (e.cfg.mode) {
      case Supervision::kGuarding: {
        // One reply per request: a reply nobody waits for (another master's request, a late
        // one already given up) is passed over.
        if (!e.awaiting) break;
        const uint8_t toggle = b & kToggle;
        if (e.toggle_known && toggle != e.expected_toggle) {
          ++st.toggle_errors;
          e.expected_toggle = toggle ^ kToggle;
          break;
        }
        e.awaiting = false;
        e.toggle_known = true;
        e.expected_toggle = toggle ^ kToggle;
        ++st.replies;
        back();
        set_state(b & 0x7F);
        break;
      }
      case Supervision::kHeartbeat:
        if ((b & kToggle) != 0) break;  // a guarding reply, not a beat
        ++st.replies;
        e.armed = true;
        e.last_beat = now;
        back();
        set_state(b);
        break;
      case Supervision::kNone:
        ++st.replies;
        set_state(b & 0x7F);
        break;
    }
  }
  if (count >= D_can::kRxFrames) ++st.cycles_full;
}

bool NodeMonitor::supervise(Entry& e, int64_t now, std::vector<Event>& out) {
  NodeStats& st = e.st;
  auto lost = [&] {
    if (st.lost) return;
    st.lost = true;
    out.push_back({Event::kLost, 0, 0, {}});
  };
  if (e.cfg.mode == Supervision::kHeartbeat) {
    const int64_t limit =
        (static_cast<int64_t>(e.cfg.heartbeat_ms) + e.cfg.heartbeat_tolerance_ms) * kNsPerMs;
    if (e.armed && !st.lost && now - e.last_beat > limit) {
      ++st.missed;
      lost();
    }
    return false;
  }
  if (e.cfg.mode != Supervision::kGuarding || now < e.next_request) return false;
  // The next request is due: the last one is missed if no good reply came.
  if (e.awaiting) {
    ++st.missed;
    e.toggle_known = false;  // the node may or may not have seen the request
    if (++e.miss_run >= e.cfg.guard_misses) lost();
  }
  e.awaiting = true;
  // Keep the phase; a poll that came more than a period late starts a new one.
  const int64_t period = int64_t{e.cfg.guard_period_ms} * kNsPerMs;
  e.next_request = e.next_request == 0 || e.next_request + period <= now ? now + period
                                                                         : e.next_request + period;
  return true;
}

bool NodeMonitor::poll() {
  return cycle(nullptr, nullptr);
}

bool NodeMonitor::cycle(const std::vector<std::shared_ptr<Entry>>* ready,
                        std::vector<NTCAN_HANDLE>* again) {
  NodeMonitor* owner = g_cycle_owner.load();
  if (owner != nullptr && owner != this) return false;
  std::lock_guard<std::mutex> pl(poll_mx_);
  polling_thread_ = std::this_thread::get_id();
  const int64_t now = tavik::clock().now_ns();

  std::vector<std::shared_ptr<Entry>> snap;
  std::vector<Event> events;
  if (ready != nullptr) {
    // A woken cycle: only the nodes that received frames; lines are the periodic poll's. The
    // properties stay valid until the cycle ends: remove() waits for poll_mx_.
    std::vector<D_can*> props;
    {
      std::lock_guard<std::mutex> lk(mx_);
      for (const auto& e : *ready) {
        if (e->removed) continue;
        snap.push_back(e);
        props.push_back(e->prop);
      }
    }
    can_looping_nodes(props.data(), props.size());
  } else {
    can_looping();
    std::lock_guard<std::mutex> lk(mx_);
    snap = entries_;
    // Lines first: a line that went down explains the nodes that go quiet with it.
    for (const auto& e : snap) {
      canline* l = e->prop->line_ptr();
      const bool open = l != nullptr && l->handle() > 0;
      auto it = std::find_if(lines_.begin(), lines_.end(),
                             [&](const LineState& s) { return s.line == e->line; });
      if (it == lines_.end()) {
        lines_.push_back({e->line, true});
        it = lines_.end() - 1;
      }
      if (it->open == open) continue;
      it->open = open;
      events.push_back({open ? Event::kLineBack : Event::kLineLost, e->line, 0, {}});
    }
  }
  for (const Event& ev : events) {
    call(ev.kind == Event::kLineLost ? cb_.on_line_lost : cb_.on_line_back, ev.a);
  }

  for (const auto& e : snap) {
    events.clear();
    int count = 0;
    bool request = false;
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (e->removed) continue;
    }
    // Not under mx_: can_array takes mx_loop. The property stays valid: a remove() from
    // another thread waits for this poll.
    if (e->prop->can_array(frames_.data(), &count) < 0 || count < 0) count = 0;
    // More frames may wait in the driver's queue: the thread serves the node again at once.
    if (again != nullptr && count >= D_can::kRxFrames) again->push_back(e->prop->handle());
    // The receive cycle counts what the driver dropped for the node's buffer (also takes
    // mx_loop, so not under mx_).
    const uint64_t lost = e->prop->frames_lost();
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (e->removed) continue;
      evaluate(*e, frames_.data(), count, now, events);
      e->st.frames_lost = lost;
      request = supervise(*e, now, events);
    }
    // Not under mx_: a driver's send may wait for its transmit queue.
    if (request) e->prop->rtr();
    deliver_node(*e, events, frames_.data(), count);
  }
  polling_thread_ = std::thread::id();
  return true;
}

void NodeMonitor::deliver_node(Entry& e, std::vector<Event>& events, CMSG* frames, int count) {
  D_can& p = *e.prop;
  for (const Event& ev : events) {
    NodeConfig cfg;
    int state = kStateUnknown;
    {
      // A callback before this one may have removed the node.
      std::lock_guard<std::mutex> lk(mx_);
      if (e.removed) return;
      cfg = e.cfg;
      state = e.st.state;
    }
    switch (ev.kind) {
      case Event::kState:
        // .ALIVE keeps operating states; the transient boot-up is not written there.
        if (cfg.update_properties && ev.b != kBootUp) p.alive_prop()->set_value(ev.b);
        call(cb_.on_state, p, ev.a, ev.b);
        break;
      case Event::kLost:
        if (cfg.update_properties) {
          p.condition_prop()->set_value(cfg.mode == Supervision::kHeartbeat ? "No heartbeat"
                                                                            : "No guarding reply");
        }
        call(cb_.on_lost, p);
        break;
      case Event::kBack:
        if (cfg.update_properties && state > kBootUp) p.alive_prop()->set_value(state);
        call(cb_.on_back, p);
        break;
      case Event::kEmcy:
        if (cfg.log_emergencies) {
          tavik::printtostderr("NodeMonitor",
                               "Line : " + std::to_string(e.line) + ", node " +
                                   std::to_string(e.node) + ": EMCY " + emcy_text(ev.emcy),
                               DF_LOG);
        }
        call(cb_.on_emergency, p, ev.emcy);
        break;
      default:
        break;
    }
  }
  if (cb_.on_frames && count > 0) {
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (e.removed) return;
    }
    call(cb_.on_frames, p, frames, count);
  }
}

bool NodeMonitor::start(int period_ms, int wake_spacing_us) {
  if (period_ms <= 0 || wake_spacing_us < 0) return false;
  std::lock_guard<std::mutex> lk(run_mx_);
  if (thread_.joinable()) return false;
  NodeMonitor* none = nullptr;
  if (!g_cycle_owner.compare_exchange_strong(none, this)) return false;
  stop_ = false;
#ifdef NTCAN_HAS_WATCHER
  // Without a watcher (spacing 0, or no descriptors) the thread polls periodically only.
  if (wake_spacing_us > 0 && canWatcherCreate(&watcher_) != NTCAN_SUCCESS) watcher_ = nullptr;
  {
    std::lock_guard<std::mutex> wl(g_watch_mx);
    g_watcher = watcher_;
    g_watching = watcher_ != nullptr;
  }
#endif
  try {
    thread_ = std::thread(&NodeMonitor::run, this, period_ms, wake_spacing_us);
  } catch (const std::system_error& e) {
    release_watcher();
    g_cycle_owner = nullptr;
    tavik::printtostderr("NodeMonitor", std::string("cannot start its thread: ") + e.what(),
                         DF_LOG);
    return false;
  }
  return true;
}

void NodeMonitor::release_watcher() {
#ifdef NTCAN_HAS_WATCHER
  {
    std::lock_guard<std::mutex> wl(g_watch_mx);
    if (g_watcher == watcher_) {
      g_watcher = nullptr;
      g_watching = false;
    }
  }
  if (watcher_ != nullptr) canWatcherDestroy(watcher_);
  watcher_ = nullptr;
#endif
}

#ifdef NTCAN_HAS_WATCHER
// The monitor's thread: the watcher holds exactly the handles of the supervised nodes now.
// Handles the driver refuses stay in `watched` as tried, and are served by the periodic poll.
// Returns false when the driver cannot tell arrivals at all.
static bool watch_handles(NTCAN_WATCHER w, const std::vector<NTCAN_HANDLE>& want,
                          std::vector<NTCAN_HANDLE>& watched) {
  std::vector<NTCAN_HANDLE> gone;
  std::set_difference(watched.begin(), watched.end(), want.begin(), want.end(),
                      std::back_inserter(gone));
  for (NTCAN_HANDLE h : gone) canWatcherRemove(w, h);
  bool supported = true;
  for (NTCAN_HANDLE h : want) {
    if (std::binary_search(watched.begin(), watched.end(), h)) continue;
    if (canWatcherAdd(w, h) == NTCAN_INVALID_DRIVER) supported = false;
  }
  watched = want;
  return supported;
}
#endif

void NodeMonitor::run(int period_ms, int wake_spacing_us) {
  using steady = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(period_ms);
  auto next = steady::now();
  std::vector<NTCAN_HANDLE> again;
#ifdef NTCAN_HAS_WATCHER
  const auto spacing = std::chrono::microseconds(wake_spacing_us);
  NTCAN_WATCHER w = nullptr;
  {
    std::lock_guard<std::mutex> lk(run_mx_);
    w = watcher_;
  }
  std::vector<NTCAN_HANDLE> watched, want, ready;
  // The supervised nodes by handle, as of the last resync; entries removed since are skipped.
  std::vector<std::pair<NTCAN_HANDLE, std::shared_ptr<Entry>>> by_handle;
  std::vector<std::shared_ptr<Entry>> ready_entries;
  uint64_t watched_gen = ~uint64_t{0};
  constexpr int32_t kReadyMax = 256;
  ready.reserve(kReadyMax);
#endif
  std::unique_lock<std::mutex> lk(run_mx_);
  while (!stop_) {
    lk.unlock();
    again.clear();
    cycle(nullptr, &again);
    // A poll that overran its period starts the next one at once, without catching up.
    next = std::max(next + period, steady::now());
#ifdef NTCAN_HAS_WATCHER
    bool resync = true;  // after every periodic poll: a line's reopening renews handles
    while (w != nullptr) {
      const uint64_t gen = entries_gen_.load();
      if (resync || gen != watched_gen) {
        want.clear();
        by_handle.clear();
        {
          std::lock_guard<std::mutex> el(mx_);
          for (const auto& e : entries_) {
            const NTCAN_HANDLE h = e->prop->handle();
            if (h > 0) by_handle.emplace_back(h, e);
          }
        }
        std::sort(by_handle.begin(), by_handle.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [h, e] : by_handle) {
          if (want.empty() || want.back() != h) want.push_back(h);
          // Heartbeats, guarding replies and boot-ups count at the periodic poll's deadlines
          // anyway: they need not wake the thread (quiet also for nodes that left since).
          canWatcherQuiet(w, cob_id(0x700, e->node), 1);
        }
        if (!watch_handles(w, want, watched)) break;  // periodic polling only
        watched_gen = gen;
        resync = false;
      }
      const auto now = steady::now();
      if (now >= next) break;
      if (!again.empty()) {
        ready.swap(again);
      } else {
        ready.resize(kReadyMax);
        int32_t n = kReadyMax;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(next - now);
        const NTCAN_RESULT r = canWatcherWait(w, ready.data(), &n, left.count() + 1);
        ready.resize(r == NTCAN_SUCCESS ? static_cast<size_t>(n) : 0);
        {
          std::lock_guard<std::mutex> sl(run_mx_);
          if (stop_) break;
        }
        if (ready.empty()) continue;
      }
      ready_entries.clear();
      for (NTCAN_HANDLE h : ready) {
        auto it = std::lower_bound(by_handle.begin(), by_handle.end(), h,
                                   [](const auto& p, NTCAN_HANDLE v) { return p.first < v; });
        for (; it != by_handle.end() && it->first == h; ++it) {
          if (std::find(ready_entries.begin(), ready_entries.end(), it->second) ==
              ready_entries.end()) {
            ready_entries.push_back(it->second);
          }
        }
      }
      const auto began = steady::now();
      again.clear();
      if (!ready_entries.empty()) cycle(&ready_entries, &again);
      if (!again.empty()) continue;  // the frame budget was used up: serve those at once
      // Arrivals meanwhile gather in the watcher and are served together after the spacing.
      lk.lock();
      run_cv_.wait_until(lk, std::min(began + spacing, next), [this] { return stop_; });
      const bool stopping = stop_;
      lk.unlock();
      if (stopping) break;
    }
#endif
    lk.lock();
    run_cv_.wait_until(lk, next, [this] { return stop_; });
  }
#ifndef NTCAN_HAS_WATCHER
  (void)wake_spacing_us;
#endif
}

bool NodeMonitor::stop() {
  if (polling_thread_.load() == std::this_thread::get_id()) return false;
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(run_mx_);
    stop_ = true;
    t = std::move(thread_);
#ifdef NTCAN_HAS_WATCHER
    if (watcher_ != nullptr) canWatcherPost(watcher_, 0);  // ends a wait in the driver
#endif
  }
  run_cv_.notify_all();
  if (t.joinable()) {
    t.join();
    std::lock_guard<std::mutex> lk(run_mx_);
    release_watcher();
    NodeMonitor* self = this;
    g_cycle_owner.compare_exchange_strong(self, nullptr);
  }
  return true;
}

bool NodeMonitor::running() const {
  std::lock_guard<std::mutex> lk(run_mx_);
  return thread_.joinable();
}

}  // namespace canbus
