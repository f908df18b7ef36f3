// The node property D_can: construction with its sub-properties, the framework entry points,
// accessors and the CANopen NMT commands; the sub-property classes D_Alive (construction and
// the node-state text), D_canint (.START/.STOP/.RESET) and D_canactive (.ACTIVE).
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "D_esdcan.h"
#include "registry.h"
#include "sdo_port.h"

namespace {

// .DEBUG_ID. It is owned by the location of the first node property; when the location deletes
// it, the process-wide pointer must not dangle (the receive cycle reads it), so the property
// clears the pointer itself.
class DebugId : public D_iiii {
 public:
  using D_iiii::D_iiii;
  ~DebugId() override {
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    if (D_can::canIdent_debug_ == this) D_can::canIdent_debug_ = nullptr;
  }
};

// .MANU, .HWVER, .SWVER: a text of at most 63 characters (a longer one, from a client, keeps its
// first 63), held by the property itself: empty and short texts take no heap block.
class IdentityText : public D_string {
 public:
  static constexpr size_t kMax = 63;
  using D_string::D_string;
  void set_value(const std::string& s) override { D_string::set_value(s.substr(0, kMax)); }
};

// Hands a freshly created sub-property to the location, which deletes it with itself. Without
// a location nobody deletes it: sub-properties live as long as the process.
template <class P>
P* adopt(std::unique_ptr<P> p, EqFct* ef) {
  if (ef != nullptr) ef->own(p.get());
  return p.release();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// D_Alive

D_Alive::D_Alive(const std::string& pn, int* alive, D_can* can, EqFct* efp)
    : D_int_ptr(pn, alive, efp), can_(can), eq_fct_(efp) {}

D_Alive::~D_Alive() = default;

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  if (can_ == nullptr || can_->modul_condition_ == nullptr) return;
  // The CANopen state without the guarding toggle bit and the upper bits.
  const char* text;
  switch (s & 0x0F) {
    case 4:
      text = "Stopped";
      break;
    case 5:
      text = "Operational";
      break;
    case 15:
      text = "Preoperational";
      break;
    case 2:
      text = "Error";
      break;
    default:
      text = "default Error";
      break;
  }
  can_->modul_condition_->set_value(text);
}

// ---------------------------------------------------------------------------------------------
// D_canint, D_canactive

D_canint::D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp)
    : tavik::D_value<int>(pn, efp), todo_(todo), can_(can), eq_fct_(efp) {}

D_canint::~D_canint() = default;

void D_canint::set_value(int i) {
  tavik::D_value<int>::set_value(i);
  if (can_ == nullptr) return;
  // Every write sends the command once; the client is not told its result.
  switch (todo_) {
    case 0:
      (void)can_->start_node();
      break;
    case 1:
      (void)can_->stop_node();
      break;
    case 2:
      (void)can_->reset_node();
      break;
    default:
      break;
  }
}

D_canactive::D_canactive(const std::string& pn, EqFct* efp) : tavik::D_value<int>(pn, efp) {
  // Through the ordinary update, so that time stamp and history see the start value.
  tavik::D_value<int>::set_value(0);
}

D_canactive::~D_canactive() = default;

// ---------------------------------------------------------------------------------------------
// D_can: construction

D_can::D_can(const std::string& pn, EqFct* ef) : D_fct(pn, ef, 0), efp_(ef) {
  construct(pn);
}

void D_can::construct(const std::string& pn) {
  canhandle_ = -1;
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;

  const std::string base = pn.substr(0, pn.find(' '));

  baudrate_ = adopt(std::make_unique<D_int>(base + ".BAUDRATE default 6 == 125KB ", efp_), efp_);
  // Bound to its own integer until attachment binds it to the node-state integer.
  alive_ = adopt(std::make_unique<D_Alive>(base + ".ALIVE ", nullptr, this, efp_), efp_);
  modul_condition_ = adopt(std::make_unique<D_string>(base + ".CONDITION ", efp_), efp_);
  manu_ = adopt(std::make_unique<IdentityText>(base + ".MANU Manufacture device name", efp_), efp_);
  hwver_ = adopt(std::make_unique<IdentityText>(base + ".HWVER hardware version", efp_), efp_);
  swver_ = adopt(std::make_unique<IdentityText>(base + ".SWVER software version", efp_), efp_);
  start_node_ = adopt(std::make_unique<D_canint>(base + ".START can node", 0, this, efp_), efp_);
  stop_node_ = adopt(std::make_unique<D_canint>(base + ".STOP can node", 1, this, efp_), efp_);
  reset_node_ = adopt(std::make_unique<D_canint>(base + ".RESET can node", 2, this, efp_), efp_);
  active_ = adopt(std::make_unique<D_canactive>(base + ".ACTIVE is the master", efp_), efp_);

  // The receive thread reads the pointer under mx_loop; the property itself is created outside
  // the lock, since creating it registers it with the location.
  bool first;
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    first = canIdent_debug_ == nullptr;
  }
  if (first) {
    D_iiii* dbg =
        adopt(std::make_unique<DebugId>(base + ".DEBUG_ID to print this ID data", efp_), efp_);
    std::lock_guard<std::mutex> lk(mx_loop);
    canIdent_debug_ = dbg;
  }
}

