// Network scan: which CANopen nodes answer on a line, what they are, and whether two share an
// id. For commissioning a crate; a service on its own, beside the node properties.
//
// The scan opens a driver handle of its own on the line's net and enables on it only the SDO
// replies (0x580..0x5FF) and the error-control messages (0x700..0x77F). The receive cycle and
// the node properties keep their handles and their frames: the driver copies each frame to
// every handle that enabled its identifier (so a node property that enabled 0x580 + id sees the
// scan's SDO replies, as it would another master's). It never sends NMT and never writes: it
// listens for boot-ups and heartbeats, asks every id for 0x1000 by SDO upload (many ids at
// once, each with a short time-out), then reads 0x1018:1..4 and 0x1008 of each node that
// answered. A node's SDO server serves one transfer at a time: a transfer of the device server
// to the same node while the scan runs may be disturbed, so run the scan as bus work of its own
// (canbus-server does, one job at a time). On a real bus two nodes that send the very same
// frame at the same instant look like one: a conflict shows when their replies differ.
//
// Thread: scan_line() runs in the caller's thread and returns when done; several scans of
// different lines may run at once. Time is on the framework clock (tavik::clock()), so tests run
// it in virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace canbus {

// How a node was found (bits of ScannedNode::found_by).
enum ScanFound : unsigned {
  kFoundBootUp = 1,     // a boot-up message (0x700 + id, state 0)
  kFoundHeartbeat = 2,  // a heartbeat
  kFoundSdo = 4,        // an SDO reply to the scan's requests
  // A node guarding reply to someone else's request (heard after the request, or with the
  // toggle bit set, which a heartbeat never has).
  kFoundGuarding = 8,
};
// "boot-up", "heartbeat", "guarding", "SDO" joined by "+"; "-" for none.
std::string found_by_text(unsigned found_by);

struct ScanOptions {
  int first_id = 1;  // ids asked, within 1..127
  int last_id = 127;
  int in_flight = 127;  // SDO requests outstanding at once
  // Per SDO request, counted from when the request and its reply can have been on a bus of
  // `bit_rate_kbit` behind the requests sent before it (0: from its sending; kLineBitRate: the
  // bit rate the line was opened with, as the driver tells it, else 125 kbit/s).
  int timeout_ms = 100;
  static constexpr int kLineBitRate = -1;
  int bit_rate_kbit = kLineBitRate;
  // Further requests to an id that gave no answer to 0x1000. An identity read without a reply
  // is asked twice more, each time with twice the time-out; a node whose reads of two objects
  // in a row stay unanswered is taken as gone.
  int retries = 1;
  bool read_identity = true;  // 0x1018:1..4 and 0x1008 of the nodes found
  // Called in the scanning thread every 100 ms (framework clock) with the requests answered or
  // timed out so far, and the number the scan will make in all (ids and identity reads).
  std::function<void(int done, int total)> progress;
};

struct ScannedNode {
  int id = 0;
  unsigned found_by = 0;  // ScanFound bits
  int answers = 0;        // SDO replies to one request for 0x1000 (more than 1: conflict)
  bool conflict = false;  // two or more nodes answer this id; their identity is not read
  // SDO result of the 0x1000 request: 0, an abort code, or D_can::kSdoTimeout (-1).
  int64_t device_type_result = -1;
  uint32_t device_type = 0;
  // Identity: each read's result (0, abort code, -1) and value.
  int64_t identity_result[4] = {-1, -1, -1, -1};
  uint32_t vendor = 0, product = 0, revision = 0, serial = 0;
  int64_t name_result = -1;
  std::string name;            // 0x1008, the printable bytes of at most 255
  bool identity_read = false;  // the identity and name were asked for
};
// The fields asked for that got no reply ("vendor", "product", "revision", "serial", "name"
// joined by ", "); empty when every one was answered (or none was asked for).
std::string unanswered_text(const ScannedNode& n);

struct ScanResult {
  // 0, or the driver result that stopped the scan (no handle on the line's net, say).
  int result = 0;
  // Why the line's net could not be opened, as the driver tells it (`SocketCAN: interface
  // "can0" for net 0: No such device`); empty when it opened or the driver says nothing more.
  std::string open_error;
  std::vector<ScannedNode> nodes;  // in id order
  int64_t elapsed_ns = 0;          // framework clock
  int requests = 0;                // SDO requests sent
  int bit_rate_kbit = 0;           // the bit rate the time-outs were counted at (0: none)
  // Ids with an id conflict.
  std::vector<int> conflicts() const;
};

// Scans line `line` (1..20, net line - 1). NTCAN_INVALID_PARAMETER in result for a line or
// options outside their ranges.
ScanResult scan_line(int line, const ScanOptions& options = {});

}  // namespace canbus
