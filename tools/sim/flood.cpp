#include "sim/flood.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <thread>

namespace Sim {

namespace {

struct KindName {
    FloodKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {
    {FloodKind::kPing, "ping"},       {FloodKind::kPingPair, "ping-pair"}, {FloodKind::kBigAtt, "big-att"},
    {FloodKind::kGarbage, "garbage"}, {FloodKind::kDevInfo, "dev-info"},   {FloodKind::kGetTime, "get-time"},
};

// Text joined by appending (GCC 12 reports `"text" + std::string(...)` as an overlapping copy once it is
// inlined, where there is none).
std::string Cat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) {
        text.append(part);
    }
    return text;
}

std::vector<std::uint8_t> Datagram(const std::string& text, bool zero_byte = true) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if (zero_byte) {
        bytes.push_back(0);
    }
    return bytes;
}

std::string Ping(std::uint32_t id, std::uint64_t att) {
    return Cat({att != 0 ? Cat({"{\"att\":", std::to_string(att), ","}) : "{",
                "\"msg\":\"ping\",\"msg_id\":", std::to_string(id), "}"});
}

std::string Describe(const platform::SocketResult& r) {
    return Cat({platform::SocketErrorKindName(r.kind), " (", std::to_string(r.code), ")"});
}

}  // namespace

const char* FloodKindName(FloodKind kind) {
    for (const KindName& k : kKinds) {
        if (k.kind == kind) {
            return k.name;
        }
    }
    return "?";
}

bool ParseFloodKind(std::string_view text, FloodKind& kind) {
    for (const KindName& k : kKinds) {
        if (text == k.name) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

bool IsDeviceFlood(FloodKind kind) {
    return kind == FloodKind::kDevInfo || kind == FloodKind::kGetTime;
}

std::vector<std::vector<std::uint8_t>> FloodRound(FloodKind kind, std::uint32_t& next_id) {
    const std::uint32_t id = next_id++;
    switch (kind) {
        case FloodKind::kPing:
            return {Datagram(Ping(id, 0))};
        case FloodKind::kPingPair:
            ++next_id;
            return {Datagram(Ping(id, 0)), Datagram(Ping(id + 1, 1))};
        case FloodKind::kBigAtt:
            return {Datagram(Ping(id, kFloodBigAttachment))};
        case FloodKind::kGarbage:
            switch (id % 4) {
                case 0:
                    return {Datagram("{\"msg\":\"ping\",\"msg_id\":")};  // cut JSON
                case 1:
                    return {Datagram(Ping(id, 0), false)};  // no zero byte
                case 2:
                    return {Datagram("\xFF\xFE garbage \x1b[2J")};
                default:
                    return {Datagram("[1,2,3]")};  // JSON, but no message
            }
        case FloodKind::kDevInfo:
        case FloodKind::kGetTime:
            break;
    }
    return {};
}

bool ParseFloodTarget(std::string_view text, platform::SockAddrIn& out, std::string& error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        error = Cat({"'", text, "' is not HOST:PORT"});
        return false;
    }
    const std::string_view port_text = text.substr(colon + 1);
    unsigned long port = 0;
    for (const char c : port_text) {
        port =
            c >= '0' && c <= '9' && port <= 65535 ? port * 10 + static_cast<unsigned long>(c - '0') : 70000;
    }
    if (port_text.empty() || port == 0 || port > 65535) {
        error = Cat({"the port of '", text, "' is not a number from 1 to 65535"});
        return false;
    }
    if (platform::SocketResult r = platform::ResolveIPv4(text.substr(0, colon), out); !r) {
        error = Cat({"cannot resolve '", text.substr(0, colon), "': ", Describe(r)});
        return false;
    }
    out.SetPort(static_cast<std::uint16_t>(port));
    return true;
}

bool RunFlood(const FloodSettings& settings, const std::atomic<bool>& stop, FloodOutcome& outcome,
              std::string& error) {
    outcome = FloodOutcome{};
    if (IsDeviceFlood(settings.kind)) {
        error = Cat({FloodKindName(settings.kind), " is played by a simulated device, not sent"});
        return false;
    }
    platform::SocketHandle handle = platform::kInvalidSocket;
    if (platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kUdp, handle); !r) {
        error = Cat({"cannot open the flood socket: ", Describe(r)});
        return false;
    }
    platform::UniqueSocket socket(handle);
    (void)platform::SetBroadcast(socket.Get(), true);  // a LAN's broadcast address is a target too
    if (platform::SocketResult r = platform::Bind(socket.Get(), settings.local); !r) {
        error = Cat({"cannot bind the flood socket to ", platform::FormatEndpoint(settings.local), ": ",
                     Describe(r)});
        return false;
    }
    (void)platform::GetLocalAddress(socket.Get(), outcome.local);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
    auto now = start;
    std::uint32_t next_id = 1;
    for (std::uint64_t round = 0; now < end && !stop.load(std::memory_order_relaxed); ++round) {
        if (settings.rate != 0) {
            // Datagram k is due at start + k / rate: a late sender catches up, an early one waits.
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(outcome.datagrams) / static_cast<double>(settings.rate)));
            if (due > now) {
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(due - now, std::chrono::milliseconds(10)));
                now = Clock::now();
                continue;
            }
        }
        for (const std::vector<std::uint8_t>& d : FloodRound(settings.kind, next_id)) {
            const platform::SocketIo io = platform::SendTo(socket.Get(), d.data(), d.size(), settings.target);
            ++(io.ok() ? outcome.datagrams : outcome.send_errors);
        }
        if (settings.rate != 0 || round % 64 == 0) {
            now = Clock::now();
        }
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

std::string DescribeFlood(const FloodSettings& settings, const FloodOutcome& outcome) {
    char figures[160];
    std::snprintf(figures, sizeof(figures), ": %llu datagrams in %.2f s, %.0f datagrams/s, %llu send errors",
                  static_cast<unsigned long long>(outcome.datagrams), outcome.seconds, outcome.Rate(),
                  static_cast<unsigned long long>(outcome.send_errors));
    return Cat({"flood ", FloodKindName(settings.kind), " to ", platform::FormatEndpoint(settings.target),
                " from ", platform::FormatEndpoint(outcome.local), figures});
}

}  // namespace Sim
