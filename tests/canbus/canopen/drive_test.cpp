// Motor drives: the statusword and controlword tables, the way through the power state machine,
// texts and default process data; then the Drive against the simulated drive on the virtual
// bus, stepped by the test on the virtual clock (the drive model steps every millisecond).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "can_drive.h"
#include "canbus/io/node_harness.h"
#include "canopen_node.h"
#include "drive_model.h"
#include "support/canbus_fixture.h"

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

// --- Against the simulated drive ---------------------------------------------------------------

constexpr int kLine = 1;
constexpr int kNet = net_of(kLine);
constexpr int kNode = 5;
using canbus::DriveEvent;
using canbus::DriveMode;

// A simulated drive on the virtual bus, its node property supervised by a monitor, and a Drive
// recording its events. Time moves a millisecond at a time: the drive model steps and sends its
// TPDOs, the monitor polls (handing them to the Drive), the Drive polls.
class DriveTest : public CanbusTest {
 protected:
  void SetUp() override {
    CanbusTest::SetUp();
    loc_ = std::make_unique<EqFct>("DRIVE.TEST");
  }
  void TearDown() override {
    drives_.clear();
    mon_.reset();
    sims_.clear();
    nodes_.clear();
    loc_.reset();
    CanbusTest::TearDown();
  }

  // A drive at node `node` (the first one also made the fixture's sim_/drive_).
  canbus::Drive& add(int node, sim::DriveSimConfig sc = {}, canbus::DriveConfig dc = {},
                     bool start = true) {
    nodes_.push_back(make_node(*loc_, "NODE" + std::to_string(node), iiii(kLine, node)));
    D_can& n = *nodes_.back();
    EXPECT_EQ(n.init(0x580 + node), 0);
    sims_.push_back(std::make_unique<sim::VbusNode>(kNet, node));
    models_.push_back(sim::make_drive(sims_.back()->logic(), sc));
    if (!mon_) mon_ = std::make_unique<canbus::NodeMonitor>();
    dc.monitor = mon_.get();
    if (dc.scale.position == 1 && dc.scale.unit.empty()) dc.scale = {1000, 1000, "mm"};
    drives_.push_back(std::make_unique<canbus::Drive>(n, dc));
    canbus::Drive& d = *drives_.back();
    canbus::NodeConfig nc;
    nc.mode = canbus::Supervision::kNone;
    EXPECT_EQ(mon_->add(&n, nc, d.callbacks()), 0);
    d.set_listener([this, node](const DriveEvent& e) { record(node, e); });
    tick(1);  // leaves Not ready to switch on
    const canbus::DriveResult r = d.setup();
    EXPECT_TRUE(r.ok) << r.text;
    if (start) {
      EXPECT_EQ(n.start_node(), 0);
    }
    tick(1);
    events_.clear();
    return d;
  }
  canbus::Drive& drive() { return *drives_.front(); }
  sim::DriveModel& model() { return *models_.front(); }
  sim::VbusNode& sim() { return *sims_.front(); }

  void record(int node, const DriveEvent& e) {
    std::string t = std::string(canbus::drive_event_name(e.kind));
    if (drives_.size() > 1) t = std::to_string(node) + " " + t;
    switch (e.kind) {
      case DriveEvent::kState:
        t += std::string(" ") + canbus::drive_state_name(e.state);
        break;
      case DriveEvent::kModeChanged:
        t += " " + canbus::drive_mode_name(e.mode);
        break;
      case DriveEvent::kWarning:
        t += e.on ? " on" : " off";
        break;
      default:
        if (!e.text.empty()) t += " " + e.text;
    }
    std::lock_guard<std::mutex> lk(mx_);
    events_.push_back(t);
  }
  Texts events() {
    std::lock_guard<std::mutex> lk(mx_);
    Texts t;
    t.swap(events_);
    return t;
  }
  // Events of one kind (and with `prefix`) since the last events().
  static Texts only(const Texts& all, const std::string& prefix) {
    Texts out;
    for (const std::string& s : all) {
      if (s.rfind(prefix, 0) == 0) out.push_back(s);
    }
    return out;
  }

