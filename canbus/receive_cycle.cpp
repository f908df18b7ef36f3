// The periodic receive cycle: every registered master takes the frames pending on its handle
// into the receive buffer it shares with its followers; device-server threads copy the buffer
// out with can_array. Optionally the frames of the node selected by .DEBUG_ID are printed.
//
// Locking: D_can::mx_loop guards can_list and every master's buffer content. The cycle holds it
// for one master at a time (fill and print), can_array holds it while copying, so a copy never
// mixes frames of two fills.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "D_esdcan.h"
#include "registry.h"

int can_looping() {
  // The registry may change between two masters (attachment, removal by other threads); it is
  // walked by index and every entry is read and used under the lock, so a removed master is
  // never touched. A removal may make one master miss this cycle; it is filled on the next.
  for (size_t i = 0;; ++i) {
    std::lock_guard<std::mutex> lock(D_can::mx_loop);
    if (i >= can_list.size()) break;
    D_can* t = can_list[i];
    t->keep_open();  // a handle older than the line's, or invalid, is renewed first
    t->can_fill();
    if (TAVIK_debug & DF_DAQ_5) t->can_print();
  }
  for (size_t i = 0;; ++i) {
    std::lock_guard<std::mutex> lock(D_can::mx_loop);
    if (i >= direct_list.size()) break;
    direct_list[i]->keep_open();
  }
  return 0;
}

int can_looping_nodes(D_can* const* props, size_t n) {
  if (n == 0) return 0;
  int filled = 0;
  std::lock_guard<std::mutex> lock(D_can::mx_loop);
  auto fill = [&](D_can* t) {
    t->keep_open();
    t->can_fill();
    if (TAVIK_debug & DF_DAQ_5) t->can_print();
    ++filled;
  };
  for (size_t k = 0; k < n; ++k) {
    D_can* p = props[k];
    // Pointers only: a registered master is found without touching the other masters.
    if (std::find(can_list.begin(), can_list.end(), p) != can_list.end()) {
      fill(p);
      continue;
    }
    if (!p->share_ || p->share_is_own_) continue;  // neither master nor follower now
    for (D_can* t : can_list) {
      if (t->share_ == p->share_) {
        fill(t);
        break;
      }
    }
  }
  return filled;
}

// Called by the receive cycle with mx_loop held. Frames an SDO transfer set aside come first;
// while the transfer runs they are all the fill gets (the handle is the transfer's).
int D_can::can_fill() {
  if (rxmsg_ == nullptr) return -1;
  SdoPort* port = sdo_port();
  std::unique_lock<std::mutex> lk;
  int stashed = 0;
  if (port != nullptr) {
    lk = std::unique_lock<std::mutex>(port->mx);
    stashed = static_cast<int>(std::min(port->stash.size(), static_cast<size_t>(kRxFrames)));
    if (stashed > 0) {
      std::copy_n(port->stash.begin(), stashed, rxmsg_);
      port->stash.erase(port->stash.begin(), port->stash.begin() + stashed);
    }
    if (port->owner != nullptr || stashed == kRxFrames) {
      // A loss still pending is reported with the next frame that comes.
      __atomic_store_n(rxmsg_len_, stashed, __ATOMIC_RELEASE);
      if (can_ret_ != nullptr) __atomic_store_n(can_ret_, NTCAN_SUCCESS, __ATOMIC_RELEASE);
      account_losses(NTCAN_SUCCESS);  // the driver's losses before the frames set aside
      return NTCAN_SUCCESS;
    }
  }
  int count = kRxFrames - stashed;
  int ret = can_get(rxmsg_ + stashed, &count);
  if (port != nullptr && port->stash_lost > 0 && count > 0) {
    // Frames the stash dropped: reported on the first frame after them, as a queue does.
    CMSG& first = rxmsg_[stashed];
    first.msg_lost =
        static_cast<uint8_t>(std::min<uint64_t>(first.msg_lost + port->stash_lost, 255));
    port->stash_lost = 0;
  }
  // Without stashed frames a failed take leaves its -1.
  __atomic_store_n(rxmsg_len_, stashed == 0 ? count : stashed + std::max(count, 0),
                   __ATOMIC_RELEASE);
  if (can_ret_ != nullptr) __atomic_store_n(can_ret_, ret, __ATOMIC_RELEASE);
  account_losses(ret);
  return ret;
}

