// JsonUdpConnect: reliable control messages over one JsonUdpManager.
//
// Every message Send gives is acknowledged by the peer with an "ack" carrying its msg_id, sent again
// every 300 ms while unacknowledged and given up after 3 sends ("Protocol error. No ack received", about
// 900 ms after the first send). Only one message is in flight at a time, so messages reach the peer in
// the order they were given. An attachment longer than 1300 bytes travels as the leader message (with
// "att" announcing the total and no bytes) followed by "attach" segments of at most 1300 bytes, each
// acknowledged on its own; the user's OnAck comes once, after the last segment's acknowledgement.
//
// Received messages are acknowledged at once; a repeated copy of the last accepted message (same msg_id,
// same sender) is acknowledged again but not delivered; segments are put together again in order (a
// segment out of order loses the whole message) and the user gets complete messages only. The buffer of
// a message being put together is the one its leader announced, which the decoder bounds to
// kMaxAttachmentSize, so reassembly never holds more than that. With ping on, a link that has been quiet
// (nothing received) for the ping interval gets a reliable "ping".
//
// Threads: user threads call Send, SendDirect, Init, Start, Stop. The socket service thread decodes and
// runs the receive side, which only acknowledges, fills queues and signals the worker. One worker thread
// per started session sends and repeats queued messages and makes every call to the user, except the
// OnError calls raised on the service thread (errors of the endpoint, failed acknowledgement sends).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/clock.h"
#include "common/concurrent_queue.h"
#include "common/debug_log.h"
#include "common/err_info.h"
#include "common/locks.h"
#include "net/json_udp_manager.h"
#include "net/json_udp_wake_event.h"
#include "protocol/json_msg.h"
#include "protocol/sock_addr.h"

namespace Network {

// Defaults of the session.
inline constexpr std::int64_t kJsonUdpRepeatIntervalMs = 300;
inline constexpr std::uint32_t kJsonUdpMaxSends = 3;
inline constexpr std::uint32_t kJsonUdpMaxAttPerDatagram = 1300;
inline constexpr std::uint32_t kJsonUdpPingIntervalMs = 1000;

// The session's settings, copied whole at Init: the endpoint's settings, then the session's own.
// `receiver` is the session's user; the session puts itself in its place for the inner endpoint.
struct JsonUdpConnectInfo : JsonUdpManagerInfo {
    // An unacknowledged message is sent again after this time; 0 or less turns repetition and the
    // give-up off (a message without acknowledgement then stays in flight for ever).
    std::int64_t repeat_interval_ms = kJsonUdpRepeatIntervalMs;
    // Sends of one message, the first included, before it is given up.
    std::uint32_t max_sends = kJsonUdpMaxSends;
    // Larger attachments are cut into segments of this size; 0 sends every attachment whole.
    std::uint32_t max_att_per_datagram = kJsonUdpMaxAttPerDatagram;
    // Send a ping after `ping_interval_ms` without anything received (needs a default send address).
    bool ping = false;
    std::uint32_t ping_interval_ms = kJsonUdpPingIntervalMs;
    // The time all of the above is measured in; not owned, must outlive the session.
    IClock* clock = &RealClock();
};

// The session's counters.
struct JsonUdpConnectStats {
    std::int32_t MsgSent = 0;         // messages (and segments) acknowledged
    std::int32_t MsgReceived = 0;     // new messages received
    std::int32_t RepeatMsgSent = 0;   // repetitions sent
    std::int32_t RepeatAckSent = 0;   // acknowledgements sent again for duplicates
    std::int32_t DupMsgReceived = 0;  // duplicates received
    std::int32_t DupAckReceived = 0;  // acknowledgements that matched nothing in flight
    std::int32_t MaxAckMs = 0;        // longest time from the last send of a message to its acknowledgement
    std::int32_t PingSent = 0;
    std::int32_t PingReceived = 0;
    std::int32_t PingAcked = 0;

    // "MsgSent=%d, MsgReceived=%d, RepeatMsgSent=%d, RepeatAckSent=%d, DupMsgReceived=%d,
    // DupAckReceived=%d, MaxAckMs=%d".
    [[nodiscard]] std::wstring ToString() const;
};

class IJsonUdpConnect : public IJsonUdpManager {
public:
    // The endpoint's Init is not available on a session: "Method not available".
    ErrInfo Init(const JsonUdpManagerInfo& info) override;
    // Stops a started session and takes the settings.
    virtual ErrInfo Init(const JsonUdpConnectInfo& info) = 0;
    // Queues `msg` for reliable sending to `dest` (the default send address when `dest` is not valid).
    // The outcome arrives later: OnAck once acknowledged, or OnError. A null message is refused.
    virtual ErrInfo Send(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) = 0;
    [[nodiscard]] virtual JsonUdpConnectStats GetStats() = 0;
};

class JsonUdpConnect : public IJsonUdpConnect, public IJsonUdpReceiver {
public:
    static std::shared_ptr<JsonUdpConnect> Create(const ComponentInfo& info, INetManager& manager);

