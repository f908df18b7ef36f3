#include "server.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <utility>

#include "demo_config.h"
#include "demo_devices.h"
#include "http_api.h"
#include "metrics.h"
#include "network.h"
#include "parallel.h"
#include "recorder.h"
#include "scan_requests.h"
#include "sdo_requests.h"
#include "service.h"
#include "status_table.h"
#include "tavik_time.h"
#include "vbus.h"

namespace canbus_server {
namespace {

std::atomic<bool> g_stop{false};

// Written by the library only: clients read them.
const char* const kReadOnly[] = {".ACTIVE", ".ALIVE", ".CONDITION", ".MANU", ".HWVER", ".SWVER"};
// Nodes attaching at once at start-up.
constexpr int kAttachThreads = 32;
constexpr size_t kMaxString = 63;  // the identity strings' buffers hold 63 bytes and a zero

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_read_only(const std::string& name) {
  for (const char* s : kReadOnly) {
    if (ends_with(name, s)) return true;
  }
  return false;
}

}  // namespace

// .ACTIVE stays 1 once a property has been a master, also after it moved and follows another
// one: the server keeps the role it attached the property in.
std::string Server::role_of(const Node& n) {
  D_can* p = n.prop;
  if (n.master) return p->line_ptr() ? "master" : "detached";
  if (p->rx_buffer() != nullptr) return "follower";
  if (p->handle() >= 0) return "direct";
  return "detached";
}

namespace {

std::string hex2(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

std::string octal(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "%04o", v);
  return b;
}

std::string hex4(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04X", v & 0xFFFF);
  return b;
}

bool four(const Args& a, int v[4], std::string& error) {
  if (a.size() != 4) {
    error = "takes four integers";
    return false;
  }
  for (size_t i = 0; i < 4; ++i) {
    if (!parse_int(a[i], v[i])) {
      error = "'" + quote_word(a[i]) + "' is not an integer";
      return false;
    }
  }
  return true;
}

std::string state_text(int state) {
  switch (state & 0x7F) {
    case 0:
      return "Boot-up";
    case 4:
      return "Stopped";
    case 5:
      return "Operational";
    case 0x7F:
      return "Preoperational";
    default:
      return "state " + hex2(state & 0x7F);
  }
}

// The clock of --manual: the time of the start plus what the ticks added, so that a tick is
// exactly 100 ms of the supervision's, the PDOs' and the devices' time however long it takes in
// real time (a loaded machine, a slow client). A pause (an upload waiting for a held answer)
// still takes its real time: a sleep, or a wait that runs out, moves the clock on to its end.
// Installed once and never destroyed: the lines' supervision threads outlive the server.
class SteppedClock : public tavik::Clock {
 public:
  SteppedClock() : start_(tavik::RealClock().now_ns()) {}
  int64_t now_ns() override { return start_ + offset_.load(); }
  void sleep_ns(int64_t ns) override {
    const int64_t end = now_ns() + ns;
    tavik::RealClock().sleep_ns(ns);
    reach(end);
  }
  bool wait_until(int64_t deadline_ns, WaitFn wait, void* ctx) override {
    const int64_t left = deadline_ns - now_ns();
    if (left <= 0) return wait(ctx, 0);
    if (wait(ctx, left)) return true;
    reach(deadline_ns);
    return wait(ctx, 0);
  }
  void advance(int64_t ns) {
    offset_ += ns;
    ticks_ += ns;
  }
  // What the ticks alone added.
  int64_t advanced() const { return ticks_.load(); }

 private:
  void reach(int64_t t) {
    int64_t o = offset_.load();
    while (start_ + o < t && !offset_.compare_exchange_weak(o, t - start_)) {
    }
  }
  const int64_t start_;
  std::atomic<int64_t> offset_{0};
  std::atomic<int64_t> ticks_{0};
};
SteppedClock* g_stepped = nullptr;

// --manual: the recording is stamped in ticks, the real time of the start plus what the ticks
// alone added (a wait that ran out is left out: a replay of the same requests need not wait the
// same). A replay takes a node's frame for the answer to the request recorded shortly before it;
// on real time a tick that came late (a loaded machine, a slow client) parted a node's frame from
// the request of the tick before, and the replay never sent it.
std::atomic<int64_t> g_record_base{0};
int64_t manual_record_time() {
  return g_record_base.load() + (g_stepped != nullptr ? g_stepped->advanced() : 0);
}

canbus::NodeConfig node_config(const MonitorSpec& m,
                               std::shared_ptr<const canbus::BootConfig> boot) {
  canbus::NodeConfig c;
  c.mode = m.heartbeat ? canbus::Supervision::kHeartbeat : canbus::Supervision::kGuarding;
  c.guard_period_ms = m.period_ms;
  c.guard_misses = m.misses;
  c.heartbeat_ms = m.period_ms;
  c.heartbeat_tolerance_ms = m.tolerance_ms;
  // One log line per emergency: the library's can_emergency line (called from on_frames).
  c.log_emergencies = false;
  c.boot = boot;
  return c;
}

}  // namespace

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
// Start and end

Server::Server(Options opts, int out_fd) : opts_(std::move(opts)), out_fd_(out_fd) {
  register_requests();
  service_ = std::make_unique<Service>(*this);
  service_->register_requests(table_);
}

Server::~Server() {
  metrics_.reset();  // no scrape runs once the nodes go
  // The networks' threads end before the work they hand the server (restores) can no more run.
  if (nets_) nets_->stop();
  stop_flusher();
  worker_.stop();
  if (pd_) {
    if (monitor_) monitor_->use_sync(nullptr);
    pd_->stop_sync();
  }
  // The networks let go of their nodes, the monitor of the node properties before they go,
  // then the drives on them.
  nets_.reset();
  monitor_.reset();
  drives_.reset();
  // Node properties go before the devices and the location they live in. Their handles go back
  // first, the nodes side by side: each closing pauses 5 ms, which one after the other would
  // hold up the end of a large server for seconds.
  const std::atomic<bool> go_on{false};
  run_parallel(nodes_.size(), kAttachThreads, go_on,
               [this](size_t k) { nodes_[k].prop->can_close(); });
  for (auto& n : nodes_) delete n.prop;
  node_index_.clear();
  nodes_.clear();
  demo_.clear();
}

void Server::request_stop() {
  g_stop = true;
}

void Server::log(const std::string& msg) {
  tavik::printtostderr("CANBUS", msg);
}

void Server::write_out(const std::string& text) {
  std::lock_guard<std::mutex> lk(out_mx_);
  write_all(out_fd_, text);
}

// The folder the configuration is saved in: a save makes its temporary file there and renames
// it. It is checked, and every folder above it, as a careful daemon checks the paths it writes
// under, so that no other user can move the folder or put a link in its place:
//   - the folder itself: owned by root or the server's user, not writable by others, and (`ours`:
//     the work folder of the bundled example) not a link and not writable by its group either;
//   - each folder above, up to /: owned by root or the server's user, and writable by nobody
//     else, unless it is root's and sticky (like /tmp: others may add names there but not move
//     or remove ours).
// The folder is then held open (`out`): every file the server writes in it is opened, renamed
// and linked relative to that descriptor, so a folder swapped for a link later is never followed.
Server::Folder::~Folder() {
  if (fd >= 0) ::close(fd);
}

bool Server::check_folder(const std::string& given, bool ours, std::string& error,
                          Folder& out) const {
  std::string dir = given;  // without a trailing '/', which would follow a link
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string refused = ": refused; give a folder of your own (--workdir, --config)";
  struct stat st {};
  if (ours && ::lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    error = "the folder " + dir + " is no folder (a link?): refused";
    return false;
  }
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (ours ? O_NOFOLLOW : 0));
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    error = "cannot use the folder " + dir + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  Folder f;
  f.fd = fd;
  f.path = dir == "/" ? dir : dir + "/";
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    error = "the folder " + dir + " belongs to another user (uid " + std::to_string(st.st_uid) +
            ")" + refused;
    return false;
  }
  if ((st.st_mode & S_IWOTH) != 0 || (ours && (st.st_mode & S_IWGRP) != 0)) {
    error = "the folder " + dir + " may be written by others (mode " + octal(st.st_mode & 07777) +
            ")" + refused;
    return false;
  }
  // The folders above, as the path resolves now (links in it taken as they lead).
  char* real = ::realpath(dir.c_str(), nullptr);
  if (real == nullptr) {
    error = "cannot use the folder " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::string up = real;
  std::free(real);
  while (up != "/") {
    const size_t slash = up.rfind('/');
    up = slash == 0 ? "/" : up.substr(0, slash);
    if (::lstat(up.c_str(), &st) != 0) {
      error = "cannot use the folder " + up + " above " + dir + ": " + std::strerror(errno);
      return false;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
      error = "the folder " + up + " above " + dir + " belongs to another user (uid " +
              std::to_string(st.st_uid) + ")" + refused;
      return false;
    }
    const bool sticky_root = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_root) {
      error = "the folder " + up + " above " + dir + " may be written by others (mode " +
              octal(st.st_mode & 07777) + ")" + refused;
      return false;
    }
  }
  std::swap(out.fd, f.fd);
  out.path = f.path;
  out.dev = f.dev;
  out.ino = f.ino;
  return true;
}

// Writers parsed, every --listen bound (not served until run()).
bool Server::open_listeners() {
  if (opts_.listen.empty()) return true;
  net_ = std::make_unique<Network>(*this, opts_);
  std::string error, shown;
  if (!net_->set_writers(opts_.writers, shown, error)) {
    std::cerr << "canbus-server: " << error << "\n";
    start_failure_ = 2;
    return false;
  }
  log("clients that may write: " + shown);
  for (const auto& where : opts_.listen) {
    std::string bound;
    if (!net_->listen(where, bound, error)) {
      std::cerr << "canbus-server: " << error << "\n";
      start_failure_ = 2;
      return false;
    }
    write_out("listening on " + bound + "\n");
  }
  return true;
}

