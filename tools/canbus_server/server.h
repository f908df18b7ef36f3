// canbus-server: a device server built on the library, the way a user's own server is.
//
// It creates one node property per configured node in a location, attaches them, reads the
// nodes' identity strings, and then hands the masters to the library's node monitor, each with
// its supervision from the configuration (NAME.MONITOR: guarding or heartbeat). The monitor runs
// the receive cycle every 100 ms on its own thread (with --manual: `tick N` polls it N times on
// a clock that moves 100 ms a poll). A node with process data (NAME.TPDOn, NAME.RPDOn,
// NAME.BOOT) goes to the monitor with its boot configuration once its identity is read; the
// monitor configures and starts it then and after every boot-up, and decodes its TPDOs. Clients
// (standard input, network sessions) send one request a line.
//
// Threads and locks:
//  - the bus worker runs the bus work of all clients, one job at a time; each client has a queue
//    of its own (at most kMaxQueuedPerClient waiting) and the clients with work take turns, one
//    job each: first the writers (and the server's own work), the read-only clients only when no
//    writer has work waiting. The queued work of a client that disconnects is dropped. Bus work
//    is refused at once beyond the rates of read-only clients and of clients' SDO transfers per
//    line (rate_mx_), and for a node the monitor holds lost (unless asked with --wait).
//  - the flusher (without --manual; with it: the tick) sends the RPDOs held for their interval
//    and the set-point log lines held back, as a job of the server's own on the bus worker.
//  - bus_mx_: bus work, one piece at a time: one job of the bus worker (identity uploads,
//    writes, moves, ticks). Taken before state_mx_. A job that uploads stops the monitor's
//    thread for its time (an upload and the receive cycle take each other's frames).
//  - state_mx_: the node table and the property values as requests see them; held briefly by
//    requests that run at once (get; list and status a slice of kSliceNodes nodes at a time),
//    by bus work while it changes them, and by the monitor's callbacks (the process values
//    too: decoded values are stored under it, their events published after it); never while waiting
//    for the bus (an SDO upload runs without it), never while publishing an event, and never around
//    the monitor's remove(), stop() or poll() (they wait for callbacks that take it). So status
//    never waits for the bus.
//  - the taps of the lines (trace.h) read and decode on threads of their own (with --manual: on
//    the tick) and take no lock of the server.
//  - the monitor's workers run the boot configurations (SDO transfers, NMT start) and take no
//    lock of the server; the SYNC producers (LINE.N.SYNC) and, on the virtual bus, the simulated
//    devices with heartbeat or process data send from threads of their own (with --manual: on
//    the bus worker's tick).
// The files: server (the Server object: construction and end, the serving loop of run(), save),
// startup (start(): the configuration and its folder, the nodes, attaching, identities, the
// monitor, the listeners), supervision (attaching, the monitor's callbacks, the node table,
// tick), setpoints (set: properties, process values sent as RPDOs, held RPDOs and log lines, the
// flusher), bus_work (the bus worker, joins, rates, bus work per client), line_protocol (the
// request table and the answers of the line protocol: help, status, list, get, identity, sim,
// download), status_table.h (the status table as read, for both front ends), service (the read
// views and the running of requests that the `json` request and the HTTP API share), http_api
// (--http: the JSON API, its event stream, the console's files and /metrics over HTTP),
// server_util.h (what these share), options (command line), config_file (reading and
// writing the configuration), requests (request lines, the request table and the framing of
// answers), events (the one place events are published), network (Asio sessions), metrics and
// metrics_http (the counters for /metrics), trace (the lines' taps: the bus trace and load),
// demo_devices (the simulated devices of the
// virtual bus, their heartbeats and emergencies, the `sim` request), process_data (PDOs, boot
// configuration, SYNC, the process values as properties), drives (motor drives: their
// properties, the `drive` request, their events), network_start (lines started as networks: boot
// procedure, status codes, `boot`, `download`), od_requests, sdo_requests, scan_requests and
// record_requests (the `od`, `sdo`, `scan` and `record` requests), parallel (work on many nodes
// at once).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "D_esdcan.h"
#include "can_monitor.h"
#include "canopen_node.h"
#include "config_file.h"
#include "demo_devices.h"
#include "drives.h"
#include "events.h"
#include "metrics.h"
#include "network_start.h"
#include "od_requests.h"
#include "options.h"
#include "process_data.h"
#include "requests.h"
#include "trace.h"

