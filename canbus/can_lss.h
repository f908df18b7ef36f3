// LSS master (layer setting services): node ids and bit rates for nodes addressed by their
// identity, among them new modules that come unconfigured (node id 255).
//
// Frames: requests on 0x7E5 (master to slaves), replies on 0x7E4 (slaves to master), eight
// bytes, the command specifier in byte 0. The master has a driver handle of its own on the
// line's net with 0x7E4 enabled; it never sends NMT or SDO.
//
// Threads: one LssMaster is used by one thread at a time (each call sends and waits in the
// caller's thread); on one line use one master at a time, as the slaves' replies carry no
// address. Time-outs are on the framework clock, so tests run them in virtual time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace canbus {

// The LSS address of a slave: 0x1018:1..4.
struct LssAddress {
  uint32_t vendor = 0;
  uint32_t product = 0;
  uint32_t revision = 0;
  uint32_t serial = 0;
  bool operator==(const LssAddress& o) const {
    return vendor == o.vendor && product == o.product && revision == o.revision &&
           serial == o.serial;
  }
};

// Outcome of a service.
struct LssResult {
  static constexpr int kTimeout = -1;  // no reply within the time-out
  // 0: done (for a confirmed service: the slave replied with error code 0); kTimeout; the
  // driver result when a frame could not be sent or read; kSlaveError when the slave replied
  // with an error code; kNotFound: fastscan found no slave; kCheckFailed: a slave it was
  // following stopped answering, or no slave has the address it found.
  static constexpr int kSlaveError = -2;
  static constexpr int kNotFound = -3;
  static constexpr int kCheckFailed = -4;
  int result = 0;
  uint8_t error = 0;     // the slave's error code (byte 1 of its reply)
  uint8_t specific = 0;  // the manufacturer-specific error (byte 2) when error is 255
  bool ok() const { return result == 0; }
};

// Text of a result of service `cs` (its command specifier, which gives the meaning of the
// error code): "ok", "no LSS reply (time-out)", "node id out of range", "bit timing not
// supported", "store configuration not supported", "storage media access error",
// "manufacturer-specific error 0x.." (code 255), "reserved error code N", "no unconfigured
// slave found", "fastscan check failed", or the driver result.
std::string lss_result_text(const LssResult& r, uint8_t cs);

// Bit rate of an index of the standard bit timing table (table 0), in kbit/s; 0 for "automatic
// bit rate detection" (9), -1 outside the table.
int lss_bit_rate_kbit(int index);
// The index of a bit rate in kbit/s; -1 when it is not in the table.
int lss_bit_index(int kbit);

class LssMaster {
 public:
  // Command specifiers of the services (byte 0 of a request).
  enum Cs : uint8_t {
    kSwitchGlobal = 0x04,
    kConfigureNodeId = 0x11,
    kConfigureBitTiming = 0x13,
    kActivateBitTiming = 0x15,
    kStoreConfiguration = 0x17,
    kSwitchSelectiveVendor = 0x40,  // ..0x43: product, revision, serial
    kSwitchSelectiveReply = 0x44,
    kIdentifyRemoteVendor = 0x46,  // ..0x4B: product, revision low/high, serial low/high
    kIdentifyNonConfigured = 0x4C,
    kIdentifyReply = 0x4F,
    kIdentifyNonConfiguredReply = 0x50,
    kFastscan = 0x51,
    kInquireVendor = 0x5A,  // ..0x5D: product, revision, serial
    kInquireNodeId = 0x5E,
  };

  // `timeout_ms`: how long a confirmed service waits for its reply; `fastscan_timeout_ms`: how
  // long a fastscan or identify request waits for the first reply (no reply is the answer "no
  // slave", so the scan's time is mostly these waits).
  explicit LssMaster(int line, int timeout_ms = 500, int fastscan_timeout_ms = 20);
  ~LssMaster();  // gives the handle back
  LssMaster(const LssMaster&) = delete;
  LssMaster& operator=(const LssMaster&) = delete;

  // Opens the handle (also done by the first service); 0 or the driver result.
  int open();

  // Every slave to waiting (false) or configuration state (true). Unconfirmed.
  LssResult switch_global(bool configuration);
  // The slave with this address to configuration state; replied by it.
  LssResult switch_selective(const LssAddress& a);
  // Services for the slaves in configuration state (one, for the confirmed ones).
  LssResult configure_node_id(int id);  // 1..127, or 255 to unconfigure
  LssResult configure_bit_timing(int table_index, int table_selector = 0);
  // Unconfirmed: every slave in configuration state switches to the bit rate it was given,
  // after `switch_delay_ms` (twice: the slaves stop sending after one delay and go on at the
  // new rate after the second).
  LssResult activate_bit_timing(int switch_delay_ms);
  LssResult store_configuration();
  // Each part of the identity of the slave in configuration state.
  LssResult inquire_identity(LssAddress& out);
  LssResult inquire_node_id(int& out);
  // Whether any slave has an identity within the ranges (vendor and product exact): 0 when one
  // replied, kTimeout when none did.
  LssResult identify_remote(uint32_t vendor, uint32_t product, uint32_t revision_low,
                            uint32_t revision_high, uint32_t serial_low, uint32_t serial_high);
  // Whether any unconfigured slave (node id 255) is there.
  LssResult identify_non_configured();
  // Finds the identity of one unconfigured slave in waiting state bit by bit, confirms it by
  // switching every slave to waiting state and selecting that identity (switch state selective,
  // which every slave has; the optional identify services are not used), and leaves that slave
  // in configuration state (kNotFound when none answers). A search that loses its slave (a reply
  // came after the time-out) or whose address selects no slave starts again with every slave
  // switched back to waiting state first, kFastscanAttempts times in all (then kCheckFailed).
  // fastscan_all() finds each of them (at most `max`; the ones found before are selected again
  // whenever the slaves are switched to waiting, so that they take no part in the next search)
  // and switches every slave back to waiting state at the end; its result is that of the first
  // failure, or 0.
  LssResult fastscan(LssAddress& found);
  LssResult fastscan_all(std::vector<LssAddress>& found, int max = 127);

  // Requests sent since the master was made.
  int requests() const { return requests_; }

 private:
  int send(const uint8_t data[8]);
  // Waits until the deadline for a reply whose byte 0 is `cs`; drains nothing else.
  int wait_reply(uint8_t cs, int64_t timeout_ns, uint8_t reply[8]);
  // Throws away replies that came after their request's wait ended.
  void drain();
  LssResult confirmed(const uint8_t req[8], uint8_t reply_cs, uint8_t reply[8]);
  // One fastscan request; true when at least one slave replied.
  int probe(uint32_t id, uint8_t bit, uint8_t sub, uint8_t next, bool& answered);
  LssResult fastscan_once(LssAddress& found);
  LssResult find_one(LssAddress& found, const std::vector<LssAddress>& kept);
  // Every slave to waiting state, then `kept` and `last` (when given) selected again, each
  // confirmed by its reply (kCheckFailed when one does not reply).
  LssResult back_to_waiting(const std::vector<LssAddress>& kept, const LssAddress* last);
  static constexpr int kFastscanAttempts = 3;

  int line_;
  int64_t timeout_ns_;
  int64_t fastscan_timeout_ns_;
  int32_t handle_ = -1;
  int requests_ = 0;
};

}  // namespace canbus
