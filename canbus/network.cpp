// Network: the start-up of a line's nodes by the master.
//
// Two sides meet in the per-node slots, under mx:
//  - the boot procedure of a node (boot_slave.cpp) runs on a boot worker of the node monitor,
//    after each boot-up the monitor sees and after each reconfigure() the Network asks for; at
//    its start it marks the node booting, at its end it writes its outcome;
//  - tick() (the Network's thread, or the caller's loop) looks at the slots against the clock:
//    nodes that did not boot in time are asked again, failed attempts retried after the pause,
//    mandatory nodes past the boot time given up, and the network started, blocked, stopped or
//    reset. NMT frames, reconfigure() calls and the callbacks come after mx is released.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <string>
#include <system_error>

#include "D_esdcan.h"
#include "network_boot.h"
#include "registry.h"

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr uint8_t kNmtStart = 0x01;
constexpr uint8_t kNmtStop = 0x02;
constexpr uint8_t kNmtResetCommunication = 0x82;
// The own thread looks at the deadlines this often (real time).
constexpr auto kTickPeriod = std::chrono::milliseconds(20);

template <class Fn, class... Args>
void call(const Fn& fn, Args&&... args) {
  if (!fn) return;
  try {
    fn(std::forward<Args>(args)...);
  } catch (const std::exception& x) {
    tavik::printtostderr("Network", std::string("a callback threw: ") + x.what(), DF_LOG);
  } catch (...) {
    tavik::printtostderr("Network", "a callback threw", DF_LOG);
  }
}

bool done(SlaveState s) {
  return s == SlaveState::kConfigured || s == SlaveState::kStarted;
}

}  // namespace

struct Network::Impl {
  struct Slot {
    D_can* prop = nullptr;
    int id = 0;
    std::shared_ptr<const SlaveSetup> setup;
    NodeConfig supervision;
    NodeCallbacks own;
    SlaveStatus st;
    bool asked = false;             // reconfigure() asked for since the last change of state
    int64_t next_at = 0;            // kRetrying: the next attempt; awaiting a restart: its end
    bool awaiting_restart = false;  // program downloaded, the node restarts into it
    bool downloading = false;       // a program download runs (its procedure, or download())
    bool downloaded = false;        // a program went to the node in this start-up
    uint64_t boot_ups = 0;          // the monitor's count when the node was lost
  };

  NodeMonitor& monitor;
  NetworkCallbacks cb;
  const NetworkConfig cfg;

  mutable std::mutex mx;    // guards everything below
  std::vector<Slot> slots;  // by node id
  bool running = false;
  bool added = false;       // the nodes are with the monitor
  uint64_t generation = 0;  // counts start-ups; a procedure of an earlier one is not counted
  int64_t start_ns = 0;
  int64_t last_reset_all_ns = 0;
  bool reset_all_done = false;
  NetworkState state = NetworkState::kIdle;
  std::string blocked;
  // Events for the callbacks, delivered by tick() in order.
  struct Event {
    enum Kind { kSlave, kNetwork, kProgress } kind;
    SlaveStatus slave;
    NetworkState net = NetworkState::kIdle;
    std::string why;
    size_t sent = 0, total = 0;
  };
  std::vector<Event> events;

  std::unique_ptr<MasterProducer> heartbeat;
  std::unique_ptr<MasterProducer> time;
  bool own_thread = false;

  std::mutex run_mx;  // guards thread and stop
  std::condition_variable run_cv;
  std::thread thread;
  bool stop = false;
  std::mutex tick_mx;  // one tick at a time

  Impl(NodeMonitor& m, NetworkConfig c, NetworkCallbacks callbacks)
      : monitor(m), cb(std::move(callbacks)), cfg(c) {}

  Slot* find(int id) {
    for (Slot& s : slots) {
      if (s.id == id) return &s;
    }
    return nullptr;
  }
  Slot* find(const D_can* p) {
    for (Slot& s : slots) {
      if (s.prop == p) return &s;
    }
    return nullptr;
  }

