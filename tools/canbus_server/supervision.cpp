// Node supervision: attaching the properties, the monitor's callbacks (states, emergencies,
// losses, TPDOs, boot configurations) and the stepped clock's tick.
#include "server.h"
#include "server_util.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

canbus::NodeConfig node_config(const MonitorSpec& m,
                               std::shared_ptr<const canbus::BootConfig> boot) {
  canbus::NodeConfig c;
  c.mode = m.heartbeat ? canbus::Supervision::kHeartbeat : canbus::Supervision::kGuarding;
  c.guard_period_ms = m.period_ms;
  c.guard_misses = m.misses;
  c.heartbeat_ms = m.period_ms;
  c.heartbeat_tolerance_ms = m.tolerance_ms;
  // One log line per emergency: the library's can_emergency line (called from on_frames).
  c.log_emergencies = false;
  c.boot = boot;
  return c;
}

}  // namespace

// .ACTIVE stays 1 once a property has been a master, also after it moved and follows another
// one: the server keeps the role it attached the property in.
std::string Server::role_of(const Node& n) {
  D_can* p = n.prop;
  if (n.master) return p->line_ptr() ? "master" : "detached";
  if (p->rx_buffer() != nullptr) return "follower";
  if (p->handle() >= 0) return "direct";
  return "detached";
}

void Server::attach(Node& n) {
  D_can* p = n.prop;
  // The library makes the first property attached to a line and node without a master its
  // master; the others follow it.
  bool has_master = false;
  for (const auto& m : nodes_) {
    // Other nodes' entries may be attaching on other threads: only this node's are looked at.
    has_master = has_master || (&m != &n && m.line == n.line && m.node == n.node && m.master);
  }
  // Guarding replies, SDO replies and emergencies; the further identifiers of the value.
  int r = p->init(0x700 + n.node);
  if (r == 0) r = p->AddIdent(0x580 + n.node);
  if (r == 0) r = p->init_emergency();
  IIII v = p->value();
  if (r == 0 && v.i3_data > 0) r = p->AddIdent(v.i3_data);
  if (r == 0 && v.i4_data > 0) r = p->AddIdent(v.i4_data);
  if (r != 0) {
    log(p->name() + " line " + std::to_string(n.line) + " node " + std::to_string(n.node) +
        ": attach returned " + std::to_string(r) + " (" +
        can_error_str(static_cast<unsigned long>(static_cast<long>(r))) + ")");
  }
  n.master = r == 0 && !has_master && p->line_ptr() != nullptr;
  if (n.master && (pd_->boot(p->name()) != nullptr || nets_->is_network_line(n.line))) {
    // The monitor configures and starts it.
    n.supervise_later = true;
  } else if (n.master) {
    // A drive's node is started once its drive is set up (start()).
    if (!drives_->has(p->name())) p->start_node();
    supervise(n);
  } else if (const Node* m = master_of(n)) {
    // A follower's .CONDITION is its own: it starts with its master's.
    p->condition_prop()->set_value(m->prop->condition_prop()->value());
  }
}

void Server::supervise(Node& n) {
  n.supervise_later = false;
  // A drive takes its node's process data and emergencies; after a boot-up it is set up again
  // and its node started, as bus work of the server's own. On a network's line the network
  // starts it, as its start mode says.
  const bool network = nets_->is_network_line(n.line);
  canbus::NodeCallbacks drive = drives_->make(
      *n.prop, n.line, n.node, monitor_.get(), objects_.dictionary(n.prop->name()),
      [this, network](const std::string& name) {
        worker_.post(nullptr, {[this, name, network] {
                                 std::lock_guard<std::mutex> bus(bus_mx_);
                                 drives_->setup(name);
                                 if (network) return;
                                 std::lock_guard<std::mutex> lk(state_mx_);
                                 if (Node* d = find_node(name); d != nullptr && d->master)
                                   d->prop->start_node();
                               },
                               {}});
      });
  if (network) {
    // The network's boot procedure configures the node (its DCF, BOOT and PDO lines as one
    // concise DCF) and starts it as the line's start mode says.
    std::string why;
    const auto boot = pd_->boot(n.prop->name());
    uint32_t days = config_days_;
    if (const auto od = objects_.dictionary(n.prop->name()); od && boot) {
      const std::string* eds = config_.value_of(n.prop->name() + ".EDS");
      const std::string* bl = config_.value_of(n.prop->name() + ".BOOT");
      std::string text, e;
      BootSpec boot_line;
      if (eds != nullptr && bl != nullptr && parse_boot(*bl, boot_line).empty() && boot_line.dcf &&
          read_config_text(*eds, text, e, config_dir_.fd)) {
        if (const uint32_t d = dcf_modification_days(text)) days = d;
      }
    }
    const int r = nets_->add(*n.prop, n.line, n.node, node_config(n.mon, nullptr), drive,
                             boot.get(), days, why);
    if (r == 0) return;
    log(n.prop->name() + ": " + why + "; supervised without the network");
  }
  const int r = monitor_->add(n.prop, node_config(n.mon, pd_->boot(n.prop->name())), drive);
  if (r != 0) {
    log(n.prop->name() + ": " + monitor_text(n.mon) +
        (monitor_->supervised(n.prop) ? " (an identifier could not be enabled: " : " refused (") +
        std::to_string(r) + ")");
  }
}

