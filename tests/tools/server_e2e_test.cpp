// canbus-server end to end: the program is started with pipes on its standard input and output
// and driven as a client would. --manual makes the receive cycle run only on "tick", so every
// answer is deterministic.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "D_esdcan.h"
#include "canlog.h"
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
  static std::string file_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string stderr_text() { return file_text(dir_ + "/stderr.log"); }
  // The first address the server listens on ("" when it did not start).
  static std::string listening(ServerProcess& s) {
    const std::string l = s.until("listening on ").back();
    return l.size() > 13 ? l.substr(13) : "";
  }
  // The address of --metrics, ADDR:PORT.
  static std::string metrics_at(ServerProcess& s) {
    const std::string l = s.until("metrics on http://").back();
    return l.size() > 26 ? l.substr(18, l.size() - 26) : "";
  }
  // One HTTP/1.0 GET: the lines of the answer, headers with their CR.
  static std::vector<std::string> http_get(const std::string& where, const std::string& path,
                                           const std::string& from = "") {
    SocketClient c(where, from);
    EXPECT_TRUE(c.connected()) << where;
    c.send("GET " + path + " HTTP/1.0\r\n\r\n");
    std::vector<std::string> lines;
    bool ok = true;
    for (std::string l = c.line(&ok); ok; l = c.line(&ok)) lines.push_back(l);
    return lines;
  }
  // The value of `series` (name and labels) in a scrape; -1 when it is missing.
  static long long value_of(const std::vector<std::string>& scrape, const std::string& series) {
    for (const auto& l : scrape) {
      if (l.rfind(series + " ", 0) == 0) return std::stoll(l.substr(series.size() + 1));
    }
    return -1;
  }
#ifdef CANBUS_CTL_PATH
  // canbus-ctl run to its end with `input` on its standard input.
  struct CtlRun {
    int status = -1;
    std::vector<std::string> out;
    std::string err;
  };
  CtlRun ctl(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), CANBUS_CTL_PATH);
    const std::string err = dir_ + "/ctl.err";
    std::filesystem::remove(err);
    ServerProcess p(ServerProcess::Program{}, err, args);
    if (!input.empty()) p.send_raw(input);
    p.close_input();
    CtlRun r;
    bool ok = true;
    for (std::string l = p.line(&ok); ok; l = p.line(&ok)) r.out.push_back(l);
    r.status = p.wait_exit();
    r.err = file_text(err);
    return r;
  }
#endif
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
  // A node without the optional 0x1009 and 0x100A: its identity is whole, with "-" for them.
  ASSERT_EQ(s.ask("sim identity CAN.VALVE off"), "ok");
  EXPECT_EQ(s.ask("identity CAN.VALVE"), "VLV1 / - / -");
  EXPECT_EQ(s.ask("get CAN.VALVE.HWVER"), "CAN.VALVE.HWVER = -");
  // The baud-rate code's description says what the 0 of the file means.
  s.send("list");
  EXPECT_THAT(s.answer(), ::testing::Contains("CAN.PUMP.BAUDRATE  (baud-rate code 0..14 taken when "
                                              "the line is opened; 0: the default, 6 == 125 "
                                              "kbit/s)"));
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  // Each failed upload logged once, with the property, line, node, object and abort text.
  const std::string log = stderr_text();
  const std::string line =
      " SDO CAN.VALVE (line 1, node 6): upload 0x100A:00: SDO abort 0x06020000: Object does "
      "not exist in the object dictionary\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
  // Quiet on the virtual bus: no routine lines of the library.
  for (const char* noise :
       {"getlineip cannot open", "Inside can_control", "allow wget resets", " change from: "}) {
    EXPECT_EQ(log.find(noise), std::string::npos) << noise << "\n" << log;
  }
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
  ASSERT_EQ(s.ask("sim emcy CAN.PUMP 0x1000 0x01"), "ok");
  EXPECT_EQ(s.ask("sim emcy CAN.PUMP 0x10000"), "error: bad emergency code 0x10000 (0..0xFFFF)");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  s.send("status");
  auto table = s.answer();
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
  // The event in the log names the code's text as well.
  EXPECT_NE(stderr_text().find("event emergency line 1 node 6 CAN.VALVE code 0x8110 (CAN overrun "
                               "(objects lost)) register 0x11 (Monitoring)"),
            std::string::npos);
  EXPECT_NE(stderr_text().find("event emergency line 1 node 5 CAN.PUMP code 0x1000 ("),
            std::string::npos);
  EXPECT_NE(stderr_text().find("D_can::can_emergency 0x0 0x10 0x1 0x0 "), std::string::npos);
}

TEST_F(ServerE2E, MetricsFollowTheTraffic) {
  ServerProcess s(dir_, {"--metrics", ":0"});
  const std::string at = metrics_at(s);
  EXPECT_EQ(at.rfind("127.0.0.1:", 0), 0u) << at;
  s.until("type 'help'");
  const std::string valve = "{name=\"CAN.VALVE\",line=\"1\",node=\"6\"}";
  const auto before = http_get(at, "/metrics");
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(before[0], "HTTP/1.0 200 OK\r");
  EXPECT_THAT(before,
              ::testing::Contains("Content-Type: text/plain; version=0.0.4; charset=utf-8\r"));
  EXPECT_THAT(before, ::testing::Contains("# TYPE canbus_node_emergencies_total counter"));
  EXPECT_EQ(value_of(before, "canbus_line_open{line=\"1\"}"), 1);
  // The identity reads at start: three transfers of the valve, none failed.
  EXPECT_EQ(value_of(before, "canbus_node_sdo_transfers_total" + valve), 3);
  EXPECT_EQ(value_of(before, "canbus_node_sdo_failures_total" + valve), 0);
  // Supervision series once a node: the follower has SDO series only.
  EXPECT_THAT(before, ::testing::Not(::testing::Contains(
                          ::testing::HasSubstr("canbus_node_state{name=\"CAN.PUMP_MONITOR\""))));

  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 11"), "ok");  // a guarding request and its reply
  const auto after = http_get(at, "/metrics");
  // Process values: the pump's speed as it runs up, the gauge in alarm before it is pumped down.
  EXPECT_GT(value_of(after, "canbus_value{name=\"CAN.PUMP.SPEED\",node=\"CAN.PUMP\",unit=\"Hz\"}"),
            0);
  EXPECT_EQ(value_of(after, "canbus_value_alarm{name=\"CAN.GAUGE.PRESSURE\"}"), 2);
  EXPECT_EQ(value_of(after, "canbus_value_alarm{name=\"CAN.PUMP.SPEED\"}"), 0);
  const std::string emcy = "canbus_node_emergencies_total" + valve;
  EXPECT_EQ(value_of(after, emcy), value_of(before, emcy) + 1);
  EXPECT_EQ(value_of(after, "canbus_node_state" + valve), 5);
  for (const char* f : {"canbus_line_frames_sent_total{line=\"1\"}",
                        "canbus_line_frames_received_total{line=\"1\"}"}) {
    EXPECT_GT(value_of(after, f), value_of(before, f)) << f;
  }
  EXPECT_EQ(http_get(at, "/other")[0].rfind("HTTP/1.0 404", 0), 0u);
  // A lost node is in no known state.
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  ASSERT_EQ(s.ask("tick 50"), "ok");
  const auto lost = http_get(at, "/metrics");
  EXPECT_EQ(value_of(lost, "canbus_node_lost" + valve), 1);
  EXPECT_EQ(value_of(lost, "canbus_node_state" + valve), -1);
  // A drive's state and faults; the series only for drives.
  const std::string slit = "{name=\"CAN.SLIT\",line=\"1\",node=\"7\"}";
  EXPECT_EQ(value_of(lost, "canbus_drive_state" + slit), 2);  // Switch on disabled
  EXPECT_EQ(value_of(lost, "canbus_drive_faults_total" + slit), 0);
  EXPECT_EQ(value_of(lost, "canbus_drive_state" + valve), -1);  // none
  // The example's network on line 3: booting or started, its optional node of another product
  // failed once (M).
  EXPECT_GE(value_of(lost, "canbus_network_state{line=\"3\"}"), 1);
  EXPECT_EQ(value_of(lost, "canbus_boot_failures_total{line=\"3\",code=\"M\"}"), 1);
  ASSERT_EQ(s.ask("sim fault CAN.SLIT over-voltage"), "ok");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  const auto fault = http_get(at, "/metrics");
  EXPECT_EQ(value_of(fault, "canbus_drive_state" + slit), 8);
  EXPECT_EQ(value_of(fault, "canbus_drive_faults_total" + slit), 1);
}

TEST_F(ServerE2E, MetricsServeBesideClientsThatTrickle) {
  ServerProcess s(dir_, {"--metrics", ":0"});
  const std::string at = metrics_at(s);
  s.until("type 'help'");
  // Ten connections from one address, each a request begun and not ended.
  std::vector<std::unique_ptr<SocketClient>> slow;
  std::vector<pollfd> fds;
  for (int i = 0; i < 10; ++i) {
    slow.push_back(std::make_unique<SocketClient>(at, "127.0.0.2"));
    ASSERT_TRUE(slow.back()->connected());
    ASSERT_TRUE(slow.back()->send("GET /metrics HTTP/1.0\r\nUser-Agent: slow\r\n"));
    fds.push_back({slow.back()->fd(), POLLIN, 0});
  }
  const auto scrape = http_get(at, "/metrics");
  ASSERT_FALSE(scrape.empty());  // the server answered at all
  EXPECT_EQ(scrape[0], "HTTP/1.0 200 OK\r");
  // All but six (a browser has a few connections at once) are answered 503 at once (well before the
  // request time-out of 5 s).
  size_t refused = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
       refused < 4 && std::chrono::steady_clock::now() < until;) {
    ASSERT_GE(poll(fds.data(), fds.size(), 100), 0);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & POLLIN) == 0) continue;
      EXPECT_EQ(slow[i]->line(), "HTTP/1.1 503 Service Unavailable\r");
      fds[i].fd = -1;
      ++refused;
    }
  }
  EXPECT_EQ(refused, 4u);
  // The six held are served once they end their request, and then the address may come again.
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].fd < 0) continue;
    ASSERT_TRUE(slow[i]->send("\r\n"));
    EXPECT_EQ(slow[i]->line(), "HTTP/1.0 200 OK\r");
  }
  slow.clear();
  EXPECT_EQ(http_get(at, "/metrics", "127.0.0.2")[0], "HTTP/1.0 200 OK\r");
}

// A name that is not UTF-8 (a configuration written in Latin-1) gives a UTF-8 body.
TEST_F(ServerE2E, MetricsOfANameInLatin1AreUtf8) {
  std::ofstream(dir_ + "/l1.conf") << "CAN.PUMPE_\xFC\xDF: 1 5 0 0\n";
  ServerProcess s(dir_, {"--config", dir_ + "/l1.conf", "--metrics", ":0"});
  const std::string at = metrics_at(s);
  s.until("type 'help'");
  const auto scrape = http_get(at, "/metrics");
  EXPECT_GE(value_of(scrape,
                     "canbus_node_sdo_transfers_total{name=\"CAN.PUMPE_\xEF\xBF\xBD"
                     "\xEF\xBF\xBD\",line=\"1\",node=\"5\"}"),
            0);
  for (const auto& l : scrape) EXPECT_EQ(l.find_first_of("\xFC\xDF"), std::string::npos) << l;
}

TEST_F(ServerE2E, SilentNodeIsMarked) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 10"), "ok");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  ASSERT_EQ(s.ask("tick 50"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = No guarding reply");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
  // No state while it is lost: .ALIVE reads -1, the table says lost and since when.
  EXPECT_EQ(s.ask("get CAN.VALVE.ALIVE"), "CAN.VALVE.ALIVE = -1");
  s.send("status");
  EXPECT_THAT(s.answer(),
              ::testing::Contains(::testing::MatchesRegex(
                  "CAN.VALVE .* No guarding reply +lost .*  LOST SINCE 20..-..-.. ..:..:..\\.... "
                  "UTC")));
  ASSERT_EQ(s.ask("sim silent CAN.VALVE off"), "ok");
  ASSERT_EQ(s.ask("tick 20"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE.CONDITION"), "CAN.VALVE.CONDITION = Operational");
  EXPECT_THAT(s.ask("get CAN.VALVE.ALIVE"), ::testing::MatchesRegex("CAN.VALVE.ALIVE = (5|133)"));
}

// The bundled gauge beats every 100 ms and is supervised by its heartbeat (CAN.GAUGE.MONITOR);
// the pump's follower takes its master's condition.
TEST_F(ServerE2E, HeartbeatNodeIsLostAndBack) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  // (The start-up of the example's network on line 3 has sent its events by then.)
  ASSERT_EQ(s.ask("tick 5"), "ok");
  EXPECT_EQ(s.ask("get CAN.GAUGE.CONDITION"), "CAN.GAUGE.CONDITION = Operational");
  s.send("status");
  const auto table = s.answer();
  EXPECT_THAT(table, ::testing::Contains(::testing::HasSubstr(" heartbeat 100 150 ")));
  EXPECT_THAT(table, ::testing::Contains(::testing::HasSubstr(" guarding 1000 3 ")));
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("sim silent CAN.GAUGE on"), "ok");
  ASSERT_EQ(s.ask("sim silent CAN.PUMP on"), "ok");
  ASSERT_EQ(s.ask("tick 2"), "ok");  // 200 ms without a beat: within the tolerance
  s.send("tick 1");
  EXPECT_EQ(s.line(), "event node-lost line 2 node 20 CAN.GAUGE");
  EXPECT_EQ(s.line(), "ok");
  EXPECT_EQ(s.ask("get CAN.GAUGE.CONDITION"), "CAN.GAUGE.CONDITION = No heartbeat");
  EXPECT_EQ(s.ask("get CAN.GAUGE.ALIVE"), "CAN.GAUGE.ALIVE = -1");
  ASSERT_EQ(s.ask("sim silent CAN.GAUGE off"), "ok");
  s.send("tick 1");
  EXPECT_EQ(s.line(), "event node-back line 2 node 20 CAN.GAUGE");
  EXPECT_EQ(s.line(), "ok");
  EXPECT_EQ(s.ask("get CAN.GAUGE.CONDITION"), "CAN.GAUGE.CONDITION = Operational");
  s.send("tick 40");
  // (The example's network on line 3 has a node that boots late: lost until then.)
  EXPECT_EQ(s.until("event node-lost line 1").back(), "event node-lost line 1 node 5 CAN.PUMP");
  s.until("ok");
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.CONDITION"),
            "CAN.PUMP_MONITOR.CONDITION = No guarding reply");
  // A property that comes to follow the gauge starts with its master's condition.
  ASSERT_EQ(s.ask("set CAN.VALVE 2 20 0 0"), "ok (moved to line 2 node 20, attached again)");
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
      // Checked writes: out of range, read-only, wrong counts.
      "set CAN.MAGNET.BAUDRATE -5",
      "set CAN.MAGNET.BAUDRATE 15",
      "set CAN.PUMP 25 5 0 0",
      "set CAN.PUMP 0 5 0 0",
      "set CAN.PUMP 1 0 0 0",
      "set CAN.PUMP 1 128 0 0",
      "set CAN.PUMP 1 5 2048 0",
      "set CAN.PUMP 1 5 0 -1",
      "set CAN.PUMP.ACTIVE 0",
      "set CAN.PUMP_MONITOR.ACTIVE 1",
      "set CAN.PUMP.ALIVE 5",
      "set CAN.PUMP.CONDITION Operational",
      "set CAN.PUMP.MANU x",
      "set CAN.PUMP.DEBUG_ID 21 0 0 0",
      "quit now",
      "get",
      "get CAN.PUMP extra",
      "user bad/name",
  };
  for (const char* r : requests) {
    std::string a = s.ask(r);
    EXPECT_EQ(a.rfind("error: ", 0), 0u) << r << " -> " << a;
  }
  EXPECT_EQ(s.ask("quit now"), "error: usage: quit");
  EXPECT_EQ(s.ask("set CAN.PUMP.ACTIVE 0"), "error: CAN.PUMP.ACTIVE is read-only");
  // Nothing changed, and still serving.
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
  EXPECT_EQ(s.ask("get CAN.PUMP.ACTIVE"), "CAN.PUMP.ACTIVE = 1");
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.ACTIVE"), "CAN.PUMP_MONITOR.ACTIVE = 0");
  EXPECT_EQ(s.ask("get CAN.MAGNET.BAUDRATE"), "CAN.MAGNET.BAUDRATE = 2");
  // An over-long line is refused without being echoed, the rest of it skipped.
  s.send(std::string(100000, 'x') + " tail");
  EXPECT_EQ(s.line(), "error: request longer than 4096 bytes");
  EXPECT_EQ(s.ask("get CAN.VALVE"), "CAN.VALVE = 1 6 0 0");
  // The last request without a line feed is served before the end.
  s.send_raw("get CAN.MAGNET");
  s.close_input();
  EXPECT_EQ(s.line(), "CAN.MAGNET = 2 10 0 0");
  EXPECT_EQ(s.wait_exit(), 0);
}