// The node property before nodes_[k] on the same line and node, if there is one: the monitor
// supervises a node through its first property only.
const Server::Node* Server::first_property_of(size_t k) const {
  for (size_t j = 0; j < k; ++j) {
    if (nodes_[j].line == nodes_[k].line && nodes_[j].node == nodes_[k].node) return &nodes_[j];
  }
  return nullptr;
}

// Prints the configuration errors of one kind ("drive"); whether the start may go on (only with
// --ignore-bad-lines).
bool Server::config_errors_allowed(const std::vector<std::string>& errors, const char* kind) const {
  for (const auto& e : errors) std::cerr << config_file_ << ":" << e << "\n";
  if (opts_.ignore_bad_lines) return true;
  std::cerr << "canbus-server: " << errors.size() << " " << kind
            << " configuration(s) cannot be used; fix them or start with --ignore-bad-lines\n";
  return false;
}

bool Server::start() {
  if (!opts_.backend.empty()) setenv("NTCAN_BACKEND", opts_.backend.c_str(), 1);
  if (opts_.manual && g_stepped == nullptr) {
    g_stepped = new SteppedClock;
    tavik::set_clock(g_stepped);
    g_record_base.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
    ntcan::recorder::set_time_source(&manual_record_time);
  }
  const char* backend = std::getenv("NTCAN_BACKEND");
  simulate_ = backend == nullptr || *backend == '\0' || std::strcmp(backend, "virtual") == 0;

  std::string error;
  if (opts_.config_path.empty()) {
    // The bundled example works on a copy, so that running it never changes a repository file;
    // a copy saved by an earlier run is used again. The folder is made private; one another
    // user made or may write is refused.
    std::string dir = opts_.workdir;
    if (dir.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/canbus-server-demo";
    }
    // Folders above it as the user's umask makes them; the work folder itself private.
    const auto parent = std::filesystem::path(dir).parent_path();
    std::error_code ec;
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      std::cerr << "canbus-server: cannot make the work folder " << dir << ": "
                << std::strerror(errno) << "\n";
      return false;
    }
    if (!check_folder(dir, true, error, config_dir_)) {
      std::cerr << "canbus-server: " << error << "\n";
      return false;
    }
    config_name_ = "canbus-server.conf";
    config_file_ = config_dir_.path + config_name_;
    // The configuration and the EDS files of the example's devices, beside it, unless there.
    struct stat st {};
    if (::fstatat(config_dir_.fd, config_name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT &&
        !save_file_at(config_dir_.fd, config_dir_.path, config_name_, kDemoConfig, error)) {
      std::cerr << "canbus-server: " << error << "\n";
      return false;
    }
    for (const DemoFile& f : kDemoEds) {
      if (::fstatat(config_dir_.fd, f.name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
          !save_file_at(config_dir_.fd, config_dir_.path, f.name, f.text, error)) {
        std::cerr << "canbus-server: " << error << "\n";
        return false;
      }
    }
  } else {
    config_file_ = opts_.config_path;
  }
  // A configuration that is a symbolic link is read and saved at its target, resolved once
  // here: a save replaces that file, never the link.
  struct stat lst {};
  if (::lstat(config_file_.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char* real = ::realpath(config_file_.c_str(), nullptr);
    if (real == nullptr) {
      std::cerr << "canbus-server: the configuration " << config_file_
                << " is a link that leads nowhere: " << std::strerror(errno) << "\n";
      return false;
    }
    log("configuration " + config_file_ + " is a link to " + real + ": saves write " + real);
    config_file_ = real;
    std::free(real);
  }
  if (config_dir_.fd < 0) {
    const size_t slash = config_file_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : config_file_.substr(0, slash + 1);
    if (!check_folder(dir, false, error, config_dir_)) {
      std::cerr << "canbus-server: " << error << "\n";
      return false;
    }
    config_name_ = config_file_.substr(slash + 1);  // npos + 1: all of it
  }

  std::string text, why;
  if (!read_config_text(config_name_, text, why, config_dir_.fd)) {
    std::cerr << "canbus-server: " << config_file_ << ": " << why << "\n";
    return false;
  }
  config_ = ConfigFile::parse(text);
  const auto problems = config_.problems();
  size_t shown = 0;
  for (const auto& p : problems) {
    if (++shown > 20) {
      std::cerr << config_file_ << ": ... and " << problems.size() - 20 << " more\n";
      break;
    }
    std::cerr << config_file_ << ":" << p.line << ": " << p.reason << "\n";
  }
  if (!problems.empty() && !opts_.ignore_bad_lines) {
    std::cerr << "canbus-server: " << problems.size()
              << " configuration line(s) cannot be used; fix them or start with "
                 "--ignore-bad-lines (they are kept in the file)\n";
    return false;
  }
  config_ok_ = true;
  // The framework's configuration sees the usable lines only (a bad line ignored on request
  // must not win over a good one of the same name).
  std::string usable;
  for (const auto& l : config_.lines()) {
    if (l.kind != ConfigFile::Kind::kBad) usable += l.text + "\n";
  }
  Config config;
  config.parse(usable);

  location_ = std::make_unique<EqFct>("CANBUS");
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  const char* user = std::getenv("USER");
  location_->set_user_and_host(user && *user ? user : "console", host);

  for (const auto& name : config_.node_names()) {
    Node n;
    n.prop = new D_can(name, location_.get());
    nodes_.push_back(n);
  }
  for (size_t k = 0; k < nodes_.size(); ++k) node_index_[nodes_[k].prop] = k;
  // What the framework does at start-up: register every property with the configuration and
  // let it take its value.
  for (D_fct* p : location_->properties()) {
    p->conf(&config);
    p->read();
  }
  restore_values();
  for (auto& n : nodes_) {
    IIII v = n.prop->value();
    n.line = v.i1_data;
    n.node = v.i2_data;
    // A line the check refused (kept with --ignore-bad-lines) leaves the default.
    if (const std::string* t = config_.value_of(n.prop->name() + ".MONITOR")) {
      parse_monitor(*t, n.mon);
    }
  }

  // Object dictionaries: NAME.EDS: FILE (relative to the configuration's directory), read with
  // the node's id for $NODEID. A file that cannot be used stops the start like a bad line.
  size_t bad_files = 0;
  for (auto& n : nodes_) {
    const std::string* file = config_.value_of(n.prop->name() + ".EDS");
    if (file == nullptr || file->empty()) continue;
    std::filesystem::path path(*file);
    if (path.is_relative()) path = std::filesystem::path(config_file_).parent_path() / path;
    std::vector<std::string> errors;
    if (!objects_.load(n.prop->name(), path.string(), n.node, errors, opts_.strict_eds)) {
      for (const auto& e : errors) std::cerr << e << "\n";
      std::cerr << "canbus-server: " << n.prop->name() << ".EDS: " << path.string()
                << " cannot be used\n";
      ++bad_files;
    } else {
      // Read all the same: what the file gets wrong, one line each ("od NAME warnings").
      for (const auto& w : objects_.dictionary(n.prop->name())->warnings())
        std::cerr << "canbus-server: " << n.prop->name() << ".EDS: warning: " << w.str() << "\n";
    }
  }
  // Process data: the PDO and BOOT lines of the nodes, the lines' SYNC producers.
  pd_ = std::make_unique<ProcessData>(opts_.value_interval_ms);
  {
    std::vector<std::string> errors;
    bool ok = pd_->load(config_, config_.node_names(), objects_, errors);
    // The monitor supervises a node through its first property; a second one of the same line
    // and node would never receive or send what its lines say.
    for (size_t k = 0; k < nodes_.size(); ++k) {
      const Node& n = nodes_[k];
      if (!pd_->has_process_data(n.prop->name()) && pd_->boot(n.prop->name()) == nullptr) continue;
      if (const Node* first = first_property_of(k)) {
        errors.push_back(std::to_string(config_.line_of(n.prop->name())) + ": " + n.prop->name() +
                         ": process data on a second property of line " + std::to_string(n.line) +
                         " node " + std::to_string(n.node) +
                         ": its TPDO, RPDO and BOOT lines go on the first, " + first->prop->name());
        ok = false;
      }
    }
    if (!ok && !config_errors_allowed(errors, "process-data")) return false;
  }

  // Motor drives: NAME.DRIVE lines, on a node's first property.
  {
    Drives::Env env;
    env.publish = [this](const Event& e) { events_.publish(e); };
    env.log = [this](const std::string& m) { log(m); };
    if (opts_.manual) env.tick = [this] { tick(); };
    env.simulated = simulate_;
    env.value_interval_ms = opts_.value_interval_ms;
    drives_ = std::make_unique<Drives>(std::move(env));
    std::vector<std::string> errors;
    bool ok = drives_->load(config_, config_.node_names(), errors);
    for (size_t k = 0; k < nodes_.size(); ++k) {
      const Node& n = nodes_[k];
      if (!drives_->has(n.prop->name())) continue;
      if (const Node* first = first_property_of(k)) {
        errors.push_back(std::to_string(config_.line_of(n.prop->name() + ".DRIVE")) + ": " +
                         n.prop->name() + ".DRIVE: a drive on a second property of line " +
                         std::to_string(n.line) + " node " + std::to_string(n.node) +
                         ": it goes on the first, " + first->prop->name());
        ok = false;
      }
    }
    if (!ok && !config_errors_allowed(errors, "drive")) return false;
  }

  // Networks: LINE.N.NETWORK lines and the SLAVE lines of their nodes, with their images.
  {
    NetworkStart::Env env;
    env.publish = [this](const Event& e) { events_.publish(e); };
    env.log = [this](const std::string& m) { log(m); };
    env.started = [this](const std::string& name) {
      D_can* p = nullptr;
      {
        std::lock_guard<std::mutex> lk(state_mx_);
        if (Node* n = find_node(name)) p = n->prop;
      }
      if (p == nullptr) return;
      restore_setpoints(*p);
      // Its identity strings: with --manual within the tick (bus work already, and the same
      // frames at the same tick every time), else as bus work.
      if (opts_.manual) {
        cmd_identity(name);
        return;
      }
      worker_.post(nullptr, {[this, name] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               cmd_identity(name);
                             },
                             {}});
    };
    env.not_started = [this](const std::string& name, const std::string& why) {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = find_node(name);
      if (n == nullptr) return;
      n->config_failure = why;
      if (!why.empty()) n->prop->condition_prop()->set_value(why);
      followers_condition(*n);
    };
    nets_ = std::make_unique<NetworkStart>(std::move(env));
    std::vector<std::string> errors;
    bool ok = nets_->load(config_, config_dir_.fd, errors);
    for (size_t k = 0; k < nodes_.size(); ++k) {
      const Node& n = nodes_[k];
      if (!nets_->has_slave(n.prop->name())) continue;
      if (const Node* first = first_property_of(k)) {
        errors.push_back(std::to_string(config_.line_of(n.prop->name() + ".SLAVE")) + ": " +
                         n.prop->name() + ".SLAVE: a second property of line " +
                         std::to_string(n.line) + " node " + std::to_string(n.node) +
                         ": it goes on the first, " + first->prop->name());
        ok = false;
      }
    }
    if (!ok && !config_errors_allowed(errors, "network")) return false;
    // The configuration's stamp takes the file's day when its DCF gives none.
    struct stat cst {};
    if (::fstatat(config_dir_.fd, config_name_.c_str(), &cst, 0) == 0 && cst.st_mtime > 0)
      config_days_ = static_cast<uint32_t>(cst.st_mtime / 86400 - 5113);
  }

  if (bad_files > 0 && !opts_.ignore_bad_lines) {
    std::cerr << "canbus-server: " << bad_files << " EDS file(s) cannot be used; fix them"
              << (opts_.strict_eds ? ", read them without --strict-eds" : "")
              << " or start with --ignore-bad-lines (the node is then reached by index only)\n";
    return false;
  }

  // Every option is checked and every listener bound before a node is touched on the bus.
  if (!open_listeners() || !open_metrics()) return false;
  if (!record_.start(opts_.record, simulate_, std::cerr)) return false;
  if (simulate_ && !record_.replaying()) {
    std::vector<DemoDevices::NodeSpec> specs;
    for (auto& n : nodes_) specs.push_back(device_spec(n));
    demo_.create(specs);
  }

  monitor_ = std::make_unique<canbus::NodeMonitor>(monitor_callbacks());
  nets_->make(*monitor_);
  std::lock_guard<std::mutex> bus(bus_mx_);
  {
    // The properties of one line and node attach in the file's order (the first becomes the
    // master), the nodes side by side: each opening of a handle pauses 5 ms. SIGINT/SIGTERM end
    // a long start-up at once.
    // A line is opened by the first property attached to it, with that property's baud rate:
    // the groups holding the first property of each line in the file attach first (the check
    // of the file made every other property of the line agree, or --ignore-bad-lines let the
    // first win), then all the others.
    std::lock_guard<std::mutex> lk(state_mx_);
    std::vector<std::vector<Node*>> groups;
    std::map<std::pair<int, int>, size_t> group_of;
    std::set<int> lines_seen;
    std::vector<size_t> openers, others;
    for (auto& n : nodes_) {
      const auto g = group_of.emplace(std::make_pair(n.line, n.node), groups.size());
      if (g.second) {
        groups.emplace_back();
        (lines_seen.insert(n.line).second ? openers : others).push_back(g.first->second);
      }
      groups[g.first->second].push_back(&n);
    }
    for (const auto* phase : {&openers, &others}) {
      run_parallel(phase->size(), kAttachThreads, g_stop, [&](size_t k) {
        for (Node* n : groups[(*phase)[k]]) {
          if (!g_stop) attach(*n);
        }
      });
    }
  }
  // All nodes' identities at once, with progress on the log for long start-ups. A network's
  // nodes are read once the network started them: one that is missing or late would hold the
  // start-up for an SDO time-out.
  std::vector<D_can*> identity;
  for (auto& n : nodes_) {
    if (n.node > 0 && n.node <= 127 && n.prop->handle() >= 0 && !nets_->is_network_line(n.line))
      identity.push_back(n.prop);
  }
  read_identities(identity, std::cerr, g_stop);
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    supervise_waiting();
  }
  // The networks start up: reset communication, each node's boot procedure as it boots.
  nets_->start(!opts_.manual);
  // The drives are set up by SDO (PDOs, parameters) while their nodes are pre-operational, then
  // started.
  for (auto& n : nodes_) {
    if (!n.master || !drives_->has(n.prop->name()) || g_stop) continue;
    drives_->setup(n.prop->name());
    n.prop->start_node();
  }
  // SYNC once the lines are open; the monitor expects synchronous TPDOs after its SYNCs.
  pd_->start_sync(!opts_.manual);
  for (canbus::SyncProducer* p : pd_->sync_producers()) monitor_->use_sync(p);
  metrics_ready_ = true;
  write_out("canbus-server: " + std::to_string(nodes_.size()) + " node properties from " +
            config_file_ + (simulate_ ? " on the virtual bus with simulated nodes" : "") + "\n");
  return true;
}