  // `ms` milliseconds, one at a time.
  void tick(int ms) {
    for (int i = 0; i < ms; ++i) {
      clock().advance(1'000'000);
      for (auto& s : sims_) s->pdo_tick();
      if (mon_) mon_->poll();
      for (auto& d : drives_) d->poll(clock().now_ns());
    }
  }
  // Until the last operation of the first drive ended (at most `ms`): its result.
  canbus::DriveResult finish(int ms = 2000) {
    for (int i = 0; i < ms; ++i) {
      canbus::DriveResult r = drive().wait(0);
      if (!r.pending) return r;
      tick(1);
    }
    return drive().wait(0);
  }
  // The controlwords sent on RPDO1 of node kNode since the last clear.
  Texts controlwords() {
    Texts out;
    for (const CMSG& m : vbus::sent(kNet)) {
      if (m.id == static_cast<int32_t>(0x200 + kNode)) {
        char t[32];
        std::snprintf(t, sizeof t, "%04X/%d", m.data[0] | m.data[1] << 8,
                      static_cast<int8_t>(m.data[2]));
        out.push_back(t);
      }
    }
    return out;
  }
  void enable() {
    ASSERT_TRUE(drive().enable());
    const canbus::DriveResult r = finish();
    ASSERT_TRUE(r.ok) << r.text;
    events();
  }

  std::unique_ptr<EqFct> loc_;
  std::vector<std::unique_ptr<D_can>> nodes_;
  std::vector<std::unique_ptr<sim::VbusNode>> sims_;
  std::vector<std::shared_ptr<sim::DriveModel>> models_;
  std::unique_ptr<canbus::NodeMonitor> mon_;
  std::vector<std::unique_ptr<canbus::Drive>> drives_;
  std::mutex mx_;
  Texts events_;
};

TEST_F(DriveTest, SetUpReadsTheDriveAndEnableWalksThePath) {
  canbus::Drive& d = add(kNode);
  canbus::DriveStatus s = d.status();
  EXPECT_EQ(s.state, DriveState::kSwitchOnDisabled);
  EXPECT_TRUE(s.by_pdo);
  EXPECT_NE(s.supported_modes & 0x20u, 0u);
  vbus::clear_sent(kNet);
  ASSERT_TRUE(d.enable());
  const canbus::DriveResult r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "in Operation enabled");
  EXPECT_EQ(only(events(), "state"),
            (Texts{"state Ready to switch on", "state Switched on", "state Operation enabled"}));
  EXPECT_EQ(controlwords(), (Texts{"0006/0", "0007/0", "000F/0"}));
}

std::string le32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// Every state reached by the Drive itself, then Operation enabled and back.
struct PathCase {
  const char* name;
  DriveState start;
  Texts up;    // states on the way to Operation enabled
  Texts down;  // and back to `start`
};
void PrintTo(const PathCase& c, std::ostream* os) {
  *os << c.name;
}
class DrivePathTest : public DriveTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(DrivePathTest, EveryStateToOperationEnabledAndBack) {
  const PathCase& c = GetParam();
  canbus::Drive& d = add(kNode);
  // Quick stop option 6: the drive stays in Quick stop active.
  ASSERT_EQ(canbus::ObjectAccess(*nodes_[0])
                .write(0x605A, 0, canbus::DataType::kInteger16, canbus::Value::of_int(6)),
            0);
  if (c.start == DriveState::kFault) {
    enable();
    model().inject_fault(sim::DriveFault::kOverTemperature);
    tick(20);
  } else if (c.start == DriveState::kQuickStopActive) {
    enable();
    ASSERT_TRUE(d.quick_stop());
    EXPECT_EQ(finish().text, "quick stop: Quick stop active");
  } else if (c.start != DriveState::kSwitchOnDisabled) {
    ASSERT_TRUE(d.go_to(c.start));
    ASSERT_TRUE(finish().ok);
  }
  ASSERT_EQ(d.status().state, c.start);
  events();
  ASSERT_TRUE(d.enable());
  canbus::DriveResult r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(only(events(), "state"), c.up);
  if (c.start == DriveState::kFault) {
    std::string why;
    EXPECT_FALSE(d.go_to(DriveState::kFault, &why));
    EXPECT_EQ(why, "no command leads to Fault");
    return;
  }
  ASSERT_TRUE(d.go_to(c.start));
  r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(only(events(), "state"), c.down);
  EXPECT_EQ(d.status().state, c.start);
}

