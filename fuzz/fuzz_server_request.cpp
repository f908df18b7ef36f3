// canbus-server's request path up to the handlers: request lines cut from a byte stream that
// arrives in chunks of any size, split into words and matched against a request table, and
// the value checks of the words. The lines must come out exactly as the stream holds them,
// whatever the chunks, with over-long lines replaced by one "too long" item. Then the framing:
// the answers of every line, framed and mixed with events as a channel sends them, must cut
// back into exactly one answer per request line, each block whole and every byte printable.
#include <cstdint>
#include <string>
#include <vector>

#include "config_file.h"
#include "fuzz_input.h"
#include "requests.h"

namespace {

using canbus_server::LineReader;

const canbus_server::RequestTable& table() {
  static const canbus_server::RequestTable* t = [] {
    auto* r = new canbus_server::RequestTable;
    auto none = [](canbus_server::Client&, const canbus_server::Args&) { return std::string(); };
    r->add({"get", "get NAME", 1, 1, canbus_server::Access::kRead, canbus_server::Run::kNow, "",
            none});
    r->add({"set", "set NAME VALUE...", 2, 5, canbus_server::Access::kWrite,
            canbus_server::Run::kBus, "", none});
    r->add({"quit", "quit", 0, 0, canbus_server::Access::kRead, canbus_server::Run::kNow, "", none,
            true});
    // Answers made of the client's words: one a line, as a block or as plain text.
    auto lines = [](canbus_server::Client&, const canbus_server::Args& a) {
      std::string out;
      for (size_t i = 0; i < a.size(); ++i) out += (i ? "\n" : "") + a[i];
      return out;
    };
    r->add({"lines", "lines WORD...", 0, 100, canbus_server::Access::kRead,
            canbus_server::Run::kNow, "", lines, false, false, true});
    r->add({"echo", "echo WORD...", 0, 100, canbus_server::Access::kRead, canbus_server::Run::kBus,
            "", lines});
    r->add({"raw", "raw LINE", 0, 1000, canbus_server::Access::kRead, canbus_server::Run::kNow, "",
            [](canbus_server::Client&, const canbus_server::Args& a) { return a[0]; }, false,
            true});
    return r;
  }();
  return *t;
}

// What the reader must give for a whole stream.
std::vector<LineReader::Item> expected(const std::string& s) {
  std::vector<LineReader::Item> out;
  size_t start = 0;
  while (start < s.size()) {
    size_t end = s.find('\n', start);
    std::string line = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > canbus_server::kMaxRequestLine) {
      out.push_back({"", true});
    } else {
      out.push_back({line, false});
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  // The first bytes choose the chunk sizes; the rest is the stream (repeated to reach the limit
  // of a line now and then).
  const size_t chunk = 1 + in.u16() % 6000;
  const size_t repeat = 1 + in.u8() % 8;
  std::string once = in.rest();
  std::string stream;
  for (size_t i = 0; i < repeat; ++i) stream += once;

  const bool writer = (repeat & 1) != 0;
  LineReader r;
  std::vector<LineReader::Item> items;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    const size_t n = std::min(chunk, stream.size() - at);
    r.feed(stream.data() + at, n, items);
    FUZZ_CHECK(r.pending() <= canbus_server::kMaxRequestLine + 1);
  }
  r.finish(items);
  FUZZ_CHECK(r.pending() == 0);

  const auto want = expected(stream);
  FUZZ_CHECK(items.size() == want.size());
  for (size_t i = 0; i < items.size(); ++i) {
    FUZZ_CHECK(items[i].too_long == want[i].too_long);
    FUZZ_CHECK(items[i].line == want[i].line);
  }

  for (const auto& it : items) {
    const auto words = canbus_server::split_words(it.line);
    for (const auto& w : words) {
      FUZZ_CHECK(!w.empty() && w.find_first_of(" \t") == std::string::npos);
      FUZZ_CHECK(canbus_server::quote_word(w).size() <= 43);
    }
    std::string error;
    const auto* entry = table().match(words, error);
    FUZZ_CHECK(entry == nullptr ? (words.empty() == error.empty()) : error.empty());
    if (entry != nullptr) {
      FUZZ_CHECK(words.size() - 1 >= entry->min_args && words.size() - 1 <= entry->max_args);
    }
    FUZZ_CHECK(error.size() < 200);
    // The checks of a node property value.
    if (words.size() >= 4) {
      int v[4];
      bool ints = true;
      for (size_t i = 0; i < 4; ++i) ints = ints && canbus_server::parse_int(words[i], v[i]);
      if (ints && canbus_server::check_node_value(v).empty()) {
        FUZZ_CHECK(v[0] >= 1 && v[0] <= 20 && v[1] >= 1 && v[1] <= 127);
        FUZZ_CHECK(v[2] >= 0 && v[2] <= 2047 && v[3] >= 0 && v[3] <= 2047);
      }
    }
  }
  // The framing: one answer per item, events between them.
  canbus_server::Client client;
  client.writer = writer;
  std::string sent;
  size_t events = 0;
  std::vector<std::pair<size_t, std::vector<std::string>>> blocks;  // item, its lines
  for (size_t i = 0; i < items.size(); ++i) {
    std::string answer;
    bool block = false;
    if (items[i].too_long) {
      answer = "error: request longer than 4096 bytes";
    } else {
      canbus_server::Prepared p = table().prepare(items[i].line, client);
      if (p.entry == nullptr) {
        FUZZ_CHECK(!p.answer.empty());
        answer = p.answer;
      } else {
        answer = p.entry->handler(client, p.args);
        block = p.entry->block;
        if (block) {
          std::vector<std::string> want;
          for (const auto& a : p.args) want.push_back(canbus_server::printable(a));
          blocks.emplace_back(i, want);
        }
      }
    }
    const std::string framed = canbus_server::frame_answer(answer, block);
    for (char c : framed) FUZZ_CHECK(c == '\n' || (c >= 0x20 && c < 0x7F));
    sent += framed + "\n";
    if (i % 3 == 1) {
      sent += "event state line 1 node 5 CAN.PUMP Operational\n";
      ++events;
    }
    size_t n = 0;
    const bool is_block = canbus_server::block_header(framed.substr(0, framed.find('\n')), n);
    FUZZ_CHECK(is_block || framed.find('\n') == std::string::npos);
    FUZZ_CHECK(!block || is_block || framed.rfind("error: ", 0) == 0);
  }
  std::vector<std::vector<std::string>> answers;
  std::vector<std::string> seen_events;
  FUZZ_CHECK(canbus_server::split_answers(sent, answers, &seen_events));
  FUZZ_CHECK(answers.size() == items.size());
  FUZZ_CHECK(seen_events.size() == events);
  for (const auto& [i, want] : blocks) FUZZ_CHECK(answers[i] == want);
  return 0;
}
