#include "requests.h"

#include <cstring>

namespace canbus_server {

void LineReader::feed(const char* data, size_t n, std::vector<Item>& out) {
  for (size_t i = 0; i < n;) {
    const void* hit = std::memchr(data + i, '\n', n - i);
    const size_t end = hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : n;
    if (!skipping_) buf_.append(data + i, end - i);
    if (hit != nullptr) {
      if (!skipping_) deliver(out);
      buf_.clear();
      skipping_ = false;
    } else if (!skipping_ && buf_.size() > max_ + 1) {
      // One byte over the limit may still be the "\r" of "\r\n".
      out.push_back({"", true});
      buf_.clear();
      skipping_ = true;
    }
    i = end + (hit ? 1 : 0);
  }
}

void LineReader::finish(std::vector<Item>& out) {
  if (!skipping_ && !buf_.empty()) deliver(out);
  buf_.clear();
  skipping_ = false;
}

void LineReader::deliver(std::vector<Item>& out) {
  if (!buf_.empty() && buf_.back() == '\r') buf_.pop_back();
  if (buf_.size() > max_) {
    out.push_back({"", true});
  } else {
    out.push_back({std::move(buf_), false});
  }
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t') ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

void RequestTable::add(RequestSpec entry) {
  for (auto& s : specs_) {
    if (s.name == entry.name) {
      s = std::move(entry);
      return;
    }
  }
  specs_.push_back(std::move(entry));
}

const RequestSpec* RequestTable::find(const std::string& name) const {
  for (const auto& s : specs_) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

const RequestSpec* RequestTable::match(const std::vector<std::string>& words,
                                       std::string& error) const {
  error.clear();
  if (words.empty()) return nullptr;
  const RequestSpec* s = find(words[0]);
  if (s == nullptr) {
    error = "unknown request '" + quote_word(words[0]) + "' (help lists the requests)";
    return nullptr;
  }
  const size_t n = words.size() - 1;
  if (n < s->min_args || n > s->max_args) {
    error = "usage: " + s->usage;
    return nullptr;
  }
  return s;
}

Prepared RequestTable::prepare(const std::string& line, const Client& c) const {
  Prepared p;
  const auto words = split_words(line);
  if (words.empty()) {
    p.answer = kBlankAnswer;
    return p;
  }
  std::string error;
  p.entry = match(words, error);
  if (p.entry == nullptr) {
    p.answer = "error: " + error;
    return p;
  }
  if (p.entry->access == Access::kWrite && !c.writer) {
    p.entry = nullptr;
    p.answer = "error: read-only client";
    return p;
  }
  p.args = p.entry->raw_line ? Args{line} : Args(words.begin() + 1, words.end());
  return p;
}

std::string printable(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) c = '?';
  }
  return out;
}

bool block_header(const std::string& line, size_t& lines) {
  // "ok N lines", N decimal without leading zeros.
  if (line.size() < 10 || line.compare(0, 3, "ok ") != 0 ||
      line.compare(line.size() - 6, 6, " lines") != 0)
    return false;
  const std::string n = line.substr(3, line.size() - 9);
  if (n.empty() || n.size() > 9 || (n.size() > 1 && n[0] == '0')) return false;
  size_t v = 0;
  for (char c : n) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<size_t>(c - '0');
  }
  lines = v;
  return true;
}

std::string frame_answer(const std::string& answer, bool block) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = answer.find('\n', start);
    lines.push_back(printable(answer.substr(start, end == std::string::npos ? end : end - start)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (answer.empty()) lines.clear();
  // An error stays one line, also from a request whose answers are blocks.
  if (!lines.empty() && lines[0].rfind("error: ", 0) == 0) {
    std::string one = lines[0];
    for (size_t i = 1; i < lines.size(); ++i) one += " " + lines[i];
    return one;
  }
  size_t n = 0;
  if (!block && lines.size() == 1 && lines[0].rfind("event ", 0) != 0 && !block_header(lines[0], n))
    return lines[0];
  std::string out = "ok " + std::to_string(lines.size()) + " lines";
  for (const auto& l : lines) out += "\n" + l;
  return out;
}

bool split_answers(const std::string& stream, std::vector<std::vector<std::string>>& answers,
                   std::vector<std::string>* events) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < stream.size()) {
    size_t end = stream.find('\n', start);
    if (end == std::string::npos) end = stream.size();
    lines.push_back(stream.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i < lines.size();) {
    size_t n = 0;
    if (block_header(lines[i], n)) {
      if (lines.size() - i - 1 < n) return false;
      answers.emplace_back(lines.begin() + static_cast<std::ptrdiff_t>(i + 1),
                           lines.begin() + static_cast<std::ptrdiff_t>(i + 1 + n));
      i += 1 + n;
    } else if (lines[i].rfind("event ", 0) == 0) {
      if (events) events->push_back(lines[i]);
      ++i;
    } else {
      answers.push_back({lines[i]});
      ++i;
    }
  }
  return true;
}

std::string quote_word(const std::string& w) {
  std::string out;
  for (char c : w) {
    if (out.size() >= 40) {
      out += "...";
      break;
    }
    const auto u = static_cast<unsigned char>(c);
    out += u >= 0x20 && u < 0x7F ? c : '?';
  }
  return out;
}

}  // namespace canbus_server
