// The boot procedure of one node of a network, the boot status texts, the assignment's 0x1F81
// value and the names of the states.
//
// The procedure runs on a boot worker of the node monitor (Network hands it over as the
// node's BootConfig::procedure) and talks to the node by SDO only; what it finds goes back to
// the Network as a BootOutcome. It never sends NMT: the Network decides who starts and when.
#include <cstdio>
#include <string>

#include "D_esdcan.h"
#include "network_boot.h"

namespace canbus {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
// How often the wait for a node's first heartbeat looks at the monitor's counters.
constexpr int64_t kHeartbeatLookNs = 10 * kNsPerMs;

std::string hex32(uint32_t v) {
  char t[16];
  std::snprintf(t, sizeof t, "0x%08X", v);
  return t;
}

std::string where(uint16_t index, uint8_t sub) {
  char t[16];
  std::snprintf(t, sizeof t, "0x%04X:%02X: ", index, sub);
  return t;
}

// An UNSIGNED32 (or shorter) object; the SDO result.
int read_u32(D_can& node, uint16_t index, uint8_t sub, uint32_t& out) {
  uint8_t b[4] = {};
  size_t len = 0;
  const int r = node.sdo_upload(index, sub, b, sizeof b, &len);
  if (r != 0) return r;
  out = 0;
  for (size_t i = 0; i < len && i < 4; ++i) out |= static_cast<uint32_t>(b[i]) << (8 * i);
  return 0;
}

int write_u32(D_can& node, uint16_t index, uint8_t sub, uint32_t v, size_t size) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  return node.sdo_download(index, sub, b, size);
}

BootOutcome failed(char code, std::string reason) {
  BootOutcome o;
  o.code = code;
  o.reason = std::move(reason);
  return o;
}

// Steps 1 and 2: device type and identity. An empty reason: as expected.
BootOutcome check_identity(D_can& node, const ExpectedIdentity& id) {
  uint32_t type = 0;
  const int r = read_u32(node, 0x1000, 0, type);
  if (r != 0) return failed('B', where(0x1000, 0) + sdo_result_text(r));
  if (id.device_type && type != *id.device_type) {
    return failed('C', "device type " + hex32(type) + ", expected " + hex32(*id.device_type));
  }
  struct Field {
    const std::optional<uint32_t>* want;
    char code;
    const char* name;
  };
  const Field fields[4] = {{&id.vendor_id, 'D', "vendor id"},
                           {&id.product_code, 'M', "product code"},
                           {&id.revision, 'N', "revision number"},
                           {&id.serial, 'O', "serial number"}};
  for (uint8_t sub = 1; sub <= 4; ++sub) {
    const Field& p = fields[sub - 1];
    if (!*p.want) continue;
    uint32_t got = 0;
    const int rr = read_u32(node, 0x1018, sub, got);
    if (rr != 0) return failed(p.code, where(0x1018, sub) + sdo_result_text(rr));
    if (got != **p.want) {
      return failed(p.code,
                    std::string(p.name) + " " + hex32(got) + ", expected " + hex32(**p.want));
    }
  }
  return {};
}

// Step 3: the node's software against the expected; `differs` says how when it differs.
BootOutcome check_software(D_can& node, const SlaveSetup& s, std::string& differs) {
  if (s.software_id) {
    uint32_t got = 0;
    const int r = read_u32(node, 0x1F56, 1, got);
    if (r != 0) return failed('G', where(0x1F56, 1) + sdo_result_text(r));
    if (got != *s.software_id) {
      differs = "software " + hex32(got) + ", expected " + hex32(*s.software_id);
      return {};
    }
  }
  if (!s.software_date.empty()) {
    uint32_t days = 0, ms = 0;
    int r = read_u32(node, 0x1F52, 1, days);
    if (r != 0) return failed('G', where(0x1F52, 1) + sdo_result_text(r));
    r = read_u32(node, 0x1F52, 2, ms);
    if (r != 0) return failed('G', where(0x1F52, 2) + sdo_result_text(r));
    if (days != s.software_date.days || ms != s.software_date.ms) {
      differs = "software date " + std::to_string(days) + " d " + std::to_string(ms) +
                " ms, expected " + std::to_string(s.software_date.days) + " d " +
                std::to_string(s.software_date.ms) + " ms";
    }
  }
  return {};
}

// Step 5: the first heartbeat after 0x1017 was written, within twice its time.
bool first_heartbeat(D_can& node, const BootContext& ctx, uint64_t replies_before) {
  tavik::Clock& clock = tavik::clock();
  const int64_t deadline = clock.now_ns() + 2 * int64_t{ctx.setup->heartbeat_ms} * kNsPerMs;
  for (;;) {
    NodeStats st;
    if (ctx.monitor != nullptr && ctx.monitor->stats(&node, st) && st.replies > replies_before) {
      return true;
    }
    if ((ctx.cancelled && ctx.cancelled()) || clock.now_ns() >= deadline) return false;
    clock.sleep_ns(kHeartbeatLookNs);
  }
}

}  // namespace