TEST_F(ServerE2E, MovesReadTheNewIdentityAndReattachTheFollower) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  // The pump's master moves onto the magnet's node: the follower left behind becomes master.
  EXPECT_EQ(s.ask("set CAN.PUMP 2 10 0 0"), "ok (moved to line 2 node 10, attached again)");
  EXPECT_EQ(s.ask("get CAN.PUMP.MANU"), "CAN.PUMP.MANU = Magnet power supply MPS-40");
  EXPECT_EQ(s.ask("get CAN.PUMP.SWVER"), "CAN.PUMP.SWVER = SW 7.1");
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.ACTIVE"), "CAN.PUMP_MONITOR.ACTIVE = 1");
  ASSERT_EQ(s.ask("tick 21"), "ok");
  EXPECT_EQ(s.ask("get CAN.PUMP_MONITOR.CONDITION"), "CAN.PUMP_MONITOR.CONDITION = Operational");
  EXPECT_EQ(s.ask("get CAN.PUMP.CONDITION"), "CAN.PUMP.CONDITION = Operational");
  // Roles as attached: the moved property follows the magnet's master (its .ACTIVE stays 1).
  s.send("status");
  std::map<std::string, std::string> roles;
  for (auto& l : s.answer()) {
    std::istringstream in(l);
    std::string name, line, id, role;
    in >> name >> line >> id >> role;
    roles[name] = role;
  }
  EXPECT_EQ(roles["CAN.PUMP"], "follower");
  EXPECT_EQ(roles["CAN.PUMP_MONITOR"], "master");
  EXPECT_EQ(roles["CAN.MAGNET"], "master");
  // Only the further identifiers change: no move.
  EXPECT_EQ(s.ask("set CAN.VALVE 1 6 0x181 2047"), "ok");
  EXPECT_EQ(s.ask("get CAN.VALVE"), "CAN.VALVE = 1 6 385 2047");
}

