// The SDO upload client fed with reply sequences made by the fuzzer. A node property whose
// can_read_for hands out fuzzer-made batches of frames (and whose can_write only records the
// requests) runs one upload per input — get_manufacture, get_hwversion, get_swversion or
// segSdoRead into a 64-byte buffer — under a virtual clock that advances on every reading, so
// that each wait ends. An independent model of the protocol replays the batches the client took
// and must reach the same result, the same buffer and the same requests.
//
// Ops 4 to 7 run sdo_read and sdo_write in block and automatic mode (a fresh property each time,
// so that what one input taught it about block transfer does not carry over) and check what
// must hold whatever the replies: a result of the allowed kinds, requests of 8 bytes to the node,
// an abort the client sent that matches its result, no value after a failed read, and in a
// download segments numbered 1, 2, ... within each sub-block carrying the value's segments in
// order, the last one only with the last flag, and an end frame with the unused byte count and
// the CRC computed here apart (table-driven).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "fuzz_input.h"

namespace {

constexpr int kComplete = 0x12345678;
constexpr size_t kBuf = 64;
constexpr NTCAN_RESULT kTakeErrors[] = {NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE, NTCAN_CONTR_OFF_BUS,
                                        NTCAN_MESSAGE_LOST};
constexpr NTCAN_RESULT kWriteError = NTCAN_TX_ERROR;

struct Batch {
  NTCAN_RESULT ret = NTCAN_SUCCESS;
  std::vector<CMSG> frames;
};

struct Sent {
  int id;
  int len;
  uint8_t data[8];
};

class FuzzCan : public D_can {
 public:
  using D_can::D_can;

  void start(fuzz::Input* in, int node, unsigned fail_write_at) {
    in_ = in;
    canIdent_.i2_data = node;
    fail_write_at_ = fail_write_at;
    batches.clear();
    sent.clear();
  }

  // The client's reply wait reads through here, one frame at a time.
  int can_read_for(CMSG* rxmsg, int* length, int64_t) override {
    Batch b;
    const int want = *length;
    *length = 0;
    if (!in_->empty()) {
      const uint8_t head = in_->u8();
      if (head >= 0xF8) {
        b.ret = kTakeErrors[head & 3];
      } else {
        const int n = std::min<int>(head % 8 == 7 ? head % 101 : head % 8, want);
        for (int i = 0; i < n; ++i) {
          CMSG m{};
          const uint8_t kind = in_->u8();
          // Mostly replies of the node, so that the fuzzer gets through the protocol.
          m.id = (kind & 0x80) != 0 ? static_cast<int32_t>(in_->u16() & 0x7FF)
                                    : 0x580 + canIdent_.i2_data;
          m.len = (kind & 0x40) != 0 ? in_->u8() : 8;
          in_->bytes(m.data, 8);
          b.frames.push_back(m);
        }
        if (n > 0) std::memcpy(rxmsg, b.frames.data(), b.frames.size() * sizeof(CMSG));
        *length = n;
      }
    }
    batches.push_back(b);
    return b.ret;
  }

  int can_write(int ident, int length, unsigned char* Data) override {
    Sent s{ident, length, {}};
    std::memcpy(s.data, Data, 8);
    sent.push_back(s);
    return sent.size() == fail_write_at_ ? kWriteError : NTCAN_SUCCESS;
  }

  // Gives the property the open line's handle, so that the calls that check for one go ahead;
  // the driver calls themselves are the ones above.
  void use_line(canline* l) {
    pline_ = l;
    canhandle_ = l->handle();
  }

  std::vector<Batch> batches;
  std::vector<Sent> sent;

 private:
  fuzz::Input* in_ = nullptr;
  unsigned fail_write_at_ = 0;
};

// The protocol, replayed over the batches the client took.
struct Model {
  Model(const std::vector<Batch>& b, unsigned fail_at) : batches(b), fail_write_at(fail_at) {}
  const std::vector<Batch>& batches;
  unsigned fail_write_at;
  size_t next = 0;
  unsigned writes = 0;
  int index = 0;
  int subindex = 0;
  int toggle = 0;
  std::vector<Sent> sent;
  uint8_t buf[kBuf] = {};

  int write(int id, const uint8_t (&d)[8]) {
    Sent s{id, 8, {}};
    std::memcpy(s.data, d, 8);
    sent.push_back(s);
    return ++writes == fail_write_at ? kWriteError : NTCAN_SUCCESS;
  }

