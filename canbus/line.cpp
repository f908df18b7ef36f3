// A CAN line: its own driver handle, handles for the node properties attached to it, and the
// life cycle of its supervision thread.
//
// No lock guards a line. Its fields are atomics, read by every bus operation of the server's
// threads and written by the supervision thread (can_open(), can_close()) and by attaching node
// properties (can_open(handle, openalways)). Only the supervision thread's running flag is
// guarded, by run_mx_, so that stop_thread() can wait for the thread to return.
#include <chrono>
#include <string>
#include <system_error>

#include "D_esdcan.h"
#include "registry.h"
#if __has_include("ntcan_open_error.h")
#include "ntcan_open_error.h"
#endif

namespace {

constexpr int32_t kTxQueue = 10;      // frames
constexpr int32_t kRxQueue = 100;     // frames
constexpr int32_t kTimeoutMs = 1000;  // transmit and receive time-out
constexpr int kHandlePauseUs = 5000;  // after opening or closing a driver handle

std::string result_text(NTCAN_RESULT r) {
  // Widened with its sign, as every report of a driver result is.
  return can_error_str(static_cast<unsigned long>(static_cast<long>(r)));
}

// Beside the result, what the driver knows of the failure: which device the net stands for and
// what the system answered (our driver's extension; nothing from a driver without it, or with
// nothing to add).
void log_open_error() {
#ifdef NTCAN_HAS_OPEN_ERROR
  char text[256];
  if (canOpenError(text, sizeof text) == NTCAN_SUCCESS && text[0] != '\0') {
    tavik::printtostderr("canOpen failed: ", text, DF_LOG);
  }
#endif
}

}  // namespace

canline::canline() = default;

canline::~canline() {
  // A line must not be freed under its supervision thread. The thread looks at ThreadStop_ only
  // between pauses, so with the real clock this waits for the pause in progress (at most a
  // minute, longer while a gateway reset command runs).
  if (thread_running()) {
    while (!stop_thread()) {
    }
  }
}

int canline::can_open(NTCAN_HANDLE& handle, bool openalways) {
  if (linehandle_.load() > 0) {
    if (handle == -1 || openalways) return open_into(handle);
    if (handle > 0) {
      // The caller already holds a handle on an open line: nothing to do.
      is_open_ = true;
      err_first_ = false;
      return 0;
    }
    handle = -1;
    is_open_ = false;
    return -1;
  }
  if (!openalways) {
    handle = -1;
    is_open_ = false;
    return -1;
  }
  return open_into(handle);
}

int canline::can_open() {
  // The line's own handle is the caller's handle here. It is an atomic, so the opening works on
  // a copy and stores the outcome; a handle stored meanwhile by an attaching node property is
  // only overwritten when the opening changed the copy.
  NTCAN_HANDLE h = linehandle_.load();
  const NTCAN_HANDLE entry = h;
  const int r = open_into(h);
  if (h != entry && linehandle_.exchange(h) != h && h > 0) ++generation_;
  return r;
}

int canline::open_into(NTCAN_HANDLE& handle) {
  NTCAN_HANDLE h = -1;
  NTCAN_RESULT r = canOpen(line_.load() - 1, 0, kTxQueue, kRxQueue, kTimeoutMs, kTimeoutMs, &h);
  if (r != NTCAN_SUCCESS) {
    handle = -1;
    // exchange: attaching threads and the supervision thread may fail at the same moment, the
    // streak is still reported once.
    if (!err_first_.exchange(true)) {
      tavik::printtostderr("canOpen returned: ",
                           "Line : " + std::to_string(line_.load()) + "mess: " + result_text(r),
                           DF_LOG);
      log_open_error();
    }
    is_open_ = false;
    return r;
  }
  TAVIKsleep(0, kHandlePauseUs);
  r = canSetBaudrate(h, static_cast<uint32_t>(baudrate_.load()));
  if (r != NTCAN_SUCCESS) {
    tavik::printtostderr("canSetBaudrate returned: ", result_text(r), DF_LOG);
    is_open_ = false;
    canClose(h);  // the caller's handle and the line's handle stay as they were
    return r;
  }
  handle = h;
  // The first handle opened on a line becomes the line's own handle as well.
  NTCAN_HANDLE none = -1;
  if (linehandle_.compare_exchange_strong(none, h)) ++generation_;
  is_open_ = true;
  err_first_ = false;
  return 0;
}

int canline::can_close() {
  // Taken out in one step, so that two closing threads never close one handle twice.
  const NTCAN_HANDLE h = linehandle_.exchange(-1);
  if (h == -1) return 0;
  const NTCAN_RESULT r = canClose(h);
  if (r != NTCAN_SUCCESS) {
    tavik::printtostderr("canline::canClose returned: ", result_text(r), DF_LOG);
  }
  TAVIKsleep(0, kHandlePauseUs);
  is_open_ = false;
  return r;
}

void canline::start_thread() {
  {
    std::lock_guard<std::mutex> lk(run_mx_);
    if (running_) return;  // one supervision thread per line
    running_ = true;
  }
  ThreadStop_ = false;
  quiet_ = can_quiet();
  try {
    t1_ = std::thread(can_control, this);
    t1_.detach();
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lk(run_mx_);
      running_ = false;
    }
    tavik::printtostderr("canline::start_thread",
                         std::string("cannot start can_control: ") + e.what(), DF_LOG);
  }
}

bool canline::stop_thread(int timeout_ms) {
  ThreadStop_ = true;
  std::unique_lock<std::mutex> lk(run_mx_);
  return run_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [this] { return !running_; });
}

bool canline::thread_running() const {
  std::lock_guard<std::mutex> lk(run_mx_);
  return running_;
}

void canline::thread_done() {
  // The last touch of the line by its supervision thread: a waiter in stop_thread() may free
  // the line as soon as the lock is released, so notify while holding it.
  std::lock_guard<std::mutex> lk(run_mx_);
  running_ = false;
  run_cv_.notify_all();
}
