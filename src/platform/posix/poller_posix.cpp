#ifndef _WIN32

// The Linux socket wait: an edge-triggered epoll set translated into the Windows network-event model.
//
// Edge triggering gives the Windows meaning of FD_READ (reported when data arrives, not on every wait
// while data is queued: a socket whose owner does not read cannot make the wait spin). EPOLLOUT is
// asked for only while a write report is armed, so a socket that sends a lot does not wake the waiting
// thread after every datagram.

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "platform/poller.h"

namespace platform {

namespace {

constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

struct Registration {
    std::uint32_t serial = 0;  // tells a reused descriptor from the one an old event was about
    std::uint64_t cookie = 0;
    std::uint32_t interest = 0;
    bool stream = false;
    bool connected = false;        // stream: has (had) a peer
    bool connect_pending = false;  // stream: report the outcome of a connect
    bool close_reported = false;   // stream: FD_CLOSE (or a failed connect) was reported
    bool write_armed = true;       // report FD_WRITE when the socket can send
};

std::uint64_t Key(int fd, std::uint32_t serial) {
    return (std::uint64_t{serial} << 32) | static_cast<std::uint32_t>(fd);
}

SocketResult LastError() {
    return SocketResult::FromNative(errno);
}

std::uint32_t EpollMask(const Registration& r) {
    std::uint32_t m = EPOLLET | EPOLLRDHUP;
    if ((r.interest & (kSockRead | kSockAccept | kSockClose)) != 0) {
        m |= EPOLLIN;
    }
    if ((r.interest & kSockOob) != 0) {
        m |= EPOLLPRI;
    }
    if (((r.interest & kSockWrite) != 0 && r.write_armed) || r.connect_pending) {
        m |= EPOLLOUT;
    }
    return m;
}

bool HasPeer(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
}

int TakeSoError(int fd) {
    int code = 0;
    socklen_t len = sizeof code;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &len) != 0) {
        return errno;
    }
    return code;
}

}  // namespace

struct SocketPoller::Impl {
    int epoll_fd = -1;
    int wake_fd = -1;
    SocketResult init;

    mutable std::mutex mutex;  // guards everything below
    std::unordered_map<int, Registration> regs;
    std::uint32_t next_serial = 1;

    std::vector<epoll_event> buffer;  // used by the waiting thread only

    SocketResult Control(int op, int fd, const Registration& r) {
        epoll_event ev{};
        ev.events = EpollMask(r);
        ev.data.u64 = Key(fd, r.serial);
        if (epoll_ctl(epoll_fd, op, fd, &ev) != 0) {
            return LastError();
        }
        return SocketResult::Ok();
    }

    // Turns one epoll report into Windows-style events; called with the mutex held.
    void Translate(int fd, Registration& r, std::uint32_t rev, std::vector<SocketEvent>& ready) {
        SocketEvent e;
        e.handle = fd;
        e.cookie = r.cookie;
        bool mask_changed = false;
        const bool trouble = (rev & (EPOLLERR | EPOLLHUP)) != 0;
        // epoll_wait took the report before this translation: a connect may have completed in between,
        // and then the report still shows the unconnected socket (EPOLLOUT|EPOLLHUP), whose HUP is no
        // close of the new connection. A close or reset of it sets EPOLLRDHUP or EPOLLERR as well.
        const bool wasConnected = r.connected;
        const std::uint32_t ending =
            wasConnected ? (EPOLLRDHUP | EPOLLHUP | EPOLLERR) : (EPOLLRDHUP | EPOLLERR);

        if (!r.stream) {
            // A datagram socket's pending error is delivered by the next read, as Winsock does.
            if ((rev & (EPOLLIN | EPOLLERR)) != 0 && (r.interest & kSockRead) != 0) {
                e.events |= kSockRead;
            }
            if ((rev & EPOLLPRI) != 0 && (r.interest & kSockOob) != 0) {
                e.events |= kSockOob;
            }
            if ((rev & EPOLLOUT) != 0 && r.write_armed && (r.interest & kSockWrite) != 0) {
                e.events |= kSockWrite;
                r.write_armed = false;
                mask_changed = true;
            }
        } else {
            if (r.close_reported) {
                return;
            }
            if ((r.connect_pending || !r.connected) && (rev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                // A stream without a peer is connecting, listening or not started yet; a fresh socket
                // reports EPOLLOUT|EPOLLHUP, which must read neither as a completed connect nor as a close.
                const int err = TakeSoError(fd);
                if (err != 0) {
                    if (r.connect_pending) {
                        e.events |= kSockConnect;
                        e.connect_error = err;
                        r.connect_pending = false;
                        r.close_reported = true;
                        r.write_armed = false;
                        mask_changed = true;
                    }
                } else if (r.connected || HasPeer(fd)) {
                    r.connected = true;
                    if (r.connect_pending) {
                        e.events |= kSockConnect;
                        r.connect_pending = false;
                        mask_changed = true;
                    }
                }
            }
            if (!r.connected && (rev & EPOLLIN) != 0 && (r.interest & kSockAccept) != 0) {
                e.events |= kSockAccept;
            }
            if (r.connected) {
                if ((rev & EPOLLIN) != 0 && (r.interest & kSockRead) != 0) {
                    e.events |= kSockRead;
                }
                if ((rev & EPOLLPRI) != 0 && (r.interest & kSockOob) != 0) {
                    e.events |= kSockOob;
                }
                if ((rev & EPOLLOUT) != 0 && r.write_armed && (r.interest & kSockWrite) != 0 && !trouble) {
                    e.events |= kSockWrite;
                    r.write_armed = false;
                    mask_changed = true;
                }
                if ((rev & ending) != 0) {
                    if ((r.interest & kSockClose) != 0) {
                        e.events |= kSockClose;
                        e.close_error = (rev & EPOLLERR) != 0 ? TakeSoError(fd) : 0;
                    }
                    r.close_reported = true;
                    r.write_armed = false;
                    mask_changed = true;
                }
            }
        }
        if (mask_changed) {
            // Drops EPOLLOUT that is no longer wanted; a failure only costs spurious wake-ups.
            (void)Control(EPOLL_CTL_MOD, fd, r);
        }
        if (e.events != 0) {
            ready.push_back(e);
        }
    }
};

SocketPoller::SocketPoller() : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (d.epoll_fd < 0) {
        d.init = LastError();
        return;
    }
    d.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d.wake_fd < 0) {
        d.init = LastError();
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;  // level-triggered: stays ready until the wait drains the counter
    ev.data.u64 = kWakeKey;
    if (epoll_ctl(d.epoll_fd, EPOLL_CTL_ADD, d.wake_fd, &ev) != 0) {
        d.init = LastError();
    }
}

