// Emergency (EMCY) messages: the error code with its class texts, the error register bits and
// the manufacturer bytes of the frame a node sends on 0x80 + node id.
#pragma once

#include <cstdint>
#include <string>

#include "ntcan.h"

namespace canbus {

struct Emcy {
  uint16_t code = 0;       // error code (bytes 0 and 1, little-endian)
  uint8_t reg = 0;         // error register (object 0x1001 of the node, byte 2)
  uint8_t vendor[5] = {};  // manufacturer-specific bytes 3..7; bytes the frame lacks are zero
  uint8_t vendor_len = 0;  // how many of them the frame carried (0..5)
};

// The EMCY fields of a frame's data. At most the 8 data bytes are read whatever the length byte
// says; a frame shorter than 8 bytes gives zeros for the bytes it lacks.
Emcy emcy_from_frame(const CMSG& frame);

// Text of an error code: its class, then the finer sub-class and the code itself where the
// standard names them, e.g. "monitoring, communication: life guard or heartbeat error". A code
// no class covers gives "unknown error code".
std::string emcy_code_text(uint16_t code);

// Texts of the error register's set bits, joined by ", " in bit order ("generic, voltage");
// "no error" for 0.
std::string emcy_register_text(uint8_t reg);

// One line for logs and status:
// "0x3210 voltage, inside the device; register 0x05 (generic, voltage); vendor 01 02 00 00 00".
// The vendor part lists the bytes the frame carried and is left out when there were none.
std::string emcy_text(const Emcy& e);

}  // namespace canbus
