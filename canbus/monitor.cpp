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
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "D_esdcan.h"
#include "cob_id.h"
#include "registry.h"
#include "sdo_port.h"
#if __has_include("ntcan_wait.h")
#include "ntcan_wait.h"
#endif

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int kBootUp = 0x00;
constexpr uint8_t kToggle = 0x80;
// Worker threads for boot configurations: a silent node takes one for seconds, the others go on.
constexpr size_t kWorkers = 4;
// A TPDO is late after this many of its periods (event timer, or SYNCs of its type).
constexpr int64_t kLateAfter = 3;
constexpr int64_t kNsPerS = 1'000'000'000;

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
  // Heartbeat: the deadline runs from the last beat or boot-up, and for a node not heard since
  // it was added or since start() from the first poll after that (armed by that poll).
  bool armed = false;
  int64_t last_beat = 0;
  // TPDO mappings and boot configuration; null for a node without process data, which so costs
  // one pointer.
  std::unique_ptr<ProcessData> pd;
  // The node's own callbacks (add()): set before the entry is published, never changed, so
  // read without mx_.
  std::shared_ptr<const NodeCallbacks> own;
};

struct NodeMonitor::Tpdo {
  int number = 0;
  int32_t id = 0;
  PdoMapping mapping;
  unsigned bits = 0;
  uint16_t event_ms = 0;
  uint8_t type = 0xFF;
  TpdoStats st;
  bool armed = false;     // a frame came since the last boot-up
  uint64_t sync_at = 0;   // syncs_ when the last frame came
  int64_t short_log = 0;  // when a short frame was last logged
};

struct NodeMonitor::ProcessData {
  std::vector<Tpdo> tpdos;
  // Boot configuration: boot_seq counts the boots to configure for (the addition, then every
  // boot-up); a job takes the latest, and when another boot came while it ran, runs again.
  uint64_t boot_seq = 0;
  bool boot_seen = false;  // set by evaluate, turned into a job by poll
  bool queued = false;
  bool running = false;
  std::vector<BootReport> done;  // finished, not yet delivered
};

struct NodeMonitor::Event {
  enum Kind {
    kState,
    kLost,
    kBack,
    kEmcy,
    kLineLost,
    kLineBack,
    kPdo,
    kPdoShort,
    kPdoLate,
    kPdoBack,
    kBoot
  } kind;
  int a = 0;  // old state, line, PDO number, or index into decoded_ / reports_
  int b = 0;  // new state, frame length
  Emcy emcy{};
};

NodeMonitor::NodeMonitor(MonitorCallbacks callbacks)
    : cb_(std::move(callbacks)), frames_(D_can::kRxFrames) {}

NodeMonitor::~NodeMonitor() {
  stop();
  use_sync(nullptr);
  std::vector<D_can*> nodes;
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (const auto& e : entries_) nodes.push_back(e->prop);
  }
  // Boot configurations in progress end before the nodes may go.
  for (D_can* n : nodes) remove(n);
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lk(mx_);
    workers_stop_ = true;
    workers.swap(workers_);
  }
  job_cv_.notify_all();
  for (std::thread& t : workers) t.join();
}

bool resolve_sdo_write(const ObjectDictionary& od, SdoWrite& w, std::string& why) {
  if (w.name.empty()) return true;
  const ObjectEntry* e = od.lookup(w.name, why);
  if (e == nullptr) return false;
  if (!access_writable(e->access)) {
    why = "'" + w.name + "' is " + (e->access == Access::kConst ? "const" : "read-only");
    return false;
  }
  std::vector<uint8_t> bytes;
  std::string err;
  if (!encode_value(e->data_type, w.value, bytes, &err)) {
    why = "'" + w.name + "': " + err;
    return false;
  }
  w.index = e->index;
  w.subindex = e->subindex;
  w.type = e->data_type;
  return true;
}

