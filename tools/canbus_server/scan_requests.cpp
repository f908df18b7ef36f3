// canbus-server: the "scan LINE" request.
#include "scan_requests.h"

#include <cstdio>
#include <sstream>

#include "D_esdcan.h"
#include "config_file.h"
#include "requests.h"

namespace canbus_server {

std::string scan_request(const std::string& line_word, const std::vector<ScanTarget>& configured,
                         int* line, std::set<int>* found) {
  *line = 0;
  found->clear();
  int l = 0;
  if (!parse_int(line_word, l) || l < 1 || l > 20) {
    return "error: bad line '" + quote_word(line_word) + "' (1..20)";
  }
  // The bit rate of the line, from a node of it (NTCAN baud codes), for the scan's time-outs.
  canbus::ScanOptions options;
  const std::pair<int, int> kbit[] = {{0, 1000}, {14, 800}, {2, 500}, {4, 250}, {6, 125},
                                      {7, 100},  {9, 50},   {11, 20}, {13, 10}};
  for (const auto& t : configured) {
    for (const auto& [code, rate] : kbit) {
      if (t.line == l && t.baud_code == code) options.bit_rate_kbit = rate;
    }
  }
  const canbus::ScanResult r = canbus::scan_line(l, options);
  if (r.result != 0) {
    return "error: scan of line " + std::to_string(l) + ": " +
           can_error_str(static_cast<unsigned long>(r.result)) +
           (r.open_error.empty() ? "" : " (" + r.open_error + ")");
  }
  std::ostringstream o;
  char b[160];
  for (const auto& n : r.nodes) {
    found->insert(n.id);
    o << "node " << n.id << ": " << canbus::found_by_text(n.found_by);
    if (n.conflict) {
      o << ", id conflict: " << n.answers << " nodes answer\n";
      continue;
    }
    if (n.identity_result[0] == 0 && n.identity_result[3] == 0) {
      std::snprintf(b, sizeof b, ", vendor 0x%08X product 0x%08X revision 0x%08X serial 0x%08X",
                    n.vendor, n.product, n.revision, n.serial);
      o << b;
    }
    if (n.name_result == 0) o << ", \"" << n.name << "\"";
    const std::string unanswered = canbus::unanswered_text(n);
    if (!unanswered.empty()) o << ", no reply: " << unanswered;
    o << "\n";
  }
  int missing = 0;
  for (const auto& t : configured) {
    if (t.line != l || found->count(t.node) != 0) continue;
    o << "not found: " << t.name << " (node " << t.node << ")\n";
    ++missing;
  }
  std::snprintf(b, sizeof b,
                "scan line %d: %zu node%s found, %d configured node%s not found (%.2f s)", l,
                r.nodes.size(), r.nodes.size() == 1 ? "" : "s", missing, missing == 1 ? "" : "s",
                static_cast<double>(r.elapsed_ns) / 1e9);
  o << b;
  *line = l;
  return o.str();
}

}  // namespace canbus_server
