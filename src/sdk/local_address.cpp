#include "sdk/local_address.h"

namespace Norvane::SDK {

namespace {

std::string Failure(const platform::SocketResult& result) {
    return std::string(platform::SocketErrorKindName(result.kind)) + " (" + std::to_string(result.code) + ")";
}

}  // namespace

bool LocalAddressTowards(const std::string& host, std::uint16_t port, platform::SockAddrIn& local,
                         std::string& error) {
    const platform::SocketLibraryScope library;
    platform::SockAddrIn destination;
    if (platform::SocketResult r = platform::ResolveIPv4(host, destination); !r) {
        error = "cannot resolve '" + host + "': " + Failure(r);
        return false;
    }
    destination.SetPort(port);
    const std::string remote = host + ":" + std::to_string(port);
    // A broadcast destination needs the broadcast option before the system chooses a route to it.
    platform::SocketHandle handle = platform::kInvalidSocket;
    if (platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kUdp, handle); !r) {
        error = "cannot open a UDP socket: " + Failure(r);
        return false;
    }
    const platform::UniqueSocket probe(handle);
    (void)platform::SetBroadcast(probe.Get(), true);
    if (platform::SocketResult r = platform::Connect(probe.Get(), destination); !r) {
        error = "no local address routes to " + remote + ": " + Failure(r);
        return false;
    }
    if (platform::SocketResult r = platform::GetLocalAddress(probe.Get(), local); !r) {
        error = "cannot read the local address towards " + remote + ": " + Failure(r);
        return false;
    }
    local.SetPort(0);
    return true;
}

}  // namespace Norvane::SDK