    JsonUdpConnect(const ComponentInfo& info, INetManager& manager);
    ~JsonUdpConnect() override;
    JsonUdpConnect(const JsonUdpConnect&) = delete;
    JsonUdpConnect& operator=(const JsonUdpConnect&) = delete;

    using IJsonUdpConnect::Init;
    ErrInfo Init(const JsonUdpConnectInfo& info) override;
    ErrInfo Start() override;
    void Stop() override;
    [[nodiscard]] bool IsStarted() override;
    ErrInfo SetDefaultSendAddr(const SockAddr& addr) override;
    [[nodiscard]] SockAddr GetDefaultSendAddr() override;
    [[nodiscard]] SockAddr GetLocalAddress() override;
    ErrInfo SendDirect(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) override;
    ErrInfo Send(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) override;
    [[nodiscard]] JsonUdpConnectStats GetStats() override;

    // IJsonUdpReceiver of the inner endpoint.
    void OnAck(IJsonUdpManager* from, const std::shared_ptr<JsonMsg>& msg) override;
    void OnMessage(IJsonUdpManager* from, std::shared_ptr<JsonMsg> msg, const SockAddr& sender) override;
    void OnError(IJsonUdpManager* from, const ErrInfo& error) override;

private:
    // One datagram to send: the user's message itself or one segment of its attachment.
    struct OutgoingMsg {
        std::shared_ptr<JsonMsg> leader;  // the message the user gave
        std::shared_ptr<JsonMsg> msg;     // the datagram: the leader or one of its segments
        SockAddr dest;                    // cleared: the default send address
        [[nodiscard]] bool HasValue() const noexcept { return leader && msg; }
    };
    struct InternalMsg {
        std::shared_ptr<JsonMsg> msg;
        SockAddr addr;
    };
    enum Counter : std::size_t {
        kMsgSent,
        kMsgReceived,
        kRepeatMsgSent,
        kRepeatAckSent,
        kDupMsgReceived,
        kDupAckReceived,
        kMaxAckMs,
        kPingSent,
        kPingReceived,
        kPingAcked,
        kCounterCount
    };

    void StopLocked();
    void Worker(std::uint64_t generation);
    // One round of the worker; throws the give-up error (caught and reported by Worker).
    void WorkerRound(const JsonUdpConnectInfo& settings);
    // The next queued datagram; the worker's held-back entry first.
    std::optional<OutgoingMsg> PopOutgoing();
    // Puts a received message into the reassembly or the received queue (service thread).
    void Reassemble(const std::shared_ptr<JsonMsg>& msg, const SockAddr& sender);
    void ReportError(const ErrInfo& error);
    void Count(Counter c, std::int32_t n = 1) noexcept { counters_[c].fetch_add(n); }
    [[nodiscard]] IJsonUdpReceiver* User();

    const std::wstring name_;
    std::shared_ptr<IDebugLog> log_;
    std::shared_ptr<JsonUdpManager> inner_;

    // Start, Stop and Init of user threads, one at a time.
    std::mutex lifecycleMutex_;
    // Guards the settings (the user's receiver and the default address may be read on every thread).
    std::mutex settingsMutex_;
    JsonUdpConnectInfo info_;

    std::thread worker_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> generation_{0};  // of the current worker
    std::atomic<bool> started_{false};
    JsonUdpWakeEvent wake_;

    ConcurrentQueue<OutgoingMsg> outgoing_;
    ConcurrentQueue<InternalMsg> received_;
    ConcurrentQueue<std::shared_ptr<JsonMsg>> delivered_;

    // The message in flight, read and emptied by the worker and by the service thread.
    NamedMutex outMutex_{L"JsonUdpConnect::_OutMsgMutex"};
    OutgoingMsg outMsg_;
    std::int64_t lastSendMs_ = 0;  // time of the last send of the message in flight
    std::uint32_t sendCount_ = 0;  // sends of the message in flight

    // Worker only: an entry taken from the outgoing queue but not sent yet (after a give-up looked at it).
    std::optional<OutgoingMsg> heldBack_;

    // Receive side (service thread): the last accepted message and the message being put together.
    std::mutex receiveMutex_;
    std::shared_ptr<JsonMsg> receivedMsg_;
    SockAddr receivedFrom_;
    InternalMsg reassembly_;
    std::uint32_t nextSegment_ = 0;

    std::atomic<IClock*> clock_{&RealClock()};  // the settings' clock, for the service thread too
    std::atomic<std::int64_t> lastActivityMs_{0};
    std::array<std::atomic<std::int32_t>, kCounterCount> counters_{};
};

}  // namespace Network
