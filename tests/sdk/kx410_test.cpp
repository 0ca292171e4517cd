// The FM-tuner façade end to end against simulated devices: connecting, every getter and setter, the
// device faults that must fail cleanly, reconnecting, and the release of everything an Init made.
#include "sdk/kx410.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/utf8.h"
#include "sdk_test_support.h"
#include "sim/stations.h"

namespace sdk_test {
namespace {

const Sim::Station& StationNamed(const std::string& name) {
    for (const auto& s : Sim::DefaultStations()) {
        if (s.name == name) {
            return s;
        }
    }
    ADD_FAILURE() << "no station " << name;
    return Sim::DefaultStations().front();
}

TEST(Kx410Fresh, EveryOperationBeforeInitGivesTheEmptyResult) {
    auto kx = NewKx410();
    ASSERT_NE(kx, nullptr);
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(kx->GetDeviceId(), "");
    const SDK::DeviceInfo info = kx->GetDeviceInfo();
    EXPECT_TRUE(info.unit_id.empty());
    EXPECT_EQ(info.inputs, 0u);
    EXPECT_EQ(info.device_freq, 0u);
    EXPECT_EQ(kx->GetInputs(), 0u);
    EXPECT_EQ(kx->GetFramesPerBlock(), 0u);
    EXPECT_EQ(kx->GetSampleFreq(), 0u);
    unsigned int f[2] = {7, 7};
    EXPECT_FALSE(kx->GetFmFreq(f, false));
    EXPECT_FALSE(kx->GetFmFreq(f, true));
    EXPECT_FALSE(kx->SetFmFreq(f));
    EXPECT_EQ(f[0], 7u);
    SDK::Kx410TunerQualityValues q[2];
    EXPECT_FALSE(kx->GetFmQuality(q, true));
    SDK::Kx410TunerRdsDataValues r[2];
    EXPECT_FALSE(kx->GetRdsData(r, false));
    EXPECT_FALSE(kx->Start(SDK::DeviceStartSettings{}));
    kx->Stop();
    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
}

class Kx410Sim : public SimTest {};

TEST_F(Kx410Sim, ConnectsAndReportsTheDevice) {
    StartSim(1, [](Sim::SimConfig& c) {
        c.devices[0].hardware = 7;
        c.devices[0].firmware = 8;
        c.devices[0].software = 9;
        c.devices[0].rtp_port = 6100;
        c.devices[0].device_freq = 44100;
        c.devices[0].audio_protocol = 1;
        c.devices[0].control_protocol = 3;
    });
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    EXPECT_EQ(kx->GetState(), SDK::Connected);
    EXPECT_EQ(kx->GetDeviceId(), Sim::DefaultUnitId(0));
    const SDK::DeviceInfo info = kx->GetDeviceInfo();
    EXPECT_EQ(info.unit_id, Sim::DefaultUnitId(0));
    EXPECT_EQ(info.hardware, 7u);
    EXPECT_EQ(info.firmware, 8u);
    EXPECT_EQ(info.software, 9u);
    EXPECT_EQ(info.audio_protocol, 1u);
    EXPECT_EQ(info.control_protocol, 3u);
    EXPECT_EQ(info.rtp_port, 6100u);
    EXPECT_EQ(info.inputs, 2u);
    EXPECT_EQ(info.device_freq, 44100u) << "the frequency of the \"state\" answer during Init";
    EXPECT_EQ(kx->GetInputs(), 2u);
    EXPECT_EQ(kx->GetFramesPerBlock(), 192u);
    EXPECT_EQ(kx->GetSampleFreq(), 44100u);

    unsigned int f[2] = {0, 0};
    ASSERT_TRUE(kx->GetFmFreq(f, false));
    const auto tuned = SimFreqs(0);
    ASSERT_EQ(tuned.size(), 2u);
    EXPECT_EQ(f[0], static_cast<unsigned int>(tuned[0])) << "the first reading of Init";
    EXPECT_EQ(f[1], static_cast<unsigned int>(tuned[1]));
    unsigned int g[2] = {0, 0};
    ASSERT_TRUE(kx->GetFmFreq(g, true));
    EXPECT_EQ(std::vector<unsigned int>(g, g + 2), std::vector<unsigned int>(f, f + 2));
}

TEST_F(Kx410Sim, TuningChangesWhatTheTunersReceive) {
    StartSim(1);
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    const Sim::Station& station = StationNamed("Radio \xC3\x86ther");
    const unsigned int noise = 91000;  // far from every station
    const unsigned int wanted[2] = {static_cast<unsigned int>(station.freq), noise};
    ASSERT_TRUE(kx->SetFmFreq(wanted));
    EXPECT_EQ(SimFreqs(0), (std::vector<std::int32_t>{station.freq, static_cast<std::int32_t>(noise)}));
    unsigned int f[2] = {0, 0};
    ASSERT_TRUE(kx->GetFmFreq(f, false));
    EXPECT_EQ(f[0], wanted[0]);
    EXPECT_EQ(f[1], wanted[1]);

    SDK::Kx410TunerQualityValues q[2];
    ASSERT_TRUE(kx->GetFmQuality(q, true));
    const auto sim = sim_.Tuners(0);
    EXPECT_EQ(q[0].valid, 1u);
    EXPECT_EQ(q[0].pilot, 1u);
    EXPECT_EQ(q[1].valid, 0u);
    EXPECT_GT(q[0].rssi, q[1].rssi);
    EXPECT_NEAR(static_cast<double>(q[0].rssi), sim[0].quality.rssi, 10.0);
    EXPECT_NEAR(static_cast<double>(q[0].snr), sim[0].quality.snr, 10.0);

    SDK::Kx410TunerRdsDataValues r[2];
    r[1].psrv = L"stale";
    ASSERT_TRUE(kx->GetRdsData(r, true));
    EXPECT_EQ(WideToUtf8(r[0].psrv), station.name);
    EXPECT_FALSE(r[0].text.empty());
    EXPECT_FALSE(WideToUtf8(r[0].text).empty()) << "the radiotext is valid UTF-16 (pairs joined)";
    EXPECT_NE(std::find(station.radiotext.begin(), station.radiotext.end(), WideToUtf8(r[0].text)),
              station.radiotext.end())
        << "the radiotext arrives exactly as the station sends it";
    if constexpr (sizeof(wchar_t) == 4) {
        // One wchar_t per character where wchar_t has 32 bits: no surrogate halves reach the application.
        for (const std::wstring* text : {&r[0].psrv, &r[0].text, &r[0].time}) {
            for (wchar_t c : *text) {
                EXPECT_FALSE(c >= 0xD800 && c <= 0xDFFF) << "surrogate half in " << WideToUtf8(*text);
            }
        }
    }
    EXPECT_EQ(WideToUtf8(r[0].time).size(), 23u);
    EXPECT_TRUE(r[1].psrv.empty()) << "no station between stations";
    EXPECT_TRUE(r[1].text.empty());
}

TEST_F(Kx410Sim, ListsAreCopiedForExactlyTheTunersOfTheDevice) {
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].tuners = 3; });
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    ASSERT_EQ(kx->GetInputs(), 3u);
    SDK::Kx410TunerQualityValues q[4];
    q[3].rssi = 4242;
    ASSERT_TRUE(kx->GetFmQuality(q, true));
    EXPECT_EQ(q[3].rssi, 4242u);
    SDK::Kx410TunerRdsDataValues r[4];
    r[3].psrv = L"untouched";
    ASSERT_TRUE(kx->GetRdsData(r, false));
    EXPECT_EQ(r[3].psrv, L"untouched");
    unsigned int f[4] = {1, 2, 3, 4};
    ASSERT_TRUE(kx->GetFmFreq(f, true));
    EXPECT_EQ(f[3], 4u);
    const unsigned int tune[3] = {100500, 94300, 88600};
    ASSERT_TRUE(kx->SetFmFreq(tune));
    EXPECT_EQ(SimFreqs(0), (std::vector<std::int32_t>{100500, 94300, 88600}));
}

