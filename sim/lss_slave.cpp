// The simulated node's LSS slave: requests on 0x7E5, replies on 0x7E4. Part of NodeLogic, so
// every function here runs under its mx_ (the _locked ones) or takes it.
#include <algorithm>

#include "canopen_node.h"

namespace sim {
namespace {

constexpr int32_t kLssSlaveId = 0x7E4;

enum : uint8_t {
  kSwitchGlobal = 0x04,
  kConfigureNodeId = 0x11,
  kConfigureBitTiming = 0x13,
  kActivateBitTiming = 0x15,
  kStoreConfiguration = 0x17,
  kSwitchSelectiveVendor = 0x40,
  kSwitchSelectiveSerial = 0x43,
  kSwitchSelectiveReply = 0x44,
  kIdentifyRemoteVendor = 0x46,
  kIdentifyRemoteSerialHigh = 0x4B,
  kIdentifyNonConfigured = 0x4C,
  kIdentifyReply = 0x4F,
  kIdentifyNonConfiguredReply = 0x50,
  kFastscan = 0x51,
  kInquireVendor = 0x5A,
  kInquireSerial = 0x5D,
  kInquireNodeId = 0x5E,
};

constexpr int kBitTableSize = 9;  // the standard table's indices 0..8; 9 (automatic) is not kept

uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

CMSG reply(uint8_t cs, uint8_t b1 = 0, uint8_t b2 = 0) {
  CMSG m{};
  m.id = kLssSlaveId;
  m.len = 8;
  m.data[0] = cs;
  m.data[1] = b1;
  m.data[2] = b2;
  return m;
}

CMSG reply32(uint8_t cs, uint32_t v) {
  CMSG m = reply(cs);
  for (int i = 0; i < 4; ++i) m.data[1 + i] = static_cast<uint8_t>(v >> (8 * i));
  return m;
}

}  // namespace

uint32_t NodeLogic::identity_locked(int part) const {
  auto it = od_.find({0x1018, static_cast<uint8_t>(part + 1)});
  if (it == od_.end()) return 0;
  uint32_t v = 0;
  for (size_t i = std::min<size_t>(it->second.size(), 4); i-- > 0;) {
    v = (v << 8) | static_cast<uint8_t>(it->second[i]);
  }
  return v;
}

void NodeLogic::apply_pending_id_locked() {
  take_node_id_locked(lss_.pending_id);
}

void NodeLogic::take_node_id_locked(int id) {
  PdoProducer::follow_node_id(configured_, node_id_, id);
  PdoProducer::follow_node_id(od_, node_id_, id);
  node_id_ = id;
  pdo_.set_node_id(id);
}

void NodeLogic::lss_locked(const CMSG& frame, std::vector<CMSG>& out) {
  if ((frame.len & NTCAN_RTR) || (frame.len & 0x0F) != 8) return;
  ++lss_.requests;
  const uint8_t cs = frame.data[0];
  const uint32_t word = get32(frame.data + 1);
  const bool unconfigured = node_id_ == kUnconfiguredId;
  // A confirmed configuration service: the injected error, silence, or `code`.
  auto confirm = [&](uint8_t code) {
    auto it = lss_.faults.find(cs);
    if (it != lss_.faults.end() && it->second.silent) return false;
    if (it != lss_.faults.end() && it->second.code != 0) {
      out.push_back(reply(cs, it->second.code, it->second.specific));
      return false;
    }
    out.push_back(reply(cs, code));
    return code == 0;
  };

  const unsigned left_out = lss_.left_out;
  auto missing = [&](unsigned service) { return (left_out & service) != 0; };
  if ((cs >= kIdentifyRemoteVendor && cs <= kIdentifyRemoteSerialHigh &&
       missing(kLssIdentifyRemote)) ||
      (cs == kIdentifyNonConfigured && missing(kLssIdentifyNonConfigured)) ||
      (cs == kFastscan && missing(kLssFastscan)) ||
      (cs >= kInquireVendor && cs <= kInquireSerial && missing(kLssInquireIdentity))) {
    return;
  }
  if (lss_.configuration && ((cs == kConfigureBitTiming && missing(kLssBitTiming)) ||
                             (cs == kStoreConfiguration && missing(kLssStore)))) {
    out.push_back(reply(cs, 1));
    return;
  }
  if (cs == kActivateBitTiming && missing(kLssBitTiming)) return;
  if (cs >= kSwitchSelectiveVendor && cs <= kSwitchSelectiveSerial) {
    const int part = cs - kSwitchSelectiveVendor;
    const bool in_turn = part == 0 || lss_.selective_step == part;
    lss_.selective_step = in_turn && word == identity_locked(part) ? part + 1 : 0;
    if (lss_.selective_step == 4) {
      lss_.selective_step = 0;
      lss_.configuration = true;
      out.push_back(reply(kSwitchSelectiveReply));
    }
    return;
  }
  if (cs >= kIdentifyRemoteVendor && cs <= kIdentifyRemoteSerialHigh) {
    // vendor, product, revision low, revision high, serial low, serial high
    const int part = cs - kIdentifyRemoteVendor;
    if (part == 0) {
      lss_.identify_step = 0;
      lss_.identify_match = true;
    }
    if (lss_.identify_step != part) {
      lss_.identify_step = 0;
      return;
    }
    const uint32_t mine = identity_locked(part < 2 ? part : part < 4 ? 2 : 3);
    const bool ok = part < 2 ? word == mine : (part % 2 == 0 ? mine >= word : mine <= word);
    lss_.identify_match = lss_.identify_match && ok;
    ++lss_.identify_step;
    if (part == 5) {
      if (lss_.identify_match) out.push_back(reply(kIdentifyReply));
      lss_.identify_step = 0;
    }
    return;
  }
  switch (cs) {
    case kSwitchGlobal:
      if (frame.data[1] == 1) {
        lss_.configuration = true;
      } else if (frame.data[1] == 0) {
        // An unconfigured slave given an id starts with it at once; a configured one keeps its
        // id until its next reset.
        const bool start =
            lss_.configuration && unconfigured && lss_.pending_id >= 1 && lss_.pending_id <= 127;
        lss_.configuration = false;
        lss_.fastscan_pos = 0;
        if (start) {
          apply_pending_id_locked();
          std::vector<CMSG> boot = boot_locked();
          out.insert(out.end(), boot.begin(), boot.end());
        }
      }
      return;
    case kIdentifyNonConfigured:
      if (unconfigured && lss_.pending_id == kUnconfiguredId) {
        out.push_back(reply(kIdentifyNonConfiguredReply));
      }
      return;
    case kFastscan: {
      if (lss_.configuration || !unconfigured) return;
      const uint8_t bit = frame.data[5];
      const uint8_t sub = frame.data[6];
      const uint8_t next = frame.data[7];
      if (bit == 0x80) {
        lss_.fastscan_pos = 0;
        out.push_back(reply(kIdentifyReply));
        return;
      }
      if (bit > 31 || sub > 3 || next > 3 || sub != lss_.fastscan_pos) return;
      const uint32_t mask = ~uint32_t{0} << bit;
      if (((word ^ identity_locked(sub)) & mask) != 0) return;
      out.push_back(reply(kIdentifyReply));
      if (bit == 0) {
        if (sub == 3) {
          lss_.configuration = true;
          lss_.fastscan_pos = 0;
        } else {
          lss_.fastscan_pos = next;
        }
      }
      return;
    }
    default:
      break;
  }
  // The rest is for slaves in configuration state only.
  if (!lss_.configuration) return;
  switch (cs) {
    case kConfigureNodeId: {
      const int id = frame.data[1];
      const bool valid = (id >= 1 && id <= 127) || id == kUnconfiguredId;
      if (confirm(valid ? 0 : 1)) lss_.pending_id = id;
      return;
    }
    case kConfigureBitTiming: {
      const bool valid = frame.data[1] == 0 && frame.data[2] < kBitTableSize;
      if (confirm(valid ? 0 : 1)) lss_.bit_index = frame.data[2];
      return;
    }
    case kActivateBitTiming:
      // Switch delay in bytes 1..2: the virtual bus has no bit rate to change, so it is not
      // waited out.
      if (lss_.bit_index >= 0) lss_.active_bit_index = lss_.bit_index;
      return;
    case kStoreConfiguration:
      if (confirm(0)) {
        lss_.stored_id = lss_.pending_id;
        lss_.stored_bit_index = lss_.bit_index;
      }
      return;
    case kInquireNodeId:
      out.push_back(reply(kInquireNodeId, static_cast<uint8_t>(node_id_.load())));
      return;
    default:
      if (cs >= kInquireVendor && cs <= kInquireSerial) {
        out.push_back(reply32(cs, identity_locked(cs - kInquireVendor)));
      }
      return;
  }
}

void NodeLogic::set_identity(uint32_t vendor, uint32_t product, uint32_t revision,
                             uint32_t serial) {
  const uint32_t parts[4] = {vendor, product, revision, serial};
  for (int i = 0; i < 4; ++i) {
    std::string v;
    for (int b = 0; b < 4; ++b) v.push_back(static_cast<char>((parts[i] >> (8 * b)) & 0xFF));
    set_object(0x1018, static_cast<uint8_t>(i + 1), v);
  }
}

bool NodeLogic::lss_configuration_state() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.configuration;
}

