// Node monitor: the receive cycle on a thread of its own, with node guarding or heartbeat
// supervision, emergencies decoded, per-node counters and callbacks to the device server.
//
// Opt-in: can_looping(), can_array(), check_alive() and can_emergency() stay usable on their
// own, but a process runs the receive cycle in one place only: once a monitor runs, the server
// no longer calls can_looping() itself.
//
// Threads and locks:
//  - start() runs poll() every period on the monitor's thread; a test (or a server with a loop
//    of its own) calls poll() instead and never starts the thread. Between two polls the thread
//    sleeps until a frame arrives for a supervised node (where the driver can tell: ours, on the
//    virtual bus and SocketCAN) and then serves just the nodes that received frames, so frames
//    reach on_frames within about the wake spacing of their arrival instead of a period.
//  - Callbacks are the all-nodes set given to the constructor and, per node, those given with
//    add() (NodeCallbacks or a NodeHandler): a server need not dispatch by node itself.
//  - add(), remove(), stats() and supervised() may be called from any thread, callbacks
//    included. After remove() returns in another thread, no callback for that node runs any
//    more; called from inside a callback it takes effect for the events still to come.
//  - Callbacks run on the thread that polls, one at a time, in the order the events happened,
//    with no lock of the library or the monitor held. They may call the library (NMT commands,
//    SDO uploads, properties) and the monitor's add/remove/stats. They must not call stop()
//    (it refuses from there), must not call can_looping() (the frames it takes would miss their
//    evaluation), must not destroy a supervised node property, and should return quickly: a
//    callback that blocks (an SDO upload of a silent node waits 2 to 3 s) delays supervision
//    of every node by as long. An exception out of a callback is logged and goes no further.
//  - Boot configurations (NodeConfig::boot) run on up to four worker threads of the monitor,
//    which send SDO transfers and the NMT start on the node's handle; their reports reach
//    on_boot_config on the polling thread at the next poll. Process data (on_pdo, late/back) is
//    delivered with the node's other events, in frame order.
//  - A node property must be removed before it is destroyed or moved to another line or node
//    (has_changed()); add it again after attaching it anew.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can_emcy.h"
#include "can_pdo.h"
#include "ntcan.h"

class D_can;
struct NtcanWatcher;  // ntcan_wait.h

namespace canbus {

enum class Supervision {
  kGuarding,   // the monitor sends a guarding request (remote frame on 0x700 + node) each period
  kHeartbeat,  // the node sends its state on 0x700 + node by itself (producer time 0x1017)
  kNone,       // emergencies and states from whatever arrives, no time-out
};

// One object written at boot: the value encoded as `type` (strings and domains as given). Or
// by the object's name in the node's dictionary (BootConfig::dictionary): with `name` set, the
// index, sub-index and type are the entry's, and the value is checked against its access and
// limits before it is sent.
struct SdoWrite {
  uint16_t index = 0;
  uint8_t subindex = 0;
  DataType type = DataType::kUnsigned8;
  Value value;
  std::string name;  // the object's name as ObjectDictionary::lookup takes it; "" by number

