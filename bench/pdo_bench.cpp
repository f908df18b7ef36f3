// Process data: the monitor's cost of taking, decoding and delivering TPDOs, and the SYNC
// producer's timing on the real clock.
//
// BM_PdoDelivery: 20 lines with one node each whose TPDO1 carries four INTEGER16 values; per
// poll every node has a full buffer of 100 TPDOs (2,000 frames per poll), injected outside the
// measured time. The processor time of the poll (receive cycle, copy, decoding, on_pdo and
// on_frames calls) per frame gives the share of a core for 20 lines at 9,000 frames/s each
// (180,000 frames/s). With mapped=0 the same frames go to on_frames only, without a mapping: the
// difference is the cost of decoding and delivering them as values.
//
// BM_SyncPeriod: a SYNC producer with its own thread at a 10 ms period for state.range(0)
// periods, with normal scheduling (rt_priority 0) or SCHED_FIFO at state.range(1); each SYNC's
// lateness against its deadline (start + n x period) and the error of each interval against the
// period, as percentiles in microseconds.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "bench_support.h"

namespace canbus_bench {
namespace {

constexpr int kLines = 20;
constexpr int kNode = 7;
constexpr int kFramesPerPoll = D_can::kRxFrames;
constexpr double kFramesPerSecond = 20 * 9000.0;

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_PdoDelivery(benchmark::State& state) {
  const bool mapped = state.range(0) != 0;
  World w;
  int64_t sum = 0;
  uint64_t pdos = 0;
  canbus::MonitorCallbacks cb;
  cb.on_pdo = [&](D_can&, int, const canbus::PdoValues& v) {
    for (const canbus::Value& x : v.values) sum += x.as_int();
    ++pdos;
  };
  cb.on_frames = [&](D_can&, CMSG* f, int n) { sum += f[n - 1].data[0]; };
  canbus::NodeMonitor monitor(cb);
  canbus::PdoConfig t;
  t.number = 1;
  for (uint8_t ch = 1; ch <= 4; ++ch) {
    t.mapping.push_back({0x6401, ch, 16, canbus::DataType::kInteger16, ""});
  }
  canbus::NodeConfig cfg;
  cfg.mode = canbus::Supervision::kNone;
  for (int line = 1; line <= kLines; ++line) {
    BenchNode* n = w.master(line, kNode, 0x180 + kNode);
    if (n == nullptr || monitor.add(n, cfg) != 0 || (mapped && monitor.add_tpdo(n, t) != 0)) {
      state.SkipWithError("attachment failed");
      return;
    }
  }
  CMSG f{};
  f.id = 0x180 + kNode;
  f.len = 8;
  auto& clock = static_cast<tavik::VirtualClock&>(tavik::clock());
  uint16_t k = 0;
  for (auto _ : state) {
    for (int line = 1; line <= kLines; ++line) {
      for (int i = 0; i < kFramesPerPoll; ++i, ++k) {
        for (int b = 0; b < 8; b += 2) {
          f.data[b] = static_cast<uint8_t>(k);
          f.data[b + 1] = static_cast<uint8_t>(k >> 8);
        }
        vbus::inject(net_of(line), f);
      }
    }
    clock.advance(11'000'000);  // 100 frames of a saturated line take 11 ms
    const double t0 = thread_cpu_s();
    monitor.poll();
    state.SetIterationTime(thread_cpu_s() - t0);
  }
  benchmark::DoNotOptimize(sum);
  const double frames = static_cast<double>(state.iterations()) * kLines * kFramesPerPoll;
  if (mapped && static_cast<double>(pdos) != frames) state.SkipWithError("a TPDO went missing");
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  // Processor time per frame, and what 180,000 frames/s would take of one core.
  state.counters["s_per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["core_share_pct"] =
      benchmark::Counter(frames / (kFramesPerSecond * 100.0),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PdoDelivery)->Arg(1)->Arg(0)->ArgName("mapped")->UseManualTime();

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_SyncPeriod(benchmark::State& state) {
  const auto periods = static_cast<size_t>(state.range(0));
  World w(World::Time::kParked);
  if (w.master(1, kNode, 0x700 + kNode) == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  vbus::set_sent_limit(0);
  for (auto _ : state) {
    canbus::SyncProducer sync(1);
    std::mutex mx;
    std::condition_variable cv;
    std::vector<canbus::SyncEvent> seen;
    seen.reserve(periods);
    // Processor time of the producer's thread from the first SYNC to the last (the listener
    // runs on that thread).
    int64_t cpu_first_ns = 0;
    int64_t cpu_last_ns = 0;
    sync.add_listener([&](const canbus::SyncEvent& ev) {
      timespec cpu{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
      const int64_t cpu_ns = static_cast<int64_t>(cpu.tv_sec) * 1'000'000'000 + cpu.tv_nsec;
      std::lock_guard<std::mutex> lk(mx);
      if (seen.size() < periods) {
        if (seen.empty()) cpu_first_ns = cpu_ns;
        cpu_last_ns = cpu_ns;
        seen.push_back(ev);
      }
      cv.notify_all();
    });
    sync.set_realtime_priority(static_cast<int>(state.range(1)));
    sync.start(10000);
    {
      std::unique_lock<std::mutex> lk(mx);
      cv.wait(lk, [&] { return seen.size() >= periods; });
    }
    sync.stop();
    std::vector<double> late_us;
    std::vector<double> interval_us;
    for (size_t i = 0; i < seen.size(); ++i) {
      late_us.push_back(static_cast<double>(seen[i].time_ns - seen[i].due_ns) / 1000.0);
      if (i > 0) {
        const double d = static_cast<double>(seen[i].time_ns - seen[i - 1].time_ns) / 1000.0;
        interval_us.push_back(std::abs(d - 10000.0));
      }
    }
    state.counters["late_p50_us"] = percentile(late_us, 0.50);
    state.counters["late_p99_us"] = percentile(late_us, 0.99);
    state.counters["late_max_us"] = percentile(late_us, 1.0);
    state.counters["interval_err_p99_us"] = percentile(interval_us, 0.99);
    state.counters["interval_err_max_us"] = percentile(interval_us, 1.0);
    state.counters["skipped"] = static_cast<double>(sync.stats().skipped);
    state.counters["periods"] = static_cast<double>(seen.size());
    const double wall_ns = static_cast<double>(seen.back().time_ns - seen.front().time_ns);
    state.counters["thread_cpu_ms"] = static_cast<double>(cpu_last_ns - cpu_first_ns) / 1e6;
    state.counters["thread_cpu_pct"] =
        100.0 * static_cast<double>(cpu_last_ns - cpu_first_ns) / wall_ns;
  }
}
BENCHMARK(BM_SyncPeriod)
    ->Args({6000, 0})
    ->Args({6000, 50})
    ->ArgNames({"periods", "rt_priority"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
