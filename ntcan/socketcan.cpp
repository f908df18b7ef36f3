// The SocketCAN backend ("socketcan"): the driver's calls on Linux CAN interfaces (any adapter
// with a SocketCAN driver, and vcan).
//
// Nets and interfaces: net n is the interface named by the environment variable
// NTCAN_SOCKETCAN_IF<n> (for instance NTCAN_SOCKETCAN_IF0=vcan0); without it, by the pattern in
// NTCAN_SOCKETCAN_IFNAME with its first "%d" replaced by n, default "can%d" (net 0 is can0).
// The variables are read at every canOpen.
//
// How the calls behave:
//  - canOpen opens a raw CAN socket bound to the net's interface. A missing interface, one that
//    is not a CAN interface or one that is down gives NTCAN_NET_NOT_FOUND; a kernel without
//    SocketCAN gives NTCAN_INVALID_DRIVER. flags and txqueuesize are accepted and ignored (the
//    interface's own transmit queue applies). Handles count up from 1 and are never reused
//    within the process; they are numbers in a table, not file descriptors, so a closed handle
//    can never reach another handle's socket.
//  - The receive queue holds exactly rxqueuesize frames (<= 0 means 100, above 1048576 is
//    NTCAN_INVALID_PARAMETER): it is a ring in the process, filled from the socket at every
//    canRead/canTake/canIdAdd/canIdDelete of the handle. Between those calls frames wait in the
//    socket, whose receive buffer is sized for twice the queue, 16 to 65536 frames (through
//    SO_RCVBUFFORCE; without the privilege for it SO_RCVBUF, which net.core.rmem_max caps).
//    The queue only shrinks inside such a call, so moving the waiting frames in at the next
//    call keeps and drops exactly the frames a queue filled at their arrival would have, as
//    long as the socket holds what arrives between two calls; what it cannot hold the kernel
//    drops and counts (SO_RXQ_OVFL). Every dropped frame, by the ring or by the kernel, shows
//    in msg_lost of the next frame that enters the queue, saturating at 255.
//  - canSetBaudrate accepts the codes 0..14 and changes nothing: the bit rate belongs to the
//    interface's configuration (ip link set can0 type can bitrate 125000), which needs
//    privileges a device server should not have. The code is kept per interface for
//    canGetBaudrate within the process (NTCAN_NO_BAUDRATE before any).
//  - canStatus fails with NTCAN_NET_NOT_FOUND when the interface is gone (or was replaced by a
//    new one of the same name: the handle's socket is then dead), and with NTCAN_CONTR_OFF_BUS
//    when it is down or not running (no carrier: a controller in bus-off drops its carrier), or
//    when the controller reported bus-off in an error frame (CAN_ERR_BUSOFF) and no restart
//    since, so that line supervision closes and reopens the line. Each handle's socket receives
//    the controller's error frames (bus-off, controller state, restart) for this alone; they
//    never reach the receive queue. boardstatus is the controller state those frames last
//    reported (kBoardErrorActive, kBoardErrorWarning, kBoardErrorPassive; a new handle starts
//    error active), boardid the interface name.
//  - canIdAdd/canIdDelete maintain the socket's CAN_RAW_FILTER, one exact filter per 11-bit
//    identifier (data and remote frames); no identifier means no frame. A frame is queued when
//    its identifier was enabled at its arrival. Above 512 identifiers (the kernel's limit) the
//    socket lets every 11-bit frame in and the enabled set is checked in the process. 29-bit
//    frames never arrive, error frames only as the controller state (canStatus).
//  - Frames sent on one handle reach every other handle of the interface (the kernel's local
//    loopback, own frames not received), and the bus.
//  - canRead returns the frames queued at once (up to the count); when none is, it waits up to
//    rxtimeout ms (<= 0: no wait), then NTCAN_RX_TIMEOUT. canClose wakes a waiting reader with
//    NTCAN_OPERATION_ABORTED. canReadTimeout waits the same way up to its own time-out, to the
//    microsecond. canTake never waits. An interface going down while a reader waits
//    is not an error of the read: no frame comes, the read times out, canStatus tells why.
//  - canSend waits for room in the transmit queue up to txtimeout ms (<= 0: no wait), then
//    gives NTCAN_TX_TIMEOUT (also when the interface's queueing discipline keeps dropping the
//    frame, ENOBUFS: retried every millisecond, never an error of the handle); an interface that is
//    down gives NTCAN_CONTR_OFF_BUS, a vanished one NTCAN_NET_NOT_FOUND. If some frames of an array
//    went out before that, the call succeeds with the count of those sent.
//
// Locks: SocketCanBackend::table_mu_ guards the handle table only. Handle::mu guards a handle's
// ring, filter set and loss accounting, and is held only around non-blocking socket calls;
// waits (poll) hold no lock. Lock order: table_mu_ is never held while taking Handle::mu. A
// handle's descriptors are closed when the last call using it returns (shared_ptr), never
// under a running call.
#include "socketcan.h"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend.h"

