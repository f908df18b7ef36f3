// Bus work: the worker that runs the clients' bus requests in turn, the gates and rates in front
// of it, and requests joined to one run.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "sdo_requests.h"
#include "server.h"
#include "tavik_time.h"

namespace canbus_server {

// ---------------------------------------------------------------------------------------------
// BusWorker

void BusWorker::start() {
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lk(mx_);
    for (;;) {
      cv_.wait(lk, [this] { return stopping_ || !turn_first_.empty() || !turn_.empty(); });
      if (turn_first_.empty() && turn_.empty()) return;
      // The next key's first job; the key goes to the back of its turn while it has more.
      auto& turn = turn_first_.empty() ? turn_ : turn_first_;
      const Key key = turn.front();
      turn.pop_front();
      auto q = queues_.find(key);
      Job job = std::move(q->second.front());
      q->second.pop_front();
      if (q->second.empty()) {
        queues_.erase(q);
      } else {
        turn.push_back(key);
      }
      lk.unlock();
      job.run();
      job = Job{};  // what the job holds goes before the lock is taken again
      lk.lock();
    }
  });
}

void BusWorker::stop() {
  {
    std::lock_guard<std::mutex> lk(mx_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool BusWorker::post(Key key, Job job, size_t* waiting, bool first) {
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto& q = queues_[key];
    if (key != nullptr && q.size() >= kMaxQueuedPerClient) {
      if (waiting != nullptr) *waiting = q.size();
      return false;
    }
    if (q.empty()) (first || key == nullptr ? turn_first_ : turn_).push_back(key);
    q.push_back(std::move(job));
  }
  cv_.notify_one();
  return true;
}

void BusWorker::drop(Key key) {
  std::deque<Job> gone;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto q = queues_.find(key);
    if (q == queues_.end()) return;
    gone = std::move(q->second);
    queues_.erase(q);
    for (auto* turn : {&turn_first_, &turn_})
      turn->erase(std::remove(turn->begin(), turn->end(), key), turn->end());
  }
  for (auto& j : gone) {
    if (j.dropped) j.dropped();
  }
}

// ---------------------------------------------------------------------------------------------
// Requests on the bus worker

void Server::submit(const std::shared_ptr<Client>& c, const std::string& line, Done done) {
  Prepared p = table_.prepare(line, *c);
  if (p.entry == nullptr) {
    done(frame_answer(p.answer, false), false);
    return;
  }
  const RequestSpec* entry = p.entry;
  const bool at_once = entry->run == Run::kBus && entry->at_once && entry->at_once(p.args);
  if (entry->run == Run::kNow || at_once) {
    std::string answer;
    {
      std::unique_lock<std::mutex> lk(state_mx_, std::defer_lock);
      if (!entry->unlocked && !at_once) lk.lock();
      answer = entry->handler(*c, p.args);
    }
    done(frame_answer(answer, entry->block), entry->ends_session);
    return;
  }
  auto run = std::make_shared<BusRun>();
  run->entry = entry;
  run->args = std::move(p.args);
  run->key = join_key(*entry, run->args);
  // A read of what is read already joins it: no transfer of its own, so no rate is spent.
  auto joined = [&] {
    if (run->key.empty()) return false;
    auto q = queued_runs_.find(run->key);
    if (q == queued_runs_.end()) return false;
    q->second->waiting.emplace_back(c, std::move(done));
    ++counts_.joined;
    return true;
  };
  {
    std::lock_guard<std::mutex> lk(join_mx_);
    if (joined()) return;
  }
  if (std::string refused = bus_gate(*c, *entry, run->args); !refused.empty()) {
    done(frame_answer(refused, false), false);
    return;
  }
  {
    // Its first client is in before others may join it (they join from other threads).
    std::lock_guard<std::mutex> lk(join_mx_);
    if (joined()) return;
    run->waiting.emplace_back(c, std::move(done));
    if (!run->key.empty()) queued_runs_[run->key] = run;
  }
  post_run(run, c);
}

namespace {

// The request's words with a quoted text kept whole, and "--wait" (after `sdo read|write` or
// `identity`) taken out; `wait` tells whether it was there.
std::vector<std::string> bus_words(const RequestSpec& e, const Args& a, bool& wait) {
  std::vector<std::string> w;
  if (e.raw_line) {
    std::vector<bool> quoted;
    if (!request_words(a.empty() ? "" : a[0], w, quoted)) w.clear();
  } else {
    w.push_back(e.name);
    w.insert(w.end(), a.begin(), a.end());
  }
  const size_t at = e.name == "sdo" ? 2 : 1;
  wait = w.size() > at && w[at] == "--wait";
  if (wait) w.erase(w.begin() + static_cast<std::ptrdiff_t>(at));
  return w;
}

// "10:02:11": the local time of a framework time stamp.
std::string local_clock_text(int64_t ns) {
  const time_t sec = static_cast<time_t>(ns / 1000000000);
  tm t{};
  localtime_r(&sec, &t);
  char b[16];
  std::strftime(b, sizeof b, "%H:%M:%S", &t);
  return b;
}

}  // namespace

std::string Server::join_key(const RequestSpec& e, const Args& a) {
  bool wait = false;
  std::vector<std::string> w = bus_words(e, a, wait);
  if (e.name == "sdo") {
    if (w.size() < 4 || w[1] != "read") return "";
    // The object by number in one spelling: 0x1008 and 4104 are one object.
    uint64_t v = 0;
    for (size_t k = 3; k < std::min<size_t>(w.size(), 5); ++k) {
      if (parse_uint(w[k], UINT64_MAX, v)) w[k] = std::to_string(v);
    }
  } else if (!e.joins) {
    return "";
  }
  std::string key;
  for (const auto& x : w) key += x + '\n';  // no word holds a line feed
  return key;
}

bool Server::Rate::has(int64_t now_ns, double per_s) {
  const double full = std::max(1.0, per_s);  // one second's worth, at least one
  if (tokens < 0) {
    tokens = full;
  } else if (now_ns > at_ns) {
    tokens = std::min(full, tokens + per_s * static_cast<double>(now_ns - at_ns) * 1e-9);
  }
  at_ns = std::max(at_ns, now_ns);
  return tokens >= 1;
}

std::string Server::bus_gate(const Client& c, const RequestSpec& e, const Args& a) {
  bool wait = false;
  const std::vector<std::string> w = bus_words(e, a, wait);
  // The node property the request goes to: sdo and identity ask it over SDO.
  std::string name;
  if (e.name == "sdo" && w.size() >= 3) {
    if (w[1] == "write" && !c.writer) return "error: read-only client";
    name = w[2];
  } else if ((e.name == "identity" || e.name == "drive") && w.size() >= 2) {
    name = w[1];
  }
  int line = 0;
  if (!name.empty()) {
    std::lock_guard<std::mutex> lk(state_mx_);
    if (const Node* n = find_node(name)) {
      // A drive's operations go by PDO: no SDO request of the line's rate.
      if (e.name != "drive") line = n->line;
      const Node* m = master_of(*n);
      if (!wait && m != nullptr && m->lost_since_ns > 0) {
        ++counts_.refused_lost;
        return "error: " + name + " is lost since " + local_clock_text(m->lost_since_ns) +
               ": not asked";
      }
    }
  }
  const int64_t now = tavik::clock().now_ns();
  std::lock_guard<std::mutex> lk(rate_mx_);
  Rate* mine = c.writer ? nullptr : &client_rate_[&c];
  Rate* sdo = line != 0 ? &line_sdo_rate_[line] : nullptr;
  auto rate = [](double r) {
    char b[32];
    std::snprintf(b, sizeof b, "%g/s", r);
    return std::string(b);
  };
  if (mine != nullptr && !mine->has(now, opts_.read_rate)) {
    ++counts_.refused_client;
    return "error: busy: read-only bus requests over " + rate(opts_.read_rate);
  }
  if (mine != nullptr && !readers_rate_.has(now, opts_.read_rate_total)) {
    ++counts_.refused_all;
    return "error: busy: read-only bus requests of all clients over " + rate(opts_.read_rate_total);
  }
  if (sdo != nullptr && !sdo->has(now, opts_.line_sdo_rate)) {
    ++counts_.refused_line;
    return "error: busy: SDO requests on line " + std::to_string(line) + " over " +
           rate(opts_.line_sdo_rate);
  }
  if (mine != nullptr) {
    mine->take();
    readers_rate_.take();
  }
  if (sdo != nullptr) sdo->take();
  return "";
}

BusCounters Server::bus_counters() const {
  BusCounters b;
  b.rpdo_coalesced = counts_.coalesced;
  b.refused_client = counts_.refused_client;
  b.refused_all_readers = counts_.refused_all;
  b.refused_line_sdo = counts_.refused_line;
  b.refused_lost = counts_.refused_lost;
  b.joined = counts_.joined;
  b.log_held = counts_.log_held;
  return b;
}

// Queues `run` as bus work of `owner`. When the owner goes before it starts, the run passes to
// the next client waiting for it, or is forgotten.
void Server::post_run(const std::shared_ptr<BusRun>& run, const std::shared_ptr<Client>& owner) {
  BusWorker::Job job;
  job.run = [this, run] { run_on_bus(run); };
  job.dropped = [this, run] {
    std::shared_ptr<Client> next;
    std::vector<std::pair<std::shared_ptr<Client>, Done>> gone;
    {
      std::lock_guard<std::mutex> lk(join_mx_);
      auto& w = run->waiting;
      auto keep = std::stable_partition(w.begin(), w.end(),
                                        [](const auto& x) { return !x.first->gone.load(); });
      std::move(keep, w.end(), std::back_inserter(gone));
      w.erase(keep, w.end());
      if (w.empty()) {
        auto q = queued_runs_.find(run->key);
        if (q != queued_runs_.end() && q->second == run) queued_runs_.erase(q);
      } else {
        next = w.front().first;
      }
    }
    for (auto& g : gone) g.second("", false);
    if (next != nullptr) post_run(run, next);
  };
  size_t waiting = 0;
  if (worker_.post(owner.get(), std::move(job), &waiting, owner->writer)) return;
  // The owner's queue is full: every client waiting for this run gets the refusal.
  std::vector<std::pair<std::shared_ptr<Client>, Done>> refused;
  {
    std::lock_guard<std::mutex> lk(join_mx_);
    refused = std::move(run->waiting);
    run->waiting.clear();
    auto q = queued_runs_.find(run->key);
    if (q != queued_runs_.end() && q->second == run) queued_runs_.erase(q);
  }
  // Logged once a client: a client that keeps sending does not flood the log.
  if (!owner->busy_logged.exchange(true)) {
    log("client " + owner->who() + " has " + std::to_string(waiting) +
        " bus requests queued: more are refused");
  }
  for (auto& [c, done] : refused) {
    done("error: busy, " + std::to_string(waiting) + " requests queued", false);
  }
}

// On the bus worker.
void Server::run_on_bus(const std::shared_ptr<BusRun>& run) {
  // Work whose clients have all gone since it was queued is not started. A joining run stays
  // open for more clients until its answer is in.
  std::shared_ptr<Client> who;
  {
    std::lock_guard<std::mutex> lk(join_mx_);
    for (const auto& w : run->waiting) {
      if (!w.first->gone) {
        who = w.first;
        break;
      }
    }
  }
  std::string framed;
  if (who != nullptr) {
    std::string answer;
    {
      std::lock_guard<std::mutex> bus(bus_mx_);
      answer = run->entry->handler(*who, run->args);
    }
    framed = frame_answer(answer, run->entry->block);
  }
  std::vector<std::pair<std::shared_ptr<Client>, Done>> waiting;
  {
    std::lock_guard<std::mutex> lk(join_mx_);
    auto q = queued_runs_.find(run->key);
    if (q != queued_runs_.end() && q->second == run) queued_runs_.erase(q);
    waiting = std::move(run->waiting);
    run->waiting.clear();
  }
  for (auto& w : waiting) w.second(framed, run->entry->ends_session);
}

bool Server::runs_on_bus(const Client& c, const std::string& line) const {
  const Prepared p = table_.prepare(line, c);
  return p.entry != nullptr && p.entry->run == Run::kBus &&
         !(p.entry->at_once && p.entry->at_once(p.args));
}

void Server::client_gone(const std::shared_ptr<Client>& c) {
  c->gone = true;
  worker_.drop(c.get());
  std::lock_guard<std::mutex> lk(rate_mx_);
  client_rate_.erase(c.get());
}

}  // namespace canbus_server