TEST_F(Kx410Sim, AnotherModelsTypeTextFailsInit) {
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].faults.type_text = "KX260"; });
    auto kx = NewKx410();
    const auto start = Clock::now();
    EXPECT_FALSE(Connect(*kx, 0));
    const auto ms = MsSince(start);
    EXPECT_GE(ms, kWaitMs);
    EXPECT_LT(ms, 2 * kWaitMs + kSlackMs);
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(kx->GetDeviceId(), "");
    log_.Sync();
    EXPECT_FALSE(log_.Containing(L"Unexpected device type: 'KX260' instead of 'KX410'").empty());
    EXPECT_FALSE(log_.Containing(L"Message response time has expired").empty());
}

TEST_F(Kx410Sim, ZeroDeviceFrequencyFailsInit) {
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].faults.zero_device_freq = true; });
    auto kx = NewKx410();
    const auto start = Clock::now();
    EXPECT_FALSE(Connect(*kx, 0));
    EXPECT_GE(MsSince(start), kWaitMs);
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(kx->GetSampleFreq(), 0u);
}

TEST_F(Kx410Sim, AnswersWithListsOfAnotherLengthNeverSatisfyARequest) {
    StartSim(1);
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    unsigned int before[2] = {0, 0};
    ASSERT_TRUE(kx->GetFmFreq(before, false));

    Sim::Faults faults;
    faults.list_length_delta = 1;  // every list one entry too long
    sim_.SetFaults(0, faults);
    unsigned int f[2] = {0, 0};
    auto start = Clock::now();
    EXPECT_FALSE(kx->GetFmFreq(f, true));
    EXPECT_GE(MsSince(start), kWaitMs);
    EXPECT_LT(MsSince(start), kGetBoundMs);

    // One short list among correct ones is enough to refuse the whole answer.
    faults.list_length_delta = -1;
    faults.list_keys = {"multipath"};
    sim_.SetFaults(0, faults);
    SDK::Kx410TunerQualityValues q[2];
    start = Clock::now();
    EXPECT_FALSE(kx->GetFmQuality(q, true));
    EXPECT_LT(MsSince(start), kGetBoundMs);
    EXPECT_TRUE(kx->GetFmFreq(f, true)) << "\"freq\" is not touched by this fault";

    faults.list_keys = {"time"};
    sim_.SetFaults(0, faults);
    SDK::Kx410TunerRdsDataValues r[2];
    EXPECT_FALSE(kx->GetRdsData(r, true));

    // Tuning goes through (the device applies it) but the read-back is refused.
    faults.list_keys = {"freq"};
    sim_.SetFaults(0, faults);
    const unsigned int tune[2] = {104800, 107200};
    EXPECT_FALSE(kx->SetFmFreq(tune));
    EXPECT_EQ(SimFreqs(0), (std::vector<std::int32_t>{104800, 107200}));
    ASSERT_TRUE(kx->GetFmFreq(f, false));
    EXPECT_EQ(std::vector<unsigned int>(f, f + 2), std::vector<unsigned int>(before, before + 2));

    log_.Sync();
    EXPECT_FALSE(log_.Containing(L"Freq list size is not correct").empty());
    EXPECT_FALSE(log_.Containing(L"Fm quality list size is not correct").empty());
    EXPECT_FALSE(log_.Containing(L"Fm RDS data list size is not correct").empty());

    sim_.SetFaults(0, Sim::Faults{});
    EXPECT_TRUE(kx->GetFmFreq(f, true));
    EXPECT_EQ(f[0], 104800u);
}

