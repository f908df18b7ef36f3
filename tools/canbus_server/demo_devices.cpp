#include "demo_devices.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "config_file.h"
#include "demo_config.h"
#include "pdo_producer.h"
#include "tavik_time.h"
#include "vbus.h"

namespace canbus_server {

void DemoDevices::create(const std::vector<NodeSpec>& nodes) {
  for (const auto& d : kDemoDevices) {
    bool configured = false;
    for (const auto& n : nodes) configured = configured || (n.line == d.line && n.node == d.node);
    if (!configured) continue;
    devices_.push_back({std::make_unique<sim::VbusNode>(d.line - 1, d.node, d.name, d.hw, d.sw),
                        d.emcy, false, nullptr});
    if (d.boots_after_ms > 0) {
      // Its boot-up at the making went to nobody (no node is attached yet): silent until then.
      devices_.back().node->logic().set_silent(true);
      devices_.back().boot_at_ns = tavik::clock().now_ns() + int64_t{d.boots_after_ms} * 1000000;
    }
  }
  // Configured nodes without a bundled device get a plain one.
  for (const auto& n : nodes) {
    if (find(n.line, n.node) == nullptr) add_plain_device(devices_, n);
  }
  // A node with an EDS gets a device that serves the file's dictionary; the example's devices
  // move their measurements by a model of the device.
  for (const auto& n : nodes) {
    Device* d = device(n.line, n.node);
    if (d == nullptr) continue;
    if (n.od) d->node->logic().load_dictionary(*n.od);
    d->process_data = d->process_data || n.process_data;
    for (const auto& x : kDemoDevices) {
      if (x.line == n.line && x.node == n.node) add_model(*d->node, x.model);
    }
    if (n.config_store) d->node->logic().enable_config_store(true);
    if (n.program_id >= 0)
      d->node->logic().enable_program_area(static_cast<uint32_t>(n.program_id));
    if (n.drive && !d->drive) {
      // The drive's dictionary and axis model, stepped with its process data.
      d->drive = sim::make_drive(d->node->logic());
      d->process_data = true;
    }
  }
  // A node supervised by heartbeat gets a device that beats (producer time 0x1017) and does
  // not answer guarding.
  for (const auto& n : nodes) {
    if (n.heartbeat_ms > 0) beat(*find(n.line, n.node), n.heartbeat_ms);
  }
}

void DemoDevices::add_plain(const NodeSpec& n, bool manual) {
  if (find(n.line, n.node) != nullptr) return;
  add_plain_device(devices_, n);
  if (n.heartbeat_ms > 0) beat(*devices_.back().node, n.heartbeat_ms);
  if (!manual && (n.heartbeat_ms > 0 || devices_.back().process_data))
    devices_.back().node->start_heartbeat();
}

void DemoDevices::add_plain_device(std::vector<Device>& to, const NodeSpec& n) {
  to.push_back({std::make_unique<sim::VbusNode>(
                    n.line - 1, n.node, "Simulated node " + std::to_string(n.node), "HW 1", "SW 1"),
                false, n.process_data, nullptr});
  // Four INTEGER16 sine inputs of amplitude 10000 and period 1 s, sampled whenever its TPDOs
  // are due; TPDO1 maps them until the server's configuration maps it otherwise.
  if (n.adc && !n.drive) sim::make_adc(to.back().node->logic());
  if (n.drive) {
    to.back().drive = sim::make_drive(to.back().node->logic());
    to.back().process_data = true;
  }
}

DemoDevices::Device* DemoDevices::device(int line, int node) {
  for (auto& d : devices_) {
    if (d.node->net() == line - 1 && d.node->logic().node_id() == node) return &d;
  }
  return nullptr;
}

sim::VbusNode* DemoDevices::find(int line, int node) {
  Device* d = device(line, node);
  return d == nullptr ? nullptr : d->node.get();
}

void DemoDevices::start() {
  for (auto& d : devices_) {
    if (d.node->logic().heartbeat_period_ms() > 0 || d.process_data) d.node->start_heartbeat();
  }
}

void DemoDevices::tick() {
  boot_late(tavik::clock().now_ns());
  for (auto& d : devices_) {
    d.node->heartbeat_tick();
    if (d.process_data) d.node->pdo_tick();
  }
}

namespace {

// The vacuum gauge: its pressure (REAL32 at 0x2200, mbar) pumps down from 1e-3 towards 1e-7
// with a time constant of 20 s, a slight ripple on it; its status (0x2201) 1 once below 1e-5.
class GaugeModel final : public sim::DeviceModel {
 public:
  void step(int64_t now_ns, sim::ObjectValues& od) override {
    if (start_ns_ < 0) start_ns_ = now_ns;
    const double t = static_cast<double>(now_ns - start_ns_) / 1e9;
    const double p = (1e-7 + 1e-3 * std::exp(-t / 20.0)) * (1.0 + 0.01 * std::sin(t));
    const float f = static_cast<float>(p);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    od.set(0x2200, 0, static_cast<int64_t>(bits));
    od.set(0x2201, 0, p < 1e-5 ? 1 : 0);
  }
  int64_t step_ns() const override { return 0; }  // sampled when its TPDO is due

