#include "sim/stations.h"

#include <algorithm>
#include <cstdlib>

#include "sim/random.h"

namespace Sim {

const std::vector<Station>& DefaultStations() {
    // The UTF-8 is spelled in bytes so the source file's encoding cannot change the texts:
    // \xC3\xBC u-umlaut, \xC3\xB6 o-umlaut, \xC3\x9F sharp s, \xC3\x86 AE, \xC3\xA9 e-acute,
    // \xC2\xB0 degree, \xE2\x80\x94 em dash, \xCE\xA9 Omega, \xCE\x94 Delta, \xD0\x9D... Cyrillic,
    // \xF0\x9D\x84\x9E musical G clef (U+1D11E), \xF0\x9F\x8E\xB5 musical note (U+1F3B5),
    // \xF0\x9F\x8E\xB7 saxophone (U+1F3B7).
    static const std::vector<Station> stations = {
        {100500,
         "Norvane FM",
         {"Norvane FM \xE2\x80\x94 Hits / News", "Now: \"Blue Hour\" by The Fjords \xF0\x9F\x8E\xB5",
          "Gr\xC3\xBC\xC3\x9F"
          "e aus K\xC3\xB6ln / 21 \xC2\xB0"
          "C"},
         66,
         true,
         440.0,
         660.0},
        {94300,
         "Radio \xC3\x86ther",
         {"Jazz / Soul / Funk", "Caf\xC3\xA9 \"Nocturne\" \xF0\x9F\x8E\xB7 live",
          "Musik ohne Grenzen \xF0\x9D\x84\x9E"},
         54,
         true,
         523.25,
         783.99},
        {88600,
         "Nordlicht",
         {"Guten Morgen, \"Fr\xC3\xBChaufsteher\"!",
          "Wetter: 14 \xC2\xB0"
          "C / bew\xC3\xB6lkt"},
         48,
         false,
         349.23,
         587.33},
        {104800,
         "\xCE\xA9mega",
         {"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC / English",
          "\xD0\x9D\xD0\xBE\xD1\x82\xD1\x8B \xF0\x9F\x8E\xB5 \"\xD0\xB8\" text"},
         40,
         true,
         415.3,
         987.77},
        {107200,
         "\xCE\x94"
         "elta Wave",
         {},
         28,
         false,
         277.18,
         1480.0},
    };
    return stations;
}

Band::Band(std::vector<Station> stations, std::uint32_t radiotext_period_ms, std::uint64_t seed)
    : stations_(std::move(stations)),
      period_ms_(std::max<std::uint32_t>(1, radiotext_period_ms)),
      seed_(seed) {}

namespace {

std::int32_t Distance(std::int32_t a, std::int32_t b) noexcept {
    const std::int64_t d = static_cast<std::int64_t>(a) - static_cast<std::int64_t>(b);
    return static_cast<std::int32_t>(std::min<std::int64_t>(d < 0 ? -d : d, INT32_MAX));
}

// The station closest to `freq`, or null for an empty band.
const Station* Nearest(const std::vector<Station>& stations, std::int32_t freq) noexcept {
    const Station* best = nullptr;
    for (const Station& s : stations) {
        if (best == nullptr || Distance(s.freq, freq) < Distance(best->freq, freq)) {
            best = &s;
        }
    }
    return best;
}

}  // namespace

const Station* Band::StationAt(std::int32_t freq) const noexcept {
    const Station* s = Nearest(stations_, freq);
    return s != nullptr && Distance(s->freq, freq) <= kOnStationKHz ? s : nullptr;
}

std::int32_t Band::Wander(std::int32_t spread, std::uint32_t tuner, std::int32_t freq,
                          std::int64_t elapsed_ms, std::uint64_t salt) const {
    if (spread <= 0) {
        return 0;
    }
    const std::uint64_t step = static_cast<std::uint64_t>(std::max<std::int64_t>(0, elapsed_ms) / 500);
    const std::uint64_t h = MixHash(
        seed_ ^ salt, (static_cast<std::uint64_t>(tuner) << 32) | static_cast<std::uint32_t>(freq), step);
    return static_cast<std::int32_t>(h % static_cast<std::uint64_t>(2 * spread + 1)) - spread;
}

TunerQuality Band::Quality(std::int32_t freq, std::uint32_t tuner, std::int64_t elapsed_ms) const {
    TunerQuality q;
    const Station* s = Nearest(stations_, freq);
    const std::int32_t d = s != nullptr ? Distance(s->freq, freq) : INT32_MAX;
    // The noise floor a tuner sees anywhere.
    const std::int32_t noise_rssi = 10 + Wander(3, tuner, freq, elapsed_ms, 1);
    if (d <= kOnStationKHz) {
        q.rssi = std::max(noise_rssi, s->rssi - d / 5 + Wander(2, tuner, freq, elapsed_ms, 2));
        q.snr = std::clamp(q.rssi - 18, 0, 45) + Wander(1, tuner, freq, elapsed_ms, 3);
        q.multipath = 4 + Wander(3, tuner, freq, elapsed_ms, 4);
        q.pilot = s->stereo ? 1 : 0;
        q.valid = q.rssi >= 20 ? 1 : 0;
    } else if (d < kAudibleKHz) {
        // The edge of a station: its field falls off with the distance; no lock.
        const std::int32_t edge = s->rssi - 20 - (d - kOnStationKHz) / 6;
        q.rssi = std::max(noise_rssi, edge + Wander(2, tuner, freq, elapsed_ms, 2));
        q.snr = std::clamp(q.rssi - 24, 0, 12);
        q.multipath = 28 + Wander(8, tuner, freq, elapsed_ms, 4);
        q.pilot = 0;
        q.valid = 0;
    } else {
        q.rssi = noise_rssi;
        q.snr = 2 + Wander(2, tuner, freq, elapsed_ms, 3);
        q.multipath = 70 + Wander(20, tuner, freq, elapsed_ms, 4);
        q.pilot = 0;
        q.valid = 0;
    }
    return q;
}

std::size_t Band::RadiotextIndex(const Station& station, std::int64_t elapsed_ms) const {
    if (station.radiotext.empty()) {
        return 0;
    }
    const std::uint64_t period =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, elapsed_ms)) / period_ms_;
    // Stations do not all change their texts in step.
    const std::uint64_t start = static_cast<std::uint32_t>(station.freq) / 100u;
    return static_cast<std::size_t>((period + start) % station.radiotext.size());
}

TunerRds Band::Rds(std::int32_t freq, std::uint32_t tuner, std::int64_t elapsed_ms,
                   const std::string& clock_text) const {
    TunerRds rds;
    const Station* s = StationAt(freq);
    if (s == nullptr || Quality(freq, tuner, elapsed_ms).valid == 0) {
        return rds;
    }
    rds.psrv = s->name;
    if (!s->radiotext.empty()) {
        rds.text = s->radiotext[RadiotextIndex(*s, elapsed_ms)];
    }
    rds.time = clock_text;
    return rds;
}

}  // namespace Sim