INSTANTIATE_TEST_SUITE_P(
    States, DrivePathTest,
    ::testing::Values(PathCase{"SwitchOnDisabled",
                               DriveState::kSwitchOnDisabled,
                               {"state Ready to switch on", "state Switched on",
                                "state Operation enabled"},
                               {"state Switch on disabled"}},
                      PathCase{"ReadyToSwitchOn",
                               DriveState::kReadyToSwitchOn,
                               {"state Switched on", "state Operation enabled"},
                               {"state Ready to switch on"}},
                      PathCase{"SwitchedOn",
                               DriveState::kSwitchedOn,
                               {"state Operation enabled"},
                               {"state Switched on"}},
                      PathCase{"OperationEnabled", DriveState::kOperationEnabled, {}, {}},
                      PathCase{"QuickStopActive",
                               DriveState::kQuickStopActive,
                               {"state Operation enabled"},
                               {"state Quick stop active"}},
                      PathCase{"Fault",
                               DriveState::kFault,
                               {"state Switch on disabled", "state Ready to switch on",
                                "state Switched on", "state Operation enabled"},
                               {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Fault reset as a rising edge of bit 7, for a drive that needs it and one that does not.
class DriveFaultResetTest : public DriveTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(DriveFaultResetTest, RisingEdgeThenSwitchOnDisabled) {
  sim::DriveSimConfig sc;
  sc.quirks = GetParam();
  canbus::Drive& d = add(kNode, sc);
  enable();
  model().inject_fault(sim::DriveFault::kOverVoltage);
  tick(20);
  const Texts ev = events();
  EXPECT_EQ(only(ev, "fault"), Texts{"fault Fault: 0x3210 DC link over-voltage"});
  ASSERT_TRUE(d.status().last_emcy.has_value());
  EXPECT_EQ(d.status().last_emcy->code, 0x3210);
  vbus::clear_sent(kNet);
  ASSERT_TRUE(d.fault_reset());
  const canbus::DriveResult r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "in Switch on disabled");
  // The word with bit 7 clear, then the one with it set (the state bits of disable voltage).
  EXPECT_EQ(controlwords(), (Texts{"000F/0", "0080/0"}));
  EXPECT_EQ(d.status().state, DriveState::kSwitchOnDisabled);
  // Not in Fault: nothing to do.
  ASSERT_TRUE(d.fault_reset());
  EXPECT_EQ(finish().text, "no fault: Switch on disabled");
  // The error reset's emergency (code 0) clears the last one: no later fault names it.
  d.on_emergency(canbus::Emcy{});
  EXPECT_FALSE(d.status().last_emcy.has_value());
}

INSTANTIATE_TEST_SUITE_P(Quirk, DriveFaultResetTest,
                         ::testing::Values(0u, unsigned{sim::kQuirkFaultResetEdge}),
                         [](const auto& info) { return info.param ? "NeedsEdge" : "AnyWord"; });

TEST_F(DriveTest, QuickStopEndsInSwitchOnDisabledWithOptionTwo) {
  canbus::Drive& d = add(kNode);
  enable();
  ASSERT_TRUE(d.jog(20));
  const uint64_t jog_op = d.operation();
  tick(100);
  std::string why;
  EXPECT_FALSE(d.move_to(1, std::nullopt, false, false, &why));  // the jog runs
  EXPECT_EQ(why, "another operation runs: jog at 20.000 mm/s");
  ASSERT_TRUE(d.quick_stop());  // replaces it
  EXPECT_EQ(finish().text, "quick stop: Quick stop active");
  tick(100);  // braked, and by option 2 on to Switch on disabled
  EXPECT_EQ(d.status().state, DriveState::kSwitchOnDisabled);
  EXPECT_EQ(only(events(), "failed"), Texts{"failed jog at 20.000 mm/s: replaced by quick stop"});
  // The replaced jog's own result, whatever ended after it.
  const canbus::DriveResult jr = d.wait(0, jog_op);
  EXPECT_FALSE(jr.ok);
  EXPECT_EQ(jr.text, "jog at 20.000 mm/s: replaced by quick stop");
  EXPECT_TRUE(d.wait(0, d.operation()).ok);
  EXPECT_EQ(d.wait(0, d.operation() + 1).text, "no operation " + std::to_string(jog_op + 2));
  // Quick stop in Switched on: the drive goes to Switch on disabled, and that ends it well.
  ASSERT_TRUE(d.go_to(DriveState::kSwitchedOn));
  ASSERT_TRUE(finish().ok);
  ASSERT_TRUE(d.quick_stop());
  const canbus::DriveResult qr = finish(50);
  EXPECT_TRUE(qr.ok);
  EXPECT_EQ(qr.text, "quick stop: Switch on disabled");
}

TEST_F(DriveTest, FollowingErrorFaultWithItsEmergencyAndTheFailureTexts) {
  canbus::Drive& d = add(kNode);
  enable();
  model().block(true);
  ASSERT_TRUE(d.move_to(50));
  const canbus::DriveResult r = finish(3000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "went to Fault: 0x8611 following error");
  const Texts ev = events();
  EXPECT_EQ(only(ev, "following-error"), Texts{"following-error"});
  EXPECT_EQ(only(ev, "fault"), Texts{"fault Fault: 0x8611 following error"});
  // A drive that does not take the reset: the walk names where it stayed.
  tick(20);
  sim().logic().set_silent(true);
  ASSERT_TRUE(d.enable());
  EXPECT_EQ(finish().text, "stayed in Fault: 0x8611 following error");
}

// Homing by every method the simulated drive has: the position ends at the home offset.
class DriveHomingTest : public DriveTest, public ::testing::WithParamInterface<int> {};

TEST_P(DriveHomingTest, EndsAtTheHomeOffset) {
  canbus::DriveConfig dc;
  dc.homing_speed_switch = 100000;
  dc.homing_speed_zero = 20000;
  dc.homing_acceleration = 1000000;
  dc.home_offset = 1500;
  sim::DriveSimConfig sc;
  sc.quirks = sim::kQuirkHomingMethods;
  canbus::Drive& d = add(kNode, sc, dc);
  enable();
  ASSERT_TRUE(d.home(static_cast<int8_t>(GetParam())));
  const canbus::DriveResult r = finish(10000);
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "homing attained at 1.500 mm");
  EXPECT_EQ(model().position(), 1500);
  EXPECT_EQ(only(events(), "homing"), Texts{"homing-done"});
}

INSTANTIATE_TEST_SUITE_P(Methods, DriveHomingTest,
                         ::testing::Values(1, 2, 17, 18, 19, 20, 21, 22, 33, 34, 35, 37));

TEST_F(DriveTest, HomingErrorRefusedMethodAndADriveWithoutHoming) {
  canbus::DriveConfig dc;
  dc.homing_speed_switch = 100000;
  dc.homing_speed_zero = 100000;
  dc.homing_acceleration = 1000000;
  sim::DriveSimConfig sc;
  sc.home_switch = 200000;  // beyond the positive limit switch: never found
  sc.min_position = sc.max_position = 0;
  sc.quirks = sim::kQuirkHomingMethods;
  sc.homing_methods = {1, 20};
  canbus::Drive& d = add(kNode, sc, dc);
  enable();
  std::string why;
  EXPECT_FALSE(d.home(int8_t{-3}, &why));  // a vendor method this drive does not take
  EXPECT_EQ(why,
            "homing: 0x6098: SDO abort 0x06090030: Invalid value for parameter (download only)");
  ASSERT_TRUE(d.home(int8_t{20}));
  const canbus::DriveResult r = finish(10000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "homing error");
  EXPECT_EQ(only(events(), "homing"), Texts{"homing-failed"});
  // Without homing in 0x6502: refused, nothing sent.
  sims_.clear();
  drives_.clear();
  mon_.reset();
  nodes_.clear();
  models_.clear();
  vbus::reset();
  nodes_.push_back(make_node(*loc_, "NODE", iiii(kLine, kNode)));
  ASSERT_EQ(nodes_[0]->init(0x580 + kNode), 0);
  sims_.push_back(std::make_unique<sim::VbusNode>(kNet, kNode));
  models_.push_back(sim::make_drive(sims_[0]->logic()));
  sims_[0]->logic().set_object(0x6502, 0, le32(0x38D));
  drives_.push_back(std::make_unique<canbus::Drive>(*nodes_[0]));
  tick(1);
  ASSERT_TRUE(drive().setup().ok);
  const size_t sent = vbus::sent(kNet).size();
  EXPECT_FALSE(drive().home(std::nullopt, &why));
  EXPECT_EQ(why, "the drive has no homing mode (0x6502)");
  EXPECT_EQ(vbus::sent(kNet).size(), sent);
}

TEST_F(DriveTest, ProfilePositionAbsoluteRelativeAndChangeSetImmediately) {
  canbus::DriveConfig dc;
  dc.profile_velocity = 40;  // mm/s
  dc.profile_acceleration = 400;
  dc.profile_deceleration = 400;
  canbus::Drive& d = add(kNode, {}, dc);
  enable();
  vbus::clear_sent(kNet);
  ASSERT_TRUE(d.move_to(12.5));
  canbus::DriveResult r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "target reached at 12.500 mm");
  // Mode request, then the set-point with bit 4, bit 4 cleared on the acknowledge.
  EXPECT_EQ(controlwords(), (Texts{"000F/1", "001F/1", "000F/1"}));
  Texts ev = events();
  EXPECT_EQ(only(ev, "mode"), Texts{"mode-changed profile position"});
  EXPECT_EQ(only(ev, "target"), Texts{"target-reached target reached at 12.500 mm"});
  ASSERT_TRUE(d.move_to(2.5, std::nullopt, true));
  r = finish();
  EXPECT_EQ(r.text, "target reached at 15.000 mm");
  EXPECT_EQ(model().position(), 15000);
  // The statusword says reached before the next position comes: the text gives the target.
  ASSERT_TRUE(d.move_to(25));
  EXPECT_EQ(finish().text, "target reached at 25.000 mm");
  // The position is stamped by its own frames, the statusword's time stays.
  const int64_t sw_ns = d.status().updated_ns;
  tick(30);
  EXPECT_EQ(d.status().updated_ns, sw_ns);
  EXPECT_GT(d.status().position_ns, sw_ns);
  // A far target, replaced on the way by a near one at once.
  ASSERT_TRUE(d.move_to(90));
  tick(200);
  ASSERT_TRUE(d.move_to(20, std::nullopt, false, true));
  r = finish(5000);
  EXPECT_EQ(r.text, "target reached at 20.000 mm");
  EXPECT_EQ(only(events(), "failed"),
            Texts{"failed move to 90.000 mm: replaced by move to 20.000 mm"});
  // Beyond the software limits (the drive's 0x607D): refused before anything is sent.
  vbus::clear_sent(kNet);
  std::string why;
  EXPECT_FALSE(d.move_to(100.5, std::nullopt, false, false, &why));
  EXPECT_EQ(why, "target 100.500 mm beyond the software limits -100.000 mm .. 100.000 mm");
  EXPECT_FALSE(d.move_to(90, std::nullopt, true, false, &why));
  EXPECT_TRUE(vbus::sent(kNet).empty());
}

TEST_F(DriveTest, SetPointHandshakeWithADriveThatHoldsTheAcknowledge) {
  sim::DriveSimConfig sc;
  sc.quirks = sim::kQuirkSetPointAckHeld;
  canbus::Drive& d = add(kNode, sc);
  enable();
  for (double target : {1.0, 2.0, 2.5}) {
    ASSERT_TRUE(d.move_to(target, std::nullopt, false, true));
    const canbus::DriveResult r = finish(3000);
    EXPECT_TRUE(r.ok) << r.text;
  }
  EXPECT_EQ(model().setpoints_taken(), 3);
  EXPECT_EQ(model().position(), 2500);
}

TEST_F(DriveTest, ProfileVelocityAndTorque) {
  canbus::Drive& d = add(kNode);
  enable();
  ASSERT_TRUE(d.jog(5));
  canbus::DriveResult r = finish();
  EXPECT_EQ(r.text, "velocity reached: 5.000 mm/s");
  EXPECT_EQ(model().velocity(), 5000);
  EXPECT_EQ(only(events(), "mode"), Texts{"mode-changed profile velocity"});
  ASSERT_TRUE(d.jog(2));
  EXPECT_EQ(finish().text, "velocity reached: 2.000 mm/s");
  ASSERT_TRUE(d.torque(300));
  r = finish();
  EXPECT_EQ(r.text, "torque 300 per mille");
  EXPECT_EQ(model().mode(), 4);
  EXPECT_EQ(*sim().logic().object(0x6071, 0), std::string("\x2C\x01", 2));
  model().set_warning(true);
  tick(5);
  model().set_warning(false);
  tick(5);
  EXPECT_EQ(only(events(), "warning"), (Texts{"warning on", "warning off"}));
}

// A mode switch with halt set: halt and the set-point bits cleared in a word of their own first,
// for a drive that switches anyway and for one that does not while halt is set.
class DriveModeSwitchTest : public DriveTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(DriveModeSwitchTest, HaltAndSetPointBitsClearedFirstAndTheRequestSentOnce) {
  sim::DriveSimConfig sc;
  sc.quirks = GetParam();
  canbus::Drive& d = add(kNode, sc);
  enable();
  ASSERT_TRUE(d.move_to(1, std::nullopt, true));  // leaves bit 6 (relative) in the word
  ASSERT_TRUE(finish().ok);
  ASSERT_TRUE(d.halt(true));
  vbus::clear_sent(kNet);
  ASSERT_TRUE(d.set_mode(DriveMode::kProfileVelocity));
  EXPECT_EQ(controlwords(), Texts{"000F/1"});  // halt and bit 6 cleared: was 014F/1
  d.poll(clock().now_ns());                    // the request goes out at the next progress
  std::string why;
  EXPECT_FALSE(d.set_mode(DriveMode::kProfileVelocity, &why));
  EXPECT_EQ(why, "profile velocity is requested already");
  for (int i = 0; i < 5; ++i) d.poll(clock().now_ns());
  const canbus::DriveResult r = finish();
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "mode profile velocity");
  EXPECT_EQ(controlwords(), (Texts{"000F/1", "000F/3"}));
  EXPECT_EQ(d.status().mode, 3);
}