void Server::supervise_waiting() {
  for (auto& n : nodes_) {
    if (n.supervise_later && n.master) supervise(n);
  }
}

// With bus_mx_, without state_mx_: the uploads wait for the bus.
void Server::read_identity(Node& n) {
  if (n.prop->handle() < 0) return;
  n.prop->get_manufacture();
  n.prop->get_hwversion();
  n.prop->get_swversion();
}

Server::Node* Server::find_node(const std::string& name) {
  for (auto& n : nodes_) {
    if (n.prop->name() == name) return &n;
  }
  return nullptr;
}

DemoDevices::NodeSpec Server::device_spec(const Node& n) const {
  DemoDevices::NodeSpec s;
  s.line = n.line;
  s.node = n.node;
  s.heartbeat_ms = n.mon.heartbeat ? n.mon.period_ms : 0;
  s.od = objects_.dictionary(n.prop->name());
  s.process_data = pd_->has_process_data(n.prop->name());
  s.adc = opts_.sim_adc;
  s.drive = drives_->has(n.prop->name());
  s.config_store = nets_->is_network_line(n.line);
  s.program_id = nets_->software_of(n.prop->name());
  return s;
}

// ---------------------------------------------------------------------------------------------
// Supervision: the monitor's callbacks (on its thread, or on the bus worker's for a tick)

Server::Node* Server::node_of(const D_can* p) {
  auto it = node_index_.find(p);
  return it == node_index_.end() ? nullptr : &nodes_[it->second];
}

const Server::Node* Server::master_of(const Node& n) const {
  if (n.master) return &n;
  for (const auto& m : nodes_) {
    if (m.line == n.line && m.node == n.node && m.master) return &m;
  }
  return nullptr;
}

// The monitor writes the master's .ALIVE (shared with its followers) and .CONDITION; a
// follower's .CONDITION is its own and takes the master's text.
void Server::followers_condition(const Node& m) {
  const std::string text = m.prop->condition_prop()->value();
  for (auto& f : nodes_) {
    if (&f != &m && !f.master && f.line == m.line && f.node == m.node &&
        f.prop->rx_buffer() != nullptr) {
      f.prop->condition_prop()->set_value(text);
    }
  }
}

