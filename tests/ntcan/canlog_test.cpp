// The CAN tools' log format: which lines the reader takes, passes over, counts or rejects, and
// that what the writer writes reads back as the same frame.
#include "canlog.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/frames.h"

namespace {

using canbus_test::frame_text;
using canlog::Dir;
using canlog::LineKind;

struct Row {
  const char* line;
  LineKind kind;
  const char* frame = "";  // frame_text of the frame read
  Dir dir = Dir::kNone;
  int64_t time_ns = 0;
};

const Row kRows[] = {
    {"(1701955200.123456) can0 705#05", LineKind::kFrame, "705#05", Dir::kNone,
     1701955200123456000},
    {"(1701955200.123456789) vcan1 605#4008100000000000 T", LineKind::kFrame,
     "605#4008100000000000", Dir::kTx, 1701955200123456789},
    {"(0000000001.000000)  can0 7ff#abcdef R\r", LineKind::kFrame, "7FF#ABCDEF", Dir::kRx,
     1000000000},
    {"(1.000000) can0 705#R", LineKind::kFrame, "705#R0"},
    {"(1.000000) can0 705#R8", LineKind::kFrame, "705#R8"},
    {"(1.000000) can0 000#", LineKind::kFrame, "000#"},
    {"(1.000000) can0 123#1122334455667788_F", LineKind::kFrame, "123#1122334455667788"},
    {"", LineKind::kOther},
    {"# a comment", LineKind::kOther},
    {"DROPCOUNT: dropped 3 CAN frames on 'can0' socket (total drops 3)", LineKind::kOther},
    {"(1.000000) can0 12345678#0102", LineKind::kExtended},
    {"(1.000000) can0 20000004#0000000000000000", LineKind::kErrorFrame},
    {"(1.000000) can0 123##1112233", LineKind::kFd},
    {"(1.000000) can0 12345678##400", LineKind::kFd},
    // malformed
    {"(", LineKind::kMalformed},
    {"(1.000000)", LineKind::kMalformed},
    {"(.000000) can0 705#05", LineKind::kMalformed},
    {"(1.12345) can0 705#05", LineKind::kMalformed},
    {"(1.1234567) can0 705#05", LineKind::kMalformed},
    {"(1.12370508100000000000) can0 705#05", LineKind::kMalformed},
    {"(1,000000) can0 705#05", LineKind::kMalformed},
    {"(1.000000)can0 705#05", LineKind::kMalformed},
    {"(99999999999999999999.000000) can0 705#05", LineKind::kMalformed},
    {"(9223372037.000000) can0 705#05", LineKind::kMalformed},
    {"(1.000000) can0", LineKind::kMalformed},
    {"(1.000000) can0 70505", LineKind::kMalformed},
    {"(1.000000) can0 75#05", LineKind::kMalformed},
    {"(1.000000) can0 800#05", LineKind::kMalformed},
    {"(1.000000) can0 70G#05", LineKind::kMalformed},
    {"(1.000000) can0 705#0", LineKind::kMalformed},
    {"(1.000000) can0 705#0X", LineKind::kMalformed},
    {"(1.000000) can0 705#112233445566778899", LineKind::kMalformed},
    {"(1.000000) can0 705#R9", LineKind::kMalformed},
    {"(1.000000) can0 705#R12", LineKind::kMalformed},
    {"(1.000000) can0 705#11_F", LineKind::kMalformed},
    {"(1.000000) can0 705#1122334455667788_8", LineKind::kMalformed},
    {"(1.000000) can0 40000000#00", LineKind::kMalformed},
    {"(1.000000) can0 123##", LineKind::kMalformed},
    {"(1.000000) can0 705#05 X", LineKind::kMalformed},
    {"(1.000000) can0 705#05 R extra", LineKind::kMalformed},
    {"(1.000000) averyveryverylongname 705#05", LineKind::kMalformed},
    {"(1.000000) can\x01 705#05", LineKind::kMalformed},
};

TEST(CanLogTest, LinesAreTakenPassedOverCountedOrRejected) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.line);
    canlog::Record r;
    std::string why;
    ASSERT_EQ(canlog::parse_line(row.line, &r, &why), row.kind);
    EXPECT_EQ(why.empty(), row.kind != LineKind::kMalformed);
    if (row.kind != LineKind::kFrame) continue;
    EXPECT_EQ(frame_text(r.frame), row.frame);
    EXPECT_EQ(r.dir, row.dir);
    if (row.time_ns != 0) {
      EXPECT_EQ(r.time_ns, row.time_ns);
    }
    // What the writer makes of it reads back the same.
    canlog::Record again;
    ASSERT_EQ(canlog::parse_line(canlog::format_line(r), &again), LineKind::kFrame);
    EXPECT_EQ(frame_text(again.frame), row.frame);
    EXPECT_EQ(again.iface, r.iface);
    EXPECT_EQ(again.dir, r.dir);
    EXPECT_EQ(again.time_ns / 1000, r.time_ns / 1000);
  }
}

TEST(CanLogTest, WriterWritesTheToolsExactLine) {
  char buf[canlog::kMaxLine];
  CMSG f = canbus_test::make_frame(0x605, {0x40, 0x08, 0x10, 0, 0, 0, 0, 0});
  f.msg_lost = 3;
  auto line = [&](int64_t t, const char* ifname, int width, const CMSG& m, Dir d) {
    return std::string(buf, canlog::format_line(buf, t, ifname, width, m, d));
  };
  EXPECT_EQ(line(1701955200123456789, "can0", 0, f, Dir::kNone),
            "(1701955200.123456) can0 605#4008100000000000\n");
  EXPECT_EQ(line(5'000'001'000, "can1", 5, canbus_test::make_remote(0x705, 1), Dir::kTx),
            "(0000000005.000001)  can1 705#R1 T\n");
  CMSG rtr = canbus_test::make_remote(0x1, 0);
  rtr.data[0] = 0xAA;  // not carried by a remote request
  EXPECT_EQ(line(-1, "vcan0", 0, rtr, Dir::kRx), "(0000000000.000000) vcan0 001#R R\n");
}

TEST(CanLogTest, ReaderCountsAndReportsWithLineNumbers) {
  std::istringstream in(
      "(1.000000) can0 705#05 R\n"
      "garbage\n"
      "(1.000000) can0 12345678#01\n"
      "(2.000000) can0 705#0\n"
      "(2.000000) can0 123##0\n"
      "(3.000000) can0 181#0102 T\n"
      "(3.000000) can0 2000FFFF#0000000000000000\n"
      "(4.00000) can0 181#0102");
  const canlog::Log log = canlog::read_log(in);
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(frame_text(log.records[1].frame), "181#0102");
  EXPECT_EQ(log.lines, 8u);
  EXPECT_EQ(log.other, 1u);
  EXPECT_EQ(log.extended, 1u);
  EXPECT_EQ(log.fd, 1u);
  EXPECT_EQ(log.error_frames, 1u);
  EXPECT_EQ(log.malformed, 2u);
  ASSERT_EQ(log.problems.size(), 2u);
  EXPECT_EQ(log.problems[0].line, 4u);
  EXPECT_EQ(log.problems[1].line, 8u);

  std::string error;
  canlog::Log none;
  EXPECT_FALSE(canlog::read_log_file("/nonexistent/x.log", &none, &error));
  EXPECT_NE(error.find("/nonexistent/x.log"), std::string::npos);
  EXPECT_FALSE(canlog::read_log_file("/dev/zero", &none, &error));
  EXPECT_EQ(error, "/dev/zero: not a regular file");
}

}  // namespace
