// The simulated band: reception quality by frequency, RDS texts, radiotext over time.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sim/stations.h"

namespace {

using Sim::Band;
using Sim::Station;

std::vector<Station> TwoStations() {
    return {Station{100000, "Strong", {"one", "two", "three"}, 60, true},
            Station{95000, "Mono", {"mono text"}, 45, false}};
}

TEST(Band, OnAStationTheTunerLocksWithAStrongSignal) {
    const Band band(TwoStations(), 1000, 1);
    for (std::int64_t t = 0; t < 10000; t += 499) {
        const Sim::TunerQuality q = band.Quality(100000, 0, t);
        EXPECT_EQ(q.valid, 1);
        EXPECT_EQ(q.pilot, 1);
        EXPECT_GE(q.rssi, 58);
        EXPECT_LE(q.rssi, 62);
        EXPECT_GE(q.snr, 30);
        EXPECT_LE(q.multipath, 10);
    }
    const Sim::TunerQuality mono = band.Quality(95000, 1, 0);
    EXPECT_EQ(mono.valid, 1);
    EXPECT_EQ(mono.pilot, 0);
}

TEST(Band, SlightlyOffAStationStillLocksFurtherOffNot) {
    const Band band(TwoStations(), 1000, 1);
    EXPECT_EQ(band.Quality(100000 + Sim::kOnStationKHz, 0, 0).valid, 1);
    EXPECT_NE(band.StationAt(100000 - Sim::kOnStationKHz), nullptr);
    const Sim::TunerQuality edge = band.Quality(100100, 0, 0);
    EXPECT_EQ(edge.valid, 0);
    EXPECT_EQ(edge.pilot, 0);
    EXPECT_EQ(band.StationAt(100100), nullptr);
    EXPECT_LT(edge.rssi, band.Quality(100000, 0, 0).rssi);
}

TEST(Band, BetweenStationsThereIsOnlyNoise) {
    const Band band(TwoStations(), 1000, 1);
    for (std::int32_t f : {97500, 90000, 107900}) {
        for (std::int64_t t = 0; t < 5000; t += 250) {
            const Sim::TunerQuality q = band.Quality(f, 0, t);
            EXPECT_EQ(q.valid, 0) << f;
            EXPECT_EQ(q.pilot, 0) << f;
            EXPECT_LE(q.rssi, 13) << f;
            EXPECT_GE(q.rssi, 7) << f;
            EXPECT_LE(q.snr, 4) << f;
            EXPECT_GE(q.multipath, 50) << f;
        }
    }
    const Band empty({}, 1000, 1);
    EXPECT_EQ(empty.Quality(100000, 0, 0).valid, 0);
    EXPECT_EQ(empty.Rds(100000, 0, 0, "clock"), Sim::TunerRds{});
}

TEST(Band, WeakStationIsHeardButNotLocked) {
    const Band band({Station{99000, "Faint", {"x"}, 15, true}}, 1000, 1);
    const Sim::TunerQuality q = band.Quality(99000, 0, 0);
    EXPECT_EQ(q.valid, 0);
    EXPECT_EQ(band.Rds(99000, 0, 0, "clock"), Sim::TunerRds{});
}

TEST(Band, ValuesWanderOverTimeButAgreeForTheSameMoment) {
    const Band band(TwoStations(), 1000, 77);
    std::set<std::int32_t> seen;
    for (std::int64_t t = 0; t < 30000; t += 500) {
        EXPECT_EQ(band.Quality(100000, 1, t), band.Quality(100000, 1, t + 499 - (t % 500)));
        seen.insert(band.Quality(100000, 1, t).rssi);
    }
    EXPECT_GE(seen.size(), 3u);
    const Band other(TwoStations(), 1000, 77);
    EXPECT_EQ(band.Quality(97000, 0, 1234), other.Quality(97000, 0, 1234));
}

TEST(Band, RdsTextsAreTheStationsAndRadiotextCyclesByPeriod) {
    const Band band(TwoStations(), 1000, 1);
    const Sim::TunerRds first = band.Rds(100000, 0, 0, "2024/01/25 19:04:28.015");
    EXPECT_EQ(first.psrv, "Strong");
    EXPECT_EQ(first.time, "2024/01/25 19:04:28.015");
    const std::vector<std::string> texts = {"one", "two", "three"};
    const auto start = std::find(texts.begin(), texts.end(), first.text);
    ASSERT_NE(start, texts.end());
    const std::size_t i0 = static_cast<std::size_t>(start - texts.begin());
    // Same text for the whole period, then the next one, round and round.
    EXPECT_EQ(band.Rds(100000, 0, 999, "c").text, first.text);
    EXPECT_EQ(band.Rds(100000, 0, 1000, "c").text, texts[(i0 + 1) % 3]);
    EXPECT_EQ(band.Rds(100000, 0, 2500, "c").text, texts[(i0 + 2) % 3]);
    EXPECT_EQ(band.Rds(100000, 0, 3000, "c").text, texts[i0]);
    // Off a station: nothing.
    EXPECT_EQ(band.Rds(97500, 0, 0, "c"), Sim::TunerRds{});
    // A station without radiotext still sends its name.
    const Band bare({Station{101000, "Bare", {}, 60, true}}, 1000, 1);
    const Sim::TunerRds rds = bare.Rds(101000, 0, 0, "c");
    EXPECT_EQ(rds.psrv, "Bare");
    EXPECT_EQ(rds.text, "");
}

TEST(Band, DefaultBandCarriesTheAwkwardCharacters) {
    bool non_ascii = false, non_bmp = false, slash = false, quote = false;
    std::set<std::int32_t> freqs;
    for (const Station& s : Sim::DefaultStations()) {
        EXPECT_TRUE(freqs.insert(s.freq).second);
        EXPECT_GE(s.freq, 87500);
        EXPECT_LE(s.freq, 108000);
        std::vector<std::string> texts = s.radiotext;
        texts.push_back(s.name);
        for (const std::string& t : texts) {
            for (std::size_t i = 0; i < t.size(); ++i) {
                const auto b = static_cast<unsigned char>(t[i]);
                non_ascii |= b >= 0x80;
                non_bmp |= b >= 0xF0;  // the lead byte of a 4-byte sequence
                slash |= b == '/';
                quote |= b == '"';
            }
        }
    }
    EXPECT_TRUE(non_ascii);
    EXPECT_TRUE(non_bmp);
    EXPECT_TRUE(slash);
    EXPECT_TRUE(quote);
    // Stations are far enough apart for noise between them.
    for (auto it = freqs.begin(); std::next(it) != freqs.end(); ++it) {
        EXPECT_GE(*std::next(it) - *it, 2 * Sim::kAudibleKHz);
    }
}

}  // namespace