INSTANTIATE_TEST_SUITE_P(Quirk, DriveModeSwitchTest,
                         ::testing::Values(0u, unsigned{sim::kQuirkHaltBlocksMode}),
                         [](const auto& info) { return info.param ? "HaltBlocks" : "Plain"; });

TEST_F(DriveTest, UnsupportedModeRefusedWithNothingSent) {
  canbus::Drive& d = add(kNode);
  enable();
  const size_t sent = vbus::sent(kNet).size();
  std::string why;
  EXPECT_FALSE(d.set_mode(DriveMode::kVelocity, &why));
  EXPECT_EQ(why, "velocity is not supported by the drive (0x6502)");
  EXPECT_FALSE(d.set_mode(DriveMode::kInterpolatedPosition, &why));
  EXPECT_EQ(vbus::sent(kNet).size(), sent);
  // A vendor mode is not described by 0x6502: asked for, and failed when not taken.
  ASSERT_TRUE(d.set_mode(int8_t{-2}));
  EXPECT_EQ(finish().text, "vendor mode -2 not taken: the drive shows no mode");
}

TEST_F(DriveTest, WithoutPdosBySdo) {
  canbus::DriveConfig dc;
  dc.use_pdos = false;
  canbus::Drive& d = add(kNode, {}, dc);
  EXPECT_FALSE(d.status().by_pdo);
  EXPECT_TRUE(d.pdos().empty());
  ASSERT_TRUE(d.enable());
  EXPECT_EQ(finish().text, "in Operation enabled");
  ASSERT_TRUE(d.move_to(0.5));
  EXPECT_EQ(finish().text, "target reached at 0.500 mm");
}

