// Fault injection on raw datagrams: every datagram that enters or leaves a simulated device passes one
// FaultLine per direction, which loses, duplicates, delays or reorders it as its settings say.
//
// The line is driven by explicit time stamps (Submit and TakeDue take `now`), so its behaviour is tested
// without sleeping, and every decision comes from its own seeded random source: the same seed and the
// same sequence of datagrams give the same fates on every platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/sock_addr.h"
#include "sim/random.h"

namespace Sim {

using SimClock = std::chrono::steady_clock;
using TimePoint = SimClock::time_point;

// What happens to the datagrams of one direction. Probabilities are in [0, 1].
struct DirectionFaults {
    double loss = 0.0;            // the datagram is dropped
    double duplicate = 0.0;       // a second copy follows the first at once
    double reorder = 0.0;         // the datagram is held back until the next one has passed (or hold time)
    std::uint32_t delay_ms = 0;   // fixed delay of every datagram
    std::uint32_t jitter_ms = 0;  // plus a uniform extra delay in [0, jitter_ms]
    std::uint32_t reorder_hold_ms = 50;  // the longest a reordered datagram waits for one to overtake it

    [[nodiscard]] bool Any() const noexcept {
        return loss > 0.0 || duplicate > 0.0 || reorder > 0.0 || delay_ms > 0 || jitter_ms > 0;
    }
    friend bool operator==(const DirectionFaults&, const DirectionFaults&) = default;
};

// The flood rate that means "as fast as the device can send".
inline constexpr std::uint32_t kFloodUnlimited = 0xFFFFFFFFu;

// Every fault a simulated device can show (every member initialized, so code may name only some).
struct Faults {
    DirectionFaults in{};   // datagrams towards the device
    DirectionFaults out{};  // datagrams from the device
    bool no_ack = false;    // the device acknowledges nothing (it still answers)
    // Answer lists ("freq", the five quality lists, the three RDS lists) get tuners + delta entries
    // (never fewer than 0). Only the keys in `list_keys` are changed; an empty set changes all of them.
    int list_length_delta = 0;
    std::set<std::string> list_keys{};
    std::string type_text{};        // "unit_type" of "dev_info" instead of the model's own; empty: own
    bool zero_device_freq = false;  // "state" reports a device frequency of 0
    // The device sends no audio; its block clock and programmes run on, so a stream that resumes shows
    // a gap in its sequence numbers, as after a dropout.
    bool audio_mute = false;
    // A hostile device (per second; 0 off, kFloodUnlimited as fast as the device can send): every
    // "dev_find" starts a stream of "dev_info" answers with new msg_ids to its sender; any message from
    // a host starts a stream of "get_time" requests to that host. A stream goes on until another sender
    // starts one of the same kind or the simulator stops.
    std::uint32_t dev_info_flood = 0;
    std::uint32_t get_time_flood = 0;

    friend bool operator==(const Faults&, const Faults&) = default;
};

// One datagram on its way: its bytes and the other end (the sender of an incoming one, the destination
// of an outgoing one).
struct Datagram {
    std::vector<std::uint8_t> bytes;
    Network::SockAddr peer;
};

// The fate the line chose for one submitted datagram.
struct Fate {
    bool lost = false;
    bool duplicated = false;
    bool reordered = false;
    std::uint32_t delay_ms = 0;  // fixed delay plus jitter

    // " [lost]", " [duplicated, delay 12 ms]" and so on; empty when the datagram passes unchanged.
    [[nodiscard]] std::string Describe() const;
};

class FaultLine {
public:
    explicit FaultLine(std::uint64_t seed = 0) noexcept : random_(seed) {}

    void SetFaults(const DirectionFaults& faults) { faults_ = faults; }
    [[nodiscard]] const DirectionFaults& GetFaults() const noexcept { return faults_; }

    // Decides the datagram's fate and queues its copies. Every call draws the same number of random
    // values whatever the settings, so changing one probability does not shift the other decisions.
    Fate Submit(Datagram datagram, TimePoint now);

    // Appends every datagram that is due at `now` to `out`, in the order they leave the line: by due
    // time, ties in submission order; a reordered datagram leaves right after the first later datagram
    // that passes it, or alone when its hold time ends. While one is held back, the next datagram is
    // never held (it is the one that overtakes), so reordering swaps neighbours.
    void TakeDue(TimePoint now, std::vector<Datagram>& out);

    // The earliest time at which TakeDue has something to hand out; empty when nothing waits.
    [[nodiscard]] std::optional<TimePoint> NextDue() const;
    [[nodiscard]] std::size_t Pending() const noexcept { return queue_.size(); }
    // Drops everything still waiting.
    void Clear() { queue_.clear(); }

private:
    struct Entry {
        std::uint64_t seq = 0;
        TimePoint due;           // when it may leave (for a held one: when its hold ends)
        bool held = false;       // reordered: waits for a later datagram to pass it
        bool overtaken = false;  // a later datagram that passes it has been submitted
        Datagram datagram;
    };

    DirectionFaults faults_;
    Random random_;
    std::uint64_t next_seq_ = 0;
    std::vector<Entry> queue_;  // small; kept in submission order
};

}  // namespace Sim
