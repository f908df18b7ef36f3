// CAN nodes for device servers: node properties (D_can) with their sub-properties, CAN lines
// (canline) with their supervision threads, frame I/O, the CANopen services NMT, node guarding,
// emergency and SDO upload, and the periodic receive cycle (can_looping); as an optional service
// on top of them the node monitor (can_monitor.h) and the emergency decoder (can_emcy.h), and
// for commissioning the network scan (can_scan.h) and the LSS master (can_lss.h).
//
// This is the one header a device server includes.
//
// Line outages. When a line is lost, its supervision thread closes the line's own handle and
// reopens it with growing pauses; every successful (re)opening of the line's own handle counts
// up the line's generation(). A node property remembers the generation its handle was opened
// under and the identifiers it enabled. The receive cycle (can_looping) brings back, under
// mx_loop, every attached master and every directly attached property (init()) whose handle is
// older than its open line, or whose handle the driver reported as invalid: it gives the old
// handle back, opens a new one on the line, enables the identifiers again (those of the
// master's followers too) and hands the new handle to the followers. So within one cycle after
// the reopen every node receives and sends again, with no call the device server must add. An
// attachment (init forms) of a property whose handle is older than the line opens a new one as
// well. A property closed with can_close() stays closed.
//
// Orphaned followers. When the master of a buffer is destroyed or leaves its line and node
// (dellist, reconfiguration), the shared frame count becomes -1 and the shared result 77: its
// followers read nothing new (can_array gives no frames and 77). They are attached again when
// a master for their line and node attaches (init(ident) registering a new master, or the old
// one back): they then share that master's buffer and handle, and the identifiers they enabled
// are enabled on it. Until then, or until their own next attachment, they stay orphaned.
//
// Lost frames. When the driver reports frames lost for a master's handle (msg_lost of the
// frames a fill takes, or NTCAN_MESSAGE_LOST), the fill adds them to the node's counter
// (frames_lost()) and logs "Line : <line> node: <node> frames lost: <n>" under the label
// "D_can::can_fill", at most once a second per node, summing what came meanwhile.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntcan.h"
#include "tavik.h"

class D_can;

// Bit of TAVIK_debug: the library leaves out its routine lines, which an operator of a program
// on the virtual bus does not need ("Inside can_control", "allow wget resets" when a line's
// supervision thread starts, the gateway file "canline::getlineip cannot open" when a line is
// made, a "change from" of a node record that no client made). A device server that sets nothing
// gets every line. Errors, lost lines and nodes and emergencies are logged always.
constexpr int DF_CAN_QUIET = 0x200000;
inline bool can_quiet() {
  return (TAVIK_debug & DF_CAN_QUIET) != 0;
}

// How D_can::sdo_read and sdo_write move a value (an enumeration in the global scope, beside
// D_can):
//   kAuto       by block transfer from the property's block threshold on, else expedited or
//               segmented; a server that refuses block transfer is served segmented instead;
//   kSegmented  expedited or segmented only (as sdo_upload/sdo_download);
//   kBlock      by block transfer only: a server that refuses it gives its abort code, one
//               that answers an upload by the expedited/segmented protocol gives 0x05040001.
enum class SdoMode { kAuto, kSegmented, kBlock };

// Text of a driver result: its symbolic name followed by "(0x%08lx)".
std::string can_error_str(unsigned long ntstatus);

// Text of an SDO result of D_can::sdo_upload/sdo_download: "ok", "SDO time-out", the abort code
// with its text ("SDO abort 0x06020000: Object does not exist in the object dictionary"; the
// code alone for one outside the standard table) or the driver result.
std::string sdo_result_text(int result);
// Whether an SDO result says the node has no such object (abort 0x06020000 or 0x06090011).
bool sdo_no_object(int result);
// Text of a standard SDO abort code; nullptr for a code outside the table.
const char* sdo_abort_text(uint32_t code);

// Receive cycle: lets every registered master take the frames pending on its handle into its
// receive buffer. Call it periodically. Always 0.
int can_looping();

// One CAN line (line n is driver net n - 1), its own driver handle and its supervision thread.
// Lines are created by the node properties that attach to them and live until the process ends.
// Fields touched by several threads are atomic.
class canline {
 public:
  canline();
  // Stops the supervision thread and waits, without a time limit, until it has returned (see
  // stop_thread()). Does not close the line's handle: a node property may share it.
  ~canline();
  canline(const canline&) = delete;
  canline& operator=(const canline&) = delete;

