// Process values written by clients: set-points sent as RPDOs (held for their interval), their
// log lines, and the set-points restored after a node's boot.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

#include "server.h"
#include "server_util.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

// Written by the library only: clients read them.
const char* const kReadOnly[] = {".ACTIVE", ".ALIVE", ".CONDITION", ".MANU", ".HWVER", ".SWVER"};

bool is_read_only(const std::string& name) {
  for (const char* s : kReadOnly) {
    if (ends_with(name, s)) return true;
  }
  return false;
}

// The frame of an RPDO sent at once may take ~3 % of its line: its bit length (with the most
// stuff bits) over 3 % of the line's bit rate, at least 1 ms. An unknown code counts as 10 kbit/s.
int default_rpdo_interval_ms(int baud_code, const canbus::PdoConfig& pdo) {
  static const std::map<int, double> kKbit = {
      {0, 1000}, {1, 666.6}, {2, 500},   {3, 333.3}, {4, 250},   {5, 166}, {6, 125}, {7, 100},
      {8, 66.6}, {9, 50},    {10, 33.3}, {11, 20},   {12, 12.5}, {13, 10}, {14, 800}};
  const auto k = kKbit.find(baud_code);
  const double kbit = k == kKbit.end() ? 10 : k->second;
  const int bytes = static_cast<int>((canbus::mapping_bits(pdo.mapping) + 7) / 8);
  const int bits = 47 + 8 * bytes + (34 + 8 * bytes - 1) / 4;
  const double ms = bits / (0.03 * kbit);
  return std::max(1, static_cast<int>(std::ceil(ms)));
}

}  // namespace

// With bus_mx_ (a bus job).
std::string Server::cmd_set(Client& c, const std::string& name, const Args& values) {
  std::unique_lock<std::mutex> lk(state_mx_);
  if (pd_->is_value(name)) {
    lk.unlock();
    return cmd_set_value(c, name, values);
  }
  if (drives_->is_property(name)) {
    // NAME.TARGET: a move, waited for on the bus as `drive NAME move`.
    lk.unlock();
    return drives_->set_target(c, name, values);
  }
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + quote_word(name);
  if (is_read_only(name)) return "error: " + name + " is read-only";
  std::string error;
  EqData in, res;
  std::string shown;
  if (Node* n = find_node(name)) {
    int v[4];
    if (!four(values, v, error)) return "error: " + name + " " + error;
    if (auto e = check_node_value(v); !e.empty()) return "error: " + e;
    lk.unlock();
    return cmd_set_node(c, *n, v);
  }
  const int type = p->data_type();
  if (type == DATA_IIII) {
    int v[4];
    if (!four(values, v, error)) return "error: " + name + " " + error;
    if (ends_with(name, ".DEBUG_ID")) {
      if (auto e = check_debug_value(v); !e.empty()) return "error: " + e;
    }
    in.set(IIII{v[0], v[1], v[2], v[3]});
  } else if (type == DATA_INT) {
    int v = 0;
    if (values.size() != 1 || !parse_int(values[0], v))
      return "error: " + name + " takes one integer";
    if (ends_with(name, ".BAUDRATE")) {
      if (auto e = check_baud_code(v); !e.empty()) return "error: " + e;
    }
    in.set(v);
  } else if (type == DATA_STRING) {
    std::string s;
    for (size_t i = 0; i < values.size(); ++i) s += (i ? " " : "") + values[i];
    if (s.size() > kMaxString)
      return "error: " + name + " takes at most " + std::to_string(kMaxString) + " bytes";
    in.set_string(s);
  } else {
    return "error: " + name + " cannot be set";
  }
  location_->set_user_and_host(c.user, c.host);
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  for (const auto& v : values) shown += " " + quote_word(v);
  log(name + " set to" + shown + " by " + c.who());
  // The line takes a baud rate when it opens; the status table shows the one in use. Another
  // property of the line with another code is named: the file must give one rate per line.
  if (ends_with(name, ".BAUDRATE")) {
    auto code = [](int c) { return c == 0 ? kDefaultBaudCode : c; };
    const Node* n = find_node(name.substr(0, name.size() - 9));
    for (const Node& o : nodes_) {
      if (n == nullptr || &o == n || o.line != n->line) continue;
      const int other = code(o.prop->baudrate_prop()->get_value());
      if (other == code(n->prop->baudrate_prop()->get_value())) continue;
      return "ok (applies when the line is next opened; line " + std::to_string(n->line) +
             " has code " + std::to_string(other) + " from " + o.prop->name() +
             ": give every property of the line the same code)";
    }
    return "ok (applies when the line is next opened)";
  }
  return "ok";
}

