// The boot procedure of one node of a network (boot_slave.cpp), as Network runs it on the node
// monitor's boot workers. Private to the library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "can_network.h"

namespace canbus {

// What the procedure needs besides the node.
struct BootContext {
  const SlaveSetup* setup = nullptr;
  int master_id = 0;
  NodeMonitor* monitor = nullptr;  // the node's state and heartbeats
  // A program was downloaded to the node in this start-up already: a second difference of the
  // software is I, never a second download.
  bool downloaded_before = false;
  std::function<bool()> cancelled;
  std::function<void(size_t, size_t)> progress;  // of a program download
};

struct BootOutcome {
  char code = 0;  // 0: done; 'L': done, the node was operational; else the failure
  std::string reason;
  bool config_skipped = false;
  // The program was downloaded and the node restarts into it: the procedure runs again at its
  // boot-up (code 0).
  bool restarting = false;
  bool cancelled = false;
};

// Steps 1 to 5 of can_network.h on the caller's thread.
BootOutcome boot_slave(D_can& node, const BootContext& ctx);

}  // namespace canbus
