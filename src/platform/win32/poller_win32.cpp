#ifdef _WIN32

// The Windows socket wait: every registered socket signals ONE shared auto-reset event through
// WSAEventSelect, so the number of sockets is not bound by the 64-handle limit of
// WaitForMultipleObjects. The event does not say which socket fired, so a wait that it ends asks every
// registered socket for its record with WSAEnumNetworkEvents and reports those that have events.
//
// Winsock itself gives the event semantics this layer promises (FD_WRITE only after a blocked send,
// FD_READ re-enabled by each read), so Rearm has nothing to do here.

// winsock2.h must come before windows.h, or the old Winsock 1 header wins.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/poller.h"

namespace platform {

namespace {

struct Registration {
    SocketHandle handle = kInvalidSocket;
    std::uint64_t cookie = 0;
    std::uint32_t interest = 0;
};

long NativeMask(std::uint32_t interest) {
    long m = 0;
    if ((interest & kSockRead) != 0) {
        m |= FD_READ;
    }
    if ((interest & kSockWrite) != 0) {
        m |= FD_WRITE;
    }
    if ((interest & kSockOob) != 0) {
        m |= FD_OOB;
    }
    if ((interest & kSockClose) != 0) {
        m |= FD_CLOSE;
    }
    if ((interest & kSockAccept) != 0) {
        m |= FD_ACCEPT;
    }
    if ((interest & kSockConnect) != 0) {
        m |= FD_CONNECT;
    }
    return m;
}

SocketResult LastWsaError() {
    return SocketResult::FromNative(::WSAGetLastError());
}

SocketResult LastWinError() {
    return SocketResult::FromNative(static_cast<int>(::GetLastError()));
}

}  // namespace

struct SocketPoller::Impl {
    HANDLE socket_event = nullptr;  // shared by every registered socket
    HANDLE wake_event = nullptr;
    bool library_started = false;
    SocketResult init;

    mutable std::mutex mutex;  // guards regs; held while records are enumerated
    std::vector<Registration> regs;

    std::vector<Registration>::iterator Find(SocketHandle h) {
        return std::find_if(regs.begin(), regs.end(), [h](const Registration& r) { return r.handle == h; });
    }

    void Enumerate(std::vector<SocketEvent>& ready) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Registration& r : regs) {
            WSANETWORKEVENTS ne{};
            SocketEvent e;
            e.handle = r.handle;
            e.cookie = r.cookie;
            if (::WSAEnumNetworkEvents(static_cast<SOCKET>(r.handle), nullptr, &ne) != 0) {
                e.events = kSockError;
                e.error = ::WSAGetLastError();
                ready.push_back(e);
                continue;
            }
            const long n = ne.lNetworkEvents;
            if ((n & FD_READ) != 0) {
                e.events |= kSockRead;
            }
            if ((n & FD_WRITE) != 0) {
                e.events |= kSockWrite;
            }
            if ((n & FD_OOB) != 0) {
                e.events |= kSockOob;
            }
            if ((n & FD_CLOSE) != 0) {
                e.events |= kSockClose;
                e.close_error = ne.iErrorCode[FD_CLOSE_BIT];
            }
            if ((n & FD_ACCEPT) != 0) {
                e.events |= kSockAccept;
            }
            if ((n & FD_CONNECT) != 0) {
                e.events |= kSockConnect;
                e.connect_error = ne.iErrorCode[FD_CONNECT_BIT];
            }
            e.events &= r.interest;
            if (e.events != 0) {
                ready.push_back(e);
            }
        }
    }
};

SocketPoller::SocketPoller() : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.init = StartSocketLibrary();
    if (!d.init) {
        return;
    }
    d.library_started = true;
    d.socket_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (d.socket_event == nullptr) {
        d.init = LastWinError();
        return;
    }
    d.wake_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (d.wake_event == nullptr) {
        d.init = LastWinError();
    }
}

