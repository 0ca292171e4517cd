// A raw UDP client on 127.0.0.1 for the simulator's tests: it sends messages and raw bytes, and receives
// datagrams with their arrival time, sender, bytes and decoded message. No thread: the test receives
// when it wants to, and whatever arrived meanwhile waits in the socket.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json/value.h"
#include "platform/poller.h"
#include "platform/socket.h"
#include "platform/utf8.h"
#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"
#include "protocol/sock_addr.h"
#include "sim/simulator.h"

namespace sim_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The datagram of a message.
inline std::vector<std::uint8_t> ToBytes(const Network::JsonMsg& msg) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("sim_test::ToBytes"));
    msg.ToPacket(err, packet, false, 0);
    EXPECT_TRUE(err.IsOk()) << "ToPacket failed";
    err.MarkHandled();
    return packet.Bytes();
}

inline std::vector<std::uint8_t> BytesOf(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

struct Received {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<Network::JsonMsg> msg;  // null when the datagram is not a message
    Network::SockAddr from;

    // The JSON text (bytes before the zero byte).
    [[nodiscard]] std::string Text() const {
        std::string text;
        for (std::uint8_t b : bytes) {
            if (b == 0) {
                break;
            }
            text.push_back(static_cast<char>(b));
        }
        return text;
    }
    [[nodiscard]] JSON::Value Json() const {
        JSON::Value v;
        EXPECT_TRUE(JSON::ParseText(Text(), v)) << Text();
        return v;
    }
    // The object's keys, in the writer's (ascending) order.
    [[nodiscard]] std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (const auto& [k, v] : Json().object) {
            keys.push_back(WideToUtf8(k));
        }
        return keys;
    }
    [[nodiscard]] std::string Type() const { return msg ? WideToUtf8(msg->type) : std::string("<none>"); }
    [[nodiscard]] bool Is(const char* type) const { return msg && WideToUtf8(msg->type) == type; }
    template <class T>
    [[nodiscard]] const T& As() const {
        const T* p = dynamic_cast<const T*>(msg.get());
        EXPECT_NE(p, nullptr) << "unexpected message " << Text();
        static const T empty;
        return p != nullptr ? *p : empty;
    }
};

class RawClient {
public:
    RawClient() {
        EXPECT_TRUE(platform::StartSocketLibrary().ok());
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, h).ok());
        sock_.Reset(h);
        platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
        EXPECT_TRUE(platform::Bind(h, local).ok());
        EXPECT_TRUE(platform::GetLocalAddress(h, local).ok());
        // Room for the answers of many devices at once.
        (void)platform::SetReceiveBufferSize(h, 1 << 20);
        address_ = Network::SockAddr(local);
        EXPECT_TRUE(poller_.IsValid());
        EXPECT_TRUE(poller_.Add(h, platform::kSockRead, 1).ok());
    }
    ~RawClient() {
        poller_.Remove(sock_.Get());
        sock_.Reset();
        platform::StopSocketLibrary();
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    [[nodiscard]] Network::SockAddr Address() const { return address_; }

    void SendBytes(const std::vector<std::uint8_t>& bytes, const Network::SockAddr& to) {
        const platform::SocketIo io = platform::SendTo(sock_.Get(), bytes.data(), bytes.size(), to.Native());
        EXPECT_TRUE(io.ok()) << "client send failed: " << io.result.code;
    }
    void Send(const Network::JsonMsg& msg, const Network::SockAddr& to) { SendBytes(ToBytes(msg), to); }
    void Ack(const Received& r) { Send(Network::JsonMsgAck(r.msg->msg_id), r.from); }

    // The next datagram, waiting up to `timeout`; empty when none came.
    std::optional<Received> Receive(milliseconds timeout) {
        const Clock::time_point end = Clock::now() + timeout;
        std::vector<std::uint8_t> buffer(65536);
        std::vector<platform::SocketEvent> ready;
        for (;;) {
            platform::SockAddrIn from;
            const platform::SocketIo io =
                platform::RecvFrom(sock_.Get(), buffer.data(), buffer.size(), &from);
            if (io.ok()) {
                static const Network::AsioDriverJsonMsgFactory factory;
                Received r;
                r.at = Clock::now();
                r.bytes.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(io.bytes));
                r.from = Network::SockAddr(from);
                r.msg = Network::JsonMsg::FromDatagram(r.bytes.data(), r.bytes.size(), &factory, &r.from);
                return r;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
            if (left <= 0) {
                return std::nullopt;
            }
            poller_.Wait(static_cast<int>(left), ready);
        }
    }

    // Every datagram that arrives within `window`. With `ack_messages` every message but "ack" is
    // acknowledged the moment it arrives, as the library does.
    std::vector<Received> CollectFor(milliseconds window, bool ack_messages = false) {
        std::vector<Received> out;
        const Clock::time_point end = Clock::now() + window;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            std::optional<Received> r = Receive(left.count() > 0 ? left : milliseconds(0));
            if (!r) {
                return out;
            }
            if (ack_messages && r->msg && !r->Is("ack")) {
                Ack(*r);
            }
            out.push_back(std::move(*r));
        }
    }

    // Receives until a datagram of `type` comes (others are kept in `skipped` when given).
    std::optional<Received> WaitFor(const char* type, milliseconds timeout,
                                    std::vector<Received>* skipped = nullptr) {
        const Clock::time_point end = Clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            std::optional<Received> r = Receive(left.count() > 0 ? left : milliseconds(0));
            if (!r || r->Is(type)) {
                return r;
            }
            if (skipped != nullptr) {
                skipped->push_back(std::move(*r));
            }
        }
    }

    // One request and what it brought: its acknowledgement and its answer (acknowledged by the client).
    struct Exchange {
        std::optional<Received> ack;
        std::optional<Received> answer;
    };
    // Sends `request` and collects the "ack" of it and, when `answer_type` is given, that answer.
    Exchange Request(const Network::JsonMsg& request, const Network::SockAddr& to, const char* answer_type,
                     milliseconds timeout = milliseconds(2000)) {
        Send(request, to);
        Exchange ex;
        const Clock::time_point end = Clock::now() + timeout;
        while (!(ex.ack && (answer_type == nullptr || ex.answer))) {
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            std::optional<Received> r = Receive(left.count() > 0 ? left : milliseconds(0));
            if (!r) {
                break;
            }
            if (r->Is("ack") && r->msg->ack_msg_id == request.msg_id) {
                ex.ack = std::move(r);
            } else if (answer_type != nullptr && r->Is(answer_type)) {
                Ack(*r);
                if (!ex.answer) {
                    ex.answer = std::move(r);
                }
            }
        }
        return ex;
    }

private:
    platform::UniqueSocket sock_;
    platform::SocketPoller poller_;
    Network::SockAddr address_;
};

// Starts a simulator or fails the test.
inline void StartOrFail(Sim::Simulator& sim, const Sim::SimConfig& config) {
    std::string error;
    ASSERT_TRUE(sim.Start(config, &error)) << error;
}

// Waits until `pred()` holds (polling); false after `timeout`.
inline bool Eventually(const std::function<bool()>& pred, milliseconds timeout = milliseconds(3000)) {
    const Clock::time_point end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

inline std::int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<milliseconds>(b - a).count();
}

}  // namespace sim_test
