#include "network_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "D_esdcan.h"

namespace canbus_server {

namespace {

// Days from 1970-01-01 to 1984-01-01.
constexpr int64_t kEpoch1984Days = 5113;

std::string quoted(const std::string& file) {
  return "'" + file + "'";
}

canbus::StartMode start_mode(NetworkSpec::Start s) {
  switch (s) {
    case NetworkSpec::Start::kEach:
      return canbus::StartMode::kEachWhenReady;
    case NetworkSpec::Start::kApplication:
      return canbus::StartMode::kApplication;
    case NetworkSpec::Start::kAll:
      break;
  }
  return canbus::StartMode::kAllAtOnce;
}

canbus::MandatoryFailure failure_mode(NetworkSpec::Failure f) {
  switch (f) {
    case NetworkSpec::Failure::kStop:
      return canbus::MandatoryFailure::kStopAll;
    case NetworkSpec::Failure::kReset:
      return canbus::MandatoryFailure::kResetAll;
    case NetworkSpec::Failure::kHold:
      break;
  }
  return canbus::MandatoryFailure::kHoldOthers;
}

// "B no answer to ..." of "B: no answer to ...": the event's form.
std::string code_words(char code) {
  std::string t = canbus::boot_status_text(code);
  if (t.size() > 3 && t[1] == ':' && t[2] == ' ') t.erase(1, 1);
  return t.empty() ? std::string(1, code) : t;
}

}  // namespace

bool read_inside(int dfd, const std::string& file, std::vector<uint8_t>& out, std::string& why) {
  if (file.empty()) {
    why = "no file name";
    return false;
  }
  if (file[0] == '/') {
    why = quoted(file) + ": an absolute name: give one inside the configuration's folder";
    return false;
  }
  // Every folder on the way is opened without following a link, so nothing leads outside.
  std::vector<std::string> parts;
  for (size_t start = 0; start <= file.size();) {
    size_t end = file.find('/', start);
    if (end == std::string::npos) end = file.size();
    const std::string part = file.substr(start, end - start);
    if (part == "..") {
      why = quoted(file) + ": '..' leads out of the configuration's folder";
      return false;
    }
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) {
    why = quoted(file) + ": not a regular file";
    return false;
  }
  int fd = ::dup(dfd);
  for (size_t k = 0; fd >= 0 && k < parts.size(); ++k) {
    const bool last = k + 1 == parts.size();
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY);
    const int next = ::openat(fd, parts[k].c_str(), flags);
    const int e = errno;
    ::close(fd);
    fd = next;
    errno = e;
  }
  if (fd < 0) {
    why = quoted(file) + (errno == ELOOP || errno == ENOTDIR
                              ? ": a link or not a folder on the way: refused"
                              : ": cannot be read: " + std::string(std::strerror(errno)));
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    why = quoted(file) + ": not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxImageBytes) {
    ::close(fd);
    why = quoted(file) + ": larger than 16 MiB";
    return false;
  }
  std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got != data.size()) {
    why = quoted(file) + ": cannot be read whole";
    return false;
  }
  out = std::move(data);
  return true;
}

uint32_t dcf_modification_days(const std::string& text) {
  bool in_info = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(start, end - start);
    start = end + 1;
    while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) l.pop_back();
    const size_t b = l.find_first_not_of(" \t");
    if (b == std::string::npos) continue;
    l.erase(0, b);
    if (l[0] == '[') {
      in_info = l == "[FileInfo]";
      continue;
    }
    if (!in_info) continue;
    const size_t eq = l.find('=');
    if (eq == std::string::npos) continue;
    std::string key = l.substr(0, eq);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != "ModificationDate") continue;
    std::string v = l.substr(eq + 1);
    v.erase(0, v.find_first_not_of(" \t"));
    // MM-DD-YYYY
    uint32_t days = 0;
    if (v.size() == 10 && v[2] == '-' && v[5] == '-' &&
        days_since_1984(v.substr(6, 4) + "-" + v.substr(0, 2) + "-" + v.substr(3, 2), days))
      return days;
    return 0;
  }
  return 0;
}

canbus::ConfigStamp configuration_stamp(const std::vector<uint8_t>& concise, uint32_t days) {
  canbus::ConfigStamp s;
  s.days = days;
  s.ms = canbus::program_crc32(concise.data(), concise.size()) % 86400000u;
  return s;
}

NetworkStart::NetworkStart(Env env) : env_(std::move(env)) {}

NetworkStart::~NetworkStart() {
  stop();
}

