// The simulated drive (sim/drive_model.h) driven by frames through NodeLogic::on_frame and its
// time by NodeLogic::pdo_due with explicit times: the state machine, the modes, the quirks and
// the faults as a master sees them.
#include "drive_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "canopen_node.h"
#include "support/frames.h"

namespace {

using canbus_test::frame_text;
using canbus_test::make_frame;
using sim::DriveFault;
using sim::DriveModel;
using sim::DriveSimConfig;
using sim::NodeLogic;
using sim::SimDriveState;

constexpr int kNode = 9;
constexpr int64_t kMs = 1'000'000;

// Controlwords of the state machine.
constexpr uint16_t kShutdown = 0x06, kSwitchOn = 0x07, kEnable = 0x0F, kDisableVoltage = 0x00,
                   kQuickStop = 0x02, kFaultReset = 0x80;

// A drive node, operational, its time at 1 ms steps from `now`.
struct Drive {
  NodeLogic node{kNode};
  std::shared_ptr<DriveModel> model;
  int64_t now = 0;
  std::vector<CMSG> out;  // everything the node sent by pdo_due and on_frame

  explicit Drive(const DriveSimConfig& cfg = {}) {
    model = sim::make_drive(node, cfg);
    node.boot();
    in(make_frame(0, {0x01, kNode}));
    run(1);
  }
  void in(const CMSG& f) {
    for (const CMSG& m : node.on_frame(f)) out.push_back(m);
  }
  void run(int ms) {
    for (int i = 0; i < ms; ++i) {
      now += kMs;
      for (const CMSG& m : node.pdo_due(now)) out.push_back(m);
    }
  }
  // Runs until `done` or `max_ms`; the ms it took, -1 when never.
  template <typename F>
  int run_until(F done, int max_ms) {
    for (int i = 0; i < max_ms; ++i) {
      if (done()) return i;
      run(1);
    }
    return done() ? max_ms : -1;
  }
  // An expedited SDO download; the abort code, 0 when taken.
  uint32_t write(uint16_t index, uint8_t sub, int64_t v, int bytes) {
    CMSG m{};
    m.id = 0x600 + kNode;
    m.len = 8;
    m.data[0] = static_cast<uint8_t>(0x23 | ((4 - bytes) << 2));
    m.data[1] = static_cast<uint8_t>(index & 0xFF);
    m.data[2] = static_cast<uint8_t>(index >> 8);
    m.data[3] = sub;
    for (int i = 0; i < bytes; ++i) m.data[4 + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
    const std::vector<CMSG> a = node.on_frame(m);
    EXPECT_EQ(a.size(), 1u);
    if (a.empty() || a[0].data[0] != 0x80) return 0;
    return static_cast<uint32_t>(a[0].data[4] | a[0].data[5] << 8 | a[0].data[6] << 16 |
                                 a[0].data[7] << 24);
  }
  // An SDO upload of an object of up to four bytes, sign-extended from `bytes`.
  int64_t read(uint16_t index, uint8_t sub, int bytes) {
    const std::vector<CMSG> a = node.on_frame(
        make_frame(0x600 + kNode, {0x40, static_cast<uint8_t>(index & 0xFF),
                                   static_cast<uint8_t>(index >> 8), sub, 0, 0, 0, 0}));
    EXPECT_EQ(a.size(), 1u);
    if (a.empty()) return 0;
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(a[0].data[4 + i]) << (8 * i);
    if (bytes < 4 && (v >> (8 * bytes - 1)) & 1u) v |= ~0u << (8 * bytes);
    return static_cast<int32_t>(v);
  }
  void cw(uint16_t w) { EXPECT_EQ(write(0x6040, 0, w, 2), 0u); }
  uint16_t sw() { return static_cast<uint16_t>(read(0x6041, 0, 2)); }
  int32_t position() { return static_cast<int32_t>(read(0x6064, 0, 4)); }
  // Operation enabled in `mode`, its display confirmed.
  void enable(int8_t mode) {
    EXPECT_EQ(write(0x6060, 0, mode, 1), 0u);
    cw(kShutdown);
    cw(kEnable);
    run(1);
    EXPECT_EQ(model->state(), SimDriveState::kOperationEnabled);
    EXPECT_EQ(read(0x6061, 0, 1), mode);
  }
  // A profile position move: target, then bit 4 up and down.
  void move(int32_t target, uint16_t extra = 0) {
    EXPECT_EQ(write(0x607A, 0, target, 4), 0u);
    cw(static_cast<uint16_t>(kEnable | 0x10 | extra));
    cw(static_cast<uint16_t>(kEnable | extra));
  }
  std::vector<std::string> emcys() const {
    std::vector<std::string> e;
    for (const CMSG& m : out) {
      if (m.id == 0x80 + kNode) e.push_back(frame_text(m));
    }
    return e;
  }
};

// --- state machine --------------------------------------------------------------------------

TEST(SimDriveBoot, PassesNotReadyToSwitchOnToSwitchOnDisabled) {
  NodeLogic node(kNode);
  auto model = sim::make_drive(node);
  EXPECT_EQ(model->state(), SimDriveState::kNotReadyToSwitchOn);
  node.boot();
  node.pdo_due(kMs);
  EXPECT_EQ(model->state(), SimDriveState::kSwitchOnDisabled);
  EXPECT_EQ(model->statusword(), 0x0240);
  // The built-in dictionary: a servo drive of the profile with its supported modes.
  EXPECT_EQ(node.object(0x1000, 0), std::string("\x92\x01\x02\x00", 4));
  EXPECT_EQ(node.object(0x6502, 0), std::string("\xAD\x03\x00\x00", 4));
  EXPECT_EQ(node.object(0x1018, 4), std::string("\x09\x00\x00\x00", 4));
  model->set_warning(true);
  node.pdo_due(2 * kMs);
  EXPECT_EQ(node.object(0x6041, 0), std::string("\xC0\x02", 2));
}

struct Transition {
  const char* name;
  std::vector<uint16_t> before;  // controlwords that lead to the start state
  uint16_t command;
  SimDriveState to;
  uint16_t statusword;  // bits 0..6 and 9
};

class SimDriveStates : public ::testing::TestWithParam<Transition> {};

TEST_P(SimDriveStates, CommandLeadsTo) {
  const Transition& t = GetParam();
  Drive d;
  for (uint16_t w : t.before) d.cw(w);
  d.cw(t.command);
  EXPECT_EQ(d.model->state(), t.to) << sim::sim_drive_state_name(d.model->state());
  EXPECT_EQ(d.sw() & 0x027F, t.statusword);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimDriveStates,
    ::testing::Values(
        Transition{
            "ShutdownFromSwitchOnDisabled", {}, kShutdown, SimDriveState::kReadyToSwitchOn, 0x0231},
        Transition{"SwitchOnFromSwitchOnDisabledDoesNothing",
                   {},
                   kSwitchOn,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"SwitchOn", {kShutdown}, kSwitchOn, SimDriveState::kSwitchedOn, 0x0233},
        Transition{"EnableFromSwitchedOn",
                   {kShutdown, kSwitchOn},
                   kEnable,
                   SimDriveState::kOperationEnabled,
                   0x0237},
        Transition{"EnableFromReadyPassesSwitchedOn",
                   {kShutdown},
                   kEnable,
                   SimDriveState::kOperationEnabled,
                   0x0237},
        Transition{"DisableOperation",
                   {kShutdown, kEnable},
                   kSwitchOn,
                   SimDriveState::kSwitchedOn,
                   0x0233},
        Transition{"ShutdownFromSwitchedOn",
                   {kShutdown, kSwitchOn},
                   kShutdown,
                   SimDriveState::kReadyToSwitchOn,
                   0x0231},
        Transition{"ShutdownFromOperationEnabled",
                   {kShutdown, kEnable},
                   kShutdown,
                   SimDriveState::kReadyToSwitchOn,
                   0x0231},
        Transition{"DisableVoltageFromReady",
                   {kShutdown},
                   kDisableVoltage,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"DisableVoltageFromSwitchedOn",
                   {kShutdown, kSwitchOn},
                   kDisableVoltage,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"DisableVoltageFromOperationEnabled",
                   {kShutdown, kEnable},
                   kDisableVoltage,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"QuickStopFromReady",
                   {kShutdown},
                   kQuickStop,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"QuickStopFromSwitchedOn",
                   {kShutdown, kSwitchOn},
                   kQuickStop,
                   SimDriveState::kSwitchOnDisabled,
                   0x0240},
        Transition{"QuickStopFromOperationEnabled",
                   {kShutdown, kEnable},
                   kQuickStop,
                   SimDriveState::kQuickStopActive,
                   0x0217},
        Transition{"FaultResetOutsideFaultDoesNothing",
                   {kShutdown},
                   kFaultReset,
                   SimDriveState::kReadyToSwitchOn,
                   0x0231}),
    [](const ::testing::TestParamInfo<Transition>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// --- profile position -----------------------------------------------------------------------

struct PpCase {
  const char* name;
  int32_t first;       // the first move's target (absolute)
  int first_ms;        // time given to the first move before the second set-point
  int32_t second;      // the second target
  uint16_t second_cw;  // extra bits of the second set-point (relative, immediately)
  int32_t end;         // where the axis stands at last
};

class SimDrivePp : public ::testing::TestWithParam<PpCase> {};

TEST_P(SimDrivePp, MovesToTheTarget) {
  const PpCase& c = GetParam();
  Drive d;
  d.enable(1);
  d.move(c.first);
  EXPECT_EQ(d.sw() & 0x1400, 0);  // acknowledge dropped with bit 4, target not reached
  d.run(c.first_ms);
  d.move(c.second, c.second_cw);
  EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 20000), 0);
  EXPECT_EQ(d.position(), c.end);
  EXPECT_EQ(d.read(0x606C, 0, 4), 0);
  EXPECT_EQ(d.model->setpoints_taken(), 2);
}

INSTANTIATE_TEST_SUITE_P(Table, SimDrivePp,
                         ::testing::Values(
                             // The second set-point waits for the first one to be reached.
                             PpCase{"AbsoluteQueued", 5000, 10, -2000, 0, -2000},
                             // Relative to the last target, not to where the axis stands.
                             PpCase{"RelativeToLastTarget", 5000, 10, 1000, 0x40, 6000},
                             PpCase{"RelativeAfterReached", 5000, 2000, -1000, 0x40, 4000},
                             // Change set immediately: the first target is never reached.
                             PpCase{"Immediately", 50000, 100, 100, 0x20, 100},
                             // Beyond the software limits: the limit, with bit 11.
                             PpCase{"ClippedToSoftwareLimit", 5000, 10, 150000, 0x20, 100000}),
                         [](const ::testing::TestParamInfo<PpCase>& i) {
                           return std::string(i.param.name);
                         });

TEST(SimDrivePp, TrapezoidKeepsProfileVelocityAndAcknowledgesWhileBitFourIsUp) {
  Drive d;
  d.enable(1);
  ASSERT_EQ(d.write(0x6081, 0, 20000, 4), 0u);
  ASSERT_EQ(d.write(0x607A, 0, 100000, 4), 0u);
  d.cw(kEnable | 0x10);
  EXPECT_EQ(d.sw() & 0x1000, 0x1000);
  d.run(1000);
  EXPECT_EQ(d.read(0x606C, 0, 4), 20000);
  EXPECT_EQ(d.sw() & 0x1400, 0x1000);
  d.cw(kEnable);
  EXPECT_EQ(d.sw() & 0x1000, 0);
  // 0.2 s up, 4.8 s at speed, 0.2 s down: about 5.2 s in all.
  const int ms = d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 10000);
  EXPECT_NEAR(ms, 4200, 20);
  EXPECT_EQ(d.position(), 100000);
}

}  // namespace