D_can::~D_can() {
  // A transfer of this property on another thread ends before anything here is freed; none
  // starts any more.
  SdoAccess::close_begin(this);
  {
    // The receive cycle walks can_list under mx_loop: after this block it never reaches us, nor
    // the handle closed below.
    std::lock_guard<std::mutex> lk(mx_loop);
    auto it = std::find(can_list.begin(), can_list.end(), this);
    if (it != can_list.end()) {
      can_list.erase(it);
      orphan_followers();
    }
  }
  // An SDO transfer left open (initiateUpload without the reply reads) must not keep the node's
  // handle from the receive cycle and other properties.
  SdoAccess::end(this);
  can_close();
  {
    // can_close leaves a property without a handle in the lists; nothing may point here now.
    std::lock_guard<std::mutex> lk(mx_loop);
    for (auto* v : {&direct_list, &orphan_list}) {
      v->erase(std::remove(v->begin(), v->end(), this), v->end());
    }
    if (share_ && !share_is_own_) {
      auto& f = share_->followers;
      f.erase(std::remove(f.begin(), f.end(), this), f.end());
    }
  }
  // The sub-properties stay with the location and may outlive this property: cut their links
  // to it, and rebind .ALIVE to its own integer before the shared one may be freed.
  if (alive_ != nullptr) {
    alive_->set_ptr(nullptr);
    alive_->can_ = nullptr;
  }
  for (D_canint* c : {start_node_, stop_node_, reset_node_}) {
    if (c != nullptr) c->can_ = nullptr;
  }
  SdoAccess::close_end(this);
}

// ---------------------------------------------------------------------------------------------
// D_can: framework entry points

void D_can::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  IIII v;
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    v = canIdent_;
  }
  if (res != nullptr) res->set(v);
}

void D_can::set(EqAdr*, EqData* ed, EqData*, EqFct*) {
  // Input of another type carries no record and changes nothing.
  set_value(ed != nullptr ? ed->get_iiii() : nullptr);
}

void D_can::get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr) {
  IIII v;
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    v = canIdent_;
  }
  res->set(v.i1_data, static_cast<float>(v.i2_data), static_cast<float>(v.i3_data),
           static_cast<time_t>(static_cast<long>(v.i4_data)),
           std::string(addr != nullptr ? addr : ""), *i);
}

void D_can::conf(Config* conf) {
  conf_insert(conf, DATA_IIII);
}

void D_can::read() {
  IIII v;
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    v = canIdent_;
  }
  try {
    D_conf_struct* c = find_prop_name();
    if (c != nullptr && c->found) {
      const std::vector<int>& a = c->d_int_array;
      int32_t* f[4] = {&v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data};
      for (size_t k = 0; k < 4 && k < a.size(); ++k) *f[k] = a[k];
    }
  } catch (const std::exception& e) {
    // A failing configuration lookup must not take the server down at start-up.
    tavik::printtostderr("read", e.what(), DF_LOG);
  }
  // Signed comparisons: negative values stay as they are.
  if (v.i1_data > 20) v.i1_data = 0;
  if (v.i2_data > 2000) v.i2_data = 0;
  if (v.i3_data > 2000) v.i3_data = 0;
  if (v.i4_data > 2000) v.i4_data = 0;
  std::lock_guard<std::mutex> lk(mx_loop);
  canIdent_ = v;
}

void D_can::write(std::ostream& ofile) {
  D_fct::write(ofile);
  IIII v;
  {
    std::lock_guard<std::mutex> lk(mx_loop);
    v = canIdent_;
  }
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", v.i1_data, v.i2_data, v.i3_data,
                        v.i4_data);
  if (n < 0) return;
  const size_t len = std::min(static_cast<size_t>(n), sizeof buf - 1);
  ofile.write(buf, static_cast<std::streamsize>(len));
  ofile.flush();
  dump(std::string(buf, len));
}

// ---------------------------------------------------------------------------------------------
// D_can: accessors

NTCAN_HANDLE D_can::handle() {
  canline* l = pline_.load();
  if (l != nullptr && l->handle() > 0) return canhandle_.load();
  return -1;
}

bool D_can::isactive() {
  return active_ != nullptr && active_->get_value() != 0;
}

IIII D_can::value() const {
  return canIdent_;
}

// The result code of the node's last receive; -1 while the property has no receive buffer.
// The receive cycle stores it atomically from its own thread.
int D_can::can_return() const {
  return can_ret_ != nullptr ? __atomic_load_n(can_ret_, __ATOMIC_ACQUIRE) : -1;
}

// ---------------------------------------------------------------------------------------------
// D_can: NMT commands

int D_can::nmt(unsigned char command) {
  CMSG frame{};
  frame.id = 0;
  frame.len = 2;
  frame.data[0] = command;
  // Node 0 addresses every node of the line.
  frame.data[1] = static_cast<uint8_t>(canIdent_.i2_data & 0xFF);
  const NTCAN_HANDLE h = handle();
  if (h < 0) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return note_result(canSend(h, &frame, &count), h);
}

int D_can::start_node() {
  return nmt(1);
}
int D_can::stop_node() {
  return nmt(2);
}
int D_can::reset_node() {
  return nmt(0x81);
}