bool NetworkStart::load(const ConfigFile& config, int dfd, std::vector<std::string>& errors) {
  bool ok = true;
  for (const auto& l : config.lines()) {
    if (l.kind == ConfigFile::Kind::kLine) {
      const int line = network_line_of(l.name);
      NetworkSpec net_line;
      if (line == 0 || !parse_network(*config.value_of(l.name), net_line).empty()) continue;
      auto n = std::make_unique<Line>();
      n->net_line = net_line;
      n->line = line;
      lines_[line] = std::move(n);
    } else if (l.kind == ConfigFile::Kind::kSub && l.name.size() > 6 &&
               l.name.compare(l.name.size() - 6, 6, ".SLAVE") == 0) {
      SlaveSpec s;
      if (!parse_slave(*config.value_of(l.name), s).empty()) continue;
      const std::string node = l.name.substr(0, l.name.size() - 6);
      if (!s.image.empty() && images_.count(s.image) == 0) {
        std::vector<uint8_t> image;
        std::string why;
        if (!read_inside(dfd, s.image, image, why)) {
          errors.push_back(std::to_string(config.line_of(l.name)) + ": " + l.name + ": image " +
                           why);
          ok = false;
          continue;
        }
        images_[s.image] = std::make_shared<const std::vector<uint8_t>>(std::move(image));
      }
      slaves_[node] = std::move(s);
    }
  }
  return ok;
}

int64_t NetworkStart::software_of(const std::string& node) const {
  auto it = slaves_.find(node);
  if (it == slaves_.end()) return -1;
  if (it->second.has_software) return it->second.software;
  auto image = images_.find(it->second.image);
  if (image == images_.end()) return -1;
  return canbus::program_crc32(image->second->data(), image->second->size());
}

void NetworkStart::make(canbus::NodeMonitor& monitor) {
  for (auto& [number, l] : lines_) {
    canbus::NetworkConfig c;
    c.line = number;
    c.master_id = l->net_line.master_id;
    c.master_heartbeat_ms = l->net_line.heartbeat_ms;
    c.time_period_ms = l->net_line.time_ms;
    c.start = start_mode(l->net_line.start);
    c.on_mandatory_failure = failure_mode(l->net_line.failure);
    c.boot_time_ms = l->net_line.boot_time_ms;
    c.retry_pause_ms = l->net_line.retry_ms;
    Line* line = l.get();
    canbus::NetworkCallbacks cb;
    cb.on_slave = [this, line](const canbus::SlaveStatus& s) { on_slave(*line, s); };
    cb.on_network = [this, line](canbus::NetworkState st, const std::string& why) {
      on_network(*line, st, why);
    };
    cb.on_program_progress = [this, line](int id, size_t bytes, size_t total) {
      on_progress(*line, id, bytes, total);
    };
    l->net = std::make_unique<canbus::Network>(monitor, c, std::move(cb));
  }
}

int NetworkStart::add(D_can& prop, int line, int id, const canbus::NodeConfig& supervision,
                      canbus::NodeCallbacks own, const canbus::BootConfig* boot, uint32_t days,
                      std::string& why) {
  auto it = lines_.find(line);
  if (it == lines_.end() || !it->second->net) {
    why = "line " + std::to_string(line) + " is no network";
    return -1;
  }
  Line& l = *it->second;
  canbus::SlaveSetup setup;
  SlaveSpec s;  // a node without a SLAVE line: optional, nothing checked
  if (auto sl = slaves_.find(prop.name()); sl != slaves_.end()) s = sl->second;
  setup.assignment.mandatory = s.mandatory;
  setup.assignment.keep_alive = s.keep_alive;
  setup.assignment.retries = s.retries;
  setup.assignment.check_software = s.has_software || !s.image.empty() || s.date_days != 0;
  setup.assignment.update_allowed = s.update;
  if (s.has_device_type) setup.identity.device_type = s.device_type;
  if (s.has_vendor) setup.identity.vendor_id = s.vendor;
  if (s.has_product) setup.identity.product_code = s.product;
  if (s.has_revision) setup.identity.revision = s.revision;
  if (s.has_serial) setup.identity.serial = s.serial;
  if (!s.image.empty()) {
    setup.program = images_[s.image];
    setup.software_id = canbus::program_crc32(setup.program->data(), setup.program->size());
  }
  if (s.has_software) setup.software_id = s.software;
  if (s.date_days != 0) setup.software_date = canbus::ConfigStamp{s.date_days, 0};
  if (boot != nullptr) {
    std::string reason;
    if (!canbus::concise_entries(*boot, id, setup.configuration, reason)) {
      why = "its configuration cannot be written as a concise DCF: " + reason;
      return -1;
    }
    setup.pdos = boot->pdos;  // the monitor decodes the TPDOs, configured or not
    if (!setup.configuration.empty())
      setup.config_stamp =
          configuration_stamp(canbus::encode_concise_dcf(setup.configuration), days);
  }
  setup.store = s.store;
  setup.consume_master_ms = s.consume_master_ms;
  if (supervision.mode == canbus::Supervision::kHeartbeat)
    setup.heartbeat_ms = supervision.heartbeat_ms;
  canbus::NodeConfig sup = supervision;
  sup.boot = nullptr;  // the network's procedure configures the node
  const int r = l.net->add(&prop, setup, sup, std::move(own));
  if (r < 0) {
    why = "not taken by the network of line " + std::to_string(line);
    return r;
  }
  std::lock_guard<std::mutex> lk(mx_);
  Member& m = l.members[id];
  m.name = prop.name();
  m.line = line;
  m.id = id;
  m.mandatory = s.mandatory;
  return r;
}