  bool is_abort(const CMSG& m) const {
    return (m.data[0] & 0xF0) == 0x80 && (m.data[1] | (m.data[2] << 8)) == index &&
           m.data[3] == subindex;
  }

  // One reply wait; `test` gives -2 to pass a frame over, else the wait's result.
  template <class Test>
  int wait(int node, Test test) {
    while (next < batches.size()) {
      const Batch& b = batches[next++];
      if (b.ret == NTCAN_RX_TIMEOUT) continue;  // the wait goes on until its deadline
      if (b.ret != NTCAN_SUCCESS) return b.ret;
      for (const CMSG& m : b.frames) {
        if (is_abort(m)) {
          abort_code = static_cast<uint32_t>(m.data[4]) | static_cast<uint32_t>(m.data[5]) << 8 |
                       static_cast<uint32_t>(m.data[6]) << 16 |
                       static_cast<uint32_t>(m.data[7]) << 24;
          return -1;
        }
        if (m.id != 0x580 + node) continue;
        const int r = test(m);
        if (r != -2) return r;
      }
    }
    return -1;  // the client stopped taking batches: time-out
  }

  // The code of the node's abort that ended the upload; 0 when none did.
  uint32_t abort_code = 0;

  int run(int node, int own_node, int idx, int sub) {
    abort_code = 0;
    int offset = 0;
    index = idx;
    subindex = sub;
    toggle = 1;
    const uint8_t init[8] = {0x40,
                             static_cast<uint8_t>(idx & 0xFF),
                             static_cast<uint8_t>((idx >> 8) & 0xFF),
                             static_cast<uint8_t>(sub & 0xFF),
                             0,
                             0,
                             0,
                             0};
    if (int e = write(0x600 + node, init)) return e;
    int r = wait(node, [&](const CMSG& m) {
      if ((m.data[0] & 0xF0) != 0x40) return -2;
      if ((m.data[0] & 0x02) == 0) return 0;
      const int n = (m.data[0] & 0x01) != 0 ? 4 - ((m.data[0] >> 2) & 3) : 4;
      std::memcpy(buf, &m.data[4], static_cast<size_t>(n));
      buf[n] = 0;
      offset = n;
      return kComplete;
    });
    if (r == kComplete) return 0;
    if (r != 0) return r;
    for (;;) {
      const uint8_t seg[8] = {static_cast<uint8_t>(toggle != 0 ? 0x60 : 0x70), 0, 0, 0, 0, 0, 0, 0};
      toggle = toggle == 0 ? 1 : 0;
      if (int q = write(0x600 + own_node, seg)) return q;
      const int s = wait(node, [&](const CMSG& m) {
        if ((m.data[0] & 0xE0) != 0) return -2;
        if (((m.data[0] & 0x10) != 0 ? 1 : 0) != toggle) return -1;
        const int n = 7 - ((m.data[0] >> 1) & 7);
        // At most 63 bytes are kept: the last byte of the buffer stays zero.
        for (int k = 0; k < n; ++k) {
          if (offset + k < static_cast<int>(kBuf) - 1) buf[offset + k] = m.data[1 + k];
        }
        offset += n;
        return (m.data[0] & 0x01) != 0 ? kComplete : 0;
      });
      if (s == 0) continue;
      return s == kComplete ? 0 : s;
    }
  }
};

// The identity text as the client stores it: cut at the first byte outside 0x20..0x7E.
std::string printable_prefix(const uint8_t* b) {
  std::string s;
  for (size_t i = 0; i < kBuf && b[i] != 0; ++i) {
    if (b[i] < 0x20 || b[i] > 0x7E) break;
    s += static_cast<char>(b[i]);
  }
  return s;
}

// CRC-16/CCITT, polynomial 0x1021, initial value 0, by a table: not the client's bitwise loop.
uint16_t crc_table(const std::vector<uint8_t>& v) {
  static const auto table = [] {
    std::vector<uint16_t> t(256);
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i << 8;
      for (int b = 0; b < 8; ++b) c = (c & 0x8000) != 0 ? (c << 1) ^ 0x1021 : c << 1;
      t[i] = static_cast<uint16_t>(c);
    }
    return t;
  }();
  uint16_t crc = 0;
  for (uint8_t b : v) crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
  return crc;
}

bool result_allowed(int r) {
  if (r == 0 || r == D_can::kSdoTimeout || r == kWriteError) return true;
  if (r >= 0x05000000) return true;
  for (NTCAN_RESULT e : kTakeErrors) {
    if (e != NTCAN_RX_TIMEOUT && r == static_cast<int>(e)) return true;
  }
  return false;
}

