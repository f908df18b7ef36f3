// Commissioning end to end: canbus-server's "scan" request on the virtual bus, and canbus-scan
// on vcan0 with canbus-simnode processes, one of them started unconfigured, without the optional
// identify services, and given its node id by LSS (skipped where there is no vcan0;
// scripts/uml-run boots a kernel that has it).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "server_process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ScanE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/canbus-scan-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // canbus-scan's output lines and exit status.
  std::vector<std::string> scan_tool(std::vector<std::string> args, int* status,
                                     const char* program = CANBUS_SCAN_PATH) {
    args.insert(args.begin(), program);
    ServerProcess p(ServerProcess::Program{}, dir_ + "/scan.log", args);
    std::vector<std::string> out;
    bool ok = true;
    for (std::string l = p.line(&ok); ok; l = p.line(&ok)) out.push_back(l);
    *status = p.wait_exit();
    return out;
  }
  std::string dir_;
};

TEST_F(ScanE2E, ServerScanListsTheNodesAndMarksTheSilentOneInStatus) {
  ServerProcess s(dir_);
  s.until("type 'help'");
  ASSERT_EQ(s.ask("sim silent CAN.VALVE on"), "ok");
  s.send("scan 1");
  const auto answer = s.answer();
  EXPECT_THAT(answer, ElementsAre(HasSubstr("node 5: SDO, vendor 0x00000ABC product 0x000000C8"),
                                  HasSubstr("node 7: SDO, vendor 0x00000ABC product 0x00000D01"),
                                  "not found: CAN.VALVE (node 6)",
                                  HasSubstr("scan line 1: 2 nodes found, 1 configured node not")));
  s.send("status");
  for (const auto& row : s.answer()) {
    const bool marked = row.find("NOT FOUND BY SCAN") != std::string::npos;
    EXPECT_EQ(marked, row.rfind("CAN.VALVE ", 0) == 0) << row;
  }
  EXPECT_EQ(s.ask("scan 21"), "error: bad line '21' (1..20)");
  ASSERT_EQ(s.ask("quit"), "bye");
  EXPECT_EQ(s.wait_exit(), 0);
}

// Named for scripts/uml-run, which runs the SocketCan* tests.
using SocketCanScanE2E = ScanE2E;

TEST_F(SocketCanScanE2E, ToolOnVcanFindsNodesThenConfiguresTheUnconfiguredOneByLss) {
  if (if_nametoindex("vcan0") == 0) GTEST_SKIP() << "no vcan0 here";
  setenv("NTCAN_SOCKETCAN_IFNAME", "vcan%d", 1);
  std::vector<std::unique_ptr<ServerProcess>> nodes;
  for (const char* id : {"5", "6"}) {
    nodes.push_back(std::make_unique<ServerProcess>(
        ServerProcess::Program{}, dir_ + "/node.log",
        std::vector<std::string>{CANBUS_SIMNODE_PATH, "--backend", "socketcan", "--net", "0",
                                 "--node", id, "--name", std::string("node ") + id}));
  }
  ServerProcess fresh(
      ServerProcess::Program{}, dir_ + "/fresh.log",
      {CANBUS_SIMNODE_PATH, "--backend", "socketcan", "--net", "0", "--unconfigured", "--serial",
       "0x77", "--name", "new module", "--lss-without", "identify,identify-non-configured"});
  for (auto& n : nodes) ASSERT_EQ(n->line(), "ready");
  ASSERT_EQ(fresh.line(), "ready");

  int rc = -1;
  auto out = scan_tool({"--backend", "socketcan", "scan", "1"}, &rc);
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_THAT(out[0], HasSubstr("line 1: 2 nodes"));
  EXPECT_THAT(out[2], HasSubstr("node 5"));
  EXPECT_THAT(out[3], HasSubstr("node 6"));

  out = scan_tool({"--backend", "socketcan", "--json", "lss", "fastscan", "1", "--timeout", "50"},
                  &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(out, ElementsAre("{\"line\":1,\"slaves\":[{\"vendor\":2748,\"product\":1,"
                               "\"revision\":65536,\"serial\":119}]}"));

  out = scan_tool({"--backend", "socketcan", "lss", "set-id", "1", "0xABC", "1", "0x10000", "0x77",
                   "9", "--store"},
                  &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(out, ElementsAre("ok: node id 9 (stored)"));
  EXPECT_EQ(fresh.line(), "node id 9");

  out = scan_tool({"--backend", "socketcan", "--json", "scan", "1", "--no-identity"}, &rc);
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(out.size(), 1u);
  for (const char* id : {"\"id\":5,", "\"id\":6,", "\"id\":9,"}) EXPECT_THAT(out[0], HasSubstr(id));

  out = scan_tool({"--backend", "socketcan", "lss", "set-id", "1", "1", "2", "3", "4", "9"}, &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_TRUE(out.empty());
  for (auto& n : nodes) n->terminate();
  fresh.terminate();
}

#ifdef CANBUS_DCF_PATH
// canbus-dcf: a DCF's changed object as a concise DCF file, and its check against the EDS.
TEST_F(ScanE2E, DcfToolWritesTheConciseDcfAndChecksAgainstTheEds) {
  const std::string var = "[2100]\nParameterName=Limit\nDataType=0x0007\nAccessType=rw\n";
  std::ofstream(dir_ + "/node.dcf") << "[DeviceComissioning]\nNodeID=5\n"
                                    << var << "DefaultValue=0\nParameterValue=0x12345678\n";
  std::ofstream(dir_ + "/device.eds") << var << "DefaultValue=0\nHighLimit=0x1000\n";
  int rc = -1;
  EXPECT_THAT(
      scan_tool({"concise", dir_ + "/node.dcf", "--out", dir_ + "/node.bin"}, &rc, CANBUS_DCF_PATH),
      ElementsAre(dir_ + "/node.bin: 1 entries, 15 bytes for node 5"));
  EXPECT_EQ(rc, 0);
  std::ifstream bin(dir_ + "/node.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(bin), {}),
            std::string("\1\0\0\0\0\x21\0\4\0\0\0\x78\x56\x34\x12", 15));
  EXPECT_THAT(scan_tool({"check", dir_ + "/node.dcf", dir_ + "/device.eds"}, &rc, CANBUS_DCF_PATH),
              ElementsAre(dir_ + "/node.dcf:8: 0x2100:00 'Limit': ParameterValue 305419896 above "
                                 "the EDS's HighLimit 4096"));
  EXPECT_EQ(rc, 1);
}
#endif

}  // namespace
