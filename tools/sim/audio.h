// The audio a simulated device sends: the pacing of its RTP streams and the programme of each tuner.
//
// A device sends one RTP packet per routed tuner and block of 192 frames. All streams of a device share
// one block counter, so the packets of one block carry the same sequence number and timestamp. Blocks
// are paced against the simulator's monotonic clock: block n of a run is due at
// start + n * 192 / device_freq seconds, computed in whole microseconds from the start of the run, so the
// average rate is exact however late the thread wakes. After a stall no more than kMaxCatchUpBlocks go
// out at once and the schedule starts again from there, rather than a burst of everything missed.
//
// The programme: a tuner locked on a station plays the station's two tones (left, right) at amplitude
// 0.5; off any station it plays white noise at amplitude 0.05. Phases carry on from packet to packet, so
// a tone stays clean across packets and across a retune.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/faults.h"
#include "sim/random.h"
#include "sim/stations.h"

namespace Sim {

// Frames per packet and block (the host's block size).
inline constexpr std::uint32_t kFramesPerPacket = 192;
// The most blocks sent at once when the thread comes late; beyond it the schedule restarts.
inline constexpr std::uint32_t kMaxCatchUpBlocks = 10;
inline constexpr double kToneAmplitude = 0.5;
inline constexpr double kNoiseAmplitude = 0.05;

// The payload type of a device's streams: 100 (48000 Hz) or 101 (44100 Hz) from audio protocol 2 on,
// 72 or 74 below; 0 for any other frequency, at which the host cannot start and the device sends nothing.
[[nodiscard]] std::uint8_t StreamPayloadType(std::uint32_t device_freq,
                                             std::uint32_t audio_protocol) noexcept;

// When a device's blocks are due.
class StreamPacer {
public:
    explicit StreamPacer(std::uint32_t device_freq) noexcept : freq_(device_freq) {}

    // A run starts: block 0 is due at `now`.
    void Start(TimePoint now) noexcept;
    void Stop() noexcept { running_ = false; }
    [[nodiscard]] bool Running() const noexcept { return running_; }

    // How many blocks are due at `now` and not yet taken (at most kMaxCatchUpBlocks; when more were due,
    // the run restarts at `now` with the last of those as its block 0). 0 when not running.
    std::uint32_t TakeDue(TimePoint now) noexcept;
    // When the next block is due; empty when not running.
    [[nodiscard]] std::optional<TimePoint> NextDue() const noexcept;

private:
    std::uint64_t freq_;
    bool running_ = false;
    TimePoint start_{};
    std::uint64_t taken_ = 0;  // blocks of this run taken so far
};

// What one tuner plays, one packet after another.
class TunerProgramme {
public:
    // Fills `left` and `right` with the next `frames` samples: the tones of `station`, or noise drawn from
    // `noise` when it is null.
    void Render(const Station* station, std::uint32_t device_freq, Random& noise, float* left, float* right,
                std::uint32_t frames) noexcept;

private:
    double phase_[2] = {0.0, 0.0};  // in cycles, [0, 1)
};

}  // namespace Sim
