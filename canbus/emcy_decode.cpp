// Emergency decoding: the error code classes and the error register bits as tables, so that a
// new text is one line and every code finds its text by the same rule.
#include <algorithm>
#include <cstdio>
#include <string>

#include "can_emcy.h"

namespace canbus {
namespace {

struct CodeText {
  uint16_t code;
  uint16_t mask;  // the bits of the error code the entry fixes
  const char* text;
};

// Classes: the first entry whose masked code matches. Most classes are one hex digit wide
// (2xxx current); generic error, hardware, modules, external, and the F0xx and FFxx classes are
// two digits wide, so 0x1100 or 0x5100 belong to no class.
constexpr CodeText kClasses[] = {
    {0x0000, 0xFF00, "error reset or no error"},
    {0x1000, 0xFF00, "generic error"},
    {0x2000, 0xF000, "current"},
    {0x3000, 0xF000, "voltage"},
    {0x4000, 0xF000, "temperature"},
    {0x5000, 0xFF00, "device hardware"},
    {0x6000, 0xF000, "device software"},
    {0x7000, 0xFF00, "additional modules"},
    {0x8000, 0xF000, "monitoring"},
    {0x9000, 0xFF00, "external error"},
    {0xF000, 0xFF00, "additional functions"},
    {0xFF00, 0xFF00, "device specific"},
};

// Sub-classes (second hex digit) and single codes; appended to the class text.
constexpr CodeText kDetails[] = {
    {0x2100, 0xFF00, "device input side"},
    {0x2200, 0xFF00, "inside the device"},
    {0x2300, 0xFF00, "device output side"},
    {0x3100, 0xFF00, "mains"},
    {0x3200, 0xFF00, "inside the device"},
    {0x3300, 0xFF00, "output"},
    {0x4100, 0xFF00, "ambient"},
    {0x4200, 0xFF00, "device"},
    {0x6100, 0xFF00, "internal software"},
    {0x6200, 0xFF00, "user software"},
    {0x6300, 0xFF00, "data set"},
    {0x8100, 0xFF00, "communication"},
    {0x8200, 0xFF00, "protocol error"},
};

constexpr CodeText kCodes[] = {
    {0x8110, 0xFFFF, "CAN overrun (objects lost)"},
    {0x8120, 0xFFFF, "CAN in error passive mode"},
    {0x8130, 0xFFFF, "life guard or heartbeat error"},
    {0x8140, 0xFFFF, "recovered from bus off"},
    {0x8150, 0xFFFF, "CAN-ID collision"},
    {0x8210, 0xFFFF, "PDO not processed due to length error"},
    {0x8220, 0xFFFF, "PDO length exceeded"},
    {0x8230, 0xFFFF, "DAM MPDO not processed, destination object not available"},
    {0x8240, 0xFFFF, "unexpected SYNC data length"},
    {0x8250, 0xFFFF, "RPDO time-out"},
};

// Error register, bit 0 first; bit 6 is reserved.
constexpr const char* kRegisterBits[8] = {"generic",     "current",       "voltage",
                                          "temperature", "communication", "device profile",
                                          "reserved",    "manufacturer"};

template <size_t N>
const char* find(const CodeText (&table)[N], uint16_t code) {
  auto it = std::find_if(std::begin(table), std::end(table),
                         [code](const CodeText& t) { return (code & t.mask) == t.code; });
  return it == std::end(table) ? nullptr : it->text;
}

}  // namespace

Emcy emcy_from_frame(const CMSG& frame) {
  uint8_t b[8] = {};
  const int n = std::min(frame.len & 0x0F, 8);
  std::copy_n(frame.data, n, b);
  Emcy e;
  e.code = static_cast<uint16_t>(b[0] | (b[1] << 8));
  e.reg = b[2];
  std::copy_n(b + 3, 5, e.vendor);
  e.vendor_len = static_cast<uint8_t>(std::max(n - 3, 0));
  return e;
}

std::string emcy_code_text(uint16_t code) {
  const char* cls = find(kClasses, code);
  if (cls == nullptr) return "unknown error code";
  std::string text = cls;
  if (const char* sub = find(kDetails, code)) text = text + ", " + sub;
  if (const char* single = find(kCodes, code)) text = text + ": " + single;
  return text;
}

std::string emcy_register_text(uint8_t reg) {
  if (reg == 0) return "no error";
  std::string text;
  for (int bit = 0; bit < 8; ++bit) {
    if ((reg & (1u << bit)) == 0) continue;
    if (!text.empty()) text += ", ";
    text += kRegisterBits[bit];
  }
  return text;
}

std::string emcy_text(const Emcy& e) {
  char head[32];
  std::snprintf(head, sizeof head, "0x%04X ", e.code);
  char reg[32];
  std::snprintf(reg, sizeof reg, "; register 0x%02X (", e.reg);
  std::string text = head + emcy_code_text(e.code) + reg + emcy_register_text(e.reg) + ")";
  if (e.vendor_len > 0) {
    text += "; vendor";
    for (int i = 0; i < std::min<int>(e.vendor_len, 5); ++i) {
      char piece[4];
      std::snprintf(piece, sizeof piece, " %02X", e.vendor[i]);
      text += piece;
    }
  }
  return text;
}

}  // namespace canbus