  // With mx held.
  void set_state(Slot& s, SlaveState to, int64_t now) {
    s.st.state = to;
    s.st.since_ns = now;
    s.asked = false;
    events.push_back({Event::kSlave, s.st, NetworkState::kIdle, {}, 0, 0});
  }
  void set_network(NetworkState to, const std::string& why) {
    if (state == to && (to != NetworkState::kBlocked || blocked == why)) return;
    state = to;
    blocked = to == NetworkState::kBlocked ? why : std::string();
    // Member by member: GCC 12 at -O3 takes the braced form's empty SlaveStatus for uninitialised.
    Event e{};
    e.kind = Event::kNetwork;
    e.net = to;
    e.why = why;
    events.push_back(std::move(e));
  }
  // Every node waits again; a new start-up begins now. With mx held.
  void begin_locked(int64_t now) {
    ++generation;
    start_ns = now;
    for (Slot& s : slots) {
      s.st.code = 0;
      s.st.reason.clear();
      s.st.attempts = 0;
      s.st.config_skipped = false;
      s.st.program_downloaded = false;
      s.awaiting_restart = false;
      s.downloaded = false;
      s.next_at = 0;
      set_state(s, SlaveState::kWaiting, now);
    }
    set_network(NetworkState::kBooting, "start-up");
  }
  // The reset communication of a start-up, sent after mx is released.
  std::vector<int> resets_of_start(bool& to_all) const {
    std::vector<int> one_by_one;
    to_all = false;
    if (!cfg.reset_at_start) return one_by_one;
    const bool kept = std::any_of(slots.begin(), slots.end(),
                                  [](const Slot& s) { return s.setup->assignment.keep_alive; });
    if (!kept) {
      to_all = true;
      return one_by_one;
    }
    for (const Slot& s : slots) {
      if (!s.setup->assignment.keep_alive) one_by_one.push_back(s.id);
    }
    return one_by_one;
  }

  // An NMT command from the line's own handle, to node `node` (0: every node).
  void nmt(uint8_t command, int node = 0) {
    CMSG m{};
    m.id = 0;
    m.len = 2;
    m.data[0] = command;
    m.data[1] = static_cast<uint8_t>(node);
    const int r = canline_send(cfg.line, m);
    if (r != 0) {
      tavik::printtostderr(
          "Network",
          "Line : " + std::to_string(cfg.line) + ": NMT to " +
              (node == 0 ? std::string("all nodes") : "node " + std::to_string(node)) + ": " +
              can_error_str(static_cast<unsigned long>(static_cast<long>(r))),
          DF_LOG);
    }
  }
  // The reset communication of a start-up; with mx released.
  void reset_for_start() {
    bool all = false;
    std::vector<int> ids;
    {
      std::lock_guard<std::mutex> lk(mx);
      ids = resets_of_start(all);
    }
    if (all) nmt(kNmtResetCommunication);
    for (int id : ids) nmt(kNmtResetCommunication, id);
  }

  // The procedure of node `prop`, on a boot worker.
  void procedure(D_can& prop, BootReport& rep, const std::function<bool()>& cancelled) {
    BootContext ctx;
    uint64_t gen = 0;
    std::shared_ptr<const SlaveSetup> setup;
    {
      std::lock_guard<std::mutex> lk(mx);
      Slot* s = find(&prop);
      if (s == nullptr || !running) {
        rep.ok = false;
        rep.reason = "the network does not run";
        return;
      }
      gen = generation;
      setup = s->setup;
      ctx.downloaded_before = s->downloaded;
      ++s->st.attempts;
      s->awaiting_restart = false;
      set_state(*s, SlaveState::kBooting, tavik::clock().now_ns());
    }
    const int id = prop.value().i2_data;
    ctx.setup = setup.get();
    ctx.master_id = cfg.master_id;
    ctx.monitor = &monitor;
    ctx.cancelled = cancelled;
    ctx.progress = [this, id](size_t sent, size_t total) { progress(id, sent, total, true); };
    const BootOutcome o = boot_slave(prop, ctx);
    rep.ok = o.code == 0 || o.code == 'L';
    rep.code = o.code;
    rep.reason = o.code != 0 ? boot_status_text(o.code) + "; " + o.reason : o.reason;

    std::lock_guard<std::mutex> lk(mx);
    Slot* s = find(&prop);
    if (s == nullptr || gen != generation || o.cancelled) return;
    outcome(*s, o, tavik::clock().now_ns());
  }

