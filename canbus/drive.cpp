// The Drive: operations walked on the statusword, commands sent by RPDO (or SDO), and the cyclic
// synchronous targets sent from the SYNC producer's listener.
//
// Locking: `mx` guards the drive's state. `io_mx` orders the commands of different threads on
// the bus: a command is computed under both and sent with io_mx alone, so the words reach the
// drive in the order they were computed. Events go to the listener with neither held. The cyclic
// path takes neither over its send: it copies its shared state under mx and writes the frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>

#include "D_esdcan.h"
#include "can_drive.h"
#include "can_od.h"
#include "tavik.h"

namespace canbus {

namespace {

constexpr int64_t kMsNs = 1'000'000;
constexpr uint16_t kSetPointBits =
    controlword::kNewSetPoint | controlword::kChangeImmediately | controlword::kRelative;

enum class OpKind {
  kNone,
  kGoTo,
  kFaultReset,
  kQuickStop,
  kHalt,
  kMode,
  kMove,
  kJog,
  kTorque,
  kHome,
  kCyclic
};

// The values the drive is commanded with; every RPDO is filled from them.
struct Out {
  uint16_t cw = 0;
  int8_t mode = 0;
  int32_t target_pos = 0;
  uint32_t profile_vel = 0;
  int32_t target_vel = 0;
  int16_t torque = 0;
};

DataType object_type(uint16_t base) {
  using namespace drive_obj;
  switch (base) {
    case kControlword:
      return DataType::kUnsigned16;
    case kModesOfOperation:
      return DataType::kInteger8;
    case kTargetPosition:
    case kTargetVelocity:
      return DataType::kInteger32;
    case kProfileVelocity:
      return DataType::kUnsigned32;
    case kTargetTorque:
      return DataType::kInteger16;
    default:
      return DataType::kUnsigned32;
  }
}

Value out_value(const Out& o, uint16_t base) {
  using namespace drive_obj;
  switch (base) {
    case kControlword:
      return Value::of_uint(o.cw);
    case kModesOfOperation:
      return Value::of_int(o.mode);
    case kTargetPosition:
      return Value::of_int(o.target_pos);
    case kProfileVelocity:
      return Value::of_uint(o.profile_vel);
    case kTargetVelocity:
      return Value::of_int(o.target_vel);
    case kTargetTorque:
      return Value::of_int(o.torque);
    default:
      return Value::of_uint(0);
  }
}

std::string hex4(uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%04X", v);
  return b;
}

int32_t clamp32(double v) {
  if (v > 2147483647.0) return INT32_MAX;
  if (v < -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(std::lround(v));
}

}  // namespace

struct Drive::Impl {
  struct Send {
    std::vector<uint16_t> objects;  // base indices, in the order they must reach the drive
    Out out;
  };
  struct Actions {
    std::vector<Send> sends;
    std::vector<DriveEvent> events;
    uint64_t seq = 0;  // the operation the sends belong to
  };
  struct Op {
    OpKind kind = OpKind::kNone;
    bool active = false;
    std::string what;
    DriveState target = DriveState::kUnknown;
    int phase = 0;
    int64_t deadline = 0;        // of the step in progress (0: none)
    int64_t end_deadline = 0;    // of the whole operation (0: none)
    int64_t fault_deadline = 0;  // of Fault reaction active
    DriveState step_from = DriveState::kUnknown;
    bool step_sent = false;
    bool edge_low = false;      // fault reset: the word with bit 7 clear went out
    int8_t mode = 0;            // the mode the operation needs (0: none)
    uint64_t start_sw = 0;      // statusword count when the set-point or start went out
    bool left_reached = false;  // bit 10 seen clear since then
    int32_t target_inc = 0;     // where the move ends
    int32_t send_inc = 0;       // what goes into 0x607A (the distance of a relative move)
    int32_t vel_inc = 0;
    uint32_t profile_vel = 0;
    bool relative = false, immediately = false;
    int16_t torque = 0;
  };
  struct Cyclic {
    CyclicSource source;
    uint16_t target_base = 0;
    double scale = 1;
    int cycle = 1;
    int phase = 0;
    int32_t cob = 0;
    PdoMapping mapping;
    std::vector<Value> values;  // the frame's values; the target's slot is rewritten each cycle
    size_t slot = 0;
    CMSG frame{};  // used on the SYNC thread only
  };

  Impl(Drive& d) : drv(d), off(static_cast<uint16_t>(kDriveAxisOffset * d.cfg_.axis)) {}

  Drive& drv;
  const uint16_t off;
  mutable std::mutex mx;
  std::condition_variable cv;
  std::mutex io_mx;

  // --- guarded by mx ---
  std::shared_ptr<Listener> listener;
  DriveStatus st;
  uint64_t sw_count = 0;  // statuswords received
  int64_t sw_ns = 0;      // time of the frame (or SDO read) that brought the last statusword
  bool have_sw = false;
  std::shared_ptr<const std::vector<PdoConfig>> pdos = std::make_shared<std::vector<PdoConfig>>();
  bool by_pdo = false;
  bool has_limits = false;
  int32_t min_pos = 0, max_pos = 0;
  uint32_t max_speed = 0;
  std::string unit;
  Out out;
  bool mode_pending = false;
  std::optional<uint32_t> written_profile_vel;
  int32_t last_target = 0;  // of profile position, what relative moves add to
  bool interpolation_written = false;
  Op op;
  uint64_t op_seq = 0, done_seq = 0;
  DriveResult result;
  std::deque<std::pair<uint64_t, DriveResult>> results;  // of the last kKeptResults operations
  int64_t now = 0;
  std::shared_ptr<Cyclic> cyc;
  int sync_listener = 0;

  const DriveConfig& cfg() const { return drv.cfg_; }
  int node_id() const { return drv.node_.value().i2_data; }

  double pos_scaled(int32_t inc) const { return inc / cfg().scale.position; }
  double vel_scaled(int32_t inc) const { return inc / cfg().scale.velocity; }
  std::string pos_text(int32_t inc) const {
    char b[64];
    std::snprintf(b, sizeof b, "%.3f", pos_scaled(inc));
    return unit.empty() ? std::string(b) : std::string(b) + " " + unit;
  }
  std::string vel_text(int32_t inc) const {
    char b[64];
    std::snprintf(b, sizeof b, "%.3f", vel_scaled(inc));
    return unit.empty() ? std::string(b) : std::string(b) + " " + unit + "/s";
  }
  std::string emcy_suffix() const {
    if (!st.last_emcy || st.last_emcy->code == 0) return "";
    return ": " + hex4(st.last_emcy->code) + " " + drive_emcy_text(st.last_emcy->code);
  }
  std::string stayed() const {
    return std::string("stayed in ") + drive_state_name(st.state) + emcy_suffix();
  }

  DriveEvent event(DriveEvent::Kind k) const {
    DriveEvent e;
    e.kind = k;
    e.state = st.state;
    e.mode = st.mode;
    e.statusword = st.statusword;
    e.position = st.position;
    e.velocity = st.velocity;
    e.time_ns = now;
    return e;
  }

  // --- operations (mx held) ---

  void finish(Actions& a, bool ok, const std::string& text) {
    if (!op.active) return;
    op.active = false;
    st.busy = false;
    result.ok = ok;
    result.pending = false;
    result.text = text;
    done_seq = op_seq;
    results.emplace_back(op_seq, result);
    if (results.size() > kKeptResults) results.pop_front();
    DriveEvent e = event(ok ? DriveEvent::kDone : DriveEvent::kFailed);
    e.text = text;
    if (!ok && st.last_emcy &&
        (st.state == DriveState::kFault || st.state == DriveState::kFaultReactionActive)) {
      e.emcy = st.last_emcy;
    }
    a.events.push_back(std::move(e));
    cv.notify_all();
  }

