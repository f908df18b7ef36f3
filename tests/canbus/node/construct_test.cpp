// Node property: sub-properties, configuration load and line, client access, node-state texts
// and the NMT commands.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "node_test_util.h"
#include "support/canbus_fixture.h"

namespace {

using canbus_test::CanbusTest;
using node_test::client_write;
using node_test::iiii;
using node_test::make_node;

struct SubProp {
  const char* suffix;
  const char* description;
  D_fct* (*get)(const D_can&);
};

const SubProp kSubProps[] = {
    {".BAUDRATE", "default 6 == 125KB ",
     [](const D_can& n) -> D_fct* { return n.baudrate_prop(); }},
    {".ALIVE", "", [](const D_can& n) -> D_fct* { return n.alive_prop(); }},
    {".CONDITION", "", [](const D_can& n) -> D_fct* { return n.condition_prop(); }},
    {".MANU", "Manufacture device name", [](const D_can& n) -> D_fct* { return n.manu_prop(); }},
    {".HWVER", "hardware version", [](const D_can& n) -> D_fct* { return n.hwver_prop(); }},
    {".SWVER", "software version", [](const D_can& n) -> D_fct* { return n.swver_prop(); }},
    {".START", "can node", [](const D_can& n) -> D_fct* { return n.start_prop(); }},
    {".STOP", "can node", [](const D_can& n) -> D_fct* { return n.stop_prop(); }},
    {".RESET", "can node", [](const D_can& n) -> D_fct* { return n.reset_prop(); }},
    {".ACTIVE", "is the master", [](const D_can& n) -> D_fct* { return n.active_prop(); }},
};

using NodeConstruction = CanbusTest;

TEST_F(NodeConstruction, SubPropertiesAreNamedAfterTheBaseNameInOrder) {
  EqFct loc("LOC");
  D_can node("CAN.NODE1 my pump", &loc);
  EXPECT_EQ(node.name(), "CAN.NODE1");
  EXPECT_EQ(node.description(), "my pump");

  const std::vector<D_fct*> props = loc.properties();
  ASSERT_EQ(props.size(), 12u);  // the node, ten sub-properties, .DEBUG_ID
  EXPECT_EQ(props[0], &node);
  for (size_t k = 0; k < std::size(kSubProps); ++k) {
    const SubProp& s = kSubProps[k];
    SCOPED_TRACE(s.suffix);
    D_fct* p = loc.find(std::string("CAN.NODE1") + s.suffix);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, s.get(node));
    EXPECT_EQ(p, props[k + 1]);
    EXPECT_EQ(p->description(), s.description);
  }
  D_fct* dbg = loc.find("CAN.NODE1.DEBUG_ID");
  ASSERT_NE(dbg, nullptr);
  EXPECT_EQ(dbg, D_can::canIdent_debug_);
  EXPECT_EQ(dbg->description(), "to print this ID data");
}

TEST_F(NodeConstruction, OnlyTheFirstNodePropertyCreatesDebugId) {
  EqFct loc("LOC");
  D_can first("CAN.A first", &loc);
  D_iiii* dbg = D_can::canIdent_debug_;
  D_can second("CAN.B second", &loc);
  EXPECT_EQ(D_can::canIdent_debug_, dbg);
  EXPECT_EQ(loc.find("CAN.B.DEBUG_ID"), nullptr);
  EXPECT_EQ(loc.properties().size(), 23u);
}

TEST_F(NodeConstruction, TextWithoutBlankIsTheBaseName) {
  EqFct loc("LOC");
  D_can node("PLAIN", &loc);
  EXPECT_EQ(node.name(), "PLAIN");
  EXPECT_NE(loc.find("PLAIN.BAUDRATE"), nullptr);
  EXPECT_NE(loc.find("PLAIN.ACTIVE"), nullptr);
}

