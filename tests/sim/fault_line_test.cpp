// The fault line on its own, driven by explicit time stamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "sim/faults.h"

namespace {

using Sim::Datagram;
using Sim::DirectionFaults;
using Sim::FaultLine;
using Sim::TimePoint;
using std::chrono::milliseconds;

Datagram D(std::uint8_t tag) {
    return Datagram{{tag, 0}, Network::SockAddr()};
}

std::vector<std::uint8_t> Tags(const std::vector<Datagram>& out) {
    std::vector<std::uint8_t> tags;
    for (const Datagram& d : out) {
        tags.push_back(d.bytes.at(0));
    }
    return tags;
}

const TimePoint t0 = TimePoint() + std::chrono::hours(1);

TEST(FaultLine, WithoutFaultsEverythingLeavesAtOnceInOrder) {
    FaultLine line(7);
    for (std::uint8_t i = 1; i <= 5; ++i) {
        const Sim::Fate fate = line.Submit(D(i), t0);
        EXPECT_FALSE(fate.lost || fate.duplicated || fate.reordered);
        EXPECT_EQ(fate.delay_ms, 0u);
        EXPECT_EQ(fate.Describe(), "");
    }
    std::vector<Datagram> out;
    line.TakeDue(t0, out);
    EXPECT_EQ(Tags(out), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(line.Pending(), 0u);
    EXPECT_FALSE(line.NextDue().has_value());
}

TEST(FaultLine, LossOfOneDropsEverything) {
    FaultLine line(1);
    line.SetFaults(DirectionFaults{.loss = 1.0});
    for (std::uint8_t i = 0; i < 50; ++i) {
        EXPECT_TRUE(line.Submit(D(i), t0).lost);
    }
    std::vector<Datagram> out;
    line.TakeDue(t0 + std::chrono::hours(1), out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(line.Pending(), 0u);
}

TEST(FaultLine, DuplicationGivesTwoIdenticalCopiesBackToBack) {
    FaultLine line(1);
    line.SetFaults(DirectionFaults{.duplicate = 1.0});
    Datagram d{{'x', 'y', 0, 9}, Network::SockAddr(platform::SockAddrIn::Loopback(4000))};
    EXPECT_TRUE(line.Submit(d, t0).duplicated);
    line.Submit(D(2), t0);
    std::vector<Datagram> out;
    line.TakeDue(t0, out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].bytes, d.bytes);
    EXPECT_EQ(out[1].bytes, d.bytes);
    EXPECT_EQ(out[0].peer, d.peer);
    EXPECT_EQ(out[1].peer, d.peer);
    EXPECT_EQ(out[2].bytes, out[3].bytes);
    EXPECT_EQ(out[2].bytes.at(0), 2);
}

TEST(FaultLine, FixedDelayHoldsUntilItsTime) {
    FaultLine line(1);
    line.SetFaults(DirectionFaults{.delay_ms = 40});
    EXPECT_EQ(line.Submit(D(1), t0).delay_ms, 40u);
    EXPECT_EQ(line.NextDue(), t0 + milliseconds(40));
    std::vector<Datagram> out;
    line.TakeDue(t0 + milliseconds(39), out);
    EXPECT_TRUE(out.empty());
    line.TakeDue(t0 + milliseconds(40), out);
    EXPECT_EQ(Tags(out), std::vector<std::uint8_t>{1});
}

TEST(FaultLine, JitterStaysWithinItsRangeAndUsesIt) {
    FaultLine line(99);
    line.SetFaults(DirectionFaults{.delay_ms = 10, .jitter_ms = 100});
    std::uint32_t lo = 1000, hi = 0;
    for (int i = 0; i < 400; ++i) {
        const std::uint32_t d = line.Submit(D(0), t0).delay_ms;
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    EXPECT_GE(lo, 10u);
    EXPECT_LE(hi, 110u);
    EXPECT_LT(lo, 20u);  // 400 draws cover the range's ends
    EXPECT_GT(hi, 100u);
}

TEST(FaultLine, JitterCanReorderAndReleaseFollowsDueTimes) {
    FaultLine line(3);
    line.SetFaults(DirectionFaults{.jitter_ms = 50});
    std::vector<std::uint32_t> delays;
    for (std::uint8_t i = 0; i < 20; ++i) {
        delays.push_back(line.Submit(D(i), t0).delay_ms);
    }
    std::vector<Datagram> out;
    line.TakeDue(t0 + milliseconds(50), out);
    ASSERT_EQ(out.size(), 20u);
    for (std::size_t k = 1; k < out.size(); ++k) {
        const std::uint32_t prev = delays[out[k - 1].bytes[0]];
        const std::uint32_t cur = delays[out[k].bytes[0]];
        EXPECT_LE(prev, cur);
        if (prev == cur) {
            EXPECT_LT(out[k - 1].bytes[0], out[k].bytes[0]);  // ties keep submission order
        }
    }
}

TEST(FaultLine, ReorderSwapsNeighbours) {
    FaultLine line(5);
    line.SetFaults(DirectionFaults{.reorder = 1.0});
    EXPECT_TRUE(line.Submit(D(1), t0).reordered);
    EXPECT_FALSE(line.Submit(D(2), t0).reordered);  // the one that overtakes is never held
    EXPECT_TRUE(line.Submit(D(3), t0).reordered);
    EXPECT_FALSE(line.Submit(D(4), t0).reordered);
    std::vector<Datagram> out;
    line.TakeDue(t0, out);
    EXPECT_EQ(Tags(out), (std::vector<std::uint8_t>{2, 1, 4, 3}));
}

TEST(FaultLine, HeldDatagramLeavesAloneWhenItsHoldEnds) {
    FaultLine line(5);
    line.SetFaults(DirectionFaults{.reorder = 1.0, .reorder_hold_ms = 30});
    line.Submit(D(1), t0);
    std::vector<Datagram> out;
    line.TakeDue(t0 + milliseconds(29), out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(line.NextDue(), t0 + milliseconds(30));
    line.TakeDue(t0 + milliseconds(30), out);
    EXPECT_EQ(Tags(out), std::vector<std::uint8_t>{1});
}

TEST(FaultLine, LaterDatagramDelayedBeyondTheHoldDoesNotOvertake) {
    FaultLine line(5);
    line.SetFaults(DirectionFaults{.reorder = 1.0, .reorder_hold_ms = 10});
    line.Submit(D(1), t0);
    line.SetFaults(DirectionFaults{.delay_ms = 100});
    line.Submit(D(2), t0);
    std::vector<Datagram> out;
    line.TakeDue(t0 + milliseconds(10), out);
    EXPECT_EQ(Tags(out), std::vector<std::uint8_t>{1});
    line.TakeDue(t0 + milliseconds(100), out);
    EXPECT_EQ(Tags(out), (std::vector<std::uint8_t>{1, 2}));
}

TEST(FaultLine, DuplicatedAndHeldCopiesBothFollowTheOvertaker) {
    FaultLine line(5);
    line.SetFaults(DirectionFaults{.duplicate = 1.0, .reorder = 1.0});
    line.Submit(D(1), t0);
    line.SetFaults(DirectionFaults{});
    line.Submit(D(2), t0);
    std::vector<Datagram> out;
    line.TakeDue(t0, out);
    EXPECT_EQ(Tags(out), (std::vector<std::uint8_t>{2, 1, 1}));
}

// The fates of a run of datagrams, as a string of letters.
std::string Fates(std::uint64_t seed, const DirectionFaults& faults, int n) {
    FaultLine line(seed);
    line.SetFaults(faults);
    std::string s;
    for (int i = 0; i < n; ++i) {
        const Sim::Fate f = line.Submit(D(0), t0);
        s += f.lost ? 'L' : (f.duplicated ? 'D' : '.');
        std::vector<Datagram> sink;
        line.TakeDue(t0 + std::chrono::hours(1), sink);
    }
    return s;
}

TEST(FaultLine, SameSeedSameFatesOtherSeedOtherFates) {
    const DirectionFaults f{.loss = 0.3, .duplicate = 0.2};
    EXPECT_EQ(Fates(42, f, 200), Fates(42, f, 200));
    EXPECT_NE(Fates(42, f, 200), Fates(43, f, 200));
}

TEST(FaultLine, LossDecisionsDoNotShiftWhenAnotherProbabilityChanges) {
    std::string a = Fates(11, DirectionFaults{.loss = 0.4}, 300);
    std::string b = Fates(11, DirectionFaults{.loss = 0.4, .duplicate = 0.5, .jitter_ms = 20}, 300);
    for (char& c : b) {
        c = c == 'D' ? '.' : c;
    }
    EXPECT_EQ(a, b);
}

TEST(FaultLine, LossRateFollowsTheProbability) {
    const std::string s = Fates(2024, DirectionFaults{.loss = 0.25}, 20000);
    const auto lost = std::count(s.begin(), s.end(), 'L');
    EXPECT_GT(lost, 4600);
    EXPECT_LT(lost, 5400);
}

TEST(FaultLine, DescribeNamesEveryFault) {
    EXPECT_EQ((Sim::Fate{.lost = true}).Describe(), " [lost]");
    EXPECT_EQ((Sim::Fate{.duplicated = true, .reordered = true, .delay_ms = 12}).Describe(),
              " [duplicated, reordered, delay 12 ms]");
}

}  // namespace