void NetworkStart::start(bool own_thread) {
  for (auto& [number, l] : lines_) {
    if (l->net && !l->members.empty() && !l->net->start(own_thread))
      env_.log("network line " + std::to_string(number) + ": not started");
  }
}

void NetworkStart::tick() {
  for (auto& [number, l] : lines_) {
    if (l->net && l->net->running()) l->net->tick();
  }
}

void NetworkStart::stop() {
  for (auto& [number, l] : lines_) {
    if (l->net) l->net->stop();
  }
}

void NetworkStart::on_slave(Line& l, const canbus::SlaveStatus& s) {
  Event e;
  bool publish = false, started = false, failed = false, cleared = false;
  std::string name, why;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = l.members.find(s.node_id);
    if (it == l.members.end()) return;
    Member& m = it->second;
    name = m.name;
    // One event per attempt that ended with a code, and one count of it (the code of an
    // attempt that failed stays with the node while its next attempt runs and succeeds).
    const bool ended = s.state == canbus::SlaveState::kRetrying ||
                       s.state == canbus::SlaveState::kMissing ||
                       s.state == canbus::SlaveState::kFailed || s.code == 'L';
    const bool was_ended = m.state == canbus::SlaveState::kRetrying ||
                           m.state == canbus::SlaveState::kMissing ||
                           m.state == canbus::SlaveState::kFailed;
    if (s.code != 0 && ended &&
        (s.code != m.code || s.attempts != m.attempts || (!was_ended && s.code != 'L'))) {
      if (s.code != 'L') ++failures_[{l.line, s.code}];
      publish = true;
      e = Event{Event::Kind::kBootStatus, l.line, s.node_id, m.name};
      e.detail = code_words(s.code);
      if (!s.reason.empty()) e.detail += " (" + s.reason + ")";
    }
    const bool was_failed =
        m.state == canbus::SlaveState::kMissing || m.state == canbus::SlaveState::kFailed;
    started = s.state == canbus::SlaveState::kStarted && m.state != canbus::SlaveState::kStarted;
    failed = s.state == canbus::SlaveState::kMissing || s.state == canbus::SlaveState::kFailed;
    cleared = was_failed && !failed;
    if (failed) {
      why = "Not started: " + canbus::boot_status_text(s.code != 0 ? s.code : 'B');
      if (!s.reason.empty()) why += " (" + s.reason + ")";
    }
    m.code = s.code;
    m.attempts = s.attempts;
    m.state = s.state;
  }
  if (publish) env_.publish(e);
  if ((failed || cleared || started) && env_.not_started) env_.not_started(name, why);
  if (started && env_.started) env_.started(name);
}

void NetworkStart::on_network(Line& l, canbus::NetworkState st, const std::string& why) {
  Event e{Event::Kind::kNetwork, l.line, 0, ""};
  // Why it is blocked; the other states speak for themselves.
  e.detail = canbus::network_state_name(st);
  if (st == canbus::NetworkState::kBlocked && !why.empty()) e.detail += " " + why;
  env_.publish(e);
}

