// The smallest device server: one node property on line 1, node 5, against a simulated node on
// the virtual bus. Reads the node's identity, starts it and checks its state through guarding.
#include <D_esdcan.h>
#include <canopen_node.h>

#include <cstdio>

int main() {
  sim::VbusNode device(0, 5, "Example node", "HW 1", "SW 1");
  EqFct location("EXAMPLE");
  D_can node("EXAMPLE.NODE5 example node", &location);
  IIII v{1, 5, 0, 0};
  node.set_value(&v);

  if (node.init(0x705) != 0 || node.AddIdent(0x585) != 0) return 1;
  if (node.get_manufacture() != 0) return 2;
  node.start_node();
  node.rtr();
  can_looping();

  CMSG frames[D_can::kRxFrames];
  int count = 0;
  node.can_array(frames, &count);
  node.alive_prop()->check_alive(5, frames, &count);
  std::printf("%s: %s, %s\n", node.name().c_str(), node.manu_prop()->value().c_str(),
              node.condition_prop()->value().c_str());
  return node.alive_prop()->isalive() ? 0 : 3;
}