  SdoWrite() = default;
  SdoWrite(uint16_t i, uint8_t s, DataType t, Value v)
      : index(i), subindex(s), type(t), value(std::move(v)) {}
  SdoWrite(std::string object, Value v) : value(std::move(v)), name(std::move(object)) {}
};

// Index, sub-index and type of a write by name (w.name) from `od`; false with the reason ("no
// object named 'X'", "... is read-only", the value out of the type's range) and `w` untouched.
// A write by number is left as it is (true).
bool resolve_sdo_write(const ObjectDictionary& od, SdoWrite& w, std::string& why);

// Outcome of one boot configuration: ok, or the failing object, the result (SDO result, or
// kPdoMismatch / kPdoBadConfig / kIdentityMismatch) and the reason, "0x1018:01: vendor id
// 0x00000ABD, expected 0x00000ABC" or "TPDO1: 0x1A00:01: SDO abort 0x06040041: ...".
constexpr int kIdentityMismatch = -12;
struct BootReport {
  bool ok = true;
  char code = 0;  // boot status code ('A'..'O', see can_network.h) of a procedure that sets one
  uint16_t index = 0;
  uint8_t subindex = 0;
  int result = 0;
  std::string reason;
};

// Configuration of a node at boot, applied when the node is added to the monitor and again
// after every boot-up message the monitor sees, before the node is started: the identity check,
// the SDO writes in order, then the PDOs in order (configure_pdo). TPDOs listed here are also
// decoded by the monitor (as with add_tpdo). Runs on a worker thread of the monitor, never on
// its polling thread: a silent node (2 to 3 s per transfer) holds up nobody else. A node whose
// configuration fails is not started and is reported (on_boot_config, stats.config_failures).
struct BootConfig {
  // Expected identity (0x1018:1 vendor id, 0x1018:2 product code).
  bool check_identity = false;
  uint32_t vendor_id = 0;
  uint32_t product_code = 0;
  std::vector<SdoWrite> writes;
  std::vector<PdoConfig> pdos;
  // The node's dictionary, for the writes by name; their configuration fails without it.
  std::shared_ptr<const ObjectDictionary> dictionary;
  // NMT start of the node once it is configured. With a boot configuration the monitor starts
  // the node: the server should not start it itself on boot-up.
  bool start = true;
  // Applied when the node is added as well; false: only after boot-ups and reconfigure().
  bool at_add = true;
  // A procedure of the caller's that runs on the boot worker in place of the steps above (the
  // identity check, writes and PDOs are then the procedure's business; `start` still decides
  // the NMT start after a report that is ok). `cancelled` says whether the node was removed
  // meanwhile; a procedure should ask it between transfers and end when it says so.
  std::function<void(D_can& node, BootReport& report, const std::function<bool()>& cancelled)>
      procedure;
};

// The boot configuration a node's DCF asks for (CiA 302 in spirit), built from `od`:
//  - an SDO write, in index order, for every writable entry whose ParameterValue differs from its
//    DefaultValue (or that has a ParameterValue and no default), as the entry's data type. Not
//    written: the PDO objects 0x1400..0x1BFF (they go as PdoConfigs), the store and restore
//    commands 0x1010/0x1011, the identity 0x1018, and entries whose ObjFlags bit 0 (refuse write
//    on download) is set;
//  - a PdoConfig (pdo_config_from_dictionary) for each PDO whose communication or mapping objects
//    have such a differing ParameterValue, TPDOs first, each in number order;
//  - the expected identity (check_identity) when the file gives 0x1018:1 and 0x1018:2 a value
//    (ParameterValue, else DefaultValue).
// An EDS (no ParameterValues) gives no writes and no PDOs. false with the reason when a PDO the
// file changes cannot be built; `out` is untouched then.
bool boot_config_from_dictionary(const ObjectDictionary& od, BootConfig& out, std::string& why);

struct NodeConfig {
  Supervision mode = Supervision::kGuarding;
  // Guarding: request period and the number of requests in a row left unanswered (or answered
  // with a wrong toggle bit) before the node counts as lost.
  int guard_period_ms = 1000;
  int guard_misses = 3;
  // Heartbeat: the node's producer time and the delay on top of it after which a node that
  // stopped beating counts as lost. Arrival is known to the monitor's period, so the tolerance
  // should be at least one period of the monitor. The deadline runs from the node's last beat
  // or boot-up; for a node not heard since add() or since start(), from the first poll after
  // that: a node never heard, or one that boots and never beats, is lost as well.
  int heartbeat_ms = 1000;
  int heartbeat_tolerance_ms = 500;
  // Heartbeat: add() writes heartbeat_ms into the node's producer time (0x1017) by SDO download
  // (at most 65535 ms); add() then waits for the node's answer (2 to 3 s for a silent node) and
  // returns the download's result (the node stays supervised).
  bool write_producer_time = false;
  // Write .ALIVE (and with it the .CONDITION text) on every state change, and .CONDITION
  // "No guarding reply" or "No heartbeat" when the node is lost.
  bool update_properties = true;
  // Log each emergency with its decoded text (label "NodeMonitor").
  bool log_emergencies = true;
  // Configuration at boot (see BootConfig); none when null.
  std::shared_ptr<const BootConfig> boot;
};

// State byte values without the guarding toggle bit; kUnknown until the node has been heard.
constexpr int kStateUnknown = -1;

struct NodeStats {
  uint64_t replies = 0;          // guarding replies accepted, or heartbeats received
  uint64_t missed = 0;           // guarding requests without a good reply; heartbeat time-outs
  uint64_t toggle_errors = 0;    // guarding replies whose toggle bit did not alternate
  uint64_t emergencies = 0;      // EMCY frames
  uint64_t boot_ups = 0;         // boot-up messages
  uint64_t frames_lost = 0;      // frames the driver dropped before they reached the node's buffer
  uint64_t cycles_full = 0;      // cycles that took the whole frame budget (more may be waiting)
  int state = kStateUnknown;     // last state reported, toggle bit removed
  bool lost = false;             // reported lost and not back since
  uint64_t losses = 0;           // times reported lost
  uint64_t pdos = 0;             // TPDOs decoded
  uint64_t pdos_short = 0;       // TPDOs shorter than their mapping (not decoded)
  uint64_t pdos_late = 0;        // times one of its TPDOs was reported late (all TPDOs)
  uint64_t configured = 0;       // boot configurations applied
  uint64_t config_failures = 0;  // boot configurations that failed (node not started)
};

// Per TPDO of a node with a known mapping.
struct TpdoStats {
  uint64_t count = 0;         // frames decoded
  uint64_t short_frames = 0;  // frames shorter than the mapping
  int64_t last_ns = 0;        // time of the last one (framework clock), 0 before the first
  uint64_t late_events = 0;   // times it was reported late
  bool late = false;          // reported late and not back since
};

struct MonitorCallbacks {
  std::function<void(D_can& node, int old_state, int new_state)> on_state;  // old may be -1
  std::function<void(D_can& node)> on_lost;
  std::function<void(D_can& node)> on_back;
  std::function<void(D_can& node, const Emcy& emcy)> on_emergency;
  std::function<void(int line)> on_line_lost;
  std::function<void(int line)> on_line_back;
  // Every frame the node's buffer received in a cycle, after the monitor has evaluated them:
  // the one place a server reads a supervised node's other frames (PDOs, further identifiers).
  // The array is the monitor's own copy, valid during the call; the callback may hand it to
  // can_emergency() or check_alive(), which take a non-const array.
  std::function<void(D_can& node, CMSG* frames, int count)> on_frames;
  // A TPDO of a node with a known mapping, decoded (before on_frames of the same cycle). The
  // values are valid during the call.
  std::function<void(D_can& node, int pdo, const PdoValues& values)> on_pdo;
  // A TPDO with an event timer that has not come for 3 event periods, or a synchronous TPDO
  // (types 1..240) after 3 times its SYNC count with a SYNC producer given (use_sync); back on
  // its next frame. Armed by the first frame, disarmed by a boot-up.
  std::function<void(D_can& node, int pdo)> on_pdo_late;
  std::function<void(D_can& node, int pdo)> on_pdo_back;
  // The end of a boot configuration (see BootConfig).
  std::function<void(D_can& node, const BootReport& report)> on_boot_config;
};

// Callbacks of one node, given with add(): the node's events as MonitorCallbacks has them
// (same arguments, same thread, same rules). For each event the node's own callback runs first,
// then the one of the all-nodes set; either may be empty.
struct NodeCallbacks {
  std::function<void(D_can& node, int old_state, int new_state)> on_state;
  std::function<void(D_can& node)> on_lost;
  std::function<void(D_can& node)> on_back;
  std::function<void(D_can& node, const Emcy& emcy)> on_emergency;
  std::function<void(D_can& node, CMSG* frames, int count)> on_frames;
  std::function<void(D_can& node, int pdo, const PdoValues& values)> on_pdo;
  std::function<void(D_can& node, int pdo)> on_pdo_late;
  std::function<void(D_can& node, int pdo)> on_pdo_back;
  std::function<void(D_can& node, const BootReport& report)> on_boot_config;
};

// A node's own handler object, as an alternative to NodeCallbacks: override what the node
// needs. The object must outlive the node's supervision (remove(), or the monitor's end).
class NodeHandler {
 public:
  virtual ~NodeHandler() = default;
  virtual void on_state(D_can& /*node*/, int /*old_state*/, int /*new_state*/) {}
  virtual void on_lost(D_can& /*node*/) {}
  virtual void on_back(D_can& /*node*/) {}
  virtual void on_emergency(D_can& /*node*/, const Emcy& /*emcy*/) {}
  virtual void on_frames(D_can& /*node*/, CMSG* /*frames*/, int /*count*/) {}
  virtual void on_pdo(D_can& /*node*/, int /*pdo*/, const PdoValues& /*values*/) {}
  virtual void on_pdo_late(D_can& /*node*/, int /*pdo*/) {}
  virtual void on_pdo_back(D_can& /*node*/, int /*pdo*/) {}
  virtual void on_boot_config(D_can& /*node*/, const BootReport& /*report*/) {}
};

// The callbacks that call the handler's functions (the handler must outlive them).
NodeCallbacks callbacks_of(NodeHandler& handler);

class NodeMonitor {
 public:
  explicit NodeMonitor(MonitorCallbacks callbacks = {});
  // Stops the thread.
  ~NodeMonitor();
  NodeMonitor(const NodeMonitor&) = delete;
  NodeMonitor& operator=(const NodeMonitor&) = delete;