TEST_F(Kx410Sim, DeviceThatNeverAcknowledges) {
    Sim::Faults silent;
    silent.no_ack = true;
    StartSim(1, [&](Sim::SimConfig& c) { c.devices[0].faults = silent; });
    auto kx = NewKx410();
    auto start = Clock::now();
    EXPECT_FALSE(Connect(*kx, 0));
    EXPECT_GE(MsSince(start), kWaitMs);
    EXPECT_LT(MsSince(start), kWaitMs + kSlackMs);
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);

    // Connected first, then the device stops acknowledging: every request fails after its wait.
    sim_.SetFaults(0, Sim::Faults{});
    ASSERT_TRUE(Connect(*kx, 0));
    sim_.SetFaults(0, silent);
    unsigned int f[2];
    start = Clock::now();
    EXPECT_FALSE(kx->GetFmFreq(f, true));
    EXPECT_GE(MsSince(start), kWaitMs);
    EXPECT_LT(MsSince(start), kWaitMs + kSlackMs);
    start = Clock::now();
    const unsigned int tune[2] = {100500, 100500};
    EXPECT_FALSE(kx->SetFmFreq(tune));
    EXPECT_LT(MsSince(start), kWaitMs + kSlackMs);
    EXPECT_EQ(kx->GetState(), SDK::Connected) << "a silent device stays connected until closed";
    log_.Sync();
    EXPECT_FALSE(log_.Containing(L"Protocol error. No ack received").empty());
}

