// FindActiveDevices against the simulator's discovery port, which plays the LAN's broadcast domain.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sdk_test_support.h"

namespace sdk_test {
namespace {

class Discovery : public SimTest {
protected:
    // One search from a free local port (another one when a parallel test took it); `ms` is its length.
    bool Find(std::vector<SDK::DeviceInfoEx>& list, std::int64_t* ms = nullptr) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto start = Clock::now();
            const bool ok = SDK::FindActiveDevices("127.0.0.1", FreeLoopbackPort(), "127.0.0.1",
                                                   sim_.DiscoveryAddress().GetPort(), list);
            if (ms != nullptr) {
                *ms = MsSince(start);
            }
            if (ok) {
                return true;
            }
        }
        return false;
    }

    // Entries per control port.
    static std::map<std::uint16_t, int> PerPort(const std::vector<SDK::DeviceInfoEx>& list) {
        std::map<std::uint16_t, int> count;
        for (const auto& d : list) {
            ++count[d.port];
        }
        return count;
    }
};

TEST_F(Discovery, FindsEverySimulatedDeviceOnceAfterTheFullWait) {
    StartSim(5, [](Sim::SimConfig& c) {
        c.discovery_spread_ms = 200;
        c.devices[3].tuners = 4;
        c.devices[3].rtp_port = 6400;
    });
    std::vector<SDK::DeviceInfoEx> list;
    std::int64_t ms = 0;
    ASSERT_TRUE(Find(list, &ms));
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 3000 + kSlackMs);
    ASSERT_EQ(list.size(), 5u);
    std::set<std::string> ids;
    for (const auto& d : list) {
        ids.insert(d.unit_id);
        EXPECT_EQ(d.address, "127.0.0.1");
        EXPECT_EQ(d.device_freq, 0u) << "discovery carries no sample frequency";
    }
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(ids.count(Sim::DefaultUnitId(i)), 1u) << i;
        const auto it = std::find_if(list.begin(), list.end(), [&](const SDK::DeviceInfoEx& d) {
            return d.unit_id == Sim::DefaultUnitId(i);
        });
        ASSERT_NE(it, list.end());
        EXPECT_EQ(it->port, DevicePort(i)) << "the port the answer came from";
        EXPECT_EQ(it->inputs, i == 3 ? 4u : 2u);
        EXPECT_EQ(it->rtp_port, i == 3 ? 6400u : 0u);
    }
}

TEST_F(Discovery, NoDeviceIsAnEmptyListAfterTheFullWait) {
    StartSim(1, [](Sim::SimConfig& c) { c.devices[0].faults.in.loss = 1.0; });
    std::vector<SDK::DeviceInfoEx> list(2);
    std::int64_t ms = 0;
    ASSERT_TRUE(Find(list, &ms));
    EXPECT_TRUE(list.empty());
    EXPECT_GE(ms, 3000);
}

TEST_F(Discovery, AFailingSearchEmptiesTheListAndReportsFalse) {
    StartSim(1);
    // The local port is taken: the search cannot even open its socket.
    platform::SocketHandle h = platform::kInvalidSocket;
    ASSERT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, h).ok());
    platform::UniqueSocket holder(h);
    platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
    ASSERT_TRUE(platform::Bind(h, local).ok());
    ASSERT_TRUE(platform::GetLocalAddress(h, local).ok());

    std::vector<SDK::DeviceInfoEx> list(3);
    list[0].unit_id = "left over";
    const auto start = Clock::now();
    EXPECT_FALSE(SDK::FindActiveDevices("127.0.0.1", local.Port(), "127.0.0.1",
                                        sim_.DiscoveryAddress().GetPort(), list));
    EXPECT_TRUE(list.empty());
    EXPECT_LT(MsSince(start), 1000) << "nothing to wait for";

    // A port beyond 16 bits is refused rather than cut to another port.
    list.resize(1);
    EXPECT_FALSE(SDK::FindActiveDevices("127.0.0.1", 0x10000u + FreeLoopbackPort(), "127.0.0.1",
                                        sim_.DiscoveryAddress().GetPort(), list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(SDK::FindActiveDevices("127.0.0.1", FreeLoopbackPort(), "127.0.0.1",
                                        0x10000u + sim_.DiscoveryAddress().GetPort(), list));
    EXPECT_EQ(sim_.DiscoveryDatagrams(), 0u);
}

// Duplicated and reordered answers (the device repeats its answer until it is acknowledged, and the
// network copies datagrams) never list a device more often than it answered with a message of its own.
TEST_F(Discovery, ADeviceIsListedOncePerAnswerItMade) {
    StartSim(4, [](Sim::SimConfig& c) {
        for (auto& d : c.devices) {
            d.faults.out.duplicate = 0.6;
            d.faults.out.reorder = 0.3;
            d.faults.in.duplicate = 0.5;
        }
    });
    std::vector<SDK::DeviceInfoEx> list;
    ASSERT_TRUE(Find(list));
    const auto perPort = PerPort(list);
    for (std::size_t i = 0; i < 4; ++i) {
        const auto it = perPort.find(DevicePort(i));
        const int listed = it == perPort.end() ? 0 : it->second;
        EXPECT_EQ(static_cast<std::uint64_t>(listed), sim_.Counters(i).answers_out) << "device " << i;
        EXPECT_GE(listed, 1) << "device " << i;
    }
}

TEST_F(Discovery, UnderLossEveryListedDeviceIsRealAndListedAtMostOncePerAnswer) {
    seed_ = 11;
    StartSim(6, [](Sim::SimConfig& c) {
        for (auto& d : c.devices) {
            d.faults.in.loss = 0.2;
            d.faults.out.loss = 0.2;
            d.faults.out.duplicate = 0.2;
            d.faults.out.reorder = 0.2;
        }
    });
    std::vector<SDK::DeviceInfoEx> list;
    std::int64_t ms = 0;
    ASSERT_TRUE(Find(list, &ms));
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, 3000 + kSlackMs);
    const auto perPort = PerPort(list);
    for (const auto& [port, count] : perPort) {
        bool known = false;
        for (std::size_t i = 0; i < 6; ++i) {
            if (DevicePort(i) == port) {
                known = true;
                EXPECT_LE(static_cast<std::uint64_t>(count), sim_.Counters(i).answers_out);
            }
        }
        EXPECT_TRUE(known) << port;
    }
}

}  // namespace
}  // namespace sdk_test
