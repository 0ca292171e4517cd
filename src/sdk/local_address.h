// The local end of a session with a device, when the application does not name one: the address the
// system sends to the device from, the one the device can send its audio back to.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace Norvane::SDK {

// The local IPv4 address (port 0) the system's routing chooses for sending to host:port. Connecting a UDP
// socket finds it and sends nothing. False, with the reason in `error`, when the host does not resolve or
// no route leads to it. Starts the socket library for its own use.
bool LocalAddressTowards(const std::string& host, std::uint16_t port, platform::SockAddrIn& local,
                         std::string& error);

}  // namespace Norvane::SDK
