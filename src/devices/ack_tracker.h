// Acknowledgements a device's callers are waiting for.
//
// A caller registers the identifier of its message before it sends it (Expect), then waits (Wait). Every
// acknowledgement the session delivers marks its identifier, so an acknowledgement is never missed
// because another one arrived right after it, and several threads may wait for their own messages at
// once. Only identifiers that somebody waits for are kept: the set is as large as the number of waiting
// callers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace Norvane {

class AckTracker {
public:
    // From now on an acknowledgement of `id` is remembered for the caller.
    void Expect(std::uint32_t id);
    // The caller no longer waits for `id` (its send failed).
    void Forget(std::uint32_t id);
    // The session reports that `id` has been acknowledged; wakes the waiters.
    void OnAck(std::uint32_t id);
    // Waits until `id` (registered with Expect) has been acknowledged or `timeout` has passed, then
    // forgets it. True when it was acknowledged; an identifier that was never expected gives false at
    // once.
    bool Wait(std::uint32_t id, std::chrono::milliseconds timeout);

    // The identifier of the most recent acknowledgement (0 before the first).
    [[nodiscard]] std::uint32_t LastAcknowledged();
    // Identifiers registered and not yet waited for or forgotten.
    [[nodiscard]] std::size_t Pending();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<std::uint32_t, bool> expected_;  // id -> acknowledged
    std::uint32_t last_ = 0;
};

}  // namespace Norvane
