// A scripted raw-UDP peer on 127.0.0.1 for the tests of the JSON endpoint and the reliable session.
//
// It records every datagram it receives (bytes, arrival time, the decoded message) and answers each by a
// policy: acknowledge it (at once, after a delay, twice, or with another id) or ignore it, which is how
// the session's datagrams are dropped, duplicated and delayed. Datagrams towards the session are sent
// raw and in whatever order, number and spacing a test scripts (Play), which is how segments are
// reordered and messages duplicated.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/poller.h"
#include "platform/socket.h"
#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"
#include "protocol/sock_addr.h"
#include "support/loopback.h"

namespace net_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The datagram of a message (ToPacket without limit); fails the test when serialisation fails.
inline std::vector<std::uint8_t> ToBytes(const Network::JsonMsg& msg) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("net_test::ToBytes"));
    msg.ToPacket(err, packet, false, 0);
    EXPECT_TRUE(err.IsOk()) << "ToPacket failed";
    err.MarkHandled();
    return packet.Bytes();
}

// The text of a datagram up to its first zero byte.
inline std::string TextOf(const std::vector<std::uint8_t>& datagram) {
    std::string text;
    for (std::uint8_t b : datagram) {
        if (b == 0) {
            break;
        }
        text.push_back(static_cast<char>(b));
    }
    return text;
}

using testing_support::FreeLoopbackPort;

inline Network::SockAddr Loopback(std::uint16_t port) {
    return Network::SockAddr(platform::SockAddrIn::Loopback(port));
}

// What the peer does with one datagram from the session.
struct PeerReply {
    enum Kind { kAck, kIgnore, kAckTwice };
    Kind kind = kAck;
    int delayMs = 0;                // the acknowledgement leaves this much later
    std::uint32_t ackIdOffset = 0;  // acknowledges msg_id + offset (another id when not 0)
};

class ScriptedPeer {
public:
    struct Datagram {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
        std::shared_ptr<Network::JsonMsg> msg;  // null when the datagram did not decode
        Network::SockAddr from;
    };
    // Decides the reply to `msg`; `copy` counts earlier datagrams with the same msg_id (0 for the first).
    using Policy = std::function<PeerReply(const Network::JsonMsg& msg, int copy)>;

    ScriptedPeer() {
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, h).ok());
        sock_.Reset(h);
        platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
        EXPECT_TRUE(platform::Bind(h, local).ok());
        EXPECT_TRUE(platform::GetLocalAddress(h, local).ok());
        address_ = Network::SockAddr(local);
        EXPECT_TRUE(poller_.IsValid());
        EXPECT_TRUE(poller_.Add(h, platform::kSockRead, 1).ok());
        thread_ = std::thread([this] { Run(); });
    }

    ~ScriptedPeer() {
        stop_.store(true);
        poller_.Wake();
        thread_.join();
        poller_.Remove(sock_.Get());
    }

    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    [[nodiscard]] Network::SockAddr Address() const { return address_; }

    // The default acknowledges every message but an "ack".
    void SetPolicy(Policy policy) {
        std::lock_guard<std::mutex> lock(mutex_);
        policy_ = std::move(policy);
    }

    // Sends raw bytes to `to` now.
    void Send(const std::vector<std::uint8_t>& bytes, const Network::SockAddr& to) {
        const platform::SocketIo io = platform::SendTo(sock_.Get(), bytes.data(), bytes.size(), to.Native());
        EXPECT_TRUE(io.ok()) << "peer send failed: " << io.result.code;
    }
    void Send(const Network::JsonMsg& msg, const Network::SockAddr& to) { Send(ToBytes(msg), to); }

    // One scripted datagram: `bytes` after waiting `pauseMs`.
    struct Step {
        std::vector<std::uint8_t> bytes;
        int pauseMs = 0;
    };
    void Play(const std::vector<Step>& steps, const Network::SockAddr& to) {
        for (const Step& step : steps) {
            if (step.pauseMs > 0) {
                std::this_thread::sleep_for(milliseconds(step.pauseMs));
            }
            Send(step.bytes, to);
        }
    }

    [[nodiscard]] std::vector<Datagram> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Decoded datagrams of one type ("ack", "ping", ...).
    [[nodiscard]] std::vector<Datagram> ReceivedOfType(const std::wstring& type) {
        std::vector<Datagram> out;
        for (Datagram& d : Received()) {
            if (d.msg && d.msg->type == type) {
                out.push_back(std::move(d));
            }
        }
        return out;
    }

    // Waits until `pred(received datagrams)` holds; false after the time-out.
    template <class Pred>
    bool WaitUntil(Pred pred, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return pred(received_); });
    }
    bool WaitForCount(std::size_t n, milliseconds timeout) {
        return WaitUntil([n](const std::vector<Datagram>& r) { return r.size() >= n; }, timeout);
    }

