// canbus-server's motor drives: a canbus::Drive for every node property with a NAME.DRIVE line,
// its values as properties of the location (NAME.POSITION and NAME.VELOCITY measured, with unit
// and time stamp; NAME.TARGET, set for a profile-position move; NAME.STATE, NAME.MODE), the
// `drive` request, and the drive's events for watchers and the log.
//
// Threads: load() and make() run in the server's start-up. setup(), operations that wait
// (run()) and poll() run as bus work (with the server's bus_mx_); get(), list(), status_cell()
// and start_now() (halt, quick stop: sent at once, never behind a move) run on any thread. The
// drives' listeners run on the thread that made progress (the monitor's, or the bus worker's
// in poll() and --manual ticks) and publish without any lock of the server. The table of drives
// is made in the start-up and never changes afterwards; each entry's own values are guarded by
// the entry's mutex, taken after the server's locks and never while publishing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can_drive.h"
#include "can_monitor.h"
#include "config_file.h"
#include "events.h"
#include "requests.h"

class D_can;

namespace canbus {
class ObjectDictionary;
}

namespace canbus_server {

class Drives {
 public:
  // What the server lends: events, the log, and with --manual the receive cycle a waiting
  // operation steps itself (the clock moves 100 ms a tick).
  struct Env {
    std::function<void(const Event&)> publish;
    std::function<void(const std::string&)> log;
    std::function<void()> tick;  // --manual only; empty otherwise
    bool simulated = true;       // the nodes answer at once (virtual bus)
    int value_interval_ms = 1000;
  };
  explicit Drives(Env env);
  ~Drives();

  // The DRIVE lines of `config` for the node properties `nodes` (a line the check refused is
  // skipped). false with the reasons, each after the number of its line, when one cannot be
  // used.
  bool load(const ConfigFile& config, const std::vector<std::string>& nodes,
            std::vector<std::string>& errors);
  bool has(const std::string& node) const { return by_node_.count(node) != 0; }
  bool empty() const { return entries_.empty(); }

  // The drive of an attached node property (line `line`, node id `id`), made once; the callbacks
  // to supervise the node with (its TPDOs and emergencies go to the drive, its boot-up calls
  // `booted`). Empty callbacks for a node without a drive.
  canbus::NodeCallbacks make(D_can& prop, int line, int id, canbus::NodeMonitor* monitor,
                             std::shared_ptr<const canbus::ObjectDictionary> od,
                             std::function<void(const std::string& node)> booted);
  // Bus work: the drive's set-up by SDO (PDOs, limits, profile parameters); logged when it fails.
  void setup(const std::string& node);
  // Bus work: time-outs, and the values of drives without PDOs read by SDO; value events.
  void poll(int64_t now_ns);

  // The server ends: every drive with an operation running is halted (its waiter is told), and
  // operations asked for from now on are refused.
  void end();

  // --- Properties ---
  bool is_property(const std::string& name) const;
  std::string get(const std::string& name) const;
  void list(const std::string& node, std::vector<std::string>& out) const;
  // The status table's cell: "Operation enabled 12.500 mm"; "-" without a drive.
  std::string status_cell(const std::string& node) const;
  // For --metrics: the drive's state (canbus::DriveState as a number) and the times it went to
  // Fault; false without a drive.
  bool counters(const std::string& node, int& state, uint64_t& faults) const;

  // --- Requests ---
  // Whether `drive` with these arguments is sent at once (halt, quickstop) rather than as bus
  // work: a halt must never wait behind a move.
  static bool at_once(const Args& a);
  // `drive NAME OP [ARGS]`: bus work, the answer once the drive has done it (or failed).
  std::string request(const Client& c, const Args& a);
  // `set NAME.TARGET POSITION`: a move, as `drive NAME move POSITION`.
  std::string set_target(const Client& c, const std::string& name, const Args& values);

 private:
  struct Entry;
  Entry* find(const std::string& node) const;
  void on_event(Entry& e, const canbus::DriveEvent& ev);
  void values_changed(Entry& e);  // value events of position and velocity, when due
  // The fault event once its emergency came (`emcy`), or without it a second after the fault.
  void fault_event(Entry& e, const canbus::Emcy* emcy);
  std::string run(const Client& c, Entry& e, const std::string& op, const Args& a);
  std::string wait_for(const Client& c, Entry& e, const std::string& what, uint64_t gen,
                       uint64_t op);
  void step(Entry& e);
  // Steps until `done`, at most the drive's timeout and a second; false at the bound.
  bool until(Entry& e, const std::function<bool()>& done);

  Env env_;
  std::atomic<bool> ending_{false};
  std::vector<std::unique_ptr<Entry>> entries_;
  std::map<std::string, size_t> by_node_;
};

}  // namespace canbus_server
