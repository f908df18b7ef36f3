// Helpers of the node-property tests: records, locations, node properties and client access.
#pragma once

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "registry.h"
#include "support/nodes.h"
#include "tavik.h"
#include "vbus.h"

// Readable records in test failure messages.
inline void PrintTo(const IIII& v, std::ostream* os) {
  *os << v.i1_data << ' ' << v.i2_data << ' ' << v.i3_data << ' ' << v.i4_data;
}

namespace node_test {

using canbus_test::client_write;
using canbus_test::iiii;
using canbus_test::make_node;
using canbus_test::net_of;

// A node property of `loc` whose value `v` comes from the configuration, as at server start
// (has_changed() stays false). `v` must lie in the ranges the load accepts.
inline std::unique_ptr<D_can> load_node(EqFct* loc, const std::string& name, IIII v) {
  auto p = std::make_unique<D_can>(name + " node under test", loc);
  Config cfg;
  cfg.parse(name + ": " + std::to_string(v.i1_data) + " " + std::to_string(v.i2_data) + " " +
            std::to_string(v.i3_data) + " " + std::to_string(v.i4_data) + "\n");
  p->conf(&cfg);
  p->read();
  p->conf(nullptr);
  return p;
}

// A client write of a record to a node property.
inline void client_write(D_can* prop, IIII v, EqFct* loc) {
  EqAdr adr;
  EqData in;
  EqData out;
  in.set(v);
  prop->set(&adr, &in, &out, loc);
}

inline std::vector<D_can*> registry() {
  std::lock_guard<std::mutex> lk(D_can::mx_loop);
  return can_list;
}

inline size_t line_count() {
  std::lock_guard<std::mutex> lk(line_list_mx);
  return canline_list.size();
}

inline bool enabled(NTCAN_HANDLE h, int32_t id) {
  const std::vector<int32_t> ids = vbus::enabled_ids(h);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The identifiers of the frames in a node's receive buffer.
inline std::vector<int32_t> buffer_ids(const D_can& n) {
  std::vector<int32_t> ids;
  if (n.rx_buffer() == nullptr) return ids;
  const int count = __atomic_load_n(n.rx_count(), __ATOMIC_SEQ_CST);
  for (int i = 0; i < count; ++i) ids.push_back(n.rx_buffer()[i].id);
  return ids;
}

}  // namespace node_test
