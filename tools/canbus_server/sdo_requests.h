// canbus-server: SDO access requests and the parallel identity read at start-up. Kept apart
// from the request loop, which calls in here.
#pragma once

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "D_esdcan.h"

namespace canbus_server {

class NodeObjects;

// "sdo read NAME INDEX SUB" and "sdo write NAME INDEX SUB VALUE" on the node property `node`
// (the request line as typed; NAME has been looked up by the caller). INDEX and SUB are decimal
// or hexadecimal (0x...). VALUE is an integer (decimal or 0x..., written with the size of the
// object's present value, or the smallest of 1, 2, 4 and 8 bytes that holds it when that cannot
// be read) or a text in double quotes (its bytes). Answers: a read gives the value (a quoted
// text when every byte is printable, else the little-endian integer in decimal and hex, or the
// bytes in hex beyond 8 bytes); a write "ok"; failures "error: " and the SDO result text.
// With `objects`, "sdo read NAME OBJECT" and "sdo write NAME OBJECT VALUE" take an object name
// of the node's dictionary (see sdo_by_name in od_requests.h) and answer typed values.
std::string sdo_request(D_can* node, const std::string& line, NodeObjects* objects = nullptr);

// Words of a request line; a word in double quotes keeps its blanks (quotes removed) and is
// marked in `quoted`. false when a quote is not closed.
bool request_words(const std::string& line, std::vector<std::string>& out,
                   std::vector<bool>& quoted);

// Reads the identity strings (.MANU, .HWVER, .SWVER) of `nodes` with up to `workers` threads at
// once. Every `progress_every` it prints "identity: n of N nodes" to `out` while it runs. Ends
// as soon as `stop` turns true: uploads already running finish (at once with answering nodes,
// within the SDO deadline of 2 to 3 s with a silent one), no new one starts. Returns the number
// of nodes done.
size_t read_identities(const std::vector<D_can*>& nodes, std::ostream& out,
                       const std::atomic<bool>& stop, int workers = 128,
                       std::chrono::milliseconds progress_every = std::chrono::seconds(2));

}  // namespace canbus_server
