// The simulated drive (drive_model.h). Called with NodeLogic's lock held (step, written,
// check_download, restart, take_emergencies); the model's own lock guards its state against the
// accessors and fault injection of other threads.
#include "drive_model.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "can_od.h"
#include "canopen_node.h"

namespace sim {
namespace {

// Objects of the profile the model works on.
constexpr uint16_t kErrorRegister = 0x1001;
constexpr uint16_t kErrorCode = 0x603F;
constexpr uint16_t kControlword = 0x6040;
constexpr uint16_t kStatusword = 0x6041;
constexpr uint16_t kQuickStopOption = 0x605A;
constexpr uint16_t kModes = 0x6060;
constexpr uint16_t kModesDisplay = 0x6061;
constexpr uint16_t kPositionDemand = 0x6062;
constexpr uint16_t kPositionActual = 0x6064;
constexpr uint16_t kFollowingWindow = 0x6065;
constexpr uint16_t kFollowingTimeout = 0x6066;
constexpr uint16_t kPositionWindow = 0x6067;
constexpr uint16_t kPositionWindowTime = 0x6068;
constexpr uint16_t kVelocityActual = 0x606C;
constexpr uint16_t kVelocityWindow = 0x606D;
constexpr uint16_t kTargetTorque = 0x6071;
constexpr uint16_t kMaxTorque = 0x6072;
constexpr uint16_t kTorqueActual = 0x6077;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr uint16_t kHomeOffset = 0x607C;
constexpr uint16_t kSoftwareLimits = 0x607D;
constexpr uint16_t kMaxMotorSpeed = 0x6080;
constexpr uint16_t kProfileVelocity = 0x6081;
constexpr uint16_t kProfileAcceleration = 0x6083;
constexpr uint16_t kProfileDeceleration = 0x6084;
constexpr uint16_t kQuickStopDeceleration = 0x6085;
constexpr uint16_t kTorqueSlope = 0x6087;
constexpr uint16_t kHomingMethod = 0x6098;
constexpr uint16_t kHomingSpeeds = 0x6099;
constexpr uint16_t kHomingAcceleration = 0x609A;
constexpr uint16_t kInterpolationPeriod = 0x60C2;
constexpr uint16_t kFollowingErrorActual = 0x60F4;
constexpr uint16_t kDigitalInputs = 0x60FD;
constexpr uint16_t kTargetVelocity = 0x60FF;

constexpr uint32_t kAbortValue = 0x06090030;
constexpr uint32_t kWindowOff = 0xFFFFFFFFu;

// Modes of 0x6502 (0x000003AD): pp, pv, pt, hm, csp, csv, cst.
constexpr int8_t kPp = 1, kPv = 3, kPt = 4, kHm = 6, kCsp = 8, kCsv = 9, kCst = 10;
bool supported_mode(int v) {
  return v == 0 || v == kPp || v == kPv || v == kPt || v == kHm || v == kCsp || v == kCsv ||
         v == kCst;
}

// Controlword bits.
constexpr uint16_t kCwSwitchOn = 0x01, kCwEnableVoltage = 0x02, kCwQuickStop = 0x04,
                   kCwEnableOperation = 0x08, kCwNewSetPoint = 0x10, kCwImmediately = 0x20,
                   kCwRelative = 0x40, kCwFaultReset = 0x80, kCwHalt = 0x100;

// Load of the torque modes: increments/s^2 per per mille, and the viscous loss per second.
constexpr double kTorqueGain = 1000.0;
constexpr double kViscous = 1.0;

double sign(double v) {
  return v > 0 ? 1.0 : (v < 0 ? -1.0 : 0.0);
}

int32_t clamp32(double v) {
  return static_cast<int32_t>(std::clamp(std::llround(v), static_cast<long long>(INT32_MIN),
                                         static_cast<long long>(INT32_MAX)));
}

// A positive number of the dictionary, or `fallback` when missing or 0.
double positive(const ObjectValues& od, uint16_t index, uint8_t sub, double fallback) {
  const auto v = od.get(index, sub, false);
  return v && *v > 0 ? static_cast<double>(*v) : fallback;
}

}  // namespace

long drive_quirks_from_text(const std::string& names) {
  long bits = 0;
  std::stringstream in(names);
  std::string name;
  while (std::getline(in, name, ',')) {
    if (name == "fault-reset-edge") {
      bits |= kQuirkFaultResetEdge;
    } else if (name == "homing-methods") {
      bits |= kQuirkHomingMethods;
    } else if (name == "halt-blocks-mode") {
      bits |= kQuirkHaltBlocksMode;
    } else if (name == "setpoint-ack-held") {
      bits |= kQuirkSetPointAckHeld;
    } else {
      return -1;
    }
  }
  return bits;
}

DriveFault drive_fault_from_text(const std::string& name) {
  if (name == "over-temperature") return DriveFault::kOverTemperature;
  if (name == "following-error") return DriveFault::kFollowingError;
  if (name == "over-voltage") return DriveFault::kOverVoltage;
  return DriveFault::kNone;
}

const char* drive_fault_name(DriveFault f) {
  switch (f) {
    case DriveFault::kOverTemperature:
      return "over-temperature";
    case DriveFault::kFollowingError:
      return "following-error";
    case DriveFault::kOverVoltage:
      return "over-voltage";
    case DriveFault::kNone:
      break;
  }
  return "none";
}

uint16_t drive_fault_code(DriveFault f) {
  switch (f) {
    case DriveFault::kOverTemperature:
      return 0x4310;
    case DriveFault::kFollowingError:
      return 0x8611;
    case DriveFault::kOverVoltage:
      return 0x3210;
    case DriveFault::kNone:
      break;
  }
  return 0;
}

uint8_t drive_fault_register(DriveFault f) {
  // Bit 0 generic, bit 2 voltage, bit 3 temperature, bit 5 device profile.
  switch (f) {
    case DriveFault::kOverTemperature:
      return 0x09;
    case DriveFault::kFollowingError:
      return 0x21;
    case DriveFault::kOverVoltage:
      return 0x05;
    case DriveFault::kNone:
      break;
  }
  return 0;
}

const char* sim_drive_state_name(SimDriveState s) {
  switch (s) {
    case SimDriveState::kNotReadyToSwitchOn:
      return "Not ready to switch on";
    case SimDriveState::kSwitchOnDisabled:
      return "Switch on disabled";
    case SimDriveState::kReadyToSwitchOn:
      return "Ready to switch on";
    case SimDriveState::kSwitchedOn:
      return "Switched on";
    case SimDriveState::kOperationEnabled:
      return "Operation enabled";
    case SimDriveState::kQuickStopActive:
      return "Quick stop active";
    case SimDriveState::kFaultReactionActive:
      return "Fault reaction active";
    case SimDriveState::kFault:
      return "Fault";
  }
  return "?";
}

DriveModel::DriveModel(DriveSimConfig config) : cfg_(std::move(config)) {
  demand_ = actual_ = static_cast<double>(cfg_.start_position);
  last_target_ = demand_;
}

// ---- controlword --------------------------------------------------------------------------

uint32_t DriveModel::check_download(ObjectKey key, const std::string& value) const {
  if (key.second != 0 || value.empty()) return 0;
  const auto v = static_cast<int8_t>(value[0]);
  if (key.first == kModes && !supported_mode(v)) return kAbortValue;
  if (key.first == kHomingMethod && (cfg_.quirks & kQuirkHomingMethods) != 0 &&
      std::find(cfg_.homing_methods.begin(), cfg_.homing_methods.end(), int{v}) ==
          cfg_.homing_methods.end()) {
    return kAbortValue;
  }
  return 0;
}

void DriveModel::written(ObjectKey key, ObjectValues& od) {
  std::lock_guard<std::mutex> lk(mx_);
  if (key == ObjectKey{kControlword, 0}) {
    command_locked(static_cast<uint16_t>(od.get(kControlword, 0, false).value_or(0)), od);
  } else if (key == ObjectKey{kTargetPosition, 0} && mode_ == kCsp &&
             state_ == SimDriveState::kOperationEnabled) {
    // The next cyclic target: reached in equal steps over the interpolation period.
    const double period_s =
        positive(od, kInterpolationPeriod, 1, 1) *
        std::pow(10.0, static_cast<double>(od.get(kInterpolationPeriod, 2).value_or(-3)));
    const double steps = std::max(1.0, std::round(period_s * 1e9 / kStepNs));
    csp_target_ = static_cast<double>(od.get(kTargetPosition, 0).value_or(0)) - shift_;
    csp_step_ = std::abs(csp_target_ - demand_) / steps;
  }
  write_locked(od);
}

void DriveModel::set_state_locked(SimDriveState s) {
  if (s == state_) return;
  const bool was_enabled = state_ == SimDriveState::kOperationEnabled;
  state_ = s;
  state_since_ = now_;
  if (s == SimDriveState::kOperationEnabled && !was_enabled) {
    // Enabled: the axis holds where it is; no set-point is pending.
    demand_ = actual_;
    demand_v_ = 0;
    current_ = queued_ = SetPoint{};
    last_target_ = actual_ + shift_;
    csp_target_ = demand_;
    csp_step_ = 0;
    ack_ = ack_release_ = false;
    target_reached_ = true;
    if (homing_ != Homing::kDone && homing_ != Homing::kError) homing_ = Homing::kIdle;
  }
  const bool powered = s == SimDriveState::kOperationEnabled ||
                       s == SimDriveState::kQuickStopActive ||
                       s == SimDriveState::kFaultReactionActive;
  if (!powered) {
    // The power stage is off: the axis stops (a brake holds it).
    demand_ = actual_;
    demand_v_ = actual_v_ = 0;
    torque_ = 0;
    if (homing_ == Homing::kSearch || homing_ == Homing::kFinal || homing_ == Homing::kIndex) {
      homing_ = Homing::kInterrupted;
    }
    current_ = queued_ = SetPoint{};
  }
}

void DriveModel::command_locked(uint16_t cw, ObjectValues& od) {
  ++controlwords_;
  const uint16_t prev = cw_;
  cw_ = cw;
  using S = SimDriveState;
  if (state_ == S::kFault) {
    const bool edge = (prev & kCwFaultReset) == 0;
    if ((cw & kCwFaultReset) != 0 && (edge || (cfg_.quirks & kQuirkFaultResetEdge) == 0)) {
      fault_ = DriveFault::kNone;
      following_error_ = false;
      follow_since_ = -1;
      od.set(kErrorRegister, 0, 0);
      od.set(kErrorCode, 0, 0);
      emergencies_.push_back(Emergency{0x0000, 0x00, {}});
      set_state_locked(S::kSwitchOnDisabled);
    }
    return;
  }
  if (state_ == S::kNotReadyToSwitchOn || state_ == S::kFaultReactionActive) return;
  if ((cw & kCwFaultReset) != 0) return;  // fault reset outside Fault: no command
  const bool enabled = state_ == S::kOperationEnabled;
  if ((cw & kCwEnableVoltage) == 0) {
    set_state_locked(S::kSwitchOnDisabled);  // disable voltage
  } else if ((cw & kCwQuickStop) == 0) {
    if (state_ == S::kReadyToSwitchOn || state_ == S::kSwitchedOn) {
      set_state_locked(S::kSwitchOnDisabled);
    } else if (enabled) {
      // Option 0: the drive function is disabled at once; others brake first (motion_locked).
      if (od.get(kQuickStopOption, 0).value_or(2) == 0) {
        set_state_locked(S::kSwitchOnDisabled);
      } else {
        set_state_locked(S::kQuickStopActive);
      }
    }
  } else if ((cw & kCwSwitchOn) == 0) {
    // Shutdown.
    if (state_ == S::kSwitchOnDisabled || state_ == S::kSwitchedOn || enabled) {
      set_state_locked(S::kReadyToSwitchOn);
    }
  } else if ((cw & kCwEnableOperation) == 0) {
    // Switch on; disable operation in Operation enabled.
    if (state_ == S::kReadyToSwitchOn || enabled) set_state_locked(S::kSwitchedOn);
  } else {
    // Switch on + enable operation.
    if (state_ == S::kReadyToSwitchOn || state_ == S::kSwitchedOn) {
      set_state_locked(S::kOperationEnabled);
    } else if (state_ == S::kQuickStopActive && od.get(kQuickStopOption, 0).value_or(2) >= 5) {
      set_state_locked(S::kOperationEnabled);
    }
  }
  if (state_ != S::kOperationEnabled) return;
  // The mode's handshake bits: new set-point / start homing.
  const bool rise = (cw & kCwNewSetPoint) != 0 && (prev & kCwNewSetPoint) == 0;
  const bool fall = (cw & kCwNewSetPoint) == 0 && (prev & kCwNewSetPoint) != 0;
  if (mode_ == kPp) {
    if (fall) {
      if ((cfg_.quirks & kQuirkSetPointAckHeld) != 0) {
        ack_release_ = ack_;
      } else {
        ack_ = false;
      }
    }
    // With kQuirkSetPointAckHeld a new set-point is lost while the acknowledge still stands.
    if (rise && !(ack_ && (cfg_.quirks & kQuirkSetPointAckHeld) != 0)) take_setpoint_locked(cw, od);
  } else if (mode_ == kHm) {
    if (rise && (cw & kCwHalt) == 0) start_homing_locked(od);
    if (fall &&
        (homing_ == Homing::kSearch || homing_ == Homing::kFinal || homing_ == Homing::kIndex)) {
      homing_ = Homing::kInterrupted;
    }
  }
}

void DriveModel::take_setpoint_locked(uint16_t cw, ObjectValues& od) {
  double target = static_cast<double>(od.get(kTargetPosition, 0).value_or(0));
  if ((cw & kCwRelative) != 0) target += last_target_;
  const auto lo = od.get(kSoftwareLimits, 1).value_or(0);
  const auto hi = od.get(kSoftwareLimits, 2).value_or(0);
  internal_limit_ = false;
  if (lo < hi) {
    const double clipped = std::clamp(target, static_cast<double>(lo), static_cast<double>(hi));
    internal_limit_ = clipped != target;
    target = clipped;
  }
  last_target_ = target;
  const SetPoint sp{target - shift_, true};
  if ((cw & kCwImmediately) != 0 || !current_.valid) {
    current_ = sp;
    queued_ = SetPoint{};
  } else {
    queued_ = sp;
  }
  ack_ = true;
  ack_release_ = false;
  target_reached_ = false;
  in_window_since_ = -1;
  ++setpoints_;
}

// ---- homing -------------------------------------------------------------------------------

bool DriveModel::switch_active_locked(int which, double phys) const {
  switch (which) {
    case 0:
      return phys <= static_cast<double>(cfg_.negative_limit_switch);
    case 1:
      return phys >= static_cast<double>(cfg_.positive_limit_switch);
    case 2:
      return phys >= static_cast<double>(cfg_.home_switch);
    case 3:
      return phys <= static_cast<double>(cfg_.home_switch);
    default:
      return false;
  }
}

void DriveModel::start_homing_locked(ObjectValues& od) {
  homing_method_ = static_cast<int>(od.get(kHomingMethod, 0).value_or(0));
  homing_start_ = demand_;
  target_reached_ = false;
  index_after_ = false;
  auto plan = [&](int sdir, int ssw, bool swant, int fdir, int fsw, bool fwant, bool index) {
    search_dir_ = sdir;
    search_sw_ = ssw;
    search_want_ = swant;
    final_dir_ = fdir;
    final_sw_ = fsw;
    final_want_ = fwant;
    index_after_ = index;
    // A search whose switch already reads as wanted goes straight to the final phase.
    homing_ = switch_active_locked(ssw, demand_) == swant ? Homing::kFinal : Homing::kSearch;
  };
  const bool listed = std::find(cfg_.homing_methods.begin(), cfg_.homing_methods.end(),
                                homing_method_) != cfg_.homing_methods.end();
  if ((cfg_.quirks & kQuirkHomingMethods) != 0 && !listed) {
    homing_ = Homing::kError;
    return;
  }
  switch (homing_method_) {
    case 1:
    case 17:
      plan(-1, 0, true, +1, 0, false, homing_method_ == 1);
      break;
    case 2:
    case 18:
      plan(+1, 1, true, -1, 1, false, homing_method_ == 2);
      break;
    case 19:
      plan(+1, 2, true, -1, 2, false, false);
      break;
    case 20:
      plan(-1, 2, false, +1, 2, true, false);
      break;
    case 21:
      plan(-1, 3, true, +1, 3, false, false);
      break;
    case 22:
      plan(+1, 3, false, -1, 3, true, false);
      break;
    case 33:
    case 34:
      if (cfg_.index_spacing <= 0) {
        homing_ = Homing::kError;
        return;
      }
      final_dir_ = homing_method_ == 33 ? -1 : +1;
      {
        const double n = static_cast<double>(cfg_.index_spacing);
        index_at_ =
            final_dir_ > 0 ? (std::floor(demand_ / n) + 1) * n : (std::ceil(demand_ / n) - 1) * n;
      }
      homing_ = Homing::kIndex;
      break;
    case 35:
    case 37:
      finish_homing_locked(demand_, od);
      break;
    default:
      homing_ = Homing::kError;  // a method this drive does not know
      break;
  }
}

void DriveModel::finish_homing_locked(double home_phys, ObjectValues& od) {
  shift_ = static_cast<double>(od.get(kHomeOffset, 0).value_or(0)) - home_phys;
  demand_ = actual_ = home_phys;
  demand_v_ = actual_v_ = 0;
  last_target_ = home_phys + shift_;
  homing_ = Homing::kDone;
  target_reached_ = true;
  ++homings_;
}

void DriveModel::homing_step_locked(double dt, ObjectValues& od) {
  const double acc = positive(od, kHomingAcceleration, 0, 50000);
  const double fast = positive(od, kHomingSpeeds, 1, 5000);
  const double slow = positive(od, kHomingSpeeds, 2, 1000);
  const bool running =
      homing_ == Homing::kSearch || homing_ == Homing::kFinal || homing_ == Homing::kIndex;
  if (running && (cw_ & kCwHalt) != 0) homing_ = Homing::kInterrupted;
  if (homing_ != Homing::kSearch && homing_ != Homing::kFinal && homing_ != Homing::kIndex) {
    // Not homing (or ended badly): brake to a stand.
    ramp_velocity_locked(0, acc, dt);
    demand_ += demand_v_ * dt;
    target_reached_ = demand_v_ == 0;
    return;
  }
  const int dir = homing_ == Homing::kSearch ? search_dir_ : final_dir_;
  ramp_velocity_locked(dir * (homing_ == Homing::kSearch ? fast : slow), acc, dt);
  const double before = demand_;
  demand_ += demand_v_ * dt;
  target_reached_ = false;
  if (std::abs(demand_ - homing_start_) > static_cast<double>(cfg_.search_distance)) {
    homing_ = Homing::kError;
    return;
  }
  // A limit switch met in the direction of travel that this phase does not look for.
  const int looked_for = homing_ == Homing::kSearch  ? search_sw_
                         : homing_ == Homing::kFinal ? final_sw_
                                                     : -1;
  if ((demand_v_ < 0 && looked_for != 0 && switch_active_locked(0, demand_)) ||
      (demand_v_ > 0 && looked_for != 1 && switch_active_locked(1, demand_))) {
    demand_v_ = 0;
    homing_ = Homing::kError;
    return;
  }
  switch (homing_) {
    case Homing::kSearch:
      if (switch_active_locked(search_sw_, demand_) == search_want_) homing_ = Homing::kFinal;
      break;
    case Homing::kFinal:
      // Only once moving in the final direction: while braking from the search the switch may
      // still read as before.
      if (demand_v_ * final_dir_ > 0 && switch_active_locked(final_sw_, demand_) == final_want_) {
        const double edge = static_cast<double>(final_sw_ == 0   ? cfg_.negative_limit_switch
                                                : final_sw_ == 1 ? cfg_.positive_limit_switch
                                                                 : cfg_.home_switch);
        if (!index_after_) {
          finish_homing_locked(edge, od);
        } else if (cfg_.index_spacing <= 0) {
          homing_ = Homing::kError;
        } else {
          const double n = static_cast<double>(cfg_.index_spacing);
          index_at_ =
              final_dir_ > 0 ? (std::floor(edge / n) + 1) * n : (std::ceil(edge / n) - 1) * n;
          homing_ = Homing::kIndex;
        }
      }
      break;
    case Homing::kIndex:
      if ((demand_ - index_at_) * final_dir_ >= 0 && (before - index_at_) * final_dir_ <= 0) {
        finish_homing_locked(index_at_, od);
      } else if ((before - index_at_) * final_dir_ > 0) {
        // Still braking past the pulse from the previous phase: take the next one.
        const double n = static_cast<double>(cfg_.index_spacing);
        index_at_ =
            final_dir_ > 0 ? (std::floor(demand_ / n) + 1) * n : (std::ceil(demand_ / n) - 1) * n;
      }
      break;
    default:
      break;
  }
}

// ---- motion -------------------------------------------------------------------------------

void DriveModel::ramp_velocity_locked(double v, double acc, double dt) {
  const double dv = acc * dt;
  if (std::abs(v - demand_v_) <= dv) {
    demand_v_ = v;
  } else {
    demand_v_ += dv * sign(v - demand_v_);
  }
}

bool DriveModel::profile_to_locked(double target, double vmax, double acc, double dec, double dt) {
  const double d = target - demand_;
  if (std::abs(d) < 1e-6 && std::abs(demand_v_) < 1e-6) {
    demand_ = target;
    demand_v_ = 0;
    return true;
  }
  // The speed from which the deceleration still stops at the target.
  const double vd = sign(d) * std::min(vmax, std::sqrt(2 * dec * std::abs(d)));
  const bool faster =
      sign(vd) == sign(demand_v_) ? std::abs(vd) > std::abs(demand_v_) : demand_v_ == 0;
  ramp_velocity_locked(vd, faster ? acc : dec, dt);
  const double next = demand_ + demand_v_ * dt;
  if (sign(target - next) != sign(d) || std::abs(target - next) < 1e-6) {
    demand_ = target;  // the last step ends on the target
    demand_v_ = 0;
    return true;
  }
  demand_ = next;
  return false;
}

void DriveModel::motion_locked(double dt, ObjectValues& od) {
  using S = SimDriveState;
  const double vmax_motor = positive(od, kMaxMotorSpeed, 0, 1e9);
  const double acc = positive(od, kProfileAcceleration, 0, 100000);
  const double dec = positive(od, kProfileDeceleration, 0, 100000);
  const double qdec = positive(od, kQuickStopDeceleration, 0, 1e6);
  const bool halt = (cw_ & kCwHalt) != 0;
  const double v_before = demand_v_;
  if (state_ == S::kQuickStopActive || state_ == S::kFaultReactionActive) {
    const auto option = od.get(kQuickStopOption, 0).value_or(2);
    ramp_velocity_locked(0, state_ == S::kQuickStopActive && option == 1 ? dec : qdec, dt);
    demand_ += demand_v_ * dt;
    if (state_ == S::kQuickStopActive && demand_v_ == 0 && option <= 4) {
      set_state_locked(S::kSwitchOnDisabled);
    }
  } else if (state_ == S::kOperationEnabled) {
    switch (mode_) {
      case kPp: {
        if (halt) {
          ramp_velocity_locked(0, dec, dt);
          demand_ += demand_v_ * dt;
          target_reached_ = demand_v_ == 0;
          break;
        }
        if (!current_.valid) {
          ramp_velocity_locked(0, dec, dt);
          demand_ += demand_v_ * dt;
          break;
        }
        const double vmax = std::min(positive(od, kProfileVelocity, 0, 1000), vmax_motor);
        target_reached_ = false;
        if (!profile_to_locked(current_.target, vmax, acc, dec, dt)) {
          in_window_since_ = -1;
          break;
        }
        // The profile ended: reached when the actual position stays within the window.
        const auto window = od.get(kPositionWindow, 0, false).value_or(kWindowOff);
        const auto window_ns = od.get(kPositionWindowTime, 0, false).value_or(0) * 1'000'000;
        const bool inside = window == kWindowOff ||
                            std::abs(actual_ - current_.target) <= static_cast<double>(window);
        if (!inside) {
          in_window_since_ = -1;
          break;
        }
        if (in_window_since_ < 0) in_window_since_ = now_;
        if (window != kWindowOff && now_ - in_window_since_ < window_ns) break;
        if (queued_.valid) {
          current_ = queued_;
          queued_ = SetPoint{};
        } else {
          current_ = SetPoint{};
          target_reached_ = true;
        }
        in_window_since_ = -1;
        break;
      }
      case kPv: {
        const double target =
            halt ? 0
                 : std::clamp(static_cast<double>(od.get(kTargetVelocity, 0).value_or(0)),
                              -vmax_motor, vmax_motor);
        const bool faster =
            std::abs(target) > std::abs(demand_v_) && sign(target) * sign(demand_v_) >= 0;
        ramp_velocity_locked(target, faster ? acc : dec, dt);
        demand_ += demand_v_ * dt;
        const double window = static_cast<double>(od.get(kVelocityWindow, 0, false).value_or(0));
        target_reached_ = std::abs(demand_v_ - target) <= window;
        break;
      }
      case kPt:
      case kCst: {
        if (halt) {
          // Halted: brakes with 0x6084 whatever the torque target; the torque is the braking one.
          const double v = demand_v_;
          ramp_velocity_locked(0, dec, dt);
          demand_ += demand_v_ * dt;
          torque_ = ((demand_v_ - v) / dt + kViscous * demand_v_) / kTorqueGain;
          target_reached_ = false;
          break;
        }
        const double target = static_cast<double>(od.get(kTargetTorque, 0).value_or(0));
        const double slope = mode_ == kPt ? positive(od, kTorqueSlope, 0, 0) : 0;
        if (slope > 0 && std::abs(target - torque_) > slope * dt) {
          torque_ += slope * dt * sign(target - torque_);
        } else {
          torque_ = target;
        }
        demand_v_ += (torque_ * kTorqueGain - kViscous * demand_v_) * dt;
        demand_v_ = std::clamp(demand_v_, -vmax_motor, vmax_motor);
        demand_ += demand_v_ * dt;
        target_reached_ = torque_ == target;
        break;
      }
      case kHm:
        homing_step_locked(dt, od);
        break;
      case kCsp: {
        if (halt) {
          // Halted: brakes, and the next target starts from where the axis stands.
          ramp_velocity_locked(0, dec, dt);
          demand_ += demand_v_ * dt;
          csp_target_ = demand_;
          csp_step_ = 0;
          target_reached_ = false;
          break;
        }
        const double d = csp_target_ - demand_;
        const double move = std::abs(d) <= csp_step_ || csp_step_ <= 0 ? d : csp_step_ * sign(d);
        demand_v_ = move / dt;
        demand_ += move;
        target_reached_ = !halt;
        break;
      }
      case kCsv: {
        if (halt) {
          ramp_velocity_locked(0, dec, dt);
        } else {
          demand_v_ = std::clamp(static_cast<double>(od.get(kTargetVelocity, 0).value_or(0)),
                                 -vmax_motor, vmax_motor);
        }
        demand_ += demand_v_ * dt;
        target_reached_ = !halt;
        break;
      }
      default:
        ramp_velocity_locked(0, dec, dt);
        demand_ += demand_v_ * dt;
        break;
    }
  }
  if (state_ == S::kOperationEnabled && mode_ != kHm) {
    // Outside homing the limit switches and the software limits (velocity and torque modes)
    // stop the axis.
    const auto lo = od.get(kSoftwareLimits, 1).value_or(0);
    const auto hi = od.get(kSoftwareLimits, 2).value_or(0);
    double low = static_cast<double>(cfg_.negative_limit_switch);
    double high = static_cast<double>(cfg_.positive_limit_switch);
    if (lo < hi && mode_ != kPp && mode_ != kCsp) {
      low = std::max(low, static_cast<double>(lo) - shift_);
      high = std::min(high, static_cast<double>(hi) - shift_);
    }
    if ((demand_ <= low && demand_v_ < 0) || (demand_ >= high && demand_v_ > 0)) {
      demand_ = std::clamp(demand_, low, high);
      demand_v_ = 0;
      internal_limit_ = true;
    } else if (mode_ != kPp && demand_ > low && demand_ < high) {
      internal_limit_ = false;
    }
  }
  // The motor follows the demand unless blocked.
  if (blocked_) {
    actual_v_ = 0;
  } else {
    actual_ = demand_;
    actual_v_ = demand_v_;
  }
  if (mode_ != kPt && mode_ != kCst) {
    const double max_torque = positive(od, kMaxTorque, 0, 3000);
    const double a = dt > 0 ? (demand_v_ - v_before) / dt : 0;
    torque_ = blocked_ && demand_v_ != 0
                  ? max_torque * sign(demand_v_)
                  : std::clamp((a + kViscous * demand_v_) / kTorqueGain, -max_torque, max_torque);
  }
}

// ---- step ---------------------------------------------------------------------------------

void DriveModel::enter_fault_locked(DriveFault f, ObjectValues& od) {
  if (f == DriveFault::kNone || state_ == SimDriveState::kFault ||
      state_ == SimDriveState::kFaultReactionActive) {
    return;
  }
  fault_ = f;
  od.set(kErrorCode, 0, drive_fault_code(f));
  od.set(kErrorRegister, 0, drive_fault_register(f));
  emergencies_.push_back(Emergency{drive_fault_code(f), drive_fault_register(f), {}});
  if (homing_ == Homing::kSearch || homing_ == Homing::kFinal || homing_ == Homing::kIndex) {
    homing_ = Homing::kInterrupted;
  }
  current_ = queued_ = SetPoint{};
  set_state_locked(SimDriveState::kFaultReactionActive);
}

void DriveModel::step(int64_t now_ns, ObjectValues& od) {
  std::lock_guard<std::mutex> lk(mx_);
  if (now_ < 0) {
    now_ = now_ns;
    state_since_ = now_ns;
  }
  // The model runs in steps of kStepNs on its own time line; a caller that comes late (a stalled
  // thread, a test clock moved by seconds) gets the steps it missed, up to kMaxCatchUp, so that
  // the motion does not depend on its timing.
  int steps = 0;
  const double dt = static_cast<double>(kStepNs) / 1e9;
  while (now_ <= now_ns && steps++ < kMaxCatchUp) {
    if (!booted_) {
      booted_ = true;
      set_state_locked(SimDriveState::kSwitchOnDisabled);
    }
    if (pending_fault_ != DriveFault::kNone) {
      enter_fault_locked(pending_fault_, od);
      pending_fault_ = DriveFault::kNone;
    }
    if (state_ == SimDriveState::kFaultReactionActive && now_ - state_since_ >= kFaultReactionNs) {
      set_state_locked(SimDriveState::kFault);
    }
    // The mode display follows the request (not while halted, with kQuirkHaltBlocksMode).
    const auto requested = static_cast<int8_t>(od.get(kModes, 0).value_or(0));
    const bool held = (cfg_.quirks & kQuirkHaltBlocksMode) != 0 && (cw_ & kCwHalt) != 0;
    if (requested != mode_ && supported_mode(requested) && !held) {
      mode_ = requested;
      current_ = queued_ = SetPoint{};
      ack_ = ack_release_ = false;
      homing_ = Homing::kIdle;
      csp_target_ = demand_;
      csp_step_ = 0;
      internal_limit_ = false;
      target_reached_ = demand_v_ == 0;
    }
    motion_locked(dt, od);
    // Following error: demand and actual apart beyond the window for the time-out.
    const auto window = od.get(kFollowingWindow, 0, false).value_or(kWindowOff);
    const double error = std::abs(demand_ - actual_);
    following_error_ = window != kWindowOff && error > static_cast<double>(window);
    if (!following_error_) {
      follow_since_ = -1;
    } else {
      if (follow_since_ < 0) follow_since_ = now_;
      const auto timeout_ns = od.get(kFollowingTimeout, 0, false).value_or(0) * 1'000'000;
      if (now_ - follow_since_ >= timeout_ns) enter_fault_locked(DriveFault::kFollowingError, od);
    }
    if (ack_release_) ack_ = ack_release_ = false;
    now_ += kStepNs;
  }
  if (now_ <= now_ns) now_ = now_ns + kStepNs;  // the rest of a long gap is skipped
  write_locked(od);
}

uint16_t DriveModel::statusword_locked() const {
  using S = SimDriveState;
  uint16_t sw = 0x0200;  // remote
  switch (state_) {
    case S::kNotReadyToSwitchOn:
      break;
    case S::kSwitchOnDisabled:
      sw |= 0x0040;
      break;
    case S::kReadyToSwitchOn:
      sw |= 0x0031;
      break;
    case S::kSwitchedOn:
      sw |= 0x0033;
      break;
    case S::kOperationEnabled:
      sw |= 0x0037;
      break;
    case S::kQuickStopActive:
      sw |= 0x0017;
      break;
    case S::kFaultReactionActive:
      sw |= 0x001F;
      break;
    case S::kFault:
      sw |= 0x0008;
      break;
  }
  if (warning_) sw |= 0x0080;
  if (internal_limit_) sw |= 0x0800;
  const bool enabled = state_ == S::kOperationEnabled;
  bool reached = target_reached_;
  switch (mode_) {
    case kPp:
      if (ack_) sw |= 0x1000;
      if (following_error_) sw |= 0x2000;
      break;
    case kPv:
      if (std::abs(actual_v_) < 1) sw |= 0x1000;
      break;
    case kHm:
      if (homing_ == Homing::kDone) sw |= 0x1000;
      if (homing_ == Homing::kError) sw |= 0x2000;
      if (homing_ == Homing::kError || homing_ == Homing::kInterrupted ||
          homing_ == Homing::kIdle) {
        reached = demand_v_ == 0;
      }
      break;
    case kCsp:
      if (enabled && target_reached_) sw |= 0x1000;
      if (following_error_) sw |= 0x2000;
      reached = false;
      break;
    case kCsv:
    case kCst:
      if (enabled && target_reached_) sw |= 0x1000;
      reached = false;
      break;
    default:
      break;
  }
  if (reached) sw |= 0x0400;
  return sw;
}

void DriveModel::write_locked(ObjectValues& od) {
  od.set(kStatusword, 0, statusword_locked());
  od.set(kModesDisplay, 0, mode_);
  od.set(kPositionActual, 0, clamp32(actual_ + shift_));
  od.set(kPositionDemand, 0, clamp32(demand_ + shift_));
  od.set(kVelocityActual, 0, clamp32(actual_v_));
  od.set(kTorqueActual, 0, std::clamp<long long>(std::llround(torque_), -32768, 32767));
  od.set(kFollowingErrorActual, 0, clamp32(demand_ - actual_));
  od.set(kDigitalInputs, 0,
         (switch_active_locked(0, actual_) ? 1 : 0) | (switch_active_locked(1, actual_) ? 2 : 0) |
             (switch_active_locked(2, actual_) ? 4 : 0));
}

void DriveModel::restart(ObjectValues& od) {
  std::lock_guard<std::mutex> lk(mx_);
  // The application starts again: the axis is where it is, on its own scale.
  state_ = SimDriveState::kNotReadyToSwitchOn;
  booted_ = false;
  state_since_ = now_;
  cw_ = 0;
  mode_ = 0;
  demand_ = actual_;
  demand_v_ = actual_v_ = 0;
  shift_ = 0;
  torque_ = 0;
  fault_ = pending_fault_ = DriveFault::kNone;
  follow_since_ = in_window_since_ = -1;
  following_error_ = internal_limit_ = target_reached_ = false;
  current_ = queued_ = SetPoint{};
  last_target_ = actual_;
  ack_ = ack_release_ = false;
  homing_ = Homing::kIdle;
  csp_target_ = demand_;
  csp_step_ = 0;
  emergencies_.clear();
  write_locked(od);
}

std::vector<Emergency> DriveModel::take_emergencies() {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<Emergency> out;
  out.swap(emergencies_);
  return out;
}

// ---- other threads ------------------------------------------------------------------------

void DriveModel::inject_fault(DriveFault f) {
  std::lock_guard<std::mutex> lk(mx_);
  if (f != DriveFault::kNone) pending_fault_ = f;
}

void DriveModel::block(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  blocked_ = on;
}

void DriveModel::set_warning(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  warning_ = on;
}

SimDriveState DriveModel::state() const {
  std::lock_guard<std::mutex> lk(mx_);
  return state_;
}

int64_t DriveModel::position() const {
  std::lock_guard<std::mutex> lk(mx_);
  return clamp32(actual_ + shift_);
}

int64_t DriveModel::velocity() const {
  std::lock_guard<std::mutex> lk(mx_);
  return clamp32(actual_v_);
}

int64_t DriveModel::physical_position() const {
  std::lock_guard<std::mutex> lk(mx_);
  return std::llround(actual_);
}

int8_t DriveModel::mode() const {
  std::lock_guard<std::mutex> lk(mx_);
  return mode_;
}

uint16_t DriveModel::statusword() const {
  std::lock_guard<std::mutex> lk(mx_);
  return statusword_locked();
}

int DriveModel::controlwords_seen() const {
  std::lock_guard<std::mutex> lk(mx_);
  return controlwords_;
}

int DriveModel::setpoints_taken() const {
  std::lock_guard<std::mutex> lk(mx_);
  return setpoints_;
}

int DriveModel::homings_done() const {
  std::lock_guard<std::mutex> lk(mx_);
  return homings_;
}

DriveFault DriveModel::fault() const {
  std::lock_guard<std::mutex> lk(mx_);
  return fault_;
}

// ---- the node -----------------------------------------------------------------------------

std::shared_ptr<DriveModel> make_drive(NodeLogic& node, const DriveSimConfig& config) {
  canbus::ObjectDictionary od;
  std::vector<std::string> errors;
  if (!canbus::ObjectDictionary::parse(kDriveEds, "drive402.eds", od, errors, node.node_id(),
                                       true)) {
    std::string why = "the built-in drive dictionary cannot be read:";
    for (const std::string& e : errors) why += " " + e;
    throw std::runtime_error(why);
  }
  node.load_dictionary(od);
  auto le32 = [](uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
  };
  node.set_object(kSoftwareLimits, 1, le32(static_cast<uint32_t>(config.min_position)));
  node.set_object(kSoftwareLimits, 2, le32(static_cast<uint32_t>(config.max_position)));
  // Each drive on a net has its own LSS address.
  node.set_object(0x1018, 4, le32(static_cast<uint32_t>(node.node_id())));
  auto model = std::make_shared<DriveModel>(config);
  node.set_model(model);
  return model;
}

}  // namespace sim
