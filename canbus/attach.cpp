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
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "D_esdcan.h"
#include "registry.h"
#include "sdo_port.h"

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

namespace {

void erase_from(std::vector<D_can*>& v, D_can* p) {
  v.erase(std::remove(v.begin(), v.end(), p), v.end());
}

// What became of a node's handle after its line was reopened: alive (it keeps its queue and its
// identifiers), dead (its status fails while the line's own handle answers), or not known yet
// (the line fails as well just now).
enum class Probe { kAlive, kDead, kUnknown };
Probe probe(NTCAN_HANDLE h, NTCAN_HANDLE line_handle) {
  CAN_IF_STATUS st{};
  if (canStatus(h, &st) == NTCAN_SUCCESS) return Probe::kAlive;
  return canStatus(line_handle, &st) == NTCAN_SUCCESS ? Probe::kDead : Probe::kUnknown;
}

}  // namespace

void D_can::forget_shared() {
  if (share_ && !share_is_own_) erase_from(share_->followers, this);
  erase_from(orphan_list, this);
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;
  share_.reset();
  share_is_own_ = false;
  // alive_hold_ stays: .ALIVE remains bound to the node-state integer it showed.
}

int D_can::close_own(NTCAN_HANDLE h, bool report) {
  const int r = canClose(h);
  if (r != 0 && report) {
    tavik::printtostderr("D_can::can_close returned: ",
                         can_error_str(static_cast<unsigned long>(static_cast<long>(r))), DF_LOG);
  }
  TAVIKsleep(0, 5000);
  return r;
}

void D_can::remember(int ident) {
  if (ident < 0 || ident > 0x7FF) return;
  std::lock_guard<std::mutex> lk(ids_mx_);
  if (std::find(ids_.begin(), ids_.end(), ident) == ids_.end()) ids_.push_back(ident);
}

void D_can::forget(int ident) {
  std::lock_guard<std::mutex> lk(ids_mx_);
  ids_.erase(std::remove(ids_.begin(), ids_.end(), ident), ids_.end());
}

void D_can::enable_remembered(NTCAN_HANDLE h) {
  std::vector<int> ids;
  {
    std::lock_guard<std::mutex> lk(ids_mx_);
    ids = ids_;
  }
  for (int id : ids) canIdAdd(h, id);
}

int D_can::note_result(int r, NTCAN_HANDLE h) {
  // Only about the handle held now: a call on a handle replaced meanwhile says nothing.
  if (r == NTCAN_INVALID_HANDLE && h > 0 && h == canhandle_.load()) invalid_seen_ = true;
  return r;
}

void D_can::follow(D_can* t) {
  const NTCAN_HANDLE mh = t->handle();
  const NTCAN_HANDLE mine = canhandle_.load();
  if (own_handle_ && mine > 0 && mine != mh) close_own(mine);
  own_handle_ = false;
  forget_shared();
  erase_from(direct_list, this);
  pline_ = t->pline_.load();
  canhandle_ = mh;
  gen_ = t->gen_.load();
  share_ = t->share_;
  share_->followers.push_back(this);
  rxmsg_ = t->rxmsg_;
  can_ret_ = t->can_ret_;
  rxmsg_len_ = t->rxmsg_len_;
  bind_alive(t->alive_hold_);
  attached_ = true;
}

void D_can::orphan_followers() {
  if (!share_is_own_ || !share_) return;
  // Nobody fills the buffer any more: its readers see no frames and "no handle" until a master
  // fills it again or they follow another master.
  __atomic_store_n(&share_->count, -1, __ATOMIC_RELEASE);
  __atomic_store_n(&share_->ret, NTCAN_INVALID_HANDLE, __ATOMIC_RELEASE);
  for (D_can* f : share_->followers) orphan_list.push_back(f);
  share_->followers.clear();
}

void D_can::keep_open() {
  canline* l = pline_.load();
  if (l == nullptr || !attached_.load()) return;
  const NTCAN_HANDLE lh = l->handle();
  if (lh <= 0) return;  // the supervision thread has not reopened the line yet
  const uint64_t g = l->generation();
  const NTCAN_HANDLE h0 = canhandle_.load();
  if (h0 > 0 && !invalid_seen_.load() && (h0 == lh || gen_.load() == g)) {
    sync_followers();  // the usual case: nothing to renew
    return;
  }
  // An attachment or close in progress on another thread goes first; the next cycle looks again.
  std::unique_lock<std::mutex> ol(open_mx_, std::try_to_lock);
  if (!ol.owns_lock()) return;
  const NTCAN_HANDLE h = canhandle_.load();
  bool renew = h <= 0 || (h != lh && invalid_seen_.load());
  if (!renew && h != lh && gen_.load() != g) {
    // Reopened line: a handle that still works keeps its queue and identifiers.
    const Probe p = probe(h, lh);
    renew = p == Probe::kDead;
    if (p == Probe::kAlive) gen_ = g;
  }
  if (renew) {
    NTCAN_HANDLE nh = -1;
    if (l->can_open(nh, true) != 0) return;  // reported by the line; tried again next cycle
    // Every identifier of the group is enabled before anybody uses the new handle.
    enable_remembered(nh);
    if (share_is_own_ && share_) {
      for (D_can* f : share_->followers) f->enable_remembered(nh);
    }
    // The old handle may be gone with the driver already: its close result says nothing.
    if (own_handle_ && h > 0) close_own(h, false);
    own_handle_ = true;
    canhandle_ = nh;
    gen_ = g;
    invalid_seen_ = false;
    char msg[120];
    std::snprintf(msg, sizeof msg, "Line : %d node: %d handle: %d renewed: %d", canIdent_.i1_data,
                  canIdent_.i2_data, h, nh);
    tavik::printtostderr("D_can::keep_open", msg, DF_LOG);
  }
  sync_followers();
}

