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
#include "frames.h"
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

}  // namespace canbus_test
