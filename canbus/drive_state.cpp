// The pure parts of the drive layer: the statusword decoded, the controlword of each command,
// the way through the power state machine, mode names, the drives' emergency texts and the
// default process data.
#include <cstdio>

#include "can_drive.h"
#include "can_ids.h"

namespace canbus {

DriveState drive_state(uint16_t sw) {
  // The profile's masks: bits 0..3 and 6 for the states that ignore bit 5, bits 0..3, 5 and 6
  // for the others.
  switch (sw & 0x4F) {
    case 0x00:
      return DriveState::kNotReadyToSwitchOn;
    case 0x40:
      return DriveState::kSwitchOnDisabled;
    case 0x0F:
      return DriveState::kFaultReactionActive;
    case 0x08:
      return DriveState::kFault;
    default:
      break;
  }
  switch (sw & 0x6F) {
    case 0x21:
      return DriveState::kReadyToSwitchOn;
    case 0x23:
      return DriveState::kSwitchedOn;
    case 0x27:
      return DriveState::kOperationEnabled;
    case 0x07:
      return DriveState::kQuickStopActive;
    default:
      return DriveState::kUnknown;
  }
}

const char* drive_state_name(DriveState s) {
  switch (s) {
    case DriveState::kNotReadyToSwitchOn:
      return "Not ready to switch on";
    case DriveState::kSwitchOnDisabled:
      return "Switch on disabled";
    case DriveState::kReadyToSwitchOn:
      return "Ready to switch on";
    case DriveState::kSwitchedOn:
      return "Switched on";
    case DriveState::kOperationEnabled:
      return "Operation enabled";
    case DriveState::kQuickStopActive:
      return "Quick stop active";
    case DriveState::kFaultReactionActive:
      return "Fault reaction active";
    case DriveState::kFault:
      return "Fault";
    case DriveState::kUnknown:
      break;
  }
  return "Unknown";
}

const char* drive_command_name(DriveCommand c) {
  switch (c) {
    case DriveCommand::kShutdown:
      return "shutdown";
    case DriveCommand::kSwitchOn:
      return "switch on";
    case DriveCommand::kEnableOperation:
      return "enable operation";
    case DriveCommand::kDisableVoltage:
      return "disable voltage";
    case DriveCommand::kQuickStop:
      return "quick stop";
    case DriveCommand::kDisableOperation:
      return "disable operation";
    case DriveCommand::kFaultReset:
      return "fault reset";
  }
  return "?";
}

uint16_t controlword_for(DriveCommand c, uint16_t current) {
  uint16_t bits = 0;
  switch (c) {
    case DriveCommand::kShutdown:
      bits = 0x06;
      break;
    case DriveCommand::kSwitchOn:
    case DriveCommand::kDisableOperation:
      bits = 0x07;
      break;
    case DriveCommand::kEnableOperation:
      bits = 0x0F;
      break;
    case DriveCommand::kDisableVoltage:
      bits = 0x00;
      break;
    case DriveCommand::kQuickStop:
      bits = 0x02;
      break;
    case DriveCommand::kFaultReset:
      bits = controlword::kFaultReset;
      break;
  }
  return static_cast<uint16_t>((current & ~controlword::kStateBits) | bits);
}

namespace {
// Place on the main path Switch on disabled -> Ready -> Switched on -> Enabled; -1 elsewhere.
int rank(DriveState s) {
  switch (s) {
    case DriveState::kSwitchOnDisabled:
      return 0;
    case DriveState::kReadyToSwitchOn:
      return 1;
    case DriveState::kSwitchedOn:
      return 2;
    case DriveState::kOperationEnabled:
      return 3;
    default:
      return -1;
  }
}
}  // namespace

bool next_drive_command(DriveState from, DriveState to, DriveCommand& out) {
  if (from == to) return false;
  switch (from) {
    case DriveState::kUnknown:
    case DriveState::kNotReadyToSwitchOn:
    case DriveState::kFaultReactionActive:
      return false;  // they pass by themselves (or the statusword is not known)
    case DriveState::kFault:
      out = DriveCommand::kFaultReset;
      return true;
    case DriveState::kQuickStopActive:
      if (rank(to) < 0) return false;
      out = to == DriveState::kOperationEnabled ? DriveCommand::kEnableOperation
                                                : DriveCommand::kDisableVoltage;
      return true;
    default:
      break;
  }
  const int f = rank(from);
  if (to == DriveState::kQuickStopActive) {
    // Quick stop leads there from Operation enabled only: go there first.
    if (from == DriveState::kOperationEnabled) {
      out = DriveCommand::kQuickStop;
      return true;
    }
    return next_drive_command(from, DriveState::kOperationEnabled, out);
  }
  const int t = rank(to);
  if (t < 0) return false;  // Fault, Not ready ...: no command leads there
  if (t > f) {
    static const DriveCommand up[] = {DriveCommand::kShutdown, DriveCommand::kSwitchOn,
                                      DriveCommand::kEnableOperation};
    out = up[f];
    return true;
  }
  // Down: each state has a direct command to each lower one.
  switch (t) {
    case 0:
      out = DriveCommand::kDisableVoltage;
      break;
    case 1:
      out = DriveCommand::kShutdown;
      break;
    default:
      out = DriveCommand::kDisableOperation;
      break;
  }
  return true;
}

std::string drive_mode_name(int8_t mode) {
  switch (static_cast<DriveMode>(mode)) {
    case DriveMode::kNone:
      return "no mode";
    case DriveMode::kProfilePosition:
      return "profile position";
    case DriveMode::kVelocity:
      return "velocity";
    case DriveMode::kProfileVelocity:
      return "profile velocity";
    case DriveMode::kProfileTorque:
      return "profile torque";
    case DriveMode::kHoming:
      return "homing";
    case DriveMode::kInterpolatedPosition:
      return "interpolated position";
    case DriveMode::kCyclicSyncPosition:
      return "cyclic synchronous position";
    case DriveMode::kCyclicSyncVelocity:
      return "cyclic synchronous velocity";
    case DriveMode::kCyclicSyncTorque:
      return "cyclic synchronous torque";
  }
  if (mode < 0) return "vendor mode " + std::to_string(mode);
  return "mode " + std::to_string(mode);
}

uint32_t supported_mode_bit(int8_t mode) {
  if (mode < 1 || mode > 10) return 0;
  return 1u << (mode - 1);
}

std::string drive_emcy_text(uint16_t code) {
  struct Text {
    uint16_t code;
    const char* text;
  };
  static const Text texts[] = {
      {0x0000, "no error"},
      {0x1000, "generic error"},
      {0x2220, "continuous over-current (device)"},
      {0x2310, "continuous over-current"},
      {0x2311, "continuous over-current no. 1"},
      {0x2312, "continuous over-current no. 2"},
      {0x2320, "short circuit or earth leakage (motor side)"},
      {0x2330, "earth leakage (motor side)"},
      {0x2340, "short circuit (motor side)"},
      {0x3110, "mains over-voltage"},
      {0x3120, "mains under-voltage"},
      {0x3130, "phase failure"},
      {0x3210, "DC link over-voltage"},
      {0x3220, "DC link under-voltage"},
      {0x4110, "excess ambient temperature"},
      {0x4210, "excess device temperature"},
      {0x4310, "drive temperature"},
      {0x4410, "supply temperature"},
      {0x5530, "non-volatile memory"},
      {0x6010, "software reset (watchdog)"},
      {0x6320, "parameter error"},
      {0x7110, "brake chopper"},
      {0x7120, "motor"},
      {0x7121, "motor blocked"},
      {0x7303, "resolver 1 fault"},
      {0x7304, "resolver 2 fault"},
      {0x7305, "incremental sensor 1 fault"},
      {0x7306, "incremental sensor 2 fault"},
      {0x7310, "speed"},
      {0x7320, "position"},
      {0x8110, "CAN overrun"},
      {0x8130, "life guard or heartbeat error"},
      {0x8210, "PDO not processed (length)"},
      {0x8311, "excess torque"},
      {0x8400, "velocity controller"},
      {0x8500, "position controller"},
      {0x8611, "following error"},
      {0x8612, "reference limit"},
      {0xFF00, "device specific"},
  };
  for (const Text& t : texts) {
    if (t.code == code) return t.text;
  }
  return emcy_code_text(code);
}

std::vector<PdoConfig> default_drive_pdos(int axis, int event_ms, bool sync, int node) {
  const auto off = static_cast<uint16_t>(kDriveAxisOffset * axis);
  auto entry = [off](uint16_t index, uint8_t bits, DataType t, const char* name) {
    return PdoEntry{static_cast<uint16_t>(index + off), 0, bits, t, name};
  };
  auto pdo = [&](PdoKind kind, int n, uint8_t type, PdoMapping mapping) {
    PdoConfig c;
    c.kind = kind;
    c.number = 4 * axis + n;
    if (axis > 0 && node > 0) {
      c.cob_id = (kind == PdoKind::kTpdo ? cob_tpdo(n, node) : cob_rpdo(n, node)) +
                 0x40u * static_cast<uint32_t>(axis);
    }
    c.transmission_type = type;
    c.mapping = std::move(mapping);
    return c;
  };
  using namespace drive_obj;
  std::vector<PdoConfig> out;
  out.push_back(pdo(PdoKind::kTpdo, 1, 0xFE,
                    {entry(kStatusword, 16, DataType::kUnsigned16, "statusword"),
                     entry(kModesDisplay, 8, DataType::kInteger8, "modes of operation display")}));
  PdoConfig t2 = pdo(PdoKind::kTpdo, 2, sync ? 1 : 0xFE,
                     {entry(kPositionActual, 32, DataType::kInteger32, "position actual value"),
                      entry(kVelocityActual, 32, DataType::kInteger32, "velocity actual value")});
  if (!sync) t2.event_timer_ms = static_cast<uint16_t>(event_ms > 0 ? event_ms : 0);
  if (!sync) t2.inhibit_time_100us = static_cast<uint16_t>(event_ms > 0 ? event_ms * 10 : 0);
  out.push_back(t2);
  out.push_back(pdo(PdoKind::kRpdo, 1, 0xFF,
                    {entry(kControlword, 16, DataType::kUnsigned16, "controlword"),
                     entry(kModesOfOperation, 8, DataType::kInteger8, "modes of operation")}));
  out.push_back(pdo(PdoKind::kRpdo, 2, 0xFF,
                    {entry(kTargetPosition, 32, DataType::kInteger32, "target position"),
                     entry(kProfileVelocity, 32, DataType::kUnsigned32, "profile velocity")}));
  out.push_back(pdo(PdoKind::kRpdo, 3, 0xFF,
                    {entry(kTargetVelocity, 32, DataType::kInteger32, "target velocity")}));
  out.push_back(pdo(PdoKind::kRpdo, 4, 1,
                    {entry(kTargetPosition, 32, DataType::kInteger32, "target position")}));
  return out;
}

const char* drive_event_name(DriveEvent::Kind k) {
  switch (k) {
    case DriveEvent::kState:
      return "state";
    case DriveEvent::kModeChanged:
      return "mode-changed";
    case DriveEvent::kTargetReached:
      return "target-reached";
    case DriveEvent::kHomingDone:
      return "homing-done";
    case DriveEvent::kHomingFailed:
      return "homing-failed";
    case DriveEvent::kFollowingError:
      return "following-error";
    case DriveEvent::kWarning:
      return "warning";
    case DriveEvent::kFault:
      return "fault";
    case DriveEvent::kDone:
      return "done";
    case DriveEvent::kFailed:
      return "failed";
  }
  return "?";
}

}  // namespace canbus
