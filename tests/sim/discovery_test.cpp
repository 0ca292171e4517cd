// The discovery port plays the broadcast domain: every device answers from its own control socket.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/utf8.h"
#include "sim_test_support.h"

namespace {

using namespace sim_test;

TEST(SimDiscovery, DevFindAtTheDiscoveryPortIsAnsweredByEveryDeviceFromItsOwnPort) {
    Sim::SimConfig config = Sim::SimConfig::WithDevices(3);
    config.devices[2].unit_id = "THIRD";
    config.devices[2].tuners = 1;
    Sim::Simulator sim;
    StartOrFail(sim, config);
    const Network::SockAddr discovery = sim.DiscoveryAddress();
    ASSERT_TRUE(discovery.IsComplete());

    std::map<std::uint16_t, std::string> expected;  // control port -> unit id
    for (const Sim::DeviceEndpoint& d : sim.Devices()) {
        expected[d.address.GetPort()] = d.unit_id;
        EXPECT_NE(d.address.GetPort(), discovery.GetPort());
    }
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(expected.begin()->second.empty(), false);

    RawClient client;
    Network::JsonMsgDevFind find;
    client.Send(find, discovery);
    // Not acknowledged by the client: a discovery answer is one datagram and is never repeated.
    const std::vector<Received> got = client.CollectFor(milliseconds(900));
    std::map<std::uint16_t, int> infos, acks;
    for (const Received& r : got) {
        if (r.Is("ack")) {
            EXPECT_EQ(r.msg->ack_msg_id, find.msg_id);
            ++acks[r.from.GetPort()];
        } else if (r.Is("dev_info")) {
            const auto& info = r.As<Network::JsonMsgDevInfo>();
            ++infos[r.from.GetPort()];
            ASSERT_EQ(expected.count(r.from.GetPort()), 1u) << "answer from a port that is no device's";
            EXPECT_EQ(WideToUtf8(info.unit_id), expected[r.from.GetPort()]);
            EXPECT_EQ(info.unit_type, L"KX410");
            EXPECT_EQ(info.inputs, info.unit_id == L"THIRD" ? 1u : 2u);
            EXPECT_EQ(r.msg->ack_msg_id, find.msg_id);
        } else {
            ADD_FAILURE() << "unexpected " << r.Text();
        }
    }
    EXPECT_EQ(infos.size(), 3u);
    for (const auto& [port, n] : infos) {
        EXPECT_EQ(n, 1) << port;
    }
    EXPECT_EQ(acks.size(), 3u);
    EXPECT_EQ(sim.DiscoveryDatagrams(), 1u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sim.Counters(i).datagrams_in, 1u);
        EXPECT_EQ(sim.Counters(i).repeats_out, 0u);
    }
}

TEST(SimDiscovery, EachDeviceKeepsItsOwnFaultsInTheBroadcastDomain) {
    Sim::SimConfig config = Sim::SimConfig::WithDevices(3);
    config.devices[1].faults.in.loss = 1.0;      // never hears the request
    config.devices[2].faults.type_text = "KX9";  // answers as another model
    Sim::Simulator sim;
    StartOrFail(sim, config);
    RawClient client;
    client.Send(Network::JsonMsgDevFind(), sim.DiscoveryAddress());
    std::map<std::uint16_t, std::wstring> types;
    for (const Received& r : client.CollectFor(milliseconds(500))) {
        if (r.Is("dev_info")) {
            types[r.from.GetPort()] = r.As<Network::JsonMsgDevInfo>().unit_type;
        }
    }
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[sim.DeviceAddress(0).GetPort()], L"KX410");
    EXPECT_EQ(types[sim.DeviceAddress(2).GetPort()], L"KX9");
    EXPECT_EQ(types.count(sim.DeviceAddress(1).GetPort()), 0u);
    EXPECT_EQ(sim.Counters(1).lost_in, 1u);
}

TEST(SimDiscovery, SpreadLetsAnswersTrickleIn) {
    Sim::SimConfig config = Sim::SimConfig::WithDevices(8);
    config.discovery_spread_ms = 300;
    Sim::Simulator sim;
    StartOrFail(sim, config);
    RawClient client;
    const Clock::time_point sent = Clock::now();
    client.Send(Network::JsonMsgDevFind(), sim.DiscoveryAddress());
    std::vector<std::int64_t> at;
    for (const Received& r : client.CollectFor(milliseconds(800))) {
        if (r.Is("dev_info")) {
            at.push_back(MsBetween(sent, r.at));
        }
    }
    ASSERT_EQ(at.size(), 8u);
    const auto [lo, hi] = std::minmax_element(at.begin(), at.end());
    EXPECT_LE(*hi, 700);
    EXPECT_GE(*hi - *lo, 50) << "eight answers spread over 300 ms should not all come at once";
}

TEST(SimDiscovery, NoDiscoveryPortWhenSwitchedOff) {
    Sim::SimConfig config = Sim::SimConfig::WithDevices(1);
    config.discovery = false;
    Sim::Simulator sim;
    StartOrFail(sim, config);
    EXPECT_FALSE(sim.DiscoveryAddress().IsValid());
    EXPECT_TRUE(sim.DeviceAddress(0).IsComplete());
}

TEST(SimDiscovery, ManyDevicesAllAnswer) {
    Sim::SimConfig config = Sim::SimConfig::WithDevices(64);
    Sim::Simulator sim;
    StartOrFail(sim, config);
    RawClient client;
    client.Send(Network::JsonMsgDevFind(), sim.DiscoveryAddress());
    std::set<std::uint16_t> ports;
    for (const Received& r : client.CollectFor(milliseconds(1500))) {
        if (r.Is("dev_info")) {
            ports.insert(r.from.GetPort());
        }
    }
    EXPECT_EQ(ports.size(), 64u);
}

}  // namespace
