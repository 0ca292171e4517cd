#include "sim/outbox.h"

#include <algorithm>

namespace Sim {

bool ReliableOutbox::Enqueue(const Network::SockAddr& peer, std::uint32_t msg_id,
                             std::vector<std::uint8_t> bytes) {
    auto it = peers_.find(peer);
    if (it == peers_.end()) {
        if (peers_.size() >= kMaxPeers) {
            return false;
        }
        it = peers_.emplace(peer, Peer{}).first;
    }
    if (it->second.queue.size() >= kMaxQueuedPerPeer) {
        return false;
    }
    it->second.queue.push_back(Message{msg_id, std::move(bytes)});
    return true;
}

bool ReliableOutbox::OnAck(const Network::SockAddr& peer, std::uint32_t ack_msg_id) {
    auto it = peers_.find(peer);
    if (it == peers_.end() || !it->second.in_flight || it->second.in_flight->msg_id != ack_msg_id) {
        return false;
    }
    it->second.in_flight.reset();
    ++acked_;
    if (it->second.queue.empty()) {
        peers_.erase(it);  // a peer with nothing to send costs nothing
    }
    return true;
}

void ReliableOutbox::Poll(TimePoint now, std::vector<Datagram>& out) {
    for (auto it = peers_.begin(); it != peers_.end();) {
        Peer& p = it->second;
        if (p.in_flight && repeat_.count() > 0 && now - p.last_send >= repeat_) {
            if (p.sends >= max_sends_) {
                p.in_flight.reset();
                ++give_ups_;
            } else {
                ++p.sends;
                ++repeats_;
                p.last_send = now;
                out.push_back(Datagram{p.in_flight->bytes, it->first});
            }
        }
        if (!p.in_flight && !p.queue.empty()) {
            p.in_flight = std::move(p.queue.front());
            p.queue.pop_front();
            p.sends = 1;
            p.last_send = now;
            out.push_back(Datagram{p.in_flight->bytes, it->first});
        }
        if (!p.in_flight && p.queue.empty()) {
            it = peers_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<TimePoint> ReliableOutbox::NextDeadline(TimePoint now) const {
    std::optional<TimePoint> next;
    auto consider = [&next](TimePoint t) {
        if (!next || t < *next) {
            next = t;
        }
    };
    for (const auto& [addr, p] : peers_) {
        if (!p.in_flight) {
            consider(now);  // a queued message waits for its first send
        } else if (repeat_.count() > 0) {
            consider(p.last_send + repeat_);
        }
    }
    return next;
}

bool ReliableOutbox::Holds(const Network::SockAddr& peer, std::uint32_t msg_id) const {
    const auto it = peers_.find(peer);
    if (it == peers_.end()) {
        return false;
    }
    const Peer& p = it->second;
    return (p.in_flight && p.in_flight->msg_id == msg_id) ||
           std::any_of(p.queue.begin(), p.queue.end(), [&](const Message& m) { return m.msg_id == msg_id; });
}

std::size_t ReliableOutbox::Pending() const noexcept {
    std::size_t n = 0;
    for (const auto& [addr, p] : peers_) {
        n += p.queue.size() + (p.in_flight ? 1 : 0);
    }
    return n;
}

}  // namespace Sim
