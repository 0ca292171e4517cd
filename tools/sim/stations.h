// The simulated FM band: a table of stations, and what a tuner receives at a frequency.
//
// Frequencies are in kHz, as the device reports them (100500 = 100.5 MHz). A tuner on a station (within
// kOnStationKHz of its frequency) receives it well: strong field, good signal-to-noise ratio, the stereo
// pilot, `valid` 1, and the station's RDS texts. Near a station the field falls off; between stations
// there is only noise and `valid` is 0. Values wander a little over time (a few units every half
// second), the same way for every reader at the same moment.
//
// Units of the quality values: rssi in dBuV, snr in dB, multipath in percent, pilot 1 when the stereo
// pilot is present, valid 1 when the tuner has locked onto a station.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Sim {

struct Station {
    std::int32_t freq = 0;               // kHz
    std::string name;                    // the programme service name (UTF-8)
    std::vector<std::string> radiotext;  // the texts it cycles through (UTF-8); may be empty
    std::int32_t rssi = 60;              // field strength at the station's frequency, dBuV
    bool stereo = true;                  // sends the stereo pilot
    // The programme a tuner locked on the station plays: a sine of each frequency at amplitude 0.5
    // (-6 dBFS), the first on the left channel, the second on the right. 0 Hz is silence.
    double tone_left_hz = 440.0;
    double tone_right_hz = 660.0;

    friend bool operator==(const Station&, const Station&) = default;
};

// The built-in band. Its names and texts hold non-ASCII letters, characters outside the Basic
// Multilingual Plane, "/" and "\"", so every client sees such texts on the wire. Every station plays
// its own two tones, all below 2 kHz and none a whole multiple of another, so a listener (or a test
// counting zero crossings) tells the stations and the two channels apart.
[[nodiscard]] const std::vector<Station>& DefaultStations();

// How far off a station's frequency a tuner still counts as on it.
inline constexpr std::int32_t kOnStationKHz = 25;
// Beyond this distance a station is not heard at all.
inline constexpr std::int32_t kAudibleKHz = 200;

struct TunerQuality {
    std::int32_t rssi = 0;
    std::int32_t snr = 0;
    std::int32_t multipath = 0;
    std::int32_t pilot = 0;
    std::int32_t valid = 0;

    friend bool operator==(const TunerQuality&, const TunerQuality&) = default;
};

struct TunerRds {
    std::string psrv;  // the station's name; empty off a station
    std::string text;  // the current radiotext; empty off a station
    std::string time;  // the station's clock, "YYYY/MM/DD hh:mm:ss.mmm"; empty off a station

    friend bool operator==(const TunerRds&, const TunerRds&) = default;
};

// The receiving conditions of one band.
class Band {
public:
    // `radiotext_period_ms` (at least 1) is how long each radiotext stays; `seed` shapes the wandering.
    Band(std::vector<Station> stations, std::uint32_t radiotext_period_ms, std::uint64_t seed);

    [[nodiscard]] const std::vector<Station>& Stations() const noexcept { return stations_; }

    // The station a tuner on `freq` locks onto, or null.
    [[nodiscard]] const Station* StationAt(std::int32_t freq) const noexcept;

    // Quality for tuner `tuner` on `freq`, `elapsed_ms` after the simulator started.
    [[nodiscard]] TunerQuality Quality(std::int32_t freq, std::uint32_t tuner, std::int64_t elapsed_ms) const;

    // RDS texts for tuner `tuner` on `freq` at `elapsed_ms` (only while the tuner is locked, `valid` 1);
    // `clock_text` is what the station's clock says now.
    [[nodiscard]] TunerRds Rds(std::int32_t freq, std::uint32_t tuner, std::int64_t elapsed_ms,
                               const std::string& clock_text) const;

    // The radiotext index a station shows at `elapsed_ms`: each text stays one period; stations start
    // at different texts.
    [[nodiscard]] std::size_t RadiotextIndex(const Station& station, std::int64_t elapsed_ms) const;

private:
    // -spread .. +spread, fixed within one half-second step of time.
    [[nodiscard]] std::int32_t Wander(std::int32_t spread, std::uint32_t tuner, std::int32_t freq,
                                      std::int64_t elapsed_ms, std::uint64_t salt) const;

    std::vector<Station> stations_;
    std::uint32_t period_ms_;
    std::uint64_t seed_;
};

}  // namespace Sim
