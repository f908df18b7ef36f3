// canbus-scan: commissioning a crate from the command line. Scans a line for the nodes that
// answer (canbus::scan_line) and gives node ids and bit rates by LSS (canbus::LssMaster).
// One thread; the library's services open handles of their own on the line's net.
//
// Exit status: 0 done; 1 the bus or a node failed the request (the reason on standard error);
// 2 bad command line; 3 the scan found an id conflict.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "backend.h"

namespace {

constexpr const char* kName = "canbus-scan";

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

std::string json_string(const std::string& s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

// A number of 32 bits, decimal or 0x...: CLI11 is given it as text.
bool parse_u32(const std::string& s, uint32_t& v) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long x = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || x > 0xFFFFFFFFull) return false;
  v = static_cast<uint32_t>(x);
  return true;
}

std::string sdo_text(int64_t r) {
  if (r == 0) return "ok";
  if (r == -1) return "SDO time-out";
  const char* t = sdo_abort_text(static_cast<uint32_t>(r));
  char b[32];
  std::snprintf(b, sizeof b, "SDO abort 0x%08X", static_cast<uint32_t>(r));
  return t ? std::string(b) + ": " + t : b;
}

struct Common {
  int line = 1;
  bool json = false;
  std::string backend;
};

int fail(const std::string& what) {
  std::cerr << kName << ": " << what << "\n";
  return 1;
}

// --- scan ---------------------------------------------------------------------------------

int run_scan(const Common& c, int timeout_ms, int retries, bool no_identity, int kbit) {
  canbus::ScanOptions o;
  o.bit_rate_kbit = kbit;
  o.timeout_ms = timeout_ms;
  o.retries = retries;
  o.read_identity = !no_identity;
  // Progress on standard error once the scan has taken a second, so that quick scans stay
  // quiet; the line is overwritten in place.
  const auto start = std::chrono::steady_clock::now();
  bool shown = false;
  o.progress = [&](int done, int total) {
    if (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) return;
    std::cerr << "\rscanning line " << c.line << ": " << done << " of " << total << " requests"
              << std::flush;
    shown = true;
  };
  const canbus::ScanResult r = canbus::scan_line(c.line, o);
  if (shown) std::cerr << "\n";
  if (r.result != 0) {
    return fail("scan of line " + std::to_string(c.line) + ": " +
                can_error_str(static_cast<unsigned long>(r.result)) +
                (r.open_error.empty() ? "" : " (" + r.open_error + ")"));
  }
  const double seconds = static_cast<double>(r.elapsed_ns) / 1e9;
  const std::vector<int> conflicts = r.conflicts();
  std::ostringstream out;
  if (c.json) {
    out << "{\"line\":" << c.line << ",\"seconds\":" << seconds << ",\"requests\":" << r.requests
        << ",\"kbit\":" << r.bit_rate_kbit << ",\"nodes\":[";
    bool first = true;
    for (const auto& n : r.nodes) {
      out << (first ? "" : ",") << "{\"id\":" << n.id
          << ",\"found_by\":" << json_string(canbus::found_by_text(n.found_by))
          << ",\"conflict\":" << (n.conflict ? "true" : "false");
      if (n.device_type_result == 0) out << ",\"device_type\":" << n.device_type;
      const uint32_t parts[4] = {n.vendor, n.product, n.revision, n.serial};
      const char* names[4] = {"vendor", "product", "revision", "serial"};
      for (int i = 0; i < 4; ++i) {
        if (n.identity_result[i] == 0) out << ",\"" << names[i] << "\":" << parts[i];
      }
      if (n.name_result == 0) out << ",\"name\":" << json_string(n.name);
      const std::string unanswered = canbus::unanswered_text(n);
      if (!unanswered.empty()) out << ",\"unanswered\":" << json_string(unanswered);
      out << "}";
      first = false;
    }
    out << "],\"conflicts\":[";
    for (size_t i = 0; i < conflicts.size(); ++i) out << (i ? "," : "") << conflicts[i];
    out << "]}\n";
  } else {
    char head[160];
    std::snprintf(head, sizeof head, "line %d: %zu node%s (%d requests, %.2f s)\n", c.line,
                  r.nodes.size(), r.nodes.size() == 1 ? "" : "s", r.requests, seconds);
    out << head;
    if (!r.nodes.empty()) {
      out << " ID  FOUND BY              DEVICE TYPE VENDOR     PRODUCT    REVISION   SERIAL"
             "     NAME\n";
    }
    for (const auto& n : r.nodes) {
      auto field = [](int64_t res, uint32_t v) { return res == 0 ? hex8(v) : std::string("-"); };
      char row[200];
      std::snprintf(row, sizeof row, "%3d  %-20s  %-11s %-10s %-10s %-10s %-10s ", n.id,
                    canbus::found_by_text(n.found_by).c_str(),
                    field(n.device_type_result, n.device_type).c_str(),
                    field(n.identity_result[0], n.vendor).c_str(),
                    field(n.identity_result[1], n.product).c_str(),
                    field(n.identity_result[2], n.revision).c_str(),
                    field(n.identity_result[3], n.serial).c_str());
      out << row;
      const std::string unanswered = canbus::unanswered_text(n);
      if (n.conflict) {
        out << "id conflict: " << n.answers << " nodes answer";
      } else if (!unanswered.empty()) {
        out << (n.name_result == 0 ? n.name + " " : "") << "(no reply: " << unanswered << ")";
      } else if (n.name_result == 0) {
        out << n.name;
      } else if (!no_identity && n.device_type_result != -1) {
        out << "(" << sdo_text(n.name_result) << ")";
      } else if (n.device_type_result != 0) {
        out << "(0x1000: " << sdo_text(n.device_type_result) << ")";
      }
      out << "\n";
    }
    for (int id : conflicts) {
      out << "warning: id conflict on node id " << id << ": more than one node answers\n";
    }
  }
  std::cout << out.str() << std::flush;
  return conflicts.empty() ? 0 : 3;
}

