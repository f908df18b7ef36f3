// Program download to a node: program control 0x1F51 (stop, clear, start), the image into the
// program data 0x1F50 by block transfer, and the flash status 0x1F57 polled while the node is
// busy. Runs in the caller's thread; pauses between polls go through the framework clock.
#include <cstdio>
#include <string>

#include "D_esdcan.h"
#include "can_network.h"
#include "tavik_time.h"

namespace canbus {
namespace {

constexpr uint16_t kProgramData = 0x1F50;
constexpr uint16_t kProgramControl = 0x1F51;
constexpr uint16_t kFlashStatus = 0x1F57;
constexpr uint32_t kAbortNoBlockTransfer = 0x05040001;
constexpr int64_t kPollPauseNs = 10'000'000;  // between two reads of a busy flash status

}  // namespace

uint32_t program_crc32(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string flash_error_text(uint8_t error) {
  switch (error) {
    case 0:
      return "";
    case 1:
      return "no valid program";
    case 2:
      return "data format unknown";
    case 3:
      return "data format or CRC error";
    case 4:
      return "flash not cleared before write";
    case 5:
      return "flash write error";
    case 6:
      return "address error";
    case 7:
      return "flash secured";
    default:
      return (error >= 64 ? "manufacturer-specific error " : "error ") + std::to_string(error);
  }
}

ProgramResult download_program(D_can& node, const std::vector<uint8_t>& image, int number,
                               bool start, int flash_timeout_ms,
                               const std::function<void(size_t, size_t)>& progress) {
  ProgramResult res;
  auto fail = [&](const char* step, int result, const std::string& why) {
    res.ok = false;
    res.result = result;
    res.reason = std::string(step) + ": " + why;
    return res;
  };
  if (number < 1 || number > 254) {
    return fail("program", kProgramFlashError, "number " + std::to_string(number) + " not 1..254");
  }
  const auto sub = static_cast<uint8_t>(number);
  auto control = [&](ProgramControl c) {
    const auto b = static_cast<uint8_t>(c);
    return node.sdo_download(kProgramControl, sub, &b, 1);
  };
  // Waits while the flash is busy; false (res filled) on an error, a failed read or the time-out.
  // A node without 0x1F57 tells nothing: taken as done.
  auto flash_done = [&]() {
    const int64_t deadline = tavik::clock().now_ns() + int64_t{flash_timeout_ms} * 1'000'000;
    for (;;) {
      uint8_t b[4] = {};
      size_t len = 0;
      const int r = node.sdo_upload(kFlashStatus, sub, b, sizeof b, &len);
      if (sdo_no_object(r)) return true;
      if (r != 0) return fail("flash status", r, sdo_result_text(r)), false;
      uint32_t v = 0;
      for (size_t i = 4; i-- > 0;) v = (v << 8) | b[i];
      const FlashStatus st = FlashStatus::from_u32(v);
      if (!st.busy && st.error != 0) {
        return fail("flash status", kProgramFlashError, flash_error_text(st.error)), false;
      }
      if (!st.busy) return true;
      if (tavik::clock().now_ns() >= deadline) {
        fail("flash status", kProgramFlashError,
             "still busy after " + std::to_string(flash_timeout_ms) + " ms");
        return false;
      }
      tavik::clock().sleep_ns(kPollPauseNs);
    }
  };

  if (const int r = control(ProgramControl::kStop); r != 0) {
    return fail("stop", r, sdo_result_text(r));
  }
  if (const int r = control(ProgramControl::kClear); r != 0) {
    return fail("clear", r, sdo_result_text(r));
  }
  if (!flash_done()) return res;
  if (progress) progress(0, image.size());
  int r = node.sdo_write(kProgramData, sub, image, SdoMode::kBlock);
  if (r == static_cast<int>(kAbortNoBlockTransfer)) {
    r = node.sdo_write(kProgramData, sub, image, SdoMode::kSegmented);
  }
  if (r != 0) return fail("data", r, sdo_result_text(r));
  res.bytes = image.size();
  if (progress) progress(image.size(), image.size());
  if (!flash_done()) return res;
  if (start) {
    if (const int s = control(ProgramControl::kStart); s != 0) {
      return fail("start", s, sdo_result_text(s));
    }
  }
  return res;
}

}  // namespace canbus
