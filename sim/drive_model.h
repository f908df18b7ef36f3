// A simulated motor drive with the drive profile: the power state machine, the modes of
// operation and a small physics model of an axis (trapezoidal moves, limit switches, a home
// switch, an index pulse, a load for the torque modes), working on the node's dictionary by
// index. make_drive() gives a NodeLogic the dictionary of sim/eds/drive402.eds (compiled in as
// kDriveEds) and this model.
//
// Units: positions in increments, velocities in increments/s, accelerations in increments/s^2,
// torques in per mille of the rated torque. The model steps every millisecond of the node's
// clock (NodeLogic::pdo_due); a controlword is taken at once when it is written (by SDO or RPDO),
// so that every word a master sends counts, also two between two steps.
//
// Behaviour a master may observe:
//  - Statusword 0x6041 (bits 0..3, 5, 6 the state): Not ready to switch on 0x00 (at boot only,
//    left at the first step), Switch on disabled 0x40, Ready to switch on 0x21, Switched on 0x23,
//    Operation enabled 0x27, Quick stop active 0x07, Fault reaction active 0x0F, Fault 0x08.
//    Bit 4 (voltage enabled) is set in Ready to switch on, Switched on, Operation enabled, Quick
//    stop active and Fault reaction active; bit 9 (remote) always; bit 7 (warning) while a
//    warning is set (set_warning); bit 10 target reached, bit 11 internal limit active (a target
//    beyond the software limits 0x607D, a limit switch reached outside homing); bits 12/13 per
//    mode: profile position set-point acknowledge / following error; profile velocity speed (12
//    set while the axis stands); homing attained / homing error; cyclic modes target followed /
//    following error (cyclic position).
//  - Controlword 0x6040: shutdown (xxxx x110), switch on (0111), switch on + enable operation
//    (1111, from Ready to switch on through Switched on at once), disable voltage (xxxx xx0x),
//    quick stop (xxxx x01x), disable operation (0111 in Operation enabled), fault reset (bit 7;
//    outside Fault a word with bit 7 set commands nothing). Quick stop in Operation enabled
//    brakes with 0x6085 (0x6084 for option 1) and then, by the quick stop option code 0x605A:
//    0..4 Switch on disabled (0 at once, without braking), 5..8 stays in Quick stop active, from
//    where enable operation goes back to Operation enabled. Fault reaction active brakes with
//    0x6085 and becomes Fault by itself after kFaultReactionNs.
//  - Modes: 0x6060 request (a mode not in 0x6502 is refused with 0x06090030), shown in 0x6061
//    at the next step. Profile position (1): a rising edge of bit 4 takes 0x607A (bit 6: relative
//    to the last target), with 0x6081/0x6083/0x6084, and sets bit 12 until bit 4 drops; bit 5
//    (change set immediately) replaces the running move, else the new set-point waits until the
//    running one is reached (one is kept). Target reached when the position stays within 0x6067
//    of the target for 0x6068 ms (0xFFFFFFFF: as soon as the profile ends). Halt (bit 8) brakes
//    with 0x6084 and sets target reached once standing; the move goes on when halt drops.
//    Halt brakes with 0x6084 in the other modes too (homing: it interrupts the homing).
//    Profile velocity (3): 0x60FF with 0x6083/0x6084; target reached within 0x606D. Profile torque
//    (4): 0x6077 follows 0x6071 (at 0x6087 per mille/s, 0: at once), the load turns at 1000
//    increments/s^2 per per mille less a viscous loss of 1/s. Homing (6): started by a rising
//    edge of bit 4 (dropping it, or halt, interrupts), method 0x6098, speeds 0x6099:1 (search for
//    a switch) and :2 (search for the edge or index pulse), acceleration 0x609A; at the end the
//    home position becomes the home offset 0x607C (the position is set to it), bits 10 and 12
//    set. Methods: 1/2 negative/positive limit switch then the first index pulse inside; 17/18
//    the same, ending at the switch's edge; 19/20 the positive home switch (active at and above
//    its position), 19 ending on the edge moving negative, 20 moving positive; 21/22 a negative
//    home switch (active at and below the home switch position), 21 ending moving positive, 22
//    moving negative; 33/34 the next index pulse in negative/positive direction; 35 and 37 the
//    position where the axis stands. A method the model does not know, a limit switch met while
//    searching a home switch, or more travel than DriveSimConfig::search_distance end in homing
//    error (bit 13). Cyclic synchronous position/velocity/torque (8/9/10): 0x607A/0x60FF/0x6071
//    are followed as they are written (a synchronous RPDO writes them at each SYNC); a position
//    target is reached in equal steps over the interpolation period 0x60C2 (sub 1 value, sub 2
//    index: 10^index s).
//  - Physics: the software limits 0x607D:1/2 (both 0: none) clip position targets and stop
//    velocity moves (bit 11); the limit switches and the home switch sit at fixed positions of the
//    axis (DriveSimConfig), an index pulse every index_spacing increments; 0x60FD shows the
//    negative limit switch (bit 0), positive limit switch (bit 1) and home switch (bit 2). A
//    blocked motor (block(true)) stands still while the demand goes on: the following error
//    0x60F4 grows and beyond the window 0x6065 (0xFFFFFFFF: off) for the time 0x6066 gives
//    fault 0x8611. Actual position 0x6064, demand 0x6062, actual velocity 0x606C, torque 0x6077.
//  - Faults: over-temperature (EMCY 0x4310, error register 0x09), over-voltage (0x3210, 0x05),
//    following error (0x8611, 0x21): Fault reaction active, then Fault; 0x1001 and 0x603F set; an
//    EMCY frame goes out at the next NodeLogic::pdo_due (not in stopped state). A fault reset
//    clears 0x1001 and 0x603F and sends the error reset EMCY (code 0x0000).
//  - NMT reset node starts the drive again in Switch on disabled; reset communication leaves it.
//
// Quirks of real drives, off by default, each a bit of DriveSimConfig::quirks:
//  - kQuirkFaultResetEdge ("fault-reset-edge"): a fault is reset only by a controlword with bit 7
//    set that follows one with bit 7 clear. Without it every word with bit 7 set resets it.
//  - kQuirkHomingMethods ("homing-methods"): 0x6098 takes only the methods of
//    DriveSimConfig::homing_methods (0, no method, only when listed); others are refused with
//    0x06090030. Without it any method is taken and an unknown one ends in homing error.
//  - kQuirkHaltBlocksMode ("halt-blocks-mode"): 0x6061 does not follow 0x6060 while bit 8 (halt)
//    is set; the switch happens at the first step after halt drops.
//  - kQuirkSetPointAckHeld ("setpoint-ack-held"): the set-point acknowledge (bit 12) drops only
//    at the drive's next step after bit 4 dropped, and a rising edge of bit 4 seen while it is
//    still set is lost: a master must wait for bit 12 to clear before it raises bit 4 again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pdo_producer.h"

