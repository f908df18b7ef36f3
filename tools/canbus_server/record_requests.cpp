// Recording and replaying for canbus-server (record_requests.h).
#include "record_requests.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>

#include "canlog.h"
#include "config_file.h"
#include "recorder.h"
#include "requests.h"
#include "vbus.h"

namespace canbus_server {
namespace {

namespace rec = ntcan::recorder;

constexpr int kLines = vbus::kNets;  // lines 1..20 are driver nets 0..19
constexpr uint64_t kAllLines = (uint64_t{1} << kLines) - 1;

// The net of an interface name: its trailing number ("can3", "vcan3" -> 3); -1 without one.
int net_of_interface(const std::string& name) {
  size_t p = name.size();
  while (p > 0 && std::isdigit(static_cast<unsigned char>(name[p - 1]))) --p;
  if (p == name.size() || name.size() - p > 2) return -1;
  const int net = std::atoi(name.c_str() + p);
  return net < kLines ? net : -1;
}

std::string state() {
  if (!rec::active()) return "not recording";
  std::string s = "recording lines";
  for (int n = 0; n < kLines; ++n) {
    if ((rec::nets() >> n) & 1) s += " " + std::to_string(n + 1);
  }
  return s;
}

}  // namespace

RecordRequests::~RecordRequests() {
  replays_.clear();
  if (!opt_.record_file.empty()) rec::stop();
}

bool RecordRequests::start(const RecordOptions& options, bool virtual_bus, std::ostream& out) {
  opt_ = options;
  if (!opt_.replay_file.empty()) {
    if (!virtual_bus) {
      out << "error: --replay puts devices on the virtual bus; not with another backend\n";
      return false;
    }
    canlog::Log log;
    std::string error;
    if (!canlog::read_log_file(opt_.replay_file, &log, &error)) {
      out << "error: " << error << "\n";
      return false;
    }
    for (const canlog::Problem& p : log.problems) {
      out << "replay " << opt_.replay_file << ": line " << p.line << ": " << p.what
          << " (skipped)\n";
    }
    if (log.extended + log.error_frames + log.fd > 0) {
      out << "replay " << opt_.replay_file << ": skipped " << log.extended
          << " frames with 29-bit identifiers, " << log.error_frames << " error frames, " << log.fd
          << " CAN FD frames\n";
    }
    std::map<std::string, bool> interfaces;  // name -> has requests
    for (const canlog::Record& r : log.records) {
      interfaces[r.iface] = interfaces[r.iface] || r.dir == canlog::Dir::kTx;
    }
    for (const auto& [name, answering] : interfaces) {
      const int net = net_of_interface(name);
      if (net < 0) {
        out << "replay " << opt_.replay_file << ": no line for interface " << name
            << " (skipped)\n";
        continue;
      }
      sim::ReplayOptions ro;
      ro.iface = name;
      ro.loop = !answering;
      replays_.push_back(std::make_unique<sim::ReplayNode>(net, log, ro));
      sim::ReplayNode& node = *replays_.back();
      out << "replay " << name << " on line " << net + 1 << ": " << node.frames() << " frames, "
          << (answering ? std::to_string(node.requests()) + " requests answered"
                        : "played in a loop")
          << "\n";
      if (answering) {
        node.answer(true);
      } else {
        node.start();
      }
    }
  }
  if (!opt_.record_file.empty()) {
    rec::Options o;
    o.path = opt_.record_file;
    o.rotate_bytes = opt_.max_bytes;
    o.keep = opt_.keep;
    std::string error;
    if (!rec::start(o, &error)) {
      out << "error: recording: " << error << "\n";
      return false;
    }
  }
  return true;
}

std::string RecordRequests::request(const std::vector<std::string>& a) {
  if (opt_.record_file.empty()) return "error: no recording file (start with --record FILE)";
  if (a.size() == 1) return state();
  if (a.size() > 3 || (a[1] != "on" && a[1] != "off")) return "error: record on|off [LINE]";
  uint64_t lines = kAllLines;
  if (a.size() == 3) {
    int line = 0;
    if (!parse_int(a[2], line) || line < 1 || line > kLines) {
      return "error: bad line " + quote_word(a[2]) + " (1.." + std::to_string(kLines) + ")";
    }
    lines = uint64_t{1} << (line - 1);
  }
  const uint64_t now = rec::active() ? rec::nets() & kAllLines : 0;
  rec::set_nets(a[1] == "on" ? now | lines : now & ~lines);
  return "ok (" + state() + ")";
}

void RecordRequests::tick(int64_t session_ns) {
  for (auto& node : replays_) {
    if (node->requests() > 0) node->play_unanswered(session_ns);
  }
}

const char* RecordRequests::help() {
  return "record on|off [LINE]  record all lines or one into the --record file; 'record': state";
}

}  // namespace canbus_server
