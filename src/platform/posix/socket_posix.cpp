// The socket calls whose shape differs on POSIX; the rest are shared (socket_common.cpp).
#ifndef _WIN32

#include <fcntl.h>

#include "platform/posix/socket_native.h"
#include "platform/sys_error.h"

namespace platform {

std::wstring SocketErrorText(const SocketResult& result) {
    if (result.code < 0) {
        return Utf8ToWide(gai_strerror(result.code));
    }
    return SystemErrorText(static_cast<SysErrorCode>(result.code));
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
        return SocketResult::FromNative(errno);
    }
    return SocketResult::Ok();
}

SocketResult SetNonBlocking(SocketHandle h, bool non_blocking) noexcept {
    const int flags = fcntl(h, F_GETFL, 0);
    if (flags < 0) {
        return SocketResult::FromNative(errno);
    }
    const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(h, F_SETFL, wanted) != 0) {
        return SocketResult::FromNative(errno);
    }
    return SocketResult::Ok();
}

}  // namespace platform

#endif  // !_WIN32
