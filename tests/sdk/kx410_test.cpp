// The FM-tuner façade and discovery end to end against the in-process simulator: one smoke test per
// family of operations, and the few real-time tests (a full discovery, a device that stops
// acknowledging, a lossy link).
#include "sdk/kx410.h"

#include <gtest/gtest.h>

#include <norvane/sdk.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/utf8.h"
#include "sim/simulator.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;
using testing_support::Clock;
using testing_support::MsBetween;

class Kx410Sim : public ::testing::Test {
protected:
    void StartSim(std::size_t n, const std::function<void(Sim::SimConfig&)>& edit = nullptr) {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(n);
        if (edit) {
            edit(config);
        }
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
    }
    void TearDown() override { sim_.Stop(); }

    bool Connect(SDK::IKx410& kx, std::size_t index) {
        SDK::DeviceInitSettings settings;
        settings.device_addr = "127.0.0.1";
        settings.device_port = sim_.DeviceAddress(index).GetPort();
        settings.host_addr = "127.0.0.1";  // port 0: the system picks one
        return kx.Init(settings);
    }

    std::vector<unsigned int> SimFreqs(std::size_t index) {
        std::vector<unsigned int> out;
        for (const auto& t : sim_.Tuners(index)) {
            out.push_back(static_cast<unsigned int>(t.freq));
        }
        return out;
    }

    Sim::Simulator sim_;
};

TEST(Kx410Fresh, EveryOperationBeforeInitGivesTheEmptyResult) {
    std::unique_ptr<SDK::IKx410> kx(SDK::CreateKx410());
    ASSERT_NE(kx, nullptr);
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(kx->GetDeviceId(), "");
    EXPECT_EQ(kx->GetDeviceInfo().unit_id, "");
    EXPECT_EQ(kx->GetInputs() + kx->GetFramesPerBlock() + kx->GetSampleFreq(), 0u);
    unsigned int f[2] = {7, 7};
    SDK::Kx410TunerQualityValues q[2];
    SDK::Kx410TunerRdsDataValues r[2];
    EXPECT_FALSE(kx->GetFmFreq(f, false));
    EXPECT_FALSE(kx->SetFmFreq(f));
    EXPECT_FALSE(kx->GetFmQuality(q, false));
    EXPECT_FALSE(kx->GetRdsData(r, false));
    EXPECT_FALSE(kx->Start(SDK::DeviceStartSettings{}));
    kx->Stop();
    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
}

TEST_F(Kx410Sim, ConnectsReadsAndTunesEveryTuner) {
    StartSim(1, [](Sim::SimConfig& c) {
        c.devices[0].tuners = 3;
        c.devices[0].device_freq = 44100;
        c.devices[0].rtp_port = 6100;
        c.stations = {{100500, "Norvane FM", {"Now \xF0\x9F\x8E\xB5 \"live\""}, 66, true}};
    });
    std::unique_ptr<SDK::IKx410> kx(SDK::CreateKx410());
    ASSERT_TRUE(Connect(*kx, 0));
    EXPECT_EQ(kx->GetState(), SDK::Connected);
    const SDK::DeviceInfo info = kx->GetDeviceInfo();
    EXPECT_EQ(info.unit_id, Sim::DefaultUnitId(0));
    EXPECT_EQ(info.rtp_port, 6100u);
    EXPECT_EQ(info.device_freq, 44100u) << "the frequency of the \"state\" answer during Init";
    EXPECT_EQ(kx->GetInputs(), 3u);
    EXPECT_EQ(kx->GetFramesPerBlock(), 192u);

    const unsigned int tune[3] = {100500, 94300, 88600};
    ASSERT_TRUE(kx->SetFmFreq(tune));
    EXPECT_EQ(SimFreqs(0), (std::vector<unsigned int>{100500, 94300, 88600}));
    // One element more than the tuners: it is never written.
    unsigned int f[4] = {0, 0, 0, 4};
    ASSERT_TRUE(kx->GetFmFreq(f, true));
    EXPECT_EQ(std::vector<unsigned int>(f, f + 4), (std::vector<unsigned int>{100500, 94300, 88600, 4}));
    SDK::Kx410TunerQualityValues q[4];
    q[3].rssi = 4242;
    ASSERT_TRUE(kx->GetFmQuality(q, true));
    EXPECT_EQ(q[3].rssi, 4242u);
    EXPECT_EQ(q[0].rssi, static_cast<unsigned int>(sim_.Tuners(0)[0].quality.rssi));
    SDK::Kx410TunerRdsDataValues r[4];
    r[3].psrv = L"untouched";
    ASSERT_TRUE(kx->GetRdsData(r, true));
    EXPECT_EQ(r[3].psrv, L"untouched");
    EXPECT_EQ(WideToUtf8(r[0].psrv), "Norvane FM");
    EXPECT_EQ(WideToUtf8(r[0].text), "Now \xF0\x9F\x8E\xB5 \"live\"");
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(r[0].text.size(), 12u) << "one wchar_t per character, no surrogate halves";
    }
    EXPECT_EQ(WideToUtf8(r[0].time).size(), 23u);

    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_FALSE(kx->GetFmFreq(f, true));
}

