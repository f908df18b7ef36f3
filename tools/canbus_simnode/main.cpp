// canbus-simnode: one simulated CANopen node as a program of its own, on any backend of the
// driver, through the plain NTCAN calls. With NTCAN_BACKEND=socketcan it stands on a real or
// virtual CAN interface (net n = NTCAN_SOCKETCAN_IF<n>, or the NTCAN_SOCKETCAN_IFNAME pattern,
// default can<n>), so that a server can be tried against simulated devices.
//
// It opens a handle on the net, enables 0 (NMT), 0x080 (SYNC), 0x600 + id (SDO requests),
// 0x700 + id (guarding), the predefined PDO identifiers of the node (0x180..0x580 + id for
// remote requests, 0x200..0x500 + id for RPDOs) and 0x7E5 (LSS), sends the boot-up message,
// prints "ready" on standard output and then answers frames until SIGINT or SIGTERM: canRead ->
// sim::NodeLogic::on_frame -> canSend; heartbeats and TPDOs go out when due. Started
// unconfigured (--unconfigured, or node id 255) it sends no boot-up and answers only LSS until
// a master gives it a node id; then it enables the new id's identifiers and prints "node id N".
//
// When the net fails (canStatus after a quiet receive time-out), it closes the handle and
// reopens the net once a second until that works again, keeping the node's state.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "canopen_node.h"
#include "drive_model.h"
#include "ntcan.h"

