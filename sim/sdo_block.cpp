// The simulated node's SDO block transfer server. Runs under NodeLogic::mx_, called from
// NodeLogic::sdo_locked; answers are returned in `out`, never sent from here.
#include "sdo_block.h"

#include <algorithm>

#include "canopen_node.h"

namespace sim {
namespace {

constexpr uint32_t kAbortBlockSize = 0x05040002;
constexpr uint32_t kAbortSequence = 0x05040003;
constexpr uint32_t kAbortCrc = 0x05040004;

constexpr uint8_t kCcsBlockDownload = 6;  // client command specifiers
constexpr uint8_t kLastSegment = 0x80;

uint32_t le32(const CMSG& m, int at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | m.data[at + i];
  return v;
}

bool valid_block_size(int n) {
  return n >= 1 && n <= 127;
}

}  // namespace

std::string pattern_value(size_t size) {
  std::string v(size, '\0');
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<char>(i % 251);
  return v;
}

void BlockServer::end() {
  phase_ = Phase::kNone;
  data_.clear();
  data_.shrink_to_fit();
}

void BlockServer::arm() {
  counted_ = 0;
  drop_at_ = drop_segment;
  drop_segment = 0;
  crc_wrong_ = bad_crc;
  bad_crc = false;
}

bool BlockServer::dropped() {
  ++counted_;
  if (drop_at_ == 0 || counted_ != drop_at_) return false;
  drop_at_ = 0;
  return true;
}

uint16_t BlockServer::crc_of_data() const {
  uint16_t crc = 0;
  for (char c : data_) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint8_t>(c) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc_wrong_ ? static_cast<uint16_t>(crc ^ 0x5A5A) : crc;
}

void BlockServer::fail(NodeLogic& n, uint32_t code, std::vector<CMSG>& out) {
  out.push_back(n.abort_frame(n.transfer_key_, code));
  n.end_transfer_locked();
}

void BlockServer::request(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out) {
  if ((frame.data[0] >> 5) == kCcsBlockDownload) {
    download(n, frame, out);
  } else {
    upload(n, frame, out);
  }
}

void BlockServer::upload(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out) {
  const uint8_t cmd = frame.data[0];
  switch (cmd & 0x03) {
    case 0: {  // initiate
      const NodeLogic::Key key{static_cast<uint16_t>(frame.data[1] | (frame.data[2] << 8)),
                               frame.data[3]};
      n.end_transfer_locked();
      n.transfer_key_ = key;
      if (!enabled) return fail(n, kAbortCommandSpecifier, out);
      if (uint32_t refused = n.upload_extra_locked(key)) return fail(n, refused, out);
      auto it = n.od_.find(key);
      if (it == n.od_.end()) return fail(n, kAbortNoObject, out);
      // The dictionary's access type applies to every kind of transfer.
      if (uint32_t refused = n.eds_abort_locked(key, nullptr, true)) return fail(n, refused, out);
      const int blksize = frame.data[4];
      if (!valid_block_size(blksize)) return fail(n, kAbortBlockSize, out);
      const uint8_t pst = frame.data[5];
      if (pst > 0 && it->second.size() <= pst) {
        n.initiate_upload_locked(key, out);  // the protocol switch
        return;
      }
      arm();
      data_ = it->second;
      crc_ = (cmd & 0x04) != 0;
      segments_ = std::max<size_t>(1, (data_.size() + 6) / 7);
      first_ = 0;
      blksize_ = blksize;
      CMSG m = n.sdo_frame(0xC6, key);  // CRC supported, size given
      for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(data_.size() >> (8 * i));
      out.push_back(m);
      phase_ = Phase::kUploadStart;
      return;
    }
    case 3:  // start
      if (phase_ != Phase::kUploadStart) break;
      send_sub_block(n, out);
      return;
    case 2: {  // acknowledgement of a sub-block
      if (phase_ != Phase::kUploadBlock) break;
      const int ackseq = frame.data[1];
      const int blksize = frame.data[2];
      if (ackseq > sent_) return fail(n, kAbortSequence, out);
      if (!valid_block_size(blksize)) return fail(n, kAbortBlockSize, out);
      first_ += static_cast<size_t>(ackseq);
      blksize_ = blksize;
      if (first_ < segments_) {
        send_sub_block(n, out);
        return;
      }
      const auto unused = static_cast<uint8_t>(segments_ * 7 - data_.size());
      const uint16_t crc = crc_ ? crc_of_data() : 0;
      CMSG m = n.sdo_frame(static_cast<uint8_t>(0xC1 | (unused << 2)), {0, 0});
      m.data[1] = static_cast<uint8_t>(crc & 0xFF);
      m.data[2] = static_cast<uint8_t>(crc >> 8);
      out.push_back(m);
      phase_ = Phase::kUploadEnd;
      return;
    }
    case 1:  // the client's end reply
      if (phase_ != Phase::kUploadEnd) break;
      n.end_transfer_locked();
      return;
    default:
      break;
  }
  fail(n, kAbortCommandSpecifier, out);
}

void BlockServer::send_sub_block(NodeLogic& n, std::vector<CMSG>& out) {
  sent_ = 0;
  for (size_t seg = first_; seg < segments_ && sent_ < blksize_; ++seg) {
    ++sent_;
    const bool last = seg + 1 == segments_;
    CMSG m{};
    m.id = 0x580 + n.node_id_;
    m.len = 8;
    m.data[0] = static_cast<uint8_t>(sent_ | (last ? kLastSegment : 0));
    const size_t at = seg * 7;
    const size_t k = std::min<size_t>(7, data_.size() - std::min(at, data_.size()));
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(at), k, m.data + 1);
    if (!dropped()) out.push_back(m);
  }
  phase_ = Phase::kUploadBlock;
}