private:
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        Network::SockAddr to;
    };

    void Run() {
        std::vector<platform::SocketEvent> ready;
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_.load()) {
            int timeoutMs = 20;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const Pending& p : pending_) {
                    const auto left = std::chrono::duration_cast<milliseconds>(p.due - Clock::now()).count();
                    timeoutMs = std::clamp(static_cast<int>(left), 0, timeoutMs);
                }
            }
            poller_.Wait(timeoutMs, ready);
            for (;;) {
                platform::SockAddrIn from;
                const platform::SocketIo io =
                    platform::RecvFrom(sock_.Get(), buffer.data(), buffer.size(), &from);
                if (!io.ok()) {
                    break;
                }
                Handle(std::vector<std::uint8_t>(buffer.begin(),
                                                 buffer.begin() + static_cast<std::ptrdiff_t>(io.bytes)),
                       Network::SockAddr(from));
            }
            SendDue();
        }
    }

    void Handle(std::vector<std::uint8_t> bytes, const Network::SockAddr& from) {
        static const Network::AsioDriverJsonMsgFactory factory;
        Network::Packet packet;
        packet.Assign(bytes.data(), bytes.size());
        std::shared_ptr<Network::JsonMsg> msg = Network::JsonMsg::FromPacket(packet, &factory, &from);
        std::lock_guard<std::mutex> lock(mutex_);
        if (msg && msg->type != L"ack") {
            const int copy = seen_[msg->msg_id]++;
            const PeerReply reply = policy_ ? policy_(*msg, copy) : PeerReply{};
            if (reply.kind != PeerReply::kIgnore) {
                const std::vector<std::uint8_t> ack =
                    ToBytes(Network::JsonMsgAck(msg->msg_id + reply.ackIdOffset));
                const int copies = reply.kind == PeerReply::kAckTwice ? 2 : 1;
                for (int i = 0; i < copies; ++i) {
                    pending_.push_back(Pending{Clock::now() + milliseconds(reply.delayMs), ack, from});
                }
            }
        }
        received_.push_back(Datagram{Clock::now(), std::move(bytes), std::move(msg), from});
        cv_.notify_all();
    }

    void SendDue() {
        std::vector<Pending> due;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto now = Clock::now();
            auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                               [now](const Pending& p) { return p.due > now; });
            due.assign(std::make_move_iterator(split), std::make_move_iterator(pending_.end()));
            pending_.erase(split, pending_.end());
        }
        for (const Pending& p : due) {
            const platform::SocketIo io =
                platform::SendTo(sock_.Get(), p.bytes.data(), p.bytes.size(), p.to.Native());
            EXPECT_TRUE(io.ok()) << "peer ack send failed: " << io.result.code;
        }
    }

    platform::UniqueSocket sock_;
    platform::SocketPoller poller_;
    Network::SockAddr address_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    std::mutex mutex_;
    std::condition_variable cv_;
    Policy policy_;
    std::map<std::uint32_t, int> seen_;
    std::vector<Datagram> received_;
    std::vector<Pending> pending_;
};

}  // namespace net_test
