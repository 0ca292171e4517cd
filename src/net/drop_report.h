// DropReport: what a receive path drops, counted per sender and reason, summarised in the debug log.
//
// A receive path that refuses hostile or surplus traffic must neither stay silent about it nor let the
// traffic multiply its log lines. Each drop is counted for its sender and reason; once a minute has passed
// since a sender's first counted drop, one line sums that minute up ("<component>: dropped from
// 127.0.0.2:40000 in the last minute: 9982 foreign, 3 undecodable") and the next minute starts. A sender
// without drops for a whole minute leaves the table. The table holds at most `max_senders` senders; drops
// of any further sender are summed up under "other senders", so a flood of any rate from any number of
// addresses writes at most max_senders + 1 lines a minute.
//
// Lines are written by Count and Poll when their minute is over; a component that may fall silent calls
// Poll from a thread of its own now and then, so that the last minute of a flood is reported too. Time is
// read from an IClock, so tests step it. All calls are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "protocol/sock_addr.h"

namespace Network {

inline constexpr std::size_t kDropReportMaxSenders = 64;
inline constexpr std::int64_t kDropReportPeriodMs = 60000;

// Reasons of the control path (a reason is any text with static storage; these are the shared ones).
inline constexpr const wchar_t* kDropForeign = L"foreign";                 // not from the peer of the state
inline constexpr const wchar_t* kDropUndecodable = L"undecodable";         // not a message
inline constexpr const wchar_t* kDropQueueFull = L"queue full";            // its queue was at its bound
inline constexpr const wchar_t* kDropReassemblyBusy = L"reassembly busy";  // another sender's attachment

class DropReport {
public:
    // Where the summary lines go (a complete line, without the log's stamp).
    using Sink = std::function<void(const std::wstring& line)>;
    // The lines go to `log` at level 0 (nowhere when it is null); the counts are kept either way.
    [[nodiscard]] static Sink ToLog(std::shared_ptr<IDebugLog> log);

    // `clock` null: the real clock.
    DropReport(std::wstring component, Sink sink, IClock* clock = &RealClock(),
               std::size_t max_senders = kDropReportMaxSenders);
    DropReport(const DropReport&) = delete;
    DropReport& operator=(const DropReport&) = delete;

    void SetClock(IClock* clock);

    // Counts one drop of `reason` (a text with static storage) from `sender`. True when it is the sender's
    // first drop of its current minute: a caller that also tells someone else (a user callback) does so only
    // then, so that a flood costs that call at most once a minute per sender.
    bool Count(const SockAddr& sender, const wchar_t* reason);
    // Writes the lines whose minute is over; cheap when none is.
    void Poll();

    // Drops of `reason` since construction, all senders together.
    [[nodiscard]] std::uint64_t Total(const wchar_t* reason) const;

private:
    // Per reason at most this many distinct texts per sender; further reasons are counted as "other".
    static constexpr std::size_t kMaxReasons = 8;
    struct Reason {
        const wchar_t* text;
        std::uint64_t count;
    };
    struct Entry {
        SockAddr sender;
        bool others = false;  // the entry of all senders beyond the table's bound
        std::int64_t since = 0;
        std::vector<Reason> reasons;  // this minute's counts; empty: no drop this minute
    };

    static void Add(std::vector<Reason>& list, const wchar_t* reason, std::size_t bound);
    // Under mutex_: moves the lines of minutes that are over into `lines`, drops entries quiet for a minute.
    void Collect(std::int64_t now, std::vector<std::wstring>& lines);
    [[nodiscard]] std::wstring Line(const Entry& entry) const;
    void Write(const std::vector<std::wstring>& lines) const;

    const std::wstring component_;
    const Sink sink_;
    const std::size_t maxSenders_;
    mutable std::mutex mutex_;
    IClock* clock_;
    std::vector<Entry> entries_;        // the senders, then possibly the "other senders" entry
    std::int64_t nextDue_ = INT64_MAX;  // the earliest end of an entry's minute
    std::vector<Reason> totals_;
};

}  // namespace Network