// The device description supplies the limits whatever the vendor calls the objects: the drive
// finds every object by its index.
TEST_F(DriveTest, ObjectsFoundByIndexWhateverTheNames) {
  for (const char* name : {"Controlword", "Control word", "controlword", "Controlword 1"}) {
    SCOPED_TRACE(name);
    const std::string eds = std::string("[6040]\nParameterName=") + name +
                            "\nObjectType=0x7\nDataType=0x0006\nAccessType=rww\nPDOMapping=1\n"
                            "[6041]\nParameterName=" +
                            name +
                            " status\nObjectType=0x7\nDataType=0x0006\nAccessType=ro\n"
                            "[607D]\nParameterName=" +
                            name +
                            " limits\nObjectType=0x8\nSubNumber=3\n"
                            "[607Dsub0]\nParameterName=n\nObjectType=0x7\nDataType=0x0005\n"
                            "AccessType=ro\nDefaultValue=2\n"
                            "[607Dsub1]\nParameterName=" +
                            name +
                            " min\nObjectType=0x7\nDataType=0x0004\nAccessType=rw\n"
                            "DefaultValue=-5000\n"
                            "[607Dsub2]\nParameterName=" +
                            name +
                            " max\nObjectType=0x7\nDataType=0x0004\nAccessType=rw\n"
                            "DefaultValue=5000\n";
    auto od = std::make_shared<canbus::ObjectDictionary>();
    std::vector<std::string> errors;
    ASSERT_TRUE(canbus::ObjectDictionary::parse(eds, "drive.eds", *od, errors))
        << ::testing::PrintToString(errors);
    canbus::DriveConfig dc;
    dc.dictionary = od;
    // This drive does not tell its limits by SDO: the file's are taken.
    sims_.clear();
    drives_.clear();
    mon_.reset();
    nodes_.clear();
    models_.clear();
    canbus::Drive& d = add(kNode, {}, dc, true);
    sims_[0]->logic().remove_object(0x607D, 1);
    sims_[0]->logic().remove_object(0x607D, 2);
    ASSERT_TRUE(d.setup().ok);
    enable();
    std::string why;
    EXPECT_FALSE(d.move_to(6, std::nullopt, false, false, &why));
    EXPECT_EQ(why, "target 6.000 mm beyond the software limits -5.000 mm .. 5.000 mm");
    ASSERT_TRUE(d.move_to(4));
    EXPECT_EQ(finish().text, "target reached at 4.000 mm");
  }
}

