// The socket wait: one thread waits for network events on many sockets at once.
//
// Events follow the Windows network-event model on both systems, because that is the model the socket
// service is written against:
//  - kSockRead: data (or a datagram, or a pending error) can be read. Reported when data arrives; after a
//    report, read until the call would block. A reader that stops earlier calls Rearm(kSockRead) to be
//    told again while data remains.
//  - kSockWrite: reported once after registration (or after the connect completes) when the socket can
//    send, and then again only after a send failed with "would block" and sending became possible again.
//    After such a failed send call Rearm(kSockWrite): Winsock re-arms by itself, the Linux backend needs
//    to be told.
//  - kSockConnect: a non-blocking connect completed; `connect_error` holds its native error (0 = ok).
//    Register (or Modify) with kSockConnect before or right after calling Connect.
//  - kSockClose: a connected stream's peer closed or reset it; reported once, `close_error` holds the
//    native reason (0 = orderly close). Never reported for datagram sockets.
//  - kSockAccept: a listening socket has a connection to accept.
//  - kSockOob: out-of-band data.
//  - kSockError: the wait could not enumerate this socket's events (Windows only; `error` holds the
//    code). The socket was most likely closed without being removed first.
// kSockIdle is not produced here: the service adds it for sockets that want a visit anyway.
//
// Linux: an epoll set plus an eventfd for Wake, so Wait reports exactly the sockets that are ready.
// Windows: WSAEventSelect binds every socket to ONE shared event; Wait waits for it and a wake event with
// WaitForMultipleObjects and then enumerates the records of every registered socket with
// WSAEnumNetworkEvents. Either way the caller gets a list of ready sockets and keeps its own clock for
// visiting idle sockets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace platform {

// Event bits (the socket service's own layout; used in both directions).
inline constexpr std::uint32_t kSockIdle = 0x0001;
inline constexpr std::uint32_t kSockRead = 0x0002;
inline constexpr std::uint32_t kSockWrite = 0x0004;
inline constexpr std::uint32_t kSockOob = 0x0008;
inline constexpr std::uint32_t kSockClose = 0x0010;
inline constexpr std::uint32_t kSockAccept = 0x0020;
inline constexpr std::uint32_t kSockConnect = 0x0040;
inline constexpr std::uint32_t kSockError = 0x8000;

// The names of the set bits in ascending order, each followed by a blank: "FD_READ FD_WRITE ". The
// names are IDLE, FD_READ, FD_WRITE, FD_OOB, FD_CLOSE, FD_ACCEPT, FD_CONNECT and SOCK_ERR; other bits
// are left out.
[[nodiscard]] std::wstring SocketEventNames(std::uint32_t events);

// What one wait found for one socket.
struct SocketEvent {
    SocketHandle handle = kInvalidSocket;
    std::uint64_t cookie = 0;  // the value given to Add
    std::uint32_t events = 0;  // kSock* bits, only those registered for (plus kSockError)
    int connect_error = 0;     // with kSockConnect: native outcome of the connect, 0 = connected
    int close_error = 0;       // with kSockClose: native reason, 0 = orderly close
    int error = 0;             // with kSockError: native code of the failed enumeration
};

// How a wait ended. The ready list may be non-empty together with `woken`.
struct WaitResult {
    bool woken = false;      // Wake was called since the previous wait (several calls count as one)
    bool timed_out = false;  // the time-out passed with no event and no wake
    SocketResult error;      // the wait itself failed (nothing else is reported then)
};

class SocketPoller {
public:
    // Creates the wait objects (and, on Windows, starts the socket library for the poller's life).
    SocketPoller();
    // Sockets still registered are released from the poller; they stay open.
    ~SocketPoller();
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // False when the wait objects could not be made; InitResult says why. Every call then fails.
    [[nodiscard]] bool IsValid() const noexcept;
    [[nodiscard]] SocketResult InitResult() const noexcept;

    // Registers an open socket for the kSock* events in `interest` and makes it non-blocking (as
    // WSAEventSelect does). `cookie` comes back with every event of this registration. A socket already
    // registered fails with kInvalidArgument. May be called from any thread, also while another thread
    // waits: the ongoing wait sees the new socket.
    [[nodiscard]] SocketResult Add(SocketHandle h, std::uint32_t interest, std::uint64_t cookie) noexcept;
    // Replaces the interest of a registered socket. A kSockWrite that the new interest adds is reported
    // once the socket can send; one that was there already stays as it was (Winsock does not promise to
    // report it again for an unchanged selection).
    [[nodiscard]] SocketResult Modify(SocketHandle h, std::uint32_t interest) noexcept;
    // Asks for kSockWrite and/or kSockRead to be reported again once they hold (see above). Nothing on
    // Windows, where the failed send or the read re-arms the record itself.
    [[nodiscard]] SocketResult Rearm(SocketHandle h, std::uint32_t events) noexcept;
    // Releases a socket; call it before closing the socket. Once it returns no later wait reports the
    // socket; a wait that already collected it may still return it, so check events against your own
    // records (handle and cookie). A socket not registered fails with kInvalidArgument.
    SocketResult Remove(SocketHandle h) noexcept;

    [[nodiscard]] std::size_t Count() const;

    // True when a wait reports exactly the sockets that have events (epoll). False where one shared
    // event serves all sockets (Windows): a wake-up there cannot tell which socket fired without asking
    // each of them, so callers visit every socket on every wake-up.
    [[nodiscard]] static bool ReportsReadySocketsOnly() noexcept;

    // Waits up to `timeout_ms` milliseconds (negative: without limit) for events, Wake or the time-out.
    // `ready` is cleared and filled with one entry per socket that has events. Only one thread may wait
    // at a time.
    WaitResult Wait(int timeout_ms, std::vector<SocketEvent>& ready);

    // Ends the current or the next wait with `woken` set. Any thread, any time while the poller lives.
    void Wake() noexcept;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
