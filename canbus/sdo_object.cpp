// SDO upload and download of any object of the node, expedited or segmented, with abort codes
// as results. The transfers hold the node's handle as the identity uploads do (sdo_port.cpp).
//
// Replies are frames from 0x580 + node. An initiate reply or abort for another object (a late
// one of an earlier transfer) is passed over; a segment reply with the wrong toggle, or a reply
// of the wrong kind, makes this client abort the transfer. So does a silent node.
#include <algorithm>
#include <cstring>

#include "D_esdcan.h"
#include "cob_id.h"
#include "sdo_transfer.h"

namespace {

constexpr uint32_t kAbortToggle = 0x05030000;
constexpr uint32_t kAbortCommand = 0x05040001;
constexpr uint32_t kAbortLength = 0x06070010;
constexpr uint32_t kAbortTooLong = 0x06070012;

using Transfer = SdoTransfer;

}  // namespace

int D_can::sdo_upload(int index, int subindex, void* buffer, size_t size, size_t* length) {
  return sdo_counted(canIdent_.i2_data, index, subindex, "upload",
                     [&] { return upload_object(index, subindex, buffer, size, length); });
}

int D_can::sdo_download(int index, int subindex, const void* data, size_t size) {
  return sdo_counted(canIdent_.i2_data, index, subindex, "download",
                     [&] { return download_object(index, subindex, data, size); });
}

int D_can::upload_object(int index, int subindex, void* buffer, size_t size, size_t* length) {
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

int D_can::download_object(int index, int subindex, const void* data, size_t size) {
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
