// The system-independent part of the socket layer: result construction, names and address text, and
// every socket call whose shape is the same over BSD sockets and Winsock; the differences are the few
// names of the backend's socket_native.h.
#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/poller.h"
#include "platform/socket.h"

#ifdef _WIN32
#include "platform/win32/socket_native.h"
#else
#include "platform/posix/socket_native.h"
#endif

namespace platform {

static_assert(AF_INET == kAddressFamilyIPv4);
static_assert(sizeof(sockaddr_in) == sizeof(SockAddrIn));
static_assert(offsetof(sockaddr_in, sin_family) == offsetof(SockAddrIn, family));
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SockAddrIn, port));
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SockAddrIn, addr));

SocketResult SocketResult::FromNative(int native_code) noexcept {
    if (native_code == 0) {
        return Ok();
    }
    SocketErrorKind kind = ClassifySocketError(native_code);
    // A failure must never read as success, whatever the table says.
    return {native_code, kind == SocketErrorKind::kNone ? SocketErrorKind::kOther : kind};
}

const char* SocketErrorKindName(SocketErrorKind kind) noexcept {
    switch (kind) {
        case SocketErrorKind::kNone:
            return "no error";
        case SocketErrorKind::kWouldBlock:
            return "would block";
        case SocketErrorKind::kInProgress:
            return "in progress";
        case SocketErrorKind::kAlready:
            return "already in progress";
        case SocketErrorKind::kInterrupted:
            return "interrupted";
        case SocketErrorKind::kConnectionReset:
            return "connection reset";
        case SocketErrorKind::kConnectionRefused:
            return "connection refused";
        case SocketErrorKind::kConnectionAborted:
            return "connection aborted";
        case SocketErrorKind::kNotConnected:
            return "not connected";
        case SocketErrorKind::kAlreadyConnected:
            return "already connected";
        case SocketErrorKind::kShutdown:
            return "shut down";
        case SocketErrorKind::kTimedOut:
            return "timed out";
        case SocketErrorKind::kAddressInUse:
            return "address in use";
        case SocketErrorKind::kAddressNotAvailable:
            return "address not available";
        case SocketErrorKind::kNetworkDown:
            return "network down";
        case SocketErrorKind::kNetworkUnreachable:
            return "network unreachable";
        case SocketErrorKind::kHostUnreachable:
            return "host unreachable";
        case SocketErrorKind::kMessageTooLong:
            return "message too long";
        case SocketErrorKind::kNoBuffers:
            return "no buffer space";
        case SocketErrorKind::kAccessDenied:
            return "access denied";
        case SocketErrorKind::kInvalidArgument:
            return "invalid argument";
        case SocketErrorKind::kNotASocket:
            return "not a socket";
        case SocketErrorKind::kNotSupported:
            return "not supported";
        case SocketErrorKind::kNotInitialised:
            return "socket library not started";
        case SocketErrorKind::kHostNotFound:
            return "host not found";
        case SocketErrorKind::kNoAddress:
            return "no address for host";
        case SocketErrorKind::kResolverFailure:
            return "name resolution failed";
        case SocketErrorKind::kOther:
            return "socket error";
    }
    return "socket error";
}

std::string FormatAddress(const SockAddrIn& a) {
    std::array<char, 16> text{};  // "255.255.255.255" and its terminator
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u", unsigned{a.addr[0]}, unsigned{a.addr[1]},
                  unsigned{a.addr[2]}, unsigned{a.addr[3]});
    return text.data();
}

std::string FormatEndpoint(const SockAddrIn& a) {
    return FormatAddress(a) + ":" + std::to_string(a.Port());
}

namespace {
std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}
}  // namespace

std::wstring FormatAddressW(const SockAddrIn& a) {
    return Widen(FormatAddress(a));
}

std::wstring FormatEndpointW(const SockAddrIn& a) {
    return Widen(FormatEndpoint(a));
}

