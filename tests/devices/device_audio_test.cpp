// Audio start and stop of the tuner device against the in-process simulator, which streams its tuners
// to wherever "set_inputs" points them; a UdpPeer plays the device's RTP input port for the output
// streams.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_kx410.h"
#include "sim/simulator.h"
#include "udp_peer.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;

class Audio : public ::testing::Test {
protected:
    void TearDown() override {
        device_.reset();
        sim_.Stop();
    }

    void Connect(const Sim::DeviceConfig& device) {
        Sim::SimConfig config;
        config.devices = {device};
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
        Norvane::DeviceInitInfo settings;
        settings.device_addr = L"127.0.0.1";
        settings.device_port = sim_.DeviceAddress(0).GetPort();
        settings.host_addr = L"127.0.0.1";
        ASSERT_TRUE(device_->Init(settings).IsOk());
    }

    // Start's error text; empty on success. Every block calls the refused operations and counts itself.
    std::wstring Start(std::uint16_t base) {
        Norvane::DeviceStartInfo settings;
        settings.rtp_base_port = base;
        settings.on_audio_io = [this](const std::vector<float*>&, std::vector<float*>&, std::size_t) {
            device_->Stop();
            device_->Close();
            ++blocks_;
        };
        blocks_ = 0;
        ErrInfo err = device_->Start(settings);
        err.MarkHandled();
        return err.GetText();
    }

    // The port each input stream is sent to, 0 for a stream switched off.
    std::vector<std::uint16_t> Routes() {
        std::vector<std::uint16_t> ports;
        for (const Network::SockAddr& a : sim_.InputRoutes(0)) {
            ports.push_back(a.IsValid() ? a.GetPort() : 0);
        }
        return ports;
    }

    bool EveryStreamReceived() {
        std::vector<Network::RtpStreamStats> stats;
        return device_->GetStreamStats(stats) && stats.size() == 2 && stats[0].packets_received > 0 &&
               stats[1].packets_received > 0;
    }

    Sim::Simulator sim_;
    std::atomic<int> blocks_{0};
    std::shared_ptr<Network::INetManager> control_ =
        Network::INetManager::Create(ComponentInfo{L"c"}, true, 0);
    std::shared_ptr<Network::INetManager> audio_ = Network::INetManager::Create(ComponentInfo{L"a"}, true, 0);
    std::unique_ptr<Norvane::DeviceKx410> device_ =
        std::make_unique<Norvane::DeviceKx410>(control_.get(), audio_.get());
};

TEST_F(Audio, StartsStreamsOfThePayloadTypeToTheNamedPortsAndStops) {
    struct Row {
        std::uint32_t freq, protocol;
        bool systemPorts;
        std::uint8_t payloadType;
    };
    for (const Row row : {Row{48000, 1, false, 72}, Row{48000, 2, true, 100}, Row{44100, 1, true, 74},
                          Row{44100, 2, false, 101}}) {
        SCOPED_TRACE(row.payloadType);
        testing_support::UdpPeer output;  // the device's RTP input
        Connect({.outputs = 1,
                 .device_freq = row.freq,
                 .rtp_port = output.Port(),
                 .audio_protocol = row.protocol});
        // Ports near one the system just handed out are most likely free.
        const std::uint16_t base = row.systemPorts ? 0 : testing_support::UdpPeer().Port() - 2;
        ASSERT_EQ(Start(base), L"");
        EXPECT_EQ(Start(base), L"Cannot start: device not connected") << "while running";
        const std::vector<std::uint16_t> routes = Routes();
        if (!row.systemPorts) {
            EXPECT_EQ(routes, (std::vector<std::uint16_t>{std::uint16_t(base + 2), std::uint16_t(base + 4)}));
        }
        EXPECT_TRUE(testing_support::WaitUntil([&] { return EveryStreamReceived(); }))
            << "at the named ports";
        ASSERT_TRUE(output.WaitForCount(1));
        EXPECT_EQ(output.Received()[0].bytes.at(1) & 0x7F, row.payloadType);
        EXPECT_TRUE(testing_support::WaitUntil([&] { return blocks_ > 2; }));
        EXPECT_EQ(device_->GetState(), SDK::RtpActive) << "Stop and Close from the callback are refused";
        device_->Stop();
        EXPECT_EQ(device_->GetState(), SDK::Connected);
        EXPECT_EQ(Routes(), (std::vector<std::uint16_t>{0, 0})) << "the device is told to stop sending";
        ASSERT_EQ(Start(0), L"");
        device_->Close();
        EXPECT_EQ(device_->GetState(), SDK::Disconnected);
        sim_.Stop();
    }
}

// A failed Start leaves the device connected, with the streams switched off and nothing running.
TEST_F(Audio, AFailedStartLeavesTheDeviceConnectedAndSilent) {
    testing_support::UdpPeer taken;
    struct Row {
        std::uint32_t freq;
        std::uint16_t base;
        bool acks;
        std::wstring error;
    };
    const Row rows[] = {
        {96000, 0, true, L"Cannot start: invalid sample frequency"},
        {48000, static_cast<std::uint16_t>(taken.Port() - 4), true,
         L""},  // the second stream's port is taken
        {48000, 0, false, L"Message response time has expired"},
    };
    for (const Row& row : rows) {
        Connect({.device_freq = row.freq});
        sim_.SetFaults(0, Sim::Faults{.no_ack = !row.acks});
        const std::wstring error = Start(row.base);
        EXPECT_NE(error, L"");
        if (!row.error.empty()) {
            EXPECT_EQ(error, row.error);
        }
        EXPECT_EQ(device_->GetState(), SDK::Connected);
        EXPECT_FALSE(EveryStreamReceived());
        EXPECT_EQ(Routes(), (std::vector<std::uint16_t>{0, 0}));
        sim_.SetFaults(0, Sim::Faults{});
        EXPECT_EQ(row.freq == 48000 ? Start(0) : L"", L"") << "nothing is left behind";
        device_->Close();
        sim_.Stop();
    }
}

}  // namespace
