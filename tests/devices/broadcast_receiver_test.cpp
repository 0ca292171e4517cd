// What discovery lists, driven through its receiver directly; the full search against the simulator is
// an end-to-end test of the SDK, and a search flooded by a hostile device the end-to-end flood test's.
#include "devices/broadcast_receiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/device_msgs.h"

namespace {

using namespace Norvane;

std::shared_ptr<Network::JsonMsgDevInfo> Answer(std::wstring unit_id, std::uint32_t inputs = 2,
                                                std::uint32_t outputs = 0) {
    auto info = std::make_shared<Network::JsonMsgDevInfo>();
    info->unit_id = std::move(unit_id);
    info->inputs = inputs;
    info->outputs = outputs;
    return info;
}

TEST(BroadcastReceiver, OneEntryPerSenderWithItsLatestPlausibleAnswerUpToTheLimit) {
    const Network::SockAddr a(L"10.0.0.1", 15001);
    const Network::SockAddr b(L"10.0.0.1", 15002);
    Norvane::BroadcastReceiver receiver;
    receiver.OnMessage(nullptr, Answer(L"A"), a);
    receiver.OnMessage(nullptr, std::make_shared<Network::JsonMsgState>(), a);  // not an answer
    receiver.OnMessage(nullptr, Answer(L"B"), b);
    receiver.OnMessage(nullptr, Answer(std::wstring(300, L'x'), 3), a);      // replaces A in its place
    receiver.OnMessage(nullptr, Answer(L"big", kMaxDeviceChannels + 1), b);  // no such device
    receiver.OnMessage(nullptr, Answer(L"big", 2, kMaxDeviceChannels + 1), b);
    for (std::uint16_t port = 1; port <= kMaxDiscoveredDevices; ++port) {
        receiver.OnMessage(nullptr, Answer(L"D"), Network::SockAddr(L"10.1.0.1", port));
    }
    const std::vector<Norvane::DiscoveredDevice> found = receiver.Found();
    ASSERT_EQ(found.size(), kMaxDiscoveredDevices);
    EXPECT_EQ(found[0].description.unit_id, std::wstring(Norvane::kMaxDeviceTextLength, L'x'));
    EXPECT_EQ(found[1].description.unit_id, L"B");
    EXPECT_EQ(receiver.DroppedImplausible(), 2u);
    EXPECT_EQ(receiver.DroppedOverLimit(), 2u);
}

}  // namespace
