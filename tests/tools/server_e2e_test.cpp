// canbus-server end to end: the program is started with pipes on its standard input and output
// and driven as a client would. --manual makes the receive cycle run only on "tick", so every
// answer is deterministic.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server_process.h"

namespace {

class ServerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/canbus-server-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string stderr_text() {
    std::ifstream f(dir_ + "/stderr.log");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string dir_;
};

TEST_F(ServerE2E, IdentityStringsOfTheSimulatedNodes) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.PUMP.MANU"),
            "CAN.PUMP.MANU = Vacuum pump controller VPC-200, turbo stage, serial 0815");
  EXPECT_EQ(s.ask("get CAN.PUMP.HWVER"), "CAN.PUMP.HWVER = HW 1.2");
  EXPECT_EQ(s.ask("get CAN.PUMP.SWVER"), "CAN.PUMP.SWVER = SW 3.4.1");
  EXPECT_EQ(s.ask("get CAN.VALVE.MANU"), "CAN.VALVE.MANU = VLV1");
  EXPECT_EQ(s.ask("get CAN.MAGNET.MANU"), "CAN.MAGNET.MANU = Magnet power supply MPS-40");
  // The follower of the pump's node reads the same identity.
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.SWVER"), "CAN.PUMP_MONITOR.SWVER = SW 3.4.1");
}

TEST_F(ServerE2E, StopAndStartFollowedThroughGuarding) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 21"), "ok");
  std::string alive = s.ask("get CAN.PUMP.ALIVE");
  EXPECT_TRUE(alive == "CAN.PUMP.ALIVE = 5" || alive == "CAN.PUMP.ALIVE = 133") << alive;
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");

  ASSERT_EQ(s.ask("set CAN.PUMP.STOP 1"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  alive = s.ask("get CAN.PUMP.ALIVE");
  EXPECT_TRUE(alive == "CAN.PUMP.ALIVE = 4" || alive == "CAN.PUMP.ALIVE = 132") << alive;
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Stopped");
  // The follower shares the node state.
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.ALIVE"), alive.replace(0, 14, "CAN.PUMP_MONITOR.ALIVE"));

  ASSERT_EQ(s.ask("set CAN.PUMP.START 1"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
}

TEST_F(ServerE2E, EmergencyIsReported) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  s.send("status");
  auto table = s.until("line 2:");
  bool found = false;
  for (auto& l : table) {
    if (l.rfind("CAN.VALVE ", 0) == 0) {
      found = true;
      std::istringstream in(l);
      std::string name, line, id, role, cond, alive, fill, emcy;
      in >> name >> line >> id >> role >> cond >> alive >> fill >> emcy;
      EXPECT_EQ(emcy, "1") << l;
      EXPECT_EQ(role, "master");
    }
  }
  EXPECT_TRUE(found);
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find("D_can::can_emergency 0x10 0x81 0x11 0x0 0x0 0x0 0x0 0x0 "),
            std::string::npos)
      << stderr_text();
}

TEST_F(ServerE2E, SilentNodeIsMarked) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 10"), "ok");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  ASSERT_EQ(s.ask("tick 50"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = No guarding reply");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE off"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = Operational");
}

TEST_F(ServerE2E, BadRequestsAreAnsweredWithErrors) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  const char* requests[] = {
      "get CAN.NOPE",
      "set CAN.NOPE 1",
      "set CAN.PUMP.BAUDRATE abc",
      "set CAN.PUMP 1 2",
      "set CAN.PUMP 1 x 0 0",
      "frobnicate",
      "sim silent CAN.NOPE on",
      "tick -3",
      "set CAN.PUMP.BAUDRATE 99999999999",
  };
  for (const char* r : requests) {
    std::string a = s.ask(r);
    EXPECT_EQ(a.rfind("error: ", 0), 0u) << r << " -> " << a;
  }
  // Still serving.
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
}

TEST_F(ServerE2E, SdoReadAndWrite) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  const std::pair<const char*, const char*> exchanges[] = {
      {"sdo read CAN.PUMP 0x1009 0", "\"HW 1.2\""},
      {"sdo write CAN.PUMP 0x1017 0 1000", "ok"},
      {"sdo read CAN.PUMP 0x1017 0", "1000 (0x03E8)"},
      {"sdo write CAN.VALVE 0x2102 0 \"two words\"", "ok"},
      {"sdo read CAN.VALVE 0x2102 0", "\"two words\""},
      {"sdo write CAN.PUMP 0x2100 0 0x12345", "ok"},
      {"sdo read CAN.PUMP 0x2100 0", "74565 (0x00012345)"},
      {"sdo write CAN.PUMP 0x1008 0 \"x\"",
       "error: SDO abort 0x06010002: Attempt to write a read only object"},
      {"sdo read CAN.PUMP 0x3000 0",
       "error: SDO abort 0x06020000: Object does not exist in the object dictionary"},
      {"sdo read CAN.NOPE 0x1008 0", "error: unknown node property CAN.NOPE"},
      {"sdo read CAN.PUMP 0x10000 0", "error: bad index 0x10000"},
  };
  for (const auto& [request, answer] : exchanges) EXPECT_EQ(s.ask(request), answer) << request;
}

TEST_F(ServerE2E, SavedConfigurationIsReadOnTheNextStart) {
  {
    ServerProcess s(dir_);
    s.until("type 'help'");
    ASSERT_EQ(s.ask("set CAN.VALVE.BAUDRATE 4"), "ok");
    EXPECT_EQ(s.ask("set CAN.MAGNET 2 11 0 0").rfind("ok (moved", 0), 0u);
    EXPECT_EQ(s.ask("save").rfind("ok (saved", 0), 0u);
    ASSERT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  ServerProcess s(dir_);
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.VALVE.BAUDRATE"), "CAN.VALVE.BAUDRATE = 4");
  EXPECT_EQ(s.ask("get CAN.MAGNET"), "CAN.MAGNET = 2 11 0 0");
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
}

}  // namespace
