// Sockets: one portable surface over BSD sockets (POSIX) and Windows Sockets 2.2.
//
// Only IPv4 is offered. Every call returns the native error code of its failure right where it happened
// (errno or an EAI_* resolver code on POSIX, the WSA number on Windows), together with a portable
// classification, so that callers can test for "would block" or "connection reset" the same way on both
// systems while their messages still show the number the system gave (10054 on Windows, 104 on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

// The native socket handle: SOCKET (a pointer-sized unsigned number) on Windows, a file descriptor on
// POSIX.
#if defined(_WIN32)
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// ---------------------------------------------------------------------------------------------------
// Errors

// What a failure means, whatever its native number.
enum class SocketErrorKind : std::uint8_t {
    kNone,                 // no failure
    kWouldBlock,           // non-blocking call could not complete now (EAGAIN / WSAEWOULDBLOCK)
    kInProgress,           // a non-blocking connect was started (EINPROGRESS; WSAEWOULDBLOCK from connect)
    kAlready,              // an operation of this kind is already under way (EALREADY)
    kInterrupted,          // interrupted by a signal or a cancelled blocking call
    kConnectionReset,      // the peer reset the connection; on Windows also a UDP port-unreachable report
    kConnectionRefused,    // nobody listens at the destination
    kConnectionAborted,    // the local system aborted the connection
    kNotConnected,         // the socket has no peer
    kAlreadyConnected,     // connect on a connected socket
    kShutdown,             // sending after the sending direction was shut down (EPIPE / WSAESHUTDOWN)
    kTimedOut,             // the peer did not answer in time
    kAddressInUse,         // the local address is taken
    kAddressNotAvailable,  // the address is not one of this machine's, or not valid here
    kNetworkDown,          // the network subsystem or the interface is down
    kNetworkUnreachable,   // no route to the network
    kHostUnreachable,      // no route to the host
    kMessageTooLong,       // a datagram larger than the protocol allows
    kNoBuffers,            // the system ran out of buffer space or memory
    kAccessDenied,         // not permitted (for example a broadcast without the broadcast option)
    kInvalidArgument,      // an argument or the socket's state does not fit the call
    kNotASocket,           // the handle is not an open socket
    kNotSupported,         // the option, protocol or address family is not supported
    kNotInitialised,       // the socket library was not started (Windows only)
    kHostNotFound,         // name resolution: the name is unknown
    kNoAddress,            // name resolution: the name is known but has no IPv4 address
    kResolverFailure,      // name resolution failed for another reason (temporary or permanent)
    kOther,                // anything else; the native code tells more
};

// The outcome of one socket operation: ok, or the native code of the failure and what it means.
struct SocketResult {
    // Native code: errno value (positive) or EAI_* resolver code (negative) on POSIX; the WSA number on
    // Windows. 0 when the operation succeeded.
    int code = 0;
    SocketErrorKind kind = SocketErrorKind::kNone;

    [[nodiscard]] bool ok() const noexcept { return kind == SocketErrorKind::kNone; }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] bool Is(SocketErrorKind k) const noexcept { return kind == k; }
    [[nodiscard]] bool WouldBlock() const noexcept { return kind == SocketErrorKind::kWouldBlock; }

    static SocketResult Ok() noexcept { return {}; }
    // A result for a native code (0 gives success).
    static SocketResult FromNative(int native_code) noexcept;
};

// The meaning of a native code as this platform's socket calls and resolver report it.
[[nodiscard]] SocketErrorKind ClassifySocketError(int native_code) noexcept;

// A short fixed English name of a kind ("would block", "connection reset", ...), for log lines when the
// system has no text of its own.
[[nodiscard]] const char* SocketErrorKindName(SocketErrorKind kind) noexcept;

// The system's own message for a socket or resolver failure (may be empty: Wine, for one, has no text
// for many WSA numbers). Never throws.
[[nodiscard]] std::wstring SocketErrorText(const SocketResult& result);

// ---------------------------------------------------------------------------------------------------
// IPv4 endpoint in the system's 16-byte socket address layout

inline constexpr std::uint16_t kAddressFamilyIPv4 = 2;  // AF_INET on both systems

