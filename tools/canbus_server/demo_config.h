// The bundled example: its configuration and the simulated devices that stand on its lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace canbus_server {

// The EDS files of the example's devices (tools/canbus_server/eds/, compiled in): written beside
// the example's configuration, which names them.
struct DemoFile {
  const char* name;
  const char* text;
};
extern const DemoFile kDemoEds[4];

// Two lines; every device with its EDS file; a pump controller whose long device name comes by
// segmented upload, a follower property on the same node, a valve, a magnet power supply that
// reports emergencies, takes its current set-point by RPDO (synchronous, SYNC on line 2) and sends
// its actual current by TPDO, and a vacuum gauge supervised by its heartbeat (the others by node
// guarding, the default) that sends its pressure (in alarm, then warned of, as it pumps down;
// the current warned of above 30 A); the pump sends its speed and status; a slit's
// motor drive (the drive profile, by PDO) on line 1. Line 3 is started as one network: a
// mandatory chiller, an optional ion pump controller of another product than the one expected
// (status shows its code), and a mandatory high-voltage supply that boots 6 s late, so that the
// network starts once it is there.
inline constexpr const char* kDemoConfig =
    "# canbus-server configuration: one line per property, NAME: value\n"
    "CAN.PUMP: \t1  5  0  0\n"
    "CAN.PUMP.BAUDRATE:\t0\n"
    "# object dictionary of the node (sdo read/write by object name, od)\n"
    "CAN.PUMP.EDS:\tvpc200.eds\n"
    "CAN.PUMP.DEBUG_ID: \t0  0  0  0\n"
    "CAN.PUMP_MONITOR: \t1  5  0  0\n"
    "CAN.VALVE: \t1  6  0  0\n"
    "CAN.VALVE.BAUDRATE:\t0\n"
    "CAN.VALVE.EDS:\tvlv1.eds\n"
    "# a motor drive: the slit's axis, in mm (1000 increments each); homed on its home switch\n"
    "CAN.SLIT: \t1  7  0  0\n"
    "CAN.SLIT.BAUDRATE:\t0\n"
    "CAN.SLIT.DRIVE:\thoming 19 speed 2000 500 acceleration 10000 scale 1000 unit mm velocity 10 "
    "limits -50 50\n"
    "CAN.MAGNET: \t2  10  0  0\n"
    "CAN.MAGNET.BAUDRATE:\t2\n"
    "CAN.MAGNET.EDS:\tmps40.eds\n"
    "CAN.GAUGE: \t2  20  0  0\n"
    "# one baud rate per line: every property of line 2 gives the same code\n"
    "CAN.GAUGE.BAUDRATE:\t2\n"
    "CAN.GAUGE.EDS:\tvg3.eds\n"
    "# supervision: guarding PERIOD_MS MISSES (default guarding 1000 3) or heartbeat PERIOD_MS "
    "TOLERANCE_MS\n"
    "CAN.GAUGE.MONITOR:\theartbeat 100 150\n"
    "# process data: the values become properties NAME.VALUE (get, list, watch; set for RPDOs)\n"
    "CAN.PUMP.TPDO1:\tevent 500 map SPEED 0x2200:0 uint16 unit Hz, STATUS 0x2300:0 uint8\n"
    "CAN.MAGNET.RPDO1:\tsync map SETPOINT 0x2100:0 uint32 unit mA min 0 max 40000\n"
    "# limits of a measured value: alarm LOW HIGH, warn LOW HIGH ('-': none on that side),\n"
    "# hysteresis H (default 1 % of HIGH - LOW); a set-point above 30000 mA makes a warning\n"
    "CAN.MAGNET.TPDO1:\tevent 100 map CURRENT 0x2200:0 int32 unit mA deadband 10 warn - 30000 "
    "alarm - 38000, VOLTAGE 0x2201:0 real32 unit V\n"
    "# the objects by their names in the node's EDS; the pressure is in alarm until pumped\n"
    "# down below 5e-4 mbar, warned of until below 1e-4 mbar\n"
    "CAN.GAUGE.TPDO1:\tevent 500 map PRESSURE \"Pressure\" unit mbar alarm - 5e-4 warn - 1e-4, "
    "STATUS \"Gauge status\"\n"
    "# SDO writes at every boot of the node, before its PDOs are configured: INDEX:SUB TYPE "
    "VALUE,\n"
    "# or the object's name in the node's EDS and the value\n"
    "CAN.MAGNET.BOOT:\t\"Output mode\" 1\n"
    "# a SYNC producer: LINE.N.SYNC: PERIOD_MS [counter OVERFLOW]\n"
    "LINE.2.SYNC:\t100\n"
    "# line 3 is started as one network: every node checked and configured by its boot\n"
    "# procedure, then one NMT start to all once every mandatory node is ready\n"
    "LINE.3.NETWORK:\tstart all failure hold boottime 15000 retry 8000\n"
    "CAN.CHILLER: \t3  30  0  0\n"
    "CAN.CHILLER.SLAVE:\tmandatory vendor 0xABC product 1\n"
    "CAN.CHILLER.BOOT:\t0x2100:0 uint32 18\n"
    "# optional: the network starts without it (another product sits there: status shows M)\n"
    "CAN.IONPUMP: \t3  31  0  0\n"
    "CAN.IONPUMP.SLAVE:\toptional product 2\n"
    "# mandatory and late: its device boots 6 s after the start\n"
    "CAN.HV: \t3  32  0  0\n"
    "CAN.HV.SLAVE:\tmandatory vendor 0xABC\n";

// How a device moves its measurements (its process data).
enum class DemoModel {
  kNone,
  kSupply,  // the actual current follows the set-point (sim::SupplyModel)
  kGauge,   // the pressure pumps down
  kPump,    // the rotor runs up
};

struct DemoDevice {
  int line;
  int node;
  const char* name;
  const char* hw;
  const char* sw;
  bool emcy;  // reports an emergency now and then
  DemoModel model;
  int boots_after_ms = 0;  // boots that long after the start (silent before)
};

inline constexpr DemoDevice kDemoDevices[] = {
    {1, 5, "Vacuum pump controller VPC-200, turbo stage, serial 0815", "HW 1.2", "SW 3.4.1", false,
     DemoModel::kPump},
    {1, 6, "VLV1", "HW 2", "SW 1.0", false, DemoModel::kNone},
    {2, 10, "Magnet power supply MPS-40", "HW C", "SW 7.1", true, DemoModel::kSupply},
    {2, 20, "Vacuum gauge VG-3", "HW 1", "SW 2.0", false, DemoModel::kGauge},  // beats
    {3, 30, "Chiller CH-2", "HW 1", "SW 1.3", false, DemoModel::kNone},
    {3, 31, "Ion pump controller", "HW 1", "SW 1.0", false, DemoModel::kNone},
    {3, 32, "HV supply HVS-3", "HW B", "SW 2.4", false, DemoModel::kNone, 6000},
};

}  // namespace canbus_server
