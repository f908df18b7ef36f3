// Motor drives (the CANopen device profile for drives and motion control): the power state
// machine decoded from the statusword and walked by controlword commands, the modes of operation
// (profile position, velocity and torque, homing, cyclic synchronous position, velocity and
// torque), and the events a device server needs (state changes, target reached, homing done or
// failed, following error, warning, faults with their emergency decoded).
//
// A Drive stands on an attached node property and the node monitor. The cyclic path is process
// data only: the statusword, actual position, actual velocity and mode display come by TPDO
// (decoded by the monitor, handed to the drive by the callbacks of callbacks()), the controlword,
// targets and mode go out by RPDO. SDO is used at set-up only (supported modes 0x6502, limits,
// the PDO configuration). A drive whose PDOs cannot be configured works by SDO instead: poll()
// then reads the statusword and actual values by SDO, and commands are SDO downloads.
//
// Objects are always found by index (0x6040 controlword, 0x6041 statusword, ...), the objects of
// axis k of a multi-axis drive at index + 0x800 * k, never by the names vendors give them in
// their EDS files. The EDS, when there is one, only supplies limits (0x607D software position
// limits, 0x6080 max motor speed) and units.
//
// Operations (enable, set_mode, move_to, home, ...) are started by a call that returns at once,
// and end with a DriveEvent of kind kDone or kFailed (and in wait()). The drive makes progress in
// the monitor's callbacks (a new statusword) and in poll(now) (time-outs; SDO reads without
// PDOs): a test drives both on the framework's test clock; a server calls poll() from a timer
// or its bus worker and may block in wait().
//
// Threads: every public function may be called from any thread; the drive's state is guarded by
// one mutex, which is never held while a frame is sent or an SDO transfer runs, nor while the
// listener runs. The listener runs on the thread that made the progress (the monitor's, or the
// caller of poll()); it must not call wait(). Remove the node from the monitor (and stop the
// SYNC producer's use, stop_cyclic) before the drive is destroyed: its callbacks point to it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can_emcy.h"
#include "can_monitor.h"
#include "can_pdo.h"

class D_can;

