// Discovery against scripted devices on loopback.
#include "devices/broadcast_receiver.h"

#include <gtest/gtest.h>

#include <vector>

#include "device_test_support.h"

namespace devices_test {
namespace {

using Norvane::BroadcastReceiver;
using Norvane::DiscoveredDevice;
using Norvane::kDiscoveryWait;

// Runs one search from a free local port; retries when a parallel test took the port.
ErrInfo Search(const Network::SockAddr& target, std::vector<DiscoveredDevice>& found,
               std::int64_t* ms = nullptr) {
    ErrInfo err(ERR_PLACE("devices_test::Search"));
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto start = Clock::now();
        err = BroadcastReceiver::Find(Loopback(FreeLoopbackPort()), target, found);
        if (ms != nullptr) {
            *ms = MsSince(start);
        }
        if (err.IsOk()) {
            break;
        }
        err.MarkHandled();
    }
    return err;
}

TEST(BroadcastReceiver, ListsTheAnswerWithItsSenderAfterTheFullWait) {
    FakeDevice fake;
    std::vector<DiscoveredDevice> found(3);  // emptied by the search
    std::int64_t ms = 0;
    ErrInfo err = Search(fake.Address(), found, &ms);
    ASSERT_TRUE(err.IsOk()) << Text(err);
    EXPECT_GE(ms, kDiscoveryWait.count());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].source, fake.Address());
    EXPECT_EQ(found[0].description.unit_id, L"FAKE-0001");
    EXPECT_EQ(found[0].description.hardware, 3u);
    EXPECT_EQ(found[0].description.firmware, 4u);
    EXPECT_EQ(found[0].description.software, 5u);
    EXPECT_EQ(found[0].description.rtp_port, 7000u);
    EXPECT_EQ(found[0].description.inputs, 2u);
    EXPECT_EQ(found[0].description.device_freq, 0u);
    EXPECT_EQ(fake.CountOf(L"dev_find"), 1u);
}

TEST(BroadcastReceiver, ARepeatedAnswerIsListedOnceEvenWhenOthersCameBetween) {
    FakeDevice fake;
    std::shared_ptr<Network::JsonMsgDevInfo> first = fake.MakeDevInfo();
    std::shared_ptr<Network::JsonMsgDevInfo> second = fake.MakeDevInfo();
    second->unit_id = L"FAKE-0001-B";
    fake.Configure([&](FakeDevice::Behaviour& b) {
        b.dev_find_answers = [&]() -> std::vector<std::shared_ptr<Network::JsonMsg>> {
            auto state = std::make_shared<Network::JsonMsgState>();
            state->device_freq = 48000;
            // first, something else, first again (same msg_id), then a second message.
            return {first, state, first, second, first};
        };
    });
    std::vector<DiscoveredDevice> found;
    ASSERT_TRUE(Search(fake.Address(), found).IsOk());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].description.unit_id, L"FAKE-0001");
    EXPECT_EQ(found[1].description.unit_id, L"FAKE-0001-B");
}

TEST(BroadcastReceiver, NoAnswerIsAnEmptyListNotAnError) {
    FakeDevice fake;
    fake.Configure([](FakeDevice::Behaviour& b) { b.answer_dev_find = false; });
    std::vector<DiscoveredDevice> found(2);
    std::int64_t ms = 0;
    ASSERT_TRUE(Search(fake.Address(), found, &ms).IsOk());
    EXPECT_TRUE(found.empty());
    EXPECT_GE(ms, kDiscoveryWait.count());
}

TEST(BroadcastReceiver, LocalAddressWithoutPortReadsNothing) {
    FakeDevice fake;
    std::vector<DiscoveredDevice> found;
    ErrInfo err = BroadcastReceiver::Find(Loopback(0), fake.Address(), found);
    EXPECT_TRUE(err.IsOk());
    err.MarkHandled();
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(fake.CountOf(L"dev_find"), 1u) << "the request still goes out";
}

// The loopback network's broadcast address stays on this host. Sending to a broadcast address needs the
// socket's broadcast option; without it the system refuses the datagram.
TEST(BroadcastReceiver, BroadcastTargetIsAccepted) {
    std::vector<DiscoveredDevice> found;
    ErrInfo err = Search(Network::SockAddr(L"127.255.255.255", FreeLoopbackPort()), found);
    EXPECT_TRUE(err.IsOk()) << Text(err);
    err.MarkHandled();
}

}  // namespace
}  // namespace devices_test