// The values the configuration check accepted, where the property's own reading did not take
// them (identifiers 2001..2047, hexadecimal numbers).
void Server::restore_values() {
  for (const auto& l : config_.lines()) {
    if (l.kind != ConfigFile::Kind::kNode && l.kind != ConfigFile::Kind::kSub) continue;
    D_fct* p = location_->find(l.name);
    const std::string* text = config_.value_of(l.name);
    if (p == nullptr || text == nullptr) continue;
    auto w = split_words(*text);
    if (p->data_type() == DATA_IIII && w.size() == 4) {
      int v[4];
      std::string e;
      if (!four(w, v, e)) continue;
      IIII want{v[0], v[1], v[2], v[3]};
      if (auto* node = dynamic_cast<D_can*>(p)) {
        if (!(node->value() == want)) node->set_value(&want);
      } else if (auto* sel = dynamic_cast<D_iiii*>(p)) {
        if (!(sel->value() == want)) sel->set_value(want);
      }
    } else if (auto* i = dynamic_cast<D_int*>(p); i != nullptr && w.size() == 1) {
      int v = 0;
      if (parse_int(w[0], v) && i->get_value() != v) i->set_value(v);
    }
  }
}

void Server::attach(Node& n) {
  D_can* p = n.prop;
  // The library makes the first property attached to a line and node without a master its
  // master; the others follow it.
  bool has_master = false;
  for (const auto& m : nodes_) {
    // Other nodes' entries may be attaching on other threads: only this node's are looked at.
    has_master = has_master || (&m != &n && m.line == n.line && m.node == n.node && m.master);
  }
  // Guarding replies, SDO replies and emergencies; the further identifiers of the value.
  int r = p->init(0x700 + n.node);
  if (r == 0) r = p->AddIdent(0x580 + n.node);
  if (r == 0) r = p->init_emergency();
  IIII v = p->value();
  if (r == 0 && v.i3_data > 0) r = p->AddIdent(v.i3_data);
  if (r == 0 && v.i4_data > 0) r = p->AddIdent(v.i4_data);
  if (r != 0) {
    log(p->name() + " line " + std::to_string(n.line) + " node " + std::to_string(n.node) +
        ": attach returned " + std::to_string(r) + " (" +
        can_error_str(static_cast<unsigned long>(static_cast<long>(r))) + ")");
  }
  n.master = r == 0 && !has_master && p->line_ptr() != nullptr;
  if (n.master && (pd_->boot(p->name()) != nullptr || nets_->is_network_line(n.line))) {
    // The monitor configures and starts it.
    n.supervise_later = true;
  } else if (n.master) {
    // A drive's node is started once its drive is set up (start()).
    if (!drives_->has(p->name())) p->start_node();
    supervise(n);
  } else if (const Node* m = master_of(n)) {
    // A follower's .CONDITION is its own: it starts with its master's.
    p->condition_prop()->set_value(m->prop->condition_prop()->value());
  }
}

void Server::supervise(Node& n) {
  n.supervise_later = false;
  // A drive takes its node's process data and emergencies; after a boot-up it is set up again
  // and its node started, as bus work of the server's own. On a network's line the network
  // starts it, as its start mode says.
  const bool network = nets_->is_network_line(n.line);
  canbus::NodeCallbacks drive = drives_->make(
      *n.prop, n.line, n.node, monitor_.get(), objects_.dictionary(n.prop->name()),
      [this, network](const std::string& name) {
        worker_.post(nullptr, {[this, name, network] {
                                 std::lock_guard<std::mutex> bus(bus_mx_);
                                 drives_->setup(name);
                                 if (network) return;
                                 std::lock_guard<std::mutex> lk(state_mx_);
                                 if (Node* d = find_node(name); d != nullptr && d->master)
                                   d->prop->start_node();
                               },
                               {}});
      });
  if (network) {
    // The network's boot procedure configures the node (its DCF, BOOT and PDO lines as one
    // concise DCF) and starts it as the line's start mode says.
    std::string why;
    const auto boot = pd_->boot(n.prop->name());
    uint32_t days = config_days_;
    if (const auto od = objects_.dictionary(n.prop->name()); od && boot) {
      const std::string* eds = config_.value_of(n.prop->name() + ".EDS");
      const std::string* bl = config_.value_of(n.prop->name() + ".BOOT");
      std::string text, e;
      BootSpec boot_line;
      if (eds != nullptr && bl != nullptr && parse_boot(*bl, boot_line).empty() && boot_line.dcf &&
          read_config_text(*eds, text, e, config_dir_.fd)) {
        if (const uint32_t d = dcf_modification_days(text)) days = d;
      }
    }
    const int r = nets_->add(*n.prop, n.line, n.node, node_config(n.mon, nullptr), drive,
                             boot.get(), days, why);
    if (r == 0) return;
    log(n.prop->name() + ": " + why + "; supervised without the network");
  }
  const int r = monitor_->add(n.prop, node_config(n.mon, pd_->boot(n.prop->name())), drive);
  if (r != 0) {
    log(n.prop->name() + ": " + monitor_text(n.mon) +
        (monitor_->supervised(n.prop) ? " (an identifier could not be enabled: " : " refused (") +
        std::to_string(r) + ")");
  }
}