// --- lss ----------------------------------------------------------------------------------

struct Address {
  std::vector<std::string> words;  // VENDOR PRODUCT REVISION SERIAL
  bool get(canbus::LssAddress& a) const {
    uint32_t* parts[4] = {&a.vendor, &a.product, &a.revision, &a.serial};
    for (int i = 0; i < 4; ++i) {
      if (!parse_u32(words[static_cast<size_t>(i)], *parts[i])) {
        std::cerr << kName << ": '" << words[static_cast<size_t>(i)]
                  << "' is not a number of 32 bits (decimal or 0x...)\n";
        return false;
      }
    }
    return true;
  }
};

std::string address_text(const canbus::LssAddress& a) {
  return "vendor " + hex8(a.vendor) + " product " + hex8(a.product) + " revision " +
         hex8(a.revision) + " serial " + hex8(a.serial);
}

int run_fastscan(const Common& c, int timeout_ms) {
  canbus::LssMaster m(c.line, 500, timeout_ms);
  std::vector<canbus::LssAddress> found;
  const canbus::LssResult r = m.fastscan_all(found);
  if (c.json) {
    std::cout << "{\"line\":" << c.line << ",\"slaves\":[";
    for (size_t i = 0; i < found.size(); ++i) {
      const auto& a = found[i];
      std::cout << (i ? "," : "") << "{\"vendor\":" << a.vendor << ",\"product\":" << a.product
                << ",\"revision\":" << a.revision << ",\"serial\":" << a.serial << "}";
    }
    std::cout << "]}\n";
  } else {
    std::cout << "line " << c.line << ": " << found.size() << " unconfigured slave"
              << (found.size() == 1 ? "" : "s") << "\n";
    for (const auto& a : found) std::cout << "  " << address_text(a) << "\n";
  }
  if (!r.ok()) return fail("fastscan: " + canbus::lss_result_text(r, canbus::LssMaster::kFastscan));
  return 0;
}

