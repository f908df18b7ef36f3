// What the server's source files share (private to canbus-server): the stop flag, the stepped
// clock of --manual, and a few small helpers of the request handlers and the status table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config_file.h"
#include "requests.h"
#include "tavik_time.h"

namespace canbus_server {

// Set by request_stop() (SIGINT, SIGTERM): a long start-up and the serving loop end.
inline std::atomic<bool> g_stop{false};
// Nodes attaching at once at start-up.
inline constexpr int kAttachThreads = 32;
inline constexpr size_t kMaxString = 63;  // the identity strings' buffers hold 63 bytes and a zero

inline bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline std::string hex2(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

inline bool four(const Args& a, int v[4], std::string& error) {
  if (a.size() != 4) {
    error = "takes four integers";
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    if (!parse_int(a[i], v[i])) {
      error = "'" + quote_word(a[i]) + "' is not an integer";
      return false;
    }
  }
  return true;
}

inline std::string state_text(int state) {
  switch (state & 0x7F) {
    case 0:
      return "Boot-up";
    case 4:
      return "Stopped";
    case 5:
      return "Operational";
    case 0x7F:
      return "Preoperational";
    default:
      return "state " + hex2(state & 0x7F);
  }
}

// The clock of --manual: the time of the start plus what the ticks added, so that a tick is
// exactly 100 ms of the supervision's, the PDOs' and the devices' time however long it takes in
// real time (a loaded machine, a slow client). A pause (an upload waiting for a held answer)
// still takes its real time: a sleep, or a wait that runs out, moves the clock on to its end.
// Installed once and never destroyed: the lines' supervision threads outlive the server.
class SteppedClock : public tavik::Clock {
 public:
  SteppedClock() : start_(tavik::RealClock().now_ns()) {}
  int64_t now_ns() override { return start_ + offset_.load(); }
  void sleep_ns(int64_t ns) override {
    const int64_t end = now_ns() + ns;
    tavik::RealClock().sleep_ns(ns);
    reach(end);
  }
  bool wait_until(int64_t deadline_ns, WaitFn wait, void* ctx) override {
    const int64_t left = deadline_ns - now_ns();
    if (left <= 0) return wait(ctx, 0);
    if (wait(ctx, left)) return true;
    reach(deadline_ns);
    return wait(ctx, 0);
  }
  void advance(int64_t ns) {
    offset_ += ns;
    ticks_ += ns;
  }
  // What the ticks alone added.
  int64_t advanced() const { return ticks_.load(); }

 private:
  void reach(int64_t t) {
    int64_t o = offset_.load();
    while (start_ + o < t && !offset_.compare_exchange_weak(o, t - start_)) {
    }
  }
  const int64_t start_;
  std::atomic<int64_t> offset_{0};
  std::atomic<int64_t> ticks_{0};
};
inline SteppedClock* g_stepped = nullptr;

}  // namespace canbus_server