  // With mx held: the end of an attempt.
  void outcome(Slot& s, const BootOutcome& o, int64_t now) {
    s.st.code = o.code;
    s.st.reason = o.reason;
    s.downloading = false;
    if (o.restarting) {
      s.downloaded = true;
      s.st.program_downloaded = true;
      s.awaiting_restart = true;
      s.next_at = now + restart_wait_ns();
      set_state(s, SlaveState::kBooting, now);
      return;
    }
    if (o.code == 0 || o.code == 'L') {
      s.st.config_skipped = o.config_skipped;
      // A node left operational runs already.
      set_state(s, o.code == 'L' ? SlaveState::kStarted : SlaveState::kConfigured, now);
      return;
    }
    const SlaveAssignment& a = s.setup->assignment;
    // A mandatory node that does not answer is asked again until its boot time is over.
    const bool in_time =
        a.mandatory && o.code == 'B' && (cfg.boot_time_ms <= 0 || now - start_ns < boot_time_ns());
    if (s.st.attempts <= a.retries || in_time) {
      s.next_at = now + int64_t{std::max(cfg.retry_pause_ms, 0)} * kNsPerMs;
      set_state(s, SlaveState::kRetrying, now);
      return;
    }
    set_state(s, o.code == 'B' ? SlaveState::kMissing : SlaveState::kFailed, now);
  }

  int64_t boot_time_ns() const { return int64_t{cfg.boot_time_ms} * kNsPerMs; }
  // How long a node restarting into a new program may take before it is asked anyway.
  int64_t restart_wait_ns() const { return int64_t{std::max(cfg.retry_pause_ms, 1000)} * kNsPerMs; }

  // A program download's progress; while one runs, the node's boot time does not run out.
  void progress(int id, size_t sent, size_t total, bool by_procedure) {
    std::lock_guard<std::mutex> lk(mx);
    Slot* s = find(id);
    if (s != nullptr && by_procedure) s->downloading = sent < total;
    events.push_back({Event::kProgress, {}, NetworkState::kIdle, {}, sent, total});
    events.back().slave.node_id = id;
  }

  // The monitor's lost-node event of node `prop` (its callback thread), before the node's own
  // callback: a node configured or started is lost (E by heartbeat, F by guarding); tick()
  // decides what the network does about it.
  void lost(D_can& prop, bool guarding) {
    NodeStats ns;
    monitor.stats(&prop, ns);
    std::lock_guard<std::mutex> lk(mx);
    Slot* s = find(&prop);
    if (s == nullptr || !running || !done(s->st.state)) return;
    s->boot_ups = ns.boot_ups;
    s->st.code = guarding ? 'F' : 'E';
    s->st.reason = std::string("lost while ") + slave_state_name(s->st.state);
    set_state(*s, SlaveState::kLost, tavik::clock().now_ns());
  }
  // The node heard again. After a boot-up its procedure runs (the monitor starts it); a node
  // that resumes its heartbeat or guarding replies without one is configured still, and tick()
  // starts it as the start mode says.
  void back(D_can& prop) {
    NodeStats ns;
    monitor.stats(&prop, ns);
    std::lock_guard<std::mutex> lk(mx);
    Slot* s = find(&prop);
    if (s == nullptr || !running || s->st.state != SlaveState::kLost ||
        ns.boot_ups != s->boot_ups) {
      return;
    }
    s->st.code = 0;
    s->st.reason.clear();
    set_state(*s, SlaveState::kConfigured, tavik::clock().now_ns());
  }

  std::string reason_of(const Slot& s) const {
    std::string r = "node " + std::to_string(s.id) + " (mandatory): ";
    if (s.st.code != 0) {
      r += boot_status_text(s.st.code);
      if (!s.st.reason.empty()) r += "; " + s.st.reason;
    } else {
      r += slave_state_name(s.st.state);
    }
    return r;
  }

  void tick();
  void run();
};