// Selects the slave, runs `configure` on it, stores when asked, and switches every slave back
// to waiting state (so an unconfigured slave given an id starts with it) whatever happened.
template <class F>
int with_slave(const Common& c, const Address& ad, bool store, const std::string& done,
               F configure) {
  canbus::LssAddress a;
  if (!ad.get(a)) return 2;
  canbus::LssMaster m(c.line);
  canbus::LssResult r = m.switch_selective(a);
  if (!r.ok()) {
    const std::string why =
        r.result == canbus::LssResult::kTimeout
            ? "no slave with " + address_text(a) + " answers"
            : canbus::lss_result_text(r, canbus::LssMaster::kSwitchSelectiveReply);
    return fail("switch state selective: " + why);
  }
  std::string failure = configure(m);
  if (failure.empty() && store) {
    r = m.store_configuration();
    if (!r.ok()) {
      failure = "store configuration: " +
                canbus::lss_result_text(r, canbus::LssMaster::kStoreConfiguration);
    }
  }
  m.switch_global(false);
  if (!failure.empty()) return fail(failure);
  if (c.json) {
    std::cout << "{\"line\":" << c.line << ",\"ok\":true,\"done\":" << json_string(done)
              << ",\"stored\":" << (store ? "true" : "false") << "}\n";
  } else {
    std::cout << "ok: " << done << (store ? " (stored)" : "") << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "canbus-scan: commissioning a CAN line. 'scan' lists the CANopen nodes that answer (SDO\n"
      "for 0x1000, boot-ups and heartbeats heard meanwhile) with their identity (0x1018) and\n"
      "device name (0x1008), and reports two nodes on one id; it sends no NMT and writes\n"
      "nothing, so supervised nodes go on undisturbed. 'lss' gives node ids and bit rates by\n"
      "layer setting services to slaves addressed by their identity; 'lss fastscan' finds the\n"
      "identities of the unconfigured ones (node id 255). LINE is 1..20 (driver net LINE - 1).\n"
      "Numbers: decimal or 0x... . Exit status: 0 done, 1 failed, 2 bad command line, 3 id\n"
      "conflict found.",
      kName};
  app.require_subcommand(1);
  app.fallthrough();  // --json and --backend also after the command
  Common c;
  app.add_flag("--json", c.json, "output as JSON, for scripts");
  app.add_option("--backend", c.backend, "driver backend (else NTCAN_BACKEND; default virtual)")
      ->check(CLI::IsMember(ntcan::backend_names()));

  auto* scan = app.add_subcommand("scan", "lists the nodes that answer on LINE");
  scan->add_option("LINE", c.line, "CAN line")->required()->check(CLI::Range(1, 20));
  int timeout_ms = 100, retries = 1;
  bool no_identity = false;
  int scan_kbit = canbus::ScanOptions::kLineBitRate;
  scan->add_option("--timeout", timeout_ms, "ms to wait for each SDO reply")
      ->capture_default_str()
      ->check(CLI::Range(1, 10000));
  scan->add_option("--retries", retries, "requests again to a silent id")
      ->capture_default_str()
      ->check(CLI::Range(0, 10));
  scan->add_option("--bitrate", scan_kbit,
                   "the line's bit rate in kbit/s: each time-out counts from when the requests "
                   "before it can have been sent (default: the rate the line was opened with, "
                   "else 125)")
      ->check(CLI::Range(10, 1000));
  scan->add_flag("--no-identity", no_identity, "only 0x1000: no 0x1018 and 0x1008");

  auto* lss = app.add_subcommand("lss", "layer setting services");
  lss->require_subcommand(1);
  lss->fallthrough();
  auto* fastscan = lss->add_subcommand("fastscan", "finds every unconfigured slave on LINE");
  fastscan->add_option("LINE", c.line, "CAN line")->required()->check(CLI::Range(1, 20));
  int fast_ms = 20;
  fastscan->add_option("--timeout", fast_ms, "ms to wait for a reply to each fastscan request")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));

  Address ad;
  bool store = false;
  auto add_address = [&](CLI::App* s) {
    s->add_option("LINE", c.line, "CAN line")->required()->check(CLI::Range(1, 20));
    ad.words.resize(4);
    const char* names[4] = {"VENDOR", "PRODUCT", "REVISION", "SERIAL"};
    for (size_t i = 0; i < 4; ++i) {
      s->add_option(names[i], ad.words[i], "the slave's identity, 0x1018:" + std::to_string(i + 1))
          ->required();
    }
  };
  auto* set_id = lss->add_subcommand("set-id", "gives the slave node id NEWID (1..127)");
  add_address(set_id);
  int new_id = 0;
  set_id->add_option("NEWID", new_id, "node id")->required()->check(CLI::Range(1, 127));
  set_id->add_flag("--store", store, "stores the configuration in the slave");

  auto* set_rate = lss->add_subcommand(
      "set-bitrate", "gives the slave bit rate KBIT (1000 800 500 250 125 100 50 20 10 kbit/s)");
  add_address(set_rate);
  int kbit = 0, activate_ms = -1;
  set_rate->add_option("KBIT", kbit, "bit rate in kbit/s")->required();
  set_rate->add_flag("--store", store, "stores the configuration in the slave");
  set_rate
      ->add_option("--activate", activate_ms,
                   "switches the slave to it after DELAY ms (the rest of the line must "
                   "follow: every slave in configuration state switches)")
      ->check(CLI::Range(0, 65535));

  auto* store_cmd = lss->add_subcommand("store", "stores the slave's configured id and bit rate");
  add_address(store_cmd);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return 0;
    }
    std::cerr << kName << ": " << e.what() << "\n(--help lists the commands)\n";
    return 2;
  }
  if (!c.backend.empty()) setenv("NTCAN_BACKEND", c.backend.c_str(), 1);

  if (scan->parsed()) return run_scan(c, timeout_ms, retries, no_identity, scan_kbit);
  if (fastscan->parsed()) return run_fastscan(c, fast_ms);
  if (set_id->parsed()) {
    return with_slave(c, ad, store, "node id " + std::to_string(new_id),
                      [&](canbus::LssMaster& m) -> std::string {
                        const canbus::LssResult r = m.configure_node_id(new_id);
                        if (r.ok()) return "";
                        return "configure node id: " +
                               canbus::lss_result_text(r, canbus::LssMaster::kConfigureNodeId);
                      });
  }
  if (set_rate->parsed()) {
    const int index = canbus::lss_bit_index(kbit);
    if (index < 0) {
      std::cerr << kName << ": " << kbit << " kbit/s is not in the bit timing table\n";
      return 2;
    }
    return with_slave(c, ad, store, "bit rate " + std::to_string(kbit) + " kbit/s",
                      [&](canbus::LssMaster& m) -> std::string {
                        canbus::LssResult r = m.configure_bit_timing(index);
                        if (!r.ok()) {
                          return "configure bit timing: " +
                                 canbus::lss_result_text(r, canbus::LssMaster::kConfigureBitTiming);
                        }
                        if (activate_ms >= 0) r = m.activate_bit_timing(activate_ms);
                        return r.ok() ? ""
                                      : "activate bit timing: " + canbus::lss_result_text(r, 0);
                      });
  }
  if (store_cmd->parsed()) {
    return with_slave(c, ad, true, "configuration",
                      [](canbus::LssMaster&) { return std::string(); });
  }
  return 2;
}
