#include "sim/audio.h"

#include <cmath>

namespace Sim {

namespace {

constexpr std::uint64_t kMicrosPerBlockUnit = 1000000ull * kFramesPerPacket;  // per Hz of device frequency
constexpr double kTwoPi = 6.283185307179586476925;

}  // namespace

std::uint8_t StreamPayloadType(std::uint32_t device_freq, std::uint32_t audio_protocol) noexcept {
    const bool current = audio_protocol >= 2;
    if (device_freq == 48000) {
        return current ? 100 : 72;
    }
    if (device_freq == 44100) {
        return current ? 101 : 74;
    }
    return 0;
}

void StreamPacer::Start(TimePoint now) noexcept {
    running_ = freq_ != 0;
    start_ = now;
    taken_ = 0;
}

std::uint32_t StreamPacer::TakeDue(TimePoint now) noexcept {
    if (!running_ || now < start_) {
        return 0;
    }
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count());
    // Blocks 0 .. due-1 are due: block n at the first microsecond at or after n * 192e6 / freq.
    const std::uint64_t due = us * freq_ / kMicrosPerBlockUnit + 1;
    if (due <= taken_) {
        return 0;
    }
    const std::uint64_t late = due - taken_;
    if (late > kMaxCatchUpBlocks) {
        start_ = now;
        taken_ = 1;
        return kMaxCatchUpBlocks;
    }
    taken_ = due;
    return static_cast<std::uint32_t>(late);
}

std::optional<TimePoint> StreamPacer::NextDue() const noexcept {
    if (!running_) {
        return std::nullopt;
    }
    const std::uint64_t us = (taken_ * kMicrosPerBlockUnit + freq_ - 1) / freq_;
    return start_ + std::chrono::microseconds(us);
}

void TunerProgramme::Render(const Station* station, std::uint32_t device_freq, Random& noise, float* left,
                            float* right, std::uint32_t frames) noexcept {
    float* out[2] = {left, right};
    if (station == nullptr || device_freq == 0) {
        for (std::uint32_t f = 0; f < frames; ++f) {
            for (float* channel : out) {
                channel[f] = static_cast<float>((noise.NextUnit() * 2.0 - 1.0) * kNoiseAmplitude);
            }
        }
        return;
    }
    const double hz[2] = {station->tone_left_hz, station->tone_right_hz};
    for (int c = 0; c < 2; ++c) {
        // A phasor turned by one sample's angle per frame: four trigonometric calls per packet instead of
        // one per sample. The phase kept between packets is exact, so rounding never accumulates.
        const double step = hz[c] / device_freq;
        const double turn_cos = std::cos(kTwoPi * step), turn_sin = std::sin(kTwoPi * step);
        double re = std::cos(kTwoPi * phase_[c]), im = std::sin(kTwoPi * phase_[c]);
        for (std::uint32_t f = 0; f < frames; ++f) {
            out[c][f] = static_cast<float>(kToneAmplitude * im);
            const double next_re = re * turn_cos - im * turn_sin;
            im = im * turn_cos + re * turn_sin;
            re = next_re;
        }
        const double phase = phase_[c] + step * frames;
        phase_[c] = phase - std::floor(phase);
    }
}

}  // namespace Sim
