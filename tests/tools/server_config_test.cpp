// canbus-server's configuration file: lines it cannot use are reported with their numbers,
// everything else stays in place when it is written back, and a save never leaves a half file.
#include <gtest/gtest.h>

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
      {"CAN.A.MONITOR: 5 5 5 5", "CAN.A.MONITOR takes 'guarding PERIOD_MS MISSES'"},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("# header\nCAN.A: 1 6 0 0\n") + c.line + "\n";
    const auto problems = ConfigFile::parse(text).problems();
    ASSERT_EQ(problems.size(), 1u) << c.line;
    EXPECT_EQ(problems[0].line, 3) << c.line;
    EXPECT_NE(problems[0].reason.find(c.reason), std::string::npos)
        << c.line << " -> " << problems[0].reason;
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
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
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
      "CAN.PUMP: 1 5 0\n"
      "SOMETHING.ELSE: kept\n"
      "CAN.OTHER 1 7 0 0\n";
  std::ofstream(path) << text;
  {
    ServerProcess s(ServerProcess::Program{}, dir + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--config", path});
    EXPECT_EQ(s.wait_exit(), 1);
    const std::string err = slurp(dir + "/err");
    EXPECT_NE(err.find(path + ":3: the node property CAN.PUMP takes four integers"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(path + ":5: no ':'"), std::string::npos) << err;
  }
  EXPECT_EQ(slurp(path), text);
  {
    ServerProcess s(ServerProcess::Program{}, dir + "/err",
                    {CANBUS_SERVER_PATH, "--manual", "--config", path, "--ignore-bad-lines"});
    s.until("type 'help'");
    EXPECT_EQ(s.ask("set CAN.VALVE 1 6 0x181 0"), "ok");
    EXPECT_EQ(s.ask("quit"), "bye");
    EXPECT_EQ(s.wait_exit(), 0);
  }
  EXPECT_EQ(slurp(path),
            "# valves\n"
            "CAN.VALVE: \t1  6  385  0\n"
            "CAN.PUMP: 1 5 0\n"
            "SOMETHING.ELSE: kept\n"
            "CAN.OTHER 1 7 0 0\n");
  EXPECT_EQ(slurp(path + ".bak"), text);
  std::filesystem::remove_all(dir);
}

}  // namespace
