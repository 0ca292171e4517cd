// The few names and calls in which Winsock differs from BSD sockets, for the shared socket source.
#pragma once

#ifdef _WIN32

// winsock2.h must come before windows.h, or the old Winsock 1 header (with other option numbers) wins.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/utf8.h"

// The native error number of a row of the shared error table: the second argument on Windows.
#define PLATFORM_SOCKET_ERROR(posix, windows) windows

namespace platform::native {

static_assert(sizeof(SOCKET) == sizeof(SocketHandle));
static_assert(INVALID_SOCKET == kInvalidSocket);

using Socket = SOCKET;
using AddrLen = int;
using IoLen = int;
using AddrInfo = ADDRINFOW;
using ResolverText = std::wstring;

inline Socket S(SocketHandle h) noexcept {
    return static_cast<SOCKET>(h);
}
inline int LastError() noexcept {
    return ::WSAGetLastError();
}

inline constexpr int kInvalidArgument = WSAEINVAL;
inline constexpr int kBadHandle = WSAENOTSOCK;
inline constexpr int kMessageTooLong = WSAEMSGSIZE;
inline constexpr int kNameNotFound = WSAHOST_NOT_FOUND;
inline constexpr int kShutBoth = SD_BOTH;
inline constexpr int kSendFlags = 0;
// A longer datagram fails with WSAEMSGSIZE after filling the buffer.
inline constexpr int kRecvFromFlags = 0;
// Winsock's way of saying "started" to a non-blocking connect.
inline constexpr bool kConnectWouldBlockMeansStarted = true;

inline int Close(Socket s) noexcept {
    return ::closesocket(s);
}

inline SocketHandle AcceptNoInherit(Socket s, sockaddr* peer, AddrLen* len) noexcept {
    const SOCKET accepted = ::accept(s, peer, len);
    if (accepted != INVALID_SOCKET) {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    }
    return static_cast<SocketHandle>(accepted);
}

// SO_LINGER keeps its seconds in an unsigned short.
inline int LingerSeconds(int seconds) noexcept {
    return seconds < 0 ? 0 : (seconds > 0xFFFF ? 0xFFFF : seconds);
}

inline ResolverText ToResolverText(std::string_view utf8) {
    return Utf8ToWide(utf8);
}
inline ResolverText ToResolverText(std::wstring_view wide) {
    return std::wstring(wide);
}
inline int GetAddrInfo(const ResolverText& name, const AddrInfo* hints, AddrInfo** list) noexcept {
    return ::GetAddrInfoW(name.c_str(), nullptr, hints, list);
}
inline void FreeAddrInfo(AddrInfo* list) noexcept {
    ::FreeAddrInfoW(list);
}
inline int ResolverError(int rc) noexcept {
    return rc;
}

}  // namespace platform::native

#endif  // _WIN32
