// The log reader: fuzzer-made text read as a log file. Every line must be counted once under
// exactly one heading, every malformed line reported with its number, and every frame read must
// be one the driver can send, which the writer writes as a line that reads back the same.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "canlog.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const canlog::Log log = canlog::read_log(in);
  check(log.records.size() + log.other + log.extended + log.error_frames + log.fd + log.malformed ==
        log.lines);
  check(log.problems.size() == std::min(log.malformed, canlog::kMaxProblems));
  size_t previous = 0;
  for (const canlog::Problem& p : log.problems) {
    check(p.line > previous && p.line <= log.lines && !p.what.empty());
    previous = p.line;
  }
  for (const canlog::Record& r : log.records) {
    const CMSG& f = r.frame;
    check(f.id >= 0 && f.id <= 0x7FF && (f.len & 0x0F) <= 8 && (f.len & ~0x1F) == 0);
    check(r.time_ns >= 0 && !r.iface.empty() && r.iface.size() <= 15);
    if (f.len & NTCAN_RTR) {
      for (uint8_t b : f.data) check(b == 0);
    }
    const std::string line = canlog::format_line(r);
    check(line.size() < canlog::kMaxLine);
    canlog::Record again;
    check(canlog::parse_line(line, &again) == canlog::LineKind::kFrame);
    check(again.iface == r.iface && again.dir == r.dir && again.frame.id == f.id &&
          again.frame.len == f.len && again.time_ns == r.time_ns / 1000 * 1000);
    for (int i = 0; i < 8; ++i) check(again.frame.data[i] == f.data[i]);
  }
  return 0;
}
