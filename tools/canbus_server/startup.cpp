// Start-up: the configuration read and checked, its folder, the nodes made and attached, their
// identity read, the masters handed to the monitor, the listeners opened.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "demo_config.h"
#include "demo_devices.h"
#include "metrics.h"
#include "network.h"
#include "parallel.h"
#include "recorder.h"
#include "sdo_requests.h"
#include "server.h"
#include "server_util.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

std::string octal(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "%04o", v);
  return b;
}

// --manual: the recording is stamped in ticks, the real time of the start plus what the ticks
// alone added (a wait that ran out is left out: a replay of the same requests need not wait the
// same). A replay takes a node's frame for the answer to the request recorded shortly before it;
// on real time a tick that came late (a loaded machine, a slow client) parted a node's frame from
// the request of the tick before, and the replay never sent it.
std::atomic<int64_t> g_record_base{0};
int64_t manual_record_time() {
  return g_record_base.load() + (g_stepped != nullptr ? g_stepped->advanced() : 0);
}

}  // namespace

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

// The steps of the start, in order: nothing is touched on the bus before every file and option
// is checked and every listener bound.
bool Server::start() {
  use_backend_and_clock();
  if (!open_config_folder()) return false;
  Config config;
  if (!read_config(config)) return false;
  create_nodes(config);
  const size_t bad_files = load_dictionaries();
  if (!load_process_data() || !load_drives() || !load_networks()) return false;

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
  attach_nodes();
  open_trace();
  read_start_identities();
  hand_to_monitor();
  metrics_ready_ = true;
  write_out("canbus-server: " + std::to_string(nodes_.size()) + " node properties from " +
            config_file_ + (simulate_ ? " on the virtual bus with simulated nodes" : "") + "\n");
  return true;
}

// The driver's backend (--backend) and, with --manual, the stepped clock.
void Server::use_backend_and_clock() {
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
}

// The bundled example works on a copy, so that running it never changes a repository file;
// a copy saved by an earlier run is used again. The folder is made private; one another
// user made or may write is refused.
bool Server::make_demo_folder() {
  std::string error;
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
  return true;
}

// The configuration file (--config, else the example's copy) and its folder, checked and held
// open.
bool Server::open_config_folder() {
  if (opts_.config_path.empty()) {
    if (!make_demo_folder()) return false;
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
    std::string error;
    const size_t slash = config_file_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : config_file_.substr(0, slash + 1);
    if (!check_folder(dir, false, error, config_dir_)) {
      std::cerr << "canbus-server: " << error << "\n";
      return false;
    }
    config_name_ = config_file_.substr(slash + 1);  // npos + 1: all of it
  }
  return true;
}

// Reads and checks the configuration; `config`: its usable lines, for the framework.
bool Server::read_config(Config& config) {
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
  config.parse(usable);
  return true;
}

// The location and its node properties, with their values from `config` (the framework's
// configuration: it lives until start() returns).
void Server::create_nodes(Config& config) {
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
}

// Object dictionaries: NAME.EDS: FILE (relative to the configuration's directory), read with
// the node's id for $NODEID. A file that cannot be used stops the start like a bad line (the
// number of them).
size_t Server::load_dictionaries() {
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
  return bad_files;
}

// Process data: the PDO and BOOT lines of the nodes, the lines' SYNC producers.
bool Server::load_process_data() {
  pd_ = std::make_unique<ProcessData>(opts_.value_interval_ms);
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
  return ok || config_errors_allowed(errors, "process-data");
}

// Motor drives: NAME.DRIVE lines, on a node's first property.
bool Server::load_drives() {
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
  return ok || config_errors_allowed(errors, "drive");
}

// Networks: LINE.N.NETWORK lines and the SLAVE lines of their nodes, with their images.
bool Server::load_networks() {
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
  return true;
}

// With bus_mx_. The properties of one line and node attach in the file's order (the first
// becomes the master), the nodes side by side: each opening of a handle pauses 5 ms.
// SIGINT/SIGTERM end a long start-up at once.
// A line is opened by the first property attached to it, with that property's baud rate: the
// groups holding the first property of each line in the file attach first (the check of the
// file made every other property of the line agree, or --ignore-bad-lines let the first win),
// then all the others.
void Server::attach_nodes() {
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

// With bus_mx_, after attach_nodes: a tap on each line a node opened, with the line's baud code,
// and the names its trace shows (the nodes' dictionaries by node id, the process values). Its
// frames are read from now on: the identity reads of the start are in the trace too.
void Server::open_trace() {
  std::vector<std::pair<int, int>> lines;
  std::map<std::pair<int, int>, std::string> named;  // (line, node id) -> property with an EDS
  std::map<std::string, std::pair<int, int>> places;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (const Node& n : nodes_) {
      places.emplace(n.prop->name(), std::make_pair(n.line, n.node));
      if (objects_.dictionary(n.prop->name()))
        named.emplace(std::make_pair(n.line, n.node), n.prop->name());
      const canline* l = n.prop->line_ptr();
      if (l == nullptr || l->handle() <= 0) continue;
      if (std::none_of(lines.begin(), lines.end(),
                       [&](const auto& x) { return x.first == n.line; }))
        lines.emplace_back(n.line, l->baud());
    }
  }
  pd_->place([places](const std::string& node, int& line, int& id) {
    auto it = places.find(node);
    if (it == places.end()) return false;
    line = it->second.first;
    id = it->second.second;
    return true;
  });
  // The dictionaries are read once at the start and never change: the tap's thread looks them
  // up without the server's locks (NodeObjects has a short lock of its own).
  auto names = [this, named](int line) {
    canbus::TraceDecoder::Names nm;
    std::map<int, std::shared_ptr<const canbus::ObjectDictionary>> ods;
    for (const auto& [where, name] : named) {
      if (where.first == line) ods.emplace(where.second, objects_.dictionary(name));
    }
    nm.object = [ods](int node, uint16_t index, uint8_t sub) -> std::string {
      auto it = ods.find(node);
      if (it == ods.end() || !it->second) return "";
      const canbus::ObjectEntry* e = it->second->find(index, sub);
      return e != nullptr ? e->name : "";
    };
    const ProcessData* pd = pd_.get();
    nm.pdo = [pd](int net, const CMSG& f) { return pd->pdo_text(net + 1, f); };
    return nm;
  };
  trace_ = std::make_unique<BusTrace>();
  std::vector<std::string> errors;
  trace_->open(lines, names, errors);
  for (const auto& e : errors) log("trace: no tap on " + e);
  trace_listener_ = stream_trace();
  if (!opts_.manual) trace_->start();
}

// With bus_mx_: all nodes' identities at once, with progress on the log for long start-ups. A
// network's nodes are read once the network started them: one that is missing or late would
// hold the start-up for an SDO time-out.
void Server::read_start_identities() {
  std::vector<D_can*> identity;
  for (auto& n : nodes_) {
    if (n.node > 0 && n.node <= 127 && n.prop->handle() >= 0 && !nets_->is_network_line(n.line))
      identity.push_back(n.prop);
  }
  read_identities(identity, std::cerr, g_stop);
}

// With bus_mx_: the masters left for after their identity go to the monitor, the networks start,
// the drives are set up and the SYNC producers run.
void Server::hand_to_monitor() {
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

}  // namespace canbus_server