void BlockServer::download(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out) {
  const uint8_t cmd = frame.data[0];
  if ((cmd & 0x01) == 0) {  // initiate
    const NodeLogic::Key key{static_cast<uint16_t>(frame.data[1] | (frame.data[2] << 8)),
                             frame.data[3]};
    n.end_transfer_locked();
    n.transfer_key_ = key;
    if (!enabled) return fail(n, kAbortCommandSpecifier, out);
    if (n.od_.find(key) == n.od_.end()) return fail(n, kAbortNoObject, out);
    if (uint32_t refused = n.eds_abort_locked(key, nullptr, false)) return fail(n, refused, out);
    size_given_ = (cmd & 0x02) != 0;
    size_ = size_given_ ? le32(frame, 4) : 0;
    // Read-only objects at once; sizes when the client told one.
    const uint32_t refused = n.download_abort_locked(key, size_);
    if (refused == kAbortReadOnly || (refused != 0 && size_given_)) return fail(n, refused, out);
    arm();
    crc_ = (cmd & 0x04) != 0;
    blksize_ = std::clamp(block_size, 1, 127);
    good_ = 0;
    last_ = false;
    CMSG m = n.sdo_frame(0xA4, key);  // CRC supported
    m.data[4] = static_cast<uint8_t>(blksize_);
    out.push_back(m);
    phase_ = Phase::kDownloadBlock;
    return;
  }
  if (phase_ != Phase::kDownloadEnd) return fail(n, kAbortCommandSpecifier, out);
  // End: the last segment carried this many bytes that are no data.
  const size_t unused = (cmd >> 2) & 7u;
  data_.resize(data_.size() - std::min(unused, data_.size()));
  if (size_given_ && data_.size() != size_) return fail(n, kAbortLengthMismatch, out);
  if (crc_ && crc_of_data() != (frame.data[1] | (frame.data[2] << 8))) {
    return fail(n, kAbortCrc, out);
  }
  uint32_t refused = n.download_abort_locked(n.transfer_key_, data_.size());
  if (refused == 0) refused = n.eds_abort_locked(n.transfer_key_, &data_, false);
  if (refused == 0) refused = n.store_locked(n.transfer_key_, data_);
  if (refused != 0) return fail(n, refused, out);
  out.push_back(n.sdo_frame(0xA1, {0, 0}));
  n.end_transfer_locked();
}

void BlockServer::segment(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out) {
  const uint8_t b0 = frame.data[0];
  if (b0 == 0x80) {  // sequence number 0 is no segment: the client's abort
    n.end_transfer_locked();
    return;
  }
  if (dropped()) return;  // as if lost on the bus
  const int seq = b0 & 0x7F;
  if (seq == good_ + 1 && !last_) {
    data_.append(reinterpret_cast<const char*>(frame.data + 1), 7);
    good_ = seq;
    last_ = (b0 & kLastSegment) != 0;
  }
  if (seq < blksize_ && (b0 & kLastSegment) == 0) return;
  CMSG m = n.sdo_frame(0xA2, {0, 0});
  m.data[1] = static_cast<uint8_t>(good_);
  m.data[2] = static_cast<uint8_t>(blksize_ = std::clamp(block_size, 1, 127));
  out.push_back(m);
  good_ = 0;
  if (last_) phase_ = Phase::kDownloadEnd;
}

}  // namespace sim
