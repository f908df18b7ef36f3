// canbus-server on a real SocketCAN interface with canbus-simnode processes as its nodes. Runs
// where vcan0 exists (scripts/uml-run boots a kernel that has it); skipped elsewhere.
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server_process.h"
#include "support/vcan_peers.h"

namespace {

class SocketCanServerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 here";
    setenv("NTCAN_BACKEND", "socketcan", 1);
    setenv("NTCAN_SOCKETCAN_IFNAME", "vcan%d", 1);
    char tmpl[] = "/tmp/canbus-server-sock-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ + "/nodes.conf") << "CAN.PUMP: \t1  5  0  0\n"
                                           "CAN.PUMP.BAUDRATE:\t0\n"
                                           "CAN.VALVE: \t1  6  0  0\n";
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // Runs receive cycles until `request` answers `expected` (the nodes answer from other
  // processes, so replies come a little later than the request that caused them).
  static bool eventually(ServerProcess& s, const std::string& request,
                         const std::string& expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (s.ask("tick 10") != "ok") return false;
      if (s.ask(request) == expected) return true;
    }
    return false;
  }

  // The status table as lines, and the line record at its end ("line 1: handle 4, open, ...").
  static std::vector<std::string> status(ServerProcess& s) {
    s.send("status");
    return s.until("line 1:");
  }
  // Runs receive cycles, at most `seconds` of real time, until the status satisfies `done`. The
  // line's supervision thread runs on the real clock: polls are spaced by 100 ms.
  template <typename Done>
  static bool status_until(ServerProcess& s, Done done, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (s.ask("tick 10") != "ok") return false;
      if (done(status(s))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  static std::string row_of(const std::vector<std::string>& table, const std::string& node) {
    for (const auto& r : table) {
      if (r.rfind(node + " ", 0) == 0) return r;
    }
    return {};
  }
  static bool operational(const std::vector<std::string>& table) {
    for (const char* n : {"CAN.PUMP", "CAN.VALVE"}) {
      // NODE LINE ID ROLE CONDITION ALIVE FILL ...: Operational, and the last fill result 0.
      std::istringstream row(row_of(table, n));
      std::vector<std::string> f;
      for (std::string w; row >> w && f.size() < 7;) f.push_back(w);
      if (f.size() < 7 || f[4] != "Operational" || f[6] != "0") return false;
    }
    return true;
  }

  std::string dir_;
};

TEST_F(SocketCanServerE2E, IdentityNmtAndGuardingWithSimnodeProcesses) {
  ServerProcess pump(ServerProcess::Program{}, dir_ + "/pump.log",
                     {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "5", "--name", "Pump on vcan",
                      "--hw", "HW 5", "--sw", "SW 5"});
  ServerProcess valve(
      ServerProcess::Program{}, dir_ + "/valve.log",
      {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "6", "--name", "Valve on vcan"});
  ASSERT_EQ(pump.line(), "ready");
  ASSERT_EQ(valve.line(), "ready");

  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/nodes.conf"});
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.PUMP.MANU"), "CAN.PUMP.MANU = Pump on vcan");
  EXPECT_EQ(s.ask("get CAN.PUMP.SWVER"), "CAN.PUMP.SWVER = SW 5");
  EXPECT_EQ(s.ask("get CAN.VALVE.MANU"), "CAN.VALVE.MANU = Valve on vcan");

  // The server starts its nodes; guarding follows them.
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Operational"));
  ASSERT_EQ(s.ask("set CAN.PUMP.STOP 1"), "ok");
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Stopped"));
  EXPECT_TRUE(eventually(s, "get CAN.VALVE.CONDITION", "CAN.VALVE.CONDITION = Operational"));
  ASSERT_EQ(s.ask("set CAN.PUMP.START 1"), "ok");
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Operational"));

  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  pump.terminate();
  valve.terminate();
  EXPECT_EQ(pump.wait_exit(), 0);
  EXPECT_EQ(valve.wait_exit(), 0);
}

// The interface goes down long enough for the line's supervision thread to close the line (its
// first look comes 60 s after the start), then comes back: the thread reopens the line, and both
// nodes, the one whose master held the line's first handle included, are Operational again.
TEST_F(SocketCanServerE2E, BothNodesComeBackAfterTheInterfaceWentDownAndUp) {
  ServerProcess pump(ServerProcess::Program{}, dir_ + "/pump.log",
                     {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "5", "--name", "Pump"});
  ServerProcess valve(ServerProcess::Program{}, dir_ + "/valve.log",
                      {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "6", "--name", "Valve"});
  ASSERT_EQ(pump.line(), "ready");
  ASSERT_EQ(valve.line(), "ready");
  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/nodes.conf"});
  s.until("type 'help'");
  ASSERT_TRUE(status_until(s, operational, 10));
  const std::string before = status(s).back();

  ASSERT_EQ(std::system("ip link set vcan0 down"), 0);
  const bool closed = status_until(
      s, [](const std::vector<std::string>& t) { return t.back().find("closed") != t.back().npos; },
      90);
  ASSERT_EQ(std::system("ip link set vcan0 up"), 0);
  ASSERT_TRUE(closed) << "the line was never closed";
  ASSERT_TRUE(status_until(
      s,
      [&](const std::vector<std::string>& t) { return t.back().find(", open") != t.back().npos; },
      40))
      << "the line was not reopened";
  EXPECT_NE(status(s).back(), before);
  EXPECT_TRUE(status_until(s, operational, 10));
  ASSERT_EQ(s.ask("set CAN.PUMP.STOP 1"), "ok");
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Stopped"));

  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  pump.terminate();
  valve.terminate();
  EXPECT_EQ(pump.wait_exit(), 0);
  EXPECT_EQ(valve.wait_exit(), 0);
}

// The third field of each line (the frame), from a log file or candump's output.
std::vector<std::string> frame_fields(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    std::istringstream words(line);
    std::string stamp, iface, text;
    if (words >> stamp >> iface >> text) out.push_back(text);
  }
  return out;
}

