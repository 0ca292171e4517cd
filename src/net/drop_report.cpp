#include "net/drop_report.h"

#include <algorithm>
#include <cwchar>
#include <utility>

namespace Network {

namespace {

bool SameReason(const wchar_t* a, const wchar_t* b) {
    return a == b || std::wcscmp(a, b) == 0;
}

}  // namespace

DropReport::Sink DropReport::ToLog(std::shared_ptr<IDebugLog> log) {
    return [log = std::move(log)](const std::wstring& line) { WriteAtLevel(log, kLogErrors, line); };
}

DropReport::DropReport(std::wstring component, Sink sink, IClock* clock, std::size_t max_senders)
    : component_(std::move(component)),
      sink_(std::move(sink)),
      maxSenders_(max_senders),
      clock_(clock != nullptr ? clock : &RealClock()) {}

void DropReport::SetClock(IClock* clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = clock != nullptr ? clock : &RealClock();
    nextDue_ = INT64_MIN;  // the next call looks at every entry with the new time
}

void DropReport::Add(std::vector<Reason>& list, const wchar_t* reason, std::size_t bound) {
    for (Reason& r : list) {
        if (SameReason(r.text, reason)) {
            ++r.count;
            return;
        }
    }
    if (list.size() + 1 >= bound) {
        reason = L"other";
        for (Reason& r : list) {
            if (SameReason(r.text, reason)) {
                ++r.count;
                return;
            }
        }
    }
    list.push_back(Reason{reason, 1});
}

bool DropReport::Count(const SockAddr& sender, const wchar_t* reason) {
    std::vector<std::wstring> lines;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::int64_t now = clock_->NowMs();
        Collect(now, lines);
        Add(totals_, reason, SIZE_MAX);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return !e.others && e.sender == sender; });
        if (it == entries_.end()) {
            const std::size_t senders = static_cast<std::size_t>(
                std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.others; }));
            if (senders < maxSenders_) {
                Entry entry;
                entry.sender = sender;
                entry.since = now;
                // Before the "other senders" entry, which stays last.
                const auto others =
                    std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.others; });
                it = entries_.insert(others, std::move(entry));
            } else {
                it = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.others; });
                if (it == entries_.end()) {
                    Entry entry;
                    entry.others = true;
                    entry.since = now;
                    it = entries_.insert(entries_.end(), std::move(entry));
                }
            }
            nextDue_ = std::min(nextDue_, now + kDropReportPeriodMs);
        }
        first = it->reasons.empty();
        Add(it->reasons, reason, kMaxReasons);
    }
    Write(lines);
    return first;
}

void DropReport::Poll() {
    std::vector<std::wstring> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Collect(clock_->NowMs(), lines);
    }
    Write(lines);
}

void DropReport::Collect(std::int64_t now, std::vector<std::wstring>& lines) {
    if (now < nextDue_) {
        return;
    }
    nextDue_ = INT64_MAX;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->since >= kDropReportPeriodMs) {
            if (it->reasons.empty()) {
                it = entries_.erase(it);
                continue;
            }
            lines.push_back(Line(*it));
            it->reasons.clear();
            it->since = now;
        }
        nextDue_ = std::min(nextDue_, it->since + kDropReportPeriodMs);
        ++it;
    }
}

std::wstring DropReport::Line(const Entry& entry) const {
    std::wstring counts;
    for (const Reason& r : entry.reasons) {
        counts += (counts.empty() ? L"" : L", ") + std::to_wstring(r.count) + L" " + r.text;
    }
    const std::wstring who = entry.others ? std::wstring(L"other senders") : entry.sender.ToString();
    return FormatLine(L"%ls: dropped from %ls in the last minute: %ls", component_.c_str(), who.c_str(),
                      counts.c_str());
}

void DropReport::Write(const std::vector<std::wstring>& lines) const {
    for (const std::wstring& line : lines) {
        if (sink_) {
            sink_(line);
        }
    }
}

std::uint64_t DropReport::Total(const wchar_t* reason) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Reason& r : totals_) {
        if (SameReason(r.text, reason)) {
            return r.count;
        }
    }
    return 0;
}

}  // namespace Network
