// The simulated node's SDO block transfer server (block upload and block download of any
// object of its dictionary), a part of NodeLogic: it runs under NodeLogic's lock and works on
// its dictionary, and NodeLogic hands it the block requests and, while a block download runs,
// every SDO frame (the segments carry data in byte 0's place of a command).
//
// Protocol choices a master may observe:
//  - The CRC is supported and used when the client supports it too.
//  - Upload: the client's block size (1..127; else abort 0x05040002) is used for every
//    sub-block, as its acknowledgements give it. A protocol switch threshold other than 0 lets a
//    value of at most that many bytes go by the expedited/segmented protocol instead (the reply
//    to the block request is then that of a plain upload request).
//  - Download: the node takes up to block_size segments per sub-block (default 127). A sub-block
//    ends with its segment numbered block_size or with the value's last segment, whether or not
//    it came in order; the acknowledgement gives the last one received in order. The size, the
//    CRC and the access of the object are checked at the end.
//  - A block request to a node with block transfer switched off is aborted with 0x05040001, as
//    a server without it does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntcan.h"

namespace sim {

class NodeLogic;

// A value of `size` bytes for large test objects: byte i is i % 251, so that no two of the
// segments within 251 * 7 bytes look alike and a segment put in the wrong place shows.
std::string pattern_value(size_t size);

class BlockServer {
 public:
  // Settings and fault controls; kept across transfers and resets.
  bool enabled = true;
  int block_size = 127;  // download: segments per sub-block the node takes (1..127)
  int drop_segment = 0;  // the next block transfer loses its n-th segment (from 1), once
  bool bad_crc = false;  // the next block transfer's CRC is wrong (sent, or computed)

  // A block download's sub-block runs: every SDO frame is one of its segments (or an abort).
  bool receiving() const { return phase_ == Phase::kDownloadBlock; }
  // A block request (client command specifier 5 or 6).
  void request(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out);
  // A frame while receiving().
  void segment(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out);
  // Forgets the running transfer (NodeLogic::end_transfer_locked).
  void end();

 private:
  enum class Phase {
    kNone,
    kUploadStart,    // initiated, waiting for the start request
    kUploadBlock,    // sub-block sent, waiting for the acknowledgement
    kUploadEnd,      // end sent, waiting for the end reply
    kDownloadBlock,  // taking segments
    kDownloadEnd,    // last segment acknowledged, waiting for the end request
  };

  void upload(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out);
  void download(NodeLogic& n, const CMSG& frame, std::vector<CMSG>& out);
  void send_sub_block(NodeLogic& n, std::vector<CMSG>& out);
  void fail(NodeLogic& n, uint32_t code, std::vector<CMSG>& out);
  // Counts a segment; whether the running transfer's fault control loses it.
  bool dropped();
  // The fault controls become the transfer's own.
  void arm();
  uint16_t crc_of_data() const;

  Phase phase_ = Phase::kNone;
  std::string data_;         // the value uploaded, or downloaded so far
  bool crc_ = false;         // both sides use the CRC
  size_t segments_ = 0;      // upload: segments of the value
  size_t first_ = 0;         // upload: index of the sub-block's first segment
  int blksize_ = 0;          // segments per sub-block, as last negotiated
  int sent_ = 0;             // upload: segments in the sub-block sent
  int good_ = 0;             // download: last sequence number of the sub-block in order
  bool last_ = false;        // download: the value's last segment came in order
  bool size_given_ = false;  // download: the client announced the size
  size_t size_ = 0;
  int counted_ = 0;         // segments of the transfer so far, sent or received
  int drop_at_ = 0;         // drop_segment, taken over by the running transfer
  bool crc_wrong_ = false;  // bad_crc, taken over by the running transfer
};

}  // namespace sim
