// The façade over a bad link: 20% of the datagrams lost in each direction, with duplicated, reordered and
// delayed ones among the rest. Every operation must end, successfully or not, within its documented
// time-out; nothing may hang or crash; and the device must be fully usable again once the link is good.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sdk_test_support.h"

namespace sdk_test {
namespace {

Sim::Faults BadLink() {
    Sim::Faults f;
    for (Sim::DirectionFaults* d : {&f.in, &f.out}) {
        d->loss = 0.2;
        d->duplicate = 0.15;
        d->reorder = 0.15;
        d->jitter_ms = 20;
    }
    return f;
}

struct Tally {
    int ok = 0;
    int failed = 0;
    std::vector<std::string> slow;  // operations that overran their bound
    void Add(bool result, std::int64_t ms, std::int64_t bound, const char* what) {
        (result ? ok : failed)++;
        Time(ms, bound, what);
    }
    void Time(std::int64_t ms, std::int64_t bound, const char* what) {
        if (ms > bound) {
            slow.push_back(std::string(what) + " took " + std::to_string(ms) + " ms");
        }
    }
};

class LossyLink : public SimTest {
protected:
    // Init until it succeeds (at most three tries), each within its bound.
    bool ConnectOverBadLink(SDK::IKx410& kx, Tally& tally) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            SDK::DeviceInitSettings settings;
            settings.device_addr = "127.0.0.1";
            settings.device_port = DevicePort(0);
            settings.host_addr = "127.0.0.1";
            settings.host_port = FreeLoopbackPort();
            const auto start = Clock::now();
            const bool ok = kx.Init(settings);
            tally.Add(ok, MsSince(start), kInitBoundMs, "Init");
            if (ok) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(LossyLink, EveryOperationEndsWithinItsTimeOut) {
    seed_ = 20240506;
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].faults = BadLink(); });
    auto kx = NewKx410();
    Tally tally;
    ASSERT_TRUE(ConnectOverBadLink(*kx, tally)) << "three Init attempts failed over a 20% lossy link";
    ASSERT_EQ(kx->GetInputs(), 2u);

    const unsigned int plan[][2] = {{100500, 94300}, {88600, 104800}, {107200, 91000}, {94300, 100500}};
    for (int round = 0; round < 12; ++round) {
        unsigned int f[2];
        auto start = Clock::now();
        tally.Add(kx->GetFmFreq(f, true), MsSince(start), kGetBoundMs, "GetFmFreq");

        start = Clock::now();
        tally.Add(kx->SetFmFreq(plan[round % 4]), MsSince(start), kSetBoundMs, "SetFmFreq");

        SDK::Kx410TunerQualityValues q[2];
        start = Clock::now();
        tally.Add(kx->GetFmQuality(q, true), MsSince(start), kGetBoundMs, "GetFmQuality");

        SDK::Kx410TunerRdsDataValues r[2];
        start = Clock::now();
        tally.Add(kx->GetRdsData(r, true), MsSince(start), kGetBoundMs, "GetRdsData");

        // Reading what is there never waits.
        start = Clock::now();
        tally.Add(kx->GetFmFreq(f, false), MsSince(start), 100, "GetFmFreq(false)");
    }
    for (const auto& s : tally.slow) {
        ADD_FAILURE() << s;
    }
    // The link loses a fifth of everything, not everything: most requests get through.
    EXPECT_GT(tally.ok, 2 * tally.failed) << tally.ok << " succeeded, " << tally.failed << " failed";
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_GT(c.lost_in + c.lost_out, 0u);
    EXPECT_GT(c.duplicated_in + c.duplicated_out, 0u);
    EXPECT_GT(c.reordered_in + c.reordered_out, 0u);

    // A good link again: everything works and agrees with the device.
    sim_.SetFaults(0, Sim::Faults{});
    std::this_thread::sleep_for(milliseconds(1500));  // whatever was still on its way has settled
    const unsigned int tune[2] = {104800, 88600};
    ASSERT_TRUE(kx->SetFmFreq(tune));
    EXPECT_EQ(SimFreqs(0), (std::vector<std::int32_t>{104800, 88600}));
    unsigned int f[2] = {0, 0};
    ASSERT_TRUE(kx->GetFmFreq(f, true));
    EXPECT_EQ(f[0], 104800u);
    EXPECT_EQ(f[1], 88600u);
    SDK::Kx410TunerQualityValues q[2];
    EXPECT_TRUE(kx->GetFmQuality(q, true));
    EXPECT_EQ(q[0].valid, 1u);
    EXPECT_EQ(kx->GetState(), SDK::Connected);
    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
}

TEST_F(LossyLink, ReconnectAndReleaseOverABadLink) {
    seed_ = 77;
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].faults = BadLink(); });
    Tally tally;
    for (int i = 0; i < 2; ++i) {
        auto kx = NewKx410();
        if (ConnectOverBadLink(*kx, tally)) {
            unsigned int f[2];
            const auto start = Clock::now();
            tally.Add(kx->GetFmFreq(f, true), MsSince(start), kGetBoundMs, "GetFmFreq");
            // A second Init on the same object, then destruction, over the same link.
            ConnectOverBadLink(*kx, tally);
        }
        const auto start = Clock::now();
        kx.reset();
        tally.Time(MsSince(start), 1000, "destruction");
    }
    for (const auto& s : tally.slow) {
        ADD_FAILURE() << s;
    }
    EXPECT_GT(tally.ok, 0);
}

}  // namespace
}  // namespace sdk_test
