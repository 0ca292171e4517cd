// A UDP peer on 127.0.0.1 (a port of the system's choice) for the tests of everything that talks the
// control protocol: it records every datagram it receives and answers each message by a policy, and it
// sends raw bytes or JSON texts wherever a test wants.
//
// Acknowledgements: none; automatic (every message but an "ack" is answered at once with
// {"ack_msg_id":<its msg_id>,"msg":"ack","msg_id":<own id>}, as the protocol does); or scripted, where a
// function decides per message to acknowledge, drop, duplicate, delay or hold back the acknowledgement
// (a held-back one follows the next one, so two acknowledgements swap places).
//
// It is written on the platform socket API and reads only the "msg" and "msg_id" fields of the compact
// texts the library writes, so it depends on none of the code it tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bytes.h"
#include "platform/poller.h"
#include "platform/socket.h"
#include "wait.h"

namespace testing_support {

struct PeerDatagram {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
    platform::SockAddrIn from;

    [[nodiscard]] std::string Text() const { return TextOf(bytes); }
    // The value of "msg" ("ack", "ping", ...); empty when there is none.
    [[nodiscard]] std::string Type() const {
        const std::string text = Text();
        const std::string key = "\"msg\":\"";
        const std::size_t at = text.find(key);
        if (at == std::string::npos) {
            return {};
        }
        const std::size_t start = at + key.size();
        const std::size_t end = text.find('"', start);
        return end == std::string::npos ? std::string() : text.substr(start, end - start);
    }
    // The value of "msg_id"; empty when there is none.
    [[nodiscard]] std::optional<std::uint32_t> MsgId() const {
        const std::string text = Text();
        const std::string key = "\"msg_id\":";  // the quote keeps "ack_msg_id" out
        const std::size_t at = text.find(key);
        if (at == std::string::npos || at + key.size() >= text.size() || text[at + key.size()] < '0' ||
            text[at + key.size()] > '9') {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(std::stoull(text.substr(at + key.size())));
    }
};

// The acknowledgement text of message `msgId`.
inline std::string AckText(std::uint32_t msgId, std::uint32_t ownId) {
    return "{\"ack_msg_id\":" + std::to_string(msgId) +
           ",\"msg\":\"ack\",\"msg_id\":" + std::to_string(ownId) + "}";
}

// What a scripted peer does with one received message.
struct PeerReply {
    enum Kind { kAck, kDrop, kDuplicate, kHoldBack };
    Kind kind = kAck;
    milliseconds delay{0};            // the acknowledgement leaves this much later (real time)
    std::uint32_t ack_id_offset = 0;  // acknowledges msg_id + offset (another id when not 0)
};

class UdpPeer {
public:
    enum class Acks { kNone, kAuto };
    // Decides the reply to `d`; `copy` counts earlier datagrams with the same msg_id (0 for the first).
    // Runs on the peer's thread with the peer's lock held: it must not call the peer.
    using Script = std::function<PeerReply(const PeerDatagram& d, int copy)>;

