#include "drives.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "D_esdcan.h"
#include "process_data.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

const char* const kProperties[] = {"POSITION", "VELOCITY", "TARGET", "STATE", "MODE"};

// "12.500" (three decimals, as a drive's position is read), with the unit after a blank.
std::string amount(double x, const std::string& unit) {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", x);
  std::string t = std::string(b) == "-0.000" ? "0.000" : b;
  return unit.empty() ? t : t + " " + unit;
}

// " 0x8611 following error"
std::string fault_text(const canbus::Emcy& emcy) {
  char code[16];
  std::snprintf(code, sizeof code, " 0x%04X ", emcy.code);
  return code + canbus::drive_emcy_text(emcy.code);
}

std::string suffix_of(const std::string& name, const std::string& node) {
  return name.size() > node.size() + 1 ? name.substr(node.size() + 1) : "";
}

}  // namespace

struct Drives::Entry {
  std::string node;
  // Set again when the node property moves, read by the listeners.
  std::atomic<int> line{0};
  std::atomic<int> id{0};
  DriveSpec drive_line;
  std::unique_ptr<canbus::Drive> drive;  // made by make(), once
  mutable std::mutex mx;                 // the fields below
  // A fault whose emergency has not come yet (it often follows the statusword): its event waits
  // for it, one second of the clock at most.
  bool fault_pending = false;
  int64_t fault_ns = 0;
  // When the actual values last came (the frame's time stamp; by SDO the poll's time): the
  // drive's own time stamp moves with the statusword only.
  int64_t values_ns = 0;
  std::atomic<uint64_t> faults{0};  // times it went to Fault
  uint64_t gen = 0;                 // operations the server started and waits for
  uint64_t interrupted_gen = 0;     // the one a halt, quick stop or reset replaced
  std::string interrupted_by;
  bool has_target = false;
  double target = 0;
  int64_t target_ns = 0;
  struct Published {
    bool done = false;
    double value = 0;
    int64_t at_ns = 0;
  } position, velocity;

  std::string unit() const { return drive_line.unit; }
  std::string speed_unit() const {
    return (drive_line.unit.empty() ? "increments" : drive_line.unit) + "/s";
  }
};

Drives::Drives(Env env) : env_(std::move(env)) {}

Drives::~Drives() {
  // The listeners refer to the entries: none runs once the drives are gone.
  for (auto& e : entries_) {
    if (e->drive) e->drive->set_listener(nullptr);
  }
}

bool Drives::load(const ConfigFile& config, const std::vector<std::string>& nodes,
                  std::vector<std::string>& errors) {
  bool ok = true;
  for (const auto& node : nodes) {
    const std::string name = node + ".DRIVE";
    const std::string* value = config.value_of(name);
    if (value == nullptr) continue;
    const int at = config.line_of(name);
    bool usable = false;
    for (const auto& l : config.lines()) {
      usable = usable || (l.name == name && l.kind == ConfigFile::Kind::kSub);
    }
    if (!usable) continue;  // refused by the check (--ignore-bad-lines)
    auto e = std::make_unique<Entry>();
    e->node = node;
    if (auto why = parse_drive(*value, e->drive_line); !why.empty()) {
      errors.push_back(std::to_string(at) + ": " + name + ": " + why);
      ok = false;
      continue;
    }
    by_node_[node] = entries_.size();
    entries_.push_back(std::move(e));
  }
  return ok;
}

Drives::Entry* Drives::find(const std::string& node) const {
  auto it = by_node_.find(node);
  return it == by_node_.end() ? nullptr : entries_[it->second].get();
}

