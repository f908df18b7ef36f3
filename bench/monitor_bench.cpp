// The node monitor over 1,000 nodes on 20 lines (node i on line i % 20 + 1, node id i / 20 + 1),
// each beating once per monitor period: the processor time of one poll (receive cycle, copy
// and evaluation of every node's frames, deadline checks), as a share of a 100 ms period.
// The devices' beats are put on the bus outside the measured time; the virtual clock moves
// 100 ms per poll, so the supervision runs as it would in real time.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace canbus_bench {
namespace {

constexpr int kLines = 20;
constexpr int64_t kPeriodNs = 100'000'000;

double cpu_s(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double thread_cpu_s() {
  return cpu_s(CLOCK_THREAD_CPUTIME_ID);
}

using Steady = std::chrono::steady_clock;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
      .count();
}

// Sleeps until `t` on a real bus's schedule: in the kernel until shortly before, then yielding,
// so that frames keep their spacing to a few microseconds also on a loaded machine.
void wait_until(Steady::time_point t) {
  const auto spin = std::chrono::microseconds(60);
  const auto now = Steady::now();
  if (t - now > spin) std::this_thread::sleep_until(t - spin);
  while (Steady::now() < t) std::this_thread::yield();
}

// 1,000 masters (node i on line i % 20 + 1, node id i / 20 + 1) in heartbeat supervision with
// TPDO1 (0x180 + id) enabled, their beats and frames injected by the caller.
struct Fleet {
  explicit Fleet(int nodes, canbus::MonitorCallbacks cb = {}) : w(World::Time::kParked) {
    monitor = std::make_unique<canbus::NodeMonitor>(std::move(cb));
    canbus::NodeConfig cfg;
    cfg.mode = canbus::Supervision::kHeartbeat;
    cfg.heartbeat_ms = 1000;
    cfg.heartbeat_tolerance_ms = 500;
    cfg.log_emergencies = false;
    for (int i = 0; i < nodes; ++i) {
      BenchNode* n = w.master(i % kLines + 1, i / kLines + 1, 0x180 + i / kLines + 1);
      if (n == nullptr || monitor->add(n, cfg) != 0) {
        ok = false;
        return;
      }
    }
  }
  ~Fleet() { monitor->stop(); }
  World w;
  std::unique_ptr<canbus::NodeMonitor> monitor;
  bool ok = true;
};

CMSG beat_of(int i) {
  CMSG beat{};
  beat.id = 0x700 + i / kLines + 1;
  beat.len = 1;
  beat.data[0] = 0x05;
  return beat;
}

// Processor time of the monitor's thread while 1,000 nodes beat once a second (1,000 beats/s,
// spread evenly) and nothing else arrives, as a share of one core: the process's time minus
// the injecting thread's (the bus's work, the driver's on a real bus). Arg: the wake spacing in
// microseconds; 0 is the periodic poll alone, as before arrivals woke the monitor.
void BM_MonitorIdle(benchmark::State& state) {
  const int spacing = static_cast<int>(state.range(0));
  constexpr int kNodes = 1000;
  Fleet f(kNodes);
  if (!f.ok) {
    state.SkipWithError("attachment failed");
    return;
  }
  for (auto _ : state) {
    f.monitor->start(100, spacing);
    const double p0 = cpu_s(CLOCK_PROCESS_CPUTIME_ID);
    const auto t0 = Steady::now();
    double injector = 0;
    std::thread inject([&] {
      const double c0 = thread_cpu_s();
      auto next = Steady::now();
      for (int k = 0; k < 5 * kNodes; ++k) {
        next += std::chrono::milliseconds(1);
        wait_until(next);
        const int i = k % kNodes;
        vbus::inject(net_of(i % kLines + 1), beat_of(i));
      }
      injector = thread_cpu_s() - c0;
    });
    inject.join();
    const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    const double monitor = cpu_s(CLOCK_PROCESS_CPUTIME_ID) - p0 - injector;
    f.monitor->stop();
    state.SetIterationTime(wall);
    state.counters["core_pct"] = 100.0 * monitor / wall;
    state.counters["injector_pct"] = 100.0 * injector / wall;
  }
  canbus::NodeStats s;
  f.monitor->stats(f.w.nodes().front().get(), s);
  if (s.lost) state.SkipWithError("a node was reported lost");
}
BENCHMARK(BM_MonitorIdle)
    ->Arg(0)
    ->Arg(1000)
    ->ArgName("spacing_us")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One node sends 8,000 TPDOs/s (a frame every 125 us, as on a busy 1 Mbit/s line) for 3 s among
// `nodes` supervised ones; each frame carries its sequence number and the time it was put on
// the bus. The monitor's thread (period 100 ms, default wake spacing) hands them to on_frames:
// none may be lost, and the time from the bus to the callback is measured per frame.
void BM_MonitorTpdoLatency(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  constexpr int kFrames = 24000;
  std::mutex mx;
  std::vector<int64_t> latency;
  latency.reserve(kFrames);
  uint32_t expected = 0;
  uint64_t gaps = 0;
  canbus::MonitorCallbacks cb;
  cb.on_frames = [&](D_can&, CMSG* frames, int count) {
    const int64_t now = steady_ns();
    std::lock_guard<std::mutex> lk(mx);
    for (int i = 0; i < count; ++i) {
      const CMSG& m = frames[i];
      if (m.id != 0x181) continue;
      uint32_t seq = 0;
      int64_t sent = 0;
      for (int b = 3; b >= 0; --b) seq = (seq << 8) | m.data[b];
      for (int b = 7; b >= 4; --b) sent = (sent << 8) | m.data[b];
      if (seq != expected) gaps += seq > expected ? seq - expected : 1;
      expected = seq + 1;
      // The stamp is the low 32 bits of the sending time in microseconds.
      latency.push_back(((now / 1000) - sent) & 0xFFFFFFFF);
    }
  };
  Fleet f(nodes, cb);
  if (!f.ok) {
    state.SkipWithError("attachment failed");
    return;
  }
  double send_s = 0;
  for (auto _ : state) {
    f.monitor->start(100);
    const auto t0 = Steady::now();
    std::thread sender([&] {
      prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
      // Frame k is due at start + k * 125 us, and never less than a frame time (111 bit times
      // at 1 Mbit/s) after the previous one: a sender that fell behind catches up at the
      // line's rate, as a bus would carry the frames, not in one burst.
      const auto start = Steady::now();
      auto last = start;
      for (uint32_t k = 0; k < kFrames; ++k) {
        const auto due = std::max(start + std::chrono::microseconds(125) * (k + 1),
                                  last + std::chrono::microseconds(111));
        wait_until(due);
        last = Steady::now();
        CMSG m{};
        m.id = 0x181;
        m.len = 8;
        const auto stamp = static_cast<uint32_t>(steady_ns() / 1000);
        for (int b = 0; b < 4; ++b) {
          m.data[b] = static_cast<uint8_t>(k >> (8 * b));
          m.data[4 + b] = static_cast<uint8_t>(stamp >> (8 * b));
        }
        vbus::inject(net_of(1), m);
      }
    });
    sender.join();
    send_s = std::chrono::duration<double>(Steady::now() - t0).count();
    // The last frames reach the callback within the wake spacing; the periodic poll at the
    // latest.
    const auto until = Steady::now() + std::chrono::milliseconds(500);
    for (;;) {
      {
        std::lock_guard<std::mutex> lk(mx);
        if (expected == kFrames || Steady::now() > until) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    f.monitor->stop();
    state.SetIterationTime(std::chrono::duration<double>(Steady::now() - t0).count());
  }
  std::lock_guard<std::mutex> lk(mx);
  canbus::NodeStats s;
  f.monitor->stats(f.w.nodes().front().get(), s);
  state.counters["frames"] = static_cast<double>(latency.size());
  state.counters["sent_per_s"] = send_s > 0 ? kFrames / send_s : 0;
  state.counters["lost"] = static_cast<double>(kFrames - latency.size() + gaps);
  state.counters["driver_lost"] = static_cast<double>(s.frames_lost);
  if (latency.empty()) return;
  std::sort(latency.begin(), latency.end());
  auto at = [&](double q) {
    return static_cast<double>(
        latency[static_cast<size_t>(q * static_cast<double>(latency.size() - 1))]);
  };
  state.counters["median_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = static_cast<double>(latency.back());
  if (latency.size() != kFrames || gaps != 0) {
    std::fprintf(stderr, "received %zu of %d, %llu missing in sequence, driver lost %llu\n",
                 latency.size(), kFrames, static_cast<unsigned long long>(gaps),
                 static_cast<unsigned long long>(s.frames_lost));
    state.SkipWithError("TPDOs were lost");
  }
}
BENCHMARK(BM_MonitorTpdoLatency)
    ->Arg(1)
    ->Arg(1000)
    ->ArgName("nodes")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
