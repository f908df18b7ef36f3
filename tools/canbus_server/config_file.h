// The server's configuration file as text: read whole, checked line by line, and written back
// with only the lines of the properties the server owns replaced. Comments, blank lines, lines of
// properties the server does not know and (with --ignore-bad-lines) lines it could not use stay
// where they were. Depends on the standard library only, so tests and fuzzers use it directly.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace canbus_server {

// Ranges of a node property's value and of its sub-properties, shared by the configuration
// check and the checks of client writes.
inline constexpr int kMinLine = 1, kMaxLine = 20;
inline constexpr int kMinNode = 1, kMaxNode = 127;
inline constexpr int kMaxIdent = 2047;
inline constexpr int kMaxBaudCode = 14;  // the driver's table: codes 0..14
// The code a line opens with when its property gives 0 or no .BAUDRATE (125 kbit/s).
inline constexpr int kDefaultBaudCode = 6;

// The whole text of a configuration file, which must be a regular file of at most 64 MB: a FIFO
// is not waited on, a device such as /dev/zero is not read. false with the reason in `why`
// ("not a regular file", "larger than 64 MB", "cannot be read: ...").
// `path` relative to the folder `dfd` when it is not absolute.
bool read_config_text(const std::string& path, std::string& out, std::string& why,
                      int dfd = AT_FDCWD);

// Writes all of `text` to `fd` (again after an interruption); false on an error.
bool write_all(int fd, const std::string& text);

// Integer of a whole token: optional sign, decimal digits or 0x and hexadecimal digits, within
// int. false for anything else (empty, trailing text, overflow).
bool parse_int(const std::string& s, int& v);
// A finite number: an integer as parse_int takes it, or decimal with a fraction or exponent.
bool parse_number(const std::string& s, double& v);
// The same syntax without a sign, up to `max`: the numbers of every request (sdo's index,
// subindex and value included).
bool parse_uint(const std::string& s, uint64_t max, uint64_t& v);

// Why a node property value (line, node id, two further identifiers) cannot be used; empty
// when it can.
std::string check_node_value(const int v[4]);
// The same for the debug selector (line 0..20, identifiers 0..2047).
std::string check_debug_value(const int v[4]);
// The same for a baud-rate code.
std::string check_baud_code(int code);

// A node's supervision (NAME.MONITOR: guarding PERIOD_MS MISSES, or heartbeat PERIOD_MS
// TOLERANCE_MS): node guarding with a request every period, lost after MISSES requests without a
// good reply; or the node's heartbeat (its producer time), lost when it stays away longer than
// period + tolerance. Without the line: guarding 1000 3.
struct MonitorSpec {
  bool heartbeat = false;
  int period_ms = 1000;
  int misses = 3;          // guarding
  int tolerance_ms = 150;  // heartbeat
};
inline constexpr int kMonitorPeriodMs = 100;  // the receive cycle's period
inline constexpr int kMaxSupervisionMs = 60000;
inline constexpr int kMaxMisses = 100;
// Reads a .MONITOR value into `out`; the reason when it cannot be used (then `out` is untouched).
std::string parse_monitor(const std::string& value, MonitorSpec& out);
// The value text of `m` ("guarding 1000 3"), as parse_monitor reads it.
std::string monitor_text(const MonitorSpec& m);

