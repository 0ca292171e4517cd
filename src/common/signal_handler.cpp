#include "common/signal_handler.h"

#include <thread>

#include "common/debug_log.h"
#include "common/environment.h"
#include "common/err_info.h"
#include "platform/utf8.h"

namespace os {
namespace {

struct SignalEntry {
    int number;
    const char* name;
};

// The slots of SignalHandlerCollection follow this order.
constexpr SignalEntry kSignals[] = {
    {2, "SIGINT"},   {3, "SIGQUIT"},   {4, "SIGILL"},   {8, "SIGFPE"},      {11, "SIGSEGV"},
    {15, "SIGTERM"}, {21, "SIGBREAK"}, {22, "SIGABRT"}, {128, "SIGLOGOFF"}, {129, "SIGSHTDWN"},
};

bool IsConsoleSignal(int signal) {
    return signal == 2 || signal == 3 || signal == 15 || signal == 21 || signal == 128 || signal == 129;
}

bool IsRuntimeSignal(int signal) {
    return signal == 4 || signal == 8 || signal == 11 || signal == 22;
}

std::atomic<SignalHandlerCollection*> g_systemCollection{nullptr};

}  // namespace

const char* SignalName(int signal) noexcept {
    if (signal == kSignalUnused) {
        return "SIGUNUSED";
    }
    for (const SignalEntry& entry : kSignals) {
        if (entry.number == signal) {
            return entry.name;
        }
    }
    return "*UNKNOWN*";
}

std::wstring SignalText(int signal) {
    return std::to_wstring(signal) + L"(" + Utf8ToWide(SignalName(signal)) + L")";
}

// ---- SignalHandler -----------------------------------------------------------------------------

namespace {

std::shared_ptr<SignalHandlerCollection> ProcessCollection() {
    std::shared_ptr<SignalHandlerCollection> collection;
    EnvironmentRef ref;
    GetEnvironment(ref)->GetSignalHandlerCollection(collection);
    return collection;
}

}  // namespace

SignalHandler::SignalHandler() : collection_(ProcessCollection()) {}

SignalHandler::SignalHandler(std::shared_ptr<SignalHandlerCollection> collection)
    : collection_(std::move(collection)) {}

SignalHandler::~SignalHandler() {
    SignalHandler::UnregisterAll();
}

void SignalHandler::Register(const int* signals, std::size_t count) {
    if (collection_) {
        collection_->Register(this, signals, count);
    }
}

SignalHandler* SignalHandler::Register(int signal) {
    return collection_ ? collection_->Register(this, signal) : nullptr;
}

void SignalHandler::UnregisterAll() {
    if (collection_) {
        collection_->UnregisterAll(this);
    }
}

void SignalHandler::Unregister(int signal) {
    if (collection_) {
        collection_->Unregister(this, signal);
    }
}

// ---- SignalHandlerCollection -------------------------------------------------------------------

SignalHandlerCollection::SignalHandlerCollection(std::shared_ptr<IDebugLog> log, SystemHook hook)
    : log_(std::move(log)), hook_(hook) {
    if (hook_ == &platform::SetSignalHook) {
        g_systemCollection.store(this);
    }
}

SignalHandlerCollection::~SignalHandlerCollection() {
    while (!handlers_.empty()) {
        Remove(handlers_.begin()->first);
    }
    SignalHandlerCollection* self = this;
    (void)g_systemCollection.compare_exchange_strong(self, nullptr);
}

std::atomic<SignalHandler*>* SignalHandlerCollection::Slot(int signal) noexcept {
    for (std::size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        if (kSignals[i].number == signal) {
            return &slots_[i];
        }
    }
    return nullptr;
}

bool SignalHandlerCollection::DispatchToProcess(int signal) noexcept {
    SignalHandlerCollection* collection = g_systemCollection.load();
    return collection != nullptr && collection->Dispatch(signal);
}

bool SignalHandlerCollection::Dispatch(int signal) noexcept {
    std::atomic<SignalHandler*>* slot = Slot(signal);
    if (slot == nullptr) {
        return false;
    }
    dispatching_.fetch_add(1);
    SignalHandler* handler = slot->load();
    if (handler != nullptr) {
        handler->OnSignal(signal);
    }
    dispatching_.fetch_sub(1);
    return handler != nullptr;
}

void SignalHandlerCollection::SetSystemHook(int signal, bool install) {
    const platform::SysResult result = hook_(signal, install ? &DispatchToProcess : nullptr);
    if (result.ok()) {
        return;
    }
    // Not returned to the caller: the registration stays, and the error, left unhandled, is written to
    // the process log when it is dropped.
    ErrInfo error(ERR_PLACE("os::SignalHandlerCollection::_set_signal_handler_"));
    const std::wstring text =
        L"SignalHandlerCollection::set_signal_handler(): sigaction() error - handler not set; signal = " +
        SignalText(signal);
    if (IsConsoleSignal(signal)) {
        error.SetSysError(result.code, text);
    } else if (IsRuntimeSignal(signal)) {
        error.SetError(text);
    } else {
        error.SetError(L"");
    }
    WriteAtLevel(log_, kLogMessages, error.ToString());
}

void SignalHandlerCollection::Remove(int signal) {
    handlers_.erase(signal);
    if (std::atomic<SignalHandler*>* slot = Slot(signal)) {
        slot->store(nullptr);
    }
    SetSystemHook(signal, false);
    // A callback already under way finishes before its handler may go.
    while (dispatching_.load() != 0) {
        std::this_thread::yield();
    }
}

SignalHandler* SignalHandlerCollection::Register(SignalHandler* handler, int signal) {
    if (signal == kSignalUnused) {  // stands for no signal
        return nullptr;
    }
    std::atomic<SignalHandler*>* slot = Slot(signal);
    const auto it = handlers_.find(signal);
    if (it != handlers_.end()) {
        SignalHandler* previous = it->second;
        if (handler != nullptr) {
            it->second = handler;
            if (slot != nullptr) {
                slot->store(handler);
            }
        } else {
            Remove(signal);
        }
        return previous;
    }
    if (handler != nullptr) {
        handlers_.emplace(signal, handler);
        if (slot != nullptr) {
            slot->store(handler);
        }
        SetSystemHook(signal, true);
    }
    return nullptr;
}

void SignalHandlerCollection::Register(SignalHandler* handler, const int* signals, std::size_t count) {
    for (std::size_t i = 0; signals != nullptr && i < count; ++i) {
        (void)Register(handler, signals[i]);  // skips 256
    }
}

void SignalHandlerCollection::Unregister(SignalHandler* handler, int signal) {
    const auto it = handlers_.find(signal);
    if (it == handlers_.end() || it->second != handler) {
        WriteAtLevel(
            log_, kLogMessages,
            L"SignalHandlerCollection::Unregister(): signal handler not found for remove; signal = " +
                SignalText(signal));
        return;
    }
    Remove(signal);
}

void SignalHandlerCollection::UnregisterAll(SignalHandler* handler) {
    for (auto it = handlers_.begin(); it != handlers_.end();) {
        const int signal = it->first;
        const bool mine = it->second == handler;
        ++it;  // Remove erases only this entry
        if (mine) {
            Remove(signal);
        }
    }
}

}  // namespace os
