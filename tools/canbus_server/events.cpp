#include "events.h"

#include <cctype>
#include <cstdio>

#include "can_emcy.h"
#include "history.h"
#include "tavik_log.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

// The class of an error code as the library's decoder names it ("monitoring, communication:
// ..." gives "Monitoring").
std::string emergency_class(uint16_t code) {
  std::string text = canbus::emcy_code_text(code);
  text = text.substr(0, text.find_first_of(",:"));
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

// The finest text the decoder has for the code: the code's own ("CAN overrun (objects
// lost)"), else its class with the sub-class ("voltage, inside the device"), else the class
// alone, "unknown error code" for a code no class covers.
std::string emergency_text(uint16_t code) {
  const std::string text = canbus::emcy_code_text(code);
  const auto colon = text.find(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

}  // namespace

std::string Event::text() const {
  char b[64];
  std::string where = "line " + std::to_string(line);
  if (node != 0) where += " node " + std::to_string(node) + " " + name;
  switch (kind) {
    case Kind::kState:
      return "state " + where + " " + state;
    case Kind::kEmergency:
      std::snprintf(b, sizeof b, " code 0x%04X (", code);
      where = "emergency " + where + b + emergency_text(code);
      std::snprintf(b, sizeof b, ") register 0x%02X (", error_register);
      return where + b + emergency_class(code) + ")";
    case Kind::kLineLost:
      return "line-lost " + where;
    case Kind::kLineBack:
      return "line-back " + where;
    case Kind::kNodeLost:
      return "node-lost " + where;
    case Kind::kNodeBack:
      return "node-back " + where;
    case Kind::kValue:
      return "value " + where + " " + detail;
    case Kind::kPdoLate:
      return "pdo-late " + where + " " + detail;
    case Kind::kPdoBack:
      return "pdo-back " + where + " " + detail;
    case Kind::kConfigured:
      return "configured " + where;
    case Kind::kConfigFailed:
      return "config-failed " + where + " " + detail;
    case Kind::kRestored:
      return "restored " + where + " " + detail;
    case Kind::kRestoreFailed:
      return "restore-failed " + where + " " + detail;
    case Kind::kCleared:
      return "cleared " + where + " " + detail;
    case Kind::kDrive:
      return "drive " + where + " " + detail;
    case Kind::kBootStatus:
      return "boot-status " + where + " " + detail;
    case Kind::kNetwork:
      return "network " + where + " " + detail;
    case Kind::kDownload:
      return "download " + name + " " + detail;
    case Kind::kAlarm:
      return "alarm " + where + " " + detail;
    case Kind::kAlarmCleared:
      return "alarm-cleared " + where + " " + detail;
    case Kind::kWarn:
      return "warn " + where + " " + detail;
    case Kind::kWarnCleared:
      return "warn-cleared " + where + " " + detail;
  }
  return where;
}

EventHub::EventHub() : log_(std::make_unique<EventLog>()) {}
EventHub::~EventHub() = default;

void EventHub::add(const std::shared_ptr<Client>& c) {
  std::lock_guard<std::mutex> lk(mx_);
  // Forget the clients that have gone while we are here.
  std::vector<std::weak_ptr<Client>> keep;
  for (auto& w : clients_) {
    if (!w.expired()) keep.push_back(w);
  }
  keep.push_back(c);
  clients_ = std::move(keep);
}

void EventHub::publish(const Event& e) {
  const std::string line = "event " + e.text();
  if (e.kind != Event::Kind::kValue) tavik::printtostderr("CANBUS", line);
  const int64_t t_ns = tavik::clock().now_ns();
  std::function<void()> wake;
  std::vector<std::shared_ptr<Client>> direct;
  std::vector<std::shared_ptr<Listening>> listeners;
  uint64_t seq = 0;
  {
    std::lock_guard<std::mutex> lk(mx_);
    // Kept under the hub's lock: the listeners get the number the log gave it.
    log_->add(e, t_ns, line.substr(6));
    seq = log_->last_seq();
    listeners = listeners_;
    for (auto& w : clients_) {
      auto c = w.lock();
      if (c && c->watching && c->event_sink) direct.push_back(std::move(c));
    }
    if (wake_) {
      if (queued_.size() + line.size() + 1 > kMaxForwardBytes) {
        lost_ = true;
      } else {
        if (queued_.empty() && !lost_) wake = wake_;
        queued_ += line;
        queued_ += '\n';
        ++queued_lines_;
      }
    }
  }
  for (const auto& c : direct) c->event_sink(line);
  if (wake) wake();
  if (!listeners.empty()) {
    for (const auto& l : listeners) {
      std::lock_guard<std::mutex> lk(l->running);
      if (l->f) l->f(e, seq, t_ns);
    }
  }
}

size_t EventHub::listen(Listener f) {
  auto l = std::make_shared<Listening>();
  l->f = std::move(f);
  std::lock_guard<std::mutex> lk(mx_);
  l->id = ++next_listener_;
  listeners_.push_back(l);
  return l->id;
}

void EventHub::unlisten(size_t id) {
  std::shared_ptr<Listening> gone;
  {
    std::lock_guard<std::mutex> lk(mx_);
    for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
      if ((*it)->id == id) {
        gone = *it;
        listeners_.erase(it);
        break;
      }
    }
  }
  if (!gone) return;
  // A publisher that took it before it was removed may be calling it: wait, and let it go.
  std::lock_guard<std::mutex> lk(gone->running);
  gone->f = nullptr;
}

void EventHub::forward_to(std::function<void()> wake) {
  std::lock_guard<std::mutex> lk(mx_);
  wake_ = std::move(wake);
}

std::string EventHub::take(size_t& lines, bool& lost) {
  std::lock_guard<std::mutex> lk(mx_);
  std::string out;
  out.swap(queued_);
  lines = queued_lines_;
  lost = lost_;
  queued_lines_ = 0;
  lost_ = false;
  return out;
}

}  // namespace canbus_server
