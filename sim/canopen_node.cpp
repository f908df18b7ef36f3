// Protocol behaviour of the simulated CANopen node. Every public operation takes mx_, so frames
// may arrive from several sender threads at once; answers are returned, never sent from here.
#include "canopen_node.h"

#include <algorithm>
#include <stdexcept>

namespace sim {
namespace {

constexpr int32_t kNmtId = 0x000;
constexpr int32_t kEmcyBase = 0x080;
constexpr int32_t kSdoTxBase = 0x580;  // server to client
constexpr int32_t kSdoRxBase = 0x600;  // client to server
constexpr int32_t kErrorControlBase = 0x700;
constexpr int32_t kLssMasterId = 0x7E5;

// Client command specifiers (bits 5..7 of byte 0 of a request).
constexpr uint8_t kCcsDownloadSegment = 0;
constexpr uint8_t kCcsInitiateDownload = 1;
constexpr uint8_t kCcsInitiateUpload = 2;
constexpr uint8_t kCcsUploadSegment = 3;
constexpr uint8_t kCcsAbort = 4;
constexpr uint8_t kCcsBlockUpload = 5;
constexpr uint8_t kCcsBlockDownload = 6;

constexpr uint8_t kToggleBit = 0x10;

std::string le_bytes(uint32_t v, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

void put_le32(CMSG& m, int at, uint32_t v) {
  for (int i = 0; i < 4; ++i) m.data[at + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

uint32_t get_le32(const CMSG& m, int at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | m.data[at + i];
  return v;
}

CMSG one_byte_frame(int32_t id, uint8_t b) {
  CMSG m{};
  m.id = id;
  m.len = 1;
  m.data[0] = b;
  return m;
}

bool is_remote(const CMSG& m) {
  return (m.len & NTCAN_RTR) != 0;
}
int dlc(const CMSG& m) {
  return m.len & 0x0F;
}

}  // namespace

NodeLogic::NodeLogic(int node_id, const std::string& device_name, const std::string& hw_version,
                     const std::string& sw_version)
    : node_id_(node_id), pdo_(node_id) {
  if ((node_id < 1 || node_id > 127) && node_id != kUnconfiguredId) {
    throw std::invalid_argument("CANopen node id must be 1..127 (or 255: unconfigured), got " +
                                std::to_string(node_id));
  }
  lss_.stored_id = lss_.pending_id = node_id;
  configured_[{0x1000, 0}] = le_bytes(kDefaultDeviceType, 4);
  configured_[{0x1001, 0}] = std::string(1, '\0');  // error register
  configured_[{0x1008, 0}] = device_name.empty() ? kDefaultDeviceName : device_name;
  configured_[{0x1009, 0}] = hw_version.empty() ? kDefaultHwVersion : hw_version;
  configured_[{0x100A, 0}] = sw_version.empty() ? kDefaultSwVersion : sw_version;
  configured_[{0x1017, 0}] = le_bytes(0, 2);  // heartbeat producer time, ms
  configured_[{0x1018, 0}] = std::string(1, '\4');
  configured_[{0x1018, 1}] = le_bytes(kDefaultVendorId, 4);
  configured_[{0x1018, 2}] = le_bytes(0x00000001, 4);                      // product code
  configured_[{0x1018, 3}] = le_bytes(0x00010000, 4);                      // revision
  configured_[{0x1018, 4}] = le_bytes(static_cast<uint32_t>(node_id), 4);  // serial number
  configured_[{0x100C, 0}] = le_bytes(0, 2);                               // guard time, ms
  configured_[{0x100D, 0}] = le_bytes(0, 1);                               // life time factor
  configured_[{kManufacturerU32, 0}] = le_bytes(0, 4);
  configured_[{kManufacturerU8, 0}] = le_bytes(0, 1);
  configured_[{kManufacturerText, 0}] = "";
  for (const auto& [key, value] : configured_) {
    const bool writable = key.first == 0x1017 || key.first == 0x100C || key.first == 0x100D ||
                          key.first == kManufacturerU32 || key.first == kManufacturerU8;
    if (key.first != kManufacturerText) access_[key] = Access{writable, value.size()};
  }
  std::vector<std::pair<ObjectKey, size_t>> pdo_sizes;
  pdo_.install(configured_, pdo_sizes);
  for (const auto& [key, n] : pdo_sizes) access_[key] = Access{n != 0, n};
  od_ = configured_;
  pdo_.reset(od_);
}

uint8_t NodeLogic::state() const {
  std::lock_guard<std::mutex> lk(mx_);
  return state_;
}

void NodeLogic::set_object(uint16_t index, uint8_t subindex, const std::string& value) {
  std::lock_guard<std::mutex> lk(mx_);
  configured_[{index, subindex}] = value;
  od_[{index, subindex}] = value;
  if (PdoProducer::is_pdo_object(index)) pdo_.refresh(od_);
}

void NodeLogic::set_access(uint16_t index, uint8_t subindex, bool writable, size_t size) {
  std::lock_guard<std::mutex> lk(mx_);
  access_[{index, subindex}] = Access{writable, size};
}

uint32_t NodeLogic::download_abort_locked(Key key, size_t n) const {
  auto it = access_.find(key);
  if (it == access_.end()) return 0;
  if (!it->second.writable) return kAbortReadOnly;
  if (it->second.size == 0 || n == it->second.size) return 0;
  return n > it->second.size ? kAbortTooLong : kAbortTooShort;
}

void NodeLogic::remove_object(uint16_t index, uint8_t subindex) {
  std::lock_guard<std::mutex> lk(mx_);
  configured_.erase({index, subindex});
  od_.erase({index, subindex});
}

std::optional<std::string> NodeLogic::object(uint16_t index, uint8_t subindex) const {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = od_.find({index, subindex});
  if (it == od_.end()) return std::nullopt;
  return it->second;
}

std::vector<CMSG> NodeLogic::boot() {
  std::lock_guard<std::mutex> lk(mx_);
  return boot_locked();
}

std::vector<CMSG> NodeLogic::boot_locked() {
  end_transfer_locked();
  state_ = kPreOperational;
  guard_toggle_ = 0;
  extras_boot_locked();
  pdo_.reset(od_);
  if (node_id_ == kUnconfiguredId) return {};
  return {one_byte_frame(kErrorControlBase + node_id_, kBootUp)};
}

std::vector<CMSG> NodeLogic::on_frame(const CMSG& frame) {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<CMSG> out;
  if (hung_) return out;  // a program start that never restarted the node
  if (frame.id == kLssMasterId) {
    if (!silent_) lss_locked(frame, out);
    return out;
  }
  if (node_id_ == kUnconfiguredId) return out;  // nothing but LSS until configured
  if (frame.id == kNmtId) {
    if (!is_remote(frame) && dlc(frame) == 2 && (frame.data[1] == 0 || frame.data[1] == node_id_)) {
      ++nmt_commands_;
      if (!silent_) nmt_locked(frame, out);
    }
  } else if (frame.id == kErrorControlBase + node_id_) {
    // Only the remote request is ours; a data frame on this identifier is our own kind of
    // message sent by someone else and is passed over.
    if (is_remote(frame)) {
      ++guarding_requests_;
      if (!silent_ && !heartbeat_) {
        out.push_back(one_byte_frame(kErrorControlBase + node_id_,
                                     static_cast<uint8_t>(state_ | guard_toggle_)));
        guard_toggle_ ^= 0x80;
      }
    }
  } else if (frame.id == kSdoRxBase + node_id_) {
    if (!is_remote(frame) && dlc(frame) == 8) {
      ++sdo_requests_;
      if (!silent_ && state_ != kStopped) sdo_locked(frame, out);
      if (prog_.restart) program_restart_locked(out);
    }
  } else if (pdo_.wants(frame.id)) {
    if (!silent_) pdo_.on_frame(od_, state_ == kOperational, frame, out);
  }
  return out;
}

void NodeLogic::nmt_locked(const CMSG& frame, std::vector<CMSG>& out) {
  switch (frame.data[0]) {
    case kNmtStart:
      if (state_ != kOperational) pdo_.start();
      state_ = kOperational;
      break;
    case kNmtStop:
      end_transfer_locked();
      state_ = kStopped;
      break;
    case kNmtEnterPreOperational:
      state_ = kPreOperational;
      break;
    case kNmtResetNode:
      od_ = configured_;
      pdo_.model_restart(od_);
      apply_pending_id_locked();
      out = boot_locked();
      break;
    case kNmtResetCommunication:
      apply_pending_id_locked();
      out = boot_locked();
      break;
    default:
      break;  // unknown commands are not answered in CANopen
  }
}

CMSG NodeLogic::sdo_frame(uint8_t cmd, Key key) const {
  CMSG m{};
  m.id = kSdoTxBase + node_id_;
  m.len = 8;
  m.data[0] = cmd;
  m.data[1] = static_cast<uint8_t>(key.first & 0xFF);
  m.data[2] = static_cast<uint8_t>(key.first >> 8);
  m.data[3] = key.second;
  return m;
}

CMSG NodeLogic::abort_frame(Key key, uint32_t code) const {
  CMSG m = sdo_frame(0x80, key);
  put_le32(m, 4, code);
  return m;
}

void NodeLogic::end_transfer_locked() {
  transfer_ = Transfer::kNone;
  upload_data_.clear();
  upload_pos_ = 0;
  download_data_.clear();
  download_size_.reset();
  block_.end();
}

void NodeLogic::sdo_locked(const CMSG& frame, std::vector<CMSG>& out) {
  const uint8_t cmd = frame.data[0];
  const uint8_t ccs = static_cast<uint8_t>(cmd >> 5);
  const Key request_key{static_cast<uint16_t>(frame.data[1] | (frame.data[2] << 8)), frame.data[3]};

  // During a block download's sub-block every frame is a segment (or an abort).
  if (block_.receiving()) {
    block_.segment(*this, frame, out);
    return;
  }
  if (ccs == kCcsAbort) {
    // The client gives its transfer up; an abort is never answered.
    end_transfer_locked();
    return;
  }
  // Segment requests carry no multiplexer: they belong to the running (or last) transfer.
  const bool segment = ccs == kCcsUploadSegment || ccs == kCcsDownloadSegment;
  const Key key = segment ? transfer_key_ : request_key;

  if (abort_next_ != 0) {
    out.push_back(abort_frame(key, abort_next_));
    abort_next_ = 0;
    end_transfer_locked();
    return;
  }
  switch (ccs) {
    case kCcsInitiateUpload:
      initiate_upload_locked(request_key, out);
      break;
    case kCcsUploadSegment:
      upload_segment_locked(cmd, out);
      break;
    case kCcsInitiateDownload:
      initiate_download_locked(frame, request_key, out);
      break;
    case kCcsDownloadSegment:
      download_segment_locked(cmd, frame, out);
      break;
    case kCcsBlockUpload:
      if (block_upload_segmented_ && (cmd & 0x03) == 0) {
        initiate_upload_locked(request_key, out);
        break;
      }
      block_.request(*this, frame, out);
      break;
    case kCcsBlockDownload:
      block_.request(*this, frame, out);
      break;
    default:  // undefined specifiers
      out.push_back(abort_frame(key, kAbortCommandSpecifier));
      end_transfer_locked();
      break;
  }
}

void NodeLogic::initiate_upload_locked(Key key, std::vector<CMSG>& out) {
  // A new initiate replaces whatever transfer was running, as a real server does.
  end_transfer_locked();
  transfer_key_ = key;
  uint32_t refused = upload_extra_locked(key);
  auto it = od_.find(key);
  if (refused == 0) refused = eds_abort_locked(key, nullptr, true);
  const bool hidden = !optional_identity_ && (key.first == 0x1009 || key.first == 0x100A);
  if (it == od_.end() || refused != 0 || hidden) {
    out.push_back(abort_frame(key, refused != 0 ? refused : kAbortNoObject));
    return;
  }
  const std::string& v = it->second;
  if (!v.empty() && v.size() <= 4) {
    const auto n = static_cast<uint8_t>(v.size());
    CMSG m = sdo_frame(static_cast<uint8_t>(0x43 | ((4 - n) << 2)), key);
    std::copy(v.begin(), v.end(), m.data + 4);
    out.push_back(m);
    return;
  }
  CMSG m = sdo_frame(0x41, key);
  put_le32(m, 4, static_cast<uint32_t>(v.size()));
  out.push_back(m);
  transfer_ = Transfer::kUpload;
  upload_data_ = v;
  upload_pos_ = 0;
  seg_toggle_ = 0;
  last_resp_toggle_ = 0;
}

bool NodeLogic::segment_request_ok_locked(uint8_t cmd, NodeLogic::Transfer expected,
                                          std::vector<CMSG>& out) {
  uint32_t abort = 0;
  if (transfer_ != expected) {
    abort = kAbortCommandSpecifier;
  } else if ((cmd & kToggleBit) != seg_toggle_) {
    abort = kAbortToggle;
  }
  if (abort == 0) return true;
  out.push_back(abort_frame(transfer_key_, abort));
  end_transfer_locked();
  return false;
}

void NodeLogic::upload_segment_locked(uint8_t cmd, std::vector<CMSG>& out) {
  if (!segment_request_ok_locked(cmd, Transfer::kUpload, out)) return;
  const uint8_t toggle = cmd & kToggleBit;
  const size_t n = std::min<size_t>(7, upload_data_.size() - upload_pos_);
  const bool last = upload_pos_ + n == upload_data_.size();
  // In wrong-toggle mode the first response is right and every later one repeats it.
  const bool first = upload_pos_ == 0;
  const uint8_t resp_toggle = (wrong_toggle_ && !first) ? last_resp_toggle_ : toggle;
  CMSG m{};
  m.id = kSdoTxBase + node_id_;
  m.len = 8;
  m.data[0] = static_cast<uint8_t>(resp_toggle | ((7 - n) << 1) | (last ? 0x01 : 0x00));
  std::copy_n(upload_data_.begin() + static_cast<std::ptrdiff_t>(upload_pos_), n, m.data + 1);
  out.push_back(m);
  upload_pos_ += n;
  last_resp_toggle_ = resp_toggle;
  seg_toggle_ ^= kToggleBit;
  if (last) end_transfer_locked();
}

void NodeLogic::initiate_download_locked(const CMSG& frame, Key key, std::vector<CMSG>& out) {
  end_transfer_locked();
  transfer_key_ = key;
  const uint32_t not_allowed = eds_abort_locked(key, nullptr, false);
  if (od_.find(key) == od_.end() || not_allowed != 0) {
    out.push_back(abort_frame(key, not_allowed != 0 ? not_allowed : kAbortNoObject));
    return;
  }
  const uint8_t cmd = frame.data[0];
  const bool expedited = (cmd & 0x02) != 0;
  const bool size_given = (cmd & 0x01) != 0;
  // Read-only objects at once; sizes as soon as they are known.
  const size_t known = expedited ? (size_given ? 4u - ((cmd >> 2) & 3u) : 4u)
                                 : (size_given ? get_le32(frame, 4) : 0u);
  uint32_t refused = download_abort_locked(key, known);
  if (refused == kAbortTooShort && expedited && !size_given) refused = 0;  // size not told
  if (refused != 0 && (refused == kAbortReadOnly || expedited || size_given)) {
    out.push_back(abort_frame(key, refused));
    return;
  }
  if (expedited) {
    const size_t n = size_given ? 4u - ((cmd >> 2) & 3u) : 4u;
    std::string value(reinterpret_cast<const char*>(frame.data + 4), n);
    uint32_t a = eds_abort_locked(key, &value, false);
    if (a == 0) a = store_locked(key, value);
    if (a != 0) {
      out.push_back(abort_frame(key, a));
      return;
    }
  } else {
    transfer_ = Transfer::kDownload;
    seg_toggle_ = 0;
    if (size_given) download_size_ = get_le32(frame, 4);
  }
  out.push_back(sdo_frame(0x60, key));
}

void NodeLogic::download_segment_locked(uint8_t cmd, const CMSG& frame, std::vector<CMSG>& out) {
  if (!segment_request_ok_locked(cmd, Transfer::kDownload, out)) return;
  const uint8_t toggle = cmd & kToggleBit;
  const size_t n = 7u - ((cmd >> 1) & 7u);
  download_data_.append(reinterpret_cast<const char*>(frame.data + 1), n);
  seg_toggle_ ^= kToggleBit;
  // A download segment response carries no multiplexer: bytes 1..7 are reserved (zero).
  if ((cmd & 0x01) == 0) {
    out.push_back(sdo_frame(static_cast<uint8_t>(0x20 | toggle), {0, 0}));
    return;
  }
  if (download_size_ && *download_size_ != download_data_.size()) {
    out.push_back(abort_frame(transfer_key_, kAbortLengthMismatch));
    end_transfer_locked();
    return;
  }
  uint32_t refused = download_abort_locked(transfer_key_, download_data_.size());
  if (refused == 0) refused = eds_abort_locked(transfer_key_, &download_data_, false);
  if (refused != 0) {
    out.push_back(abort_frame(transfer_key_, refused));
    end_transfer_locked();
    return;
  }
  if (uint32_t a = store_locked(transfer_key_, download_data_)) {
    out.push_back(abort_frame(transfer_key_, a));
    end_transfer_locked();
    return;
  }
  out.push_back(sdo_frame(static_cast<uint8_t>(0x20 | toggle), {0, 0}));
  end_transfer_locked();
}

uint32_t NodeLogic::store_locked(Key key, const std::string& value) {
  bool handled = false;
  const uint32_t extra = store_extra_locked(key, value, handled);
  if (handled) return extra;
  if (uint32_t a = pdo_.check_download(od_, key, value)) return a;
  if (uint32_t a = pdo_.model_check(key, value)) return a;
  od_[key] = value;
  if (PdoProducer::is_pdo_object(key.first)) pdo_.refresh(od_);
  pdo_.model_written(od_, key);
  return 0;
}

uint32_t NodeLogic::download_locked(Key key, const std::string& value) {
  uint32_t a = eds_abort_locked(key, nullptr, false);
  if (a == 0 && od_.find(key) == od_.end()) a = kAbortNoObject;
  if (a == 0) a = download_abort_locked(key, value.size());
  if (a == 0) a = eds_abort_locked(key, &value, false);
  if (a == 0) a = store_locked(key, value);
  return a;
}

CMSG NodeLogic::emcy(uint16_t code, uint8_t reg, const std::vector<uint8_t>& vendor) const {
  CMSG m{};
  m.id = kEmcyBase + node_id_;
  m.len = 8;
  m.data[0] = static_cast<uint8_t>(code & 0xFF);
  m.data[1] = static_cast<uint8_t>(code >> 8);
  m.data[2] = reg;
  std::copy_n(vendor.begin(), std::min<size_t>(5, vendor.size()), m.data + 3);
  return m;
}

CMSG NodeLogic::heartbeat() const {
  std::lock_guard<std::mutex> lk(mx_);
  return one_byte_frame(kErrorControlBase + node_id_, state_);
}

int NodeLogic::heartbeat_period_ms() const {
  std::lock_guard<std::mutex> lk(mx_);
  auto it = od_.find({0x1017, 0});
  if (it == od_.end()) return 0;
  int ms = 0;
  for (size_t i = std::min<size_t>(it->second.size(), 2); i-- > 0;) {
    ms = (ms << 8) | static_cast<uint8_t>(it->second[i]);
  }
  return ms;
}

std::vector<CMSG> NodeLogic::heartbeat_due(int64_t now_ns) {
  const int64_t period = int64_t{heartbeat_period_ms()} * 1'000'000;
  std::lock_guard<std::mutex> lk(mx_);
  if (period == 0) {
    hb_next_ = 0;
    return {};
  }
  if (hb_next_ == 0) {
    hb_next_ = now_ns + period;
    return {};
  }
  if (now_ns < hb_next_) return {};
  hb_next_ = hb_next_ + period > now_ns ? hb_next_ + period : now_ns + period;
  if (hb_skip_ > 0) {
    --hb_skip_;
    return {};
  }
  if (silent_ || hung_ || hb_paused_) return {};
  return {one_byte_frame(kErrorControlBase + node_id_, state_)};
}

int64_t NodeLogic::next_heartbeat_ns() const {
  std::lock_guard<std::mutex> lk(mx_);
  return hb_next_;
}

void NodeLogic::pause_heartbeat(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  hb_paused_ = on;
}

void NodeLogic::skip_heartbeats(int n) {
  std::lock_guard<std::mutex> lk(mx_);
  hb_skip_ = std::max(n, 0);
}

void NodeLogic::set_silent(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  silent_ = on;
}

bool NodeLogic::silent() const {
  std::lock_guard<std::mutex> lk(mx_);
  return silent_ || hung_;
}

void NodeLogic::set_heartbeat_mode(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  heartbeat_ = on;
}

void NodeLogic::set_wrong_toggle(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  wrong_toggle_ = on;
}

void NodeLogic::set_optional_identity(bool present) {
  std::lock_guard<std::mutex> lk(mx_);
  optional_identity_ = present;
}

void NodeLogic::abort_next_upload(uint32_t code) {
  std::lock_guard<std::mutex> lk(mx_);
  abort_next_ = code;
}

void NodeLogic::set_block_transfer(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  block_.enabled = on;
}

void NodeLogic::set_block_upload_segmented(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  block_upload_segmented_ = on;
}

void NodeLogic::set_block_size(int segments) {
  std::lock_guard<std::mutex> lk(mx_);
  block_.block_size = std::clamp(segments, 1, 127);
}

void NodeLogic::drop_block_segment(int n) {
  std::lock_guard<std::mutex> lk(mx_);
  block_.drop_segment = std::max(n, 0);
}

void NodeLogic::corrupt_next_block_crc() {
  std::lock_guard<std::mutex> lk(mx_);
  block_.bad_crc = true;
}

int NodeLogic::guarding_requests() const {
  std::lock_guard<std::mutex> lk(mx_);
  return guarding_requests_;
}

int NodeLogic::sdo_requests() const {
  std::lock_guard<std::mutex> lk(mx_);
  return sdo_requests_;
}

int NodeLogic::nmt_commands() const {
  std::lock_guard<std::mutex> lk(mx_);
  return nmt_commands_;
}

}  // namespace sim
