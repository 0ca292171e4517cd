// Faults as a client on the wire sees them: loss, duplication, reordering, delay in each direction, no
// acknowledgements, wrong list lengths, another model's type text, a zero device frequency; changes at
// run time; the same seed giving the same losses.
#include <gtest/gtest.h>

#include <set>

#include "platform/utf8.h"
#include "sim_test_support.h"

namespace {

using namespace sim_test;
using Sim::Faults;
using Sim::SimConfig;
using Sim::Simulator;

class SimFaults : public ::testing::Test {
protected:
    void Start(const Faults& faults) {
        SimConfig config = SimConfig::WithDevices(1);
        config.devices[0].faults = faults;
        StartOrFail(sim_, config);
        device_ = sim_.DeviceAddress(0);
    }

    Simulator sim_;
    RawClient client_;
    Network::SockAddr device_;
};

TEST_F(SimFaults, LossOfEverythingInboundGivesNothingAtAll) {
    Faults f;
    f.in.loss = 1.0;
    Start(f);
    client_.Send(Network::JsonMsgGetState(), device_);
    client_.Send(Network::JsonMsgGetDevInfo(), device_);
    EXPECT_TRUE(client_.CollectFor(milliseconds(500)).empty());
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.datagrams_in, 2u);
    EXPECT_EQ(c.lost_in, 2u);
    EXPECT_EQ(c.messages_in, 0u);
    EXPECT_EQ(c.datagrams_out, 0u);
}

TEST_F(SimFaults, LossOfEverythingOutboundGivesNothingThoughTheDeviceWorks) {
    Faults f;
    f.out.loss = 1.0;
    Start(f);
    Network::JsonMsgSetFmFreq set;
    set.freq = {91000, 92000};
    client_.Send(set, device_);
    client_.Send(Network::JsonMsgGetState(), device_);
    EXPECT_TRUE(client_.CollectFor(milliseconds(1200)).empty());
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).give_ups == 1; }));
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.messages_in, 2u);
    EXPECT_EQ(c.datagrams_out, 0u);
    EXPECT_EQ(c.lost_out, 5u);  // two acks, the answer three times
    EXPECT_EQ(sim_.Tuners(0).at(1).freq, 92000);
}

TEST_F(SimFaults, OutboundDuplicationSendsEveryDatagramTwice) {
    Faults f;
    f.out.duplicate = 1.0;
    Start(f);
    Network::JsonMsgGetFmFreq request;
    client_.Send(request, device_);
    std::vector<Received> got = client_.CollectFor(milliseconds(250));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_TRUE(got[0].Is("ack"));
    EXPECT_EQ(got[1].bytes, got[0].bytes);
    EXPECT_TRUE(got[2].Is("fm_freq"));
    EXPECT_EQ(got[3].bytes, got[2].bytes);
    EXPECT_EQ(sim_.Counters(0).duplicated_out, 2u);
    // Both copies of the answer acknowledged: the second matches nothing in flight any more.
    client_.Ack(got[2]);
    client_.Ack(got[3]);
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).stray_acks_in == 1; }));
    EXPECT_EQ(sim_.Counters(0).acks_in, 1u);
}

TEST_F(SimFaults, InboundDuplicationIsAcknowledgedTwiceAndAnsweredOnce) {
    Faults f;
    f.in.duplicate = 1.0;
    Start(f);
    client_.Send(Network::JsonMsgGetState(), device_);
    int acks = 0, answers = 0;
    for (const Received& r : client_.CollectFor(milliseconds(400), true)) {
        acks += r.Is("ack") ? 1 : 0;
        answers += r.Is("state") ? 1 : 0;
    }
    EXPECT_EQ(acks, 2);
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(sim_.Counters(0).duplicates_in, 1u);
}

