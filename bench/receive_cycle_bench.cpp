// The receive path: frames put on the virtual bus by devices travel through can_looping and
// can_fill into the masters' receive buffers and out through can_array; and the cost of a
// receive cycle over many masters with nothing pending.
//
// Masters are spread over the 20 lines as a server would have them: master i sits on line
// i % 20 + 1 with node id i / 20 + 1 and receives its PDO identifier 0x180 + node id.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_support.h"

namespace canbus_bench {
namespace {

constexpr int kLines = 20;

struct Target {
  BenchNode* node;
  int net;
  CMSG frame;  // what its device sends
};

// `masters` attached masters; false (and an error on `state`) if one attachment failed.
bool attach_masters(World& w, int masters, std::vector<Target>& out, benchmark::State& state) {
  for (int i = 0; i < masters; ++i) {
    const int line = i % kLines + 1;
    const int node = i / kLines + 1;
    BenchNode* n = w.master(line, node, 0x180 + node);
    if (n == nullptr) {
      state.SkipWithError(("attachment failed for master " + std::to_string(i)).c_str());
      return false;
    }
    CMSG f{};
    f.id = 0x180 + node;
    f.len = 8;
    for (uint8_t b = 0; b < 8; ++b) f.data[b] = static_cast<uint8_t>(node + b);
    out.push_back(Target{n, net_of(line), f});
  }
  return true;
}

// Fills every master's driver queue: kRxFrames frames each, the most one fill takes.
void inject_full_queues(const std::vector<Target>& targets) {
  for (const Target& t : targets) {
    for (int k = 0; k < D_can::kRxFrames; ++k) vbus::inject(t.net, t.frame);
  }
}

// Copies every master's buffer out; the number of frames copied.
int64_t copy_out(const std::vector<Target>& targets, CMSG* rx) {
  int64_t frames = 0;
  for (const Target& t : targets) {
    int length = 0;
    t.node->can_array(rx, &length);
    benchmark::DoNotOptimize(rx);
    frames += length;
  }
  return frames;
}

// Processor time of this thread: what the server's core spends, whatever else the machine runs.
// (A system call, so a few hundred ns fall into every measured interval.)
double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Whole path on one core: device -> bus -> driver queue -> can_looping/can_fill -> receive
// buffer -> can_array. The devices' inject is part of the time. frames/s is per second of the
// thread's processor time (Google Benchmark's rates are taken over CPU time).
void BM_FramePath(benchmark::State& state) {
  const int masters = static_cast<int>(state.range(0));
  World w;
  std::vector<Target> targets;
  if (!attach_masters(w, masters, targets, state)) return;
  CMSG rx[D_can::kRxFrames];
  int64_t copied = 0;
  for (auto _ : state) {
    inject_full_queues(targets);
    can_looping();
    copied += copy_out(targets, rx);
  }
  const int64_t expected = state.iterations() * masters * D_can::kRxFrames;
  if (copied != expected) state.SkipWithError("frames lost or duplicated");
  state.SetItemsProcessed(copied);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(copied), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FramePath)->Arg(1)->Arg(20)->Arg(100)->ArgName("masters");

// The server's share of the path: can_looping/can_fill and can_array only, in processor time of
// the server's thread. The devices fill the queues outside the measured time.
void BM_FramePathServer(benchmark::State& state) {
  const int masters = static_cast<int>(state.range(0));
  World w;
  std::vector<Target> targets;
  if (!attach_masters(w, masters, targets, state)) return;
  CMSG rx[D_can::kRxFrames];
  int64_t copied = 0;
  for (auto _ : state) {
    inject_full_queues(targets);
    const double t0 = thread_cpu_s();
    can_looping();
    copied += copy_out(targets, rx);
    state.SetIterationTime(thread_cpu_s() - t0);
  }
  const int64_t expected = state.iterations() * masters * D_can::kRxFrames;
  if (copied != expected) state.SkipWithError("frames lost or duplicated");
  state.SetItemsProcessed(copied);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(copied), benchmark::Counter::kIsRate);
}
// The devices' share dominates the run time, so the measured time is kept short.
BENCHMARK(BM_FramePathServer)
    ->Arg(1)
    ->Arg(20)
    ->Arg(100)
    ->ArgName("masters")
    ->UseManualTime()
    ->MinTime(0.05);

// One receive cycle over `masters` registered masters with no frame pending.
void BM_LoopingIdle(benchmark::State& state) {
  const int masters = static_cast<int>(state.range(0));
  World w;
  std::vector<Target> targets;
  if (!attach_masters(w, masters, targets, state)) return;
  for (auto _ : state) can_looping();
  for (const Target& t : targets) {
    if (*t.node->rx_count() != 0 || t.node->can_return() != 0) {
      state.SkipWithError("an idle fill did not come back empty and successful");
      break;
    }
  }
  state.counters["masters"] = masters;
}
BENCHMARK(BM_LoopingIdle)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->ArgName("masters")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
