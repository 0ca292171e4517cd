// A simulated device on loopback against a raw UDP client: acknowledgements, every answer with its exact
// keys, reliable repetition, duplicates, one answer in flight per peer, counters.
#include <gtest/gtest.h>

#include <thread>

#include "platform/utf8.h"
#include "sim_test_support.h"

namespace {

using namespace sim_test;
using Sim::SimConfig;
using Sim::Simulator;

using Keys = std::vector<std::string>;

class DeviceProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        SimConfig config = SimConfig::WithDevices(1);
        config.devices[0].unit_id = "UNIT-7";
        config.devices[0].freqs = {100500, 94300};
        config.devices[0].rtp_port = 6100;
        config.devices[0].outputs = 1;
        StartOrFail(sim_, config);
        device_ = sim_.DeviceAddress(0);
    }

    // The ack of `request` must carry exactly its id; returns the answer (checked for its keys).
    Received Ask(const Network::JsonMsg& request, const char* answer, const Keys& keys) {
        RawClient::Exchange ex = client_.Request(request, device_, answer);
        EXPECT_TRUE(ex.ack.has_value()) << "no ack for " << WideToUtf8(request.type);
        if (ex.ack) {
            EXPECT_EQ(ex.ack->Keys(), (Keys{"ack_msg_id", "msg", "msg_id"}));
            EXPECT_EQ(ex.ack->msg->ack_msg_id, request.msg_id);
            EXPECT_EQ(ex.ack->from, device_);
        }
        EXPECT_TRUE(ex.answer.has_value()) << "no " << answer;
        if (!ex.answer) {
            return Received{};
        }
        EXPECT_EQ(ex.answer->Keys(), keys) << ex.answer->Text();
        EXPECT_EQ(ex.answer->msg->ack_msg_id, request.msg_id);
        EXPECT_EQ(ex.answer->from, device_);
        return *ex.answer;
    }

    Simulator sim_;
    RawClient client_;
    Network::SockAddr device_;
};

TEST_F(DeviceProtocol, DevInfoDescribesTheDevice) {
    const Received r =
        Ask(Network::JsonMsgGetDevInfo(), "dev_info",
            Keys{"ack_msg_id", "audio_protocol", "control_protocol", "firmware", "hardware", "inputs", "msg",
                 "msg_id", "outputs", "rtp_port", "software", "unit_id", "unit_type"});
    const auto& info = r.As<Network::JsonMsgDevInfo>();
    EXPECT_EQ(info.unit_id, L"UNIT-7");
    EXPECT_EQ(info.unit_type, L"KX410");
    EXPECT_EQ(info.inputs, 2u);
    EXPECT_EQ(info.outputs, 1u);
    EXPECT_EQ(info.rtp_port, 6100u);
    EXPECT_EQ(info.audio_protocol, 2u);
    EXPECT_EQ(info.control_protocol, 1u);
}

TEST_F(DeviceProtocol, StateReportsTheDeviceFrequency) {
    const Received r =
        Ask(Network::JsonMsgGetState(), "state", Keys{"ack_msg_id", "device_freq", "msg", "msg_id"});
    EXPECT_EQ(r.As<Network::JsonMsgState>().device_freq, 48000u);
}

