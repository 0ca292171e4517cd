#ifdef _WIN32

// winsock2.h must come before windows.h, or the old Winsock 1 header (with other option numbers) wins.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

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
static_assert(sizeof(SOCKET) == sizeof(SocketHandle));
static_assert(INVALID_SOCKET == kInvalidSocket);

namespace {

SocketResult LastError() noexcept {
    return SocketResult::FromNative(::WSAGetLastError());
}

SOCKET S(SocketHandle h) noexcept {
    return static_cast<SOCKET>(h);
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

IN_ADDR InAddr(const SockAddrIn& a) noexcept {
    IN_ADDR n;
    std::memcpy(&n, a.addr, sizeof n);
    return n;
}

SocketResult SetIntOption(SocketHandle h, int level, int name, int value) noexcept {
    const DWORD v = static_cast<DWORD>(value);
    if (::setsockopt(S(h), level, name, reinterpret_cast<const char*>(&v), sizeof v) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult GetIntOption(SocketHandle h, int level, int name, int& value) noexcept {
    // Some options are a BOOL or DWORD, older ones a single byte: read into a zeroed DWORD.
    DWORD v = 0;
    int len = sizeof v;
    if (::getsockopt(S(h), level, name, reinterpret_cast<char*>(&v), &len) != 0) {
        return LastError();
    }
    value = len == 1 ? static_cast<int>(v & 0xFF) : static_cast<int>(v);
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

SocketResult SetMembership(SocketHandle h, int name, const SockAddrIn& group,
                           const SockAddrIn& iface) noexcept {
    ip_mreq m{};
    m.imr_multiaddr = InAddr(group);
    m.imr_interface = InAddr(iface);
    if (::setsockopt(S(h), IPPROTO_IP, name, reinterpret_cast<const char*>(&m), sizeof m) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

bool TooLong(std::size_t size) noexcept {
    return size > static_cast<std::size_t>(INT_MAX);
}

}  // namespace

SocketErrorKind ClassifySocketError(int code) noexcept {
    switch (code) {
        case 0:
            return SocketErrorKind::kNone;
        case WSAEWOULDBLOCK:
            return SocketErrorKind::kWouldBlock;
        case WSAEINPROGRESS:
            return SocketErrorKind::kInProgress;
        case WSAEALREADY:
            return SocketErrorKind::kAlready;
        case WSAEINTR:
            return SocketErrorKind::kInterrupted;
        case WSAECONNRESET:
            return SocketErrorKind::kConnectionReset;
        case WSAECONNREFUSED:
            return SocketErrorKind::kConnectionRefused;
        case WSAECONNABORTED:
            return SocketErrorKind::kConnectionAborted;
        case WSAENOTCONN:
            return SocketErrorKind::kNotConnected;
        case WSAEISCONN:
            return SocketErrorKind::kAlreadyConnected;
        case WSAESHUTDOWN:
            return SocketErrorKind::kShutdown;
        case WSAETIMEDOUT:
            return SocketErrorKind::kTimedOut;
        case WSAEADDRINUSE:
            return SocketErrorKind::kAddressInUse;
        case WSAEADDRNOTAVAIL:
            return SocketErrorKind::kAddressNotAvailable;
        case WSAENETDOWN:
            return SocketErrorKind::kNetworkDown;
        case WSAENETUNREACH:
            return SocketErrorKind::kNetworkUnreachable;
        case WSAENETRESET:
            return SocketErrorKind::kConnectionReset;
        case WSAEHOSTUNREACH:
            return SocketErrorKind::kHostUnreachable;
        case WSAEMSGSIZE:
            return SocketErrorKind::kMessageTooLong;
        case WSAENOBUFS:
        case WSA_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return SocketErrorKind::kNoBuffers;
        case WSAEACCES:
            return SocketErrorKind::kAccessDenied;
        case WSAEINVAL:
        case WSAEFAULT:
        case WSA_INVALID_PARAMETER:
            return SocketErrorKind::kInvalidArgument;
        case WSAENOTSOCK:
        case WSAEBADF:
        case WSA_INVALID_HANDLE:
            return SocketErrorKind::kNotASocket;
        case WSAEOPNOTSUPP:
        case WSAENOPROTOOPT:
        case WSAEPROTONOSUPPORT:
        case WSAESOCKTNOSUPPORT:
        case WSAEAFNOSUPPORT:
        case WSAEPFNOSUPPORT:
        case WSAVERNOTSUPPORTED:
            return SocketErrorKind::kNotSupported;
        case WSANOTINITIALISED:
            return SocketErrorKind::kNotInitialised;
        case WSAHOST_NOT_FOUND:
            return SocketErrorKind::kHostNotFound;
        case WSANO_DATA:
            return SocketErrorKind::kNoAddress;
        case WSATRY_AGAIN:
        case WSANO_RECOVERY:
        case WSATYPE_NOT_FOUND:
            return SocketErrorKind::kResolverFailure;
        default:
            return SocketErrorKind::kOther;
    }
}

std::wstring SocketErrorText(const SocketResult& result) {
    return SystemErrorText(static_cast<SysErrorCode>(result.code));
}

SocketResult ResolveIPv4(std::wstring_view host, SockAddrIn& out) {
    if (host.empty() || host.find(L'\0') != std::wstring_view::npos) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    const std::wstring name(host);
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    ADDRINFOW* list = nullptr;
    const int rc = ::GetAddrInfoW(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        return SocketResult::FromNative(rc);
    }
    SocketResult result = SocketResult::FromNative(WSAHOST_NOT_FOUND);
    for (const ADDRINFOW* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            out = FromNative(sin);
            out.SetPort(0);
            result = SocketResult::Ok();
            break;
        }
    }
    ::FreeAddrInfoW(list);
    return result;
}

SocketResult ResolveIPv4(std::string_view host, SockAddrIn& out) {
    if (host.empty() || host.find('\0') != std::string_view::npos) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    const std::wstring wide = Utf8ToWide(host);
    if (wide.empty()) {
        return SocketResult::FromNative(WSAEINVAL);
    }
    return ResolveIPv4(std::wstring_view(wide), out);
}

SocketResult StartSocketLibrary() noexcept {
    WSADATA data{};
    // WSAStartup reports its failure as its result, not through WSAGetLastError.
    return SocketResult::FromNative(::WSAStartup(MAKEWORD(2, 2), &data));
}

void StopSocketLibrary() noexcept {
    ::WSACleanup();
}

SocketResult OpenSocket(SocketKind kind, SocketHandle& out) noexcept {
    const bool udp = kind == SocketKind::kUdp;
    const int type = udp ? SOCK_DGRAM : SOCK_STREAM;
    const int proto = udp ? IPPROTO_UDP : IPPROTO_TCP;
    SOCKET s =
        ::WSASocketW(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 do not know the no-inherit flag.
        s = ::WSASocketW(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET) {
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (s == INVALID_SOCKET) {
        out = kInvalidSocket;
        return LastError();
    }
    out = static_cast<SocketHandle>(s);
    return SocketResult::Ok();
}

SocketResult CloseSocket(SocketHandle h) noexcept {
    if (h == kInvalidSocket) {
        return SocketResult::FromNative(WSAENOTSOCK);
    }
    if (::closesocket(S(h)) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult ShutdownSocket(SocketHandle h) noexcept {
    if (::shutdown(S(h), SD_BOTH) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult SetNonBlocking(SocketHandle h, bool non_blocking) noexcept {
    u_long on = non_blocking ? 1 : 0;
    if (::ioctlsocket(S(h), FIONBIO, &on) != 0) {
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
    l.l_onoff = static_cast<u_short>(on ? 1 : 0);
    l.l_linger = static_cast<u_short>(seconds < 0 ? 0 : (seconds > 0xFFFF ? 0xFFFF : seconds));
    if (::setsockopt(S(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult SetTcpNoDelay(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

SocketResult SetMulticastInterface(SocketHandle h, const SockAddrIn& iface) noexcept {
    const IN_ADDR a = InAddr(iface);
    if (::setsockopt(S(h), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&a), sizeof a) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult GetMulticastInterface(SocketHandle h, SockAddrIn& iface) noexcept {
    IN_ADDR a{};
    int len = sizeof a;
    if (::getsockopt(S(h), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<char*>(&a), &len) != 0) {
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
    if (::bind(S(h), reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult Connect(SocketHandle h, const SockAddrIn& remote) noexcept {
    const sockaddr_in n = ToNative(remote);
    if (::connect(S(h), reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0) {
        SocketResult r = LastError();
        if (r.WouldBlock()) {
            // Winsock's way of saying "started"; keep its number, give it the portable meaning.
            r.kind = SocketErrorKind::kInProgress;
        }
        return r;
    }
    return SocketResult::Ok();
}

SocketResult Listen(SocketHandle h, int backlog) noexcept {
    if (::listen(S(h), backlog < 0 ? 0 : backlog) != 0) {
        return LastError();
    }
    return SocketResult::Ok();
}

SocketResult Accept(SocketHandle h, SocketHandle& out, SockAddrIn* peer) noexcept {
    sockaddr_in n{};
    int len = sizeof n;
    const SOCKET s = ::accept(S(h), reinterpret_cast<sockaddr*>(&n), &len);
    if (s == INVALID_SOCKET) {
        out = kInvalidSocket;
        return LastError();
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    out = static_cast<SocketHandle>(s);
    if (peer != nullptr) {
        *peer = FromNative(n);
    }
    return SocketResult::Ok();
}

SocketResult GetLocalAddress(SocketHandle h, SockAddrIn& local) noexcept {
    sockaddr_in n{};
    int len = sizeof n;
    if (::getsockname(S(h), reinterpret_cast<sockaddr*>(&n), &len) != 0) {
        return LastError();
    }
    local = FromNative(n);
    return SocketResult::Ok();
}

SocketResult GetPeerAddress(SocketHandle h, SockAddrIn& peer) noexcept {
    sockaddr_in n{};
    int len = sizeof n;
    if (::getpeername(S(h), reinterpret_cast<sockaddr*>(&n), &len) != 0) {
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
        io.result = SocketResult::FromNative(WSAEMSGSIZE);
        return io;
    }
    const int n = ::send(S(h), static_cast<const char*>(data), static_cast<int>(size), 0);
    if (n == SOCKET_ERROR) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(n);
    }
    return io;
}

SocketIo Recv(SocketHandle h, void* buffer, std::size_t size) noexcept {
    SocketIo io;
    const int len = TooLong(size) ? INT_MAX : static_cast<int>(size);
    const int n = ::recv(S(h), static_cast<char*>(buffer), len, 0);
    if (n == SOCKET_ERROR) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(n);
    }
    return io;
}

SocketIo SendTo(SocketHandle h, const void* data, std::size_t size, const SockAddrIn& dest) noexcept {
    SocketIo io;
    if (TooLong(size)) {
        io.result = SocketResult::FromNative(WSAEMSGSIZE);
        return io;
    }
    const sockaddr_in n = ToNative(dest);
    const int sent = ::sendto(S(h), static_cast<const char*>(data), static_cast<int>(size), 0,
                              reinterpret_cast<const sockaddr*>(&n), sizeof n);
    if (sent == SOCKET_ERROR) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(sent);
    }
    return io;
}

SocketIo RecvFrom(SocketHandle h, void* buffer, std::size_t size, SockAddrIn* from) noexcept {
    SocketIo io;
    const int len = TooLong(size) ? INT_MAX : static_cast<int>(size);
    sockaddr_in n{};
    int from_len = sizeof n;
    const int got =
        ::recvfrom(S(h), static_cast<char*>(buffer), len, 0, reinterpret_cast<sockaddr*>(&n), &from_len);
    if (got == SOCKET_ERROR) {
        const int code = ::WSAGetLastError();
        if (code != WSAEMSGSIZE) {
            io.result = SocketResult::FromNative(code);
            return io;
        }
        // The buffer holds the first `len` bytes of a longer datagram; the rest is gone.
        io.truncated = true;
        io.bytes = static_cast<std::size_t>(len);
    } else {
        io.bytes = static_cast<std::size_t>(got);
    }
    if (from != nullptr) {
        *from = FromNative(n);
    }
    return io;
}

}  // namespace platform

#endif  // _WIN32