// Process data on vcan1 (line 2): an ADC whose TPDO the server maps anew (two channels swapped,
// sent at every SYNC instead of its own 8-byte TPDO every 100 ms) and a supply whose set-point goes
// by a synchronous RPDO and whose actual current comes back by TPDO. The values `get` answers
// are those of a frame candump saw, decoded with the configured mapping.
TEST_F(SocketCanServerE2E, ProcessDataIsWhatCandumpSaw) {
  if (std::system("command -v candump >/dev/null") != 0) GTEST_SKIP() << "no candump";
  std::ofstream(dir_ + "/pd.conf")
      << "CAN.ADC: 2 5 0 0\n"
         "CAN.ADC.TPDO1: sync 1 map CH2 0x6401:2 int16, CH1 0x6401:1 int16 scale 0.001 offset 1 "
         "unit V\n"
         "CAN.PSU: 2 10 0 0\n"
         "CAN.PSU.RPDO1: sync map SETPOINT 0x2110:0 int32 unit mA min 0 max 5000\n"
         "CAN.PSU.TPDO1: change 100 map CURRENT 0x2111:0 int32 unit mA\n"
         "LINE.2.SYNC: 50\n";
  // The ADC's mapping: name, first byte, scale, offset (both channels INTEGER16).
  const struct {
    const char* name;
    size_t byte;
    double scale, offset;
  } adc[] = {{"CAN.ADC.CH2", 0, 1, 0}, {"CAN.ADC.CH1", 2, 0.001, 1}};
  const int receivers = canbus_test::catch_all_receivers("vcan1");
  ServerProcess dump(
      ServerProcess::Program{}, dir_ + "/candump.err",
      {"/bin/sh", "-c", "exec stdbuf -oL candump -L vcan1 >'" + dir_ + "/candump.log'"});
  ASSERT_TRUE(canbus_test::wait_until(
      [&] { return canbus_test::catch_all_receivers("vcan1") > receivers; }));
  ServerProcess adc_node(ServerProcess::Program{}, dir_ + "/adc.log",
                         {CANBUS_SIMNODE_PATH, "--net", "1", "--node", "5", "--adc"});
  ServerProcess psu_node(ServerProcess::Program{}, dir_ + "/psu.log",
                         {CANBUS_SIMNODE_PATH, "--net", "1", "--node", "10", "--supply"});
  ASSERT_EQ(adc_node.line(), "ready");
  ASSERT_EQ(psu_node.line(), "ready");
  // candump's frames ("185#0102...") in `seen`, read until one satisfies `done` (10 s at most).
  // It writes into a file a line at a time, never waiting for the test to read.
  std::vector<std::string> seen;
  std::ifstream log(dir_ + "/candump.log");
  std::string part;  // a line not yet ended
  auto dump_until = [&](auto done) {
    return canbus_test::wait_until([&] {
      for (std::string l; std::getline(log, l);) {
        if (log.eof()) {
          part += l;
          break;
        }
        const auto f = frame_fields({part + l});
        part.clear();
        if (f.empty()) continue;
        seen.push_back(f[0]);
        if (done(f[0])) return true;
      }
      log.clear();
      return false;
    });
  };
  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/pd.conf", "--listen",
                         dir_ + "/s.sock", "--value-interval", "0"});
  s.until("type 'help'");
  ASSERT_TRUE(eventually(s, "get CAN.ADC.CONDITION", "CAN.ADC.CONDITION = Operational"));
  ASSERT_TRUE(eventually(s, "get CAN.PSU.CONDITION", "CAN.PSU.CONDITION = Operational"));

  // The ADC's values as `get` answers them; empty before its first TPDO. Between ticks the
  // server reads nothing: the values of one poll come from one frame.
  auto values = [&] {
    std::vector<double> got;
    for (const auto& v : adc) {
      const std::string a = s.ask(std::string("get ") + v.name), head = v.name + std::string(" = ");
      if (a.rfind(head, 0) != 0 || a.find("none") != std::string::npos) return decltype(got){};
      got.push_back(std::stod(a.substr(head.size())));
    }
    return got;
  };
  // Three times new values as the waveform moves, each those of a frame candump saw.
  std::vector<double> got;
  for (int round = 0; round < 3; ++round) {
    const std::vector<double> before = got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((got.empty() || got == before) && std::chrono::steady_clock::now() < until) {
      ASSERT_EQ(s.ask("tick 1"), "ok");
      got = values();
    }
    ASSERT_FALSE(got.empty() || got == before) << "no new TPDO of the ADC";
    auto match = [&](const std::string& f) {
      if (f.size() != 4 + 8 || f.rfind("185#", 0) != 0) return false;  // 4 bytes, not 8
      for (size_t k = 0; k < got.size(); ++k) {
        const auto raw = static_cast<int16_t>(std::stoi(
            f.substr(4 + 2 * adc[k].byte + 2, 2) + f.substr(4 + 2 * adc[k].byte, 2), nullptr, 16));
        if (std::fabs(raw * adc[k].scale + adc[k].offset - got[k]) > 1e-6) return false;
      }
      return true;
    };
    EXPECT_TRUE(dump_until(match))
        << "no TPDO of the ADC with CH2 " << got[0] << ", CH1 " << got[1];
  }

  // 1500 mA: 0x05DC, sent right after a SYNC; the current follows at 1000 mA/s, and a watcher
  // sees it come (every change, with --value-interval 0).
  SocketClient watcher(dir_ + "/s.sock");
  ASSERT_EQ(watcher.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("set CAN.PSU.SETPOINT 1500"), "ok (sent after the next SYNC)");
  EXPECT_EQ(s.ask("get CAN.PSU.SETPOINT").rfind("CAN.PSU.SETPOINT = 1500 mA at ", 0), 0u);
  auto current_is = [&](const std::string& mA) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      if (s.ask("tick 1") != "ok") return false;
      if (s.ask("get CAN.PSU.CURRENT").rfind("CAN.PSU.CURRENT = " + mA + " mA at ", 0) == 0) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(current_is("1500"));
  bool event = true;
  while (event && watcher.line(&event) != "event value line 2 node 10 CAN.PSU.CURRENT 1500 mA") {
  }
  EXPECT_TRUE(event) << "no value event of the current";
  EXPECT_TRUE(dump_until([](const std::string& f) { return f == "18A#DC050000"; }));
  const auto rpdo = std::find(seen.begin(), seen.end(), "20A#DC050000");
  ASSERT_NE(rpdo, seen.end());
  ASSERT_NE(rpdo, seen.begin());
  // The nodes may answer the SYNC before the server's next frame is out: only their TPDOs
  // come between.
  auto before = rpdo - 1;
  while (before != seen.begin() && before->rfind("18", 0) == 0) --before;
  EXPECT_EQ(*before, "080#");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "20A#DC050000"), 1);

  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  for (ServerProcess* p : {&adc_node, &psu_node, &dump}) p->terminate();
  EXPECT_EQ(adc_node.wait_exit(), 0);
  EXPECT_EQ(psu_node.wait_exit(), 0);
  dump.wait_exit();
}