TEST_F(DeviceProtocol, SetFmFreqRetunesAndFmFreqReportsIt) {
    Received r = Ask(Network::JsonMsgGetFmFreq(), "fm_freq", Keys{"ack_msg_id", "freq", "msg", "msg_id"});
    EXPECT_EQ(r.As<Network::JsonMsgFmFreq>().freq, (std::vector<std::int32_t>{100500, 94300}));

    Network::JsonMsgSetFmFreq set;
    set.freq = {88600, 104800};
    RawClient::Exchange ex = client_.Request(set, device_, nullptr);
    ASSERT_TRUE(ex.ack.has_value());
    EXPECT_EQ(ex.ack->msg->ack_msg_id, set.msg_id);
    // "set_fm_freq" is only acknowledged.
    EXPECT_FALSE(client_.Receive(milliseconds(350)).has_value());
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).set_fm_freq == 1; }));
    const std::vector<Sim::TunerState> tuners = sim_.Tuners(0);
    ASSERT_EQ(tuners.size(), 2u);
    EXPECT_EQ(tuners[0].freq, 88600);
    EXPECT_EQ(tuners[1].freq, 104800);

    r = Ask(Network::JsonMsgGetFmFreq(), "fm_freq", Keys{"ack_msg_id", "freq", "msg", "msg_id"});
    EXPECT_EQ(r.As<Network::JsonMsgFmFreq>().freq, (std::vector<std::int32_t>{88600, 104800}));

    // A shorter list retunes the tuners it names; extra entries are ignored.
    set.freq = {99000};
    client_.Request(set, device_, nullptr);
    Network::JsonMsgSetFmFreq longer;
    longer.freq = {91000, 92000, 93000};
    client_.Request(longer, device_, nullptr);
    r = Ask(Network::JsonMsgGetFmFreq(), "fm_freq", Keys{"ack_msg_id", "freq", "msg", "msg_id"});
    EXPECT_EQ(r.As<Network::JsonMsgFmFreq>().freq, (std::vector<std::int32_t>{91000, 92000}));
}

TEST_F(DeviceProtocol, QualityAndRdsHaveOneEntryPerTunerInEveryList) {
    Received q = Ask(Network::JsonMsgGetFmQuality(), "fm_quality",
                     Keys{"ack_msg_id", "msg", "msg_id", "multipath", "pilot", "rssi", "snr", "valid"});
    const auto& quality = q.As<Network::JsonMsgFmQuality>();
    for (const auto* list :
         {&quality.rssi, &quality.snr, &quality.multipath, &quality.pilot, &quality.valid}) {
        EXPECT_EQ(list->size(), 2u);
    }
    Received r = Ask(Network::JsonMsgGetRdsData(), "rds_data",
                     Keys{"ack_msg_id", "msg", "msg_id", "psrv", "text", "time"});
    const auto& rds = r.As<Network::JsonMsgRdsData>();
    EXPECT_EQ(rds.psrv.size(), 2u);
    EXPECT_EQ(rds.text.size(), 2u);
    EXPECT_EQ(rds.time.size(), 2u);
    EXPECT_EQ(rds.psrv[0], L"Norvane FM");
}

TEST_F(DeviceProtocol, SetInputsIsStoredAndGetInputsReportsIt) {
    Received r = Ask(Network::JsonMsgGetInputs(), "inputs", Keys{"ack_msg_id", "inputs", "msg", "msg_id"});
    EXPECT_EQ(r.Json()[L"inputs"].ArraySize(), 2u);
    EXPECT_EQ(r.Text().find(R"("inputs":["",""])") != std::string::npos, true) << r.Text();

    Network::JsonMsgSetInputs set;
    set.inputs.resize(2);
    set.inputs[0].active = true;
    set.inputs[0].addr = Network::SockAddr(platform::SockAddrIn::Make(10, 0, 0, 5, 5004));
    set.inputs[1].active = true;  // "off"
    ASSERT_TRUE(client_.Request(set, device_, nullptr).ack.has_value());
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).set_inputs == 1; }));
    std::vector<Network::SockAddr> routes = sim_.InputRoutes(0);
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0].ToString(), L"10.0.0.5:5004");
    EXPECT_FALSE(routes[1].IsValid());

    r = Ask(Network::JsonMsgGetInputs(), "inputs", Keys{"ack_msg_id", "inputs", "msg", "msg_id"});
    EXPECT_NE(r.Text().find(R"("inputs":["10.0.0.5:5004",""])"), std::string::npos) << r.Text();

    // An inactive entry leaves its input as it is.
    Network::JsonMsgSetInputs keep;
    keep.inputs.resize(2);
    keep.inputs[1].active = true;
    keep.inputs[1].addr = Network::SockAddr(platform::SockAddrIn::Make(10, 0, 0, 6, 6000));
    ASSERT_TRUE(client_.Request(keep, device_, nullptr).ack.has_value());
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).set_inputs == 2; }));
    routes = sim_.InputRoutes(0);
    EXPECT_EQ(routes[0].ToString(), L"10.0.0.5:5004");
    EXPECT_EQ(routes[1].ToString(), L"10.0.0.6:6000");
}

