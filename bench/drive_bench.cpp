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
#include <benchmark/benchmark.h>

#include <memory>
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

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