  void send(Actions& a, std::vector<uint16_t> objects) {
    a.sends.push_back(Send{std::move(objects), out});
  }
  void send_cw(Actions& a, uint16_t cw) {
    out.cw = cw;
    st.controlword = cw;
    send(a, {drive_obj::kControlword});
  }

  // Whether an RPDO sent at once carries the object `base` of this axis.
  bool rpdo_maps(uint16_t base) const {
    if (!by_pdo) return false;
    for (const PdoConfig& c : *pdos) {
      if (c.kind != PdoKind::kRpdo || is_synchronous(c)) continue;
      for (const PdoEntry& e : c.mapping) {
        if (e.index == base + off) return true;
      }
    }
    return false;
  }

  bool needs_enabled(OpKind k) const {
    return k == OpKind::kMove || k == OpKind::kJog || k == OpKind::kTorque || k == OpKind::kHome ||
           k == OpKind::kCyclic;
  }

  // One step of the operation at `now`; `fresh`: a new statusword came.
  void advance(Actions& a, bool fresh) {
    for (int guard = 0; guard < 8 && op.active; ++guard) {
      if (!advance_once(a, fresh)) break;
    }
  }

  // true when the operation moved on and may move on again at once.
  bool advance_once(Actions& a, bool fresh) {
    const uint16_t sw = st.statusword;
    switch (op.kind) {
      case OpKind::kGoTo:
      case OpKind::kFaultReset:
      case OpKind::kQuickStop:
        return advance_walk(a);
      case OpKind::kHalt:
      case OpKind::kNone:
        return false;
      default:
        break;
    }
    if (st.state == DriveState::kFaultReactionActive) {
      // It brakes and goes to Fault by itself; its emergency comes meanwhile.
      if (op.fault_deadline == 0) op.fault_deadline = now + cfg().step_timeout_ms * kMsNs;
      if (now > op.fault_deadline) finish(a, false, stayed());
      return false;
    }
    if (st.state == DriveState::kFault) {
      finish(a, false, std::string("went to Fault") + emcy_suffix());
      return false;
    }
    if (needs_enabled(op.kind) && st.state != DriveState::kOperationEnabled) {
      finish(a, false, std::string("left Operation enabled: ") + drive_state_name(st.state));
      return false;
    }
    if (op.end_deadline != 0 && now > op.end_deadline) {
      finish(a, false, op.what + " took too long (" + drive_state_name(st.state) + ")");
      return false;
    }
    // Phase 0: the mode. Phase 1: waiting for the mode display. Phase 2..: the operation's own.
    if (op.phase == 0) {
      if (op.mode == 0 || st.mode == op.mode) {
        op.phase = 2;
        return true;
      }
      // Halt and the set-point bits cleared first, in a word of their own: a drive may refuse a
      // switch while halt is set, and bits 4..6 mean something else in the next mode.
      const uint16_t clean = out.cw & static_cast<uint16_t>(~(controlword::kHalt | kSetPointBits));
      if (clean != out.cw && !op.step_sent) {
        send_cw(a, clean);
        op.step_sent = true;
        return false;  // the request follows at the next progress
      }
      out.mode = op.mode;
      mode_pending = true;
      send(a, {drive_obj::kModesOfOperation});
      op.step_sent = false;
      op.phase = 1;
      op.deadline = now + cfg().step_timeout_ms * kMsNs;
      return false;
    }
    if (op.phase == 1) {
      if (st.mode == op.mode) {
        mode_pending = false;
        op.phase = 2;
        op.deadline = 0;
        return true;
      }
      if (now > op.deadline) {
        mode_pending = false;
        finish(
            a, false,
            drive_mode_name(op.mode) + " not taken: the drive shows " + drive_mode_name(st.mode));
      }
      return false;
    }
    switch (op.kind) {
      case OpKind::kMode:
        finish(a, true, "mode " + drive_mode_name(op.mode));
        return false;
      case OpKind::kTorque:
        out.torque = op.torque;
        out.cw = controlword_for(DriveCommand::kEnableOperation,
                                 out.cw & static_cast<uint16_t>(~controlword::kHalt));
        st.controlword = out.cw;
        if (rpdo_maps(drive_obj::kTargetTorque)) {
          send(a, {drive_obj::kTargetTorque, drive_obj::kControlword});
        } else {
          send(a, {drive_obj::kControlword});  // 0x6071 went by SDO from torque()
        }
        finish(a, true, "torque " + std::to_string(op.torque) + " per mille");
        return false;
      case OpKind::kCyclic:
        finish(a, true,
               drive_mode_name(op.mode) + " every " + std::to_string(cfg().cycle_syncs) + " SYNC");
        return false;
      case OpKind::kJog:
        return advance_jog(a, fresh, sw);
      case OpKind::kMove:
        return advance_move(a, fresh, sw);
      case OpKind::kHome:
        return advance_home(a, fresh, sw);
      default:
        return false;
    }
  }

  bool advance_walk(Actions& a) {
    const DriveState s = st.state;
    if (op.kind == OpKind::kQuickStop) {
      if (s == DriveState::kQuickStopActive || s == DriveState::kSwitchOnDisabled) {
        finish(a, true, std::string("quick stop: ") + drive_state_name(s));
      } else if (!op.step_sent) {
        send_cw(a, controlword_for(DriveCommand::kQuickStop, out.cw));
        op.step_sent = true;
        op.deadline = now + cfg().step_timeout_ms * kMsNs;
      } else if (now > op.deadline) {
        finish(a, false, stayed());
      }
      return false;
    }
    if (op.kind == OpKind::kFaultReset && op.phase == 0) {
      if (s != DriveState::kFault && s != DriveState::kFaultReactionActive && !op.step_sent &&
          !op.edge_low) {
        finish(a, true, std::string("no fault: ") + drive_state_name(s));
        return false;
      }
    }
    if (s == op.target) {
      finish(a, true, std::string("in ") + drive_state_name(s));
      return false;
    }
    if (op.kind == OpKind::kFaultReset && op.step_sent && s != DriveState::kFault &&
        s != DriveState::kFaultReactionActive) {
      finish(a, true, std::string("fault reset: ") + drive_state_name(s));
      return false;
    }
    if (op.step_sent) {
      if (s != op.step_from) {
        op.step_sent = false;  // the step is confirmed (or the drive went elsewhere): on from here
        op.deadline = 0;
        return true;
      }
      if (now > op.deadline) finish(a, false, stayed());
      return false;
    }
    if (s == DriveState::kFault) {
      // Fault reset as a rising edge of bit 7: the word with bit 7 clear, then (at the next
      // progress) the one with it set.
      if (!op.edge_low) {
        op.edge_low = true;
        send_cw(a, out.cw & static_cast<uint16_t>(~controlword::kFaultReset));
        if (op.deadline == 0) op.deadline = now + cfg().step_timeout_ms * kMsNs;
        return false;
      }
      op.edge_low = false;
      send_cw(a, controlword_for(DriveCommand::kFaultReset, out.cw));
      op.step_sent = true;
      op.step_from = s;
      op.deadline = now + cfg().step_timeout_ms * kMsNs;
      return false;
    }
    DriveCommand c;
    if (!next_drive_command(s, op.target, c)) {
      // Not ready to switch on, Fault reaction active, not known yet: they pass by themselves.
      if (op.deadline == 0) op.deadline = now + cfg().step_timeout_ms * kMsNs;
      if (now > op.deadline) finish(a, false, stayed());
      return false;
    }
    send_cw(a, controlword_for(c, out.cw));
    op.step_sent = true;
    op.step_from = s;
    op.deadline = now + cfg().step_timeout_ms * kMsNs;
    return false;
  }

