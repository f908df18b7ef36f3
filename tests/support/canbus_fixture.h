// Common fixture of the library's tests: a virtual clock, a clean virtual bus, captured log
// lines, a private working directory and gateway file, and a clean library state afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "D_esdcan.h"
#include "registry.h"
#include "tavik.h"
#include "vbus.h"

namespace canbus_test {

class CanbusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vbus::reset();
    clock_ = std::make_unique<tavik::ScopedVirtualClock>();
    log_ = std::make_unique<tavik::LogCapture>();
    char tmpl[] = "/tmp/canbus-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    gateway_file_ = dir_ + "/esd-plugin";
    write_file(gateway_file_, "# no gateways\n");
    setenv("CANBUS_ESD_PLUGIN", gateway_file_.c_str(), 1);
    TAVIK_debug = 0;
  }

  void TearDown() override {
    // Node properties of the test body are gone by now; end every supervision thread.
    (*clock_)->shutdown();
    canbus_reset_for_tests();
    clock_.reset();
    log_.reset();
    vbus::reset();
    std::filesystem::current_path(old_cwd_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    unsetenv("CANBUS_ESD_PLUGIN");
    TAVIK_debug = 0;
  }

  static void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
  }

  tavik::VirtualClock& clock() { return **clock_; }
  tavik::LogCapture& log() { return *log_; }

  std::unique_ptr<tavik::ScopedVirtualClock> clock_;
  std::unique_ptr<tavik::LogCapture> log_;
  std::string dir_;
  std::string gateway_file_;
  std::filesystem::path old_cwd_;
};

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

}  // namespace canbus_test
