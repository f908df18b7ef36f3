// SDO upload and download of any object of the node, expedited or segmented, with abort codes
// as results. The transfers hold the node's handle as the identity uploads do (sdo_port.cpp).
//
// Replies are frames from 0x580 + node. An initiate reply or abort for another object (a late
// one of an earlier transfer) is passed over; a segment reply with the wrong toggle, or a reply
// of the wrong kind, makes this client abort the transfer. So does a silent node.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "D_esdcan.h"
#include "cob_id.h"
#include "sdo_port.h"

namespace {

constexpr uint32_t kAbortToggle = 0x05030000;
constexpr uint32_t kAbortTimeout = 0x05040000;
constexpr uint32_t kAbortCommand = 0x05040001;
constexpr uint32_t kAbortLength = 0x06070010;
constexpr uint32_t kAbortTooLong = 0x06070012;
constexpr uint32_t kAbortGeneral = 0x08000000;
constexpr int kFirstAbort = 0x05000000;

// One running transfer of `can` on (index, subindex): sends requests and waits for replies.
class Transfer {
 public:
  Transfer(D_can* can, int index, int subindex)
      : can_(can),
        node_(SdoAccess::node_of(can)),
        index_(index & 0xFFFF),
        subindex_(subindex & 0xFF),
        entered_(SdoAccess::enter(can)) {
    if (entered_) SdoAccess::begin(can_);
  }
  ~Transfer() {
    if (!entered_) return;
    SdoAccess::end(can_);
    SdoAccess::leave(can_);
  }
  // False when the property is being closed, moved or destroyed: the transfer does not start.
  bool started() const { return entered_; }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sends a request: byte 0 `cmd`, then the multiplexer (with_mux) or the 7 bytes `data`.
  int send(uint8_t cmd, bool with_mux, const uint8_t* data, size_t n) {
    unsigned char b[8] = {cmd};
    size_t at = 1;
    if (with_mux) {
      b[1] = static_cast<unsigned char>(index_ & 0xFF);
      b[2] = static_cast<unsigned char>(index_ >> 8);
      b[3] = static_cast<unsigned char>(subindex_);
      at = 4;
    }
    if (n > 0) std::memcpy(b + at, data, std::min(n, sizeof b - at));
    return can_->can_write(cob_id(0x600, node_), 8, b);
  }

  // The next reply into *m: 0; the node's abort code; kSdoTimeout (after aborting the transfer
  // at the node); or a driver result.
  int reply(CMSG* m, bool segment) {
    const int32_t id = cob_id(0x580, node_);
    const int64_t deadline = SdoAccess::reply_deadline();
    for (;;) {
      int r = SdoAccess::next(can_, deadline, m, [&](const CMSG& f) { return f.id == id; });
      if (r == -1) {
        abort(kAbortTimeout);
        return D_can::kSdoTimeout;
      }
      if (r != 0) return r;
      if ((m->data[0] & 0xE0) == 0x80) {
        if (!mine(*m)) continue;
        return abort_result(SdoAccess::le32(&m->data[4]));
      }
      // Initiate replies carry the multiplexer; segment replies do not.
      if (!segment && !mine(*m)) continue;
      return 0;
    }
  }

