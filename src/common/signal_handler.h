// Signal handlers: objects that want signals (Ctrl+C, a polite kill, console events) register with the
// process's collection, which the environment creates and which routes each signal to the one object
// registered for it. Signals are numbered alike on every system (platform/signals.h): 2 SIGINT,
// 3 SIGQUIT, 4 SIGILL, 8 SIGFPE, 11 SIGSEGV, 15 SIGTERM, 21 SIGBREAK, 22 SIGABRT, 128 SIGLOGOFF
// (SIGHUP on Linux), 129 SIGSHTDWN; 256 (SIGUNUSED) stands for "no signal" and is skipped.
//
// Registration is meant for start-up and shut-down from one thread; the collection is not locked for
// it. A signal may arrive at any time, though: the callback is reached through atomics only, and
// unregistering waits for a callback in progress, so a handler may be destroyed once it has
// unregistered. The callback runs in a signal handler on Linux (on a system thread for console events
// on Windows): it may only set flags and wake others through atomics; it must not register, unregister,
// allocate or lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "platform/signals.h"

class IDebugLog;

namespace os {

inline constexpr int kSignalUnused = 256;

// The name of a signal ("SIGINT"); "*UNKNOWN*" for a number outside the list.
[[nodiscard]] const char* SignalName(int signal) noexcept;
// A signal as messages show it: its number and its name in parentheses, "2(SIGINT)".
[[nodiscard]] std::wstring SignalText(int signal);

class SignalHandlerCollection;

class SignalHandler {
public:
    // Registers with the process's collection (from the environment); none: every call is a no-op.
    SignalHandler();
    explicit SignalHandler(std::shared_ptr<SignalHandlerCollection> collection);
    // Unregisters from every signal. A derived class calls UnregisterAll in its own destructor, before
    // the callback it implements is gone.
    virtual ~SignalHandler();
    SignalHandler(const SignalHandler&) = delete;
    SignalHandler& operator=(const SignalHandler&) = delete;

    // Registers for `count` signals (entries of 256 are skipped).
    virtual void Register(const int* signals, std::size_t count);
    // Registers for one signal; returns the handler that had it before (null when none).
    virtual SignalHandler* Register(int signal);
    virtual void UnregisterAll();
    virtual void Unregister(int signal);
    // Called with the signal's number; see the rules above.
    virtual void OnSignal(int signal) noexcept = 0;

private:
    std::shared_ptr<SignalHandlerCollection> collection_;
};

class SignalHandlerCollection {
public:
    using SystemHook = platform::SysResult (*)(int signal, platform::SignalDispatch dispatch) noexcept;

    // `log` receives the failures of the system hooks and the trace of Unregister (at level 4). `hook`
    // sets a signal's system hook; the system's own (platform::SetSignalHook) by default, whose signals
    // reach the last collection made with it.
    explicit SignalHandlerCollection(std::shared_ptr<IDebugLog> log,
                                     SystemHook hook = &platform::SetSignalHook);
    ~SignalHandlerCollection();
    SignalHandlerCollection(const SignalHandlerCollection&) = delete;
    SignalHandlerCollection& operator=(const SignalHandlerCollection&) = delete;

    // 256 is skipped (null). A signal that has a handler gets the new one (the system hook stays), or,
    // with null, loses its entry and its hook; a signal without one gets the entry and then the hook.
    // Returns the handler it had before (null when none). A hook the system refuses is logged; the
    // registration stays.
    SignalHandler* Register(SignalHandler* handler, int signal);
    void Register(SignalHandler* handler, const int* signals, std::size_t count);
    // Removes `handler` from `signal` and restores the system's default; when `signal` has another
    // handler or none, changes nothing and writes a trace line.
    void Unregister(SignalHandler* handler, int signal);
    void UnregisterAll(SignalHandler* handler);

    // Calls the handler registered for `signal`; true when there is one. Safe in a signal handler.
    bool Dispatch(int signal) noexcept;

    // The registrations, for reports.
    [[nodiscard]] const std::map<int, SignalHandler*>& Handlers() const { return handlers_; }

private:
    void SetSystemHook(int signal, bool install);
    void Remove(int signal);
    std::atomic<SignalHandler*>* Slot(int signal) noexcept;

    static bool DispatchToProcess(int signal) noexcept;

    std::shared_ptr<IDebugLog> log_;
    const SystemHook hook_;
    std::map<int, SignalHandler*> handlers_;
    // What Dispatch reads: the handler of each signal of the list, and the callbacks in progress.
    std::atomic<SignalHandler*> slots_[10] = {};
    std::atomic<int> dispatching_{0};
};

}  // namespace os