namespace canbus_server {

// Bus jobs a client may have waiting; more are answered "error: busy, N requests queued".
inline constexpr size_t kMaxQueuedPerClient = 8;

// Runs jobs one after the other on a thread of its own: one queue per client (key), the keys
// with work served in turn, one job each; the keys posted `first` before all others.
class BusWorker {
 public:
  using Key = const void*;  // the client; nullptr: the server's own work (not limited)
  struct Job {
    std::function<void()> run;
    std::function<void()> dropped;  // instead of run when its client has gone (may be empty)
  };
  void start();
  void stop();  // runs what is queued, then ends
  // Queues `job` behind the other jobs of `key`. false when kMaxQueuedPerClient of them wait
  // already (their number in `waiting`). `first`: the key takes its turns before the keys
  // without it (writers); the server's own work (nullptr) always does.
  bool post(Key key, Job job, size_t* waiting = nullptr, bool first = false);
  // Drops the jobs of `key` not started yet; their `dropped` hooks run on the caller's thread.
  void drop(Key key);

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  std::map<Key, std::deque<Job>> queues_;
  // The keys with jobs waiting, the next one to serve first: those served first, the others.
  std::deque<Key> turn_first_;
  std::deque<Key> turn_;
  bool stopping_ = false;
  std::thread thread_;
};

class Network;
class HttpApi;
class Service;
struct StatusTable;

// Nodes read at a time under the state lock by the answers about all of them (status, list).
inline constexpr size_t kSliceNodes = 128;

class Server {
 public:
  // The answer to a request and whether the session ends with it (quit).
  using Done = std::function<void(const std::string& answer, bool end)>;

  Server(Options opts, int out_fd);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the configuration, creates and attaches the node properties, starts the simulated
  // devices (virtual bus only) and reads the identity strings. false with the reasons on
  // standard error when the configuration cannot be used.
  bool start();
  // The exit status after a failed start: 1 (configuration, files), 2 (command line: a writer
  // that is none, an address that cannot be bound).
  int start_failure() const { return start_failure_; }
  // Serves standard input (`in_fd`) and the network until quit on standard input, end of input
  // (without a duration or listeners), the duration or a stop signal. Saves on exit.
  int run(int in_fd);

  // One request of client `c`; `done` gets the framed answer (frame_answer) and is called once,
  // possibly on another thread; with an empty text when `c` went before its queued work
  // started (the work was dropped: there is nothing to send).
  void submit(const std::shared_ptr<Client>& c, const std::string& line, Done done);
  // Whether the request line is bus work: a client may have several of them queued at once
  // (answered in order), while other requests wait for the answers before them.
  bool runs_on_bus(const Client& c, const std::string& line) const;
  // The client disconnected: its queued bus work is dropped.
  void client_gone(const std::shared_ptr<Client>& c);
  RequestTable& requests() { return table_; }
  EventHub& events() { return events_; }
  // The bus trace and the lines' load (trace.h); opened by start(), null before.
  BusTrace* trace() { return trace_.get(); }

  static void request_stop();
  Service& service() { return *service_; }

  // The bus trace for the HTTP API and `json trace` (trace.cpp): decoded lines newer than
  // `after`, a line's candump log, a line's bit rate, load and load history into `out`.
  nlohmann::json trace_json(uint64_t after, size_t limit, int line, int node,
                            const std::vector<std::string>& services);
  std::string trace_log(int line);
  void line_load_json(int line, int64_t since_ms, nlohmann::json& out);

 private:
  friend class Service;  // the read views (service.cpp)
  friend class HttpApi;
  struct Node {
    D_can* prop = nullptr;
    int line = 0;
    int node = 0;
    bool master = false;  // attached as the master of its line and node
    MonitorSpec mon;      // its supervision while it is a master
    // A master with a boot configuration is handed to the monitor once its identity is read
    // (the configuration's transfers and the uploads would take each other's answers).
    bool supervise_later = false;
    std::string config_failure;  // why its last boot configuration failed; empty: it did not
    int64_t lost_since_ns = 0;   // when the monitor reported it lost; 0 while it is not
    // Booted, its boot configuration (and the restore of its set-points) not reported yet.
    bool configuring = false;
  };
  // The steps of start() (startup.cpp), in their order.
  void use_backend_and_clock();
  bool open_config_folder();
  bool make_demo_folder();  // the example's work folder, its configuration and EDS files
  bool read_config(Config& config);
  void create_nodes(Config& config);
  size_t load_dictionaries();  // the EDS files that cannot be used
  bool load_process_data();
  bool load_drives();
  bool load_networks();
  void attach_nodes();
  void read_start_identities();
  void hand_to_monitor();
  void open_trace();   // the taps of the lines opened by attach_nodes
  int stream_trace();  // the trace's listener for the HTTP streams (trace.cpp); its id or 0
  const Node* first_property_of(size_t k) const;
  bool config_errors_allowed(const std::vector<std::string>& errors, const char* kind) const;