  // Tells the node the transfer is given up; the code is the result.
  int abort(uint32_t code) {
    uint8_t b[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                    static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    send(0x80, true, b, sizeof b);
    return static_cast<int>(code);
  }

 private:
  bool mine(const CMSG& m) const {
    return SdoAccess::index_of(m) == index_ && m.data[3] == subindex_;
  }
  // A code that cannot stand as a result (0, or outside the abort range) becomes
  // "General error"; the code itself is logged.
  int abort_result(uint32_t code) const {
    if (code >= static_cast<uint32_t>(kFirstAbort) && code <= 0x7FFFFFFFu) {
      return static_cast<int>(code);
    }
    char msg[120];
    std::snprintf(msg, sizeof msg, "Line : %dNode %d aborted 0x%04X/%d with code 0x%08X",
                  can_->value().i1_data, node_, index_, subindex_, code);
    tavik::printtostderr("D_can::sdo", msg, DF_LOG);
    return static_cast<int>(kAbortGeneral);
  }

  D_can* can_;
  int node_;
  int index_;
  int subindex_;
  bool entered_;
};

}  // namespace

int D_can::sdo_upload(int index, int subindex, void* buffer, size_t size, size_t* length) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (length != nullptr) *length = 0;
  if (buffer == nullptr && size > 0) return NTCAN_INVALID_PARAMETER;
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  Transfer t(this, index, subindex);
  if (!t.started()) return NTCAN_OPERATION_ABORTED;
  int r = t.send(0x40, true, nullptr, 0);
  if (r != 0) return r;
  CMSG m{};
  if ((r = t.reply(&m, false)) != 0) return r;
  const uint8_t cmd = m.data[0];
  if ((cmd & 0xE0) != 0x40) return t.abort(kAbortCommand);
  const bool size_given = (cmd & 0x01) != 0;
  if ((cmd & 0x02) != 0) {
    const size_t n = size_given ? 4u - ((cmd >> 2) & 3u) : 4u;
    if (n > size) return t.abort(kAbortTooLong);
    if (n > 0) std::memcpy(out, &m.data[4], n);
    if (length != nullptr) *length = n;
    return 0;
  }
  const size_t announced = SdoAccess::le32(&m.data[4]);
  if (size_given && announced > size) return t.abort(kAbortTooLong);
  size_t got = 0;
  uint8_t toggle = 0;
  for (;;) {
    if ((r = t.send(static_cast<uint8_t>(0x60 | toggle), false, nullptr, 0)) != 0) return r;
    if ((r = t.reply(&m, true)) != 0) return r;
    const uint8_t seg = m.data[0];
    if ((seg & 0xE0) != 0x00) return t.abort(kAbortCommand);
    if ((seg & 0x10) != toggle) return t.abort(kAbortToggle);
    const size_t n = 7u - ((seg >> 1) & 7u);
    if (got + n > size) return t.abort(kAbortTooLong);
    std::memcpy(out + got, &m.data[1], n);
    got += n;
    if (length != nullptr) *length = got;
    if ((seg & 0x01) != 0) break;
    toggle ^= 0x10;
  }
  if (size_given && got != announced) return static_cast<int>(kAbortLength);
  return 0;
}

int D_can::sdo_download(int index, int subindex, const void* data, size_t size) {
  const auto* in = static_cast<const uint8_t*>(data);
  if (data == nullptr && size > 0) return NTCAN_INVALID_PARAMETER;
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  if (size > 0xFFFFFFFFu) return static_cast<int>(kAbortTooLong);
  Transfer t(this, index, subindex);
  if (!t.started()) return NTCAN_OPERATION_ABORTED;
  CMSG m{};
  int r = 0;
  if (size > 0 && size <= 4) {
    // Expedited, size given: 0x23 with the count of unused bytes in bits 2..3.
    const auto cmd = static_cast<uint8_t>(0x23 | ((4 - size) << 2));
    if ((r = t.send(cmd, true, in, size)) != 0) return r;
    if ((r = t.reply(&m, false)) != 0) return r;
    return m.data[0] == 0x60 ? 0 : t.abort(kAbortCommand);
  }
  const uint8_t len[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                          static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
  if ((r = t.send(0x21, true, len, sizeof len)) != 0) return r;
  if ((r = t.reply(&m, false)) != 0) return r;
  if (m.data[0] != 0x60) return t.abort(kAbortCommand);
  size_t sent = 0;
  uint8_t toggle = 0;
  // A value of zero bytes goes as one last segment without data.
  do {
    const size_t n = std::min<size_t>(7, size - sent);
    const bool last = sent + n == size;
    const auto cmd = static_cast<uint8_t>(toggle | ((7 - n) << 1) | (last ? 0x01 : 0x00));
    if ((r = t.send(cmd, false, in + sent, n)) != 0) return r;
    if ((r = t.reply(&m, true)) != 0) return r;
    if ((m.data[0] & 0xE0) != 0x20) return t.abort(kAbortCommand);
    if ((m.data[0] & 0x10) != toggle) return t.abort(kAbortToggle);
    sent += n;
    toggle ^= 0x10;
  } while (sent < size);
  return 0;
}