namespace {

TEST(SimDrivePp, HaltBrakesShowsTargetReachedAndTheMoveGoesOn) {
  Drive d;
  d.enable(1);
  d.move(20000);
  d.run(300);
  d.cw(kEnable | 0x100);
  EXPECT_GE(d.run_until([&] { return d.read(0x606C, 0, 4) == 0; }, 1000), 0);
  d.run(1);
  EXPECT_EQ(d.sw() & 0x0400, 0x0400);
  const int32_t stopped = d.position();
  EXPECT_LT(stopped, 20000);
  d.cw(kEnable);
  d.run(1);
  EXPECT_EQ(d.sw() & 0x0400, 0);
  EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 5000), 0);
  EXPECT_EQ(d.position(), 20000);
}

TEST(SimDrivePp, TargetReachedWaitsForThePositionWindowTime) {
  auto reached_after = [](int window_ms) {
    Drive d;
    d.enable(1);
    EXPECT_EQ(d.write(0x6068, 0, window_ms, 2), 0u);
    d.move(100);
    const int ms = d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 1000);
    EXPECT_EQ(d.position(), 100);
    return ms;
  };
  const int plain = reached_after(0);
  EXPECT_GT(plain, 50);  // a triangle of 2 * sqrt(100 / 100000) s
  EXPECT_LT(plain, 70);
  EXPECT_EQ(reached_after(20), plain + 20);
}

