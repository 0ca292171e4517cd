// JsonUdpConnect: reliable control messages over one JsonUdpManager.
//
// Every message Send gives is acknowledged by the peer with an "ack" carrying its msg_id, sent again
// every 300 ms while unacknowledged and given up after 3 sends ("Protocol error. No ack received", about
// 900 ms after the first send). Only one message is in flight at a time, so messages reach the peer in
// the order they were given. An attachment longer than 1300 bytes travels as the leader message (with
// "att" announcing the total and no bytes) followed by "attach" segments of at most 1300 bytes, each
// acknowledged on its own; the user's OnAck comes once, after the last segment's acknowledgement.
//
// Per-peer receive side. A session with a default send address takes messages from that address (address
// and port) only: anything else is counted as foreign and dropped without an acknowledgement. A session
// without one (discovery) takes from any sender. A new message is acknowledged when it is taken; a
// repeated copy of the last accepted message (same msg_id, same sender, within 3 s) is acknowledged again but
// not delivered. Segments are put together again in order (a segment out of order, of another leader, or more
// bytes than the leader announced lose the whole message) and the user gets complete messages only. The
// reassembly belongs to its leader's sender: other senders' leaders and segments are dropped without an
// acknowledgement while it lasts (their senders repeat them later), and a message that is not a segment is
// delivered without ending it. Only a new leader of the same sender or a segment that does not fit ends
// it. It holds the bytes that arrived, never more than the leader announced (at most kMaxAttachmentSize).
// An acknowledgement completes the message in flight only when it names its id and comes from the
// address the message was sent to. With ping on, a link that has been quiet (nothing received) for the
// ping interval gets a reliable "ping".
//
// Bounds: Send refuses a message when kJsonUdpMaxQueuedMessages wait to be sent; a received message that
// finds max_received_waiting messages (kJsonUdpMaxReceivedWaiting unless set) waiting for the worker is
// dropped without an acknowledgement
// (its sender repeats it); completed sends wait for their OnAck in a queue of kJsonUdpMaxAcksWaiting.
// Every drop is counted (JsonUdpConnectStats) and summed up per sender once a minute in the debug log by
// the endpoint's DropReport.
//
// Threads: user threads call Send, SendDirect, Init, Start, Stop. The socket service thread decodes and
// runs the receive side, which only acknowledges, fills queues and signals the worker. One worker thread
// per started session sends and repeats queued messages and makes every call to the user, except the
// OnError calls raised on the service thread (errors of the endpoint, failed acknowledgement sends). A
// callback may Stop (and Start) the session and drop the last reference to it: the worker keeps the
// session alive until it has left, and a session destroyed on its own worker detaches it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
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
// A repeat of the last accepted message comes within the peer's three sends (900 ms); the same id from the
// same sender later than this is a new message (a peer that restarted and counts its ids from 1 again).
inline constexpr std::int64_t kJsonUdpDuplicateWindowMs = 3000;
// User messages waiting to be sent. One message is in flight at a time and takes up to 900 ms before it is
// given up, so 256 waiting ones are minutes of backlog on a bad link: an application that queues more is
// outpacing the link, and hearing so from Send at once is better than every answer arriving too late.
inline constexpr std::size_t kJsonUdpMaxQueuedMessages = 256;
// Received messages waiting for the worker; over it, a message is dropped unacknowledged.
inline constexpr std::size_t kJsonUdpMaxReceivedWaiting = 256;
// Completed sends waiting for their OnAck (one per completed message, so never reached by a live worker).
inline constexpr std::size_t kJsonUdpMaxAcksWaiting = 256;

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
    // Received messages waiting for the worker; over it a message is dropped unacknowledged. A session
    // that many peers answer at once with datagrams they never repeat (discovery) needs room for all of
    // them: the service thread may take a burst faster than the worker hands it on.
    std::size_t max_received_waiting = kJsonUdpMaxReceivedWaiting;
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
    std::int32_t ForeignDropped = 0;  // messages and acknowledgements from another sender than the peer
    std::int32_t ReassemblyBusyDropped = 0;  // leaders and segments of a sender whose turn it is not
    std::int32_t SendRefused = 0;            // Send calls refused: the outgoing queue was full
    std::int32_t ReceiveQueueDropped = 0;    // messages dropped unacknowledged: the received queue was full
    std::int32_t AckQueueDropped = 0;        // OnAck calls lost: the queue of completed sends was full
    std::int32_t UndecodableDropped = 0;     // datagrams that are no message (since the session was made)
    std::int64_t ReassemblyBytes = 0;        // memory the reassembly holds now (its buffer's capacity)

    // "MsgSent=%d, MsgReceived=%d, RepeatMsgSent=%d, RepeatAckSent=%d, DupMsgReceived=%d,
    // DupAckReceived=%d, MaxAckMs=%d", then ", ForeignDropped=%d, ReassemblyBusyDropped=%d, SendRefused=%d,
    // ReceiveQueueDropped=%d, AckQueueDropped=%d, UndecodableDropped=%d".
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

