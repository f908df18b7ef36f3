// Bus attachment of a node property: finding or creating its CAN line, obtaining a driver
// handle, enabling identifiers, the master and follower roles of shared attachment with their
// common receive buffer, giving a handle back, and the node registry.
//
// Roles are decided by what a property really holds, not by its .ACTIVE flag alone (which
// stays 1 once a property has been a master): a property is the master of its node when the
// registry entry is the property itself; it owns a receive buffer when it allocated it
// (share_is_own_); it owns a driver handle when it opened it itself and the handle is not the
// line's own (own_handle_). A former master that moved and now follows another master therefore
// never closes that master's handle or removes its registry entry.
//
// Locks: mx_loop guards can_list (and every write of canIdent_); line_list_mx guards
// canline_list. When both are held, mx_loop is taken first.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "D_esdcan.h"
#include "registry.h"

bool D_can::bad_line() const {
  // Unsigned arithmetic: no overflow for any int, and 0 or negative wrap to large values.
  return static_cast<unsigned>(canIdent_.i1_data) - 1u > 19u;
}

void D_can::bind_alive(std::shared_ptr<int> hold) {
  int* p = hold.get();
  // Rebind first: the integer .ALIVE was bound to may be freed with the old hold.
  alive_->set_ptr(p);
  alive_ptr_ = p;
  alive_hold_ = std::move(hold);
}

void D_can::forget_shared() {
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;
  share_.reset();
  share_is_own_ = false;
  // alive_hold_ stays: .ALIVE remains bound to the node-state integer it showed.
}

int D_can::close_own(NTCAN_HANDLE h) {
  const int r = canClose(h);
  if (r != 0) {
    tavik::printtostderr("D_can::can_close returned: ",
                         can_error_str(static_cast<unsigned long>(static_cast<long>(r))), DF_LOG);
  }
  TAVIKsleep(0, 5000);
  return r;
}

// ---------------------------------------------------------------------------------------------

int D_can::can_open() {
  const int lineno = canIdent_.i1_data;
  const NTCAN_HANDLE before = canhandle_.load();
  // canhandle_ is read by the receive thread: the line works on a local copy.
  NTCAN_HANDLE h = before;
  canline* line = nullptr;
  bool created = false;
  int r = 0;
  {
    std::lock_guard<std::mutex> lk(line_list_mx);
    for (canline* l : canline_list) {
      if (l->line() == lineno) {
        line = l;
        break;
      }
    }
    if (line == nullptr) {
      // The first attachment on this line number creates the line. It is entered and its
      // supervision thread started also when it cannot be opened now: the thread reopens it.
      auto nl = std::make_unique<canline>();
      nl->setline(lineno);
      std::string ip;
      nl->getlineip(lineno, ip);
      nl->setlineip(ip);
      const int baud = baudrate_->get_value();
      nl->setbaud(baud != 0 ? baud : NTCAN_BAUD_125);
      r = nl->can_open(h, true);
      canline_list.reserve(canline_list.size() + 1);
      line = nl.release();
      canline_list.push_back(line);
      line->start_thread();
      created = true;
    }
  }
  if (!created) r = line->can_open(h, false);

  if (h != before) {
    // A handle of our own that the line replaced or dropped (line not open) would stay open
    // with the driver, its queue filling for nobody: give it back.
    if (own_handle_ && before > 0) close_own(before);
    own_handle_ = h > 0 && h != line->handle();
  }
  canhandle_ = h;
  pline_ = line;
  return r;
}

int D_can::can_close() {
  const NTCAN_HANDLE h = canhandle_.load();
  if (h == -1) return 0;
  int r = 0;
  canline* line = pline_.load();
  // Only a handle this property opened itself goes back to the driver; a follower's copy of its
  // master's handle and the line's own handle stay open.
  if (own_handle_ && !(line != nullptr && h == line->handle())) r = close_own(h);
  // A master keeps its buffer (its followers may still read it, and it reuses it when it
  // attaches again); everybody else only forgets the copies. Under mx_loop, like every change
  // of the buffer pointers, so that a can_array on another thread never sees them half-changed.
  if (!share_is_own_) {
    std::lock_guard<std::mutex> lk(mx_loop);
    forget_shared();
  }
  own_handle_ = false;
  canhandle_ = -1;
  return r;
}

