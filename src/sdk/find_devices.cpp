#include <norvane/sdk.h>

#include "common/environment.h"
#include "devices/broadcast_receiver.h"
#include "platform/socket.h"
#include "platform/utf8.h"
#include "sdk/find_devices.h"
#include "sdk/kx410.h"

namespace Norvane::SDK {

namespace {

bool FindDevices(const std::string& host_network_addr, unsigned int host_port,
                 const std::string& broadcast_network_addr, unsigned int broadcast_port,
                 std::chrono::milliseconds wait, std::vector<DeviceInfoEx>& norvane_devices_list) {
    norvane_devices_list.clear();
    if (host_port > 0xFFFFu || broadcast_port > 0xFFFFu) {
        // Cut to 16 bits it would be some other port.
        WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                     FormatLine(L"FindActiveDevices: port out of range (%u, %u)", host_port, broadcast_port));
        return false;
    }
    std::vector<DiscoveredDevice> found;
    {
        const platform::SocketLibraryScope sockets;  // on Windows the sockets need it started
        const Network::SockAddr local(Utf8ToWide(host_network_addr), static_cast<std::uint16_t>(host_port));
        const Network::SockAddr target(Utf8ToWide(broadcast_network_addr),
                                       static_cast<std::uint16_t>(broadcast_port));
        if (!local.IsValid() || !target.IsValid()) {
            // An address that does not parse would leave the search on some other address, or none.
            WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                         L"FindActiveDevices: '" +
                             Utf8ToWide(local.IsValid() ? broadcast_network_addr : host_network_addr) +
                             L"' is not an IPv4 address");
            return false;
        }
        if (!BroadcastReceiver::Find(local, target, found, wait).IsOk()) {
            return false;
        }
    }
    for (const DiscoveredDevice& d : found) {
        DeviceInfoEx info;
        static_cast<DeviceInfo&>(info) = ToDeviceInfo(d.description);
        info.address = WideToUtf8(d.source.AddrToString());
        info.port = d.source.GetPort();
        norvane_devices_list.push_back(std::move(info));
    }
    return true;
}

}  // namespace

bool FindDevicesWaiting(const std::string& host_network_addr, unsigned int host_port,
                        const std::string& broadcast_network_addr, unsigned int broadcast_port,
                        std::chrono::milliseconds wait, std::vector<DeviceInfoEx>& norvane_devices_list) {
    const bool found = NoThrowCall(L"FindActiveDevices", false, [&] {
        return FindDevices(host_network_addr, host_port, broadcast_network_addr, broadcast_port, wait,
                           norvane_devices_list);
    });
    if (!found) {
        // Whatever a failed search had put in the list goes.
        norvane_devices_list.clear();
    }
    return found;
}

bool FindActiveDevices(const std::string& host_network_addr, unsigned int host_port,
                       const std::string& broadcast_network_addr, unsigned int broadcast_port,
                       std::vector<DeviceInfoEx>& norvane_devices_list) {
    return FindDevicesWaiting(host_network_addr, host_port, broadcast_network_addr, broadcast_port,
                              kDiscoveryWait, norvane_devices_list);
}

}  // namespace Norvane::SDK