TEST_F(NodeConstruction, DetachedUntilAttached) {
  EqFct loc("LOC");
  D_can node("CAN.NODE1", &loc);
  EXPECT_EQ(node.handle(), -1);
  EXPECT_EQ(node.line_ptr(), nullptr);
  EXPECT_EQ(node.rx_buffer(), nullptr);
  EXPECT_EQ(node.ret_ptr(), nullptr);
  EXPECT_EQ(node.rx_count(), nullptr);
  EXPECT_EQ(node.alive_ptr(), nullptr);
  EXPECT_FALSE(node.isactive());
  EXPECT_FALSE(node.has_changed());
  EXPECT_EQ(node.baudrate_prop()->get_value(), 0);
  EXPECT_EQ(node.alive_prop()->value(), 0);  // readable before attachment
  EXPECT_EQ(node.value(), IIII{});
}

TEST_F(NodeConstruction, ActiveStartsAtZeroThroughTheUpdate) {
  EqFct loc("LOC");
  D_can node("CAN.NODE1", &loc);
  EXPECT_EQ(node.active_prop()->get_value(), 0);
  // The update stamps the (virtual) time; a plain store would leave no time stamp.
  EXPECT_NE(node.active_prop()->get_timestamp().ns(), 0);
  EXPECT_EQ(node.start_prop()->get_timestamp().ns(), 0);
}

TEST_F(NodeConstruction, DebugIdFreedWithItsLocationIsCreatedAgain) {
  {
    EqFct loc("OLD");
    D_can node("CAN.OLD", &loc);
    EXPECT_NE(D_can::canIdent_debug_, nullptr);
  }
  EXPECT_EQ(D_can::canIdent_debug_, nullptr);
  EqFct loc("NEW");
  D_can node("CAN.NEW", &loc);
  EXPECT_EQ(D_can::canIdent_debug_, loc.find("CAN.NEW.DEBUG_ID"));
}

TEST_F(NodeConstruction, SubPropertiesOutlivingTheNodeAreHarmless) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5));
  ASSERT_EQ(node->init(), 0);
  D_canint* start = node->start_prop();
  D_Alive* alive = node->alive_prop();
  D_string* cond = node->condition_prop();
  cond->set_value("kept");
  node.reset();
  vbus::clear_sent(0);
  client_write(start, 3, &loc);
  EXPECT_EQ(start->get_value(), 3);
  EXPECT_TRUE(vbus::sent(0).empty());
  alive->set_value(0x05);
  EXPECT_EQ(alive->value(), 5);
  EXPECT_EQ(cond->value(), "kept");
}

// ---------------------------------------------------------------------------------------------

struct ClampCase {
  IIII in;
  IIII out;
};

void PrintTo(const ClampCase& c, std::ostream* os) {
  PrintTo(c.in, os);
  *os << " -> ";
  PrintTo(c.out, os);
}

class NodeConfig : public CanbusTest, public ::testing::WithParamInterface<ClampCase> {};

