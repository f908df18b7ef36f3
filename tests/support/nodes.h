// Node properties for the library's tests: records, properties and client writes.
#pragma once

#include <memory>
#include <string>

#include "D_esdcan.h"

namespace canbus_test {

inline IIII iiii(int line, int node, int i3 = 0, int i4 = 0) {
  IIII v;
  v.i1_data = line;
  v.i2_data = node;
  v.i3_data = i3;
  v.i4_data = i4;
  return v;
}

// Line n is driver net n - 1.
constexpr int net_of(int line) {
  return line - 1;
}

// A node property of `loc` holding `v`, not attached. `loc` must outlive it.
inline std::unique_ptr<D_can> make_node(EqFct* loc, const std::string& name, IIII v) {
  auto p = std::make_unique<D_can>(name + " node under test", loc);
  p->set_value(&v);
  return p;
}
inline std::unique_ptr<D_can> make_node(EqFct& loc, const std::string& name, IIII v) {
  return make_node(&loc, name, v);
}

// A client write of the integer `v` to a property, as the framework passes it.
inline void client_write(D_fct* prop, int v, EqFct* loc) {
  EqAdr adr;
  EqData in;
  EqData out;
  in.set(v);
  prop->set(&adr, &in, &out, loc);
}

}  // namespace canbus_test