// The segments of a block download after its initiate request, and its end frame. The value's
// segments must differ within any 256 of them (see block_value).
// With `may_fall_back` (automatic mode) the node may have refused the block request, and the
// download went on by the segmented protocol instead.
void check_download(const std::vector<Sent>& sent, const std::vector<uint8_t>& value,
                    bool may_fall_back) {
  const size_t segments = std::max<size_t>(1, (value.size() + 6) / 7);
  auto matches = [&](size_t k, const uint8_t* d) {
    uint8_t want[7] = {};
    const size_t off = k * 7;
    if (off < value.size()) {
      std::memcpy(want, value.data() + off, std::min<size_t>(7, value.size() - off));
    }
    return std::memcmp(want, d + 1, 7) == 0 && ((d[0] & 0x80) != 0) == (k + 1 == segments);
  };
  size_t first = 0;  // value segment of the sub-block's sequence number 1
  size_t index = 0;  // value segment of the previous frame
  unsigned seq = 0;  // sequence number of the previous frame; 0 before the first
  bool ended_last = false;
  size_t at = 1;
  for (; at < sent.size(); ++at) {
    const uint8_t* d = sent[at].data;
    if (d[0] == 0x80) return;  // the client's abort (checked by the caller)
    if (ended_last && (d[0] & 0xE3) == 0xC1) break;
    const unsigned s = d[0] & 0x7Fu;
    if (at == 1 && s != 1 && may_fall_back) return;
    if (s == 1) {
      // Again from the segment after the acknowledged one: from the last sub-block's first up
      // to one past its last.
      const size_t hi = seq == 0 ? 0 : index + 1;
      size_t k = seq == 0 ? 0 : first;
      while (k <= hi && k < segments && !matches(k, d)) ++k;
      FUZZ_CHECK(k <= hi && k < segments);
      first = index = k;
    } else {
      FUZZ_CHECK(seq != 0 && s == seq + 1 && s <= 127);
      ++index;
      FUZZ_CHECK(index < segments && matches(index, d));
    }
    ended_last = (d[0] & 0x80) != 0;
    seq = s;
  }
  if (at >= sent.size()) return;
  const uint8_t* end = sent[at].data;
  FUZZ_CHECK(((end[0] >> 2) & 7u) == segments * 7 - value.size());
  // The CRC goes when the server announced it; otherwise the bytes are zero.
  const uint16_t got = static_cast<uint16_t>(end[1] | (end[2] << 8));
  FUZZ_CHECK(got == crc_table(value) || got == 0);
  // After the end only the client's abort (a silent node, a wrong reply) may follow.
  FUZZ_CHECK(at + 1 == sent.size() || (at + 2 == sent.size() && sent[at + 1].data[0] == 0x80));
}

// A value whose segments differ within any 256 of them: byte i is seed + 13 i.
std::vector<uint8_t> block_value(size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + 13 * i);
  return v;
}

// Ops 4..7: block and automatic reads and writes on a fresh property.
void run_block(fuzz::Input& in, uint8_t op, int node, unsigned fail_write_at, canline* line) {
  // A location of its own: the property's sub-properties go with it.
  EqFct loc("FUZZ.BLOCK");
  FuzzCan can("B a block client", &loc);
  can.use_line(line);
  const bool write = op >= 6;
  const SdoMode mode = (op & 1) == 0 ? SdoMode::kBlock : SdoMode::kAuto;
  can.sdo_block_threshold(in.u8());
  const int idx = in.u16();
  const int sub = in.u8();
  std::vector<uint8_t> value;
  if (write) value = block_value(in.u16() % 4097, in.u8());
  can.start(&in, node, fail_write_at);
  std::vector<uint8_t> got{0xEE};
  const int r = write ? can.sdo_write(idx, sub, value, mode) : can.sdo_read(idx, sub, got, mode);
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "op %d node %d: result %d, %zu batches, %zu requests, %zu bytes\n", op,
                 node, r, can.batches.size(), can.sent.size(), write ? value.size() : got.size());
  }
  FUZZ_CHECK(result_allowed(r));
  for (const Sent& s : can.sent) {
    FUZZ_CHECK(s.id == 0x600 + node);
    FUZZ_CHECK(s.len == 8);
  }
  FUZZ_CHECK(!can.sent.empty() || r == NTCAN_INVALID_HANDLE);
  if (!write && r != 0) FUZZ_CHECK(got.empty());
  if (!can.sent.empty()) {
    const Sent& last = can.sent.back();
    if (last.data[0] == 0x80) {
      const uint32_t code = static_cast<uint32_t>(last.data[4] | last.data[5] << 8 |
                                                  last.data[6] << 16 | last.data[7] << 24);
      // The client's abort is its result; the abort sent to a silent node is the time-out.
      FUZZ_CHECK(static_cast<int>(code) == r || (code == 0x05040000 && r == D_can::kSdoTimeout));
    }
    const uint8_t first = can.sent.front().data[0];
    if (write && first == 0xC6) check_download(can.sent, value, mode == SdoMode::kAuto);
  }
}

