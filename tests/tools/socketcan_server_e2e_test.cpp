// canbus-server on a real SocketCAN interface with canbus-simnode processes as its nodes. Runs
// where vcan0 exists (scripts/uml-run boots a kernel that has it); skipped elsewhere.
#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "server_process.h"

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

}  // namespace
