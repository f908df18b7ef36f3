// canbus-server: the "scan LINE" request, the network scan of the library run as bus work.
// Kept apart from the request loop, which calls in here.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace canbus_server {

// A configured node the scan should find.
struct ScanTarget {
  std::string name;  // the node property
  int line = 0;
  int node = 0;
  int baud_code = -1;  // the NTCAN baud code of its line, -1 when not known
};

// "scan LINE" (LINE 1..20): scans the line and answers one line per node found ("node ID:
// found by, identity, "device name"" or "id conflict"), one "not found: NAME (node ID)" per
// node of `configured` on the line that did not answer, and last "scan line L: N nodes found,
// M configured nodes not found (S s)". On success *line is the line and *found its ids found;
// on failure (the answer starts with "error: ") *line is 0.
std::string scan_request(const std::string& line_word, const std::vector<ScanTarget>& configured,
                         int* line, std::set<int>* found);

}  // namespace canbus_server