namespace ntcan::socketcan {

std::string interface_name(int net) {
  if (net < 0) return {};
  const std::string number = std::to_string(net);
  std::string name;
  const std::string per_net_var = "NTCAN_SOCKETCAN_IF" + number;
  const char* per_net = std::getenv(per_net_var.c_str());
  if (per_net && *per_net) {
    name = per_net;
  } else {
    const char* pattern = std::getenv("NTCAN_SOCKETCAN_IFNAME");
    name = (pattern && *pattern) ? pattern : kDefaultIfnamePattern;
    // Plain substitution, never a printf format: the pattern comes from the environment.
    const auto at = name.find("%d");
    if (at != std::string::npos) name.replace(at, 2, number);
  }
  if (name.size() >= IFNAMSIZ) return {};
  return name;
}

can_frame to_can_frame(const CMSG& m) {
  can_frame f{};
  f.can_id = static_cast<canid_t>(m.id) & CAN_SFF_MASK;
  f.can_dlc = static_cast<uint8_t>(std::min(m.len & kDlcMask, 8));
  if (m.len & NTCAN_RTR) {
    f.can_id |= CAN_RTR_FLAG;
  } else {
    std::memcpy(f.data, m.data, f.can_dlc);
  }
  return f;
}

bool from_can_frame(const can_frame& f, CMSG* m) {
  if (f.can_id & (CAN_EFF_FLAG | CAN_ERR_FLAG)) return false;
  *m = CMSG{};
  m->id = static_cast<int32_t>(f.can_id & CAN_SFF_MASK);
  const uint8_t dlc = std::min<uint8_t>(f.can_dlc, 8);
  if (f.can_id & CAN_RTR_FLAG) {
    m->len = static_cast<uint8_t>(dlc | NTCAN_RTR);
  } else {
    m->len = dlc;
    std::memcpy(m->data, f.data, dlc);
  }
  return true;
}

namespace {

constexpr int32_t kDefaultRxQueue = 100;  // frames, for rxqueuesize <= 0
constexpr int32_t kMaxRxQueue = 1 << 20;  // frames
// Frames the socket may hold between two calls: twice the queue, within these bounds (the
// kernel itself never keeps fewer than 6).
constexpr int64_t kMinSocketFrames = 16;
constexpr int64_t kMaxSocketFrames = 1 << 16;
constexpr size_t kMaxKernelFilters = 512;  // CAN_RAW_FILTER_MAX of the kernel
constexpr int kTxRetryMs = 1;              // pause between retries while the device queue is full
constexpr int kFilterWords = (kMaxId + 1) / 64;

using Clock = std::chrono::steady_clock;

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up to the caller.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

struct Handle {
  Handle(int sock_, int wake_, int ifindex_, std::string ifname_, size_t capacity,
         int32_t rxtimeout, int32_t txtimeout)
      : sock(sock_),
        wake(wake_),
        ifindex(ifindex_),
        ifname(std::move(ifname_)),
        rxtimeout_ms(rxtimeout),
        txtimeout_ms(txtimeout),
        ring(capacity) {}

