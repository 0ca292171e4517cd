#ifndef _WIN32

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "platform/socket.h"
#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace platform {

static_assert(AF_INET == kAddressFamilyIPv4);
static_assert(sizeof(sockaddr_in) == sizeof(SockAddrIn));
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(SockAddrIn, family));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SockAddrIn, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SockAddrIn, addr));

namespace {

SocketResult LastError() noexcept {
    return SocketResult::FromNative(errno);
}

sockaddr_in ToNative(const SockAddrIn& a) noexcept {
    sockaddr_in n;
    std::memcpy(&n, &a, sizeof n);
    return n;
}

SockAddrIn FromNative(const sockaddr_in& n) noexcept {
    SockAddrIn a;
    std::memcpy(static_cast<void*>(&a), &n, sizeof a);
    std::memset(a.zero, 0, sizeof a.zero);
    return a;
}

in_addr InAddr(const SockAddrIn& a) noexcept {
    in_addr n;
    std::memcpy(&n, a.addr, sizeof n);
    return n;
}

SocketResult SetIntOption(SocketHandle h, int level, int name, int value) noexcept {
    if (setsockopt(h, level, name, &value, sizeof value) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult GetIntOption(SocketHandle h, int level, int name, int& value) noexcept {
    int v = 0;
    socklen_t len = sizeof v;
    if (getsockopt(h, level, name, &v, &len) != 0) {
        return LastError();
    }
    value = v;
    return SocketResult::Ok();
}

SocketResult GetBoolOption(SocketHandle h, int level, int name, bool& on) noexcept {
    int v = 0;
    SocketResult r = GetIntOption(h, level, name, v);
    if (r) {
        on = v != 0;
    }
    return r;
}

// The multicast options take one byte on some systems and an int on Linux; Linux accepts both.
SocketResult SetMembership(SocketHandle h, int name, const SockAddrIn& group,
                           const SockAddrIn& iface) noexcept {
    ip_mreq m{};
    m.imr_multiaddr = InAddr(group);
    m.imr_interface = InAddr(iface);
    if (setsockopt(h, IPPROTO_IP, name, &m, sizeof m) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

bool TooLong(std::size_t size) noexcept {
    return size > static_cast<std::size_t>(INT_MAX);
}

}  // namespace

SocketErrorKind ClassifySocketError(int code) noexcept {
    if (code < 0) {
        // getaddrinfo's own codes.
        switch (code) {
            case EAI_NONAME:
                return SocketErrorKind::kHostNotFound;
#ifdef EAI_NODATA
            case EAI_NODATA:
                return SocketErrorKind::kNoAddress;
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY:
                return SocketErrorKind::kNoAddress;
#endif
            case EAI_MEMORY:
                return SocketErrorKind::kNoBuffers;
            case EAI_FAMILY:
                return SocketErrorKind::kNotSupported;
            default:
                return SocketErrorKind::kResolverFailure;
        }
    }
    switch (code) {
        case 0:
            return SocketErrorKind::kNone;
        case EAGAIN:
            return SocketErrorKind::kWouldBlock;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
            return SocketErrorKind::kWouldBlock;
#endif
        case EINPROGRESS:
            return SocketErrorKind::kInProgress;
        case EALREADY:
            return SocketErrorKind::kAlready;
        case EINTR:
            return SocketErrorKind::kInterrupted;
        case ECONNRESET:
            return SocketErrorKind::kConnectionReset;
        case ECONNREFUSED:
            return SocketErrorKind::kConnectionRefused;
        case ECONNABORTED:
            return SocketErrorKind::kConnectionAborted;
        case ENOTCONN:
            return SocketErrorKind::kNotConnected;
        case EISCONN:
            return SocketErrorKind::kAlreadyConnected;
        case EPIPE:
            return SocketErrorKind::kShutdown;
        case ETIMEDOUT:
            return SocketErrorKind::kTimedOut;
        case EADDRINUSE:
            return SocketErrorKind::kAddressInUse;
        case EADDRNOTAVAIL:
            return SocketErrorKind::kAddressNotAvailable;
        case ENETDOWN:
            return SocketErrorKind::kNetworkDown;
        case ENETUNREACH:
            return SocketErrorKind::kNetworkUnreachable;
        case EHOSTUNREACH:
            return SocketErrorKind::kHostUnreachable;
        case EMSGSIZE:
            return SocketErrorKind::kMessageTooLong;
        case ENOBUFS:
        case ENOMEM:
            return SocketErrorKind::kNoBuffers;
        case EACCES:
        case EPERM:
            return SocketErrorKind::kAccessDenied;
        case EINVAL:
        case EEXIST:
        case ENOENT:
            return SocketErrorKind::kInvalidArgument;
        case EBADF:
        case ENOTSOCK:
            return SocketErrorKind::kNotASocket;
        case EOPNOTSUPP:
        case ENOPROTOOPT:
        case EPROTONOSUPPORT:
        case EAFNOSUPPORT:
            return SocketErrorKind::kNotSupported;
        default:
            return SocketErrorKind::kOther;
    }
}

std::wstring SocketErrorText(const SocketResult& result) {
    if (result.code < 0) {
        return Utf8ToWide(gai_strerror(result.code));
    }
    return SystemErrorText(static_cast<SysErrorCode>(result.code));
}

SocketResult ResolveIPv4(std::string_view host, SockAddrIn& out) {
    if (host.empty() || host.find('\0') != std::string_view::npos) {
        return SocketResult::FromNative(EINVAL);
    }
    const std::string name(host);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        // The resolver's "system error" hides the real cause in errno.
        return SocketResult::FromNative(rc == EAI_SYSTEM ? errno : rc);
    }
    SocketResult result = SocketResult::FromNative(EAI_NONAME);
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            out = FromNative(sin);
            out.SetPort(0);
            result = SocketResult::Ok();
            break;
        }
    }
    freeaddrinfo(list);
    return result;
}

SocketResult ResolveIPv4(std::wstring_view host, SockAddrIn& out) {
    if (host.empty() || host.find(L'\0') != std::wstring_view::npos) {
        return SocketResult::FromNative(EINVAL);
    }
    const std::string utf8 = WideToUtf8(host);
    if (utf8.empty()) {
        return SocketResult::FromNative(EINVAL);
    }
    return ResolveIPv4(std::string_view(utf8), out);
}

SocketResult StartSocketLibrary() noexcept {
    return SocketResult::Ok();
}

void StopSocketLibrary() noexcept {}

SocketResult OpenSocket(SocketKind kind, SocketHandle& out) noexcept {
    const bool udp = kind == SocketKind::kUdp;
    out = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, udp ? IPPROTO_UDP : IPPROTO_TCP);
    if (out < 0) {
        out = kInvalidSocket;
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult CloseSocket(SocketHandle h) noexcept {
    if (h == kInvalidSocket) {
        return SocketResult::FromNative(EBADF);
    }
    // The descriptor is released even when close reports an error; never retry it.
    if (close(h) != 0 && errno != EINTR) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult ShutdownSocket(SocketHandle h) noexcept {
    if (shutdown(h, SHUT_RDWR) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult SetNonBlocking(SocketHandle h, bool non_blocking) noexcept {
    const int flags = fcntl(h, F_GETFL, 0);
    if (flags < 0) {
        return LastError();
    }
    const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(h, F_SETFL, wanted) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult SetBroadcast(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}
SocketResult GetBroadcast(SocketHandle h, bool& on) noexcept {
    return GetBoolOption(h, SOL_SOCKET, SO_BROADCAST, on);
}
SocketResult SetReuseAddress(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}
SocketResult GetReuseAddress(SocketHandle h, bool& on) noexcept {
    return GetBoolOption(h, SOL_SOCKET, SO_REUSEADDR, on);
}
SocketResult SetReceiveBufferSize(SocketHandle h, int bytes) noexcept {
    return SetIntOption(h, SOL_SOCKET, SO_RCVBUF, bytes);
}
SocketResult GetReceiveBufferSize(SocketHandle h, int& bytes) noexcept {
    return GetIntOption(h, SOL_SOCKET, SO_RCVBUF, bytes);
}
SocketResult SetSendBufferSize(SocketHandle h, int bytes) noexcept {
    return SetIntOption(h, SOL_SOCKET, SO_SNDBUF, bytes);
}
SocketResult GetSendBufferSize(SocketHandle h, int& bytes) noexcept {
    return GetIntOption(h, SOL_SOCKET, SO_SNDBUF, bytes);
}

SocketResult SetLinger(SocketHandle h, bool on, int seconds) noexcept {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    if (setsockopt(h, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult SetTcpNoDelay(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

SocketResult SetMulticastInterface(SocketHandle h, const SockAddrIn& iface) noexcept {
    const in_addr a = InAddr(iface);
    if (setsockopt(h, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult GetMulticastInterface(SocketHandle h, SockAddrIn& iface) noexcept {
    in_addr a{};
    socklen_t len = sizeof a;
    if (getsockopt(h, IPPROTO_IP, IP_MULTICAST_IF, &a, &len) != 0) {
        return LastError();
    }
    iface = SockAddrIn{};
    std::memcpy(iface.addr, &a, sizeof iface.addr);
    return SocketResult::Ok();
}

SocketResult JoinMulticastGroup(SocketHandle h, const SockAddrIn& group, const SockAddrIn& iface) noexcept {
    return SetMembership(h, IP_ADD_MEMBERSHIP, group, iface);
}

SocketResult LeaveMulticastGroup(SocketHandle h, const SockAddrIn& group, const SockAddrIn& iface) noexcept {
    return SetMembership(h, IP_DROP_MEMBERSHIP, group, iface);
}

SocketResult SetMulticastLoopback(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0);
}
SocketResult GetMulticastLoopback(SocketHandle h, bool& on) noexcept {
    return GetBoolOption(h, IPPROTO_IP, IP_MULTICAST_LOOP, on);
}
SocketResult SetMulticastTtl(SocketHandle h, int ttl) noexcept {
    return SetIntOption(h, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}
SocketResult GetMulticastTtl(SocketHandle h, int& ttl) noexcept {
    return GetIntOption(h, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}

SocketResult Bind(SocketHandle h, const SockAddrIn& local) noexcept {
    const sockaddr_in n = ToNative(local);
    if (bind(h, reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult Connect(SocketHandle h, const SockAddrIn& remote) noexcept {
    const sockaddr_in n = ToNative(remote);
    if (connect(h, reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult Listen(SocketHandle h, int backlog) noexcept {
    // Linux caps the backlog at somaxconn itself.
    if (listen(h, backlog < 0 ? 0 : backlog) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult Accept(SocketHandle h, SocketHandle& out, SockAddrIn* peer) noexcept {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    out = accept4(h, reinterpret_cast<sockaddr*>(&n), &len, SOCK_CLOEXEC);
    if (out < 0) {
        out = kInvalidSocket;
        return LastError();
    }
    if (peer != nullptr) {
        *peer = FromNative(n);
    }
    return SocketResult::Ok();
}

SocketResult GetLocalAddress(SocketHandle h, SockAddrIn& local) noexcept {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (getsockname(h, reinterpret_cast<sockaddr*>(&n), &len) != 0) {
        return LastError();
    }
    local = FromNative(n);
    return SocketResult::Ok();
}

SocketResult GetPeerAddress(SocketHandle h, SockAddrIn& peer) noexcept {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (getpeername(h, reinterpret_cast<sockaddr*>(&n), &len) != 0) {
        return LastError();
    }
    peer = FromNative(n);
    return SocketResult::Ok();
}

SocketResult TakePendingError(SocketHandle h, SocketResult& pending) noexcept {
    int code = 0;
    SocketResult r = GetIntOption(h, SOL_SOCKET, SO_ERROR, code);
    if (r) {
        pending = SocketResult::FromNative(code);
    }
    return r;
}

SocketIo Send(SocketHandle h, const void* data, std::size_t size) noexcept {
    SocketIo io;
    if (TooLong(size)) {
        io.result = SocketResult::FromNative(EMSGSIZE);
        return io;
    }
    const ssize_t n = send(h, data, size, MSG_NOSIGNAL);
    if (n < 0) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(n);
    }
    return io;
}

SocketIo Recv(SocketHandle h, void* buffer, std::size_t size) noexcept {
    SocketIo io;
    if (TooLong(size)) {
        size = INT_MAX;
    }
    const ssize_t n = recv(h, buffer, size, 0);
    if (n < 0) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(n);
    }
    return io;
}

SocketIo SendTo(SocketHandle h, const void* data, std::size_t size, const SockAddrIn& dest) noexcept {
    SocketIo io;
    if (TooLong(size)) {
        io.result = SocketResult::FromNative(EMSGSIZE);
        return io;
    }
    const sockaddr_in n = ToNative(dest);
    const ssize_t sent = sendto(h, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&n), sizeof n);
    if (sent < 0) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(sent);
    }
    return io;
}

SocketIo RecvFrom(SocketHandle h, void* buffer, std::size_t size, SockAddrIn* from) noexcept {
    SocketIo io;
    if (TooLong(size)) {
        size = INT_MAX;
    }
    sockaddr_in n{};
    socklen_t len = sizeof n;
    // MSG_TRUNC makes the call return the datagram's real length, so a cut is visible as on Windows.
    const ssize_t got = recvfrom(h, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&n), &len);
    if (got < 0) {
        io.result = LastError();
        return io;
    }
    const auto real = static_cast<std::size_t>(got);
    io.truncated = real > size;
    io.bytes = io.truncated ? size : real;
    if (from != nullptr) {
        *from = FromNative(n);
    }
    return io;
}

}  // namespace platform

#endif  // !_WIN32