TEST_F(Kx410Sim, ASecondInitAndTheDestructorReleaseWhatInitMade) {
    StartSim(2);
    auto kx = std::make_unique<SDK::Kx410>();
    ASSERT_TRUE(Connect(*kx, 0));
    std::weak_ptr<Network::INetManager> first = kx->ControlService();
    ASSERT_TRUE(Connect(*kx, 1));
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(kx->GetDeviceId(), Sim::DefaultUnitId(1));
    std::weak_ptr<Network::INetManager> control = kx->ControlService();
    std::weak_ptr<Network::INetManager> audio = kx->AudioService();
    kx.reset();
    EXPECT_TRUE(control.expired());
    EXPECT_TRUE(audio.expired());
}

// The application sizes its arrays by the tuner count: a device announcing 100,000 is not connected.
TEST_F(Kx410Sim, ADeviceAnnouncingTooManyTunersIsNotConnected) {
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].tuners = 100000; });
    std::unique_ptr<SDK::IKx410> kx(SDK::CreateKx410());
    EXPECT_FALSE(Connect(*kx, 0));
    EXPECT_EQ(kx->GetInputs(), 0u);
}

TEST_F(Kx410Sim, DiscoveryListsEveryDeviceAfterTheFullWait) {
    StartSim(3, [](Sim::SimConfig& c) {
        c.discovery_spread_ms = 200;
        c.devices[1].tuners = 4;
    });
    std::vector<SDK::DeviceInfoEx> list(1);
    const auto start = Clock::now();
    ASSERT_TRUE(SDK::FindActiveDevices("127.0.0.1", 0, "127.0.0.1", sim_.DiscoveryAddress().GetPort(), list));
    EXPECT_GE(MsBetween(start, Clock::now()), 3000);
    ASSERT_EQ(list.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto it = std::find_if(list.begin(), list.end(), [&](const SDK::DeviceInfoEx& d) {
            return d.unit_id == Sim::DefaultUnitId(i);
        });
        ASSERT_NE(it, list.end()) << i;
        EXPECT_EQ(it->address, "127.0.0.1");
        EXPECT_EQ(it->port, sim_.DeviceAddress(i).GetPort()) << "the port the answer came from";
        EXPECT_EQ(it->inputs, i == 1 ? 4u : 2u);
        EXPECT_EQ(it->device_freq, 0u) << "discovery carries no sample frequency";
    }
}

TEST_F(Kx410Sim, AFailingSearchEmptiesTheListAndReportsFalse) {
    StartSim(1);
    std::vector<SDK::DeviceInfoEx> list(3);
    // A port beyond 16 bits is refused rather than cut to another port.
    EXPECT_FALSE(SDK::FindActiveDevices("127.0.0.1", 0x10000u + 5000u, "127.0.0.1",
                                        sim_.DiscoveryAddress().GetPort(), list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(sim_.DiscoveryDatagrams(), 0u);
}

TEST_F(Kx410Sim, ADeviceThatStopsAcknowledgingFailsEveryRequestButStaysConnected) {
    StartSim(1);
    std::unique_ptr<SDK::IKx410> kx(SDK::CreateKx410());
    ASSERT_TRUE(Connect(*kx, 0));
    Sim::Faults silent;
    silent.no_ack = true;
    sim_.SetFaults(0, silent);
    unsigned int f[2];
    const auto start = Clock::now();
    EXPECT_FALSE(kx->GetFmFreq(f, true));
    EXPECT_GE(MsBetween(start, Clock::now()), 2000);
    EXPECT_EQ(kx->GetState(), SDK::Connected);
}

// A fifth of the datagrams lost each way, with duplicated, reordered and delayed ones among the rest:
// every operation ends, most succeed, and a good link again makes the device fully usable.
TEST_F(Kx410Sim, LossyLink) {
    StartSim(1, [](Sim::SimConfig& c) {
        c.seed = 20240506;
        for (Sim::DirectionFaults* d : {&c.devices[0].faults.in, &c.devices[0].faults.out}) {
            d->loss = 0.2;
            d->duplicate = 0.15;
            d->reorder = 0.15;
            d->jitter_ms = 20;
        }
    });
    std::unique_ptr<SDK::IKx410> kx(SDK::CreateKx410());
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
        connected = Connect(*kx, 0);
    }
    ASSERT_TRUE(connected) << "three Init attempts failed over a 20% lossy link";
    int ok = 0;
    const int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        unsigned int f[2];
        const unsigned int tune[2] = {88600u + 100u * static_cast<unsigned int>(round), 94300};
        SDK::Kx410TunerQualityValues q[2];
        SDK::Kx410TunerRdsDataValues r[2];
        ok += kx->GetFmFreq(f, true) + kx->SetFmFreq(tune) + kx->GetFmQuality(q, true) +
              kx->GetRdsData(r, true);
    }
    EXPECT_GT(ok, 4 * rounds * 2 / 3) << ok << " of " << 4 * rounds << " succeeded";
    EXPECT_GT(sim_.Counters(0).lost_in + sim_.Counters(0).lost_out, 0u);

    sim_.SetFaults(0, Sim::Faults{});
    const unsigned int tune[2] = {104800, 88600};
    bool tuned = false;
    // An answer still on its way from the bad link may spoil the first try.
    for (int attempt = 0; attempt < 3 && !tuned; ++attempt) {
        tuned = kx->SetFmFreq(tune);
    }
    EXPECT_TRUE(tuned);
    EXPECT_EQ(SimFreqs(0), (std::vector<unsigned int>{104800, 88600}));
}

}  // namespace
