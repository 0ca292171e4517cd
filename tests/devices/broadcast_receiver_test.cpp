// What discovery lists, driven through its receiver directly; the full search against the simulator is
// an end-to-end test of the SDK.
#include "devices/broadcast_receiver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/device_msgs.h"

namespace {

std::shared_ptr<Network::JsonMsgDevInfo> Answer(const wchar_t* unit_id, std::uint32_t id) {
    auto info = std::make_shared<Network::JsonMsgDevInfo>();
    info->unit_id = unit_id;
    info->inputs = 2;
    info->msg_id = id;
    return info;
}

TEST(BroadcastReceiver, EachAnswerIsListedOnceWithItsSender) {
    const Network::SockAddr a(L"10.0.0.1", 15001);
    const Network::SockAddr b(L"10.0.0.2", 15001);
    Norvane::BroadcastReceiver receiver;
    receiver.OnMessage(nullptr, Answer(L"A", 7), a);
    receiver.OnMessage(nullptr, std::make_shared<Network::JsonMsgState>(), a);  // not an answer
    receiver.OnMessage(nullptr, Answer(L"B", 7), b);                            // same id, other sender
    receiver.OnMessage(nullptr, Answer(L"A", 7), a);                            // a late repeat
    receiver.OnMessage(nullptr, Answer(L"A2", 8), a);                           // another answer of A
    const std::vector<Norvane::DiscoveredDevice> found = receiver.Found();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].description.unit_id, L"A");
    EXPECT_EQ(found[0].source, a);
    EXPECT_EQ(found[0].description.inputs, 2u);
    EXPECT_EQ(found[1].source, b);
    EXPECT_EQ(found[2].description.unit_id, L"A2");
}

}  // namespace
