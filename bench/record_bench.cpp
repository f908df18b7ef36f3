// What recording costs the frame path: 20 saturated lines (9,000 frames/s each, 180,000 in
// all) received by 20 masters through can_looping and can_array, with and without the recorder
// writing every frame to a file.
//
// The path runs at that real rate (2,000 frames every 11.1 ms), so that the recorder's writer
// keeps up as it would in a server; the measured time is the processor time of the thread
// that runs the path (manual time), the pauses between rounds not counted. Rounds with and
// without recording alternate within one run, so that a busy machine weighs on both alike.
// "writer" is the processor time the rest of the process (the recorder's writer thread) spent
// per recorded frame.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "recorder.h"

namespace canbus_bench {
namespace {

constexpr int kLines = 20;
constexpr double kFramesPerSecond = 180'000;

double cpu_s(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_RecordedFramePath(benchmark::State& state) {
  World w;
  std::vector<BenchNode*> masters;
  for (int line = 1; line <= kLines; ++line) {
    BenchNode* n = w.master(line, 1, 0x181);
    if (n == nullptr) {
      state.SkipWithError("attachment failed");
      return;
    }
    masters.push_back(n);
  }
  char path[] = "/tmp/canbus-record-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  close(fd);
  ntcan::recorder::Options o;
  o.path = path;
  o.rotate_bytes = 64u << 20;
  o.keep = 0;
  ntcan::recorder::start(o);
  const uint64_t before = ntcan::recorder::stats().written;
  CMSG f{};
  f.id = 0x181;
  f.len = 8;
  CMSG rx[D_can::kRxFrames];
  const int64_t per_round = int64_t{kLines} * D_can::kRxFrames;
  const auto round =
      std::chrono::duration<double>(static_cast<double>(per_round) / kFramesPerSecond);
  auto next = std::chrono::steady_clock::now();
  int64_t copied = 0;
  double cpu[2] = {0, 0};  // path processor time without and with recording
  const double process0 = cpu_s(CLOCK_PROCESS_CPUTIME_ID);
  int64_t rounds = 0;
  for (auto _ : state) {
    // Rounds with and without recording alternate, so that both see the same machine.
    const int on = static_cast<int>(rounds++ & 1);
    ntcan::recorder::set_nets(on ? ntcan::recorder::kAllNets : 0);
    const double t0 = cpu_s(CLOCK_THREAD_CPUTIME_ID);
    for (int line = 0; line < kLines; ++line) {
      for (int k = 0; k < D_can::kRxFrames; ++k) {
        f.data[0] = static_cast<uint8_t>(k);
        vbus::inject(line, f);
      }
    }
    can_looping();
    for (BenchNode* n : masters) {
      int length = 0;
      n->can_array(rx, &length);
      benchmark::DoNotOptimize(rx);
      copied += length;
    }
    const double spent = cpu_s(CLOCK_THREAD_CPUTIME_ID) - t0;
    cpu[on] += spent;
    state.SetIterationTime(spent);
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(round);
    std::this_thread::sleep_until(next);
  }
  ntcan::recorder::flush();
  const double others = cpu_s(CLOCK_PROCESS_CPUTIME_ID) - process0 - cpu[0] - cpu[1];
  const auto stats = ntcan::recorder::stats();
  ntcan::recorder::stop();
  unlink(path);
  const double frames_each = static_cast<double>(copied) / 2;
  if (copied != state.iterations() * per_round) state.SkipWithError("frames lost");
  if (stats.dropped != 0) state.SkipWithError("recorder dropped frames");
  if (static_cast<double>(stats.written - before) != frames_each) {
    state.SkipWithError("not every frame of the recorded rounds was written");
  }
  state.SetItemsProcessed(copied);
  state.counters["ns/frame"] = 1e9 * cpu[0] / frames_each;
  state.counters["recorded ns/frame"] = 1e9 * cpu[1] / frames_each;
  state.counters["extra %"] = 100 * (cpu[1] / cpu[0] - 1);
  state.counters["writer ns/frame"] = 1e9 * others / frames_each;
}
// 600 rounds, 300 of them recorded: 6.7 s of bus traffic.
BENCHMARK(BM_RecordedFramePath)->UseManualTime()->Iterations(600);

// A server's own frames: one canSend per frame on 20 lines, as NMT commands and guarding
// requests go out. Not paced: the send path alone, in processor time of the thread.
void BM_RecordedSend(benchmark::State& state) {
  const bool recording = state.range(0) != 0;
  World w;
  std::vector<NTCAN_HANDLE> handles;
  for (int net = 0; net < kLines; ++net) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    canOpen(net, 0, 0, 0, 0, 0, &h);
    handles.push_back(h);
  }
  char path[] = "/tmp/canbus-record-bench-XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  if (recording) {
    ntcan::recorder::Options o;
    o.path = path;
    o.rotate_bytes = 64u << 20;
    o.keep = 0;
    o.queue_frames = 1 << 20;
    ntcan::recorder::start(o);
  }
  CMSG f{};
  f.id = 0x705;
  f.len = NTCAN_RTR | 1;
  int64_t sent = 0;
  for (auto _ : state) {
    for (NTCAN_HANDLE h : handles) {
      int32_t n = 1;
      canSend(h, &f, &n);
      sent += n;
    }
    if (recording && (sent & 0xFFFF) < kLines) {
      state.PauseTiming();
      ntcan::recorder::flush();  // the writer keeps up, as it would at a bus's pace
      state.ResumeTiming();
    }
  }
  ntcan::recorder::stop();
  unlink(path);
  for (NTCAN_HANDLE h : handles) canClose(h);
  state.SetItemsProcessed(sent);
}
BENCHMARK(BM_RecordedSend)->Arg(0)->Arg(1)->ArgName("recording");

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