std::wstring SocketEventNames(std::uint32_t events) {
    struct Name {
        std::uint32_t bit;
        const wchar_t* text;
    };
    static constexpr Name kNames[] = {
        {kSockIdle, L"IDLE"},          {kSockRead, L"FD_READ"},   {kSockWrite, L"FD_WRITE"},
        {kSockOob, L"FD_OOB"},         {kSockClose, L"FD_CLOSE"}, {kSockAccept, L"FD_ACCEPT"},
        {kSockConnect, L"FD_CONNECT"}, {kSockError, L"SOCK_ERR"},
    };
    std::wstring out;
    for (const Name& n : kNames) {
        if ((events & n.bit) != 0) {
            out += n.text;
            out += L' ';
        }
    }
    return out;
}

namespace {

using native::S;

SocketResult LastError() noexcept {
    return SocketResult::FromNative(native::LastError());
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

SocketResult Check(int rc) noexcept {
    return rc != 0 ? LastError() : SocketResult::Ok();
}

SocketResult SetOption(SocketHandle h, int level, int name, const void* value, std::size_t size) noexcept {
    return Check(
        ::setsockopt(S(h), level, name, static_cast<const char*>(value), static_cast<native::AddrLen>(size)));
}

SocketResult SetIntOption(SocketHandle h, int level, int name, int value) noexcept {
    return SetOption(h, level, name, &value, sizeof value);
}

SocketResult GetIntOption(SocketHandle h, int level, int name, int& value) noexcept {
    // Some options are an int, BOOL or DWORD, older ones a single byte: read into a zeroed int.
    int v = 0;
    native::AddrLen len = sizeof v;
    if (::getsockopt(S(h), level, name, reinterpret_cast<char*>(&v), &len) != 0) {
        return LastError();
    }
    value = len == 1 ? (v & 0xFF) : v;
    return SocketResult::Ok();
}

SocketResult SetMembership(SocketHandle h, int name, const SockAddrIn& group,
                           const SockAddrIn& iface) noexcept {
    ip_mreq m{};
    std::memcpy(&m.imr_multiaddr, group.addr, sizeof m.imr_multiaddr);
    std::memcpy(&m.imr_interface, iface.addr, sizeof m.imr_interface);
    return SetOption(h, IPPROTO_IP, name, &m, sizeof m);
}

SocketResult GetAddress(int (*call)(native::Socket, sockaddr*, native::AddrLen*), SocketHandle h,
                        SockAddrIn& out) noexcept {
    sockaddr_in n{};
    native::AddrLen len = sizeof n;
    if (call(S(h), reinterpret_cast<sockaddr*>(&n), &len) != 0) {
        return LastError();
    }
    out = FromNative(n);
    return SocketResult::Ok();
}

bool TooLong(std::size_t size) noexcept {
    return size > static_cast<std::size_t>(INT_MAX);
}

// The result of send and sendto, whose byte counts are ssize_t on POSIX and int on Windows.
template <typename Count>
SocketIo Transferred(Count n) noexcept {
    SocketIo io;
    if (n < 0) {
        io.result = LastError();
    } else {
        io.bytes = static_cast<std::size_t>(n);
    }
    return io;
}

template <typename Char>
SocketResult Resolve(std::basic_string_view<Char> host, SockAddrIn& out) {
    if (host.empty() || host.find(Char{0}) != std::basic_string_view<Char>::npos) {
        return SocketResult::FromNative(native::kInvalidArgument);
    }
    const native::ResolverText name = native::ToResolverText(host);
    if (name.empty()) {
        return SocketResult::FromNative(native::kInvalidArgument);
    }
    native::AddrInfo hints{};
    hints.ai_family = AF_INET;
    native::AddrInfo* list = nullptr;
    const int rc = native::GetAddrInfo(name, &hints, &list);
    if (rc != 0) {
        return SocketResult::FromNative(native::ResolverError(rc));
    }
    SocketResult result = SocketResult::FromNative(native::kNameNotFound);
    for (const native::AddrInfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            out = FromNative(sin);
            out.SetPort(0);
            result = SocketResult::Ok();
            break;
        }
    }
    native::FreeAddrInfo(list);
    return result;
}

struct ErrorRow {
    SocketErrorKind kind;
    int code;
};

// Each system reads its own column; a row pairs two numbers of one meaning, 0 where a system has none.
#define ROW(kind, posix, windows) \
    { SocketErrorKind::kind, PLATFORM_SOCKET_ERROR(posix, windows) }
constexpr ErrorRow kErrorTable[] = {
    ROW(kWouldBlock, EAGAIN, WSAEWOULDBLOCK),
    ROW(kWouldBlock, EWOULDBLOCK, WSAEWOULDBLOCK),
    ROW(kInProgress, EINPROGRESS, WSAEINPROGRESS),
    ROW(kAlready, EALREADY, WSAEALREADY),
    ROW(kInterrupted, EINTR, WSAEINTR),
    ROW(kConnectionReset, ECONNRESET, WSAECONNRESET),
    ROW(kConnectionReset, 0, WSAENETRESET),
    ROW(kConnectionRefused, ECONNREFUSED, WSAECONNREFUSED),
    ROW(kConnectionAborted, ECONNABORTED, WSAECONNABORTED),
    ROW(kNotConnected, ENOTCONN, WSAENOTCONN),
    ROW(kAlreadyConnected, EISCONN, WSAEISCONN),
    ROW(kShutdown, EPIPE, WSAESHUTDOWN),
    ROW(kTimedOut, ETIMEDOUT, WSAETIMEDOUT),
    ROW(kAddressInUse, EADDRINUSE, WSAEADDRINUSE),
    ROW(kAddressNotAvailable, EADDRNOTAVAIL, WSAEADDRNOTAVAIL),
    ROW(kNetworkDown, ENETDOWN, WSAENETDOWN),
    ROW(kNetworkUnreachable, ENETUNREACH, WSAENETUNREACH),
    ROW(kHostUnreachable, EHOSTUNREACH, WSAEHOSTUNREACH),
    ROW(kMessageTooLong, EMSGSIZE, WSAEMSGSIZE),
    ROW(kNoBuffers, ENOBUFS, WSAENOBUFS),
    ROW(kNoBuffers, ENOMEM, WSA_NOT_ENOUGH_MEMORY),
    ROW(kNoBuffers, EAI_MEMORY, ERROR_OUTOFMEMORY),
    ROW(kAccessDenied, EACCES, WSAEACCES),
    ROW(kAccessDenied, EPERM, 0),
    ROW(kInvalidArgument, EINVAL, WSAEINVAL),
    ROW(kInvalidArgument, EEXIST, WSAEFAULT),
    ROW(kInvalidArgument, ENOENT, WSA_INVALID_PARAMETER),
    ROW(kNotASocket, EBADF, WSAEBADF),
    ROW(kNotASocket, ENOTSOCK, WSAENOTSOCK),
    ROW(kNotASocket, 0, WSA_INVALID_HANDLE),
    ROW(kNotSupported, EOPNOTSUPP, WSAEOPNOTSUPP),
    ROW(kNotSupported, ENOPROTOOPT, WSAENOPROTOOPT),
    ROW(kNotSupported, EPROTONOSUPPORT, WSAEPROTONOSUPPORT),
    ROW(kNotSupported, EAFNOSUPPORT, WSAEAFNOSUPPORT),
    ROW(kNotSupported, EAI_FAMILY, WSAESOCKTNOSUPPORT),
    ROW(kNotSupported, 0, WSAEPFNOSUPPORT),
    ROW(kNotSupported, 0, WSAVERNOTSUPPORTED),
    ROW(kNotInitialised, 0, WSANOTINITIALISED),
    ROW(kHostNotFound, EAI_NONAME, WSAHOST_NOT_FOUND),
    ROW(kNoAddress, EAI_NODATA, WSANO_DATA),
    ROW(kNoAddress, EAI_ADDRFAMILY, 0),
    ROW(kResolverFailure, 0, WSATRY_AGAIN),
    ROW(kResolverFailure, 0, WSANO_RECOVERY),
    ROW(kResolverFailure, 0, WSATYPE_NOT_FOUND),
};
#undef ROW

}  // namespace

