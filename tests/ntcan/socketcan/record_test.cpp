// Recording on a real interface against the can-utils as the peer: what the recorder writes is
// frame for frame what candump wrote in the same run, both logs read with our reader, and
// canplayer plays our file onto vcan1 where candump sees the same frames again.
#include <fstream>

#include "canlog.h"
#include "recorder.h"
#include "support/scratch_dir.h"
#include "vcan_fixture.h"

namespace socketcan_test {
namespace {

// The frame field of each line of a log, as Candump::frames() gives candump's.
std::vector<std::string> frame_fields(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string stamp, iface, text;
    if (words >> stamp >> iface >> text) out.push_back(text);
  }
  return out;
}

class SocketCanRecordTest : public SocketCanVcanTest {};

TEST_F(SocketCanRecordTest, SameFramesAsCandumpAndCanplayerPlaysOurFile) {
  if (!have_interface("vcan1") || sh("command -v canplayer >/dev/null") != 0) {
    GTEST_SKIP() << "needs vcan1 and canplayer";
  }
  canbus_test::ScratchDir dir("socketcan-record");
  const std::string file = dir.path() + "/vcan0.log";
  Candump dump("vcan0", 6);
  ASSERT_TRUE(dump.ready());
  ntcan::recorder::Options o;
  o.path = file;
  o.nets = 1;
  ASSERT_TRUE(ntcan::recorder::start(o));
  const NTCAN_HANDLE h = open(0, {0x181, 0x705});
  // Ours and another process's, in turn, each waited for: one order on the bus.
  ASSERT_EQ(send(h, remote(0x705, 1)), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend vcan0 705#05"), 0);
  read_one(h);
  ASSERT_EQ(send(h, frame(0x605, {0x40, 0x08, 0x10, 0, 0, 0, 0, 0})), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend vcan0 181#R"), 0);
  read_one(h);
  ASSERT_EQ(send(h, frame(0x000, {0x01, 0x05})), NTCAN_SUCCESS);
  ASSERT_EQ(sh("cansend vcan0 181#0102030405060708"), 0);
  read_one(h);
  ntcan::recorder::stop();

  const std::vector<std::string> expected{"705#R1", "705#05",   "605#4008100000000000",
                                          "181#R",  "000#0105", "181#0102030405060708"};
  canlog::Log ours;
  ASSERT_TRUE(canlog::read_log_file(file, &ours));
  EXPECT_EQ(ours.records.size(), 6u);
  EXPECT_EQ(frame_fields(file), expected);
  for (const auto& r : ours.records) EXPECT_EQ(r.iface, "vcan0");
  EXPECT_EQ(dump.frames(), expected);

  Candump played("vcan1", 6);
  ASSERT_TRUE(played.ready());
  ASSERT_EQ(sh("canplayer -I " + file + " vcan1=vcan0"), 0);
  EXPECT_EQ(played.frames(), expected);
}

}  // namespace
}  // namespace socketcan_test
