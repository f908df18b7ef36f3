// Reading a fuzzer's input as a stream of small values. Past the end every read gives zero, so a
// target never has to check how much is left before it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }

  uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() {
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    uint32_t v = u16();
    return v | (static_cast<uint32_t>(u16()) << 16);
  }
  uint64_t u64() {
    uint64_t v = u32();
    return v | (static_cast<uint64_t>(u32()) << 32);
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  bool flag() { return (u8() & 1) != 0; }

  // Up to `n` bytes into `out` (the rest zero-filled).
  void bytes(uint8_t* out, size_t n) {
    size_t k = n < left() ? n : left();
    if (k > 0) std::memcpy(out, data_ + pos_, k);
    if (k < n) std::memset(out + k, 0, n - k);
    pos_ += k;
  }
  // The rest of the input as text.
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(data_) + pos_, left());
    pos_ = size_;
    return s;
  }
  // A text of at most `max` bytes, its length taken from the input.
  std::string text(size_t max) {
    size_t n = u8() % (max + 1);
    n = n < left() ? n : left();
    std::string s(reinterpret_cast<const char*>(data_) + pos_, n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz

// Stops a fuzz run with a message when an expectation of the target does not hold; libFuzzer
// reports the abort as a crash and keeps the input.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