// A canbus-simnode drive on vcan0, enabled, homed and moved through canbus-server: the
// controlwords (RPDO1: controlword, mode) and the target (RPDO2) as candump saw them walk the
// state machine, start the homing and take the set-point, each once.
TEST_F(SocketCanServerE2E, DriveEnabledHomedAndMovedAsCandumpSaw) {
  if (std::system("command -v candump >/dev/null") != 0) GTEST_SKIP() << "no candump";
  std::ofstream(dir_ + "/axis.conf") << "CAN.AXIS: 1 3 0 0\n"
                                        "CAN.AXIS.DRIVE: homing 35 scale 1000 unit mm\n";
  ServerProcess axis(ServerProcess::Program{}, dir_ + "/axis.log",
                     {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "3", "--drive"});
  ASSERT_EQ(axis.line(), "ready");
  const int receivers = canbus_test::catch_all_receivers("vcan0");
  ServerProcess dump(ServerProcess::Program{}, dir_ + "/candump.err",
                     {"/usr/bin/candump", "-L", "vcan0"});
  ASSERT_TRUE(canbus_test::wait_until(
      [&] { return canbus_test::catch_all_receivers("vcan0") > receivers; }));

  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/axis.conf"});
  s.until("type 'help'");
  EXPECT_TRUE(eventually(s, "get CAN.AXIS.CONDITION", "CAN.AXIS.CONDITION = Operational"));
  EXPECT_TRUE(eventually(s, "get CAN.AXIS.STATE", "CAN.AXIS.STATE = Switch on disabled"));
  EXPECT_EQ(s.ask("drive CAN.AXIS enable"), "ok (in Operation enabled)");
  EXPECT_EQ(s.ask("drive CAN.AXIS home").rfind("ok (homing attained at ", 0), 0u);
  EXPECT_EQ(s.ask("drive CAN.AXIS move 5").rfind("ok (target reached at ", 0), 0u);
  EXPECT_TRUE(eventually(s, "get CAN.AXIS.MODE", "CAN.AXIS.MODE = profile position"));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (s.ask("get CAN.AXIS.POSITION").rfind("CAN.AXIS.POSITION = 5.000 mm at ", 0) != 0 &&
         std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(s.ask("tick 1"), "ok");
  }
  EXPECT_EQ(s.ask("get CAN.AXIS.POSITION").rfind("CAN.AXIS.POSITION = 5.000 mm at ", 0), 0u);
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  axis.terminate();
  EXPECT_EQ(axis.wait_exit(), 0);

  // The drive's RPDO1 and RPDO2 as candump saw them, a word sent again in a row counted once.
  std::vector<std::string> seen;
  for (bool ok = true; ok;) {
    const std::string l = dump.line(&ok, 1);
    if (!ok) break;
    for (const auto& f : frame_fields({l})) {
      if ((f.rfind("203#", 0) == 0 || f.rfind("303#", 0) == 0) &&
          (seen.empty() || seen.back() != f))
        seen.push_back(f);
    }
  }
  dump.terminate();
  dump.wait_exit();
  ASSERT_EQ(seen.size(), 10u) << ::testing::PrintToString(seen);
  const std::vector<std::string> words(seen.begin(), seen.begin() + 7);
  EXPECT_EQ(words, (std::vector<std::string>{
                       "203#060000",  // shutdown: Ready to switch on
                       "203#070000",  // switch on: Switched on
                       "203#0F0000",  // enable operation: Operation enabled
                       "203#0F0006",  // mode homing
                       "203#1F0006",  // start homing (bit 4)
                       "203#0F0006",  // homing attained: bit 4 back
                       "203#0F0001",  // mode profile position
                   }));
  // 5 mm = 5000 increments (0x1388), then the new set-point and its end.
  EXPECT_EQ(seen[7].rfind("303#88130000", 0), 0u) << seen[7];
  EXPECT_EQ(seen[8], "203#1F0001");
  EXPECT_EQ(seen[9], "203#0F0001");
}