namespace {

constexpr int32_t kRxQueue = 1000;
constexpr int32_t kRxTimeoutMs = 1000;  // also how often a quiet net is checked
constexpr int32_t kTxTimeoutMs = 1000;
constexpr auto kReopenPause = std::chrono::seconds(1);

struct Options {
  int net = 0;
  int node = 0;
  std::string name, hw, sw;
  std::string eds;       // EDS or DCF file whose dictionary the node serves; "": the built-in one
  int heartbeat_ms = 0;  // producer time written into 0x1017 at the start; 0: none
  struct Object {
    int index, subindex;
    size_t size;
  };
  std::vector<Object> objects;  // --object: large objects filled with sim::pattern_value
  // LSS address (0x1018:1..4); the serial defaults to the node id.
  uint32_t vendor = sim::kDefaultVendorId, product = 1, revision = 0x00010000;
  long long serial = -1;
  enum class Model { kNone, kAdc, kSupply, kDrive } model = Model::kNone;
  sim::DriveSimConfig drive;  // --drive: quirks and homing methods
  int tpdo_ms = 100;          // event timer of the model's TPDO1
  int boot_delay_ms = 0;      // --boot-delay: nothing sent or answered before the boot-up
  int config_store = 0;       // --config-store: 1 plain, 2 with concise DCF (0x1F22)
  long long program_id = -1;  // --program-area: the software id (CRC-32) it runs; -1: none
  std::string program_fault;  // --program-fault: clear, crc, no-restart
  bool verbose = false;
  unsigned lss_left_out = 0;  // sim::NodeLogic::LssOptional bits
};

void usage(std::ostream& o) {
  o << "usage: canbus-simnode --net N (--node ID | --unconfigured) [--name TEXT] [--hw TEXT]\n"
       "                      [--sw TEXT] [--eds FILE] [--heartbeat MS] [--object "
       "INDEX:SUB=SIZE]...\n"
       "                      [--vendor N] [--product N] [--revision N] [--serial N]\n"
       "                      [--lss-without SERVICE,...]\n"
       "                      [--adc | --supply | --drive] [--tpdo-ms MS]\n"
       "                      [--drive-quirks QUIRK,...] [--homing-methods N,...]\n"
       "                      [--boot-delay MS] [--config-store [concise]]\n"
       "                      [--program-area SOFTWARE_ID [--program-fault clear|crc|no-restart]]\n"
       "                      [--backend virtual|socketcan]\n"
       "                      [--verbose]\n"
       "Runs a simulated CANopen node (ID 1..127) on NTCAN net N until SIGINT or SIGTERM.\n"
       "--unconfigured (or --node 255): no node id until an LSS master gives one.\n"
       "--lss-without: LSS services the slave leaves out, as real ones may: identify,\n"
       "identify-non-configured, fastscan, inquire, bit-timing, store.\n"
       "--eds: the node serves the object dictionary of an EDS or DCF file (its defaults, access\n"
       "types and limits). --name, --hw, --sw: device name, hardware and software version\n"
       "(objects 0x1008, 0x1009, 0x100A; over the file's). --vendor, --product, --revision,\n"
       "--serial: the identity 0x1018:1..4, also the LSS address (defaults 0xABC, 1, 0x10000 and\n"
       "the node id; with --eds the file's, --serial still counts). --heartbeat: producer time\n"
       "0x1017 in ms (a master may also write it by SDO). --object: a writable object of SIZE\n"
       "bytes (0..16777216), byte i being i % 251, for block transfers (INDEX and SUB in decimal\n"
       "or 0x hex; may be given more than once). --adc: a 4-channel ADC, INTEGER16 inputs 0x6401\n"
       "sub 1..4 following sine waves (amplitude 10000, 1 s period, a quarter period apart), sent\n"
       "in TPDO1 (0x180 + ID) every --tpdo-ms ms (event timer, default 100) in operational state.\n"
       "--supply: a power supply, set-point 0x2110 by RPDO1 (0x200 + ID), actual current 0x2111\n"
       "following it at 1000/s, in TPDO1 on change (inhibit 10 ms) and every --tpdo-ms ms. PDOs\n"
       "can be reconfigured by SDO (0x1400..0x1BFF). --drive: a servo drive of the drive profile\n"
       "(built-in dictionary; state machine, profile position/velocity/torque, homing, cyclic\n"
       "synchronous modes on a simulated axis with limit switches at +-110000, a home switch at\n"
       "5000 and an index pulse every 4000 increments); --drive-quirks: fault-reset-edge,\n"
       "homing-methods, halt-blocks-mode, setpoint-ack-held; --homing-methods: the only methods\n"
       "0x6098 takes (switches on homing-methods). --boot-delay: the node boots MS ms late\n"
       "(\"ready\" at once, then not a frame sent or answered before its boot-up).\n"
       "--config-store: 0x1020 configuration date and time and 0x1010:1 store parameters (kept\n"
       "over resets); with concise, 0x1F22:ID takes a whole concise DCF. --program-area: the\n"
       "program download objects 0x1F50, 0x1F51, 0x1F52, 0x1F56 (SOFTWARE_ID, the CRC-32 of the\n"
       "program it runs) and 0x1F57; a downloaded image's CRC-32 becomes its id once started.\n"
       "--program-fault: clear refused, every image a CRC error, or no restart after start.\n"
       "--backend sets\n"
       "NTCAN_BACKEND. --verbose prints every frame.\n";
}

bool parse_int(const char* s, int lo, int hi, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 0);
  if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// INDEX:SUB=SIZE of --object.
bool parse_object(const std::string& s, Options::Object& out) {
  const size_t colon = s.find(':');
  const size_t eq = s.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || eq == std::string::npos) return false;
  int size = 0;
  if (!parse_int(s.substr(0, colon).c_str(), 0, 0xFFFF, out.index) ||
      !parse_int(s.substr(colon + 1, eq - colon - 1).c_str(), 0, 0xFF, out.subindex) ||
      !parse_int(s.substr(eq + 1).c_str(), 0, 1 << 24, size)) {
    return false;
  }
  out.size = static_cast<size_t>(size);
  return true;
}

bool parse_u32(const char* s, long long& out) {
  char* end = nullptr;
  errno = 0;
  if (*s == '-' || *s == '+') return false;
  const unsigned long long v = std::strtoull(s, &end, 0);
  if (end == s || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) return false;
  out = static_cast<long long>(v);
  return true;
}

