// The simulated node's configuration store: the configuration date and time 0x1020, "store
// parameters" 0x1010:1, and the concise DCF object 0x1F22:<node id> whose entries are applied
// as downloads of their own. Runs under NodeLogic::mx_ like the rest of the protocol; the
// public calls take it themselves.
#include <iterator>

#include "can_network.h"
#include "canopen_node.h"

namespace sim {
namespace {

constexpr uint16_t kStoreParameters = 0x1010;
constexpr uint16_t kConfigDate = 0x1020;
constexpr uint16_t kConciseDcf = 0x1F22;
constexpr uint16_t kProgramData = 0x1F50;
constexpr uint32_t kSaveSignature = 0x65766173;  // "save", little-endian
constexpr uint32_t kAbortNotStored = 0x08000020;

std::string le(uint32_t v, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

}  // namespace

void NodeLogic::enable_config_store(bool concise) {
  std::lock_guard<std::mutex> lk(mx_);
  store_.on = true;
  store_.concise = concise;
  install_extras_locked();
}

void NodeLogic::install_extras_locked() {
  // An object the dictionary has already keeps its value (a loaded file's, or the running one).
  auto add = [&](uint16_t index, uint8_t sub, const std::string& value, bool writable,
                 size_t size) {
    const Key key{index, sub};
    if (configured_.count(key) == 0) configured_[key] = value;
    if (od_.count(key) == 0) od_[key] = value;
    access_[key] = Access{writable, size};
  };
  if (store_.on) {
    add(kStoreParameters, 0, le(1, 1), false, 1);
    add(kStoreParameters, 1, le(1, 4), true, 4);
    add(kConfigDate, 0, le(2, 1), false, 1);
    add(kConfigDate, 1, le(0, 4), true, 4);
    add(kConfigDate, 2, le(0, 4), true, 4);
    if (store_.concise) add(kConciseDcf, 0, le(0x7F, 1), false, 1);
  }
  if (prog_.on) program_install_locked();
  extras_boot_locked(false);
}

void NodeLogic::extras_boot_locked(bool booting) {
  if (store_.on && store_.concise && node_id_ != kUnconfiguredId) {
    // The concise DCF is taken at the sub-index of the node's id, which LSS may have changed.
    const auto id = static_cast<uint8_t>(node_id_.load());
    for (auto it = od_.lower_bound({kConciseDcf, 1});
         it != od_.end() && it->first.first == kConciseDcf;) {
      it = it->first.second == id ? std::next(it) : od_.erase(it);
    }
    od_.emplace(Key{kConciseDcf, id}, "");
    access_[{kConciseDcf, id}] = Access{true, 0};
  }
  if (!prog_.on || !booting) return;
  // The node starts the program its flash holds, if any.
  prog_.running = prog_.valid;
  prog_.running_id = prog_.valid ? prog_.flash_id : 0;
  if (!prog_.valid && !prog_.cleared) prog_.error = 1;  // no valid program
  program_values_locked();
}

uint32_t NodeLogic::upload_extra_locked(Key key) {
  if (store_.on && store_.concise && key.first == kConciseDcf && key.second != 0 &&
      od_.count(key) != 0) {
    return kAbortWriteOnly;
  }
  if (!prog_.on) return 0;
  if (key == Key{kProgramData, 1}) return kAbortWriteOnly;
  if (key == Key{0x1F57, 1} && od_.count(key) != 0) {  // a removed one stays removed
    const bool busy = prog_.busy_left > 0;
    if (busy) --prog_.busy_left;
    od_[key] = le(canbus::FlashStatus{busy, prog_.error}.to_u32(), 4);
  }
  return 0;
}

uint32_t NodeLogic::store_extra_locked(Key key, const std::string& value, bool& handled) {
  if (prog_.on) {
    const uint32_t a = program_store_locked(key, value, handled);
    if (handled) return a;
  }
  if (!store_.on) return 0;
  if (key == Key{kStoreParameters, 1}) {
    handled = true;
    if (value != le(kSaveSignature, 4)) return kAbortNotStored;
    configured_ = od_;  // the command itself is not written: 0x1010:1 still reads 1
    return 0;
  }
  if (!store_.concise || key.first != kConciseDcf || key.second == 0) return 0;
  handled = true;
  if (store_.applying) return kAbortNotStored;  // a concise DCF inside one
  std::vector<canbus::ConciseEntry> entries;
  std::string why;
  if (!canbus::decode_concise_dcf(std::vector<uint8_t>(value.begin(), value.end()), entries, why)) {
    return kAbortLengthMismatch;
  }
  store_.applying = true;
  uint32_t refused = 0;
  for (const canbus::ConciseEntry& e : entries) {
    refused = download_locked({e.index, e.subindex}, std::string(e.data.begin(), e.data.end()));
    if (refused != 0) break;
  }
  store_.applying = false;
  return refused;
}

}  // namespace sim