// Each callback updates what it must under state_mx_ and publishes without it: a watcher on a
// blocking channel (standard input mode) then holds up nobody's requests.
canbus::MonitorCallbacks Server::monitor_callbacks() {
  canbus::MonitorCallbacks cb;
  // A node event: the followers' .CONDITION follows, and the event goes out.
  auto node_event = [this](D_can& p, Event::Kind kind, int state) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      // A boot-up: the set-points wait for the node's configuration and their restore.
      if (kind == Event::Kind::kState && state == 0 && pd_->boot(p.name()) != nullptr) {
        n->configuring = true;
      }
      // A node whose configuration failed says so while it is heard.
      if (kind == Event::Kind::kState && !n->config_failure.empty()) {
        p.condition_prop()->set_value(n->config_failure);
      }
      followers_condition(*n);
      e = Event{kind, n->line, n->node, p.name()};
      e.state = state_text(state);
    }
    events_.publish(e);
  };
  cb.on_state = [node_event](D_can& p, int, int state) {
    node_event(p, Event::Kind::kState, state);
  };
  // While a node is lost its .ALIVE reads -1 (the monitor's "not known"), not the last state
  // heard; the monitor writes the state again when the node is back.
  cb.on_lost = [this, node_event](D_can& p) {
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) {
        // The property writes its state's text into .CONDITION as well: the monitor's
        // "No guarding reply" / "No heartbeat" stays.
        const std::string condition = p.condition_prop()->value();
        p.alive_prop()->set_value(canbus::kStateUnknown);
        p.condition_prop()->set_value(condition);
        n->lost_since_ns = tavik::clock().now_ns();
      }
    }
    node_event(p, Event::Kind::kNodeLost, 0);
  };
  cb.on_back = [this, node_event](D_can& p) {
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) n->lost_since_ns = 0;
    }
    node_event(p, Event::Kind::kNodeBack, 0);
  };
  cb.on_emergency = [this](D_can& p, const canbus::Emcy& emcy) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      e = Event{Event::Kind::kEmergency, n->line, n->node, p.name()};
    }
    e.code = emcy.code;
    e.error_register = emcy.reg;
    events_.publish(e);
  };
  cb.on_line_lost = [this](int line) { events_.publish({Event::Kind::kLineLost, line, 0, ""}); };
  cb.on_line_back = [this](int line) { events_.publish({Event::Kind::kLineBack, line, 0, ""}); };
  // Process data: the values are stored, their events go out afterwards.
  cb.on_pdo = [this](D_can& p, int pdo, const canbus::PdoValues& v) {
    std::vector<Event> events;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      pd_->on_pdo(p.name(), n->line, n->node, pdo, v, events);
    }
    for (const auto& e : events) events_.publish(e);
  };
  auto late = [this](D_can& p, int pdo, bool is_late) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      pd_->on_late(p.name(), pdo, is_late);
      e = Event{is_late ? Event::Kind::kPdoLate : Event::Kind::kPdoBack, n->line, n->node,
                p.name()};
    }
    e.detail = canbus::pdo_name(canbus::PdoKind::kTpdo, pdo);
    events_.publish(e);
  };
  cb.on_pdo_late = [late](D_can& p, int pdo) { late(p, pdo, true); };
  cb.on_pdo_back = [late](D_can& p, int pdo) { late(p, pdo, false); };
  // A failed configuration leaves the node unstarted: its .CONDITION tells why.
  // A configured node was started: its set-points go out again with their last values (a node
  // takes RPDOs in Operational only, so after the start), or read none (`boot clear`).
  cb.on_boot_config = [this](D_can& p, const canbus::BootReport& r) {
    Event e;
    bool network = false;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      // A node of a network: its .CONDITION is the network's (not started and why).
      network = nets_->is_network_line(n->line);
      if (!network) {
        n->config_failure = r.ok ? "" : "Not configured: " + r.reason;
        if (!r.ok) p.condition_prop()->set_value(n->config_failure);
        followers_condition(*n);
      }
      e = Event{r.ok ? Event::Kind::kConfigured : Event::Kind::kConfigFailed, n->line, n->node,
                p.name()};
    }
    e.detail = r.reason;
    events_.publish(e);
    // A network starts its nodes itself: their set-points go out after that start.
    if (r.ok && !network) restore_setpoints(p);
  };
  // The library's own emergency report ("D_can::can_emergency ..."), once per frame.
  cb.on_frames = [this](D_can& p, CMSG* frames, int count) {
    int node = 0;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) node = n->node;
    }
    if (node > 0) p.can_emergency(node, frames, &count);
  };
  return cb;
}

// --manual: 100 ms of the stepped clock, the simulated devices' heartbeats, one poll.
void Server::tick() {
  if (g_stepped != nullptr) g_stepped->advance(int64_t{kMonitorPeriodMs} * 1'000'000);
  pd_->tick_sync();
  nets_->tick();
  demo_.tick();
  if (g_stepped != nullptr) record_.tick(g_stepped->advanced());
  // The boot configurations run on the monitor's workers: this poll delivers their reports.
  monitor_->wait_boot_configs(10000);
  monitor_->poll();
  drives_->poll(tavik::clock().now_ns());
  flush_held();
  if (++ticks_ % 30 == 0) demo_.emergencies();
  // The frames of this tick into the trace and the load.
  if (trace_) trace_->tick();
}

}  // namespace canbus_server
