// A DCF checked against the EDS of its device: every entry of the DCF in the EDS with the same
// data type, ParameterValues only for entries the device lets one write, and within the EDS's
// limits. The reader's own warnings and errors of the DCF are findings as well.
#include <algorithm>
#include <cstdio>

#include "D_esdcan.h"

namespace canbus {
namespace {

struct Finding {
  int line;
  std::string text;
};

bool less_than(DataType t, const Value& a, const Value& b) {
  if (is_real_type(t)) return a.as_real() < b.as_real();
  if (is_signed_type(t)) return a.as_int() < b.as_int();
  return a.as_uint() < b.as_uint();
}

}  // namespace

std::vector<std::string> check_dcf_against_eds(const std::string& dcf_text,
                                               const std::string& dcf_name,
                                               const ObjectDictionary& eds) {
  ObjectDictionary dcf;
  std::vector<std::string> errors;
  if (!ObjectDictionary::parse(dcf_text, dcf_name, dcf, errors)) return errors;
  std::vector<Finding> found;
  for (const OdWarning& w : dcf.warnings()) found.push_back({w.line, w.text});
  for (const ObjectEntry* e : dcf.entries()) {
    char head[24];
    std::snprintf(head, sizeof head, "0x%04X:%02X ", e->index, e->subindex);
    const std::string what = head + ("'" + e->full_name + "'");
    const ObjectEntry* x = eds.find(e->index, e->subindex);
    if (x == nullptr) {
      found.push_back({e->line, what + " is not in the EDS"});
      continue;
    }
    if (x->data_type != e->data_type) {
      found.push_back({e->line, what + " is " + data_type_name(e->data_type) + ", the EDS has " +
                                    data_type_name(x->data_type)});
    }
    if (e->parameter_value.empty()) continue;
    const int line = e->parameter_line != 0 ? e->parameter_line : e->line;
    if (!access_writable(x->access)) {
      found.push_back(
          {line, what + ": a ParameterValue for an entry the EDS makes " + access_name(x->access)});
      continue;
    }
    if (x->data_type != e->data_type || is_byte_type(x->data_type)) continue;
    const Value& v = e->parameter_value;
    if (!x->low.empty() && less_than(x->data_type, v, x->low)) {
      found.push_back({line, what + ": ParameterValue " + v.text() + " below the EDS's LowLimit " +
                                 x->low.text()});
    } else if (!x->high.empty() && less_than(x->data_type, x->high, v)) {
      found.push_back({line, what + ": ParameterValue " + v.text() + " above the EDS's HighLimit " +
                                 x->high.text()});
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
  std::vector<std::string> out;
  for (const Finding& f : found)
    out.push_back(dcf_name + ":" + std::to_string(f.line) + ": " + f.text);
  return out;
}

}  // namespace canbus