// With bus_mx_, without state_mx_: checked under state_mx_, sent without it.
std::string Server::cmd_set_value(Client& c, const std::string& name, const Args& values) {
  std::string node_name;
  canbus::PdoConfig pdo;
  std::vector<canbus::Value> raw;
  D_can* p = nullptr;
  canbus::SyncProducer* sync = nullptr;
  int interval_ms = 0;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    if (auto e = pd_->prepare_set(name, values, node_name, pdo, raw); !e.empty()) return e;
    Node* n = find_node(node_name);
    if (n == nullptr || n->prop->handle() < 0) return "error: " + node_name + " is not on the bus";
    // A node takes RPDOs in Operational only: a set-point it would drop is neither stored nor
    // sent.
    if (auto why = not_taking_setpoints(*n); !why.empty()) {
      return "error: " + node_name + " is " + why + ": set-points are taken in Operational only";
    }
    p = n->prop;
    sync = pd_->sync_of(n->line);
    interval_ms = pd_->rpdo_interval_ms(node_name, pdo.number);
  }
  if (interval_ms == 0) {
    const canline* l = p->line_ptr();
    interval_ms = default_rpdo_interval_ms(l != nullptr ? l->baud() : -1, pdo);
  }
  std::string shown;
  for (const auto& v : values) shown += " " + quote_word(v);
  // One after the SYNC replaces the one queued before it: the SYNC's period is its interval.
  const bool after_sync = sync != nullptr && canbus::is_synchronous(pdo);
  HeldRpdo& h = rpdos_[{node_name, pdo.number}];
  const int64_t now = tavik::clock().now_ns();
  const int64_t interval_ns = int64_t{interval_ms} * 1000000;
  if (!after_sync && h.sent_ns != 0 && now < h.sent_ns + interval_ns) {
    // Within the interval: the frame with the latest values goes out when it ends.
    h.held = true;
    h.due_ns = h.sent_ns + interval_ns;
    h.prop = p;
    h.pdo = pdo;
    h.raw = raw;
    h.sync = sync;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      pd_->commit_set(name, pdo, raw);
    }
    ++counts_.coalesced;
    log_setpoint(c, name, shown);
    flush_at(h.due_ns);
    return "ok (coalesced: sent within " + std::to_string(interval_ms) + " ms)";
  }
  std::string err;
  const int r = canbus::send_rpdo(*p, pdo, raw, sync, &err);
  if (r != 0) {
    return "error: " + canbus::pdo_name(pdo.kind, pdo.number) + " not sent: " +
           (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(r))) : err);
  }
  if (!after_sync) {
    h.sent_ns = now;
    h.held = false;  // these values are the latest
  }
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    pd_->commit_set(name, pdo, raw);
  }
  log_setpoint(c, name, shown);
  if (after_sync) return "ok (sent after the next SYNC)";
  return "ok";
}

void Server::log_setpoint(const Client& c, const std::string& name, const std::string& shown) {
  constexpr int64_t kLogEveryNs = 1'000'000'000;
  const int64_t now = tavik::clock().now_ns();
  HeldLog& l = setpoint_log_[{&c, name}];
  if (l.line_ns == 0 || (l.held == 0 && now - l.line_ns >= kLogEveryNs)) {
    log(name + " set to" + shown + " by " + c.who());
    l.line_ns = now;
    return;
  }
  l.who = c.who();
  l.last = shown;
  ++l.held;
  ++counts_.log_held;
  flush_at(l.line_ns + kLogEveryNs);
}

