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
// reports emergencies, and a vacuum gauge supervised by its heartbeat (the others by node guarding,
// the default).
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
    "CAN.MAGNET: \t2  10  0  0\n"
    "CAN.MAGNET.BAUDRATE:\t2\n"
    "CAN.MAGNET.EDS:\tmps40.eds\n"
    "CAN.GAUGE: \t2  20  0  0\n"
    "CAN.GAUGE.EDS:\tvg3.eds\n"
    "# supervision: guarding PERIOD_MS MISSES (default guarding 1000 3) or heartbeat PERIOD_MS "
    "TOLERANCE_MS\n"
    "CAN.GAUGE.MONITOR:\theartbeat 100 150\n";

struct DemoDevice {
  int line;
  int node;
  const char* name;
  const char* hw;
  const char* sw;
  bool emcy;  // reports an emergency now and then
};

inline constexpr DemoDevice kDemoDevices[] = {
    {1, 5, "Vacuum pump controller VPC-200, turbo stage, serial 0815", "HW 1.2", "SW 3.4.1", false},
    {1, 6, "VLV1", "HW 2", "SW 1.0", false},
    {2, 10, "Magnet power supply MPS-40", "HW C", "SW 7.1", true},
    {2, 20, "Vacuum gauge VG-3", "HW 1", "SW 2.0", false},  // beats as .MONITOR says
};

}  // namespace canbus_server
