#include "server.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "demo_config.h"
#include "sdo_requests.h"
#include "vbus.h"

namespace canbus_server {
namespace {

std::atomic<bool> g_stop{false};

const char* const kSubSuffixes[] = {".BAUDRATE", ".ALIVE",  ".CONDITION", ".MANU",
                                    ".HWVER",    ".SWVER",  ".START",     ".STOP",
                                    ".RESET",    ".ACTIVE", ".DEBUG_ID"};

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_sub_property(const std::string& name) {
  for (const char* s : kSubSuffixes) {
    if (ends_with(name, s)) return true;
  }
  return false;
}

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// A whole-token integer: decimal, or hexadecimal with 0x.
bool parse_int(const std::string& s, int& v) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long x = std::strtol(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || x < INT32_MIN || x > INT32_MAX) return false;
  v = static_cast<int>(x);
  return true;
}

// Names of the node properties in a configuration text, in file order: the entries whose value
// holds four integers and whose name is not that of a sub-property.
std::vector<std::string> node_names(const std::string& text) {
  std::vector<std::string> names;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string name = line.substr(0, colon);
    if (name.find_first_of(" \t") != std::string::npos || is_sub_property(name)) continue;
    auto values = split(line.substr(colon + 1));
    int v = 0;
    if (values.size() != 4) continue;
    bool ok = true;
    for (auto& s : values) ok = ok && parse_int(s, v);
    if (ok) names.push_back(name);
  }
  return names;
}

std::string role_of(D_can* p) {
  if (p->isactive()) return p->line_ptr() ? "master" : "detached";
  if (p->rx_buffer() != nullptr) return "follower";
  if (p->handle() >= 0) return "direct";
  return "detached";
}

std::string hex2(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

}  // namespace

Server::Server(Options opts, std::ostream& out) : opts_(std::move(opts)), out_(out) {}

Server::~Server() {
  cycle_stop_ = true;
  if (cycle_thread_.joinable()) cycle_thread_.join();
  // Node properties go before the devices and the location they live in.
  for (auto& n : nodes_) delete n.prop;
  nodes_.clear();
  devices_.clear();
}

void Server::request_stop() {
  g_stop = true;
}