struct World {
  tavik::VirtualClock clock;
  EqFct loc{"FUZZ"};
  FuzzCan* can;
  canline line;
  World() {
    // Every reading of the time moves it on by 0.25 s: a reply wait ends after a dozen batches.
    clock.set_tick_per_read(250'000'000);
    tavik::set_clock(&clock);
    tavik::LogCapture quiet;
    can = new FuzzCan("S an SDO client", &loc);
    loc.own(can);
    // An open line (net 0 of the virtual bus) for the block ops' properties.
    line.setline(1);
    line.can_open();
  }
};

World& world() {
  static World* w = new World;
  return *w;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The abort and toggle messages go to standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  World& w = world();
  w.clock.clear_sleeps();
  tavik::LogCapture log;

  const uint8_t op = in.u8() % 8;
  const int own_node = in.u8() % 128;
  const unsigned fail_write_at = in.u8() % 8;  // 0: every request goes out
  if (op >= 4) {
    run_block(in, op, own_node, fail_write_at, &w.line);
    return 0;
  }
  int node = own_node;
  int idx = 0x1008 + (op == 1 ? 1 : op == 2 ? 2 : 0);
  int sub = 0;
  if (op == 3) {
    // The node argument may differ from the property's own node id.
    node = in.flag() ? in.u8() % 128 : own_node;
    idx = in.u16();
    sub = in.u8();
  }
  w.can->start(&in, own_node, fail_write_at);

  int result = 0;
  uint8_t* buffer = nullptr;
  D_string* prop = nullptr;
  switch (op) {
    case 0:
      result = w.can->get_manufacture();
      prop = w.can->manu_prop();
      break;
    case 1:
      result = w.can->get_hwversion();
      prop = w.can->hwver_prop();
      break;
    case 2:
      result = w.can->get_swversion();
      prop = w.can->swver_prop();
      break;
    default:
      // Exactly 64 bytes on the heap: any write past them is caught.
      buffer = new uint8_t[kBuf]();
      result = w.can->segSdoRead(static_cast<short>(node), idx, sub,
                                 reinterpret_cast<char*>(buffer), kBuf);
      break;
  }

  Model model(w.can->batches, fail_write_at);
  int expect = model.run(node, own_node, idx, sub);
  // The optional identity objects a node lacks are "-", and no failure.
  const bool absent = (op == 1 || op == 2) && expect == -1 &&
                      (model.abort_code == 0x06020000 || model.abort_code == 0x06090011);
  if (absent) expect = 0;
  // FUZZ_VERBOSE=1 prints each upload's outcome, for looking into a kept input.
  if (std::getenv("FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr,
                 "op %d node %d: result %d (model %d), %zu batches, %zu requests, value \"%s\"\n",
                 op, node, result, expect, w.can->batches.size(), w.can->sent.size(),
                 prop != nullptr ? prop->value().c_str() : reinterpret_cast<char*>(buffer));
  }
  FUZZ_CHECK(result == expect);
  FUZZ_CHECK(w.can->sent.size() == model.sent.size());
  for (size_t i = 0; i < model.sent.size(); ++i) {
    FUZZ_CHECK(w.can->sent[i].id == model.sent[i].id);
    FUZZ_CHECK(w.can->sent[i].len == 8);
    FUZZ_CHECK(std::memcmp(w.can->sent[i].data, model.sent[i].data, 8) == 0);
  }
  if (buffer != nullptr) {
    FUZZ_CHECK(std::memcmp(buffer, model.buf, kBuf) == 0);
    delete[] buffer;
  } else {
    const std::string value = prop->value();
    FUZZ_CHECK(value == (absent        ? std::string("-")
                         : expect == 0 ? printable_prefix(model.buf)
                                       : std::string("error")));
  }
  return 0;
}