void Server::supervise_waiting() {
  for (auto& n : nodes_) {
    if (n.supervise_later && n.master) supervise(n);
  }
}

// With bus_mx_, without state_mx_: the uploads wait for the bus.
void Server::read_identity(Node& n) {
  if (n.prop->handle() < 0) return;
  n.prop->get_manufacture();
  n.prop->get_hwversion();
  n.prop->get_swversion();
}

Server::Node* Server::find_node(const std::string& name) {
  for (auto& n : nodes_) {
    if (n.prop->name() == name) return &n;
  }
  return nullptr;
}

DemoDevices::NodeSpec Server::device_spec(const Node& n) const {
  DemoDevices::NodeSpec s;
  s.line = n.line;
  s.node = n.node;
  s.heartbeat_ms = n.mon.heartbeat ? n.mon.period_ms : 0;
  s.od = objects_.dictionary(n.prop->name());
  s.process_data = pd_->has_process_data(n.prop->name());
  s.adc = opts_.sim_adc;
  s.drive = drives_->has(n.prop->name());
  s.config_store = nets_->is_network_line(n.line);
  s.program_id = nets_->software_of(n.prop->name());
  return s;
}

// ---------------------------------------------------------------------------------------------
// Supervision: the monitor's callbacks (on its thread, or on the bus worker's for a tick)

Server::Node* Server::node_of(const D_can* p) {
  auto it = node_index_.find(p);
  return it == node_index_.end() ? nullptr : &nodes_[it->second];
}

const Server::Node* Server::master_of(const Node& n) const {
  if (n.master) return &n;
  for (const auto& m : nodes_) {
    if (m.line == n.line && m.node == n.node && m.master) return &m;
  }
  return nullptr;
}

// The monitor writes the master's .ALIVE (shared with its followers) and .CONDITION; a
// follower's .CONDITION is its own and takes the master's text.
void Server::followers_condition(const Node& m) {
  const std::string text = m.prop->condition_prop()->value();
  for (auto& f : nodes_) {
    if (&f != &m && !f.master && f.line == m.line && f.node == m.node &&
        f.prop->rx_buffer() != nullptr) {
      f.prop->condition_prop()->set_value(text);
    }
  }
}

// Each callback updates what it must under state_mx_ and publishes without it: a watcher on a
// blocking channel (standard input mode) then holds up nobody's requests.
canbus::MonitorCallbacks Server::monitor_callbacks() {
  canbus::MonitorCallbacks cb;
  // A node event: the followers' .CONDITION follows, and the event goes out.
  auto node_event = [this](D_can& p, Event::Kind kind, int state) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      // A boot-up: the set-points wait for the node's configuration and their restore.
      if (kind == Event::Kind::kState && state == 0 && pd_->boot(p.name()) != nullptr) {
        n->configuring = true;
      }
      // A node whose configuration failed says so while it is heard.
      if (kind == Event::Kind::kState && !n->config_failure.empty()) {
        p.condition_prop()->set_value(n->config_failure);
      }
      followers_condition(*n);
      e = Event{kind, n->line, n->node, p.name()};
      e.state = state_text(state);
    }
    events_.publish(e);
  };
  cb.on_state = [node_event](D_can& p, int, int state) {
    node_event(p, Event::Kind::kState, state);
  };
  // While a node is lost its .ALIVE reads -1 (the monitor's "not known"), not the last state
  // heard; the monitor writes the state again when the node is back.
  cb.on_lost = [this, node_event](D_can& p) {
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) {
        // The property writes its state's text into .CONDITION as well: the monitor's
        // "No guarding reply" / "No heartbeat" stays.
        const std::string condition = p.condition_prop()->value();
        p.alive_prop()->set_value(canbus::kStateUnknown);
        p.condition_prop()->set_value(condition);
        n->lost_since_ns = tavik::clock().now_ns();
      }
    }
    node_event(p, Event::Kind::kNodeLost, 0);
  };
  cb.on_back = [this, node_event](D_can& p) {
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) n->lost_since_ns = 0;
    }
    node_event(p, Event::Kind::kNodeBack, 0);
  };
  cb.on_emergency = [this](D_can& p, const canbus::Emcy& emcy) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      e = Event{Event::Kind::kEmergency, n->line, n->node, p.name()};
    }
    e.code = emcy.code;
    e.error_register = emcy.reg;
    events_.publish(e);
  };
  cb.on_line_lost = [this](int line) { events_.publish({Event::Kind::kLineLost, line, 0, ""}); };
  cb.on_line_back = [this](int line) { events_.publish({Event::Kind::kLineBack, line, 0, ""}); };
  // Process data: the values are stored, their events go out afterwards.
  cb.on_pdo = [this](D_can& p, int pdo, const canbus::PdoValues& v) {
    std::vector<Event> events;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      pd_->on_pdo(p.name(), n->line, n->node, pdo, v, events);
    }
    for (const auto& e : events) events_.publish(e);
  };
  auto late = [this](D_can& p, int pdo, bool is_late) {
    Event e;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      pd_->on_late(p.name(), pdo, is_late);
      e = Event{is_late ? Event::Kind::kPdoLate : Event::Kind::kPdoBack, n->line, n->node,
                p.name()};
    }
    e.detail = canbus::pdo_name(canbus::PdoKind::kTpdo, pdo);
    events_.publish(e);
  };
  cb.on_pdo_late = [late](D_can& p, int pdo) { late(p, pdo, true); };
  cb.on_pdo_back = [late](D_can& p, int pdo) { late(p, pdo, false); };
  // A failed configuration leaves the node unstarted: its .CONDITION tells why.
  // A configured node was started: its set-points go out again with their last values (a node
  // takes RPDOs in Operational only, so after the start), or read none (`boot clear`).
  cb.on_boot_config = [this](D_can& p, const canbus::BootReport& r) {
    Event e;
    bool network = false;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      Node* n = node_of(&p);
      if (n == nullptr) return;
      // A node of a network: its .CONDITION is the network's (not started and why).
      network = nets_->is_network_line(n->line);
      if (!network) {
        n->config_failure = r.ok ? "" : "Not configured: " + r.reason;
        if (!r.ok) p.condition_prop()->set_value(n->config_failure);
        followers_condition(*n);
      }
      e = Event{r.ok ? Event::Kind::kConfigured : Event::Kind::kConfigFailed, n->line, n->node,
                p.name()};
    }
    e.detail = r.reason;
    events_.publish(e);
    // A network starts its nodes itself: their set-points go out after that start.
    if (r.ok && !network) restore_setpoints(p);
  };
  // The library's own emergency report ("D_can::can_emergency ..."), once per frame.
  cb.on_frames = [this](D_can& p, CMSG* frames, int count) {
    int node = 0;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      if (Node* n = node_of(&p)) node = n->node;
    }
    if (node > 0) p.can_emergency(node, frames, &count);
  };
  return cb;
}

// A configured node was started: its set-points go out again with their last values (a node
// takes RPDOs in Operational only, so after the start), or read none (`boot clear`).
void Server::restore_setpoints(D_can& p) {
  std::vector<Event> after;
  std::vector<ProcessData::Restore> restore;
  canbus::SyncProducer* sync = nullptr;
  int line = 0, id = 0;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    Node* n = node_of(&p);
    if (n == nullptr) return;
    line = n->line;
    id = n->node;
    pd_->after_boot(p.name(), line, id, restore, after);
    sync = pd_->sync_of(line);
    // A set-point taken between here and the restore would be overwritten by the restored
    // value: the node stays "being configured" until the restore has gone out.
    n->configuring = !restore.empty();
  }
  std::vector<std::string> failed(restore.size());
  for (size_t k = 0; k < restore.size(); ++k) {
    std::string err;
    const int res = canbus::send_rpdo(p, restore[k].pdo, restore[k].raw, sync, &err);
    if (res != 0) {
      failed[k] =
          "not sent: " +
          (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(res))) : err);
    }
  }
  if (!restore.empty()) {
    std::lock_guard<std::mutex> lk(state_mx_);
    if (Node* n = node_of(&p)) {
      n->configuring = false;
      for (size_t k = 0; k < restore.size(); ++k) {
        pd_->restored(p.name(), line, id, restore[k], failed[k], after);
      }
    }
  }
  for (const auto& x : after) events_.publish(x);
}

// --manual: 100 ms of the stepped clock, the simulated devices' heartbeats, one poll.
void Server::tick() {
  if (g_stepped != nullptr) g_stepped->advance(int64_t{kMonitorPeriodMs} * 1'000'000);
  pd_->tick_sync();
  nets_->tick();
  demo_.tick();
  if (g_stepped != nullptr) record_.tick(g_stepped->advanced());
  // The boot configurations run on the monitor's workers: this poll delivers their reports.
  monitor_->wait_boot_configs(10000);
  monitor_->poll();
  drives_->poll(tavik::clock().now_ns());
  flush_held();
  if (++ticks_ % 30 == 0) demo_.emergencies();
}

// ---------------------------------------------------------------------------------------------
// Requests

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

