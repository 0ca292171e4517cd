// Error-transition reporting for a path that can fail over and over (a socket's sends).
//
// The first error of a series is reported with "Ok->Error", repetitions are suppressed except one a
// minute ("Error->Error" with the running count), and the return to success is reported once
// ("Error->OK").
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/err_info.h"
#include "common/statistics.h"

class ErrorState {
public:
    explicit ErrorState(std::wstring name, MinuteSource source = &CurrentUnixMinute);
    virtual ~ErrorState();
    ErrorState(const ErrorState&) = delete;
    ErrorState& operator=(const ErrorState&) = delete;

    // Updates the state with the result of one attempt and returns `result`: an error gets the transition
    // text appended, or is marked handled when it is a suppressed repetition. A success after errors writes
    // the "Error->OK" report itself. Any thread may call it.
    ErrInfo& SetState(ErrInfo& result);

    // Errors in the current series; 0 when the last attempt succeeded.
    [[nodiscard]] std::uint32_t ErrCount() const { return errCount_.load(); }
    [[nodiscard]] const std::wstring& Name() const { return name_; }

private:
    const std::wstring name_;
    std::atomic<std::uint32_t> errCount_{0};
    PeriodClock clock_;
    std::mutex mutex_;
};