  // Bit 4 low and the drive's acknowledge gone before a new set-point or start; true when so.
  bool handshake_idle(Actions& a) {
    if (out.cw & controlword::kNewSetPoint) {
      send_cw(a, out.cw & static_cast<uint16_t>(~kSetPointBits));
      if (op.deadline == 0) op.deadline = now + cfg().step_timeout_ms * kMsNs;
      return false;
    }
    if (op.kind == OpKind::kMove && (st.statusword & statusword::kOpSpecific12) != 0) {
      if (op.deadline == 0) op.deadline = now + cfg().step_timeout_ms * kMsNs;
      if (now > op.deadline) finish(a, false, "the set-point acknowledge (bit 12) stays set");
      return false;
    }
    return true;
  }

  bool advance_move(Actions& a, bool fresh, uint16_t sw) {
    if (op.phase == 2) {
      // Also for a change set immediately: bit 4 must rise again, and a drive may hold the
      // acknowledge of the last set-point until bit 4 dropped (a rising edge then is lost).
      if (!handshake_idle(a)) return false;
      out.target_pos = op.send_inc;
      last_target = op.target_inc;
      std::vector<uint16_t> objs = {drive_obj::kTargetPosition};
      if (!written_profile_vel || *written_profile_vel != op.profile_vel) {
        out.profile_vel = op.profile_vel;
        written_profile_vel = op.profile_vel;
        objs.push_back(drive_obj::kProfileVelocity);
      }
      uint16_t cw =
          controlword_for(DriveCommand::kEnableOperation,
                          out.cw & static_cast<uint16_t>(~(controlword::kHalt | kSetPointBits)));
      cw |= controlword::kNewSetPoint;
      if (op.immediately) cw |= controlword::kChangeImmediately;
      if (op.relative) cw |= controlword::kRelative;
      out.cw = cw;
      st.controlword = cw;
      objs.push_back(drive_obj::kControlword);
      send(a, std::move(objs));
      op.phase = 3;
      op.start_sw = sw_count;
      op.left_reached = false;
      op.deadline = now + cfg().step_timeout_ms * kMsNs;
      if (cfg().move_timeout_ms > 0) op.end_deadline = now + cfg().move_timeout_ms * kMsNs;
      return false;
    }
    if (op.phase == 3) {  // waiting for the set-point acknowledge
      if (fresh && sw_count > op.start_sw && (sw & statusword::kOpSpecific12)) {
        if (!(sw & statusword::kTargetReached)) op.left_reached = true;
        send_cw(a, out.cw & static_cast<uint16_t>(~controlword::kNewSetPoint));
        op.phase = 4;
        op.deadline = 0;
        return true;
      }
      if (now > op.deadline) {
        finish(a, false, std::string("no set-point acknowledge (bit 12): ") + stayed().substr(7));
      }
      return false;
    }
    // Phase 4: moving.
    if (!fresh) return false;
    if (!(sw & statusword::kTargetReached)) {
      op.left_reached = true;
      return false;
    }
    if (op.left_reached || st.position_inc == op.target_inc) {
      // The position of the statusword's TPDO may lag: the drive says it is within its position
      // window of the target.
      finish(a, true,
             "target reached at " + pos_text(actual_fresh() ? st.position_inc : op.target_inc));
    }
    return false;
  }

  bool advance_jog(Actions& a, bool fresh, uint16_t sw) {
    if (op.phase == 2) {
      out.target_vel = op.vel_inc;
      out.cw =
          controlword_for(DriveCommand::kEnableOperation,
                          out.cw & static_cast<uint16_t>(~(controlword::kHalt | kSetPointBits)));
      st.controlword = out.cw;
      send(a, {drive_obj::kTargetVelocity, drive_obj::kControlword});
      op.phase = 4;
      op.start_sw = sw_count;
      op.left_reached = false;
      if (cfg().move_timeout_ms > 0) op.end_deadline = now + cfg().move_timeout_ms * kMsNs;
      return false;
    }
    if (!fresh || sw_count <= op.start_sw) return false;
    if (!(sw & statusword::kTargetReached)) {
      op.left_reached = true;
      return false;
    }
    if (op.left_reached || st.velocity_inc == op.vel_inc) {
      finish(a, true,
             "velocity reached: " + vel_text(actual_fresh() ? st.velocity_inc : op.vel_inc));
    }
    return false;
  }

  bool advance_home(Actions& a, bool fresh, uint16_t sw) {
    if (op.phase == 2) {
      if (!handshake_idle(a)) return false;
      out.cw = controlword_for(DriveCommand::kEnableOperation,
                               out.cw & static_cast<uint16_t>(~controlword::kHalt)) |
               controlword::kNewSetPoint;
      st.controlword = out.cw;
      send(a, {drive_obj::kControlword});
      op.phase = 3;
      op.start_sw = sw_count;
      op.deadline = 0;
      if (cfg().homing_timeout_ms > 0) op.end_deadline = now + cfg().homing_timeout_ms * kMsNs;
      return false;
    }
    if (!fresh || sw_count <= op.start_sw) return false;
    if (sw & statusword::kOpSpecific13) {
      send_cw(a, out.cw & static_cast<uint16_t>(~controlword::kNewSetPoint));
      finish(a, false, "homing error" + emcy_suffix());
      return false;
    }
    if ((sw & statusword::kOpSpecific12) && (sw & statusword::kTargetReached)) {
      send_cw(a, out.cw & static_cast<uint16_t>(~controlword::kNewSetPoint));
      last_target = op.target_inc;
      finish(a, true, "homing attained at " + pos_text(op.target_inc));
    }
    return false;
  }

  // --- inputs (mx held) ---

  // A statusword (and what came with it) at `now`: the events of what changed, then progress.
  void take_statusword(Actions& a, uint16_t sw, std::optional<int8_t> mode, int64_t at_ns) {
    const uint16_t old = st.statusword;
    const DriveState prev = st.state;
    const int8_t old_mode = st.mode;
    const bool first = !have_sw;
    have_sw = true;
    ++sw_count;
    st.statusword = sw;
    st.state = drive_state(sw);
    if (mode) st.mode = *mode;
    st.updated_ns = now;
    sw_ns = at_ns;
    if (st.state != prev) {
      DriveEvent e = event(DriveEvent::kState);
      e.previous = prev;
      a.events.push_back(e);
      if (st.state == DriveState::kFault) {
        DriveEvent f = event(DriveEvent::kFault);
        f.emcy = st.last_emcy;
        f.text = std::string("Fault") + emcy_suffix();
        a.events.push_back(std::move(f));
      }
    }
    if (st.mode != old_mode && !first) {
      a.events.push_back(event(DriveEvent::kModeChanged));
    }
    auto rose = [&](uint16_t bit) { return (sw & bit) && (first || !(old & bit)); };
    if (((sw ^ old) & statusword::kWarning) && !(first && !(sw & statusword::kWarning))) {
      DriveEvent e = event(DriveEvent::kWarning);
      e.on = (sw & statusword::kWarning) != 0;
      a.events.push_back(e);
    }
    const auto m = static_cast<DriveMode>(st.mode);
    const bool enabled = st.state == DriveState::kOperationEnabled;
    if (m == DriveMode::kHoming) {
      if (rose(statusword::kOpSpecific13)) a.events.push_back(event(DriveEvent::kHomingFailed));
      const uint16_t done = statusword::kOpSpecific12 | statusword::kTargetReached;
      if ((sw & done) == done && (first || (old & done) != done)) {
        a.events.push_back(event(DriveEvent::kHomingDone));
      }
    } else {
      if ((m == DriveMode::kProfilePosition || m == DriveMode::kCyclicSyncPosition ||
           m == DriveMode::kInterpolatedPosition) &&
          rose(statusword::kOpSpecific13)) {
        a.events.push_back(event(DriveEvent::kFollowingError));
      }
      if (enabled && !first &&
          (m == DriveMode::kProfilePosition || m == DriveMode::kProfileVelocity ||
           m == DriveMode::kProfileTorque) &&
          rose(statusword::kTargetReached)) {
        DriveEvent e = event(DriveEvent::kTargetReached);
        e.text = m == DriveMode::kProfilePosition ? "target reached at " + pos_text(last_target)
                                                  : "target reached";
        a.events.push_back(std::move(e));
      }
    }
    advance(a, true);
  }

