// The tuner device connected to a simulated device; its reply checks are driven by handing it messages
// directly, as the session's worker does.
#include "devices/device_kx410.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/inet.h"
#include "platform/utf8.h"
#include "sim/simulator.h"
#include "test_clock.h"
#include "udp_peer.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;
using Network::JsonMsg;

// What the application can read of the tuners.
struct Readings {
    std::vector<unsigned int> freqs;
    std::vector<Norvane::TunerQualityValues> quality;
    std::vector<Norvane::TunerRdsDataValues> rds;
    friend bool operator==(const Readings&, const Readings&) = default;
};

class Tuner : public ::testing::Test {
protected:
    void SetUp() override { StartSim({}); }
    void TearDown() override {
        device_.reset();
        sim_.Stop();
    }

    void StartSim(const Sim::DeviceConfig& device) {
        sim_.Stop();
        Sim::SimConfig config;
        config.devices = {device};
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
    }

    // With the real clock, the session repeats and gives up messages by itself.
    ErrInfo Connect(bool testClock = true) {
        Norvane::DeviceInitInfo settings;
        settings.device_addr = L"127.0.0.1";
        settings.device_port = sim_.DeviceAddress(0).GetPort();
        settings.host_addr = L"127.0.0.1";  // port 0: the system picks one
        settings.clock = testClock ? &clock_ : nullptr;
        return device_->Init(settings);
    }

    // Hands `msg` to the device as if it had come from the device's address, with an identifier the
    // simulator never uses.
    void Deliver(std::shared_ptr<JsonMsg> msg, std::uint32_t id = 0) {
        static std::atomic<std::uint32_t> next{0x40000000u};
        msg->msg_id = id != 0 ? id : next.fetch_add(1);
        device_->OnMessage(nullptr, std::move(msg), sim_.DeviceAddress(0));
    }

    // Start's error text, empty on success. Every block tries Stop and Close, counts itself and throws.
    std::wstring StartAudio(std::uint16_t base) {
        blocks_ = 0;
        Norvane::DeviceStartInfo settings;
        settings.rtp_base_port = base;
        settings.on_audio_io = [this](auto&, auto&, std::size_t) {
            device_->Stop(), device_->Close(), ++blocks_;
            throw std::runtime_error("the application's fault");
        };
        return device_->Start(settings).MarkHandled().GetText();
    }
    // The port each input stream is sent to (0: off).
    std::vector<std::uint16_t> Routes() {
        std::vector<std::uint16_t> ports;
        for (const Network::SockAddr& a : sim_.InputRoutes(0)) {
            ports.push_back(a.IsValid() ? a.GetPort() : 0);
        }
        return ports;
    }
    bool Streaming() {
        std::vector<Network::RtpStreamStats> s;
        return device_->GetStreamStats(s) && s.at(0).packets_received > 0 && s.at(1).packets_received > 0;
    }

    Readings Read() {
        const std::size_t n = device_->GetTunerCount();
        Readings r{std::vector<unsigned int>(n), std::vector<Norvane::TunerQualityValues>(n),
                   std::vector<Norvane::TunerRdsDataValues>(n)};
        EXPECT_TRUE(device_->GetFmFreq(r.freqs.data(), false));
        EXPECT_TRUE(device_->GetFmQuality(r.quality.data(), false));
        EXPECT_TRUE(device_->GetRdsData(r.rds.data(), false));
        return r;
    }

    testing_support::TestClock clock_;
    std::atomic<int> blocks_{0};
    Sim::Simulator sim_;
    std::shared_ptr<Network::INetManager> control_ =
        Network::INetManager::Create(ComponentInfo{L"control"}, true, 0);
    std::shared_ptr<Network::INetManager> audio_ =
        Network::INetManager::Create(ComponentInfo{L"audio"}, true, 0);
    std::unique_ptr<Norvane::DeviceKx410> device_ =
        std::make_unique<Norvane::DeviceKx410>(control_.get(), audio_.get());
};

// Answers with one entry per tuner for two tuners; `base` tells answers apart.
std::shared_ptr<Network::JsonMsgFmFreq> FreqAnswer(std::int32_t base) {
    auto m = std::make_shared<Network::JsonMsgFmFreq>();
    m->freq = {base, base + 1000};
    return m;
}
std::shared_ptr<Network::JsonMsgFmQuality> QualityAnswer(std::int32_t base) {
    auto m = std::make_shared<Network::JsonMsgFmQuality>();
    for (auto* list : {&m->rssi, &m->snr, &m->multipath, &m->pilot, &m->valid}) {
        *list = {base, base + 1};
    }
    return m;
}
std::shared_ptr<Network::JsonMsgRdsData> RdsAnswer(std::int32_t base) {
    auto m = std::make_shared<Network::JsonMsgRdsData>();
    for (auto* list : {&m->psrv, &m->text, &m->time}) {
        *list = {std::to_wstring(base), std::to_wstring(base + 1)};
    }
    return m;
}

