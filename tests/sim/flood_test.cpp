// The hostile peer: what each sent kind puts on the wire, and the streams of a hostile simulated device.
#include "sim/flood.h"

#include <gtest/gtest.h>

#include <set>

#include "protocol/device_msgs.h"
#include "sim/simulator.h"
#include "udp_peer.h"

namespace {

using testing_support::UdpPeer;

TEST(SimFlood, EachSentKindPutsWhatItClaimsOnTheWire) {
    const struct Row {
        Sim::FloodKind kind;
        std::vector<std::string> texts;  // each followed by the zero byte
    } rows[] = {
        {Sim::FloodKind::kPing, {R"({"msg":"ping","msg_id":7})"}},
        {Sim::FloodKind::kPingPair, {R"({"msg":"ping","msg_id":7})", R"({"att":1,"msg":"ping","msg_id":8})"}},
        {Sim::FloodKind::kBigAtt, {R"({"att":16777216,"msg":"ping","msg_id":7})"}},
    };
    for (const Row& row : rows) {
        std::uint32_t id = 7;
        std::vector<std::vector<std::uint8_t>> expected;
        for (const std::string& t : row.texts) {
            expected.push_back(testing_support::BytesOf(t));
        }
        EXPECT_EQ(Sim::FloodRound(row.kind, id), expected) << Sim::FloodKindName(row.kind);
        EXPECT_EQ(id, 7 + row.texts.size());
    }
    const Network::AsioDriverJsonMsgFactory factory;
    for (std::uint32_t id = 0; id < 4;) {  // each form of garbage decodes as nothing
        const auto round = Sim::FloodRound(Sim::FloodKind::kGarbage, id);
        ASSERT_EQ(round.size(), 1u);
        EXPECT_EQ(Network::JsonMsg::FromDatagram(round[0].data(), round[0].size(), &factory, nullptr),
                  nullptr)
            << testing_support::TextOf(round[0]);
    }
}

TEST(SimFlood, AHostileDeviceStreamsNewMessagesAtWhoeverTriggersIt) {
    const struct Row {
        const char* trigger;
        std::uint32_t Sim::Faults::*rate;
        std::string type, answers;
    } rows[] = {
        {R"({"msg":"dev_find","msg_id":41})", &Sim::Faults::dev_info_flood, "dev_info",
         R"("ack_msg_id":41,)"},
        {R"({"msg":"get_state","msg_id":41})", &Sim::Faults::get_time_flood, "get_time", ""},
    };
    for (const Row& row : rows) {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(1);
        config.devices[0].faults.*row.rate = 2000;
        Sim::Simulator sim;
        ASSERT_TRUE(sim.Start(config));
        UdpPeer peer;
        ASSERT_TRUE(peer.SendText(row.trigger, sim.DeviceAddress(0).Native()));
        std::set<std::string> ids;
        for (int received = 0; received < 300 && ids.size() < 50; ++received) {
            const auto d = peer.Receive();
            ASSERT_TRUE(d) << row.type << ": the stream ended after " << ids.size();
            if (d->Type() == row.type) {
                EXPECT_EQ(d->Text().rfind("{" + row.answers, 0), 0u) << d->Text();
                const std::string text = d->Text();
                const std::size_t at = text.find("\"msg_id\":");
                ids.insert(text.substr(at, text.find_first_of(",}", at) - at));
            }
        }
        EXPECT_EQ(ids.size(), 50u) << row.type << ": every message of the stream has an id of its own";
    }
}

}  // namespace
