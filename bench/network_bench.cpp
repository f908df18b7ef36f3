// Starting a whole line: 127 simulated nodes on one 125 kbit/s wire, brought up by the master,
// in real time against the bus time the bring-up needs.
//
// Every node answers with real-bus timing (200 us to take a request, as the other benches'
// nodes) and all of them share one wire with the master (sim::VbusNode::share_wire): the
// master's requests and the nodes' answers go over it one after the other, each taking its
// frame time (47 + 8 per data byte bit times) at 125 kbit/s. A listener of the net counts the
// frames that went over it during the measurement and their bits; the lower bound is that bus
// time, the time the frames would take back to back with nothing between them. Stuff bits are
// not in the bound, as the simulated wire does not take them either; `bus_ms_stuffed` is the
// bound with the most stuff bits each frame can have, for a real bus.
//
// Each node: identity as expected, 20 objects (0x2000..0x2013, UNSIGNED32) and 4 TPDOs (two
// INTEGER16 inputs each) written, then started.
//
// BM_NetworkBringUp: the network master (Network, all nodes mandatory, started at once), from
// start() to the network started; `restart:1` Network::restart() with the configurations
// unchanged, and `of_first` its wall time over the first start-up's.
// BM_MonitorBringUp: the node monitor's boot configuration, the way a line is brought up
// without a network master, for comparison; `reconfigure:1` the same again by
// NodeMonitor::reconfigure() of every node.
// BM_ProgramDownload: a program to one node alone on the wire.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "can_monitor.h"
#include "can_network.h"
#include "canopen_node.h"
#include "pdo_producer.h"

namespace canbus_bench {
namespace {

constexpr int kLine = 1;
constexpr int kNodes = 127;
constexpr int kBitRate = 125000;
constexpr auto kProcessing = std::chrono::microseconds(200);
constexpr uint32_t kVendor = 0xABC;
constexpr uint32_t kProduct = 0x4711;
constexpr uint32_t kRevision = 0x10002;
constexpr int kObjects = 20;
constexpr int kPdos = 4;

// Bit times of a frame on the wire, without and with the most stuff bits it can have.
int64_t frame_bits(const CMSG& f) {
  return 47 + 8 * ((f.len & NTCAN_RTR) != 0 ? 0 : std::min(f.len & 0x0F, 8));
}
int64_t stuffed_bits(const CMSG& f) {
  const int64_t bits = frame_bits(f);
  return bits + (bits - 13 - 1) / 4;  // the 34 + 8n stuffable bits, one in every four at most
}

// Frames and bits that went over the net while counting is on.
class WireCount {
 public:
  explicit WireCount(int net)
      : net_(net), dev_(vbus::attach_device(net, [this](int, const CMSG& f) { frame(f); })) {}
  ~WireCount() { vbus::detach_device(dev_); }
  WireCount(const WireCount&) = delete;
  WireCount& operator=(const WireCount&) = delete;

  void begin() {
    frames_ = 0;
    bits_ = 0;
    stuffed_ = 0;
    on_ = true;
  }
  void end() { on_ = false; }
  int64_t frames() const { return frames_; }
  double bus_ms() const { return static_cast<double>(bits_) * 1e3 / kBitRate; }
  double stuffed_ms() const { return static_cast<double>(stuffed_) * 1e3 / kBitRate; }
  int net() const { return net_; }

 private:
  void frame(const CMSG& f) {
    if (!on_.load(std::memory_order_relaxed)) return;
    ++frames_;
    bits_ += frame_bits(f);
    stuffed_ += stuffed_bits(f);
  }
  int net_;
  int dev_;
  std::atomic<bool> on_{false};
  std::atomic<int64_t> frames_{0};
  std::atomic<int64_t> bits_{0};
  std::atomic<int64_t> stuffed_{0};
};

// The line: master properties and simulated nodes 1..kNodes on one shared, timed wire.
struct Line {
  World w{World::Time::kParked};
  std::unique_ptr<WireCount> wire;
  std::vector<std::unique_ptr<sim::VbusNode>> sims;
  std::vector<BenchNode*> masters;

