#include "server.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "demo_config.h"
#include "network.h"
#include "sdo_requests.h"
#include "vbus.h"

namespace canbus_server {
namespace {

std::atomic<bool> g_stop{false};

// Written by the library only: clients read them.
const char* const kReadOnly[] = {".ACTIVE", ".ALIVE", ".CONDITION", ".MANU", ".HWVER", ".SWVER"};
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

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t k = ::write(fd, text.data() + done, text.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += static_cast<size_t>(k);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// BusWorker

void BusWorker::start() {
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lk(mx_);
    for (;;) {
      cv_.wait(lk, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lk.unlock();
      job();
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

void BusWorker::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lk(mx_);
    jobs_.push_back(std::move(job));
  }
  cv_.notify_one();
}

// ---------------------------------------------------------------------------------------------
// Start and end

Server::Server(Options opts, int out_fd) : opts_(std::move(opts)), out_fd_(out_fd) {
  register_requests();
}

Server::~Server() {
  cycle_stop_ = true;
  if (cycle_thread_.joinable()) cycle_thread_.join();
  worker_.stop();
  // Node properties go before the devices and the location they live in.
  for (auto& n : nodes_) delete n.prop;
  nodes_.clear();
  devices_.clear();
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
      std::string error;
      if (!save_file(config_file_, kDemoConfig, error)) {
        std::cerr << "canbus-server: " << error << "\n";
        return false;
      }
    }
  } else {
    config_file_ = opts_.config_path;
  }

  std::ifstream f(config_file_, std::ios::binary);
  std::stringstream text;
  text << f.rdbuf();
  if (!f) {
    std::cerr << "canbus-server: cannot read the configuration " << config_file_ << ": "
              << std::strerror(errno) << "\n";
    return false;
  }
  config_ = ConfigFile::parse(text.str());
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
    nodes_.push_back(Node{new D_can(name, location_.get()), 0, 0});
  }
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
  }

  if (!record_.start(opts_.record, simulate_, std::cerr)) return false;
  if (simulate_ && !record_.replaying()) {
    for (const auto& d : kDemoDevices) {
      bool configured = false;
      for (auto& n : nodes_) configured = configured || (n.line == d.line && n.node == d.node);
      if (!configured) continue;
      devices_.push_back(std::make_unique<sim::VbusNode>(d.line - 1, d.node, d.name, d.hw, d.sw));
      emcy_devices_.push_back(d.emcy);
    }
    // Configured nodes without a bundled device get a plain one.
    for (auto& n : nodes_) {
      if (find_device(n.line, n.node) == nullptr) {
        devices_.push_back(std::make_unique<sim::VbusNode>(
            n.line - 1, n.node, "Simulated node " + std::to_string(n.node), "HW 1", "SW 1"));
        emcy_devices_.push_back(false);
      }
    }
  }

  std::lock_guard<std::mutex> bus(bus_mx_);
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    for (auto& n : nodes_) {
      if (g_stop) break;  // SIGINT/SIGTERM end a long start-up at once
      attach(n);
    }
  }
  // All nodes' identities at once, with progress on the log for long start-ups.
  std::vector<D_can*> identity;
  for (auto& n : nodes_) {
    if (n.node > 0 && n.node <= 127 && n.prop->handle() >= 0) identity.push_back(n.prop);
  }
  read_identities(identity, std::cerr, g_stop);
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
    has_master = has_master || (&m != &n && m.master && m.line == n.line && m.node == n.node);
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
  if (n.master) p->start_node();
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