NodeCallbacks callbacks_of(NodeHandler& h) {
  NodeCallbacks c;
  c.on_state = [&h](D_can& n, int a, int b) { h.on_state(n, a, b); };
  c.on_lost = [&h](D_can& n) { h.on_lost(n); };
  c.on_back = [&h](D_can& n) { h.on_back(n); };
  c.on_emergency = [&h](D_can& n, const Emcy& x) { h.on_emergency(n, x); };
  c.on_frames = [&h](D_can& n, CMSG* f, int k) { h.on_frames(n, f, k); };
  c.on_pdo = [&h](D_can& n, int pdo, const PdoValues& v) { h.on_pdo(n, pdo, v); };
  c.on_pdo_late = [&h](D_can& n, int pdo) { h.on_pdo_late(n, pdo); };
  c.on_pdo_back = [&h](D_can& n, int pdo) { h.on_pdo_back(n, pdo); };
  c.on_boot_config = [&h](D_can& n, const BootReport& r) { h.on_boot_config(n, r); };
  return c;
}

int NodeMonitor::add(D_can* node, const NodeConfig& config, NodeHandler& h) {
  return add(node, config, callbacks_of(h));
}

int NodeMonitor::add(D_can* node, const NodeConfig& config) {
  return add(node, config, NodeCallbacks{});
}

int NodeMonitor::add(D_can* node, const NodeConfig& config, NodeCallbacks callbacks) {
  if (node == nullptr) return -1;
  IIII v;
  {
    // Attachment sets the buffer and a client's reconfiguration the value under mx_loop.
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    if (node->rx_buffer() == nullptr) return -1;
    v = node->value();
  }
  if (v.i2_data < 1 || v.i2_data > 127 || v.i1_data < 1 || v.i1_data > 20) return -1;
  std::shared_ptr<Entry> added;
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
    e->own = std::make_shared<const NodeCallbacks>(std::move(callbacks));
    added = e;
    entries_.push_back(std::move(e));
    ++entries_gen_;
  }
  std::vector<int> pdo_ids;
  if (config.boot) {
    // Its TPDOs are decoded from the start; their identifiers and the SDO replies are enabled
    // below.
    std::lock_guard<std::mutex> lk(mx_);
    added->pd = std::make_unique<ProcessData>();
    pdo_ids.push_back(cob_id(0x580, v.i2_data));
    for (const PdoConfig& p : config.boot->pdos) {
      if (p.kind != PdoKind::kTpdo || !p.valid || add_tpdo_locked(*added, p) != 0) continue;
      pdo_ids.push_back(static_cast<int>(pdo_cob_id(p, v.i2_data)));
    }
  }
  for (int id : pdo_ids) node->AddIdent(id);
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
  if (config.boot && config.boot->at_add) {
    std::lock_guard<std::mutex> lk(mx_);
    if (!added->removed) boot_due(added);
  }
  return r;
}

bool NodeMonitor::reconfigure(D_can* node) {
  std::lock_guard<std::mutex> lk(mx_);
  for (const auto& e : entries_) {
    if (e->prop != node) continue;
    if (e->removed || !e->pd || !e->cfg.boot) return false;
    boot_due(e);
    return true;
  }
  return false;
}

bool NodeMonitor::remove(D_can* node) {
  // From another thread: wait for a poll in progress, whose callbacks may concern this node.
  std::unique_lock<std::mutex> pl(poll_mx_, std::defer_lock);
  if (polling_thread_.load() != std::this_thread::get_id()) pl.lock();
  std::shared_ptr<Entry> e;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [node](const auto& x) { return x->prop == node; });
    if (it == entries_.end()) return false;
    e = *it;
    e->removed = true;
    entries_.erase(it);
    ++entries_gen_;
    if (!e->pd || !e->pd->running) return true;
  }
  // A boot configuration runs on a worker: its transfer ends (no other starts) and the job
  // sees `removed` before its next step. The worker takes neither poll_mx_ nor waits for us.
  SdoAccess::close_begin(node);
  {
    std::unique_lock<std::mutex> lk(mx_);
    done_cv_.wait(lk, [&] { return !e->pd->running; });
  }
  SdoAccess::close_end(node);
  return true;
}