// The frame of an RPDO sent at once may take ~3 % of its line: its bit length (with the most
// stuff bits) over 3 % of the line's bit rate, at least 1 ms. An unknown code counts as 10 kbit/s.
int default_rpdo_interval_ms(int baud_code, const canbus::PdoConfig& pdo) {
  static const std::map<int, double> kKbit = {
      {0, 1000}, {1, 666.6}, {2, 500},   {3, 333.3}, {4, 250},   {5, 166}, {6, 125}, {7, 100},
      {8, 66.6}, {9, 50},    {10, 33.3}, {11, 20},   {12, 12.5}, {13, 10}, {14, 800}};
  const auto k = kKbit.find(baud_code);
  const double kbit = k == kKbit.end() ? 10 : k->second;
  const int bytes = static_cast<int>((canbus::mapping_bits(pdo.mapping) + 7) / 8);
  const int bits = 47 + 8 * bytes + (34 + 8 * bytes - 1) / 4;
  const double ms = bits / (0.03 * kbit);
  return std::max(1, static_cast<int>(std::ceil(ms)));
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

void Server::register_requests() {
  auto& t = table_;
  t.add({"help", "help [REQUEST|status]", 0, 1, Access::kRead, Run::kNow,
         "the requests, one request's usage, or the status columns",
         [this](Client&, const Args& a) { return cmd_help(a); }, false, false, true});
  // list and status of thousands of nodes: made off the network's event thread, the state
  // lock taken a slice of nodes at a time, and streamed as the client reads.
  t.add({"list", "list", 0, 0, Access::kRead, Run::kNow, "every property of the location",
         [this](Client&, const Args&) { return cmd_list(); }, false, false, true, false,
         [this](Client&, const Args&) { return list_stream(); }, true});
  t.add({"get", "get NAME", 1, 1, Access::kRead, Run::kNow,
         "a property's value; a process value with its unit and time stamp",
         [this](Client&, const Args& a) { return cmd_get(a[0]); }});
  t.add({"set", "set NAME VALUE...", 2, 5, Access::kWrite, Run::kBus,
         "writes a property (four integers for a node property) or a set-point (sent as its "
         "RPDO); checked, logged with user@host",
         [this](Client& c, const Args& a) {
           return cmd_set(c, a[0], Args(a.begin() + 1, a.end()));
         }});
  t.add({"status", "status", 0, 0, Access::kRead, Run::kNow, "nodes and lines",
         [this](Client&, const Args&) { return status(); }, false, false, true, false,
         [this](Client&, const Args&) { return status_stream(); }, true});
  t.add({"identity", "identity [--wait] NAME", 1, 2, Access::kRead, Run::kBus,
         "reads a node's identity strings again (--wait: also while the node is lost)",
         [this](Client&, const Args& a) {
           if (a.size() == 2 && a[0] != "--wait")
             return std::string("error: usage: identity [--wait] NAME");
           return cmd_identity(a.back());
         },
         false, false, false, true});
  t.add({"sdo",
         "sdo read [--wait] NAME INDEX SUB|OBJECT | sdo write [--wait] NAME INDEX SUB|OBJECT VALUE",
         3, 1000, Access::kRead, Run::kBus,
         "reads or writes an object of a node by number or by its name in the node's EDS (VALUE: "
         "number, or text in double quotes); a node held lost is not asked unless --wait",
         [this](Client& c, const Args& a) {
           // The line as typed: a quoted text keeps its blanks.
           std::string line = a[0];
           auto w = split_words(line);
           if (w.size() > 2 && w[2] == "--wait") {
             // Before the node's name: the first "--wait" of the line.
             line.erase(line.find("--wait"), 6);
             w.erase(w.begin() + 2);
           }
           if (w.size() < 4 || (w[1] != "read" && w[1] != "write"))
             return std::string(
                 "error: usage: sdo read [--wait] NAME INDEX SUB|OBJECT | sdo write [--wait] NAME "
                 "INDEX SUB|OBJECT VALUE");
           if (w[1] == "write" && !c.writer) return std::string("error: read-only client");
           Node* n = nullptr;
           {
             std::lock_guard<std::mutex> lk(state_mx_);
             n = find_node(w[2]);
           }
           if (n == nullptr) return "error: unknown node property " + quote_word(w[2]);
           return sdo_request(n->prop, line, &objects_);
         },
         false, true});
  t.add({"od", "od NAME [TEXT|warnings]", 1, 1000, Access::kRead, Run::kNow,
         "the objects of a node's EDS whose name contains TEXT, with the last value read; "
         "'warnings': what the file gets wrong, as read",
         [this](Client&, const Args& a) {
           std::vector<std::string> w;
           std::vector<bool> quoted;
           if (!request_words(a[0], w, quoted)) return std::string("error: a quote is not closed");
           return od_request(objects_, w);
         },
         false, true, true, false,
         [this](Client&, const Args& a) {
           std::vector<std::string> w;
           std::vector<bool> quoted;
           if (!request_words(a[0], w, quoted)) return AnswerStream{"error: a quote is not closed"};
           return od_stream(objects_, w);
         },
         true, true});
  t.add({"scan", "scan LINE", 1, 1, Access::kWrite, Run::kBus,
         "lists the nodes that answer on LINE; status marks configured nodes it did not find",
         [this](Client&, const Args& a) {
           std::vector<ScanTarget> targets;
           {
             std::lock_guard<std::mutex> lk(state_mx_);
             for (const Node& n : nodes_) {
               const canline* l = n.prop->line_ptr();
               targets.push_back({n.prop->name(), n.line, n.node, l ? l->baud() : -1});
             }
           }
           int line = 0;
           std::set<int> found;
           std::string answer = scan_request(a[0], targets, &line, &found);
           if (line != 0) {
             std::lock_guard<std::mutex> lk(state_mx_);
             scanned_[line] = std::move(found);
           }
           return answer;
         },
         false, false, true});
  t.add({"boot", "boot LINE", 1, 1, Access::kWrite, Run::kBus,
         "starts the network of LINE up again: reset communication, every node's boot procedure",
         [this](Client&, const Args& a) { return nets_->boot(a[0]); }});
  t.add({"download", "download NAME FILE", 2, 2, Access::kWrite, Run::kBus,
         "downloads the program FILE (in the configuration's folder) to a node of a network, "
         "with download events; the node restarts into it",
         [this](Client&, const Args& a) { return cmd_download(a[0], a[1]); }});
  t.add({"save", "save", 0, 0, Access::kWrite, Run::kNow, "writes the configuration back",
         [this](Client&, const Args&) {
           std::string error;
           return save(error) ? "ok (saved " + config_file_ + ")" : "error: " + error;
         }});
  t.add({"tick", "tick N", 1, 1, Access::kWrite, Run::kBus,
         "runs N receive cycles of 100 ms (with --manual)", [this](Client&, const Args& a) {
           if (!opts_.manual) return std::string("error: tick needs --manual");
           int k = 0;
           if (!parse_int(a[0], k) || k < 0 || k > 100000)
             return "error: bad count " + quote_word(a[0]);
           for (int i = 0; i < k; ++i) tick();
           return std::string("ok");
         }});
  t.add({"sim",
         "sim silent|hold|identity NODE on|off, sim emcy NODE [CODE [REGISTER]], sim boot|abort "
         "NODE, sim line N down|up, sim fault NODE over-temperature|following-error|over-voltage, "
         "sim block NODE on|off",
         2, 4, Access::kWrite, Run::kNow, "faults of the simulated devices (virtual bus)",
         [this](Client&, const Args& a) { return cmd_sim(a); }});
  t.add(
      {"drive",
       "drive NAME enable|disable|home|move POS [VELOCITY]|jog VELOCITY|halt|stop|quickstop|reset",
       2, 4, Access::kWrite, Run::kBus,
       "operates a motor drive (a NAME.DRIVE line) and answers what it did; halt and quickstop "
       "are sent at once, also while a move runs",
       [this](Client& c, const Args& a) { return drives_->request(c, a); }, false, false, false,
       false, nullptr, false, false, &Drives::at_once});
  t.add({"record", "record [on|off [LINE]]", 0, 2, Access::kWrite, Run::kNow,
         "recording of one line (1..20) or all on or off (needs --record); alone: the state",
         [this](Client&, const Args& a) {
           Args r{"record"};
           r.insert(r.end(), a.begin(), a.end());
           return record_.request(r);
         }});
  t.add({"user", "user NAME", 1, 1, Access::kRead, Run::kNow,
         "names the user of this connection for the change log (once)",
         [](Client& c, const Args& a) {
           if (c.user_given) return std::string("error: the user is named already");
           const std::string& u = a[0];
           bool ok = !u.empty() && u.size() <= 32;
           for (char ch : u)
             ok = ok && (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' ||
                         ch == '-');
           if (!ok) return std::string("error: a user name is 1..32 of A-Z a-z 0-9 . _ -");
           c.user = u;
           c.user_given = true;
           return "ok (" + c.who() + ")";
         }});
  t.add({"watch", "watch [on|off]", 0, 1, Access::kRead, Run::kNow,
         "sends events as they happen, each a line starting with 'event ' (process values at most "
         "once per --value-interval)",
         [](Client& c, const Args& a) {
           if (!a.empty() && a[0] != "on" && a[0] != "off")
             return std::string("error: usage: watch [on|off]");
           if (!c.event_sink && !c.forwarded)
             return std::string("error: no events on this channel");
           c.watching = a.empty() || a[0] == "on";
           return std::string(c.watching ? "ok (watching)" : "ok (not watching)");
         }});
  t.add({"quit", "quit", 0, 0, Access::kRead, Run::kNow,
         "ends the connection (on standard input: saves and ends the server)",
         [](Client&, const Args&) { return std::string("bye"); }, true});
}

std::string Server::cmd_download(const std::string& name, const std::string& file) {
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    const Node* n = find_node(name);
    if (n == nullptr) return "error: unknown node property '" + name + "'";
    if (!n->master) return "error: " + name + " is not its node's first property";
  }
  std::vector<uint8_t> image;
  std::string why;
  if (!read_inside(config_dir_.fd, file, image, why)) return "error: " + why;
  return nets_->download(name, image);
}

