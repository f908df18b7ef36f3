// Frame helpers for tests: the can-utils text form of a frame, and building frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "ntcan.h"

namespace canbus_test {

// A CAN frame in the can-utils text form, "605#4008100000000000" (remote: "705#R").
inline std::string frame_text(const CMSG& m) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%03X#", static_cast<unsigned>(m.id));
  if (m.len & NTCAN_RTR) {
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "R%d", m.len & 0x0F);
    return buf;
  }
  int dlc = m.len & 0x0F;
  if (dlc > 8) dlc = 8;
  for (int i = 0; i < dlc; ++i) {
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", m.data[i]);
  }
  return buf;
}

inline CMSG make_frame(int32_t id, std::initializer_list<uint8_t> data) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  int i = 0;
  for (uint8_t b : data) m.data[i++] = b;
  return m;
}

inline CMSG make_remote(int32_t id, uint8_t dlc) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(NTCAN_RTR | dlc);
  return m;
}

}  // namespace canbus_test
