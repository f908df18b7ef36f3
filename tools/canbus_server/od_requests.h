// canbus-server: the object dictionaries of its nodes (NAME.EDS lines), typed SDO access by
// object name, and the "od" request.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "requests.h"

namespace canbus_server {

// The dictionary of each node property that has one, and the last value read or written of
// each of its objects (as the answer showed it). Guarded by its own mutex: the request thread
// ("od") and the bus worker ("sdo") use it.
class NodeObjects {
 public:
  // Reads FILE for node property `name` with `node_id` for $NODEID (a strict reading refuses
  // what is otherwise a warning); false with the reader's errors ("FILE:LINE: reason"), the
  // property then has none. The dictionary keeps the reader's warnings.
  bool load(const std::string& name, const std::string& path, int node_id,
            std::vector<std::string>& errors, bool strict = false);
  std::shared_ptr<const canbus::ObjectDictionary> dictionary(const std::string& name) const;
  void remember(const std::string& name, const canbus::ObjectEntry& e, const std::string& text);
  // The same for bytes read by index, when the dictionary has the object and they fit its type.
  void remember_bytes(const std::string& name, int index, int subindex, const uint8_t* data,
                      size_t n);
  std::string last(const std::string& name, const canbus::ObjectEntry& e) const;

 private:
  struct Node {
    std::shared_ptr<const canbus::ObjectDictionary> od;
    std::map<uint32_t, std::string> last;  // index << 8 | sub-index
  };
  mutable std::mutex mx_;
  std::map<std::string, Node> nodes_;
};

// A typed value as the server answers it: the number and its hex form (of the type's width),
// the unit if the file has one, and the object's name: 1000 (0x03E8) ms "Producer heartbeat
// time". Texts in double quotes, other byte values as hex bytes.
std::string typed_answer(const canbus::ObjectEntry& e, const canbus::Value& v);

// "sdo read NAME OBJECT" and "sdo write NAME OBJECT VALUE" with OBJECT an object name of the
// node's dictionary (in double quotes when it has blanks). `words` are the request's words with
// quotes removed.
std::string sdo_by_name(D_can* node, NodeObjects& objects, const std::vector<std::string>& words);

// "od NAME [TEXT]": one line per object of the node's dictionary whose name contains TEXT
// (letter case ignored): index and sub-index, data type, access, name, and " = " with the last
// value read or written when there is one. "od NAME warnings": what the reader found wrong or
// odd in the node's file, one "FILE:LINE: reason: reading taken" a line.
std::string od_request(const NodeObjects& objects, const std::vector<std::string>& words);
// The same as a stream: the objects that match are counted first, their lines made as they are
// sent (the dictionary does not change once read; the last values are taken as each line is
// made). Memory: 4 bytes a matching object with TEXT, nothing more without.
AnswerStream od_stream(const NodeObjects& objects, const std::vector<std::string>& words);

}  // namespace canbus_server