canbus::NodeCallbacks Drives::make(D_can& prop, int line, int id, canbus::NodeMonitor* monitor,
                                   std::shared_ptr<const canbus::ObjectDictionary> od,
                                   std::function<void(const std::string&)> booted) {
  Entry* e = find(prop.name());
  if (e == nullptr) return {};
  e->line = line;
  e->id = id;
  if (!e->drive) {
    const DriveSpec& s = e->drive_line;
    canbus::DriveConfig cfg;
    cfg.axis = s.axis;
    cfg.scale.position = s.scale;
    cfg.scale.velocity = s.scale;
    cfg.scale.unit = s.unit;
    cfg.homing_timeout_ms = s.timeout_s * 1000;
    cfg.move_timeout_ms = s.timeout_s * 1000;
    cfg.use_pdos = !s.sdo;
    cfg.sdo_fallback = true;
    cfg.monitor = monitor;
    cfg.dictionary = std::move(od);
    if (s.has_homing && !s.no_homing) cfg.homing_method = static_cast<int8_t>(s.homing);
    if (s.has_speed) {
      cfg.homing_speed_switch = s.speed_switch;
      cfg.homing_speed_zero = s.speed_zero;
    }
    if (s.has_acceleration) cfg.homing_acceleration = s.acceleration;
    if (s.has_offset) cfg.home_offset = s.offset;
    if (s.has_velocity) cfg.profile_velocity = s.velocity;
    e->drive = std::make_unique<canbus::Drive>(prop, cfg);
    e->drive->set_listener([this, e](const canbus::DriveEvent& ev) { on_event(*e, ev); });
  }
  canbus::NodeCallbacks cb = e->drive->callbacks();
  auto on_emergency = cb.on_emergency;
  cb.on_emergency = [this, e, on_emergency](D_can& p, const canbus::Emcy& emcy) {
    if (on_emergency) on_emergency(p, emcy);
    if (emcy.code != 0) fault_event(*e, &emcy);
  };
  auto on_pdo = cb.on_pdo;
  cb.on_pdo = [this, e, on_pdo](D_can& p, int pdo, const canbus::PdoValues& v) {
    if (on_pdo) on_pdo(p, pdo, v);
    {
      std::lock_guard<std::mutex> lk(e->mx);
      e->values_ns = std::max(e->values_ns, v.time_ns);
    }
    values_changed(*e);
  };
  // A boot-up loses the drive's PDO configuration: the server sets it up again.
  auto on_state = cb.on_state;
  cb.on_state = [e, on_state, booted](D_can& p, int old_state, int new_state) {
    if (on_state) on_state(p, old_state, new_state);
    if (new_state == 0 && booted) booted(e->node);
  };
  return cb;
}

void Drives::setup(const std::string& node) {
  Entry* e = find(node);
  if (e == nullptr || !e->drive) return;
  const canbus::DriveResult r = e->drive->setup();
  if (!r.ok) {
    env_.log(node + ": drive set-up failed: " + r.text);
    return;
  }
  env_.log(node + ": drive set up: " + r.text);
  values_changed(*e);
}

void Drives::poll(int64_t now_ns) {
  for (auto& e : entries_) {
    if (!e->drive) continue;
    e->drive->poll(now_ns);
    if (!e->drive->status().by_pdo) {
      std::lock_guard<std::mutex> lk(e->mx);
      e->values_ns = std::max(e->values_ns, now_ns);
    }
    values_changed(*e);
  }
}

void Drives::on_event(Entry& e, const canbus::DriveEvent& ev) {
  using K = canbus::DriveEvent;
  std::string detail = canbus::drive_event_name(ev.kind);
  switch (ev.kind) {
    case K::kState:
      detail += std::string(" ") + canbus::drive_state_name(ev.state);
      break;
    case K::kModeChanged:
      detail += " " + canbus::drive_mode_name(ev.mode);
      break;
    case K::kTargetReached:
    case K::kHomingDone:
    case K::kFollowingError:
      detail += " at " + amount(ev.position, e.unit());
      break;
    case K::kWarning:
      detail += ev.on ? " on" : " off";
      break;
    case K::kFault:
      ++e.faults;
      // The emergency of this fault (an earlier one's, or the error reset's, is no news).
      if (!ev.emcy || ev.emcy->code == 0) {
        std::lock_guard<std::mutex> lk(e.mx);
        e.fault_pending = true;
        e.fault_ns = tavik::clock().now_ns();
        return;
      }
      detail += fault_text(*ev.emcy);
      break;
    case K::kHomingFailed:
      if (!ev.text.empty()) detail += ": " + ev.text;
      break;
    case K::kDone:
    case K::kFailed:
      // The end of an operation: its request's answer and the log have it.
      return;
  }
  Event out{Event::Kind::kDrive, e.line, e.id, e.node};
  out.detail = detail;
  env_.publish(out);
}