SocketPoller::~SocketPoller() {
    if (impl_->wake_fd >= 0) {
        close(impl_->wake_fd);
    }
    if (impl_->epoll_fd >= 0) {
        close(impl_->epoll_fd);
    }
}

bool SocketPoller::ReportsReadySocketsOnly() noexcept {
    return true;
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
    if (h < 0) {
        return SocketResult::FromNative(EBADF);
    }
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(h, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
        return LastError();
    }
    const int flags = fcntl(h, F_GETFL, 0);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(h, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return LastError();
    }
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.regs.count(h) != 0) {
        return SocketResult::FromNative(EEXIST);
    }
    Registration r;
    r.serial = d.next_serial++;
    if (d.next_serial == 0) {
        d.next_serial = 1;
    }
    r.cookie = cookie;
    r.interest = interest;
    r.stream = type == SOCK_STREAM;
    r.connected = r.stream && HasPeer(h);
    // Registered for the connect outcome: reported once the connect finished, at once if it already has.
    r.connect_pending = r.stream && (interest & kSockConnect) != 0;
    SocketResult res = d.Control(EPOLL_CTL_ADD, h, r);
    if (res) {
        d.regs.emplace(h, r);
    }
    return res;
}

SocketResult SocketPoller::Modify(SocketHandle h, std::uint32_t interest) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.regs.find(h);
    if (it == d.regs.end()) {
        return SocketResult::FromNative(ENOENT);
    }
    Registration& r = it->second;
    const std::uint32_t added = interest & ~r.interest;
    r.interest = interest;
    if ((added & kSockWrite) != 0) {
        r.write_armed = true;
    }
    if ((added & kSockConnect) != 0 && r.stream) {
        r.connect_pending = true;
        r.close_reported = false;
    }
    return d.Control(EPOLL_CTL_MOD, h, r);
}

SocketResult SocketPoller::Rearm(SocketHandle h, std::uint32_t events) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.regs.find(h);
    if (it == d.regs.end()) {
        return SocketResult::FromNative(ENOENT);
    }
    Registration& r = it->second;
    if ((events & kSockWrite) != 0 && (r.interest & kSockWrite) != 0 && !r.close_reported) {
        r.write_armed = true;
    }
    // A modification makes epoll look at the socket's current state again, so a readiness that came
    // between the failed call and now is not lost.
    return d.Control(EPOLL_CTL_MOD, h, r);
}

SocketResult SocketPoller::Remove(SocketHandle h) noexcept {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = d.regs.find(h);
    if (it == d.regs.end()) {
        return SocketResult::FromNative(ENOENT);
    }
    d.regs.erase(it);
    // A descriptor closed already has left the epoll set by itself.
    if (epoll_ctl(d.epoll_fd, EPOLL_CTL_DEL, h, nullptr) != 0 && errno != EBADF && errno != ENOENT) {
        return LastError();
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
    int remaining = timeout_ms;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            d.buffer.resize(std::clamp<std::size_t>(d.regs.size() + 1, 64, 1024));
        }
        const int n = epoll_wait(d.epoll_fd, d.buffer.data(), static_cast<int>(d.buffer.size()), remaining);
        if (n < 0 && errno != EINTR) {
            result.error = LastError();
            return result;
        }
        if (n > 0) {
            std::lock_guard<std::mutex> lock(d.mutex);
            for (int i = 0; i < n; ++i) {
                const epoll_event& ev = d.buffer[static_cast<std::size_t>(i)];
                if (ev.data.u64 == kWakeKey) {
                    std::uint64_t count = 0;
                    while (read(d.wake_fd, &count, sizeof count) > 0) {
                    }
                    result.woken = true;
                    continue;
                }
                const int fd = static_cast<int>(ev.data.u64 & 0xFFFFFFFFu);
                const auto serial = static_cast<std::uint32_t>(ev.data.u64 >> 32);
                auto it = d.regs.find(fd);
                if (it == d.regs.end() || it->second.serial != serial) {
                    continue;  // removed (and perhaps reused) since the kernel queued the event
                }
                d.Translate(fd, it->second, ev.events, ready);
            }
        }
        if (result.woken || !ready.empty()) {
            return result;
        }
        if (timeout_ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                result.timed_out = true;
                return result;
            }
            remaining = static_cast<int>(left);
        }
    }
}

void SocketPoller::Wake() noexcept {
    const std::uint64_t one = 1;
    // Fails only when the counter is saturated, and then a wake is pending anyway.
    (void)!write(impl_->wake_fd, &one, sizeof one);
}

}  // namespace platform

#endif  // !_WIN32
