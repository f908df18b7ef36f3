// The configuration reader: Config::parse of any text, the lookup of every name the text
// defines, and the two properties that take their values from it — the integer property and the
// node property with its range clamps — including the round trip through their configuration
// lines.
#include <cstdint>
#include <sstream>
#include <string>

#include "D_esdcan.h"
#include "fuzz_input.h"

namespace {

struct Props {
  EqFct loc{"FUZZ"};
  D_int* integer = nullptr;
  D_can* node = nullptr;
  Props() {
    tavik::LogCapture quiet;
    integer = new D_int("N.INT an integer", &loc);
    loc.own(integer);
    // The node property hands its sub-properties to the location; it is never attached.
    node = new D_can("N a node", &loc);
    loc.own(node);
  }
};

Props& props() {
  static Props* p = new Props;  // lives for the whole run
  return *p;
}

// The name a configuration line defines, as the reader is meant to take it: the text before the
// first colon without surrounding blanks and tabs; empty for blank, comment and colon-less lines.
std::string line_name(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return {};
  const size_t colon = line.find(':', first);
  if (colon == std::string::npos) return {};
  std::string name = line.substr(first, colon - first);
  const size_t last = name.find_last_not_of(" \t");
  return last == std::string::npos ? std::string() : name.substr(0, last + 1);
}

void check_entry(const D_conf_struct* e) {
  FUZZ_CHECK(e->found);
  FUZZ_CHECK(e->d_int_array.size() >= 4);
  FUZZ_CHECK(e->d_int == e->d_int_array[0]);
  FUZZ_CHECK(e->d_text.find('\n') == std::string::npos);
  FUZZ_CHECK(e->d_text.empty() || (e->d_text[0] != ' ' && e->d_text[0] != '\t'));
}

int32_t clamp_field(int32_t v, int32_t max) {
  return v > max ? 0 : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tavik::LogCapture quiet;
  Config conf;
  conf.parse(text);

  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string name = line_name(line);
    if (name.empty()) continue;
    const D_conf_struct* e = conf.find(name);
    FUZZ_CHECK(e != nullptr);
    check_entry(e);
  }

  Props& p = props();

  // The integer property: the first number of its line, or its value unchanged.
  const int int_before = p.integer->get_value();
  p.integer->conf(&conf);
  p.integer->read();
  const D_conf_struct* ie = conf.find("N.INT");
  FUZZ_CHECK(p.integer->get_value() == (ie != nullptr ? ie->d_int : int_before));
  std::ostringstream int_line;
  p.integer->write(int_line);
  Config int_back;
  int_back.parse(int_line.str());
  FUZZ_CHECK(int_back.find("N.INT") != nullptr);
  FUZZ_CHECK(int_back.find("N.INT")->d_int == p.integer->get_value());

  // The node property: four numbers, the line above 20 and the identifiers above 2000 set to 0.
  const IIII node_before = p.node->value();
  p.node->conf(&conf);
  p.node->read();
  IIII expect = node_before;
  if (const D_conf_struct* ne = conf.find("N")) {
    expect.i1_data = ne->d_int_array[0];
    expect.i2_data = ne->d_int_array[1];
    expect.i3_data = ne->d_int_array[2];
    expect.i4_data = ne->d_int_array[3];
  }
  expect.i1_data = clamp_field(expect.i1_data, 20);
  expect.i2_data = clamp_field(expect.i2_data, 2000);
  expect.i3_data = clamp_field(expect.i3_data, 2000);
  expect.i4_data = clamp_field(expect.i4_data, 2000);
  FUZZ_CHECK(p.node->value() == expect);

  std::ostringstream node_line;
  p.node->write(node_line);
  Config node_back;
  node_back.parse(node_line.str());
  const D_conf_struct* back = node_back.find("N");
  FUZZ_CHECK(back != nullptr);
  const IIII v = p.node->value();
  FUZZ_CHECK(back->d_int_array[0] == v.i1_data && back->d_int_array[1] == v.i2_data &&
             back->d_int_array[2] == v.i3_data && back->d_int_array[3] == v.i4_data);
  return 0;
}