  void take_position(int32_t inc, int64_t at_ns) {
    st.position_inc = inc;
    st.position = pos_scaled(inc);
    st.position_ns = at_ns;
  }
  void take_velocity(int32_t inc, int64_t at_ns) {
    st.velocity_inc = inc;
    st.velocity = vel_scaled(inc);
    st.position_ns = at_ns;
  }
  // Whether the actual position and velocity are as new as the statusword: they come in another
  // TPDO (every few ms) and lag the statusword that says the target is reached; the texts then
  // give the commanded value.
  bool actual_fresh() const { return st.position_ns >= sw_ns; }

  // Starts an operation (mx held): false with the reason when another one runs and `kind` may
  // not replace it.
  bool begin(Actions& a, OpKind kind, const std::string& what, std::string* why) {
    if (op.active) {
      const bool replaces = kind == OpKind::kHalt || kind == OpKind::kQuickStop ||
                            kind == OpKind::kFaultReset ||
                            (kind == OpKind::kMove && op.kind == OpKind::kMove && op.phase >= 2);
      if (!replaces) {
        if (why) *why = "another operation runs: " + op.what;
        return false;
      }
      const std::string old = op.what;
      finish(a, false, old + ": replaced by " + what);
      if (op.kind == OpKind::kMode || op.phase == 1) mode_pending = false;
    }
    op = Op();
    op.kind = kind;
    op.active = true;
    op.what = what;
    st.busy = true;
    ++op_seq;
    a.seq = op_seq;
    return true;
  }

  // --- without mx ---

  // Sends what `a` holds, in order, with io_mx held by the caller. A failing send ends the
  // operation it belongs to.
  std::string execute(const Send& s, const std::vector<PdoConfig>& p, bool pdo) {
    std::vector<uint16_t> done;
    for (uint16_t base : s.objects) {
      if (std::find(done.begin(), done.end(), base) != done.end()) continue;
      const PdoConfig* r = nullptr;
      if (pdo) {
        for (const PdoConfig& c : p) {
          if (c.kind != PdoKind::kRpdo || is_synchronous(c)) continue;
          for (const PdoEntry& e : c.mapping) {
            if (e.index == base + off) r = &c;
          }
          if (r) break;
        }
      }
      if (r != nullptr) {
        std::vector<Value> values;
        for (const PdoEntry& e : r->mapping) {
          const auto b = static_cast<uint16_t>(e.index - off);
          values.push_back(out_value(s.out, b));
          done.push_back(b);
        }
        CMSG m{};
        std::string err;
        if (!encode_pdo(r->mapping, values, m, &err))
          return pdo_name(r->kind, r->number) + ": " + err;
        m.id = static_cast<int32_t>(pdo_cob_id(*r, node_id()));
        const int rc = drv.node_.can_write(m.id, m.len, m.data);
        if (rc != 0)
          return pdo_name(r->kind, r->number) + " not sent: driver result " + std::to_string(rc);
      } else {
        ObjectAccess oa(drv.node_);
        std::string why;
        const int rc = oa.write(static_cast<uint16_t>(base + off), 0, object_type(base),
                                out_value(s.out, base), &why);
        done.push_back(base);
        if (rc != 0) return hex4(static_cast<uint16_t>(base + off)) + ": " + why;
      }
    }
    return "";
  }

  void emit(const std::vector<DriveEvent>& events) {
    if (events.empty()) return;
    std::shared_ptr<Listener> fn;
    {
      std::lock_guard<std::mutex> lk(mx);
      fn = listener;
    }
    if (!fn || !*fn) return;
    for (const DriveEvent& e : events) {
      try {
        (*fn)(e);
      } catch (const std::exception& x) {
        tavik::printtostderr("Drive", std::string("the listener threw: ") + x.what());
      } catch (...) {
        tavik::printtostderr("Drive", "the listener threw");
      }
    }
  }

  // Runs `f` with mx and io_mx held, sends what it asked for with io_mx alone, then hands the
  // events to the listener with nothing held.
  template <typename F>
  auto act(F&& f) {
    Actions a;
    std::unique_lock<std::mutex> io(io_mx);
    std::shared_ptr<const std::vector<PdoConfig>> p;
    bool pdo;
    decltype(f(a)) r;
    {
      std::lock_guard<std::mutex> lk(mx);
      r = f(a);
      if (a.seq == 0 && op.active) a.seq = op_seq;  // progress of the running operation
      p = pdos;
      pdo = by_pdo;
    }
    for (const Send& s : a.sends) {
      const std::string err = execute(s, *p, pdo);
      if (!err.empty()) {
        std::lock_guard<std::mutex> lk(mx);
        tavik::printtostderr("Drive", "node " + std::to_string(node_id()) + ": " + err);
        if (op.active && op_seq == a.seq && a.seq != 0) finish(a, false, "not sent: " + err);
        break;
      }
    }
    io.unlock();
    emit(a.events);
    return r;
  }