  const Fd sock;  // the raw CAN socket, non-blocking
  const Fd wake;  // eventfd, made readable for good by canClose to wake waiting calls
  const int ifindex;
  const std::string ifname;
  const int32_t rxtimeout_ms;
  const int32_t txtimeout_ms;
  std::atomic<bool> closed{false};

  std::mutex mu;  // guards everything below
  std::vector<CMSG> ring;
  size_t head = 0;
  size_t count = 0;
  std::array<uint64_t, kFilterWords> ids{};  // enabled identifiers
  size_t id_count = 0;
  uint32_t last_drops = 0;             // the socket's drop counter at the last frame it gave us
  uint64_t lost_pending = 0;           // dropped since the last frame that entered the ring
  uint32_t board = kBoardErrorActive;  // controller state from the error frames
  bool bus_off = false;
  // The arrival watcher's slot, if watched: marked for every frame pump() moves into the ring
  // (the socket itself sits in the watcher's epoll set for the frames still in it).
  std::shared_ptr<WatchSlot> watch;

  // Caller holds mu.
  void unwatch() {
    if (!watch) return;
    ::epoll_ctl(watch->core->epoll_fd(), EPOLL_CTL_DEL, sock.get(), nullptr);
    watch.reset();
  }

  // An error frame of the controller. Caller holds mu.
  void note_error(const can_frame& f) {
    if (f.can_id & CAN_ERR_BUSOFF) bus_off = true;
    if (f.can_id & CAN_ERR_RESTARTED) {
      bus_off = false;
      board = kBoardErrorActive;
    }
    if (f.can_id & CAN_ERR_CRTL) {
      const uint8_t c = f.data[1];
      if (c & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) {
        board = kBoardErrorPassive;
      } else if (c & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) {
        board = kBoardErrorWarning;
      } else if (c & CAN_ERR_CRTL_ACTIVE) {
        board = kBoardErrorActive;
        bus_off = false;
      }
    }
  }

  bool wants(int32_t id) const { return (ids[static_cast<size_t>(id) >> 6] >> (id & 63)) & 1u; }

  // Caller holds mu.
  void push(const CMSG& f) {
    if (count == ring.size()) {
      ++lost_pending;
      return;
    }
    CMSG& slot = ring[(head + count) % ring.size()];
    slot = f;
    slot.msg_lost = lost_count(lost_pending);
    lost_pending = 0;
    ++count;
    if (watch) watch->mark(f.id);
  }

  // Caller holds mu.
  int32_t pop(CMSG* out, int32_t max) {
    int32_t n = 0;
    while (n < max && count > 0) {
      out[n++] = ring[head];
      head = (head + 1) % ring.size();
      --count;
    }
    // Frames a read moved in from the socket and took at once arrived for nobody to wake.
    if (count == 0 && watch) watch->clear();
    return n;
  }

  // Moves every frame waiting in the socket into the ring, in arrival order. Caller holds mu.
  void pump() {
    for (;;) {
      can_frame f{};
      iovec iov{&f, sizeof f};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t got = ::recvmsg(sock.get(), &msg, MSG_DONTWAIT);
      if (got < 0) {
        if (errno == EINTR) continue;
        // EAGAIN: empty. ENETDOWN/ENODEV: the interface's state, reported once per event as a
        // socket error; canStatus is where callers learn it.
        return;
      }
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
          uint32_t drops = 0;
          std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
          // The socket's total when this frame was queued (absent while it is 0); it wraps.
          const auto since = static_cast<int32_t>(drops - last_drops);
          if (since > 0) {
            lost_pending += static_cast<uint64_t>(since);
            last_drops = drops;
          }
        }
      }
      if (got == static_cast<ssize_t>(sizeof f) && (f.can_id & CAN_ERR_FLAG)) {
        note_error(f);
        continue;
      }
      CMSG m;
      if (got == static_cast<ssize_t>(sizeof f) && from_can_frame(f, &m) && wants(m.id)) push(m);
    }
  }
};

