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
    } else if (!skipping_ && buf_.size() > kMaxRequestLine + 1) {
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
  if (buf_.size() > kMaxRequestLine) {
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
