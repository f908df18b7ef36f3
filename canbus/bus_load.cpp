// Length of a frame on the wire and the bit rates of the driver's baud-rate codes (can_trace.h).
#include <cstdint>
#include <utility>

#include "can_trace.h"

namespace canbus {
namespace {

// The bits of a frame from the start of frame to the end of the CRC, as the bit stuffing sees
// them, with the CRC computed over the bits before it.
class StuffedField {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) bit(static_cast<int>((value >> i) & 1u), true);
  }
  void put_crc() {
    const uint32_t crc = crc_;
    for (int i = 14; i >= 0; --i) bit(static_cast<int>((crc >> i) & 1u), false);
  }
  int bits() const { return bits_; }
  int stuff_bits() const { return stuffed_; }

 private:
  void bit(int b, bool into_crc) {
    if (into_crc) {
      const bool top = ((crc_ >> 14) & 1u) != 0;
      crc_ = (crc_ << 1) & 0x7FFFu;
      if (top != (b != 0)) crc_ ^= 0x4599u;
    }
    ++bits_;
    if (b == last_) {
      ++run_;
    } else {
      last_ = b;
      run_ = 1;
    }
    if (run_ == 5) {  // a stuff bit of the other level; it starts the next run
      ++stuffed_;
      last_ = 1 - b;
      run_ = 1;
    }
  }

  uint32_t crc_ = 0;
  int bits_ = 0;
  int stuffed_ = 0;
  int last_ = -1;
  int run_ = 0;
};

// CRC delimiter, ACK slot and delimiter, end of frame, intermission.
constexpr int kTrailerBits = 1 + 2 + 7 + 3;

}  // namespace

int frame_bits(const CMSG& m) {
  const bool remote = (m.len & NTCAN_RTR) != 0;
  int dlc = m.len & 0x0F;
  if (dlc > 8) dlc = 8;
  const uint32_t id = static_cast<uint32_t>(m.id) & 0x7FFu;
  StuffedField f;
  f.put(0, 1);               // start of frame
  f.put(id, 11);             // identifier
  f.put(remote ? 1 : 0, 1);  // remote request
  f.put(0, 2);               // identifier extension (base format), reserved bit
  f.put(static_cast<uint32_t>(dlc), 4);
  if (!remote) {
    for (int i = 0; i < dlc; ++i) f.put(m.data[i], 8);
  }
  f.put_crc();
  return f.bits() + f.stuff_bits() + kTrailerBits;
}

int64_t bitrate_of_baud_code(int code) {
  // The codes ntcan.h names; the others of 0..14 have no bit rate the driver states.
  static constexpr std::pair<int, int64_t> kRates[] = {
      {NTCAN_BAUD_1000, 1000000}, {NTCAN_BAUD_800, 800000}, {NTCAN_BAUD_500, 500000},
      {NTCAN_BAUD_250, 250000},   {NTCAN_BAUD_125, 125000}, {NTCAN_BAUD_100, 100000},
      {NTCAN_BAUD_50, 50000},     {NTCAN_BAUD_20, 20000},   {NTCAN_BAUD_10, 10000}};
  for (const auto& [c, rate] : kRates) {
    if (c == code) return rate;
  }
  return 0;
}

}  // namespace canbus
