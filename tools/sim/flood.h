// A hostile peer, so that users can see how their own hosts hold up: floods one address from a socket
// of its own with datagrams of one kind, at a given rate or as fast as the machine sends.
//
// Kinds sent from the flood socket (FloodSender):
//   ping       {"msg":"ping","msg_id":N}, a new N each time
//   ping-pair  {"msg":"ping","msg_id":N} then {"att":1,"msg":"ping","msg_id":N+1}: the second announces a
//              one-byte attachment that never comes, so a receiver holds it for reassembly
//   big-att    {"att":16777216,"msg":"ping","msg_id":N}: about 40 bytes announcing a 16 MiB attachment
//   garbage    datagrams that decode as nothing (no JSON, no zero byte, stray bytes)
// Kinds played by a simulated device (kxsim starts devices with the fault of the same name, see
// Faults::dev_info_flood and Faults::get_time_flood):
//   dev-info   every "dev_find" is answered by a stream of "dev_info" answers, each with a new msg_id
//   get-time   once a host sends the device anything, "get_time" requests stream to that host
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace Sim {

enum class FloodKind { kPing, kPingPair, kBigAtt, kGarbage, kDevInfo, kGetTime };

// "ping", "ping-pair", "big-att", "garbage", "dev-info", "get-time".
[[nodiscard]] const char* FloodKindName(FloodKind kind);
bool ParseFloodKind(std::string_view text, FloodKind& kind);
// True for the kinds a simulated device plays (dev-info, get-time).
[[nodiscard]] bool IsDeviceFlood(FloodKind kind);

// The attachment size big-att announces.
inline constexpr std::uint64_t kFloodBigAttachment = 16u * 1024 * 1024;

// The datagrams of one round of a sender kind (two for ping-pair, one for the others), with message ids
// from `next_id` on (advanced past them); garbage cycles through its forms by `next_id` too.
[[nodiscard]] std::vector<std::vector<std::uint8_t>> FloodRound(FloodKind kind, std::uint32_t& next_id);

// Reads "a.b.c.d:port" or "name:port" (port 1..65535); false with the reason in `error`.
bool ParseFloodTarget(std::string_view text, platform::SockAddrIn& out, std::string& error);

struct FloodSettings {
    FloodKind kind = FloodKind::kPing;
    platform::SockAddrIn target;
    platform::SockAddrIn local;  // the flood socket's address; port 0: a free port
    std::uint64_t rate = 0;      // datagrams per second; 0: as fast as the socket takes them
    double seconds = 5;          // how long
};

struct FloodOutcome {
    platform::SockAddrIn local;     // where the flood came from
    std::uint64_t datagrams = 0;    // sent
    std::uint64_t send_errors = 0;  // refused by the socket
    double seconds = 0;             // from the first datagram to the last
    [[nodiscard]] double Rate() const { return seconds > 0 ? static_cast<double>(datagrams) / seconds : 0; }
};

// Floods settings.target with a sender kind until settings.seconds have passed or `stop` turns true.
// False, with the reason in `error`, when the kind is a device kind or the socket cannot be opened or
// bound; send errors do not end the flood.
bool RunFlood(const FloodSettings& settings, const std::atomic<bool>& stop, FloodOutcome& outcome,
              std::string& error);

// "flood ping-pair to 127.0.0.1:40000 from 127.0.0.2:51000: 123456 datagrams in 5.00 s, 24691 datagrams/s,
// 0 send errors".
[[nodiscard]] std::string DescribeFlood(const FloodSettings& settings, const FloodOutcome& outcome);

}  // namespace Sim
