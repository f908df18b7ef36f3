// --http's /metrics: the server's part gathers the counters (http_api.cpp serves them).
#include <iostream>
#include <map>

#include "metrics.h"
#include "net_counts.h"
#include "server.h"

namespace canbus_server {

// As status: state_mx_ for the node table, nothing that waits for the bus.
std::string Server::metrics_text() {
  std::vector<NodeCounters> nodes;
  std::map<int, LineCounters> lines;
  std::vector<ValueGauge> values;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const ValueInfo& v : pd_->values())
      values.push_back({v.name, v.node, v.unit, v.has, v.value, alarm_level(v.alarm)});
    for (const Node& n : nodes_) {
      NodeCounters c;
      c.name = n.prop->name();
      c.line = n.line;
      c.node = n.node;
      canbus::NodeStats st;
      c.supervised = n.master && monitor_->stats(n.prop, st);
      if (c.supervised) {
        // A lost node is in no known state: not the last one heard.
        c.state = st.lost ? canbus::kStateUnknown : st.state;
        c.lost = st.lost;
        c.losses = st.losses;
        c.missed = st.missed;
        c.emergencies = st.emergencies;
        c.frames_lost = st.frames_lost;
        c.pdos = st.pdos;
        c.pdos_late = st.pdos_late;
      }
      const D_can::SdoCounts sdo = n.prop->sdo_counts();
      c.sdo_transfers = sdo.transfers;
      c.sdo_failures = sdo.failures;
      c.drive = drives_->counters(c.name, c.drive_state, c.drive_faults);
      nodes.push_back(std::move(c));
      LineCounters& l = lines[n.line];
      l.line = n.line;
      if (const canline* cl = n.prop->line_ptr()) {
        l.open = cl->is_open();
        const uint64_t g = cl->generation();
        l.reopenings = g > 0 ? g - 1 : 0;
      }
    }
  }
  std::vector<LineCounters> all;
  for (auto& [number, l] : lines) {
    // Line N is the driver's net N - 1.
    const ntcan::NetCounts f = ntcan::net_counts(number - 1);
    l.frames_sent = f.sent;
    l.frames_received = f.received;
    all.push_back(l);
  }
  return render_metrics(server_metrics(nodes, all)) + (trace_ ? trace_->metrics_text() : "") +
         render_metrics(bus_metrics(bus_counters())) + render_metrics(nets_->metrics()) +
         render_metrics(value_metrics(values));
}

}  // namespace canbus_server
