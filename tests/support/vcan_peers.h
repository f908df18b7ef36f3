// Waiting for the can-utils programs that a SocketCAN test runs as peers.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace canbus_test {

// Polls `done` until it holds or `seconds` of real time have passed; whether it holds. For
// conditions of other processes, which give no event to wait for.
inline bool wait_until(const std::function<bool()>& done, int seconds = 10) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Receivers of every frame of `ifname` registered in the kernel (raw sockets without a
// filter, as candump's). The driver's sockets always filter and never count here.
inline int catch_all_receivers(const std::string& ifname) {
  std::ifstream in("/proc/net/can/rcvlist_all");
  std::string line;
  int n = 0;
  bool in_all = false;
  while (std::getline(in, line)) {
    if (line.rfind("receive list", 0) == 0) in_all = line.find("'rx_all'") != std::string::npos;
    std::istringstream words(line);
    std::string first;
    if (in_all && (words >> first) && first == ifname) ++n;
  }
  return n;
}

}  // namespace canbus_test