  static std::string role_of(const Node& n);

  void register_requests();
  std::string cmd_get(const std::string& name);
  std::string cmd_set(Client& c, const std::string& name, const Args& values);
  std::string cmd_set_node(Client& c, Node& n, const int v[4]);
  std::string cmd_sim(const Args& args);
  std::string cmd_list();
  std::string cmd_identity(const std::string& name);
  // One run of a bus request for every client that asked for it (joins).
  struct BusRun {
    const RequestSpec* entry = nullptr;
    Args args;
    std::string key;  // joins: the request's name and arguments
    std::vector<std::pair<std::shared_ptr<Client>, Done>> waiting;
  };
  void post_run(const std::shared_ptr<BusRun>& run, const std::shared_ptr<Client>& owner);
  // What a bus request of `c` joins ("" when it does not): identity, and sdo reads of the same
  // object.
  static std::string join_key(const RequestSpec& e, const Args& a);
  // Why a bus request is refused at once ("error: ..."), or empty: its node lost (without
  // --wait), a read-only client or all of them over their rate, the line's SDO rate spent.
  std::string bus_gate(const Client& c, const RequestSpec& e, const Args& a);
  // Requests a second, as a bucket that holds one second of them.
  struct Rate {
    double tokens = -1;  // below 0: full
    int64_t at_ns = 0;
    bool has(int64_t now_ns, double per_s);  // refills; whether one is left
    void take() { tokens -= 1; }
  };
  BusCounters bus_counters() const;
  void run_on_bus(const std::shared_ptr<BusRun>& run);
  // The folder the configuration is saved in, held open from the start (startup.cpp).
  struct Folder {
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder();
    int fd = -1;
    std::string path;  // as opened ("DIR/"), for messages and the check that it is still there
    dev_t dev = 0;
    ino_t ino = 0;
  };
  bool check_folder(const std::string& dir, bool ours, std::string& error, Folder& out) const;
  bool open_listeners();
  bool open_metrics();         // --http (--metrics) bound (http_api.cpp)
  std::string metrics_text();  // one scrape, with state_mx_ inside
  std::string cmd_help(const Args& args) const;
  // The status table; `values` (the operator's table of --status-every): then a line per node
  // with process values. Without state_mx_: status and list take it a slice of nodes at a time.
  std::string status(bool values = false);
  std::shared_ptr<StatusTable> status_table(bool values);
  AnswerStream status_stream();
  std::vector<std::string> list_lines();  // list's lines
  AnswerStream list_stream();
  // f(k) for every node k, under state_mx_ a slice of kSliceNodes nodes at a time.
  void each_node_sliced(const std::function<void(size_t)>& f);
  Node* find_node(const std::string& name);
  DemoDevices::NodeSpec device_spec(const Node& n) const;
  void attach(Node& n);
  void read_identity(Node& n);
  canbus::MonitorCallbacks monitor_callbacks();
  void supervise(Node& n);   // hands a master to the monitor; with state_mx_ or before run
  void supervise_waiting();  // the masters left for after their identity read; the same
  // A node's set-points go out again after its boot configuration (or, in a network, after the
  // network started it): `event restored`, `cleared`, `restore-failed`.
  void restore_setpoints(D_can& p);
  // `download NAME FILE` as bus work: FILE from the configuration's folder only.
  std::string cmd_download(const std::string& name, const std::string& file);
  // With bus_mx_ (a bus job): a set-point, sent as its RPDO; within the RPDO's interval held
  // and sent with the latest values when it ends.
  std::string cmd_set_value(Client& c, const std::string& name, const Args& values);
  // With bus_mx_: the set-point log line, at most one a second per client and value; those held
  // back are summed up by flush_held.
  void log_setpoint(const Client& c, const std::string& name, const std::string& shown);
  // With bus_mx_: sends the held RPDOs whose interval ended and writes the held log lines due
  // (`all`: every one, at the end).
  void flush_held(bool all = false);
  void flush_at(int64_t due_ns);  // the flusher wakes by then (without --manual)
  void start_flusher();
  void stop_flusher();
  std::string not_taking_setpoints(const Node& n);
  void tick();  // one poll of the monitor on the stepped clock, with bus_mx_
  // The master whose node `p` is (itself or the one it follows), or nullptr.
  const Node* master_of(const Node& n) const;
  Node* node_of(const D_can* p);
  // With state_mx_: the master's .CONDITION for its followers (theirs is their own).
  void followers_condition(const Node& m);
  bool save(std::string& error);
  void restore_values();
  void log(const std::string& msg);
  void write_out(const std::string& text);

