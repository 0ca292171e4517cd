#include "common/statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "common/debug_log.h"
#include "common/environment.h"
#include "platform/calendar_time.h"

namespace {

std::shared_ptr<IDebugLog> ProcessLog() {
    std::shared_ptr<IDebugLog> log;
    EnvironmentRef ref;
    GetEnvironment(ref)->GetDebugLog(log);
    return log;
}

void AppendTwoDigits(std::wostringstream& out, unsigned value) {
    out << static_cast<wchar_t>(L'0' + value / 10 % 10) << static_cast<wchar_t>(L'0' + value % 10);
}

}  // namespace

std::uint64_t CurrentUnixMinute() {
    return static_cast<std::uint64_t>(platform::UnixTimeSeconds()) / 60;
}

PeriodClock::PeriodClock(std::uint32_t lengthMinutes, MinuteSource source)
    : length_(lengthMinutes == 0 ? 1 : lengthMinutes), source_(source ? source : &CurrentUnixMinute) {}

void PeriodClock::SetLength(std::uint32_t lengthMinutes) {
    length_ = lengthMinutes == 0 ? 1 : lengthMinutes;
}

void PeriodClock::Start(std::uint64_t nowMinute) {
    start_ = Floor(nowMinute);
}

bool PeriodClock::IsNewPeriod(std::uint64_t nowMinute) {
    const std::uint64_t period = Floor(nowMinute);
    if (period == start_) {
        return false;
    }
    const bool first = start_ == 0;
    start_ = period;
    return !first;
}

Statistics::Statistics(std::wstring name) : name_(std::move(name)) {
    Configure(kKindFull, 1, 1000, 1000, 0, 50);
}

void Statistics::Configure(std::uint32_t kind, std::uint32_t periodMinutes, std::uint64_t inputRate,
                           std::uint32_t outputRate, std::int32_t minimum, std::int32_t maximum) {
    kind_ = kind;
    inputRate_ = inputRate == 0 ? 1 : inputRate;
    outputRate_ = outputRate == 0 ? 1 : outputRate;
    // The outer buckets sit at minimum - 1 and maximum + 1: keep them inside the 32-bit range, keep the
    // range non-empty, and keep the histogram within memory (a million buckets are 8 MB).
    constexpr std::int64_t kMaxRange = 1000000;
    std::int64_t lo = std::max<std::int64_t>(minimum, std::numeric_limits<std::int32_t>::min() + 1);
    std::int64_t hi = std::min<std::int64_t>(maximum, std::numeric_limits<std::int32_t>::max() - 1);
    if (hi <= lo) {
        hi = lo + 1;
    }
    if (hi - lo > kMaxRange) {
        hi = lo + kMaxRange;
    }
    if (hi > std::numeric_limits<std::int32_t>::max() - 1) {
        hi = std::numeric_limits<std::int32_t>::max() - 1;
        lo = hi - 1;
    }
    minimum = static_cast<std::int32_t>(lo);
    maximum = static_cast<std::int32_t>(hi);
    lower_ = minimum - 1;
    upper_ = maximum + 1;
    rounding_ = inputRate_ / 2;
    buckets_.assign(static_cast<std::size_t>(static_cast<std::int64_t>(maximum) - minimum + 3), 0);
    clock_.SetLength(periodMinutes);
    clock_.Start();
    Reset();
}

void Statistics::AddSample(std::uint64_t timeStamp) {
    if (previous_ != 0) {
        const std::uint64_t d = timeStamp - previous_;
        previous_ = 0;
        Measure(d);
    }
    previous_ = timeStamp;
}

void Statistics::AddInterval(std::uint64_t ticks) {
    const std::uint64_t previous = previous_;
    Measure(ticks);
    // A period change inside Measure resets, which forgets the previous time stamp of AddSample; an
    // interval given directly has nothing to do with it.
    previous_ = previous;
}