 private:
  int64_t start_ns_ = -1;
};

// The pump: its rotor speed (UNSIGNED16 at 0x2200, Hz) runs up to 1200 Hz at 100 Hz/s.
class PumpModel final : public sim::DeviceModel {
 public:
  void step(int64_t now_ns, sim::ObjectValues& od) override {
    if (start_ns_ < 0) start_ns_ = now_ns;
    const int64_t hz = std::min<int64_t>(1200, (now_ns - start_ns_) / 10000000);
    od.set(0x2200, 0, hz);
  }
  int64_t step_ns() const override { return 0; }

 private:
  int64_t start_ns_ = -1;
};

}  // namespace

void DemoDevices::add_model(sim::VbusNode& d, DemoModel model) {
  switch (model) {
    case DemoModel::kNone:
      break;
    case DemoModel::kSupply:
      // The actual current (0x2200, mA) follows the set-point (0x2100) at 10 A/s.
      d.logic().set_model(std::make_shared<sim::SupplyModel>(sim::ObjectKey{0x2100, 0},
                                                             sim::ObjectKey{0x2200, 0}, 10000));
      break;
    case DemoModel::kGauge:
      d.logic().set_model(std::make_shared<GaugeModel>());
      break;
    case DemoModel::kPump:
      d.logic().set_model(std::make_shared<PumpModel>());
      break;
  }
}

bool DemoDevices::boot_late(int64_t now_ns) {
  bool pending = false;
  for (auto& d : devices_) {
    if (d.boot_at_ns == 0) continue;
    if (now_ns < d.boot_at_ns) {
      pending = true;
      continue;
    }
    d.boot_at_ns = 0;
    d.node->logic().set_silent(false);
    d.node->boot();
  }
  return pending;
}

void DemoDevices::emergencies() {
  for (auto& d : devices_) {
    if (d.emcy) d.node->send_emcy(0x3210, 0x04, {0x01, 0x02, 0x00, 0x00, 0x00});
  }
}

void DemoDevices::beat(sim::VbusNode& d, int period_ms) {
  const char ms[2] = {static_cast<char>(period_ms & 0xFF), static_cast<char>(period_ms >> 8)};
  d.logic().set_object(0x1017, 0, std::string(ms, 2));
  d.logic().set_heartbeat_mode(true);
}

std::string DemoDevices::request(const Args& a, const std::string& usage_text, const Place& place) {
  const std::string usage = "error: usage: " + usage_text;
  if (a.size() == 3 && a[0] == "line") {
    int line = 0;
    if (!parse_int(a[1], line) || line < 1 || line > vbus::kNets)
      return "error: bad line " + quote_word(a[1]);
    if (a[2] != "down" && a[2] != "up") return usage;
    vbus::set_net_down(line - 1, a[2] == "down");
    return "ok";
  }
  int line = 0, node = 0;
  if (!place(a[1], line, node)) return "error: unknown node property " + quote_word(a[1]);
  sim::VbusNode* d = find(line, node);
  if (d == nullptr) return "error: no simulated device for " + a[1];
  if ((a[0] == "silent" || a[0] == "hold" || a[0] == "identity") && a.size() == 3 &&
      (a[2] == "on" || a[2] == "off")) {
    if (a[0] == "identity") {
      // off: the node lacks the optional 0x1009 and 0x100A.
      d->logic().set_optional_identity(a[2] == "on");
    } else if (a[0] == "silent") {
      d->logic().set_silent(a[2] == "on");
    } else {
      d->hold_answers(a[2] == "on");
      if (a[2] == "off") d->release_answers();
    }
    return "ok";
  }
  if (a[0] == "abort" && a.size() == 2) {
    d->logic().abort_next_upload(0x06020000);  // object does not exist
    return "ok";
  }
  if (a[0] == "emcy" && a.size() >= 2 && a.size() <= 4) {
    // The code and error register given, else a CAN overrun (0x8110, register 0x11).
    uint64_t code = 0x8110, reg = 0x11;
    if (a.size() >= 3 && !parse_uint(a[2], 0xFFFF, code))
      return "error: bad emergency code " + quote_word(a[2]) + " (0..0xFFFF)";
    if (a.size() == 4 && !parse_uint(a[3], 0xFF, reg))
      return "error: bad error register " + quote_word(a[3]) + " (0..0xFF)";
    d->send_emcy(static_cast<uint16_t>(code), static_cast<uint8_t>(reg),
                 {0x00, 0x00, 0x00, 0x00, 0x00});
    return "ok";
  }
  if (a[0] == "fault" && a.size() == 3) {
    Device* dev = device(line, node);
    if (!dev->drive) return "error: " + a[1] + " is no simulated drive";
    const sim::DriveFault f = sim::drive_fault_from_text(a[2]);
    if (f == sim::DriveFault::kNone)
      return "error: bad fault " + quote_word(a[2]) +
             " (over-temperature, following-error, over-voltage)";
    dev->drive->inject_fault(f);
    return "ok";
  }
  if (a[0] == "block" && a.size() == 3 && (a[2] == "on" || a[2] == "off")) {
    Device* dev = device(line, node);
    if (!dev->drive) return "error: " + a[1] + " is no simulated drive";
    dev->drive->block(a[2] == "on");
    return "ok";
  }
  if (a[0] == "boot" && a.size() == 2) {
    d->boot();
    return "ok";
  }
  return usage;
}

}  // namespace canbus_server