int NodeMonitor::add_tpdo_locked(Entry& e, const PdoConfig& cfg) {
  if (cfg.kind != PdoKind::kTpdo || mapping_bits(cfg.mapping) > 64) return -1;
  if (!e.pd) e.pd = std::make_unique<ProcessData>();
  const auto id = static_cast<int32_t>(pdo_cob_id(cfg, e.node));
  auto& ts = e.pd->tpdos;
  auto it =
      std::find_if(ts.begin(), ts.end(), [&](const Tpdo& t) { return t.number == cfg.number; });
  if (it == ts.end()) it = ts.insert(ts.end(), Tpdo{});
  it->number = cfg.number;
  it->id = id;
  it->mapping = cfg.mapping;
  it->bits = mapping_bits(cfg.mapping);
  it->event_ms = cfg.event_timer_ms;
  it->type = cfg.transmission_type;
  it->armed = false;
  it->st.late = false;
  return 0;
}

int NodeMonitor::add_tpdo(D_can* node, const PdoConfig& cfg) {
  int node_id = 0;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [node](const auto& x) { return x->prop == node; });
    if (it == entries_.end() || add_tpdo_locked(**it, cfg) != 0) return -1;
    node_id = (*it)->node;
  }
  return node->AddIdent(static_cast<int>(pdo_cob_id(cfg, node_id)));
}

bool NodeMonitor::tpdo_stats(const D_can* node, int pdo, TpdoStats& out) const {
  std::lock_guard<std::mutex> lk(mx_);
  for (const auto& e : entries_) {
    if (e->prop != node || !e->pd) continue;
    for (const Tpdo& t : e->pd->tpdos) {
      if (t.number != pdo) continue;
      out = t.st;
      return true;
    }
  }
  return false;
}

void NodeMonitor::use_sync(SyncProducer* sync) {
  // The listeners to remove; not under mx_: removing waits for a SYNC in progress, whose
  // listener takes mx_.
  std::vector<std::pair<SyncProducer*, int>> old;
  const int line = sync != nullptr ? sync->line() : 0;
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (auto& [l, src] : syncs_) {
      if (src.producer == nullptr || (sync != nullptr && l != line)) continue;
      old.emplace_back(src.producer, src.listener);
      src.producer = nullptr;
      src.listener = 0;
    }
  }
  for (const auto& [p, id] : old) p->remove_listener(id);
  if (sync == nullptr) return;
  const int id = sync->add_listener([this, sync, line](const SyncEvent&) {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = syncs_.find(line);
    if (it != syncs_.end() && it->second.producer == sync) ++it->second.count;
  });
  std::lock_guard<std::mutex> lk(mx_);
  SyncSource& src = syncs_[line];
  src.producer = sync;
  src.listener = id;
}

uint64_t NodeMonitor::syncs_of(int line) const {
  auto it = syncs_.find(line);
  return it == syncs_.end() ? 0 : it->second.count;
}

bool NodeMonitor::take_pdo(Entry& e, const CMSG& m, int64_t now, std::vector<Event>& out) {
  for (Tpdo& t : e.pd->tpdos) {
    if (t.id != m.id) continue;
    const size_t n = std::min<size_t>(m.len & 0x0F, 8);
    if (decoded_used_ == decoded_.size()) decoded_.emplace_back();
    PdoValues& v = decoded_[decoded_used_];
    if (!decode_pdo(t.mapping, m.data, n, v.values)) {
      ++t.st.short_frames;
      ++e.st.pdos_short;
      // Reported in the log at most once a second per TPDO; counted always.
      if (t.short_log == 0 || now - t.short_log >= kNsPerS) {
        t.short_log = now;
        out.push_back({Event::kPdoShort, t.number, static_cast<int>(n), {}});
      }
      return true;
    }
    v.pdo = t.number;
    v.time_ns = now;
    out.push_back({Event::kPdo, static_cast<int>(decoded_used_++), 0, {}});
    ++t.st.count;
    ++e.st.pdos;
    t.st.last_ns = now;
    t.armed = true;
    t.sync_at = syncs_of(e.line);
    if (t.st.late) {
      t.st.late = false;
      out.push_back({Event::kPdoBack, t.number, 0, {}});
    }
    return true;
  }
  return false;
}

