// The clock device connected to a simulated KX9 that asks for the time every few milliseconds.
#include "devices/device_kx9.h"

#include <gtest/gtest.h>

#include <memory>

#include "net/inet.h"
#include "sim/simulator.h"
#include "wait.h"

namespace {

TEST(ClockDevice, AnswersEachTimeRequestOnceAndSendsTheTimeOnlyWhenConnected) {
    Sim::Simulator sim;
    Sim::SimConfig config;
    config.devices = {{.model = Sim::Model::kKx9, .time_request_ms = 50}};
    ASSERT_TRUE(sim.Start(config));
    std::shared_ptr<Network::INetManager> control =
        Network::INetManager::Create(ComponentInfo{L"c"}, true, 0);
    Norvane::DeviceKx9 device(control.get(), nullptr);

    ErrInfo err(ERR_PLACE("test"));
    device.SendCurrentTimeToDevice(err);
    EXPECT_EQ(err.GetText(), L"Device is not connected");
    err.MarkHandled();

    Norvane::DeviceInitInfo settings;
    settings.device_addr = settings.host_addr = L"127.0.0.1";
    settings.device_port = sim.DeviceAddress(0).GetPort();
    ASSERT_TRUE(device.Init(settings).IsOk());
    // Between two requests each one has had its answer, no more than one, unless the previous answer was
    // still on its way.
    EXPECT_TRUE(testing_support::WaitUntil([&] {
        const Sim::Kx9Status s = sim.Kx9(0);
        return s.time_requests >= 3 && s.times_received == device.GetAnsweredTimeRequests() &&
               s.times_received + device.GetDroppedTimeRequests() == s.time_requests;
    }));
    EXPECT_EQ(sim.Kx9(0).last_td.size(), 23u);

    device.SendCurrentTimeToDevice(err);
    EXPECT_TRUE(err.IsOk()) << "acknowledged";
    device.Close();
    sim.Stop();
}

}  // namespace
