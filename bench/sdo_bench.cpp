// SDO upload against a simulated CANopen node on the virtual bus that answers at once (in the
// requesting thread), expedited and segmented; the same, and an expedited download, against a
// node that answers as on a real bus (from its own thread, 200 us after the request); 1,000 such
// nodes uploading at once from 8 threads; and the processor time an upload spends while it
// waits for a node that never answers; a 4 KiB object by block transfer against segmented,
// from a node with real-bus timing.
//
// Real time throughout (see ParkingClock): the upload's deadline and idle pauses are those of a
// server.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "canopen_node.h"

namespace canbus_bench {
namespace {

constexpr int kLine = 1;
constexpr int kNode = 5;
constexpr int kObject = 0x1008;  // manufacturer device name

double clock_s(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double process_cpu_s() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto s = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

// A value of `size` printable bytes.
std::string value_of(size_t size) {
  std::string v;
  for (size_t i = 0; i < size; ++i) v += static_cast<char>('A' + i % 26);
  return v;
}

// Uploads a value of state.range(0) bytes: 1..4 expedited, more segmented (7 bytes a segment).
void BM_SdoUpload(benchmark::State& state) {
  const std::string value = value_of(static_cast<size_t>(state.range(0)));
  World w(World::Time::kParked);
  BenchNode* node = w.master(kLine, kNode, 0x580 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  sim::VbusNode sim(net_of(kLine), kNode, value);
  can_looping();  // takes the boot-up message away
  char buffer[64];
  int failures = 0;
  for (auto _ : state) {
    std::memset(buffer, 0, sizeof buffer);
    if (node->segSdoRead(kNode, kObject, 0, buffer, sizeof buffer) != 0) ++failures;
    benchmark::DoNotOptimize(buffer);
  }
  if (failures != 0 || value != buffer) state.SkipWithError("upload failed or value wrong");
  state.SetLabel(value.size() <= 4 ? "expedited" : "segmented");
  state.counters["uploads/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SdoUpload)->Arg(4)->Arg(60)->ArgName("bytes")->Unit(benchmark::kMicrosecond);

// The identity string as a device server reads it: upload and the .MANU update.
void BM_GetManufacture(benchmark::State& state) {
  const std::string value = value_of(static_cast<size_t>(state.range(0)));
  World w(World::Time::kParked);
  BenchNode* node = w.master(kLine, kNode, 0x580 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  sim::VbusNode sim(net_of(kLine), kNode, value);
  can_looping();
  int failures = 0;
  for (auto _ : state) {
    if (node->get_manufacture() != 0) ++failures;
  }
  if (failures != 0 || node->manu_prop()->value() != value) {
    state.SkipWithError("upload failed or value wrong");
  }
}
BENCHMARK(BM_GetManufacture)->Arg(4)->Arg(60)->ArgName("bytes")->Unit(benchmark::kMicrosecond);

constexpr auto kAnswerDelay = std::chrono::microseconds(200);

// A master on kLine/kNode and a simulated node with `value` as its device name, answering
// 200 us after each request from the simulation's thread.
struct TimedNode {
  explicit TimedNode(const std::string& value)
      : node(w.master(kLine, kNode, 0x580 + kNode)), sim(net_of(kLine), kNode, value) {
    sim.set_timing(kAnswerDelay);
    can_looping();
  }
  World w{World::Time::kParked};
  BenchNode* node;  // nullptr when the attachment failed
  sim::VbusNode sim;
};

// A 16-byte value (initiate and 3 segments: 4 round trips) or a 4-byte expedited download,
// against a node answering 200 us after each request from the simulation's thread. Real time is
// the round trips; CPU time is the uploading thread's own processor time.
void BM_SdoTimedNode(benchmark::State& state) {
  const bool download = state.range(0) == 0;
  const std::string value = value_of(download ? 4 : 16);
  TimedNode t(value);
  BenchNode* node = t.node;
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  char buffer[64];
  int failures = 0;
  size_t length = 0;
  for (auto _ : state) {
    int r = download ? node->sdo_download(0x2100, 0, value.data(), value.size())
                     : node->sdo_upload(kObject, 0, buffer, sizeof buffer, &length);
    if (r != 0) ++failures;
  }
  if (failures != 0 || (!download && std::string(buffer, length) != value)) {
    state.SkipWithError("transfer failed or value wrong");
  }
  state.SetLabel(download ? "expedited download" : "16-byte upload, 4 round trips");
}
BENCHMARK(BM_SdoTimedNode)
    ->Arg(0)
    ->Arg(16)
    ->ArgName("upload_bytes")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0);

// The same 16-byte upload through the identity read (segSdoRead), for comparison with the
// client's older figures.
void BM_SegSdoReadTimedNode(benchmark::State& state) {
  const std::string value = value_of(16);
  TimedNode t(value);
  BenchNode* node = t.node;
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  char buffer[64];
  int failures = 0;
  for (auto _ : state) {
    std::memset(buffer, 0, sizeof buffer);
    if (node->segSdoRead(kNode, kObject, 0, buffer, sizeof buffer) != 0) ++failures;
  }
  if (failures != 0 || value != buffer) state.SkipWithError("upload failed or value wrong");
}
BENCHMARK(BM_SegSdoReadTimedNode)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);

// A 4 KiB object uploaded by block transfer (state.range(0) == 1: sub-blocks of 64 segments)
// or segmented (0: a round trip per 7 bytes), from a node with real-bus timing: it takes each
// request 200 us after it was sent and puts its answers on a 1 Mbit/s bus one after the other
// (111 us per 8-byte frame). Real time is the transfer; CPU time the uploading thread's own.
void BM_SdoBlockVsSegmented(benchmark::State& state) {
  const bool block = state.range(0) == 1;
  constexpr int kBitRate = 1'000'000;
  const std::string value = sim::pattern_value(4096);
  TimedNode t("name");
  BenchNode* node = t.node;
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  t.sim.set_timing(kAnswerDelay, kBitRate);
  t.sim.logic().set_object(0x2200, 0, value);
  std::vector<uint8_t> got;
  int failures = 0;
  for (auto _ : state) {
    if (node->sdo_read(0x2200, 0, got, block ? SdoMode::kBlock : SdoMode::kSegmented) != 0) {
      ++failures;
    }
  }
  if (failures != 0 || std::string(got.begin(), got.end()) != value) {
    state.SkipWithError("upload failed or value wrong");
  }
  state.SetLabel(block ? "block upload, 4 KiB" : "segmented upload, 4 KiB");
  state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 4096,
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SdoBlockVsSegmented)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("block")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// 1,000 nodes (8 lines of 125) with real-bus answers, each uploading its device name (8 bytes:
// 3 round trips) once; 8 threads, one per line. The time is from the start of the threads until
// the last upload has ended.
void BM_ThousandNodesAtOnce(benchmark::State& state) {
  constexpr int kLines = 8;
  constexpr int kPerLine = 125;
  World w(World::Time::kVirtual);
  // Waits for the bus take real time; the virtual clock only spares the set-up its pauses.
  w.virtual_clock()->set_wait_grace(10'000'000'000);
  std::vector<std::unique_ptr<sim::VbusNode>> sims;
  std::vector<BenchNode*> nodes;
  for (int line = 1; line <= kLines; ++line) {
    for (int id = 1; id <= kPerLine; ++id) {
      BenchNode* n = w.master(line, id, 0x580 + id);
      if (n == nullptr) {
        state.SkipWithError("attachment failed");
        return;
      }
      nodes.push_back(n);
      sims.push_back(std::make_unique<sim::VbusNode>(net_of(line), id));
      sims.back()->set_timing(kAnswerDelay);
    }
  }
  can_looping();
  std::atomic<int> failures{0};
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kLines; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerLine; ++i) {
          if (nodes[static_cast<size_t>(t * kPerLine + i)]->get_manufacture() != 0) ++failures;
        }
      });
    }
    for (std::thread& th : threads) th.join();
  }
  if (failures.load() != 0) state.SkipWithError("an upload failed");
  state.counters["uploads"] = kLines * kPerLine;
}
BENCHMARK(BM_ThousandNodesAtOnce)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// One upload from a silent node: it ends after 2 to 3 s with -1. Reports the wall time and the
// processor time of the waiting thread and of the whole process.
void BM_SdoUploadTimeout(benchmark::State& state) {
  World w(World::Time::kParked);
  BenchNode* node = w.master(kLine, kNode, 0x580 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  sim::VbusNode sim(net_of(kLine), kNode);
  sim.logic().set_silent(true);
  can_looping();
  char buffer[64] = {};
  double wall = 0;
  double thread_cpu = 0;
  double process_cpu = 0;
  int result = 0;
  for (auto _ : state) {
    const double w0 = clock_s(CLOCK_MONOTONIC);
    const double t0 = clock_s(CLOCK_THREAD_CPUTIME_ID);
    const double p0 = process_cpu_s();
    result = node->segSdoRead(kNode, kObject, 0, buffer, sizeof buffer);
    wall = clock_s(CLOCK_MONOTONIC) - w0;
    thread_cpu = clock_s(CLOCK_THREAD_CPUTIME_ID) - t0;
    process_cpu = process_cpu_s() - p0;
    state.SetIterationTime(wall);
  }
  if (result != -1) state.SkipWithError("the upload from a silent node did not time out");
  state.counters["wall_s"] = wall;
  state.counters["thread_cpu_ms"] = thread_cpu * 1e3;
  state.counters["thread_cpu_%"] = 100.0 * thread_cpu / wall;
  state.counters["process_cpu_%"] = 100.0 * process_cpu / wall;
}
BENCHMARK(BM_SdoUploadTimeout)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
