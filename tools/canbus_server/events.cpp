#include "events.h"

#include <cstdio>

#include "tavik_log.h"

namespace canbus_server {

std::string emergency_class_text(uint16_t code) {
  // (code, mask, text), the first match counts.
  struct Class {
    uint16_t code, mask;
    const char* text;
  };
  static constexpr Class kClasses[] = {
      {0x0000, 0xFF00, "Error reset or no error"},
      {0x1000, 0xFF00, "Generic error"},
      {0x2000, 0xF000, "Current"},
      {0x3000, 0xF000, "Voltage"},
      {0x4000, 0xF000, "Temperature"},
      {0x5000, 0xFF00, "Device hardware"},
      {0x6000, 0xF000, "Device software"},
      {0x7000, 0xFF00, "Additional modules"},
      {0x8000, 0xF000, "Monitoring"},
      {0x9000, 0xFF00, "External error"},
      {0xF000, 0xFF00, "Additional functions"},
      {0xFF00, 0xFF00, "Device specific"},
  };
  for (const auto& c : kClasses) {
    if ((code & c.mask) == c.code) return c.text;
  }
  return "Unknown class";
}

std::string Event::text() const {
  char b[64];
  std::string where = "line " + std::to_string(line);
  if (node != 0) where += " node " + std::to_string(node) + " " + name;
  switch (kind) {
    case Kind::kState:
      return "state " + where + " " + state;
    case Kind::kEmergency:
      std::snprintf(b, sizeof b, " code 0x%04X register 0x%02X (", code, error_register);
      return "emergency " + where + b + emergency_class_text(code) + ")";
    case Kind::kLineLost:
      return "line-lost " + where;
    case Kind::kLineBack:
      return "line-back " + where;
    case Kind::kNodeLost:
      return "node-lost " + where;
    case Kind::kNodeBack:
      return "node-back " + where;
  }
  return where;
}

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
  const std::string line = e.text();
  tavik::printtostderr("CANBUS", "event " + line);
  std::lock_guard<std::mutex> lk(mx_);
  for (auto& w : clients_) {
    auto c = w.lock();
    if (c && c->watching && c->event_sink) c->event_sink("event " + line);
  }
}

}  // namespace canbus_server