bool Server::start() {
  if (!opts_.backend.empty()) setenv("NTCAN_BACKEND", opts_.backend.c_str(), 1);
  const char* backend = std::getenv("NTCAN_BACKEND");
  simulate_ = backend == nullptr || *backend == '\0' || std::strcmp(backend, "virtual") == 0;

  if (opts_.config_path.empty()) {
    // The bundled example works on a copy, so that running it never changes a repository file;
    // a copy saved by an earlier run is used again.
    std::string dir = opts_.workdir;
    if (dir.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/canbus-server-demo";
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    config_file_ = dir + "/canbus-server.conf";
    if (!std::filesystem::exists(config_file_)) {
      std::ofstream f(config_file_);
      f << kDemoConfig;
      if (!f) {
        out_ << "error: cannot write " << config_file_ << "\n";
        return false;
      }
    }
  } else {
    config_file_ = opts_.config_path;
  }

  std::ifstream f(config_file_);
  if (!f) {
    out_ << "error: cannot read configuration " << config_file_ << "\n";
    return false;
  }
  std::stringstream text;
  text << f.rdbuf();
  Config config;
  config.parse(text.str());

  location_ = std::make_unique<EqFct>("CANBUS");
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  const char* user = std::getenv("USER");
  location_->set_user_and_host(user && *user ? user : "console", host);

  for (const auto& name : node_names(text.str())) {
    if (location_->find(name) != nullptr) continue;
    nodes_.push_back(Node{new D_can(name, location_.get()), 0, 0});
  }
  // What the framework does at start-up: register every property with the configuration and
  // let it take its value.
  for (D_fct* p : location_->properties()) {
    p->conf(&config);
    p->read();
  }
  for (auto& n : nodes_) {
    IIII v = n.prop->value();
    n.line = v.i1_data;
    n.node = v.i2_data;
  }

  if (simulate_) {
    for (const auto& d : kDemoDevices) {
      bool configured = false;
      for (auto& n : nodes_) configured = configured || (n.line == d.line && n.node == d.node);
      if (!configured) continue;
      devices_.push_back(std::make_unique<sim::VbusNode>(d.line - 1, d.node, d.name, d.hw, d.sw));
      emcy_devices_.push_back(d.emcy);
    }
    // Configured nodes without a bundled device get a plain one.
    for (auto& n : nodes_) {
      if (n.line >= 1 && n.line <= vbus::kNets && n.node > 0 && n.node < 128 &&
          find_device(n.line, n.node) == nullptr) {
        devices_.push_back(std::make_unique<sim::VbusNode>(
            n.line - 1, n.node, "Simulated node " + std::to_string(n.node), "HW 1", "SW 1"));
        emcy_devices_.push_back(false);
      }
    }
  }

  std::lock_guard<std::mutex> lk(work_mx_);
  for (auto& n : nodes_) {
    if (g_stop) break;
    attach(n);
  }
  std::vector<D_can*> identity;
  for (auto& n : nodes_) {
    if (n.node > 0 && n.node <= 127 && n.prop->handle() >= 0) identity.push_back(n.prop);
  }
  read_identities(identity, out_, g_stop);
  out_ << "canbus-server: " << nodes_.size() << " node properties from " << config_file_
       << (simulate_ ? " on the virtual bus with simulated nodes" : "") << "\n";
  return true;
}

void Server::attach(Node& n) {
  D_can* p = n.prop;
  if (n.node <= 0 || n.node > 127) {
    // No CANopen node id: attached directly, its identifiers only.
    int r = p->init();
    if (r != 0) out_ << "warning: " << p->name() << " attach returned " << r << "\n";
    return;
  }
  // Guarding replies, SDO replies and emergencies; the further identifiers of the value.
  int r = p->init(0x700 + n.node);
  if (r == 0) r = p->AddIdent(0x580 + n.node);
  if (r == 0) r = p->init_emergency();
  IIII v = p->value();
  if (r == 0 && v.i3_data > 0) r = p->AddIdent(v.i3_data);
  if (r == 0 && v.i4_data > 0) r = p->AddIdent(v.i4_data);
  if (r != 0) {
    out_ << "warning: " << p->name() << " attach returned " << r << " ("
         << can_error_str(static_cast<unsigned long>(static_cast<long>(r))) << ")\n";
  }
  if (p->isactive()) p->start_node();
}

void Server::read_identity(Node& n) {
  if (n.node <= 0 || n.node > 127 || n.prop->handle() < 0) return;
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

sim::VbusNode* Server::find_device(int line, int node) {
  for (auto& d : devices_) {
    if (d->net() == line - 1 && d->logic().node_id() == node) return d.get();
  }
  return nullptr;
}

void Server::cycle() {
  std::lock_guard<std::mutex> lk(work_mx_);
  cycle_locked();
}

void Server::cycle_locked() {
  ++cycles_;
  can_looping();
  static CMSG frames[D_can::kRxFrames];
  for (auto& n : nodes_) {
    D_can* p = n.prop;
    int count = 0;
    if (p->can_array(frames, &count) < 0 && count == 0) continue;
    if (count <= 0 || n.node <= 0 || n.node > 127) continue;
    int state = -1;
    for (int i = 0; i < count; ++i) {
      if (frames[i].id == 0x700 + n.node && frames[i].len == 1) {
        state = frames[i].data[0];
        break;
      }
    }
    if (state >= 0) {
      n.last_reply_cycle = cycles_;
      // check_alive updates the state text only for an operational node; the server shows the
      // other states too.
      if (p->alive_prop()->check_alive(n.node, frames, &count) != 100) {
        p->alive_prop()->set_value(state);
      }
    }
    if (p->isactive() && p->can_emergency(n.node, frames, &count) == 100) ++n.emcy_count;
  }
  if (cycles_ % 10 == 0) {
    // Guarding round: one request per node (the master's), and a node that has not answered
    // three rounds in a row is marked.
    for (auto& n : nodes_) {
      if (n.node <= 0 || n.node > 127 || n.prop->handle() < 0) continue;
      if (n.prop->isactive()) n.prop->rtr();
      int64_t since = n.last_reply_cycle < 0 ? cycles_ : cycles_ - n.last_reply_cycle;
      if (since > 30 && n.prop->condition_prop()->value() != "No guarding reply") {
        n.prop->condition_prop()->set_value("No guarding reply");
      }
    }
  }
  if (simulate_ && cycles_ % 30 == 0) {
    for (size_t i = 0; i < devices_.size(); ++i) {
      if (emcy_devices_[i]) devices_[i]->send_emcy(0x3210, 0x04, {0x01, 0x02, 0x00, 0x00, 0x00});
    }
  }
}

std::string Server::status() {
  std::ostringstream o;
  o << std::left << std::setw(18) << "NODE" << std::setw(5) << "LINE" << std::setw(5) << "ID"
    << std::setw(9) << "ROLE" << std::setw(19) << "CONDITION" << std::setw(7) << "ALIVE"
    << std::setw(6) << "FILL" << std::setw(5) << "EMCY"
    << "IDENTITY\n";
  for (auto& n : nodes_) {
    D_can* p = n.prop;
    o << std::left << std::setw(18) << p->name() << std::setw(5) << n.line << std::setw(5) << n.node
      << std::setw(9) << role_of(p) << std::setw(19) << p->condition_prop()->value() << std::setw(7)
      << hex2(p->alive_prop()->value()) << std::setw(6) << p->can_return() << std::setw(5)
      << n.emcy_count << p->manu_prop()->value() << " / " << p->hwver_prop()->value() << " / "
      << p->swver_prop()->value() << "\n";
  }
  std::vector<canline*> lines;
  for (auto& n : nodes_) {
    canline* l = n.prop->line_ptr();
    bool seen = l == nullptr;
    for (auto* x : lines) seen = seen || x == l;
    if (!seen) lines.push_back(l);
  }
  for (canline* l : lines) {
    o << "line " << l->line() << ": handle " << l->handle() << ", "
      << (l->handle() > 0 ? "open" : "closed") << ", baud code " << l->baud() << "\n";
  }
  std::string s = o.str();
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string Server::cmd_list() {
  std::ostringstream o;
  bool first = true;
  for (D_fct* p : location_->properties()) {
    if (!first) o << "\n";
    first = false;
    o << p->name();
    if (!p->description().empty()) o << "  (" << p->description() << ")";
  }
  return o.str();
}

std::string Server::cmd_get(const std::string& name) {
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + name;
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

std::string Server::cmd_set(const std::string& name, const std::vector<std::string>& values) {
  D_fct* p = location_->find(name);
  if (p == nullptr) return "error: unknown property " + name;
  EqData in, res;
  int type = p->data_type();
  if (type == DATA_IIII) {
    IIII v;
    int* f[4] = {&v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data};
    if (values.size() != 4) return "error: " + name + " takes four integers";
    for (size_t i = 0; i < 4; ++i) {
      if (!parse_int(values[i], *f[i])) return "error: bad value " + values[i];
    }
    in.set(v);
  } else if (type == DATA_INT) {
    int v = 0;
    if (values.size() != 1 || !parse_int(values[0], v))
      return "error: " + name + " takes one integer";
    in.set(v);
  } else if (type == DATA_STRING) {
    std::string s;
    for (size_t i = 0; i < values.size(); ++i) s += (i ? " " : "") + values[i];
    in.set_string(s);
  } else {
    return "error: " + name + " cannot be set";
  }
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  Node* n = find_node(name);
  if (n != nullptr && n->prop->has_changed()) {
    // Moved to another line or node: attach again where it is now.
    IIII v = n->prop->value();
    n->line = v.i1_data;
    n->node = v.i2_data;
    n->last_reply_cycle = -1;
    attach(*n);
    return "ok (moved to line " + std::to_string(n->line) + " node " + std::to_string(n->node) +
           ", attached again)";
  }
  return "ok";
}

std::string Server::cmd_sim(const std::vector<std::string>& a) {
  if (!simulate_) return "error: no simulated devices on this backend";
  if (a.size() == 4 && a[1] == "line") {
    int line = 0;
    if (!parse_int(a[2], line) || line < 1 || line > vbus::kNets) return "error: bad line " + a[2];
    if (a[3] != "down" && a[3] != "up") return "error: sim line N down|up";
    vbus::set_net_down(line - 1, a[3] == "down");
    return "ok";
  }
  if (a.size() >= 3) {
    Node* n = find_node(a[2]);
    if (n == nullptr) return "error: unknown node property " + a[2];
    sim::VbusNode* d = find_device(n->line, n->node);
    if (d == nullptr) return "error: no simulated device for " + a[2];
    if (a[1] == "silent" && a.size() == 4 && (a[3] == "on" || a[3] == "off")) {
      d->logic().set_silent(a[3] == "on");
      return "ok";
    }
    if (a[1] == "emcy" && a.size() == 3) {
      d->send_emcy(0x8110, 0x11, {0x00, 0x00, 0x00, 0x00, 0x00});
      return "ok";
    }
    if (a[1] == "boot" && a.size() == 3) {
      d->boot();
      return "ok";
    }
  }
  return "error: sim silent NODE on|off, sim emcy NODE, sim boot NODE, sim line N down|up";
}

std::string Server::help() const {
  return "list                  all properties\n"
         "get NAME              a property's value\n"
         "set NAME VALUE...     write a property (four integers for a node property)\n"
         "status                nodes and lines\n"
         "identity NAME         read a node's identity strings again\n"
         "sdo read NAME INDEX SUB         read an object of the node\n"
         "sdo write NAME INDEX SUB VALUE  write it (number, or text in double quotes)\n"
         "save                  write the configuration back\n"
         "tick N                run N receive cycles of 100 ms (with --manual)\n"
         "sim silent NODE on|off, sim emcy NODE, sim boot NODE, sim line N down|up\n"
         "help                  this text\n"
         "quit                  save and end";
}

std::string Server::request(const std::string& line) {
  auto a = split(line);
  if (a.empty()) return "";
  const std::string& c = a[0];
  std::lock_guard<std::mutex> lk(work_mx_);
  if (c == "help") return help();
  if (c == "list") return cmd_list();
  if (c == "status") return status();
  if (c == "get" && a.size() == 2) return cmd_get(a[1]);
  if (c == "set" && a.size() >= 3) return cmd_set(a[1], {a.begin() + 2, a.end()});
  if (c == "save")
    return save() ? "ok (saved " + config_file_ + ")" : "error: cannot write " + config_file_;
  if (c == "sim") return cmd_sim(a);
  if (c == "sdo" && a.size() >= 3) {
    Node* n = find_node(a[2]);
    if (n == nullptr) return "error: unknown node property " + a[2];
    return sdo_request(n->prop, line);
  }
  if (c == "identity" && a.size() == 2) {
    Node* n = find_node(a[1]);
    if (n == nullptr) return "error: unknown node property " + a[1];
    read_identity(*n);
    return n->prop->manu_prop()->value() + " / " + n->prop->hwver_prop()->value() + " / " +
           n->prop->swver_prop()->value();
  }
  if (c == "tick" && a.size() == 2) {
    int k = 0;
    if (!parse_int(a[1], k) || k < 0 || k > 100000) return "error: bad count " + a[1];
    for (int i = 0; i < k; ++i) cycle_locked();
    return "ok";
  }
  if (c == "quit") return "bye";
  return "error: unknown request '" + line + "' (help lists the requests)";
}

bool Server::save() {
  // The configuration lines of the node properties, their baud rates and the debug selector.
  std::ostringstream o;
  o << "# canbus-server configuration: one line per property, NAME: value\n";
  for (D_fct* p : location_->properties()) {
    const std::string& name = p->name();
    bool node = find_node(name) != nullptr;
    if (node || ends_with(name, ".BAUDRATE") || ends_with(name, ".DEBUG_ID")) p->write(o);
  }
  std::string tmp = config_file_ + ".new";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << o.str();
    f.flush();
    if (!f) return false;
  }
  return std::rename(tmp.c_str(), config_file_.c_str()) == 0;
}

int Server::run(int fd) {
  using clk = std::chrono::steady_clock;
  auto t0 = clk::now();
  auto next_status = t0;
  if (!opts_.manual) {
    cycle_thread_ = std::thread([this] {
      auto next = clk::now();
      while (!cycle_stop_) {
        next += std::chrono::milliseconds(100);
        cycle();
        auto now = clk::now();
        if (next > now) {
          auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
          TAVIKsleep(static_cast<int>(us / 1000000), static_cast<int>(us % 1000000));
        } else {
          next = now;
        }
      }
    });
  }
  std::string pending;
  bool input_open = true;
  bool quit = false;
  while (!quit && !g_stop) {
    auto now = clk::now();
    if (opts_.duration > 0 && now - t0 >= std::chrono::duration<double>(opts_.duration)) break;
    if (opts_.status_every > 0 && now >= next_status) {
      out_ << status() << std::endl;
      next_status = now + std::chrono::duration_cast<clk::duration>(
                              std::chrono::duration<double>(opts_.status_every));
    }
    if (!input_open) {
      if (opts_.duration <= 0) break;
      TAVIKsleep(0, 50000);
      continue;
    }
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, 1, 50);
    if (r <= 0) continue;
    char buf[4096];
    ssize_t k = read(fd, buf, sizeof buf);
    if (k <= 0) {
      input_open = false;
      continue;
    }
    pending.append(buf, static_cast<size_t>(k));
    size_t pos;
    while ((pos = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, pos);
      pending.erase(0, pos + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string answer = request(line);
      if (!answer.empty()) out_ << answer << std::endl;
      if (split(line) == std::vector<std::string>{"quit"}) {
        quit = true;
        break;
      }
    }
  }
  cycle_stop_ = true;
  if (cycle_thread_.joinable()) cycle_thread_.join();
  std::lock_guard<std::mutex> lk(work_mx_);
  if (opts_.status_every > 0) out_ << status() << std::endl;
  if (!save()) {
    out_ << "error: cannot write " << config_file_ << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace canbus_server