  // Supervises an attached node property (master or follower: it needs the node's receive
  // buffer) and enables 0x700 + node and 0x80 + node on its handle. -1 when it is not attached
  // that way, its node id lies outside 1..127, its node is supervised already (one property
  // per node), or the period of its mode is not positive; otherwise the node is supervised and the
  // result is 0, or the driver's result when an identifier could not be enabled (the line is down,
  // say).
  int add(D_can* node, const NodeConfig& config = {});
  // The same, with callbacks of the node's own (see NodeCallbacks), or its handler object.
  int add(D_can* node, const NodeConfig& config, NodeCallbacks callbacks);
  int add(D_can* node, const NodeConfig& config, NodeHandler& handler);
  // Ends the node's supervision; false when it was not supervised. A boot configuration of the
  // node in progress is cancelled (its SDO transfer ends within 100 ms) and waited for.
  bool remove(D_can* node);
  // Decodes the TPDO `cfg` (kind kTpdo) of a supervised node from now on and enables its
  // identifier on the node's handle; replaces an earlier mapping of the same TPDO. -1 when the
  // node is not supervised or cfg is no TPDO or its mapping exceeds 64 bits; else the result of
  // enabling the identifier.
  int add_tpdo(D_can* node, const PdoConfig& cfg);
  bool tpdo_stats(const D_can* node, int pdo, TpdoStats& out) const;
  // Waits at most `timeout_ms` until no boot configuration is queued or running; their reports
  // then wait for the next poll(). For a caller that polls by itself on a clock of its own (a
  // stepped clock, a test): the poll after it delivers every report so far. false when one
  // still runs at the time-out.
  bool wait_boot_configs(int timeout_ms);
  // Runs the node's boot configuration again now (queued for a worker, as after a boot-up);
  // false when the node is not supervised or has none.
  bool reconfigure(D_can* node);
  // The SYNC producer of a line: synchronous TPDOs of the nodes on its line are expected after
  // its SYNCs (nodes on other lines are not judged by them). Replaces the line's earlier
  // producer; nullptr detaches every one. A producer must outlive the monitor or be detached
  // first.
  void use_sync(SyncProducer* sync);
  bool supervised(const D_can* node) const;
  // The node's counters; false (and `out` untouched) when it is not supervised.
  bool stats(const D_can* node, NodeStats& out) const;