  bool build() {
    vbus::set_sent_limit(0);
    sim::VbusNode::share_wire(net_of(kLine), kBitRate);
    wire = std::make_unique<WireCount>(net_of(kLine));
    for (int id = 1; id <= kNodes; ++id) {
      BenchNode* m = w.master(kLine, id, 0x580 + id);
      if (m == nullptr) return false;
      masters.push_back(m);
      auto s = std::make_unique<sim::VbusNode>(net_of(kLine), id);
      sim::NodeLogic& n = s->logic();
      n.set_identity(kVendor, kProduct, kRevision, static_cast<uint32_t>(id));
      sim::make_adc(n, 4);
      for (int p = 2; p <= kPdos; ++p) {
        n.set_tpdo(p, 0x80000000u | static_cast<uint32_t>(0x80 + 0x100 * p + id), 0xFF, 0, {});
      }
      for (int i = 0; i < kObjects; ++i) {
        n.set_object(static_cast<uint16_t>(0x2000 + i), 0, std::string(4, '\0'));
      }
      s->set_timing(kProcessing, kBitRate);
      sims.push_back(std::move(s));
    }
    return true;
  }
  ~Line() {
    sims.clear();
    wire.reset();
    sim::VbusNode::share_wire(net_of(kLine), 0);
  }
};

std::vector<canbus::SdoWrite> node_writes(int id) {
  std::vector<canbus::SdoWrite> v;
  for (int i = 0; i < kObjects; ++i) {
    v.emplace_back(static_cast<uint16_t>(0x2000 + i), 0, canbus::DataType::kUnsigned32,
                   canbus::Value::of_uint(static_cast<uint64_t>(id * 100 + i)));
  }
  return v;
}

std::vector<canbus::PdoConfig> node_pdos() {
  std::vector<canbus::PdoConfig> v;
  for (int p = 1; p <= kPdos; ++p) {
    canbus::PdoConfig c;
    c.kind = canbus::PdoKind::kTpdo;
    c.number = p;
    c.transmission_type = 0xFF;
    c.event_timer_ms = 100;
    const uint8_t a = static_cast<uint8_t>((p - 1) % 2 * 2 + 1);
    c.mapping = {{0x6401, a, 16, canbus::DataType::kInteger16, "a"},
                 {0x6401, static_cast<uint8_t>(a + 1), 16, canbus::DataType::kInteger16, "b"}};
    v.push_back(c);
  }
  return v;
}

// Reports counted until `n` of them came.
struct Counter {
  std::mutex mx;
  std::condition_variable cv;
  int ok = 0;
  int failed = 0;
  std::string first_failure;
  void add(bool good, const std::string& why) {
    {
      std::lock_guard<std::mutex> lk(mx);
      if (good) {
        ++ok;
      } else if (failed++ == 0) {
        first_failure = why;
      }
    }
    cv.notify_all();
  }
  bool wait(int n, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, limit, [&] { return ok + failed >= n; }) && failed == 0;
  }
  void reset() {
    std::lock_guard<std::mutex> lk(mx);
    ok = failed = 0;
  }
};

void report(benchmark::State& state, const WireCount& wire, double wall_ms) {
  state.counters["wall_ms"] = wall_ms;
  state.counters["frames"] = static_cast<double>(wire.frames());
  state.counters["bus_ms"] = wire.bus_ms();
  state.counters["bus_ms_stuffed"] = wire.stuffed_ms();
  state.counters["ratio"] = wall_ms / wire.bus_ms();
}

// The monitor's boot configuration: the identity check of vendor and product, the writes, the
// PDOs as configure_pdo writes and reads them back, the NMT start of each node; from adding
// the nodes to the monitor to the last one configured.
void BM_MonitorBringUp(benchmark::State& state) {
  const bool again = state.range(0) != 0;
  Line line;
  if (!line.build()) {
    state.SkipWithError("attachment failed");
    return;
  }
  Counter done;
  canbus::NodeMonitor monitor;
  monitor.start(10);
  std::vector<canbus::NodeConfig> configs;
  for (int id = 1; id <= kNodes; ++id) {
    auto boot = std::make_shared<canbus::BootConfig>();
    boot->check_identity = true;
    boot->vendor_id = kVendor;
    boot->product_code = kProduct;
    boot->writes = node_writes(id);
    boot->pdos = node_pdos();
    canbus::NodeConfig nc;
    nc.mode = canbus::Supervision::kNone;
    nc.boot = boot;
    configs.push_back(nc);
  }
  canbus::NodeCallbacks cb;
  cb.on_boot_config = [&done](D_can&, const canbus::BootReport& r) { done.add(r.ok, r.reason); };
  auto add_all = [&] {
    for (int id = 1; id <= kNodes; ++id) {
      if (monitor.add(line.masters[static_cast<size_t>(id - 1)],
                      configs[static_cast<size_t>(id - 1)], cb) != 0) {
        return false;
      }
    }
    return true;
  };
  if (again) {
    // The first bring-up, not measured.
    if (!add_all() || !done.wait(kNodes, std::chrono::seconds(120))) {
      state.SkipWithError(("first bring-up failed: " + done.first_failure).c_str());
      return;
    }
  }
  for (auto _ : state) {
    done.reset();
    line.wire->begin();
    const auto t0 = std::chrono::steady_clock::now();
    bool added = true;
    if (again) {
      for (BenchNode* m : line.masters) added = monitor.reconfigure(m) && added;
    } else {
      added = add_all();
    }
    const bool ok = added && done.wait(kNodes, std::chrono::seconds(120));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    line.wire->end();
    if (!ok) {
      state.SkipWithError(("bring-up failed: " + done.first_failure).c_str());
      break;
    }
    state.SetIterationTime(ms / 1e3);
    report(state, *line.wire, ms);
  }
  monitor.stop();
  for (BenchNode* m : line.masters) monitor.remove(m);
}
BENCHMARK(BM_MonitorBringUp)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("reconfigure")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The network master: every node mandatory with its whole identity expected (0x1000,
// 0x1018:1..4), the same objects and PDOs as one configuration (concise_entries) with its
// stamp, the network started with one NMT start to all nodes. From start() (reset
// communication, the boot-ups, each node's procedure on the monitor's workers) to the network
// started. `restart:1` measures Network::restart() after a first start-up: the nodes keep their
// stored configuration (0x1020 holds the stamp), so only the identity and 0x1020 are read.
void BM_NetworkBringUp(benchmark::State& state) {
  const bool restart = state.range(0) != 0;
  Line line;
  if (!line.build()) {
    state.SkipWithError("attachment failed");
    return;
  }
  for (auto& s : line.sims) {
    s->logic().set_object(0x1000, 0, std::string("\x91\x01\x0F\x00", 4));
    s->logic().enable_config_store(true);
  }
  canbus::NodeMonitor monitor;
  monitor.start(10);
  Counter started;
  canbus::NetworkCallbacks cb;
  cb.on_network = [&started](canbus::NetworkState s, const std::string& why) {
    if (s == canbus::NetworkState::kStarted) started.add(true, why);
    if (s == canbus::NetworkState::kBlocked) started.add(false, why);
  };
  canbus::NetworkConfig nc;
  nc.line = kLine;
  nc.start = canbus::StartMode::kAllAtOnce;
  nc.boot_time_ms = 120000;
  canbus::Network net(monitor, nc, cb);
  const canbus::ConfigStamp stamp = canbus::config_stamp_of(1'765'000'000);
  for (int id = 1; id <= kNodes; ++id) {
    canbus::BootConfig boot;
    boot.writes = node_writes(id);
    boot.pdos = node_pdos();
    canbus::SlaveSetup s;
    s.assignment.mandatory = true;
    s.identity.device_type = sim::kDefaultDeviceType;
    s.identity.vendor_id = kVendor;
    s.identity.product_code = kProduct;
    s.identity.revision = kRevision;
    s.identity.serial = static_cast<uint32_t>(id);
    std::string why;
    if (!canbus::concise_entries(boot, id, s.configuration, why)) {
      state.SkipWithError(("configuration: " + why).c_str());
      return;
    }
    s.config_stamp = stamp;
    canbus::NodeConfig sup;
    sup.mode = canbus::Supervision::kNone;
    if (net.add(line.masters[static_cast<size_t>(id - 1)], s, sup) != 0) {
      state.SkipWithError("network add failed");
      return;
    }
  }
  double first_ms = 0;
  if (restart) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!net.start() || !started.wait(1, std::chrono::seconds(120))) {
      state.SkipWithError(("first start-up failed: " + started.first_failure).c_str());
      return;
    }
    first_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  int skipped = 0;
  for (auto _ : state) {
    started.reset();
    line.wire->begin();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok =
        (restart ? net.restart() : net.start()) && started.wait(1, std::chrono::seconds(120));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    line.wire->end();
    if (!ok) {
      state.SkipWithError(("start-up failed: " + started.first_failure).c_str());
      break;
    }
    state.SetIterationTime(ms / 1e3);
    report(state, *line.wire, ms);
    if (restart) state.counters["of_first"] = ms / first_ms;
    skipped = 0;
    for (const canbus::SlaveStatus& st : net.statuses()) skipped += st.config_skipped ? 1 : 0;
  }
  state.counters["config_skipped"] = skipped;
  net.stop();
  monitor.stop();
}
BENCHMARK(BM_NetworkBringUp)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("restart")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A program of range(0) KiB to node 1, alone on the wire with the same timing
// (download_program: stop, clear, the image to 0x1F50:1 by block transfer, the flash status,
// start), from the call to its return, against the bus time of its frames.
void BM_ProgramDownload(benchmark::State& state) {
  World w{World::Time::kParked};
  vbus::set_sent_limit(0);
  sim::VbusNode::share_wire(net_of(kLine), kBitRate);
  WireCount wire(net_of(kLine));
  BenchNode* m = w.master(kLine, 1, 0x581);
  if (m == nullptr) {
    state.SkipWithError("attachment failed");
    return;
  }
  auto node = std::make_unique<sim::VbusNode>(net_of(kLine), 1);
  node->logic().enable_program_area(0x11111111);
  node->set_timing(kProcessing, kBitRate);
  std::vector<uint8_t> image(static_cast<size_t>(state.range(0)) * 1024);
  uint32_t x = 12345;
  for (uint8_t& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  int progress = 0;
  for (auto _ : state) {
    wire.begin();
    const auto t0 = std::chrono::steady_clock::now();
    const canbus::ProgramResult r =
        canbus::download_program(*m, image, 1, true, 10000, [&](size_t, size_t) { ++progress; });
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    wire.end();
    if (!r.ok || r.bytes != image.size()) {
      state.SkipWithError(("download failed: " + r.reason).c_str());
      break;
    }
    state.SetIterationTime(ms / 1e3);
    report(state, wire, ms);
    state.counters["kbyte_per_s"] = static_cast<double>(image.size()) / ms;
  }
  state.counters["progress_calls"] = progress;
  node.reset();
  sim::VbusNode::share_wire(net_of(kLine), 0);
}
BENCHMARK(BM_ProgramDownload)
    ->Arg(64)
    ->ArgName("kib")
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace canbus_bench

BENCHMARK_MAIN();