std::string Server::cmd_help(const Args& a) const {
  if (!a.empty()) {
    if (a[0] == "status") return kStatusLegend;
    const RequestSpec* s = table_.find(a[0]);
    if (s == nullptr) return "error: unknown request '" + quote_word(a[0]) + "'";
    return s->usage + "\n  " + s->help;
  }
  std::ostringstream o;
  bool first = true;
  for (const auto& s : table_.all()) {
    if (!first) o << "\n";
    first = false;
    o << std::left << std::setw(22) << s.usage << " " << s.help;
  }
  return o.str();
}

// status and list read the node table under state_mx_ a slice of kSliceNodes nodes at a time
// and make their text without it: thousands of nodes never hold up the monitor's callbacks or
// the other requests for long. A table may then show nodes read a few milliseconds apart.
void Server::each_node_sliced(const std::function<void(size_t)>& f) {
  for (size_t k = 0; k < nodes_.size();) {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const size_t end = std::min(nodes_.size(), k + kSliceNodes); k < end; ++k) f(k);
  }
}

namespace {

// A block of `n` lines streamed to a network client, line k made by `line(k)` as it is sent.
AnswerStream lines_stream(size_t n, std::function<std::string(size_t)> line) {
  AnswerStream s;
  s.lines = n;
  auto next = std::make_shared<size_t>(0);
  s.more = [n, line = std::move(line), next](std::string& out, size_t bytes) {
    for (const size_t start = out.size(); *next < n && out.size() - start < bytes; ++*next)
      out += line(*next) + "\n";
    return *next < n;
  };
  return s;
}

std::string joined(size_t n, const std::function<std::string(size_t)>& line) {
  std::string s;
  for (size_t k = 0; k < n; ++k) s += (k == 0 ? "" : "\n") + line(k);
  return s;
}

}  // namespace

// A table of columns as wide as their widest cell (at least their usual width), so that no text
// shifts the columns after it; a .CONDITION longer than kMaxConditionShown is cut (`get` has it
// whole). The last column is not padded; notes follow it. The widths are known once every node
// is read.
std::shared_ptr<StatusTable> Server::status_table(bool values) {
  constexpr size_t kMaxConditionShown = 48;
  auto t = std::make_shared<StatusTable>();
  t->heading = {"NODE", "LINE", "ID", "ROLE", "CONDITION", "ALIVE", "FILL", "EMCY", "LOST"};
  t->width = {18, 5, 5, 9, 19, 7, 6, 5, 6};
  for (const auto& h : ProcessData::status_headings()) t->heading.push_back(h);
  for (size_t w : {6, 8, 9, 7}) t->width.push_back(w);
  t->heading.push_back("DRIVE");
  t->width.push_back(7);
  t->heading.push_back("MONITOR");
  t->width.push_back(18);
  t->heading.push_back("BOOT");
  t->width.push_back(9);
  t->heading.push_back("IDENTITY");
  t->width.push_back(0);
  t->rows.reserve(nodes_.size());
  t->notes.reserve(nodes_.size());
  std::vector<canline*> lines;
  std::vector<std::string> value_lines;
  each_node_sliced([&](size_t k) {
    const Node& n = nodes_[k];
    D_can* p = n.prop;
    // The node's counters, also on its followers' rows; supervision on the master's.
    const Node* m = master_of(n);
    canbus::NodeStats st;
    const bool supervised = m != nullptr && monitor_->stats(m->prop, st);
    const bool lost = supervised && st.lost;
    std::string condition = p->condition_prop()->value();
    if (condition.size() > kMaxConditionShown) {
      condition = condition.substr(0, kMaxConditionShown - 3) + "...";
    }
    std::vector<std::string> row{p->name(), std::to_string(n.line), std::to_string(n.node),
                                 role_of(n), condition,
                                 // The last state heard is no state while the node is lost.
                                 lost ? std::string("lost") : hex2(p->alive_prop()->value()),
                                 std::to_string(p->can_return()), std::to_string(st.emergencies),
                                 std::to_string(st.frames_lost)};
    for (auto& c : pd_->status_cells(p->name(), tavik::clock().now_ns()))
      row.push_back(std::move(c));
    row.push_back(drives_->status_cell(p->name()));
    row.push_back(supervised && m == &n ? monitor_text(n.mon) : "-");
    row.push_back(n.master ? nets_->boot_cell(p->name()) : "-");
    row.push_back(p->manu_prop()->value() + " / " + p->hwver_prop()->value() + " / " +
                  p->swver_prop()->value());
    std::string note;
    if (lost && m->lost_since_ns > 0) note += "  LOST SINCE " + utc_time_text(m->lost_since_ns);
    if (auto s = scanned_.find(n.line); s != scanned_.end() && s->second.count(n.node) == 0) {
      note += "  NOT FOUND BY SCAN";
    }
    t->rows.push_back(std::move(row));
    t->notes.push_back(std::move(note));
    canline* l = p->line_ptr();
    if (l != nullptr && std::find(lines.begin(), lines.end(), l) == lines.end()) lines.push_back(l);
    if (values) {
      std::string v = pd_->value_line(p->name());
      if (!v.empty()) value_lines.push_back(std::move(v));
    }
  });
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (canline* l : lines) {
      t->tail.push_back("line " + std::to_string(l->line()) + ": handle " +
                        std::to_string(l->handle()) + ", " + (l->handle() > 0 ? "open" : "closed") +
                        ", baud code " + std::to_string(l->baud()));
    }
  }
  for (auto& v : nets_->summaries()) t->tail.push_back(std::move(v));
  for (auto& v : value_lines) t->tail.push_back(std::move(v));
  for (const auto& r : t->rows) {
    for (size_t c = 0; c + 1 < r.size(); ++c) t->width[c] = std::max(t->width[c], r[c].size() + 2);
  }
  return t;
}

std::string Server::status(bool values) {
  auto t = status_table(values);
  return joined(t->lines(), [&t](size_t k) { return t->line(k); });
}

AnswerStream Server::status_stream() {
  auto t = status_table(false);
  return lines_stream(t->lines(), [t](size_t k) { return t->line(k); });
}

std::vector<std::string> Server::list_lines() {
  std::vector<std::string> out;
  const std::vector<D_fct*> props = location_->properties();
  for (size_t k = 0; k < props.size();) {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const size_t end = std::min(props.size(), k + kSliceNodes * 8); k < end; ++k) {
      const D_fct* p = props[k];
      std::string l = p->name();
      if (ends_with(p->name(), ".BAUDRATE")) {
        // The library's own description names its default only: 0 in the file means it.
        l += "  (baud-rate code 0..14 taken when the line is opened; 0: the default, 6 == 125 "
             "kbit/s)";
      } else if (!p->description().empty()) {
        l += "  (" + p->description() + ")";
      }
      out.push_back(printable(l));
    }
  }
  std::vector<std::string> values;
  each_node_sliced([&](size_t k) {
    pd_->list(nodes_[k].prop->name(), values);
    drives_->list(nodes_[k].prop->name(), values);
  });
  for (auto& v : values) out.push_back(printable(v));
  return out;
}

std::string Server::cmd_list() {
  std::vector<std::string> l = list_lines();
  return joined(l.size(), [&l](size_t k) { return l[k]; });
}

AnswerStream Server::list_stream() {
  auto l = std::make_shared<std::vector<std::string>>(list_lines());
  return lines_stream(l->size(), [l](size_t k) { return std::move((*l)[k]); });
}