void Network::Impl::tick() {
  std::lock_guard<std::mutex> tl(tick_mx);
  if (!own_thread) {
    if (heartbeat) heartbeat->tick();
    if (time) time->tick();
  }
  std::vector<D_can*> ask;      // reconfigure()
  std::vector<D_can*> start;    // NMT start, one by one
  std::vector<uint8_t> to_all;  // NMT commands to every node, in order
  std::vector<Event> out;
  {
    std::lock_guard<std::mutex> lk(mx);
    const int64_t now = tavik::clock().now_ns();
    if (running) {
      const bool over = cfg.boot_time_ms > 0 && now - start_ns >= boot_time_ns();
      const int64_t pause = int64_t{std::max(cfg.retry_pause_ms, 0)} * kNsPerMs;
      for (Slot& s : slots) {
        const SlaveAssignment& a = s.setup->assignment;
        switch (s.st.state) {
          case SlaveState::kWaiting:
            // No boot-up within the pause (a node kept alive sends none): asked anyway.
            if (!s.asked && now - start_ns >= pause) {
              s.asked = true;
              ask.push_back(s.prop);
            }
            break;
          case SlaveState::kRetrying:
            if (!s.asked && now >= s.next_at) {
              s.asked = true;
              ask.push_back(s.prop);
            }
            break;
          case SlaveState::kBooting:
            if (s.awaiting_restart && !s.asked && now >= s.next_at) {
              s.asked = true;
              ask.push_back(s.prop);
            }
            break;
          default:
            break;
        }
        const bool pending = s.st.state == SlaveState::kWaiting ||
                             s.st.state == SlaveState::kRetrying ||
                             (s.st.state == SlaveState::kBooting && !s.downloading);
        if (a.mandatory && over && pending) {
          if (s.st.code == 0) {
            s.st.code = 'B';
            s.st.reason =
                "not booted within the boot time of " + std::to_string(cfg.boot_time_ms) + " ms";
          }
          set_state(s, SlaveState::kMissing, now);
        }
      }

      // The network as a whole.
      const Slot* failing = nullptr;
      bool all_mandatory = true;
      bool all_done = true;
      for (const Slot& s : slots) {
        const bool mandatory = s.setup->assignment.mandatory;
        if (mandatory && failing == nullptr &&
            (s.st.state == SlaveState::kMissing || s.st.state == SlaveState::kFailed ||
             s.st.state == SlaveState::kLost)) {
          failing = &s;
        }
        if (mandatory && !done(s.st.state)) all_mandatory = false;
        if (!done(s.st.state) && s.st.state != SlaveState::kMissing) all_done = false;
      }
      if (failing != nullptr) {
        const bool entering = state != NetworkState::kBlocked;
        set_network(NetworkState::kBlocked, reason_of(*failing));
        if (entering && cfg.on_mandatory_failure == MandatoryFailure::kStopAll) {
          to_all.push_back(kNmtStop);
          for (Slot& s : slots) {
            if (s.st.state == SlaveState::kStarted) set_state(s, SlaveState::kConfigured, now);
          }
        } else if (cfg.on_mandatory_failure == MandatoryFailure::kResetAll &&
                   (!reset_all_done || cfg.boot_time_ms <= 0 ||
                    now - last_reset_all_ns >= boot_time_ns())) {
          // Once per boot time at most: a node that never comes does not reset the line for
          // ever in a tight loop.
          reset_all_done = true;
          last_reset_all_ns = now;
          to_all.push_back(kNmtResetCommunication);
          begin_locked(now);
        }
      } else {
        if (!all_mandatory && state == NetworkState::kBlocked) {
          set_network(NetworkState::kBooting, "no mandatory node missing or failed");
        }
        if (all_mandatory && state != NetworkState::kStarted) {
          set_network(NetworkState::kStarted, "every mandatory node configured");
          const bool any = std::any_of(slots.begin(), slots.end(), [](const Slot& s) {
            return s.st.state == SlaveState::kConfigured;
          });
          if (cfg.start == StartMode::kAllAtOnce && all_done && any) {
            // One command for every node.
            to_all.push_back(kNmtStart);
            for (Slot& s : slots) {
              if (s.st.state == SlaveState::kConfigured) set_state(s, SlaveState::kStarted, now);
            }
          }
        }
        const bool may_start =
            cfg.start == StartMode::kEachWhenReady ||
            (cfg.start == StartMode::kAllAtOnce && state == NetworkState::kStarted);
        if (may_start) {
          for (Slot& s : slots) {
            if (s.st.state != SlaveState::kConfigured) continue;
            start.push_back(s.prop);
            set_state(s, SlaveState::kStarted, now);
          }
        }
      }
    }
    out.swap(events);
  }
  for (uint8_t c : to_all) nmt(c);
  for (D_can* p : start) {
    const int r = p->start_node();
    if (r != 0) {
      tavik::printtostderr("Network",
                           "NMT start to " + p->name() + ": " +
                               can_error_str(static_cast<unsigned long>(static_cast<long>(r))),
                           DF_LOG);
    }
  }
  for (D_can* p : ask) monitor.reconfigure(p);
  for (const Event& e : out) {
    switch (e.kind) {
      case Event::kSlave:
        call(cb.on_slave, e.slave);
        break;
      case Event::kNetwork:
        call(cb.on_network, e.net, e.why);
        break;
      case Event::kProgress:
        call(cb.on_program_progress, e.slave.node_id, e.sent, e.total);
        break;
    }
  }
}

