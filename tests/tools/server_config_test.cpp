// canbus-server's configuration file: lines it cannot use are reported with their numbers,
// everything else stays in place when it is written back, and a save never leaves a half file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config_file.h"
#include "server_process.h"

namespace {

using canbus_server::ConfigFile;

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(ServerConfig, BadLinesAreReportedWithTheirNumbers) {
  struct Case {
    const char* line;
    const char* reason;
  } cases[] = {
      {"CAN.PUMP: 1 5 0", "takes four integers"},
      {"CAN.OTHER 1 7 0 0", "no ':'"},
      {"CAN.PUMP: 1 5 0 123456789012", "not an integer in range"},
      {"CAN.PUMP: 25 5 0 0", "the line must be 1..20, not 25"},
      {"CAN.PUMP: 1 0 0 0", "the node id must be 1..127"},
      {"CAN.PUMP: 1 5 2048 0", "an identifier must be 0..2047"},
      {"CAN.PUMP: 1 5 0 0 7", "takes four integers"},
      {"CAN.A.BAUDRATE: -5", "the baud-rate code must be 0..14"},
      {"CAN.A.BAUDRATE: fast", "takes one integer"},
      {"CAN.A.DEBUG_ID: 1 2", "takes four integers"},
      {"CAN.A: 1 6 0 0", "defined already on line 2"},
      {": 5", "no property name"},
      {"CAN.\x01\x02: 1", "control characters"},
      {"CAN.A.MONITOR: heartbeat 100", "takes 'guarding PERIOD_MS MISSES' or 'heartbeat"},
      {"CAN.A.MONITOR: polling 100 150", "takes 'guarding"},
      {"CAN.A.MONITOR: guarding 50 3", "the period must be 100..60000, not 50"},
      {"CAN.A.MONITOR: guarding 1000 0", "the misses must be 1..100"},
      {"CAN.A.MONITOR: heartbeat 100 20", "the tolerance must be 100..60000"},
      {"CAN.A.EDS: ", "takes the name of an EDS or DCF file"},
      {"CAN.A.MONITOR: 5 5 5 5", "CAN.A.MONITOR takes 'guarding PERIOD_MS MISSES'"},
      {"CAN.A.TPDO1: event 100 map V 0x2000:0 int13", "'int13' is no numeric data type"},
      {"CAN.A.TPDO1: event 0 map V 0x2000:0 uint8", "the event timer must be 1..65535 ms"},
      {"CAN.A.TPDO1: sync 241 map V 0x2000:0 uint8", "the SYNC count must be 1..240"},
      {"CAN.A.TPDO9: event 100 map V 0x2000:0 uint8", "PDO 9 needs 'cob ID'"},
      {"CAN.A.TPDO1: event 100 V 0x2000:0 uint8", "takes '[event MS|change MS|sync N]"},
      {"CAN.A.TPDO1: event 100 map V 0x2000 uint8", "'0x2000' is no INDEX:SUB"},
      {"CAN.A.TPDO1: event 100 map V 0x2000:0 uint8 frob 3", "V: unknown word 'frob'"},
      {"CAN.A.TPDO1: event 100 map V 0x2000:0 uint8 min 3", "V: unknown word 'min'"},
      {"CAN.A.TPDO1: map A 0x2000:0 uint64, B 0x2001:0 uint8", "take 72 bits, a PDO 64 at most"},
      {"CAN.A.TPDO1: map ALIVE 0x2000:0 uint8", "ALIVE is a sub-property of the node already"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8, V 0x2001:0 uint8", "V is mapped twice"},
      {"CAN.A.RPDO1: map V 0x2000:0 uint8 min 5 max 1", "V: min above max"},
      {"CAN.A.RPDO1: map V 0x2000:0 real32 scale 0", "the scale must not be 0"},
      {"CAN.A.RPDO1: map V 0x2000:0 uint8 boot keep", "V: boot takes 'restore' or 'clear'"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 boot clear", "V: unknown word 'boot'"},
      {"CAN.A.RPDO1: interval 0 map V 0x2000:0 uint8", "the interval must be 1..60000 ms"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 5", "V: alarm takes LOW HIGH"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 warn 5 high",
       "takes LOW HIGH (a number or '-' each), "
       "not 'high'"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm - -", "V: alarm gives no limit ('- -')"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 9 1", "the alarm limits must be LOW below HIGH"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 warn 1 9 warn 2 8", "V: 'warn' is given twice"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 1 9 warn 0 8", "warn limits must lie within"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 1 9 warn - 10", "warn limits must lie within"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 hysteresis 1", "a hysteresis without 'alarm' or 'warn'"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 1 9 hysteresis -1", "must not be negative"},
      {"CAN.A.TPDO1: map V 0x2000:0 uint8 alarm 1 9 warn 2 3 hysteresis 1",
       "V: the hysteresis must be below HIGH - LOW"},
      {"CAN.A.RPDO1: map V 0x2000:0 uint8 alarm 1 9", "V: unknown word 'alarm'"},
      {"CAN.A.RPDO1: interval map V 0x2000:0 uint8", "takes '[sync] [interval MS]"},
      {"CAN.A.TPDO1: interval 10 map V 0x2000:0 uint8", "takes '[event MS|change MS|sync N]"},
      {"CAN.B: 1 7 0 0\nCAN.B.BAUDRATE: 5",
       "CAN line 1 is given two baud rates: code 6 from "
       "CAN.A (no .BAUDRATE: the default) on line 2, code "
       "5 from CAN.B.BAUDRATE on line 4"},
      {"CAN.A.BOOT: 0x1017 uint16 5", "'0x1017' is no INDEX:SUB"},
      {"CAN.A.BOOT: 0x1017:0 uint16 five", "'five' is not a number"},
      {"CAN.A.BOOT: \"Producer heartbeat time 5", "a quote is not closed"},
      {"CAN.A.BOOT: \"Producer heartbeat time\"", "takes 'INDEX:SUB TYPE VALUE; ...', '\"OBJECT"},
      {"LINE.2.SYNC: 0", "the period must be 1..60000, not 0"},
      {"LINE.2.SYNC: 10 counter 1", "the counter overflow must be 2..240"},
      {"LINE.21.SYNC: 10", "the line must be 1..20, not 21"},
      {"CAN.A.DRIVE: homing 200", "CAN.A.DRIVE: the homing method must be -128..127 or none"},
      {"CAN.A.DRIVE: homing 35 frob 1", "CAN.A.DRIVE: unknown word 'frob'"},
      {"CAN.A.DRIVE: 1 6 0 0", "CAN.A.DRIVE: unknown word '1'"},
      {"CAN.A.DRIVE: ", "CAN.A.DRIVE: takes 'axis N', 'homing METHOD|none'"},
      {"CAN.A.DRIVE: axis 8", "the axis must be 0..7, not '8'"},
      {"CAN.A.DRIVE: speed 100", "'speed' without its value"},
      {"CAN.A.DRIVE: speed 100 0", "the homing speeds must be 1..4294967295"},
      {"CAN.A.DRIVE: acceleration -1", "the homing acceleration must be 1..4294967295"},
      {"CAN.A.DRIVE: offset 3000000000", "the home offset must be an INTEGER32"},
      {"CAN.A.DRIVE: unit mm unit m", "'unit' is given twice"},
      {"CAN.A.DRIVE: scale 0", "the scale must be a number, not 0"},
      {"CAN.A.DRIVE: velocity -2", "the velocity must be above 0"},
      {"CAN.A.DRIVE: scale 1e6 velocity 1e4", "the velocity is beyond 4294967295 increments/s"},
      {"CAN.A.DRIVE: limits 5 -5", "the low limit must be below the high limit"},
      {"CAN.A.DRIVE: limits 5 high", "the limits take two numbers"},
      {"CAN.A.DRIVE: timeout 0", "the timeout must be 1..3600 s"},
      {"CAN.A.TPDO1: map DRIVE 0x2000:0 uint8", "DRIVE is a sub-property of the node already"},
      {"CAN.A.DRIVE: sdo\nCAN.A.TPDO1: map POSITION 0x6064:0 int32",
       "CAN.A.TPDO1: POSITION is a property of the node's drive already"},
      {"CAN.A.DRIVE: homing 35\nCAN.A.RPDO2: map V 0x2000:0 uint8",
       "CAN.A.RPDO2: the node's drive configures its PDOs"},
      {"LINE.1.NETWORK: start some", "start takes 'all', 'each' or 'application'"},
      {"LINE.1.NETWORK: failure quit", "failure takes 'hold', 'stop' or 'reset'"},
      {"LINE.1.NETWORK: master 128", "the master's node id must be 1..127, not '128'"},
      {"LINE.1.NETWORK: heartbeat 100", "'heartbeat' needs the master's node id"},
      {"LINE.1.NETWORK: master 1 heartbeat 65536", "the master's heartbeat must be 1..65535"},
      {"LINE.1.NETWORK: time 0", "the TIME period must be 1..60000 ms"},
      {"LINE.1.NETWORK: boottime -1", "the boot time must be 0..3600000 ms"},
      {"LINE.1.NETWORK: retry 1000 retry 10", "'retry' is given twice"},
      {"LINE.1.NETWORK: boottime", "'boottime' without its value"},
      {"LINE.1.NETWORK: sync 10", "unknown word 'sync'"},
      {"LINE.21.NETWORK: start all", "the line must be 1..20, not 21"},
      {"CAN.A.SLAVE: mandatory", "CAN.A.SLAVE: line 1 is no network (no LINE.1.NETWORK line)"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: keep-alive", "takes 'mandatory' or 'optional'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: mandatory optional", "is given twice"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional retries 256",
       "the retries must be 0..255"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional vendor 0x100000000",
       "vendor must be 0..0xFFFFFFFF"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional date 2026-02-30",
       "the software date must be YYYY-MM-DD after 1984-01-01"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional update", "'update' needs 'image FILE'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional consume-master 0",
       "consume-master must be 1..65535 ms"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional flash", "unknown word 'flash'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional image", "'image' without its value"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: store optional store", "'store' is given twice"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional retries -1",
       "the retries must be 0..255, not '-1'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional consume-master 65536",
       "consume-master must be 1..65535 ms"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional date 1983-12-31",
       "after 1984-01-01, not '1983-12-31'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: optional serial 0x1G",
       "serial must be 0..0xFFFFFFFF"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: update", "takes 'mandatory' or 'optional'"},
      {"LINE.1.NETWORK: start all\nCAN.A.SLAVE: 1 6 0 0", "CAN.A.SLAVE: unknown word '1'"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("# header\nCAN.A: 1 6 0 0\n") + c.line + "\n";
    const auto problems = ConfigFile::parse(text).problems();
    ASSERT_EQ(problems.size(), 1u) << c.line;
    EXPECT_EQ(problems[0].line, std::string(c.line).find('\n') == std::string::npos ? 3 : 4);
    EXPECT_NE(problems[0].reason.find(c.reason), std::string::npos)
        << c.line << " -> " << problems[0].reason;
  }
}

// Network and slave lines as read: every keyword, the defaults of the others.
TEST(ServerConfig, NetworkAndSlaveLinesAreRead) {
  using canbus_server::NetworkSpec;
  NetworkSpec n;
  ASSERT_EQ(canbus_server::parse_network("failure reset start each master 0x7F heartbeat 500 "
                                         "time 1000 boottime 0 retry 250",
                                         n),
            "");
  EXPECT_TRUE(n.start == NetworkSpec::Start::kEach && n.failure == NetworkSpec::Failure::kReset);
  EXPECT_TRUE(n.master_id == 127 && n.heartbeat_ms == 500 && n.time_ms == 1000);
  EXPECT_TRUE(n.boot_time_ms == 0 && n.retry_ms == 250);
  NetworkSpec d;
  ASSERT_EQ(canbus_server::parse_network("", d), "");
  EXPECT_TRUE(d.start == NetworkSpec::Start::kAll && d.failure == NetworkSpec::Failure::kHold &&
              d.boot_time_ms == 10000 && d.retry_ms == 1000 && d.master_id == 0);
  canbus_server::SlaveSpec s;
  ASSERT_EQ(canbus_server::parse_slave("keep-alive mandatory retries 3 device-type 0x000F0191 "
                                       "vendor 0xABC product 2 revision 0x10000 serial 77 software "
                                       "0x0102 date 2026-12-09 image pump.bin update store "
                                       "consume-master 1500",
                                       s),
            "");
  EXPECT_TRUE(s.mandatory && s.keep_alive && s.update && s.store && s.retries == 3);
  EXPECT_TRUE(s.has_device_type && s.device_type == 0x000F0191 && s.vendor == 0xABC &&
              s.product == 2 && s.revision == 0x10000 && s.serial == 77 && s.software == 0x102);
  EXPECT_EQ(s.date_days, 15683u);  // 2026-12-09 is day 15683 after 1984-01-01
  EXPECT_EQ(s.image, "pump.bin");
  EXPECT_EQ(s.consume_master_ms, 1500);
  uint32_t days = 0;
  EXPECT_TRUE(canbus_server::days_since_1984("1984-01-02", days) && days == 1);
  EXPECT_TRUE(canbus_server::days_since_1984("2000-03-01", days) && days == 5904);
  EXPECT_FALSE(canbus_server::days_since_1984("1983-12-31", days));
  EXPECT_FALSE(canbus_server::days_since_1984("2026-1-09", days));
  // A network line is the line's; a slave line on a network's node is the node's.
  const auto f = ConfigFile::parse(
      "CAN.A: 2 6 0 0\nLINE.2.NETWORK: start all\nCAN.A.SLAVE: optional\nOTHER.SLAVE: mandatory\n");
  EXPECT_TRUE(f.problems().empty());
  EXPECT_EQ(f.lines()[1].kind, ConfigFile::Kind::kLine);
  EXPECT_EQ(f.lines()[2].kind, ConfigFile::Kind::kSub);
  EXPECT_EQ(f.lines()[3].kind, ConfigFile::Kind::kUnknown);
}

// A value's limits as read: either side may be '-', the hysteresis is optional.
TEST(ServerConfig, ValueLimitsAreRead) {
  canbus_server::PdoLine p;
  ASSERT_EQ(canbus_server::parse_pdo("TPDO1",
                                     "event 100 map I 0x2200:0 int32 unit mA alarm - 1700 warn "
                                     "100 1600 hysteresis 5, U 0x2201:0 real32 deadband 0.1",
                                     p),
            "");
  ASSERT_EQ(p.values.size(), 2u);
  const auto& i = p.values[0];
  EXPECT_TRUE(!i.alarm.has_low && i.alarm.has_high && i.alarm.high == 1700);
  EXPECT_TRUE(i.warn.has_low && i.warn.low == 100 && i.warn.has_high && i.warn.high == 1600);
  EXPECT_TRUE(i.has_hysteresis && i.hysteresis == 5 && i.unit == "mA");
  EXPECT_TRUE(!p.values[1].alarm.any() && !p.values[1].warn.any() && p.values[1].deadband == 0.1);
}

// A drive line as read; another server's line of the same name (numbers) is not the server's
// when its node is not in the file.
TEST(ServerConfig, DriveLinesAreRead) {
  using canbus_server::DriveSpec;
  DriveSpec d;
  ASSERT_EQ(canbus_server::parse_drive("homing 19 speed 2000 0x1F4 acceleration 10000 scale 1000 "
                                       "unit mm limits -50 50.5 velocity 12.5 offset -7 timeout 90",
                                       d),
            "");
  EXPECT_EQ(d.axis, 0);
  EXPECT_TRUE(d.has_homing && !d.no_homing && d.homing == 19);
  EXPECT_TRUE(d.has_speed && d.speed_switch == 2000 && d.speed_zero == 500);
  EXPECT_TRUE(d.has_acceleration && d.acceleration == 10000);
  EXPECT_TRUE(d.has_offset && d.offset == -7);
  EXPECT_TRUE(d.has_velocity && d.velocity == 12.5);
  EXPECT_EQ(d.scale, 1000);
  EXPECT_EQ(d.unit, "mm");
  EXPECT_TRUE(d.has_limits && d.low == -50 && d.high == 50.5);
  EXPECT_EQ(d.timeout_s, 90);
  EXPECT_FALSE(d.sdo);
  DriveSpec v;
  ASSERT_EQ(canbus_server::parse_drive("axis 3 homing -3 sdo", v), "");
  EXPECT_TRUE(v.axis == 3 && v.homing == -3 && v.sdo && !v.has_speed && v.scale == 1);
  DriveSpec n;
  ASSERT_EQ(canbus_server::parse_drive("homing none", n), "");
  EXPECT_TRUE(n.has_homing && n.no_homing);
  // A refused value leaves `out` as it was.
  EXPECT_NE(canbus_server::parse_drive("axis 2 homing 300", n), "");
  EXPECT_TRUE(n.no_homing && n.axis == 0);
  const struct {
    const char* text;
    ConfigFile::Kind kind;
  } lines[] = {
      {"CAN.A: 1 6 0 0\nCAN.A.DRIVE: homing 35 scale 1000 unit mm", ConfigFile::Kind::kSub},
      {"CAN.B.DRIVE: homing 35", ConfigFile::Kind::kUnknown},  // no node CAN.B
      {"CAN.B.DRIVE: 1 6 0 0", ConfigFile::Kind::kNode},       // a node of that name
      {"CAN.A: 1 6 0 0\nCAN.A.DRIVE: 1 7 0 0", ConfigFile::Kind::kBad},
  };
  for (const auto& l : lines) {
    const ConfigFile f = ConfigFile::parse(l.text);
    EXPECT_EQ(f.lines().back().kind, l.kind) << l.text;
  }
}

TEST(ServerConfig, SavingKeepsEveryOtherLineInPlace) {
  const std::string text =
      "# pumps\n"
      "CAN.PUMP: \t1  5  0  0\n"
      "\n"
      "OTHER.SERVER.NAME: some text\n"
      "OTHER.SERVER.MONITOR: on\n"  // another server's, not a node's supervision
      "CAN.PUMP.MANU: old name\n"
      "CAN.PUMP.MONITOR: heartbeat 100 150\n"
      "CAN.PUMP: 1 5 0\n"  // bad (a duplicate too), kept with --ignore-bad-lines
      "CAN.PUMP.BAUDRATE:\t0x4\n"
      "  # indented comment\r";
  ConfigFile f = ConfigFile::parse(text);
  EXPECT_EQ(f.problems().size(), 1u);
  EXPECT_EQ(f.node_names(), std::vector<std::string>{"CAN.PUMP"});
  canbus_server::MonitorSpec m;
  EXPECT_EQ(canbus_server::parse_monitor(*f.value_of("CAN.PUMP.MONITOR"), m), "");
  EXPECT_EQ(canbus_server::monitor_text(m), "heartbeat 100 150");
  const std::string out = f.render({{"CAN.PUMP", "CAN.PUMP: \t2  7  0  0"},
                                    {"CAN.PUMP.BAUDRATE", "CAN.PUMP.BAUDRATE:\t4"},
                                    {"CAN.NEW", "CAN.NEW: \t3  3  0  0"}},
                                   {"CAN.PUMP", "CAN.NEW", "CAN.PUMP.BAUDRATE"});
  EXPECT_EQ(out,
            "# pumps\n"
            "CAN.PUMP: \t2  7  0  0\n"
            "\n"
            "OTHER.SERVER.NAME: some text\n"
            "OTHER.SERVER.MONITOR: on\n"
            "CAN.PUMP.MANU: old name\n"
            "CAN.PUMP.MONITOR: heartbeat 100 150\n"
            "CAN.PUMP: 1 5 0\n"
            "CAN.PUMP.BAUDRATE:\t4\n"
            "  # indented comment\r\n"
            "CAN.NEW: \t3  3  0  0\n");
}

TEST(ServerConfig, ACrashBeforeTheRenameLeavesTheOldFileAndSavesKeepABackup) {
  char tmpl[] = "/tmp/canbus-server-conf-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, path = dir + "/a.conf";
  std::string error;
  ASSERT_TRUE(canbus_server::save_file(path, "one\n", error)) << error;
  EXPECT_FALSE(canbus_server::save_file(path, "two\n", error, [] { return false; }));
  EXPECT_EQ(slurp(path), "one\n");
  ASSERT_TRUE(canbus_server::save_file(path, "three\n", error)) << error;
  EXPECT_EQ(slurp(path), "three\n");
  EXPECT_EQ(slurp(path + ".bak"), "one\n");
  std::filesystem::remove_all(dir);
}

// The server refuses a file it cannot use and leaves it alone; with --ignore-bad-lines it
// starts, and its save keeps the bad lines, the comments and the unknown lines.
TEST(ServerConfig, StartIsRefusedOnBadLinesAndTheFileIsKept) {
  char tmpl[] = "/tmp/canbus-server-conf-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, path = dir + "/g.conf";
  const std::string text =
      "# valves\n"
      "CAN.VALVE: \t1  6  0  0\n"
      "CAN.VALVE.EDS: bad.eds\n"
      "CAN.PUMP: 1 5 0\n"
      "SOMETHING.ELSE: kept\n"
      "CAN.OTHER 1 7 0 0\n"
      "CAN.R: 2 9 0 0\n"
      "CAN.R.BAUDRATE: 2\n"
      "CAN.S: 2 11 0 0\n";
  std::ofstream(path) << text;
  // An EDS file that cannot be used stops the start as a bad line does (relative to the file).
  std::ofstream(dir + "/bad.eds") << "[2000]\nParameterName=X\nDataType=0x0040\nAccessType=rw\n";
  {
    ServerProcess s(ServerProcess::Program{}, dir + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--config", path});
    EXPECT_EQ(s.wait_exit(), 1);
    const std::string err = slurp(dir + "/err");
    EXPECT_NE(err.find(path + ":4: the node property CAN.PUMP takes four integers"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(path + ":6: no ':'"), std::string::npos) << err;
    EXPECT_NE(err.find(path + ":9: CAN line 2 is given two baud rates: code 2 from CAN.R.BAUDRATE "
                              "on line 8, code 6 from CAN.S (no .BAUDRATE: the default) on line 9"),
              std::string::npos)
        << err;
  }
  {
    // The lines fixed, the EDS file still stops the start; it names the file, line and reason.
    const std::string fixed = dir + "/f.conf";
    std::ofstream(fixed) << "CAN.VALVE: 1 6 0 0\nCAN.VALVE.EDS: bad.eds\n"
                         << "CAN.VALVE.BOOT: 0x1017:0 uint8 300; dcf; \"Heartbeat\" 5\n"
                         << "CAN.VALVE.TPDO1: event 100 map X \"Position\"\n"
                         << "CAN.VALVE2: 1 6 0 0\n"
                         << "CAN.VALVE2.TPDO2: event 100 map Y 0x6401:1 int16\n"
                         << "CAN.PSU: 1 9 0 0\nCAN.PSU.EDS: psu.eds\n"
                         << "CAN.PSU.RPDO1: map SET 0x2000:0 uint16\n"
                         << "CAN.PSU.TPDO1: event 100 map OUT 0x2001:0 uint16\n";
    // The PSU's file has its TPDO1 and the objects, not its RPDO1; its output is not mappable.
    std::ofstream(dir + "/psu.eds")
        << "[1800]\nParameterName=TPDO1 parameter\nObjectType=0x9\nSubNumber=0\n"
        << "[1A00]\nParameterName=TPDO1 mapping\nObjectType=0x9\nSubNumber=0\n"
        << "[2000]\nParameterName=Set\nObjectType=0x7\nDataType=0x0006\nAccessType=rw\n"
        << "PDOMapping=1\n"
        << "[2001]\nParameterName=Out\nObjectType=0x7\nDataType=0x0006\nAccessType=ro\n"
        << "PDOMapping=0\n";
    ServerProcess s(ServerProcess::Program{}, dir + "/err2",
                    {CANBUS_SERVER_PATH, "--manual", "--config", fixed});
    EXPECT_EQ(s.wait_exit(), 1);
    const std::string err = slurp(dir + "/err2");
    EXPECT_NE(err.find(dir + "/bad.eds:3: DataType '0x0040' is not a standard data type"),
              std::string::npos)
        << err;
    // A value that does not fit its type, a DCF that the node does not have.
    EXPECT_NE(err.find("CAN.VALVE.BOOT: 300 for UNSIGNED8: value 300 out of range"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("CAN.VALVE.BOOT: dcf needs the node's DCF file"), std::string::npos) << err;
    EXPECT_NE(err.find("CAN.VALVE.BOOT: \"Heartbeat\": an object by name needs the node's EDS"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("CAN.VALVE.TPDO1: X: an object by name needs the node's EDS"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(fixed + ":5: CAN.VALVE2: process data on a second property of line 1 node "
                               "6: its TPDO, RPDO and BOOT lines go on the first, CAN.VALVE"),
              std::string::npos)
        << err;
    for (const std::string want :
         {":9: CAN.PSU.RPDO1: the node's EDS has no communication object 0x1400: the node has no "
          "RPDO1",
          ":9: CAN.PSU.RPDO1: the node's EDS has no mapping object 0x1600",
          ":10: CAN.PSU.TPDO1: OUT: "}) {
      EXPECT_NE(err.find(fixed + want), std::string::npos) << want << "\n" << err;
    }
  }
  {
    // A drive goes on the first property of its node, as process data does.
    const std::string two = dir + "/d.conf";
    std::ofstream(two) << "CAN.A: 1 6 0 0\nCAN.B: 1 6 0 0\nCAN.B.DRIVE: homing 35\n";
    ServerProcess s(ServerProcess::Program{}, dir + "/err3",
                    {CANBUS_SERVER_PATH, "--manual", "--config", two});
    EXPECT_EQ(s.wait_exit(), 1);
    const std::string err = slurp(dir + "/err3");
    EXPECT_NE(err.find(two + ":3: CAN.B.DRIVE: a drive on a second property of line 1 node 6: it "
                             "goes on the first, CAN.A"),
              std::string::npos)
        << err;
  }
  {
    // A slave line goes there too; an image that cannot be read stops the start.
    const std::string net = dir + "/n.conf";
    std::ofstream(net) << "LINE.1.NETWORK: start all\nCAN.A: 1 6 0 0\nCAN.B: 1 6 0 0\n"
                          "CAN.B.SLAVE: optional\nCAN.C: 1 7 0 0\n"
                          "CAN.C.SLAVE: mandatory image ../fw.bin update\n";
    ServerProcess s(ServerProcess::Program{}, dir + "/err4",
                    {CANBUS_SERVER_PATH, "--manual", "--config", net});
    EXPECT_EQ(s.wait_exit(), 1);
    const std::string err = slurp(dir + "/err4");
    for (const char* want :
         {":4: CAN.B.SLAVE: a second property of line 1 node 6: it goes on the first, CAN.A",
          ":6: CAN.C.SLAVE: image '../fw.bin': '..' leads out of the configuration's folder"}) {
      EXPECT_NE(err.find(net + want), std::string::npos) << want << "\n" << err;
    }
  }
  EXPECT_EQ(slurp(path), text);
  {
    ServerProcess s(ServerProcess::Program{}, dir + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--config", path, "--ignore-bad-lines"});
    s.until("type 'help'");
    EXPECT_EQ(s.ask("set CAN.VALVE 1 6 0x181 0"), "ok");
    // The first of two rates in the file opens the line, whichever node attaches first.
    s.send("status");
    EXPECT_THAT(s.answer(), ::testing::Contains(::testing::MatchesRegex(
                                "line 2: handle [0-9]+, open, baud code 2, load [0-9]+\\.[0-9]%")));
    EXPECT_EQ(s.ask("sdo read CAN.VALVE \"X\""),
              "error: CAN.VALVE has no object dictionary (a CAN.VALVE.EDS line): give INDEX SUB");
    EXPECT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  EXPECT_EQ(slurp(path),
            "# valves\n"
            "CAN.VALVE: \t1  6  385  0\n"
            "CAN.VALVE.EDS: bad.eds\n"
            "CAN.PUMP: 1 5 0\n"
            "SOMETHING.ELSE: kept\n"
            "CAN.OTHER 1 7 0 0\n"
            "CAN.R: \t2  9  0  0\n"
            "CAN.R.BAUDRATE:\t2\n"
            "CAN.S: \t2  11  0  0\n");
  EXPECT_EQ(slurp(path + ".bak"), text);
  std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

struct TempDir {
  explicit TempDir(std::string tmpl = "/tmp/canbus-server-conf-XXXXXX") {
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    path = tmpl;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

// Backups rotate only when the content changes; the old file's mode and owner are kept; links
// and files planted beside the file are never written through.
TEST(ServerConfig, SavesRotateBackupsAndKeepModeAndOwner) {
  TempDir d;
  const std::string path = d.path + "/a.conf", outside = d.path + "/outside";
  std::ofstream(outside) << "outside\n";
  symlink(outside.c_str(), (path + ".tmp").c_str());
  std::string error;
  for (const char* text : {"one\n", "two\n", "two\n", "three\n", "four\n", "five\n"}) {
    ASSERT_TRUE(canbus_server::save_file(path, text, error)) << error;
  }
  const std::pair<int, const char*> backups[] = {{0, "four\n"}, {1, "three\n"}, {2, "two\n"}};
  for (const auto& [k, text] : backups) EXPECT_EQ(slurp(canbus_server::backup_name(path, k)), text);
  EXPECT_FALSE(std::filesystem::exists(canbus_server::backup_name(path, 3)));
  EXPECT_EQ(slurp(outside), "outside\n");
  // Mode and owner (another owner only as root).
  ASSERT_EQ(chmod(path.c_str(), 0400), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
  ASSERT_TRUE(canbus_server::save_file(path, "six\n", error, {}, 0)) << error;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0400u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(slurp(canbus_server::backup_name(path, 0)), "four\n");  // no backups asked for
  // Only the temporary file planted before is left: saves leave none of their own.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(d.path)) {
    files += e.path().string().find(".tmp") != std::string::npos;
  }
  EXPECT_EQ(files, 1u);
  // A link in the file's place is refused: the server resolves its configuration at start.
  const std::string link = d.path + "/link.conf";
  symlink(path.c_str(), link.c_str());
  EXPECT_FALSE(canbus_server::save_file(link, "x\n", error));
  EXPECT_NE(error.find("no regular file"), std::string::npos) << error;
}

// A work folder another user owns or others may write to is refused before anything is done in
// it, and so is one below a folder another user owns or may write to (unless root's and sticky).
TEST(ServerConfig, ForeignOrOpenWorkFoldersAreRefused) {
  const struct {
    const char* name;
    mode_t mode;
    uid_t owner;  // 0: ours
    bool link;
    mode_t parent_mode = 0700;
    uid_t parent_owner = 0;
  } cases[] = {
      {"writable by all", 0777, 0, false},
      {"writable by the group", 0770, 0, false},
      {"another user's", 0700, 65534, false},
      {"a link to a folder", 0700, 0, true},
      {"below a folder writable by all", 0700, 0, false, 0777},
      {"below a folder writable by the group", 0700, 0, false, 0770},
      {"below a sticky folder of another user", 0700, 0, false, 01777, 12345},
      {"below another user's folder", 0700, 0, false, 0755, 12345},
  };
  for (const auto& c : cases) {
    if ((c.owner != 0 || c.parent_owner != 0) && geteuid() != 0) continue;  // root only
    TempDir top;
    TempDir d{top.path + "/d-XXXXXX"};
    std::string work = d.path + "/work";
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
    ASSERT_EQ(chmod(work.c_str(), c.mode), 0);
    ASSERT_EQ(chmod(d.path.c_str(), c.parent_mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(chown(work.c_str(), c.owner, c.owner), 0);
    }
    if (c.parent_owner != 0) {
      ASSERT_EQ(chown(d.path.c_str(), c.parent_owner, c.parent_owner), 0);
    }
    if (c.link) {
      symlink(work.c_str(), (d.path + "/link").c_str());
      work = d.path + "/link";
    }
    ServerProcess s(ServerProcess::Program{}, d.path + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--workdir", work});
    EXPECT_EQ(s.wait_exit(), 1) << c.name;
    const std::string err = slurp(d.path + "/err");
    EXPECT_NE(err.find("refused"), std::string::npos) << c.name;
    if (c.parent_mode != 0700 || c.parent_owner != 0) {
      EXPECT_NE(err.find("the folder " + d.path + " above " + work), std::string::npos) << err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(d.path + "/work")) << c.name;
  }
}

// Links planted in the work folder are never written through; a configuration given as a link
// is saved at its target with its mode, the link left as it was.
TEST(ServerConfig, SavesNeverFollowLinksTheyDidNotExpect) {
  TempDir d;
  const std::string outside = d.path + "/outside", work = d.path + "/work";
  std::ofstream(outside) << "outside\n";
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  for (const char* planted : {".tmp", ".bak", ".bak.1"}) {
    symlink(outside.c_str(), (work + "/canbus-server.conf" + planted).c_str());
  }
  const std::string real = d.path + "/real.conf", link = d.path + "/link.conf";
  std::ofstream(real) << "CAN.VALVE: 1 6 0 0\n";
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  symlink(real.c_str(), link.c_str());
  for (const auto& args :
       {std::vector<std::string>{"--workdir", work}, std::vector<std::string>{"--config", link}}) {
    std::vector<std::string> argv{CANBUS_SERVER_PATH, "--manual"};
    argv.insert(argv.end(), args.begin(), args.end());
    ServerProcess s(ServerProcess::Program{}, d.path + "/err", argv);
    s.until("type 'help'");
    EXPECT_EQ(s.ask("set CAN.VALVE 1 6 0x181 0"), "ok");
    EXPECT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  EXPECT_EQ(slurp(outside), "outside\n");
  EXPECT_NE(slurp(work + "/canbus-server.conf").find("CAN.VALVE: \t1  6  385  0"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(slurp(real), "CAN.VALVE: \t1  6  385  0\n");
  struct stat st {};
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_NE(slurp(d.path + "/err").find("configuration " + link + " is a link to " + real),
            std::string::npos);
}

// The work folder is held from the start: swapped for a link afterwards, a save writes neither
// where the link leads nor into the folder moved away, and says why.
TEST(ServerConfig, ASwappedWorkFolderIsNotFollowed) {
  TempDir d;
  const std::string work = d.path + "/work", moved = d.path + "/moved", other = d.path + "/other";
  ServerProcess s(ServerProcess::Program{}, d.path + "/err",
                  {CANBUS_SERVER_PATH, "--manual", "--workdir", work});
  s.until("type 'help'");
  const std::string before = slurp(work + "/canbus-server.conf");
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  ASSERT_EQ(rename(work.c_str(), moved.c_str()), 0);
  ASSERT_EQ(symlink(other.c_str(), work.c_str()), 0);
  EXPECT_EQ(s.ask("set CAN.VALVE 1 6 0x181 0"), "ok");
  EXPECT_EQ(s.ask("save"), "error: the folder " + work +
                               " is not the one the server started with (moved or replaced by a "
                               "link): not saved");
  EXPECT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 1);
  EXPECT_TRUE(std::filesystem::is_empty(other));
  EXPECT_EQ(slurp(moved + "/canbus-server.conf"), before);
  EXPECT_FALSE(std::filesystem::exists(moved + "/canbus-server.conf.bak"));
}

// Only regular files of at most 64 MB are read, as the configuration or as an EDS file: a FIFO
// never holds up the start, an endless device is not read into memory.
TEST(ServerConfig, ConfigurationAndEdsFilesMustBeRegularFiles) {
  TempDir d;
  const std::string fifo = d.path + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      // file named, expected error
      {"/dev/zero", "canbus-server: /dev/zero: not a regular file"},
      {fifo, "canbus-server: " + fifo + ": not a regular file"},
      {"eds:/dev/zero", "/dev/zero: not a regular file"},
      {"eds:" + fifo, fifo + ": not a regular file"},
  };
  for (const auto& [file, error] : cases) {
    std::string config = file;
    if (file.rfind("eds:", 0) == 0) {
      config = d.path + "/eds.conf";
      std::ofstream(config) << "CAN.VALVE: 1 6 0 0\nCAN.VALVE.EDS: " << file.substr(4) << "\n";
    }
    ServerProcess s(ServerProcess::Program{}, d.path + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--config", config});
    EXPECT_EQ(s.wait_exit(), 1) << file;
    EXPECT_NE(slurp(d.path + "/err").find(error), std::string::npos) << file << "\n"
                                                                     << slurp(d.path + "/err");
  }
}

}  // namespace
