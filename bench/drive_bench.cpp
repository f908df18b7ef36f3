// Motor drives: the cost of the cyclic path and of a statusword.
//
// BM_DriveCyclicSync: ten drives on one line with a 1 ms SYNC, two of a cycle of one SYNC and
// eight of four (as in the drive tests): each SYNC producer tick sends the SYNC and four RPDOs
// from the drives' listeners (source called, target scaled, frame encoded, can_write). The
// simulated drives are taken off the bus once enabled, so that only the library's side is timed.
// Items are RPDOs.
//
// BM_DriveStatusword: one drive's share of a TPDO1 (statusword + mode display) as the monitor
// hands it over: routing by index, decoding, the events of a changed statusword (target reached
// going on and off) to a listener, and the operation's progress.
//
// BM_DriveCyclicRealTime: ten simulated drives on one line of the virtual bus, each answering with
// real-bus timing (its own processing delay, then the frame time at 1 Mbit/s, on the
// simulation's thread, never inline in the sender's) and stepping its model every millisecond on
// a thread of its own. The line's SYNC producer runs on its own thread at a 1 ms period with
// normal scheduling. Two drives take a target every SYNC (cycle_syncs 1), eight every fourth
// (cycle_syncs 4, spread over the four SYNCs by node id); the drives' TPDOs (statusword, actual
// position and velocity) reach the node monitor's thread meanwhile. For state.range(0) seconds:
//  - lib_cpu_us: processor time of the SYNC thread spent in the drives' listeners per SYNC
//    (reading the target from the source, encoding, sending the RPDO), p50 and p99;
//  - sync_to_last_rpdo_us: from each SYNC leaving to the last target RPDO of its cycle handed to
//    the bus (host side: the wire adds 47 + 8 x 4 bit times per frame at the line's rate),
//    p50/p99/max;
//  - cycles_missed: drive cycles whose target did not go out between their SYNC and the next
//    one; skipped: SYNC periods the producer passed over.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "can_drive.h"
#include "canopen_node.h"
#include "drive_model.h"

namespace canbus_bench {
namespace {

constexpr int kLine = 1;
constexpr int kDrives = 10;

struct Drives {
  World w;
  canbus::SyncProducer sync{kLine};
  std::unique_ptr<canbus::NodeMonitor> mon = std::make_unique<canbus::NodeMonitor>();
  std::vector<std::unique_ptr<sim::VbusNode>> sims;
  std::vector<std::shared_ptr<sim::DriveModel>> models;
  std::vector<std::unique_ptr<canbus::Drive>> drives;
  uint64_t events = 0;

