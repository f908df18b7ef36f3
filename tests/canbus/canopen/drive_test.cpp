// Motor drives: the statusword and controlword tables, the way through the power state machine,
// texts and default process data; then the Drive against the simulated drive on the virtual
// bus, stepped by the test on the virtual clock (the drive model steps every millisecond).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "can_drive.h"

namespace canbus_test {
namespace {

using canbus::DriveCommand;
using canbus::DriveState;
using Texts = std::vector<std::string>;

// --- Pure parts -------------------------------------------------------------------------------

TEST(DriveStatusword, DecodesEveryStateWhateverTheOtherBits) {
  struct Case {
    uint16_t sw;
    DriveState want;
  } cases[] = {
      {0x0000, DriveState::kNotReadyToSwitchOn},
      {0x0020, DriveState::kNotReadyToSwitchOn},
      {0x0040, DriveState::kSwitchOnDisabled},
      {0x0260, DriveState::kSwitchOnDisabled},
      {0x0021, DriveState::kReadyToSwitchOn},
      {0x0231, DriveState::kReadyToSwitchOn},
      {0x0023, DriveState::kSwitchedOn},
      {0x0233, DriveState::kSwitchedOn},
      {0x0027, DriveState::kOperationEnabled},
      {0x1637, DriveState::kOperationEnabled},
      {0x0007, DriveState::kQuickStopActive},
      {0x0217, DriveState::kQuickStopActive},
      {0x000F, DriveState::kFaultReactionActive},
      {0x002F, DriveState::kFaultReactionActive},
      {0x0008, DriveState::kFault},
      {0x0228, DriveState::kFault},
      {0x0001, DriveState::kUnknown},
      {0x0061, DriveState::kUnknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(canbus::drive_state(c.sw), c.want) << std::hex << c.sw;
  }
  EXPECT_STREQ(canbus::drive_state_name(DriveState::kSwitchOnDisabled), "Switch on disabled");
  EXPECT_STREQ(canbus::drive_state_name(DriveState::kUnknown), "Unknown");
}

TEST(DriveControlword, CommandsKeepTheBitsOutsideTheStateBits) {
  struct Case {
    DriveCommand c;
    uint16_t current;
    uint16_t want;
  } cases[] = {
      {DriveCommand::kShutdown, 0x0000, 0x0006},
      {DriveCommand::kSwitchOn, 0x0006, 0x0007},
      {DriveCommand::kEnableOperation, 0x0007, 0x000F},
      {DriveCommand::kDisableVoltage, 0x010F, 0x0100},
      {DriveCommand::kQuickStop, 0x000F, 0x0002},
      {DriveCommand::kDisableOperation, 0x001F, 0x0017},
      {DriveCommand::kFaultReset, 0x0100, 0x0180},
      {DriveCommand::kShutdown, 0x0080, 0x0006},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(canbus::controlword_for(c.c, c.current), c.want) << canbus::drive_command_name(c.c);
  }
}

// An ideal drive: each command's state, as the profile's state machine has it.
DriveState ideal(DriveState s, DriveCommand c) {
  switch (c) {
    case DriveCommand::kShutdown:
      return DriveState::kReadyToSwitchOn;
    case DriveCommand::kSwitchOn:
    case DriveCommand::kDisableOperation:
      return DriveState::kSwitchedOn;
    case DriveCommand::kEnableOperation:
      return DriveState::kOperationEnabled;
    case DriveCommand::kDisableVoltage:
      return DriveState::kSwitchOnDisabled;
    case DriveCommand::kQuickStop:
      return s == DriveState::kOperationEnabled ? DriveState::kQuickStopActive
                                                : DriveState::kSwitchOnDisabled;
    case DriveCommand::kFaultReset:
      return DriveState::kSwitchOnDisabled;
  }
  return s;
}

std::string walk(DriveState from, DriveState to) {
  std::string out;
  for (int i = 0; i < 8; ++i) {
    DriveCommand c;
    if (!canbus::next_drive_command(from, to, c)) break;
    out += std::string(out.empty() ? "" : ", ") + canbus::drive_command_name(c);
    from = ideal(from, c);
  }
  return from == to ? out : out + " (stuck in " + canbus::drive_state_name(from) + ")";
}

TEST(DrivePath, FromEveryStateToOperationEnabledAndBack) {
  struct Case {
    DriveState s;
    const char* up;    // to Operation enabled
    const char* down;  // from there back to s
  } cases[] = {
      {DriveState::kSwitchOnDisabled, "shutdown, switch on, enable operation", "disable voltage"},
      {DriveState::kReadyToSwitchOn, "switch on, enable operation", "shutdown"},
      {DriveState::kSwitchedOn, "enable operation", "disable operation"},
      {DriveState::kOperationEnabled, "", ""},
      {DriveState::kQuickStopActive, "enable operation", "quick stop"},
      {DriveState::kFault, "fault reset, shutdown, switch on, enable operation",
       " (stuck in Operation enabled)"},
      {DriveState::kNotReadyToSwitchOn, " (stuck in Not ready to switch on)",
       " (stuck in Operation enabled)"},
      {DriveState::kFaultReactionActive, " (stuck in Fault reaction active)",
       " (stuck in Operation enabled)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walk(c.s, DriveState::kOperationEnabled), c.up) << canbus::drive_state_name(c.s);
    EXPECT_EQ(walk(DriveState::kOperationEnabled, c.s), c.down) << canbus::drive_state_name(c.s);
  }
  // From Quick stop active down, and to Quick stop active from below (through Enabled).
  EXPECT_EQ(walk(DriveState::kQuickStopActive, DriveState::kReadyToSwitchOn),
            "disable voltage, shutdown");
  EXPECT_EQ(walk(DriveState::kSwitchedOn, DriveState::kQuickStopActive),
            "enable operation, quick stop");
}

TEST(DriveTexts, ModesEmergenciesEvents) {
  EXPECT_EQ(canbus::drive_mode_name(1), "profile position");
  EXPECT_EQ(canbus::drive_mode_name(8), "cyclic synchronous position");
  EXPECT_EQ(canbus::drive_mode_name(-3), "vendor mode -3");
  EXPECT_EQ(canbus::supported_mode_bit(6), 0x20u);
  EXPECT_EQ(canbus::supported_mode_bit(-1), 0u);
  const std::map<uint16_t, std::string> texts = {
      {0x2310, "continuous over-current"}, {0x3210, "DC link over-voltage"},
      {0x4310, "drive temperature"},       {0x7305, "incremental sensor 1 fault"},
      {0x8611, "following error"},
  };
  for (const auto& [code, text] : texts) EXPECT_EQ(canbus::drive_emcy_text(code), text);
  EXPECT_EQ(canbus::drive_emcy_text(0x5000), canbus::emcy_code_text(0x5000));
  EXPECT_STREQ(canbus::drive_event_name(canbus::DriveEvent::kTargetReached), "target-reached");
}

TEST(DrivePdos, DefaultMappingOfEachAxis) {
  auto describe = [](const std::vector<canbus::PdoConfig>& pdos) {
    Texts out;
    for (const auto& p : pdos) {
      char t[64];
      std::snprintf(t, sizeof t, "%s 0x%03X %u:", canbus::pdo_name(p.kind, p.number).c_str(),
                    p.cob_id, p.transmission_type);
      std::string s = t;
      for (const auto& e : p.mapping) {
        std::snprintf(t, sizeof t, " %04X/%u", e.index, e.bits);
        s += t;
      }
      out.push_back(s);
    }
    return out;
  };
  EXPECT_EQ(describe(canbus::default_drive_pdos()),
            (Texts{"TPDO1 0x000 254: 6041/16 6061/8", "TPDO2 0x000 254: 6064/32 606C/32",
                   "RPDO1 0x000 255: 6040/16 6060/8", "RPDO2 0x000 255: 607A/32 6081/32",
                   "RPDO3 0x000 255: 60FF/32", "RPDO4 0x000 1: 607A/32"}));
  EXPECT_EQ(describe(canbus::default_drive_pdos(1, 10, true, 5)),
            (Texts{"TPDO5 0x1C5 254: 6841/16 6861/8", "TPDO6 0x2C5 1: 6864/32 686C/32",
                   "RPDO5 0x245 255: 6840/16 6860/8", "RPDO6 0x345 255: 687A/32 6881/32",
                   "RPDO7 0x445 255: 68FF/32", "RPDO8 0x545 1: 687A/32"}));
}

}  // namespace
}  // namespace canbus_test