// What the server records is what candump saw on the bus, frame for frame. candump may have
// seen the node's answers to the server's last requests after the server's last read.
TEST_F(SocketCanServerE2E, RecordingIsWhatCandumpSaw) {
  if (std::system("command -v candump >/dev/null") != 0) GTEST_SKIP() << "no candump";
  std::ofstream(dir_ + "/pump.conf") << "CAN.PUMP: \t1  5  0  0\n";
  ServerProcess pump(ServerProcess::Program{}, dir_ + "/pump.log",
                     {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "5", "--name", "Pump"});
  ASSERT_EQ(pump.line(), "ready");
  const int receivers = canbus_test::catch_all_receivers("vcan0");
  ServerProcess dump(ServerProcess::Program{}, dir_ + "/candump.err",
                     {"/usr/bin/candump", "-L", "vcan0"});
  ASSERT_TRUE(canbus_test::wait_until(
      [&] { return canbus_test::catch_all_receivers("vcan0") > receivers; }));

  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/pump.conf", "--record",
                         dir_ + "/server.log"});
  s.until("type 'help'");
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Operational"));
  ASSERT_EQ(s.ask("set CAN.PUMP.STOP 1"), "ok");
  EXPECT_TRUE(eventually(s, "get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Stopped"));
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  pump.terminate();
  EXPECT_EQ(pump.wait_exit(), 0);
  std::vector<std::string> recorded;
  std::ifstream in(dir_ + "/server.log");
  for (std::string l; std::getline(in, l);) recorded.push_back(l);
  // Sent frames keep the bus's order; received ones are stamped when the server reads them, so
  // they keep their own order but may come after a frame the server sent meanwhile.
  std::vector<std::string> sent, received, theirs_sent, theirs_received;
  const auto fields = frame_fields(recorded);
  for (size_t i = 0; i < recorded.size(); ++i) {
    (recorded[i].back() == 'T' ? sent : received).push_back(fields[i]);
  }
  // candump may not have taken the last frames off its socket yet: it ends once it has shown as
  // many of the server's frames as the server sent (or after 10 s).
  std::vector<std::string> seen;
  size_t ours = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ours < sent.size() && std::chrono::steady_clock::now() < until) {
    bool ok = false;
    std::string l = dump.line(&ok, 1);
    if (!ok) continue;
    seen.push_back(l);
    const auto f = frame_fields({l});
    if (!f.empty() && std::find(sent.begin(), sent.end(), f[0]) != sent.end()) ++ours;
  }
  dump.terminate();
  for (bool ok = true; ok;) {
    std::string l = dump.line(&ok);
    if (ok) seen.push_back(l);
  }
  dump.wait_exit();

  for (const auto& f : frame_fields(seen)) {
    const bool ours = std::find(sent.begin(), sent.end(), f) != sent.end();
    (ours ? theirs_sent : theirs_received).push_back(f);
  }
  EXPECT_GT(sent.size(), 5u);  // NMT, identity uploads, guarding
  EXPECT_EQ(theirs_sent, sent);
  ASSERT_GE(theirs_received.size(), received.size());
  EXPECT_EQ(std::vector<std::string>(theirs_received.begin(),
                                     theirs_received.begin() + static_cast<long>(received.size())),
            received);
  EXPECT_LE(theirs_received.size() - received.size(), 2u);
  for (size_t i = received.size(); i < theirs_received.size(); ++i) {
    EXPECT_TRUE(theirs_received[i].rfind("705#", 0) == 0 ||
                theirs_received[i].rfind("585#", 0) == 0)
        << theirs_received[i];
  }
}