void Drives::fault_event(Entry& e, const canbus::Emcy* emcy) {
  {
    std::lock_guard<std::mutex> lk(e.mx);
    if (!e.fault_pending) return;
    if (emcy == nullptr && tavik::clock().now_ns() - e.fault_ns < 1000000000) return;
    e.fault_pending = false;
  }
  Event out{Event::Kind::kDrive, e.line, e.id, e.node};
  out.detail = emcy != nullptr ? std::string("fault") + fault_text(*emcy)
                               : std::string("fault (no emergency came)");
  env_.publish(out);
}

void Drives::values_changed(Entry& e) {
  if (!e.drive) return;
  fault_event(e, nullptr);
  const canbus::DriveStatus st = e.drive->status();
  if (st.updated_ns == 0) return;
  std::vector<Event> out;
  const int64_t interval_ns = int64_t{env_.value_interval_ms} * 1000000;
  {
    std::lock_guard<std::mutex> lk(e.mx);
    const int64_t at = std::max(st.updated_ns, e.values_ns);
    auto check = [&](Entry::Published& p, double v, const char* what, const std::string& unit) {
      const bool due = !p.done || (v != p.value && at - p.at_ns >= interval_ns);
      if (!due) return;
      p.done = true;
      p.value = v;
      p.at_ns = at;
      Event ev{Event::Kind::kValue, e.line, e.id, e.node + "." + what};
      ev.detail = amount(v, unit);
      out.push_back(std::move(ev));
    };
    check(e.position, st.position, "POSITION", e.unit());
    check(e.velocity, st.velocity, "VELOCITY", e.speed_unit());
  }
  for (const auto& ev : out) env_.publish(ev);
}

bool Drives::is_property(const std::string& name) const {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || !has(name.substr(0, dot))) return false;
  const std::string s = name.substr(dot + 1);
  return std::find(std::begin(kProperties), std::end(kProperties), s) != std::end(kProperties);
}

std::string Drives::get(const std::string& name) const {
  const Entry* e = find(name.substr(0, name.rfind('.')));
  const std::string what = suffix_of(name, e->node);
  const canbus::DriveStatus st = e->drive ? e->drive->status() : canbus::DriveStatus{};
  if (what == "TARGET") {
    std::lock_guard<std::mutex> lk(e->mx);
    if (!e->has_target) return name + " = none (not set yet)";
    return name + " = " + amount(e->target, e->unit()) + " at " + utc_time_text(e->target_ns) +
           " (set)";
  }
  if (what == "STATE") {
    std::string t = name + " = " + canbus::drive_state_name(st.state);
    if (st.state == canbus::DriveState::kFault && st.last_emcy && st.last_emcy->code != 0)
      t += " (" + fault_text(*st.last_emcy).substr(1) + ")";
    return t;
  }
  if (what == "MODE") {
    if (st.updated_ns == 0) return name + " = none (not read yet)";
    return name + " = " + canbus::drive_mode_name(st.mode);
  }
  if (st.updated_ns == 0) return name + " = none (not read yet)";
  const bool position = what == "POSITION";
  int64_t at = st.updated_ns;
  {
    std::lock_guard<std::mutex> lk(e->mx);
    at = std::max(at, e->values_ns);
  }
  return name + " = " +
         amount(position ? st.position : st.velocity, position ? e->unit() : e->speed_unit()) +
         " at " + utc_time_text(at) + (st.by_pdo ? " (TPDO)" : " (SDO)");
}

