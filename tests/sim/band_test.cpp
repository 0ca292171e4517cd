// The simulated band, stepped through time by hand: what a tuner receives on, near and between stations,
// the stations' RDS texts and radiotexts that change by period, and the built-in band's awkward texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "sim/stations.h"

namespace {

using Sim::Band;
using Sim::Station;

const Band kBand({Station{100000, "Strong", {"one", "two", "three"}, 60, true},
                  Station{95000, "Mono", {"m"}, 45, false}, Station{99000, "Faint", {"f"}, 15, true}},
                 1000, 77);

struct Reception {
    std::int32_t freq;
    std::int32_t valid, pilot, rssi_min, rssi_max;
    const char* psrv;
};

TEST(Band, ATunerReceivesWhatItsFrequencyReaches) {
    for (const Reception& r :
         {Reception{100000, 1, 1, 58, 62, "Strong"}, Reception{100025, 1, 1, 40, 62, "Strong"},
          Reception{95000, 1, 0, 43, 47, "Mono"}, Reception{100100, 0, 0, 26, 30, ""},
          Reception{97500, 0, 0, 7, 13, ""}, Reception{99000, 0, 1, 13, 17, ""}}) {
        for (std::int64_t t = 0; t < 10000; t += 250) {
            const Sim::TunerQuality q = kBand.Quality(r.freq, 0, t);
            EXPECT_EQ(q, kBand.Quality(r.freq, 0, t - t % 500));  // the same for a whole half second
            EXPECT_EQ(q.valid, r.valid) << r.freq;
            EXPECT_EQ(q.pilot, r.pilot) << r.freq;
            EXPECT_GE(q.rssi, r.rssi_min) << r.freq;
            EXPECT_LE(q.rssi, r.rssi_max) << r.freq;
            EXPECT_EQ(kBand.Rds(r.freq, 0, t, "clock").psrv, r.psrv) << r.freq;
        }
    }
}

TEST(Band, RadiotextCyclesByPeriodAndTheStationsClockIsPassedOn) {
    const Sim::TunerRds first = kBand.Rds(100000, 0, 0, "2024/01/25 19:04:28.015");
    EXPECT_EQ(first.time, "2024/01/25 19:04:28.015");
    const std::vector<std::string> texts = {"one", "two", "three"};
    const std::size_t i0 =
        static_cast<std::size_t>(std::find(texts.begin(), texts.end(), first.text) - texts.begin());
    ASSERT_LT(i0, texts.size());
    EXPECT_EQ(kBand.Rds(100000, 0, 999, "c").text, texts[i0]);
    EXPECT_EQ(kBand.Rds(100000, 0, 1000, "c").text, texts[(i0 + 1) % 3]);
    EXPECT_EQ(kBand.Rds(100000, 0, 2500, "c").text, texts[(i0 + 2) % 3]);
    EXPECT_EQ(kBand.Rds(100000, 0, 3000, "c").text, texts[i0]);
    EXPECT_EQ(kBand.Rds(97500, 0, 0, "c"), Sim::TunerRds{});
}

TEST(Band, BuiltInBandCarriesNonAsciiAndNonBmpTextsSlashesAndQuotes) {
    std::string all;
    for (const Station& s : Sim::DefaultStations()) {
        all += s.name + std::accumulate(s.radiotext.begin(), s.radiotext.end(), std::string());
    }
    for (const char* awkward : {"\xC3\x86", "\xF0\x9D\x84\x9E", "/", "\""}) {
        EXPECT_NE(all.find(awkward), std::string::npos) << awkward;
    }
}

}  // namespace