// Laid out exactly as the system's sockaddr_in, so it is handed to the socket calls as it is.
// Default: family 2, port 0, address 0.0.0.0 (any), zero padding.
struct SockAddrIn {
    std::uint16_t family = kAddressFamilyIPv4;  // host order
    std::uint8_t port[2] = {0, 0};              // big-endian
    std::uint8_t addr[4] = {0, 0, 0, 0};        // network order: addr[0] is the first number of a.b.c.d
    std::uint8_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};

    [[nodiscard]] std::uint16_t Port() const noexcept {
        return static_cast<std::uint16_t>((port[0] << 8) | port[1]);
    }
    void SetPort(std::uint16_t p) noexcept {
        port[0] = static_cast<std::uint8_t>(p >> 8);
        port[1] = static_cast<std::uint8_t>(p & 0xFF);
    }
    void SetAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) noexcept {
        addr[0] = a;
        addr[1] = b;
        addr[2] = c;
        addr[3] = d;
    }

    static SockAddrIn Make(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                           std::uint16_t p) noexcept {
        SockAddrIn s;
        s.SetAddress(a, b, c, d);
        s.SetPort(p);
        return s;
    }
    // 127.0.0.1 with the given port.
    static SockAddrIn Loopback(std::uint16_t p = 0) noexcept { return Make(127, 0, 0, 1, p); }

    friend bool operator==(const SockAddrIn&, const SockAddrIn&) = default;
};
static_assert(sizeof(SockAddrIn) == 16, "must match sockaddr_in");
static_assert(std::is_trivially_copyable_v<SockAddrIn> && std::is_standard_layout_v<SockAddrIn>);

// "a.b.c.d" and "a.b.c.d:port" (port in decimal), narrow and wide.
[[nodiscard]] std::string FormatAddress(const SockAddrIn& a);
[[nodiscard]] std::string FormatEndpoint(const SockAddrIn& a);
[[nodiscard]] std::wstring FormatAddressW(const SockAddrIn& a);
[[nodiscard]] std::wstring FormatEndpointW(const SockAddrIn& a);

// Resolves a host name or dotted quad to its first IPv4 address (getaddrinfo / GetAddrInfoW, IPv4 family
// only). On success `out` holds that address with port 0; on failure `out` is left untouched. An empty
// name or one holding a zero character fails with kInvalidArgument without asking the resolver.
[[nodiscard]] SocketResult ResolveIPv4(std::wstring_view host, SockAddrIn& out);
[[nodiscard]] SocketResult ResolveIPv4(std::string_view host_utf8, SockAddrIn& out);

// ---------------------------------------------------------------------------------------------------
// Library start-up

// Starts the socket library (WSAStartup 2.2 on Windows, counted per call; nothing on POSIX). Every
// successful call is paired with one StopSocketLibrary.
[[nodiscard]] SocketResult StartSocketLibrary() noexcept;
void StopSocketLibrary() noexcept;

// The socket library for the life of a scope (the start is counted, so nesting is harmless).
class SocketLibraryScope {
public:
    SocketLibraryScope() noexcept : started_(StartSocketLibrary().ok()) {}
    ~SocketLibraryScope() {
        if (started_) {
            StopSocketLibrary();
        }
    }
    SocketLibraryScope(const SocketLibraryScope&) = delete;
    SocketLibraryScope& operator=(const SocketLibraryScope&) = delete;

private:
    bool started_;
};

// ---------------------------------------------------------------------------------------------------
// Socket calls. All are thread-safe in the sense of the system calls they wrap; none throws.

enum class SocketKind : std::uint8_t { kUdp, kTcp };

// socket(AF_INET, SOCK_DGRAM/SOCK_STREAM, IPPROTO_UDP/IPPROTO_TCP); the handle is not inherited by child
// processes. `out` is kInvalidSocket on failure.
[[nodiscard]] SocketResult OpenSocket(SocketKind kind, SocketHandle& out) noexcept;
// closesocket / close. Closing kInvalidSocket fails with kNotASocket.
SocketResult CloseSocket(SocketHandle h) noexcept;
// shutdown of both directions.
SocketResult ShutdownSocket(SocketHandle h) noexcept;

[[nodiscard]] SocketResult SetNonBlocking(SocketHandle h, bool non_blocking) noexcept;

[[nodiscard]] SocketResult SetBroadcast(SocketHandle h, bool on) noexcept;
[[nodiscard]] SocketResult GetBroadcast(SocketHandle h, bool& on) noexcept;
[[nodiscard]] SocketResult SetReuseAddress(SocketHandle h, bool on) noexcept;
[[nodiscard]] SocketResult GetReuseAddress(SocketHandle h, bool& on) noexcept;
[[nodiscard]] SocketResult SetReceiveBufferSize(SocketHandle h, int bytes) noexcept;
[[nodiscard]] SocketResult GetReceiveBufferSize(SocketHandle h, int& bytes) noexcept;
[[nodiscard]] SocketResult SetSendBufferSize(SocketHandle h, int bytes) noexcept;
[[nodiscard]] SocketResult GetSendBufferSize(SocketHandle h, int& bytes) noexcept;
// SO_LINGER; on with 0 seconds makes a close reset the connection.
[[nodiscard]] SocketResult SetLinger(SocketHandle h, bool on, int seconds) noexcept;
[[nodiscard]] SocketResult SetTcpNoDelay(SocketHandle h, bool on) noexcept;