void NetworkStart::on_progress(Line& l, int id, size_t bytes, size_t total) {
  std::string name;
  {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = l.members.find(id);
    if (it == l.members.end() || total == 0) return;
    Member& m = it->second;
    // At most every tenth of the image, and at its end.
    const size_t tenth = bytes * 10 / total;
    if (bytes == 0) m.progress_tenth = 0;
    if (bytes != total && (bytes == 0 || tenth <= m.progress_tenth)) return;
    m.progress_tenth = tenth;
    name = m.name;
  }
  Event e{Event::Kind::kDownload, l.line, id, name};
  e.detail = std::to_string(bytes) + "/" + std::to_string(total);
  env_.publish(e);
}

NetworkStart::Line* NetworkStart::line_of_node(const std::string& node, int* id) {
  std::lock_guard<std::mutex> lk(mx_);
  for (auto& [number, l] : lines_) {
    for (auto& [nid, m] : l->members) {
      if (m.name == node) {
        *id = nid;
        return l.get();
      }
    }
  }
  return nullptr;
}

std::string NetworkStart::boot(const std::string& line_word) {
  int line = 0;
  if (!parse_int(line_word, line) || line < kMinLine || line > kMaxLine)
    return "error: the line must be 1..20, not '" + line_word + "'";
  auto it = lines_.find(line);
  if (it == lines_.end() || !it->second->net)
    return "error: line " + std::to_string(line) + " is no network (no LINE." +
           std::to_string(line) + ".NETWORK line)";
  if (!it->second->net->restart())
    return "error: the network of line " + std::to_string(line) + " is not running";
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (auto& [id, m] : it->second->members) m.attempts = -1;
  }
  return "ok (line " + std::to_string(line) + " starts up again)";
}

std::string NetworkStart::download(const std::string& node, const std::vector<uint8_t>& image) {
  int id = 0;
  Line* l = line_of_node(node, &id);
  if (l == nullptr) return "error: " + node + " is in no network";
  {
    std::lock_guard<std::mutex> lk(mx_);
    l->members[id].progress_tenth = 0;
  }
  std::string why;
  if (!l->net->download(id, image, why)) return "error: " + node + ": download failed: " + why;
  return "ok (" + std::to_string(image.size()) + " bytes downloaded to " + node +
         "; it restarts into the program)";
}

std::string NetworkStart::boot_cell(const std::string& node) const {
  for (const auto& [number, l] : lines_) {
    int id = 0;
    {
      std::lock_guard<std::mutex> lk(mx_);
      for (const auto& [nid, m] : l->members) {
        if (m.name == node) id = nid;
      }
    }
    if (id == 0) continue;
    canbus::SlaveStatus s;
    if (!l->net->status(id, s)) return "-";
    if (s.code != 0 && s.state != canbus::SlaveState::kStarted &&
        s.state != canbus::SlaveState::kConfigured)
      return canbus::boot_status_text(s.code);
    return canbus::slave_state_name(s.state);
  }
  return "-";
}

std::vector<std::string> NetworkStart::summaries() const {
  std::vector<std::string> out;
  for (const auto& [number, l] : lines_) {
    if (!l->net) continue;
    size_t mandatory = 0, count = 0;
    {
      std::lock_guard<std::mutex> lk(mx_);
      count = l->members.size();
      for (const auto& [id, m] : l->members) mandatory += m.mandatory ? 1 : 0;
    }
    const canbus::NetworkState st = l->net->state();
    std::string s = "network line " + std::to_string(number) + ": " +
                    canbus::network_state_name(st) + ", " + std::to_string(count) + " nodes (" +
                    std::to_string(mandatory) + " mandatory)";
    if (st == canbus::NetworkState::kBlocked) s += ": " + l->net->blocked_reason();
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<MetricFamily> NetworkStart::metrics() const {
  MetricFamily state{"canbus_network_state",
                     "gauge",
                     "a network's start-up: 0 idle, 1 booting, 2 started, 3 blocked",
                     {}};
  MetricFamily fails{"canbus_boot_failures_total",
                     "counter",
                     "attempts of a node's boot procedure that ended with a boot status code",
                     {}};
  for (const auto& [number, l] : lines_) {
    if (!l->net) continue;
    MetricSample s;
    s.labels = {{"line", std::to_string(number)}};
    s.value = static_cast<int>(l->net->state());
    state.samples.push_back(std::move(s));
  }
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (const auto& [key, n] : failures_) {
      MetricSample s;
      s.labels = {{"line", std::to_string(key.first)}, {"code", std::string(1, key.second)}};
      s.value = static_cast<int64_t>(n);
      fails.samples.push_back(std::move(s));
    }
  }
  return {state, fails};
}

}  // namespace canbus_server