TEST_P(NodeConfig, LoadClampsOutOfRangeValues) {
  const ClampCase& c = GetParam();
  EqFct loc("LOC");
  D_can node("CAN.NODE1", &loc);
  std::ostringstream text;
  text << "CAN.NODE1: " << c.in.i1_data << ' ' << c.in.i2_data << ' ' << c.in.i3_data << ' '
       << c.in.i4_data << "\n";
  Config cfg;
  cfg.parse(text.str());
  node.conf(&cfg);
  ASSERT_EQ(cfg.registered().size(), 1u);
  EXPECT_EQ(cfg.registered()[0].second, 14);
  node.read();
  EXPECT_EQ(node.value(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Clamps, NodeConfig,
    ::testing::Values(ClampCase{iiii(21, 7, 2001, 5), iiii(0, 7, 0, 5)},
                      ClampCase{iiii(20, 2000, 2000, 2000), iiii(20, 2000, 2000, 2000)},
                      ClampCase{iiii(-3, 7, 0, 0), iiii(-3, 7, 0, 0)},
                      ClampCase{iiii(1, 2001, -2001, 2001), iiii(1, 0, -2001, 0)}));

using NodeConfigLine = CanbusTest;

TEST_F(NodeConfigLine, WithoutEntryTheCurrentValueIsClamped) {
  auto node = make_node(nullptr, "CAN.NODE1", iiii(25, 5, 3000, 1));
  Config cfg;
  node->conf(&cfg);
  node->read();
  EXPECT_EQ(node->value(), iiii(0, 5, 0, 1));
  const std::vector<D_fct*> subs = {
      node->baudrate_prop(), node->alive_prop(), node->condition_prop(), node->manu_prop(),
      node->hwver_prop(),    node->swver_prop(), node->start_prop(),     node->stop_prop(),
      node->reset_prop(),    node->active_prop()};
  node.reset();
  for (D_fct* p : subs) delete p;  // no location owns them
}

TEST_F(NodeConfigLine, FailingLookupIsLoggedAndKeepsTheValue) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5, 0, 0));
  Config cfg;
  cfg.parse("CAN.NODE1: 2 6 0 0\n");
  cfg.set_lookup_error("lookup broken");
  node->conf(&cfg);
  log().clear();
  node->read();
  EXPECT_EQ(node->value(), iiii(1, 5, 0, 0));
  ASSERT_EQ(log().count("read"), 1u);
  EXPECT_EQ(log().with_label("read")[0].message, "lookup broken");
}

TEST_F(NodeConfigLine, WrittenLineIsReadBack) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5, 0, 0));
  std::ostringstream out;
  node->write(out);
  EXPECT_EQ(out.str(), "CAN.NODE1: \t1  5  0  0\n");
  EXPECT_EQ(node->last_dump(), " \t1  5  0  0\n");

  EqFct other("OTHER");
  D_can copy("CAN.NODE1", &other);
  Config cfg;
  cfg.parse(out.str());
  copy.conf(&cfg);
  copy.read();
  EXPECT_EQ(copy.value(), iiii(1, 5, 0, 0));
}

// ---------------------------------------------------------------------------------------------

using NodeClientAccess = CanbusTest;

TEST_F(NodeClientAccess, SetStoresAndGetReturnsTheRecord) {
  EqFct loc("LOC");
  D_can node("CAN.NODE1", &loc);
  client_write(&node, iiii(1, 5, 0x181, 0), &loc);
  EXPECT_EQ(node.value(), iiii(1, 5, 385, 0));
  EqAdr adr;
  EqData in;
  EqData res;
  node.get(&adr, &in, &res, &loc);
  EXPECT_EQ(res.type(), DATA_IIII);
  ASSERT_NE(res.get_iiii(), nullptr);
  EXPECT_EQ(*res.get_iiii(), iiii(1, 5, 385, 0));
}

TEST_F(NodeClientAccess, SetWithoutRecordChangesNothing) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5));
  log().clear();
  client_write(static_cast<D_fct*>(node.get()), 7, &loc);
  EXPECT_EQ(node->value(), iiii(1, 5));
  EXPECT_TRUE(log().entries().empty());
}

TEST_F(NodeClientAccess, MultiReadGivesNodeAndIdentifierAsFloats) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5, 0x181, 7));
  EqAdr adr;
  EqData res;
  int index = 2;
  char addr[] = "CAN/LOC/CAN.NODE1";
  node->get_multi(&adr, nullptr, &res, &index, addr);
  const EqData::MdaElement* e = res.get_mda(2);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->i, 1);
  EXPECT_EQ(e->f1, 5.0f);
  EXPECT_EQ(e->f2, 385.0f);
  EXPECT_EQ(e->tm, 7);
  EXPECT_EQ(e->text, "CAN/LOC/CAN.NODE1");
}

// ---------------------------------------------------------------------------------------------

struct AliveCase {
  int state;
  const char* text;
};

void PrintTo(const AliveCase& c, std::ostream* os) {
  *os << c.state << " " << c.text;
}

class AliveText : public CanbusTest, public ::testing::WithParamInterface<AliveCase> {};