class JsonUdpConnect : public IJsonUdpConnect,
                       public IJsonUdpReceiver,
                       public std::enable_shared_from_this<JsonUdpConnect> {
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
    bool AcceptsFrom(IJsonUdpManager* from, const SockAddr& sender) override;

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
        kForeignDropped,
        kReassemblyBusyDropped,
        kSendRefused,
        kReceiveQueueDropped,
        kAckQueueDropped,
        kCounterCount
    };
    // Shared by one worker thread and the session. `self` keeps the session alive while the worker needs it:
    // around user callbacks, and from a Stop on the worker itself until the worker has left. The worker
    // drops it outside the session's functions, so that it may be the session's last reference.
    struct WorkerKeep {
        std::mutex mutex;
        std::shared_ptr<JsonUdpConnect> self;
        bool destroyed = false;  // the session was destroyed on this worker
    };

    void StopLocked();
    static void WorkerMain(JsonUdpConnect* session, std::shared_ptr<WorkerKeep> keep,
                           std::uint64_t generation);
    // One wait and round of the worker; false when the worker is to leave.
    bool WorkerStep(const JsonUdpConnectInfo& settings, std::uint64_t generation, WorkerKeep& keep);
    // One round of the worker; throws the give-up error (caught and reported by WorkerStep).
    void WorkerRound(const JsonUdpConnectInfo& settings, std::uint64_t generation, WorkerKeep& keep);
    [[nodiscard]] bool Current(std::uint64_t generation) const;
    // Keeps the session alive until the worker's step ends (before a user callback).
    void Hold(WorkerKeep& keep);
    // The next queued datagram; the worker's held-back entry first.
    std::optional<OutgoingMsg> PopOutgoing();
    // The acknowledgement side of the service thread.
    void TakeAck(const JsonMsgAck& ack, const SockAddr& sender);
    // Under receiveMutex_: takes a new message from an accepted sender into the reassembly or the received
    // queue. Null when it is taken (or dropped as lost, which is acknowledged too); otherwise the reason it
    // is refused without an acknowledgement.
    const wchar_t* Take(const std::shared_ptr<JsonMsg>& msg, const SockAddr& sender);
    void Drop(const SockAddr& sender, Counter counter, const wchar_t* reason);
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
    std::shared_ptr<WorkerKeep> workerKeep_;  // of the current worker
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> generation_{0};  // of the current worker
    std::atomic<bool> started_{false};
    JsonUdpWakeEvent wake_;

    // Send: the bound check and the push of one message, one caller at a time.
    std::mutex sendMutex_;
    std::atomic<std::size_t> queuedMessages_{0};  // user messages in outgoing_
    ConcurrentQueue<OutgoingMsg> outgoing_;
    ConcurrentQueue<InternalMsg> received_;
    ConcurrentQueue<std::shared_ptr<JsonMsg>> delivered_;

    // The message in flight, read and emptied by the worker and by the service thread.
    NamedMutex outMutex_{L"JsonUdpConnect::_OutMsgMutex"};
    OutgoingMsg outMsg_;
    SockAddr sentTo_;              // where the message in flight went: its acknowledgement comes from there
    std::int64_t lastSendMs_ = 0;  // time of the last send of the message in flight
    std::uint32_t sendCount_ = 0;  // sends of the message in flight

    // Worker only: an entry taken from the outgoing queue but not sent yet (after a give-up looked at it).
    std::optional<OutgoingMsg> heldBack_;

    // Receive side (service thread): the last accepted message and the message being put together.
    std::mutex receiveMutex_;
    std::shared_ptr<JsonMsg> receivedMsg_;
    SockAddr receivedFrom_;
    std::int64_t receivedAtMs_ = 0;  // when the last accepted message arrived
    InternalMsg reassembly_;         // the leader, its bytes growing as segments come, and its sender
    std::uint32_t nextSegment_ = 0;

    std::atomic<IClock*> clock_{&RealClock()};  // the settings' clock, for the service thread too
    std::atomic<std::size_t> maxReceivedWaiting_{kJsonUdpMaxReceivedWaiting};  // the settings' bound
    std::atomic<std::int64_t> lastActivityMs_{0};
    std::array<std::atomic<std::int32_t>, kCounterCount> counters_{};
};

}  // namespace Network