namespace canbus {

class ObjectDictionary;

// --- Objects --------------------------------------------------------------------------------

// The profile's objects of axis 0; axis k adds kDriveAxisOffset * k.
namespace drive_obj {
constexpr uint16_t kErrorCode = 0x603F;
constexpr uint16_t kControlword = 0x6040;
constexpr uint16_t kStatusword = 0x6041;
constexpr uint16_t kQuickStopOption = 0x605A;
constexpr uint16_t kModesOfOperation = 0x6060;
constexpr uint16_t kModesDisplay = 0x6061;
constexpr uint16_t kPositionActual = 0x6064;
constexpr uint16_t kFollowingErrorWindow = 0x6065;
constexpr uint16_t kVelocityActual = 0x606C;
constexpr uint16_t kTargetTorque = 0x6071;
constexpr uint16_t kTorqueActual = 0x6077;
constexpr uint16_t kTargetPosition = 0x607A;
constexpr uint16_t kHomeOffset = 0x607C;
constexpr uint16_t kSoftwareLimits = 0x607D;  // sub 1 min, sub 2 max
constexpr uint16_t kMaxMotorSpeed = 0x6080;
constexpr uint16_t kProfileVelocity = 0x6081;
constexpr uint16_t kProfileAcceleration = 0x6083;
constexpr uint16_t kProfileDeceleration = 0x6084;
constexpr uint16_t kHomingMethod = 0x6098;
constexpr uint16_t kHomingSpeeds = 0x6099;  // sub 1 search for switch, sub 2 search for zero
constexpr uint16_t kHomingAcceleration = 0x609A;
constexpr uint16_t kInterpolationPeriod = 0x60C2;  // sub 1 value, sub 2 index (10^index s)
constexpr uint16_t kTargetVelocity = 0x60FF;
constexpr uint16_t kSupportedModes = 0x6502;
}  // namespace drive_obj
constexpr uint16_t kDriveAxisOffset = 0x800;
constexpr int kMaxDriveAxes = 8;

// --- Statusword and controlword -------------------------------------------------------------

enum class DriveState : uint8_t {
  kUnknown,  // not read yet
  kNotReadyToSwitchOn,
  kSwitchOnDisabled,
  kReadyToSwitchOn,
  kSwitchedOn,
  kOperationEnabled,
  kQuickStopActive,
  kFaultReactionActive,
  kFault,
};
// The state the statusword shows (bits 0..3, 5, 6 as the profile masks them).
DriveState drive_state(uint16_t statusword);
// "Not ready to switch on", "Switch on disabled", "Ready to switch on", "Switched on",
// "Operation enabled", "Quick stop active", "Fault reaction active", "Fault"; "Unknown".
const char* drive_state_name(DriveState s);

namespace statusword {
constexpr uint16_t kReadyToSwitchOn = 1u << 0;
constexpr uint16_t kSwitchedOn = 1u << 1;
constexpr uint16_t kOperationEnabled = 1u << 2;
constexpr uint16_t kFault = 1u << 3;
constexpr uint16_t kVoltageEnabled = 1u << 4;
constexpr uint16_t kQuickStop = 1u << 5;  // 0: quick stop active
constexpr uint16_t kSwitchOnDisabled = 1u << 6;
constexpr uint16_t kWarning = 1u << 7;
constexpr uint16_t kRemote = 1u << 9;
constexpr uint16_t kTargetReached = 1u << 10;
constexpr uint16_t kInternalLimit = 1u << 11;
// Mode-specific bit 12: set-point acknowledge (profile position), speed (profile velocity: 0
// speed), homing attained (homing), target followed (cyclic modes).
constexpr uint16_t kOpSpecific12 = 1u << 12;
// Mode-specific bit 13: following error (profile position, cyclic position), homing error
// (homing), max slippage (velocity).
constexpr uint16_t kOpSpecific13 = 1u << 13;
}  // namespace statusword

namespace controlword {
constexpr uint16_t kSwitchOn = 1u << 0;
constexpr uint16_t kEnableVoltage = 1u << 1;
constexpr uint16_t kQuickStop = 1u << 2;  // 0: quick stop
constexpr uint16_t kEnableOperation = 1u << 3;
constexpr uint16_t kNewSetPoint = 1u << 4;  // profile position; homing: start homing
constexpr uint16_t kChangeImmediately = 1u << 5;
constexpr uint16_t kRelative = 1u << 6;
constexpr uint16_t kFaultReset = 1u << 7;
constexpr uint16_t kHalt = 1u << 8;
constexpr uint16_t kChangeOnSetPoint = 1u << 9;
// The bits the state machine commands (0..3 and 7).
constexpr uint16_t kStateBits = 0x008F;
}  // namespace controlword

enum class DriveCommand : uint8_t {
  kShutdown,          // -> Ready to switch on
  kSwitchOn,          // -> Switched on
  kEnableOperation,   // -> Operation enabled (from Switched on; Switch on + enable at once)
  kDisableVoltage,    // -> Switch on disabled
  kQuickStop,         // -> Quick stop active (from Operation enabled), else Switch on disabled
  kDisableOperation,  // -> Switched on
  kFaultReset,        // Fault -> Switch on disabled, on the rising edge of bit 7
};
const char* drive_command_name(DriveCommand c);  // "shutdown", "switch on", ...
// The controlword for `c`, keeping the bits of `current` outside the state bits (halt, the
// mode-specific bits). A fault reset gives bit 7 set; the caller makes the rising edge by
// sending the word with bit 7 clear first.
uint16_t controlword_for(DriveCommand c, uint16_t current = 0);
// The next command on the way from `from` to `to` (each command moves one step of the state
// machine): the path from Fault runs Fault -> Switch on disabled -> Ready to switch on ->
// Switched on -> Operation enabled, and back the other way. false when `from` is `to`, or when
// no command leads on (Not ready to switch on and Fault reaction active pass by themselves).
bool next_drive_command(DriveState from, DriveState to, DriveCommand& out);

// --- Modes of operation ---------------------------------------------------------------------

enum class DriveMode : int8_t {
  kNone = 0,
  kProfilePosition = 1,
  kVelocity = 2,
  kProfileVelocity = 3,
  kProfileTorque = 4,
  kHoming = 6,
  kInterpolatedPosition = 7,
  kCyclicSyncPosition = 8,
  kCyclicSyncVelocity = 9,
  kCyclicSyncTorque = 10,
};
// "profile position", "profile velocity", "homing", "cyclic synchronous position", ... ; a
// vendor mode (negative) gives "vendor mode -N".
std::string drive_mode_name(int8_t mode);
// The bit of 0x6502 (supported drive modes) that says mode `m` is there: bit m - 1 for 1..10;
// 0 for others (vendor modes are not described by that object).
uint32_t supported_mode_bit(int8_t mode);

// Emergency codes of drives with their texts: 0x2310 "continuous over-current", 0x3210 "DC link
// over-voltage", 0x4310 "drive temperature", 0x7305 "incremental sensor 1 fault", 0x8611
// "following error", and the others of the profile; emcy_code_text() for the rest.
std::string drive_emcy_text(uint16_t code);

// --- Configuration --------------------------------------------------------------------------

// Positions and velocities in the device server's units: shown = increments / scale.
struct DriveScale {
  double position = 1;  // increments per unit ("1000" increments per mm)
  double velocity = 1;  // increments/s per unit/s
  std::string unit;     // "mm"; "" for increments
};

struct DriveConfig {
  int axis = 0;  // 0..7: the objects at index + 0x800 * axis
  DriveScale scale;
  // Time for each step of the state machine, a mode switch, or a set-point acknowledge to be
  // confirmed by the statusword (or 0x6061).
  int step_timeout_ms = 500;
  // Longest homing and longest move before kFailed (0: no limit).
  int homing_timeout_ms = 60000;
  int move_timeout_ms = 0;
  // Process data. With use_pdos, setup() configures `pdos` (or, when empty, the default mapping
  // of default_drive_pdos()) and the monitor decodes the TPDOs; without, or when the
  // configuration fails and sdo_fallback is set, the drive works by SDO.
  bool use_pdos = true;
  bool sdo_fallback = true;
  std::vector<PdoConfig> pdos;
  // The SYNC producer of the drive's line, for the cyclic synchronous modes.
  SyncProducer* sync = nullptr;
  // The drive's cycle in SYNC periods (1..240): a target goes out after every cycle_syncs-th
  // SYNC, and setup() writes cycle_syncs * the SYNC period into the interpolation period 0x60C2.
  // On one line with a 1 ms SYNC, two drives may run every SYNC and eight every 4th: drives of
  // a cycle of n SYNCs are spread over the n SYNCs by their node id (node id + axis modulo n).
  int cycle_syncs = 1;
  // The monitor the node is supervised by (optional): setup() has it decode the drive's TPDOs
  // (NodeMonitor::add_tpdo). Without, the server adds the TPDOs of pdos() itself.
  NodeMonitor* monitor = nullptr;
  // Profile parameters in scaled units (velocity per s, acceleration per s^2), written by
  // setup() when set; move_to's velocity is written with the target, and only when it changed.
  std::optional<double> profile_velocity, profile_acceleration, profile_deceleration;
  // The node's dictionary (optional): software position limits, max motor speed, units.
  std::shared_ptr<const ObjectDictionary> dictionary;
  // Homing parameters written by home() when set.
  std::optional<int8_t> homing_method;
  std::optional<uint32_t> homing_speed_switch, homing_speed_zero, homing_acceleration;
  std::optional<int32_t> home_offset;
};

// The default process data of axis `axis`: TPDO1 statusword + mode display (on change), TPDO2
// actual position + actual velocity (event timer `event_ms`, and synchronous when `sync` is
// set), RPDO1 controlword + modes of operation (at once), RPDO2 target position + profile
// velocity (at once), RPDO3 target velocity, RPDO4 target position synchronous (the cyclic
// position target after every SYNC) — on the predefined identifiers of axis 0, or given
// identifiers from 0x180 + 0x40 * axis ... for further axes (PDO numbers 4 * axis + 1..4, the
// identifier the predefined one of PDO 1..4 plus 0x40 * axis, for node `node`: 0 leaves them to
// setup(), which knows the node).
std::vector<PdoConfig> default_drive_pdos(int axis = 0, int event_ms = 10, bool sync = false,
                                          int node = 0);

// --- Events ---------------------------------------------------------------------------------

struct DriveEvent {
  enum Kind : uint8_t {
    kState,           // the power state changed (state, previous)
    kModeChanged,     // the mode display changed (mode)
    kTargetReached,   // position / velocity at target
    kHomingDone,      // homing attained
    kHomingFailed,    // homing error
    kFollowingError,  // following error bit set
    kWarning,         // warning bit set or cleared (on)
    kFault,           // the drive entered Fault (emcy: the last emergency, with its text)
    kDone,            // the operation started last ended well (text: what the drive did)
    kFailed,          // it failed (text: why, naming the state the drive stayed in)
  };
  Kind kind = kState;
  DriveState state = DriveState::kUnknown;
  DriveState previous = DriveState::kUnknown;
  int8_t mode = 0;
  bool on = false;
  uint16_t statusword = 0;
  double position = 0;  // scaled
  double velocity = 0;  // scaled
  std::optional<Emcy> emcy;
  std::string text;  // "target reached at 12.500 mm", "stayed in Fault: 0x8611 following error"
  int64_t time_ns = 0;
};
const char* drive_event_name(DriveEvent::Kind k);  // "state", "target-reached", ...

// What an operation ended with: ok, or the reason.
struct DriveResult {
  bool ok = false;
  bool pending = false;  // wait() ran out of time while the operation still runs
  std::string text;
};

// --- The drive ------------------------------------------------------------------------------

struct DriveStatus {
  DriveState state = DriveState::kUnknown;
  uint16_t statusword = 0;
  uint16_t controlword = 0;  // last sent
  int8_t mode = 0;           // mode display
  int32_t position_inc = 0;
  int32_t velocity_inc = 0;
  double position = 0;      // scaled
  double velocity = 0;      // scaled
  int64_t updated_ns = 0;   // time of the last statusword
  int64_t position_ns = 0;  // time of the frame (or SDO read) that brought position / velocity
  bool by_pdo = false;      // the statusword comes by TPDO
  uint32_t supported_modes = 0;
  std::optional<Emcy> last_emcy;  // the last real emergency; an error reset (code 0) clears it
  bool busy = false;              // an operation runs
};

class Drive {
 public:
  using Listener = std::function<void(const DriveEvent&)>;

