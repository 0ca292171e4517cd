// The two parts of the simulator that run on explicit time stamps, stepped here without sleeping: the
// fault line of one direction (with its seeded random source) and the device's reliable outbox.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/faults.h"
#include "sim/outbox.h"

namespace {

using Sim::Datagram;
using Sim::DirectionFaults;
using std::chrono::milliseconds;

const Sim::TimePoint t0 = Sim::TimePoint() + std::chrono::hours(1);

Datagram D(char tag) {
    return Datagram{{static_cast<std::uint8_t>(tag), 0}, Network::SockAddr()};
}

std::string Tags(const std::vector<Datagram>& out) {
    std::string tags;
    for (const Datagram& d : out) {
        tags += static_cast<char>(d.bytes.at(0));
    }
    return tags;
}

struct LineCase {
    const char* name;
    DirectionFaults faults;
    std::string submitted;                           // tags of the datagrams, all submitted at t0
    std::vector<std::pair<int, std::string>> takes;  // at t0 + ms: the tags that leave by then
};

class FaultLineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(FaultLineCases, LetsDatagramsLeaveAsItsFaultsSay) {
    Sim::FaultLine line(7);
    line.SetFaults(GetParam().faults);
    for (char tag : GetParam().submitted) {
        line.Submit(D(tag), t0);
    }
    for (const auto& [ms, expected] : GetParam().takes) {
        std::vector<Datagram> out;
        line.TakeDue(t0 + milliseconds(ms), out);
        std::string tags = Tags(out);
        if (expected == "@") {  // all of them, in any order
            std::sort(tags.begin(), tags.end());
            tags = tags == GetParam().submitted ? "@" : tags;
        }
        EXPECT_EQ(tags, expected) << "at " << ms << " ms";
    }
    EXPECT_EQ(line.Pending(), 0u);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FaultLineCases, ::testing::Values(
    LineCase{"None", {}, "abc", {{0, "abc"}}},
    LineCase{"Loss", {.loss = 1.0}, "abc", {{3600000, ""}}},
    LineCase{"Duplication", {.duplicate = 1.0}, "ab", {{0, "aabb"}}},
    LineCase{"Delay", {.delay_ms = 40}, "ab", {{39, ""}, {40, "ab"}}},
    // The overtaking datagram is never held itself, so every pair of neighbours swaps.
    LineCase{"Reorder", {.reorder = 1.0}, "abcd", {{0, "badc"}}},
    LineCase{"Jitter", {.delay_ms = 10, .jitter_ms = 100}, "abcdefgh", {{9, ""}, {110, "@"}}},
    LineCase{"HoldEnds", {.reorder = 1.0, .reorder_hold_ms = 30}, "a", {{29, ""}, {30, "a"}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The fates of n datagrams as letters: L lost, D duplicated, . passed.
std::string Fates(std::uint64_t seed, const DirectionFaults& faults, int n) {
    Sim::FaultLine line(seed);
    line.SetFaults(faults);
    std::string s;
    for (int i = 0; i < n; ++i) {
        const Sim::Fate f = line.Submit(D('x'), t0);
        s += f.lost ? 'L' : (f.duplicated ? 'D' : '.');
    }
    return s;
}

TEST(FaultLine, SeedDecidesTheFatesAndOneProbabilityNeverShiftsAnother) {
    const std::string a = Fates(42, {.loss = 0.25, .duplicate = 0.2}, 20000);
    EXPECT_EQ(a, Fates(42, {.loss = 0.25, .duplicate = 0.2}, 20000));
    EXPECT_NE(a, Fates(43, {.loss = 0.25, .duplicate = 0.2}, 20000));
    const auto lost = std::count(a.begin(), a.end(), 'L');
    EXPECT_NEAR(lost, 5000, 400);
    std::string without_dup = a;
    std::replace(without_dup.begin(), without_dup.end(), 'D', '.');
    EXPECT_EQ(without_dup, Fates(42, {.loss = 0.25, .jitter_ms = 20}, 20000));
    EXPECT_EQ((Sim::Fate{.duplicated = true, .reordered = true, .delay_ms = 12}).Describe(),
              " [duplicated, reordered, delay 12 ms]");  // as kxsim -v shows a fate
}

// What the outbox sends at t0 + ms: the tags of the datagrams.
std::string Poll(Sim::ReliableOutbox& box, int ms) {
    std::vector<Datagram> out;
    box.Poll(t0 + milliseconds(ms), out);
    return Tags(out);
}

TEST(ReliableOutbox, RepeatsEvery300MsUntilAcknowledgedOrGivenUpAfterThreeSendsOnePerPeer) {
    Sim::ReliableOutbox box(milliseconds(300), 3);
    const Network::SockAddr a(platform::SockAddrIn::Loopback(5001));
    const Network::SockAddr b(platform::SockAddrIn::Loopback(5002));
    box.Enqueue(a, 10, {'a'});
    box.Enqueue(a, 11, {'b'});
    box.Enqueue(a, 12, {'c'});
    box.Enqueue(b, 13, {'d'});  // another peer never waits for the first one's messages
    EXPECT_EQ(Poll(box, 0), "ad");
    EXPECT_EQ(box.NextDeadline(t0), t0 + milliseconds(300));
    EXPECT_EQ(Poll(box, 299), "");
    EXPECT_EQ(Poll(box, 300), "ad");
    EXPECT_FALSE(box.OnAck(a, 11));  // not the message in flight
    EXPECT_FALSE(box.OnAck(a, 13));  // not from its peer
    EXPECT_TRUE(box.OnAck(b, 13));
    EXPECT_EQ(Poll(box, 599), "");
    EXPECT_EQ(Poll(box, 600), "a");
    EXPECT_EQ(Poll(box, 899), "");
    EXPECT_EQ(Poll(box, 900), "b");  // the third send was the last: given up, and the next goes at once
    EXPECT_TRUE(box.OnAck(a, 11));
    EXPECT_EQ(Poll(box, 901), "c");  // an acknowledgement releases the next at once
    EXPECT_EQ(box.Repeats(), 3u);
    EXPECT_EQ(box.GiveUps(), 1u);
}

TEST(ReliableOutbox, AHostThatNeverAcknowledgesCannotGrowIt) {
    Sim::ReliableOutbox box(milliseconds(300), 3);
    std::size_t taken = 0;
    for (std::uint32_t i = 0; i < Sim::ReliableOutbox::kMaxQueuedPerPeer + 10; ++i) {
        taken += box.Enqueue(Network::SockAddr(platform::SockAddrIn::Loopback(5001)), i, {'a'}) ? 1 : 0;
    }
    for (std::uint16_t port = 1; port <= Sim::ReliableOutbox::kMaxPeers + 10; ++port) {
        taken += box.Enqueue(Network::SockAddr(platform::SockAddrIn::Loopback(port)), 1, {'b'}) ? 1 : 0;
    }
    EXPECT_EQ(taken, Sim::ReliableOutbox::kMaxQueuedPerPeer + Sim::ReliableOutbox::kMaxPeers - 1);
    EXPECT_EQ(box.Pending(), taken);
}

}  // namespace