NTCAN_RESULT from_errno(int err) {
  switch (err) {
    case ENODEV:
    case ENXIO:
      return NTCAN_NET_NOT_FOUND;
    case ENETDOWN:
      return NTCAN_CONTR_OFF_BUS;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
      return NTCAN_INSUFFICIENT_RESOURCES;
    default:  // among them EAFNOSUPPORT: a kernel without SocketCAN
      return NTCAN_INVALID_DRIVER;
  }
}

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// The frames queued at once; when none is, waits until `deadline` for the first one (to the
// nanosecond: ppoll, not poll's whole milliseconds).
NTCAN_RESULT read_until(Handle& h, CMSG* frames, int32_t* count, Clock::time_point deadline) {
  for (;;) {
    if (h.closed.load()) return NTCAN_OPERATION_ABORTED;
    int32_t n = 0;
    {
      std::lock_guard<std::mutex> lock(h.mu);
      h.pump();
      n = h.pop(frames, *count);
    }
    if (n > 0) {
      *count = n;
      return NTCAN_SUCCESS;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() <= 0) return NTCAN_RX_TIMEOUT;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    // The socket was emptied above: it turns readable with the next frame that arrives.
    pollfd fds[2] = {{h.wake.get(), POLLIN, 0}, {h.sock.get(), POLLIN, 0}};
    if (::ppoll(fds, 2, &ts, nullptr) > 0 && (fds[1].revents & (POLLERR | POLLHUP))) {
      // A pending socket error (the interface went down or away) would wake every poll;
      // fetching it clears it, and the read goes on waiting for frames.
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(h.sock.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    }
  }
}

// Interface index and flags of `name`, asked through `sock`; false with errno set if it fails.
bool query_interface(int sock, const std::string& name, int* index, short* flags) {
  ifreq req{};
  std::memcpy(req.ifr_name, name.c_str(), name.size() + 1);
  if (::ioctl(sock, SIOCGIFINDEX, &req) < 0) return false;
  *index = req.ifr_ifindex;
  if (::ioctl(sock, SIOCGIFFLAGS, &req) < 0) return false;
  *flags = req.ifr_flags;
  return true;
}

bool is_can_interface(int sock, const std::string& name) {
  ifreq req{};
  std::memcpy(req.ifr_name, name.c_str(), name.size() + 1);
  return ::ioctl(sock, SIOCGIFHWADDR, &req) == 0 && req.ifr_hwaddr.sa_family == ARPHRD_CAN;
}

template <typename T>
bool set_option(int sock, int level, int name, const T& value) {
  return ::setsockopt(sock, level, name, &value, sizeof value) == 0;
}

class SocketCanBackend final : public Backend {
 public:
  NTCAN_RESULT open(int net, uint32_t /*flags*/, int32_t /*txqueuesize*/, int32_t rxqueuesize,
                    int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle) override {
    if (rxqueuesize > kMaxRxQueue) return NTCAN_INVALID_PARAMETER;
    const std::string name = interface_name(net);
    if (name.empty()) {
      ntcan::set_open_error("SocketCAN: no interface name for net " + std::to_string(net) +
                            " (NTCAN_SOCKETCAN_IF" + std::to_string(net) +
                            " or NTCAN_SOCKETCAN_IFNAME, at most " + std::to_string(IFNAMSIZ - 1) +
                            " characters)");
      return NTCAN_NET_NOT_FOUND;
    }
    // Why the open fails, for canOpenError: the interface tried and the system's answer.
    auto failed = [&](const std::string& why, NTCAN_RESULT r) {
      ntcan::set_open_error("SocketCAN: interface \"" + name + "\" for net " + std::to_string(net) +
                            ": " + why);
      return r;
    };
    auto failed_errno = [&](int err, NTCAN_RESULT r) {
      return failed(std::system_category().message(err), r);
    };

    Fd sock(::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
    if (sock.get() < 0) return failed_errno(errno, from_errno(errno));
    int index = 0;
    short flags = 0;
    if (!query_interface(sock.get(), name, &index, &flags)) {
      const int err = errno;
      return failed_errno(err, err == ENODEV ? NTCAN_NET_NOT_FOUND : from_errno(err));
    }
    if (!is_can_interface(sock.get(), name)) {
      return failed("not a CAN interface", NTCAN_NET_NOT_FOUND);
    }
    if (!(flags & IFF_UP)) return failed("interface is down", NTCAN_NET_NOT_FOUND);

    // Before bind: the socket must never hold a frame of an identifier nobody enabled.
    if (::setsockopt(sock.get(), SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) < 0 ||
        !set_option(sock.get(), SOL_CAN_RAW, CAN_RAW_LOOPBACK, 1) ||
        !set_option(sock.get(), SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 0) ||
        !set_option(sock.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER,
                    can_err_mask_t{CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_RESTARTED}) ||
        !set_option(sock.get(), SOL_SOCKET, SO_RXQ_OVFL, 1)) {
      const int err = errno;
      return failed_errno(err, from_errno(err));
    }
    const int64_t capacity = rxqueuesize <= 0 ? kDefaultRxQueue : rxqueuesize;
    const int64_t socket_frames = std::clamp(2 * capacity, kMinSocketFrames, kMaxSocketFrames);
    // The kernel doubles the value it is given; its queue ends at the first frame that takes
    // the buffer's fill to the buffer's size or beyond.
    const int rcvbuf = static_cast<int>(socket_frames * kBytesPerQueuedFrame / 2);
    if (!set_option(sock.get(), SOL_SOCKET, SO_RCVBUFFORCE, rcvbuf)) {
      set_option(sock.get(), SOL_SOCKET, SO_RCVBUF, rcvbuf);  // capped by rmem_max
    }

    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = index;
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
      const int err = errno;
      return failed_errno(err, err == ENODEV ? NTCAN_NET_NOT_FOUND : from_errno(err));
    }
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.get() < 0) {
      const int err = errno;
      return failed_errno(err, from_errno(err));
    }

    auto h = std::make_shared<Handle>(sock.release(), wake.release(), index, name,
                                      static_cast<size_t>(capacity), rxtimeout, txtimeout);
    std::lock_guard<std::mutex> lock(table_mu_);
    if (last_handle_ == INT32_MAX) return NTCAN_INSUFFICIENT_RESOURCES;
    *handle = ++last_handle_;
    table_.emplace(*handle, std::move(h));
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT close(NTCAN_HANDLE number) override {
    std::shared_ptr<Handle> h;
    {
      std::lock_guard<std::mutex> lock(table_mu_);
      auto it = table_.find(number);
      if (it == table_.end()) return NTCAN_INVALID_HANDLE;
      h = std::move(it->second);
      table_.erase(it);
    }
    h->closed.store(true);
    {
      std::lock_guard<std::mutex> lock(h->mu);
      h->unwatch();
    }
    const uint64_t one = 1;
    // The eventfd stays readable from now on: every present and later wait returns.
    [[maybe_unused]] ssize_t n = ::write(h->wake.get(), &one, sizeof one);
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT set_baudrate(NTCAN_HANDLE number, uint32_t baud) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(baud_mu_);
    bauds_[h->ifname] = baud;
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT get_baudrate(NTCAN_HANDLE number, uint32_t* baud) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(baud_mu_);
    auto it = bauds_.find(h->ifname);
    *baud = it == bauds_.end() ? NTCAN_NO_BAUDRATE : it->second;
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT status(NTCAN_HANDLE number, CAN_IF_STATUS* cstat) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    int index = 0;
    short flags = 0;
    if (!query_interface(h->sock.get(), h->ifname, &index, &flags)) {
      return errno == ENODEV ? NTCAN_NET_NOT_FOUND : from_errno(errno);
    }
    if (index != h->ifindex) return NTCAN_NET_NOT_FOUND;
    if (!(flags & IFF_UP) || !(flags & IFF_RUNNING)) return NTCAN_CONTR_OFF_BUS;
    uint32_t board = kBoardErrorActive;
    {
      // The error frames that came since the last call tell the controller's state.
      std::lock_guard<std::mutex> lock(h->mu);
      h->pump();
      if (h->bus_off) return NTCAN_CONTR_OFF_BUS;
      board = h->board;
    }
    *cstat = CAN_IF_STATUS{};
    cstat->boardstatus = board;
    cstat->hardware = 0x0100;  // versions as 0xMMmm
    cstat->firmware = 0x0100;
    cstat->driver = 0x0100;
    cstat->dll = 0x0100;
    std::memcpy(cstat->boardid, h->ifname.c_str(),
                std::min(h->ifname.size(), sizeof cstat->boardid - 1));
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT id_add(NTCAN_HANDLE number, int32_t id) override {
    return change_filter(number, id, true);
  }

  NTCAN_RESULT id_delete(NTCAN_HANDLE number, int32_t id) override {
    return change_filter(number, id, false);
  }

  NTCAN_RESULT send(NTCAN_HANDLE number, const CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(h->txtimeout_ms, 0));
    int32_t sent = 0;
    NTCAN_RESULT r = NTCAN_SUCCESS;
    while (sent < *count) {
      if (h->closed.load()) {
        r = NTCAN_INVALID_HANDLE;
        break;
      }
      const can_frame f = to_can_frame(frames[sent]);
      if (::send(h->sock.get(), &f, sizeof f, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof f)) {
        ++sent;
        continue;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN && err != ENOBUFS) {
        r = err == ENETDOWN                   ? NTCAN_CONTR_OFF_BUS
            : (err == ENODEV || err == ENXIO) ? NTCAN_NET_NOT_FOUND
                                              : NTCAN_TX_ERROR;
        break;
      }
      const int left = remaining_ms(deadline);
      if (left == 0) {
        r = NTCAN_TX_TIMEOUT;
        break;
      }
      // A full socket buffer (EAGAIN) signals room with POLLOUT; a full device queue (ENOBUFS)
      // signals nothing, so that case retries after a short pause. canClose ends either wait.
      pollfd fds[2] = {{h->wake.get(), POLLIN, 0}, {h->sock.get(), POLLOUT, 0}};
      ::poll(fds, err == EAGAIN ? 2 : 1, err == EAGAIN ? left : std::min(left, kTxRetryMs));
    }
    if (sent > 0) {
      *count = sent;
      return NTCAN_SUCCESS;
    }
    return r;
  }

  NTCAN_RESULT read(NTCAN_HANDLE number, CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    return read_until(*h, frames, count,
                      Clock::now() + std::chrono::milliseconds(std::max(h->rxtimeout_ms, 0)));
  }

  NTCAN_RESULT read_timeout(NTCAN_HANDLE number, CMSG* frames, int32_t* count,
                            int64_t timeout_us) override {
    auto h = find(number);
    if (!h) return NTCAN_INVALID_HANDLE;
    return read_until(*h, frames, count,
                      Clock::now() + std::chrono::microseconds(std::max<int64_t>(timeout_us, 0)));
  }

  NTCAN_RESULT take(NTCAN_HANDLE number, CMSG* frames, int32_t* count) override {
    auto h = find(number);
    if (!h || h->closed.load()) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(h->mu);
    h->pump();
    *count = h->pop(frames, *count);
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT watch(NTCAN_HANDLE number, const std::shared_ptr<WatchSlot>& slot) override {
    auto h = find(number);
    if (!h || h->closed.load()) return NTCAN_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->watch) return h->watch->core == slot->core ? NTCAN_SUCCESS : NTCAN_WRONG_DEVICE_STATE;
    // Edge-triggered: every frame the socket receives wakes the waiter, also while earlier ones
    // still wait in it; a socket with frames in it at this point is reported at once.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = static_cast<uint64_t>(number);
    if (::epoll_ctl(slot->core->epoll_fd(), EPOLL_CTL_ADD, h->sock.get(), &ev) < 0) {
      return from_errno(errno);
    }
    h->watch = slot;
    for (size_t i = 0; i < h->count; ++i) slot->mark(h->ring[(h->head + i) % h->ring.size()].id);
    return NTCAN_SUCCESS;
  }

  void drain(NTCAN_HANDLE number) override {
    auto h = find(number);
    if (!h || h->closed.load()) return;
    std::lock_guard<std::mutex> lock(h->mu);
    h->pump();
  }

  void unwatch(NTCAN_HANDLE number, const WatchCore* core) override {
    auto h = find(number);
    if (!h) return;
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->watch && h->watch->core.get() == core) h->unwatch();
  }

  std::string net_name(int net) const override {
    const std::string name = interface_name(net);
    return name.empty() ? Backend::net_name(net) : name;
  }

 private:
  std::mutex baud_mu_;
  std::unordered_map<std::string, uint32_t> bauds_;  // the code last set, per interface

  std::shared_ptr<Handle> find(NTCAN_HANDLE number) {
    std::lock_guard<std::mutex> lock(table_mu_);
    auto it = table_.find(number);
    return it == table_.end() ? nullptr : it->second;
  }

  static NTCAN_RESULT change_filter(const std::shared_ptr<Handle>& h, int32_t id, bool enable) {
    std::lock_guard<std::mutex> lock(h->mu);
    uint64_t& word = h->ids[static_cast<size_t>(id) >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    if (enable == static_cast<bool>(word & bit)) {
      return enable ? NTCAN_ID_ALREADY_ENABLED : NTCAN_ID_NOT_ENABLED;
    }
    // Frames that arrived before the change are judged by the set they arrived under.
    h->pump();
    const uint64_t old = word;
    word = enable ? (old | bit) : (old & ~bit);
    const size_t ids = enable ? h->id_count + 1 : h->id_count - 1;
    if (!apply_filter(*h, ids)) {
      const int err = errno;
      word = old;
      return from_errno(err);
    }
    h->id_count = ids;
    return NTCAN_SUCCESS;
  }

  NTCAN_RESULT change_filter(NTCAN_HANDLE number, int32_t id, bool enable) {
    auto h = find(number);
    return h ? change_filter(h, id, enable) : NTCAN_INVALID_HANDLE;
  }

  // Caller holds h.mu; h.ids already holds the new set of `count` identifiers.
  static bool apply_filter(const Handle& h, size_t count) {
    std::vector<can_filter> filters;
    if (count > kMaxKernelFilters) {
      // Every 11-bit frame (data and remote); pump() drops those of identifiers not enabled.
      filters.push_back({0, CAN_EFF_FLAG});
    } else {
      filters.reserve(count);
      for (int32_t id = 0; id <= kMaxId; ++id) {
        if (h.wants(id)) filters.push_back({static_cast<canid_t>(id), CAN_SFF_MASK | CAN_EFF_FLAG});
      }
    }
    const auto bytes = static_cast<socklen_t>(filters.size() * sizeof(can_filter));
    return ::setsockopt(h.sock.get(), SOL_CAN_RAW, CAN_RAW_FILTER,
                        filters.empty() ? nullptr : filters.data(), bytes) == 0;
  }

  std::mutex table_mu_;
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> table_;
  int32_t last_handle_ = 0;  // guarded by table_mu_
};

std::unique_ptr<Backend> make_socketcan() {
  return std::make_unique<SocketCanBackend>();
}

const bool registered = register_backend("socketcan", &make_socketcan);

}  // namespace
}  // namespace ntcan::socketcan