TEST_F(Kx410Sim, CloseThenInitAgainReconnects) {
    StartSim(2);
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(kx->GetDeviceId(), "");
    unsigned int f[2];
    EXPECT_FALSE(kx->GetFmFreq(f, true));
    kx->Close();

    ASSERT_TRUE(Connect(*kx, 1)) << "the same object connects to another device";
    EXPECT_EQ(kx->GetDeviceId(), Sim::DefaultUnitId(1));
    const unsigned int tune[2] = {88600, 94300};
    ASSERT_TRUE(kx->SetFmFreq(tune));
    EXPECT_EQ(SimFreqs(1), (std::vector<std::int32_t>{88600, 94300}));
    EXPECT_NE(SimFreqs(0), SimFreqs(1));
}

TEST_F(Kx410Sim, SecondInitReleasesWhatTheFirstMade) {
    StartSim(2);
    SDK::Kx410 kx;
    std::uint16_t firstPort = 0;
    ASSERT_TRUE(Connect(kx, 0, &firstPort));
    std::weak_ptr<Network::INetManager> control = kx.ControlService();
    std::weak_ptr<Network::INetManager> audio = kx.AudioService();
    ASSERT_FALSE(control.expired());
    ASSERT_FALSE(audio.expired());
    EXPECT_FALSE(PortIsFree(firstPort));

    ASSERT_TRUE(Connect(kx, 1)) << "Init on a connected object starts afresh";
    EXPECT_TRUE(control.expired()) << "the first control service is gone";
    EXPECT_TRUE(audio.expired()) << "the first audio service is gone";
    EXPECT_TRUE(PortIsFree(firstPort)) << "the first control socket is closed";
    EXPECT_EQ(kx.GetDeviceId(), Sim::DefaultUnitId(1));
    unsigned int f[2];
    EXPECT_TRUE(kx.GetFmFreq(f, true));
}

TEST_F(Kx410Sim, DestructionReleasesTheDeviceAndBothServices) {
    StartSim(1);
    auto kx = std::make_unique<SDK::Kx410>();
    std::uint16_t port = 0;
    ASSERT_TRUE(Connect(*kx, 0, &port));
    std::weak_ptr<Network::INetManager> control = kx->ControlService();
    std::weak_ptr<Network::INetManager> audio = kx->AudioService();
    kx.reset();
    EXPECT_TRUE(control.expired());
    EXPECT_TRUE(audio.expired());
    EXPECT_TRUE(PortIsFree(port));

    // Also through the exported interface, as an application does it.
    std::unique_ptr<SDK::IKx410> app = NewKx410();
    ASSERT_TRUE(Connect(*app, 0, &port));
    app.reset();
    EXPECT_TRUE(PortIsFree(port));
}

TEST_F(Kx410Sim, StartIsRefusedWithAReasonInTheLog) {
    StartSim(1);
    auto kx = NewKx410();
    ASSERT_TRUE(Connect(*kx, 0));
    SDK::DeviceStartSettings settings;
    settings.rtp_base_port = 6000;
    EXPECT_FALSE(kx->Start(settings));
    EXPECT_EQ(kx->GetState(), SDK::Connected);
    log_.Sync();
    EXPECT_FALSE(log_.Containing(L"Kx410: Start: audio could not be started").empty());
}

}  // namespace
}  // namespace sdk_test
