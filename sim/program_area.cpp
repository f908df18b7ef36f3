// The simulated node's program area: program data 0x1F50:1, program control 0x1F51:1, software
// date 0x1F52, software identification 0x1F56:1 and flash status 0x1F57:1, with the faults a
// master's program download must cope with. Runs under NodeLogic::mx_ like the rest of the
// protocol; the public calls take it themselves.
#include <algorithm>
#include <cstdio>

#include "can_network.h"
#include "canopen_node.h"

namespace sim {
namespace {

constexpr uint16_t kProgramData = 0x1F50;
constexpr uint16_t kProgramControl = 0x1F51;
constexpr uint16_t kSoftwareDate = 0x1F52;
constexpr uint16_t kSoftwareId = 0x1F56;
constexpr uint16_t kFlashStatus = 0x1F57;

constexpr uint8_t kErrorNoProgram = 1;
constexpr uint8_t kErrorCrc = 3;
constexpr uint8_t kErrorNotCleared = 4;

std::string le(uint32_t v, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

}  // namespace

void NodeLogic::enable_program_area(uint32_t software_id, uint32_t date_days, uint32_t date_ms) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.on = true;
  prog_.first_id = prog_.running_id = prog_.flash_id = software_id;
  prog_.valid = prog_.running = true;
  prog_.cleared = false;
  prog_.error = 0;
  prog_.dates[software_id] = {date_days, date_ms};
  auto sw = configured_.find({0x100A, 0});
  prog_.first_sw = sw != configured_.end() ? sw->second : kDefaultSwVersion;
  install_extras_locked();
}

void NodeLogic::set_program_date(uint32_t software_id, uint32_t days, uint32_t ms) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.dates[software_id] = {days, ms};
  if (prog_.on) program_values_locked();
}

void NodeLogic::refuse_program_clear(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.refuse_clear = on;
}

void NodeLogic::set_program_crc_error(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.crc_error = on;
}

void NodeLogic::hang_on_program_start(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.hang_on_start = on;
}

void NodeLogic::set_flash_busy(int polls) {
  std::lock_guard<std::mutex> lk(mx_);
  prog_.busy_polls = std::max(polls, 0);
}

void NodeLogic::program_install_locked() {
  auto add = [&](uint16_t index, uint8_t sub, const std::string& value, bool writable,
                 size_t size) {
    configured_[{index, sub}] = value;
    od_[{index, sub}] = value;
    access_[{index, sub}] = Access{writable, size};
  };
  add(kProgramData, 0, le(1, 1), false, 1);
  add(kProgramData, 1, "", true, 0);
  add(kProgramControl, 0, le(1, 1), false, 1);
  add(kProgramControl, 1, le(1, 1), true, 1);
  add(kSoftwareDate, 0, le(2, 1), false, 1);
  add(kSoftwareDate, 1, le(0, 4), false, 4);
  add(kSoftwareDate, 2, le(0, 4), false, 4);
  add(kSoftwareId, 0, le(1, 1), false, 1);
  add(kSoftwareId, 1, le(0, 4), false, 4);
  add(kFlashStatus, 0, le(1, 1), false, 1);
  add(kFlashStatus, 1, le(0, 4), false, 4);
  program_values_locked();
}

void NodeLogic::program_values_locked() {
  // Only the objects the node has: one removed (a node without it) does not come back.
  auto put = [&](Key key, const std::string& value) {
    auto it = od_.find(key);
    if (it != od_.end()) it->second = value;
  };
  put({kProgramControl, 1}, le(prog_.running ? 1 : 0, 1));
  put({kSoftwareId, 1}, le(prog_.running_id, 4));
  auto d = prog_.dates.find(prog_.running_id);
  const bool dated = prog_.running_id != 0 && d != prog_.dates.end();
  put({kSoftwareDate, 1}, le(dated ? d->second.first : 0, 4));
  put({kSoftwareDate, 2}, le(dated ? d->second.second : 0, 4));
  put({kFlashStatus, 1}, le(canbus::FlashStatus{prog_.busy_left > 0, prog_.error}.to_u32(), 4));
  if (prog_.running_id == prog_.first_id) {
    od_[{0x100A, 0}] = prog_.first_sw;
  } else if (prog_.running_id != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "crc-%08X", prog_.running_id);
    od_[{0x100A, 0}] = text;
  }
}

uint32_t NodeLogic::program_store_locked(Key key, const std::string& value, bool& handled) {
  const bool data = key == Key{kProgramData, 1};
  if (!data && key != Key{kProgramControl, 1}) return 0;
  handled = true;
  if (prog_.busy_left > 0) return kAbortDeviceState;
  if (data) {
    if (!prog_.cleared) {
      prog_.error = kErrorNotCleared;  // passed over: the flash was not cleared
      return 0;
    }
    prog_.cleared = false;
    prog_.busy_left = prog_.busy_polls;
    if (prog_.crc_error) {
      prog_.error = kErrorCrc;
      return 0;
    }
    prog_.valid = true;
    prog_.error = 0;
    prog_.flash_id =
        canbus::program_crc32(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    return 0;
  }
  switch (value.empty() ? 0xFF : static_cast<uint8_t>(value[0])) {
    case 0:  // stop
      prog_.running = false;
      break;
    case 1:  // start
    case 2:  // reset
      if (!prog_.valid) {
        prog_.error = kErrorNoProgram;
        return kAbortDeviceState;
      }
      prog_.restart = true;
      break;
    case 3:  // clear
      if (prog_.refuse_clear || prog_.running) return kAbortDeviceState;
      prog_.valid = false;
      prog_.cleared = true;
      prog_.error = 0;
      prog_.busy_left = prog_.busy_polls;
      break;
    default:
      return kAbortValueRange;
  }
  program_values_locked();
  return 0;
}

void NodeLogic::program_restart_locked(std::vector<CMSG>& out) {
  prog_.restart = false;
  if (prog_.hang_on_start) {
    // The answer went; the node never comes back on its own (power_cycle boots the program).
    hung_ = true;
    end_transfer_locked();
    return;
  }
  // As a reset node: the configured values, then the boot-up of the program.
  od_ = configured_;
  pdo_.model_restart(od_);
  apply_pending_id_locked();
  const std::vector<CMSG> boot = boot_locked();
  out.insert(out.end(), boot.begin(), boot.end());
}

}  // namespace sim