SocketPoller::~SocketPoller() {
    Impl& d = *impl_;
    {
        // A socket left bound to a closed event would signal whatever object reuses the handle.
        std::lock_guard<std::mutex> lock(d.mutex);
        for (const Registration& r : d.regs) {
            ::WSAEventSelect(static_cast<SOCKET>(r.handle), nullptr, 0);
        }
        d.regs.clear();
    }
    if (d.wake_event != nullptr) {
        ::CloseHandle(d.wake_event);
    }
    if (d.socket_event != nullptr) {
        ::CloseHandle(d.socket_event);
    }
    if (d.library_started) {
        StopSocketLibrary();
    }
}

bool SocketPoller::ReportsReadySocketsOnly() noexcept {
    return false;
}

bool SocketPoller::IsValid() const noexcept {
    return impl_->init.ok();
}

SocketResult SocketPoller::InitResult() const noexcept {
    return impl_->init;
}

SocketResult SocketPoller::Add(SocketHandle h, std::uint32_t interest, std::uint64_t cookie) noexcept {
    Impl& d = *impl_;
    if (!d.init) {
        return d.init;
    }
    if (h == kInvalidSocket) {
        return SocketResult::FromNative(WSAENOTSOCK);
    }
    // Selecting and recording happen under the lock that enumeration takes, so an event that fires at
    // once is never consumed by a wait that does not know the socket yet.
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.Find(h) != d.regs.end()) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    if (::WSAEventSelect(static_cast<SOCKET>(h), d.socket_event, NativeMask(interest)) != 0) {
        return LastWsaError();
    }
    d.regs.push_back(Registration{h, cookie, interest});
    return SocketResult::Ok();
}

SocketResult SocketPoller::Modify(SocketHandle h, std::uint32_t interest) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.Find(h);
    if (it == d.regs.end()) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    if (::WSAEventSelect(static_cast<SOCKET>(h), d.socket_event, NativeMask(interest)) != 0) {
        return LastWsaError();
    }
    it->interest = interest;
    return SocketResult::Ok();
}

SocketResult SocketPoller::Rearm(SocketHandle h, std::uint32_t) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.Find(h) == d.regs.end()) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    return SocketResult::Ok();
}

SocketResult SocketPoller::Remove(SocketHandle h) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.Find(h);
    if (it == d.regs.end()) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    d.regs.erase(it);
    if (::WSAEventSelect(static_cast<SOCKET>(h), nullptr, 0) != 0) {
        // A socket closed before its removal is no longer bound to the event anyway.
        const int code = ::WSAGetLastError();
        if (code != WSAENOTSOCK) {
            return SocketResult::FromNative(code);
        }
    }
    return SocketResult::Ok();
}

std::size_t SocketPoller::Count() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->regs.size();
}

WaitResult SocketPoller::Wait(int timeout_ms, std::vector<SocketEvent>& ready) {
    Impl& d = *impl_;
    WaitResult result;
    ready.clear();
    if (!d.init) {
        result.error = d.init;
        return result;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    DWORD remaining = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    const HANDLE handles[2] = {d.socket_event, d.wake_event};
    for (;;) {
        const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, remaining);
        if (r == WAIT_OBJECT_0) {
            d.Enumerate(ready);
            result.woken = ::WaitForSingleObject(d.wake_event, 0) == WAIT_OBJECT_0;
        } else if (r == WAIT_OBJECT_0 + 1) {
            result.woken = true;
            if (::WaitForSingleObject(d.socket_event, 0) == WAIT_OBJECT_0) {
                d.Enumerate(ready);
            }
        } else if (r != WAIT_TIMEOUT) {
            result.error = LastWinError();
            return result;
        }
        if (result.woken || !ready.empty()) {
            return result;
        }
        // A time-out, or the event of a socket whose record an earlier round had already taken.
        if (timeout_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (r == WAIT_TIMEOUT || left <= 0) {
                result.timed_out = true;
                return result;
            }
            remaining = static_cast<DWORD>(left);
        }
    }
}

void SocketPoller::Wake() noexcept {
    ::SetEvent(impl_->wake_event);
}

}  // namespace platform

#endif  // _WIN32
