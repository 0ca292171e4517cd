// The socket calls whose shape differs on Windows; the rest are shared (socket_common.cpp).
#ifdef _WIN32

#include "platform/sys_error.h"
#include "platform/win32/socket_native.h"

namespace platform {

std::wstring SocketErrorText(const SocketResult& result) {
    return SystemErrorText(static_cast<SysErrorCode>(result.code));
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
        return SocketResult::FromNative(::WSAGetLastError());
    }
    out = static_cast<SocketHandle>(s);
    return SocketResult::Ok();
}

SocketResult SetNonBlocking(SocketHandle h, bool non_blocking) noexcept {
    u_long on = non_blocking ? 1 : 0;
    if (::ioctlsocket(static_cast<SOCKET>(h), FIONBIO, &on) != 0) {
        return SocketResult::FromNative(::WSAGetLastError());
    }
    return SocketResult::Ok();
}

}  // namespace platform

#endif  // _WIN32