void Drives::list(const std::string& node, std::vector<std::string>& out) const {
  const Entry* e = find(node);
  if (e == nullptr) return;
  const std::string unit = e->unit().empty() ? "increments" : e->unit();
  std::string target = node + ".TARGET  (drive, target position: set moves there, " + unit;
  if (e->drive_line.has_limits) {
    target += ", " + amount(e->drive_line.low, "") + ".." + amount(e->drive_line.high, "");
  }
  out.push_back(node + ".POSITION  (drive, actual position, " + unit + ")");
  out.push_back(node + ".VELOCITY  (drive, actual velocity, " + e->speed_unit() + ")");
  out.push_back(target + ")");
  out.push_back(node + ".STATE  (drive, power state)");
  out.push_back(node + ".MODE  (drive, mode of operation)");
}

std::string Drives::status_cell(const std::string& node) const {
  const Entry* e = find(node);
  if (e == nullptr || !e->drive) return "-";
  const canbus::DriveStatus st = e->drive->status();
  std::string t = canbus::drive_state_name(st.state);
  if (st.updated_ns != 0) t += " " + amount(st.position, e->unit());
  return t;
}

void Drives::end() {
  ending_ = true;
  for (auto& e : entries_) {
    if (!e->drive || !e->drive->status().busy) continue;
    {
      // Told before the halt: the waiter must not take the halt's end for its operation's.
      std::lock_guard<std::mutex> lk(e->mx);
      e->interrupted_gen = e->gen;
      e->interrupted_by = "the server's end";
    }
    std::string why;
    if (e->drive->halt(true, &why)) env_.log(e->node + " halted: the server ends");
  }
}

bool Drives::counters(const std::string& node, int& state, uint64_t& faults) const {
  const Entry* e = find(node);
  if (e == nullptr || !e->drive) return false;
  state = static_cast<int>(e->drive->status().state);
  faults = e->faults;
  return true;
}

bool Drives::at_once(const Args& a) {
  return a.size() == 2 && (a[1] == "halt" || a[1] == "quickstop");
}

std::string Drives::request(const Client& c, const Args& a) {
  const char* usage =
      "error: usage: drive NAME enable|disable|home|move POS [VELOCITY]|jog VELOCITY|halt|stop|"
      "quickstop|reset";
  Entry* e = find(a[0]);
  if (e == nullptr) return "error: no drive " + quote_word(a[0]) + " (a NAME.DRIVE line)";
  if (!e->drive) return "error: " + e->node + " is not on the bus";
  const std::string& op = a[1];
  const size_t want = op == "move" ? 3 : op == "jog" ? 3 : 2;
  const bool fits = a.size() == want || (op == "move" && a.size() == 4);
  if (!fits) return usage;
  if (op != "enable" && op != "disable" && op != "home" && op != "move" && op != "jog" &&
      op != "halt" && op != "stop" && op != "quickstop" && op != "reset")
    return usage;
  return run(c, *e, op, Args(a.begin() + 2, a.end()));
}

std::string Drives::set_target(const Client& c, const std::string& name, const Args& values) {
  Entry* e = find(name.substr(0, name.rfind('.')));
  const std::string what = suffix_of(name, e->node);
  if (what != "TARGET") return "error: " + name + " is read-only (set " + e->node + ".TARGET)";
  if (values.size() != 1) return "error: " + name + " takes one number (the target position)";
  if (!e->drive) return "error: " + e->node + " is not on the bus";
  return run(c, *e, "move", values);
}