TEST_F(DeviceProtocol, DevFindOnTheControlPortIsAnsweredOnceWithoutRepetition) {
    Network::JsonMsgDevFind find;
    client_.Send(find, device_);
    const std::vector<Received> got = client_.CollectFor(milliseconds(900));  // never acknowledged
    int acks = 0, infos = 0;
    for (const Received& r : got) {
        acks += r.Is("ack") ? 1 : 0;
        infos += r.Is("dev_info") ? 1 : 0;
        if (r.Is("dev_info")) {
            EXPECT_EQ(r.msg->ack_msg_id, find.msg_id);
        }
    }
    EXPECT_EQ(acks, 1);
    EXPECT_EQ(infos, 1);
    EXPECT_EQ(sim_.Counters(0).repeats_out, 0u);
}

TEST_F(DeviceProtocol, UnacknowledgedAnswerIsRepeatedAbout300MsApartThenGivenUp) {
    Network::JsonMsgGetFmFreq request;
    client_.Send(request, device_);
    const std::vector<Received> got = client_.CollectFor(milliseconds(1300));
    std::vector<const Received*> answers;
    for (const Received& r : got) {
        if (r.Is("fm_freq")) {
            answers.push_back(&r);
        }
    }
    ASSERT_EQ(answers.size(), 3u);
    for (std::size_t i = 1; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i]->bytes, answers[0]->bytes);  // the same datagram, same msg_id
        const std::int64_t gap = MsBetween(answers[i - 1]->at, answers[i]->at);
        EXPECT_GE(gap, 280) << "repeat " << i;
        EXPECT_LE(gap, 700) << "repeat " << i;
    }
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).give_ups == 1; }));
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.repeats_out, 2u);
    EXPECT_EQ(c.acks_in, 0u);
    // Given up means never sent again.
    EXPECT_FALSE(client_.WaitFor("fm_freq", milliseconds(400)).has_value());
}

TEST_F(DeviceProtocol, AcknowledgedAnswerIsNotRepeatedAndAStrayAckIsCounted) {
    RawClient::Exchange ex = client_.Request(Network::JsonMsgGetFmFreq(), device_, "fm_freq");
    ASSERT_TRUE(ex.answer.has_value());
    EXPECT_FALSE(client_.WaitFor("fm_freq", milliseconds(700)).has_value());
    client_.Send(Network::JsonMsgAck(ex.answer->msg->msg_id), device_);  // a late second ack
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).stray_acks_in == 1; }));
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.acks_in, 1u);
    EXPECT_EQ(c.repeats_out, 0u);
    EXPECT_EQ(c.give_ups, 0u);
}

TEST_F(DeviceProtocol, RepeatedRequestIsAcknowledgedTwiceButAnsweredOnce) {
    Network::JsonMsgGetState request;
    const std::vector<std::uint8_t> bytes = ToBytes(request);
    client_.SendBytes(bytes, device_);
    client_.SendBytes(bytes, device_);
    int acks = 0, answers = 0;
    for (const Received& r : client_.CollectFor(milliseconds(500), true)) {
        if (r.Is("ack")) {
            EXPECT_EQ(r.msg->ack_msg_id, request.msg_id);
            ++acks;
        } else if (r.Is("state")) {
            ++answers;
        }
    }
    EXPECT_EQ(acks, 2);
    EXPECT_EQ(answers, 1);
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.duplicates_in, 1u);
    EXPECT_EQ(c.messages_in, 1u);
    EXPECT_EQ(c.acks_out, 2u);
}