TEST_P(AliveText, StateSetsConditionOfTheOwningNode) {
  EqFct loc("LOC");
  D_can node("CAN.NODE1", &loc);
  D_can other("CAN.NODE2", &loc);
  other.condition_prop()->set_value("untouched");
  node.alive_prop()->set_value(GetParam().state);
  EXPECT_EQ(node.alive_prop()->value(), GetParam().state);
  EXPECT_EQ(node.condition_prop()->value(), GetParam().text);
  EXPECT_EQ(other.condition_prop()->value(), "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    States, AliveText,
    ::testing::Values(AliveCase{0x85, "Operational"}, AliveCase{0x05, "Operational"},
                      AliveCase{0x7F, "Preoperational"}, AliveCase{0xFF, "Preoperational"},
                      AliveCase{0x04, "Stopped"}, AliveCase{0x12, "Error"},
                      AliveCase{0x00, "default Error"}, AliveCase{0x81, "default Error"}));

// ---------------------------------------------------------------------------------------------

struct NmtCase {
  const char* suffix;
  uint8_t command;
  D_canint* (*prop)(const D_can&);
  int (D_can::*call)();
};

const NmtCase kNmt[] = {
    {".START", 1, [](const D_can& n) { return n.start_prop(); }, &D_can::start_node},
    {".STOP", 2, [](const D_can& n) { return n.stop_prop(); }, &D_can::stop_node},
    {".RESET", 0x81, [](const D_can& n) { return n.reset_prop(); }, &D_can::reset_node},
    {"modinit", 1, [](const D_can& n) { return n.start_prop(); }, &D_can::modinit},
};

using NodeNmt = CanbusTest;

TEST_F(NodeNmt, WritesStoreTheValueAndSendTheCommand) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 300));
  ASSERT_EQ(node->init(), 0);
  int value = 7;
  for (const NmtCase& c : kNmt) {
    if (c.suffix[0] != '.') continue;
    SCOPED_TRACE(c.suffix);
    vbus::clear_sent(0);
    client_write(c.prop(*node), value, &loc);
    EXPECT_EQ(c.prop(*node)->get_value(), value);
    const std::vector<CMSG> sent = vbus::sent(0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(canbus_test::frame_text(sent[0]),
              canbus_test::frame_text(canbus_test::make_frame(0, {c.command, 44})));
    value = 0;  // the value written does not matter
  }
}

TEST_F(NodeNmt, CommandsReturnTheSendResult) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(2, 0));
  ASSERT_EQ(node->init(), 0);
  for (const NmtCase& c : kNmt) {
    SCOPED_TRACE(c.suffix);
    vbus::clear_sent(1);
    EXPECT_EQ(((*node).*c.call)(), 0);
    const std::vector<CMSG> sent = vbus::sent(1);
    ASSERT_EQ(sent.size(), 1u);
    // Node 0 addresses every node.
    EXPECT_EQ(canbus_test::frame_text(sent[0]),
              canbus_test::frame_text(canbus_test::make_frame(0, {c.command, 0})));
  }
  vbus::set_net_down(1, true);
  EXPECT_EQ(node->start_node(), NTCAN_CONTR_OFF_BUS);
}

TEST_F(NodeNmt, WithoutOpenLineNothingIsSent) {
  EqFct loc("LOC");
  auto node = make_node(&loc, "CAN.NODE1", iiii(1, 5));
  for (const NmtCase& c : kNmt) {
    SCOPED_TRACE(c.suffix);
    EXPECT_EQ(((*node).*c.call)(), 77);
  }
  client_write(node->stop_prop(), 4, &loc);
  EXPECT_EQ(node->stop_prop()->get_value(), 4);
  // Attached to a line that could not be opened: still 77.
  vbus::script_open(0, {NTCAN_NET_NOT_FOUND});
  EXPECT_EQ(node->init(), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(node->reset_node(), 77);
  EXPECT_TRUE(vbus::sent(0).empty());
}

}  // namespace