  // `node` must be an attached node property that outlives the drive.
  Drive(D_can& node, DriveConfig config = {});
  ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  D_can& node() const { return node_; }
  const DriveConfig& config() const { return cfg_; }
  void set_listener(Listener fn);

  // Set-up by SDO, in the caller's thread: reads the supported modes (0x6502; a drive without it
  // supports what it accepts), the statusword and mode display, the limits; with use_pdos
  // configures the PDOs (their failure switches to SDO when sdo_fallback is set). A failing read
  // of the statusword fails the set-up. Call it once the node is supervised and again after the
  // node booted.
  DriveResult setup();
  // The callbacks to add the node with (NodeMonitor::add) or to call from one's own: TPDOs,
  // emergencies, NMT state, boot-up.
  NodeCallbacks callbacks();
  void on_pdo(int pdo, const PdoValues& values);
  void on_emergency(const Emcy& emcy);

  // Time-outs at `now_ns` (framework clock) and, without PDOs, the statusword and actual values
  // read by SDO. Call it every few milliseconds while operations run, every period otherwise.
  void poll(int64_t now_ns);

  // Operations: each returns at once (false with the reason in *why when refused before anything
  // is sent: an unsupported mode, a target beyond the limits, another operation running) and
  // ends with kDone or kFailed. A new operation replaces a running one only for halt, stop,
  // quick_stop and reset.
  bool go_to(DriveState target, std::string* why = nullptr);  // walks the path
  bool enable(std::string* why = nullptr) { return go_to(DriveState::kOperationEnabled, why); }
  bool disable(std::string* why = nullptr) { return go_to(DriveState::kSwitchOnDisabled, why); }
  bool fault_reset(std::string* why = nullptr);  // rising edge of bit 7, then Switch on disabled
  bool quick_stop(std::string* why = nullptr);
  bool halt(bool on, std::string* why = nullptr);
  // Mode switch: halt cleared first, the request sent once, confirmed by the mode display.
  bool set_mode(DriveMode mode, std::string* why = nullptr);
  bool set_mode(int8_t mode, std::string* why = nullptr);
  // Profile position (switches the mode when needed): done on target reached.
  bool move_to(double position, std::optional<double> velocity = std::nullopt,
               bool relative = false, bool immediately = false, std::string* why = nullptr);
  // Profile velocity; done when the velocity is reached. Profile torque (per mille of rated).
  bool jog(double velocity, std::string* why = nullptr);
  bool torque(int16_t per_mille, std::string* why = nullptr);
  // Homing with the configured or given method (any the drive takes, vendor ones included;
  // a drive that has no homing refuses): done on homing attained, failed on homing error.
  bool home(std::optional<int8_t> method = std::nullopt, std::string* why = nullptr);
  // Cyclic synchronous modes: after every cycle_syncs-th SYNC of config().sync, `source` gives
  // the target of the cycle (scaled position, velocity, or torque per mille) and it goes out at
  // once in the synchronous RPDO that maps the target (with the default mapping, RPDO 4 is
  // mapped anew by SDO here for velocity and torque). The source runs on the producer's thread
  // and must return quickly. Refused without a producer, outside Operation enabled, or without
  // such an RPDO (a drive working by SDO).
  using CyclicSource = std::function<double(const SyncEvent&)>;
  bool start_cyclic(DriveMode mode, CyclicSource source, std::string* why = nullptr);
  void stop_cyclic();

  // Waits at most `timeout_ms` (real time) for the operation started last to end.
  DriveResult wait(int timeout_ms);
  // Waits for operation number `op` (operation() read right after starting it) to end: its own
  // result, also when a newer one replaced it ("... replaced by halt"). The drive keeps the
  // results of its last kKeptResults operations; an older one reads as failed.
  DriveResult wait(int timeout_ms, uint64_t op);
  // The number of the newest operation started (0: none yet).
  uint64_t operation() const;
  static constexpr size_t kKeptResults = 16;
  DriveStatus status() const;
  // The PDOs in use after setup() (empty while the drive works by SDO).
  std::vector<PdoConfig> pdos() const;

 private:
  struct Impl;
  D_can& node_;
  DriveConfig cfg_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace canbus