// Called by can_fill with mx_loop held.
void D_can::account_losses(int ret) {
  if (!share_ || rxmsg_ != share_->rx) return;
  RxShare& s = *share_;
  uint64_t n = 0;
  if (ret == NTCAN_SUCCESS || ret == NTCAN_MESSAGE_LOST) {
    const int count = std::min(__atomic_load_n(rxmsg_len_, __ATOMIC_ACQUIRE), kRxFrames);
    for (int i = 0; i < count; ++i) n += rxmsg_[i].msg_lost;
    if (ret == NTCAN_MESSAGE_LOST && n == 0) n = 1;
  }
  if (n > 0) {
    s.lost.fetch_add(n);
    s.lost_unreported += n;
  }
  if (s.lost_unreported == 0) return;
  constexpr int64_t kReportEveryNs = 1'000'000'000;
  const int64_t now = tavik::clock().now_ns();
  if (s.loss_reported && now - s.last_loss_report_ns < kReportEveryNs) return;
  char msg[120];
  std::snprintf(msg, sizeof msg, "Line : %d node: %d frames lost: %llu", canIdent_.i1_data,
                canIdent_.i2_data, static_cast<unsigned long long>(s.lost_unreported));
  tavik::printtostderr("D_can::can_fill", msg, DF_LOG);
  s.lost_unreported = 0;
  s.last_loss_report_ns = now;
  s.loss_reported = true;
}

uint64_t D_can::frames_lost() const {
  std::lock_guard<std::mutex> lock(mx_loop);
  return share_ ? share_->lost.load() : 0;
}

// `rxmsg` must hold kRxFrames frames.
int D_can::can_array(CMSG* rxmsg, int* length) {
  if (handle() == -1) return -1;
  {
    // The buffer pointers change only under mx_loop (attachment, closing): read them under it.
    std::lock_guard<std::mutex> lock(mx_loop);
    if (rxmsg_len_ == nullptr || rxmsg_ == nullptr) return -1;
    int count = __atomic_load_n(rxmsg_len_, __ATOMIC_ACQUIRE);
    if (count < 0) {
      *length = 0;
    } else {
      count = std::min(count, kRxFrames);
      std::memcpy(rxmsg, rxmsg_, sizeof(CMSG) * static_cast<size_t>(count));
      *length = count;
    }
    return can_ret_ != nullptr ? __atomic_load_n(can_ret_, __ATOMIC_ACQUIRE) : 0;
  }
}

// Called by the receive cycle with mx_loop held, right after the fill.
void D_can::can_print() {
  if (canIdent_debug_ == nullptr || rxmsg_ == nullptr || rxmsg_len_ == nullptr) return;
  IIII sel = canIdent_debug_->value();
  if (sel.i1_data != canIdent_.i1_data || sel.i2_data != canIdent_.i2_data ||
      sel.i3_data != canIdent_.i3_data) {
    return;
  }
  int count = std::min(__atomic_load_n(rxmsg_len_, __ATOMIC_ACQUIRE), kRxFrames);
  for (int i = 0; i < count; ++i) {
    const CMSG& m = rxmsg_[i];
    if (m.id == 0) continue;  // NMT commands seen on the bus
    // A remote request carries 0x10 in its length byte; at most the 8 data bytes are shown.
    int n = std::min(m.len & 0x0F, 8);
    std::string data;
    for (int j = 0; j < n; ++j) {
      char piece[4];
      std::snprintf(piece, sizeof piece, " %02X", m.data[j]);
      data += piece;
    }
    char line[200];
    std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len,
                  data.c_str());
    tavik::printtostderr("can_print", line, DF_LOG);
  }
}
