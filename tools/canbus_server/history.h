// What canbus-server keeps of the past for its clients: the events (a bounded ring, newest first,
// with filters) and each process value's history (a bounded ring per value: every value interval
// its last, lowest and highest value, for the last hour, and thinned to minutes beyond it).
//
// Threads: both are safe to call from any thread; each holds a lock of its own, only for the
// copy in or out, so the event hub and the monitor's callbacks never wait on a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"

namespace canbus_server {

// One event as kept: its number, time and line (Event::text()), and what the filters look at.
struct KeptEvent {
  uint64_t seq = 0;  // 1, 2, ... in the order published
  int64_t t_ns = 0;  // framework clock (real time)
  Event::Kind kind = Event::Kind::kState;
  int line = 0;
  int node = 0;
  std::string name;  // the node property or the value
  std::string text;  // Event::text()
};

// "state", "emergency", "line-lost", ... : the first word of Event::text() of that kind.
const char* kind_name(Event::Kind k);

class EventLog {
 public:
  explicit EventLog(size_t capacity = 10000) : capacity_(capacity) {}
  void add(const Event& e, int64_t t_ns) { add(e, t_ns, e.text()); }
  // With the event's line made already (the hub has it).
  void add(const Event& e, int64_t t_ns, std::string text);

  struct Filter {
    std::vector<Event::Kind> kinds;  // empty: all
    int line = 0;                    // 0: all
    std::string name;                // a node property or value name, or a prefix ending in '.';
                                     // empty: all
    uint64_t after_seq = 0;          // only events newer than this
    size_t limit = 200;
  };
  // Newest first.
  std::vector<KeptEvent> query(const Filter& f) const;
  uint64_t last_seq() const;

 private:
  mutable std::mutex mx_;
  size_t capacity_;
  std::deque<KeptEvent> ring_;
  uint64_t seq_ = 0;
};

class ValueHistory {
 public:
  // `interval_ns`: one sample per value and interval (the server's value interval); `recent`:
  // samples kept at that resolution (3600 at 1 s: the last hour); `thinned`: samples of
  // `thinned_ns` each kept beyond (1440 minutes: a day).
  explicit ValueHistory(int64_t interval_ns = 1000000000, size_t recent = 3600,
                        int64_t thinned_ns = 60000000000, size_t thinned = 1440);

  // Every value as it arrives (not only those published as events).
  void add(const std::string& name, int64_t t_ns, double value);

  struct Sample {
    int64_t t_ns = 0;  // the interval's start
    double last = 0;
    double min = 0;
    double max = 0;
    uint32_t count = 0;  // values that arrived in it
  };
  // The samples of `name` from `from_ns` on, oldest first, the thinned ones before the recent
  // ones; false when `name` has no history.
  bool query(const std::string& name, int64_t from_ns, std::vector<Sample>& out) const;
  // Memory of all the rings, for the metrics and the benchmark: 32 bytes a sample kept (the
  // last value exact, the lowest and highest as floats rounded outwards), allocated at a value's
  // first add for the whole of both rings.
  size_t bytes() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace canbus_server
