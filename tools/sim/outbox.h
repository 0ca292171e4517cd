// The device's own reliable sending: per peer one message in flight, repeated at a fixed interval until
// the peer acknowledges it, given up after a fixed number of sends; the next queued message for that
// peer goes out once the one in flight is acknowledged or given up.
//
// Driven by explicit time stamps (Poll takes `now`), so repetition and give-up are tested without
// sleeping.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "sim/faults.h"

namespace Sim {

class ReliableOutbox {
public:
    // Repetition after `repeat_interval` (0 or less: never repeated, never given up); a message is sent
    // at most `max_sends` times (at least once).
    ReliableOutbox(std::chrono::milliseconds repeat_interval, std::uint32_t max_sends) noexcept
        : repeat_(repeat_interval), max_sends_(max_sends == 0 ? 1 : max_sends) {}

    // Bounds on what a host can make the device hold: answers waiting per peer, and peers with answers
    // waiting. A host that floods requests and never acknowledges would otherwise grow the queue without
    // end, and senders of many addresses the map.
    static constexpr std::size_t kMaxQueuedPerPeer = 256;
    static constexpr std::size_t kMaxPeers = 1024;

    // Queues a serialised message for `peer`; it leaves on a later Poll. False, and the message is
    // dropped, when a bound above is reached.
    bool Enqueue(const Network::SockAddr& peer, std::uint32_t msg_id, std::vector<std::uint8_t> bytes);

    // An acknowledgement from `peer`: true when it matches the message in flight to that peer, which is
    // then done.
    bool OnAck(const Network::SockAddr& peer, std::uint32_t ack_msg_id);

    // Appends to `out` what must be sent at `now`: first sends of messages that have just come into
    // flight and repeats of those whose interval has passed. Gives up messages sent `max_sends` times.
    void Poll(TimePoint now, std::vector<Datagram>& out);

    // When Poll has work next (a first send at once, or the next repeat or give-up); empty when idle.
    [[nodiscard]] std::optional<TimePoint> NextDeadline(TimePoint now) const;

    [[nodiscard]] std::uint64_t Repeats() const noexcept { return repeats_; }
    [[nodiscard]] std::uint64_t GiveUps() const noexcept { return give_ups_; }
    [[nodiscard]] std::uint64_t Acked() const noexcept { return acked_; }
    // True while message `msg_id` for `peer` is queued or in flight.
    [[nodiscard]] bool Holds(const Network::SockAddr& peer, std::uint32_t msg_id) const;
    // Messages queued or in flight, all peers together.
    [[nodiscard]] std::size_t Pending() const noexcept;
    void Clear() { peers_.clear(); }

private:
    struct Message {
        std::uint32_t msg_id = 0;
        std::vector<std::uint8_t> bytes;
    };
    struct Peer {
        std::deque<Message> queue;
        std::optional<Message> in_flight;
        std::uint32_t sends = 0;
        TimePoint last_send;
    };

    std::chrono::milliseconds repeat_;
    std::uint32_t max_sends_;
    std::map<Network::SockAddr, Peer> peers_;
    std::uint64_t repeats_ = 0;
    std::uint64_t give_ups_ = 0;
    std::uint64_t acked_ = 0;
};

}  // namespace Sim
