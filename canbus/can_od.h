// A node's object dictionary as its EDS or DCF file (CiA 306) describes it, and typed access to
// the node's objects by name or by index through the SDO client.
//
// A dictionary is plain data, read once and never changed: share one between the node
// properties of one device type (std::shared_ptr<const ObjectDictionary>) and read it from any
// thread without a lock.
//
// Names. An object of type VAR (or DOMAIN) is named by its ParameterName ("Producer heartbeat
// time"); a sub-object of an ARRAY or RECORD by the object's name, a dot and the sub-object's
// name ("Identity object.Vendor-ID"). Names are compared exactly (case and blanks count). A name
// that fits more than one entry is ambiguous and refused: use the index and sub-index then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "can_value.h"

class D_can;

namespace canbus {

// Object codes of the dictionary (the ObjectType key of a section).
enum class ObjectType : uint8_t {
  kNull = 0,
  kDomain = 2,
  kDeftype = 5,
  kDefstruct = 6,
  kVar = 7,
  kArray = 8,
  kRecord = 9
};
// Access types of the AccessType key. rwr and rww are read-write for SDO (they only say which
// PDO direction the object suits); const is read-only.
enum class Access : uint8_t { kRO, kWO, kRW, kRWR, kRWW, kConst };

const char* object_type_name(ObjectType t);  // "VAR", "ARRAY", ...
const char* access_name(Access a);           // "ro", "wo", "rw", "rwr", "rww", "const"
inline bool access_readable(Access a) {
  return a != Access::kWO;
}
inline bool access_writable(Access a) {
  return a != Access::kRO && a != Access::kConst;
}

struct ObjectEntry {  // one VAR: an object or one sub-object
  uint16_t index = 0;
  uint8_t subindex = 0;
  std::string name;       // ParameterName of this entry
  std::string full_name;  // the name it is found by (see the top of this header)
  ObjectType object_type = ObjectType::kVar;  // of the entry (VAR, DOMAIN, ...)
  ObjectType parent_type = ObjectType::kVar;  // of its object: VAR, DOMAIN, ARRAY or RECORD
  DataType data_type = DataType::kUnsigned8;
  Access access = Access::kRO;
  bool pdo_mapping = false;
  uint32_t obj_flags = 0;        // ObjFlags: bit 0 not written by a DCF, bit 1 not scanned
  Value low, high;               // empty when the file gives none
  Value default_value;           // $NODEID resolved with the dictionary's node id
  Value parameter_value;         // DCF only; empty otherwise
  bool nodeid_relative = false;  // the DefaultValue text uses $NODEID
  std::string unit;              // the key Unit (not in CiA 306, written by some tools); or ""
  int line = 0;                  // line of the entry's section in the file
  int parameter_line = 0;        // line of its ParameterValue key (DCF); 0 when it has none
};

// What the reader found wrong or odd in a file it read all the same, and the reading it took.
struct OdWarning {
  std::string file;
  int line = 0;      // 0 when it concerns the whole file
  std::string text;  // the reason and the reading taken
  std::string str() const { return file + ":" + std::to_string(line) + ": " + text; }
};

class ObjectDictionary {
 public:
  // Reads an EDS or DCF. `node_id` (1..127) resolves $NODEID; 0 takes the NodeID of a DCF's
  // [DeviceComissioning], or leaves $NODEID as 0 when there is none.
  //
  // The files device vendors ship are often sloppy. A file is read unless an object's index,
  // data type or structure cannot be known (two different definitions of one object, a data
  // type that does not exist, a SubNumber or CompactSubObj without any meaning, an unusable
  // ObjectType): then false with every error ("FILE:LINE: reason") in `errors`, and `out`
  // untouched. Everything else that is wrong or odd is a warning (warnings()) and the sound
  // reading is taken: a limit or value of a signed type written as an unsigned number of the
  // type's width is its two's complement, an object or sub-object without its section is left
  // out, counts that disagree with their lists are ignored, a byte that is not UTF-8 is read as
  // Latin-1, a value that cannot be read is left out, a missing AccessType is rw.
  //
  // `strict`: every warning is an error instead, for files one writes oneself. Only a regular
  // file of at most 64 MB is read ("FILE: not a regular file", "FILE: larger than 64 MB").
  static bool load(const std::string& path, ObjectDictionary& out, std::vector<std::string>& errors,
                   int node_id = 0, bool strict = false);
  // The same for the text of a file; `name` stands for the file in the errors.
  static bool parse(const std::string& text, const std::string& name, ObjectDictionary& out,
                    std::vector<std::string>& errors, int node_id = 0, bool strict = false);

  // The warnings of the reading, in the order found (at most 100, then one that counts the rest).
  const std::vector<OdWarning>& warnings() const { return warnings_; }

  const ObjectEntry* find(uint16_t index, uint8_t subindex) const;
  const ObjectEntry* find(const std::string& name) const;  // the documented spelling
  // find(name) with the reason when there is no single entry of that name ("no object named
  // 'X'", "'X' is ambiguous: 0x2000sub1, 0x2001sub1").
  const ObjectEntry* lookup(const std::string& name, std::string& why) const;
  // Whether the file lists the object `index` (of any type, with or without sub-objects).
  bool has_object(uint16_t index) const;
  std::vector<const ObjectEntry*> entries() const;  // in index/sub-index order
  size_t size() const { return entries_.size(); }
  // Entry `i` (below size()) in index/sub-index order, without a copy of the list.
  const ObjectEntry& entry(size_t i) const { return entries_[i]; }

