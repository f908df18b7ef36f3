// Common set-up of the benchmarks: a world of node properties attached to the virtual bus, with
// the clock the measurement needs and a clean library state afterwards.
#pragma once

#include <stdlib.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "registry.h"
#include "tavik.h"
#include "vbus.h"

namespace canbus_bench {

// Line n is driver net n - 1.
constexpr int net_of(int line) {
  return line - 1;
}

// A node property whose value is set the way the configuration reader would (no change log).
class BenchNode : public D_can {
 public:
  BenchNode(const std::string& name, EqFct* loc, int line, int node, int i3 = 0, int i4 = 0)
      : D_can(name + " benchmark node", loc) {
    std::lock_guard<std::mutex> lk(mx_loop);
    canIdent_.i1_data = line;
    canIdent_.i2_data = node;
    canIdent_.i3_data = i3;
    canIdent_.i4_data = i4;
  }
};

// Real time for everything a measurement uses (time readings, the SDO client's waits for the bus,
// the 5 ms pauses around handle opening), while the pauses of a second or more that the lines'
// supervision threads take wait until shutdown(): the threads stay asleep and cost nothing.
class ParkingClock : public tavik::Clock {
 public:
  static constexpr int64_t kParkFrom = 1'000'000'000;  // ns

  ParkingClock() { tavik::set_clock(this); }
  ~ParkingClock() override {
    shutdown();
    std::unique_lock<std::mutex> lk(mx_);
    cv_.wait(lk, [this] { return inside_ == 0; });
    tavik::set_clock(nullptr);
  }
  ParkingClock(const ParkingClock&) = delete;
  ParkingClock& operator=(const ParkingClock&) = delete;

  int64_t now_ns() override { return real_.now_ns(); }
  void sleep_ns(int64_t ns) override {
    if (ns < kParkFrom) {
      real_.sleep_ns(ns);
      return;
    }
    std::unique_lock<std::mutex> lk(mx_);
    if (released_) return;
    ++inside_;
    cv_.wait(lk, [this] { return released_; });
    --inside_;
    cv_.notify_all();
  }
  // Every parked pause ends, and later ones return at once.
  void shutdown() {
    std::lock_guard<std::mutex> lk(mx_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  tavik::RealClock real_;
  std::mutex mx_;
  std::condition_variable cv_;
  int inside_ = 0;
  bool released_ = false;
};

// The library's process-wide state for one benchmark run: a clean virtual bus, a location for
// the node properties, and the lines their attachment creates. The destructor removes the
// properties, ends the supervision threads and leaves bus and registries empty.
class World {
 public:
  enum class Time {
    kVirtual,  // every pause is virtual: for set-ups with many lines and handles
    kParked,   // real time, supervision pauses parked: for measurements that wait for the bus
  };

  explicit World(Time time = Time::kVirtual) : log_(false) {
    // No gateway file: no line has a gateway address.
    setenv("CANBUS_ESD_PLUGIN", "/dev/null", 1);
    vbus::reset();
    if (time == Time::kVirtual) {
      virtual_ = std::make_unique<tavik::ScopedVirtualClock>();
    } else {
      parked_ = std::make_unique<ParkingClock>();
    }
    loc_ = std::make_unique<EqFct>("BENCH.CAN");
  }

  ~World() {
    nodes_.clear();
    if (virtual_) (*virtual_)->shutdown();
    if (parked_) parked_->shutdown();
    canbus_reset_for_tests();
    virtual_.reset();
    parked_.reset();
    loc_.reset();
    vbus::reset();
  }

  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // A new node property of the location, named by the prefix and a running number; not
  // attached.
  BenchNode& add(int line, int node, int i3 = 0, int i4 = 0) {
    nodes_.push_back(std::make_unique<BenchNode>(prefix_ + std::to_string(nodes_.size()),
                                                 loc_.get(), line, node, i3, i4));
    return *nodes_.back();
  }
  void name_prefix(const std::string& prefix) { prefix_ = prefix; }

  // A new master of (line, node) receiving `ident`; nullptr if the attachment failed.
  BenchNode* master(int line, int node, int ident) {
    BenchNode& n = add(line, node);
    return n.init(ident) == 0 ? &n : nullptr;
  }

  EqFct* location() { return loc_.get(); }
  // The virtual clock (kVirtual only).
  tavik::VirtualClock* virtual_clock() { return virtual_ ? &**virtual_ : nullptr; }
  std::vector<std::unique_ptr<BenchNode>>& nodes() { return nodes_; }

 private:
  tavik::LogCapture log_;  // keeps the set-up's log lines off the benchmark output
  std::unique_ptr<tavik::ScopedVirtualClock> virtual_;
  std::unique_ptr<ParkingClock> parked_;
  std::unique_ptr<EqFct> loc_;
  std::vector<std::unique_ptr<BenchNode>> nodes_;
  std::string prefix_ = "CAN";
};

}  // namespace canbus_bench
