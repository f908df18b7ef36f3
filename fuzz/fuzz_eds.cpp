// The EDS/DCF reader: ObjectDictionary::parse of any text. A refused text gives errors that name
// the file and leaves the dictionary empty; a read one holds entries in index order, each found
// by its index and (unless ambiguous) by its name, with values that fit their type, and its
// warnings name the file. What a strict reading takes, the other takes without a warning.
#include <cstdint>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  canbus::ObjectDictionary od;
  std::vector<std::string> errors;
  const int node_id = size > 0 ? data[0] & 0x7F : 0;
  const bool ok = canbus::ObjectDictionary::parse(text, "f.eds", od, errors, node_id);
  canbus::ObjectDictionary strict;
  std::vector<std::string> strict_errors;
  if (canbus::ObjectDictionary::parse(text, "f.eds", strict, strict_errors, node_id, true)) {
    FUZZ_CHECK(ok && od.warnings().empty() && strict.warnings().empty());
    FUZZ_CHECK(strict.size() == od.size());
  } else {
    FUZZ_CHECK(!strict_errors.empty() && strict.size() == 0);
  }
  for (const auto& w : od.warnings()) FUZZ_CHECK(w.file == "f.eds" && !w.text.empty());
  if (!ok) {
    FUZZ_CHECK(!errors.empty());
    FUZZ_CHECK(od.size() == 0);
    for (const auto& e : errors) FUZZ_CHECK(e.rfind("f.eds", 0) == 0 || e.rfind("...", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(errors.empty());
  const canbus::ObjectEntry* prev = nullptr;
  for (const canbus::ObjectEntry* e : od.entries()) {
    if (prev != nullptr) {
      FUZZ_CHECK(prev->index < e->index ||
                 (prev->index == e->index && prev->subindex < e->subindex));
    }
    prev = e;
    FUZZ_CHECK(od.find(e->index, e->subindex) == e);
    FUZZ_CHECK(od.has_object(e->index));
    const canbus::ObjectEntry* by_name = od.find(e->full_name);
    FUZZ_CHECK(by_name == nullptr || by_name == e);
    std::vector<uint8_t> bytes;
    for (const canbus::Value* v : {&e->default_value, &e->parameter_value, &e->low, &e->high}) {
      if (!v->empty()) FUZZ_CHECK(canbus::encode_value(e->data_type, *v, bytes, nullptr));
    }
  }
  return 0;
}
