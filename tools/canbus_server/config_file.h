// The server's configuration file as text: read whole, checked line by line, and written back
// with only the lines of the properties the server owns replaced. Comments, blank lines, lines of
// properties the server does not know and (with --ignore-bad-lines) lines it could not use stay
// where they were. Depends on the standard library only, so tests and fuzzers use it directly.
#pragma once

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

// Writes all of `text` to `fd` (again after an interruption); false on an error.
bool write_all(int fd, const std::string& text);

// Integer of a whole token: optional sign, decimal digits or 0x and hexadecimal digits, within
// int. false for anything else (empty, trailing text, overflow).
bool parse_int(const std::string& s, int& v);
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

// The sub-properties of a node property the server reads from the configuration.
bool is_config_sub(const std::string& name);
// Any sub-property suffix of a node property (".BAUDRATE", ".ALIVE", ...).
bool has_sub_suffix(const std::string& name);

class ConfigFile {
 public:
  enum class Kind {
    kOther,    // blank line or comment
    kNode,     // a node property: NAME: line node ident ident
    kSub,      // a sub-property the server reads (.BAUDRATE, .DEBUG_ID, .MONITOR, .EDS)
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
  std::vector<Problem> problems() const;
  // Names of the node properties, in file order.
  std::vector<std::string> node_names() const;
  // Value text of a property's line (after the colon, without leading blanks), or nullptr.
  const std::string* value_of(const std::string& name) const;

  // The file with the line of every property in `current` (name -> whole line, without line
  // feed) replaced in place, and the properties not yet in the file appended in `order`.
  std::string render(const std::map<std::string, std::string>& current,
                     const std::vector<std::string>& order) const;

 private:
  std::vector<Line> lines_;
  std::map<std::string, std::string> values_;
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

// The name of backup `k` of `path`: PATH.bak, then PATH.bak.1, ...
std::string backup_name(const std::string& path, int k);

}  // namespace canbus_server
