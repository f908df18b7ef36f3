// Observing a line: the cost per frame of the tap and of the CANopen trace decoder.
//
// BM_FrameBits: frame_bits() of an 8-byte frame (bit sequence, CRC-15, stuff bits).
// BM_TapPerFrame: a tap on a virtual net takes batches of 1,024 frames that another handle of the
// process sent (the sending outside the measured time): driver read, time stamp, bus load, ring
// and one listener, per frame.
// BM_DecodePerFrame: the decoder reading a mix of a line's traffic (TPDOs, heartbeats, SYNC, an
// expedited SDO upload and a segmented one), per frame.
#include <benchmark/benchmark.h>

#include <vector>

#include "D_esdcan.h"
#include "vbus.h"

namespace {

CMSG frame(int32_t id, std::vector<uint8_t> data) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  for (size_t i = 0; i < data.size(); ++i) m.data[i] = data[i];
  return m;
}

void BM_FrameBits(benchmark::State& state) {
  CMSG m = frame(0x185, {1, 2, 3, 4, 5, 6, 7, 8});
  for (auto _ : state) {
    benchmark::DoNotOptimize(canbus::frame_bits(m));
    m.data[0] = static_cast<uint8_t>(m.data[0] + 1);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TapPerFrame(benchmark::State& state) {
  constexpr int kBatch = 1024;
  vbus::reset();
  canbus::LineTap tap;
  if (!tap.open({})) {
    state.SkipWithError("tap not opened");
    return;
  }
  uint64_t seen = 0;
  tap.add_listener([&seen](const canbus::TraceFrame&) { ++seen; });
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  canOpen(0, 0, 10, 10, 0, 0, &h);
  std::vector<CMSG> frames(kBatch, frame(0x185, {1, 2, 3, 4}));
  for (auto _ : state) {
    state.PauseTiming();
    int32_t n = kBatch;
    canSend(h, frames.data(), &n);
    state.ResumeTiming();
    benchmark::DoNotOptimize(tap.poll());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  if (seen != static_cast<uint64_t>(state.iterations()) * kBatch)
    state.SkipWithError("frames lost");
  canClose(h);
  tap.close();
  vbus::reset();
}

void BM_DecodePerFrame(benchmark::State& state) {
  const std::vector<CMSG> mix = {
      frame(0x185, {0xDC, 0x05, 0, 0}),
      frame(0x705, {0x05}),
      frame(0x080, {}),
      frame(0x605, {0x40, 0x00, 0x10, 0, 0, 0, 0, 0}),
      frame(0x585, {0x43, 0x00, 0x10, 0, 0x92, 0x01, 0x02, 0}),
      frame(0x605, {0x40, 0x08, 0x10, 0, 0, 0, 0, 0}),
      frame(0x585, {0x41, 0x08, 0x10, 0, 6, 0, 0, 0}),
      frame(0x605, {0x60, 0, 0, 0, 0, 0, 0, 0}),
      frame(0x585, {0x03, 'P', 'U', 'M', 'P', '-', '3', 0}),
      frame(0x285, {1, 2, 3, 4, 5, 6, 7, 8}),
  };
  canbus::TraceDecoder::Names names;
  names.object = [](int, uint16_t, uint8_t) { return std::string("Object"); };
  canbus::TraceDecoder d(names);
  std::vector<canbus::TraceDecoder::Line> out;
  canbus::TraceFrame f;
  for (auto _ : state) {
    for (const CMSG& m : mix) {
      ++f.seq;
      f.t_ns += 100000;
      f.frame = m;
      d.feed(f, out);
    }
    out.clear();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(mix.size()));
}

}  // namespace

BENCHMARK(BM_FrameBits);
BENCHMARK(BM_TapPerFrame);
BENCHMARK(BM_DecodePerFrame);
BENCHMARK_MAIN();