  // The SYNC listener: the target of the cycle out at once.
  void on_sync(const SyncEvent& ev) {
    std::shared_ptr<Cyclic> c;
    {
      std::lock_guard<std::mutex> lk(mx);
      c = cyc;
    }
    if (!c || static_cast<int>(ev.sequence % static_cast<uint64_t>(c->cycle)) != c->phase) return;
    const double v = c->source(ev) * c->scale;
    c->values[c->slot] = c->target_base == drive_obj::kTargetTorque
                             ? Value::of_int(std::max(-32768L, std::min(32767L, std::lround(v))))
                             : Value::of_int(clamp32(v));
    if (!encode_pdo(c->mapping, c->values, c->frame, nullptr)) return;
    c->frame.id = c->cob;
    drv.node_.can_write(c->frame.id, c->frame.len, c->frame.data);
  }
};

// --- Drive --------------------------------------------------------------------------------------

Drive::Drive(D_can& node, DriveConfig config) : node_(node), cfg_(std::move(config)) {
  cfg_.axis = std::max(0, std::min(kMaxDriveAxes - 1, cfg_.axis));
  cfg_.cycle_syncs = std::max(1, std::min(240, cfg_.cycle_syncs));
  if (cfg_.scale.position == 0) cfg_.scale.position = 1;
  if (cfg_.scale.velocity == 0) cfg_.scale.velocity = 1;
  impl_ = std::make_unique<Impl>(*this);
  impl_->unit = cfg_.scale.unit;
}

Drive::~Drive() {
  stop_cyclic();
}

void Drive::set_listener(Listener fn) {
  std::lock_guard<std::mutex> lk(impl_->mx);
  impl_->listener = std::make_shared<Listener>(std::move(fn));
}

namespace {
int read_int(D_can& node, uint16_t index, uint8_t sub, DataType t, int64_t& out,
             std::string* why = nullptr) {
  ObjectAccess oa(node);
  Value v;
  const int rc = oa.read(index, sub, t, v, why);
  if (rc == 0) out = v.as_int();
  return rc;
}
// 0x60C2 from the SYNC period and the cycle: value and power of ten, in milliseconds where the
// period is whole ones. false when the producer does not run or the drive refused it (logged).
bool write_interpolation_period(D_can& node, const DriveConfig& cfg, uint16_t off) {
  if (cfg.sync == nullptr || cfg.sync->period_ns() <= 0) return false;
  int64_t us = cfg.sync->period_ns() / 1000 * cfg.cycle_syncs;
  int exp = -6;
  while (us % 10 == 0 && us > 0 && (exp < -3 || us > 255) && exp < 0) {
    us /= 10;
    ++exp;
  }
  std::string w = "period not representable";
  ObjectAccess oa(node);
  if (us > 0 && us <= 255 &&
      oa.write(drive_obj::kInterpolationPeriod + off, 1, DataType::kUnsigned8,
               Value::of_uint(static_cast<uint64_t>(us)), &w) == 0 &&
      oa.write(drive_obj::kInterpolationPeriod + off, 2, DataType::kInteger8, Value::of_int(exp),
               &w) == 0) {
    return true;
  }
  tavik::printtostderr("Drive", "node " + std::to_string(node.value().i2_data) +
                                    ": interpolation period not written: " + w);
  return false;
}
}  // namespace

DriveResult Drive::setup() {
  using namespace drive_obj;
  Impl& d = *impl_;
  const uint16_t off = d.off;
  DriveResult res;
  ObjectAccess oa(node_);
  std::string why;
  int64_t v = 0;
  uint32_t supported = 0;
  if (read_int(node_, kSupportedModes + off, 0, DataType::kUnsigned32, v) == 0) {
    supported = static_cast<uint32_t>(v);
  }
  int64_t sw = 0;
  if (read_int(node_, kStatusword + off, 0, DataType::kUnsigned16, sw, &why) != 0) {
    res.text = "statusword " + hex4(static_cast<uint16_t>(kStatusword + off)) + ": " + why;
    return res;
  }
  int64_t mode = 0;
  read_int(node_, kModesDisplay + off, 0, DataType::kInteger8, mode);
  int64_t pos = 0, vel = 0, pvel = -1;
  read_int(node_, kProfileVelocity + off, 0, DataType::kUnsigned32, pvel);
  read_int(node_, kPositionActual + off, 0, DataType::kInteger32, pos);
  read_int(node_, kVelocityActual + off, 0, DataType::kInteger32, vel);
  // Limits: the drive's own values, else the device description's.
  int64_t lo = 0, hi = 0, speed = 0;
  bool have_lo = read_int(node_, kSoftwareLimits + off, 1, DataType::kInteger32, lo) == 0;
  bool have_hi = read_int(node_, kSoftwareLimits + off, 2, DataType::kInteger32, hi) == 0;
  bool have_speed = read_int(node_, kMaxMotorSpeed + off, 0, DataType::kUnsigned32, speed) == 0;
  std::string unit = cfg_.scale.unit;
  if (cfg_.dictionary) {
    const ObjectDictionary& od = *cfg_.dictionary;
    auto def = [&](uint16_t i, uint8_t s, int64_t& o, bool& have) {
      const ObjectEntry* e = od.find(i, s);
      if (!have && e && !e->default_value.empty()) {
        o = e->default_value.as_int();
        have = true;
      }
    };
    def(kSoftwareLimits + off, 1, lo, have_lo);
    def(kSoftwareLimits + off, 2, hi, have_hi);
    def(kMaxMotorSpeed + off, 0, speed, have_speed);
    if (unit.empty()) {
      if (const ObjectEntry* e = od.find(kPositionActual + off, 0)) unit = e->unit;
    }
  }
  // Profile parameters.
  auto write_u32 = [&](uint16_t index, std::optional<double> val, double scale) -> std::string {
    if (!val) return "";
    const double inc = std::fabs(*val * scale);
    std::string w;
    if (oa.write(index, 0, DataType::kUnsigned32,
                 Value::of_uint(static_cast<uint64_t>(std::llround(inc))), &w) != 0) {
      return hex4(index) + ": " + w;
    }
    return "";
  };
  for (auto [index, val] :
       {std::pair<uint16_t, std::optional<double>>{kProfileVelocity + off, cfg_.profile_velocity},
        {kProfileAcceleration + off, cfg_.profile_acceleration},
        {kProfileDeceleration + off, cfg_.profile_deceleration}}) {
    const std::string err = write_u32(index, val, cfg_.scale.velocity);
    if (!err.empty()) {
      res.text = err;
      return res;
    }
  }
  // The interpolation period: the drive's cycle of cycle_syncs SYNC periods.
  const bool interpolation = write_interpolation_period(node_, cfg_, off);
  // Process data.
  std::vector<PdoConfig> p = cfg_.pdos.empty()
                                 ? default_drive_pdos(cfg_.axis, 10, false, node_.value().i2_data)
                                 : cfg_.pdos;
  bool by_pdo = false;
  if (cfg_.use_pdos) {
    by_pdo = true;
    for (const PdoConfig& c : p) {
      const PdoResult r = configure_pdo(node_, c);
      if (!r.ok()) {
        if (!cfg_.sdo_fallback) {
          res.text = r.text;
          return res;
        }
        tavik::printtostderr("Drive", "node " + std::to_string(node_.value().i2_data) + ": " +
                                          r.text + "; working by SDO");
        by_pdo = false;
        break;
      }
    }
    if (by_pdo && cfg_.monitor != nullptr) {
      for (const PdoConfig& c : p) {
        if (c.kind == PdoKind::kTpdo) cfg_.monitor->add_tpdo(&node_, c);
      }
    }
  }
  if (!by_pdo) p.clear();
  Impl::Actions a;
  {
    std::lock_guard<std::mutex> io(d.io_mx);
    std::lock_guard<std::mutex> lk(d.mx);
    d.pdos = std::make_shared<const std::vector<PdoConfig>>(p);
    d.by_pdo = by_pdo;
    d.st.by_pdo = by_pdo;
    d.interpolation_written = interpolation;
    d.st.supported_modes = supported;
    d.has_limits = have_lo && have_hi && lo < hi;
    d.min_pos = static_cast<int32_t>(lo);
    d.max_pos = static_cast<int32_t>(hi);
    d.max_speed = have_speed ? static_cast<uint32_t>(speed) : 0;
    d.unit = unit;
    const int64_t read_ns = tavik::clock().now_ns();
    if (read_ns > d.now) d.now = read_ns;
    d.take_position(static_cast<int32_t>(pos), read_ns);
    d.take_velocity(static_cast<int32_t>(vel), read_ns);
    d.out.mode = static_cast<int8_t>(mode);
    d.out.cw = controlword_for(DriveCommand::kDisableVoltage, 0);
    const DriveState s = drive_state(static_cast<uint16_t>(sw));
    // The word the drive is kept in: the state bits of the state it is in.
    switch (s) {
      case DriveState::kReadyToSwitchOn:
        d.out.cw = controlword_for(DriveCommand::kShutdown, 0);
        break;
      case DriveState::kSwitchedOn:
        d.out.cw = controlword_for(DriveCommand::kSwitchOn, 0);
        break;
      case DriveState::kOperationEnabled:
        d.out.cw = controlword_for(DriveCommand::kEnableOperation, 0);
        break;
      default:
        break;
    }
    d.st.controlword = d.out.cw;
    d.mode_pending = false;
    d.written_profile_vel.reset();
    d.last_target = static_cast<int32_t>(pos);
    if (pvel >= 0) {
      d.written_profile_vel = static_cast<uint32_t>(pvel);
      d.out.profile_vel = static_cast<uint32_t>(pvel);
    }
    if (cfg_.profile_velocity) {
      d.written_profile_vel = static_cast<uint32_t>(
          std::llround(std::fabs(*cfg_.profile_velocity * cfg_.scale.velocity)));
      d.out.profile_vel = *d.written_profile_vel;
    }
    d.have_sw = false;
    d.take_statusword(a, static_cast<uint16_t>(sw), static_cast<int8_t>(mode), read_ns);
    res.ok = true;
    res.text = std::string(drive_state_name(d.st.state)) + ", " + drive_mode_name(d.st.mode) +
               (by_pdo ? ", by PDO" : ", by SDO");
  }
  d.emit(a.events);
  return res;
}

std::vector<PdoConfig> Drive::pdos() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return *impl_->pdos;
}

NodeCallbacks Drive::callbacks() {
  NodeCallbacks cb;
  cb.on_pdo = [this](D_can&, int pdo, const PdoValues& v) { on_pdo(pdo, v); };
  cb.on_emergency = [this](D_can&, const Emcy& e) { on_emergency(e); };
  cb.on_state = [this](D_can&, int, int new_state) {
    if (new_state != 0) return;  // boot-up: the drive forgot its set-up
    impl_->act([&](Impl::Actions& a) {
      Impl& d = *impl_;
      d.st.state = DriveState::kUnknown;
      d.have_sw = false;
      d.mode_pending = false;
      d.finish(a, false, "the node booted");
      return 0;
    });
  };
  return cb;
}

void Drive::on_pdo(int pdo, const PdoValues& values) {
  impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    const PdoConfig* c = nullptr;
    for (const PdoConfig& x : *d.pdos) {
      if (x.kind == PdoKind::kTpdo && x.number == pdo) c = &x;
    }
    if (c == nullptr || c->mapping.size() != values.values.size()) return 0;
    std::optional<uint16_t> sw;
    std::optional<int8_t> mode;
    if (values.time_ns > d.now) d.now = values.time_ns;
    for (size_t i = 0; i < c->mapping.size(); ++i) {
      const Value& v = values.values[i];
      switch (static_cast<uint16_t>(c->mapping[i].index - d.off)) {
        case drive_obj::kStatusword:
          sw = static_cast<uint16_t>(v.as_uint());
          break;
        case drive_obj::kModesDisplay:
          mode = static_cast<int8_t>(v.as_int());
          break;
        case drive_obj::kPositionActual:
          d.take_position(static_cast<int32_t>(v.as_int()), values.time_ns);
          break;
        case drive_obj::kVelocityActual:
          d.take_velocity(static_cast<int32_t>(v.as_int()), values.time_ns);
          break;
        default:
          break;
      }
    }
    if (sw) {
      d.take_statusword(a, *sw, mode, values.time_ns);
    } else if (mode && *mode != d.st.mode) {
      d.st.mode = *mode;
      a.events.push_back(d.event(DriveEvent::kModeChanged));
      d.advance(a, false);
    }
    return 0;
  });
}

