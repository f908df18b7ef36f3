// SDO upload client (expedited and segmented) towards the node's default SDO server, and the
// identity strings read with it (objects 0x1008, 0x1009, 0x100A).
//
// The exchange runs in the caller's thread: requests go out through can_write; from the
// initiate request to the end of the upload this thread is the only reader of the node's handle
// in the library and waits for each reply in the driver (sdo_port.cpp), so the receive cycle
// never takes a reply away and gets every other frame in order. Uploads of other properties of
// the node wait for the running one; uploads on different nodes run side by side, and none
// holds mx_loop. Index, Subindex and ToggleBit hold the state of the running upload.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "D_esdcan.h"
#include "cob_id.h"
#include "sdo_port.h"

namespace {

// Internal result of the reply readers: the value is complete. segSdoRead turns it into 0.
constexpr int kComplete = 0x12345678;
constexpr int kIdentityBuffer = 64;
constexpr size_t kUnbounded = SIZE_MAX;

constexpr int kAbortToggle = 0x05030000;

// Bytes that may still be stored at `offset` in a buffer of `size` bytes whose last byte is
// kept for the terminating zero.
size_t room(size_t size, int offset) {
  if (size == 0 || offset < 0) return 0;
  size_t limit = size - 1;
  size_t at = static_cast<size_t>(offset);
  return at < limit ? limit - at : 0;
}

// The reply wait shared by both readers. Waits for frames from the node's handle until `test`
// returns a result for a frame from 0x580 + node, an abort of the running upload arrives (whatever
// its identifier), the read fails or the whole-second clock passes start + 2 (so 2 to 3
// seconds). Frames of other services go on to the receive cycle. A final result ends the upload.
template <class Test>
int await_reply(D_can* can, short node, int& abort_code, Test test) {
  const int64_t deadline = SdoAccess::reply_deadline();
  CMSG m{};
  int r = 0;
  for (;;) {
    r = SdoAccess::next(can, deadline, &m, [&](CMSG& f) {
      int code = 0;
      return f.id == 0x580 + node || can->isAbort(&f, &code) != 0;
    });
    if (r != 0) break;
    if (can->isAbort(&m, &abort_code)) {
      r = -1;
      break;
    }
    if (std::optional<int> t = test(m)) {
      r = *t;
      break;
    }
  }
  if (r != 0) SdoAccess::end(can);
  return r;
}

}  // namespace

int D_can::initiateUpload(short node, int idx, int subIdx) {
  SdoAccess::begin(this);
  Subindex = subIdx;
  Index = idx;
  ToggleBit = 1;
  AbortCode = 0;
  unsigned char bytes[8] = {0x40,
                            static_cast<unsigned char>(idx & 0xFF),
                            static_cast<unsigned char>((idx >> 8) & 0xFF),
                            static_cast<unsigned char>(subIdx & 0xFF),
                            0,
                            0,
                            0,
                            0};
  const int r = can_write(0x600 + node, 8, bytes);
  if (r != 0) SdoAccess::end(this);
  return r;
}

// The node id argument is not used: segment requests go to this property's own node.
int D_can::requestUploadSegment(short) {
  unsigned char bytes[8] = {};
  bytes[0] = ToggleBit != 0 ? 0x60 : 0x70;
  ToggleBit = ToggleBit == 0 ? 1 : 0;
  const int r = can_write(cob_id(0x600, canIdent_.i2_data), 8, bytes);
  if (r != 0) SdoAccess::end(this);
  return r;
}

int D_can::isAbort(CMSG* m, int* abortCode) {
  if ((m->data[0] & 0xF0) != 0x80) return 0;
  int index = m->data[1] | (m->data[2] << 8);
  if (index != Index || m->data[3] != Subindex) return 0;
  uint32_t code = static_cast<uint32_t>(m->data[4]) | (static_cast<uint32_t>(m->data[5]) << 8) |
                  (static_cast<uint32_t>(m->data[6]) << 16) |
                  (static_cast<uint32_t>(m->data[7]) << 24);
  *abortCode = static_cast<int>(code);
  return 1;
}

int D_can::initUploadResponse(short node, char* buffer, int* offset) {
  return initUploadResponse(node, buffer, offset, kUnbounded);
}