  // One cycle at the framework clock's current time: can_looping(), then for every supervised
  // node its frames once (states, emergencies, lost frames), the guarding requests that are due
  // and the time-outs, then the callbacks. false, doing nothing, while another monitor's thread
  // runs the receive cycle.
  bool poll();

  // Runs poll() every `period_ms` (real time) on a thread of its own, and between two polls a
  // cycle of the nodes that received frames, woken by their arrival: at most one such cycle per
  // `wake_spacing_us` microseconds (the frames that arrive meanwhile are served together),
  // again at once for a node whose cycle took the whole frame budget. A spacing of 0, or a
  // driver that cannot tell arrivals, leaves the periodic poll alone. Supervision (guarding
  // requests, time-outs, lines) keeps the period. false when it runs already, when another
  // monitor runs, the period is not positive or the spacing negative.
  static constexpr int kDefaultWakeSpacingUs = 1000;
  bool start(int period_ms = 100, int wake_spacing_us = kDefaultWakeSpacingUs);
  // Ends the thread: the pause in progress ends at once, a poll in progress is finished; then
  // joins. Refused (false) from inside a callback.
  bool stop();
  bool running() const;

 private:
  struct Entry;
  struct Event;
  struct ProcessData;
  struct Tpdo;
  struct LineState {
    int line;
    bool open;
  };