// The start-up of a network of canbus-simnode processes on vcan0, as candump saw it: a
// mandatory node that boots 4 s late, an optional node that is not there (no process), and a
// mandatory node whose program differs and is downloaded. Reset communication to all, the
// device type read from each node, the block download to 0x1F50:1, the boot-up of the node in
// its new program, and the one NMT start to all, after the late node's boot-up.
TEST_F(SocketCanServerE2E, NetworkStartUpAsCandumpSaw) {
  if (std::system("command -v candump >/dev/null") != 0) GTEST_SKIP() << "no candump";
  std::vector<char> image(3000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i % 253);
  std::ofstream(dir_ + "/fw.bin").write(image.data(), static_cast<std::streamsize>(image.size()));
  std::ofstream(dir_ + "/net.conf") << "LINE.1.NETWORK: start all boottime 30000 retry 1000\n"
                                       "CAN.LATE: 1 5 0 0\n"
                                       "CAN.LATE.SLAVE: mandatory\n"
                                       "CAN.GONE: 1 6 0 0\n"
                                       "CAN.GONE.SLAVE: optional\n"
                                       "CAN.FW: 1 7 0 0\n"
                                       "CAN.FW.SLAVE: mandatory image fw.bin update\n";
  ServerProcess late(ServerProcess::Program{}, dir_ + "/late.log",
                     {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "5", "--boot-delay", "4000",
                      "--config-store", "concise"});
  ServerProcess fw(ServerProcess::Program{}, dir_ + "/fw.log",
                   {CANBUS_SIMNODE_PATH, "--net", "0", "--node", "7", "--program-area",
                    "0x11111111", "--config-store", "concise"});
  ASSERT_EQ(late.line(), "ready");
  ASSERT_EQ(fw.line(), "ready");
  const int receivers = canbus_test::catch_all_receivers("vcan0");
  ServerProcess dump(ServerProcess::Program{}, dir_ + "/candump.err",
                     {"/usr/bin/candump", "-L", "vcan0"});
  ASSERT_TRUE(canbus_test::wait_until(
      [&] { return canbus_test::catch_all_receivers("vcan0") > receivers; }));

  ServerProcess s(dir_, {"--backend", "socketcan", "--config", dir_ + "/net.conf"});
  s.until("type 'help'");
  std::vector<std::string> table;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool started = false;
  while (!started && std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(s.ask("tick 5"), "ok");
    s.send("status");
    table = s.answer();
    started = std::find(table.begin(), table.end(),
                        "network line 1: started, 3 nodes (2 mandatory)") != table.end();
  }
  ASSERT_TRUE(started) << ::testing::PrintToString(table);
  const size_t boot = table[0].find("BOOT");
  EXPECT_EQ(row_of(table, "CAN.LATE").substr(boot, 8), "started ");
  EXPECT_EQ(row_of(table, "CAN.FW").substr(boot, 8), "started ");
  EXPECT_EQ(row_of(table, "CAN.GONE").substr(boot, 3), "B: ");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  for (auto* node : {&late, &fw}) {
    node->terminate();
    EXPECT_EQ(node->wait_exit(), 0);
  }
  std::vector<std::string> seen;
  for (bool ok = true; ok;) {
    const std::string l = dump.line(&ok, 1);
    if (ok) seen.push_back(l);
  }
  dump.terminate();
  dump.wait_exit();
  const auto frames = frame_fields(seen);
  auto first = [&](const std::string& f, size_t from = 0) {
    for (size_t i = from; i < frames.size(); ++i) {
      if (frames[i] == f) return i;
    }
    return frames.size();
  };
  const size_t reset = first("000#8200");
  ASSERT_LT(reset, frames.size()) << ::testing::PrintToString(frames);
  for (const char* read :
       {"605#4000100000000000", "606#4000100000000000", "607#4000100000000000"}) {
    EXPECT_LT(first(read, reset), frames.size()) << read;
  }
  // The program's block download (initiate: 0x1F50 sub 1, size given), then the boot-up of the
  // node in its new program.
  size_t block = frames.size();
  for (size_t i = reset; i < frames.size() && block == frames.size(); ++i) {
    if (frames[i].rfind("607#C", 0) == 0 && frames[i].substr(6, 6) == "501F01") block = i;
  }
  ASSERT_LT(block, frames.size()) << ::testing::PrintToString(frames);
  const size_t reboot = first("707#00", block);
  EXPECT_LT(reboot, frames.size());
  const size_t late_boot = first("705#00", reset);
  EXPECT_LT(late_boot, frames.size());
  // One NMT start to all, once both mandatory nodes are there.
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "000#0100"), 1);
  const size_t start = first("000#0100");
  EXPECT_GT(start, reboot);
  EXPECT_GT(start, late_boot);
}

}  // namespace