void Server::flush_held(bool all) {
  constexpr int64_t kLogEveryNs = 1'000'000'000;
  const int64_t now = tavik::clock().now_ns();
  for (auto& [key, h] : rpdos_) {
    if (!h.held) continue;
    if (!all && now < h.due_ns) {
      flush_at(h.due_ns);
      continue;
    }
    h.held = false;
    h.sent_ns = now;
    std::string err;
    const int r = canbus::send_rpdo(*h.prop, h.pdo, h.raw, h.sync, &err);
    if (r != 0) {
      log(key.first + " " + canbus::pdo_name(h.pdo.kind, h.pdo.number) +
          " held for its interval not sent: " +
          (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(r))) : err));
    }
  }
  for (auto it = setpoint_log_.begin(); it != setpoint_log_.end();) {
    HeldLog& l = it->second;
    if (l.held > 0 && (all || now - l.line_ns >= kLogEveryNs)) {
      log(it->first.second + " set by " + l.who + " (" + std::to_string(l.held) +
          (l.held == 1 ? " more set-point, last" : " more set-points, last") + l.last + ")");
      l.held = 0;
      l.line_ns = now;
    } else if (l.held > 0) {
      flush_at(l.line_ns + kLogEveryNs);
    } else if (now - l.line_ns >= kLogEveryNs) {
      it = setpoint_log_.erase(it);  // a client's next set-point is logged at once
      continue;
    }
    ++it;
  }
}

void Server::flush_at(int64_t due_ns) {
  if (opts_.manual) return;  // the next tick flushes
  std::lock_guard<std::mutex> lk(flush_mx_);
  if (flush_due_ns_ != 0 && flush_due_ns_ <= due_ns) return;
  flush_due_ns_ = due_ns;
  flush_cv_.notify_all();
}

void Server::start_flusher() {
  if (opts_.manual) return;
  flusher_ = std::thread([this] {
    std::unique_lock<std::mutex> lk(flush_mx_);
    while (!flush_stop_) {
      if (flush_due_ns_ == 0) {
        flush_cv_.wait(lk);
        continue;
      }
      const int64_t left = flush_due_ns_ - tavik::clock().now_ns();
      if (left > 0) {
        flush_cv_.wait_for(lk, std::chrono::nanoseconds(left));
        continue;
      }
      flush_due_ns_ = 0;
      lk.unlock();
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               flush_held();
                             },
                             {}});
      lk.lock();
    }
  });
}