// Axis 1 of a drive: every object at index + 0x800 (here by SDO, from a node that has only
// those objects).
TEST_F(DriveTest, SecondAxisAtTheOffset) {
  nodes_.push_back(make_node(*loc_, "NODE", iiii(kLine, kNode)));
  ASSERT_EQ(nodes_[0]->init(0x580 + kNode), 0);
  sims_.push_back(std::make_unique<sim::VbusNode>(kNet, kNode));
  sim::NodeLogic& l = sims_[0]->logic();
  l.set_object(0x6840, 0, std::string("\0\0", 2));
  l.set_object(0x6841, 0, std::string("\x40\0", 2));
  l.set_object(0x6861, 0, "\x01");
  l.set_object(0x6864, 0, le32(1234));
  l.set_object(0x686C, 0, le32(0));
  canbus::DriveConfig dc;
  dc.axis = 1;
  dc.use_pdos = false;
  drives_.push_back(std::make_unique<canbus::Drive>(*nodes_[0], dc));
  canbus::Drive& d = drive();
  vbus::clear_sent(kNet);
  const canbus::DriveResult r = d.setup();
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.text, "Switch on disabled, profile position, by SDO");
  EXPECT_EQ(d.status().position_inc, 1234);
  // The objects asked for (index and sub-index; a transfer may take several requests).
  Texts asked;
  for (const CMSG& m : vbus::sent(kNet)) {
    const std::string t = frame_text(m).substr(6, 6);
    if (asked.empty() || asked.back() != t) asked.push_back(t);
  }
  EXPECT_EQ(asked, (Texts{"026D00", "416800", "616800", "816800", "646800", "6C6800", "7D6801",
                          "7D6802", "806800"}));
  vbus::clear_sent(kNet);
  ASSERT_TRUE(d.go_to(DriveState::kReadyToSwitchOn));
  EXPECT_EQ(sent_texts(kNet), Texts{"605#2B40680006000000"});  // shutdown to 0x6840
  l.set_object(0x6841, 0, std::string("\x21\0", 2));
  d.poll(clock().now_ns());
  EXPECT_EQ(finish().text, "in Ready to switch on");
}