// The operation `op` on `e`'s drive: started, then (but for halt and quickstop) waited for.
std::string Drives::run(const Client& c, Entry& e, const std::string& op, const Args& a) {
  canbus::Drive& d = *e.drive;
  if (ending_ && op != "halt" && op != "quickstop" && op != "stop")
    return "error: the server is ending: " + e.node + " not asked";
  std::string why;
  bool started = false;
  std::string what = op == "quickstop" ? "quick stop" : op == "reset" ? "fault reset" : op;
  // halt, quickstop, reset and stop replace an operation that runs: its waiter is told before
  // the drive is (it would take the new operation's end for its own). The operation waited for
  // has its number before it starts, so that a halt meanwhile finds it.
  const bool replaces = op == "halt" || op == "quickstop" || op == "reset" || op == "stop";
  const bool waits = op != "halt" && op != "quickstop";
  uint64_t gen = 0, marked = 0;
  {
    std::lock_guard<std::mutex> lk(e.mx);
    if (replaces && d.status().busy) {
      marked = e.gen;
      e.interrupted_gen = e.gen;
      e.interrupted_by = what + " by " + c.who();
    }
    if (waits) gen = ++e.gen;
  }
  // Nothing was sent: the operation that runs goes on.
  auto refused = [&](const std::string& text) {
    std::lock_guard<std::mutex> lk(e.mx);
    if (marked != 0 && e.interrupted_gen == marked) e.interrupted_gen = 0;
    return text;
  };
  if (op == "move") {
    double pos = 0, vel = 0;
    if (!parse_number(a[0], pos)) return "error: " + quote_word(a[0]) + " is not a number";
    std::optional<double> velocity;
    if (a.size() == 2) {
      if (!parse_number(a[1], vel) || vel <= 0)
        return "error: the velocity must be a number above 0, not " + quote_word(a[1]);
      velocity = vel;
    }
    if (e.drive_line.has_limits && (pos < e.drive_line.low || pos > e.drive_line.high)) {
      return "error: " + e.node + ": " + amount(pos, e.unit()) + " is outside the limits " +
             amount(e.drive_line.low, "") + ".." + amount(e.drive_line.high, e.unit());
    }
    what = "move to " + amount(pos, e.unit());
    started = d.move_to(pos, velocity, false, false, &why);
    if (started) {
      std::lock_guard<std::mutex> lk(e.mx);
      e.has_target = true;
      e.target = pos;
      e.target_ns = tavik::clock().now_ns();
    }
  } else if (op == "jog") {
    double vel = 0;
    if (!parse_number(a[0], vel)) return "error: " + quote_word(a[0]) + " is not a number";
    what = "jog at " + amount(vel, e.speed_unit());
    started = d.jog(vel, &why);
  } else if (op == "home") {
    if (e.drive_line.no_homing)
      return "error: " + e.node + " is not homed (its drive line: homing none)";
    what = "homing";
    started = d.home(std::nullopt, &why);
  } else if (op == "enable") {
    started = d.enable(&why);
  } else if (op == "disable") {
    started = d.disable(&why);
  } else if (op == "reset") {
    started = d.fault_reset(&why);
  } else if (op == "halt") {
    started = d.halt(true, &why);
  } else if (op == "quickstop") {
    started = d.quick_stop(&why);
  } else if (op == "stop") {
    // Halt, then (at standstill) disable operation: the drive stops on its ramp and stays
    // switched on.
    if (!d.halt(true, &why)) return refused("error: " + e.node + ": " + why);
    env_.log(e.node + " stop by " + c.who());
    const bool still = until(e, [&d] {
      const canbus::DriveStatus st = d.status();
      return st.state != canbus::DriveState::kOperationEnabled ||
             (st.statusword & canbus::statusword::kTargetReached) != 0;
    });
    if (!still) {
      env_.log(e.node + " stop by " + c.who() + ": failed: no standstill within " +
               std::to_string(e.drive_line.timeout_s) + " s");
      return "error: " + e.node + " did not come to a standstill within " +
             std::to_string(e.drive_line.timeout_s) + " s (halt stays on)";
    }
    if (d.status().state != canbus::DriveState::kOperationEnabled) {
      return "ok (halted; " + std::string(canbus::drive_state_name(d.status().state)) + ")";
    }
    what = "stop (disable operation)";
    started = d.go_to(canbus::DriveState::kSwitchedOn, &why);
  }
  if (!started) return refused("error: " + e.node + ": " + why);
  // The drive's number of the operation: its own result is read, not that of one started since
  // (a halt of another client that came in before this line is marked in interrupted_gen).
  const uint64_t op_no = d.operation();
  if (op != "stop") env_.log(e.node + " " + what + " by " + c.who());
  if (op == "halt" || op == "quickstop") {
    // Sent at once: the drive's events tell the rest.
    const canbus::DriveStatus st = d.status();
    return "ok (" + what + " sent; " + canbus::drive_state_name(st.state) + " at " +
           amount(st.position, e.unit()) + ")";
  }
  return wait_for(c, e, what, gen, op_no);
}