void Statistics::Measure(std::uint64_t d) {
    // An interval "backwards" (time stamps out of order) wraps to a huge value and lands in the
    // upper-overflow bucket rather than being lost.
    std::uint64_t wide = d;
    if (inputRate_ != outputRate_) {
        const unsigned __int128 scaled = (static_cast<unsigned __int128>(d) * outputRate_ + rounding_) /
                                         static_cast<unsigned __int128>(inputRate_);
        wide = scaled > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                                  : static_cast<std::uint64_t>(scaled);
    }
    // Values beyond the 32-bit range saturate instead of wrapping to negative numbers.
    const std::int32_t v = wide > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
                               ? std::numeric_limits<std::int32_t>::max()
                               : static_cast<std::int32_t>(wide);
    if (v > current_.max) {
        current_.max = v;
        current_.maxTime = platform::LocalTimeNow();
    }
    if (v < current_.min) {
        current_.min = v;
    }
    const std::int32_t clamped = v < lower_ ? lower_ : (v > upper_ ? upper_ : v);
    ++buckets_[static_cast<std::size_t>(static_cast<std::int64_t>(clamped) - lower_)];
    ++current_.n;
    if (clock_.IsNewPeriod()) {
        ReportAndReset();
    }
}

Statistics::Summary Statistics::Compute() const {
    Summary s = current_;
    s.outputRate = outputRate_;
    if (s.n == 0) {
        s.e = s.j = s.s = 0.0;
        return s;
    }
    const double n = static_cast<double>(s.n);
    double sum = 0.0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        sum += static_cast<double>(lower_ + static_cast<std::int64_t>(i)) * static_cast<double>(buckets_[i]);
    }
    s.e = sum / n;
    double absSum = 0.0;
    double sqSum = 0.0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        if (buckets_[i] == 0) {
            continue;
        }
        const double deviation = static_cast<double>(lower_ + static_cast<std::int64_t>(i)) - s.e;
        absSum += std::fabs(deviation) * static_cast<double>(buckets_[i]);
        sqSum += deviation * deviation * static_cast<double>(buckets_[i]);
    }
    s.j = absSum / n;
    s.s = std::sqrt(sqSum / n);
    return s;
}

std::wstring Statistics::FormatReport() const {
    const Summary s = Compute();
    std::wostringstream out;
    out << L"STATISTICS: " << name_ << L":" << L" N=" << s.n << L", E=" << s.e;
    if (kind_ == kKindFull) {
        out << L", J=" << s.j << L", S=" << s.s;
    }
    out << L", Min=" << s.min << L", Max=" << s.max << L"(";
    AppendTwoDigits(out, s.maxTime.hour);
    out << L':';
    AppendTwoDigits(out, s.maxTime.minute);
    out << L':';
    AppendTwoDigits(out, s.maxTime.second);
    out << L'.' << static_cast<wchar_t>(L'0' + s.maxTime.millisecond / 100 % 10);
    AppendTwoDigits(out, s.maxTime.millisecond % 100);
    out << L")" << L", Unit=1/" << s.outputRate;
    if (printHistogram_ && s.n != 0) {
        out << L" Histogram: ";
        const double n = static_cast<double>(s.n);
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            if (buckets_[i] == 0) {
                continue;
            }
            if (i == 0) {
                out << L" least:";
            } else if (i + 1 == buckets_.size()) {
                out << L" greatest:";
            } else {
                out << L" [" << (lower_ + static_cast<std::int64_t>(i)) << L"]:";
            }
            out << static_cast<double>(buckets_[i]) * 100.0 / n;
        }
    }
    return out.str();
}

void Statistics::Report() {
    if (!enabled_ || current_.n == 0) {
        return;
    }
    const std::shared_ptr<IDebugLog> log = ProcessLog();
    if (!log || log->GetLoggingLevel() < 3) {
        return;
    }
    reported_ = Compute();
    log->Write(FormatReport());
}

void Statistics::Reset() {
    std::fill(buckets_.begin(), buckets_.end(), 0);
    previous_ = 0;
    current_ = Summary{};
    current_.outputRate = outputRate_;
    current_.maxTime = platform::LocalTimeNow();
}

void Statistics::ReportAndReset() {
    Report();
    Reset();
}
