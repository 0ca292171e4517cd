#include "sim/faults.h"

#include <algorithm>

namespace Sim {

std::string Fate::Describe() const {
    if (lost) {
        return " [lost]";
    }
    std::string parts;
    auto add = [&parts](const std::string& part) {
        parts += parts.empty() ? "" : ", ";
        parts += part;
    };
    if (duplicated) {
        add("duplicated");
    }
    if (reordered) {
        add("reordered");
    }
    if (delay_ms > 0) {
        add("delay " + std::to_string(delay_ms) + " ms");
    }
    return parts.empty() ? std::string() : " [" + parts + "]";
}

Fate FaultLine::Submit(Datagram datagram, TimePoint now) {
    // Four draws per datagram, always, in this order.
    const double loss_draw = random_.NextUnit();
    const double dup_draw = random_.NextUnit();
    const double reorder_draw = random_.NextUnit();
    const std::uint32_t jitter = random_.NextUpTo(faults_.jitter_ms);

    Fate fate;
    if (loss_draw < faults_.loss) {
        fate.lost = true;
        return fate;
    }
    fate.duplicated = dup_draw < faults_.duplicate;
    // While a datagram waits to be overtaken, the next one is the one that overtakes it and is never
    // held itself, so even a probability of 1 swaps neighbours instead of delaying everything alike.
    bool overtakes = false;
    for (Entry& e : queue_) {
        if (e.held && !e.overtaken) {
            e.overtaken = true;
            overtakes = true;
        }
    }
    fate.reordered = reorder_draw < faults_.reorder && !overtakes;
    fate.delay_ms = faults_.delay_ms + jitter;

    Entry entry;
    entry.seq = next_seq_++;
    entry.due = now + std::chrono::milliseconds(fate.delay_ms);
    if (fate.reordered) {
        entry.held = true;
        entry.due += std::chrono::milliseconds(faults_.reorder_hold_ms);
    }
    if (fate.duplicated) {
        Entry copy = entry;
        copy.seq = next_seq_++;
        copy.datagram = datagram;
        entry.datagram = std::move(datagram);
        queue_.push_back(std::move(entry));
        queue_.push_back(std::move(copy));
    } else {
        entry.datagram = std::move(datagram);
        queue_.push_back(std::move(entry));
    }
    return fate;
}

void FaultLine::TakeDue(TimePoint now, std::vector<Datagram>& out) {
    for (;;) {
        // The next to leave: the earliest due entry (ties by submission order).
        auto best = queue_.end();
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->due <= now && (best == queue_.end() || it->due < best->due ||
                                   (it->due == best->due && it->seq < best->seq))) {
                best = it;
            }
        }
        if (best == queue_.end()) {
            return;
        }
        const bool passes = !best->held;
        const std::uint64_t seq = best->seq;
        out.push_back(std::move(best->datagram));
        queue_.erase(best);
        if (!passes) {
            continue;
        }
        // Held datagrams submitted before this one have now been overtaken: they follow it at once.
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->held && it->seq < seq) {
                out.push_back(std::move(it->datagram));
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

std::optional<TimePoint> FaultLine::NextDue() const {
    std::optional<TimePoint> next;
    for (const Entry& e : queue_) {
        if (!next || e.due < *next) {
            next = e.due;
        }
    }
    return next;
}

}  // namespace Sim