TEST_F(Tuner, EveryLiveDeviceIsCountedForTheUsageStatistics) {
    cmn::UsageCounter& live = Norvane::DeviceBase::LiveDevices();
    const std::int32_t before = live.Value();  // the fixture's device among them
    auto another = std::make_unique<Norvane::DeviceKx410>(control_.get(), audio_.get());
    EXPECT_EQ(live.Value(), before + 1);
    another.reset();
    EXPECT_EQ(live.Value(), before);
}

TEST_F(Tuner, ConnectsAndTakesTheDescriptionAndTheFirstReadings) {
    ASSERT_TRUE(Connect().IsOk());
    EXPECT_EQ(device_->GetState(), SDK::Connected);
    const Norvane::DeviceDescription d = device_->GetDeviceInfo();
    EXPECT_EQ(WideToUtf8(d.unit_id), Sim::DefaultUnitId(0));
    EXPECT_EQ(d.device_freq, 48000u);
    const std::vector<Sim::TunerState> tuners = sim_.Tuners(0);
    const Readings r = Read();
    ASSERT_EQ(r.freqs.size(), 2u);
    EXPECT_EQ(r.freqs[1], static_cast<unsigned int>(tuners[1].freq));

    ErrInfo again = Connect();
    EXPECT_EQ(again.GetText(), L"Can not init object, device already connected");
    again.MarkHandled();
    device_->Close();
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
    EXPECT_EQ(device_->GetTunerCount(), 0u);
    EXPECT_TRUE(Connect().IsOk()) << "the same object connects again";
}

TEST_F(Tuner, AZeroDeviceFrequencyIsNeverConnected) {
    Sim::Faults faults;
    faults.zero_device_freq = true;
    StartSim({.faults = faults});
    ErrInfo err = Connect();
    EXPECT_EQ(err.GetText(), L"Message response time has expired");
    err.MarkHandled();
    EXPECT_EQ(device_->GetState(), SDK::Disconnected);
}

// An answer is taken only when every list it carries has one entry per tuner.
TEST_F(Tuner, AnswerListsOfAnotherLengthAreIgnored) {
    ASSERT_TRUE(Connect().IsOk());
    struct Row {
        const char* name;
        std::function<std::shared_ptr<JsonMsg>()> make;
    };
    auto freq = [](std::size_t n) {
        return [n] {
            auto m = FreqAnswer(90000);
            m->freq.resize(n);
            return m;
        };
    };
    auto quality = [](std::vector<std::int32_t> Network::JsonMsgFmQuality::*list, std::size_t n) {
        return [list, n] {
            auto m = QualityAnswer(50);
            ((*m).*list).resize(n);
            return m;
        };
    };
    auto rds = [](std::vector<std::wstring> Network::JsonMsgRdsData::*list, std::size_t n) {
        return [list, n] {
            auto m = RdsAnswer(70);
            ((*m).*list).resize(n);
            return m;
        };
    };
    using Q = Network::JsonMsgFmQuality;
    using R = Network::JsonMsgRdsData;
    const Row rows[] = {
        {"freq one short", freq(1)},
        {"freq one long", freq(3)},
        {"rssi one short", quality(&Q::rssi, 1)},
        {"rssi one long", quality(&Q::rssi, 3)},
        {"snr", quality(&Q::snr, 1)},
        {"multipath", quality(&Q::multipath, 1)},
        {"pilot", quality(&Q::pilot, 1)},
        {"valid", quality(&Q::valid, 3)},
        {"psrv", rds(&R::psrv, 1)},
        {"text one short", rds(&R::text, 1)},
        {"text one long", rds(&R::text, 3)},
        {"time", rds(&R::time, 1)},
    };
    const Readings before = Read();
    for (const Row& row : rows) {
        Deliver(row.make());
        EXPECT_EQ(Read(), before) << row.name;
    }
    // The same answers with the right lengths are taken.
    Deliver(FreqAnswer(90000));
    Deliver(QualityAnswer(50));
    Deliver(RdsAnswer(70));
    const Readings after = Read();
    EXPECT_EQ(after.freqs, (std::vector<unsigned int>{90000, 91000}));
    EXPECT_EQ(after.quality[1].valid, 51u);
    EXPECT_EQ(after.rds[1].time, L"71");
}