  int line() const { return line_.load(); }
  bool is_open() const { return is_open_.load(); }
  NTCAN_HANDLE handle() const { return linehandle_.load(); }
  void setline(int l) { line_ = l; }
  void setbaud(int b) { baudrate_ = b; }
  int baud() const { return baudrate_.load(); }
  // Before start_thread(): the supervision thread reads line_ip_ without a lock.
  void setlineip(std::string& ip) { line_ip_ = ip; }

  // Obtains an open handle for a caller (see the decision table in line.cpp); 0, an NTCAN
  // result or -1.
  int can_open(NTCAN_HANDLE& handle, bool openalways);
  // (Re)opens the line's own handle.
  int can_open();
  // Closes the line's own handle; 0 or the canClose result.
  int can_close();
  // Counts every opening of the line's own handle (the first and each reopen). Handles of node
  // properties opened under an older generation are renewed by the receive cycle.
  uint64_t generation() const { return generation_.load(); }
  // Gateway address of line `lineno` from the gateway file; 0 when it is 15 characters long.
  // The file is "/etc/esd-plugin", or the file named by the environment variable
  // CANBUS_ESD_PLUGIN when it is set and not empty (looked up at every call).
  int getlineip(int lineno, std::string& ip);
  // Asks the line's gateway to reset itself (wget), when allowed and the address is a dotted
  // IPv4 address.
  void reset_line();

  // Clears ThreadStop_, starts the supervision thread (can_control) and detaches it. Does
  // nothing while a supervision thread of the line is running.
  void start_thread();
  // Sets ThreadStop_ and waits until the supervision thread has returned. The thread looks at
  // the flag at the start of each cycle, so the pause in progress must end first (with a
  // virtual clock: advance it or shut it down). Returns false if it did not end within
  // `timeout_ms` of real time.
  bool stop_thread(int timeout_ms = 120000);
  // Whether the supervision thread is running.
  bool thread_running() const;

  std::atomic<uint32_t> board_status{0};
  std::atomic<bool> deny_wget_reset_{false};
  std::atomic<bool> reset_first_{false};
  std::thread t1_;
  std::string line_ip_;
  std::atomic<bool> ThreadStop_{false};

 private:
  friend void* can_control(void* ip);
  // Tests only: puts the line's handle into states no driver call produces (0, -7).
  friend struct canline_test_access;
  int open_into(NTCAN_HANDLE& handle);  // opens a new driver handle for `handle`
  void thread_done();

  std::atomic<NTCAN_HANDLE> linehandle_{-1};
  std::atomic<int> line_{0};
  // DF_CAN_QUIET as it was when the supervision thread was started: the thread does not read
  // TAVIK_debug, which the device server may change at any time.
  std::atomic<bool> quiet_{false};
  std::atomic<int> baudrate_{0};
  std::atomic<bool> is_open_{false};
  std::atomic<bool> err_first_{false};
  std::atomic<uint64_t> generation_{0};

  mutable std::mutex run_mx_;
  std::condition_variable run_cv_;
  bool running_ = false;
};

// .ALIVE: the node state (the last guarding reply byte) of a node, shared by the node
// properties of the node. Writing it sets the .CONDITION text of the owning node property.
class D_Alive : public D_int_ptr {
 public:
  D_Alive(const std::string& pn, int* alive, D_can* can, EqFct* efp);
  ~D_Alive() override;
  void set_value(int s) override;
  using D_int_ptr::value;

  // 100 when a one-byte guarding reply of node `ident` is in the first *l frames and says
  // operational; the reply byte is stored. 0 otherwise.
  int can_read(int ident, CMSG* rxmsg, int* l);
  // can_read, and on 100 the .CONDITION text is updated as well.
  int check_alive(int ident, CMSG* rxmsg, int* l);
  bool isalive();

 private:
  // ~D_can detaches it (can_ = nullptr): the location may outlive the node property.
  friend class D_can;
  D_can* can_;
  EqFct* eq_fct_;
};

// .START, .STOP, .RESET: every write sends the node's NMT command.
class D_canint : public tavik::D_value<int> {
 public:
  D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp);
  ~D_canint() override;
  void read() override {}
  using tavik::D_value<int>::set_value;
  void set_value(int i) override;

 private:
  // ~D_can detaches it (can_ = nullptr): the location may outlive the node property.
  friend class D_can;
  int todo_;  // 0 start, 1 stop, 2 reset
  D_can* can_;
  EqFct* eq_fct_;
};

