#include "trace.h"

#include <algorithm>
#include <cstdio>

#include "http_api.h"
#include "server.h"
#include "service.h"
#include "tavik_time.h"

namespace canbus_server {

namespace {

// Unanswered transfers are looked for at most this often on a line's frames.
constexpr int64_t kFlushEveryNs = 100'000'000;

}  // namespace

BusTrace::~BusTrace() {
  close();
}

void BusTrace::open(const std::vector<std::pair<int, int>>& lines, const NamesOf& names,
                    std::vector<std::string>& errors) {
  for (const auto& [number, baud] : lines) {
    auto l = std::make_unique<Line>();
    l->line = number;
    l->decoder = std::make_unique<canbus::TraceDecoder>(names ? names(number)
                                                              : canbus::TraceDecoder::Names{});
    canbus::LineTap::Options o;
    o.net = number - 1;
    o.bitrate = canbus::bitrate_of_baud_code(baud);
    std::string error;
    if (o.bitrate <= 0) {
      errors.push_back("line " + std::to_string(number) + ": no bit rate for baud code " +
                       std::to_string(baud));
      continue;
    }
    if (!l->tap.open(o, &error)) {
      errors.push_back("line " + std::to_string(number) + ": " + error);
      continue;
    }
    Line* raw = l.get();
    l->tap.add_listener([this, raw](const canbus::TraceFrame& f) { on_frame(*raw, f); });
    lines_.push_back(std::move(l));
  }
  std::sort(lines_.begin(), lines_.end(),
            [](const auto& a, const auto& b) { return a->line < b->line; });
}

void BusTrace::start() {
  for (auto& l : lines_) l->tap.start();
}

void BusTrace::tick() {
  const int64_t now = tavik::clock().now_ns();
  for (auto& l : lines_) {
    l->tap.poll();
    flush(*l, now);
  }
}

void BusTrace::close() {
  for (auto& l : lines_) l->tap.close();
}

void BusTrace::on_frame(Line& l, const canbus::TraceFrame& f) {
  std::vector<canbus::TraceDecoder::Line> decoded;
  {
    std::lock_guard<std::mutex> lk(l.mx);
    l.decoder->feed(f, decoded);
    if (f.t_ns - l.last_flush_ns >= kFlushEveryNs) {
      l.last_flush_ns = f.t_ns;
      l.decoder->flush(f.t_ns, decoded);
    }
  }
  keep(l, decoded);
}

void BusTrace::flush(Line& l, int64_t now_ns) {
  std::vector<canbus::TraceDecoder::Line> decoded;
  {
    std::lock_guard<std::mutex> lk(l.mx);
    l.last_flush_ns = now_ns;
    l.decoder->flush(now_ns, decoded);
  }
  keep(l, decoded);
}

void BusTrace::keep(const Line& l, std::vector<canbus::TraceDecoder::Line>& decoded) {
  if (decoded.empty()) return;
  std::vector<Entry> added;
  added.reserve(decoded.size());
  {
    std::lock_guard<std::mutex> lk(ring_mx_);
    for (auto& d : decoded) {
      Entry e;
      e.seq = ++seq_;
      e.t_ns = d.t_ns;
      e.line = l.line;
      e.node = d.node;
      e.service = canbus::service_name(d.service);
      e.text = std::move(d.text);
      ring_.push_back(e);
      while (ring_.size() > kept_) ring_.pop_front();
      added.push_back(std::move(e));
    }
  }
  std::lock_guard<std::mutex> lk(listen_mx_);
  for (const auto& [id, listener] : listeners_) {
    for (const Entry& e : added) listener(e);
  }
}

std::vector<BusTrace::Entry> BusTrace::query(uint64_t after_seq, size_t limit, int line, int node,
                                             const std::set<std::string>& services) {
  // What waits for an answer that will not come any more is shown too.
  const int64_t now = tavik::clock().now_ns();
  for (auto& l : lines_) flush(*l, now);
  std::vector<Entry> out;
  std::lock_guard<std::mutex> lk(ring_mx_);
  // The ring holds consecutive seq numbers: the first one wanted is found by its place.
  size_t k = 0;
  if (!ring_.empty() && after_seq >= ring_.front().seq) {
    k = static_cast<size_t>(std::min<uint64_t>(after_seq - ring_.front().seq + 1, ring_.size()));
  }
  for (; k < ring_.size() && out.size() < limit; ++k) {
    const Entry& e = ring_[k];
    if (line > 0 && e.line != line) continue;
    if (node > 0 && e.node != node) continue;
    if (!services.empty() && services.count(e.service) == 0) continue;
    out.push_back(e);
  }
  return out;
}

uint64_t BusTrace::last_seq() const {
  std::lock_guard<std::mutex> lk(ring_mx_);
  return seq_;
}

int BusTrace::add_listener(Listener l) {
  std::lock_guard<std::mutex> lk(listen_mx_);
  const int id = next_listener_++;
  listeners_.emplace(id, std::move(l));
  return id;
}

void BusTrace::remove_listener(int id) {
  std::lock_guard<std::mutex> lk(listen_mx_);
  listeners_.erase(id);
}

std::vector<BusTrace::LineLoad> BusTrace::loads(int line) const {
  std::vector<LineLoad> out;
  for (const auto& l : lines_) {
    if (line > 0 && l->line != line) continue;
    LineLoad x;
    x.line = l->line;
    x.bitrate = l->tap.options().bitrate;
    x.load = l->tap.load();
    x.history = l->tap.load_history();
    x.counts = l->tap.counts();
    out.push_back(std::move(x));
  }
  return out;
}

std::string BusTrace::load_text(int line) const {
  for (const auto& l : lines_) {
    if (l->line != line) continue;
    char b[32];
    std::snprintf(b, sizeof b, "load %.1f%%", l->tap.load().fraction * 100);
    return b;
  }
  return "";
}

bool BusTrace::candump(int line, std::string& out) const {
  for (const auto& l : lines_) {
    if (l->line != line) continue;
    out = canbus::candump_log(l->tap.since(0, l->tap.options().ring_frames));
    return true;
  }
  return false;
}

std::string BusTrace::metrics_text() const {
  if (lines_.empty()) return "";
  std::string load =
      "# HELP canbus_line_load Bus load of the line in its last complete second: the bits of its "
      "frames on the wire over the bits the line can carry (0..1)\n"
      "# TYPE canbus_line_load gauge\n";
  MetricFamily bits{"canbus_line_bits_total",
                    "counter",
                    "Bits of the line's frames on the wire, stuff bits and intermission included",
                    {}};
  for (const auto& l : lines_) {
    const std::string number = std::to_string(l->line);
    char b[32];
    std::snprintf(b, sizeof b, "%.6f", l->tap.load().fraction);
    load += "canbus_line_load{line=\"" + number + "\"} " + b + "\n";
    bits.samples.push_back({{{"line", number}}, static_cast<int64_t>(l->tap.counts().bits)});
  }
  return load + render_metrics({bits});
}

// ---------------------------------------------------------------------------------------------
// The server's views of its trace, for the HTTP API and `json trace` (service.cpp).

namespace {

Service::Json entry_json(const BusTrace::Entry& e) {
  return {{"seq", e.seq},   {"t_ms", e.t_ns / 1000000}, {"line", e.line},
          {"node", e.node}, {"service", e.service},     {"text", e.text}};
}

}  // namespace

Service::Json Server::trace_json(uint64_t after, size_t limit, int line, int node,
                                 const std::vector<std::string>& services) {
  Service::Json lines = Service::Json::array();
  if (!trace_) return {{"last", 0}, {"lines", lines}};
  const std::set<std::string> wanted(services.begin(), services.end());
  for (const auto& e : trace_->query(after, limit, line, node, wanted))
    lines.push_back(entry_json(e));
  return {{"last", trace_->last_seq()}, {"lines", std::move(lines)}};
}

std::string Server::trace_log(int line) {
  std::string out;
  if (trace_) trace_->candump(line, out);
  return out;
}

void Server::line_load_json(int line, int64_t since_ms, Service::Json& out) {
  if (!trace_) return;
  for (const auto& l : trace_->loads(line)) {
    out["bitrate"] = l.bitrate;
    out["load"] = l.load.fraction;
    Service::Json history = Service::Json::array();
    for (const auto& w : l.history) {
      const int64_t t_ms = w.start_ns / 1000000;
      if (t_ms < since_ms) continue;
      history.push_back({{"t", utc_time_text(w.start_ns)},
                         {"t_ms", t_ms},
                         {"load", w.fraction},
                         {"frames", w.frames}});
    }
    out["load_history"] = std::move(history);
  }
}

// The trace's lines to the HTTP streams that asked for them, as {"type":"trace", ...}.
int Server::stream_trace() {
  if (!trace_ || !metrics_) return 0;
  HttpApi* api = metrics_.get();
  return trace_->add_listener([api](const BusTrace::Entry& e) {
    if (!api->wants_trace()) return;
    Service::Json j = entry_json(e);
    j["type"] = "trace";
    api->trace(e.line, Service::text(j));
  });
}

}  // namespace canbus_server
