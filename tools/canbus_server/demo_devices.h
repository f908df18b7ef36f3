// canbus-server on the virtual bus: the simulated devices that stand on its lines (the bundled
// example's, and a plain one for every other configured node), their heartbeats, the example's
// emergencies now and then, and the `sim` request that injects faults.
//
// Threads: created in the server's start-up; afterwards used with the server's bus_mx_ (moves,
// ticks, emergencies) or its state_mx_ (`sim`, which runs at once). A device's own thread
// (heartbeat and process data, without --manual) only sends on the bus.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "canopen_node.h"
#include "demo_config.h"
#include "drive_model.h"
#include "requests.h"

namespace canbus {
class ObjectDictionary;
}

namespace canbus_server {

class DemoDevices {
 public:
  // What a device is made for: a configured node.
  struct NodeSpec {
    int line = 0;
    int node = 0;
    int heartbeat_ms = 0;  // beats at this period (0x1017) and answers no guarding; 0: guarded
    std::shared_ptr<const canbus::ObjectDictionary> od;  // the node's EDS, served; may be null
    bool process_data = false;  // sends TPDOs / takes RPDOs: steps on a thread of its own
    bool adc = false;    // a plain device is an ADC module (--sim-adc): sine inputs at 0x6401
    bool drive = false;  // a NAME.DRIVE line: the device is a motor drive (sim::make_drive)
    // A node of a network: it keeps its configuration (0x1020, 0x1010, 0x1F22) and, with a
    // software id (its SLAVE line's), has a program area running that program.
    bool config_store = false;
    int64_t program_id = -1;
  };

  // The bundled example's devices for the nodes configured at their places, a plain device for
  // every other node (with `adc`: an ADC module, sim::make_adc); a node with a drive line gets
  // a simulated drive (its own dictionary, faults on request).
  void create(const std::vector<NodeSpec>& nodes);
  // A plain device for a node moved to a place without one (nothing when there is one).
  void add_plain(const NodeSpec& n, bool manual);
  sim::VbusNode* find(int line, int node);
  bool empty() const { return devices_.empty(); }

  // Without --manual: each device that beats or has process data on a thread of its own.
  void start();
  // --manual: one step of the devices' heartbeats and process data (their device models, the
  // TPDOs due) at the framework clock's time.
  void tick();
  // The example's emergencies (every 3 s without --manual).
  void emergencies();
  // The example's late devices whose time has come boot now (framework clock); whether one is
  // still to boot.
  bool boot_late(int64_t now_ns);

  // sim silent|hold NODE on|off, sim emcy NODE [CODE [REGISTER]], sim boot|abort NODE, sim line
  // N down|up, and for a drive sim fault NODE over-temperature|following-error|over-voltage and
  // sim block NODE on|off (its motor cannot turn). `usage` is the
  // request's; `place` finds a node property's line and node id (false: unknown).
  using Place = std::function<bool(const std::string& name, int& line, int& node)>;
  std::string request(const Args& a, const std::string& usage, const Place& place);

  void clear() { devices_.clear(); }

 private:
  struct Device {
    std::unique_ptr<sim::VbusNode> node;
    bool emcy = false;  // reports an emergency now and then
    bool process_data = false;
    std::shared_ptr<sim::DriveModel> drive;  // a motor drive's model
    int64_t boot_at_ns = 0;                  // a late device: silent until then, then its boot-up
  };
  Device* device(int line, int node);
  static void beat(sim::VbusNode& d, int period_ms);
  static void add_model(sim::VbusNode& d, DemoModel model);
  static void add_plain_device(std::vector<Device>& to, const NodeSpec& n);

  std::vector<Device> devices_;
};

}  // namespace canbus_server