SocketErrorKind ClassifySocketError(int code) noexcept {
    if (code == 0) {
        return SocketErrorKind::kNone;
    }
    for (const ErrorRow& row : kErrorTable) {
        if (row.code == code) {
            return row.kind;
        }
    }
    // Negative numbers are the POSIX resolver's own codes.
    return code < 0 ? SocketErrorKind::kResolverFailure : SocketErrorKind::kOther;
}

SocketResult ResolveIPv4(std::wstring_view host, SockAddrIn& out) {
    return Resolve(host, out);
}

SocketResult ResolveIPv4(std::string_view host, SockAddrIn& out) {
    return Resolve(host, out);
}

SocketResult CloseSocket(SocketHandle h) noexcept {
    if (h == kInvalidSocket) {
        return SocketResult::FromNative(native::kBadHandle);
    }
    return Check(native::Close(S(h)));
}

SocketResult ShutdownSocket(SocketHandle h) noexcept {
    return Check(::shutdown(S(h), native::kShutBoth));
}

// The setter and getter of an option that is an int on the wire (a flag is 0 or 1).
#define PLATFORM_SOCKET_OPTION(Name, Type, level, option)               \
    SocketResult Set##Name(SocketHandle h, Type value) noexcept {       \
        return SetIntOption(h, level, option, static_cast<int>(value)); \
    }                                                                   \
    SocketResult Get##Name(SocketHandle h, Type& value) noexcept {      \
        int v = 0;                                                      \
        SocketResult r = GetIntOption(h, level, option, v);             \
        value = r ? static_cast<Type>(v) : value;                       \
        return r;                                                       \
    }