// .ACTIVE: 1 once the node property has become the master of its node.
class D_canactive : public tavik::D_value<int> {
 public:
  D_canactive(const std::string& pn, EqFct* efp);
  ~D_canactive() override;
  void read() override {}
};

// A node property: its value names the CAN line (1..20), the CANopen node id and up to two
// further identifiers to receive.
class D_can : public D_fct {
 public:
  static constexpr int kRxFrames = 100;

  D_can(const std::string& pn, EqFct* ef);
  ~D_can() override;

  // Framework entry points.
  void get(EqAdr*, EqData*, EqData* res, EqFct*) override;
  void set(EqAdr*, EqData* ed, EqData*, EqFct*) override;
  void conf(Config* conf) override;
  void read() override;
  void write(std::ostream& ofile) override;
  int data_type() const override { return DATA_IIII; }
  using D_fct::data_type;
  using D_fct::get_multi;

  // Reconfiguration: logs the write; a change of line or node closes and unregisters the node.
  virtual void set_value(IIII* s);
  // Frame I/O.
  virtual int can_read(CMSG* rxmsg, int* length);
  virtual int can_get(CMSG* rxmsg, int* length);
  virtual int can_poll(int* ident, int* length, unsigned char* Data);
  virtual int can_write(int ident, int length, unsigned char* Data);
  // Receive buffer.
  virtual int can_fill();
  virtual int can_array(CMSG* rxmsg, int* length);
  virtual int can_SDO(u_short index, u_char subindex);
  // canRead with a time-out of its own in microseconds (<= 0: no wait): the frames queued at
  // once, else the first one that arrives in time (NTCAN_RX_TIMEOUT when none does). Does not
  // write can_ret_. The SDO client waits for its replies with it.
  virtual int can_read_for(CMSG* rxmsg, int* length, int64_t timeout_us);

