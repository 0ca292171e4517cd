#include "common/error_state.h"

namespace {

std::wstring Transition(const wchar_t* what, const std::wstring& name, std::uint32_t count) {
    std::wstring text = L"ErrState: ";
    text += what;
    text += L", Info='";
    text += name;
    text += L"', ErrCount = ";
    text += std::to_wstring(count);
    return text;
}

}  // namespace

ErrorState::ErrorState(std::wstring name, MinuteSource source) : name_(std::move(name)), clock_(1, source) {}

ErrorState::~ErrorState() = default;

ErrInfo& ErrorState::SetState(ErrInfo& result) {
    if (!result.IsOk()) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint32_t count = errCount_.load() + 1;
        errCount_.store(count);
        if (count == 1) {
            clock_.Start();
            result.AddInfo(Transition(L"Ok->Error", name_, count));
        } else if (clock_.IsNewPeriod()) {
            result.AddInfo(Transition(L"Error->Error", name_, count));
        } else {
            result.MarkHandled();
        }
        return result;
    }
    if (errCount_.load() != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        // Checked again under the lock: another thread may have reported the recovery meanwhile.
        const std::uint32_t count = errCount_.load();
        if (count != 0) {
            ErrInfo recovered("ErrorState::SetState", __FILE__, __LINE__);
            recovered.SetError(Transition(L"Error->OK", name_, count));
            errCount_.store(0);
            // `recovered` reports itself, unhandled, as it goes out of scope.
        }
    }
    return result;
}