TEST_F(SimFaults, OutboundReorderingLetsTheAnswerOvertakeItsAck) {
    Faults f;
    f.out.reorder = 1.0;
    Start(f);
    Network::JsonMsgGetFmFreq request;
    client_.Send(request, device_);
    std::vector<Received> got = client_.CollectFor(milliseconds(250));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].Is("fm_freq")) << got[0].Text();
    EXPECT_TRUE(got[1].Is("ack")) << got[1].Text();
    EXPECT_EQ(sim_.Counters(0).reordered_out, 1u);
}

TEST_F(SimFaults, InboundReorderingSwapsTwoRequests) {
    Faults f;
    f.in.reorder = 1.0;
    f.in.reorder_hold_ms = 400;
    Start(f);
    Network::JsonMsgGetState first;
    Network::JsonMsgGetDevInfo second;
    client_.Send(first, device_);
    client_.Send(second, device_);
    const std::optional<Received> ack = client_.WaitFor("ack", milliseconds(300));
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->msg->ack_msg_id, second.msg_id);
}

TEST_F(SimFaults, DelayInEachDirectionAddsUp) {
    Faults f;
    f.in.delay_ms = 120;
    f.out.delay_ms = 80;
    Start(f);
    const Clock::time_point sent = Clock::now();
    client_.Send(Network::JsonMsgGetState(), device_);
    const std::optional<Received> ack = client_.WaitFor("ack", milliseconds(2000));
    ASSERT_TRUE(ack.has_value());
    EXPECT_GE(MsBetween(sent, ack->at), 200);
    EXPECT_LE(MsBetween(sent, ack->at), 1000);
}

TEST_F(SimFaults, JitterSpreadsArrivalsWithinItsRange) {
    Faults f;
    f.out.delay_ms = 30;
    f.out.jitter_ms = 150;
    Start(f);
    std::vector<std::int64_t> delays;
    for (int i = 0; i < 12; ++i) {
        RawClient c;
        const Clock::time_point sent = Clock::now();
        c.Send(Network::JsonMsgGetDevInfo(), device_);
        const std::optional<Received> ack = c.WaitFor("ack", milliseconds(2000));
        ASSERT_TRUE(ack.has_value());
        delays.push_back(MsBetween(sent, ack->at));
    }
    const auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
    EXPECT_GE(*lo, 30);
    EXPECT_LE(*hi, 180 + 400);  // the upper end allows for a busy machine
    EXPECT_GE(*hi - *lo, 20) << "twelve draws from 150 ms of jitter should differ";
}

TEST_F(SimFaults, WithoutAcknowledgementsTheDeviceStillAnswersOnce) {
    Faults f;
    f.no_ack = true;
    Start(f);
    // A client repeating its unacknowledged request: the repeats are dropped as duplicates.
    Network::JsonMsgGetState request;
    const std::vector<std::uint8_t> bytes = ToBytes(request);
    client_.SendBytes(bytes, device_);
    client_.SendBytes(bytes, device_);
    client_.SendBytes(bytes, device_);
    int acks = 0, answers = 0;
    for (const Received& r : client_.CollectFor(milliseconds(400), true)) {
        acks += r.Is("ack") ? 1 : 0;
        answers += r.Is("state") ? 1 : 0;
    }
    EXPECT_EQ(acks, 0);
    EXPECT_EQ(answers, 1);
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.acks_out, 0u);
    EXPECT_EQ(c.duplicates_in, 2u);
}