// Process data of a node property (NAME.TPDOn / NAME.RPDOn lines):
//   NAME.TPDO1: event 100 map CH1 0x6401:1 int16 scale 0.001 unit V deadband 0.01, CH2 ...
//   NAME.RPDO1: sync map SETPOINT 0x2100:0 uint32 unit mA min 0 max 5000
// Transmission (TPDO): `event MS` (type 255, event timer MS), `change MS` (type 254: on change,
// and every MS at least), `sync N` (every N-th SYNC, 1..240); RPDO: `sync` (taken at the next
// SYNC, type 1) or nothing (at once, type 255), and `interval MS`: the least time between two of
// its frames sent at once (a set within it goes out with the latest values when it ends; default:
// the frame's bit length over 3 % of the line's bit rate, at least 1 ms). `cob ID` gives the
// identifier (needed above PDO 4; else the predefined one). Per value: its name (a property
// NAME.VALUE), the object and its type (bool, int8..int64, uint8..uint64, real32, real64 or the
// CANopen names), or the object's name in the node's EDS in double quotes ("Read analogue input
// 16-bit.Channel 1"), optionally `scale X` and `offset X` (shown = raw * scale + offset), `unit U`,
// `deadband X` (watch: a change smaller than that is no event) and, for an RPDO, `min X` / `max X`
// (in shown units). A TPDO's value may have limits (shown units, `-` for no limit on that side):
// `alarm LOW HIGH`, `warn LOW HIGH` and the `hysteresis H` by which it must be back inside a limit
// before its alarm or warning ends (default: 1 % of HIGH - LOW, of the one limit's size when only
// one is given).
struct Limits {
  bool has_low = false, has_high = false;
  double low = 0, high = 0;
  bool any() const { return has_low || has_high; }
};
struct PdoValueLine {
  std::string name;
  std::string object;  // by its name in the node's EDS: index, type and bits come from there
  int index = 0;
  int subindex = 0;
  std::string type;  // the CiA name of the numeric type written (UNSIGNED16 for uint16)
  unsigned bits = 0;
  bool is_real = false;
  double scale = 1, offset = 0, deadband = 0;
  std::string unit;
  bool has_min = false, has_max = false;
  double min = 0, max = 0;
  bool clear_at_boot = false;  // RPDO: `boot clear`
  Limits alarm, warn;          // TPDO
  bool has_hysteresis = false;
  double hysteresis = 0;
};
struct PdoLine {
  bool tpdo = true;
  int number = 1;
  int transmission = 255;
  int event_ms = 0;
  int cob_id = 0;       // 0: the predefined one
  int interval_ms = 0;  // RPDO: the least time between two frames; 0: derived from the line
  std::vector<PdoValueLine> values;
};
inline constexpr int kMaxPdoNumber = 512;
// Reads NAME.<which> (`which` "TPDO1", "RPDO2") into `out`; the reason when it cannot be used.
std::string parse_pdo(const std::string& which, const std::string& value, PdoLine& out);
// Whether `suffix` (after the node property's name and a dot) names a PDO line: TPDOn / RPDOn.
bool is_pdo_suffix(const std::string& suffix);

// SDO writes at every boot of the node (NAME.BOOT), before its PDOs are configured and it is
// started: `INDEX:SUB TYPE VALUE` or `"OBJECT NAME" VALUE` (by name in the node's EDS, the type
// taken from there) items separated by ';', or `dcf` for the writes and PDOs the node's DCF
// (NAME.EDS) asks for: "0x1017:0 uint16 500; dcf", "\"Producer heartbeat time\" 500".
struct BootWriteSpec {
  int index = 0;
  int subindex = 0;
  std::string type;  // the CiA name of the numeric type written
  std::string value;
  std::string object;  // by name: the object's name; index, subindex and type unset
};
struct BootSpec {
  bool dcf = false;
  std::vector<BootWriteSpec> writes;
};
std::string parse_boot(const std::string& value, BootSpec& out);

// A SYNC producer on a line (LINE.N.SYNC: PERIOD_MS [counter OVERFLOW]): period 1..60000 ms,
// counter overflow 2..240 (none without).
struct SyncSpec {
  int period_ms = 0;
  int counter = 0;
};
std::string parse_sync(const std::string& value, SyncSpec& out);
// The line number of a LINE.N.SYNC name, or 0 when it is none.
int sync_line_of(const std::string& name);

