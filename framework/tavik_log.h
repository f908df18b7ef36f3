// The framework's logger: one line to standard error per call, "time label message".
// Tests capture the lines with LogCapture to assert on exact texts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

constexpr unsigned DF_LOG = 0x80000000u;

namespace tavik {

void printtostderr(const std::string& label, const std::string& message, unsigned flags = DF_LOG);

struct LogEntry {
  std::string label;
  std::string message;
  unsigned flags;
};

// While an object lives, every printed line is also recorded in it. Captures may nest; the
// innermost one records. `echo` false keeps the lines off standard error while capturing.
class LogCapture {
 public:
  explicit LogCapture(bool echo = false);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogEntry> entries() const;
  // Entries whose label equals `label`.
  std::vector<LogEntry> with_label(const std::string& label) const;
  size_t count(const std::string& label) const;
  void clear();

 private:
  friend void printtostderr(const std::string&, const std::string&, unsigned);
  void record(const LogEntry& e);
  mutable std::mutex mx_;
  std::vector<LogEntry> entries_;
  LogCapture* outer_;
  bool echo_;
};

}  // namespace tavik
