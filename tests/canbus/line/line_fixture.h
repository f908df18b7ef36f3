// Fixture of the CAN line tests: virtual clock, clean virtual bus, captured log, a private
// working directory with its own gateway file, and a fake `wget` first in PATH that records its
// arguments instead of contacting anything.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "D_esdcan.h"
#include "registry.h"
#include "support/scratch_dir.h"
#include "tavik.h"
#include "vbus.h"

// Reaches the private handle of a line (a friend of canline).
struct canline_test_access {
  static void set_handle(canline& l, NTCAN_HANDLE h) { l.linehandle_ = h; }
};

namespace canline_test {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kHandlePause = 5'000'000;  // 5 ms

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vbus::reset();
    clock_ = std::make_unique<tavik::ScopedVirtualClock>();
    log_ = std::make_unique<tavik::LogCapture>();
    scratch_ = std::make_unique<canbus_test::ScratchDir>("canline-test");
    dir_ = scratch_->path();
    gateway_file_ = scratch_->gateway_file();
    TAVIK_debug = 0;

    wget_log_ = dir_ + "/wget.log";
    std::filesystem::create_directory(dir_ + "/bin");
    const std::string wget = dir_ + "/bin/wget";
    write_file(wget, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + wget_log_ + "'\n");
    ASSERT_EQ(chmod(wget.c_str(), 0755), 0);
    const char* path = getenv("PATH");
    old_path_ = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", (dir_ + "/bin:" + old_path_).c_str(), 1);
  }

  void TearDown() override {
    // Stop first, then let every pause end at once, then wait for the threads to return.
    for (auto& l : lines_) l->ThreadStop_ = true;
    clock().shutdown();
    for (auto& l : lines_) EXPECT_TRUE(l->stop_thread());
    lines_.clear();
    clock_.reset();
    log_.reset();
    vbus::reset();
    setenv("PATH", old_path_.c_str(), 1);
    scratch_.reset();
    TAVIK_debug = 0;
  }

  // A line of the fixture, closed, with the 125 kbit/s code.
  canline& make_line(int lineno, int baud = NTCAN_BAUD_125) {
    lines_.push_back(std::make_unique<canline>());
    canline& l = *lines_.back();
    l.setline(lineno);
    l.setbaud(baud);
    return l;
  }

  static void write_file(const std::string& path, const std::string& text) {
    canbus_test::ScratchDir::write_file(path, text);
  }

  // Argument lines of the fake wget, one per run.
  std::vector<std::string> wget_runs() const {
    std::vector<std::string> runs;
    std::ifstream f(wget_log_);
    for (std::string s; std::getline(f, s);) runs.push_back(s);
    return runs;
  }

  std::vector<std::string> messages(const std::string& label) const {
    std::vector<std::string> out;
    for (const auto& e : log_->with_label(label)) out.push_back(e.message);
    return out;
  }

  // Pauses of a second or more, in whole seconds: the supervision schedule without the 5 ms
  // pauses around driver handles.
  std::vector<int64_t> long_pauses() {
    std::vector<int64_t> out;
    for (int64_t ns : clock().sleeps()) {
      if (ns >= kSecond) out.push_back(ns / kSecond);
    }
    return out;
  }

  // The last pause of a second or more requested so far, in seconds (0 if none).
  int64_t last_long_pause() {
    const auto s = clock().sleeps();
    for (auto it = s.rbegin(); it != s.rend(); ++it) {
      if (*it >= kSecond) return *it / kSecond;
    }
    return 0;
  }

  // Waits until the supervision thread blocks in a pause; returns that pause in seconds. The
  // clock takes a released sleeper off its list at once, so after an advance this waits for
  // the next pause.
  int64_t wait_pause() {
    EXPECT_TRUE(clock().wait_for_sleepers(1));
    return last_long_pause();
  }

  // Ends the pause in progress and waits for the next one; returns it in seconds.
  int64_t step() {
    clock().advance_to_next_wakeup();
    return wait_pause();
  }

  // Starts the line's supervision thread and waits for its start-up pause.
  void start(canline& l) {
    l.start_thread();
    ASSERT_EQ(wait_pause(), 60);
  }

  tavik::VirtualClock& clock() { return **clock_; }
  tavik::LogCapture& log() { return *log_; }

  std::unique_ptr<tavik::ScopedVirtualClock> clock_;
  std::unique_ptr<tavik::LogCapture> log_;
  std::vector<std::unique_ptr<canline>> lines_;
  std::unique_ptr<canbus_test::ScratchDir> scratch_;
  std::string dir_;
  std::string gateway_file_;
  std::string wget_log_;
  std::string old_path_;
};

}  // namespace canline_test
