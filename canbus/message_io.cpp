// Frame I/O of a node property: data and remote frames, blocking and non-blocking reads, the
// request-and-reply poll and the bare SDO upload request.
//
// Nothing here takes a lock. The result code behind can_ret_ and the frame count handed in by
// can_fill are ints shared by the node properties of one node and written from device-server
// threads and the receive cycle at once, so every access to them is atomic. Release stores and
// acquire loads suffice (no reader needs one order of all writes): on x86 they are plain moves,
// where sequentially consistent stores would cost a full fence each, five per master and cycle.

#include <algorithm>
#include <cstring>

#include "D_esdcan.h"
#include "cob_id.h"

namespace {

constexpr int kPollBatch = 10;
constexpr int64_t kPollWindowNs = 250'000'000;
constexpr int kNoReply = 32;  // can_poll result when no reply came within the tries

// Number of payload bytes a length byte stands for: the low four bits, never more than the
// 8 bytes of a frame (a remote request carries 0x10 on top of its code).
int data_bytes(int len_byte) {
  return std::min(len_byte & 0x0F, 8);
}

// A frame to send: identifier, length byte (low byte of `length`) and the payload bytes that
// length stands for. Bytes not given stay zero.
CMSG build_frame(int ident, int length, const unsigned char* data) {
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(length & 0xFF);
  if (length > 0 && data != nullptr) {
    std::memcpy(m.data, data, static_cast<size_t>(data_bytes(length)));
  }
  return m;
}

void store(int* p, int v) {
  if (p != nullptr) __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

int send_one(NTCAN_HANDLE h, CMSG& m) {
  int32_t count = 1;
  return canSend(h, &m, &count);
}

}  // namespace

int D_can::can_write(int ident, int length, unsigned char* Data) {
  CMSG m = build_frame(ident, length, Data);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return note_result(send_one(h, m), h);
}

int D_can::rtr(int* ident) {
  return rtr(ident, 0);
}

int D_can::rtr(int* ident, int l) {
  CMSG m{};
  m.id = *ident;
  m.len = static_cast<uint8_t>((l | NTCAN_RTR) & 0xFF);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  return note_result(send_one(h, m), h);
}

int D_can::rtr() {
  int ident = cob_id(0x700, canIdent_.i2_data);
  return rtr(&ident, 0);
}

// can_read and can_get differ only in the driver call. `length` may be the shared frame count
// of the receive buffer (can_fill), so the driver writes a local count and the result is
// published atomically.
int D_can::can_read(CMSG* rxmsg, int* length) {
  int32_t count = __atomic_load_n(length, __ATOMIC_ACQUIRE);
  __atomic_store_n(length, -1, __ATOMIC_RELEASE);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int ret = note_result(canRead(h, rxmsg, &count, nullptr), h);
  __atomic_store_n(length, count, __ATOMIC_RELEASE);
  store(can_ret_, ret);
  return ret;
}

int D_can::can_get(CMSG* rxmsg, int* length) {
  int32_t count = __atomic_load_n(length, __ATOMIC_ACQUIRE);
  __atomic_store_n(length, -1, __ATOMIC_RELEASE);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int ret = note_result(canTake(h, rxmsg, &count), h);
  __atomic_store_n(length, count, __ATOMIC_RELEASE);
  store(can_ret_, ret);
  return ret;
}

// The reply is the first frame read whose bytes 1..3 (object index and subindex in an SDO
// exchange) equal the request's, whatever its identifier. Frames read meanwhile that do not
// match are dropped. The wait sleeps in the driver until a frame arrives or the 250 ms are
// over, on the framework clock, so tests run it in virtual time.
int D_can::can_poll(int* ident, int* length, unsigned char* Data) {
  CMSG request = build_frame(*ident, *length, Data);
  NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int ret = send_one(h, request);
  if (ret != NTCAN_SUCCESS) return ret;

  struct Batch {
    D_can* can;
    CMSG frames[kPollBatch];
    int32_t count;
    bool failed;
  } batch{this, {}, 0, false};
  // True when frames came or the read failed (the line closed meanwhile: no reply can come).
  auto read = [](void* p, int64_t real_ns) {
    auto* b = static_cast<Batch*>(p);
    b->count = kPollBatch;
    const int r = b->can->can_read_for(b->frames, &b->count, (real_ns + 999) / 1000);
    if (r != NTCAN_SUCCESS) b->count = 0;
    b->failed = r != NTCAN_SUCCESS && r != NTCAN_RX_TIMEOUT;
    return b->count > 0 || b->failed;
  };
  const int64_t deadline = tavik::clock().now_ns() + kPollWindowNs;
  while (tavik::clock().wait_until(deadline, read, &batch) && !batch.failed) {
    for (int i = 0; i < std::clamp(batch.count, 0, kPollBatch); ++i) {
      const CMSG& m = batch.frames[i];
      if (std::memcmp(&m.data[1], &request.data[1], 3) != 0) continue;
      *ident = m.id;
      *length = m.len;
      if (Data != nullptr) std::memcpy(Data, m.data, static_cast<size_t>(data_bytes(m.len)));
      store(can_ret_, NTCAN_SUCCESS);
      return NTCAN_SUCCESS;
    }
  }
  store(can_ret_, kNoReply);
  return kNoReply;
}

int D_can::can_SDO(u_short index, u_char subindex) {
  unsigned char bytes[8] = {0x40,
                            static_cast<unsigned char>(index & 0xFF),
                            static_cast<unsigned char>((index >> 8) & 0xFF),
                            subindex,
                            0,
                            0,
                            0,
                            0};
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  return can_write(cob_id(0x600, canIdent_.i2_data), 8, bytes);
}