// Cyclic synchronous position on one line with a 1 ms SYNC: two drives every SYNC, eight every
// 4th (spread two to a SYNC); each SYNC's targets go out right after it, in the drives'
// synchronous RPDO, and the drive takes them at the next SYNC.
TEST_F(DriveTest, CyclicPositionTwoDrivesEverySyncEightEveryFourth) {
  canbus::SyncProducer sync(kLine);
  ASSERT_TRUE(sync.start(1000, 0, false));
  for (int node = 1; node <= 10; ++node) {
    canbus::DriveConfig dc;
    dc.sync = &sync;
    dc.cycle_syncs = node <= 2 ? 1 : 4;
    add(node, {}, dc);
  }
  // 0x60C2: 1 ms and 4 ms.
  EXPECT_EQ(*sims_[0]->logic().object(0x60C2, 1), "\x01");
  EXPECT_EQ(*sims_[2]->logic().object(0x60C2, 1), "\x04");
  EXPECT_EQ(*sims_[2]->logic().object(0x60C2, 2), "\xFD");
  for (auto& d : drives_) ASSERT_TRUE(d->enable());
  tick(20);
  for (size_t i = 0; i < drives_.size(); ++i) {
    canbus::Drive& d = *drives_[i];
    ASSERT_EQ(d.status().state, DriveState::kOperationEnabled);
    const int node = static_cast<int>(i) + 1;
    ASSERT_TRUE(d.start_cyclic(DriveMode::kCyclicSyncPosition, [node](const canbus::SyncEvent& e) {
      return (node * 1000 + static_cast<double>(e.sequence)) / 1000.0;
    }));
  }
  for (uint64_t seq = 1; seq <= 12; ++seq) {
    vbus::clear_sent(kNet);
    clock().advance(1'000'000);
    ASSERT_TRUE(sync.tick());
    Texts want = {"080#"};
    for (int node = 1; node <= 10; ++node) {
      if (node > 2 && static_cast<int>(seq % 4) != node % 4) continue;
      const uint32_t target = static_cast<uint32_t>(node * 1000) + static_cast<uint32_t>(seq);
      want.push_back(
          frame_text(make_frame(0x500 + node, {uint8_t(target), uint8_t(target >> 8),
                                               uint8_t(target >> 16), uint8_t(target >> 24)})));
    }
    std::sort(want.begin() + 1, want.end());
    Texts got;
    for (const CMSG& m : vbus::sent(kNet)) {
      if (m.id == 0x80 || (m.id >= 0x501 && m.id <= 0x50A)) got.push_back(frame_text(m));
    }
    std::sort(got.begin() + (got.empty() ? 0 : 1), got.end());
    EXPECT_EQ(got, want) << "SYNC " << seq;
    for (auto& s : sims_) s->pdo_tick();
    mon_->poll();
    for (auto& d : drives_) d->poll(clock().now_ns());
  }
  // The mode switched, and node 1's target of SYNC 11 was taken at SYNC 12.
  EXPECT_EQ(drive().status().mode, 8);
  EXPECT_EQ(drive().wait(0).text, "cyclic synchronous position every 1 SYNC");
  EXPECT_EQ(*sims_[0]->logic().object(0x607A, 0), le32(1011));
  for (auto& d : drives_) d->stop_cyclic();
  vbus::clear_sent(kNet);
  clock().advance(1'000'000);
  ASSERT_TRUE(sync.tick());
  EXPECT_EQ(sent_texts(kNet), Texts{"080#"});
}

