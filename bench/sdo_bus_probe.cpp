// sdo-bus-probe: SDO uploads from one node over whatever bus the driver's backend reaches (a
// vcan interface with canbus-simnode answering, for instance), timed one by one. Prints the
// median and 95th percentile of the upload time and the uploading thread's processor time per
// upload. Real clock throughout.
//
// Usage: sdo-bus-probe [--line N] [--node ID] [--uploads N] [--index 0xIIII]
//                      [--mode identity|segmented|block]
// --mode identity (the default) reads through segSdoRead into a 256-byte buffer, the path
// every version of the client has; segmented and block read a value of any size with sdo_read.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "bench_support.h"

namespace {

double now_s(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  int line = 1;
  int node = 5;
  int uploads = 200;
  int index = 0x1008;
  std::string mode = "identity";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--mode") {
      mode = argv[i + 1];
      if (mode != "identity" && mode != "segmented" && mode != "block") {
        std::fprintf(stderr, "sdo-bus-probe: --mode identity, segmented or block\n");
        return 2;
      }
      continue;
    }
    const int v = static_cast<int>(std::strtol(argv[i + 1], nullptr, 0));
    if (opt == "--line") line = v;
    if (opt == "--node") node = v;
    if (opt == "--uploads") uploads = v;
    if (opt == "--index") index = v;
  }
  setenv("CANBUS_ESD_PLUGIN", "/dev/null", 1);
  EqFct loc("PROBE.CAN");
  canbus_bench::BenchNode n("CAN.PROBE", &loc, line, node);
  if (int r = n.init(0x580 + node); r != 0) {
    std::fprintf(stderr, "sdo-bus-probe: attaching line %d node %d failed: %d\n", line, node, r);
    std::_Exit(2);
  }
  std::vector<double> wall;
  double cpu = 0;
  int failed = 0;
  char buffer[256];
  std::vector<uint8_t> value;
  size_t length = 0;
  for (int i = 0; i < uploads; ++i) {
    std::memset(buffer, 0, sizeof buffer);
    const double w0 = now_s(CLOCK_MONOTONIC);
    const double c0 = now_s(CLOCK_THREAD_CPUTIME_ID);
    int r = 0;
    if (mode == "identity") {
      r = n.segSdoRead(static_cast<short>(node), index, 0, buffer, sizeof buffer);
      length = std::strlen(buffer);
    } else {
      r = n.sdo_read(index, 0, value, mode == "block" ? SdoMode::kBlock : SdoMode::kSegmented);
      length = value.size();
    }
    cpu += now_s(CLOCK_THREAD_CPUTIME_ID) - c0;
    wall.push_back(now_s(CLOCK_MONOTONIC) - w0);
    if (r != 0) {
      ++failed;
      std::fprintf(stderr, "upload %d: %d\n", i, r);
    }
  }
  std::sort(wall.begin(), wall.end());
  const auto at = [&](double q) {
    return wall[std::min(wall.size() - 1,
                         static_cast<size_t>(q * static_cast<double>(wall.size())))];
  };
  std::printf("uploads %d of 0x%04X (%zu bytes, %s), failed %d\n", uploads, index, length,
              mode.c_str(), failed);
  std::printf("median %.3f ms, p95 %.3f ms, processor time per upload %.1f us\n", at(0.5) * 1e3,
              at(0.95) * 1e3, cpu / uploads * 1e6);
  std::fflush(stdout);
  // The line's supervision thread sleeps for a minute: no orderly shutdown.
  std::_Exit(failed == 0 ? 0 : 1);
}