void Network::Impl::run() {
  std::unique_lock<std::mutex> lk(run_mx);
  while (!stop) {
    lk.unlock();
    tick();
    lk.lock();
    run_cv.wait_for(lk, kTickPeriod, [this] { return stop; });
  }
}

Network::Network(NodeMonitor& monitor, NetworkConfig cfg, NetworkCallbacks cb)
    : cfg_(cfg), impl_(std::make_unique<Impl>(monitor, cfg, std::move(cb))) {}

Network::~Network() {
  stop();
  std::vector<D_can*> nodes;
  {
    std::lock_guard<std::mutex> lk(impl_->mx);
    if (impl_->added) {
      for (const Impl::Slot& s : impl_->slots) nodes.push_back(s.prop);
    }
    impl_->added = false;
  }
  // A procedure in progress ends before the slots go.
  for (D_can* p : nodes) impl_->monitor.remove(p);
}

int Network::add(D_can* node, const SlaveSetup& setup, const NodeConfig& supervision,
                 NodeHandler& h) {
  return add(node, setup, supervision, callbacks_of(h));
}

int Network::add(D_can* node, const SlaveSetup& setup, const NodeConfig& supervision,
                 NodeCallbacks own) {
  if (node == nullptr) return -1;
  IIII v;
  {
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    if (node->rx_buffer() == nullptr) return -1;
    v = node->value();
  }
  if (v.i1_data != cfg_.line || v.i2_data < 1 || v.i2_data > 127) return -1;
  std::lock_guard<std::mutex> lk(impl_->mx);
  if (impl_->running || impl_->added || impl_->find(v.i2_data) != nullptr ||
      impl_->find(node) != nullptr) {
    return -1;
  }
  Impl::Slot s;
  s.prop = node;
  s.id = v.i2_data;
  s.setup = std::make_shared<const SlaveSetup>(setup);
  s.supervision = supervision;
  // The Network hears of a lost node and its return first, then the node's own callback.
  Impl* self = impl_.get();
  const bool guarding = supervision.mode == Supervision::kGuarding;
  own.on_lost = [self, guarding, mine = std::move(own.on_lost)](D_can& n) {
    self->lost(n, guarding);
    if (mine) mine(n);
  };
  own.on_back = [self, mine = std::move(own.on_back)](D_can& n) {
    self->back(n);
    if (mine) mine(n);
  };
  s.own = std::move(own);
  s.st.node_id = s.id;
  auto it = std::find_if(impl_->slots.begin(), impl_->slots.end(),
                         [&](const Impl::Slot& o) { return o.id > s.id; });
  impl_->slots.insert(it, std::move(s));
  return 0;
}

bool Network::start(bool own_thread) {
  Impl& p = *impl_;
  {
    // The thread of a stop() from its own callback ends now: joined here, unless this is it.
    std::thread old;
    {
      std::lock_guard<std::mutex> lk(p.run_mx);
      if (p.thread.joinable() && (!p.stop || p.thread.get_id() == std::this_thread::get_id())) {
        return false;
      }
      old = std::move(p.thread);
    }
    if (old.joinable()) old.join();
  }
  std::vector<std::pair<D_can*, NodeConfig>> to_add;
  std::vector<NodeCallbacks> callbacks;
  {
    std::lock_guard<std::mutex> lk(p.mx);
    if (p.running || p.slots.empty()) return false;
    p.running = true;
    p.own_thread = own_thread;
    if (!p.added) {
      auto boot = std::make_shared<BootConfig>();
      boot->start = false;  // the Network starts the nodes
      boot->at_add = false;
      Impl* self = &p;
      boot->procedure = [self](D_can& n, BootReport& r, const std::function<bool()>& c) {
        self->procedure(n, r, c);
      };
      for (Impl::Slot& s : p.slots) {
        NodeConfig c = s.supervision;
        c.boot = boot;
        if (!s.setup->pdos.empty()) {
          auto own = std::make_shared<BootConfig>(*boot);
          own->pdos = s.setup->pdos;
          c.boot = std::move(own);
        }
        to_add.emplace_back(s.prop, c);
        callbacks.push_back(s.own);
      }
      p.added = true;
    }
    p.reset_all_done = false;
    p.begin_locked(tavik::clock().now_ns());
  }
  if (cfg_.master_id >= 1 && cfg_.master_id <= 127 && cfg_.master_heartbeat_ms > 0) {
    p.heartbeat = std::make_unique<MasterProducer>(cfg_.line, MasterProducer::Kind::kHeartbeat,
                                                   cfg_.master_id);
    p.heartbeat->start(cfg_.master_heartbeat_ms, own_thread);
  }
  if (cfg_.time_period_ms > 0) {
    p.time = std::make_unique<MasterProducer>(cfg_.line, MasterProducer::Kind::kTime);
    p.time->start(cfg_.time_period_ms, own_thread);
  }
  for (size_t i = 0; i < to_add.size(); ++i) {
    const int r = p.monitor.add(to_add[i].first, to_add[i].second, std::move(callbacks[i]));
    if (r != 0) {
      tavik::printtostderr("Network",
                           to_add[i].first->name() + ": supervision not complete: " +
                               can_error_str(static_cast<unsigned long>(static_cast<long>(r))),
                           DF_LOG);
    }
  }
  p.reset_for_start();
  if (own_thread) {
    std::lock_guard<std::mutex> lk(p.run_mx);
    p.stop = false;
    try {
      p.thread = std::thread(&Impl::run, &p);
    } catch (const std::system_error& e) {
      tavik::printtostderr("Network", std::string("cannot start its thread: ") + e.what(), DF_LOG);
      p.own_thread = false;
    }
  }
  return true;
}

