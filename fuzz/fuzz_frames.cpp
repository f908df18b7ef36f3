// Guarding replies and emergency frames: arrays of fuzzer-made frames (any identifier, any
// length byte, any count from negative to the array's size) handed to D_Alive::can_read,
// D_Alive::check_alive, D_Alive::isalive and D_can::can_emergency, each checked against what the
// array holds.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "fuzz_input.h"

namespace {

struct World {
  EqFct loc{"FUZZ"};
  D_can* can;
  World() {
    tavik::LogCapture quiet;
    can = new D_can("G a guarded node", &loc);
    loc.own(can);
  }
};

World& world() {
  static World* w = new World;
  return *w;
}

// The array, exactly as long as the input makes it, so that any read past it is caught.
std::vector<CMSG> frames(fuzz::Input& in, int ident) {
  std::vector<CMSG> v(in.u8() % 17);
  for (CMSG& m : v) {
    const uint8_t kind = in.u8();
    switch (kind & 3) {
      case 0:
        m.id = ident + 0x700;
        break;
      case 1:
        m.id = ident + 0x80;
        break;
      default:
        m.id = static_cast<int32_t>(in.u16()) - 0x800;
        break;
    }
    m.len = (kind & 4) != 0 ? in.u8() : static_cast<uint8_t>((kind >> 3) & 1 ? 1 : 8);
    m.msg_lost = in.u8();
    in.bytes(m.data, 8);
  }
  return v;
}

std::string emcy_text(const CMSG& m) {
  std::string s;
  const int n = std::min(m.len & 0x0F, 8);
  for (int j = 0; j < n; ++j) {
    char piece[10];
    std::snprintf(piece, sizeof piece, "0x%X ", m.data[j]);
    s += piece;
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  World& w = world();
  tavik::LogCapture log;
  D_Alive* alive = w.can->alive_prop();

  const int ident = static_cast<int>(in.u16() % 0x1000) - 0x800;
  std::vector<CMSG> v = frames(in, ident);
  const int n = static_cast<int>(v.size());
  int count = static_cast<int>(in.u8() % 20) - 2;
  if (count > n) count = n;
  CMSG* array = v.empty() ? nullptr : v.data();

  // The first one-byte frame on the guarding identifier, if the count reaches it.
  const CMSG* reply = nullptr;
  const CMSG* emcy = nullptr;
  for (int i = 0; i < count; ++i) {
    if (reply == nullptr && v[i].id == ident + 0x700 && v[i].len == 1) reply = &v[i];
    if (emcy == nullptr && v[i].id == ident + 0x80) emcy = &v[i];
  }

  const bool use_check = in.flag();
  alive->set_value(15);
  const std::string condition_before = w.can->condition_prop()->value();
  const int state_before = alive->value();
  int l = count;
  const int r =
      use_check ? alive->check_alive(ident, array, &l) : alive->can_read(ident, array, &l);
  FUZZ_CHECK(l == count);
  if (reply == nullptr) {
    FUZZ_CHECK(r == 0);
    FUZZ_CHECK(alive->value() == state_before);
  } else {
    FUZZ_CHECK(alive->value() == reply->data[0]);
    FUZZ_CHECK(r == ((reply->data[0] & 0x7F) == 5 ? 100 : 0));
  }
  if (use_check && r == 100) {
    FUZZ_CHECK(w.can->condition_prop()->value() == "Operational");
  } else {
    FUZZ_CHECK(w.can->condition_prop()->value() == condition_before);
  }
  FUZZ_CHECK(alive->isalive() == ((alive->value() & 0x0F) == 5));

  l = count;
  const int e = w.can->can_emergency(ident, array, &l);
  FUZZ_CHECK(l == count);
  const auto lines = log.with_label("D_can::can_emergency");
  if (emcy == nullptr) {
    FUZZ_CHECK(e == 0);
    FUZZ_CHECK(lines.empty());
  } else {
    FUZZ_CHECK(e == 100);
    FUZZ_CHECK(lines.size() == 1);
    FUZZ_CHECK(lines[0].message == emcy_text(*emcy));
  }
  return 0;
}
