// The hostile peer: what each sent kind puts on the wire, and the streams of a hostile simulated device.
#include "sim/flood.h"

#include <gtest/gtest.h>

#include <set>

#include "protocol/device_msgs.h"
#include "sim/simulator.h"
#include "udp_peer.h"

namespace {

using testing_support::BytesOf;
using Datagrams = std::vector<std::vector<std::uint8_t>>;

TEST(SimFlood, EachSentKindPutsWhatItClaimsOnTheWire) {
    std::uint32_t id = 7;
    EXPECT_EQ(Sim::FloodRound(Sim::FloodKind::kPingPair, id),
              (Datagrams{BytesOf(R"({"msg":"ping","msg_id":7})"),
                         BytesOf(R"({"att":1,"msg":"ping","msg_id":8})")}));
    EXPECT_EQ(Sim::FloodRound(Sim::FloodKind::kBigAtt, id),
              (Datagrams{BytesOf(R"({"att":16777216,"msg":"ping","msg_id":9})")}));
    const Network::AsioDriverJsonMsgFactory factory;
    for (id = 0; id < 4;) {  // each form of garbage decodes as nothing
        const std::vector<std::uint8_t> d = Sim::FloodRound(Sim::FloodKind::kGarbage, id).at(0);
        EXPECT_EQ(Network::JsonMsg::FromDatagram(d.data(), d.size(), &factory, nullptr), nullptr)
            << testing_support::TextOf(d);
    }
}

// Each row's trigger starts a stream of which 50 messages must come, each with an id of its own.
TEST(SimFlood, AHostileDeviceStreamsNewMessagesAtWhoeverTriggersIt) {
    const struct Row {
        const char* trigger;
        std::uint32_t Sim::Faults::*rate;
        std::string starts;  // every message of the stream
    } rows[] = {
        {R"({"msg":"dev_find","msg_id":41})", &Sim::Faults::dev_info_flood,
         R"({"ack_msg_id":41,"audio_protocol")"},
        {R"({"msg":"get_state","msg_id":41})", &Sim::Faults::get_time_flood,
         R"({"msg":"get_time","msg_id":)"},
    };
    for (const Row& row : rows) {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(1);
        config.devices[0].faults.*row.rate = 2000;
        Sim::Simulator sim;
        ASSERT_TRUE(sim.Start(config));
        testing_support::UdpPeer peer;
        ASSERT_TRUE(peer.SendText(row.trigger, sim.DeviceAddress(0).Native()));
        EXPECT_TRUE(peer.WaitUntil([&](const std::vector<testing_support::PeerDatagram>& got) {
            std::set<std::optional<std::uint32_t>> ids;
            for (const auto& d : got) {
                if (d.Text().rfind(row.starts, 0) == 0) {
                    ids.insert(d.MsgId());
                }
            }
            return ids.size() >= 50;
        })) << row.trigger;
    }
}

}  // namespace
