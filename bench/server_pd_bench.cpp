// canbus-server's process data: the server's own work for each decoded TPDO, on top of the
// monitor's (bench_pdo), as its on_pdo callback does it under the state lock: the values stored
// and scaled, the rate limit and deadband checked, and the value events made when due.
//
// BM_ServerOnPdo: a TPDO of four INTEGER16 values with scale, unit and deadband, one call per
// frame, the frames 10 ms apart. changing:0 repeats the same values (no event after the first:
// the common case of a steady measurement); changing:1 changes every value by more than its
// deadband each frame with a value interval of 0, so that every call makes four events (their
// texts formatted): the worst case. Each call also keeps the values in the history and checks
// them against their limits (CH1 has alarm and warn limits).
//
// BM_ValueHistoryAdd: ValueHistory::add for 1,000 values, one value each per 1 s interval, over
// an hour (3,600 intervals; the first value of each interval opens its sample): the time of one
// add, and the memory of the rings (bytes()) in total and per sample kept (the thinned ring of a
// day at minutes is allocated with the hour's, and counted).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config_file.h"
#include "history.h"
#include "process_data.h"

namespace {

void BM_ServerOnPdo(benchmark::State& state) {
  const bool changing = state.range(0) != 0;
  const auto config = canbus_server::ConfigFile::parse(
      "CAN.ADC: 1 10 0 0\n"
      "CAN.ADC.TPDO1: event 10 map CH1 0x6401:1 int16 scale 0.001 unit V deadband 0.0005 alarm "
      "-25 25 warn -20 20, CH2 "
      "0x6401:2 int16 scale 0.001 unit V deadband 0.0005, CH3 0x6401:3 int16 scale 0.001 unit V "
      "deadband 0.0005, CH4 0x6401:4 int16 scale 0.001 unit V deadband 0.0005\n");
  canbus_server::ProcessData pd(changing ? 0 : 1000);
  canbus_server::NodeObjects objects;
  std::vector<std::string> errors;
  if (!pd.load(config, config.node_names(), objects, errors)) {
    state.SkipWithError("configuration not loaded");
    return;
  }
  canbus::PdoValues v;
  v.pdo = 1;
  v.time_ns = 1'000'000'000;
  for (int k = 0; k < 4; ++k) v.values.push_back(canbus::Value::of_int(1000 * k));
  std::vector<canbus_server::Event> events;
  uint64_t made = 0;
  for (auto _ : state) {
    v.time_ns += 10'000'000;
    if (changing) {
      for (auto& x : v.values) x = canbus::Value::of_int((x.as_int() + 7) % 30000);
    }
    pd.on_pdo("CAN.ADC", 1, 10, 1, v, events);
    made += events.size();
    events.clear();
  }
  state.counters["events_per_call"] =
      benchmark::Counter(static_cast<double>(made) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ServerOnPdo)->ArgName("changing")->Arg(0)->Arg(1);

void BM_ValueHistoryAdd(benchmark::State& state) {
  constexpr int kValues = 1000;
  constexpr int kIntervals = 3600;
  constexpr int64_t kSecond = 1'000'000'000;
  std::vector<std::string> names;
  for (int k = 0; k < kValues; ++k)
    names.push_back("CAN.NODE" + std::to_string(k / 4) + ".CH" + std::to_string(k % 4));
  size_t bytes = 0;
  for (auto _ : state) {
    canbus_server::ValueHistory h;
    for (int i = 0; i < kIntervals; ++i) {
      const int64_t t = 1'700'000'000 * kSecond + i * kSecond;
      for (int k = 0; k < kValues; ++k) h.add(names[static_cast<size_t>(k)], t, i * 0.5 + k);
    }
    bytes = h.bytes();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * kValues * kIntervals);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["bytes_per_sample_kept"] =
      static_cast<double>(bytes) / (kValues * (3600.0 + 1440.0));
  state.counters["bytes_per_hour_sample"] = static_cast<double>(bytes) / (kValues * 3600.0);
}
BENCHMARK(BM_ValueHistoryAdd)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
