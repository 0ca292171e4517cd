// The device's reliable sending on its own, driven by explicit time stamps.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "sim/outbox.h"

namespace {

using Sim::Datagram;
using Sim::ReliableOutbox;
using Sim::TimePoint;
using std::chrono::milliseconds;

const TimePoint t0 = TimePoint() + std::chrono::hours(1);
const Network::SockAddr kPeerA(platform::SockAddrIn::Loopback(5001));
const Network::SockAddr kPeerB(platform::SockAddrIn::Loopback(5002));

std::vector<Datagram> Poll(ReliableOutbox& box, TimePoint now) {
    std::vector<Datagram> out;
    box.Poll(now, out);
    return out;
}

TEST(ReliableOutbox, OneInFlightPerPeerRepeatedUntilGivenUpThenTheNext) {
    ReliableOutbox box(milliseconds(300), 3);
    box.Enqueue(kPeerA, 10, {'a'});
    box.Enqueue(kPeerA, 11, {'b'});
    EXPECT_EQ(box.NextDeadline(t0), t0);

    auto out = Poll(box, t0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, std::vector<std::uint8_t>{'a'});
    EXPECT_EQ(out[0].peer, kPeerA);
    EXPECT_EQ(box.NextDeadline(t0), t0 + milliseconds(300));

    EXPECT_TRUE(Poll(box, t0 + milliseconds(299)).empty());
    out = Poll(box, t0 + milliseconds(300));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, std::vector<std::uint8_t>{'a'});
    out = Poll(box, t0 + milliseconds(600));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(box.Repeats(), 2u);
    EXPECT_EQ(box.GiveUps(), 0u);

    // The third send was the last: at 900 ms it is given up and the next message goes out at once.
    EXPECT_TRUE(Poll(box, t0 + milliseconds(899)).empty());
    out = Poll(box, t0 + milliseconds(900));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, std::vector<std::uint8_t>{'b'});
    EXPECT_EQ(box.GiveUps(), 1u);
    EXPECT_EQ(box.Repeats(), 2u);
    EXPECT_EQ(box.Pending(), 1u);
}

TEST(ReliableOutbox, AcknowledgementEndsRepetitionAndReleasesTheNext) {
    ReliableOutbox box(milliseconds(300), 3);
    box.Enqueue(kPeerA, 10, {'a'});
    box.Enqueue(kPeerA, 11, {'b'});
    Poll(box, t0);
    EXPECT_FALSE(box.OnAck(kPeerA, 11));  // not the one in flight
    EXPECT_FALSE(box.OnAck(kPeerB, 10));  // not from its peer
    EXPECT_TRUE(box.OnAck(kPeerA, 10));
    EXPECT_FALSE(box.OnAck(kPeerA, 10));  // a second copy matches nothing
    EXPECT_EQ(box.Acked(), 1u);

    auto out = Poll(box, t0 + milliseconds(1));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, std::vector<std::uint8_t>{'b'});
    EXPECT_TRUE(box.OnAck(kPeerA, 11));
    EXPECT_TRUE(Poll(box, t0 + std::chrono::hours(1)).empty());
    EXPECT_EQ(box.Pending(), 0u);
    EXPECT_FALSE(box.NextDeadline(t0).has_value());
    EXPECT_EQ(box.Repeats(), 0u);
}

TEST(ReliableOutbox, PeersDoNotWaitForEachOther) {
    ReliableOutbox box(milliseconds(300), 3);
    box.Enqueue(kPeerA, 1, {'a'});
    box.Enqueue(kPeerB, 2, {'b'});
    auto out = Poll(box, t0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NE(out[0].peer, out[1].peer);
    EXPECT_TRUE(box.OnAck(kPeerB, 2));
    out = Poll(box, t0 + milliseconds(300));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].peer, kPeerA);
}

TEST(ReliableOutbox, WithoutRepeatIntervalAMessageStaysInFlight) {
    ReliableOutbox box(milliseconds(0), 3);
    box.Enqueue(kPeerA, 1, {'a'});
    box.Enqueue(kPeerA, 2, {'b'});
    EXPECT_EQ(Poll(box, t0).size(), 1u);
    EXPECT_TRUE(Poll(box, t0 + std::chrono::hours(5)).empty());
    EXPECT_FALSE(box.NextDeadline(t0).has_value());
    EXPECT_EQ(box.GiveUps(), 0u);
    EXPECT_EQ(box.Pending(), 2u);
}

TEST(ReliableOutbox, OneSendGivesUpAtTheFirstInterval) {
    ReliableOutbox box(milliseconds(100), 1);
    box.Enqueue(kPeerA, 1, {'a'});
    EXPECT_EQ(Poll(box, t0).size(), 1u);
    EXPECT_TRUE(Poll(box, t0 + milliseconds(100)).empty());
    EXPECT_EQ(box.GiveUps(), 1u);
    EXPECT_EQ(box.Repeats(), 0u);
    EXPECT_EQ(box.Pending(), 0u);
}

}  // namespace