void D_can::sync_followers() {
  if (!share_is_own_ || !share_) return;
  // Followers share the master's working handle, with their identifiers enabled on it.
  const NTCAN_HANDLE mh = canhandle_.load();
  if (mh <= 0) return;
  canline* l = pline_.load();
  for (D_can* f : share_->followers) {
    if (f->canhandle_.load() == mh) continue;
    std::unique_lock<std::mutex> fl(f->open_mx_, std::try_to_lock);
    if (!fl.owns_lock()) continue;
    f->enable_remembered(mh);
    f->pline_ = l;
    f->canhandle_ = mh;
    f->gen_ = gen_.load();
  }
}

void D_can::adopt_orphans() {
  for (size_t i = 0; i < orphan_list.size();) {
    D_can* o = orphan_list[i];
    std::unique_lock<std::mutex> ol(o->open_mx_, std::try_to_lock);
    if (o == this || !ol.owns_lock() || !o->attached_.load() ||
        o->canIdent_.i1_data != canIdent_.i1_data || o->canIdent_.i2_data != canIdent_.i2_data) {
      ++i;
      continue;
    }
    o->follow(this);     // takes o off the orphan list
    o->canhandle_ = -1;  // sync_followers enables its identifiers on the master's handle
  }
  sync_followers();
}

// ---------------------------------------------------------------------------------------------

int D_can::can_open() {
  std::lock_guard<std::mutex> ol(open_mx_);
  const int lineno = canIdent_.i1_data;
  const NTCAN_HANDLE before = canhandle_.load();
  // canhandle_ is read by the receive thread: the line works on a local copy.
  NTCAN_HANDLE h = before;
  canline* line = nullptr;
  bool created = false;
  int r = 0;
  uint64_t gen = 0;
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
  bool stale = false;
  if (!created) {
    // A handle opened before the line's own handle was last (re)opened may be gone with the
    // driver (which never reuses a number), as may one the driver called invalid: ask for a new
    // one instead of keeping it.
    const NTCAN_HANDLE lh = line->handle();
    gen = line->generation();
    Probe p = Probe::kAlive;
    if (h > 0 && lh > 0 && h != lh && gen_.load() != gen) p = probe(h, lh);
    if (p == Probe::kUnknown) gen = gen_.load();  // looked at again by the receive cycle
    stale = h > 0 && lh > 0 && h != lh && (invalid_seen_.load() || p == Probe::kDead);
    if (stale) h = -1;
    r = line->can_open(h, false);
  }

  if (h != before) {
    // A handle of our own that the line replaced or dropped (line not open) would stay open
    // with the driver, its queue filling for nobody: give it back.
    if (own_handle_ && before > 0) close_own(before, !stale);
    own_handle_ = h > 0 && h != line->handle();
  }
  canhandle_ = h;
  pline_ = line;
  gen_ = (h > 0 && h == line->handle()) ? line->generation() : gen;
  if (h > 0 && h != before) {
    invalid_seen_ = false;
    // A renewed handle gets the identifiers the old one had.
    if (before > 0) enable_remembered(h);
  }
  return r;
}

int D_can::can_close() {
  // A transfer of this property on another thread (a boot configuration, say) ends with an
  // error first and none starts until the close is done: it would read share_ and the handle
  // while they change.
  SdoAccess::close_begin(this);
  struct CloseEnd {
    const D_can* p;
    ~CloseEnd() { SdoAccess::close_end(p); }
  } close_end{this};
  {
    // From here on the receive cycle neither renews this property's handle nor hands it one.
    // A master keeps its buffer (its followers may still read it, and it reuses it when it
    // attaches again); everybody else only forgets the copies. Under mx_loop, like every change
    // of the buffer pointers, so that a can_array on another thread never sees them half-changed.
    std::lock_guard<std::mutex> lk(mx_loop);
    attached_ = false;
    erase_from(direct_list, this);
    if (!share_is_own_) forget_shared();
  }
  {
    // A closed property has no identifiers: the next attachment enables what it asks for.
    std::lock_guard<std::mutex> lk(ids_mx_);
    ids_.clear();
  }
  std::lock_guard<std::mutex> ol(open_mx_);
  const NTCAN_HANDLE h = canhandle_.load();
  if (h == -1) return 0;
  int r = 0;
  canline* line = pline_.load();
  // Only a handle this property opened itself goes back to the driver; a follower's copy of its
  // master's handle and the line's own handle stay open.
  if (own_handle_ && !(line != nullptr && h == line->handle())) r = close_own(h);
  own_handle_ = false;
  canhandle_ = -1;
  return r;
}