    explicit UdpPeer(Acks acks = Acks::kNone) : acks_(acks) {
        socketsReady_ = platform::StartSocketLibrary().ok();
        platform::SocketHandle h = platform::kInvalidSocket;
        if (platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
            sock_.Reset(h);
            platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
            if (platform::Bind(h, local).ok() && platform::GetLocalAddress(h, local).ok()) {
                address_ = local;
            }
            // Room for the answers of many devices at once.
            (void)platform::SetReceiveBufferSize(h, 1 << 20);
            (void)poller_.Add(h, platform::kSockRead, 1);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~UdpPeer() {
        stop_.store(true);
        poller_.Wake();
        thread_.join();
        (void)poller_.Remove(sock_.Get());
        sock_.Reset();
        if (socketsReady_) {
            platform::StopSocketLibrary();
        }
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // 0 when the peer could not bind (every test using it then fails on its first wait).
    [[nodiscard]] std::uint16_t Port() const { return address_.Port(); }
    [[nodiscard]] platform::SockAddrIn Address() const { return address_; }

    void SetAcks(Acks acks) {
        std::lock_guard<std::mutex> lock(mutex_);
        acks_ = acks;
        script_ = nullptr;
    }
    void SetScript(Script script) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }

    bool SendBytes(const std::vector<std::uint8_t>& bytes, const platform::SockAddrIn& to) {
        return platform::SendTo(sock_.Get(), bytes.data(), bytes.size(), to).ok();
    }
    // A JSON text with the wire format's trailing zero byte.
    bool SendText(const std::string& json, const platform::SockAddrIn& to) {
        return SendBytes(BytesOf(json), to);
    }
    // Acknowledges `d` now (for tests that acknowledge by hand).
    bool Ack(const PeerDatagram& d) { return SendText(AckText(d.MsgId().value_or(0), NextOwnId()), d.from); }

    [[nodiscard]] std::vector<PeerDatagram> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    [[nodiscard]] std::vector<PeerDatagram> ReceivedOfType(const std::string& type) {
        std::vector<PeerDatagram> out;
        for (PeerDatagram& d : Received()) {
            if (d.Type() == type) {
                out.push_back(std::move(d));
            }
        }
        return out;
    }
    // Waits until `pred(all datagrams received so far)` holds.
    template <class Pred>
    bool WaitUntil(Pred pred, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout,
                            [&] { return pred(static_cast<const std::vector<PeerDatagram>&>(received_)); });
    }
    bool WaitForCount(std::size_t n, milliseconds timeout = milliseconds(10000)) {
        return WaitUntil([n](const std::vector<PeerDatagram>& r) { return r.size() >= n; }, timeout);
    }
    // The next datagram not yet taken by Receive, waiting up to `timeout` for it.
    std::optional<PeerDatagram> Receive(milliseconds timeout = milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return received_.size() > taken_; })) {
            return std::nullopt;
        }
        return received_[taken_++];
    }

private:
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
        platform::SockAddrIn to;
    };

    std::uint32_t NextOwnId() { return ownId_.fetch_add(1); }

    void Run() {
        std::vector<platform::SocketEvent> ready;
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_.load()) {
            int timeoutMs = 50;
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
                Handle(
                    PeerDatagram{Clock::now(),
                                 std::vector<std::uint8_t>(
                                     buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(io.bytes)),
                                 from});
            }
            SendDue();
        }
    }

    void Handle(PeerDatagram d) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::uint32_t> id = d.MsgId();
        if (id && d.Type() != "ack" && (script_ || acks_ == Acks::kAuto)) {
            const PeerReply reply = script_ ? script_(d, seen_[*id]++) : PeerReply{};
            if (reply.kind != PeerReply::kDrop) {
                Pending ack{Clock::now() + reply.delay,
                            BytesOf(AckText(*id + reply.ack_id_offset, NextOwnId())), d.from};
                if (reply.kind == PeerReply::kHoldBack) {
                    held_.push_back(std::move(ack));
                } else {
                    pending_.push_back(ack);
                    if (reply.kind == PeerReply::kDuplicate) {
                        pending_.push_back(ack);
                    }
                    // Held-back acknowledgements follow this one.
                    for (Pending& h : held_) {
                        h.due = ack.due;
                        pending_.push_back(std::move(h));
                    }
                    held_.clear();
                }
            }
        }
        received_.push_back(std::move(d));
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
            (void)platform::SendTo(sock_.Get(), p.bytes.data(), p.bytes.size(), p.to);
        }
    }

    bool socketsReady_ = false;
    platform::SocketPoller poller_;
    platform::UniqueSocket sock_;
    platform::SockAddrIn address_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint32_t> ownId_{0x40000000u};

    std::mutex mutex_;
    std::condition_variable cv_;
    Acks acks_;
    Script script_;
    std::map<std::uint32_t, int> seen_;
    std::vector<PeerDatagram> received_;
    std::size_t taken_ = 0;
    std::vector<Pending> pending_;
    std::vector<Pending> held_;
};

}  // namespace testing_support