bool Network::restart() {
  Impl& p = *impl_;
  {
    std::lock_guard<std::mutex> lk(p.mx);
    if (!p.running) return false;
    p.reset_all_done = false;
    p.begin_locked(tavik::clock().now_ns());
  }
  p.reset_for_start();
  return true;
}

void Network::stop() {
  Impl& p = *impl_;
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(p.run_mx);
    p.stop = true;
    // From a callback on the Network's own thread: the thread ends after this tick, and is
    // joined by a later stop() (the destructor's at the latest), not by itself.
    if (p.thread.get_id() != std::this_thread::get_id()) t = std::move(p.thread);
  }
  p.run_cv.notify_all();
  if (t.joinable()) t.join();
  if (p.heartbeat) p.heartbeat->stop();
  if (p.time) p.time->stop();
  std::lock_guard<std::mutex> lk(p.mx);
  if (p.running) p.set_network(NetworkState::kIdle, "stopped");
  p.running = false;
}

bool Network::running() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->running;
}

void Network::tick() {
  impl_->tick();
}

bool Network::download(int node_id, const std::vector<uint8_t>& image, std::string& why) {
  Impl& p = *impl_;
  D_can* prop = nullptr;
  {
    std::lock_guard<std::mutex> lk(p.mx);
    Impl::Slot* s = p.find(node_id);
    if (s == nullptr) {
      why = "node " + std::to_string(node_id) + " is not in the network";
      return false;
    }
    if (s->downloading) {
      why = "a program download to node " + std::to_string(node_id) + " runs already";
      return false;
    }
    prop = s->prop;
    s->downloading = true;
    s->awaiting_restart = false;
    p.set_state(*s, SlaveState::kBooting, tavik::clock().now_ns());
  }
  const ProgramResult r = download_program(
      *prop, image, 1, true, 10000, [&](size_t a, size_t b) { p.progress(node_id, a, b, false); });
  std::lock_guard<std::mutex> lk(p.mx);
  Impl::Slot* s = p.find(node_id);
  s->downloading = false;
  const int64_t now = tavik::clock().now_ns();
  if (!r.ok) {
    why = "program download: " + r.reason;
    s->st.code = 'I';
    s->st.reason = why;
    p.set_state(*s, SlaveState::kFailed, now);
    return false;
  }
  BootOutcome o;
  o.restarting = true;
  o.reason = "program downloaded, the node restarts";
  p.outcome(*s, o, now);
  return true;
}

NetworkState Network::state() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->state;
}

std::string Network::blocked_reason() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->blocked;
}

bool Network::status(int node_id, SlaveStatus& out) const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  const Impl::Slot* s = impl_->find(node_id);
  if (s == nullptr) return false;
  out = s->st;
  return true;
}

std::vector<SlaveStatus> Network::statuses() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  std::vector<SlaveStatus> out;
  for (const Impl::Slot& s : impl_->slots) out.push_back(s.st);
  return out;
}

}  // namespace canbus
