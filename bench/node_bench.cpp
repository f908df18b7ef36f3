// Per-call cost of the NMT command and of can_write on an attached node, and the heap memory an
// attached node property takes (with its sub-properties, its handle and its receive buffer).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_support.h"

namespace canbus_bench {
namespace {

constexpr int kLine = 1;
constexpr int kNode = 5;
// Sent frames are logged by the virtual bus for tests; the log is emptied now and then so
// that the driver's bookkeeping does not grow into the measurement.
constexpr int64_t kClearSentEvery = 1 << 16;

void BM_StartNode(benchmark::State& state) {
  World w;
  BenchNode* node = w.master(kLine, kNode, 0x700 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  int failures = 0;
  int64_t n = 0;
  for (auto _ : state) {
    if (node->start_node() != 0) ++failures;
    if (++n % kClearSentEvery == 0) vbus::clear_sent(net_of(kLine));
  }
  if (failures != 0) state.SkipWithError("start_node failed");
}
BENCHMARK(BM_StartNode);

// A client write to .START: the integer property's update, then the NMT command.
void BM_StartClientWrite(benchmark::State& state) {
  World w;
  BenchNode* node = w.master(kLine, kNode, 0x700 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  EqAdr adr;
  EqData in;
  EqData out;
  in.set(1);
  int64_t n = 0;
  for (auto _ : state) {
    node->start_prop()->set(&adr, &in, &out, w.location());
    if (++n % kClearSentEvery == 0) vbus::clear_sent(net_of(kLine));
  }
}
BENCHMARK(BM_StartClientWrite);

void BM_CanWrite(benchmark::State& state) {
  World w;
  BenchNode* node = w.master(kLine, kNode, 0x180 + kNode);
  if (node == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int failures = 0;
  int64_t n = 0;
  for (auto _ : state) {
    if (node->can_write(0x200 + kNode, 8, data) != 0) ++failures;
    if (++n % kClearSentEvery == 0) vbus::clear_sent(net_of(kLine));
  }
  if (failures != 0) state.SkipWithError("can_write failed");
}
BENCHMARK(BM_CanWrite);

// Bytes in use on the heap (all arenas, mmapped blocks included).
int64_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return static_cast<int64_t>(m.uordblks + m.hblkhd);
}

constexpr int kLines = 20;
constexpr int kNodesPerLine = 50;
constexpr int kReceiveBuffer = D_can::kRxFrames * static_cast<int>(sizeof(CMSG));

// Heap bytes per node property for state.range(0) masters, measured once. The lines exist
// before the measurement (one warm-up master per line), so that their cost is not counted.
// state.range(1) is the length of the node property names: short names ("CAN123") keep every
// sub-property name within the strings' inline storage; longer ones ("CRATE07.MOTOR.NODE123")
// put each of the ten sub-property names on the heap as well.
// The driver's per-handle memory (its receive queue) is measured apart by opening as many raw
// handles with the queue size the lines use.
void BM_MemoryPerNode(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  World w;
  const std::string prefix = state.range(1) > 8 ? "CRATE07.MOTOR.NODE" : "CAN";
  for (int line = 1; line <= kLines; ++line) {
    if (w.master(line, 127, 0x7FF) == nullptr) {
      state.SkipWithError("warm-up attachment failed");
      return;
    }
  }
  w.nodes().reserve(w.nodes().size() + static_cast<size_t>(count));
  w.name_prefix(prefix);
  std::vector<NTCAN_HANDLE> raw(static_cast<size_t>(count), -1);
  int64_t constructed = 0;
  int64_t attached = 0;
  int64_t driver = 0;
  for (auto _ : state) {
    const size_t first = w.nodes().size();
    const int64_t m0 = heap_in_use();
    for (int i = 0; i < count; ++i) {
      w.add(i % kLines + 1, i / kLines % kNodesPerLine + 1);
    }
    const int64_t m1 = heap_in_use();
    for (int i = 0; i < count; ++i) {
      BenchNode& n = *w.nodes()[first + static_cast<size_t>(i)];
      if (n.init(0x180 + i / kLines % kNodesPerLine + 1) != 0) {
        state.SkipWithError("attachment failed");
        return;
      }
    }
    const int64_t m2 = heap_in_use();
    for (int i = 0; i < count; ++i) {
      canOpen(i % kLines, 0, 10, D_can::kRxFrames, 1000, 1000, &raw[static_cast<size_t>(i)]);
    }
    const int64_t m3 = heap_in_use();
    for (NTCAN_HANDLE h : raw) canClose(h);
    constructed = (m1 - m0) / count;
    attached = (m2 - m0) / count;
    driver = (m3 - m2) / count;
  }
  state.counters["constructed_B"] = static_cast<double>(constructed);
  state.counters["attached_B"] = static_cast<double>(attached);
  state.counters["rx_buffer_B"] = kReceiveBuffer;
  state.counters["driver_handle_B"] = static_cast<double>(driver);
  // What the library and the framework properties take, besides the receive buffer and the
  // driver's own handle memory.
  state.counters["library_B"] = static_cast<double>(attached - kReceiveBuffer - driver);
}
BENCHMARK(BM_MemoryPerNode)
    ->Args({1000, 6})
    ->Args({1000, 21})
    ->ArgNames({"nodes", "name_len"})
    ->Iterations(1);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
