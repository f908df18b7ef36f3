// The framework's logger and the log capture of tests.
#include <cstdio>
#include <ctime>

#include "tavik_log.h"
#include "tavik_time.h"

namespace tavik {
namespace {

// Guards the chain of active captures and serialises the writes to standard error, so that
// lines of concurrent callers never interleave and a capture is never destroyed while a line
// is being recorded in it.
std::mutex& log_mutex() {
  static std::mutex* const m = new std::mutex();  // never destroyed: detached threads log late
  return *m;
}
LogCapture* g_innermost = nullptr;  // guarded by log_mutex()

std::string time_text(int64_t ns) {
  const time_t secs = static_cast<time_t>(ns / 1'000'000'000);
  tm parts{};
  localtime_r(&secs, &parts);
  char buf[32];
  const size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(buf, n);
}

}  // namespace

void printtostderr(const std::string& label, const std::string& message, unsigned flags) {
  // The time is read before taking the log lock: the clock has a lock of its own.
  std::string line = time_text(clock().now_ns());
  line += ' ';
  line += label;
  line += ' ';
  line += message;
  line += '\n';

  std::lock_guard<std::mutex> lk(log_mutex());
  bool echo = true;
  if (g_innermost != nullptr) {
    g_innermost->record(LogEntry{label, message, flags});
    echo = g_innermost->echo_;
  }
  if (echo) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
}

LogCapture::LogCapture(bool echo) : echo_(echo) {
  std::lock_guard<std::mutex> lk(log_mutex());
  outer_ = g_innermost;
  g_innermost = this;
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lk(log_mutex());
  // Captures normally end in reverse order; unlink from the middle of the chain otherwise.
  if (g_innermost == this) {
    g_innermost = outer_;
    return;
  }
  for (LogCapture* c = g_innermost; c != nullptr; c = c->outer_) {
    if (c->outer_ == this) {
      c->outer_ = outer_;
      return;
    }
  }
}

std::vector<LogEntry> LogCapture::entries() const {
  std::lock_guard<std::mutex> lk(mx_);
  return entries_;
}

std::vector<LogEntry> LogCapture::with_label(const std::string& label) const {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<LogEntry> out;
  for (const LogEntry& e : entries_) {
    if (e.label == label) out.push_back(e);
  }
  return out;
}

size_t LogCapture::count(const std::string& label) const {
  return with_label(label).size();
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lk(mx_);
  entries_.clear();
}

void LogCapture::record(const LogEntry& e) {
  std::lock_guard<std::mutex> lk(mx_);
  entries_.push_back(e);
}

}  // namespace tavik
