// The backend seam: registration, choice by NTCAN_BACKEND, and the argument checks that every
// backend can rely on. The choice is made once per process, so each case that sets
// NTCAN_BACKEND runs in a child process of its own (a "threadsafe" death test re-executes the
// binary, which starts with no backend chosen).
#include "backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "ntcan.h"

namespace {

// Every call that reaches it, as text.
std::vector<std::string>& fake_calls() {
  static std::vector<std::string> calls;
  return calls;
}

class FakeBackend final : public ntcan::Backend {
 public:
  NTCAN_RESULT open(int net, uint32_t, int32_t, int32_t rxq, int32_t, int32_t,
                    NTCAN_HANDLE* h) override {
    log("open " + std::to_string(net) + " " + std::to_string(rxq));
    *h = 7;
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT close(NTCAN_HANDLE h) override {
    log("close " + std::to_string(h));
    if (h == 8) throw std::bad_alloc();
    if (h == 9) throw std::runtime_error("broken");
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT set_baudrate(NTCAN_HANDLE h, uint32_t b) override {
    log("baud " + std::to_string(h) + " " + std::to_string(b));
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT status(NTCAN_HANDLE h, CAN_IF_STATUS*) override {
    log("status " + std::to_string(h));
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT id_add(NTCAN_HANDLE h, int32_t id) override {
    log("add " + std::to_string(h) + " " + std::to_string(id));
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT id_delete(NTCAN_HANDLE h, int32_t id) override {
    log("delete " + std::to_string(h) + " " + std::to_string(id));
    return NTCAN_SUCCESS;
  }
  NTCAN_RESULT send(NTCAN_HANDLE h, const CMSG*, int32_t* n) override {
    log("send " + std::to_string(h) + " " + std::to_string(*n));
    return NTCAN_SUCCESS;
  }
  // Fails, but claims frames: the driver must report none.
  NTCAN_RESULT read(NTCAN_HANDLE h, CMSG*, int32_t* n) override {
    log("read " + std::to_string(h) + " " + std::to_string(*n));
    *n = 5;
    return NTCAN_RX_TIMEOUT;
  }
  NTCAN_RESULT take(NTCAN_HANDLE h, CMSG* f, int32_t* n) override {
    log("take " + std::to_string(h) + " " + std::to_string(*n));
    f[0] = CMSG{};
    f[0].id = 0x42;
    *n = 1;
    return NTCAN_SUCCESS;
  }

 private:
  static void log(std::string s) { fake_calls().push_back(std::move(s)); }
};

// Registered the way a backend's own source file registers itself.
const bool fake_registered = ntcan::register_backend(
    "test-fake", [] { return std::unique_ptr<ntcan::Backend>(std::make_unique<FakeBackend>()); });

class BackendSeamTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Ends a death-test child: 0 when `failures` is empty, else prints them.
[[noreturn]] void finish(const std::vector<std::string>& failures) {
  for (const auto& f : failures) std::fprintf(stderr, "%s\n", f.c_str());
  std::exit(failures.empty() ? 0 : 1);
}

#define CHILD_EXPECT(failures, cond) \
  if (!(cond)) (failures).push_back(std::string("failed: ") + #cond)

// Bodies of the child processes.
[[noreturn]] void child_default() {
  unsetenv("NTCAN_BACKEND");
  std::vector<std::string> failures;
  CHILD_EXPECT(failures, ntcan::active_backend_name() == "virtual");
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ::testing::internal::CaptureStderr();
  CHILD_EXPECT(failures, canOpen(0, 0, 10, 100, 1000, 1000, &h) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, canClose(h) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, canOpen(0, 0, 10, 100, 1000, 1000, &h) == NTCAN_SUCCESS);
  // The backend is named once, at the first canOpen.
  CHILD_EXPECT(failures, ::testing::internal::GetCapturedStderr() ==
                             "ntcan: virtual bus backend (simulation; NTCAN_BACKEND=socketcan "
                             "for real interfaces)\n");
  finish(failures);
}

[[noreturn]] void child_unknown() {
  setenv("NTCAN_BACKEND", "no-such-backend", 1);
  std::vector<std::string> failures;
  NTCAN_HANDLE h = 99;
  CHILD_EXPECT(failures, canOpen(0, 0, 10, 100, 1000, 1000, &h) == NTCAN_INVALID_DRIVER);
  CHILD_EXPECT(failures, h == NTCAN_NO_HANDLE);
  CHILD_EXPECT(failures, canOpen(5, 0, 10, 100, 1000, 1000, &h) == NTCAN_INVALID_DRIVER);
  CMSG f{};
  int32_t n = 1;
  CHILD_EXPECT(failures, canTake(1, &f, &n) == NTCAN_INVALID_HANDLE);
  CHILD_EXPECT(failures, n == 0);
  CHILD_EXPECT(failures, canClose(1) == NTCAN_INVALID_HANDLE);
  CHILD_EXPECT(failures, ntcan::active_backend() == nullptr);
  finish(failures);
}

[[noreturn]] void child_fake() {
  setenv("NTCAN_BACKEND", "test-fake", 1);
  std::vector<std::string> failures;
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  CHILD_EXPECT(failures, canOpen(3, 0, 10, 64, 1000, 1000, &h) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, h == 7);

  CMSG f[2]{};
  f[0].id = 0x100;
  f[1].id = 0x101;
  f[1].len = NTCAN_RTR | 8;
  int32_t n = 2;
  // Refused before the backend:
  CHILD_EXPECT(failures, canSend(-1, f, &n) == NTCAN_INVALID_HANDLE);
  n = 0;
  CHILD_EXPECT(failures, canSend(h, f, &n) == NTCAN_INVALID_PARAMETER);
  f[0].len = 9;
  n = 2;
  CHILD_EXPECT(failures, canSend(h, f, &n) == NTCAN_INVALID_PARAMETER);
  f[0].len = 0;
  CHILD_EXPECT(failures, canIdAdd(h, 0x800) == NTCAN_INVALID_PARAMETER);
  CHILD_EXPECT(failures, canIdDelete(h, -5) == NTCAN_INVALID_PARAMETER);
  CHILD_EXPECT(failures, canSetBaudrate(h, 15) == NTCAN_INVALID_PARAMETER);
  CHILD_EXPECT(failures, canStatus(0, nullptr) == NTCAN_INVALID_HANDLE);
  // Passed on:
  n = 2;
  CHILD_EXPECT(failures, canSend(h, f, &n) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, canIdAdd(h, 0x7FF) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, canSetBaudrate(h, 14) == NTCAN_SUCCESS);
  n = 3;
  CHILD_EXPECT(failures, canRead(h, f, &n, nullptr) == NTCAN_RX_TIMEOUT);
  CHILD_EXPECT(failures, n == 0);
  n = 2;
  CHILD_EXPECT(failures, canTake(h, f, &n) == NTCAN_SUCCESS);
  CHILD_EXPECT(failures, n == 1 && f[0].id == 0x42);
  CHILD_EXPECT(failures, canClose(8) == NTCAN_INSUFFICIENT_RESOURCES);
  CHILD_EXPECT(failures, canClose(9) == NTCAN_INVALID_DRIVER);

  const std::vector<std::string> want = {"open 3 64", "send 7 2", "add 7 2047", "baud 7 14",
                                         "read 7 3",  "take 7 2", "close 8",    "close 9"};
  if (fake_calls() != want) {
    for (const auto& c : fake_calls()) failures.push_back("call: " + c);
  }
  finish(failures);
}

TEST_F(BackendSeamTest, RegistryHoldsTheBuiltInAndRegisteredBackends) {
  ASSERT_TRUE(fake_registered);
  auto names = ntcan::backend_names();
  EXPECT_NE(std::find(names.begin(), names.end(), "virtual"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "test-fake"), names.end());
  EXPECT_NE(ntcan::make_backend("virtual"), nullptr);
  EXPECT_EQ(ntcan::make_backend("no-such-backend"), nullptr);
  EXPECT_EQ(ntcan::make_backend(""), nullptr);
}

TEST_F(BackendSeamTest, VirtualBusIsTheDefault) {
  EXPECT_EXIT(child_default(), ::testing::ExitedWithCode(0), "");
}

TEST_F(BackendSeamTest, UnknownBackendFailsEveryCall) {
  EXPECT_EXIT(child_unknown(), ::testing::ExitedWithCode(0),
              "ntcan: no backend named \"no-such-backend\"");
}

// Only checked arguments reach a backend, and results are passed back as the driver's.
TEST_F(BackendSeamTest, CallsReachTheChosenBackendWithCheckedArgumentsOnly) {
  EXPECT_EXIT(child_fake(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