TEST_F(Tuner, DeviceInfoOfAnotherModelOrWithOtherCountsIsIgnored) {
    ASSERT_TRUE(Connect().IsOk());
    struct Row {
        const wchar_t* type;
        std::uint32_t inputs;
        bool taken;
    };
    const Row rows[] = {{L"KX9", 2, false},
                        {L"KX260", 2, false},
                        {L"kx410", 2, false},
                        {L"KX410", 3, false},
                        {L"KX410", 2, true}};
    for (const Row& row : rows) {
        const std::wstring before = device_->GetDeviceId();
        auto info = std::make_shared<Network::JsonMsgDevInfo>();
        info->unit_id = before + L"+";
        info->unit_type = row.type;
        info->inputs = row.inputs;
        info->outputs = device_->GetOutputs();
        Deliver(info);
        EXPECT_EQ(device_->GetDeviceId(), row.taken ? info->unit_id : before)
            << WideToUtf8(row.type) << " " << row.inputs;
    }
}

TEST_F(Tuner, ALateDuplicateOrAForeignSenderChangesNothing) {
    ASSERT_TRUE(Connect().IsOk());
    const std::uint32_t early = 0x7F000001u;
    Deliver(FreqAnswer(80000), early);
    Deliver(RdsAnswer(1));
    Deliver(FreqAnswer(81000));
    // The network hands over a stale copy of the first answer after the others.
    Deliver(FreqAnswer(82000), early);
    EXPECT_EQ(Read().freqs, (std::vector<unsigned int>{81000, 82000}));
    EXPECT_EQ(device_->GetDroppedDuplicates(), 1u);

    const std::uint16_t port = sim_.DeviceAddress(0).GetPort();
    device_->OnMessage(nullptr, FreqAnswer(66600), Network::SockAddr(L"10.9.8.7", port));
    device_->OnMessage(nullptr, FreqAnswer(66700), Network::SockAddr(L"127.0.0.1", port ^ 1));
    EXPECT_EQ(Read().freqs, (std::vector<unsigned int>{81000, 82000}));
}

// A copy comes at most ~900 ms after its message; a device that restarted uses the same ids again later.
TEST_F(Tuner, AMessageIdIsRememberedForThreeSecondsOnly) {
    ASSERT_TRUE(Connect().IsOk());
    const std::pair<int, bool> rows[] = {{900, false}, {2999, false}, {3000, true}};  // after ms, taken
    std::uint32_t id = 0x7E000000u;  // not among the simulator's ids
    for (const auto& row : rows) {
        Deliver(FreqAnswer(80000), id);
        clock_.Step(std::chrono::milliseconds(row.first));
        Deliver(FreqAnswer(90000), id++);
        EXPECT_EQ(Read().freqs[0], row.second ? 90000u : 80000u) << row.first;
    }
}

// The device's lists and the application's arrays are sized by the count.
TEST_F(Tuner, ADescriptionWithTooManyInputsIsRefusedAtOnce) {
    StartSim({.tuners = 100000});
    ErrInfo err = Connect();
    EXPECT_NE(err.GetText().find(L"announces 100000 inputs"), std::wstring::npos) << "not a time-out";
    err.MarkHandled();
}

// Each "cur_time" would wait in the session's queue ahead of the application's requests.
TEST_F(Tuner, AGetTimeFloodLeavesOneCurTimeOnItsWay) {
    ASSERT_TRUE(Connect().IsOk());
    sim_.SetFaults(0, Sim::Faults{.no_ack = true});
    const std::uint64_t before = sim_.Counters(0).unhandled;
    for (int i = 0; i < 1000; ++i) {
        Deliver(std::make_shared<Network::JsonMsgGetTime>());
    }
    EXPECT_EQ(device_->GetDroppedTimeRequests(), 999u);
    // The one "cur_time" goes out; once the session has given it up, the next request is answered.
    EXPECT_TRUE(testing_support::WaitUntil([&] {
        clock_.Step(std::chrono::milliseconds(400));
        Deliver(std::make_shared<Network::JsonMsgGetTime>());
        return sim_.Counters(0).unhandled >= before + 2;
    }));
}