int D_can::initUploadResponse(short node, char* buffer, int* offset, size_t size) {
  return await_reply(this, node, AbortCode, [&](const CMSG& m) -> std::optional<int> {
    if ((m.data[0] & 0xF0) != 0x40) return std::nullopt;
    if ((m.data[0] & 0x02) == 0) return 0;  // segmented transfer follows
    int n = (m.data[0] & 0x01) != 0 ? 4 - ((m.data[0] >> 2) & 3) : 4;
    size_t kept = std::min(static_cast<size_t>(n), room(size, 0));
    std::memcpy(buffer, &m.data[4], kept);
    if (size > 0) buffer[kept] = '\0';
    *offset = n;
    return kComplete;
  });
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  return receiveUploadSegment(node, buffer, offset, kUnbounded);
}

// No zero is written: the caller's zero-filled buffer ends the text.
int D_can::receiveUploadSegment(short node, char* buffer, int* offset, size_t size) {
  return await_reply(this, node, AbortCode, [&](const CMSG& m) -> std::optional<int> {
    if ((m.data[0] & 0xE0) != 0) return std::nullopt;
    int toggle = (m.data[0] & 0x10) != 0 ? 1 : 0;
    if (toggle != ToggleBit) {
      AbortCode = kAbortToggle;
      return -1;
    }
    int n = 7 - ((m.data[0] >> 1) & 7);
    size_t kept = std::min(static_cast<size_t>(n), room(size, *offset));
    if (kept > 0) std::memcpy(buffer + *offset, &m.data[1], kept);
    *offset += n;
    return (m.data[0] & 0x01) != 0 ? kComplete : 0;
  });
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  return segSdoRead(node, idx, subIdx, buffer, kUnbounded);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, size_t size) {
  const int r = sdo_counted(node, idx, subIdx, "upload",
                            [&] { return seg_read(node, idx, subIdx, buffer, size); });
  // The steps' result: an abort is -1 (its code stays in AbortCode), whatever its code.
  return r != 0 && r == AbortCode ? -1 : r;
}

// The result as sdo_upload gives it: an abort (the node's, or 0x05030000 for a toggle error)
// as its code, a time-out as kSdoTimeout, a driver result as it is.
int D_can::seg_read(short node, int idx, int subIdx, char* buffer, size_t size) {
  // Closing, moving or destroying the property on another thread waits for the upload's end.
  if (!SdoAccess::enter(this)) return NTCAN_OPERATION_ABORTED;
  struct Leave {
    D_can* p;
    ~Leave() { SdoAccess::leave(p); }
  } leave{this};
  int offset = 0;
  // A whole upload: every path below ends the transfer, so another thread may wait for it.
  SdoAccess::begin(this, true);
  const int e = initiateUpload(node, idx, subIdx);
  if (e != 0) return e;
  const int r = initUploadResponse(node, buffer, &offset, size);
  if (r == kComplete) return 0;
  if (r != 0) return r == -1 && AbortCode != 0 ? AbortCode : r;
  for (;;) {
    const int q = requestUploadSegment(node);
    if (q != 0) return q;
    const int s = receiveUploadSegment(node, buffer, &offset, size);
    if (s == 0) continue;
    if (s == kComplete) return 0;
    return s == -1 && AbortCode != 0 ? AbortCode : s;
  }
}

// Cuts the text at its first byte outside 0x20..0x7E (a trailing CR LF, for instance); looks at
// 10000 bytes at most.
int D_can::check_ascii(char* aString) {
  if (aString == nullptr) return -1;
  size_t len = std::strlen(aString);
  for (size_t i = 0; i < len && i <= 9999; ++i) {
    unsigned char c = static_cast<unsigned char>(aString[i]);
    if (c < 0x20 || c > 0x7E) {
      aString[i] = '\0';
      return -1;
    }
  }
  return 0;
}

// "error" when the upload fails; "-" for an optional object (0x1009, 0x100A) the node does not
// have, which is no failure of the identity (result 0). A value longer than 63 bytes keeps its
// first 63.
int D_can::read_identity(int index, D_string* prop) {
  char buffer[kIdentityBuffer] = {};
  const auto node = static_cast<short>(canIdent_.i2_data);
  const int r = sdo_counted(node, index, 0, "upload",
                            [&] { return seg_read(node, index, 0, buffer, sizeof buffer); });
  if (r == 0) {
    check_ascii(buffer);
    prop->set_value(buffer);
    return 0;
  }
  if (index != 0x1008 && sdo_no_object(r)) {
    prop->set_value("-");
    return 0;
  }
  prop->set_value("error");
  return r == AbortCode ? -1 : r;
}

int D_can::get_manufacture() {
  return read_identity(0x1008, manu_);
}

int D_can::get_hwversion() {
  return read_identity(0x1009, hwver_);
}

int D_can::get_swversion() {
  // The node is given 100 ms before the request.
  TAVIKsleep(0, 100000);
  return read_identity(0x100A, swver_);
}