// A line started as one network by the master (LINE.N.NETWORK), keywords in any order, each at
// most once: `master ID` (the master's node id 1..127), `heartbeat MS` (the master's heartbeat,
// 1..65535; needs `master`), `time MS` (a TIME producer, 1..60000), `start all|each|application`,
// `failure hold|stop|reset` (what a missing or failed mandatory node does to the others),
// `boottime MS` (how long a mandatory node has to be configured; 0: for ever), `retry MS` (the
// pause between two attempts of a node's procedure). Defaults as the library's NetworkConfig.
struct NetworkSpec {
  enum class Start { kAll, kEach, kApplication };
  enum class Failure { kHold, kStop, kReset };
  int master_id = 0;
  int heartbeat_ms = 0;
  int time_ms = 0;
  Start start = Start::kAll;
  Failure failure = Failure::kHold;
  int boot_time_ms = 10000;
  int retry_ms = 1000;
};
inline constexpr int kMaxBootTimeMs = 3600000;
std::string parse_network(const std::string& value, NetworkSpec& out);
// The line number of a LINE.N.NETWORK name, or 0 when it is none.
int network_line_of(const std::string& name);

// A node of a network (NAME.SLAVE, on the node's first property, on a line with a NETWORK line):
// `mandatory` or `optional`, then in any order, each at most once: `keep-alive`, `retries N`
// (0..255), the expected identity `device-type X`, `vendor X`, `product X`, `revision X`,
// `serial X` (0..0xFFFFFFFF), the expected software `software X` (0x1F56:1) and `date
// YYYY-MM-DD` (0x1F52), `image FILE` (the program downloaded when the software differs; relative
// to the configuration's directory; `software` defaults to the image's CRC-32), `update` (a
// download is allowed; needs `image`), `store` (store parameters after the configuration),
// `consume-master MS` (the node consumes the master's heartbeat, 0x1016:1, 1..65535).
struct SlaveSpec {
  bool mandatory = false;
  bool keep_alive = false;
  int retries = 0;
  bool has_device_type = false, has_vendor = false, has_product = false, has_revision = false,
       has_serial = false, has_software = false;
  uint32_t device_type = 0, vendor = 0, product = 0, revision = 0, serial = 0, software = 0;
  uint32_t date_days = 0;  // days since 1984-01-01; 0: not checked
  std::string image;
  bool update = false;
  bool store = false;
  int consume_master_ms = 0;
};
std::string parse_slave(const std::string& value, SlaveSpec& out);
// Days since 1984-01-01 of a date YYYY-MM-DD (from 1984-01-02 to 2163); false for anything else.
bool days_since_1984(const std::string& date, uint32_t& days);

// A motor drive on the node (NAME.DRIVE), e.g.
//   CAN.SLIT.DRIVE: homing 19 speed 2000 500 acceleration 10000 scale 1000 unit mm limits -50 50
// Keywords, each at most once, in any order: `axis N` (0..7: the objects of axis N of a
// multi-axis drive), `homing METHOD` (-128..127, vendor methods included, written before every
// homing) or `homing none` (the drive is never homed), `speed SWITCH ZERO` (homing speeds, 0x6099),
// `acceleration A` (homing acceleration, 0x609A) and `offset O` (home offset, 0x607C), those three
// in the drive's own increments as written; `velocity V` (profile velocity of a move, units/s),
// `scale S` (increments per unit, not 0), `unit U`, `limits LOW HIGH` (in units: targets outside
// are refused before anything is sent), `timeout S` (1..3600 s: the longest move or homing the
// server waits for; default 60), `sdo` (no PDOs: the drive is read and commanded by SDO).
struct DriveSpec {
  int axis = 0;
  bool has_homing = false;
  bool no_homing = false;  // `homing none`
  int homing = 0;
  bool has_speed = false;
  uint32_t speed_switch = 0, speed_zero = 0;
  bool has_acceleration = false;
  uint32_t acceleration = 0;
  bool has_offset = false;
  int32_t offset = 0;
  bool has_velocity = false;
  double velocity = 0;
  double scale = 1;
  std::string unit;
  bool has_limits = false;
  double low = 0, high = 0;
  int timeout_s = 60;
  bool sdo = false;
};
inline constexpr int kMaxDriveTimeoutS = 3600;
// Reads a .DRIVE value into `out`; the reason when it cannot be used (then `out` is untouched).
std::string parse_drive(const std::string& value, DriveSpec& out);
// The properties a drive gives its node property NAME: NAME.POSITION, .VELOCITY, .TARGET,
// .STATE, .MODE (no process value of the node may take these names).
extern const char* const kDriveProperties[5];

