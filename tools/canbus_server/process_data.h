// canbus-server's process data: the PDOs of its nodes (NAME.TPDOn, NAME.RPDOn), their boot
// configuration (NAME.BOOT, the node's DCF), the SYNC producers of the lines (LINE.N.SYNC), and
// the values as properties of the location: NAME.VALUE for every mapped value, read with `get`,
// listed by `list`, followed by `watch` (value events at most once per value per interval and
// only on a change beyond the value's deadband), written with `set` for an RPDO's values.
//
// Threads: load() and the SYNC producers' start run in the server's start-up. Everything about
// values runs with the server's state_mx_ held (the monitor's callbacks, get, list, status, the
// check of a set-point); what they produce for the event hub is handed back and published by the
// caller after it let go of state_mx_. The SYNC producers tick on the bus worker (--manual) or
// run on threads of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "can_monitor.h"
#include "can_pdo.h"
#include "config_file.h"
#include "events.h"
#include "history.h"
#include "od_requests.h"
#include "requests.h"

namespace canbus_server {

// "2026-12-09 10:00:01.250 UTC" of a framework time stamp (real time).
std::string utc_time_text(int64_t ns);

// Where a process value stands against its `alarm` and `warn` limits.
enum class AlarmState { kNone, kWarnLow, kWarnHigh, kLow, kHigh };
// "none", "warn-low", "warn-high", "low", "high".
const char* alarm_state_name(AlarmState s);
// 0 none, 1 a warning, 2 an alarm (the metrics' canbus_value_alarm).
int alarm_level(AlarmState s);

// One process value as its clients see it (get, the metrics, the HTTP side).
struct ValueInfo {
  std::string name;  // NAME.VALUE
  std::string node;  // the node property
  std::string unit;
  bool has = false;  // a value came (or was set)
  double value = 0;  // shown units
  std::string text;  // "1500 mA"
  int64_t time_ns = 0;
  std::string pdo;  // "TPDO1"
  bool writable = false;
  AlarmState alarm = AlarmState::kNone;
  Limits alarm_limits, warn_limits;
};

class ProcessData {
 public:
  // Value events: at most one per value per `interval_ms` of the frames' time stamps.
  // Every value is also kept in history(): one sample a value interval (a second without one).
  explicit ProcessData(int interval_ms = 1000)
      : interval_ns_(int64_t{interval_ms} * 1000000),
        history_(interval_ms > 0 ? interval_ns_ : 1000000000) {}

  // The PDO, BOOT and SYNC lines of `config` for the node properties `nodes`; `objects` has
  // their dictionaries (NAME.BOOT: dcf). Lines the check refused are skipped. With a node's EDS
  // its PDO lines are checked against it: the PDO's communication and mapping objects are there,
  // the mapped objects are there and mappable. false with the reasons, each after the number of
  // its line in the file ("12: CAN.PSU.BOOT: dcf: ..."), in `errors` when one cannot be used.
  bool load(const ConfigFile& config, const std::vector<std::string>& nodes,
            const NodeObjects& objects, std::vector<std::string>& errors);
  // The boot configuration of a node property: its SDO writes and PDOs (null: none).
  std::shared_ptr<const canbus::BootConfig> boot(const std::string& node) const;
  bool has_process_data(const std::string& node) const { return nodes_.count(node) != 0; }

  // SYNC producers of the configured lines, once the lines are open: on threads of their own,
  // or (own_thread false) sending when tick() finds one due.
  void start_sync(bool own_thread);
  void tick_sync();
  void stop_sync();
  // The places of the nodes with process data (line, node id: false when the node has none),
  // once after load() and before pdo_text() is used: the COB-IDs of their PDOs by line. A node
  // moved later keeps the place it had then in pdo_text.
  void place(const std::function<bool(const std::string& node, int& line, int& id)>& where);
  // A PDO frame of line `line` decoded by its COB-ID with its mapping: "CAN.PSU.CURRENT 1500 mA,
  // CAN.PSU.VOLTAGE 24 V"; "" for a frame that is no PDO configured here or is shorter than its
  // mapping. No lock needed, any thread (a line's tap): it reads only what load() and place()
  // fixed (the PDOs, their mappings, the values' definitions), never the values themselves.
  std::string pdo_text(int line, const CMSG& frame) const;

  // Every line's producer, for the monitor (late synchronous TPDOs).
  std::vector<canbus::SyncProducer*> sync_producers();

  // --- With the server's state_mx_ ---