void Drive::on_emergency(const Emcy& emcy) {
  std::lock_guard<std::mutex> lk(impl_->mx);
  // Code 0 is the error reset: no emergency stands any more, and none may name a later fault.
  if (emcy.code == 0) {
    impl_->st.last_emcy.reset();
  } else {
    impl_->st.last_emcy = emcy;
  }
}

void Drive::poll(int64_t now_ns) {
  Impl& d = *impl_;
  bool sdo;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    sdo = !d.by_pdo && d.have_sw;
  }
  if (sdo) {
    // Without process data: the statusword and actual values by SDO, four transfers a poll.
    const uint16_t off = d.off;
    int64_t sw = 0, mode = 0, pos = 0, vel = 0;
    const bool ok =
        read_int(node_, drive_obj::kStatusword + off, 0, DataType::kUnsigned16, sw) == 0;
    const bool mode_ok =
        ok && read_int(node_, drive_obj::kModesDisplay + off, 0, DataType::kInteger8, mode) == 0;
    const bool pos_ok =
        ok && read_int(node_, drive_obj::kPositionActual + off, 0, DataType::kInteger32, pos) == 0;
    const bool vel_ok =
        ok && read_int(node_, drive_obj::kVelocityActual + off, 0, DataType::kInteger32, vel) == 0;
    if (ok) {
      d.act([&](Impl::Actions& a) {
        if (now_ns > d.now) d.now = now_ns;
        if (pos_ok) d.take_position(static_cast<int32_t>(pos), now_ns);
        if (vel_ok) d.take_velocity(static_cast<int32_t>(vel), now_ns);
        std::optional<int8_t> m;
        if (mode_ok) m = static_cast<int8_t>(mode);
        d.take_statusword(a, static_cast<uint16_t>(sw), m, now_ns);
        return 0;
      });
      return;
    }
  }
  d.act([&](Impl::Actions& a) {
    if (now_ns > d.now) d.now = now_ns;
    d.advance(a, false);
    return 0;
  });
}

bool Drive::go_to(DriveState target, std::string* why) {
  if (target == DriveState::kUnknown || target == DriveState::kFault ||
      target == DriveState::kFaultReactionActive || target == DriveState::kNotReadyToSwitchOn) {
    if (why) *why = std::string("no command leads to ") + drive_state_name(target);
    return false;
  }
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (!d.begin(a, OpKind::kGoTo, std::string("to ") + drive_state_name(target), why))
      return false;
    d.op.target = target;
    d.advance(a, false);
    return true;
  });
}

bool Drive::fault_reset(std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (!d.begin(a, OpKind::kFaultReset, "fault reset", why)) return false;
    d.op.target = DriveState::kSwitchOnDisabled;
    d.advance(a, false);
    return true;
  });
}

bool Drive::quick_stop(std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (!d.begin(a, OpKind::kQuickStop, "quick stop", why)) return false;
    d.op.target = DriveState::kQuickStopActive;
    d.advance(a, false);
    return true;
  });
}

bool Drive::halt(bool on, std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (!d.begin(a, OpKind::kHalt, on ? "halt" : "halt off", why)) return false;
    const uint16_t cw = on ? static_cast<uint16_t>(d.out.cw | controlword::kHalt)
                           : static_cast<uint16_t>(d.out.cw & ~controlword::kHalt);
    d.send_cw(a, cw);
    d.finish(a, true, on ? "halt on" : "halt off");
    return true;
  });
}