sim::VbusNode* Server::find_device(int line, int node) {
  for (auto& d : devices_) {
    if (d->net() == line - 1 && d->logic().node_id() == node) return d.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The receive cycle

void Server::cycle() {
  {
    std::lock_guard<std::mutex> bus(bus_mx_);
    std::lock_guard<std::mutex> lk(state_mx_);
    cycle_locked();
  }
  publish_events();
}

// Events go out without the server's locks: a watcher on a blocking channel (standard input
// mode) then holds up nobody's requests.
void Server::publish_events() {
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    events.swap(pending_events_);
  }
  for (const auto& e : events) events_.publish(e);
}

void Server::cycle_locked() {
  ++cycles_;
  can_looping();
  static CMSG frames[D_can::kRxFrames];
  for (auto& n : nodes_) {
    D_can* p = n.prop;
    int count = 0;
    if (p->can_array(frames, &count) < 0 && count == 0) continue;
    if (count <= 0) continue;
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
      if (n.lost && n.master) {
        n.lost = false;
        pending_events_.push_back({Event::Kind::kNodeBack, n.line, n.node, p->name()});
      }
      // Events once per node: from its master.
      if (n.master && (state & 0x7F) != n.last_state) {
        n.last_state = state & 0x7F;
        Event e{Event::Kind::kState, n.line, n.node, p->name()};
        e.state = state_text(state);
        pending_events_.push_back(e);
      }
    }
    if (!n.master) continue;
    // One report per emergency of the master; the followers see the same frames.
    for (int i = 0; i < count; ++i) {
      const CMSG& m = frames[i];
      if (m.id != 0x80 + n.node || (m.len & 0x0F) < 3) continue;
      ++n.emcy_count;
      Event e{Event::Kind::kEmergency, n.line, n.node, p->name()};
      e.code = static_cast<uint16_t>(m.data[0] | (m.data[1] << 8));
      e.error_register = m.data[2];
      pending_events_.push_back(e);
    }
    p->can_emergency(n.node, frames, &count);
  }
  if (cycles_ % 10 == 0) {
    // Guarding round: one request per node (the master's), and a node that has not answered
    // three rounds in a row is marked.
    for (auto& n : nodes_) {
      if (n.prop->handle() < 0) continue;
      if (n.master) n.prop->rtr();
      int64_t since = n.last_reply_cycle < 0 ? cycles_ : cycles_ - n.last_reply_cycle;
      if (since > 30 && n.prop->condition_prop()->value() != "No guarding reply") {
        n.prop->condition_prop()->set_value("No guarding reply");
        if (!n.lost && n.master) {
          n.lost = true;
          n.last_state = -1;
          pending_events_.push_back({Event::Kind::kNodeLost, n.line, n.node, n.prop->name()});
        }
      }
    }
  }
  // Lines lost and back, as the supervision thread sees them.
  for (auto& n : nodes_) {
    canline* l = n.prop->line_ptr();
    if (l == nullptr) continue;
    const bool open = l->handle() > 0;
    auto it = line_open_.find(l->line());
    if (it == line_open_.end()) {
      line_open_[l->line()] = open;
    } else if (it->second != open) {
      it->second = open;
      pending_events_.push_back(
          {open ? Event::Kind::kLineBack : Event::Kind::kLineLost, l->line(), 0, ""});
    }
  }
  if (simulate_ && cycles_ % 30 == 0) {
    for (size_t i = 0; i < devices_.size(); ++i) {
      if (emcy_devices_[i]) devices_[i]->send_emcy(0x3210, 0x04, {0x01, 0x02, 0x00, 0x00, 0x00});
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Requests

void Server::submit(const std::shared_ptr<Client>& c, const std::string& line, Done done) {
  const auto words = split_words(line);
  std::string error;
  const RequestSpec* spec = table_.match(words, error);
  if (spec == nullptr) {
    done(error.empty() ? "" : "error: " + error, false);
    return;
  }
  if (spec->access == Access::kWrite && !c->writer) {
    done("error: read-only client", false);
    return;
  }
  Args args = spec->raw_line ? Args{line} : Args(words.begin() + 1, words.end());
  if (spec->run == Run::kNow) {
    std::string answer;
    {
      std::lock_guard<std::mutex> lk(state_mx_);
      answer = spec->handler(*c, args);
    }
    done(answer, spec->ends_session);
    return;
  }
  worker_.post([this, spec, c, args = std::move(args), done = std::move(done)] {
    std::string answer;
    {
      std::lock_guard<std::mutex> bus(bus_mx_);
      answer = spec->handler(*c, args);
    }
    done(answer, spec->ends_session);
  });
}

void Server::register_requests() {
  auto& t = table_;
  t.add({"help", "help [REQUEST|status]", 0, 1, Access::kRead, Run::kNow,
         "the requests, one request's usage, or the status columns",
         [this](Client&, const Args& a) { return cmd_help(a); }});
  t.add({"list", "list", 0, 0, Access::kRead, Run::kNow, "every property of the location",
         [this](Client&, const Args&) { return cmd_list(); }});
  t.add({"get", "get NAME", 1, 1, Access::kRead, Run::kNow, "a property's value",
         [this](Client&, const Args& a) { return cmd_get(a[0]); }});
  t.add({"set", "set NAME VALUE...", 2, 5, Access::kWrite, Run::kBus,
         "writes a property (four integers for a node property); checked, logged with user@host",
         [this](Client& c, const Args& a) {
           return cmd_set(c, a[0], Args(a.begin() + 1, a.end()));
         }});
  t.add({"status", "status", 0, 0, Access::kRead, Run::kNow, "nodes and lines",
         [this](Client&, const Args&) { return status(); }});
  t.add({"identity", "identity NAME", 1, 1, Access::kRead, Run::kBus,
         "reads a node's identity strings again",
         [this](Client&, const Args& a) { return cmd_identity(a[0]); }});
  t.add({"sdo", "sdo read NAME INDEX SUB | sdo write NAME INDEX SUB VALUE", 4, 1000, Access::kRead,
         Run::kBus, "reads or writes an object of a node (VALUE: number, or text in double quotes)",
         [this](Client& c, const Args& a) {
           // The line as typed: a quoted text keeps its blanks.
           const auto w = split_words(a[0]);
           if ((w[1] != "read" || w.size() != 5) && (w[1] != "write" || w.size() < 6))
             return std::string(
                 "error: usage: sdo read NAME INDEX SUB | sdo write NAME INDEX "
                 "SUB VALUE");
           if (w[1] == "write" && !c.writer) return std::string("error: read-only client");
           Node* n = nullptr;
           {
             std::lock_guard<std::mutex> lk(state_mx_);
             n = find_node(w[2]);
           }
           if (n == nullptr) return "error: unknown node property " + quote_word(w[2]);
           return sdo_request(n->prop, a[0]);
         },
         false, true});
  t.add({"save", "save", 0, 0, Access::kWrite, Run::kNow, "writes the configuration back",
         [this](Client&, const Args&) {
           std::string error;
           return save(error) ? "ok (saved " + config_file_ + ")" : "error: " + error;
         }});
  t.add({"tick", "tick N", 1, 1, Access::kWrite, Run::kBus,
         "runs N receive cycles of 100 ms (with --manual)", [this](Client&, const Args& a) {
           int k = 0;
           if (!parse_int(a[0], k) || k < 0 || k > 100000)
             return "error: bad count " + quote_word(a[0]);
           for (int i = 0; i < k; ++i) {
             std::lock_guard<std::mutex> lk(state_mx_);  // per cycle: status goes in between
             cycle_locked();
           }
           publish_events();
           return std::string("ok");
         }});
  t.add({"sim", "sim silent|hold NODE on|off, sim emcy|boot|abort NODE, sim line N down|up", 2, 3,
         Access::kWrite, Run::kNow, "faults of the simulated devices (virtual bus)",
         [this](Client&, const Args& a) { return cmd_sim(a); }});
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
         "sends events as they happen, each a line starting with 'event '",
         [](Client& c, const Args& a) {
           if (!a.empty() && a[0] != "on" && a[0] != "off")
             return std::string("error: usage: watch [on|off]");
           if (!c.event_sink) return std::string("error: no events on this channel");
           c.watching = a.empty() || a[0] == "on";
           return std::string(c.watching ? "ok (watching)" : "ok (not watching)");
         }});
  t.add({"quit", "quit", 0, 0, Access::kRead, Run::kNow,
         "ends the connection (on standard input: saves and ends the server)",
         [](Client&, const Args&) { return std::string("bye"); }, true});
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

std::string Server::status() {
  std::ostringstream o;
  o << std::left << std::setw(18) << "NODE" << std::setw(5) << "LINE" << std::setw(5) << "ID"
    << std::setw(9) << "ROLE" << std::setw(19) << "CONDITION" << std::setw(7) << "ALIVE"
    << std::setw(6) << "FILL" << std::setw(5) << "EMCY"
    << "IDENTITY\n";
  for (auto& n : nodes_) {
    D_can* p = n.prop;
    o << std::left << std::setw(18) << p->name() << std::setw(5) << n.line << std::setw(5) << n.node
      << std::setw(9) << role_of(n) << std::setw(19) << p->condition_prop()->value() << std::setw(7)
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
  for (const auto& v : values) shown += " " + v;
  log(name + " set to" + shown + " by " + c.who());
  return "ok";
}

// With bus_mx_, without state_mx_; `v` is checked.
std::string Server::cmd_set_node(Client& c, Node& n, const int v[4]) {
  std::unique_lock<std::mutex> lk(state_mx_);
  D_can* p = n.prop;
  const IIII old = p->value();
  IIII now{v[0], v[1], v[2], v[3]};
  EqData in, res;
  in.set(now);
  location_->set_user_and_host(c.user, c.host);
  p->set(nullptr, &in, &res, location_.get());
  if (res.error() != 0) return "error: " + res.get_string();
  char shown[96];
  std::snprintf(shown, sizeof shown, "%d %d %d %d", v[0], v[1], v[2], v[3]);
  log(p->name() + " set to " + shown + " by " + c.who());

  const bool moved = old.i1_data != now.i1_data || old.i2_data != now.i2_data;
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
  // Moved: attach where it is now and read the new node's identity; followers left without
  // their master attach again (the first of them becomes the node's master).
  const int old_line = n.line, old_node = n.node;
  n.line = now.i1_data;
  n.node = now.i2_data;
  n.last_reply_cycle = -1;
  n.last_state = -1;
  n.lost = false;
  p->manu_prop()->set_value("");
  p->hwver_prop()->set_value("");
  p->swver_prop()->set_value("");
  p->alive_prop()->set_value(0);
  p->condition_prop()->set_value("");
  if (simulate_ && !record_.replaying() && find_device(n.line, n.node) == nullptr) {
    devices_.push_back(std::make_unique<sim::VbusNode>(
        n.line - 1, n.node, "Simulated node " + std::to_string(n.node), "HW 1", "SW 1"));
    emcy_devices_.push_back(false);
  }
  attach(n);
  for (auto& m : nodes_) {
    if (&m == &n || m.line != old_line || m.node != old_node || m.master) continue;
    m.prop->can_close();
    attach(m);
    log(m.prop->name() + " attached again after its master moved: " + role_of(m));
  }
  lk.unlock();
  read_identity(n);
  return "ok (moved to line " + std::to_string(n.line) + " node " + std::to_string(n.node) +
         ", attached again)";
}

// With bus_mx_ (a bus job): the uploads run without state_mx_.
std::string Server::cmd_identity(const std::string& name) {
  Node* n = nullptr;
  {
    std::lock_guard<std::mutex> lk(state_mx_);
    n = find_node(name);
    if (n == nullptr) return "error: unknown node property " + quote_word(name);
    if (n->prop->handle() < 0) return "error: " + name + " is not on the bus";
  }
  read_identity(*n);
  return n->prop->manu_prop()->value() + " / " + n->prop->hwver_prop()->value() + " / " +
         n->prop->swver_prop()->value();
}

std::string Server::cmd_sim(const Args& a) {
  if (!simulate_) return "error: no simulated devices on this backend";
  const std::string usage = "error: usage: " + table_.find("sim")->usage;
  if (a.size() == 3 && a[0] == "line") {
    int line = 0;
    if (!parse_int(a[1], line) || line < 1 || line > vbus::kNets)
      return "error: bad line " + quote_word(a[1]);
    if (a[2] != "down" && a[2] != "up") return usage;
    vbus::set_net_down(line - 1, a[2] == "down");
    return "ok";
  }
  Node* n = find_node(a[1]);
  if (n == nullptr) return "error: unknown node property " + quote_word(a[1]);
  sim::VbusNode* d = find_device(n->line, n->node);
  if (d == nullptr) return "error: no simulated device for " + a[1];
  if ((a[0] == "silent" || a[0] == "hold") && a.size() == 3 && (a[2] == "on" || a[2] == "off")) {
    if (a[0] == "silent") {
      d->logic().set_silent(a[2] == "on");
    } else {
      d->hold_answers(a[2] == "on");
      if (a[2] == "off") d->release_answers();
    }
    return "ok";
  }
  if (a[0] == "abort" && a.size() == 2) {
    d->logic().abort_next_upload(0x06020000);  // object does not exist
    return "ok";
  }
  if (a[0] == "emcy" && a.size() == 2) {
    d->send_emcy(0x8110, 0x11, {0x00, 0x00, 0x00, 0x00, 0x00});
    return "ok";
  }
  if (a[0] == "boot" && a.size() == 2) {
    d->boot();
    return "ok";
  }
  return usage;
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
  if (!save_file(config_file_, text, error)) return false;
  // The file now holds what was rendered: later saves work from it.
  config_ = ConfigFile::parse(text);
  return true;
}

int Server::run(int in_fd) {
  using clk = std::chrono::steady_clock;
  auto t0 = clk::now();
  auto next_status = t0;

  std::unique_ptr<Network> net;
  if (!opts_.listen.empty()) {
    net = std::make_unique<Network>(*this, opts_.max_clients);
    std::string error;
    if (!net->set_writers(opts_.writers, error)) {
      std::cerr << "canbus-server: " << error << "\n";
      return 2;
    }
    for (const auto& where : opts_.listen) {
      std::string bound;
      if (!net->listen(where, bound, error)) {
        std::cerr << "canbus-server: " << error << "\n";
        return 2;
      }
      write_out("listening on " + bound + "\n");
    }
  }
  worker_.start();
  if (net) net->start();
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
      if (!answer.empty()) write_out(answer + "\n");
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
    if (opts_.status_every > 0 && now >= next_status) {
      {
        std::lock_guard<std::mutex> lk(state_mx_);
        write_out(status() + "\n");
      }
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
  cycle_stop_ = true;
  if (cycle_thread_.joinable()) cycle_thread_.join();
  worker_.stop();
  std::lock_guard<std::mutex> bus(bus_mx_);
  std::lock_guard<std::mutex> lk(state_mx_);
  if (opts_.status_every > 0) write_out(status() + "\n");
  std::string error;
  if (!save(error)) {
    std::cerr << "canbus-server: " << error << "\n";
    return 1;
  }
  return 0;
}

}  // namespace canbus_server