void NodeMonitor::supervise_pdos(Entry& e, int64_t now, std::vector<Event>& out) {
  auto line_sync = syncs_.find(e.line);
  const bool synced = line_sync != syncs_.end() && line_sync->second.producer != nullptr;
  const uint64_t syncs = synced ? line_sync->second.count : 0;
  for (Tpdo& t : e.pd->tpdos) {
    if (!t.armed || t.st.late) continue;
    const bool by_timer = t.event_ms > 0 && now - t.st.last_ns > kLateAfter * t.event_ms * kNsPerMs;
    const bool by_sync = synced && t.type >= 1 && t.type <= 240 &&
                         syncs - t.sync_at > static_cast<uint64_t>(kLateAfter * t.type);
    if (!by_timer && !by_sync) continue;
    t.st.late = true;
    ++t.st.late_events;
    ++e.st.pdos_late;
    out.push_back({Event::kPdoLate, t.number, 0, {}});
  }
}

bool NodeMonitor::wait_boot_configs(int timeout_ms) {
  std::unique_lock<std::mutex> lk(mx_);
  return done_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [this] {
    if (!jobs_.empty()) return false;
    for (const auto& e : entries_) {
      if (e->pd && e->pd->running) return false;
    }
    return true;
  });
}

void NodeMonitor::boot_due(const std::shared_ptr<Entry>& e) {
  ProcessData& pd = *e->pd;
  ++pd.boot_seq;
  // A job queued takes the latest boot; a running one runs again for it.
  if (pd.queued || pd.running) return;
  pd.queued = true;
  jobs_.push_back(e);
  if (idle_workers_ > 0) {
    job_cv_.notify_one();
    return;
  }
  if (workers_.size() >= kWorkers) return;  // the next worker to finish takes it
  try {
    workers_.emplace_back(&NodeMonitor::worker, this);
  } catch (const std::system_error& x) {
    tavik::printtostderr("NodeMonitor", std::string("cannot start a worker: ") + x.what(), DF_LOG);
  }
}

void NodeMonitor::worker() {
  std::unique_lock<std::mutex> lk(mx_);
  for (;;) {
    ++idle_workers_;
    job_cv_.wait(lk, [this] { return workers_stop_ || !jobs_.empty(); });
    --idle_workers_;
    if (workers_stop_) return;
    std::shared_ptr<Entry> e = std::move(jobs_.front());
    jobs_.pop_front();
    ProcessData& pd = *e->pd;
    pd.queued = false;
    if (e->removed || !e->cfg.boot) continue;
    pd.running = true;
    const uint64_t seq = pd.boot_seq;
    const std::shared_ptr<const BootConfig> cfg = e->cfg.boot;
    lk.unlock();
    BootReport rep;
    configure(*e, *cfg, rep);
    bool start = false;
    {
      lk.lock();
      // Started only for the boot it was configured for, and not after a remove().
      start = rep.ok && cfg->start && !e->removed && pd.boot_seq == seq;
      lk.unlock();
    }
    if (start) {
      const int r = e->prop->start_node();
      if (r != 0) {
        rep.ok = false;
        rep.result = r;
        rep.reason =
            "NMT start: " + can_error_str(static_cast<unsigned long>(static_cast<long>(r)));
      }
    }
    lk.lock();
    pd.running = false;
    done_cv_.notify_all();
    if (e->removed) continue;
    if (pd.boot_seq != seq) {
      // The node booted again meanwhile: what was written may be gone; once more for that boot.
      pd.queued = true;
      jobs_.push_back(e);
      continue;
    }
    ++(rep.ok ? e->st.configured : e->st.config_failures);
    pd.done.push_back(std::move(rep));
  }
}