TEST_F(DeviceProtocol, OneAnswerInFlightPerPeer) {
    Network::JsonMsgGetFmFreq first;
    Network::JsonMsgGetState second;
    client_.Send(first, device_);
    client_.Send(second, device_);
    std::vector<Received> got = client_.CollectFor(milliseconds(200));
    const Received* answer = nullptr;
    int acks = 0;
    for (const Received& r : got) {
        acks += r.Is("ack") ? 1 : 0;
        EXPECT_FALSE(r.Is("state")) << "second answer sent while the first is unacknowledged";
        if (r.Is("fm_freq")) {
            answer = &r;
        }
    }
    EXPECT_EQ(acks, 2);
    ASSERT_NE(answer, nullptr);

    // Another client is not held up by the first one's answer in flight.
    RawClient other;
    EXPECT_TRUE(
        other.Request(Network::JsonMsgGetState(), device_, "state", milliseconds(1000)).answer.has_value());

    client_.Ack(*answer);
    const std::optional<Received> state = client_.WaitFor("state", milliseconds(1000));
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->msg->ack_msg_id, second.msg_id);
}

TEST_F(DeviceProtocol, UndecodableDatagramsAreCountedAndIgnored) {
    client_.SendBytes({'{', '}', 0}, device_);
    client_.SendBytes(BytesOf(R"({"msg":"no_such_type","msg_id":4})"), device_);
    client_.SendBytes({'x'}, device_);
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).bad_datagrams == 3; }));
    EXPECT_FALSE(client_.Receive(milliseconds(100)).has_value());
    // The device still works.
    EXPECT_TRUE(client_.Request(Network::JsonMsgGetState(), device_, "state").answer.has_value());
}

TEST_F(DeviceProtocol, MessagesWithoutUseAreOnlyAcknowledged) {
    Network::JsonMsgSetBypass bypass;
    RawClient::Exchange ex = client_.Request(bypass, device_, nullptr);
    ASSERT_TRUE(ex.ack.has_value());
    EXPECT_FALSE(client_.Receive(milliseconds(350)).has_value());
    EXPECT_EQ(sim_.Counters(0).unhandled, 1u);
}

TEST_F(DeviceProtocol, CountersOfOneExchangeAreExact) {
    RawClient::Exchange ex = client_.Request(Network::JsonMsgGetFmQuality(), device_, "fm_quality");
    ASSERT_TRUE(ex.answer.has_value());
    ASSERT_TRUE(Eventually([&] { return sim_.Counters(0).acks_in == 1; }));
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.datagrams_in, 2u);   // request + ack of the answer
    EXPECT_EQ(c.datagrams_out, 2u);  // ack + answer
    EXPECT_EQ(c.messages_in, 1u);
    EXPECT_EQ(c.acks_out, 1u);
    EXPECT_EQ(c.answers_out, 1u);
    EXPECT_EQ(c.lost_in + c.lost_out + c.duplicated_in + c.duplicated_out + c.bad_datagrams + c.send_errors,
              0u);
    const Sim::DeviceCounters total = sim_.TotalCounters();
    EXPECT_EQ(total.datagrams_in, c.datagrams_in);
    EXPECT_EQ(total.answers_out, c.answers_out);
}

// ---- life cycle ----

