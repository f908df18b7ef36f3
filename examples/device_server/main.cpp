// A device server with two CANopen nodes on line 1, supervised by the library's node monitor:
// a pump that announces its state by heartbeat, and a valve watched by node guarding. Both are
// simulated on the virtual bus, so the program runs without hardware. To show supervision at
// work the valve falls silent for a while and the pump reports an emergency.
//
// Ends with 0 once it has seen every event it provokes, 1 when the nodes cannot be attached,
// 2 when an expected event did not come within 10 s.
#include <D_esdcan.h>
#include <canopen_node.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace {

// What the monitor's callbacks have reported; main() waits on it. The callbacks run on the
// monitor's thread, main() on its own: everything here is guarded by mx.
struct Journal {
  std::mutex mx;
  std::condition_variable cv;
  int operational = 0;  // nodes that reached the operational state
  bool valve_lost = false;
  bool valve_back = false;
  bool emergency = false;

  bool wait_for(const std::function<bool()>& what) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, std::chrono::seconds(10), what);
  }
  void note(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lk(mx);
      change();
    }
    cv.notify_all();
  }
};

const char* state_text(int s) {
  switch (s) {
    case 0x00:
      return "boot-up";
    case 0x04:
      return "stopped";
    case 0x05:
      return "operational";
    case 0x7F:
      return "pre-operational";
    default:
      return "unknown";
  }
}

}  // namespace

int main() {
  // The devices. Line n is driver net n - 1: line 1 is net 0. The pump beats every 100 ms
  // (object 0x1017, milliseconds, two bytes little-endian).
  sim::VbusNode pump_device(0, 5, "Turbo pump TP-400", "HW 2", "SW 3.1");
  sim::VbusNode valve_device(0, 6, "Gate valve GV-63");
  pump_device.logic().set_object(0x1017, 0, std::string("\x64\x00", 2));
  pump_device.start_heartbeat();

  // The node properties: name, blank, description. The framework would load their values from
  // the configuration; here the server sets them: line 1, node id, no further identifiers.
  EqFct location("EXAMPLE");
  D_can pump("EXAMPLE.PUMP turbo pump", &location);
  D_can valve("EXAMPLE.VALVE gate valve", &location);
  IIII pump_value{1, 5, 0, 0};
  IIII valve_value{1, 6, 0, 0};
  pump.set_value(&pump_value);
  valve.set_value(&valve_value);

  // Shared attachment: each property becomes the master of its node and owns the node's receive
  // buffer. The identifier given is a CAN identifier (here the SDO replies, 0x580 + node id);
  // the monitor enables guarding/heartbeat (0x700 + id) and EMCY (0x80 + id) itself.
  if (pump.init(0x585) != 0 || valve.init(0x586) != 0) return 1;

  // Identity strings by SDO upload, before the monitor runs: an upload reads the node's handle
  // itself, and a node that does not answer holds the caller for 2 to 3 s per string.
  pump.get_manufacture();
  valve.get_manufacture();
  std::printf("%s: %s\n", pump.name().c_str(), pump.manu_prop()->value().c_str());
  std::printf("%s: %s\n", valve.name().c_str(), valve.manu_prop()->value().c_str());

  Journal journal;
  canbus::MonitorCallbacks callbacks;
  callbacks.on_state = [&](D_can& node, int old_state, int new_state) {
    std::printf("%s: %s -> %s\n", node.name().c_str(), state_text(old_state),
                state_text(new_state));
    if (new_state == 0x05) journal.note([&] { ++journal.operational; });
  };
  callbacks.on_lost = [&](D_can& node) {
    std::printf("%s: lost (%s)\n", node.name().c_str(), node.condition_prop()->value().c_str());
  };
  callbacks.on_back = [&](D_can& node) { std::printf("%s: back\n", node.name().c_str()); };
  // What only the valve's events mean here: callbacks of its own, given with add() and run
  // before the all-nodes ones above.
  canbus::NodeCallbacks valve_callbacks;
  valve_callbacks.on_lost = [&](D_can&) { journal.note([&] { journal.valve_lost = true; }); };
  valve_callbacks.on_back = [&](D_can&) { journal.note([&] { journal.valve_back = true; }); };
  callbacks.on_emergency = [&](D_can& node, const canbus::Emcy& e) {
    std::printf("%s: emergency %s\n", node.name().c_str(), canbus::emcy_text(e).c_str());
    journal.note([&] { journal.emergency = true; });
  };
  callbacks.on_line_lost = [](int line) { std::printf("line %d lost\n", line); };
  callbacks.on_line_back = [](int line) { std::printf("line %d back\n", line); };

  // Declared after the node properties, so that it stops before they go.
  canbus::NodeMonitor monitor(callbacks);
  canbus::NodeConfig heartbeat;
  heartbeat.mode = canbus::Supervision::kHeartbeat;
  heartbeat.heartbeat_ms = 100;
  heartbeat.heartbeat_tolerance_ms = 150;  // at least one period of the monitor
  canbus::NodeConfig guarding;             // the default mode
  guarding.guard_period_ms = 200;
  guarding.guard_misses = 3;
  if (monitor.add(&pump, heartbeat) != 0 || monitor.add(&valve, guarding, valve_callbacks) != 0) {
    return 1;
  }

  pump.start_node();
  valve.start_node();
  monitor.start(100);  // the receive cycle from now on: the server no longer calls can_looping()

  bool ok = journal.wait_for([&] { return journal.operational == 2; });
  valve_device.logic().set_silent(true);
  ok = ok && journal.wait_for([&] { return journal.valve_lost; });
  valve_device.logic().set_silent(false);
  ok = ok && journal.wait_for([&] { return journal.valve_back; });
  pump_device.send_emcy(0x4210, 0x09, {0x2A});  // device temperature; register generic + temp.
  ok = ok && journal.wait_for([&] { return journal.emergency; });

  monitor.stop();
  for (D_can* node : {&pump, &valve}) {
    canbus::NodeStats s;
    monitor.stats(node, s);
    std::printf(
        "%s: replies %llu, missed %llu, toggle errors %llu, emergencies %llu, "
        "frames lost %llu\n",
        node->name().c_str(), static_cast<unsigned long long>(s.replies),
        static_cast<unsigned long long>(s.missed), static_cast<unsigned long long>(s.toggle_errors),
        static_cast<unsigned long long>(s.emergencies),
        static_cast<unsigned long long>(s.frames_lost));
  }
  return ok ? 0 : 2;
}
