// The standard SDO abort codes with their texts, and the text of an SDO result.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "D_esdcan.h"

namespace {

struct AbortText {
  uint32_t code;
  const char* text;
};

// Sorted by code: looked up by binary search.
constexpr AbortText kAborts[] = {
    {0x05030000, "Toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "Client/server command specifier not valid or unknown"},
    {0x05040002, "Invalid block size"},
    {0x05040003, "Invalid sequence number"},
    {0x05040004, "CRC error"},
    {0x05040005, "Out of memory"},
    {0x06010000, "Unsupported access to an object"},
    {0x06010001, "Attempt to read a write only object"},
    {0x06010002, "Attempt to write a read only object"},
    {0x06020000, "Object does not exist in the object dictionary"},
    {0x06040041, "Object cannot be mapped to the PDO"},
    {0x06040042, "The number and length of the objects to be mapped would exceed PDO length"},
    {0x06040043, "General parameter incompatibility reason"},
    {0x06040047, "General internal incompatibility in the device"},
    {0x06060000, "Access failed due to a hardware error"},
    {0x06070010, "Data type does not match, length of service parameter does not match"},
    {0x06070012, "Data type does not match, length of service parameter too high"},
    {0x06070013, "Data type does not match, length of service parameter too low"},
    {0x06090011, "Sub-index does not exist"},
    {0x06090030, "Invalid value for parameter (download only)"},
    {0x06090031, "Value of parameter written too high (download only)"},
    {0x06090032, "Value of parameter written too low (download only)"},
    {0x06090036, "Maximum value is less than minimum value"},
    {0x060A0023, "Resource not available: SDO connection"},
    {0x08000000, "General error"},
    {0x08000020, "Data cannot be transferred or stored to the application"},
    {0x08000021,
     "Data cannot be transferred or stored to the application because of local control"},
    {0x08000022,
     "Data cannot be transferred or stored to the application because of the present device "
     "state"},
    {0x08000023, "Object dictionary dynamic generation fails or no object dictionary is present"},
    {0x08000024, "No data available"},
};

constexpr bool sorted() {
  for (size_t i = 1; i < std::size(kAborts); ++i) {
    if (kAborts[i - 1].code >= kAborts[i].code) return false;
  }
  return true;
}
static_assert(sorted(), "abort table must be sorted by code");

// Abort codes start at 0x05000000; driver results stay far below.
constexpr int kFirstAbort = 0x05000000;

}  // namespace

const char* sdo_abort_text(uint32_t code) {
  const AbortText* end = std::end(kAborts);
  const AbortText* it = std::lower_bound(std::begin(kAborts), end, code,
                                         [](const AbortText& a, uint32_t c) { return a.code < c; });
  return it != end && it->code == code ? it->text : nullptr;
}

std::string sdo_result_text(int result) {
  if (result == 0) return "ok";
  if (result == D_can::kSdoTimeout) return "SDO time-out";
  // Codes from 0x80000000 on are negative as int; the library's own results stay above -0x10000.
  if (result >= kFirstAbort || result < -0xFFFF) {
    const auto code = static_cast<uint32_t>(result);
    char head[32];
    std::snprintf(head, sizeof head, "SDO abort 0x%08X", code);
    const char* text = sdo_abort_text(code);
    return text != nullptr ? std::string(head) + ": " + text : std::string(head);
  }
  return can_error_str(static_cast<unsigned long>(static_cast<long>(result)));
}

bool sdo_no_object(int result) {
  return result == 0x06020000 || result == 0x06090011;
}

void D_can::sdo_report(int node, int index, int subindex, const char* what, int result) const {
  char head[64];
  std::snprintf(head, sizeof head, " (line %d, node %d): %s 0x%04X:%02X: ", canIdent_.i1_data, node,
                what, static_cast<unsigned>(index & 0xFFFF),
                static_cast<unsigned>(subindex & 0xFF));
  tavik::printtostderr("SDO", name() + head + sdo_result_text(result), DF_LOG);
}
