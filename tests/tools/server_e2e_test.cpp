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

namespace {

// The lines of a log without their time stamps.
std::vector<std::string> untimed(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.find(')') + 1));
  return out;
}

// A session recorded with the simulated nodes, then run again against its recording instead of
// them: the server sees the same nodes, and the second recording is the first.
TEST_F(ServerE2E, SessionRecordedThenReplayedInsteadOfTheNodes) {
  const std::vector<std::pair<std::string, std::string>> session{
      {"tick 21", "ok"},
      {"record", "recording lines 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"},
      {"set CAN.PUMP.STOP 1", "ok"},
      {"tick 20", "ok"},
      {"get CAN.PUMP.CONDITION", "CAN.PUMP.CONDITION = Stopped"},
      {"get CAN.MAGNET.MANU", "CAN.MAGNET.MANU = Magnet power supply MPS-40"},
      {"record off", "ok (not recording)"},
      {"record on 2", "ok (recording lines 2)"},
      {"record on 21", "error: bad line 21 (1..20)"},
      {"quit", "bye"}};
  for (const char* run : {"first", "second"}) {
    const std::string work = dir_ + "/" + run;
    std::filesystem::create_directory(work);
    std::vector<std::string> args{"--record", work + ".log"};
    if (std::string(run) == "second") {
      args.insert(args.end(), {"--replay", dir_ + "/first.log"});
    }
    ServerProcess s(work, args);
    s.until("type 'help'");
    for (const auto& [request, answer] : session) EXPECT_EQ(s.ask(request), answer) << run;
    EXPECT_EQ(s.wait_exit(), 0);
  }
  const auto first = untimed(dir_ + "/first.log");
  EXPECT_GT(first.size(), 50u);
  EXPECT_EQ(untimed(dir_ + "/second.log"), first);
}

}  // namespace