std::string Server::cmd_get(const std::string& name) {
  if (pd_->is_value(name)) return pd_->get(name);
  if (drives_->is_property(name)) return drives_->get(name);
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + quote_word(name);
  EqData in, res;
  p->get(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  std::ostringstream o;
  o << name << " = ";
  if (res.type() == DATA_IIII) {
    o << res.get_int(0) << " " << res.get_int(1) << " " << res.get_int(2) << " " << res.get_int(3);
  } else if (res.type() == DATA_STRING) {
    o << res.get_string();
  } else {
    o << res.get_int();
  }
  return o.str();
}

// With bus_mx_ (a bus job).
std::string Server::cmd_set(Client& c, const std::string& name, const Args& values) {
  std::unique_lock<std::mutex> lk(state_mx_);
  if (pd_->is_value(name)) {
    lk.unlock();
    return cmd_set_value(c, name, values);
  }
  if (drives_->is_property(name)) {
    // NAME.TARGET: a move, waited for on the bus as `drive NAME move`.
    lk.unlock();
    return drives_->set_target(c, name, values);
  }
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + quote_word(name);
  if (is_read_only(name)) return "error: " + name + " is read-only";
  std::string error;
  EqData in, res;
  std::string shown;
  if (Node* n = find_node(name)) {
    int v[4];
    if (!four(values, v, error)) return "error: " + name + " " + error;
    if (auto e = check_node_value(v); !e.empty()) return "error: " + e;
    lk.unlock();
    return cmd_set_node(c, *n, v);
  }
  const int type = p->data_type();
  if (type == DATA_IIII) {
    int v[4];
    if (!four(values, v, error)) return "error: " + name + " " + error;
    if (ends_with(name, ".DEBUG_ID")) {
      if (auto e = check_debug_value(v); !e.empty()) return "error: " + e;
    }
    in.set(IIII{v[0], v[1], v[2], v[3]});
  } else if (type == DATA_INT) {
    int v = 0;
    if (values.size() != 1 || !parse_int(values[0], v))
      return "error: " + name + " takes one integer";
    if (ends_with(name, ".BAUDRATE")) {
      if (auto e = check_baud_code(v); !e.empty()) return "error: " + e;
    }
    in.set(v);
  } else if (type == DATA_STRING) {
    std::string s;
    for (size_t i = 0; i < values.size(); ++i) s += (i ? " " : "") + values[i];
    if (s.size() > kMaxString)
      return "error: " + name + " takes at most " + std::to_string(kMaxString) + " bytes";
    in.set_string(s);
  } else {
    return "error: " + name + " cannot be set";
  }
  location_->set_user_and_host(c.user, c.host);
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  for (const auto& v : values) shown += " " + quote_word(v);
  log(name + " set to" + shown + " by " + c.who());
  // The line takes a baud rate when it opens; the status table shows the one in use. Another
  // property of the line with another code is named: the file must give one rate per line.
  if (ends_with(name, ".BAUDRATE")) {
    auto code = [](int c) { return c == 0 ? kDefaultBaudCode : c; };
    const Node* n = find_node(name.substr(0, name.size() - 9));
    for (const Node& o : nodes_) {
      if (n == nullptr || &o == n || o.line != n->line) continue;
      const int other = code(o.prop->baudrate_prop()->get_value());
      if (other == code(n->prop->baudrate_prop()->get_value())) continue;
      return "ok (applies when the line is next opened; line " + std::to_string(n->line) +
             " has code " + std::to_string(other) + " from " + o.prop->name() +
             ": give every property of the line the same code)";
    }
    return "ok (applies when the line is next opened)";
  }
  return "ok";
}

// With bus_mx_, without state_mx_: checked under state_mx_, sent without it.
std::string Server::cmd_set_value(Client& c, const std::string& name, const Args& values) {
  std::string node_name;
  canbus::PdoConfig pdo;
  std::vector<canbus::Value> raw;
  D_can* p = nullptr;
  canbus::SyncProducer* sync = nullptr;
  int interval_ms = 0;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    if (auto e = pd_->prepare_set(name, values, node_name, pdo, raw); !e.empty()) return e;
    Node* n = find_node(node_name);
    if (n == nullptr || n->prop->handle() < 0) return "error: " + node_name + " is not on the bus";
    // A node takes RPDOs in Operational only: a set-point it would drop is neither stored nor
    // sent.
    if (auto why = not_taking_setpoints(*n); !why.empty()) {
      return "error: " + node_name + " is " + why + ": set-points are taken in Operational only";
    }
    p = n->prop;
    sync = pd_->sync_of(n->line);
    interval_ms = pd_->rpdo_interval_ms(node_name, pdo.number);
  }
  if (interval_ms == 0) {
    const canline* l = p->line_ptr();
    interval_ms = default_rpdo_interval_ms(l != nullptr ? l->baud() : -1, pdo);
  }
  std::string shown;
  for (const auto& v : values) shown += " " + quote_word(v);
  // One after the SYNC replaces the one queued before it: the SYNC's period is its interval.
  const bool after_sync = sync != nullptr && canbus::is_synchronous(pdo);
  HeldRpdo& h = rpdos_[{node_name, pdo.number}];
  const int64_t now = tavik::clock().now_ns();
  const int64_t interval_ns = int64_t{interval_ms} * 1000000;
  if (!after_sync && h.sent_ns != 0 && now < h.sent_ns + interval_ns) {
    // Within the interval: the frame with the latest values goes out when it ends.
    h.held = true;
    h.due_ns = h.sent_ns + interval_ns;
    h.prop = p;
    h.pdo = pdo;
    h.raw = raw;
    h.sync = sync;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      pd_->commit_set(name, pdo, raw);
    }
    ++counts_.coalesced;
    log_setpoint(c, name, shown);
    flush_at(h.due_ns);
    return "ok (coalesced: sent within " + std::to_string(interval_ms) + " ms)";
  }
  std::string err;
  const int r = canbus::send_rpdo(*p, pdo, raw, sync, &err);
  if (r != 0) {
    return "error: " + canbus::pdo_name(pdo.kind, pdo.number) + " not sent: " +
           (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(r))) : err);
  }
  if (!after_sync) {
    h.sent_ns = now;
    h.held = false;  // these values are the latest
  }
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    pd_->commit_set(name, pdo, raw);
  }
  log_setpoint(c, name, shown);
  if (after_sync) return "ok (sent after the next SYNC)";
  return "ok";
}

void Server::log_setpoint(const Client& c, const std::string& name, const std::string& shown) {
  constexpr int64_t kLogEveryNs = 1'000'000'000;
  const int64_t now = tavik::clock().now_ns();
  HeldLog& l = setpoint_log_[{&c, name}];
  if (l.line_ns == 0 || (l.held == 0 && now - l.line_ns >= kLogEveryNs)) {
    log(name + " set to" + shown + " by " + c.who());
    l.line_ns = now;
    return;
  }
  l.who = c.who();
  l.last = shown;
  ++l.held;
  ++counts_.log_held;
  flush_at(l.line_ns + kLogEveryNs);
}

void Server::flush_held(bool all) {
  constexpr int64_t kLogEveryNs = 1'000'000'000;
  const int64_t now = tavik::clock().now_ns();
  for (auto& [key, h] : rpdos_) {
    if (!h.held) continue;
    if (!all && now < h.due_ns) {
      flush_at(h.due_ns);
      continue;
    }
    h.held = false;
    h.sent_ns = now;
    std::string err;
    const int r = canbus::send_rpdo(*h.prop, h.pdo, h.raw, h.sync, &err);
    if (r != 0) {
      log(key.first + " " + canbus::pdo_name(h.pdo.kind, h.pdo.number) +
          " held for its interval not sent: " +
          (err.empty() ? can_error_str(static_cast<unsigned long>(static_cast<long>(r))) : err));
    }
  }
  for (auto it = setpoint_log_.begin(); it != setpoint_log_.end();) {
    HeldLog& l = it->second;
    if (l.held > 0 && (all || now - l.line_ns >= kLogEveryNs)) {
      log(it->first.second + " set by " + l.who + " (" + std::to_string(l.held) +
          (l.held == 1 ? " more set-point, last" : " more set-points, last") + l.last + ")");
      l.held = 0;
      l.line_ns = now;
    } else if (l.held > 0) {
      flush_at(l.line_ns + kLogEveryNs);
    } else if (now - l.line_ns >= kLogEveryNs) {
      it = setpoint_log_.erase(it);  // a client's next set-point is logged at once
      continue;
    }
    ++it;
  }
}

void Server::flush_at(int64_t due_ns) {
  if (opts_.manual) return;  // the next tick flushes
  std::lock_guard<std::mutex> lk(flush_mx_);
  if (flush_due_ns_ != 0 && flush_due_ns_ <= due_ns) return;
  flush_due_ns_ = due_ns;
  flush_cv_.notify_all();
}

void Server::start_flusher() {
  if (opts_.manual) return;
  flusher_ = std::thread([this] {
    std::unique_lock<std::mutex> lk(flush_mx_);
    while (!flush_stop_) {
      if (flush_due_ns_ == 0) {
        flush_cv_.wait(lk);
        continue;
      }
      const int64_t left = flush_due_ns_ - tavik::clock().now_ns();
      if (left > 0) {
        flush_cv_.wait_for(lk, std::chrono::nanoseconds(left));
        continue;
      }
      flush_due_ns_ = 0;
      lk.unlock();
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               flush_held();
                             },
                             {}});
      lk.lock();
    }
  });
}

void Server::stop_flusher() {
  {
    std::lock_guard<std::mutex> lk(flush_mx_);
    flush_stop_ = true;
  }
  flush_cv_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

// With state_mx_: why the node of `n` would drop an RPDO now, as the server shows its state
// ("Stopped", "lost (No heartbeat)", "Not configured: ..."); empty when it is operational.
std::string Server::not_taking_setpoints(const Node& n) {
  const Node* m = master_of(n);
  canbus::NodeStats st;
  if (m == nullptr || !monitor_->stats(m->prop, st)) return "not supervised";
  if (st.lost) return "lost (" + m->prop->condition_prop()->value() + ")";
  if (!m->config_failure.empty()) return m->config_failure;
  // Booted and not configured yet: its set-points go out again once it is.
  if (m->configuring) return "being configured after a boot";
  if (st.state == canbus::kStateUnknown) return "not heard yet";
  if (st.state != 5) return state_text(st.state);
  return "";
}

// With bus_mx_, without state_mx_; `v` is checked.
std::string Server::cmd_set_node(Client& c, Node& n, const int v[4]) {
  std::unique_lock<std::mutex> lk(state_mx_);
  D_can* p = n.prop;
  const IIII old = p->value();
  IIII now{v[0], v[1], v[2], v[3]};
  const bool moved = old.i1_data != now.i1_data || old.i2_data != now.i2_data;
  // A move attaches anew: the monitor lets go of the node before (its remove waits for the
  // callbacks in progress, which take state_mx_). Uploads and the monitor's receive cycle share
  // the node's handle without taking each other's frames, so supervision of the other nodes goes
  // on meanwhile.
  if (moved) {
    lk.unlock();
    monitor_->remove(p);
    lk.lock();
  }
  EqData in, res;
  in.set(now);
  location_->set_user_and_host(c.user, c.host);
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) {
    if (moved && n.master) supervise(n);
    return "error: " + res.get_string();
  }
  char shown[96];
  std::snprintf(shown, sizeof shown, "%d %d %d %d", v[0], v[1], v[2], v[3]);
  log(p->name() + " set to " + shown + " by " + c.who());

  if (!moved) {
    // Further identifiers take effect at once: the old ones off (the master's handle only; a
    // follower shares it), the new ones on.
    for (int id : {old.i3_data, old.i4_data}) {
      if (id > 0 && id != now.i3_data && id != now.i4_data && id != 0x700 + n.node &&
          id != 0x580 + n.node && id != 0x80 + n.node)
        p->DelIdent(id);
    }
    for (int id : {now.i3_data, now.i4_data}) {
      if (id > 0 && p->handle() >= 0) p->AddIdent(id);
    }
    return "ok";
  }
  // Moved: attach where it is now and read the new node's identity. The followers left without
  // their master: the first attaches again and becomes the node's master (supervised); the
  // library has the others follow it.
  const int old_line = n.line, old_node = n.node;
  const bool was_master = n.master;
  n.line = now.i1_data;
  n.node = now.i2_data;
  p->manu_prop()->set_value("");
  p->hwver_prop()->set_value("");
  p->swver_prop()->set_value("");
  p->alive_prop()->set_value(0);
  p->condition_prop()->set_value("");
  if (simulate_ && !record_.replaying()) demo_.add_plain(device_spec(n), opts_.manual);
  attach(n);
  bool first = true;
  for (auto& m : nodes_) {
    if (!was_master || &m == &n || m.line != old_line || m.node != old_node || m.master) continue;
    if (first) {
      m.prop->can_close();
      attach(m);
      first = false;
    }
    log(m.prop->name() + " attached again after its master moved: " + role_of(m));
  }
  lk.unlock();
  read_identity(n);
  if (n.master && drives_->has(p->name())) {
    // A drive's node: set up where it is now, then started.
    drives_->setup(p->name());
    p->start_node();
  }
  lk.lock();
  supervise_waiting();
  lk.unlock();
  return "ok (moved to line " + std::to_string(n.line) + " node " + std::to_string(n.node) +
         ", attached again)";
}