TEST_F(Tuner, ReadersNeverSeeHalfAnAnswer) {
    ASSERT_TRUE(Connect().IsOk());
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        unsigned int f[2];
        while (!stop.load()) {
            device_->GetFmFreq(f, false);
            // Every answer delivered below has tuner 1 = tuner 0 + 1000.
            torn.fetch_add(f[0] >= 200000 && f[1] != f[0] + 1000 ? 1 : 0);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        Deliver(FreqAnswer(200000 + i));
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// The worker that delivers acknowledgements must not wait for one: "cur_time" goes out without waiting.
TEST_F(Tuner, TheDevicesTimeRequestIsAnsweredWithoutWaiting) {
    ASSERT_TRUE(Connect().IsOk());
    const std::uint64_t before = sim_.Counters(0).messages_in;
    Sim::Faults silent;
    silent.no_ack = true;
    sim_.SetFaults(0, silent);
    const auto start = testing_support::Clock::now();
    Deliver(std::make_shared<Network::JsonMsgGetTime>());
    EXPECT_LT(testing_support::MsBetween(start, testing_support::Clock::now()), 1000);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return sim_.Counters(0).messages_in > before; }));
}

// The simulator streams each tuner to where "set_inputs" points it, with the payload type of its frequency
// and protocol (72, 100, 74, 101), and counts the packets it receives at its outputs. A receive channel
// takes packets of the device's payload type only: every stream arriving shows the device chose it.
TEST_F(Tuner, AudioStreamsOfThePayloadTypeGoToTheNamedPortsUntilStopped) {
    struct Row {
        std::uint32_t freq, protocol;
        bool systemPorts;
    };
    for (const Row row :
         {Row{48000, 1, false}, Row{48000, 2, true}, Row{44100, 1, true}, Row{44100, 2, false}}) {
        SCOPED_TRACE(row.freq + row.protocol);
        StartSim({.outputs = 1, .device_freq = row.freq, .audio_protocol = row.protocol});
        ASSERT_TRUE(Connect(false).IsOk());
        // Ports next to one the system has just handed out are most likely free; another process may
        // still take one first, and then the start is tried again with the next guess.
        std::uint16_t base = 0;
        std::wstring started = L"not tried";
        for (int attempt = 0; attempt < 20 && !started.empty(); ++attempt) {
            base = static_cast<std::uint16_t>(row.systemPorts ? 0 : testing_support::UdpPeer().Port() - 2);
            started = StartAudio(base);
        }
        ASSERT_EQ(started, L"");
        EXPECT_EQ(StartAudio(base), L"Cannot start: device not connected") << "while running";
        EXPECT_TRUE(row.systemPorts || (Routes() == std::vector<std::uint16_t>{std::uint16_t(base + 2),
                                                                               std::uint16_t(base + 4)}));
        EXPECT_TRUE(testing_support::WaitUntil(
            [&] { return Streaming() && blocks_ > 2 && sim_.Counters(0).rtp_in > 0; }));
        EXPECT_EQ(sim_.Counters(0).rtp_bad_in, 0u);
        EXPECT_EQ(device_->GetState(), SDK::RtpActive) << "Stop and Close refused in the callback";
        device_->Stop();
        EXPECT_EQ(device_->GetState(), SDK::Connected);
        EXPECT_EQ(Routes(), (std::vector<std::uint16_t>{0, 0})) << "the device is told to stop sending";
        ASSERT_EQ(StartAudio(0), L"");
        device_->Close();
        EXPECT_EQ(device_->GetState(), SDK::Disconnected);
    }
}

TEST_F(Tuner, AFailedAudioStartLeavesTheDeviceConnectedWithItsStreamsOff) {
    testing_support::UdpPeer taken;
    struct Row {
        std::uint32_t freq;
        int base;
        bool acks;
        std::wstring error;  // empty: any
    } const rows[] = {{96000, 0, true, L"Cannot start: invalid sample frequency"},
                      {48000, taken.Port() - 4, true, L""},  // the second stream's port is taken
                      {48000, 0, false, L"Message response time has expired"}};
    for (const Row& row : rows) {
        StartSim({.device_freq = row.freq});
        ASSERT_TRUE(Connect(false).IsOk());
        sim_.SetFaults(0, Sim::Faults{.no_ack = !row.acks});
        const std::wstring error = StartAudio(static_cast<std::uint16_t>(row.base));
        EXPECT_TRUE(row.error.empty() ? !error.empty() : error == row.error) << WideToUtf8(error);
        EXPECT_EQ(device_->GetState(), SDK::Connected);
        EXPECT_FALSE(Streaming());
        EXPECT_EQ(Routes(), (std::vector<std::uint16_t>{0, 0}));
        sim_.SetFaults(0, Sim::Faults{});
        EXPECT_EQ(row.freq == 48000 ? StartAudio(0) : L"", L"") << "nothing is left behind";
        device_->Close();
    }
}

}  // namespace
