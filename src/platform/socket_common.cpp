// The system-independent part of the socket layer: result construction, names and address text.
#include <array>
#include <cstdio>

#include "platform/poller.h"
#include "platform/socket.h"

namespace platform {

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

}  // namespace platform
