// SDO block upload and block download (client side), and the access by value of any size
// (sdo_read/sdo_write) that chooses between them and the expedited/segmented protocol.
//
// Block upload: initiate (0xA4: CRC supported, block size, protocol switch threshold), the
// server's initiate reply (0xC0 | CRC | size given, with the size), start (0xA3), then sub-blocks
// of up to kBlockSize segments numbered 1..n (bit 7 marks the last segment of the value), each
// acknowledged with the last sequence number received in order (0xA2, ackseq, block size): the
// server sends the segments after it again in its next sub-block. Then the server's end (0xC1
// with the count of unused bytes of the last segment and the CRC), answered with 0xA1.
// Block download: the same turned round, the server giving the block size and the acks.
//
// The CRC is CRC-16/CCITT (polynomial 0x1021, initial value 0, no reflection) over the value,
// checked when both sides announce it (this client always does).
#include <algorithm>
#include <cstring>
#include <vector>

#include "D_esdcan.h"
#include "sdo_transfer.h"

namespace {

constexpr uint32_t kAbortToggle = 0x05030000;
constexpr uint32_t kAbortCommand = 0x05040001;
constexpr uint32_t kAbortBlockSize = 0x05040002;
constexpr uint32_t kAbortSequence = 0x05040003;
constexpr uint32_t kAbortCrc = 0x05040004;
constexpr uint32_t kAbortLength = 0x06070010;
constexpr uint32_t kAbortTooLong = 0x06070012;

// Segments per sub-block this client asks for. A server may send a whole sub-block before the
// client reads any of it (a simulated node answering in the sender's thread does): the node's
// handle queues 100 frames, and the rest of the queue is left to the node's other frames.
constexpr uint8_t kBlockSize = 64;
// The largest value: the size fields of the protocol have 32 bits.
constexpr size_t kMaxValue = 0xFFFFFFFFu;
// A size the server announces is reserved up to this much; beyond, the value grows as it comes.
constexpr size_t kReserveAtMost = size_t{1} << 20;
// Sub-blocks in a row that bring nothing in order before the transfer is given up: a server
// that never gets a segment through would otherwise keep the transfer going for ever.
constexpr int kMaxFruitless = 16;

uint16_t crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

bool is_abort_code(int r) {
  return r >= SdoTransfer::kFirstAbort;
}

// Continues an upload after the server's initiate reply `m` of the expedited/segmented protocol
// (also when it switched from a block request).
int normal_upload(SdoTransfer& t, const CMSG& first, std::vector<uint8_t>& value) {
  const uint8_t cmd = first.data[0];
  if ((cmd & 0xE0) != 0x40) return t.abort(kAbortCommand);
  const bool size_given = (cmd & 0x01) != 0;
  if ((cmd & 0x02) != 0) {
    const size_t n = size_given ? 4u - ((cmd >> 2) & 3u) : 4u;
    value.assign(first.data + 4, first.data + 4 + n);
    return 0;
  }
  const size_t announced = SdoAccess::le32(&first.data[4]);
  if (size_given) value.reserve(std::min(announced, kReserveAtMost));
  CMSG m{};
  uint8_t toggle = 0;
  for (;;) {
    int r = t.send(static_cast<uint8_t>(0x60 | toggle), false, nullptr, 0);
    if (r != 0) return r;
    if ((r = t.reply(&m, true)) != 0) return r;
    const uint8_t seg = m.data[0];
    if ((seg & 0xE0) != 0x00) return t.abort(kAbortCommand);
    if ((seg & 0x10) != toggle) return t.abort(kAbortToggle);
    const size_t n = 7u - ((seg >> 1) & 7u);
    if (value.size() + n > kMaxValue) return t.abort(kAbortTooLong);
    value.insert(value.end(), m.data + 1, m.data + 1 + n);
    if ((seg & 0x01) != 0) break;
    toggle ^= 0x10;
  }
  if (size_given && value.size() != announced) return static_cast<int>(kAbortLength);
  return 0;
}

int segmented_upload(SdoTransfer& t, std::vector<uint8_t>& value) {
  int r = t.send(0x40, true, nullptr, 0);
  if (r != 0) return r;
  CMSG m{};
  if ((r = t.reply(&m, false)) != 0) return r;
  return normal_upload(t, m, value);
}

// The sub-blocks and the end of a block upload, after the server's initiate reply `init`.
int block_upload_data(SdoTransfer& t, const CMSG& init, std::vector<uint8_t>& value) {
  const bool crc = (init.data[0] & 0x04) != 0;
  const bool size_given = (init.data[0] & 0x02) != 0;
  const size_t announced = SdoAccess::le32(&init.data[4]);
  if (size_given) value.reserve(std::min(announced, kReserveAtMost));
  int r = t.send(0xA3, false, nullptr, 0);
  if (r != 0) return r;
  CMSG m{};
  int fruitless = 0;
  for (bool last = false; !last;) {
    uint8_t good = 0;  // the last sequence number received in order in this sub-block
    for (;;) {
      if ((r = t.raw(&m)) != 0) return r;
      const uint8_t b0 = m.data[0];
      if (b0 == 0x80) {  // sequence number 0 is no segment: an abort
        if (!t.mine(m)) continue;
        return t.abort_result(SdoAccess::le32(&m.data[4]));
      }
      const uint8_t seq = b0 & 0x7F;
      if (seq == good + 1) {
        value.insert(value.end(), m.data + 1, m.data + 8);
        good = seq;
        last = (b0 & 0x80) != 0;
      }
      // A segment out of order is passed over; the sub-block still ends with its last one.
      if (seq >= kBlockSize || (b0 & 0x80) != 0) break;
    }
    fruitless = good == 0 ? fruitless + 1 : 0;
    if (fruitless >= kMaxFruitless) return t.abort(kAbortSequence);
    if (!last && (value.size() > kMaxValue || (size_given && value.size() > announced))) {
      return t.abort(size_given ? kAbortLength : kAbortTooLong);
    }
    const uint8_t ack[2] = {good, kBlockSize};
    if ((r = t.send(0xA2, false, ack, sizeof ack)) != 0) return r;
  }
  if ((r = t.reply(&m, true)) != 0) return r;
  if ((m.data[0] & 0xE3) != 0xC1) return t.abort(kAbortCommand);
  // The last segment brought 7 bytes, of which this many are no data.
  const size_t unused = (m.data[0] >> 2) & 7u;
  value.resize(value.size() - unused);
  if (crc && crc16(value.data(), value.size()) != (m.data[1] | (m.data[2] << 8))) {
    return t.abort(kAbortCrc);
  }
  if (size_given && value.size() != announced) return t.abort(kAbortLength);
  return t.send(0xA1, false, nullptr, 0);
}

// Outcome of a block initiate that the server did not take up.
enum class Refusal { kNone, kAbort, kPlain };

// The sub-blocks and the end of a block download, after the server's initiate reply `init`.
int block_download_data(SdoTransfer& t, const CMSG& init, const std::vector<uint8_t>& value) {
  const bool crc = (init.data[0] & 0x04) != 0;
  unsigned blksize = init.data[4];
  if (blksize < 1 || blksize > 127) return t.abort(kAbortBlockSize);
  const size_t size = value.size();
  const size_t segments = std::max<size_t>(1, (size + 6) / 7);
  size_t next = 0;  // index of the next segment to send
  CMSG m{};
  int fruitless = 0;
  int r = 0;
  while (next < segments) {
    const size_t first = next;
    unsigned seq = 0;
    while (seq < blksize && next < segments) {
      ++seq;
      const bool last = next + 1 == segments;
      const size_t at = next * 7;
      const size_t n = std::min<size_t>(7, size - std::min(at, size));
      const auto b0 = static_cast<uint8_t>(seq | (last ? 0x80u : 0u));
      if ((r = t.send(b0, false, n > 0 ? value.data() + at : nullptr, n)) != 0) return r;
      ++next;
    }
    if ((r = t.reply(&m, true)) != 0) return r;
    if ((m.data[0] & 0xE3) != 0xA2) return t.abort(kAbortCommand);
    const unsigned ackseq = m.data[1];
    if (ackseq > seq) return t.abort(kAbortSequence);
    fruitless = ackseq == 0 ? fruitless + 1 : 0;
    if (fruitless >= kMaxFruitless) return t.abort(kAbortSequence);
    blksize = m.data[2];
    if (blksize < 1 || blksize > 127) return t.abort(kAbortBlockSize);
    next = first + ackseq;  // the segments after the acknowledged one go again
  }
  const auto unused = static_cast<uint8_t>(segments * 7 - size);
  const uint16_t sum = crc ? crc16(value.data(), size) : 0;
  const uint8_t end[2] = {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
  if ((r = t.send(static_cast<uint8_t>(0xC1 | (unused << 2)), false, end, sizeof end)) != 0) {
    return r;
  }
  if ((r = t.reply(&m, true)) != 0) return r;
  return (m.data[0] & 0xE3) == 0xA1 ? 0 : t.abort(kAbortCommand);
}

}  // namespace

void D_can::sdo_block_threshold(size_t bytes) {
  sdo_block_threshold_.store(static_cast<uint32_t>(std::min<size_t>(bytes, kMaxValue)));
}

size_t D_can::sdo_block_threshold() const {
  return sdo_block_threshold_.load();
}

int D_can::sdo_read(int index, int subindex, std::vector<uint8_t>& value, SdoMode mode) {
  return sdo_counted(canIdent_.i2_data, index, subindex, "upload",
                     [&] { return read_value(index, subindex, value, mode); });
}

int D_can::sdo_write(int index, int subindex, const std::vector<uint8_t>& value, SdoMode mode) {
  return sdo_counted(canIdent_.i2_data, index, subindex, "download",
                     [&] { return write_value(index, subindex, value, mode); });
}

int D_can::read_value(int index, int subindex, std::vector<uint8_t>& value, SdoMode mode) {
  value.clear();
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  int r = 0;
  {
    SdoTransfer t(this, index, subindex);
    if (!t.started()) return NTCAN_OPERATION_ABORTED;  // the property is closing
    const bool block = mode == SdoMode::kBlock || (mode == SdoMode::kAuto && !sdo_no_block_.load());
    if (!block) {
      r = segmented_upload(t, value);
    } else {
      // Values below the threshold may come by the expedited/segmented protocol: the protocol
      // switch threshold is the largest size the server may send so (0: never).
      const size_t threshold = sdo_block_threshold_.load();
      const uint8_t pst = mode == SdoMode::kAuto && threshold > 0
                              ? static_cast<uint8_t>(std::min<size_t>(threshold - 1, 255))
                              : 0;
      const uint8_t init[2] = {kBlockSize, pst};
      CMSG m{};
      Refusal refused = Refusal::kNone;
      if ((r = t.send(0xA4, true, init, sizeof init)) == 0 && (r = t.reply(&m, false)) == 0) {
        const uint8_t cmd = m.data[0];
        if ((cmd & 0xE0) == 0x40 && mode == SdoMode::kBlock) {
          // Block transfer only: a server that answers by the other protocol fails the read
          // (and is told so: its segmented transfer ends).
          r = t.abort(kAbortCommand);
          sdo_no_block_.store(true);
        } else if ((cmd & 0xE0) == 0x40) {
          // The server switched protocol. Allowed for a value up to the protocol switch
          // threshold; beyond it (or with none) the server has no block upload, which is
          // remembered as an abort of the request would be.
          r = normal_upload(t, m, value);
          if (pst == 0 || value.size() > pst) sdo_no_block_.store(true);
        } else if ((cmd & 0xE1) == 0xC0) {
          r = block_upload_data(t, m, value);
          if (mode == SdoMode::kBlock && r == 0) sdo_no_block_.store(false);
        } else {
          r = t.abort(kAbortCommand);
          refused = Refusal::kPlain;
        }
      } else if (is_abort_code(r)) {
        refused = Refusal::kAbort;
      }
      if (refused != Refusal::kNone && mode == SdoMode::kAuto) {
        // A server without block transfer answers 0x05040001: later reads of this property go
        // by the segmented protocol at once.
        if (refused == Refusal::kPlain || r == static_cast<int>(kAbortCommand)) {
          sdo_no_block_.store(true);
        }
        r = segmented_upload(t, value);
      }
    }
  }
  if (r != 0) value.clear();
  return r;
}

int D_can::write_value(int index, int subindex, const std::vector<uint8_t>& value, SdoMode mode) {
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  if (value.size() > kMaxValue) return static_cast<int>(kAbortTooLong);
  const bool block = mode == SdoMode::kBlock || (mode == SdoMode::kAuto && !sdo_no_block_.load() &&
                                                 value.size() >= sdo_block_threshold_.load());
  if (block) {
    int r = 0;
    Refusal refused = Refusal::kNone;
    {
      SdoTransfer t(this, index, subindex);
      if (!t.started()) return NTCAN_OPERATION_ABORTED;  // the property is closing
      const uint32_t size = static_cast<uint32_t>(value.size());
      const uint8_t init[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                               static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
      CMSG m{};
      if ((r = t.send(0xC6, true, init, sizeof init)) == 0 && (r = t.reply(&m, false)) == 0) {
        if ((m.data[0] & 0xE3) == 0xA0) {
          r = block_download_data(t, m, value);
          if (mode == SdoMode::kBlock && r == 0) sdo_no_block_.store(false);
        } else {
          r = t.abort(kAbortCommand);
          refused = Refusal::kPlain;
        }
      } else if (is_abort_code(r)) {
        refused = Refusal::kAbort;
      }
    }
    if (refused == Refusal::kNone || mode == SdoMode::kBlock) return r;
    if (refused == Refusal::kPlain || r == static_cast<int>(kAbortCommand)) {
      sdo_no_block_.store(true);
    }
  }
  return download_object(index, subindex, value.data(), value.size());
}