  bool is_value(const std::string& name) const { return by_name_.count(name) != 0; }
  // "NAME = 1.5 mA at 2026-12-09 10:00:01.250 UTC (TPDO1)", "NAME = none (no TPDO1 yet)"; a
  // value beyond its limits ends in ", alarm: high (above 1700 mA)".
  std::string get(const std::string& name) const;
  // The value `name` (false: no such value); every value, in the file's order.
  bool value_info(const std::string& name, ValueInfo& out) const;
  std::vector<ValueInfo> values() const;
  // The status tail's lines of the values beyond a limit now: "alarm CAN.PSU.CURRENT 1800 mA
  // above 1700 mA (high)", "warn CAN.PSU.CURRENT 1650 mA above 1600 mA (warn-high)".
  std::vector<std::string> alarm_lines() const;
  // Every value received or set (its own lock: may be read without state_mx_).
  const ValueHistory& history() const { return history_; }
  // One line per value for `list`: "NAME  (process value, TPDO1 of CAN.PSU, mA)".
  void list(const std::string& node, std::vector<std::string>& out) const;
  // A decoded TPDO of `node` (line `line`, id `id`): the values are stored and kept in the
  // history, their value events and those of their limits (alarm, warn, ...-cleared) added to
  // `out`.
  void on_pdo(const std::string& node, int line, int id, int pdo, const canbus::PdoValues& v,
              std::vector<Event>& out);
  void on_late(const std::string& node, int pdo, bool late);
  // The status cells of a node: TPDOs received, the age of the last and their rate, the late
  // ones ("12", "0.1s", "10.0/s", "-"); dashes without process data. One heading a cell.
  std::vector<std::string> status_cells(const std::string& node, int64_t now_ns) const;
  static std::vector<std::string> status_headings();
  // "CAN.PSU: CURRENT 1500 mA, SETPOINT 1500 mA (set)" ("-" before a value came); empty
  // without values.
  std::string value_line(const std::string& node) const;

  // A set-point: `name` an RPDO's value, `words` its new value (one number in the value's
  // units). On success the RPDO's mapping with every value (the others as last set, 0 before)
  // in `pdo` / `raw`, the node property in `node`; the values are stored only by commit_set,
  // once the RPDO went out. The reason ("error: ...") otherwise: nothing is sent.
  std::string prepare_set(const std::string& name, const Args& words, std::string& node,
                          canbus::PdoConfig& pdo, std::vector<canbus::Value>& raw) const;
  void commit_set(const std::string& name, const canbus::PdoConfig& pdo,
                  const std::vector<canbus::Value>& raw);
  // The `interval MS` of RPDO `number` of `node`; 0 when its line gives none.
  int rpdo_interval_ms(const std::string& node, int number) const;
  // Set-points after a boot configuration of `node` (line `line`, id `id`): the values with
  // `boot clear` read none again (an event each in `out`); every RPDO with a value to restore
  // goes to `send`, with its mapping and all its values (the others as last set, 0 before).
  struct Restore {
    canbus::PdoConfig pdo;
    std::vector<canbus::Value> raw;
    std::string text;  // "RPDO1 SETPOINT 5000 mA"
  };
  void after_boot(const std::string& node, int line, int id, std::vector<Restore>& send,
                  std::vector<Event>& out);
  // The sending of `r` ended (`error` empty: sent): its event in `out`. A restore that was not
  // sent leaves its values reading none: the node does not hold them.
  void restored(const std::string& node, int line, int id, const Restore& r,
                const std::string& error, std::vector<Event>& out);
  // The producer that sends the synchronous RPDOs of `line`; null without one.
  canbus::SyncProducer* sync_of(int line);

 private:
  struct Value {
    PdoValueLine def;
    canbus::DataType type = canbus::DataType::kUnsigned8;
    std::string node;  // the node property
    bool tpdo = true;
    int pdo = 1;
    size_t entry = 0;  // in the PDO's mapping
    // The last value (received, or set and sent) and the time stamp of its frame.
    bool has = false;
    canbus::Value raw;
    double shown = 0;
    int64_t time_ns = 0;
    // The last value event.
    bool published = false;
    double published_value = 0;
    int64_t published_ns = 0;
    std::string full;  // NAME.VALUE
    AlarmState alarm = AlarmState::kNone;
    double alarm_hysteresis = 0, warn_hysteresis = 0;
  };
  struct Pdo {
    std::string node;
    canbus::PdoConfig cfg;
    int interval_ms = 0;         // RPDO: `interval MS`, 0: none given
    std::vector<size_t> values;  // into values_, one per mapping entry
  };
  struct Node {
    std::shared_ptr<canbus::BootConfig> boot;
    std::vector<size_t> values;   // into values_, in the file's order
    std::map<int, size_t> tpdos;  // TPDO number -> index into pdos_
    uint64_t received = 0;
    int64_t last_ns = 0;
    double interval_ns = 0;  // running average of the time between two TPDOs
    std::set<int> late;      // TPDO numbers late now
  };

  std::string text_of(const Value& v) const;  // shown value with its unit
  ValueInfo info_of(const Value& v) const;
  // The limits of `v` against its new value: its state and the events of the change.
  void check_limits(Value& v, int line, int id, std::vector<Event>& out);
  // The same of a raw value of `v`'s type.
  static std::string text_of(const Value& v, const canbus::Value& raw);

  int64_t interval_ns_;
  std::vector<Value> values_;
  std::map<std::string, size_t> by_name_;
  std::vector<Pdo> pdos_;
  std::unordered_map<std::string, Node> nodes_;            // looked up for every TPDO frame
  std::map<std::pair<int, uint32_t>, size_t> pdo_by_cob_;  // (line, COB-ID) -> pdos_; place()
  std::map<int, SyncSpec> sync_lines_;
  std::map<int, std::unique_ptr<canbus::SyncProducer>> syncs_;
  ValueHistory history_;
};

}  // namespace canbus_server