TEST(SimulatorLifecycle, StartFailsOnATakenPortAndLeavesNothingOpen) {
    RawClient taken;
    SimConfig config = SimConfig::WithDevices(2);
    config.devices[1].port = taken.Address().GetPort();
    Simulator sim;
    std::string error;
    EXPECT_FALSE(sim.Start(config, &error));
    EXPECT_NE(error.find("device 2: cannot bind 127.0.0.1:" + std::to_string(taken.Address().GetPort())),
              std::string::npos)
        << error;
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_EQ(sim.DeviceCount(), 0u);

    config.devices[1].port = 0;
    ASSERT_TRUE(sim.Start(config, &error)) << error;
    EXPECT_EQ(sim.DeviceCount(), 2u);
    EXPECT_FALSE(sim.Start(config, &error));
    EXPECT_EQ(error, "the simulator already runs");
    EXPECT_TRUE(sim.IsRunning());  // the failed second start left the first alone
    RawClient client;
    EXPECT_TRUE(client.Request(Network::JsonMsgGetState(), sim.DeviceAddress(1), "state").answer.has_value());
}

TEST(SimulatorLifecycle, StopClosesEverythingAndStartWorksAgain) {
    Simulator sim;
    StartOrFail(sim, SimConfig::WithDevices(1));
    const Network::SockAddr first = sim.DeviceAddress(0);
    sim.Stop();
    EXPECT_FALSE(sim.IsRunning());
    EXPECT_TRUE(sim.Devices().empty());
    EXPECT_FALSE(sim.DeviceAddress(0).IsValid());
    EXPECT_FALSE(sim.DiscoveryAddress().IsValid());
    EXPECT_TRUE(sim.Tuners(0).empty());
    EXPECT_EQ(sim.Counters(0).datagrams_in, 0u);
    sim.SetFaults(0, Sim::Faults{});  // harmless while stopped

    // The port is free again once stopped.
    SimConfig again = SimConfig::WithDevices(1);
    again.devices[0].port = first.GetPort();
    StartOrFail(sim, again);
    EXPECT_EQ(sim.DeviceAddress(0), first);
    RawClient client;
    EXPECT_TRUE(client.Request(Network::JsonMsgGetState(), first, "state").answer.has_value());
}

TEST(SimulatorLifecycle, OutOfRangeIndexesGiveEmptyResults) {
    Simulator sim;
    StartOrFail(sim, SimConfig::WithDevices(1));
    EXPECT_FALSE(sim.DeviceAddress(1).IsValid());
    EXPECT_TRUE(sim.Tuners(5).empty());
    EXPECT_TRUE(sim.InputRoutes(5).empty());
    EXPECT_EQ(sim.GetFaults(3), Sim::Faults{});
    Sim::Faults f;
    f.no_ack = true;
    sim.SetFaults(9, f);
    EXPECT_FALSE(sim.GetFaults(0).no_ack);
}

TEST(SimulatorLifecycle, VerboseLogHasOneLinePerDatagramEachWay) {
    std::mutex mutex;
    std::vector<std::string> lines;
    SimConfig config = SimConfig::WithDevices(1);
    config.verbose = true;
    config.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    };
    Simulator sim;
    StartOrFail(sim, config);
    RawClient client;
    Network::JsonMsgGetState request;
    ASSERT_TRUE(client.Request(request, sim.DeviceAddress(0), "state").answer.has_value());
    ASSERT_TRUE(Eventually([&] { return sim.Counters(0).acks_in == 1; }));
    sim.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    int in = 0, out = 0;
    const std::string from = " <- " + platform::FormatEndpoint(client.Address().Native()) + " ";
    const std::string to = " -> " + platform::FormatEndpoint(client.Address().Native()) + " ";
    for (const std::string& line : lines) {
        if (line.find("SIM410-0001" + from) != std::string::npos) {
            ++in;
        }
        if (line.find("SIM410-0001" + to) != std::string::npos) {
            ++out;
        }
    }
    EXPECT_EQ(in, 2);   // the request and the ack of the answer
    EXPECT_EQ(out, 2);  // the ack and the answer
    const std::string request_text = WideToUtf8(request.ToText());
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(from + request_text) != std::string::npos;
    })) << "the request's text is in its line";
    EXPECT_EQ(lines.front().rfind("simulator started: 1 device(s)", 0), 0u) << lines.front();
    EXPECT_EQ(lines.back(), "simulator stopped");
}

}  // namespace
