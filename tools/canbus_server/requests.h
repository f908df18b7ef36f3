// The request protocol: request lines cut from a byte stream, split into words, and matched
// against the request table, where every request is one registration. Depends on the standard
// library only (tests and the fuzzer use it directly).
//
// Adding a request (in Server::register_requests or anywhere with the table):
//
//   table.add({"sdo", "sdo read|write NAME INDEX SUB [VALUE]", 4, 5, Access::kWrite, Run::kBus,
//              "reads or writes an object of a node",
//              [this](Client& c, const Args& a) { return cmd_sdo(c, a); }});
//
// kBus requests run on the bus worker, in order, off the request path; the client gets its
// answer when the work is done, and other clients are served meanwhile.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace canbus_server {

inline constexpr size_t kMaxRequestLine = 4096;  // bytes, without the line feed

// Cuts request lines out of a byte stream. A line longer than kMaxRequestLine is not kept: the
// reader gives one "too long" line in its place and skips the rest of it up to its line feed.
class LineReader {
 public:
  struct Item {
    std::string line;  // without "\n" and a final "\r"
    bool too_long = false;
  };
  // Adds bytes; complete lines come out in order.
  void feed(const char* data, size_t n, std::vector<Item>& out);
  // End of input: a last line without line feed.
  void finish(std::vector<Item>& out);
  size_t pending() const { return buf_.size(); }

 private:
  // Hands out buf_ as a finished line (without a final "\r"), or as too long.
  void deliver(std::vector<Item>& out);

  std::string buf_;
  bool skipping_ = false;  // inside an over-long line
};

using Args = std::vector<std::string>;  // the words after the request name

// Who sent a request: the peer, the name it gave, whether it may write, and where events go
// while it watches. Shared by the session and the work it has started.
struct Client {
  std::string user = "anonymous";
  std::string host;
  bool writer = false;
  bool user_given = false;
  std::atomic<bool> watching{false};
  // Delivers one event line to the client (never blocks); set by the session.
  std::function<void(const std::string&)> event_sink;
  std::string who() const { return user + "@" + host; }
};

enum class Access { kRead, kWrite };
enum class Run { kNow, kBus };

struct RequestSpec {
  std::string name;
  std::string usage;  // as shown by help and in errors
  size_t min_args = 0;
  size_t max_args = 0;
  Access access = Access::kRead;
  Run run = Run::kNow;
  std::string help;
  std::function<std::string(Client&, const Args&)> handler;
  bool ends_session = false;  // quit
  bool raw_line = false;      // the handler gets the whole request line as its one argument
};

// Splits a request line into words (blanks and tabs separate).
std::vector<std::string> split_words(const std::string& line);

class RequestTable {
 public:
  void add(RequestSpec entry);
  // The registration for `words`, or nullptr with `error` set ("unknown request", a wrong
  // number of arguments). An empty line gives nullptr with `error` empty.
  const RequestSpec* match(const std::vector<std::string>& words, std::string& error) const;
  const RequestSpec* find(const std::string& name) const;
  const std::vector<RequestSpec>& all() const { return specs_; }

 private:
  std::vector<RequestSpec> specs_;
};

// A word of a client as it may be quoted back in an answer: at most 40 bytes, printable.
std::string quote_word(const std::string& w);

}  // namespace canbus_server