// The sub-properties of a node property the server reads from the configuration.
bool is_config_sub(const std::string& name);
// Any sub-property suffix of a node property (".BAUDRATE", ".ALIVE", ...).
bool has_sub_suffix(const std::string& name);

class ConfigFile {
 public:
  enum class Kind {
    kOther,    // blank line or comment
    kNode,     // a node property: NAME: line node ident ident
    kSub,      // a sub-property the server reads (.BAUDRATE, .DEBUG_ID, .MONITOR, .EDS, .TPDOn,
               // .RPDOn, .BOOT, .DRIVE, .SLAVE)
    kLine,     // a line's setting the server reads (LINE.N.SYNC, LINE.N.NETWORK)
    kUnknown,  // a property the server does not read: kept as it is
    kBad,      // a line the server cannot use
  };
  struct Line {
    std::string text;  // as in the file, without its line feed
    std::string name;  // empty for kOther and kBad lines without a name
    Kind kind = Kind::kOther;
    std::string error;  // kBad: why
  };
  struct Problem {
    int line;  // 1-based
    std::string reason;
  };

  static ConfigFile parse(const std::string& text);

  const std::vector<Line>& lines() const { return lines_; }
  // The bad lines, and the properties that give a CAN line a second baud rate (those are kept
  // usable: the line takes its first property's rate).
  std::vector<Problem> problems() const;
  // Names of the node properties, in file order.
  std::vector<std::string> node_names() const;
  // Value text of a property's line (after the colon, without leading blanks), or nullptr.
  const std::string* value_of(const std::string& name) const;
  // The number (1-based) of a property's line, 0 without one.
  int line_of(const std::string& name) const;

  // The file with the line of every property in `current` (name -> whole line, without line
  // feed) replaced in place, and the properties not yet in the file appended in `order`.
  std::string render(const std::map<std::string, std::string>& current,
                     const std::vector<std::string>& order) const;

 private:
  void check_line_rates();

  std::vector<Line> lines_;
  std::map<std::string, std::string> values_;
  std::vector<Problem> rate_problems_;
};

// Writes `text` to `path` so that a crash at any point leaves either the old or the new file
// whole, and nothing but `path` and its backups is ever written: the text goes to a temporary
// file in the same folder (PATH.tmp.RANDOM, created exclusively, never through a link), flushed
// to disk and given the old file's mode and owner; the old file becomes PATH.bak (the backups
// before it move on to PATH.bak.1 .. PATH.bak.(N-1)), then the temporary file is renamed over
// PATH. A text equal to the file's writes nothing, so the backups hold earlier contents only.
// `path` must be a regular file or missing (a link is refused: give its target). `before_rename`,
// for tests, runs after the temporary file is written; returning false stops there as a crash
// would. false with `error` on failure.
bool save_file(const std::string& path, const std::string& text, std::string& error,
               const std::function<bool()>& before_rename = {}, int backups = 3);
// The same for the file `name` in the folder open at `dfd`: every name is taken relative to it
// (openat, renameat), so a folder moved or replaced by a link after it was opened is never
// followed. `dir` ("FOLDER/") is put before the names in the messages only.
bool save_file_at(int dfd, const std::string& dir, const std::string& name, const std::string& text,
                  std::string& error, const std::function<bool()>& before_rename = {},
                  int backups = 3);

// The name of backup `k` of `path`: PATH.bak, then PATH.bak.1, ...
std::string backup_name(const std::string& path, int k);

}  // namespace canbus_server
