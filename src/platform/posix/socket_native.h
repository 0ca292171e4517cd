// The few names and calls in which BSD sockets differ from Winsock, for the shared socket source.
#pragma once

#ifndef _WIN32

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/utf8.h"

// The native error number of a row of the shared error table: the first argument on POSIX.
#define PLATFORM_SOCKET_ERROR(posix, windows) posix

// Some C libraries lack these two resolver codes; a name without data then reads as unknown.
#ifndef EAI_NODATA
#define EAI_NODATA EAI_NONAME
#endif
#ifndef EAI_ADDRFAMILY
#define EAI_ADDRFAMILY EAI_NONAME
#endif

namespace platform::native {

using Socket = int;
using AddrLen = socklen_t;
using IoLen = std::size_t;
using AddrInfo = addrinfo;
using ResolverText = std::string;

inline Socket S(SocketHandle h) noexcept {
    return h;
}
inline int LastError() noexcept {
    return errno;
}

inline constexpr int kInvalidArgument = EINVAL;
inline constexpr int kBadHandle = EBADF;
inline constexpr int kMessageTooLong = EMSGSIZE;
inline constexpr int kNameNotFound = EAI_NONAME;
inline constexpr int kShutBoth = SHUT_RDWR;
// Sending never raises SIGPIPE.
inline constexpr int kSendFlags = MSG_NOSIGNAL;
// The call returns the datagram's real length, so a cut is visible as on Windows.
inline constexpr int kRecvFromFlags = MSG_TRUNC;
// EAGAIN from connect means "no local port left" here, not "started".
inline constexpr bool kConnectWouldBlockMeansStarted = false;

// The descriptor is released even when close reports an error; never retry it.
inline int Close(Socket s) noexcept {
    return close(s) != 0 && errno != EINTR ? -1 : 0;
}

inline SocketHandle AcceptNoInherit(Socket s, sockaddr* peer, AddrLen* len) noexcept {
    const int accepted = accept4(s, peer, len, SOCK_CLOEXEC);
    return accepted < 0 ? kInvalidSocket : accepted;
}

// SO_LINGER's seconds pass as they are.
inline int LingerSeconds(int seconds) noexcept {
    return seconds;
}

inline ResolverText ToResolverText(std::string_view utf8) {
    return std::string(utf8);
}
inline ResolverText ToResolverText(std::wstring_view wide) {
    return WideToUtf8(wide);
}
inline int GetAddrInfo(const ResolverText& name, const AddrInfo* hints, AddrInfo** list) noexcept {
    return getaddrinfo(name.c_str(), nullptr, hints, list);
}
inline void FreeAddrInfo(AddrInfo* list) noexcept {
    freeaddrinfo(list);
}
// The resolver's "system error" hides the real cause in errno.
inline int ResolverError(int rc) noexcept {
    return rc == EAI_SYSTEM ? errno : rc;
}

}  // namespace platform::native

#endif  // !_WIN32