namespace sim {

class NodeLogic;

// The dictionary of the simulated drive (sim/eds/drive402.eds), compiled in.
extern const char* const kDriveEds;

enum DriveQuirk : unsigned {
  kQuirkFaultResetEdge = 1,
  kQuirkHomingMethods = 2,
  kQuirkHaltBlocksMode = 4,
  kQuirkSetPointAckHeld = 8,
};
// "fault-reset-edge", "homing-methods", "halt-blocks-mode", "setpoint-ack-held" joined by ",";
// the bits, or -1 for an unknown name.
long drive_quirks_from_text(const std::string& names);

enum class DriveFault : uint8_t { kNone, kOverTemperature, kFollowingError, kOverVoltage };
// "over-temperature", "following-error", "over-voltage"; kNone for anything else.
DriveFault drive_fault_from_text(const std::string& name);
const char* drive_fault_name(DriveFault f);
// The emergency code and error register of a fault.
uint16_t drive_fault_code(DriveFault f);
uint8_t drive_fault_register(DriveFault f);

// The model's states, as the statusword shows them.
enum class SimDriveState : uint8_t {
  kNotReadyToSwitchOn,
  kSwitchOnDisabled,
  kReadyToSwitchOn,
  kSwitchedOn,
  kOperationEnabled,
  kQuickStopActive,
  kFaultReactionActive,
  kFault,
};
const char* sim_drive_state_name(SimDriveState s);

struct DriveSimConfig {
  unsigned quirks = 0;  // DriveQuirk bits
  // The methods 0x6098 takes with kQuirkHomingMethods.
  std::vector<int> homing_methods = {1, 2, 17, 18, 19, 20, 21, 22, 33, 34, 35, 37};
  // Positions of the axis (increments, before any homing moved the scale).
  int64_t negative_limit_switch = -110000;  // active at and below
  int64_t positive_limit_switch = 110000;   // active at and above
  int64_t home_switch = 5000;               // active at and above (at and below for 21/22)
  int64_t index_spacing = 4000;             // an index pulse at every multiple; 0: none
  int64_t search_distance = 300000;         // most travel of a homing before homing error
  int64_t start_position = 0;
  // Software position limits 0x607D written into the dictionary (both 0: none).
  int32_t min_position = -100000;
  int32_t max_position = 100000;
};

class DriveModel final : public DeviceModel {
 public:
  static constexpr int64_t kStepNs = 1'000'000;
  static constexpr int64_t kFaultReactionNs = 5'000'000;
  // Steps one call of step() makes at most to catch up with the caller's time (60 s); time
  // beyond that is skipped.
  static constexpr int kMaxCatchUp = 60'000;

  explicit DriveModel(DriveSimConfig config = {});

  // DeviceModel.
  void step(int64_t now_ns, ObjectValues& od) override;
  int64_t step_ns() const override { return kStepNs; }
  uint32_t check_download(ObjectKey key, const std::string& value) const override;
  void written(ObjectKey key, ObjectValues& od) override;
  void restart(ObjectValues& od) override;
  std::vector<Emergency> take_emergencies() override;