void NodeMonitor::configure(Entry& e, const BootConfig& cfg, BootReport& rep) {
  D_can& n = *e.prop;
  auto fail = [&](uint16_t index, uint8_t sub, int result, const std::string& why) {
    rep.ok = false;
    rep.index = index;
    rep.subindex = sub;
    rep.result = result;
    char where[24];
    std::snprintf(where, sizeof where, "0x%04X:%02X: ", index, sub);
    rep.reason = where + why;
  };
  auto removed = [&] {
    std::lock_guard<std::mutex> lk(mx_);
    if (!e.removed) return false;
    rep.ok = false;
    rep.result = NTCAN_OPERATION_ABORTED;
    rep.reason = "removed from the monitor";
    return true;
  };
  if (cfg.procedure) {
    cfg.procedure(n, rep, [&] {
      std::lock_guard<std::mutex> lk(mx_);
      return e.removed;
    });
    return;
  }
  if (cfg.check_identity) {
    const uint32_t want[2] = {cfg.vendor_id, cfg.product_code};
    const char* what[2] = {"vendor id", "product code"};
    for (uint8_t sub = 1; sub <= 2; ++sub) {
      if (removed()) return;
      uint8_t b[4] = {};
      size_t len = 0;
      const int r = n.sdo_upload(0x1018, sub, b, sizeof b, &len);
      if (r != 0) return fail(0x1018, sub, r, sdo_result_text(r));
      const uint32_t got = SdoAccess::le32(b);
      if (len != 4 || got != want[sub - 1]) {
        char t[80];
        std::snprintf(t, sizeof t, "%s 0x%08X, expected 0x%08X", what[sub - 1], got, want[sub - 1]);
        return fail(0x1018, sub, kIdentityMismatch, t);
      }
    }
  }
  for (const SdoWrite& w : cfg.writes) {
    if (removed()) return;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!w.name.empty()) {
      // By name: the entry's checks (access, type, limits), as ObjectAccess makes them.
      const ObjectEntry* found = cfg.dictionary ? cfg.dictionary->lookup(w.name, why) : nullptr;
      if (cfg.dictionary == nullptr) why = "'" + w.name + "': no object dictionary of the node";
      if (found == nullptr) {
        rep.ok = false;
        rep.result = kPdoBadConfig;
        rep.reason = why;
        return;
      }
      if (ObjectAccess(n, cfg.dictionary).check_write(*found, w.value, bytes, &why) != 0) {
        return fail(found->index, found->subindex, kPdoBadConfig, why);
      }
      const int r = n.sdo_download(found->index, found->subindex, bytes.data(), bytes.size());
      if (r != 0) return fail(found->index, found->subindex, r, sdo_result_text(r));
      continue;
    }
    if (!encode_value(w.type, w.value, bytes, &why)) {
      return fail(w.index, w.subindex, kPdoBadConfig, why);
    }
    const int r = n.sdo_download(w.index, w.subindex, bytes.data(), bytes.size());
    if (r != 0) return fail(w.index, w.subindex, r, sdo_result_text(r));
  }
  for (const PdoConfig& p : cfg.pdos) {
    if (removed()) return;
    const PdoResult r = configure_pdo(n, p);
    if (r.ok()) continue;
    rep.ok = false;
    rep.index = r.index;
    rep.subindex = r.subindex;
    rep.result = r.result;
    rep.reason = r.text;
    return;
  }
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
    if (e.pd && take_pdo(e, m, now, out)) continue;
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
      if (e.pd) {
        // Pre-operational again: no TPDOs until it is started; configured anew if it has a
        // boot configuration.
        for (Tpdo& t : e.pd->tpdos) t.armed = false;
        e.pd->boot_seen = e.cfg.boot != nullptr;
      }
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
    ++st.losses;
    out.push_back({Event::kLost, 0, 0, {}});
  };
  if (e.cfg.mode == Supervision::kHeartbeat) {
    if (!e.armed) {
      // Supervision starts: a node that is not heard within period + tolerance from now on is
      // lost like one that stopped beating.
      e.armed = true;
      e.last_beat = now;
      return false;
    }
    const int64_t limit =
        (static_cast<int64_t>(e.cfg.heartbeat_ms) + e.cfg.heartbeat_tolerance_ms) * kNsPerMs;
    if (!st.lost && now - e.last_beat > limit) {
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
      decoded_used_ = 0;
      reports_.clear();
      if (e->pd) {
        for (BootReport& r : e->pd->done) {
          events.push_back({Event::kBoot, static_cast<int>(reports_.size()), 0, {}});
          reports_.push_back(std::move(r));
        }
        e->pd->done.clear();
      }
      evaluate(*e, frames_.data(), count, now, events);
      e->st.frames_lost = lost;
      request = supervise(*e, now, events);
      if (e->pd) {
        supervise_pdos(*e, now, events);
        if (e->pd->boot_seen) {
          e->pd->boot_seen = false;
          boot_due(e);
        }
      }
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
  const NodeCallbacks& own = *e.own;
  for (const Event& ev : events) {
    // The fields used below, not the whole configuration (it holds a shared pointer).
    struct {
      bool update_properties;
      bool log_emergencies;
      Supervision mode;
      bool procedure;  // the boot is a procedure of the caller's
    } cfg{};
    int state = kStateUnknown;
    {
      // A callback before this one may have removed the node.
      std::lock_guard<std::mutex> lk(mx_);
      if (e.removed) return;
      cfg = {e.cfg.update_properties, e.cfg.log_emergencies, e.cfg.mode,
             e.cfg.boot != nullptr && static_cast<bool>(e.cfg.boot->procedure)};
      state = e.st.state;
    }
    // The node's own callback, then the all-nodes one.
    const auto both = [&](const auto& mine, const auto& all, auto&&... args) {
      call(mine, args...);
      if (mine && all) {
        // The node's own callback may have removed it.
        std::lock_guard<std::mutex> lk(mx_);
        if (e.removed) return;
      }
      call(all, args...);
    };
    switch (ev.kind) {
      case Event::kState:
        // .ALIVE keeps operating states; the transient boot-up is not written there.
        if (cfg.update_properties && ev.b != kBootUp) p.alive_prop()->set_value(ev.b);
        both(own.on_state, cb_.on_state, p, ev.a, ev.b);
        break;
      case Event::kLost:
        if (cfg.update_properties) {
          p.condition_prop()->set_value(cfg.mode == Supervision::kHeartbeat ? "No heartbeat"
                                                                            : "No guarding reply");
        }
        both(own.on_lost, cb_.on_lost, p);
        break;
      case Event::kBack:
        if (cfg.update_properties && state > kBootUp) p.alive_prop()->set_value(state);
        both(own.on_back, cb_.on_back, p);
        break;
      case Event::kEmcy:
        if (cfg.log_emergencies) {
          tavik::printtostderr("NodeMonitor",
                               "Line : " + std::to_string(e.line) + ", node " +
                                   std::to_string(e.node) + ": EMCY " + emcy_text(ev.emcy),
                               DF_LOG);
        }
        both(own.on_emergency, cb_.on_emergency, p, ev.emcy);
        break;
      case Event::kPdo: {
        const PdoValues& v = decoded_[static_cast<size_t>(ev.a)];
        both(own.on_pdo, cb_.on_pdo, p, v.pdo, v);
        break;
      }
      case Event::kPdoShort:
        tavik::printtostderr("NodeMonitor",
                             "Line : " + std::to_string(e.line) + ", node " +
                                 std::to_string(e.node) + ": " + pdo_name(PdoKind::kTpdo, ev.a) +
                                 " of " + std::to_string(ev.b) +
                                 " bytes, shorter than its mapping: not decoded",
                             DF_LOG);
        break;
      case Event::kPdoLate:
        both(own.on_pdo_late, cb_.on_pdo_late, p, ev.a);
        break;
      case Event::kPdoBack:
        both(own.on_pdo_back, cb_.on_pdo_back, p, ev.a);
        break;
      case Event::kBoot: {
        const BootReport& r = reports_[static_cast<size_t>(ev.a)];
        if (!r.ok) {
          // Whether a node of a procedure is started is the procedure's owner's business.
          tavik::printtostderr("NodeMonitor",
                               "Line : " + std::to_string(e.line) + ", node " +
                                   std::to_string(e.node) +
                                   (cfg.procedure ? ": boot procedure failed: "
                                                  : ": boot configuration failed, not started: ") +
                                   r.reason,
                               DF_LOG);
        }
        both(own.on_boot_config, cb_.on_boot_config, p, r);
        break;
      }
      default:
        break;
    }
  }
  if (count > 0 && (own.on_frames || cb_.on_frames)) {
    {
      std::lock_guard<std::mutex> lk(mx_);
      if (e.removed) return;
    }
    call(own.on_frames, p, frames, count);
    // The node's own callback may have removed it.
    if (cb_.on_frames && own.on_frames) {
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
  {
    // Nobody may have polled since the thread last ran (the server's uploads take the frames
    // meanwhile): the heartbeat deadlines run anew from the thread's first poll. A lost node
    // stays lost until it is heard.
    std::lock_guard<std::mutex> el(mx_);
    for (const auto& e : entries_) e->armed = false;
  }
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
