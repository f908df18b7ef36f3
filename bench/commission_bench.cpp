// Commissioning on the virtual bus in real time: the network scan of an empty line and of a
// full one (127 simulated nodes with real-bus timing), and the LSS fastscan of 8 unconfigured
// slaves. The figures are wall times: the scan and fastscan are waits for the bus. The counters
// are the driver calls the scan makes (receive calls, those of them that returned no frame, and
// send calls), counted by wrappers of the driver's functions in this program.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "bench_support.h"
#include "canopen_node.h"

namespace {

std::atomic<long> g_receives{0};
std::atomic<long> g_empty{0};
std::atomic<long> g_sends{0};

template <class F>
F next_fn(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void count_receive(NTCAN_RESULT r, const int32_t* len) {
  ++g_receives;
  if (r != NTCAN_SUCCESS || *len <= 0) ++g_empty;
}

}  // namespace

// The driver's receive and send calls, counted, then passed on to the driver.
extern "C" {
NTCAN_RESULT canReadTimeout(NTCAN_HANDLE h, CMSG* m, int32_t* len, int64_t timeout_us) {
  static const auto real = next_fn<decltype(&canReadTimeout)>("canReadTimeout");
  const NTCAN_RESULT r = real(h, m, len, timeout_us);
  count_receive(r, len);
  return r;
}
NTCAN_RESULT canRead(NTCAN_HANDLE h, CMSG* m, int32_t* len, OVERLAPPED* o) {
  static const auto real = next_fn<decltype(&canRead)>("canRead");
  const NTCAN_RESULT r = real(h, m, len, o);
  count_receive(r, len);
  return r;
}
NTCAN_RESULT canTake(NTCAN_HANDLE h, CMSG* m, int32_t* len) {
  static const auto real = next_fn<decltype(&canTake)>("canTake");
  const NTCAN_RESULT r = real(h, m, len);
  count_receive(r, len);
  return r;
}
NTCAN_RESULT canSend(NTCAN_HANDLE h, CMSG* m, int32_t* len) {
  static const auto real = next_fn<decltype(&canSend)>("canSend");
  ++g_sends;
  return real(h, m, len);
}
}

namespace {

// Driver calls per iteration as counters.
struct CallCount {
  long receives = g_receives, empty = g_empty, sends = g_sends;
  void report(benchmark::State& state) const {
    const double n = static_cast<double>(state.iterations());
    state.counters["receives"] = static_cast<double>(g_receives - receives) / n;
    state.counters["empty_receives"] = static_cast<double>(g_empty - empty) / n;
    state.counters["sends"] = static_cast<double>(g_sends - sends) / n;
  }
};

using canbus_bench::World;

constexpr int kLine = 1;
// Each simulated node takes a request 200 us after it arrives and sends each answer in the
// frame time at 125 kbit/s (0.9 ms for 8 bytes) after its previous one. The bus itself is not
// shared out: the nodes' answers do not queue behind each other, as they would on one wire.
constexpr auto kAnswerDelay = std::chrono::microseconds(200);
constexpr int kBitRate = 125000;

// Nodes on ids 1..range(0); 0 is the empty line. range(1): the bit rate the line was opened
// with, in kbit/s (its baud-rate code set on the net by a handle kept open meanwhile).
void BM_Scan(benchmark::State& state) {
  World w{World::Time::kParked};
  NTCAN_HANDLE line = NTCAN_NO_HANDLE;
  canOpen(canbus_bench::net_of(kLine), 0, 10, 10, 0, 0, &line);
  canSetBaudrate(line, state.range(1) == 1000 ? NTCAN_BAUD_1000 : NTCAN_BAUD_125);
  std::vector<std::unique_ptr<sim::VbusNode>> nodes;
  for (int id = 1; id <= state.range(0); ++id) {
    nodes.push_back(std::make_unique<sim::VbusNode>(canbus_bench::net_of(kLine), id));
    nodes.back()->set_timing(kAnswerDelay, kBitRate);
  }
  size_t found = 0;
  int incomplete = 0;  // nodes listed without their whole identity
  const CallCount calls;
  double scan_cpu_ms = 0;  // of the scanning thread alone
  for (auto _ : state) {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    const canbus::ScanResult r = canbus::scan_line(kLine);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    scan_cpu_ms += static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
                   static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
    found = r.nodes.size();
    if (r.result != 0) state.SkipWithError("scan failed");
    for (const canbus::ScannedNode& n : r.nodes) {
      const bool whole = n.identity_result[0] == 0 && n.identity_result[1] == 0 &&
                         n.identity_result[2] == 0 && n.identity_result[3] == 0 &&
                         n.name_result == 0;
      incomplete += whole ? 0 : 1;
    }
  }
  state.counters["scan_cpu_ms"] = scan_cpu_ms / static_cast<double>(state.iterations());
  state.counters["incomplete"] =
      static_cast<double>(incomplete) / static_cast<double>(state.iterations());
  calls.report(state);
  canClose(line);
  if (found != static_cast<size_t>(state.range(0))) state.SkipWithError("nodes missing");
  state.SetLabel("0x1000, 0x1018:1..4, 0x1008 of each node; 100 ms time-out");
}
BENCHMARK(BM_Scan)
    ->Args({0, 125})
    ->Args({127, 125})
    ->Args({0, 1000})
    ->ArgNames({"nodes", "kbit"})
    ->Iterations(3)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// Fastscan of 8 unconfigured slaves (serials 1..8) and the check of each address found;
// range(0) is the time-out of a fastscan request in ms.
void BM_Fastscan8(benchmark::State& state) {
  World w{World::Time::kParked};
  std::vector<std::unique_ptr<sim::VbusNode>> slaves;
  for (uint32_t serial = 1; serial <= 8; ++serial) {
    slaves.push_back(
        std::make_unique<sim::VbusNode>(canbus_bench::net_of(kLine), sim::kUnconfiguredId));
    slaves.back()->logic().set_identity(0xABC, 1, 0x10000, serial);
    slaves.back()->set_timing(kAnswerDelay, kBitRate);
  }
  size_t found = 0;
  int requests = 0;
  const CallCount calls;
  for (auto _ : state) {
    canbus::LssMaster m(kLine, 500, static_cast<int>(state.range(0)));
    std::vector<canbus::LssAddress> a;
    const canbus::LssResult r = m.fastscan_all(a);
    if (!r.ok()) {
      state.SkipWithError(canbus::lss_result_text(r, canbus::LssMaster::kFastscan).c_str());
    }
    found = a.size();
    requests = m.requests();
  }
  if (found != 8) state.SkipWithError("slaves missing");
  state.counters["requests"] = requests;
  calls.report(state);
}
BENCHMARK(BM_Fastscan8)
    ->Arg(20)
    ->Arg(10)
    ->ArgName("timeout_ms")
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