  Options opts_;
  int out_fd_;
  std::mutex out_mx_;
  std::string config_file_;
  Folder config_dir_;        // config_file_'s folder: saves are made relative to it
  std::string config_name_;  // config_file_'s name in it
  ConfigFile config_;
  bool config_ok_ = false;
  int start_failure_ = 1;  // the file was read: it may be written back
  bool simulate_ = false;
  std::unique_ptr<EqFct> location_;
  std::vector<Node> nodes_;  // made in start(), never resized afterwards
  // The node of a property: every callback of the monitor looks it up.
  std::unordered_map<const D_can*, size_t> node_index_;
  DemoDevices demo_;       // the simulated devices (virtual bus only)
  RecordRequests record_;  // started before the nodes attach, ended after they are gone
  RequestTable table_;
  EventHub events_;
  BusWorker worker_;
  std::mutex join_mx_;
  std::map<std::string, std::shared_ptr<BusRun>> queued_runs_;  // joins: until answered
  std::unique_ptr<Network> net_;      // bound in start(), before any node is attached
  std::unique_ptr<Service> service_;  // the views of both front ends (service.cpp)
  std::unique_ptr<HttpApi> metrics_;  // --http: bound with net_, served once start() is done
  std::atomic<bool> metrics_ready_{false};
  std::mutex bus_mx_;
  std::mutex state_mx_;
  int64_t ticks_ = 0;
  std::unique_ptr<canbus::NodeMonitor> monitor_;
  NodeObjects objects_;  // dictionaries of the NAME.EDS lines
  // PDOs, boot configurations, SYNC producers; its values are guarded by state_mx_.
  std::unique_ptr<ProcessData> pd_;
  // The motor drives (NAME.DRIVE lines); made in start(), gone before the node properties.
  std::unique_ptr<Drives> drives_;
  // The taps of the lines: opened once the lines are, closed before them (~Server).
  std::unique_ptr<BusTrace> trace_;
  int trace_listener_ = 0;  // stream_trace(): removed before the HTTP side goes
  // The lines started as networks (LINE.N.NETWORK, NAME.SLAVE); made in start(), stopped first
  // and gone before the monitor.
  std::unique_ptr<NetworkStart> nets_;
  uint32_t config_days_ = 0;  // the configuration file's modification day (since 1984)
  std::atomic<bool> drive_poll_queued_{false};  // a poll of the drives waits on the bus worker
  std::atomic<bool> late_devices_{true};        // the example has devices still to boot late
  std::atomic<bool> late_queued_{false};        // their boot waits on the bus worker
  // The node ids the last scan of each line found (scan_requests.cpp); guarded by state_mx_.
  std::map<int, std::set<int>> scanned_;
  // The rates of bus work (bus_gate).
  std::mutex rate_mx_;
  std::map<const Client*, Rate> client_rate_;  // read-only clients; erased when they go
  Rate readers_rate_;
  std::map<int, Rate> line_sdo_rate_;
  struct {
    std::atomic<uint64_t> coalesced{0}, refused_client{0}, refused_all{0}, refused_line{0},
        refused_lost{0}, joined{0}, log_held{0};
  } counts_;
  // RPDOs sent at once, by node property and number: when last sent, and the frame held for
  // the end of its interval; with bus_mx_.
  struct HeldRpdo {
    int64_t sent_ns = 0;
    bool held = false;
    int64_t due_ns = 0;
    D_can* prop = nullptr;
    canbus::PdoConfig pdo;
    std::vector<canbus::Value> raw;
    canbus::SyncProducer* sync = nullptr;
  };
  std::map<std::pair<std::string, int>, HeldRpdo> rpdos_;
  // The set-point log of a client and value: its last line, the set-points held back since.
  struct HeldLog {
    std::string who;
    int64_t line_ns = 0;
    uint64_t held = 0;
    std::string last;
  };
  std::map<std::pair<const Client*, std::string>, HeldLog> setpoint_log_;  // with bus_mx_
  std::thread flusher_;
  std::mutex flush_mx_;
  std::condition_variable flush_cv_;
  int64_t flush_due_ns_ = 0;  // 0: nothing held
  bool flush_stop_ = false;
};

}  // namespace canbus_server
