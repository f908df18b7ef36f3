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
#include "scratch_dir.h"
#include "tavik.h"
#include "vbus.h"

namespace canbus_test {

class CanbusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vbus::reset();
    clock_ = std::make_unique<tavik::ScopedVirtualClock>();
    log_ = std::make_unique<tavik::LogCapture>();
    scratch_ = std::make_unique<ScratchDir>("canbus-test");
    dir_ = scratch_->path();
    gateway_file_ = scratch_->gateway_file();
    TAVIK_debug = 0;
  }

  void TearDown() override {
    // Node properties of the test body are gone by now; end every supervision thread.
    (*clock_)->shutdown();
    canbus_reset_for_tests();
    clock_.reset();
    log_.reset();
    vbus::reset();
    scratch_.reset();
    TAVIK_debug = 0;
  }

  static void write_file(const std::string& path, const std::string& text) {
    ScratchDir::write_file(path, text);
  }

  tavik::VirtualClock& clock() { return **clock_; }
  tavik::LogCapture& log() { return *log_; }

  std::unique_ptr<tavik::ScopedVirtualClock> clock_;
  std::unique_ptr<tavik::LogCapture> log_;
  std::unique_ptr<ScratchDir> scratch_;
  std::string dir_;
  std::string gateway_file_;
};

}  // namespace canbus_test