int D_can::AddIdent(int ident) {
  // Remembered also when the line is not open: it is enabled when the handle is renewed.
  remember(ident);
  const int r = canIdAdd(handle(), ident);
  return r == NTCAN_ID_ALREADY_ENABLED ? 0 : r;
}

int D_can::DelIdent(int ident) {
  // Only the master of a node disables identifiers: a follower shares its master's handle.
  if (!isactive() || !share_is_own_) return 0;
  forget(ident);
  return canIdDelete(handle(), ident);
}

int D_can::dellist() {
  if (!isactive()) return 0;
  std::lock_guard<std::mutex> lk(mx_loop);
  if (bad_line()) return 0;
  // This property's own entry only: the entry under its line and node may be another master's.
  auto it = std::find(can_list.begin(), can_list.end(), this);
  if (it != can_list.end()) {
    can_list.erase(it);
    orphan_followers();
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------

void D_can::attach_direct() {
  attached_ = true;
  std::lock_guard<std::mutex> lk(mx_loop);
  // Masters and followers are kept open through the node registry.
  if (share_ != nullptr) return;
  if (std::find(direct_list.begin(), direct_list.end(), this) == direct_list.end()) {
    direct_list.push_back(this);
  }
}

int D_can::init() {
  if (bad_line()) return -1;
  if (alive_ptr_ == nullptr) bind_alive(std::make_shared<int>(0));
  int r = can_open();
  // After the opening: the receive cycle never works on a handle while it is being opened.
  attach_direct();
  if (r != 0) {
    // Enabled by the receive cycle once the line is open again.
    for (int id : {canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data}) {
      if (id > 0) remember(id);
    }
    return r;
  }
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
  attach_direct();
  if (r != 0) {
    if (ident > 0) remember(ident);
    return r;
  }
  return ident > 0 ? AddIdent(ident) : 0;
}

int D_can::open_ahead() {
  // Opening a handle pauses 5 ms. Under mx_loop that pause would hold up the receive cycle and
  // every other attachment, so a property that is going to open one as a new master opens it
  // first, outside the lock; a property in neither list is never touched by the receive cycle.
  // The attachment then finds the handle open. Should another property become the node's master
  // meanwhile, this one follows it and gives the handle back. A failed opening is not tried
  // again by the attachment: the receive cycle opens a handle for a master without one. Followers
  // and orphans are left to the attachment: their masters hand them handles.
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    if (canhandle_.load() > 0 || (share_ && !share_is_own_) ||
        std::find(direct_list.begin(), direct_list.end(), this) != direct_list.end()) {
      return 0;
    }
    for (D_can* c : can_list) {
      if (c == this || (c->canIdent_.i1_data == canIdent_.i1_data &&
                        c->canIdent_.i2_data == canIdent_.i2_data)) {
        return 0;
      }
    }
  }
  {
    // Only on a line that is open: the first attachment on a line creates it, and a line that is
    // down is the attachment's to report.
    std::lock_guard<std::mutex> lk(line_list_mx);
    const auto l = std::find_if(canline_list.begin(), canline_list.end(),
                                [this](canline* c) { return c->line() == canIdent_.i1_data; });
    if (l == canline_list.end() || (*l)->handle() <= 0) return 0;
  }
  return can_open();
}

int D_can::init(int ident) {
  if (bad_line()) return -1;
  const int ahead = open_ahead();
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

  attached_ = true;
  if (t == this) {
    // The master attaching once more, e.g. to enable a further identifier.
    const int r = can_open();
    if (r != 0) return r;
    sync_followers();
  } else if (t != nullptr) {
    // Follower of t: its line, handle, buffer and node-state integer.
    std::lock_guard<std::mutex> ol(open_mx_);
    follow(t);
  } else {
    // Master of its line and node.
    can_list.push_back(this);
    erase_from(direct_list, this);
    // A handle copied from a former master is not ours to use: that master may have closed it,
    // and can_open would keep it without asking the driver.
    const NTCAN_HANDLE mine = canhandle_.load();
    canline* l = pline_.load();
    if (!own_handle_ && mine > 0 && (l == nullptr || l->handle() != mine)) canhandle_ = -1;
    // A buffer is reused only for the line and node it was made for: followers of the old node
    // may still read it, and must not receive another node's frames.
    if (share_is_own_ && share_ &&
        (share_->line != canIdent_.i1_data || share_->node != canIdent_.i2_data)) {
      orphan_followers();
      forget_shared();
    }
    if (!(share_is_own_ && rxmsg_ != nullptr)) {
      // Copies from an earlier follower role are only forgotten; the group frees itself.
      forget_shared();
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
    // line and the receive cycle opens a handle for the master then.
    const int r = ahead != 0 ? ahead : can_open();
    // Followers left behind by an earlier master of this node follow this one.
    adopt_orphans();
    if (r != 0) {
      if (ident > 0) remember(ident);
      return r;
    }
  }
  return ident > 0 ? AddIdent(ident) : 0;
}
