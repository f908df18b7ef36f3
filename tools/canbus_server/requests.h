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
// kBus requests run on the bus worker off the request path, each client's in order and the
// clients in turn; the client gets its answer when the work is done, and other clients are
// served meanwhile. A handler returns the answer's text; the one write path (frame_answer)
// gives it its framing: a text of several lines, or any answer of a `block` request, goes out
// as "ok N lines" and its N lines.
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
// A client reading answers gives a larger limit (an answer line has none of its own).
class LineReader {
 public:
  explicit LineReader(size_t max_line = kMaxRequestLine) : max_(max_line) {}
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

  size_t max_;
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
  std::string peer;  // what the per-address limit counts: the address, or "uid N" (Unix socket)
  std::atomic<bool> watching{false};
  std::atomic<bool> gone{false};         // disconnected: its queued bus work is dropped
  std::atomic<bool> busy_logged{false};  // its first bus request refused as too many is logged
  // Delivers one event line to the client (never blocks): standard input's way.
  std::function<void(const std::string&)> event_sink;
  bool forwarded = false;  // a network client: the network side hands it the events

  std::string who() const { return user + "@" + host; }
};

// A large answer produced piece by piece as a network client reads it, a block of `lines`
// lines (the count goes out first). `more` appends the next lines, each ended by '\n', up to
// about `bytes` and returns false once the last one is out. An `answer` that is not empty is
// the whole answer instead (an error, a short answer), framed as usual.
struct AnswerStream {
  std::string answer = "";
  size_t lines = 0;
  std::function<bool(std::string& out, size_t bytes)> more = nullptr;
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
  bool block = false;  // the answer is a block of lines: framed with its count also for 0 or 1
  // kBus only: the same request (name and arguments) while one is queued or running joins it,
  // and every client that asked gets its answer (for reads, such as identity).
  bool joins = false;
  // kNow only: for network clients, the answer as an AnswerStream, made off the event thread;
  // it takes the locks it needs itself.
  std::function<AnswerStream(Client&, const Args&)> stream = nullptr;
  bool unlocked = false;  // kNow: the handler takes the locks it needs itself too
  // A streamed answer that may take long to make (od: counting a large dictionary): made apart
  // from the others (list, status), so that it never delays them.
  bool slow = false;
  // kBus only: the arguments for which the request runs at once instead (as kNow, its handler
  // taking the locks it needs): `drive NAME halt` never waits behind a move.
  std::function<bool(const Args&)> at_once = nullptr;
};

// Splits a request line into words (blanks and tabs separate).
std::vector<std::string> split_words(const std::string& line);

// A request line made ready to run: the registration and its arguments, or (entry nullptr) the
// whole answer at once: a blank line's, an unknown request's, a usage error, a write refused.
struct Prepared {
  const RequestSpec* entry = nullptr;
  Args args;
  std::string answer;
};

// The answer to a blank or whitespace-only request line: nothing is done.
inline constexpr const char* kBlankAnswer = "ok";

class RequestTable {
 public:
  void add(RequestSpec entry);
  // What a request line of client `c` runs (see Prepared).
  Prepared prepare(const std::string& line, const Client& c) const;
  // The registration for `words`, or nullptr with `error` set ("unknown request", a wrong
  // number of arguments). An empty line gives nullptr with `error` empty.
  const RequestSpec* match(const std::vector<std::string>& words, std::string& error) const;
  const RequestSpec* find(const std::string& name) const;
  const std::vector<RequestSpec>& all() const { return specs_; }

 private:
  std::vector<RequestSpec> specs_;
};

// A word of a client as it may be quoted back in an answer or the log: at most 40 bytes,
// printable (every other byte becomes '?').
std::string quote_word(const std::string& w);
// `s` with every byte outside 0x20..0x7E replaced by '?' (tabs too), any length.
std::string printable(const std::string& s);

// The framing of every answer, on every channel. An answer is one line, or a block: a first
// line "ok N lines" and N lines. An error is always one line ("error: ..."). A line starting
// with "event " outside a block is an event, never an answer: a one-line answer that would
// look like an event or a block's first line goes out as a block of one line. Returns the
// answer as sent, without its last line feed; bytes outside 0x20..0x7E become '?'.
std::string frame_answer(const std::string& answer, bool block);
// Whether `line` is the first line of a block; N in `lines`.
bool block_header(const std::string& line, size_t& lines);
// Cuts a stream of framed answers and events (whole lines) into answers, each as its lines
// (the header of a block removed), and events. false when a block is cut short.
bool split_answers(const std::string& stream, std::vector<std::vector<std::string>>& answers,
                   std::vector<std::string>* events = nullptr);

}  // namespace canbus_server