// Cyclic velocity and torque with the default mapping: the synchronous RPDO is mapped anew.
TEST_F(DriveTest, CyclicVelocityAndTorqueRemapTheSynchronousRpdo) {
  canbus::SyncProducer sync(kLine);
  ASSERT_TRUE(sync.start(1000, 0, false));
  canbus::DriveConfig dc;
  dc.sync = &sync;
  canbus::Drive& d = add(kNode, {}, dc);
  enable();
  ASSERT_TRUE(
      d.start_cyclic(DriveMode::kCyclicSyncVelocity, [](const canbus::SyncEvent&) { return 2.5; }));
  vbus::clear_sent(kNet);
  clock().advance(1'000'000);
  ASSERT_TRUE(sync.tick());
  EXPECT_EQ(sent_texts(kNet), (Texts{"080#", "505#C4090000"}));  // 2500 increments/s
  tick(5);
  EXPECT_EQ(d.status().mode, 9);
  clock().advance(1'000'000);
  ASSERT_TRUE(sync.tick());  // the drive takes the target at the next SYNC
  EXPECT_EQ(*sim().logic().object(0x60FF, 0), le32(2500));
  d.stop_cyclic();
  std::string why;
  ASSERT_TRUE(d.set_mode(DriveMode::kProfilePosition));  // leave the cyclic mode's operation
  ASSERT_TRUE(finish().ok);
  ASSERT_TRUE(d.start_cyclic(DriveMode::kCyclicSyncTorque,
                             [](const canbus::SyncEvent&) { return -100.0; }));
  vbus::clear_sent(kNet);
  clock().advance(1'000'000);
  ASSERT_TRUE(sync.tick());
  EXPECT_EQ(sent_texts(kNet), (Texts{"080#", "505#9CFF"}));
  EXPECT_FALSE(d.start_cyclic(
      DriveMode::kCyclicSyncTorque, [](const canbus::SyncEvent&) { return 0.0; }, &why));
  EXPECT_EQ(why, "another operation runs: cyclic synchronous torque");
  d.stop_cyclic();  // before the producer goes
}
}  // namespace
}  // namespace canbus_test
