// Process data on line 1: a 4-channel ADC module (node 10) whose measurements come in TPDO1
// after every SYNC, and a power supply (node 11) whose current set-point goes in by RPDO1 and
// whose actual current comes back in its TPDO1. The server configures both nodes at boot (the
// ADC only when its identity is the expected one; its heartbeat time written by the object's
// name), produces SYNC every 10 ms, decodes the TPDOs into values with callbacks of each node's
// own, and sends a set-point. Simulated on the virtual bus: runs without hardware.
//
// Ends with 0 once the supply's actual current has reached the set-point, 1 when the nodes
// cannot be attached, 2 when an expected event did not come within 10 s.
#include <D_esdcan.h>
#include <canopen_node.h>
#include <vbus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kAdc = 10;
constexpr int kSupply = 11;

// The devices' process data: the simulated node serves NMT and SDO (the PDO objects included);
// this stands for the firmware that puts the measurements into TPDOs after each SYNC and takes
// the set-point from the RPDO. Runs in the thread that sends each frame.
class ProcessDevices {
 public:
  ProcessDevices(sim::VbusNode& adc, sim::VbusNode& supply) : adc_(adc), supply_(supply) {
    id_ = vbus::attach_device(0, [this](int, const CMSG& m) { on_frame(m); });
  }
  ~ProcessDevices() { vbus::detach_device(id_); }

 private:
  // The devices' firmware: on every SYNC it moves their inputs in the object dictionary; the
  // simulated nodes send them in their TPDOs after that SYNC and write RPDOs into it.
  void on_frame(const CMSG& m) {
    if (m.id != static_cast<int32_t>(canbus::kCobSync)) return;
    ++syncs_;
    // Four channels, INTEGER16 each: a slow sine, its negative, a ramp and a constant.
    const double x = syncs_ * 0.05;
    const int16_t v[4] = {static_cast<int16_t>(1000 * std::sin(x)),
                          static_cast<int16_t>(-1000 * std::sin(x)),
                          static_cast<int16_t>(syncs_ % 2000), 1234};
    for (uint8_t ch = 1; ch <= 4; ++ch) adc_.logic().set_object(0x6401, ch, le16(v[ch - 1]));
    // The actual current follows the set-point (written by RPDO1) by 100 mA per SYNC.
    if (auto sp = supply_.logic().object(0x2200, 1); sp && sp->size() == 2) {
      set_point_ = static_cast<int16_t>(static_cast<uint8_t>((*sp)[0]) |
                                        static_cast<uint8_t>((*sp)[1]) << 8);
    }
    actual_ += std::max(-100, std::min(100, set_point_ - actual_));
    supply_.logic().set_object(0x2201, 1, le16(static_cast<int16_t>(actual_)));
  }
  static std::string le16(int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    return std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  }

  sim::VbusNode& adc_;
  sim::VbusNode& supply_;
  int id_ = 0;
  int syncs_ = 0;
  int set_point_ = 0;
  int actual_ = 0;
};

// The PDO objects a device has from the factory: TPDO1 and RPDO1 with an empty mapping; and
// the objects the devices map: the ADC's four inputs, the supply's set-point and actual current.
void factory_pdo_objects(sim::NodeLogic& l) {
  for (uint8_t ch = 1; ch <= 4; ++ch) l.set_object(0x6401, ch, std::string(2, '\0'));
  l.set_object(0x2200, 1, std::string(2, '\0'));
  l.set_object(0x2201, 1, std::string(2, '\0'));
  for (uint16_t comm : {0x1400, 0x1800}) {
    l.set_object(comm, 0, comm == 0x1800 ? "\x06" : "\x05");
    for (uint8_t sub = 1; sub <= 6; ++sub) l.set_object(comm, sub, std::string(4, '\0'));
    l.set_object(comm, 1, std::string("\x00\x00\x00\x80", 4));  // invalid
    l.set_object(static_cast<uint16_t>(comm + 0x200), 0, std::string(1, '\0'));
    for (uint8_t sub = 1; sub <= 8; ++sub) {
      l.set_object(static_cast<uint16_t>(comm + 0x200), sub, std::string(4, '\0'));
    }
  }
}

// What the callbacks reported; main() waits on it. Guarded by mx.
struct Journal {
  std::mutex mx;
  std::condition_variable cv;
  int configured = 0;
  int adc_pdos = 0;
  int actual_ma = 0;

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

}  // namespace