  int node_id() const { return node_id_; }      // the id $NODEID was resolved with
  int baud_rate() const { return baud_rate_; }  // DCF [DeviceComissioning] in kbit/s, 0 when absent
  // DCF [DeviceComissioning] NodeID; 0 when absent.
  int dcf_node_id() const { return dcf_node_id_; }
  // [DeviceInfo] texts ("" when absent).
  const std::string& vendor_name() const { return vendor_name_; }
  const std::string& product_name() const { return product_name_; }
  // [DummyUsage]: whether the device accepts the data type `t` (0x0001..0x0007) as a dummy
  // entry of a PDO mapping.
  bool dummy_usage(DataType t) const;

 private:
  std::vector<ObjectEntry> entries_;   // sorted by index, sub-index
  std::map<uint32_t, size_t> by_key_;  // index << 8 | sub-index
  std::multimap<std::string, size_t> by_name_;
  std::vector<uint16_t> objects_;  // sorted
  int node_id_ = 0;
  int baud_rate_ = 0;
  int dcf_node_id_ = 0;
  uint32_t dummy_mask_ = 0;  // bit n: data type n
  std::string vendor_name_, product_name_;
  std::vector<OdWarning> warnings_;
  friend struct OdBuilder;
};

// Typed access to the objects of one node through its node property's SDO client. Results are
// those of D_can::sdo_upload/sdo_download (0, kSdoTimeout, an abort code, a driver result;
// sdo_result_text gives the text) and two of its own:
//   kRefused   a check before sending failed (unknown name, access, type, range, length):
//              nothing was sent;
//   kMismatch  the node answered with a value whose size does not fit the object's type.
// Each call can give its reason in *why (the refusal's text, or the SDO result text).
// The object keeps no state of its own: calls from several threads are as safe as the node
// property's SDO calls (one transfer per node at a time; the others wait).
class ObjectAccess {
 public:
  static constexpr int kRefused = -2;
  static constexpr int kMismatch = -3;
  static constexpr size_t kDefaultMaxBytes = 4096;

  // `od` may be null: then only the calls with a caller-given DataType work.
  explicit ObjectAccess(D_can& node, std::shared_ptr<const ObjectDictionary> od = nullptr,
                        size_t max_bytes = kDefaultMaxBytes);

  const ObjectDictionary* dictionary() const { return od_.get(); }
  // Values of variable length (strings, domains) longer than this are refused before sending,
  // and longer uploads are aborted by the SDO client (0x06070012).
  size_t max_bytes() const { return max_bytes_; }

  int read(const std::string& name, Value& out, std::string* why = nullptr) const;
  int write(const std::string& name, const Value& v, std::string* why = nullptr) const;
  int read(uint16_t index, uint8_t subindex, Value& out, std::string* why = nullptr) const;
  int write(uint16_t index, uint8_t subindex, const Value& v, std::string* why = nullptr) const;
  // By index with the type given by the caller; works without a dictionary. The dictionary's
  // access and limits are not checked, only the type's range.
  int read(uint16_t index, uint8_t subindex, DataType t, Value& out,
           std::string* why = nullptr) const;
  int write(uint16_t index, uint8_t subindex, DataType t, const Value& v,
            std::string* why = nullptr) const;
  // The entry's checks without sending: 0 when `v` may be written to `e`, else kRefused.
  int check_write(const ObjectEntry& e, const Value& v, std::vector<uint8_t>& bytes,
                  std::string* why = nullptr) const;
  // The same checks without a node: what a configuration built ahead of time may hold.
  static int check_value(const ObjectEntry& e, const Value& v, std::vector<uint8_t>& bytes,
                         std::string* why = nullptr, size_t max_bytes = kDefaultMaxBytes);

  // Text of a result of this class: sdo_result_text() of it (kRefused and kMismatch included).
  static std::string result_text(int result);

 private:
  int read_entry(const ObjectEntry& e, Value& out, std::string* why) const;
  int write_entry(const ObjectEntry& e, const Value& v, std::string* why) const;
  // The one place that moves bytes through the node's SDO client.
  int transfer_in(uint16_t index, uint8_t subindex, std::vector<uint8_t>& bytes) const;
  int transfer_out(uint16_t index, uint8_t subindex, const std::vector<uint8_t>& bytes) const;

  D_can* node_;
  std::shared_ptr<const ObjectDictionary> od_;
  size_t max_bytes_;
};

// Reads a value text of an EDS as type `t` (the forms of DefaultValue: decimal, 0x hex, leading-
// zero octal, $NODEID, $NODEID+N or N+$NODEID with `node_id`, reals, strings as they are, octet
// strings as hex pairs); false with the reason. *uses_nodeid (if not null) tells whether the
// text named $NODEID.
bool parse_eds_value(DataType t, const std::string& text, int node_id, Value& out, std::string& why,
                     bool* uses_nodeid = nullptr);
// The value as a user types it ("1000", "-5", "0x1F", "1.5", "text"): integers in decimal or
// 0x hex with a sign, reals, strings as they are, octet strings and domains as hex pairs.
bool parse_user_value(DataType t, const std::string& text, Value& out, std::string& why);

}  // namespace canbus
