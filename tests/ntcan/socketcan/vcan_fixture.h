// Harness of the SocketCAN tests that need a kernel with SocketCAN and the interface vcan0
// (scripts/uml-run provides both). Without vcan0 every test skips.
//
// The tests talk to the bus through the driver's C API with NTCAN_BACKEND=socketcan and net n
// on vcan<n>; the can-utils programs (cansend, candump, cangen) are the independent peer.
// Frames from another process arrive asynchronously: a test that must know that they are all
// queued sends a sentinel frame after them with the same tool and waits for it on a witness
// handle (the kernel delivers the frames of one interface in order).
#pragma once

#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "ntcan.h"
#include "support/driver_io.h"
#include "support/frames.h"
#include "support/vcan_peers.h"

extern char** environ;

namespace socketcan_test {

constexpr int32_t kSentinel = 0x7FF;  // no test enables it on a handle under test
constexpr int32_t kLongTimeoutMs = 10000;

inline bool have_interface(const std::string& name) {
  return ::if_nametoindex(name.c_str()) != 0;
}

// Runs a shell command line; its exit status (-1 if it could not run).
inline int sh(const std::string& command) {
  const int status = std::system(command.c_str());
  return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

using canbus_test::catch_all_receivers;
using canbus_test::wait_until;

// A child process whose standard output the test reads; killed (by its pid) if still running
// at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_) std::fclose(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() const { return pid_ > 0; }
  // Sends `sig` and waits: the exit status, or -1 if the child did not exit by itself.
  int terminate(int sig) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Output lines until the child closes its output.
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    char buf[512];
    while (out_ && std::fgets(buf, sizeof buf, out_)) {
      std::string line(buf);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      out.push_back(line);
    }
    if (pid_ > 0) {
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    return out;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

// candump printing `count` frames of `ifname` in its log form, then ending. The constructor
// returns once candump receives.
class Candump {
 public:
  Candump(const std::string& ifname, int count)
      : before_(catch_all_receivers(ifname)),
        child_({"timeout", "30", "candump", "-L", "-n", std::to_string(count), ifname}) {
    ready_ = child_.running() && wait_until([&] { return catch_all_receivers(ifname) > before_; });
  }
  bool ready() const { return ready_; }
  // The frames as "ID#DATA" ("705#R", "605#R8" for remote frames), in order.
  std::vector<std::string> frames() {
    std::vector<std::string> out;
    for (const auto& line : child_.lines()) {
      std::istringstream words(line);
      std::string stamp, iface, text;
      if (words >> stamp >> iface >> text) out.push_back(text);
    }
    return out;
  }

 private:
  int before_;
  Child child_;
  bool ready_ = false;
};

class SocketCanVcanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_interface("vcan0")) GTEST_SKIP() << "no vcan0 here (scripts/uml-run has one)";
    if (sh("command -v cansend candump cangen >/dev/null") != 0) {
      GTEST_SKIP() << "can-utils are not installed";
    }
    ::setenv("NTCAN_BACKEND", "socketcan", 1);
    ::setenv("NTCAN_SOCKETCAN_IFNAME", "vcan%d", 1);
    ::unsetenv("NTCAN_SOCKETCAN_IF0");
    ASSERT_EQ(ntcan::active_backend_name(), "socketcan")
        << "another backend was chosen before this test";
  }

  void TearDown() override {
    for (NTCAN_HANDLE h : opened_) canClose(h);
  }

  NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids = {}, int32_t rxqueue = 100,
                    int32_t rxtimeout = kLongTimeoutMs) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 10, rxqueue, 1000, rxtimeout, &h), NTCAN_SUCCESS) << net;
    if (h > 0) opened_.push_back(h);
    for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS) << id;
    return h;
  }

  // Sends the sentinel with cansend on `ifname` and waits for it on a witness handle of `net`:
  // afterwards every frame put on the interface before is queued.
  void settle_external(int net, const std::string& ifname) {
    if (witness_ <= 0) witness_ = open(net, {kSentinel}, 1000);
    ASSERT_EQ(sh("cansend " + ifname + " 7FF#"), 0);
    CMSG got{};
    int32_t n = 1;
    ASSERT_EQ(canRead(witness_, &got, &n, nullptr), NTCAN_SUCCESS);
    ASSERT_EQ(got.id, kSentinel);
  }

  static std::vector<CMSG> take_all(NTCAN_HANDLE h) { return canbus_test::take_all(h, 2048); }
  static CMSG read_one(NTCAN_HANDLE h) { return canbus_test::read_one(h); }

  static NTCAN_RESULT send(NTCAN_HANDLE h, CMSG f) {
    int32_t n = 1;
    return canSend(h, &f, &n);
  }

  std::vector<NTCAN_HANDLE> opened_;
  NTCAN_HANDLE witness_ = NTCAN_NO_HANDLE;
};

inline CMSG frame(int32_t id, std::initializer_list<uint8_t> data) {
  return canbus_test::make_frame(id, data);
}
inline CMSG remote(int32_t id, uint8_t dlc) {
  return canbus_test::make_remote(id, dlc);
}

}  // namespace socketcan_test