void Server::stop_flusher() {
  {
    std::lock_guard<std::mutex> lk(flush_mx_);
    flush_stop_ = true;
  }
  flush_cv_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

// With state_mx_: why the node of `n` would drop an RPDO now, as the server shows its state
// ("Stopped", "lost (No heartbeat)", "Not configured: ..."); empty when it is operational.
std::string Server::not_taking_setpoints(const Node& n) {
  const Node* m = master_of(n);
  canbus::NodeStats st;
  if (m == nullptr || !monitor_->stats(m->prop, st)) return "not supervised";
  if (st.lost) return "lost (" + m->prop->condition_prop()->value() + ")";
  if (!m->config_failure.empty()) return m->config_failure;
  // Booted and not configured yet: its set-points go out again once it is.
  if (m->configuring) return "being configured after a boot";
  if (st.state == canbus::kStateUnknown) return "not heard yet";
  if (st.state != 5) return state_text(st.state);
  return "";
}

// With bus_mx_, without state_mx_; `v` is checked.
std::string Server::cmd_set_node(Client& c, Node& n, const int v[4]) {
  std::unique_lock<std::mutex> lk(state_mx_);
  D_can* p = n.prop;
  const IIII old = p->value();
  IIII now{v[0], v[1], v[2], v[3]};
  const bool moved = old.i1_data != now.i1_data || old.i2_data != now.i2_data;
  // A move attaches anew: the monitor lets go of the node before (its remove waits for the
  // callbacks in progress, which take state_mx_). Uploads and the monitor's receive cycle share
  // the node's handle without taking each other's frames, so supervision of the other nodes goes
  // on meanwhile.
  if (moved) {
    lk.unlock();
    monitor_->remove(p);
    lk.lock();
  }
  EqData in, res;
  in.set(now);
  location_->set_user_and_host(c.user, c.host);
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) {
    if (moved && n.master) supervise(n);
    return "error: " + res.get_string();
  }
  char shown[96];
  std::snprintf(shown, sizeof shown, "%d %d %d %d", v[0], v[1], v[2], v[3]);
  log(p->name() + " set to " + shown + " by " + c.who());

  if (!moved) {
    // Further identifiers take effect at once: the old ones off (the master's handle only; a
    // follower shares it), the new ones on.
    for (int id : {old.i3_data, old.i4_data}) {
      if (id > 0 && id != now.i3_data && id != now.i4_data && id != 0x700 + n.node &&
          id != 0x580 + n.node && id != 0x80 + n.node)
        p->DelIdent(id);
    }
    for (int id : {now.i3_data, now.i4_data}) {
      if (id > 0 && p->handle() >= 0) p->AddIdent(id);
    }
    return "ok";
  }
  // Moved: attach where it is now and read the new node's identity. The followers left without
  // their master: the first attaches again and becomes the node's master (supervised); the
  // library has the others follow it.
  const int old_line = n.line, old_node = n.node;
  const bool was_master = n.master;
  n.line = now.i1_data;
  n.node = now.i2_data;
  p->manu_prop()->set_value("");
  p->hwver_prop()->set_value("");
  p->swver_prop()->set_value("");
  p->alive_prop()->set_value(0);
  p->condition_prop()->set_value("");
  if (simulate_ && !record_.replaying()) demo_.add_plain(device_spec(n), opts_.manual);
  attach(n);
  bool first = true;
  for (auto& m : nodes_) {
    if (!was_master || &m == &n || m.line != old_line || m.node != old_node || m.master) continue;
    if (first) {
      m.prop->can_close();
      attach(m);
      first = false;
    }
    log(m.prop->name() + " attached again after its master moved: " + role_of(m));
  }
  lk.unlock();
  read_identity(n);
  if (n.master && drives_->has(p->name())) {
    // A drive's node: set up where it is now, then started.
    drives_->setup(p->name());
    p->start_node();
  }
  lk.lock();
  supervise_waiting();
  lk.unlock();
  return "ok (moved to line " + std::to_string(n.line) + " node " + std::to_string(n.node) +
         ", attached again)";
}

// A configured node was started: its set-points go out again with their last values (a node
// takes RPDOs in Operational only, so after the start), or read none (`boot clear`).
void Server::restore_setpoints(D_can& p) {
  std::vector<Event> after;
  std::vector<ProcessData::Restore> restore;
  canbus::SyncProducer* sync = nullptr;
  int line = 0, id = 0;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    Node* n = node_of(&p);
    if (n == nullptr) return;
    line = n->line;
    id = n->node;
    pd_->after_boot(p.name(), line, id, restore, after);
    sync = pd_->sync_of(line);
    // A set-point taken between here and the restore would be overwritten by the restored
    // value: the node stays "being configured" until the restore has gone out.
    n->configuring = !restore.empty();
  }
  std::vector<std::string> failed(restore.size());
  for (size_t k = 0; k < restore.size(); ++k) {
    std::string err;
    const int res = canbus::send_rpdo(p, restore[k].pdo, restore[k].raw, sync, &err);
    if (res != 0) {
      failed[k] =
          "not sent: " +
          (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(res))) : err);
    }
  }
  if (!restore.empty()) {
    std::lock_guard<std::mutex> lk(state_mx_);
    if (Node* n = node_of(&p)) {
      n->configuring = false;
      for (size_t k = 0; k < restore.size(); ++k) {
        pd_->restored(p.name(), line, id, restore[k], failed[k], after);
      }
    }
  }
  for (const auto& x : after) events_.publish(x);
}

}  // namespace canbus_server
