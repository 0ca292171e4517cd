// The façade against the in-process simulator: a simulator per test, connecting a Kx410 to one of its
// devices from a free local port, and time measurement against the documented time-outs.
#pragma once

#include <gtest/gtest.h>

#include <norvane/sdk.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/log_test_support.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "support/loopback.h"

namespace sdk_test {

namespace SDK = Norvane::SDK;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The documented waits: an acknowledgement, then an answer, 2000 ms each.
inline constexpr std::int64_t kWaitMs = 2000;
// What a loaded machine (sanitizers, Wine, parallel tests) may add to a wait.
inline constexpr std::int64_t kSlackMs = 1500;
// The longest each operation may take.
inline constexpr std::int64_t kGetBoundMs = 2 * kWaitMs + kSlackMs;    // acknowledgement + answer
inline constexpr std::int64_t kSetBoundMs = 3 * kWaitMs + kSlackMs;    // set, then a read-back
inline constexpr std::int64_t kInitBoundMs = 10 * kWaitMs + kSlackMs;  // handshake + three first readings

inline std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

using testing_support::FreeLoopbackPort;

// True when a UDP socket can be bound to 127.0.0.1:port right now (nobody holds it).
inline bool PortIsFree(std::uint16_t port) {
    FreeLoopbackPort();  // the socket library is started
    platform::SocketHandle h = platform::kInvalidSocket;
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return false;
    }
    platform::UniqueSocket sock(h);
    return platform::Bind(h, platform::SockAddrIn::Loopback(port)).ok();
}

// A running simulator with `n` devices (2 tuners each unless changed by `edit`).
class SimTest : public ::testing::Test {
protected:
    void StartSim(std::size_t n, const std::function<void(Sim::SimConfig&)>& edit = nullptr) {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(n);
        config.seed = seed_;
        if (edit) {
            edit(config);
        }
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
    }

    void TearDown() override { sim_.Stop(); }

    [[nodiscard]] std::uint16_t DevicePort(std::size_t index) const {
        return sim_.DeviceAddress(index).GetPort();
    }

    // Init from a free local port; another port when a parallel test took the chosen one.
    bool Connect(SDK::IKx410& kx, std::size_t index, std::uint16_t* hostPort = nullptr) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            SDK::DeviceInitSettings settings;
            settings.device_addr = "127.0.0.1";
            settings.device_port = DevicePort(index);
            settings.host_addr = "127.0.0.1";
            settings.host_port = FreeLoopbackPort();
            if (hostPort != nullptr) {
                *hostPort = settings.host_port;
            }
            const auto start = Clock::now();
            if (kx.Init(settings)) {
                return true;
            }
            // A taken port fails at once; a device that does not answer takes the time-out.
            if (MsSince(start) > 500) {
                return false;
            }
        }
        return false;
    }

    std::vector<std::int32_t> SimFreqs(std::size_t index) {
        std::vector<std::int32_t> out;
        for (const auto& t : sim_.Tuners(index)) {
            out.push_back(t.freq);
        }
        return out;
    }

    testing_support::ProcessLogCapture log_;
    Sim::Simulator sim_;
    std::uint64_t seed_ = 1;
};

inline std::unique_ptr<SDK::IKx410> NewKx410() {
    return std::unique_ptr<SDK::IKx410>(SDK::CreateKx410());
}

}  // namespace sdk_test
