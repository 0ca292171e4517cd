// Timing statistics: interval histograms reported once a period, and the period clock that paces them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/calendar_time.h"

// Where a period clock reads the current time: whole minutes since 1970-01-01 UTC. Tests drive clocks
// with a function of their own.
using MinuteSource = std::uint64_t (*)();

// The wall clock in whole minutes since 1970-01-01 UTC.
std::uint64_t CurrentUnixMinute();

// Tells when a new period of `length` minutes has begun. Periods are aligned to multiples of the length
// (a 5-minute clock turns at :00, :05, ...).
class PeriodClock {
public:
    explicit PeriodClock(std::uint32_t lengthMinutes = 1, MinuteSource source = &CurrentUnixMinute);

    // Sets the period length (at least 1 minute).
    void SetLength(std::uint32_t lengthMinutes);
    [[nodiscard]] std::uint32_t Length() const { return length_; }
    void SetMinuteSource(MinuteSource source) { source_ = source; }

    // Makes the current period the running one.
    void Start() { Start(source_()); }
    void Start(std::uint64_t nowMinute);

    // True when the period of `nowMinute` differs from the running one (which it then becomes). The very
    // first call on a clock that was never started only records the period and answers false.
    bool IsNewPeriod() { return IsNewPeriod(source_()); }
    bool IsNewPeriod(std::uint64_t nowMinute);

    // Start of the running period in minutes since 1970; 0 before the clock ran.
    [[nodiscard]] std::uint64_t PeriodStart() const { return start_; }

private:
    std::uint64_t Floor(std::uint64_t minute) const { return minute / length_ * length_; }

    std::uint64_t start_ = 0;
    std::uint32_t length_ = 1;
    MinuteSource source_;
};

// Histogram of the intervals between recurring events (for example the arrival of RTP packets), written
// to the debug log once a period as one line:
//   STATISTICS: <name>: N=<n>, E=<mean>, J=<mean deviation>, S=<std deviation>, Min=<v>,
//   Max=<v>(HH:MM:SS.mmm), Unit=1/<output rate>[ Histogram: ...]
// Not thread-safe: the owner calls it under its own lock or from one thread.
class Statistics {
public:
    // Kind 0 prints J and S; other kinds leave them out.
    static constexpr std::uint32_t kKindFull = 0;

    // Configured as (0, 1, 1000, 1000, 0, 50) until Configure is called.
    explicit Statistics(std::wstring name);

    // kind; period length in minutes; ticks per second of the time stamps (the clock frequency); units
    // per second of the measured values (1000: milliseconds); the range of values with a bucket each.
    // Values below `minimum` and above `maximum` are counted in one outer bucket each. Starts the period
    // clock and resets. Nonsense is made sane rather than trusted: rates of 0 become 1, a range with
    // minimum >= maximum becomes [minimum, minimum + 1], and a range of more than a million values is cut
    // to [minimum, minimum + 1000000].
    void Configure(std::uint32_t kind, std::uint32_t periodMinutes, std::uint64_t inputRate,
                   std::uint32_t outputRate, std::int32_t minimum, std::int32_t maximum);

    // Records the interval from the previous time stamp (if there is one) to `timeStamp`, which becomes
    // the previous one. A new period reports and resets first.
    void AddSample(std::uint64_t timeStamp);

    // Records one interval of `ticks` (input-rate units) directly, without the previous time stamp.
    void AddInterval(std::uint64_t ticks);

    // Writes the line when enabled, the process debug log exists, its level is 3 or more and there are
    // values.
    void Report();
    // Zeroes the histogram and the accumulators and forgets the previous time stamp.
    void Reset();
    void ReportAndReset();

    // The report line for the values so far (computes E, J and S); what Report writes.
    [[nodiscard]] std::wstring FormatReport() const;

    void SetEnabled(bool enabled) { enabled_ = enabled; }
    void SetPrintHistogram(bool print) { printHistogram_ = print; }
    void SetMinuteSource(MinuteSource source) { clock_.SetMinuteSource(source); }

    [[nodiscard]] const std::wstring& Name() const { return name_; }
    [[nodiscard]] std::uint64_t Count() const { return current_.n; }
    [[nodiscard]] double MinValue() const { return current_.min; }
    [[nodiscard]] double MaxValue() const { return current_.max; }
    // One counter per value from LowerBound() (= minimum - 1, everything below minimum) to UpperBound()
    // (= maximum + 1, everything above maximum).
    [[nodiscard]] const std::vector<std::uint64_t>& Buckets() const { return buckets_; }
    [[nodiscard]] std::int32_t LowerBound() const { return lower_; }
    [[nodiscard]] std::int32_t UpperBound() const { return upper_; }

    // The accumulators of one report.
    struct Summary {
        std::uint32_t outputRate = 0;
        double e = 0.0;  // mean
        double j = 0.0;  // mean absolute deviation
        double s = 0.0;  // standard deviation
        double min = 2147483647.0;
        double max = -2147483648.0;
        platform::CalendarTime maxTime;  // local time at which the largest value was seen
        std::uint64_t n = 0;
    };
    // The accumulators as of the last report.
    [[nodiscard]] const Summary& LastReported() const { return reported_; }

private:
    void Measure(std::uint64_t ticks);
    Summary Compute() const;

    std::wstring name_;
    std::vector<std::uint64_t> buckets_;
    std::uint64_t inputRate_ = 1000;
    std::uint32_t outputRate_ = 1000;
    std::int32_t lower_ = -1;
    std::int32_t upper_ = 51;
    std::uint64_t rounding_ = 500;
    std::uint64_t previous_ = 0;  // 0: none
    Summary current_;
    Summary reported_;
    std::uint32_t kind_ = kKindFull;
    PeriodClock clock_;
    bool enabled_ = true;
    bool printHistogram_ = false;
};