// N,N,... of --homing-methods.
bool parse_methods(const std::string& s, std::vector<int>& out) {
  out.clear();
  size_t at = 0;
  while (at <= s.size()) {
    const size_t comma = std::min(s.find(',', at), s.size());
    int m = 0;
    if (!parse_int(s.substr(at, comma - at).c_str(), -128, 127, m)) return false;
    out.push_back(m);
    at = comma + 1;
  }
  return !out.empty();
}

std::string text(const CMSG& m) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%03X#", static_cast<unsigned>(m.id));
  if (m.len & NTCAN_RTR) {
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "R%d", m.len & 0x0F);
    return buf;
  }
  for (int i = 0; i < (m.len & 0x0F) && i < 8; ++i) {
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", m.data[i]);
  }
  return buf;
}

// The running node. The main thread reads and answers; the signal thread only stops it.
class SimNode {
 public:
  explicit SimNode(const Options& o) : o_(o), logic_(o.node, o.name, o.hw, o.sw), id_(o.node) {
    logic_.set_identity(o.vendor, o.product, o.revision,
                        static_cast<uint32_t>(o.serial >= 0 ? o.serial : o.node));
    logic_.set_lss_left_out(o.lss_left_out);
    if (o.model == Options::Model::kDrive) {
      // The drive's own dictionary; texts and a serial number given on the command line win.
      sim::make_drive(logic_, o.drive);
      if (!o.name.empty()) logic_.set_object(0x1008, 0, o.name);
      if (!o.hw.empty()) logic_.set_object(0x1009, 0, o.hw);
      if (!o.sw.empty()) logic_.set_object(0x100A, 0, o.sw);
      if (o.serial >= 0) set_serial(static_cast<uint32_t>(o.serial));
    }
    if (!o.eds.empty()) {
      loaded_ = logic_.load_dictionary(o.eds, errors_);
      // Texts given on the command line win over the file's, and so does a serial number.
      if (!o.name.empty()) logic_.set_object(0x1008, 0, o.name);
      if (!o.hw.empty()) logic_.set_object(0x1009, 0, o.hw);
      if (!o.sw.empty()) logic_.set_object(0x100A, 0, o.sw);
      if (o.serial >= 0) set_serial(static_cast<uint32_t>(o.serial));
    }
    if (o.heartbeat_ms > 0) {
      const char t[2] = {static_cast<char>(o.heartbeat_ms & 0xFF),
                         static_cast<char>(o.heartbeat_ms >> 8)};
      logic_.set_object(0x1017, 0, std::string(t, 2));
    }
    for (const Options::Object& obj : o.objects) {
      logic_.set_object(static_cast<uint16_t>(obj.index), static_cast<uint8_t>(obj.subindex),
                        sim::pattern_value(obj.size));
    }
    if (o.config_store > 0) logic_.enable_config_store(o.config_store == 2);
    if (o.program_id >= 0) {
      logic_.enable_program_area(static_cast<uint32_t>(o.program_id));
      logic_.refuse_program_clear(o.program_fault == "clear");
      logic_.set_program_crc_error(o.program_fault == "crc");
      logic_.hang_on_program_start(o.program_fault == "no-restart");
    }
    const auto event_ms = static_cast<uint16_t>(o.tpdo_ms);
    if (o.model == Options::Model::kAdc) sim::make_adc(logic_, 4, 10000, 1000, event_ms);
    if (o.model == Options::Model::kSupply) sim::make_supply(logic_, 1000, event_ms, 100);
  }

  void set_serial(uint32_t s) {
    const char t[4] = {static_cast<char>(s & 0xFF), static_cast<char>((s >> 8) & 0xFF),
                       static_cast<char>((s >> 16) & 0xFF), static_cast<char>(s >> 24)};
    logic_.set_object(0x1018, 4, std::string(t, 4));
  }

  // Whether the EDS file (if any) was read; the reader's errors otherwise.
  bool loaded() const { return loaded_; }
  const std::vector<std::string>& errors() const { return errors_; }

