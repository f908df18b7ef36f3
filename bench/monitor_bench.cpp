// The node monitor over 1,000 nodes on 20 lines (node i on line i % 20 + 1, node id i / 20 + 1),
// each beating once per monitor period: the processor time of one poll (receive cycle, copy
// and evaluation of every node's frames, deadline checks), as a share of a 100 ms period.
// The devices' beats are put on the bus outside the measured time; the virtual clock moves
// 100 ms per poll, so the supervision runs as it would in real time.
#include <benchmark/benchmark.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"

namespace canbus_bench {
namespace {

constexpr int kLines = 20;
constexpr int64_t kPeriodNs = 100'000'000;

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_MonitorHeartbeats(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  World w;
  canbus::NodeMonitor monitor;
  canbus::NodeConfig cfg;
  cfg.mode = canbus::Supervision::kHeartbeat;
  cfg.heartbeat_ms = 100;
  cfg.heartbeat_tolerance_ms = 100;
  std::vector<std::pair<int, CMSG>> beats;
  for (int i = 0; i < nodes; ++i) {
    const int line = i % kLines + 1;
    const int node = i / kLines + 1;
    BenchNode* n = w.master(line, node, 0);
    if (n == nullptr || monitor.add(n, cfg) != 0) {
      state.SkipWithError(("attachment failed for node " + std::to_string(i)).c_str());
      return;
    }
    CMSG beat{};
    beat.id = 0x700 + node;
    beat.len = 1;
    beat.data[0] = 0x05;
    beats.emplace_back(net_of(line), beat);
  }
  auto& clock = static_cast<tavik::VirtualClock&>(tavik::clock());
  for (auto _ : state) {
    for (const auto& [net, beat] : beats) vbus::inject(net, beat);
    clock.advance(kPeriodNs);
    const double t0 = thread_cpu_s();
    monitor.poll();
    state.SetIterationTime(thread_cpu_s() - t0);
  }
  canbus::NodeStats s;
  monitor.stats(w.nodes().front().get(), s);
  if (s.replies != static_cast<uint64_t>(state.iterations()) || s.lost) {
    state.SkipWithError("a beat was lost or counted twice");
  }
  state.counters["nodes"] = nodes;
}
BENCHMARK(BM_MonitorHeartbeats)
    ->Arg(1000)
    ->ArgName("nodes")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
