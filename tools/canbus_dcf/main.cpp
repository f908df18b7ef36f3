// canbus-dcf: a node's DCF off line. `concise` writes what the DCF changes in the node (its
// boot configuration: the writes and the PDOs) as one concise DCF, the bytes a master downloads
// to 0x1F22; `check` compares a DCF with its device's EDS.
//
// Exit status: 0 done (no findings); 1 a file could not be read or used, or the check has
// findings; 2 bad command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "D_esdcan.h"

namespace {

constexpr const char* kName = "canbus-dcf";

int fail(const std::string& what) {
  std::cerr << kName << ": " << what << "\n";
  return 1;
}

int run_concise(const std::string& dcf_path, int node, const std::string& out_path) {
  auto od = std::make_shared<canbus::ObjectDictionary>();
  std::vector<std::string> errors;
  if (!canbus::ObjectDictionary::load(dcf_path, *od, errors, node)) {
    for (const std::string& e : errors) std::cerr << e << "\n";
    return 1;
  }
  if (node == 0) node = od->dcf_node_id();
  if (node < 1 || node > 127) return fail(dcf_path + ": no node id in the file: give --node");
  canbus::BootConfig cfg;
  std::string why;
  if (!canbus::boot_config_from_dictionary(*od, cfg, why)) return fail(dcf_path + ": " + why);
  cfg.dictionary = od;
  std::vector<canbus::ConciseEntry> entries;
  if (!canbus::concise_entries(cfg, node, entries, why)) return fail(dcf_path + ": " + why);
  const std::vector<uint8_t> bytes = canbus::encode_concise_dcf(entries);
  if (out_path.empty()) {
    std::cout.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    return std::cout ? 0 : fail("standard output: write failed");
  }
  std::ofstream f(out_path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  f.close();
  if (!f) return fail(out_path + ": cannot be written");
  std::cout << out_path << ": " << entries.size() << " entries, " << bytes.size()
            << " bytes for node " << node << "\n";
  return 0;
}

int run_check(const std::string& dcf_path, const std::string& eds_path) {
  canbus::ObjectDictionary eds;
  std::vector<std::string> errors;
  if (!canbus::ObjectDictionary::load(eds_path, eds, errors)) {
    for (const std::string& e : errors) std::cerr << e << "\n";
    return 1;
  }
  std::ifstream f(dcf_path, std::ios::binary);
  if (!f) return fail(dcf_path + ": cannot be read");
  const std::string text{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  if (f.bad()) return fail(dcf_path + ": cannot be read");
  const std::vector<std::string> found = canbus::check_dcf_against_eds(text, dcf_path, eds);
  for (const std::string& l : found) std::cout << l << "\n";
  return found.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A node's DCF off line: its concise form, and a check against the EDS", kName};
  app.require_subcommand(1);
  std::string dcf, eds, out;
  int node = 0;
  CLI::App* concise = app.add_subcommand(
      "concise", "write the node's configuration from its DCF as a concise DCF (binary)");
  concise->add_option("dcf", dcf, "the node's DCF")->required();
  concise->add_option("--node", node, "node id for $NODEID and the PDOs (default: the DCF's)")
      ->check(CLI::Range(1, 127));
  concise->add_option("--out", out, "file to write (default: standard output)");
  CLI::App* check = app.add_subcommand(
      "check", "check a DCF against its EDS: findings as FILE:LINE: TEXT, exit 1 when any");
  check->add_option("dcf", dcf, "the DCF")->required();
  check->add_option("eds", eds, "the device's EDS")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int r = app.exit(e);
    return r == 0 ? 0 : 2;
  }
  if (*concise) return run_concise(dcf, node, out);
  return run_check(dcf, eds);
}