TEST_F(SimFaults, WrongListLengthsOnEveryListOrOnChosenOnes) {
    Faults f;
    f.list_length_delta = 1;
    Start(f);
    Received r = *client_.Request(Network::JsonMsgGetFmFreq(), device_, "fm_freq").answer;
    EXPECT_EQ(r.As<Network::JsonMsgFmFreq>().freq.size(), 3u);
    r = *client_.Request(Network::JsonMsgGetRdsData(), device_, "rds_data").answer;
    EXPECT_EQ(r.As<Network::JsonMsgRdsData>().psrv.size(), 3u);
    EXPECT_EQ(r.As<Network::JsonMsgRdsData>().text.size(), 3u);
    EXPECT_EQ(r.As<Network::JsonMsgRdsData>().time.size(), 3u);

    f.list_keys = {"snr"};
    sim_.SetFaults(0, f);
    r = *client_.Request(Network::JsonMsgGetFmQuality(), device_, "fm_quality").answer;
    const auto& q = r.As<Network::JsonMsgFmQuality>();
    EXPECT_EQ(q.snr.size(), 3u);
    EXPECT_EQ(q.rssi.size(), 2u);
    EXPECT_EQ(q.multipath.size(), 2u);
    EXPECT_EQ(q.pilot.size(), 2u);
    EXPECT_EQ(q.valid.size(), 2u);

    f.list_length_delta = -5;
    f.list_keys.clear();
    sim_.SetFaults(0, f);
    r = *client_.Request(Network::JsonMsgGetFmFreq(), device_, "fm_freq").answer;
    EXPECT_NE(r.Text().find(R"("freq":[])"), std::string::npos) << r.Text();
}

TEST_F(SimFaults, AnotherModelsTypeTextAndZeroDeviceFrequency) {
    Faults f;
    f.type_text = "KX260";
    f.zero_device_freq = true;
    Start(f);
    Received info = *client_.Request(Network::JsonMsgGetDevInfo(), device_, "dev_info").answer;
    EXPECT_EQ(info.As<Network::JsonMsgDevInfo>().unit_type, L"KX260");
    Received state = *client_.Request(Network::JsonMsgGetState(), device_, "state").answer;
    EXPECT_EQ(state.Keys(), (std::vector<std::string>{"ack_msg_id", "msg", "msg_id"}));  // no device_freq
    EXPECT_EQ(state.As<Network::JsonMsgState>().device_freq, 0u);
}

TEST_F(SimFaults, FaultsChangeAtRunTime) {
    Start(Faults{});
    EXPECT_TRUE(client_.Request(Network::JsonMsgGetState(), device_, "state").answer.has_value());
    // The acknowledgement of the answer must be in before the loss starts, or the answer is repeated.
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).acks_in == 1; }));
    Faults f;
    f.in.loss = 1.0;
    sim_.SetFaults(0, f);
    EXPECT_EQ(sim_.GetFaults(0), f);
    client_.Send(Network::JsonMsgGetState(), device_);
    const std::optional<Received> nothing = client_.Receive(milliseconds(300));
    EXPECT_FALSE(nothing.has_value()) << nothing->Text();
    sim_.SetFaultsAll(Faults{});
    EXPECT_TRUE(client_.Request(Network::JsonMsgGetState(), device_, "state").answer.has_value());
}

// The indexes (0..n-1) of the requests that were acknowledged, for n requests sent one after another.
std::set<int> AcknowledgedOf(std::uint64_t seed, int n) {
    SimConfig config = SimConfig::WithDevices(1);
    config.seed = seed;
    config.devices[0].faults.in.loss = 0.5;
    Simulator sim;
    StartOrFail(sim, config);
    RawClient client;
    std::map<std::uint32_t, int> index_of;
    for (int i = 0; i < n; ++i) {
        Network::JsonMsgSetBypass msg;  // acknowledged only, so nothing but acks comes back
        index_of[msg.msg_id] = i;
        client.Send(msg, sim.DeviceAddress(0));
        // One at a time, so the device sees them in this order.
        Eventually([&] { return sim.Counters(0).datagrams_in == static_cast<std::uint64_t>(i + 1); });
    }
    std::set<int> acked;
    for (const Received& r : client.CollectFor(milliseconds(300))) {
        if (r.Is("ack")) {
            acked.insert(index_of[r.msg->ack_msg_id]);
        }
    }
    return acked;
}

TEST(SimFaultSeed, SameSeedLosesTheSameDatagrams) {
    const std::set<int> a = AcknowledgedOf(1234, 40);
    const std::set<int> b = AcknowledgedOf(1234, 40);
    const std::set<int> c = AcknowledgedOf(4321, 40);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(a.size(), 5u);
    EXPECT_LT(a.size(), 35u);
}

}  // namespace
