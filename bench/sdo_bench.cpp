// SDO upload against a simulated CANopen node on the virtual bus that answers at once (in the
// requesting thread), expedited and segmented; and the processor time an upload spends while
// it waits for a node that never answers.
//
// Real time throughout (see ParkingClock): the upload's deadline and idle pauses are those of a
// server.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <cstring>
#include <memory>
#include <string>

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