  // Opens the net and enables the node's identifiers; false (with a message) if that fails.
  bool open() {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    NTCAN_RESULT r = canOpen(o_.net, 0, 10, kRxQueue, kTxTimeoutMs, kRxTimeoutMs, &h);
    if (r != NTCAN_SUCCESS) return fail("canOpen", r);
    if (!enable(h, logic_.node_id())) {
      canClose(h);
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) {
      canClose(h);
      return false;
    }
    handle_ = h;
    return true;
  }

  void run() {
    if (o_.boot_delay_ms > 0) {
      // A node that boots late: "ready" at once, then silence (what comes is read and dropped)
      // until the boot-up.
      std::cout << "ready" << std::endl;
      const int64_t boot_at = now_ns() + int64_t{o_.boot_delay_ms} * 1000000;
      std::vector<CMSG> drop(64);
      while (!stopping() && now_ns() < boot_at) {
        int32_t n = static_cast<int32_t>(drop.size());
        const int64_t left_us = (boot_at - now_ns() + 999) / 1000;
        const NTCAN_RESULT r =
            canReadTimeout(handle_, drop.data(), &n, std::max<int64_t>(left_us, 1));
        if (r != NTCAN_SUCCESS && r != NTCAN_RX_TIMEOUT && !stopping()) reopen(r);
      }
      if (stopping()) return;
    }
    send(logic_.boot());
    if (o_.boot_delay_ms == 0) std::cout << "ready" << std::endl;
    std::vector<CMSG> in(64);
    send(logic_.heartbeat_due(now_ns()));  // starts the producer's schedule
    while (!stopping()) {
      // Waits for frames, or until the next heartbeat or PDO is due.
      int64_t wait_us = int64_t{kRxTimeoutMs} * 1000;
      for (const int64_t next : {logic_.next_heartbeat_ns(), logic_.next_pdo_ns()}) {
        if (next > 0) wait_us = std::clamp<int64_t>((next - now_ns() + 999) / 1000, 0, wait_us);
      }
      int32_t n = static_cast<int32_t>(in.size());
      const NTCAN_RESULT r = canReadTimeout(handle_, in.data(), &n, wait_us);
      send(logic_.heartbeat_due(now_ns()));
      send(logic_.pdo_due(now_ns()));
      if (r == NTCAN_SUCCESS) {
        for (int32_t i = 0; i < n; ++i) {
          if (o_.verbose) std::cout << "in  " << text(in[i]) << std::endl;
          send(logic_.on_frame(in[i]));
          follow_id();
        }
      } else if (r == NTCAN_RX_TIMEOUT) {
        if (wait_us < int64_t{kRxTimeoutMs} * 1000) continue;  // a heartbeat's wait
        CAN_IF_STATUS st{};
        const NTCAN_RESULT s = canStatus(handle_, &st);
        if (s != NTCAN_SUCCESS) reopen(s);
      } else if (!stopping()) {
        reopen(r);
      }
    }
  }