  void get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr);

  // Accessors.
  NTCAN_HANDLE handle();
  void handle(NTCAN_HANDLE h) { canhandle_ = h; }
  bool isactive();
  bool has_changed() const { return changed_; }
  IIII value() const;
  IIII oldAddr() const { return oldIdent_; }
  int can_return() const;
  // Frames lost for this node's receive buffer (reported by the driver to the receive cycle)
  // since the master created the buffer; 0 without a buffer. Takes mx_loop, like can_array.
  uint64_t frames_lost() const;

  // NMT commands.
  int start_node();
  int stop_node();
  int reset_node();
  int modinit() { return start_node(); }

  // Bus attachment.
  int init();
  int init(int ident);
  int init(int ident, int flag);
  int can_open();
  // Gives the handle back. An SDO transfer of this property running on another thread ends
  // first, with an error (NTCAN_OPERATION_ABORTED, within 100 ms), and none starts while the
  // close runs; the same holds for a move (set_value to another line or node) and for the
  // destructor.
  int can_close();
  int AddIdent(int ident);
  int DelIdent(int ident);
  int dellist();

  // Remote frames.
  int rtr(int* ident);
  int rtr(int* ident, int l);
  int rtr();

  // SDO upload client and identity strings.
  // The forms without `size` store the whole value; the caller's buffer must hold it and its
  // terminating zero. The forms with `size` store at most size - 1 bytes and never write the
  // buffer's last byte (zero-filled by the caller), while the upload still runs to its last
  // segment; *offset counts the bytes of the value received.
  // A step ended by an abort returns -1 with the code in AbortCode. segSdoRead logs a failure
  // once (see sdo_upload) and returns -1 for an abort or a time-out.
  int segSdoRead(short node, int idx, int subIdx, char* buffer);
  int segSdoRead(short node, int idx, int subIdx, char* buffer, size_t size);
  int initiateUpload(short node, int idx, int subIdx);
  int initUploadResponse(short node, char* buffer, int* offset);
  int initUploadResponse(short node, char* buffer, int* offset, size_t size);
  int requestUploadSegment(short node);
  int receiveUploadSegment(short node, char* buffer, int* offset);
  int receiveUploadSegment(short node, char* buffer, int* offset, size_t size);
  int isAbort(CMSG* m, int* abortCode);
  int check_ascii(char* aString);
  // The identity strings into .MANU, .HWVER and .SWVER: "error" when the upload fails, "-"
  // (result 0) for the optional 0x1009 or 0x100A that the node does not have.
  int get_manufacture();
  int get_hwversion();
  int get_swversion();

  // SDO access to any object of the node's default SDO server (requests on 0x600 + node id,
  // replies on 0x580 + node id), expedited or segmented as the size needs. One transfer per
  // node runs at a time (identity reads included); a second one waits for it. Each reply is
  // awaited up to the SDO deadline (until the whole-second clock passes start + 2). Results:
  //   0             success;
  //   kSdoTimeout   a reply did not come (the node is sent abort 0x05040000);
  //   abort code    (0x05030000 and above) the node aborted, or this client did: 0x05030000
  //                 toggle bit not alternated, 0x05040001 unexpected reply, 0x06070012 the
  //                 value does not fit the buffer, 0x06070010 fewer bytes than announced;
  //   driver result a request could not be sent (77 without an open handle;
  //                 NTCAN_INVALID_PARAMETER for a null buffer of a non-zero size).
  // sdo_result_text() gives the text. Neither function takes mx_loop.
  static constexpr int kSdoTimeout = -1;
  // Uploads the value into `buffer` of `size` bytes; *length (if not null) is the value's size.
  int sdo_upload(int index, int subindex, void* buffer, size_t size, size_t* length);
  // Downloads `size` bytes (0 or more) of `data`.
  int sdo_download(int index, int subindex, const void* data, size_t size);

  // SDO access by value of any size, by block transfer (CiA 301: sub-blocks of up to 64
  // segments this client asks for, or as many as the server gives (1..127) on download, the
  // CRC-16 checked when the server supports it, segments the other side missed sent again after
  // its acknowledgement) or by the protocol above, as `mode` says. Results and texts as for
  // sdo_upload/sdo_download, with the block transfer's own aborts: 0x05040002 invalid block
  // size, 0x05040003 invalid sequence number (also after 16 sub-blocks in a row that brought
  // nothing), 0x05040004 CRC error, 0x06070010 size other than announced.
  // kAuto: a download of threshold bytes or more goes by block transfer, a smaller one expedited
  // or segmented. An upload always asks for block transfer, with the protocol switch threshold
  // at threshold - 1 (at most 255; 0 for a threshold of 0), so that a server may send a value
  // below the threshold by the expedited/segmented protocol instead; the client follows it.
  // When the server answers the block request with an abort, or with a reply of another
  // protocol, the transfer goes again expedited/segmented. After an abort 0x05040001 or such a
  // reply, or an upload answered expedited/segmented beyond the protocol switch threshold, the
  // property remembers that the node has no block transfer, and its later kAuto transfers go
  // expedited/segmented at once (a successful kBlock transfer forgets it).
  //
  // Upload into `value`, resized to the value's length (empty after a failure).
  int sdo_read(int index, int subindex, std::vector<uint8_t>& value, SdoMode mode = SdoMode::kAuto);
  // Download of `value`.
  int sdo_write(int index, int subindex, const std::vector<uint8_t>& value,
                SdoMode mode = SdoMode::kAuto);
  // Values of this size and larger go by block transfer in kAuto (default 64 bytes; at most
  // 0xFFFFFFFF).
  void sdo_block_threshold(size_t bytes);
  size_t sdo_block_threshold() const;
  static constexpr size_t kSdoBlockThreshold = 64;

  // The SDO transfers asked of this property (sdo_upload, sdo_download, sdo_read, sdo_write and
  // segSdoRead, each call one, whoever made it: the identity reads, a boot configuration...)
  // and those of them that did not end with 0. Relaxed counters, read from any thread.
  struct SdoCounts {
    uint64_t transfers = 0;
    uint64_t failures = 0;
  };
  SdoCounts sdo_counts() const {
    return {sdo_transfers_.load(std::memory_order_relaxed),
            sdo_failures_.load(std::memory_order_relaxed)};
  }

  // Emergency.
  int can_emergency(int ident, CMSG* rxmsg, int* l);
  int init_emergency();

  // Debug print of the receive buffer (when .DEBUG_ID selects this node).
  void can_print();

  // Read access for device servers and tests.
  canline* line_ptr() const { return pline_.load(); }
  CMSG* rx_buffer() const { return rxmsg_; }
  int32_t* rx_count() const { return rxmsg_len_; }
  int* ret_ptr() const { return can_ret_; }
  int* alive_ptr() const { return alive_ptr_; }
  D_int* baudrate_prop() const { return baudrate_; }
  D_Alive* alive_prop() const { return alive_; }
  D_string* condition_prop() const { return modul_condition_; }
  D_string* manu_prop() const { return manu_; }
  D_string* hwver_prop() const { return hwver_; }
  D_string* swver_prop() const { return swver_; }
  D_canint* start_prop() const { return start_node_; }
  D_canint* stop_prop() const { return stop_node_; }
  D_canint* reset_prop() const { return reset_node_; }
  D_canactive* active_prop() const { return active_; }

  // Guards the node registry and the receive cycle over it.
  static std::mutex mx_loop;
  friend int can_looping();
  friend int can_looping_nodes(D_can* const* props, size_t n);
  // The process-wide .DEBUG_ID property; created by the first node property.
  static D_iiii* canIdent_debug_;

 protected:
  friend class D_Alive;
  void construct(const std::string& pn);
  int nmt(unsigned char command);

  IIII oldIdent_;
  bool changed_ = false;
  EqFct* efp_;
  IIII canIdent_;
  D_int* baudrate_ = nullptr;
  std::atomic<NTCAN_HANDLE> canhandle_{-1};
  std::atomic<canline*> pline_{nullptr};
  CMSG* rxmsg_ = nullptr;
  int* can_ret_ = nullptr;
  int can_error_ = 0;
  bool first_at_line_ = false;
  int32_t* rxmsg_len_ = nullptr;
  int* alive_ptr_ = nullptr;
  // The identity texts live in their properties (at most 63 characters, as the uploads store
  // them): a node whose identity was never read keeps no text buffers.
  D_string* manu_ = nullptr;
  D_string* hwver_ = nullptr;
  D_string* swver_ = nullptr;
  D_canactive* active_ = nullptr;
  D_canint* start_node_ = nullptr;
  D_canint* stop_node_ = nullptr;
  D_canint* reset_node_ = nullptr;
  D_Alive* alive_ = nullptr;
  D_string* modul_condition_ = nullptr;
  int ToggleBit = 0;
  int Index = 0;
  int Subindex = 0;
  // The abort code of the last upload step that ended with an abort (the steps return -1);
  // 0 after any other end.
  int AbortCode = 0;

 private:
  // The receive buffer of a node with its result code, frame count and node-state integer,
  // allocated by a master and shared with its followers. Shared ownership keeps it alive while
  // any property of the group still points into it, and frees it after the last one.
  // The SDO side of a node's handle. From the request that opens a transfer until its end, the
  // transfer's thread is the only reader of the handle in the library: frames of other services
  // that it reads go to the stash, in arrival order, and the receive cycle fills the buffer
  // from the stash alone. Once no transfer runs, a fill takes the stash first and then the
  // handle, so the buffer sees every frame in order and never an SDO reply of a transfer.
  struct SdoPort {
    std::mutex mx;                    // guards the members below; taken after mx_loop
    std::condition_variable idle_cv;  // the running transfer ended
    const D_can* owner = nullptr;     // property whose transfer runs; nullptr when none
    // The owner's thread, and whether its transfer is one that always ends (a whole upload or
    // download, not the step-by-step calls a caller may leave open); threads waiting to begin.
    std::thread::id thread;
    bool whole = false;
    int waiting = 0;
    std::vector<CMSG> stash;  // at most kRxFrames frames
    uint64_t stash_lost = 0;  // dropped because the stash was full, not yet shown
  };
  friend struct SdoAccess;
  SdoPort* sdo_port() const {
    return share_ ? share_->port.load(std::memory_order_acquire) : nullptr;
  }

  struct RxShare {
    // Made by the first SDO transfer on the node, under mx_loop (so that a fill, which runs
    // under it, sees it before the transfer reads); most nodes never need one.
    std::atomic<SdoPort*> port{nullptr};
    ~RxShare() { delete port.load(); }
    CMSG rx[kRxFrames] = {};
    int ret = 0;
    int32_t count = 0;
    int alive = 0;
    int line = 0;  // the line and node the buffer was made for
    int node = 0;
    std::vector<D_can*> followers;  // guarded by mx_loop
    std::atomic<uint64_t> lost{0};  // frames lost, written by the receive cycle
    uint64_t lost_unreported = 0;   // guarded by mx_loop, like the rest of the loss report
    int64_t last_loss_report_ns = 0;
    bool loss_reported = false;
  };
  // The line number lies outside 1..20.
  bool bad_line() const;
  // Binds .ALIVE to the integer `hold` points to, keeps it alive and stores it as alive_ptr_.
  void bind_alive(std::shared_ptr<int> hold);
  // Forgets the buffer pointers of a follower or directly attached property.
  void forget_shared();
  // Gives back a driver handle this property opened itself (never the line's own handle).
  int close_own(NTCAN_HANDLE h, bool report = true);
  // Direct attachment: marks the property attached and lets the receive cycle keep it open.
  void attach_direct();
  // Before shared attachment takes mx_loop: opens the handle of a property that is about to
  // become the first master of its line and node; the result of that opening, or 0.
  int open_ahead();
  // Identifiers this property enabled, so that they can be enabled again on a new handle.
  void remember(int ident);
  void forget(int ident);
  void enable_remembered(NTCAN_HANDLE h);
  // Marks the handle for renewal when the driver called it invalid.
  int note_result(int r, NTCAN_HANDLE h);
  // With mx_loop held, by the receive cycle: renews a handle that is older than its open line
  // or that the driver called invalid; a master also hands its handle to its followers.
  void keep_open();
  // With mx_loop held: this property follows master t (its buffer, node state and handle).
  void follow(D_can* t);
  // With mx_loop held: a master leaving its node leaves its followers without a filler.
  void orphan_followers();
  // With mx_loop held: a master hands its handle to its followers; a new master of a node takes
  // over the followers a former master of the node left behind.
  void sync_followers();
  void adopt_orphans();
  // With mx_loop held, after a fill: counts and reports the frames the driver lost.
  void account_losses(int ret);

  std::shared_ptr<RxShare> share_;     // the group rxmsg_, can_ret_, rxmsg_len_ point into
  bool share_is_own_ = false;          // share_ was allocated by this property as master
  std::shared_ptr<int> alive_hold_;    // the integer .ALIVE is bound to (may outlive alive_ptr_)
  bool own_handle_ = false;            // canhandle_ was opened by this property, not the line's
  std::atomic<uint64_t> gen_{0};       // line generation canhandle_ was opened under
  std::atomic<bool> attached_{false};  // attached by an init form and not closed since
  std::atomic<bool> invalid_seen_{false};  // the driver called canhandle_ invalid
  // SDO block transfer: whether the node refused it, and the threshold of kAuto (see
  // sdo_read). Atomic: any thread may run a transfer. Here, they fill the padding before
  // open_mx_: the property does not grow.
  std::atomic<bool> sdo_no_block_{false};
  std::atomic<uint32_t> sdo_block_threshold_{kSdoBlockThreshold};
  std::atomic<uint64_t> sdo_transfers_{0};
  std::atomic<uint64_t> sdo_failures_{0};
  // Runs `transfer` (returning the transfer's result), counts it (sdo_counts) and returns its
  // result. The count is made while the property cannot go away under it (sdo_port.h).
  // A failed transfer is logged once, here (label "SDO"): the property, its line and the node,
  // the object and the result's text.
  template <typename Transfer>
  int sdo_counted(int node, int index, int subindex, const char* what, Transfer&& transfer);
  void sdo_report(int node, int index, int subindex, const char* what, int result) const;
  // One identity object (0x1008, 0x1009, 0x100A) into its string property.
  int read_identity(int index, D_string* prop);
  // The transfers themselves, uncounted.
  int upload_object(int index, int subindex, void* buffer, size_t size, size_t* length);
  int download_object(int index, int subindex, const void* data, size_t size);
  int read_value(int index, int subindex, std::vector<uint8_t>& value, SdoMode mode);
  int write_value(int index, int subindex, const std::vector<uint8_t>& value, SdoMode mode);
  int seg_read(short node, int idx, int subIdx, char* buffer, size_t size);
  // Held while canhandle_ and own_handle_ change (opening, closing, renewal). Taken after
  // mx_loop when both are held; the receive cycle only tries it.
  std::mutex open_mx_;
  std::mutex ids_mx_;     // guards ids_; taken with no other lock after it
  std::vector<int> ids_;  // identifiers enabled through this property
};

// Emergency decoding, typed values, the object dictionary with typed object access, process data
// and the node monitor, services built on the operations above.
#include "can_emcy.h"
#include "can_ids.h"
#include "can_monitor.h"
#include "can_od.h"
#include "can_pdo.h"
#include "can_value.h"
// Commissioning: the network scan and the LSS master, each on a driver handle of its own.
#include "can_lss.h"
#include "can_scan.h"
// Observing a line: the tap of every frame, the bus load and a CANopen trace.
#include "can_trace.h"
// Starting a whole network: mandatory and optional nodes, boot status codes, configuration and
// program download, the master's heartbeat and TIME.
#include "can_network.h"
