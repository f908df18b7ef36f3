// canbus-server's configuration reader and writer: any text is read without harm, every line
// is kept by a save that replaces nothing, the problems name real lines, the node properties it
// accepts are in range, and a save that rewrites them reads back to the same properties.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config_file.h"
#include "fuzz_input.h"
#include "requests.h"

using canbus_server::ConfigFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ConfigFile f = ConfigFile::parse(text);

  // Nothing replaced: the file comes back as it was (with a final line feed).
  std::string same = text;
  if (!same.empty() && same.back() != '\n') same += '\n';
  FUZZ_CHECK(f.render({}, {}) == same);

  for (const auto& p : f.problems()) {
    FUZZ_CHECK(p.line >= 1 && static_cast<size_t>(p.line) <= f.lines().size());
    FUZZ_CHECK(!p.reason.empty());
  }

  // Every node property accepted is in range; rewritten the way the server writes it, the file
  // reads back to the same node properties and no new problems.
  std::map<std::string, std::string> current;
  std::vector<std::string> order;
  for (const auto& name : f.node_names()) {
    const std::string* value = f.value_of(name);
    FUZZ_CHECK(value != nullptr);
    const auto w = canbus_server::split_words(*value);
    FUZZ_CHECK(w.size() == 4);
    int v[4];
    for (size_t i = 0; i < 4; ++i) FUZZ_CHECK(canbus_server::parse_int(w[i], v[i]));
    FUZZ_CHECK(canbus_server::check_node_value(v).empty());
    current[name] = name + ": \t" + std::to_string(v[0]) + "  " + std::to_string(v[1]) + "  " +
                    std::to_string(v[2]) + "  " + std::to_string(v[3]);
    order.push_back(name);
  }
  const ConfigFile back = ConfigFile::parse(f.render(current, order));
  FUZZ_CHECK(back.node_names() == f.node_names());
  FUZZ_CHECK(back.problems().size() == f.problems().size());
  return 0;
}