namespace {
// Whether `mode` may be asked of a drive with `supported` (0x6502; 0 when it does not tell).
bool mode_refused(int8_t mode, uint32_t supported, std::string* why) {
  const uint32_t bit = supported_mode_bit(mode);
  if (supported != 0 && bit != 0 && (supported & bit) == 0) {
    if (why) *why = drive_mode_name(mode) + " is not supported by the drive (0x6502)";
    return true;
  }
  if (mode == 0) {
    if (why) *why = "no mode";
    return true;
  }
  return false;
}
}  // namespace

bool Drive::set_mode(DriveMode mode, std::string* why) {
  return set_mode(static_cast<int8_t>(mode), why);
}

bool Drive::set_mode(int8_t mode, std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (mode_refused(mode, d.st.supported_modes, why)) return false;
    if (d.mode_pending && d.out.mode == mode) {
      if (why) *why = drive_mode_name(mode) + " is requested already";
      return false;
    }
    if (!d.begin(a, OpKind::kMode, "mode " + drive_mode_name(mode), why)) return false;
    d.op.mode = mode;
    d.advance(a, false);
    return true;
  });
}

bool Drive::move_to(double position, std::optional<double> velocity, bool relative,
                    bool immediately, std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (mode_refused(static_cast<int8_t>(DriveMode::kProfilePosition), d.st.supported_modes, why)) {
      return false;
    }
    if (d.st.state != DriveState::kOperationEnabled) {
      if (why)
        *why = std::string("the drive is in ") + drive_state_name(d.st.state) +
               ", not Operation enabled";
      return false;
    }
    const int32_t inc = clamp32(position * cfg_.scale.position);
    const int64_t end = relative ? int64_t{d.last_target} + inc : inc;
    if (d.has_limits && (end < d.min_pos || end > d.max_pos)) {
      if (why) {
        *why = "target " + d.pos_text(clamp32(static_cast<double>(end))) +
               " beyond the software limits " + d.pos_text(d.min_pos) + " .. " +
               d.pos_text(d.max_pos);
      }
      return false;
    }
    uint32_t vel = d.written_profile_vel ? *d.written_profile_vel : d.out.profile_vel;
    if (velocity)
      vel = static_cast<uint32_t>(std::llround(std::fabs(*velocity * cfg_.scale.velocity)));
    if (d.max_speed != 0 && vel > d.max_speed) {
      if (why)
        *why = "velocity " + d.vel_text(static_cast<int32_t>(vel)) + " above the max motor speed " +
               d.vel_text(static_cast<int32_t>(d.max_speed));
      return false;
    }
    if (!d.begin(a, OpKind::kMove, "move to " + d.pos_text(inc), why)) return false;
    d.op.mode = static_cast<int8_t>(DriveMode::kProfilePosition);
    d.op.target_inc = static_cast<int32_t>(end);
    d.op.send_inc = inc;
    d.op.relative = relative;
    d.op.immediately = immediately;
    d.op.profile_vel = vel;
    d.advance(a, false);
    return true;
  });
}

bool Drive::jog(double velocity, std::string* why) {
  return impl_->act([&](Impl::Actions& a) {
    Impl& d = *impl_;
    if (mode_refused(static_cast<int8_t>(DriveMode::kProfileVelocity), d.st.supported_modes, why))
      return false;
    if (d.st.state != DriveState::kOperationEnabled) {
      if (why)
        *why = std::string("the drive is in ") + drive_state_name(d.st.state) +
               ", not Operation enabled";
      return false;
    }
    const int32_t inc = clamp32(velocity * cfg_.scale.velocity);
    if (d.max_speed != 0 &&
        static_cast<uint32_t>(std::abs(static_cast<int64_t>(inc))) > d.max_speed) {
      if (why)
        *why = "velocity " + d.vel_text(inc) + " above the max motor speed " +
               d.vel_text(static_cast<int32_t>(d.max_speed));
      return false;
    }
    if (!d.begin(a, OpKind::kJog, "jog at " + d.vel_text(inc), why)) return false;
    d.op.mode = static_cast<int8_t>(DriveMode::kProfileVelocity);
    d.op.vel_inc = inc;
    d.advance(a, false);
    return true;
  });
}

bool Drive::torque(int16_t per_mille, std::string* why) {
  Impl& d = *impl_;
  bool mapped;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    mapped = d.rpdo_maps(drive_obj::kTargetTorque);
  }
  if (!mapped) {
    // No RPDO carries the target torque (the default mapping): by SDO, in the caller's thread
    // and before the mode switch, never from the monitor's thread.
    std::string w;
    const auto index = static_cast<uint16_t>(drive_obj::kTargetTorque + d.off);
    if (ObjectAccess(node_).write(index, 0, DataType::kInteger16, Value::of_int(per_mille), &w) !=
        0) {
      if (why) *why = hex4(index) + ": " + w;
      return false;
    }
  }
  return impl_->act([&](Impl::Actions& a) {
    if (mode_refused(static_cast<int8_t>(DriveMode::kProfileTorque), d.st.supported_modes, why))
      return false;
    if (d.st.state != DriveState::kOperationEnabled) {
      if (why)
        *why = std::string("the drive is in ") + drive_state_name(d.st.state) +
               ", not Operation enabled";
      return false;
    }
    if (!d.begin(a, OpKind::kTorque, "torque " + std::to_string(per_mille), why)) return false;
    d.op.mode = static_cast<int8_t>(DriveMode::kProfileTorque);
    d.op.torque = per_mille;
    d.advance(a, false);
    return true;
  });
}

bool Drive::home(std::optional<int8_t> method, std::string* why) {
  using namespace drive_obj;
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    const uint32_t sup = d.st.supported_modes;
    if (sup != 0 && (sup & supported_mode_bit(static_cast<int8_t>(DriveMode::kHoming))) == 0) {
      if (why) *why = "the drive has no homing mode (0x6502)";
      return false;
    }
    if (d.op.active) {
      if (why) *why = "another operation runs: " + d.op.what;
      return false;
    }
    if (d.st.state != DriveState::kOperationEnabled) {
      if (why)
        *why = std::string("the drive is in ") + drive_state_name(d.st.state) +
               ", not Operation enabled";
      return false;
    }
  }
  // The homing parameters by SDO, in the caller's thread, before the operation starts.
  if (!method) method = cfg_.homing_method;
  ObjectAccess oa(node_);
  std::string w;
  auto refuse = [&](uint16_t index, uint8_t sub) {
    if (why) *why = "homing: " + hex4(index) + (sub ? ":" + std::to_string(sub) : "") + ": " + w;
    return false;
  };
  const uint16_t off = d.off;
  if (method &&
      oa.write(kHomingMethod + off, 0, DataType::kInteger8, Value::of_int(*method), &w) != 0) {
    return refuse(kHomingMethod + off, 0);
  }
  if (cfg_.homing_speed_switch && oa.write(kHomingSpeeds + off, 1, DataType::kUnsigned32,
                                           Value::of_uint(*cfg_.homing_speed_switch), &w) != 0) {
    return refuse(kHomingSpeeds + off, 1);
  }
  if (cfg_.homing_speed_zero && oa.write(kHomingSpeeds + off, 2, DataType::kUnsigned32,
                                         Value::of_uint(*cfg_.homing_speed_zero), &w) != 0) {
    return refuse(kHomingSpeeds + off, 2);
  }
  if (cfg_.homing_acceleration && oa.write(kHomingAcceleration + off, 0, DataType::kUnsigned32,
                                           Value::of_uint(*cfg_.homing_acceleration), &w) != 0) {
    return refuse(kHomingAcceleration + off, 0);
  }
  if (cfg_.home_offset && oa.write(kHomeOffset + off, 0, DataType::kInteger32,
                                   Value::of_int(*cfg_.home_offset), &w) != 0) {
    return refuse(kHomeOffset + off, 0);
  }
  // Where homing ends: the drive's position becomes the home offset there.
  int64_t home = 0;
  read_int(node_, kHomeOffset + off, 0, DataType::kInteger32, home);
  return d.act([&](Impl::Actions& a) {
    const std::string what =
        method ? "homing by method " + std::to_string(*method) : std::string("homing");
    if (!d.begin(a, OpKind::kHome, what, why)) return false;
    d.op.mode = static_cast<int8_t>(DriveMode::kHoming);
    d.op.target_inc = static_cast<int32_t>(home);
    d.advance(a, false);
    return true;
  });
}