  // Fault injection (any thread): the fault comes at the next step. kNone does nothing.
  void inject_fault(DriveFault f);
  // The motor cannot turn: its position stays while the demand goes on.
  void block(bool on);
  // Statusword bit 7.
  void set_warning(bool on);

  // For tests and tools (any thread).
  SimDriveState state() const;
  int64_t position() const;           // actual position, increments (0x6064)
  int64_t velocity() const;           // actual velocity, increments/s (0x606C)
  int64_t physical_position() const;  // on the axis's own scale (switch positions)
  int8_t mode() const;                // mode display
  uint16_t statusword() const;
  int controlwords_seen() const;
  int setpoints_taken() const;  // profile position set-points taken
  int homings_done() const;
  DriveFault fault() const;  // the fault that brought the drive to Fault (kNone otherwise)
  const DriveSimConfig& config() const { return cfg_; }

 private:
  enum class Homing : uint8_t { kIdle, kSearch, kFinal, kIndex, kDone, kError, kInterrupted };
  // A position set-point of profile position.
  struct SetPoint {
    double target = 0;
    bool valid = false;
  };

  void command_locked(uint16_t cw, ObjectValues& od);
  void enter_fault_locked(DriveFault f, ObjectValues& od);
  void set_state_locked(SimDriveState s);
  void take_setpoint_locked(uint16_t cw, ObjectValues& od);
  void start_homing_locked(ObjectValues& od);
  void finish_homing_locked(double home_phys, ObjectValues& od);
  void homing_step_locked(double dt, ObjectValues& od);
  void motion_locked(double dt, ObjectValues& od);
  // Moves the demand toward `target` (trapezoid); true when standing at it.
  bool profile_to_locked(double target, double vmax, double acc, double dec, double dt);
  // Brings the demand velocity toward `v` at `acc`.
  void ramp_velocity_locked(double v, double acc, double dt);
  void write_locked(ObjectValues& od);
  uint16_t statusword_locked() const;
  bool switch_active_locked(int which, double phys) const;  // 0 neg, 1 pos, 2 home

  DriveSimConfig cfg_;
  mutable std::mutex mx_;  // guards everything below
  SimDriveState state_ = SimDriveState::kNotReadyToSwitchOn;
  int64_t now_ = -1;  // time of the last step
  int64_t state_since_ = 0;
  uint16_t cw_ = 0;      // last controlword
  bool booted_ = false;  // left Not ready to switch on
  int8_t mode_ = 0;      // display
  // Axis: demand and actual on the physical scale; the shown position adds shift_.
  double demand_ = 0, demand_v_ = 0;
  double actual_ = 0, actual_v_ = 0;
  double shift_ = 0;
  double torque_ = 0;  // actual, per mille
  bool blocked_ = false;
  bool warning_ = false;
  DriveFault pending_fault_ = DriveFault::kNone;
  DriveFault fault_ = DriveFault::kNone;
  int64_t follow_since_ = -1;  // since when the following error is beyond the window
  bool following_error_ = false;
  bool internal_limit_ = false;
  bool target_reached_ = false;
  int64_t in_window_since_ = -1;
  // Profile position.
  SetPoint current_, queued_;
  double last_target_ = 0;  // shown scale, for relative set-points
  bool ack_ = false;
  bool ack_release_ = false;  // kQuirkSetPointAckHeld: bit 4 dropped, ack clears at next step
  // Homing.
  Homing homing_ = Homing::kIdle;
  int homing_method_ = 0;
  // Homing phases: kSearch moves search_dir_ at the switch speed until switch search_sw_ is
  // search_want_; kFinal moves final_dir_ at the zero speed until final_sw_ is final_want_ (its
  // position is the home position) or, with index_after_, goes on to the next index pulse
  // (kIndex). Switches: 0 negative limit, 1 positive limit, 2 home (active at and above),
  // 3 home read as a negative home switch (active at and below).
  int search_dir_ = 0, final_dir_ = 0;
  int search_sw_ = 0, final_sw_ = 0;
  bool search_want_ = true, final_want_ = false;
  bool index_after_ = false;
  double index_at_ = 0;  // kIndex: the pulse looked for
  double homing_start_ = 0;
  // Cyclic position: the step per ms toward the last target.
  double csp_target_ = 0, csp_step_ = 0;
  std::vector<Emergency> emergencies_;
  int controlwords_ = 0;
  int setpoints_ = 0;
  int homings_ = 0;
};

// Makes `node` a drive: the dictionary of kDriveEds (with the node's id), the software limits of
// `config`, and a DriveModel, which is returned. Throws std::runtime_error when the built-in
// file cannot be read (a build fault).
std::shared_ptr<DriveModel> make_drive(NodeLogic& node, const DriveSimConfig& config = {});

}  // namespace sim
