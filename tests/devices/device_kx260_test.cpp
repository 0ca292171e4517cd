// The audio interface connected to a simulated KX260; its answer checks are driven by handing it messages
// directly, as the session's worker does.
#include "devices/device_kx260.h"

#include <gtest/gtest.h>

#include <memory>

#include "net/inet.h"
#include "sim/simulator.h"

namespace {

using Network::InputEntry;

struct InputState {
    unsigned int select = 99, gain = 99, freq = 99;
    friend bool operator==(const InputState&, const InputState&) = default;
};

class AudioInterface : public ::testing::Test {
protected:
    void TearDown() override {
        device_.reset();
        sim_.Stop();
    }
    void Connect(std::uint32_t controlProtocol, Sim::Faults faults = {}) {
        Sim::SimConfig config;
        config.devices = {
            {.model = Sim::Model::kKx260, .control_protocol = controlProtocol, .faults = faults}};
        ASSERT_TRUE(sim_.Start(config));
        Norvane::DeviceInitInfo settings;
        settings.device_addr = settings.host_addr = L"127.0.0.1";
        settings.device_port = sim_.DeviceAddress(0).GetPort();
        ASSERT_TRUE(device_->Init(settings).IsOk());
    }
    InputState Read(bool request = false) {
        InputState s;
        request_ok_ = device_->GetInputState(&s.select, &s.gain, &s.freq, request);
        return s;
    }
    unsigned int Bypass() {
        unsigned int b = 99;
        EXPECT_TRUE(device_->GetBypass(&b, false));
        return b;
    }
    // As if from the device, with an identifier the simulator never uses.
    void Deliver(std::shared_ptr<Network::JsonMsg> msg) {
        static std::uint32_t next = 0x40000000u;
        msg->msg_id = next++;
        device_->OnMessage(nullptr, std::move(msg), sim_.DeviceAddress(0));
    }
    // A "state" with `entries` copies of one input entry.
    void DeliverState(InputEntry entry, std::size_t entries) {
        auto msg = std::make_shared<Network::JsonMsgState>();
        msg->device_freq = 48000;
        msg->inputs.assign(entries, entry);
        Deliver(msg);
    }

    bool request_ok_ = false;
    Sim::Simulator sim_;
    std::shared_ptr<Network::INetManager> control_ =
        Network::INetManager::Create(ComponentInfo{L"control"}, true, 0);
    std::unique_ptr<Norvane::DeviceKx260> device_ =
        std::make_unique<Norvane::DeviceKx260>(control_.get(), nullptr);
};

// A device has a bypass relay exactly when its control protocol is 2 or more: only such a device is
// asked for it, has its "bypass" taken and is sent "set_bypass".
TEST_F(AudioInterface, OnlyADeviceOfControlProtocolTwoOrMoreHasABypass) {
    for (const std::uint32_t protocol : {1u, 2u, 3u}) {
        SCOPED_TRACE(protocol);
        const bool has = protocol >= 2;
        Connect(protocol);
        EXPECT_EQ(Bypass(), has ? Norvane::kBypassOff : Norvane::kBypassNone) << "asked after connecting";
        EXPECT_EQ(device_->SetBypass(true), has);
        EXPECT_EQ(Bypass(), has ? Norvane::kBypassOn : Norvane::kBypassNone);
        EXPECT_EQ(sim_.Kx260(0).bypass_on, has);
        EXPECT_EQ(sim_.Kx260(0).set_bypass_count, has ? 1u : 0u) << "refused without sending";
        Deliver(std::make_shared<Network::JsonMsgBypass>());  // "off"
        EXPECT_EQ(Bypass(), has ? Norvane::kBypassOff : Norvane::kBypassNone);
        device_->Close();
        sim_.Stop();
    }
}

TEST_F(AudioInterface, SetInputSendsTheWireValuesAndReadsThemBack) {
    Connect(1);
    EXPECT_EQ(Read(), (InputState{0, 0, 48000})) << "from the handshake";
    struct Row {
        unsigned int select, gain;
        std::uint32_t wireSelect, wireGain;                       // what the device holds afterwards
    } const rows[] = {{0, 1, 2, 1}, {1, 0, 1, 2}, {5, 7, 1, 2}};  // 5, 7: undefined, left as they were
    for (const Row& row : rows) {
        ASSERT_TRUE(device_->SetInput(row.select, row.gain));
        EXPECT_EQ(sim_.Kx260(0).input_select, row.wireSelect) << row.select;
        EXPECT_EQ(sim_.Kx260(0).analog_gain, row.wireGain) << row.gain;
        EXPECT_EQ(Read(), (InputState{row.wireSelect == 2 ? 0u : 1u, row.wireGain == 1 ? 1u : 0u, 48000}));
    }
    ASSERT_TRUE(device_->SetDeviceFreq(44100));
    EXPECT_EQ(device_->GetSampleFreq(), 44100u);
}

// The device's values map select 2/1/0 to 0/1/kept and gain 1/2/0 to 1/0/kept; a frequency of 0 keeps the
// last one. A "state" with no entry, more entries than inputs, or a frequency no audio has changes nothing.
TEST_F(AudioInterface, StateAnswersAreMappedAndCheckedBeforeTheyAreTaken) {
    Connect(1);
    struct Row {
        InputEntry entry;
        std::size_t entries;
        InputState expected;
    } const rows[] = {
        {{2, 1, 44100}, 1, {0, 1, 44100}},  {{1, 2, 0}, 2, {1, 0, 44100}},
        {{0, 0, 96000}, 1, {1, 0, 96000}},  {{2, 1, 48000}, 0, {1, 0, 96000}},
        {{2, 1, 48000}, 3, {1, 0, 96000}},  {{2, 1, 7999}, 1, {1, 0, 96000}},
        {{2, 1, 768001}, 1, {1, 0, 96000}}, {{2, 1, 768000}, 1, {0, 1, 768000}},
    };
    for (const Row& row : rows) {
        DeliverState(row.entry, row.entries);
        EXPECT_EQ(Read(), row.expected) << row.entry.freq << " " << row.entries;
    }
    // A refused answer does not end a caller's wait: it times out.
    for (const int delta : {-2, 1}) {
        sim_.SetFaults(0, Sim::Faults{.list_length_delta = delta});
        Read(true);
        EXPECT_FALSE(request_ok_) << delta;
    }
}

}  // namespace