// With bus_mx_ (a bus job): the uploads run without state_mx_. The three strings are stored
// only when all three were read ("-" for 0x1009 or 0x100A when the node has none); the first
// failure ends the read (a silent node costs one
// transfer's time-out, not three).
std::string Server::cmd_identity(const std::string& name) {
  Node* n = nullptr;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    n = find_node(name);
    if (n == nullptr) return "error: unknown node property " + quote_word(name);
    if (n->prop->handle() < 0) return "error: " + name + " is not on the bus";
  }
  D_can* p = n->prop;
  std::string got[3];
  const int index[3] = {0x1008, 0x1009, 0x100A};
  for (int k = 0; k < 3; ++k) {
    // The node is given 100 ms before its software version, as at start-up.
    if (index[k] == 0x100A) TAVIKsleep(0, 100000);
    // The whole value (the SDO client reports a longer one as not fitting); 63 bytes kept.
    std::vector<char> buffer(4096);
    size_t length = 0;
    const int r = p->sdo_upload(index[k], 0, buffer.data(), buffer.size() - 1, &length);
    if (index[k] != 0x1008 && sdo_no_object(r)) {
      // An optional object the node does not have: no failure of the identity.
      got[k] = "-";
      continue;
    }
    if (r != 0) {
      return "error: identity of " + name + " not read (object " + hex4(index[k]) +
             "): " + sdo_result_text(r);
    }
    buffer[std::min(length, kMaxString)] = '\0';
    p->check_ascii(buffer.data());
    got[k] = buffer.data();
  }
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    p->manu_prop()->set_value(got[0]);
    p->hwver_prop()->set_value(got[1]);
    p->swver_prop()->set_value(got[2]);
  }
  return got[0] + " / " + got[1] + " / " + got[2];
}

std::string Server::cmd_sim(const Args& a) {
  if (!simulate_) return "error: no simulated devices on this backend";
  return demo_.request(a, table_.find("sim")->usage,
                       [this](const std::string& name, int& line, int& node) {
                         const Node* n = find_node(name);
                         if (n == nullptr) return false;
                         line = n->line;
                         node = n->node;
                         return true;
                       });
}

// ---------------------------------------------------------------------------------------------
// Saving and running

bool Server::save(std::string& error) {
  if (!config_ok_) {
    error = "the configuration was not read; not written";
    return false;
  }
  // The lines of the node properties, their baud rates and the debug selector, each in its
  // place; every other line of the file stays as it was.
  std::map<std::string, std::string> current;
  std::vector<std::string> order;
  for (D_fct* p : location_->properties()) {
    const std::string& name = p->name();
    if (find_node(name) == nullptr && !is_config_sub(name)) continue;
    std::ostringstream o;
    p->write(o);
    std::string line = o.str();
    while (!line.empty() && line.back() == '\n') line.pop_back();
    current[name] = line;
    // A sub-property that is not in the file yet is added only when it holds more than zeros.
    bool zeros = true;
    for (const auto& w : split_words(line.substr(name.size() + 1))) zeros = zeros && w == "0";
    if (find_node(name) != nullptr || !zeros) order.push_back(name);
  }
  std::string text = config_.render(current, order);
  // The folder must still be the one opened at the start: one moved away or replaced (by a link,
  // say) is not written to, neither where it went nor where the link leads.
  struct stat st {};
  std::string dir = config_dir_.path;
  if (dir.size() > 1) dir.pop_back();  // the '/', which would follow a link
  if (::lstat(dir.c_str(), &st) != 0 || st.st_dev != config_dir_.dev ||
      st.st_ino != config_dir_.ino) {
    error = "the folder " + dir + " is not the one the server started with (moved or replaced" +
            (S_ISLNK(st.st_mode) ? " by a link" : "") + "): not saved";
    return false;
  }
  if (!save_file_at(config_dir_.fd, config_dir_.path, config_name_, text, error, {},
                    opts_.backups)) {
    return false;
  }
  // The file now holds what was rendered: later saves work from it.
  config_ = ConfigFile::parse(text);
  return true;
}

int Server::run(int in_fd) {
  using clk = std::chrono::steady_clock;
  auto t0 = clk::now();
  auto next_status = t0;
  auto next_emergencies = t0 + std::chrono::seconds(3);
  auto next_drive_poll = t0;

  Network* net = net_.get();
  if (!opts_.manual) {
    // The receive cycle and supervision on the monitor's thread; heartbeats on the devices'.
    monitor_->start(kMonitorPeriodMs);
    demo_.start();
  }
  worker_.start();
  start_flusher();
  if (net) net->start();
  write_out("type 'help' for the requests\n");

  // Standard input: one client, always a writer, served one request at a time.
  auto console = std::make_shared<Client>();
  const char* user = std::getenv("USER");
  console->user = user && *user ? user : "console";
  console->host = "stdin";
  console->writer = true;
  console->event_sink = [this](const std::string& line) { write_out(line + "\n"); };
  events_.add(console);

  std::mutex done_mx;
  std::condition_variable done_cv;
  auto serve = [&](const LineReader::Item& it) -> bool {
    if (it.too_long) {
      write_out("error: request longer than " + std::to_string(kMaxRequestLine) + " bytes\n");
      return true;
    }
    bool finished = false, end = false;
    submit(console, it.line, [&](const std::string& answer, bool e) {
      write_out(answer + "\n");
      std::lock_guard<std::mutex> lk(done_mx);
      finished = true;
      end = e;
      done_cv.notify_all();
    });
    std::unique_lock<std::mutex> lk(done_mx);
    done_cv.wait(lk, [&] { return finished; });
    return !end;
  };

  LineReader reader;
  bool input_open = true;
  bool quit = false;
  while (!quit && !g_stop) {
    auto now = clk::now();
    if (opts_.duration > 0 && now - t0 >= std::chrono::duration<double>(opts_.duration)) break;
    // The example's devices that boot late, when their time has come.
    if (!opts_.manual && simulate_ && late_devices_ && !late_queued_.exchange(true)) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               late_devices_ = demo_.boot_late(tavik::clock().now_ns());
                               late_queued_ = false;
                             },
                             [this] { late_queued_ = false; }});
    }
    if (!opts_.manual && simulate_ && now >= next_emergencies) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               demo_.emergencies();
                             },
                             {}});
      next_emergencies = now + std::chrono::seconds(3);
    }
    // The drives' time-outs, and the values of drives without PDOs (by SDO), while no
    // operation waits on them.
    if (!opts_.manual && !drives_->empty() && now >= next_drive_poll &&
        !drive_poll_queued_.exchange(true)) {
      worker_.post(nullptr, {[this] {
                               std::lock_guard<std::mutex> bus(bus_mx_);
                               drives_->poll(tavik::clock().now_ns());
                               drive_poll_queued_ = false;
                             },
                             [this] { drive_poll_queued_ = false; }});
      next_drive_poll = now + std::chrono::milliseconds(200);
    }
    if (opts_.status_every > 0 && now >= next_status) {
      write_out(status(true) + "\n");
      next_status = now + std::chrono::duration_cast<clk::duration>(
                              std::chrono::duration<double>(opts_.status_every));
    }
    if (!input_open) {
      if (opts_.duration <= 0 && !net) break;
      TAVIKsleep(0, 50000);
      continue;
    }
    pollfd pfd{in_fd, POLLIN, 0};
    int r = poll(&pfd, 1, 50);
    if (r <= 0) continue;
    char buf[4096];
    ssize_t k = read(in_fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    std::vector<LineReader::Item> items;
    if (k <= 0) {
      input_open = false;
      reader.finish(items);
    } else {
      reader.feed(buf, static_cast<size_t>(k), items);
    }
    for (const auto& it : items) {
      if (!serve(it)) {
        quit = true;
        break;
      }
    }
  }
  if (net) net->stop();
  // A drive that moves is halted and no operation starts any more: the bus work waiting for a
  // drive ends at once.
  drives_->end();
  stop_flusher();  // it posts to the worker
  worker_.stop();  // its jobs may pause and restart the monitor
  {
    // What is held goes out now: the last set-points and their log lines are not lost.
    std::lock_guard<std::mutex> bus(bus_mx_);
    flush_held(true);
  }
  monitor_->stop();
  monitor_->use_sync(nullptr);
  pd_->stop_sync();
  std::lock_guard<std::mutex> bus(bus_mx_);
  if (opts_.status_every > 0) write_out(status(true) + "\n");  // takes state_mx_ itself
  std::lock_guard<std::mutex> lk(state_mx_);
  std::string error;
  if (!save(error)) {
    std::cerr << "canbus-server: " << error << "\n";
    return 1;
  }
  return 0;
}

}  // namespace canbus_server