int main() {
  sim::VbusNode adc_device(0, kAdc, "ADC 4x16");
  sim::VbusNode supply_device(0, kSupply, "Power supply PS-20");
  factory_pdo_objects(adc_device.logic());
  factory_pdo_objects(supply_device.logic());
  ProcessDevices firmware(adc_device, supply_device);
  adc_device.start_heartbeat();  // beats once the boot configuration has written 0x1017

  EqFct location("EXAMPLE");
  D_can adc("EXAMPLE.ADC adc module", &location);
  D_can supply("EXAMPLE.SUPPLY power supply", &location);
  IIII adc_value{1, kAdc, 0, 0};
  IIII supply_value{1, kSupply, 0, 0};
  adc.set_value(&adc_value);
  supply.set_value(&supply_value);
  if (adc.init(static_cast<int>(canbus::cob_sdo_tx(kAdc))) != 0 ||
      supply.init(static_cast<int>(canbus::cob_sdo_tx(kSupply))) != 0) {
    return 1;
  }

  // The mappings. TPDO1 of the ADC: its four channels (object 0x6401, INTEGER16), sent after
  // every SYNC (transmission type 1).
  canbus::PdoConfig adc_tpdo;
  adc_tpdo.kind = canbus::PdoKind::kTpdo;
  adc_tpdo.number = 1;
  adc_tpdo.transmission_type = 1;
  for (uint8_t ch = 1; ch <= 4; ++ch) {
    adc_tpdo.mapping.push_back(
        {0x6401, ch, 16, canbus::DataType::kInteger16, "channel " + std::to_string(ch)});
  }
  // The supply: set-point in (RPDO1, synchronous), actual current out (TPDO1), both mA.
  canbus::PdoConfig set_point;
  set_point.kind = canbus::PdoKind::kRpdo;
  set_point.number = 1;
  set_point.transmission_type = 1;
  set_point.mapping = {{0x2200, 1, 16, canbus::DataType::kInteger16, "set-point"}};
  canbus::PdoConfig actual;
  actual.kind = canbus::PdoKind::kTpdo;
  actual.number = 1;
  actual.transmission_type = 1;
  actual.mapping = {{0x2201, 1, 16, canbus::DataType::kInteger16, "actual current"}};

  // Configuration at boot: at monitor.add() and after every boot-up, then the NMT start. The
  // ADC's heartbeat time is written by its name in the module's dictionary (here the one object
  // of its EDS this server needs; ObjectDictionary::load reads a whole file), which gives its
  // index and type and checks the value.
  auto adc_od = std::make_shared<canbus::ObjectDictionary>();
  std::vector<std::string> eds_errors;
  if (!canbus::ObjectDictionary::parse("[1017]\nParameterName=Producer heartbeat time\n"
                                       "ObjectType=0x7\nDataType=0x0006\nAccessType=rw\n"
                                       "DefaultValue=0\n",
                                       "adc.eds", *adc_od, eds_errors)) {
    for (const auto& e : eds_errors) std::printf("%s\n", e.c_str());
    return 1;
  }
  auto adc_boot = std::make_shared<canbus::BootConfig>();
  adc_boot->check_identity = true;  // 0x1018:1 and :2
  adc_boot->vendor_id = sim::kDefaultVendorId;
  adc_boot->product_code = 1;
  adc_boot->dictionary = adc_od;
  adc_boot->writes = {{"Producer heartbeat time", canbus::Value::of_uint(100)}};
  adc_boot->pdos = {adc_tpdo};
  auto supply_boot = std::make_shared<canbus::BootConfig>();
  supply_boot->pdos = {set_point, actual};

  Journal journal;
  // What every node reports goes to the monitor's all-nodes callbacks; what each node's process
  // data means, to callbacks of its own given with add(): no dispatching by node here.
  canbus::MonitorCallbacks callbacks;
  callbacks.on_boot_config = [&](D_can& node, const canbus::BootReport& r) {
    std::printf("%s: %s\n", node.name().c_str(),
                r.ok ? "configured and started" : ("not started: " + r.reason).c_str());
    if (r.ok) journal.note([&] { ++journal.configured; });
  };
  callbacks.on_pdo_late = [](D_can& node, int pdo) {
    std::printf("%s: TPDO%d late\n", node.name().c_str(), pdo);
  };
  canbus::NodeCallbacks adc_callbacks;
  adc_callbacks.on_pdo = [&](D_can& node, int pdo, const canbus::PdoValues& v) {
    journal.note([&] { ++journal.adc_pdos; });
    if (journal.adc_pdos % 50 == 1) {
      std::printf("%s: TPDO%d %s %s %s %s\n", node.name().c_str(), pdo, v.values[0].text().c_str(),
                  v.values[1].text().c_str(), v.values[2].text().c_str(),
                  v.values[3].text().c_str());
    }
  };
  canbus::NodeCallbacks supply_callbacks;
  supply_callbacks.on_pdo = [&](D_can&, int, const canbus::PdoValues& v) {
    const int ma = static_cast<int>(v.values[0].as_int());
    journal.note([&] { journal.actual_ma = ma; });
  };

  // Declared after the node properties, so that they stop before the properties go.
  canbus::SyncProducer sync(1);
  canbus::NodeMonitor monitor(callbacks);
  monitor.use_sync(&sync);
  canbus::NodeConfig heartbeat;
  heartbeat.mode = canbus::Supervision::kHeartbeat;
  heartbeat.heartbeat_ms = 100;
  heartbeat.heartbeat_tolerance_ms = 150;
  heartbeat.boot = adc_boot;
  canbus::NodeConfig plain;
  plain.mode = canbus::Supervision::kNone;
  plain.boot = supply_boot;
  if (monitor.add(&adc, heartbeat, adc_callbacks) != 0 ||
      monitor.add(&supply, plain, supply_callbacks) != 0) {
    return 1;
  }
  monitor.start(10);
  sync.start(10000);  // 10 ms

  bool ok = journal.wait_for([&] { return journal.configured == 2 && journal.adc_pdos >= 100; });
  std::string err;
  // Goes out right after the next SYNC; the supply takes it over at the SYNC after.
  ok = ok && canbus::send_rpdo(supply, set_point, {canbus::Value::of_int(1500)}, &sync, &err) == 0;
  ok = ok && journal.wait_for([&] { return journal.actual_ma == 1500; });
  std::printf("%s: actual current %d mA\n", supply.name().c_str(), journal.actual_ma);

  sync.stop();
  monitor.stop();
  canbus::TpdoStats t;
  monitor.tpdo_stats(&adc, 1, t);
  std::printf("%s: TPDO1 %llu decoded, %llu short, late %llu times; SYNC sent %llu\n",
              adc.name().c_str(), static_cast<unsigned long long>(t.count),
              static_cast<unsigned long long>(t.short_frames),
              static_cast<unsigned long long>(t.late_events),
              static_cast<unsigned long long>(sync.stats().sent));
  return ok ? 0 : 2;
}