int D_can::AddIdent(int ident) {
  const int r = canIdAdd(handle(), ident);
  return r == NTCAN_ID_ALREADY_ENABLED ? 0 : r;
}

int D_can::DelIdent(int ident) {
  // Only the master of a node disables identifiers: a follower shares its master's handle.
  if (!isactive() || !share_is_own_) return 0;
  return canIdDelete(handle(), ident);
}

int D_can::dellist() {
  if (!isactive()) return 0;
  std::lock_guard<std::mutex> lk(mx_loop);
  if (bad_line()) return 0;
  // This property's own entry only: the entry under its line and node may be another master's.
  auto it = std::find(can_list.begin(), can_list.end(), this);
  if (it != can_list.end()) can_list.erase(it);
  return 0;
}

// ---------------------------------------------------------------------------------------------

int D_can::init() {
  if (bad_line()) return -1;
  if (alive_ptr_ == nullptr) bind_alive(std::make_shared<int>(0));
  int r = can_open();
  if (r != 0) return r;
  for (int id : {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data}) {
    if (id > 0) {
      r = AddIdent(id);
      if (r != 0) return r;
    }
  }
  return 0;
}

int D_can::init(int ident, int flag) {
  if (flag != 1) {
    (void)init(ident);
    return 0;
  }
  if (bad_line()) return -1;
  if (alive_ptr_ == nullptr) bind_alive(std::make_shared<int>(0));
  const int r = can_open();
  if (r != 0) return r;
  return ident > 0 ? AddIdent(ident) : 0;
}

int D_can::init(int ident) {
  if (bad_line()) return -1;
  // Held for the whole attachment, so that the receive cycle never fills a buffer while the
  // group around it changes.
  std::lock_guard<std::mutex> lk(mx_loop);
  D_can* t = nullptr;
  for (D_can* c : can_list) {
    if (c->canIdent_.i1_data == canIdent_.i1_data && c->canIdent_.i2_data == canIdent_.i2_data) {
      t = c;
      break;
    }
  }

  if (t == this) {
    // The master attaching once more, e.g. to enable a further identifier.
    const int r = can_open();
    if (r != 0) return r;
  } else if (t != nullptr) {
    // Follower of t: its line, handle, buffer and node-state integer.
    const NTCAN_HANDLE mh = t->handle();
    const NTCAN_HANDLE mine = canhandle_.load();
    if (own_handle_ && mine > 0 && mine != mh) close_own(mine);
    own_handle_ = false;
    pline_ = t->pline_.load();
    canhandle_ = mh;
    share_ = t->share_;
    share_is_own_ = false;
    rxmsg_ = t->rxmsg_;
    can_ret_ = t->can_ret_;
    rxmsg_len_ = t->rxmsg_len_;
    bind_alive(t->alive_hold_);
  } else {
    // Master of its line and node.
    can_list.push_back(this);
    // A handle copied from a former master is not ours to use: that master may have closed it,
    // and can_open would keep it without asking the driver.
    const NTCAN_HANDLE mine = canhandle_.load();
    canline* l = pline_.load();
    if (!own_handle_ && mine > 0 && (l == nullptr || l->handle() != mine)) canhandle_ = -1;
    // A buffer is reused only for the line and node it was made for: followers of the old node
    // may still read it, and must not receive another node's frames.
    if (share_is_own_ && share_ &&
        (share_->line != canIdent_.i1_data || share_->node != canIdent_.i2_data)) {
      forget_shared();
    }
    if (!(share_is_own_ && rxmsg_ != nullptr)) {
      // Copies from an earlier follower role are only forgotten; the group frees itself.
      auto s = std::make_shared<RxShare>();
      s->line = canIdent_.i1_data;
      s->node = canIdent_.i2_data;
      rxmsg_ = s->rx;
      can_ret_ = &s->ret;
      rxmsg_len_ = &s->count;
      std::shared_ptr<int> alive(s, &s->alive);
      share_ = std::move(s);
      share_is_own_ = true;
      bind_alive(std::move(alive));
      // "Preoperational" until supervision reports otherwise.
      alive_->set_value(15);
    }
    active_->set_value(1);
    // A failed open leaves the master registered with its buffer: the line's thread reopens the
    // line and the device server attaches again.
    const int r = can_open();
    if (r != 0) return r;
  }
  return ident > 0 ? AddIdent(ident) : 0;
}
