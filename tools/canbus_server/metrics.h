// --metrics: the server's counters for an operations team, in the Prometheus text exposition
// format (version 0.0.4) on GET /metrics.
//
// metrics.cpp writes the text (standard library only: tested on its own); metrics_http.cpp
// serves it with civetweb and gathers the counters of the server's nodes and lines. A scrape
// never waits for the bus: it takes state_mx_ as `status` does, and the counters it reads are
// the monitor's (under its own short lock), the SDO client's and the driver's (relaxed
// atomics).
//
// The families (labels name, line, node: the node property; line: the line number):
//   canbus_node_state                  gauge    NMT state of the node (0, 4, 5, 127; -1 unknown)
//   canbus_node_lost                   gauge    1 while the node is lost
//   canbus_node_losses_total           counter  times the node was lost
//   canbus_node_replies_missed_total   counter  guarding requests unanswered, heartbeats missed
//   canbus_node_emergencies_total      counter  EMCY frames
//   canbus_node_frames_lost_total      counter  frames the driver dropped for the node's buffer
//   canbus_node_pdos_total             counter  TPDOs decoded
//   canbus_node_pdos_late_total        counter  times a TPDO of the node was late
//   canbus_node_sdo_transfers_total    counter  SDO transfers of the property
//   canbus_node_sdo_failures_total     counter  of them, those that failed
//   canbus_line_open                   gauge    1 while the line's handle is open
//   canbus_line_reopenings_total       counter  openings of the line's handle after the first
//   canbus_line_frames_sent_total      counter  frames the server's handles sent on the line
//   canbus_line_frames_received_total  counter  frames the server's handles received
//   canbus_line_load                   gauge    bus load of the last complete second (0..1)
//   canbus_line_bits_total             counter  bits of the line's frames on the wire
// (the last two from the line's tap: trace.h)
// The server's own protection of the bus (no labels but the reason where given):
//   canbus_rpdo_coalesced_total         counter  set-points held for their RPDO's interval
//   canbus_client_bus_refused_total     counter  clients' bus requests refused as over a rate
//                                                (reason: client, all_readers, line_sdo)
//   canbus_client_lost_refused_total    counter  clients' bus requests refused: the node lost
//   canbus_client_sdo_joined_total      counter  sdo reads and identity reads joined to one
//   canbus_setpoint_log_held_total      counter  set-point log lines held back (summed up later)
// The supervision families (state to pdos_late) come from the node's master, once a node;
// the SDO families from every property. Counters count since the server started (the monitor's
// since the node's master was last supervised).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

struct mg_context;

namespace canbus_server {

struct MetricSample {
  std::vector<std::pair<std::string, std::string>> labels;  // name, value (as it is)
  int64_t value = 0;
  bool is_real = false;  // the sample is `real` (a measurement), not `value`
  double real = 0;
};

struct MetricFamily {
  std::string name;
  std::string type;  // "counter" or "gauge"
  std::string help;
  std::vector<MetricSample> samples;
};

// A label value as the text format writes it between quotes: backslash, double quote and line
// feed escaped (\\, \", \n).
std::string escape_label_value(const std::string& v);

// The families in the text format: # HELP and # TYPE lines, then one line a sample, every line
// ended by a line feed. A family without samples is left out.
std::string render_metrics(const std::vector<MetricFamily>& families);

// What a scrape reads of one node property and one line.
struct NodeCounters {
  std::string name;
  int line = 0;
  int node = 0;
  bool supervised = false;  // the master of its node, supervised: the supervision counters hold
  int state = -1;
  bool lost = false;
  uint64_t losses = 0;
  uint64_t missed = 0;
  uint64_t emergencies = 0;
  uint64_t frames_lost = 0;
  uint64_t pdos = 0;
  uint64_t pdos_late = 0;
  uint64_t sdo_transfers = 0;
  uint64_t sdo_failures = 0;
  bool drive = false;   // a motor drive: the drive series hold
  int drive_state = 0;  // canbus::DriveState: 0 unknown, 1 not ready to switch on .. 8 fault
  uint64_t drive_faults = 0;
};
struct LineCounters {
  int line = 0;
  bool open = false;
  uint64_t reopenings = 0;
  uint64_t frames_sent = 0;
  uint64_t frames_received = 0;
};

struct BusCounters {
  uint64_t rpdo_coalesced = 0;
  uint64_t refused_client = 0;
  uint64_t refused_all_readers = 0;
  uint64_t refused_line_sdo = 0;
  uint64_t refused_lost = 0;
  uint64_t joined = 0;
  uint64_t log_held = 0;
};
std::vector<MetricFamily> bus_metrics(const BusCounters& c);

// The process values (canbus_value: the value in its units, labels name, node, unit; only those
// that have one) and where they stand against their limits (canbus_value_alarm: 0 none, 1 a
// warning, 2 an alarm; label name).
struct ValueGauge {
  std::string name;
  std::string node;
  std::string unit;
  bool has = false;
  double value = 0;
  int alarm = 0;
};
std::vector<MetricFamily> value_metrics(const std::vector<ValueGauge>& values);

// The families listed above, from the counters.
std::vector<MetricFamily> server_metrics(const std::vector<NodeCounters>& nodes,
                                         const std::vector<LineCounters>& lines);

// How much of the HTTP server (http_api.cpp) one client may hold: a client that trickles its
// request holds a worker until the request time-out, and no more than `per_address` workers at
// once. An event stream holds a worker while it is open, and a browser asks for a page's files
// a few at a time: one address may have a few connections, the workers serve several of them.
struct MetricsLimits {
  int workers = 16;
  int per_address = 6;  // connections from one address; beyond that 503 and closed
  int request_timeout_ms = 5000;
};

}  // namespace canbus_server