TEST_F(ServerE2E, LibraryPrintsNeverReachTheAnswers) {
  ServerProcess s(dir_, {"--verbose"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim abort CAN.VALVE"), "ok");
  // The aborted upload is the answer, the next line, nothing before it; the identity stored
  // stays as it was.
  EXPECT_EQ(s.ask("identity CAN.VALVE"),
            "error: identity of CAN.VALVE not read (object 0x1008): SDO abort 0x06020000: Object "
            "does not exist in the object dictionary");
  EXPECT_EQ(s.ask("get CAN.VALVE.MANU"), "CAN.VALVE.MANU = VLV1");
  EXPECT_EQ(s.ask("identity CAN.VALVE"), "VLV1 / HW 2 / SW 1.0");
  // The library's identity read after a move reports the abort on its own.
  ASSERT_EQ(s.ask("sim abort CAN.VALVE"), "ok");
  EXPECT_EQ(s.ask("set CAN.PUMP_MONITOR 1 6 0 0"), "ok (moved to line 1 node 6, attached again)");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find("SDO CAN.PUMP_MONITOR (line 1, node 6): upload 0x1008:00: SDO "
                               "abort 0x06020000"),
            std::string::npos)
      << stderr_text();
  // --verbose: the library's routine lines too.
  EXPECT_NE(stderr_text().find("Inside can_control:  Line : 1"), std::string::npos);
}

TEST_F(ServerE2E, CommandLineErrorsNameTheCulprit) {
  struct Case {
    std::vector<std::string> args;
    const char* named;
  } cases[] = {
      {{"--backend", "bogus"}, "bogus"},
      {{"--frobnicate"}, "--frobnicate"},
      {{"--listen", "127.0.0.1:99999"}, "99999"},
      {{"--listen", "127.0.0.1:0", "--writers", "nonsense"}, "nonsense"},
      {{"--listen", "127.0.0.1:0", "--max-per-address", "32"}, "--max-per-address"},
      {{"--socket-mode", "0999"}, "0999"},
      {{"--metrics", "127.0.0.1:99999"}, "99999"},
      {{"--metrics", "192.0.2.1:0"}, "--metrics 192.0.2.1:0"},  // no address of this host
      {{"--duration", "nan"}, "--duration: 'nan' is not a finite number"},
      {{"--status-every", "inf"}, "--status-every: 'inf' is not a finite number"},
      {{"--idle-timeout", "NaN"}, "--idle-timeout: 'NaN' is not a finite number"},
      {{"--record-max-bytes", "100"}, "--record-max-bytes"},
  };
  for (const auto& c : cases) {
    // Checked before a node is touched: nothing is recorded.
    auto args = c.args;
    args.insert(args.end(), {"--record", dir_ + "/rec.log"});
    ServerProcess s(dir_, args);
    EXPECT_EQ(s.wait_exit(), 2);
    EXPECT_NE(stderr_text().find(c.named), std::string::npos) << stderr_text();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/rec.log")) << c.named;
  }
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

// Objects by the names of the node's EDS (the example's files), typed answers, and od.
TEST_F(ServerE2E, SdoByObjectNameAndTheObjectList) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  const std::pair<const char*, const char*> exchanges[] = {
      {"sdo read CAN.PUMP \"Producer heartbeat time\"",
       "0 (0x0000) ms \"Producer heartbeat time\""},
      {"sdo write CAN.PUMP \"Producer heartbeat time\" 1500", "ok"},
      {"sdo read CAN.PUMP \"Producer heartbeat time\"",
       "1500 (0x05DC) ms \"Producer heartbeat time\""},
      {"sdo read CAN.PUMP 0x1017 0", "1500 (0x05DC)"},  // by number as before
      {"sdo write CAN.PUMP 0x1017 0 700", "ok"},        // od shows the value written
      {"sdo read CAN.MAGNET \"Current limits.Negative limit\"",
       "-40000 (0xFFFF63C0) mA \"Current limits.Negative limit\""},
      {"sdo write CAN.PUMP \"Pump configuration.Standby speed\" 101",
       "error: 'Pump configuration.Standby speed' (0x2400 sub 2): 101 above the high limit 100"},
      {"sdo write CAN.PUMP \"Pump configuration.Standby speed\" fast",
       "error: bad value for UNSIGNED8: 'fast' is not an integer"},
      {"sdo write CAN.PUMP \"Device type\" 1", "error: 'Device type' (0x1000 sub 0) is read-only"},
      {"sdo write CAN.VALVE Location \"hall 3\"", "ok"},
      {"sdo read CAN.VALVE Location", "\"hall 3\" \"Location\""},
      {"sdo read CAN.PUMP Nope", "error: no object named 'Nope'"},
      // Written at boot by its name (the MAGNET.BOOT line).
      {"sdo read CAN.MAGNET \"Output mode\"", "1 (0x01) \"Output mode\""},
      {"sdo write CAN.PUMP 0x1017 0",
       "error: sdo read NAME INDEX SUB|OBJECT, sdo write NAME INDEX SUB VALUE|OBJECT VALUE"},
  };
  for (const auto& [request, answer] : exchanges) EXPECT_EQ(s.ask(request), answer) << request;
  // od answers a block of lines; an error is one line.
  const std::vector<std::pair<std::string, std::vector<std::string>>> lists = {
      {"od CAN.PUMP \"heartbeat\"",
       {"0x1017 sub 0   UNSIGNED16      rw    Producer heartbeat time = 700 (0x02BC) ms"}},
      {"od CAN.PUMP_MONITOR",
       {"error: CAN.PUMP_MONITOR has no object dictionary (a CAN.PUMP_MONITOR.EDS line): give "
        "INDEX SUB"}},
      {"od CAN.PUMP zzz", {"no object of CAN.PUMP has 'zzz' in its name"}},
  };
  for (const auto& [request, answer] : lists) {
    s.send(request);
    EXPECT_EQ(s.answer(), answer) << request;
  }
  // The whole list: one line per entry of the file, in index order.
  s.send("od CAN.PUMP");
  const auto all = s.answer();
  EXPECT_EQ(all.front(), "0x1000 sub 0   UNSIGNED32      ro    Device type");
  EXPECT_EQ(all.size(), 40u);
  EXPECT_NE(std::find(all.begin(), all.end(),
                      "0x2201 sub 2   INTEGER16       ro    Bearing temperatures.Lower bearing"),
            all.end());
}

// A node's EDS with a fault of a vendor's file: read, its warning logged at start with file and
// line and listed by "od NAME warnings"; refused with --strict-eds.
TEST_F(ServerE2E, EdsWarningsLoggedListedAndRefusedWhenStrict) {
  {
    ServerProcess s(dir_);
    s.until("type 'help'");
    s.send("od CAN.VALVE warnings");
    EXPECT_EQ(s.answer(), std::vector<std::string>{"no warnings in the EDS of CAN.VALVE"});
    ASSERT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  const std::string eds = dir_ + "/vlv1.eds";  // the example's copy
  std::ifstream in(eds);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string at = eds + ":" + std::to_string(std::count(text.begin(), text.end(), '\n') + 1);
  std::ofstream(eds, std::ios::app) << "; Ventil f\xFCr Wasser\n";
  const std::string why = ": a byte that is not UTF-8 (0xFC) in a comment";
  {
    ServerProcess s(dir_);
    s.until("type 'help'");
    s.send("od CAN.VALVE warnings");
    EXPECT_EQ(s.answer(), std::vector<std::string>{at + why + ": ignored"});
    ASSERT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  EXPECT_NE(
      stderr_text().find("canbus-server: CAN.VALVE.EDS: warning: " + at + why + ": ignored\n"),
      std::string::npos);
  ServerProcess s(dir_, {"--strict-eds"});
  EXPECT_NE(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find(at + why + "\n"), std::string::npos);
}

TEST_F(ServerE2E, SavedConfigurationIsReadOnTheNextStart) {
  {
    ServerProcess s(dir_);
    s.until("type 'help'");
    // One rate per line: the answer names another property of the line until all agree.
    ASSERT_EQ(s.ask("set CAN.VALVE.BAUDRATE 4"),
              "ok (applies when the line is next opened; line 1 has code 6 from CAN.PUMP: give "
              "every property of the line the same code)");
    ASSERT_EQ(s.ask("set CAN.PUMP.BAUDRATE 4").rfind("ok (applies", 0), 0u);
    ASSERT_EQ(s.ask("set CAN.SLIT.BAUDRATE 4").rfind("ok (applies", 0), 0u);
    ASSERT_EQ(s.ask("set CAN.PUMP_MONITOR.BAUDRATE 4"),
              "ok (applies when the line is next opened)");
    ASSERT_EQ(s.ask("set CAN.VALVE 1 6 0x181 2047"), "ok");  // above what the property loads
    EXPECT_EQ(s.ask("set CAN.MAGNET 2 11 0 0").rfind("ok (moved", 0), 0u);
    EXPECT_EQ(s.ask("save").rfind("ok (saved", 0), 0u);
    ASSERT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  ServerProcess s(dir_);
  s.until("type 'help'");
  EXPECT_EQ(s.ask("get CAN.VALVE.BAUDRATE"), "CAN.VALVE.BAUDRATE = 4");
  EXPECT_EQ(s.ask("get CAN.VALVE"), "CAN.VALVE = 1 6 385 2047");
  EXPECT_EQ(s.ask("get CAN.MAGNET"), "CAN.MAGNET = 2 11 0 0");
  EXPECT_EQ(s.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
}

// Network clients: a writer and a read-only client at once, the change log with user@host, a
// full house, and a client that stops reading while another is served.
TEST_F(ServerE2E, NetworkClientsWritersAndReaders) {
  const std::string sock = dir_ + "/server.sock";
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0", "--listen", sock, "--writers", "127.0.0.1",
                         "--max-clients", "3", "--max-per-address", "2", "--idle-timeout", "1"});
  const std::string tcp = listening(s);
  ASSERT_FALSE(tcp.empty());
  s.until("type 'help'");

  SocketClient writer(tcp), reader(sock);
  ASSERT_TRUE(writer.connected() && reader.connected());
  EXPECT_EQ(writer.ask("user alice"), "ok (alice@127.0.0.1)");
  EXPECT_EQ(writer.ask("user bob"), "error: the user is named already");
  EXPECT_EQ(reader.ask("set CAN.VALVE.BAUDRATE 6"), "error: read-only client");
  EXPECT_EQ(writer.ask("set CAN.VALVE.BAUDRATE 6"), "ok (applies when the line is next opened)");
  EXPECT_EQ(reader.ask("get CAN.VALVE.BAUDRATE"), "CAN.VALVE.BAUDRATE = 6");
  EXPECT_EQ(writer.ask("set CAN.VALVE 1 6 0x181 0"), "ok");
  // Pipelined requests, 8 at a time: every answer, in order (with TCP_NODELAY a batch is not
  // held up waiting for acknowledgements).
  const auto t0 = std::chrono::steady_clock::now();
  for (int batch = 0; batch < 50; ++batch) {
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += i % 2 ? "get CAN.VALVE.BAUDRATE\n" : "get CAN.PUMP\n";
    ASSERT_TRUE(writer.send(eight));
    for (int i = 0; i < 8; ++i)
      ASSERT_EQ(writer.line(), i % 2 ? "CAN.VALVE.BAUDRATE = 6" : "CAN.PUMP = 1 5 0 0");
  }
  RecordProperty("pipelined_batch_us",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - t0)
                                      .count() /
                                  50));

  // The third client is the last one admitted.
  SocketClient third(tcp), fourth(tcp);
  EXPECT_EQ(fourth.line(), "error: too many clients");
  EXPECT_EQ(third.ask("quit"), "bye");
  bool open = true;
  third.line(&open);  // the end of the connection: its place is free again
  EXPECT_FALSE(open);

  // A client that sends requests and never reads its answers is served no further once its
  // answers wait unread, and dropped when they stay so for the idle time-out; the others are
  // served meanwhile.
  SocketClient sink(tcp);
  int small = 4096;
  setsockopt(sink.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string many;
  for (int i = 0; i < 4000; ++i) many += "list\n";
  ASSERT_TRUE(sink.send(many));
  for (int i = 0; i < 20; ++i) ASSERT_EQ(reader.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
  // It still reads nothing: the server ends the connection by itself.
  pollfd hup{sink.fd(), POLLRDHUP, 0};
  ASSERT_GT(poll(&hup, 1, 30000), 0) << "the server does not drop a client that does not read";
  size_t got = 0;
  char b[65536];
  for (;;) {
    pollfd p{sink.fd(), POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 30000), 0) << "the server neither answers nor drops the client";
    ssize_t k = read(sink.fd(), b, sizeof b);
    if (k <= 0) break;  // closed, or reset with its requests unread
    got += static_cast<size_t>(k);
  }
  EXPECT_LT(got, 4000u * 1000u);  // dropped long before its 4000 answers of ~2 KB were out
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  const std::string log = stderr_text();
  EXPECT_NE(log.find("CAN.VALVE.BAUDRATE set to 6 by alice@127.0.0.1"), std::string::npos) << log;
  EXPECT_NE(log.find("CAN.VALVE change from: 1, 6, 0, 0 to: 1, 6, 385, 0 by alice@127.0.0.1"),
            std::string::npos);
  EXPECT_NE(log.find("does not read its answers"), std::string::npos) << log;
}

// Work on the bus runs off the request path: status answers while an upload waits for a slow
// node, and the upload's client gets its answer when the node answers.
TEST_F(ServerE2E, StatusAnswersWhileAnUploadWaits) {
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0"});
  const std::string tcp = listening(s);
  ASSERT_FALSE(tcp.empty());
  s.until("type 'help'");
  SocketClient slow(tcp), quick(tcp);
  ASSERT_EQ(s.ask("sim hold CAN.VALVE on"), "ok");
  ASSERT_TRUE(slow.send("identity CAN.VALVE\n"));
  ASSERT_TRUE(quick.send("watch\n"));
  EXPECT_EQ(quick.line(), "ok (watching)");
  auto t0 = std::chrono::steady_clock::now();
  quick.send("status\n");
  // The status table: a heading, 9 nodes, 3 lines, the network of line 3.
  EXPECT_EQ(quick.line(), "ok 14 lines");
  EXPECT_EQ(quick.line().rfind("NODE", 0), 0u);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  RecordProperty("status_ms", static_cast<int>(ms));
  for (int i = 0; i < 20 && quick.line().rfind("network line 3:", 0) != 0; ++i) {  // the rest
  }
  ASSERT_EQ(s.ask("sim hold CAN.VALVE off"), "ok");
  EXPECT_EQ(slow.line(), "VLV1 / HW 2 / SW 1.0");
  // Events reach the watcher with line, node, the text and the class of the emergency code.
  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  std::string event = quick.line();
  while (event.rfind("event drive ", 0) == 0 || event.rfind("event value ", 0) == 0 ||
         event.rfind("event alarm", 0) == 0 || event.rfind("event warn", 0) == 0 ||
         event.find(" line 3") != std::string::npos)
    event = quick.line();  // the slit drive's first state and values, the gauge's pressure
                           // limits, the network of line 3
  EXPECT_EQ(event,
            "event emergency line 1 node 6 CAN.VALVE code 0x8110 (CAN overrun (objects lost)) "
            "register 0x11 (Monitoring)");
}

// Process data of the example: a TPDO value read and watched (events at most once per
// --value-interval and not within the deadband), set-points checked, sent as the RPDO after the
// SYNC and followed by the supply's actual current, a node reset configured again.
TEST_F(ServerE2E, ProcessValuesAreReadWatchedAndSet) {
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(dir_, {"--value-interval", "300", "--record", dir_ + "/rec.log", "--listen", sock,
                         "--writers", "127.0.0.1"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  EXPECT_THAT(s.ask("get CAN.MAGNET.CURRENT"),
              ::testing::MatchesRegex("CAN.MAGNET.CURRENT = 0 mA at 20..-..-.. ..:..:..\\.... UTC "
                                      "\\(TPDO1\\)"));
  EXPECT_EQ(s.ask("get CAN.MAGNET.SETPOINT"), "CAN.MAGNET.SETPOINT = none (not set yet)");
  s.send("list");
  const auto list = s.answer();
  EXPECT_THAT(list, ::testing::Contains("CAN.MAGNET.SETPOINT  (process value, RPDO1 set-point, "
                                        "UNSIGNED32, mA, min 0, max 40000)"));
  // Mapped by the object's name in the gauge's EDS.
  EXPECT_THAT(list,
              ::testing::Contains("CAN.GAUGE.PRESSURE  (process value, TPDO1, REAL32, mbar)"));
  // Not pumped down yet: in alarm, in get and in status's tail.
  EXPECT_THAT(s.ask("get CAN.GAUGE.PRESSURE"),
              ::testing::MatchesRegex("CAN.GAUGE.PRESSURE = 0.00.*, alarm: high \\(above 0.0005 "
                                      "mbar\\)"));
  s.send("status");
  EXPECT_THAT(s.answer(),
              ::testing::Contains(::testing::MatchesRegex(
                  "alarm CAN.GAUGE.PRESSURE 0.00[0-9]+ mbar above 0.0005 mbar \\(high\\)")));
  SocketClient reader(sock);
  const std::pair<const char*, const char*> refused[] = {
      {"set CAN.MAGNET.SETPOINT 50000",
       "error: CAN.MAGNET.SETPOINT: 50000 above the maximum 40000 mA"},
      {"set CAN.MAGNET.SETPOINT -1", "error: CAN.MAGNET.SETPOINT: -1 below the minimum 0 mA"},
      {"set CAN.MAGNET.SETPOINT 1.5",
       "error: CAN.MAGNET.SETPOINT: 1.5: not a whole number of steps"},
      {"set CAN.MAGNET.SETPOINT 1000.0000001",
       "error: CAN.MAGNET.SETPOINT: 1000.0000001: not a whole number of steps"},
      {"set CAN.MAGNET.CURRENT 5",
       "error: CAN.MAGNET.CURRENT is a measured value (TPDO1 of the node): read-only"},
  };
  for (const auto& [request, answer] : refused) EXPECT_EQ(s.ask(request), answer);
  EXPECT_EQ(reader.ask("set CAN.MAGNET.SETPOINT 1000"), "error: read-only client");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 8000"), "ok (sent after the next SYNC)");
  // The events of the current as it follows at 10 A/s, tick by tick: never two within 300 ms.
  const std::string current = "event value line 2 node 10 CAN.MAGNET.CURRENT ";
  std::vector<int> at;
  for (int t = 0; t < 16; ++t) {
    s.send("tick 1");
    for (const auto& l : s.until("ok")) {
      if (l.rfind(current, 0) == 0) at.push_back(t);
    }
  }
  ASSERT_GE(at.size(), 2u);
  for (size_t k = 1; k < at.size(); ++k) EXPECT_GE(at[k] - at[k - 1], 3) << k;
  EXPECT_THAT(s.ask("get CAN.MAGNET.CURRENT"),
              ::testing::StartsWith("CAN.MAGNET.CURRENT = 8000 mA at "));
  // Within the deadband of 10 mA: no event; beyond it: one.
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 7995"), "ok (sent after the next SYNC)");
  s.send("tick 10");
  EXPECT_THAT(s.until("ok"), ::testing::Not(::testing::Contains(::testing::StartsWith(current))));
  EXPECT_THAT(s.ask("get CAN.MAGNET.CURRENT"),
              ::testing::StartsWith("CAN.MAGNET.CURRENT = 7995 mA at "));
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 1600"), "ok (sent after the next SYNC)");
  s.send("tick 10");
  EXPECT_THAT(s.until("ok"), ::testing::Contains(current + "1600 mA"));
  // A reset node boots with its set-point gone, is configured again, started, and given its
  // set-point again: the current comes back to it.
  ASSERT_EQ(s.ask("set CAN.MAGNET.RESET 1"), "ok");
  s.send("tick 3");
  const auto after = s.until("ok");
  EXPECT_THAT(after, ::testing::Contains("event configured line 2 node 10 CAN.MAGNET"));
  EXPECT_THAT(after, ::testing::Contains(
                         "event restored line 2 node 10 CAN.MAGNET RPDO1 SETPOINT 1600 mA"));
  EXPECT_THAT(after, ::testing::Contains(current + "0 mA"));
  s.send("tick 10");
  s.until("ok");
  EXPECT_THAT(s.ask("get CAN.MAGNET.CURRENT"),
              ::testing::StartsWith("CAN.MAGNET.CURRENT = 1600 mA at "));
  EXPECT_EQ(s.ask("get CAN.MAGNET.CONDITION"), "CAN.MAGNET.CONDITION = Operational");
  // A stopped node drops RPDOs: the set-point is refused, neither kept nor sent.
  ASSERT_EQ(s.ask("set CAN.MAGNET.STOP 1"), "ok");
  s.send("tick 12");
  EXPECT_THAT(s.until("ok"), ::testing::Contains("event state line 2 node 10 CAN.MAGNET Stopped"));
  EXPECT_EQ(s.ask("set CAN.MAGNET.SETPOINT 1234"),
            "error: CAN.MAGNET is Stopped: set-points are taken in Operational only");
  EXPECT_THAT(s.ask("get CAN.MAGNET.SETPOINT"),
              ::testing::StartsWith("CAN.MAGNET.SETPOINT = 1600 mA at "));
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  // The RPDOs in the can-utils form: sent values only (8000 == 0x1F40), never a refused one.
  const std::string text = file_text(dir_ + "/rec.log");
  const size_t rpdo = text.find(" 20A#401F0000");
  ASSERT_NE(rpdo, std::string::npos);
  // Right after the SYNC of line 2.
  const size_t before = text.rfind('\n', text.rfind('\n', rpdo) - 1);
  EXPECT_NE(text.substr(before, rpdo - before).find(" can1 080# "), std::string::npos);
  // 1600 twice: set, and sent again after the reset.
  const size_t again = text.find(" 20A#40060000");
  ASSERT_NE(again, std::string::npos);
  EXPECT_NE(text.find(" 20A#40060000", again + 1), std::string::npos);
  for (const char* never : {" 20A#50C30000", " 20A#E8030000", " 20A#FFFFFFFF", " 20A#D2040000"}) {
    EXPECT_EQ(text.find(never), std::string::npos) << never;
  }
}

// The example's slit drive through a socket: enabled, homed, moved by its TARGET with the
// events up to target reached, a fault injected and reset; a move whose client went runs to its
// end and is logged.
TEST_F(ServerE2E, MotorDriveIsHomedMovedFaultedAndReset) {
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(dir_, {"--listen", sock});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 2"), "ok");  // the drive leaves Not ready to switch on
  SocketClient c(sock);
  std::vector<std::string> events;
  // The answer to `request`; the events that come before it are kept.
  auto ask = [&](SocketClient& to, const std::string& request) {
    to.send(request + "\n");
    for (bool ok = true; ok;) {
      const std::string l = to.line(&ok);
      if (l.rfind("event ", 0) != 0) return l;
      events.push_back(l);
    }
    return std::string("(no answer)");
  };
  const std::string ev = "event drive line 1 node 7 CAN.SLIT ";
  using ::testing::Contains;
  using ::testing::StartsWith;
  ASSERT_EQ(ask(c, "watch"), "ok (watching)");
  EXPECT_EQ(ask(c, "get CAN.SLIT.STATE"), "CAN.SLIT.STATE = Switch on disabled");
  EXPECT_EQ(ask(c, "drive CAN.SLIT move 10"),
            "error: CAN.SLIT: the drive is in Switch on disabled, not Operation enabled");
  EXPECT_EQ(ask(c, "drive CAN.SLIT enable"), "ok (in Operation enabled)");
  EXPECT_THAT(events, Contains(ev + "state Operation enabled"));
  EXPECT_EQ(ask(c, "drive CAN.SLIT home"), "ok (homing attained at 0.000 mm)");
  EXPECT_THAT(events, Contains(StartsWith(ev + "homing-done at ")));
  EXPECT_EQ(ask(c, "set CAN.SLIT.TARGET 60"),
            "error: CAN.SLIT: 60.000 mm is outside the limits -50.000..50.000 mm");
  EXPECT_EQ(ask(c, "set CAN.SLIT.POSITION 6"),
            "error: CAN.SLIT.POSITION is read-only (set CAN.SLIT.TARGET)");
  events.clear();
  EXPECT_EQ(ask(c, "set CAN.SLIT.TARGET 25"), "ok (target reached at 25.000 mm)");
  // The mode switch, the position on its way, target reached last.
  const auto mode = std::find(events.begin(), events.end(), ev + "mode-changed profile position");
  ASSERT_NE(mode, events.end());
  const auto reached = std::find_if(mode, events.end(), [&](const std::string& e) {
    return e.rfind(ev + "target-reached at ", 0) == 0;
  });
  ASSERT_NE(reached, events.end());
  std::vector<double> way;
  for (auto it = mode; it != reached; ++it) {
    const std::string v = "event value line 1 node 7 CAN.SLIT.POSITION ";
    if (it->rfind(v, 0) == 0) way.push_back(std::stod(it->substr(v.size())));
  }
  ASSERT_GE(way.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_TRUE(std::is_sorted(way.begin(), way.end()));
  EXPECT_GT(way.back(), way.front());
  EXPECT_THAT(ask(c, "get CAN.SLIT.POSITION"),
              ::testing::MatchesRegex("CAN.SLIT.POSITION = 25.000 mm at 20..-..-.. .* \\(TPDO\\)"));
  EXPECT_THAT(ask(c, "get CAN.SLIT.TARGET"), StartsWith("CAN.SLIT.TARGET = 25.000 mm at "));
  EXPECT_EQ(ask(c, "get CAN.SLIT.MODE"), "CAN.SLIT.MODE = profile position");
  c.send("status\n");
  EXPECT_THAT(c.answer(), Contains(::testing::HasSubstr(" Operation enabled 25.000 mm ")));
  c.send("list\n");
  EXPECT_THAT(c.answer(), Contains("CAN.SLIT.TARGET  (drive, target position: set moves there, "
                                   "mm, -50.000..50.000)"));

  // A fault: the move ends with it, the event and the state name its emergency; a reset and
  // enable bring the drive back.
  events.clear();
  EXPECT_EQ(ask(c, "sim fault CAN.VALVE over-voltage"), "error: CAN.VALVE is no simulated drive");
  EXPECT_EQ(ask(c, "sim fault CAN.SLIT melting"),
            "error: bad fault melting (over-temperature, following-error, over-voltage)");
  ASSERT_EQ(ask(c, "sim fault CAN.SLIT following-error"), "ok");
  EXPECT_EQ(ask(c, "drive CAN.SLIT move 10"),
            "error: CAN.SLIT went to Fault: 0x8611 following error");
  EXPECT_THAT(events, Contains(ev + "state Fault"));
  EXPECT_THAT(events, Contains(ev + "fault 0x8611 following error"));
  EXPECT_EQ(ask(c, "get CAN.SLIT.STATE"), "CAN.SLIT.STATE = Fault (0x8611 following error)");
  EXPECT_EQ(ask(c, "drive CAN.SLIT reset"), "ok (in Switch on disabled)");
  EXPECT_EQ(ask(c, "drive CAN.SLIT enable"), "ok (in Operation enabled)");
  EXPECT_EQ(ask(c, "drive CAN.SLIT move -5 20"), "ok (target reached at -5.000 mm)");

  // A client that goes while its move runs: the move goes on to its end, which is logged.
  {
    SocketClient gone(sock);
    ASSERT_EQ(ask(gone, "user mover"), "ok (mover@local:uid=" + std::to_string(getuid()) + ")");
    events.clear();
    gone.send("drive CAN.SLIT move 40\n");
    // The move runs once the watcher sees the position move.
    for (bool ok = true; ok;) {
      const std::string l = c.line(&ok);
      if (l.rfind("event value line 1 node 7 CAN.SLIT.POSITION ", 0) == 0) break;
    }
  }
  for (bool ok = true; ok;) {
    if (c.line(&ok).rfind(ev + "target-reached at ", 0) == 0) break;
  }
  ASSERT_EQ(ask(c, "tick 1"), "ok");  // bus work: after the move's end
  EXPECT_THAT(ask(c, "get CAN.SLIT.POSITION"), StartsWith("CAN.SLIT.POSITION = 40.000 mm"));
  EXPECT_EQ(ask(c, "drive CAN.SLIT stop"), "ok (in Switched on)");
  EXPECT_EQ(ask(c, "drive CAN.SLIT halt").rfind("ok (halt sent; Switched on at 40.000 mm", 0), 0u);
  EXPECT_EQ(ask(c, "drive CAN.NOPE halt"), "error: no drive CAN.NOPE (a NAME.DRIVE line)");
  EXPECT_EQ(ask(c, "drive CAN.SLIT spin"),
            "error: usage: drive NAME enable|disable|home|move POS [VELOCITY]|jog "
            "VELOCITY|halt|stop|quickstop|reset");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  const std::string log = stderr_text();
  EXPECT_NE(log.find("CAN.SLIT move to 40.000 mm by mover@local:uid=" + std::to_string(getuid()) +
                     " (gone): target reached at 40.000 mm"),
            std::string::npos)
      << log;
}

// A drive without PDOs (sdo): read and commanded by SDO, polled at every tick; refusals before
// anything is sent; set up again after a boot-up; a move that does not end in the drive's
// timeout is halted.
TEST_F(ServerE2E, DriveBySdoRefusalsBootAndTimeout) {
  std::ofstream(dir_ + "/ax.conf")
      << "CAN.AX: 1 7 0 0\nCAN.AX.DRIVE: sdo homing none scale 100 unit deg limits -90 90 "
         "timeout 5\n";
  ServerProcess s(dir_, {"--config", dir_ + "/ax.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  EXPECT_EQ(s.ask("get CAN.AX.STATE"), "CAN.AX.STATE = Switch on disabled");
  EXPECT_THAT(s.ask("get CAN.AX.POSITION"),
              ::testing::MatchesRegex("CAN.AX.POSITION = 0.000 deg at .* UTC \\(SDO\\)"));
  const std::pair<const char*, const char*> refused[] = {
      {"drive CAN.AX home", "error: CAN.AX is not homed (its drive line: homing none)"},
      {"drive CAN.AX move 10",
       "error: CAN.AX: the drive is in Switch on disabled, not Operation "
       "enabled"},
      {"drive CAN.AX move 100",
       "error: CAN.AX: 100.000 deg is outside the limits "
       "-90.000..90.000 deg"},
      {"drive CAN.AX move 10 0", "error: the velocity must be a number above 0, not 0"},
      {"drive CAN.AX move ten", "error: ten is not a number"},
      {"drive CAN.AX jog",
       "error: usage: drive NAME enable|disable|home|move POS "
       "[VELOCITY]|jog VELOCITY|halt|stop|quickstop|reset"},
      {"set CAN.AX.TARGET 1 2", "error: CAN.AX.TARGET takes one number (the target position)"},
      {"set CAN.AX.MODE 1", "error: CAN.AX.MODE is read-only (set CAN.AX.TARGET)"},
  };
  for (const auto& [request, answer] : refused) EXPECT_EQ(s.ask(request), answer);
  EXPECT_EQ(s.ask("drive CAN.AX enable"), "ok (in Operation enabled)");
  EXPECT_EQ(s.ask("drive CAN.AX move 45"), "ok (target reached at 45.000 deg)");
  EXPECT_EQ(s.ask("get CAN.AX.MODE"), "CAN.AX.MODE = profile position");
  EXPECT_EQ(s.ask("drive CAN.AX jog 10"), "ok (velocity reached: 10.000 deg/s)");
  EXPECT_EQ(s.ask("drive CAN.AX stop"), "ok (in Switched on)");
  // A boot-up: the drive is set up again (the set-up is bus work of the server's own).
  ASSERT_EQ(s.ask("sim boot CAN.AX"), "ok");
  ASSERT_EQ(s.ask("tick 3"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  EXPECT_EQ(s.ask("get CAN.AX.STATE"), "CAN.AX.STATE = Switched on");
  EXPECT_EQ(s.ask("drive CAN.AX enable"), "ok (in Operation enabled)");
  EXPECT_EQ(s.ask("drive CAN.AX quickstop").rfind("ok (quick stop sent; Operation enabled at ", 0),
            0u);
  ASSERT_EQ(s.ask("tick 2"), "ok");
  EXPECT_EQ(s.ask("get CAN.AX.STATE"), "CAN.AX.STATE = Switch on disabled");
  // A blocked motor: the move runs into the timeout of 5 s and is halted.
  ASSERT_EQ(s.ask("sim block CAN.AX on"), "ok");
  EXPECT_EQ(s.ask("drive CAN.AX enable"), "ok (in Operation enabled)");
  EXPECT_EQ(s.ask("drive CAN.AX move 0"),
            "error: CAN.AX move to 0.000 deg took too long (Operation enabled); halted");
  EXPECT_EQ(s.ask("sim block CAN.VALVE on"), "error: unknown node property CAN.VALVE");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  const std::string log = stderr_text();
  const std::string set_up = "CAN.AX: drive set up: ";
  ASSERT_NE(log.find(set_up), std::string::npos) << log;
  EXPECT_NE(log.find(set_up, log.find(set_up) + 1), std::string::npos) << log;
  EXPECT_NE(log.find("CAN.AX move to 0.000 deg by "), std::string::npos) << log;
}

// On the real clock: a halt of another client is sent at once, not behind the move it stops,
// and the move's client is told what ended its move.
TEST_F(ServerE2E, HaltStopsAnotherClientsMoveAtOnce) {
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(ServerProcess::Program{}, dir_ + "/stderr.log",
                  {CANBUS_SERVER_PATH, "--workdir", dir_, "--listen", sock});
  s.until("type 'help'");
  SocketClient mover(sock), other(sock);
  ASSERT_EQ(mover.ask("user mover"), "ok (mover@local:uid=" + std::to_string(getuid()) + ")");
  // On the real clock events may come before the answer that turned them on.
  other.send("watch\n");
  std::string watching = other.line();
  while (watching.rfind("event ", 0) == 0) watching = other.line();
  ASSERT_EQ(watching, "ok (watching)");
  ASSERT_EQ(mover.ask("drive CAN.SLIT enable"), "ok (in Operation enabled)");
  // 40 mm at 1 mm/s: the halt comes long before its end.
  ASSERT_TRUE(mover.send("drive CAN.SLIT move 40 1\n"));
  bool ok = true;
  double from = 0;
  for (int moving = 0; ok && moving < 2;) {
    const std::string l = other.line(&ok);
    const std::string v = "event value line 1 node 7 CAN.SLIT.POSITION ";
    if (l.rfind(v, 0) == 0 && std::stod(l.substr(v.size())) > from) {
      from = std::stod(l.substr(v.size()));
      ++moving;
    }
  }
  ASSERT_TRUE(ok) << "the slit did not move";
  other.send("drive CAN.SLIT halt\n");
  std::string halted = other.line();
  while (halted.rfind("event ", 0) == 0) halted = other.line();
  EXPECT_EQ(halted.rfind("ok (halt sent; Operation enabled at ", 0), 0u) << halted;
  const std::string interrupted = mover.line();
  EXPECT_EQ(interrupted.rfind("error: CAN.SLIT interrupted by halt by anonymous@local:uid=", 0), 0u)
      << interrupted;
  EXPECT_LT(std::stod(s.ask("get CAN.SLIT.POSITION").substr(20)), 20.0);
  // The server's end halts a move in progress rather than waiting for it.
  ASSERT_TRUE(mover.send("drive CAN.SLIT move 40 1\n"));
  for (int moving = 0; ok && moving < 2;) {
    const std::string l = other.line(&ok);
    const std::string v = "event value line 1 node 7 CAN.SLIT.POSITION ";
    if (l.rfind(v, 0) == 0 && std::stod(l.substr(v.size())) > from) {
      from = std::stod(l.substr(v.size()));
      ++moving;
    }
  }
  ASSERT_TRUE(ok) << "the slit did not move again";
  s.terminate();
  EXPECT_EQ(s.wait_exit(), 0);
  const std::string log = stderr_text();
  EXPECT_NE(log.find("CAN.SLIT halted: the server ends"), std::string::npos) << log;
  EXPECT_NE(log.find("CAN.SLIT move to 40.000 mm by mover@local:uid=" + std::to_string(getuid()) +
                     ": failed: interrupted by the server's end at "),
            std::string::npos)
      << log;
}

// A set-point with `boot clear` is forgotten when its node boots, and not sent again.
TEST_F(ServerE2E, SetPointWithBootClearIsForgottenAtABoot) {
  {
    ServerProcess s(dir_);  // writes the example's files
    s.until("type 'help'");
    ASSERT_EQ(s.ask("quit"), "bye");
  }
  const std::string conf = dir_ + "/canbus-server.conf";
  std::string t = file_text(conf);
  const std::string rpdo = "min 0 max 40000";
  ASSERT_NE(t.find(rpdo), std::string::npos);
  t.replace(t.find(rpdo), rpdo.size(), rpdo + " boot clear");
  std::ofstream(conf) << t;
  ServerProcess s(dir_, {"--record", dir_ + "/rec.log"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 3000"), "ok (sent after the next SYNC)");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("set CAN.MAGNET.RESET 1"), "ok");
  s.send("tick 3");
  const auto after = s.until("ok");
  EXPECT_THAT(after,
              ::testing::Contains("event cleared line 2 node 10 CAN.MAGNET.SETPOINT (boot clear)"));
  EXPECT_THAT(after, ::testing::Not(::testing::Contains(::testing::StartsWith("event restored"))));
  EXPECT_EQ(s.ask("get CAN.MAGNET.SETPOINT"), "CAN.MAGNET.SETPOINT = none (not set yet)");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  // 3000 == 0xBB8 went out once: at the set, not after the boot.
  const std::string frames = file_text(dir_ + "/rec.log");
  const size_t sent = frames.find(" 20A#B80B0000");
  ASSERT_NE(sent, std::string::npos);
  EXPECT_EQ(frames.find(" 20A#B80B0000", sent + 1), std::string::npos);
}

// A TPDO that stays away is late, and back with its next frame; status shows it.
TEST_F(ServerE2E, LatePdoIsReported) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 6"), "ok");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("sim silent CAN.GAUGE on"), "ok");
  s.send("tick 20");
  EXPECT_THAT(s.until("ok"), ::testing::Contains("event pdo-late line 2 node 20 CAN.GAUGE TPDO1"));
  s.send("status");
  EXPECT_THAT(s.answer(), ::testing::Contains(::testing::MatchesRegex("CAN.GAUGE .* TPDO1 .*")));
  ASSERT_EQ(s.ask("sim silent CAN.GAUGE off"), "ok");
  s.send("tick 6");
  EXPECT_THAT(s.until("ok"), ::testing::Contains("event pdo-back line 2 node 20 CAN.GAUGE TPDO1"));
}

// A node whose configuration fails is not started; its .CONDITION says why.
TEST_F(ServerE2E, FailedConfigurationIsShownAndTheNodeNotStarted) {
  std::ofstream(dir_ + "/pd.conf") << "CAN.X: 1 7 0 0\n"
                                      "CAN.X.TPDO1: event 100 map V 0x2999:0 uint8\n"
                                      "CAN.X.RPDO1: map W 0x2998:0 uint8\n"
                                      "CAN.Y: 1 8 0 0\n";
  ServerProcess s(dir_, {"--config", dir_ + "/pd.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 12"), "ok");
  EXPECT_EQ(s.ask("get CAN.X.CONDITION"),
            "CAN.X.CONDITION = Not configured: TPDO1: 0x1A00:01: SDO abort 0x06020000: Object "
            "does not exist in the object dictionary");
  EXPECT_EQ(s.ask("get CAN.X.ALIVE"), "CAN.X.ALIVE = 127");  // pre-operational
  EXPECT_EQ(s.ask("get CAN.Y.CONDITION"), "CAN.Y.CONDITION = Operational");
  // A set-point of a node not configured is refused with the reason.
  EXPECT_THAT(
      s.ask("set CAN.X.W 1"),
      ::testing::StartsWith("error: CAN.X is Not configured: TPDO1: 0x1A00:01: SDO abort "));
  // The long condition does not shift the columns after it.
  s.send("status");
  const auto table = s.answer();
  ASSERT_GE(table.size(), 3u);
  const size_t monitor = table[0].find("MONITOR");
  for (size_t k = 1; k < 3; ++k) EXPECT_EQ(table[k].find("guarding 1000 3"), monitor) << table[k];
}

// With --sim-adc a plain simulated node is an ADC module: its sine inputs, mapped, move.
TEST_F(ServerE2E, SimulatedAdcInputsMove) {
  std::ofstream(dir_ + "/pd.conf") << "CAN.X: 1 7 0 0\n"
                                      "CAN.X.TPDO1: event 100 map A 0x6401:1 int16, D 0x6401:4 "
                                      "int16\n";
  ServerProcess s(dir_, {"--config", dir_ + "/pd.conf", "--sim-adc"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 12"), "ok");
  EXPECT_EQ(s.ask("get CAN.X.CONDITION"), "CAN.X.CONDITION = Operational");
  std::set<std::string> seen;
  std::vector<int> ms;  // of the values' times: a tick is 100 ms whatever the real time between
  for (int i = 0; i < 3; ++i) {
    const std::string a = s.ask("get CAN.X.A");
    EXPECT_THAT(a, ::testing::MatchesRegex("CAN.X.A = -?[0-9]+ at .* \\(TPDO1\\)"));
    seen.insert(a.substr(0, a.find(" at ")));
    const size_t t = a.find(" UTC") - 12;  // HH:MM:SS.mmm
    ms.push_back(((std::stoi(a.substr(t, 2)) * 60 + std::stoi(a.substr(t + 3, 2))) * 60 +
                  std::stoi(a.substr(t + 6, 2))) *
                     1000 +
                 std::stoi(a.substr(t + 9, 3)));
    ASSERT_EQ(s.ask("tick 1"), "ok");
  }
  EXPECT_GE(seen.size(), 2u);
  EXPECT_EQ(ms[1] - ms[0], 100);
  EXPECT_EQ(ms[2] - ms[1], 100);
}

// Many short connections in a row leave no descriptor behind.
TEST_F(ServerE2E, ShortConnectionsLeakNoDescriptors) {
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0"});
  const std::string tcp = listening(s);
  ASSERT_FALSE(tcp.empty());
  s.until("type 'help'");
  const int before = open_fds(s.pid());
  for (int i = 0; i < 10000; ++i) {
    SocketClient c(tcp);
    ASSERT_EQ(c.ask("quit"), "bye") << "connection " << i;
  }
  // The last session may still be closing: one more request through the server first.
  SocketClient last(tcp);
  EXPECT_EQ(last.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
  EXPECT_LE(open_fds(s.pid()), before + 1);
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

// A signal while the start-up waits for the identities of silent nodes (a replay with no device
// on their lines) ends the server at once: giving the handles back ends the uploads' waits,
// which would otherwise last until the SDO deadline, 2 to 3 s.
TEST_F(ServerE2E, SignalEndsAStartUpWaitingForSilentNodes) {
  std::ofstream(dir_ + "/elsewhere.log") << "(0.000000) can9 123#00 T\n";
  const std::string rec = dir_ + "/rec.log";
  ServerProcess s(ServerProcess::Program{}, dir_ + "/stderr.log",
                  {CANBUS_SERVER_PATH, "--workdir", dir_, "--replay", dir_ + "/elsewhere.log",
                   "--record", rec});
  // The recording is written every 10 ms: the first identity request is on the bus.
  auto requested = [&] {
    std::ifstream f(rec);
    std::stringstream t;
    t << f.rdbuf();
    return t.str().find(" 605#40081000") != std::string::npos;
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!requested() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(requested()) << stderr_text();
  const auto t0 = std::chrono::steady_clock::now();
  s.terminate();
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
}

// A session recorded with the simulated nodes, then run again against its recording instead of
// them: the server sees the same nodes, and the second recording holds the frames of the first.
// With --manual the recordings are stamped in ticks, so that how long the client and the machine
// take between requests changes nothing: the pump's TPDOs (event timer 500 ms) come 5 ticks
// apart, and those that answer no request are replayed on the tick of their time.
// The recording is rotated by size into whole-line files of mode 0640, the oldest beyond
// --record-keep removed; a link planted at its path is refused and nothing written through it.
TEST_F(ServerE2E, RecordingRotatesAndRefusesALink) {
  {
    ServerProcess s(
        dir_, {"--record", dir_ + "/rec.log", "--record-max-bytes", "4096", "--record-keep", "2"});
    s.until("type 'help'");
    EXPECT_EQ(s.ask("tick 600"), "ok");
    EXPECT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/rec.log.3"));
  for (const char* name : {"/rec.log", "/rec.log.1", "/rec.log.2"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir_ + name).c_str(), &st), 0) << name;
    EXPECT_LE(st.st_size, 4096) << name;
    EXPECT_EQ(st.st_mode & 0027, 0u) << name;
    // Whole records only: no line split between two files.
    std::ifstream in(dir_ + name);
    size_t records = 0;
    for (std::string l; std::getline(in, l); ++records) {
      EXPECT_THAT(l, ::testing::MatchesRegex("\\([0-9]+\\.[0-9]{6}\\) +can[0-9]+ [0-9A-F]{3}#"
                                             "([0-9A-F]*|R[0-9]?) [TR]"))
          << name;
    }
    EXPECT_GT(records, 0u) << name;
  }
  std::ofstream(dir_ + "/target") << "target\n";
  ASSERT_EQ(symlink((dir_ + "/target").c_str(), (dir_ + "/link.log").c_str()), 0);
  ServerProcess s(dir_, {"--record", dir_ + "/link.log"});
  EXPECT_NE(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find("link.log is a symbolic link: refused"), std::string::npos)
      << stderr_text();
  EXPECT_EQ(file_text(dir_ + "/target"), "target\n");
}

// The bus trace: a tap on each line reads every frame; the trace names the objects of a node's
// EDS and the process values of its PDOs, and the line's load is counted from the frames'
// lengths on the wire. With --manual the taps read on the tick: what a tick left is all there.
TEST_F(ServerE2E, BusTraceNamesObjectsAndValuesAndCountsTheLoad) {
  ServerProcess s(dir_, {"--http", ":0"});
  const std::string at = metrics_at(s);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("tick 25"), "ok");
  ASSERT_EQ(s.ask("sdo read CAN.PUMP 0x1017 0"), "0 (0x0000)");
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 5000"), "ok (sent after the next SYNC)");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  // One trace line: its service and text in one object of the answer.
  const std::string trace = s.ask("json trace 10000");
  auto has = [&trace](const std::string& service, const std::string& text) {
    for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1)) {
      const size_t begin = trace.rfind("{\"line\":", at);
      if (begin != std::string::npos && trace.find("\"service\":\"" + service + "\"", begin) < at)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(has("SDO", "SDO upload node 5 0x1017:00 Producer heartbeat time = 0x0000")) << trace;
  EXPECT_TRUE(has("NMT", "NMT start node 10")) << trace;
  EXPECT_TRUE(has("heartbeat", "heartbeat node 20 Operational")) << trace;
  EXPECT_TRUE(has("PDO", "TPDO1 node 10 CAN.MAGNET.CURRENT 0 mA, CAN.MAGNET.VOLTAGE 0 V")) << trace;
  EXPECT_TRUE(has("PDO", "node 10 CAN.MAGNET.SETPOINT 5000 mA")) << trace;

  // The frames of line 1 as a candump log, read back by the driver's log reader (the one of
  // --replay): every line a frame of can0, and their bits on the wire are the line's bits.
  const auto log = http_get(at, "/api/trace.log?line=1");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "HTTP/1.0 200 OK\r");
  std::string text;
  for (auto l = std::find(log.begin(), log.end(), "\r"); l != log.end() && ++l != log.end();)
    text += *l + "\n";
  const std::string path = dir_ + "/trace.log";
  std::ofstream(path) << text;
  canlog::Log read;
  ASSERT_TRUE(canlog::read_log_file(path, &read));
  EXPECT_EQ(read.malformed, 0u);
  ASSERT_GT(read.records.size(), 100u);
  uint64_t bits = 0;
  bool request = false;
  for (const auto& r : read.records) {
    EXPECT_EQ(r.iface, "can0");
    bits += static_cast<uint64_t>(canbus::frame_bits(r.frame));
    request = request || (r.frame.id == 0x605 && r.frame.data[0] == 0x40 &&
                          r.frame.data[1] == 0x17 && r.frame.data[2] == 0x10);
  }
  EXPECT_TRUE(request);  // the upload of 0x1017
  const auto metrics = http_get(at, "/metrics");
  EXPECT_EQ(value_of(metrics, "canbus_line_bits_total{line=\"1\"}"), static_cast<long long>(bits));
  // The last complete second's load: the bits of one second of the log at 125 kbit/s.
  double load = -1;
  for (const auto& l : metrics) {
    if (l.rfind("canbus_line_load{line=\"1\"} ", 0) == 0) load = std::stod(l.substr(26));
  }
  ASSERT_GT(load, 0);
  bool window = false;
  for (const auto& w : read.records) {
    uint64_t in = 0;
    for (const auto& r : read.records) {
      if (r.time_ns >= w.time_ns && r.time_ns < w.time_ns + 1000000000)
        in += static_cast<uint64_t>(canbus::frame_bits(r.frame));
    }
    window = window || std::llround(load * 125000) == static_cast<long long>(in);
  }
  EXPECT_TRUE(window) << load;
  // The status tail shows it after the line's record.
  s.send("status");
  const auto status = s.answer();
  char shown[64];
  std::snprintf(shown, sizeof shown, ", baud code 6, load %.1f%%", load * 100);
  EXPECT_THAT(status, ::testing::Contains(::testing::AllOf(::testing::StartsWith("line 1: handle "),
                                                           ::testing::EndsWith(shown))));
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
}

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
  // The identities of all nodes are read at once, so transfers to different nodes interleave
  // differently from run to run: the same frames, in whatever order.
  std::ifstream in(dir_ + "/first.log");
  std::vector<long long> tpdo_at;  // µs after the first record
  long long start = -1;
  for (std::string l; std::getline(in, l);) {
    const long long us = std::stoll(l.substr(1, l.find('.') - 1)) * 1000000 +
                         std::stoll(l.substr(l.find('.') + 1, 6));
    if (start < 0) start = us;
    EXPECT_EQ((us - start) % 100000, 0) << l;
    if (l.find(" 185#") != std::string::npos) tpdo_at.push_back(us - start);
  }
  ASSERT_GE(tpdo_at.size(), 4u);  // from the first tick or the second (the start-up ends on it)
  for (size_t k = 1; k < tpdo_at.size(); ++k) EXPECT_EQ(tpdo_at[k] - tpdo_at[k - 1], 500000);
  auto first = untimed(dir_ + "/first.log");
  auto second = untimed(dir_ + "/second.log");
  // Line 3 is a network: its late node's procedure runs on the network's workers while the
  // session goes on, so where the session ends in it differs from run to run. Lines 1 and 2
  // are compared.
  for (auto* frames : {&first, &second}) {
    frames->erase(
        std::remove_if(frames->begin(), frames->end(),
                       [](const std::string& l) { return l.find(" can2 ") != std::string::npos; }),
        frames->end());
  }
  std::sort(first.begin(), first.end());
  std::sort(second.begin(), second.end());
  EXPECT_GT(first.size(), 50u);
  std::vector<std::string> only_first, only_second;
  std::set_difference(first.begin(), first.end(), second.begin(), second.end(),
                      std::back_inserter(only_first));
  std::set_difference(second.begin(), second.end(), first.begin(), first.end(),
                      std::back_inserter(only_second));
  EXPECT_EQ(second, first) << "only in the recording: " << ::testing::PrintToString(only_first)
                           << "\nonly in the replay: " << ::testing::PrintToString(only_second);
}

}  // namespace

namespace {

// Every request line gets exactly one answer, blank lines included; blocks carry their count,
// and no answer holds a byte outside 0x20..0x7E (escape sequences are echoed as '?').
TEST_F(ServerE2E, OneAnswerForEveryRequestLine) {
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  const std::vector<std::pair<std::string, std::string>> mix{
      {"", "ok"},
      {"   ", "ok"},
      {"\t \r", "ok"},
      {"get CAN.PUMP", "CAN.PUMP = 1 5 0 0"},
      {"status", "NODE"},
      {"list", "CAN.PUMP"},
      {"help", "help"},
      {"help get", "get NAME"},
      {"help nothing", "error: unknown request 'nothing'"},
      {"frobnicate", "error: unknown request 'frobnicate' (help lists the requests)"},
      {"get \x1b[31mX", "error: unknown property ?[31mX"},
      {"set CAN.VALVE 1 6 0 0", "ok"},
      {"identity CAN.VALVE", "VLV1 / HW 2 / SW 1.0"},
      {"sdo read CAN.PUMP 0x1009 0", "\"HW 1.2\""},
      {"sdo read CAN.PUMP 0x1009 \x07", "error: bad subindex ?"},
      {"tick 1", "ok"},
      {"event x", "error: unknown request 'event' (help lists the requests)"},
      {"get CAN.PUMP extra", "error: usage: get NAME"},
      {"help status", "Columns of the status table:"},
      {"watch off", "ok (not watching)"},
      {" get  CAN.MAGNET ", "CAN.MAGNET = 2 10 0 0"},
  };
  std::string all;
  for (int k = 0; k < 5; ++k) {
    for (const auto& m : mix) all += m.first + "\n";
  }
  SocketClient c(tcp);
  ASSERT_TRUE(c.send(all));
  for (int k = 0; k < 5; ++k) {
    for (const auto& [request, first] : mix) {
      bool ok = false;
      const auto answer = c.answer(&ok);
      ASSERT_TRUE(ok && !answer.empty()) << request;
      EXPECT_EQ(answer[0].rfind(first, 0), 0u) << request << " -> " << answer[0];
      for (const auto& l : answer) {
        EXPECT_EQ(canbus_server::printable(l), l) << request;
      }
      if (request == "status") {
        // The rows and tail, and the gauge's pressure limits while it pumps down.
        const auto limits = std::count_if(answer.begin(), answer.end(), [](const std::string& l) {
          return l.rfind("alarm CAN.GAUGE.", 0) == 0 || l.rfind("warn CAN.GAUGE.", 0) == 0;
        });
        EXPECT_EQ(answer.size() - static_cast<size_t>(limits), 14u);
      }
    }
  }
  EXPECT_EQ(c.ask("quit"), "bye");
}

// One number syntax in every request: decimal or 0x, a leading zero is never octal.
TEST_F(ServerE2E, OctalLookingValuesAreDecimalInEveryRequest) {
  ServerProcess s(dir_, {"--record", dir_ + "/rec.log"});
  s.until("type 'help'");
  const std::pair<const char*, const char*> exchanges[] = {
      {"set CAN.VALVE 01 06 0 010", "ok"},
      {"get CAN.VALVE", "CAN.VALVE = 1 6 0 10"},
      {"set CAN.VALVE.BAUDRATE 010", "ok (applies when the line is next opened"},
      {"get CAN.VALVE.BAUDRATE", "CAN.VALVE.BAUDRATE = 10"},
      {"set CAN.PUMP.DEBUG_ID 01 010 0 0", "ok"},
      {"get CAN.PUMP.DEBUG_ID", "CAN.PUMP.DEBUG_ID = 1 10 0 0"},
      {"sdo write CAN.PUMP 0x2100 00 0100", "ok"},
      {"sdo read CAN.PUMP 0x2100 00", "100 (0x"},
      {"sdo read CAN.PUMP 0x1009 000", "\"HW 1.2\""},
      {"sdo read CAN.PUMP 04105 0", "\"HW 1.2\""},  // 4105 == 0x1009
      {"tick 010", "ok"},
      {"sim line 010 down", "ok"},
      {"sim line 010 up", "ok"},
      {"record off", "ok (not recording)"},
      {"record on 010", "ok (recording lines 10)"},
      {"tick 08", "ok"},
      {"sdo read CAN.PUMP 0x 0", "error: bad index 0x"},
  };
  for (const auto& [request, answer] : exchanges) {
    EXPECT_EQ(s.ask(request).rfind(answer, 0), 0u) << request;
  }
}

// Requests that need an option say so instead of doing something else.
TEST_F(ServerE2E, RequestsThatNeedAnOption) {
  ServerProcess s(ServerProcess::Program{}, dir_ + "/stderr.log",
                  {CANBUS_SERVER_PATH, "--workdir", dir_});
  s.until("type 'help'");
  EXPECT_EQ(s.ask("tick 100000"), "error: tick needs --manual");
  EXPECT_EQ(s.ask("record"), "error: no recording file (start with --record FILE)");
  EXPECT_EQ(s.ask("record on 2"), "error: no recording file (start with --record FILE)");
}

// Bus work of clients that have gone is dropped, identity reads of one node are joined, and the
// clients take turns: a writer's set waits for one transfer to a silent node at most.
TEST_F(ServerE2E, QueuedWorkOfGoneClientsDoesNotHoldUpAWriter) {
  ServerProcess s(dir_,
                  {"--listen", "127.0.0.1:0", "--max-per-address", "30", "--max-clients", "31"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  const std::string timeout = "error: identity of CAN.VALVE not read (object 0x1008): SDO time-out";
  auto set_ms = [&] {
    SocketClient writer(tcp);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.ask("set CAN.PUMP.DEBUG_ID 1 5 0 0"), "ok");
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
  };
  {
    // Ten that stay: one read for all of them, every one answered.
    std::vector<std::unique_ptr<SocketClient>> waiting;
    for (int i = 0; i < 10; ++i) {
      waiting.push_back(std::make_unique<SocketClient>(tcp));
      ASSERT_TRUE(waiting.back()->send("identity CAN.VALVE\n"));
    }
    // One SDO deadline is 2 to 3 s: held up, the writer would wait for ten of them (or twenty
    // below). Three leave room for a slow machine (sanitizers) and still tell the two apart.
    EXPECT_LT(set_ms(), 9000);
    for (auto& c : waiting) EXPECT_EQ(c->line(), timeout);
  }
  // Ten that go at once, with reads that are not joined.
  for (int i = 0; i < 10; ++i) {
    SocketClient c(tcp);
    ASSERT_TRUE(c.send("sdo read CAN.VALVE 0x1008 0\nidentity CAN.VALVE\n"));
  }
  EXPECT_LT(set_ms(), 9000);
  EXPECT_EQ(s.ask("get CAN.VALVE.MANU"), "CAN.VALVE.MANU = VLV1");  // kept as it was
  // A client may have 8 requests waiting beyond the one on the bus; more are refused at once.
  ASSERT_EQ(s.ask("sim silent CAN.VALVE off"), "ok");
  ASSERT_EQ(s.ask("sim hold CAN.VALVE on"), "ok");
  SocketClient many(tcp);
  // Twelve objects: reads of one object would join and take one place.
  const char* objects[] = {"0x1009 0", "0x1000 0", "0x1001 0", "0x1008 0", "0x100A 0", "0x1018 0",
                           "0x1018 1", "0x1018 2", "0x1018 3", "0x1018 4", "0x1017 0", "0x100C 0"};
  std::string twelve;
  for (const char* o : objects) twelve += std::string("sdo read CAN.VALVE ") + o + "\n";
  ASSERT_TRUE(many.send(twelve));
  // Answers go out in the order of the requests. The first is held until it times out: by
  // then every line has been taken, however late the server's threads ran. A refusal may come
  // before an accepted answer: the worker may take the first request only after the queue
  // filled, and then has room for one more.
  EXPECT_EQ(many.line(), "error: SDO time-out");
  EXPECT_NE(stderr_text().find("bus requests queued: more are refused"), std::string::npos);
  ASSERT_EQ(s.ask("sim hold CAN.VALVE off"), "ok");
  int busy = 0;
  for (int i = 1; i < 12; ++i) {
    const std::string a = many.line();
    if (a == "error: busy, 8 requests queued") {
      ++busy;
    } else {
      EXPECT_EQ(a.find("error: busy"), std::string::npos) << "answer " << i;
      EXPECT_NE(a, "error: SDO time-out") << "answer " << i;
    }
  }
  EXPECT_GE(busy, 3);
  EXPECT_LE(busy, 4);  // 4 when the first had not started when the others came
}

// Read-only clients (TCP; only the Unix socket's may write) on a silent node: a writer's set
// waits for the one transfer on the bus at most, not for the readers' turns. Reads of one object
// join into one transfer; a lost node is not asked, unless with --wait.
TEST_F(ServerE2E, WritersFirstAndLostNodesNotAsked) {
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0", "--listen", sock, "--writers", "local",
                         "--record", dir_ + "/rec.log"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  std::vector<std::unique_ptr<SocketClient>> readers;
  for (int i = 0; i < 3; ++i) {
    readers.push_back(std::make_unique<SocketClient>(tcp));
    std::string lines;  // objects of their own: not joined
    for (int k = 0; k < 4; ++k)
      lines += "sdo read CAN.VALVE 0x20" + std::to_string(i * 4 + k) + " 0\n";
    ASSERT_TRUE(readers.back()->send(lines));
  }
  // Five more ask for one object: they join, one transfer.
  for (int i = 0; i < 5; ++i) {
    readers.push_back(std::make_unique<SocketClient>(tcp));
    ASSERT_TRUE(readers.back()->send("sdo read CAN.VALVE 0x1008 0\n"));
  }
  SocketClient writer(sock);
  EXPECT_EQ(writer.ask("set CAN.PUMP.DEBUG_ID 1 5 0 0"), "ok");
  // Answered while at most one of the twelve reads had its answer (its time-out).
  int answered = 0;
  for (size_t i = 0; i < 3; ++i) {
    pollfd p{readers[i]->fd(), POLLIN, 0};
    answered += poll(&p, 1, 0) > 0 ? 1 : 0;
  }
  EXPECT_LE(answered, 1);
  for (size_t i = 3; i < readers.size(); ++i) EXPECT_EQ(readers[i]->line(), "error: SDO time-out");
  readers.resize(3);  // their reads are dropped
  readers.clear();
  // Lost: not asked, at once; --wait asks (the node answers again, not yet seen back).
  ASSERT_EQ(s.ask("tick 50"), "ok");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE off"), "ok");
  SocketClient reader(tcp);
  const std::string lost = "error: CAN\\.VALVE is lost since ..:..:..: not asked";
  EXPECT_THAT(reader.ask("sdo read CAN.VALVE 0x1008 0"), ::testing::MatchesRegex(lost));
  EXPECT_THAT(reader.ask("identity CAN.VALVE"), ::testing::MatchesRegex(lost));
  EXPECT_EQ(reader.ask("sdo read --wait CAN.VALVE 0x1008 0"), "\"VLV1\"");
  EXPECT_EQ(reader.ask("identity --wait CAN.VALVE"), "VLV1 / HW 2 / SW 1.0");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  // 0x1008 read at the start, once for the five joined, then by sdo read --wait and identity
  // --wait.
  const std::string frames = file_text(dir_ + "/rec.log");
  size_t asked = 0;
  for (size_t at = frames.find("606#40081000"); at != std::string::npos;
       at = frames.find("606#40081000", at + 1))
    ++asked;
  EXPECT_EQ(asked, 4u) << frames;
}

// Read-only clients' bus requests over their rates are refused at once; an RPDO set faster than
// its interval goes out once per interval with the latest value; its log lines are held to one a
// second per client and value, the last value written kept.
TEST_F(ServerE2E, TheBusIsProtectedFromFloods) {
  {
    ServerProcess s(dir_);  // writes the example's files
    s.until("type 'help'");
    ASSERT_EQ(s.ask("quit"), "bye");
  }
  const std::string conf = dir_ + "/canbus-server.conf";
  std::string text = file_text(conf);
  const std::string sync = "CAN.MAGNET.RPDO1:\tsync map";
  ASSERT_NE(text.find(sync), std::string::npos);
  text.replace(text.find(sync), sync.size(), "CAN.MAGNET.RPDO1:\tinterval 50 map");
  text.replace(text.find(" max 40000"), 10, "");
  std::ofstream(conf) << text;
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(dir_, {"--config", conf, "--listen", "127.0.0.1:0", "--listen", sock, "--writers",
                         "local", "--read-rate", "3", "--read-rate-total", "5", "--line-sdo-rate",
                         "7", "--metrics", "127.0.0.1:0", "--record", dir_ + "/rec.log"});
  const std::string tcp = listening(s);
  const std::string metrics = metrics_at(s);
  s.until("type 'help'");
  SocketClient a(tcp), b(tcp), w(sock);
  const std::string read = "sdo read CAN.PUMP 0x1018 ";
  // On the manual clock no time passes: every rate is spent once.
  const std::pair<SocketClient*, const char*> asked[] = {
      {&a, nullptr},
      {&a, nullptr},
      {&a, nullptr},
      {&a, "error: busy: read-only bus requests over 3/s"},
      {&b, nullptr},
      {&b, nullptr},
      {&b, "error: busy: read-only bus requests of all clients over 5/s"},
      {&w, nullptr},
      {&w, nullptr},
      {&w, "error: busy: SDO requests on line 1 over 7/s"},
  };
  int k = 0;
  for (const auto& [c, refused] : asked) {
    const std::string answer = c->ask(read + std::to_string(1 + k++ % 4));
    if (refused != nullptr) {
      EXPECT_EQ(answer, refused) << k;
    } else {
      EXPECT_EQ(answer.rfind("error", 0), std::string::npos) << k << ": " << answer;
    }
  }
  // Twenty set-points within the RPDO's 50 ms: the first goes out, the last when it ends.
  ASSERT_EQ(s.ask("tick 2"), "ok");
  EXPECT_EQ(s.ask("set CAN.MAGNET.SETPOINT 9007199254740993"),
            "error: CAN.MAGNET.SETPOINT: 9007199254740993: not held exactly (more than 53 bits)");
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 1000"), "ok");
  for (int v = 1001; v < 1020; ++v) {
    EXPECT_EQ(s.ask("set CAN.MAGNET.SETPOINT " + std::to_string(v)),
              "ok (coalesced: sent within 50 ms)");
  }
  EXPECT_THAT(s.ask("get CAN.MAGNET.SETPOINT"),
              ::testing::StartsWith("CAN.MAGNET.SETPOINT = 1019"));
  ASSERT_EQ(s.ask("tick 10"), "ok");
  ASSERT_EQ(s.ask("set CAN.MAGNET.SETPOINT 2000"), "ok");
  const auto scrape = http_get(metrics, "/metrics");
  EXPECT_EQ(value_of(scrape, "canbus_rpdo_coalesced_total"), 19);
  EXPECT_EQ(value_of(scrape, "canbus_client_bus_refused_total{reason=\"client\"}"), 1);
  EXPECT_EQ(value_of(scrape, "canbus_client_bus_refused_total{reason=\"line_sdo\"}"), 1);
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  const std::string frames = file_text(dir_ + "/rec.log");
  size_t rpdos = 0;
  for (size_t at = frames.find(" 20A#"); at != std::string::npos; at = frames.find(" 20A#", at + 1))
    ++rpdos;
  EXPECT_EQ(rpdos, 3u) << frames;
  for (const char* sent : {" 20A#E8030000", " 20A#FB030000", " 20A#D0070000"})
    EXPECT_NE(frames.find(sent), std::string::npos) << sent;
  const std::string log = stderr_text();
  EXPECT_NE(log.find("CAN.MAGNET.SETPOINT set to 1000 by "), std::string::npos) << log;
  EXPECT_EQ(log.find("CAN.MAGNET.SETPOINT set to 1001 by "), std::string::npos) << log;
  EXPECT_NE(log.find("(19 more set-points, last 1019)"), std::string::npos) << log;
  // The one line a second: the line of 2000 was held, and written at the end.
  EXPECT_NE(log.find("(1 more set-point, last 2000)"), std::string::npos) << log;
}

// Idle connections are closed after the idle time-out; a watcher stays; one address cannot take
// every place.
TEST_F(ServerE2E, IdleConnectionsTimeOutAndWritersGetIn) {
  const std::string sock = dir_ + "/server.sock";
  ServerProcess s(dir_, {"--listen", "127.0.0.1:0", "--listen", sock, "--idle-timeout", "0.5"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  SocketClient watcher(sock);
  ASSERT_EQ(watcher.ask("watch"), "ok (watching)");
  std::vector<std::unique_ptr<SocketClient>> idle;
  int refused = 0;
  for (int i = 0; i < 32; ++i) {
    idle.push_back(std::make_unique<SocketClient>(tcp));
    if (i % 2 == 0) idle.back()->send("get CAN.PU");  // a request without its line feed
  }
  // The per-address limit (half of --max-clients) leaves room for other addresses.
  SocketClient local(sock);
  EXPECT_EQ(local.ask("set CAN.PUMP.DEBUG_ID 1 5 0 0"), "ok");
  for (auto& c : idle) {
    bool ok = true;
    const std::string l = c->line(&ok);
    if (ok) {
      EXPECT_EQ(l, "error: too many clients from 127.0.0.0/24");
      ++refused;
    }
    c->line(&ok);
    EXPECT_FALSE(ok);  // closed
  }
  EXPECT_EQ(refused, 16);
  SocketClient writer(tcp);
  EXPECT_EQ(writer.ask("set CAN.PUMP.DEBUG_ID 0 0 0 0"), "ok");
  EXPECT_EQ(watcher.ask("get CAN.PUMP.DEBUG_ID"), "CAN.PUMP.DEBUG_ID = 0 0 0 0");
  EXPECT_NE(stderr_text().find("closed: no request for 0.5"), std::string::npos);
}

// Read-only clients of two addresses of one /24 cannot lock the others out: the network's
// limit counts them together, another /24 has its own, and a Unix-socket client and a writer
// take the places of the read-only clients idle longest. While places are short, watching does
// not keep a client that sends nothing.
TEST_F(ServerE2E, PlacesCannotAllBeTaken) {
  const std::string sock = dir_ + "/server.sock";
  {
    ServerProcess s(dir_, {"--listen", "127.0.0.1:0", "--listen", sock, "--writers", "127.0.0.1",
                           "--max-clients", "8", "--max-per-address", "4"});
    const std::string tcp = listening(s);
    s.until("type 'help'");
    std::vector<std::unique_ptr<SocketClient>> near, far;
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.3"}) {
      near.push_back(std::make_unique<SocketClient>(tcp, from));
      ASSERT_EQ(near.back()->ask("watch"), "ok (watching)");
    }
    EXPECT_EQ(SocketClient(tcp, "127.0.0.4").line(), "error: too many clients from 127.0.0.0/24");
    for (int i = 0; i < 4; ++i) {
      far.push_back(std::make_unique<SocketClient>(tcp, "127.0.1.2"));
      ASSERT_EQ(far.back()->ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
    }
    EXPECT_EQ(SocketClient(tcp, "127.0.2.2").line(), "error: too many clients");
    SocketClient local(sock);
    EXPECT_EQ(local.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
    const std::string uid = std::to_string(getuid());
    EXPECT_EQ(near[0]->line(), "error: your place went to local client anonymous@local:uid=" + uid);
    SocketClient writer(tcp);
    EXPECT_EQ(writer.ask("set CAN.PUMP.DEBUG_ID 1 5 0 0"), "ok");
    EXPECT_EQ(near[1]->line(), "error: your place went to writer anonymous@127.0.0.1");
    EXPECT_EQ(near[2]->ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");  // the others stay
    const std::string log = stderr_text();
    EXPECT_NE(log.find("client anonymous@127.0.0.2 closed: its place went to local client "
                       "anonymous@local:uid=" +
                       uid),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("client anonymous@127.0.0.3 closed: its place went to writer "
                       "anonymous@127.0.0.1"),
              std::string::npos);
  }
  // Each address alone (32,128); one place each. The watcher's address refused a place: its
  // watching keeps it no longer; a watcher of an address nobody else asks from stays.
  ServerProcess t(
      dir_, {"--listen", "127.0.0.1:0", "--writers", "127.0.0.1", "--max-clients", "3",
             "--max-per-address", "1", "--per-address-prefix", "32,128", "--idle-timeout", "0.5"});
  const std::string tcp2 = listening(t);
  t.until("type 'help'");
  SocketClient pressed(tcp2, "127.0.0.2"), calm(tcp2, "127.0.0.3");
  ASSERT_EQ(pressed.ask("watch"), "ok (watching)");
  ASSERT_EQ(calm.ask("watch"), "ok (watching)");
  EXPECT_EQ(SocketClient(tcp2, "127.0.0.2").line(), "error: too many clients from 127.0.0.2");
  bool open = true;
  pressed.line(&open);
  EXPECT_FALSE(open);  // closed after the idle time-out
  EXPECT_EQ(calm.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
  ServerProcess bad(dir_, {"--per-address-prefix", "33"});
  EXPECT_EQ(bad.wait_exit(), 2);
}

// Simulated ADC modules on line 1 (ids 1..nodes), each with one TPDO of four values.
static void write_adc_config(const std::string& path, int nodes, const std::string& more = "") {
  std::ofstream conf(path);
  for (int n = 1; n <= nodes; ++n) {
    conf << "CAN.A" << n << ": 1 " << n << " 0 0\nCAN.A" << n
         << ".TPDO1: event 100 map A 0x6401:1 int16, B 0x6401:2 int16, C 0x6401:3 int16, D "
            "0x6401:4 int16\n";
  }
  conf << more;
}

static long rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(f, l);) {
    if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
  }
  return -1;
}

// --status-every: the operator's table, at the start and at the end, is status's table and a
// line of process values per node (the end's made while the server stops).
TEST_F(ServerE2E, OperatorTablesHaveTheProcessValues) {
  write_adc_config(dir_ + "/adc.conf", 2);
  ServerProcess s(dir_, {"--config", dir_ + "/adc.conf", "--sim-adc", "--value-interval", "0",
                         "--status-every", "3600"});
  s.until("type 'help'");
  s.send("tick 5");
  const auto first = s.until("ok");
  ASSERT_EQ(first.size(), 7u);  // heading, 2 nodes, 1 line, 2 nodes' values; the answer
  EXPECT_EQ(first[4], "CAN.A1: A -, B -, C -, D -");
  s.send("status");
  const auto table = s.answer();
  s.send("quit");
  s.until("bye");
  std::vector<std::string> last;
  bool ok = true;
  for (std::string l = s.line(&ok); ok; l = s.line(&ok)) last.push_back(l);
  EXPECT_EQ(s.wait_exit(), 0);
  ASSERT_EQ(last.size(), table.size() + 2);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), last.begin()));
  EXPECT_THAT(last.back(), ::testing::StartsWith("CAN.A2: A "));
  EXPECT_EQ(last.back().find(" -,"), std::string::npos);  // the values were decoded
}

// Events go out from the network side: a watcher that does not read is dropped once its
// events wait unread, without costing memory, and the monitor keeps up (no frame lost); a
// watcher that reads gets them all, its answers in between.
TEST_F(ServerE2E, SlowWatcherIsDroppedAndNoFrameLost) {
  write_adc_config(dir_ + "/adc.conf", 30);
  const std::string sock = dir_ + "/s.sock";
  ServerProcess s(dir_, {"--config", dir_ + "/adc.conf", "--sim-adc", "--value-interval", "0",
                         "--listen", sock});
  s.until("type 'help'");
  SocketClient slow(sock), quick(sock);
  int small = 4096;
  setsockopt(slow.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_THAT(slow.ask("user slowpoke"), ::testing::StartsWith("ok (slowpoke@"));
  ASSERT_EQ(slow.ask("watch"), "ok (watching)");
  ASSERT_EQ(quick.ask("watch"), "ok (watching)");
  ASSERT_EQ(s.ask("tick 2"), "ok");
  const long rss0 = rss_kib(s.pid());
  size_t events = 0, bytes = 0;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(s.ask("tick 20"), "ok");
    // The events of the ticks were queued before the request: they come before its answer.
    quick.send("get CAN.A1.CONDITION\n");
    for (std::string l = quick.line(); l != "CAN.A1.CONDITION = Operational"; l = quick.line()) {
      ASSERT_EQ(l.rfind("event ", 0), 0u) << l;
      ++events;
      bytes += l.size() + 1;
    }
  }
  EXPECT_GT(bytes, 1024u * 1024);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers keep freed memory aside (quarantine, shadow): the bound is the plain build's.
  EXPECT_LT(rss_kib(s.pid()) - rss0, 16 * 1024);
#else
  (void)rss0;
#endif
  size_t got = 0;
  char b[65536];
  for (ssize_t k; (k = read(slow.fd(), b, sizeof b)) > 0;) got += static_cast<size_t>(k);
  EXPECT_LT(got, bytes / 2);  // dropped: the end of the connection came long before the events
  EXPECT_NE(stderr_text().find("client slowpoke@local:uid=" + std::to_string(getuid()) +
                               " dropped: it does not read its answers"),
            std::string::npos);
  // No frame was lost to the driver: every node's LOST column reads 0.
  s.send("status");
  const auto table = s.answer();
  ASSERT_GT(table.size(), 30u);
  const size_t lost = table[0].find(" LOST ") + 1;
  for (size_t i = 1; i <= 30; ++i) EXPECT_EQ(table[i].substr(lost, 5), "0    ") << table[i];
}

// od of a dictionary of 20,000 objects goes out as the client reads it, made without the
// state lock: another client's status is answered while it waits unread, the events of the
// meantime follow the block (never inside it), and the answer after it comes last.
TEST_F(ServerE2E, LargeObjectListIsStreamed) {
  std::ofstream eds(dir_ + "/big.eds");
  eds << "[DeviceInfo]\nVendorName=Test\nProductName=Big\n\n[ManufacturerObjects]\n"
         "SupportedObjects=20000\n";
  for (int i = 0; i < 20000; ++i)
    eds << i + 1 << "=0x" << std::hex << 0x2000 + i << std::dec << "\n";
  for (int i = 0; i < 20000; ++i) {
    eds << "\n[" << std::hex << 0x2000 + i << std::dec << "]\nParameterName=Value " << i
        << "\nObjectType=0x7\nDataType=0x0007\nAccessType=rw\nDefaultValue=0\n";
  }
  eds.close();
  write_adc_config(dir_ + "/big.conf", 1, "CAN.BIG: 1 9 0 0\nCAN.BIG.EDS: big.eds\n");
  ServerProcess s(dir_, {"--config", dir_ + "/big.conf", "--sim-adc", "--value-interval", "0",
                         "--listen", "127.0.0.1:0"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  SocketClient reader(tcp), other(tcp);
  ASSERT_EQ(reader.ask("watch"), "ok (watching)");
  ASSERT_TRUE(reader.send("od CAN.BIG\nget CAN.A1.CONDITION\nod CAN.BIG \"value 1999\"\n"));
  other.send("status\n");
  EXPECT_EQ(other.answer().size(), 4u);  // heading, 2 nodes, 1 line
  ASSERT_EQ(s.ask("tick 5"), "ok");
  // Events may come before the request is read and between answers, never inside a block.
  auto answer_line = [&reader] {
    std::string l = reader.line();
    while (l.rfind("event ", 0) == 0) l = reader.line();
    return l;
  };
  ASSERT_EQ(answer_line(), "ok 20000 lines");
  std::vector<std::string> list;
  for (int i = 0; i < 20000; ++i) list.push_back(reader.line());
  EXPECT_EQ(std::count_if(list.begin(), list.end(),
                          [](const std::string& x) { return x.rfind("0x", 0) != 0; }),
            0);
  EXPECT_EQ(list.front(), "0x2000 sub 0   UNSIGNED32      rw    Value 0");
  EXPECT_EQ(list.back(), "0x6E1F sub 0   UNSIGNED32      rw    Value 19999");
  EXPECT_THAT(answer_line(), ::testing::StartsWith("CAN.A1.CONDITION = "));
  EXPECT_EQ(answer_line(), "ok 11 lines");  // Value 1999, 19990..19999
  for (int i = 0; i < 11; ++i) EXPECT_EQ(reader.line().rfind("0x", 0), 0u);
}

// A Unix socket is made with its mode, refused while a server answers on it, replaced when a
// server left it behind, and removed at the end only by the server that made it. Its clients
// are named with their uid, and --writers can name users and groups.
TEST_F(ServerE2E, UnixSocketsAreGuarded) {
  const std::string sock = dir_ + "/s.sock";
  {
    ServerProcess first(dir_, {"--listen", sock});
    first.until("type 'help'");
    struct stat st {};
    ASSERT_EQ(lstat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    ServerProcess second(ServerProcess::Program{}, dir_ + "/second.log",
                         {CANBUS_SERVER_PATH, "--manual", "--workdir", dir_, "--listen", sock});
    EXPECT_EQ(second.wait_exit(), 2);
    SocketClient c(sock);
    EXPECT_EQ(c.ask("user alice"), "ok (alice@local:uid=" + std::to_string(getuid()) + ")");
    EXPECT_EQ(c.ask("get CAN.PUMP"), "CAN.PUMP = 1 5 0 0");
    EXPECT_EQ(first.ask("quit"), "bye");
    EXPECT_EQ(first.wait_exit(), 0);
    EXPECT_NE(access(sock.c_str(), F_OK), 0);  // removed
  }
  std::ifstream log(dir_ + "/second.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("--listen " + sock + ": a server answers there already"),
            std::string::npos);
  // A socket nobody answers on.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);
  const std::string me = "uid:" + std::to_string(getuid());
  const struct {
    std::vector<std::string> writers;
    const char* answer;
  } cases[] = {
      {{"--writers", me}, "ok"},
      {{"--writers", "uid:12345"}, "error: read-only client"},
      {{"--writers", "group:" + std::string(getgrgid(getgid())->gr_name)}, "ok"},
      {{"--writers", "127.0.0.1"}, "error: read-only client"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--listen", sock, "--socket-mode", "0600"};
    args.insert(args.end(), c.writers.begin(), c.writers.end());
    ServerProcess s(dir_, args);
    s.until("type 'help'");
    struct stat st {};
    ASSERT_EQ(lstat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    SocketClient client(sock);
    EXPECT_EQ(client.ask("set CAN.PUMP.DEBUG_ID 0 0 0 0"), c.answer) << c.writers[1];
  }
  ServerProcess bad(dir_, {"--listen", sock, "--writers", "group:no-such-group-here"});
  EXPECT_EQ(bad.wait_exit(), 2);
}

// list with 2,000 nodes: about 1 MB in one answer, whole, with its count (200 nodes under
// ThreadSanitizer, whose start-up of 2,000 takes minutes). The node table is read a slice at a
// time and the answer streamed: the same text as the one made whole for standard input, the
// columns as wide as the longest name (that of the last node), other clients served meanwhile.
TEST_F(ServerE2E, LargeAnswersAreSentWhole) {
#if defined(__SANITIZE_THREAD__)
  const int per_line = 10;
#else
  const int per_line = 100;
#endif
  std::ofstream conf(dir_ + "/big.conf");
  for (int l = 1; l <= 20; ++l) {
    for (int n = 1; n <= per_line; ++n)
      conf << "CAN.LONG_NAME_OF_NODE_" << l << "_" << n << ": " << l << " " << n << " 0 0\n";
  }
  conf << "CAN.THE_LAST_NODE_HAS_THE_LONGEST_NAME: 20 " << per_line + 1 << " 0 0\n";
  conf.close();
  ServerProcess s(dir_, {"--config", dir_ + "/big.conf", "--listen", "127.0.0.1:0"});
  const std::string tcp = listening(s);
  s.until("type 'help'");
  SocketClient c(tcp), other(tcp);
  for (const char* request : {"list", "status", "list"}) {
    ASSERT_TRUE(c.send(std::string(request) + "\n"));
  }
  // c reads nothing yet: its answers wait, another client's do not.
  EXPECT_EQ(other.ask("get CAN.LONG_NAME_OF_NODE_1_1"), "CAN.LONG_NAME_OF_NODE_1_1 = 1 1 0 0");
  bool ok = false;
  auto list = c.answer(&ok);
  ASSERT_TRUE(ok);
  EXPECT_GT(list.size(), 200u * per_line);
  EXPECT_EQ(list.front().rfind("CAN.LONG_NAME_OF_NODE_1_1", 0), 0u);
  const auto table = c.answer(&ok);
  ASSERT_EQ(table.size(), 1u + 20u * per_line + 1u + 20u);  // heading, nodes, lines
  const size_t line_column = table[0].find("LINE");
  ASSERT_EQ(line_column, std::string("CAN.THE_LAST_NODE_HAS_THE_LONGEST_NAME  ").size());
  for (size_t i = 1; i <= 20u * per_line + 1u; ++i) {
    ASSERT_EQ(table[i].substr(line_column - 2, 3).find_first_not_of(' '), 2u) << table[i];
  }
  EXPECT_EQ(c.answer(&ok), list);
  s.send("status");
  EXPECT_EQ(s.answer(), table);
  s.send("list");
  EXPECT_EQ(s.answer(), list);
  const std::string last = "CAN.LONG_NAME_OF_NODE_20_" + std::to_string(per_line);
  EXPECT_EQ(c.ask("get " + last), last + " = 20 " + std::to_string(per_line) + " 0 0");
}

}  // namespace

// Networks: ticks until `done` sees a line (at most `max` ticks), every line kept in `seen`.
template <typename Done>
bool tick_until(ServerProcess& s, std::vector<std::string>& seen, int max, Done done) {
  for (int k = 0; k < max; ++k) {
    s.send("tick 1");
    for (const auto& l : s.until("ok")) {
      seen.push_back(l);
      if (done(l)) return true;
    }
  }
  return false;
}
std::string row_of(const std::vector<std::string>& table, const std::string& node) {
  for (const auto& r : table) {
    if (r.rfind(node + " ", 0) == 0) return r;
  }
  return {};
}

// The example's line 3 starts as a network: the optional ion pump controller is of another
// product (M, not started), the mandatory HV supply boots 6 s late, and only then is the
// network started: the BOOT column, the network's line and the events say so.
TEST_F(ServerE2E, ExampleNetworkStartsOnceTheLateMandatoryNodeIsThere) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  std::vector<std::string> seen;
  ASSERT_TRUE(tick_until(s, seen, 200, [](const std::string& l) {
    return l == "event network line 3 started";
  })) << ::testing::PrintToString(seen);
  // Not before the HV supply's boot-up (6 s after the start).
  EXPECT_THAT(seen, ::testing::Contains("event state line 3 node 32 CAN.HV Boot-up"));
  EXPECT_THAT(seen,
              ::testing::Contains(::testing::StartsWith(
                  "event boot-status line 3 node 31 CAN.IONPUMP M the product code (0x1018:2) "
                  "differs from the expected (product code 0x00000001, expected "
                  "0x00000002)")));
  ASSERT_EQ(s.ask("watch off"), "ok (not watching)");
  ASSERT_EQ(s.ask("tick 15"), "ok");
  s.send("status");
  const auto table = s.answer();
  const size_t boot = table[0].find("BOOT");
  ASSERT_NE(boot, std::string::npos);
  EXPECT_EQ(row_of(table, "CAN.HV").substr(boot, 8), "started ");
  EXPECT_EQ(row_of(table, "CAN.CHILLER").substr(boot, 8), "started ");
  EXPECT_EQ(row_of(table, "CAN.IONPUMP").substr(boot, 58),
            "M: the product code (0x1018:2) differs from the expected  ");
  EXPECT_EQ(row_of(table, "CAN.PUMP").substr(boot, 2), "- ");
  EXPECT_THAT(table, ::testing::Contains("network line 3: started, 3 nodes (2 mandatory)"));
  EXPECT_THAT(s.ask("get CAN.IONPUMP.CONDITION"),
              ::testing::StartsWith("CAN.IONPUMP.CONDITION = Not started: M: the product code"));
  EXPECT_EQ(s.ask("get CAN.HV.CONDITION"), "CAN.HV.CONDITION = Operational");
  // Its identity is read once the network started it (the server's own bus work, before the
  // next tick).
  ASSERT_EQ(s.ask("tick 1"), "ok");
  EXPECT_EQ(s.ask("get CAN.HV.MANU"), "CAN.HV.MANU = HV supply HVS-3");
}

// A mandatory node that does not answer blocks its network (the others configured, not
// started); `boot LINE` starts up again; `download` reads files inside the configuration's
// folder only.
TEST_F(ServerE2E, MissingMandatoryNodeBlocksItsNetworkAndDownloadsStayInTheFolder) {
  std::ofstream(dir_ + "/net.conf") << "LINE.4.NETWORK: boottime 3000 retry 200\n"
                                       "CAN.A: 4 40 0 0\n"
                                       "CAN.A.SLAVE: optional\n"
                                       "CAN.B: 4 41 0 0\n"
                                       "CAN.B.SLAVE: mandatory device-type 0x000F0191\n"
                                       "CAN.C: 1 9 0 0\n";
  ServerProcess s(dir_, {"--config", dir_ + "/net.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  std::vector<std::string> seen;
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l == "event network line 4 started";
  })) << ::testing::PrintToString(seen);
  ASSERT_EQ(s.ask("sim silent CAN.B on"), "ok");
  EXPECT_EQ(s.ask("boot 4"), "ok (line 4 starts up again)");
  ASSERT_TRUE(tick_until(s, seen, 100, [](const std::string& l) {
    return l.rfind("event network line 4 blocked", 0) == 0;
  })) << ::testing::PrintToString(seen);
  EXPECT_THAT(seen, ::testing::Contains(::testing::StartsWith(
                        "event boot-status line 4 node 41 CAN.B B no answer to the request for "
                        "0x1000 (device type)")));
  ASSERT_EQ(s.ask("watch off"), "ok (not watching)");
  s.send("status");
  const auto table = s.answer();
  EXPECT_THAT(table, ::testing::Contains(::testing::StartsWith(
                         "network line 4: blocked, 2 nodes (1 mandatory): node 41")));
  const size_t boot = table[0].find("BOOT");
  EXPECT_EQ(row_of(table, "CAN.A").substr(boot, 11), "configured ");
  EXPECT_EQ(row_of(table, "CAN.B").substr(boot, 3), "B: ");
  EXPECT_THAT(s.ask("get CAN.B.CONDITION"),
              ::testing::StartsWith("CAN.B.CONDITION = Not started: B: no answer"));
  // boot LINE and download NAME FILE: refused before anything is sent.
  EXPECT_EQ(s.ask("boot 5"), "error: line 5 is no network (no LINE.5.NETWORK line)");
  EXPECT_EQ(s.ask("boot 21"), "error: the line must be 1..20, not '21'");
  std::filesystem::create_directory(dir_ + "/sub");
  std::filesystem::create_symlink("/etc/passwd", dir_ + "/passwd.bin");
  std::filesystem::create_directory_symlink("/etc", dir_ + "/etc");
  std::ofstream(dir_ + "/big.bin").close();
  std::filesystem::resize_file(dir_ + "/big.bin", (16u << 20) + 1);
  std::ofstream(dir_ + "/fw.bin") << "firmware";
  const struct {
    const char* request;
    const char* answer;
  } refused[] = {
      {"download CAN.A /etc/passwd",
       "error: '/etc/passwd': an absolute name: give one inside the configuration's folder"},
      {"download CAN.A ../net.conf",
       "error: '../net.conf': '..' leads out of the configuration's "
       "folder"},
      {"download CAN.A sub/../../x",
       "error: 'sub/../../x': '..' leads out of the "
       "configuration's folder"},
      {"download CAN.A passwd.bin",
       "error: 'passwd.bin': a link or not a folder on the way: "
       "refused"},
      {"download CAN.A etc/passwd",
       "error: 'etc/passwd': a link or not a folder on the way: "
       "refused"},
      {"download CAN.A sub", "error: 'sub': not a regular file"},
      {"download CAN.A big.bin", "error: 'big.bin': larger than 16 MiB"},
      {"download CAN.A none.bin", "error: 'none.bin': cannot be read: No such file or directory"},
      {"download CAN.C fw.bin", "error: CAN.C is in no network"},
      {"download CAN.X fw.bin", "error: unknown node property 'CAN.X'"},
  };
  for (const auto& r : refused) EXPECT_EQ(s.ask(r.request), r.answer) << r.request;
}

// download NAME FILE: the image goes to the node with progress events (at most every tenth, and
// its end), the node restarts into it and is started again.
TEST_F(ServerE2E, DownloadSendsTheImageWithProgressAndTheNodeStartsAgain) {
  std::vector<char> image(20000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 % 251);
  std::ofstream(dir_ + "/fw.bin").write(image.data(), static_cast<std::streamsize>(image.size()));
  std::ofstream(dir_ + "/net.conf") << "LINE.4.NETWORK: retry 200\n"
                                       "CAN.FW: 4 40 0 0\n"
                                       "CAN.FW.SLAVE: mandatory image fw.bin\n";
  ServerProcess s(dir_, {"--config", dir_ + "/net.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  std::vector<std::string> seen;
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l == "event network line 4 started";
  })) << ::testing::PrintToString(seen);
  s.send("download CAN.FW fw.bin");
  const auto lines = s.until("ok (");
  EXPECT_EQ(lines.back(), "ok (20000 bytes downloaded to CAN.FW; it restarts into the program)");
  // The network reports the progress from its own thread (with --manual: the next tick).
  seen = lines;
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l == "event state line 4 node 40 CAN.FW Operational";
  })) << ::testing::PrintToString(seen);
  std::vector<std::string> progress;
  for (const auto& l : seen) {
    if (l.rfind("event download CAN.FW ", 0) == 0) progress.push_back(l.substr(22));
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_LE(progress.size(), 11u);
  EXPECT_EQ(progress.back(), "20000/20000");
  // The node booted into the program and was configured and started again.
  EXPECT_THAT(seen, ::testing::Contains("event state line 4 node 40 CAN.FW Boot-up"));
}

// A node of a network gets its set-points again after the network's NMT start, not after its
// configuration (a node takes RPDOs in Operational only).
TEST_F(ServerE2E, NetworkNodesSetPointsFollowTheNetworksStart) {
  std::ofstream(dir_ + "/net.conf") << "LINE.4.NETWORK: retry 200\n"
                                       "CAN.PSU: 4 40 0 0\n"
                                       "CAN.PSU.SLAVE: mandatory\n"
                                       "CAN.PSU.RPDO1: map SETPOINT 0x2100:0 uint32\n";
  ServerProcess s(dir_, {"--config", dir_ + "/net.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  std::vector<std::string> seen;
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l == "event state line 4 node 40 CAN.PSU Operational";
  })) << ::testing::PrintToString(seen);
  ASSERT_EQ(s.ask("set CAN.PSU.SETPOINT 5"), "ok");
  EXPECT_EQ(s.ask("boot 4"), "ok (line 4 starts up again)");
  seen.clear();
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l.rfind("event restored line 4 node 40 CAN.PSU RPDO1 SETPOINT 5", 0) == 0;
  })) << ::testing::PrintToString(seen);
  const auto at = [&](const std::string& e) {
    return std::find(seen.begin(), seen.end(), e) - seen.begin();
  };
  // The restored set-point (the last line seen) comes after the network's start.
  EXPECT_LT(at("event network line 4 started"), static_cast<long>(seen.size()) - 1)
      << ::testing::PrintToString(seen);
}

// A drive on a network's line is set up after each boot-up, but started by the network only:
// with the start left to the application it stays pre-operational, boot-up or not.
TEST_F(ServerE2E, DriveOnANetworksLineIsStartedByTheNetworkOnly) {
  std::ofstream(dir_ + "/net.conf") << "LINE.4.NETWORK: start application retry 200\n"
                                       "CAN.AX: 4 7 0 0\n"
                                       "CAN.AX.SLAVE: mandatory\n"
                                       "CAN.AX.DRIVE: sdo homing none\n";
  ServerProcess s(dir_, {"--config", dir_ + "/net.conf"});
  s.until("type 'help'");
  ASSERT_EQ(s.ask("watch"), "ok (watching)");
  std::vector<std::string> seen;
  const auto operational = [](const std::string& l) {
    return l == "event state line 4 node 7 CAN.AX Operational";
  };
  ASSERT_TRUE(tick_until(s, seen, 50, [](const std::string& l) {
    return l == "event network line 4 started";
  })) << ::testing::PrintToString(seen);
  ASSERT_EQ(s.ask("sim boot CAN.AX"), "ok");
  EXPECT_FALSE(tick_until(s, seen, 10, operational)) << ::testing::PrintToString(seen);
  EXPECT_EQ(s.ask("get CAN.AX.STATE"), "CAN.AX.STATE = Switch on disabled");
}

// --- HTTP API -------------------------------------------------------------------------------

struct HttpAnswer {
  int status = 0;
  std::vector<std::string> headers;
  std::string body;
  nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// One HTTP/1.0 request from `from` (any local address when empty).
static HttpAnswer http(const std::string& where, const std::string& method, const std::string& path,
                       const std::string& body = "", const std::vector<std::string>& headers = {},
                       const std::string& from = "") {
  SocketClient c(where, from);
  EXPECT_TRUE(c.connected()) << where << " from " << from;
  std::string req = method + " " + path + " HTTP/1.0\r\n";
  for (const auto& h : headers) req += h + "\r\n";
  if (!body.empty()) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  c.send(req + "\r\n" + body);
  HttpAnswer a;
  bool ok = true;
  std::string l = c.line(&ok);
  if (l.size() > 12) a.status = std::stoi(l.substr(9, 3));
  for (l = c.line(&ok); ok && l != "\r"; l = c.line(&ok)) a.headers.push_back(l);
  for (l = c.line(&ok); ok; l = c.line(&ok)) a.body += l + "\n";
  return a;
}

static HttpAnswer post_json(const std::string& where, const std::string& path,
                            const std::string& body, std::vector<std::string> headers = {},
                            const std::string& from = "") {
  headers.push_back("Content-Type: application/json");
  return http(where, "POST", path, body, headers, from);
}

// A local address that is not loopback ("" when the machine has none).
static std::string non_loopback_address() {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return "";
  std::string found;
  for (ifaddrs* i = all; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    char b[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, b, sizeof b);
    if (std::string(b).rfind("127.", 0) != 0) found = b;
  }
  freeifaddrs(all);
  return found;
}

// The JSON API shows what the line protocol answers for the same state.
TEST_F(ServerE2E, HttpApiAnswersAsTheLineProtocol) {
  ServerProcess s(dir_, {"--http", ":0"});
  const std::string at = metrics_at(s);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 11"), "ok");

  // Every node's "status" is its row of the status table, cell by cell in heading order.
  s.send("status");
  const auto table = s.answer();
  const auto nodes = http(at, "GET", "/api/nodes").json();
  ASSERT_TRUE(nodes.contains("nodes")) << nodes;
  ASSERT_EQ(nodes["nodes"].size() + 1,
            static_cast<size_t>(std::count_if(table.begin(), table.end(), [](const std::string& l) {
              return l.rfind("CAN.", 0) == 0 || l.rfind("NODE", 0) == 0;
            })));
  const std::vector<std::string> heading = canbus_server::split_words(table[0]);
  for (size_t r = 0; r < nodes["nodes"].size(); ++r) {
    const auto& n = nodes["nodes"][r];
    const std::string& row = table[r + 1];
    size_t at_cell = 0;
    for (const auto& h : heading) {
      ASSERT_TRUE(n["status"].contains(h)) << h;
      const std::string cell = n["status"][h];
      at_cell = row.find(cell, at_cell);
      ASSERT_NE(at_cell, std::string::npos) << h << " '" << cell << "' in " << row;
      at_cell += cell.size();
    }
    EXPECT_EQ(n["name"], n["status"]["NODE"]);
  }
  // The valve's emergency, as the event line showed it.
  const auto valve =
      *std::find_if(nodes["nodes"].begin(), nodes["nodes"].end(),
                    [](const nlohmann::json& n) { return n["name"] == "CAN.VALVE"; });
  EXPECT_EQ(valve["emergencies"], 1);
  ASSERT_TRUE(valve["last_emergency"].is_object()) << valve;
  EXPECT_NE(stderr_text().find(valve["last_emergency"]["code"].get<std::string>()),
            std::string::npos);

  struct Case {
    std::string path;  // GET
    std::string line;  // the line request of the same
    int status;
    std::function<void(const nlohmann::json&, const std::string&)> same;
  };
  const std::vector<Case> cases = {
      {"/api/values/CAN.VALVE.BAUDRATE", "get CAN.VALVE.BAUDRATE", 200,
       [](const nlohmann::json& j, const std::string& got) {
         EXPECT_EQ("CAN.VALVE.BAUDRATE = " + j["text"].get<std::string>(), got);
       }},
      {"/api/values/NO.SUCH", "get NO.SUCH", 404,
       [](const nlohmann::json& j, const std::string& got) {
         EXPECT_EQ("error: " + j["error"].get<std::string>(), got);
       }},
      {"/api/nodes/CAN.PUMP/od?search=heartbeat", "od CAN.PUMP heartbeat", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_FALSE(j["objects"].empty());
         EXPECT_THAT(got,
                     ::testing::HasSubstr(j["objects"][0]["index"].get<std::string>() + " sub " +
                                          std::to_string(j["objects"][0]["sub"].get<int>())));
         EXPECT_THAT(got, ::testing::HasSubstr(j["objects"][0]["name"].get<std::string>()));
       }},
      {"/api/nodes/CAN.NONE/od", "od CAN.NONE", 404,
       [](const nlohmann::json& j, const std::string& got) {
         EXPECT_EQ("error: " + j["error"].get<std::string>(), got);
       }},
      {"/api/values/CAN.PUMP.SPEED", "get CAN.PUMP.SPEED", 200,
       [](const nlohmann::json& j, const std::string& got) {
         EXPECT_THAT(got, ::testing::StartsWith("CAN.PUMP.SPEED = " + j["text"].get<std::string>() +
                                                " at " + j["time"].get<std::string>()));
       }},
      {"/api/values", "list", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_FALSE(j["values"].empty());
         for (const auto& v : j["values"])
           EXPECT_THAT(got, ::testing::HasSubstr("\n" + v["name"].get<std::string>() + "  ("));
       }},
      {"/api/events?kind=emergency&limit=5", "json events 100", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_EQ(j["events"].size(), 1u);
         EXPECT_THAT(j["events"][0]["text"].get<std::string>(),
                     ::testing::StartsWith("emergency line 1 node 6 CAN.VALVE code 0x"));
         // The same event, the same number, in the line protocol's JSON.
         EXPECT_THAT(got, ::testing::HasSubstr(j["events"][0].dump()));
       }},
      {"/api/status", "status", 200,
       [&table](const nlohmann::json& j, const std::string&) {
         EXPECT_EQ(j["text"].size(), table.size());
       }},
      {"/api/nodes/CAN.PUMP/sdo?index=0x1009&sub=0", "sdo read --wait CAN.PUMP 0x1009 0", 200,
       [](const nlohmann::json& j, const std::string& got) {
         EXPECT_EQ(got, j["text"]) << j;  // the line protocol's text of the value
         EXPECT_EQ(j["value"], "HW 1.2");
       }},
      {"/api/values/CAN.PUMP.SPEED/history", "get CAN.PUMP.SPEED", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_FALSE(j["points"].empty()) << j;
         const double last = j["points"].back()[1];
         EXPECT_THAT(got, ::testing::HasSubstr(" = " + std::to_string(std::lround(last)) + " "));
       }},
      {"/api/lines", "status", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_FALSE(j["lines"].empty());
         for (const auto& l : j["lines"]) {
           EXPECT_THAT(got,
                       ::testing::HasSubstr("line " + std::to_string(l["line"].get<int>()) +
                                            ": handle " + std::to_string(l["handle"].get<int>())));
           EXPECT_GT(l["load"].get<double>(), 0) << l;
         }
       }},
      {"/api/trace?service=SDO&node=5", "json trace 10000", 200,
       [](const nlohmann::json& j, const std::string& got) {
         ASSERT_FALSE(j["lines"].empty());
         for (const auto& l : j["lines"]) {
           EXPECT_EQ(l["service"], "SDO");
           EXPECT_EQ(l["node"], 5);
           EXPECT_THAT(got, ::testing::HasSubstr(l.dump()));
         }
       }},
  };
  for (const auto& c : cases) {
    const HttpAnswer a = http(at, "GET", c.path);
    EXPECT_EQ(a.status, c.status) << c.path << ": " << a.body;
    EXPECT_THAT(a.headers, ::testing::Contains("Content-Type: application/json\r"));
    EXPECT_THAT(a.headers, ::testing::Contains("Cache-Control: no-store\r"));
    s.send(c.line);
    const auto got = s.answer();
    std::string joined;
    for (const auto& l : got) joined += (joined.empty() ? "" : "\n") + l;
    c.same(a.json(), joined);
  }
  // The line protocol's JSON form is the API's.
  EXPECT_EQ(nlohmann::json::parse(s.ask("json od CAN.PUMP heartbeat")),
            http(at, "GET", "/api/nodes/CAN.PUMP/od?search=heartbeat").json());
  EXPECT_EQ(s.ask("json nothing"), "error: no JSON form of nothing");
  EXPECT_EQ(http(at, "GET", "/api/me").json(),
            nlohmann::json({{"user", "anonymous"}, {"host", "127.0.0.1"}, {"writer", true}}));
  EXPECT_EQ(http(at, "GET", "/api/nope").status, 404);
  EXPECT_EQ(http(at, "GET", "/api/request").status, 405);  // POST only
  EXPECT_EQ(http(at, "OPTIONS", "/api/request").status, 405);
  // The console: index.html, nothing outside its folder, no listing.
  EXPECT_EQ(http(at, "GET", "/").status, 200);
  for (const char* p : {"/console/../../README.md", "/console/%2e%2e/%2e%2e/README.md", "/console/",
                        "/etc/passwd", "/console/.hidden"}) {
    if (std::string(p) == "/console/") continue;  // index.html
    EXPECT_EQ(http(at, "GET", p).status, 404) << p;
  }
}

// Writes: only by POST with a JSON body, only for writers; off loopback with the token.
TEST_F(ServerE2E, HttpWritesNeedAWriterAndTheToken) {
  const std::string token = dir_ + "/token";
  { std::ofstream(token) << "s3cret-token\nsecond line\n"; }
  chmod(token.c_str(), 0644);
  {
    ServerProcess refused(dir_, {"--http", ":0", "--http-token", token});
    EXPECT_EQ(refused.wait_exit(), 2);
    EXPECT_NE(stderr_text().find("readable by others"), std::string::npos) << stderr_text();
  }
  chmod(token.c_str(), 0600);
  const std::string other = non_loopback_address();
  std::vector<std::string> args = {
      "--http",       (other.empty() ? "127.0.0.1" : "0.0.0.0") + std::string(":0"),
      "--http-token", token,
      "--writers",    "127.0.0.1"};
  if (!other.empty()) args.insert(args.end(), {"--writers", other});
  ServerProcess s(dir_, {args.begin(), args.end()});
  std::string at = metrics_at(s);
  s.until("type 'help'");
  at = "127.0.0.1" + at.substr(at.rfind(':'));
  const std::string set = R"({"value":6})";
  const std::string path = "/api/values/CAN.VALVE.BAUDRATE";
  // Read-only: 127.0.0.2 is no writer; the line protocol's text.
  auto a = post_json(at, path, set, {}, "127.0.0.2");
  EXPECT_EQ(a.status, 403);
  EXPECT_EQ(a.json(), nlohmann::json({{"error", "read-only client"}}));
  EXPECT_EQ(http(at, "GET", "/api/me", "", {}, "127.0.0.2").json()["writer"], false);
  // Wrong content type, malformed body, too large a body.
  EXPECT_EQ(http(at, "POST", path, set, {"Content-Type: text/plain"}).status, 415);
  EXPECT_EQ(http(at, "POST", path, set).status, 415);
  EXPECT_EQ(post_json(at, path, "{\"value\":").status, 400);
  EXPECT_EQ(post_json(at, path, std::string(20000, ' ')).status, 413);
  // A loopback writer needs no token; the log line names the user.
  a = post_json(at, path, set, {"X-Canbus-User: alice"});
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(a.json()["answer"][0], "ok (applies when the line is next opened)");
  EXPECT_EQ(s.ask("get CAN.VALVE.BAUDRATE"), "CAN.VALVE.BAUDRATE = 6");
  // Any request line, reads for everyone.
  a = post_json(at, "/api/request", R"({"line":"get CAN.PUMP"})", {}, "127.0.0.2");
  EXPECT_EQ(a.json()["answer"][0], "CAN.PUMP = 1 5 0 0");
  EXPECT_EQ(post_json(at, "/api/request", R"({"line":"get CAN.PUMP\nquit"})").status, 400);
  // The shortcuts are their request lines: the same answer as the line protocol's.
  struct Shortcut {
    std::string path, body, line;
    int status;
  };
  for (const Shortcut& c : std::vector<Shortcut>{
           {"/api/nodes/CAN.VALVE/nmt", R"({"command":"start"})", "set CAN.VALVE.START 1", 200},
           {"/api/nodes/CAN.VALVE/nmt", R"({"command":"explode"})", "", 400},
           {"/api/nodes/CAN.PUMP/sdo", R"({"index":"0x1017","sub":0,"value":500})",
            "sdo write --wait CAN.PUMP 0x1017 0 500", 200},
           {"/api/nodes/CAN.PUMP/sdo", R"({"index":"0x1017","sub":0})", "", 400},
           {"/api/values/CAN.VALVE.BAUDRATE", R"({"value":"6 7"})", "", 400},
           {"/api/drives/CAN.SLIT", R"({"command":"halt","args":[{}]})", "", 400},
       }) {
    a = post_json(at, c.path, c.body);
    EXPECT_EQ(a.status, c.status) << c.path << " " << c.body << ": " << a.body;
    if (c.status != 200) continue;
    std::string joined;
    const nlohmann::json answer = a.json();
    for (const auto& l : answer["answer"])
      joined += (joined.empty() ? "" : "\n") + l.get<std::string>();
    EXPECT_EQ(joined, s.ask(c.line)) << c.path << " " << c.body;
  }
  if (other.empty()) {
    GTEST_LOG_(INFO) << "no address but loopback: the token is not tried from off the host";
  } else {
    const std::string off = other + at.substr(at.rfind(':'));
    struct Case {
      std::vector<std::string> headers;
      int status;
    };
    for (const Case& c : std::vector<Case>{{{}, 403},
                                           {{"X-Canbus-Token: s3cret-tokem"}, 403},
                                           {{"X-Canbus-Token: s3cret-token-"}, 403},
                                           {{"X-Canbus-Token: s3cret-token"}, 200}}) {
      a = post_json(off, path, R"({"value":[7]})", c.headers, other);
      EXPECT_EQ(a.status, c.status) << (c.headers.empty() ? "" : c.headers[0]) << " " << a.body;
    }
  }
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
  EXPECT_NE(stderr_text().find("CAN.VALVE.BAUDRATE set to 6 by alice@127.0.0.1"),
            std::string::npos);
}

// A WebSocket client on a raw socket: the handshake, text frames out (masked), frames in.
class StreamClient {
 public:
  explicit StreamClient(const std::string& where) : sock_(where) {}
  SocketClient& sock() { return sock_; }
  bool open() {
    if (!sock_.connected()) return false;
    sock_.send(
        "GET /api/stream HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: "
        "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: "
        "13\r\n\r\n");
    bool ok = true;
    const std::string status = sock_.line(&ok);
    for (std::string l = status; ok && l != "\r"; l = sock_.line(&ok)) {
    }
    return status.rfind("HTTP/1.1 101", 0) == 0;
  }
  void send_text(const std::string& text) {
    std::string f = {'\x81', static_cast<char>(0x80 | text.size()), 0, 0, 0, 0};
    sock_.send(f + text);  // mask 0: the text as it is
  }
  // The next frame's payload and opcode; false at the end of the connection or after `seconds`.
  bool frame(std::string& payload, int& opcode, int seconds = 30) {
    unsigned char h[2];
    if (!read_n(h, 2, seconds)) return false;
    opcode = h[0] & 0x0F;
    uint64_t n = h[1] & 0x7F;
    if (n >= 126) {
      unsigned char e[8];
      const size_t k = n == 126 ? 2 : 8;
      if (!read_n(e, k, seconds)) return false;
      n = 0;
      for (size_t i = 0; i < k; ++i) n = (n << 8) | e[i];
    }
    payload.assign(n, '\0');
    return n == 0 || read_n(reinterpret_cast<unsigned char*>(&payload[0]), n, seconds);
  }

 private:
  bool read_n(unsigned char* out, size_t n, int seconds) {
    for (size_t got = 0; got < n;) {
      pollfd p{sock_.fd(), POLLIN, 0};
      if (poll(&p, 1, seconds * 1000) <= 0) return false;
      const ssize_t k = read(sock_.fd(), out + got, n - got);
      if (k <= 0) return false;
      got += static_cast<size_t>(k);
    }
    return true;
  }
  SocketClient sock_;
};

// A stream client that never reads is closed once its queue fills; another one keeps getting
// every event, and the trace when it asks for it.
TEST_F(ServerE2E, EventStreamDropsAClientThatDoesNotRead) {
  write_adc_config(dir_ + "/adc.conf", 30);
  ServerProcess s(
      dir_, {"--config", dir_ + "/adc.conf", "--sim-adc", "--value-interval", "0", "--http", ":0"});
  const std::string at = metrics_at(s);
  s.until("type 'help'");
  StreamClient quick(at), slow(at);
  // A buffer of its own size (no growing), large enough to be read quickly at the end.
  int small = 65536;
  setsockopt(slow.sock().fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(quick.open());
  ASSERT_TRUE(slow.open());
  std::string m;
  int op = 0;
  size_t events = 0;
  for (int i = 0; i < 200 && stderr_text().find("closed: too slow") == std::string::npos; ++i) {
    // The quick one reads what came, up to the emergency of this batch.
    ASSERT_EQ(s.ask("sim emcy CAN.A1"), "ok");
    ASSERT_EQ(s.ask("tick 10"), "ok");
    for (;;) {
      ASSERT_TRUE(quick.frame(m, op)) << "the reading client was dropped";
      ASSERT_EQ(op, 1);
      const auto j = nlohmann::json::parse(m);
      if (j.value("type", "") == "trace") continue;  // the bus trace it asked for comes between
      ASSERT_EQ(j.value("type", ""), "event") << m;
      ++events;
      if (j.value("kind", "") == "emergency") break;
    }
  }
  EXPECT_NE(stderr_text().find("event stream of 127.0.0.1 closed: too slow"), std::string::npos)
      << events << " events did not fill the queue";
  // The slow one: what was written before, then the end (no more than the queue and the
  // socket buffers hold).
  size_t got = 0;
  while (slow.frame(m, op, 10) && op == 1) got += m.size();
  EXPECT_LT(got, 8u << 20);
  // The quick one goes on.
  ASSERT_EQ(s.ask("sim emcy CAN.A2"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  for (;;) {
    ASSERT_TRUE(quick.frame(m, op));
    const auto j = nlohmann::json::parse(m);
    if (j.value("type", "") == "trace") continue;  // the bus trace it asked for comes between
    if (j.value("kind", "") == "emergency") {
      EXPECT_EQ(j["name"], "CAN.A2");
      EXPECT_THAT(j["text"].get<std::string>(), ::testing::StartsWith("emergency line 1 node"));
      break;
    }
  }
}
#ifdef CANBUS_CTL_PATH
// canbus-ctl against the server, on its Unix socket and on TCP: a block without its header, errors
// on standard error with status 1, a script on standard input, --user.
TEST_F(ServerE2E, CtlPrintsAnswersAndExitsWithTheirOutcome) {
  const std::string sock = dir_ + "/server.sock";
  ServerProcess s(dir_, {"--listen", sock, "--listen", "127.0.0.1:0"});
  s.until("listening on ");
  const std::string tcp = listening(s);
  s.until("type 'help'");
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> out;
    std::string err;
  } cases[] = {
      {{"help", "user"},
       "",
       0,
       {"user NAME", "  names the user of this connection for the change log (once)"},
       ""},
      {{"get", "NOPE"}, "", 1, {}, "error: unknown property NOPE\n"},
      {{"sdo", "read", "--wait", "CAN.PUMP", "0x1009", "0"}, "", 0, {"\"HW 1.2\""}, ""},
      {{},
       "get CAN.PUMP\n# a comment\n\nget NOPE\nget CAN.VALVE",
       1,
       {"CAN.PUMP = 1 5 0 0", "CAN.VALVE = 1 6 0 0"},
       "error: unknown property NOPE\n"},
      {{"--stop-on-error"}, "get NOPE\nget CAN.PUMP\n", 1, {}, "error: unknown property NOPE\n"},
      {{"--user", "alice", "set", "CAN.VALVE.BAUDRATE", "6"},
       "",
       0,
       {"ok (applies when the line is next opened)"},
       ""},
      {{"--user", "alice"}, "user bob\n", 1, {}, "error: the user is named already\n"},
      {{"quit"}, "", 0, {"bye"}, ""},
  };
  for (const std::string& where : {sock, tcp}) {
    for (const auto& c : cases) {
      auto args = c.args;
      args.insert(args.begin(), {"--connect", where});
      const auto r = ctl(args, c.input);
      const auto what = where + ": " + ::testing::PrintToString(c.args) + " " + c.input;
      EXPECT_EQ(r.status, c.status) << what << r.err;
      EXPECT_EQ(r.out, c.out) << what;
      EXPECT_EQ(r.err, c.err) << what;
    }
  }
  EXPECT_NE(stderr_text().find("CAN.VALVE.BAUDRATE set to 6 by alice@local:uid="),
            std::string::npos);

  // watch: the events until the connection ends, which is no failure.
  ServerProcess w(ServerProcess::Program{}, dir_ + "/ctl.err",
                  {CANBUS_CTL_PATH, "--connect", sock, "watch"});
  EXPECT_EQ(w.line(), "ok (watching)");
  ASSERT_EQ(s.ask("sim emcy CAN.VALVE"), "ok");
  ASSERT_EQ(s.ask("tick 1"), "ok");
  std::string event = w.line();
  while (!event.empty() && event.rfind("event emergency ", 0) != 0) event = w.line();
  EXPECT_EQ(event.rfind("event emergency line 1 node 6 CAN.VALVE code 0x8110", 0), 0u) << event;
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(w.wait_exit(), 0);
}

// canbus-ctl's side alone, against a socket the test holds: --json prefixes the request, and a
// connection that fails, ends inside a block or stays silent is status 3; a bad command line 2.
TEST_F(ServerE2E, CtlSendsJsonAndReportsBrokenConnections) {
  const std::string sock = dir_ + "/fake.sock";
  const int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, sock.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(lfd, 4), 0);
  const struct {
    std::vector<std::string> args;
    std::string request;  // what the fake server reads
    std::string reply;    // what it sends before it closes
    int status;
    std::vector<std::string> out;
  } cases[] = {
      {{"--json", "status"}, "json status", "{\"nodes\":[]}\n", 0, {"{\"nodes\":[]}"}},
      {{"--json", "--user", "ann", "get", "X"}, "user ann", "ok (ann@local)\n", 3, {}},
      {{"list"}, "list", "ok 3 lines\nA\nB\n", 3, {"A", "B"}},
      // A JSON answer is one line, also far beyond the request lines' limit.
      {{"--json", "od", "CAN.X"},
       "json od CAN.X",
       std::string(9000, '[') + "\n",
       0,
       {std::string(9000, '[')}},
      {{"--timeout", "0.2", "status"}, "status", "", 3, {}},
  };
  for (const auto& c : cases) {
    auto args = c.args;
    args.insert(args.begin(), {CANBUS_CTL_PATH, "--connect", sock});
    ServerProcess p(ServerProcess::Program{}, dir_ + "/ctl.err", args);
    pollfd pl{lfd, POLLIN, 0};
    ASSERT_EQ(poll(&pl, 1, 30000), 1);
    const int fd = accept(lfd, nullptr, nullptr);
    LineSource from(fd);
    EXPECT_EQ(from.line(), c.request);
    // Without a reply the fake stays silent until canbus-ctl's own time-out ends it.
    if (!c.reply.empty()) {
      ASSERT_EQ(write(fd, c.reply.data(), c.reply.size()), static_cast<ssize_t>(c.reply.size()));
      if (c.request == "user ann") {
        EXPECT_EQ(from.line(), "json get X");
      }
      close(fd);
    }
    std::vector<std::string> out;
    bool ok = true;
    for (std::string l = p.line(&ok); ok; l = p.line(&ok)) out.push_back(l);
    EXPECT_EQ(out, c.out) << c.request;
    EXPECT_EQ(p.wait_exit(), c.status) << c.request;
    if (c.reply.empty()) close(fd);
  }
  close(lfd);
  EXPECT_EQ(ctl({"--connect", sock, "status"}).status, 3);  // nobody listens any more
  EXPECT_EQ(ctl({"--connect", dir_ + "/none", "status"}).status, 3);
  EXPECT_EQ(ctl({"status"}).status, 2);
  EXPECT_EQ(ctl({"--connect", "127.0.0.1:x", "status"}).status, 2);
  EXPECT_EQ(ctl({"--connect", sock, "--timeout", "nan", "status"}).status, 2);
}
#endif
