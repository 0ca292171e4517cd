// A small seeded random source whose sequence is the same on every platform and standard library, so a
// seed replays the same fault decisions on Linux and Windows alike.
#pragma once

#include <cstdint>

namespace Sim {

// SplitMix64: one 64-bit state, one multiply-xorshift output per step.
class Random {
public:
    explicit Random(std::uint64_t seed = 0) noexcept : state_(seed) {}

    std::uint64_t Next() noexcept {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1) with 53 bits.
    double NextUnit() noexcept { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

    // Uniform in [0, bound] (inclusive); 0 for bound 0.
    std::uint32_t NextUpTo(std::uint32_t bound) noexcept {
        if (bound == 0) {
            Next();  // keep the number of draws independent of the bound
            return 0;
        }
        return static_cast<std::uint32_t>(Next() % (static_cast<std::uint64_t>(bound) + 1));
    }

private:
    std::uint64_t state_;
};

// Mixes several numbers into one well-spread 64-bit value (for seeds and for time-bucketed noise).
inline std::uint64_t MixHash(std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) noexcept {
    Random r(a * 0x100000001B3ull ^ (b + 0x9E3779B97F4A7C15ull) ^ (c << 17 | c >> 47));
    r.Next();
    return r.Next();
}

}  // namespace Sim
