// canbus-server's process data: the server's own work for each decoded TPDO, on top of the
// monitor's (bench_pdo), as its on_pdo callback does it under the state lock: the values stored
// and scaled, the rate limit and deadband checked, and the value events made when due.
//
// BM_ServerOnPdo: a TPDO of four INTEGER16 values with scale, unit and deadband, one call per
// frame, the frames 10 ms apart. changing:0 repeats the same values (no event after the first:
// the common case of a steady measurement); changing:1 changes every value by more than its
// deadband each frame with a value interval of 0, so that every call makes four events (their
// texts formatted): the worst case.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config_file.h"
#include "process_data.h"

namespace {

void BM_ServerOnPdo(benchmark::State& state) {
  const bool changing = state.range(0) != 0;
  const auto config = canbus_server::ConfigFile::parse(
      "CAN.ADC: 1 10 0 0\n"
      "CAN.ADC.TPDO1: event 10 map CH1 0x6401:1 int16 scale 0.001 unit V deadband 0.0005, CH2 "
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

}  // namespace

BENCHMARK_MAIN();
