#pragma once

// Loopback helpers shared by the test programs.

#include <cstdint>

#include "platform/socket.h"

namespace testing_support {

// A port on 127.0.0.1 that was free a moment ago (the system's choice for port 0).
inline std::uint16_t FreeLoopbackPort() {
    // Windows needs the socket library started before the first socket; kept for the whole test program.
    static const bool kSocketsReady = platform::StartSocketLibrary().ok();
    (void)kSocketsReady;
    platform::SocketHandle h = platform::kInvalidSocket;
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return 0;
    }
    platform::UniqueSocket sock(h);
    platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
    if (!platform::Bind(h, local).ok() || !platform::GetLocalAddress(h, local).ok()) {
        return 0;
    }
    return local.Port();
}

}  // namespace testing_support
