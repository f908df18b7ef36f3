// The receive cycle and its debug print: a registered master whose can_get hands out
// fuzzer-made frames (any identifier and length byte, any count up to the buffer) is filled by
// can_looping with the debug bit set and .DEBUG_ID chosen by the input. Each printed line must be
// the frame's own, at most its 8 data bytes shown; frames of identifier 0 and frames of a node
// the selection does not name are not printed; can_array must hand out what the fill took.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "fuzz_input.h"
#include "registry.h"

// The line handle of a line object that has no supervision thread and no driver handle: lets
// the node property count as attached without a bus.
struct canline_test_access {
  static void set_handle(canline& l, NTCAN_HANDLE h) { l.linehandle_ = h; }
};

namespace {

class FuzzCan : public D_can {
 public:
  explicit FuzzCan(const std::string& pn, EqFct* ef, canline* line) : D_can(pn, ef) {
    rxmsg_ = rx_;
    rxmsg_len_ = &count_;
    can_ret_ = &ret_;
    pline_ = line;
    handle(1);
  }

  void start(fuzz::Input* in, const IIII& ident) {
    in_ = in;
    canIdent_ = ident;
    fed.clear();
  }

  // The take of the fill: a batch from the input, or a driver failure.
  int can_get(CMSG* rxmsg, int* length) override {
    const uint8_t head = in_->u8();
    if (head >= 0xF0) {
      *length = -1;
      return NTCAN_INVALID_HANDLE;
    }
    const int n = std::min<int>(head % 101, *length);
    for (int i = 0; i < n; ++i) {
      CMSG m{};
      const uint8_t kind = in_->u8();
      m.id = (kind & 1) != 0 ? 0 : static_cast<int32_t>(in_->u16() & 0x7FF);
      m.len = (kind & 2) != 0 ? in_->u8() : static_cast<uint8_t>(kind >> 4);
      in_->bytes(m.data, 8);
      rxmsg[i] = m;
      fed.push_back(m);
    }
    *length = n;
    return NTCAN_SUCCESS;
  }

  std::vector<CMSG> fed;

 private:
  fuzz::Input* in_ = nullptr;
  CMSG rx_[kRxFrames] = {};
  int32_t count_ = 0;
  int ret_ = 0;
};

struct World {
  EqFct loc{"FUZZ"};
  canline line;
  FuzzCan* can;
  World() {
    tavik::LogCapture quiet;
    canline_test_access::set_handle(line, 1);
    can = new FuzzCan("P a printed node", &loc, &line);
    loc.own(can);
    std::lock_guard<std::mutex> lk(D_can::mx_loop);
    can_list.push_back(can);
  }
};

World& world() {
  static World* w = new World;
  return *w;
}

std::string print_line(const CMSG& m) {
  std::string data;
  const int n = std::min(m.len & 0x0F, 8);
  for (int j = 0; j < n; ++j) {
    char piece[4];
    std::snprintf(piece, sizeof piece, " %02X", m.data[j]);
    data += piece;
  }
  char line[200];
  std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len,
                data.c_str());
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  World& w = world();
  tavik::LogCapture log;

  IIII ident{in.u8() % 22, in.u8() % 8, in.u8() % 4, in.i32()};
  IIII sel = ident;
  const uint8_t how = in.u8();
  if ((how & 1) != 0) sel.i4_data = in.i32();  // not compared
  if ((how & 2) != 0) sel.i1_data = in.u8() % 22;
  if ((how & 4) != 0) sel.i2_data = in.u8() % 8;
  if ((how & 8) != 0) sel.i3_data = in.u8() % 4;
  D_can::canIdent_debug_->set_value(sel);
  const bool debug = (how & 16) == 0;
  TAVIK_debug = debug ? DF_DAQ_5 : 0;
  w.can->start(&in, ident);

  FUZZ_CHECK(can_looping() == 0);

  const bool selected =
      sel.i1_data == ident.i1_data && sel.i2_data == ident.i2_data && sel.i3_data == ident.i3_data;
  std::vector<std::string> expect;
  if (debug && selected) {
    for (const CMSG& m : w.can->fed) {
      if (m.id != 0) expect.push_back(print_line(m));
    }
  }
  const auto lines = log.with_label("can_print");
  FUZZ_CHECK(lines.size() == expect.size());
  for (size_t i = 0; i < expect.size(); ++i) FUZZ_CHECK(lines[i].message == expect[i]);

  std::vector<CMSG> out(D_can::kRxFrames);
  int length = -5;
  const int r = w.can->can_array(out.data(), &length);
  if (*w.can->rx_count() < 0) {
    FUZZ_CHECK(r == NTCAN_INVALID_HANDLE && length == 0);
  } else {
    FUZZ_CHECK(r == 0);
    FUZZ_CHECK(length == static_cast<int>(w.can->fed.size()));
    for (int i = 0; i < length; ++i) {
      FUZZ_CHECK(out[i].id == w.can->fed[i].id && out[i].len == w.can->fed[i].len);
      FUZZ_CHECK(std::memcmp(out[i].data, w.can->fed[i].data, 8) == 0);
    }
  }
  return 0;
}
