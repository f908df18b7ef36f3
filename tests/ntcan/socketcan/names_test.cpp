// The SocketCAN backend's pieces that need no CAN interface: interface names from the
// environment, frame conversion both ways, the lost-frame count. They run on any host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "socketcan.h"

namespace {

using ntcan::socketcan::from_can_frame;
using ntcan::socketcan::interface_name;
using ntcan::socketcan::lost_count;
using ntcan::socketcan::to_can_frame;

// Sets or unsets environment variables for one test and puts the old values back.
class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct NameCase {
  const char* what;
  std::optional<std::string> pattern;  // NTCAN_SOCKETCAN_IFNAME
  std::optional<std::string> net3;     // NTCAN_SOCKETCAN_IF3
  int net;
  std::string want;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.what;
}

class SocketCanNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SocketCanNames, NetToInterface) {
  const NameCase& c = GetParam();
  ScopedEnv env;
  env.set("NTCAN_SOCKETCAN_IFNAME", c.pattern);
  env.set("NTCAN_SOCKETCAN_IF3", c.net3);
  for (int n : {0, 1, 10, 12}) env.set("NTCAN_SOCKETCAN_IF" + std::to_string(n), std::nullopt);
  EXPECT_EQ(interface_name(c.net), c.want);
}

const NameCase kNameCases[] = {
    {"default pattern", std::nullopt, std::nullopt, 0, "can0"},
    {"default pattern, two digits", std::nullopt, std::nullopt, 12, "can12"},
    {"empty pattern is the default", "", std::nullopt, 1, "can1"},
    {"pattern", "vcan%d", std::nullopt, 1, "vcan1"},
    {"pattern with a suffix", "slcan%d_x", std::nullopt, 3, "slcan3_x"},
    {"first %d only", "c%d_%d", std::nullopt, 2, "c2_%d"},
    {"pattern without a number", "mycan", std::nullopt, 5, "mycan"},
    {"no printf conversions", "%s%n%d", std::nullopt, 4, "%s%n4"},
    {"per-net name wins", "vcan%d", "vcan0", 3, "vcan0"},
    {"per-net name of another net", "vcan%d", "vcan0", 4, "vcan4"},
    {"empty per-net name falls back", "vcan%d", "", 3, "vcan3"},
    {"negative net", std::nullopt, std::nullopt, -1, ""},
    {"15 characters fit", "abcdefghijklm%d", std::nullopt, 10, "abcdefghijklm10"},
    {"16 characters do not", "abcdefghijklmn%d", std::nullopt, 10, ""},
    {"too long per-net name", std::nullopt, "0123456789abcdef", 3, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, SocketCanNames, ::testing::ValuesIn(kNameCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

CMSG cmsg(int32_t id, uint8_t len, std::vector<uint8_t> data) {
  CMSG m{};
  m.id = id;
  m.len = len;
  std::copy(data.begin(), data.end(), m.data);
  return m;
}

TEST(SocketCanFrames, DriverFrameToSocketCan) {
  struct Case {
    const char* what;
    CMSG in;
    canid_t id;
    uint8_t dlc;
    std::vector<uint8_t> data;  // all 8 bytes
  };
  const Case cases[] = {
      {"data", cmsg(0x123, 3, {1, 2, 3, 4, 5}), 0x123, 3, {1, 2, 3, 0, 0, 0, 0, 0}},
      {"empty", cmsg(0x7FF, 0, {9}), 0x7FF, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"eight bytes", cmsg(0, 8, {1, 2, 3, 4, 5, 6, 7, 8}), 0, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"remote keeps its length, carries no data",
       cmsg(0x705, NTCAN_RTR | 1, {0xAA}),
       0x705 | CAN_RTR_FLAG,
       1,
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"remote of length 0",
       cmsg(0x605, NTCAN_RTR, {}),
       0x605 | CAN_RTR_FLAG,
       0,
       {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const can_frame f = to_can_frame(c.in);
    EXPECT_EQ(f.can_id, c.id) << c.what;
    EXPECT_EQ(f.can_dlc, c.dlc) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(f.data, f.data + 8), c.data) << c.what;
  }
}

can_frame frame(canid_t id, uint8_t dlc, std::vector<uint8_t> data) {
  can_frame f{};
  f.can_id = id;
  f.can_dlc = dlc;
  std::copy(data.begin(), data.end(), f.data);
  return f;
}

TEST(SocketCanFrames, SocketCanToDriverFrame) {
  struct Case {
    const char* what;
    can_frame in;
    bool delivered;
    int32_t id;
    uint8_t len;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"data, bytes past the length dropped",
       frame(0x185, 2, {1, 2, 3, 4, 5, 6, 7, 8}),
       true,
       0x185,
       2,
       {1, 2, 0, 0, 0, 0, 0, 0}},
      {"remote",
       frame(0x705 | CAN_RTR_FLAG, 0, {}),
       true,
       0x705,
       NTCAN_RTR,
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"remote with length, data ignored",
       frame(0x605 | CAN_RTR_FLAG, 8, {7, 7}),
       true,
       0x605,
       NTCAN_RTR | 8,
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"length code above 8",
       frame(0x100, 15, {1, 2, 3, 4, 5, 6, 7, 8}),
       true,
       0x100,
       8,
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"29-bit identifier", frame(0x100 | CAN_EFF_FLAG, 1, {1}), false, 0, 0, {}},
      {"error frame", frame(CAN_ERR_FLAG | 0x40, 8, {}), false, 0, 0, {}},
  };
  for (const Case& c : cases) {
    CMSG m{};
    m.msg_lost = 7;
    ASSERT_EQ(from_can_frame(c.in, &m), c.delivered) << c.what;
    if (!c.delivered) continue;
    EXPECT_EQ(m.id, c.id) << c.what;
    EXPECT_EQ(m.len, c.len) << c.what;
    EXPECT_EQ(m.msg_lost, 0) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 8), c.data) << c.what;
  }
}

TEST(SocketCanFrames, LostCountSaturates) {
  EXPECT_EQ(lost_count(0), 0);
  EXPECT_EQ(lost_count(1), 1);
  EXPECT_EQ(lost_count(255), 255);
  EXPECT_EQ(lost_count(256), 255);
  EXPECT_EQ(lost_count(uint64_t{1} << 40), 255);
}

}  // namespace