  // With mx_ held: the frames of one cycle, then the heartbeat deadline.
  void evaluate(Entry& e, const CMSG* frames, int count, int64_t now, std::vector<Event>& out);
  // Returns whether a guarding request is due now.
  bool supervise(Entry& e, int64_t now, std::vector<Event>& out);
  // Without any lock: the node's events in order, then its frames.
  void deliver_node(Entry& e, std::vector<Event>& events, CMSG* frames, int count);
  // With mx_ held: a TPDO frame of a node with process data; false when it is none.
  bool take_pdo(Entry& e, const CMSG& m, int64_t now, std::vector<Event>& out);
  // With mx_ held: late TPDOs.
  void supervise_pdos(Entry& e, int64_t now, std::vector<Event>& out);
  uint64_t syncs_of(int line) const;  // under mx_
  // With mx_ held: a boot configuration of the node is due (added, or a boot-up seen).
  void boot_due(const std::shared_ptr<Entry>& e);
  void worker();
  void configure(Entry& e, const BootConfig& cfg, BootReport& rep);
  int add_tpdo_locked(Entry& e, const PdoConfig& cfg);
  void run(int period_ms, int wake_spacing_us);
  // poll() for every node (`ready` null), or for the nodes of `ready` only; the handles of
  // nodes whose cycle took the whole frame budget go into `again`.
  bool cycle(const std::vector<std::shared_ptr<Entry>>* ready, std::vector<NTCAN_HANDLE>* again);
  // With run_mx_ held, after the thread has ended.
  void release_watcher();
  // The node's count of lost frames so far, fed with the frames of one cycle.

  MonitorCallbacks cb_;
  mutable std::mutex mx_;  // guards entries_, lines_ and every Entry's fields
  std::vector<std::shared_ptr<Entry>> entries_;
  std::atomic<uint64_t> entries_gen_{0};  // counts add() and remove(), for the thread's watcher
  std::vector<LineState> lines_;
  // Held by poll() from the receive cycle to the last callback: remove() from another thread
  // waits on it, so that no callback of a removed node is still running.
  std::mutex poll_mx_;
  std::atomic<std::thread::id> polling_thread_{};
  std::vector<CMSG> frames_;  // poll()'s copy of one node's buffer; guarded by poll_mx_
  // Decoded TPDOs of one node's cycle, reused from cycle to cycle (no allocation once warm);
  // guarded by poll_mx_, filled under mx_ as well.
  std::vector<PdoValues> decoded_;
  size_t decoded_used_ = 0;
  std::vector<BootReport> reports_;  // of one node's cycle; guarded like decoded_

  // Per line: its producer (null once detached), our listener on it, and the SYNCs it has sent
  // so far (kept across producers, so that a TPDO's count stays comparable). Guarded by mx_.
  struct SyncSource {
    SyncProducer* producer = nullptr;
    int listener = 0;
    uint64_t count = 0;
  };
  std::map<int, SyncSource> syncs_;

  // Boot configurations: due nodes, and the worker threads (at most kWorkers) that apply them.
  // Guarded by mx_; job_cv_ wakes the workers, done_cv_ the remove() that waits for a job.
  std::deque<std::shared_ptr<Entry>> jobs_;
  std::vector<std::thread> workers_;
  int idle_workers_ = 0;
  bool workers_stop_ = false;
  std::condition_variable job_cv_;
  std::condition_variable done_cv_;

  mutable std::mutex run_mx_;  // guards thread_ and stop_; the thread waits on run_cv_
  std::condition_variable run_cv_;
  std::thread thread_;
  bool stop_ = false;
  // The thread's arrival watcher (ntcan_wait.h), made by start(), ended by stop() after the
  // join; guarded by run_mx_.
  ::NtcanWatcher* watcher_ = nullptr;
};

}  // namespace canbus