// One step of waiting for a drive: with --manual a tick of the receive cycle (the clock moves
// 100 ms; nodes in other processes are given 50 ms of real time first, so that a drive answers
// within the drive layer's step time of 5 ticks), else 20 ms of real time and a poll of the
// drive (its time-outs; by SDO its values).
void Drives::step(Entry& e) {
  if (env_.tick) {
    if (!env_.simulated) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    env_.tick();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.drive->poll(tavik::clock().now_ns());
  }
}

bool Drives::until(Entry& e, const std::function<bool()>& done) {
  const int64_t bound_ms = int64_t{e.drive_line.timeout_s} * 1000 + 1000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  for (int64_t ticks = 0;; ++ticks) {
    if (done()) return true;
    if (env_.tick ? ticks * 100 > bound_ms : std::chrono::steady_clock::now() > deadline)
      return false;
    step(e);
  }
}

// Waits for the operation `gen` (the drive's operation `op`), at most the drive's timeout and a
// second. A client that goes meanwhile does not stop the operation: it runs to its end, which is
// logged; one that does not end in time is halted. An operation replaced by a halt, quick stop or
// reset of another client ends with that.
std::string Drives::wait_for(const Client& c, Entry& e, const std::string& what, uint64_t gen,
                             uint64_t op) {
  canbus::Drive& d = *e.drive;
  canbus::DriveResult r;
  std::string by;
  const bool ended = until(e, [&] {
    // The operation's own result (a replaced one ends as failed), then whether a halt replaced
    // it: a halt is marked before it reaches the drive, and its answer names who halted.
    r = d.wait(0, op);
    std::lock_guard<std::mutex> lk(e.mx);
    if (e.interrupted_gen == gen) by = e.interrupted_by;
    return !by.empty() || !r.pending;
  });
  std::string end;
  if (!by.empty()) {
    end = "interrupted by " + by + " at " + amount(d.status().position, e.unit());
    r.ok = false;
  } else if (!ended) {
    std::string why;
    d.halt(true, &why);
    end = "no end within " + std::to_string(e.drive_line.timeout_s) + " s: halted";
    r.ok = false;
  } else {
    end = r.text;
    // The statusword may come in before the actual position of the same moment (two TPDOs):
    // the answer gives the position read once the operation has ended when it is as new as the
    // last statusword, else the drive's text (the target: an older position lags it).
    const canbus::DriveStatus st = d.status();
    const size_t at = end.rfind(" at ");
    if (r.ok && at != std::string::npos && st.position_ns >= st.updated_ns &&
        (what == "homing" || what.rfind("move", 0) == 0))
      end = end.substr(0, at) + " at " + amount(st.position, e.unit());
    // A failure into Fault names the fault (its emergency may come after the statusword).
    if (!r.ok && st.state == canbus::DriveState::kFault && st.last_emcy &&
        st.last_emcy->code != 0 && end.find("0x") == std::string::npos)
      end += ":" + fault_text(*st.last_emcy);
    // A move, homing or jog that failed while the drive still runs is not left to itself.
    if (!r.ok && d.status().state == canbus::DriveState::kOperationEnabled &&
        (what == "homing" || what.rfind("move", 0) == 0 || what.rfind("jog", 0) == 0)) {
      std::string why;
      if (d.halt(true, &why)) end += "; halted";
    }
  }
  env_.log(e.node + " " + what + " by " + c.who() + (c.gone ? " (gone)" : "") + ": " +
           (r.ok ? "" : "failed: ") + end);
  values_changed(e);
  if (r.ok) return end.empty() ? "ok" : "ok (" + end + ")";
  return "error: " + e.node + " " + end;
}

}  // namespace canbus_server