// --- quick stop -----------------------------------------------------------------------------

struct QuickStopCase {
  const char* name;
  int option;              // 0x605A
  int brake_ms_at_least;   // from 10000 increments/s
  SimDriveState standing;  // once stopped
  uint16_t then_command;   // a command given then
  SimDriveState after;
};

class SimDriveQuickStop : public ::testing::TestWithParam<QuickStopCase> {};

TEST_P(SimDriveQuickStop, BrakesThenFollowsTheOptionCode) {
  const QuickStopCase& c = GetParam();
  Drive d;
  ASSERT_EQ(d.write(0x605A, 0, c.option, 2), 0u);
  d.enable(3);
  ASSERT_EQ(d.write(0x60FF, 0, 10000, 4), 0u);
  d.run(200);
  ASSERT_EQ(d.model->velocity(), 10000);
  d.cw(kQuickStop);
  const int ms = d.run_until([&] { return d.model->velocity() == 0; }, 1000);
  EXPECT_GE(ms, c.brake_ms_at_least);
  d.run(1);
  EXPECT_EQ(d.model->state(), c.standing);
  d.cw(c.then_command);
  EXPECT_EQ(d.model->state(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimDriveQuickStop,
    ::testing::Values(
        // 0x6085 (1000000/s^2) brakes in 10 ms, 0x6084 (100000/s^2) in 100 ms.
        QuickStopCase{"Option0DisablesAtOnce", 0, 0, SimDriveState::kSwitchOnDisabled, kShutdown,
                      SimDriveState::kReadyToSwitchOn},
        QuickStopCase{"Option1SlowDownRamp", 1, 99, SimDriveState::kSwitchOnDisabled, kEnable,
                      SimDriveState::kSwitchOnDisabled},
        QuickStopCase{"Option2QuickStopRamp", 2, 9, SimDriveState::kSwitchOnDisabled, kShutdown,
                      SimDriveState::kReadyToSwitchOn},
        QuickStopCase{"Option6StaysAndEnablesAgain", 6, 9, SimDriveState::kQuickStopActive, kEnable,
                      SimDriveState::kOperationEnabled},
        QuickStopCase{"Option6DisableVoltage", 6, 9, SimDriveState::kQuickStopActive,
                      kDisableVoltage, SimDriveState::kSwitchOnDisabled}),
    [](const ::testing::TestParamInfo<QuickStopCase>& i) { return std::string(i.param.name); });

// --- faults ---------------------------------------------------------------------------------

struct FaultCase {
  const char* name;
  DriveFault fault;
  std::string emcy;
  uint8_t reg;
  uint16_t code;
};

class SimDriveFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimDriveFault, ReactionFaultEmcyAndReset) {
  const FaultCase& c = GetParam();
  Drive d;
  d.enable(1);
  d.move(50000);
  d.run(100);
  d.out.clear();
  if (c.fault == DriveFault::kFollowingError) {
    d.model->block(true);
    EXPECT_GE(
        d.run_until([&] { return d.model->state() != SimDriveState::kOperationEnabled; }, 5000), 0);
  } else {
    d.model->inject_fault(c.fault);
    d.run(1);
  }
  EXPECT_EQ(d.model->state(), SimDriveState::kFaultReactionActive);
  EXPECT_EQ(d.sw() & 0x027F, 0x021F);
  EXPECT_EQ(d.emcys(), std::vector<std::string>{c.emcy});
  EXPECT_EQ(d.read(0x1001, 0, 1), c.reg);
  EXPECT_EQ(static_cast<uint16_t>(d.read(0x603F, 0, 2)), c.code);
  // Commands are not taken while the reaction runs; it ends by itself.
  d.cw(kShutdown);
  d.run(static_cast<int>(DriveModel::kFaultReactionNs / kMs));
  EXPECT_EQ(d.model->state(), SimDriveState::kFault);
  EXPECT_EQ(d.sw() & 0x027F, 0x0208);
  EXPECT_EQ(d.model->fault(), c.fault);
  d.model->block(false);
  d.out.clear();
  d.cw(kFaultReset);
  EXPECT_EQ(d.model->state(), SimDriveState::kSwitchOnDisabled);
  EXPECT_EQ(d.read(0x1001, 0, 1), 0);
  EXPECT_EQ(d.read(0x603F, 0, 2), 0);
  d.run(1);
  EXPECT_EQ(d.emcys(), std::vector<std::string>{"089#0000000000000000"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimDriveFault,
    ::testing::Values(FaultCase{"OverTemperature", DriveFault::kOverTemperature,
                                "089#1043090000000000", 0x09, 0x4310},
                      FaultCase{"OverVoltage", DriveFault::kOverVoltage, "089#1032050000000000",
                                0x05, 0x3210},
                      FaultCase{"FollowingErrorOfABlockedMotor", DriveFault::kFollowingError,
                                "089#1186210000000000", 0x21, 0x8611}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

TEST(SimDriveFault, NoEmcyWhileStoppedAndNamesFromText) {
  Drive d;
  d.in(make_frame(0, {0x02, kNode}));
  d.out.clear();
  d.model->inject_fault(DriveFault::kOverVoltage);
  d.run(10);
  EXPECT_EQ(d.model->state(), SimDriveState::kFault);
  EXPECT_TRUE(d.emcys().empty());
  EXPECT_EQ(sim::drive_fault_from_text("over-temperature"), DriveFault::kOverTemperature);
  EXPECT_EQ(sim::drive_fault_from_text("following-error"), DriveFault::kFollowingError);
  EXPECT_EQ(sim::drive_fault_from_text("over-voltage"), DriveFault::kOverVoltage);
  EXPECT_EQ(sim::drive_fault_from_text("overvoltage"), DriveFault::kNone);
  EXPECT_EQ(sim::drive_quirks_from_text("fault-reset-edge,setpoint-ack-held"),
            sim::kQuirkFaultResetEdge | sim::kQuirkSetPointAckHeld);
  EXPECT_EQ(sim::drive_quirks_from_text("halt-blocks-mode,homing-methods"),
            sim::kQuirkHaltBlocksMode | sim::kQuirkHomingMethods);
  EXPECT_EQ(sim::drive_quirks_from_text("fault-reset"), -1);
}

TEST(SimDriveRestart, ResetNodeStartsTheDriveAgainResetCommunicationKeepsIt) {
  Drive d;
  d.enable(1);
  d.in(make_frame(0, {0x82, kNode}));
  EXPECT_EQ(d.model->state(), SimDriveState::kOperationEnabled);
  d.in(make_frame(0, {0x81, kNode}));
  EXPECT_EQ(d.model->state(), SimDriveState::kNotReadyToSwitchOn);
  EXPECT_EQ(d.sw(), 0x0200);
  d.run(1);
  EXPECT_EQ(d.sw(), 0x0240);
  EXPECT_EQ(d.read(0x6061, 0, 1), 0);
}

}  // namespace

namespace {

// --- homing ---------------------------------------------------------------------------------

constexpr int64_t kFails = INT64_MIN;

struct HomingCase {
  const char* name;
  int method;
  int64_t start;  // physical position the axis starts at
  int64_t home;   // physical home position found (-1: homing error expected)
  DriveSimConfig cfg;
};

DriveSimConfig home_switch_at(int64_t pos) {
  DriveSimConfig c;
  c.home_switch = pos;
  return c;
}
DriveSimConfig index_every(int64_t n) {
  DriveSimConfig c;
  c.index_spacing = n;
  return c;
}

class SimDriveHoming : public ::testing::TestWithParam<HomingCase> {};

TEST_P(SimDriveHoming, EndsAtTheOffsetOrInError) {
  const HomingCase& c = GetParam();
  DriveSimConfig cfg = c.cfg;
  cfg.start_position = c.start;
  Drive d(cfg);
  ASSERT_EQ(d.write(0x6098, 0, c.method, 1), 0u);
  ASSERT_EQ(d.write(0x607C, 0, 1234, 4), 0u);
  ASSERT_EQ(d.write(0x6099, 1, 20000, 4), 0u);
  ASSERT_EQ(d.write(0x6099, 2, 2000, 4), 0u);
  ASSERT_EQ(d.write(0x609A, 0, 200000, 4), 0u);
  d.enable(6);
  EXPECT_EQ(d.sw() & 0x3400, 0x0400);  // not started
  d.cw(kEnable | 0x10);
  const int ms = d.run_until([&] { return (d.sw() & 0x3000) != 0; }, 60000);
  ASSERT_GE(ms, 0);
  if (c.home == kFails) {
    EXPECT_EQ(d.sw() & 0x3000, 0x2000);
    EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 1000), 0);
    EXPECT_EQ(d.model->homings_done(), 0);
    return;
  }
  EXPECT_EQ(d.sw() & 0x3400, 0x1400);
  EXPECT_EQ(d.model->physical_position(), c.home);
  // Digital inputs: negative limit switch bit 0, positive bit 1, home switch bit 2.
  const int64_t inputs = (c.home <= cfg.negative_limit_switch ? 1 : 0) |
                         (c.home >= cfg.positive_limit_switch ? 2 : 0) |
                         (c.home >= cfg.home_switch ? 4 : 0);
  EXPECT_EQ(d.read(0x60FD, 0, 4), inputs);
  EXPECT_EQ(d.position(), 1234);
  EXPECT_EQ(d.read(0x6064, 0, 4), 1234);
  EXPECT_EQ(d.model->homings_done(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimDriveHoming,
    ::testing::Values(
        // Limit switches at -110000 / 110000, home switch at 5000, index every 4000.
        HomingCase{"M1NegativeLimitThenIndex", 1, 0, -108000, {}},
        HomingCase{"M2PositiveLimitThenIndex", 2, 0, 108000, {}},
        HomingCase{"M17NegativeLimit", 17, 0, -110000, {}},
        HomingCase{"M17StartingOnTheSwitch", 17, -115000, -110000, {}},
        HomingCase{"M18PositiveLimit", 18, 0, 110000, {}},
        HomingCase{"M19HomeSwitchFromBelow", 19, 0, 5000, {}},
        HomingCase{"M19HomeSwitchFromAbove", 19, 30000, 5000, {}},
        HomingCase{"M20HomeSwitchFromBelow", 20, 0, 5000, {}},
        HomingCase{"M20HomeSwitchFromAbove", 20, 30000, 5000, {}},
        HomingCase{"M21NegativeHomeSwitch", 21, 0, 5000, {}},
        HomingCase{"M21FromAbove", 21, 30000, 5000, {}},
        HomingCase{"M22NegativeHomeSwitch", 22, 0, 5000, {}},
        HomingCase{"M33IndexNegative", 33, 1000, 0, {}},
        HomingCase{"M34IndexPositive", 34, 1000, 4000, {}},
        HomingCase{"M35HereAndNow", 35, 777, 777, {}}, HomingCase{"M37HereAndNow", 37, -5, -5, {}},
        // The switch is never found: beyond the limit switch, or no index pulse within the
        // search distance, or an unknown method.
        HomingCase{"M19SwitchBeyondTheLimitSwitch", 19, 0, kFails, home_switch_at(200000)},
        HomingCase{"M21SwitchBeyondTheLimitSwitch", 21, 0, kFails, home_switch_at(-200000)},
        HomingCase{"M34NoIndexWithinTheSearchDistance", 34, 1, kFails, index_every(400000)},
        HomingCase{"M33WithoutIndexPulses", 33, 0, kFails, index_every(0)},
        HomingCase{"M1WithoutIndexPulses", 1, 0, kFails, index_every(0)},
        HomingCase{"UnknownMethod", 5, 0, kFails, {}}),
    [](const ::testing::TestParamInfo<HomingCase>& i) { return std::string(i.param.name); });

TEST(SimDriveHoming, DroppingBitFourInterrupts) {
  Drive d;
  ASSERT_EQ(d.write(0x6098, 0, 17, 1), 0u);
  d.enable(6);
  d.cw(kEnable | 0x10);
  d.run(100);
  EXPECT_EQ(d.sw() & 0x3400, 0);  // in progress
  d.cw(kEnable);
  EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 1000), 0);
  EXPECT_EQ(d.sw() & 0x3000, 0);
  EXPECT_EQ(d.model->homings_done(), 0);
}

// --- velocity and torque --------------------------------------------------------------------

TEST(SimDrivePv, RampsToTheTargetVelocityAndStopsAtTheSoftwareLimit) {
  Drive d;
  d.enable(3);
  EXPECT_EQ(d.sw() & 0x1000, 0x1000);  // standing
  ASSERT_EQ(d.write(0x60FF, 0, 50000, 4), 0u);
  d.run(250);
  EXPECT_EQ(d.read(0x606C, 0, 4), 25000);  // 100000 increments/s^2
  EXPECT_EQ(d.sw() & 0x1400, 0);
  EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 1000), 240);
  EXPECT_EQ(d.read(0x606C, 0, 4), 50000);
  // On to the limit 100000, where the axis stops with bit 11.
  EXPECT_GE(d.run_until([&] { return d.model->velocity() == 0; }, 5000), 0);
  EXPECT_EQ(d.position(), 100000);
  EXPECT_EQ(d.sw() & 0x1800, 0x1800);
  ASSERT_EQ(d.write(0x60FF, 0, -1000, 4), 0u);
  d.run(100);
  EXPECT_EQ(d.sw() & 0x1C00, 0x0400);
  EXPECT_LT(d.position(), 100000);
}

TEST(SimDrivePv, ACallerThatComesLateGetsTheStepsItMissed) {
  Drive d;
  d.enable(3);
  ASSERT_EQ(d.write(0x60FF, 0, 1000, 4), 0u);
  d.run(100);
  const int32_t before = d.position();
  d.now += 2000 * kMs;  // a producer thread that stalled for two seconds
  d.run(1);
  EXPECT_EQ(d.position(), before + 2001);
  // Beyond a minute the rest is skipped.
  d.now += 100'000 * kMs;
  d.run(1);
  EXPECT_EQ(d.position(), before + 2001 + DriveModel::kMaxCatchUp);
}

TEST(SimDrivePt, TorqueActualFollowsAndTheLoadTurns) {
  Drive d;
  ASSERT_EQ(d.write(0x6087, 0, 1000, 4), 0u);  // per mille per second
  d.enable(4);
  ASSERT_EQ(d.write(0x6071, 0, 10, 2), 0u);
  d.run(5);
  EXPECT_EQ(d.read(0x6077, 0, 2), 5);
  d.run(5000);
  EXPECT_EQ(d.read(0x6077, 0, 2), 10);
  // 1000 increments/s^2 per per mille against a loss of 1/s: toward 10000 increments/s.
  EXPECT_NEAR(static_cast<double>(d.read(0x606C, 0, 4)), 10000 * (1 - std::exp(-4.99)), 100);
  EXPECT_GT(d.position(), 30000);
}

// --- cyclic synchronous position ------------------------------------------------------------

TEST(SimDriveCsp, FollowsTargetsTakenAtEachSync) {
  Drive d;
  // RPDO4: target position, synchronous.
  ASSERT_EQ(d.write(0x1603, 0, 0, 1), 0u);
  ASSERT_EQ(d.write(0x1603, 1, 0x607A0020, 4), 0u);
  ASSERT_EQ(d.write(0x1603, 0, 1, 1), 0u);
  ASSERT_EQ(d.write(0x1403, 2, 1, 1), 0u);
  ASSERT_EQ(d.write(0x1403, 1, 0x500 + kNode, 4), 0u);
  ASSERT_EQ(d.write(0x60C2, 1, 2, 1), 0u);  // 2 ms
  d.enable(8);
  EXPECT_EQ(d.sw() & 0x1000, 0x1000);  // target followed
  auto rpdo = [&](int32_t p) {
    d.in(make_frame(0x500 + kNode,
                    {static_cast<uint8_t>(p & 0xFF), static_cast<uint8_t>((p >> 8) & 0xFF),
                     static_cast<uint8_t>((p >> 16) & 0xFF), static_cast<uint8_t>(p >> 24)}));
  };
  rpdo(100);
  d.run(4);
  EXPECT_EQ(d.position(), 0);  // not before the SYNC
  for (int k = 1; k <= 50; ++k) {
    rpdo(100 * k);
    d.in(make_frame(0x080, {}));
    d.run(1);
    EXPECT_EQ(d.position(), 100 * k - 50) << k;  // half way through the 2 ms period
    d.run(1);
    EXPECT_EQ(d.position(), 100 * k) << k;
  }
  EXPECT_EQ(d.read(0x606C, 0, 4), 50000);
  EXPECT_EQ(d.sw() & 0x3000, 0x1000);
}

struct CyclicCase {
  const char* name;
  int8_t mode;
  uint16_t index;  // the target
  int bytes;
  int32_t target;
  int32_t velocity_after_1s;
};

class SimDriveCyclic : public ::testing::TestWithParam<CyclicCase> {};

TEST_P(SimDriveCyclic, FollowsTheTargetAndBrakesUnderHalt) {
  const CyclicCase& c = GetParam();
  Drive d;
  d.enable(c.mode);
  ASSERT_EQ(d.write(c.index, 0, c.target, c.bytes), 0u);
  d.run(1000);
  EXPECT_NEAR(static_cast<double>(d.read(0x606C, 0, 4)), c.velocity_after_1s, 2);
  EXPECT_EQ(d.sw() & 0x1400, 0x1000);  // target followed
  d.cw(kEnable | 0x100);
  EXPECT_GE(d.run_until([&] { return d.model->velocity() == 0; }, 5000), 0);
  EXPECT_EQ(d.sw() & 0x1000, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimDriveCyclic,
    ::testing::Values(
        CyclicCase{"Velocity", 9, 0x60FF, 4, -3000, -3000},
        // 20 per mille: 20000 increments/s^2 against a loss of 1/s: 20000 (1 - 1/e) after 1 s.
        CyclicCase{"Torque", 10, 0x6071, 2, 20, 12645}),
    [](const ::testing::TestParamInfo<CyclicCase>& i) { return std::string(i.param.name); });

}  // namespace

namespace {

// --- quirks ---------------------------------------------------------------------------------

DriveSimConfig quirks(unsigned q) {
  DriveSimConfig c;
  c.quirks = q;
  c.homing_methods = {1, 17, 35};
  return c;
}

// Each quirk on and off: what a master sees differ.
TEST(SimDriveQuirks, FaultResetEdge) {
  for (const bool on : {false, true}) {
    Drive d(quirks(on ? unsigned{sim::kQuirkFaultResetEdge} : 0u));
    d.enable(1);
    d.cw(kFaultReset | kEnable);  // bit 7 outside Fault: no command
    EXPECT_EQ(d.model->state(), SimDriveState::kOperationEnabled);
    d.model->inject_fault(DriveFault::kOverTemperature);
    d.run(10);
    ASSERT_EQ(d.model->state(), SimDriveState::kFault);
    d.cw(kFaultReset | kEnable);  // bit 7 held since before the fault
    EXPECT_EQ(d.model->state(), on ? SimDriveState::kFault : SimDriveState::kSwitchOnDisabled)
        << on;
    d.cw(kEnable);
    d.cw(kFaultReset);  // a rising edge resets either way
    EXPECT_EQ(d.model->state(), SimDriveState::kSwitchOnDisabled) << on;
    EXPECT_EQ(d.model->controlwords_seen(), 6);  // every word, taken or not
  }
}

struct MethodCase {
  int method;
  uint32_t plain;   // abort of the download without the quirk
  uint32_t quirky;  // with it (methods 1, 17, 35)
};

TEST(SimDriveQuirks, HomingMethods) {
  for (const MethodCase& c : {MethodCase{1, 0, 0}, MethodCase{17, 0, 0}, MethodCase{35, 0, 0},
                              MethodCase{2, 0, 0x06090030}, MethodCase{34, 0, 0x06090030},
                              MethodCase{0, 0, 0x06090030}, MethodCase{-3, 0, 0x06090030}}) {
    Drive plain(quirks(0));
    EXPECT_EQ(plain.write(0x6098, 0, c.method, 1), c.plain) << c.method;
    Drive quirky(quirks(sim::kQuirkHomingMethods));
    EXPECT_EQ(quirky.write(0x6098, 0, c.method, 1), c.quirky) << c.method;
    EXPECT_EQ(quirky.read(0x6098, 0, 1), c.quirky == 0 ? c.method : 35) << c.method;
  }
}

TEST(SimDriveQuirks, HaltBlocksModeSwitch) {
  for (const bool on : {false, true}) {
    Drive d(quirks(on ? unsigned{sim::kQuirkHaltBlocksMode} : 0u));
    d.enable(1);
    d.cw(kEnable | 0x100);
    ASSERT_EQ(d.write(0x6060, 0, 3, 1), 0u);
    d.run(5);
    EXPECT_EQ(d.read(0x6061, 0, 1), on ? 1 : 3) << on;
    d.cw(kEnable);
    d.run(1);
    EXPECT_EQ(d.read(0x6061, 0, 1), 3) << on;
  }
}

TEST(SimDriveQuirks, SetPointAcknowledgeHeld) {
  for (const bool on : {false, true}) {
    Drive d(quirks(on ? unsigned{sim::kQuirkSetPointAckHeld} : 0u));
    d.enable(1);
    d.move(1000);
    // Dropped at once without the quirk; with it at the drive's next step.
    EXPECT_EQ(d.sw() & 0x1000, on ? 0x1000 : 0) << on;
    // A new set-point before that step is lost with the quirk.
    d.move(2000, 0x20);
    EXPECT_EQ(d.model->setpoints_taken(), on ? 1 : 2) << on;
    d.run(1);
    EXPECT_EQ(d.sw() & 0x1000, 0) << on;
    d.move(3000, 0x20);
    EXPECT_EQ(d.model->setpoints_taken(), on ? 2 : 3) << on;
    EXPECT_GE(d.run_until([&] { return (d.sw() & 0x0400) != 0; }, 5000), 0);
    EXPECT_EQ(d.position(), 3000);
  }
}

TEST(SimDriveModes, UnsupportedModeRefusedDisplayFollowsAfterOneStep) {
  Drive d;
  EXPECT_EQ(d.write(0x6060, 0, 2, 1), 0x06090030u);  // velocity mode: not in 0x6502
  EXPECT_EQ(d.write(0x6060, 0, 7, 1), 0x06090030u);
  EXPECT_EQ(d.write(0x6060, 0, -1, 1), 0x06090030u);
  for (int m : {1, 3, 4, 6, 8, 9, 10, 0}) {
    ASSERT_EQ(d.write(0x6060, 0, m, 1), 0u);
    EXPECT_NE(d.read(0x6061, 0, 1), m);
    d.run(1);
    EXPECT_EQ(d.read(0x6061, 0, 1), m);
    EXPECT_EQ(d.model->mode(), m);
  }
}

TEST(SimDriveModes, ControlwordAndStatuswordByPdo) {
  Drive d;
  // The EDS's defaults: RPDO1 controlword + mode, TPDO1 statusword + mode display on change.
  d.out.clear();
  d.in(make_frame(0x200 + kNode, {0x06, 0x00, 0x01}));
  d.in(make_frame(0x200 + kNode, {0x0F, 0x00, 0x01}));
  d.run(2);
  EXPECT_EQ(d.model->state(), SimDriveState::kOperationEnabled);
  EXPECT_EQ(d.model->controlwords_seen(), 2);
  std::vector<std::string> tpdo1;
  for (const CMSG& m : d.out) {
    if (m.id == 0x180 + kNode) tpdo1.push_back(frame_text(m));
  }
  // Both words came between two steps: one TPDO with the state reached and the mode shown (target
  // reached: no set-point yet).
  EXPECT_EQ(tpdo1, std::vector<std::string>{"189#370601"});
}

}  // namespace
