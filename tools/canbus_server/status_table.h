// The status table as Server::status_table() reads it: the line protocol's `status` makes its
// lines of it, the service layer (service.cpp) its nodes' JSON.
#pragma once

#include <string>
#include <vector>

#include "requests.h"

namespace canbus_server {

// The status table as read: the texts of its cells, made into lines as they are sent.
struct StatusTable {
  std::vector<std::string> heading;
  std::vector<size_t> width;
  std::vector<std::vector<std::string>> rows;  // a node's cells
  std::vector<std::string> notes;              // after a node's last cell
  std::vector<std::string> tail;               // the lines, then the process values
  size_t lines() const { return 1 + rows.size() + tail.size(); }
  // Line k (each once: a node's cells are freed as its line is made).
  std::string line(size_t k) {
    if (k >= 1 + rows.size()) return printable(tail[k - 1 - rows.size()]);
    std::vector<std::string> cells = k == 0 ? heading : std::move(rows[k - 1]);
    std::string o;
    for (size_t c = 0; c < cells.size(); ++c) {
      o += cells[c];
      if (c + 1 < cells.size()) o.append(width[c] - cells[c].size(), ' ');
    }
    if (k > 0) o += std::move(notes[k - 1]);
    return printable(o);
  }
};

}  // namespace canbus_server