  // From the signal thread: ends run(); closing the handle wakes a waiting canRead.
  void stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    if (handle_ > 0) canClose(handle_);
    handle_ = NTCAN_NO_HANDLE;
    stop_cv_.notify_all();
  }

 private:
  // The identifiers of node id `id` (only LSS while unconfigured).
  bool enable(NTCAN_HANDLE h, int id) {
    std::vector<int32_t> ids = {0x7E5};
    if (id != sim::kUnconfiguredId) {
      ids.insert(ids.end(), {0x000, 0x080, 0x600 + id, 0x700 + id});
      for (int32_t base = 0x180; base <= 0x500; base += 0x80) ids.push_back(base + id);
    }
    for (int32_t x : ids) {
      const NTCAN_RESULT r = canIdAdd(h, x);
      if (r != NTCAN_SUCCESS && r != NTCAN_ID_ALREADY_ENABLED) return fail("canIdAdd", r);
    }
    return true;
  }

  // After a frame: an id given by LSS (or taken at a reset) is enabled on the handle.
  void follow_id() {
    const int id = logic_.node_id();
    if (id == id_) return;
    id_ = id;
    std::cout << "node id " << id << std::endl;
    enable(handle_, id);
  }

  static int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  bool stopping() {
    std::lock_guard<std::mutex> lock(mu_);
    return stop_;
  }

  bool fail(const char* call, NTCAN_RESULT r) {
    std::cerr << "canbus-simnode: " << call << " on net " << o_.net << " returned 0x" << std::hex
              << r << std::dec << "\n";
    return false;
  }

  void send(const std::vector<CMSG>& frames) {
    for (CMSG f : frames) {
      if (o_.verbose) std::cout << "out " << text(f) << std::endl;
      int32_t n = 1;
      const NTCAN_RESULT r = canSend(handle_, &f, &n);
      if (r != NTCAN_SUCCESS && !stopping()) fail("canSend", r);
    }
  }

  void reopen(NTCAN_RESULT why) {
    std::cerr << "canbus-simnode: net " << o_.net << " failed (0x" << std::hex << why << std::dec
              << "), reopening\n";
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
      canClose(handle_);
      handle_ = NTCAN_NO_HANDLE;
    }
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        if (stop_cv_.wait_for(lock, kReopenPause, [&] { return stop_; })) return;
      }
      if (open()) break;
    }
    std::cerr << "canbus-simnode: net " << o_.net << " open again\n";
  }

  const Options o_;
  sim::NodeLogic logic_;
  bool loaded_ = true;
  std::vector<std::string> errors_;
  int id_;         // the node id whose identifiers are enabled; main thread only
  std::mutex mu_;  // guards stop_ and changes of handle_ against stop()
  std::condition_variable stop_cv_;
  bool stop_ = false;
  // Written by open()/reopen() in the main thread and by stop(), both under mu_; the main
  // thread's reads without the lock only race with stop(), whose close makes them fail
  // harmlessly (a handle number is never reused).
  std::atomic<NTCAN_HANDLE> handle_{NTCAN_NO_HANDLE};
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool have_net = false, have_node = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::cerr << "canbus-simnode: " << a << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--net") {
      if (!parse_int(value(), 0, 255, o.net)) {
        std::cerr << "canbus-simnode: --net needs a net number 0..255\n";
        return 2;
      }
      have_net = true;
    } else if (a == "--node") {
      if (!parse_int(value(), 1, 255, o.node) || (o.node > 127 && o.node != 255)) {
        std::cerr << "canbus-simnode: --node needs a node id 1..127 (or 255: unconfigured)\n";
        return 2;
      }
      have_node = true;
    } else if (a == "--unconfigured") {
      o.node = sim::kUnconfiguredId;
      have_node = true;
    } else if (a == "--vendor" || a == "--product" || a == "--revision" || a == "--serial") {
      long long v = 0;
      if (!parse_u32(value(), v)) {
        std::cerr << "canbus-simnode: " << a << " needs a number of 32 bits\n";
        return 2;
      }
      if (a == "--vendor") o.vendor = static_cast<uint32_t>(v);
      if (a == "--product") o.product = static_cast<uint32_t>(v);
      if (a == "--revision") o.revision = static_cast<uint32_t>(v);
      if (a == "--serial") o.serial = v;
    } else if (a == "--lss-without") {
      const long bits = sim::NodeLogic::lss_optional_from_text(value());
      if (bits < 0) {
        std::cerr << "canbus-simnode: --lss-without needs services among identify,"
                     "identify-non-configured, fastscan, inquire, bit-timing, store\n";
        return 2;
      }
      o.lss_left_out = static_cast<unsigned>(bits);
    } else if (a == "--name") {
      o.name = value();
    } else if (a == "--hw") {
      o.hw = value();
    } else if (a == "--sw") {
      o.sw = value();
    } else if (a == "--eds") {
      o.eds = value();
    } else if (a == "--heartbeat") {
      if (!parse_int(value(), 1, 65535, o.heartbeat_ms)) {
        std::cerr << "canbus-simnode: --heartbeat needs a period of 1..65535 ms\n";
        return 2;
      }
    } else if (a == "--object") {
      Options::Object obj{};
      if (!parse_object(value(), obj)) {
        std::cerr << "canbus-simnode: --object needs INDEX:SUB=SIZE (SIZE 0..16777216)\n";
        return 2;
      }
      o.objects.push_back(obj);
    } else if (a == "--adc") {
      o.model = Options::Model::kAdc;
    } else if (a == "--supply") {
      o.model = Options::Model::kSupply;
    } else if (a == "--drive") {
      o.model = Options::Model::kDrive;
    } else if (a == "--drive-quirks") {
      const long bits = sim::drive_quirks_from_text(value());
      if (bits < 0) {
        std::cerr << "canbus-simnode: --drive-quirks needs quirks among fault-reset-edge, "
                     "homing-methods, halt-blocks-mode, setpoint-ack-held\n";
        return 2;
      }
      o.drive.quirks |= static_cast<unsigned>(bits);
    } else if (a == "--homing-methods") {
      if (!parse_methods(value(), o.drive.homing_methods)) {
        std::cerr << "canbus-simnode: --homing-methods needs methods -128..127 joined by ','\n";
        return 2;
      }
      o.drive.quirks |= sim::kQuirkHomingMethods;
    } else if (a == "--tpdo-ms") {
      if (!parse_int(value(), 0, 65535, o.tpdo_ms)) {
        std::cerr << "canbus-simnode: --tpdo-ms needs an event timer of 0..65535 ms\n";
        return 2;
      }
    } else if (a == "--boot-delay") {
      if (!parse_int(value(), 0, 3600000, o.boot_delay_ms)) {
        std::cerr << "canbus-simnode: --boot-delay needs 0..3600000 ms\n";
        return 2;
      }
    } else if (a == "--config-store") {
      o.config_store = 1;
      if (i + 1 < argc && std::string(argv[i + 1]) == "concise") {
        o.config_store = 2;
        ++i;
      }
    } else if (a == "--program-area") {
      if (!parse_u32(value(), o.program_id)) {
        std::cerr << "canbus-simnode: --program-area needs a software id of 32 bits\n";
        return 2;
      }
    } else if (a == "--program-fault") {
      o.program_fault = value();
      if (o.program_fault != "clear" && o.program_fault != "crc" &&
          o.program_fault != "no-restart") {
        std::cerr << "canbus-simnode: --program-fault needs clear, crc or no-restart\n";
        return 2;
      }
    } else if (a == "--backend") {
      ::setenv("NTCAN_BACKEND", value(), 1);
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--help" || a == "-h") {
      usage(std::cout);
      return 0;
    } else {
      std::cerr << "canbus-simnode: unknown argument " << a << "\n";
      usage(std::cerr);
      return 2;
    }
  }
  if (!o.program_fault.empty() && o.program_id < 0) {
    std::cerr << "canbus-simnode: --program-fault needs --program-area\n";
    return 2;
  }
  if (!have_net || !have_node) {
    usage(std::cerr);
    return 2;
  }
  if (o.model == Options::Model::kDrive && !o.eds.empty()) {
    std::cerr << "canbus-simnode: --drive brings its own dictionary; --eds cannot go with it\n";
    return 2;
  }

  // Signals go to one thread that waits for them; every other thread keeps them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  SimNode node(o);
  if (!node.loaded()) {
    for (const auto& e : node.errors()) std::cerr << e << "\n";
    std::cerr << "canbus-simnode: cannot use " << o.eds << "\n";
    return 1;
  }
  if (!node.open()) return 1;
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    node.stop();
  });
  node.run();
  // run() ended because of a signal: the waiter has returned from sigwait or is about to.
  waiter.join();
  return 0;
}