// Multicast: the interface outgoing multicast leaves by (IP_MULTICAST_IF; only the address of `iface`
// counts), group membership (IP_ADD_MEMBERSHIP / IP_DROP_MEMBERSHIP of `group` on the interface with the
// address of `iface`), loopback of own multicast and the time-to-live.
[[nodiscard]] SocketResult SetMulticastInterface(SocketHandle h, const SockAddrIn& iface) noexcept;
[[nodiscard]] SocketResult GetMulticastInterface(SocketHandle h, SockAddrIn& iface) noexcept;
[[nodiscard]] SocketResult JoinMulticastGroup(SocketHandle h, const SockAddrIn& group,
                                              const SockAddrIn& iface) noexcept;
[[nodiscard]] SocketResult LeaveMulticastGroup(SocketHandle h, const SockAddrIn& group,
                                               const SockAddrIn& iface) noexcept;
[[nodiscard]] SocketResult SetMulticastLoopback(SocketHandle h, bool on) noexcept;
[[nodiscard]] SocketResult GetMulticastLoopback(SocketHandle h, bool& on) noexcept;
[[nodiscard]] SocketResult SetMulticastTtl(SocketHandle h, int ttl) noexcept;
[[nodiscard]] SocketResult GetMulticastTtl(SocketHandle h, int& ttl) noexcept;

[[nodiscard]] SocketResult Bind(SocketHandle h, const SockAddrIn& local) noexcept;
// On a non-blocking socket a connect that has not completed yet fails with kInProgress on both systems
// (the native code stays EINPROGRESS / WSAEWOULDBLOCK).
[[nodiscard]] SocketResult Connect(SocketHandle h, const SockAddrIn& remote) noexcept;
// The backlog is clamped to what the system accepts.
[[nodiscard]] SocketResult Listen(SocketHandle h, int backlog) noexcept;
// `peer` may be null. The accepted handle is not inherited by child processes.
[[nodiscard]] SocketResult Accept(SocketHandle h, SocketHandle& out, SockAddrIn* peer) noexcept;
[[nodiscard]] SocketResult GetLocalAddress(SocketHandle h, SockAddrIn& local) noexcept;
[[nodiscard]] SocketResult GetPeerAddress(SocketHandle h, SockAddrIn& peer) noexcept;
// Reads and clears the socket's pending error (SO_ERROR): the outcome of a non-blocking connect.
[[nodiscard]] SocketResult TakePendingError(SocketHandle h, SocketResult& pending) noexcept;

// The outcome of one transfer.
struct SocketIo {
    SocketResult result;
    std::size_t bytes = 0;   // bytes sent, or bytes stored in the caller's buffer
    bool truncated = false;  // RecvFrom: the datagram was longer than the buffer and was cut

    [[nodiscard]] bool ok() const noexcept { return result.ok(); }
};

// Transfers larger than INT_MAX bytes fail with kMessageTooLong. Sending never raises SIGPIPE.
[[nodiscard]] SocketIo Send(SocketHandle h, const void* data, std::size_t size) noexcept;
// 0 bytes with success on a stream socket: the peer shut its sending direction down.
[[nodiscard]] SocketIo Recv(SocketHandle h, void* buffer, std::size_t size) noexcept;
[[nodiscard]] SocketIo SendTo(SocketHandle h, const void* data, std::size_t size,
                              const SockAddrIn& dest) noexcept;
// For datagram sockets. A datagram longer than `size` is cut to `size` bytes and reported with `truncated` on
// both systems (Windows reports it as WSAEMSGSIZE, Linux not at all); the rest of it is lost. `from` may be
// null.
[[nodiscard]] SocketIo RecvFrom(SocketHandle h, void* buffer, std::size_t size, SockAddrIn* from) noexcept;

// ---------------------------------------------------------------------------------------------------
// An owned socket handle, closed when the owner ends.
class UniqueSocket {
public:
    UniqueSocket() noexcept = default;
    explicit UniqueSocket(SocketHandle h) noexcept : h_(h) {}
    UniqueSocket(UniqueSocket&& other) noexcept : h_(other.Release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    ~UniqueSocket() { Reset(); }

    [[nodiscard]] SocketHandle Get() const noexcept { return h_; }
    [[nodiscard]] bool IsOpen() const noexcept { return h_ != kInvalidSocket; }
    SocketHandle Release() noexcept {
        SocketHandle h = h_;
        h_ = kInvalidSocket;
        return h;
    }
    void Reset(SocketHandle h = kInvalidSocket) noexcept {
        if (h_ != kInvalidSocket) {
            CloseSocket(h_);
        }
        h_ = h;
    }

private:
    SocketHandle h_ = kInvalidSocket;
};

}  // namespace platform