PLATFORM_SOCKET_OPTION(Broadcast, bool, SOL_SOCKET, SO_BROADCAST)
PLATFORM_SOCKET_OPTION(ReuseAddress, bool, SOL_SOCKET, SO_REUSEADDR)
PLATFORM_SOCKET_OPTION(ReceiveBufferSize, int, SOL_SOCKET, SO_RCVBUF)
PLATFORM_SOCKET_OPTION(SendBufferSize, int, SOL_SOCKET, SO_SNDBUF)
PLATFORM_SOCKET_OPTION(MulticastLoopback, bool, IPPROTO_IP, IP_MULTICAST_LOOP)
PLATFORM_SOCKET_OPTION(MulticastTtl, int, IPPROTO_IP, IP_MULTICAST_TTL)
#undef PLATFORM_SOCKET_OPTION

SocketResult SetLinger(SocketHandle h, bool on, int seconds) noexcept {
    linger l{};
    l.l_onoff = static_cast<decltype(l.l_onoff)>(on ? 1 : 0);
    l.l_linger = static_cast<decltype(l.l_linger)>(native::LingerSeconds(seconds));
    return SetOption(h, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

SocketResult SetTcpNoDelay(SocketHandle h, bool on) noexcept {
    return SetIntOption(h, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

SocketResult SetMulticastInterface(SocketHandle h, const SockAddrIn& iface) noexcept {
    return SetOption(h, IPPROTO_IP, IP_MULTICAST_IF, iface.addr, sizeof iface.addr);
}

SocketResult GetMulticastInterface(SocketHandle h, SockAddrIn& iface) noexcept {
    in_addr a{};
    native::AddrLen len = sizeof a;
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

SocketResult Bind(SocketHandle h, const SockAddrIn& local) noexcept {
    const sockaddr_in n = ToNative(local);
    return Check(::bind(S(h), reinterpret_cast<const sockaddr*>(&n), sizeof n));
}

SocketResult Connect(SocketHandle h, const SockAddrIn& remote) noexcept {
    const sockaddr_in n = ToNative(remote);
    if (::connect(S(h), reinterpret_cast<const sockaddr*>(&n), sizeof n) != 0) {
        SocketResult r = LastError();
        if (native::kConnectWouldBlockMeansStarted && r.WouldBlock()) {
            // Keep the native number, give it the portable meaning.
            r.kind = SocketErrorKind::kInProgress;
        }
        return r;
    }
    return SocketResult::Ok();
}

SocketResult Listen(SocketHandle h, int backlog) noexcept {
    // The system caps the backlog itself.
    return Check(::listen(S(h), backlog < 0 ? 0 : backlog));
}

SocketResult Accept(SocketHandle h, SocketHandle& out, SockAddrIn* peer) noexcept {
    sockaddr_in n{};
    native::AddrLen len = sizeof n;
    out = native::AcceptNoInherit(S(h), reinterpret_cast<sockaddr*>(&n), &len);
    if (out == kInvalidSocket) {
        return LastError();
    }
    if (peer != nullptr) {
        *peer = FromNative(n);
    }
    return SocketResult::Ok();
}

SocketResult GetLocalAddress(SocketHandle h, SockAddrIn& local) noexcept {
    return GetAddress(&::getsockname, h, local);
}

SocketResult GetPeerAddress(SocketHandle h, SockAddrIn& peer) noexcept {
    return GetAddress(&::getpeername, h, peer);
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
    if (TooLong(size)) {
        return {SocketResult::FromNative(native::kMessageTooLong)};
    }
    return Transferred(
        ::send(S(h), static_cast<const char*>(data), static_cast<native::IoLen>(size), native::kSendFlags));
}

SocketIo Recv(SocketHandle h, void* buffer, std::size_t size) noexcept {
    const auto len = static_cast<native::IoLen>(std::min<std::size_t>(size, INT_MAX));
    return Transferred(::recv(S(h), static_cast<char*>(buffer), len, 0));
}

SocketIo SendTo(SocketHandle h, const void* data, std::size_t size, const SockAddrIn& dest) noexcept {
    if (TooLong(size)) {
        return {SocketResult::FromNative(native::kMessageTooLong)};
    }
    const sockaddr_in n = ToNative(dest);
    return Transferred(::sendto(S(h), static_cast<const char*>(data), static_cast<native::IoLen>(size),
                                native::kSendFlags, reinterpret_cast<const sockaddr*>(&n), sizeof n));
}

SocketIo RecvFrom(SocketHandle h, void* buffer, std::size_t size, SockAddrIn* from) noexcept {
    SocketIo io;
    size = std::min<std::size_t>(size, INT_MAX);
    sockaddr_in n{};
    native::AddrLen from_len = sizeof n;
    const auto got = ::recvfrom(S(h), static_cast<char*>(buffer), static_cast<native::IoLen>(size),
                                native::kRecvFromFlags, reinterpret_cast<sockaddr*>(&n), &from_len);
    if (got < 0) {
        const int code = native::LastError();
        if (code != native::kMessageTooLong) {
            io.result = SocketResult::FromNative(code);
            return io;
        }
        // Winsock: the buffer holds the first `size` bytes of a longer datagram; the rest is gone.
        io.truncated = true;
        io.bytes = size;
    } else {
        // POSIX (MSG_TRUNC): the datagram's real length, which may exceed the buffer.
        const auto real = static_cast<std::size_t>(got);
        io.truncated = real > size;
        io.bytes = io.truncated ? size : real;
    }
    if (from != nullptr) {
        *from = FromNative(n);
    }
    return io;
}

}  // namespace platform