  bool build(int n) {
    sync.start(1000, 0, false);
    for (int node = 1; node <= n; ++node) {
      BenchNode* p = w.master(kLine, node, 0x580 + node);
      if (p == nullptr) return false;
      sims.push_back(std::make_unique<sim::VbusNode>(net_of(kLine), node));
      models.push_back(sim::make_drive(sims.back()->logic()));
      canbus::DriveConfig dc;
      dc.sync = &sync;
      dc.cycle_syncs = node <= 2 ? 1 : 4;
      dc.monitor = mon.get();
      dc.scale = {1000, 1000, "mm"};
      drives.push_back(std::make_unique<canbus::Drive>(*p, dc));
      drives.back()->set_listener([this](const canbus::DriveEvent&) { ++events; });
      canbus::NodeConfig nc;
      nc.mode = canbus::Supervision::kNone;
      if (mon->add(p, nc, drives.back()->callbacks()) != 0) return false;
      step();
      if (!drives.back()->setup().ok || p->start_node() != 0) return false;
    }
    for (auto& d : drives) d->enable();
    for (int i = 0; i < 50; ++i) step();
    for (auto& d : drives) {
      if (d->status().state != canbus::DriveState::kOperationEnabled) return false;
    }
    return true;
  }
  void step() {
    w.virtual_clock()->advance(1'000'000);
    for (auto& s : sims) s->pdo_tick();
    mon->poll();
    for (auto& d : drives) d->poll(tavik::clock().now_ns());
  }
};

void BM_DriveCyclicSync(benchmark::State& state) {
  Drives d;
  if (!d.build(kDrives)) {
    state.SkipWithError("set-up failed");
    return;
  }
  for (size_t i = 0; i < d.drives.size(); ++i) {
    const double base = static_cast<double>(i);
    d.drives[i]->start_cyclic(canbus::DriveMode::kCyclicSyncPosition,
                              [base](const canbus::SyncEvent& e) {
                                return base + static_cast<double>(e.sequence % 1000) * 1e-3;
                              });
  }
  d.sims.clear();  // off the bus: the library's side only
  vbus::set_sent_limit(16);
  const canbus::SyncStats before = d.sync.stats();
  for (auto _ : state) {
    d.w.virtual_clock()->advance(1'000'000);
    benchmark::DoNotOptimize(d.sync.tick());
  }
  const canbus::SyncStats after = d.sync.stats();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 4);
  state.counters["syncs"] = static_cast<double>(after.sent - before.sent);
  for (auto& x : d.drives) x->stop_cyclic();
}
BENCHMARK(BM_DriveCyclicSync);

void BM_DriveStatusword(benchmark::State& state) {
  Drives d;
  if (!d.build(1)) {
    state.SkipWithError("set-up failed");
    return;
  }
  canbus::Drive& drive = *d.drives.front();
  d.sims.clear();
  canbus::PdoValues v;
  v.pdo = 1;
  v.values = {canbus::Value::of_uint(0x0237), canbus::Value::of_int(1)};
  uint16_t sw = 0x0237;
  for (auto _ : state) {
    sw ^= canbus::statusword::kTargetReached;
    v.values[0] = canbus::Value::of_uint(sw);
    v.time_ns += 1'000'000;
    drive.on_pdo(1, v);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  benchmark::DoNotOptimize(d.events);
}
BENCHMARK(BM_DriveStatusword);

constexpr int kFast = 2;  // nodes 1..2 every SYNC
constexpr int kSlow = 8;  // nodes 3..10 every 4th SYNC
static_assert(kFast + kSlow == kDrives, "two fast and eight slow drives");
constexpr int64_t kSyncUs = 1000;

int64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// What the bus saw, timed as it was handed over: the SYNCs and the target RPDOs (RPDO4,
// 0x500 + node), kept in arrays sized for the run so that recording costs no allocation.
struct Tap {
  struct Item {
    int64_t t;
    int node;  // 0 for a SYNC
  };
  std::vector<Item> items;
  std::atomic<size_t> n{0};
  std::atomic<bool> on{false};
  explicit Tap(size_t cap) : items(cap) {}
  void frame(const CMSG& f) {
    if (!on.load(std::memory_order_relaxed)) return;
    int node = -1;
    if (f.id == 0x080) {
      node = 0;
    } else if (f.id > 0x500 && f.id <= 0x500 + kDrives) {
      node = f.id - 0x500;
    }
    if (node < 0) return;
    const size_t i = n.fetch_add(1, std::memory_order_relaxed);
    if (i < items.size()) items[i] = {tavik::clock().now_ns(), node};
  }
};

void BM_DriveCyclicRealTime(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  World w(World::Time::kParked);
  vbus::set_sent_limit(0);
  std::vector<std::unique_ptr<sim::VbusNode>> sims;
  std::vector<std::unique_ptr<canbus::Drive>> drives;
  canbus::SyncProducer sync(kLine);
  canbus::NodeMonitor monitor;
  for (int node = 1; node <= kDrives; ++node) {
    BenchNode* n = w.master(kLine, node, 0x580 + node);
    if (n == nullptr) {
      state.SkipWithError("attachment failed");
      return;
    }
    sims.push_back(std::make_unique<sim::VbusNode>(net_of(kLine), node));
    sim::make_drive(sims.back()->logic());
    sims.back()->set_timing(std::chrono::microseconds(20), 1'000'000);
    sims.back()->start_heartbeat();  // steps the model and sends the TPDOs
    canbus::DriveConfig dc;
    dc.sync = &sync;
    dc.monitor = &monitor;
    dc.cycle_syncs = node <= kFast ? 1 : 4;
    drives.push_back(std::make_unique<canbus::Drive>(*n, dc));
    canbus::NodeConfig nc;
    nc.mode = canbus::Supervision::kNone;
    if (monitor.add(n, nc, drives.back()->callbacks()) != 0) {
      state.SkipWithError("supervision failed");
      return;
    }
  }
  monitor.start(10);
  sync.start(kSyncUs);
  for (size_t i = 0; i < drives.size(); ++i) {
    canbus::Drive& d = *drives[i];
    canbus::DriveResult r = d.setup();
    if (r.ok && d.node().start_node() == 0) {
      std::string why;
      r = d.enable(&why) ? d.wait(5000) : canbus::DriveResult{false, false, why};
    }
    if (!r.ok) {
      state.SkipWithError(("drive set-up failed: " + r.text).c_str());
      return;
    }
  }
  const size_t syncs = static_cast<size_t>(seconds) * 1'000'000 / kSyncUs;
  Tap tap(syncs * (1 + kFast + kSlow / 4) + 4096);
  const int dev = vbus::attach_device(net_of(kLine), [&tap](int, const CMSG& f) { tap.frame(f); });

  // Processor time of the drives' listeners: one listener before them, one after.
  std::vector<double> cpu_us;
  cpu_us.reserve(syncs + 16);
  std::atomic<int64_t> cpu_begin{0};
  std::mutex cpu_mx;
  sync.add_listener([&](const canbus::SyncEvent&) { cpu_begin = thread_cpu_ns(); });
  for (auto& d : drives) {
    const double phase = static_cast<double>(d->node().value().i2_data);
    std::string why;
    if (!d->start_cyclic(
            canbus::DriveMode::kCyclicSyncPosition,
            [phase](const canbus::SyncEvent& ev) {
              return 2000.0 * std::sin(static_cast<double>(ev.sequence) * 0.001 + phase);
            },
            &why) ||
        !d->wait(5000).ok) {
      state.SkipWithError(("cyclic start failed: " + why).c_str());
      return;
    }
  }
  sync.add_listener([&](const canbus::SyncEvent&) {
    const int64_t c = thread_cpu_ns() - cpu_begin.load();
    std::lock_guard<std::mutex> lk(cpu_mx);
    if (cpu_us.size() < cpu_us.capacity()) cpu_us.push_back(static_cast<double>(c) / 1000.0);
  });
  const canbus::SyncStats before = sync.stats();

  for (auto _ : state) {
    tap.on = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    tap.on = false;
  }
  const canbus::SyncStats after = sync.stats();
  for (auto& d : drives) d->stop_cyclic();
  sync.stop();
  monitor.stop();
  vbus::detach_device(dev);
  for (auto& s : sims) s->stop_heartbeat();

  // Cycles: between SYNC k and SYNC k+1 every fast drive sends once, and each slow drive once
  // in every fourth interval (its phase); the latency of SYNC k is that of its last RPDO.
  const size_t count = std::min(tap.n.load(), tap.items.size());
  std::vector<double> lat_us;
  uint64_t missed = 0;
  uint64_t cycles = 0;
  size_t i = 0;
  while (i < count && tap.items[i].node != 0) ++i;
  std::vector<int> seen(kDrives + 1, 0);
  std::vector<int> due(kDrives + 1, 0);
  while (i < count) {
    const int64_t t_sync = tap.items[i].t;
    size_t j = i + 1;
    int64_t last = 0;
    std::fill(seen.begin(), seen.end(), 0);
    for (; j < count && tap.items[j].node != 0; ++j) {
      seen[static_cast<size_t>(tap.items[j].node)] = 1;
      last = tap.items[j].t;
    }
    if (j >= count) break;  // the last interval is cut short by the end of the run
    int expected = 0;
    for (int node = 1; node <= kDrives; ++node) {
      // A slow drive is due when it sent in this interval or did not for four intervals.
      if (node <= kFast || seen[static_cast<size_t>(node)] != 0 ||
          ++due[static_cast<size_t>(node)] >= 4) {
        ++expected;
        ++cycles;
        if (seen[static_cast<size_t>(node)] == 0) ++missed;
        due[static_cast<size_t>(node)] = 0;
      }
    }
    if (last != 0 && expected > 0) lat_us.push_back(static_cast<double>(last - t_sync) / 1000.0);
    i = j;
  }
  state.counters["syncs"] = static_cast<double>(after.sent - before.sent);
  state.counters["skipped"] = static_cast<double>(after.skipped - before.skipped);
  state.counters["drive_cycles"] = static_cast<double>(cycles);
  state.counters["cycles_missed"] = static_cast<double>(missed);
  state.counters["lib_cpu_p50_us"] = percentile(cpu_us, 0.50);
  state.counters["lib_cpu_p99_us"] = percentile(cpu_us, 0.99);
  state.counters["sync_to_last_rpdo_p50_us"] = percentile(lat_us, 0.50);
  state.counters["sync_to_last_rpdo_p99_us"] = percentile(lat_us, 0.99);
  state.counters["sync_to_last_rpdo_max_us"] = percentile(lat_us, 1.0);
}
BENCHMARK(BM_DriveCyclicRealTime)
    ->Arg(5)
    ->Arg(60)
    ->ArgName("seconds")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