int NodeLogic::lss_pending_id() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.pending_id;
}

int NodeLogic::lss_bit_index() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.bit_index;
}

int NodeLogic::lss_active_bit_index() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.active_bit_index;
}

int NodeLogic::lss_stored_id() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.stored_id;
}

int NodeLogic::lss_requests() const {
  std::lock_guard<std::mutex> lk(mx_);
  return lss_.requests;
}

std::vector<CMSG> NodeLogic::power_cycle() {
  std::lock_guard<std::mutex> lk(mx_);
  take_node_id_locked(lss_.stored_id);
  lss_.pending_id = lss_.stored_id;
  lss_.bit_index = lss_.active_bit_index = lss_.stored_bit_index;
  lss_.configuration = false;
  lss_.selective_step = lss_.identify_step = lss_.fastscan_pos = 0;
  hung_ = false;
  od_ = configured_;
  pdo_.model_restart(od_);
  return boot_locked();
}

void NodeLogic::set_lss_error(uint8_t cs, uint8_t code, uint8_t specific, bool silent) {
  std::lock_guard<std::mutex> lk(mx_);
  if (code == 0 && !silent) {
    lss_.faults.erase(cs);
  } else {
    lss_.faults[cs] = Lss::Fault{code, specific, silent};
  }
}

void NodeLogic::set_lss_left_out(unsigned services) {
  std::lock_guard<std::mutex> lk(mx_);
  lss_.left_out = services;
}

long NodeLogic::lss_optional_from_text(const std::string& names) {
  static const std::pair<const char*, unsigned> kNames[] = {
      {"identify", kLssIdentifyRemote}, {"identify-non-configured", kLssIdentifyNonConfigured},
      {"fastscan", kLssFastscan},       {"inquire", kLssInquireIdentity},
      {"bit-timing", kLssBitTiming},    {"store", kLssStore}};
  long bits = 0;
  size_t at = 0;
  while (at <= names.size()) {
    const size_t end = std::min(names.find(',', at), names.size());
    const std::string name = names.substr(at, end - at);
    auto it = std::find_if(std::begin(kNames), std::end(kNames),
                           [&](const auto& n) { return name == n.first; });
    if (it == std::end(kNames)) return -1;
    bits |= it->second;
    at = end + 1;
  }
  return bits;
}

}  // namespace sim
