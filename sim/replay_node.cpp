// The replaying node (replay_node.h).
#include "replay_node.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tavik_time.h"
#include "vbus.h"

namespace sim {
namespace {

constexpr int64_t kMaxPauseNs = 100'000'000;  // stop() is noticed after at most one of these
constexpr int64_t kMinLoopPauseNs = 1'000'000;

bool contains(const std::vector<int32_t>& ids, int32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Whether `answer` comes from the node `request` addresses, by the CANopen identifiers: the node
// id in the low seven bits (SDO 0x600+n -> 0x580+n, guarding 0x700+n), and an NMT command
// (identifier 0) names its node in its second byte, 0 for all.
bool same_node(const CMSG& request, const CMSG& answer) {
  if (request.id == 0) return request.data[1] == 0 || request.data[1] == (answer.id & 0x7F);
  return (request.id & 0x7F) == (answer.id & 0x7F);
}

bool same_frame(const CMSG& a, const CMSG& b) {
  return a.id == b.id && a.len == b.len && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

}  // namespace

ReplayNode::ReplayNode(int net, const canlog::Log& log, ReplayOptions options)
    : net_(net), opt_(std::move(options)) {
  if (!(opt_.speed > 0)) throw std::invalid_argument("replay: speed must be above 0");
  bool first = true;
  int64_t last_time = 0;
  int64_t offset = 0;
  int64_t log_start = 0;
  for (size_t i = 0; i < log.records.size(); ++i) {
    const int64_t t = log.records[i].time_ns;
    if (i == 0 || t < log_start) log_start = t;
  }
  for (const canlog::Record& r : log.records) {
    if (!opt_.iface.empty() && r.iface != opt_.iface) continue;
    const bool request = r.dir == canlog::Dir::kTx ||
                         (r.dir == canlog::Dir::kNone && contains(opt_.request_ids, r.frame.id));
    if (request) {
      requests_.push_back({r.frame, r.time_ns, {}});
      continue;
    }
    if (!opt_.ids.empty() && !contains(opt_.ids, r.frame.id)) continue;
    // The answer of the latest request to the same node, where requests to several nodes
    // interleave; else of the latest request.
    Request* to = nullptr;
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it) {
      if (r.time_ns - it->time_ns > opt_.answer_within_ns) break;
      if (to == nullptr) to = &*it;
      if (same_node(it->frame, r.frame)) {
        to = &*it;
        break;
      }
    }
    if (to != nullptr) {
      to->answers.push_back(r.frame);
    } else {
      unanswered_.push_back({r.time_ns - log_start, r.frame});
    }
    if (!first) offset += std::max<int64_t>(0, r.time_ns - last_time);
    first = false;
    last_time = r.time_ns;
    frames_.push_back({offset, r.frame});
  }
  device_.store(vbus::attach_device(net_, [this](int, const CMSG& f) { on_frame(f); }));
}

ReplayNode::~ReplayNode() {
  stop();
  vbus::detach_device(device_.load());
}

void ReplayNode::answer(bool on) {
  answering_.store(on);
}

void ReplayNode::on_frame(const CMSG& frame) {
  if (!answering_.load() || requests_.empty()) return;
  std::vector<CMSG> answers;
  {
    std::lock_guard<std::mutex> lock(mx_);
    // One round per identifier, so that requests to different nodes may interleave otherwise
    // than they did in the recording.
    const size_t n = requests_.size();
    size_t& next = next_request_[frame.id];
    for (size_t k = 0; k < n; ++k) {
      const size_t i = (next + k) % n;
      if (same_frame(requests_[i].frame, frame)) {
        answers = requests_[i].answers;
        next = (i + 1) % n;
        answered_.fetch_add(1);
        break;
      }
    }
  }
  // Outside the lock: inject runs the other devices in this thread, and one may answer back.
  for (const CMSG& a : answers) vbus::inject(net_, a, device_.load());
}

size_t ReplayNode::play_unanswered(int64_t until_ns) {
  std::vector<CMSG> due;
  {
    std::lock_guard<std::mutex> lock(mx_);
    for (; next_unanswered_ < unanswered_.size(); ++next_unanswered_) {
      const Timed& t = unanswered_[next_unanswered_];
      if (t.offset_ns > until_ns) break;
      due.push_back(t.frame);
    }
  }
  for (const CMSG& f : due) {
    vbus::inject(net_, f, device_.load());
    played_.fetch_add(1);
  }
  return due.size();
}

void ReplayNode::wait_until(int64_t deadline_ns) {
  tavik::Clock& clock = tavik::clock();
  for (int64_t now = clock.now_ns(); now < deadline_ns && !stop_.load(); now = clock.now_ns()) {
    clock.sleep_ns(std::min(deadline_ns - now, kMaxPauseNs));
  }
}

size_t ReplayNode::play() {
  if (frames_.empty()) return 0;
  int64_t round_pause = opt_.loop_pause_ns;
  if (round_pause < 0) {
    round_pause = frames_.size() > 1 ? frames_[1].offset_ns : 0;
  }
  round_pause = std::max(round_pause, kMinLoopPauseNs);
  size_t sent = 0;
  // Deadlines are absolute (start + offset / speed): pauses do not add up their errors.
  int64_t start = tavik::clock().now_ns();
  do {
    for (const Timed& t : frames_) {
      wait_until(start + static_cast<int64_t>(static_cast<double>(t.offset_ns) / opt_.speed));
      if (stop_.load()) return sent;
      vbus::inject(net_, t.frame, device_.load());
      ++sent;
      played_.fetch_add(1);
    }
    start += static_cast<int64_t>(static_cast<double>(frames_.back().offset_ns + round_pause) /
                                  opt_.speed);
  } while (opt_.loop && !stop_.load());
  return sent;
}

void ReplayNode::start() {
  stop();
  stop_.store(false);
  thread_ = std::thread([this] { play(); });
}

void ReplayNode::stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

}  // namespace sim