BootOutcome boot_slave(D_can& node, const BootContext& ctx) {
  const SlaveSetup& s = *ctx.setup;
  auto cancelled = [&] { return ctx.cancelled && ctx.cancelled(); };
  auto stop = [] {
    BootOutcome o;
    o.cancelled = true;
    o.reason = "cancelled";
    return o;
  };
  // A node kept alive that runs already is left running: its identity is checked, nothing is
  // written to it.
  NodeStats st;
  const bool operational = s.assignment.keep_alive && ctx.monitor != nullptr &&
                           ctx.monitor->stats(&node, st) && st.state == 0x05;

  BootOutcome o = check_identity(node, s.identity);
  if (o.code != 0) return o;
  if (cancelled()) return stop();
  if (operational) {
    o.code = 'L';
    o.reason = "left operational";
    return o;
  }

  if (s.assignment.check_software && (s.software_id || !s.software_date.empty())) {
    std::string differs;
    o = check_software(node, s, differs);
    if (o.code != 0) return o;
    if (!differs.empty()) {
      if (!s.assignment.update_allowed) return failed('H', differs);
      if (!s.program || s.program->empty()) return failed('G', differs + "; no program to load");
      if (ctx.downloaded_before) return failed('I', differs + " after the program download");
      if (cancelled()) return stop();
      const ProgramResult p = download_program(node, *s.program, 1, true, 10000, ctx.progress);
      if (!p.ok) return failed('I', "program download: " + p.reason);
      o.restarting = true;
      o.reason = "program downloaded, the node restarts";
      return o;
    }
  }
  if (cancelled()) return stop();

  if (!s.configuration.empty() || !s.config_stamp.empty() || s.store) {
    const ConfigResult c =
        write_configuration(node, s.configuration, s.config_stamp, s.store, ctx.cancelled);
    if (!c.ok) return failed('J', c.reason);
    o.config_skipped = c.skipped;
  }
  if (cancelled()) return stop();

  if (s.consume_master_ms > 0 && ctx.master_id >= 1 && ctx.master_id <= 127) {
    const uint32_t v = static_cast<uint32_t>(ctx.master_id) << 16 |
                       (static_cast<uint32_t>(s.consume_master_ms) & 0xFFFF);
    const int r = write_u32(node, 0x1016, 1, v, 4);
    if (r != 0) return failed('J', where(0x1016, 1) + sdo_result_text(r));
  }
  if (s.heartbeat_ms > 0) {
    NodeStats before;
    if (ctx.monitor != nullptr) ctx.monitor->stats(&node, before);
    const int r = write_u32(node, 0x1017, 0, static_cast<uint32_t>(s.heartbeat_ms) & 0xFFFF, 2);
    if (r != 0) return failed('J', where(0x1017, 0) + sdo_result_text(r));
    if (!first_heartbeat(node, ctx, before.replies)) {
      if (cancelled()) return stop();
      return failed('K', "no heartbeat within " + std::to_string(2 * s.heartbeat_ms) + " ms");
    }
  }
  return o;
}

std::string boot_status_text(char code) {
  switch (code) {
    case 'A':
      return "A: the node is not in the network list";
    case 'B':
      return "B: no answer to the request for 0x1000 (device type)";
    case 'C':
      return "C: the device type (0x1000) differs from the expected";
    case 'D':
      return "D: the vendor id (0x1018:1) differs from the expected";
    case 'E':
      return "E: no heartbeat from the node";
    case 'F':
      return "F: no reply to node guarding";
    case 'G':
      return "G: the program download objects are missing or inconsistent";
    case 'H':
      return "H: a software update is required but not allowed";
    case 'I':
      return "I: a software update is required but the program download failed";
    case 'J':
      return "J: the configuration download failed";
    case 'K':
      return "K: no heartbeat during the start of error control";
    case 'L':
      return "L: the node was initially operational";
    case 'M':
      return "M: the product code (0x1018:2) differs from the expected";
    case 'N':
      return "N: the revision number (0x1018:3) differs from the expected";
    case 'O':
      return "O: the serial number (0x1018:4) differs from the expected";
    default:
      return "";
  }
}

uint32_t SlaveAssignment::to_u32() const {
  const auto r = static_cast<uint32_t>(retries < 0 ? 0 : retries > 255 ? 255 : retries);
  return (slave ? 1u : 0u) | (mandatory ? 1u << 3 : 0u) | (keep_alive ? 1u << 4 : 0u) |
         (check_software ? 1u << 5 : 0u) | (update_allowed ? 1u << 6 : 0u) | r << 8 |
         static_cast<uint32_t>(guard_time_ms) << 16;
}

SlaveAssignment SlaveAssignment::from_u32(uint32_t v) {
  SlaveAssignment a;
  a.slave = (v & 1u) != 0;
  a.mandatory = (v & 1u << 3) != 0;
  a.keep_alive = (v & 1u << 4) != 0;
  a.check_software = (v & 1u << 5) != 0;
  a.update_allowed = (v & 1u << 6) != 0;
  a.retries = static_cast<int>((v >> 8) & 0xFF);
  a.guard_time_ms = static_cast<uint16_t>(v >> 16);
  return a;
}

const char* slave_state_name(SlaveState s) {
  switch (s) {
    case SlaveState::kWaiting:
      return "waiting";
    case SlaveState::kBooting:
      return "booting";
    case SlaveState::kRetrying:
      return "retrying";
    case SlaveState::kConfigured:
      return "configured";
    case SlaveState::kStarted:
      return "started";
    case SlaveState::kMissing:
      return "missing";
    case SlaveState::kLost:
      return "lost";
    case SlaveState::kFailed:
      return "failed";
  }
  return "?";
}

const char* network_state_name(NetworkState s) {
  switch (s) {
    case NetworkState::kIdle:
      return "idle";
    case NetworkState::kBooting:
      return "booting";
    case NetworkState::kStarted:
      return "started";
    case NetworkState::kBlocked:
      return "blocked";
  }
  return "?";
}

}  // namespace canbus