bool Drive::start_cyclic(DriveMode mode, CyclicSource source, std::string* why) {
  using namespace drive_obj;
  Impl& d = *impl_;
  uint16_t base = 0;
  double scale = 1;
  switch (mode) {
    case DriveMode::kCyclicSyncPosition:
      base = kTargetPosition;
      scale = cfg_.scale.position;
      break;
    case DriveMode::kCyclicSyncVelocity:
      base = kTargetVelocity;
      scale = cfg_.scale.velocity;
      break;
    case DriveMode::kCyclicSyncTorque:
      base = kTargetTorque;
      break;
    default:
      if (why) *why = drive_mode_name(static_cast<int8_t>(mode)) + " is no cyclic synchronous mode";
      return false;
  }
  if (cfg_.sync == nullptr) {
    if (why) *why = "no SYNC producer (DriveConfig::sync)";
    return false;
  }
  if (!source) {
    if (why) *why = "no source of targets";
    return false;
  }
  // With the default mapping, the synchronous RPDO carries the target position: for velocity or
  // torque it is mapped anew by SDO here, in the caller's thread.
  std::optional<PdoConfig> remap;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    if (d.by_pdo && cfg_.pdos.empty()) {
      bool mapped = false;
      const PdoConfig* last = nullptr;
      for (const PdoConfig& p : *d.pdos) {
        if (p.kind != PdoKind::kRpdo || !is_synchronous(p)) continue;
        last = &p;
        for (const PdoEntry& e : p.mapping) mapped = mapped || e.index == base + d.off;
      }
      if (!mapped && last != nullptr) {
        remap = *last;
        const DataType t = base == kTargetTorque ? DataType::kInteger16 : DataType::kInteger32;
        remap->mapping = {PdoEntry{static_cast<uint16_t>(base + d.off), 0,
                                   static_cast<uint8_t>(t == DataType::kInteger16 ? 16 : 32), t,
                                   base == kTargetTorque ? "target torque" : "target velocity"}};
        if (base == kTargetPosition) remap->mapping.back().name = "target position";
      }
    }
  }
  if (remap) {
    const PdoResult r = configure_pdo(node_, *remap);
    if (!r.ok()) {
      if (why) *why = r.text;
      return false;
    }
    std::lock_guard<std::mutex> lk(d.mx);
    auto p = std::make_shared<std::vector<PdoConfig>>(*d.pdos);
    for (PdoConfig& x : *p) {
      if (x.kind == remap->kind && x.number == remap->number) x = *remap;
    }
    d.pdos = std::move(p);
  }
  std::shared_ptr<Impl::Cyclic> c = std::make_shared<Impl::Cyclic>();
  {
    std::lock_guard<std::mutex> lk(d.mx);
    if (mode_refused(static_cast<int8_t>(mode), d.st.supported_modes, why)) return false;
    if (d.op.active) {
      if (why) *why = "another operation runs: " + d.op.what;
      return false;
    }
    if (d.st.state != DriveState::kOperationEnabled) {
      if (why)
        *why = std::string("the drive is in ") + drive_state_name(d.st.state) +
               ", not Operation enabled";
      return false;
    }
    if (d.cyc) {
      if (why) *why = "the cyclic mode runs already";
      return false;
    }
    const PdoConfig* r = nullptr;
    for (const PdoConfig& p : *d.pdos) {
      if (p.kind != PdoKind::kRpdo || !is_synchronous(p)) continue;
      for (const PdoEntry& e : p.mapping) {
        if (e.index == base + d.off) r = &p;
      }
      if (r) break;
    }
    if (r == nullptr) {
      if (why) {
        *why = "no synchronous RPDO maps " + hex4(static_cast<uint16_t>(base + d.off)) +
               (d.by_pdo ? "" : " (the drive works by SDO)");
      }
      return false;
    }
    c->source = std::move(source);
    c->target_base = base;
    c->scale = scale;
    c->cycle = cfg_.cycle_syncs;
    c->phase = (d.node_id() + cfg_.axis) % c->cycle;
    c->cob = static_cast<int32_t>(pdo_cob_id(*r, d.node_id()));
    c->mapping = r->mapping;
    for (size_t i = 0; i < r->mapping.size(); ++i) {
      const auto b = static_cast<uint16_t>(r->mapping[i].index - d.off);
      c->values.push_back(out_value(d.out, b));
      if (b == base) c->slot = i;
    }
  }
  // The interpolation period, when the producer was not running at set-up.
  bool written;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    written = d.interpolation_written;
  }
  if (!written && write_interpolation_period(node_, cfg_, d.off)) {
    std::lock_guard<std::mutex> lk(d.mx);
    d.interpolation_written = true;
  }
  const int id = cfg_.sync->add_listener([this](const SyncEvent& ev) { impl_->on_sync(ev); });
  {
    std::lock_guard<std::mutex> lk(d.mx);
    d.cyc = c;
    d.sync_listener = id;
  }
  const bool ok = d.act([&](Impl::Actions& a) {
    if (!d.begin(a, OpKind::kCyclic, drive_mode_name(static_cast<int8_t>(mode)), why)) return false;
    d.op.mode = static_cast<int8_t>(mode);
    d.advance(a, false);
    return true;
  });
  if (!ok) stop_cyclic();
  return ok;
}

void Drive::stop_cyclic() {
  Impl& d = *impl_;
  int id = 0;
  {
    std::lock_guard<std::mutex> lk(d.mx);
    id = d.sync_listener;
    d.sync_listener = 0;
    d.cyc.reset();
  }
  if (id != 0 && cfg_.sync != nullptr) cfg_.sync->remove_listener(id);
}

DriveResult Drive::wait(int timeout_ms) {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lk(d.mx);
  const uint64_t seq = d.op_seq;
  if (seq == 0) return DriveResult{true, false, "no operation"};
  const bool done =
      d.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return d.done_seq >= seq; });
  if (!done) return DriveResult{false, true, d.op.what + " still runs"};
  return d.result;
}

DriveResult Drive::wait(int timeout_ms, uint64_t op) {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lk(d.mx);
  if (op == 0 || op > d.op_seq)
    return DriveResult{false, false, "no operation " + std::to_string(op)};
  const bool done =
      d.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return d.done_seq >= op; });
  if (!done) return DriveResult{false, true, d.op.what + " still runs"};
  for (const auto& [seq, r] : d.results) {
    if (seq == op) return r;
  }
  return DriveResult{false, false, "operation " + std::to_string(op) + ": its result is gone"};
}

uint64_t Drive::operation() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->op_seq;
}

DriveStatus Drive::status() const {
  std::lock_guard<std::mutex> lk(impl_->mx);
  return impl_->st;
}

}  // namespace canbus
