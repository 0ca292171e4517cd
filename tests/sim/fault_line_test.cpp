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

Datagram D(std::uint8_t tag) {
    return Datagram{{tag, 0}, Network::SockAddr()};
}

struct LineCase {
    const char* name;
    DirectionFaults faults;
    int datagrams;                                                 // tagged 1..n, all submitted at t0
    std::vector<std::pair<int, std::vector<std::uint8_t>>> takes;  // at t0 + ms: the tags that leave by then
};

class FaultLineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(FaultLineCases, LetsDatagramsLeaveAsItsFaultsSay) {
    Sim::FaultLine line(7);
    line.SetFaults(GetParam().faults);
    for (int i = 1; i <= GetParam().datagrams; ++i) {
        line.Submit(D(static_cast<std::uint8_t>(i)), t0);
    }
    for (const auto& [ms, expected] : GetParam().takes) {
        std::vector<Datagram> out;
        line.TakeDue(t0 + milliseconds(ms), out);
        std::vector<std::uint8_t> tags;
        for (const Datagram& d : out) {
            tags.push_back(d.bytes.at(0));
        }
        EXPECT_EQ(tags, expected) << "at " << ms << " ms";
    }
    EXPECT_EQ(line.Pending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultLineCases,
    ::testing::Values(LineCase{"None", {}, 3, {{0, {1, 2, 3}}}},
                      LineCase{"Loss", {.loss = 1.0}, 3, {{3600000, {}}}},
                      LineCase{"Duplication", {.duplicate = 1.0}, 2, {{0, {1, 1, 2, 2}}}},
                      LineCase{"Delay", {.delay_ms = 40}, 2, {{39, {}}, {40, {1, 2}}}},
                      // The overtaking datagram is never held itself, so every pair of neighbours swaps.
                      LineCase{"Reorder", {.reorder = 1.0}, 4, {{0, {2, 1, 4, 3}}}},
                      LineCase{
                          "HoldEnds", {.reorder = 1.0, .reorder_hold_ms = 30}, 1, {{29, {}}, {30, {1}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The fates of n datagrams as letters: L lost, D duplicated, . passed.
std::string Fates(std::uint64_t seed, const DirectionFaults& faults, int n) {
    Sim::FaultLine line(seed);
    line.SetFaults(faults);
    std::string s;
    for (int i = 0; i < n; ++i) {
        const Sim::Fate f = line.Submit(D(0), t0);
        s += f.lost ? 'L' : (f.duplicated ? 'D' : '.');
    }
    return s;
}

TEST(FaultLine, SeedDecidesTheFatesAndOneProbabilityNeverShiftsAnother) {
    const std::string a = Fates(42, {.loss = 0.25, .duplicate = 0.2}, 20000);
    EXPECT_EQ(a, Fates(42, {.loss = 0.25, .duplicate = 0.2}, 20000));
    EXPECT_NE(a, Fates(43, {.loss = 0.25, .duplicate = 0.2}, 20000));
    const auto lost = std::count(a.begin(), a.end(), 'L');
    EXPECT_GT(lost, 4600);
    EXPECT_LT(lost, 5400);
    std::string without_dup = a;
    std::replace(without_dup.begin(), without_dup.end(), 'D', '.');
    EXPECT_EQ(without_dup, Fates(42, {.loss = 0.25, .jitter_ms = 20}, 20000));
}

TEST(FaultLine, JitterAddsUpToItsRangeToTheDelay) {
    Sim::FaultLine line(99);
    line.SetFaults({.delay_ms = 10, .jitter_ms = 100});
    std::uint32_t lo = 1000, hi = 0;
    for (int i = 0; i < 400; ++i) {
        const std::uint32_t d = line.Submit(D(0), t0).delay_ms;
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    EXPECT_EQ(std::to_string(lo / 10) + "/" + std::to_string(hi / 10), "1/11");  // 10 to 110 ms, ends reached
    EXPECT_EQ((Sim::Fate{.duplicated = true, .reordered = true, .delay_ms = 12}).Describe(),
              " [duplicated, reordered, delay 12 ms]");
}

const Network::SockAddr kPeerA(platform::SockAddrIn::Loopback(5001));
const Network::SockAddr kPeerB(platform::SockAddrIn::Loopback(5002));

// What the outbox sends at t0 + ms, as the first byte of each datagram.
std::string Poll(Sim::ReliableOutbox& box, int ms) {
    std::vector<Datagram> out;
    box.Poll(t0 + milliseconds(ms), out);
    std::string sent;
    for (const Datagram& d : out) {
        sent += static_cast<char>(d.bytes.at(0));
    }
    return sent;
}

TEST(ReliableOutbox, RepeatsEvery300MsGivesUpAfterThreeSendsThenSendsTheNext) {
    Sim::ReliableOutbox box(milliseconds(300), 3);
    box.Enqueue(kPeerA, 10, {'a'});
    box.Enqueue(kPeerA, 11, {'b'});
    box.Enqueue(kPeerB, 12, {'c'});  // another peer never waits for A's message
    EXPECT_EQ(Poll(box, 0), "ac");
    EXPECT_EQ(box.NextDeadline(t0), t0 + milliseconds(300));
    EXPECT_TRUE(box.OnAck(kPeerB, 12));
    EXPECT_EQ(Poll(box, 299), "");
    EXPECT_EQ(Poll(box, 300), "a");
    EXPECT_EQ(Poll(box, 599), "");
    EXPECT_EQ(Poll(box, 600), "a");
    EXPECT_EQ(Poll(box, 899), "");
    EXPECT_EQ(Poll(box, 900), "b");  // the third send was the last: given up, the next one goes at once
    EXPECT_EQ(box.Repeats(), 2u);
    EXPECT_EQ(box.GiveUps(), 1u);
}

TEST(ReliableOutbox, OnlyTheAckOfTheMessageInFlightFromItsPeerEndsIt) {
    Sim::ReliableOutbox box(milliseconds(300), 3);
    box.Enqueue(kPeerA, 10, {'a'});
    box.Enqueue(kPeerA, 11, {'b'});
    EXPECT_EQ(Poll(box, 0), "a");
    EXPECT_FALSE(box.OnAck(kPeerA, 11));
    EXPECT_FALSE(box.OnAck(kPeerB, 10));
    EXPECT_TRUE(box.OnAck(kPeerA, 10));
    EXPECT_FALSE(box.OnAck(kPeerA, 10));
    EXPECT_EQ(Poll(box, 1), "b");
    EXPECT_TRUE(box.OnAck(kPeerA, 11));
    EXPECT_EQ(Poll(box, 3600000), "");
    EXPECT_EQ(box.Pending(), 0u);
    EXPECT_FALSE(box.NextDeadline(t0).has_value());
}

}  // namespace
