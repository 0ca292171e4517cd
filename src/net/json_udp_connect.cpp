#include "net/json_udp_connect.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/environment.h"

namespace Network {

namespace {

std::wstring SessionName(const ComponentInfo& info) {
    return info.name.empty() ? std::wstring(L"JsonUdpConnect") : info.name;
}

// True when the acknowledgement of `entry` completes the user's message: a message sent whole, or the
// last segment of a segmented one. A segmented leader (it announces an attachment it does not carry) is
// completed by its last segment, not by its own acknowledgement.
bool CompletesMessage(const std::shared_ptr<JsonMsg>& leader, const std::shared_ptr<JsonMsg>& msg) {
    if (msg == leader) {
        return !(leader->att_size > 0 && leader->att.empty());
    }
    if (const auto* seg = dynamic_cast<const JsonMsgAtt*>(msg.get())) {
        return seg->seg_count != 0 && seg->seg_number == seg->seg_count - 1;
    }
    return false;
}

// The message id a datagram belongs to: a segment's leader, otherwise its own.
std::uint32_t LeaderIdOf(const JsonMsg& msg) {
    if (const auto* seg = dynamic_cast<const JsonMsgAtt*>(&msg)) {
        return seg->leader_id;
    }
    return msg.msg_id;
}

}  // namespace

std::wstring JsonUdpConnectStats::ToString() const {
    return FormatLine(
               L"MsgSent=%d, MsgReceived=%d, RepeatMsgSent=%d, RepeatAckSent=%d, DupMsgReceived=%d, "
               L"DupAckReceived=%d, MaxAckMs=%d",
               MsgSent, MsgReceived, RepeatMsgSent, RepeatAckSent, DupMsgReceived, DupAckReceived, MaxAckMs) +
           FormatLine(
               L", ForeignDropped=%d, ReassemblyBusyDropped=%d, SendRefused=%d, ReceiveQueueDropped=%d, "
               L"AckQueueDropped=%d, UndecodableDropped=%d",
               ForeignDropped, ReassemblyBusyDropped, SendRefused, ReceiveQueueDropped, AckQueueDropped,
               UndecodableDropped);
}

ErrInfo IJsonUdpConnect::Init(const JsonUdpManagerInfo& /*info*/) {
    ErrInfo err(ERR_PLACE("Network::IJsonUdpConnect::Init"));
    err.SetError(L"Method not available");
    return err;
}

std::shared_ptr<JsonUdpConnect> JsonUdpConnect::Create(const ComponentInfo& info, INetManager& manager) {
    return std::make_shared<JsonUdpConnect>(info, manager);
}

JsonUdpConnect::JsonUdpConnect(const ComponentInfo& info, INetManager& manager)
    : name_(SessionName(info)), log_(GetProcessDebugLog()), inner_(JsonUdpManager::Create(info, manager)) {}

JsonUdpConnect::~JsonUdpConnect() {
    {
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
        if (workerKeep_ && worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) {
            // The worker dropped the last reference: it leaves without touching the session again.
            std::lock_guard<std::mutex> lock(workerKeep_->mutex);
            workerKeep_->destroyed = true;
        }
    }
    Stop();
    // The endpoint may still hold this session as its receiver; without a socket it calls nobody.
    inner_->Stop();
}

ErrInfo JsonUdpConnect::Init(const JsonUdpConnectInfo& info) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (started_.load()) {
        StopLocked();
    }
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        info_ = info;
        if (info_.clock == nullptr) {
            info_.clock = &RealClock();
        }
        clock_.store(info_.clock);
        maxReceivedWaiting_.store(info_.max_received_waiting);
    }
    inner_->Drops().SetClock(info.clock);
    JsonUdpManagerInfo endpointInfo = info;
    endpointInfo.receiver = this;
    return inner_->Init(endpointInfo);
}

ErrInfo JsonUdpConnect::Start() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (started_.load()) {
        StopLocked();
    }
    for (auto& counter : counters_) {
        counter.store(0);
    }
    ErrInfo result = inner_->Start();
    if (!result.IsOk()) {
        StopLocked();
        return result;
    }
    stop_.store(false);
    lastActivityMs_.store(info_.clock->NowMs());
    workerKeep_ = std::make_shared<WorkerKeep>();
    worker_ = std::thread(&JsonUdpConnect::WorkerMain, this, workerKeep_, generation_.fetch_add(1) + 1);
    started_.store(true);
    return result;
}

void JsonUdpConnect::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    StopLocked();
}

void JsonUdpConnect::StopLocked() {
    // The worker goes first, so that it never sends into an endpoint that is being closed (which would
    // report a spurious "Bad socket").
    if (started_.load()) {
        stop_.store(true);
        wake_.Signal();
        if (worker_.joinable()) {
            if (worker_.get_id() == std::this_thread::get_id()) {
                // Stopped from a callback on the worker itself (or destroyed there): it cannot wait for
                // itself; it leaves its loop when the callback returns, and keeps the session alive until
                // then (nothing to keep when the session is being destroyed on it).
                {
                    std::lock_guard<std::mutex> lock(workerKeep_->mutex);
                    workerKeep_->self = weak_from_this().lock();
                }
                worker_.detach();
            } else {
                worker_.join();
            }
        }
        started_.store(false);
    }
    inner_->Stop();
}

bool JsonUdpConnect::IsStarted() {
    return started_.load();
}

ErrInfo JsonUdpConnect::SetDefaultSendAddr(const SockAddr& addr) {
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        info_.default_send_addr = addr;
    }
    return inner_->SetDefaultSendAddr(addr);
}

SockAddr JsonUdpConnect::GetDefaultSendAddr() {
    return inner_->GetDefaultSendAddr();
}

SockAddr JsonUdpConnect::GetLocalAddress() {
    return inner_->GetLocalAddress();
}

ErrInfo JsonUdpConnect::SendDirect(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) {
    return inner_->SendDirect(std::move(msg), dest);
}

ErrInfo JsonUdpConnect::Send(std::shared_ptr<JsonMsg> msg, const SockAddr& dest) {
    ErrInfo result(ERR_PLACE("Network::JsonUdpConnect::Send"));
    if (!msg) {
        return result.SetError(L"Bad message");
    }
    std::uint32_t maxPerDatagram = 0;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        maxPerDatagram = info_.max_att_per_datagram;
    }
    std::lock_guard<std::mutex> sending(sendMutex_);
    if (queuedMessages_.load() >= kJsonUdpMaxQueuedMessages) {
        Count(kSendRefused);
        return result.SetError(
            FormatLine(L"Send queue full: %zu messages wait for the peer (the limit); "
                       L"this one is not sent",
                       kJsonUdpMaxQueuedMessages));
    }
    const std::size_t length = msg->att.size();
    msg->att_size = length;
    if (maxPerDatagram == 0 || length <= maxPerDatagram) {
        outgoing_.Push(OutgoingMsg{msg, msg, dest});
    } else {
        const std::size_t count = (length + maxPerDatagram - 1) / maxPerDatagram;
        std::vector<OutgoingMsg> entries;
        entries.reserve(count + 1);
        entries.push_back(OutgoingMsg{msg, msg, dest});
        std::size_t offset = 0;
        for (std::size_t i = 0; i < count; ++i) {
            auto seg = std::make_shared<JsonMsgAtt>();
            seg->leader_id = msg->msg_id;
            seg->seg_number = static_cast<std::uint32_t>(i);
            seg->seg_count = static_cast<std::uint32_t>(count);
            const std::size_t piece = std::min<std::size_t>(maxPerDatagram, length - offset);
            seg->att.assign(msg->att.begin() + static_cast<std::ptrdiff_t>(offset),
                            msg->att.begin() + static_cast<std::ptrdiff_t>(offset + piece));
            seg->att_size = piece;
            offset += piece;
            entries.push_back(OutgoingMsg{msg, std::move(seg), dest});
        }
        // The leader keeps announcing the total in att_size; its bytes travel in the segments.
        msg->att.clear();
        msg->att.shrink_to_fit();
        // One push for all of them: no other message can come between a leader and its segments.
        outgoing_.PushAll(entries);
    }
    queuedMessages_.fetch_add(1);
    wake_.Signal();
    return result;
}

JsonUdpConnectStats JsonUdpConnect::GetStats() {
    JsonUdpConnectStats s;
    s.MsgSent = counters_[kMsgSent].load();
    s.MsgReceived = counters_[kMsgReceived].load();
    s.RepeatMsgSent = counters_[kRepeatMsgSent].load();
    s.RepeatAckSent = counters_[kRepeatAckSent].load();
    s.DupMsgReceived = counters_[kDupMsgReceived].load();
    s.DupAckReceived = counters_[kDupAckReceived].load();
    s.MaxAckMs = counters_[kMaxAckMs].load();
    s.PingSent = counters_[kPingSent].load();
    s.PingReceived = counters_[kPingReceived].load();
    s.PingAcked = counters_[kPingAcked].load();
    s.ForeignDropped = counters_[kForeignDropped].load();
    s.ReassemblyBusyDropped = counters_[kReassemblyBusyDropped].load();
    s.SendRefused = counters_[kSendRefused].load();
    s.ReceiveQueueDropped = counters_[kReceiveQueueDropped].load();
    s.AckQueueDropped = counters_[kAckQueueDropped].load();
    s.UndecodableDropped = static_cast<std::int32_t>(
        std::min<std::uint64_t>(inner_->Drops().Total(kDropUndecodable), INT32_MAX));
    {
        std::lock_guard<std::mutex> lock(receiveMutex_);
        s.ReassemblyBytes =
            reassembly_.msg ? static_cast<std::int64_t>(reassembly_.msg->att.capacity()) : std::int64_t{0};
    }
    return s;
}

IJsonUdpReceiver* JsonUdpConnect::User() {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return info_.receiver;
}

void JsonUdpConnect::ReportError(const ErrInfo& error) {
    if (IJsonUdpReceiver* user = User()) {
        user->OnError(this, error);
    }
}

// ---------------------------------------------------------------------------------------------------
// Worker thread

void JsonUdpConnect::WorkerMain(JsonUdpConnect* session, std::shared_ptr<WorkerKeep> keep,
                                std::uint64_t generation) {
    JsonUdpConnectInfo settings;
    {
        std::lock_guard<std::mutex> lock(session->settingsMutex_);
        settings = session->info_;
    }
    WriteAtLevel(session->log_, kLogThreads,
                 FormatLine(L"%ls: session worker started", session->name_.c_str()));
    for (;;) {
        const bool more = session->WorkerStep(settings, generation, *keep);
        if (!more) {
            WriteAtLevel(session->log_, kLogThreads,
                         FormatLine(L"%ls: session worker stopped", session->name_.c_str()));
        }
        std::shared_ptr<JsonUdpConnect> held;
        {
            std::lock_guard<std::mutex> lock(keep->mutex);
            held = std::move(keep->self);
        }
        // May destroy the session (a callback dropped the last reference): the session is not touched after.
        held.reset();
        if (!more) {
            return;
        }
        std::lock_guard<std::mutex> lock(keep->mutex);
        if (keep->destroyed) {
            return;
        }
    }
}

bool JsonUdpConnect::Current(std::uint64_t generation) const {
    // A worker detached by a Stop from its own callback must not go on after a new Start.
    return !stop_.load() && generation_.load() == generation;
}

void JsonUdpConnect::Hold(WorkerKeep& keep) {
    std::lock_guard<std::mutex> lock(keep.mutex);
    if (!keep.self) {
        keep.self = weak_from_this().lock();
    }
}

bool JsonUdpConnect::WorkerStep(const JsonUdpConnectInfo& settings, std::uint64_t generation,
                                WorkerKeep& keep) {
    if (!Current(generation)) {
        return false;
    }
    bool inFlight = false;
    {
        TimedLocker<NamedMutex> lock(outMutex_, L"Worker wait", 5, "Network::JsonUdpConnect::Worker",
                                     __FILE__, __LINE__);
        inFlight = outMsg_.HasValue();
    }
    // A stepped clock does not end a real wait, so with any clock but the real one the worker polls as it
    // does while a message is in flight.
    const bool poll = (settings.repeat_interval_ms > 0 && inFlight) || settings.clock != &RealClock();
    wake_.Wait(std::chrono::milliseconds(poll ? 1 : 100));
    if (!Current(generation)) {
        return false;
    }
    try {
        WorkerRound(settings, generation, keep);
    } catch (const std::exception& e) {
        ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::SetError"));
        err.SetError(e.what());
        Hold(keep);
        ReportError(err);
    } catch (...) {
        ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::SetError"));
        err.SetError(L"Unknown exception");
        Hold(keep);
        ReportError(err);
    }
    inner_->Drops().Poll();
    return Current(generation);
}

std::optional<JsonUdpConnect::OutgoingMsg> JsonUdpConnect::PopOutgoing() {
    if (heldBack_) {
        std::optional<OutgoingMsg> entry = std::move(heldBack_);
        heldBack_.reset();
        return entry;
    }
    std::optional<OutgoingMsg> entry = outgoing_.TryPop();
    if (entry && entry->msg == entry->leader) {
        queuedMessages_.fetch_sub(1);
    }
    return entry;
}

void JsonUdpConnect::WorkerRound(const JsonUdpConnectInfo& settings, std::uint64_t generation,
                                 WorkerKeep& keep) {
    // 1. At most one datagram: the next message when nothing is in flight, else a repetition when due.
    std::shared_ptr<JsonMsg> toSend;
    std::shared_ptr<JsonMsg> givenUp;
    SockAddr dest;
    const SockAddr defaultAddr = inner_->GetDefaultSendAddr();
    {
        TimedLocker<NamedMutex> lock(outMutex_, L"Worker send", 5, "Network::JsonUdpConnect::WorkerRound",
                                     __FILE__, __LINE__);
        const std::int64_t now = settings.clock->NowMs();
        if (!outMsg_.HasValue()) {
            if (std::optional<OutgoingMsg> next = PopOutgoing()) {
                outMsg_ = std::move(*next);
                toSend = outMsg_.msg;
                dest = outMsg_.dest;
                sentTo_ = dest.IsValid() ? dest : defaultAddr;
                lastSendMs_ = now;
                sendCount_ = 1;
            }
        } else if (settings.repeat_interval_ms > 0 && now - lastSendMs_ > settings.repeat_interval_ms) {
            if (sendCount_ >= settings.max_sends) {
                givenUp = std::move(outMsg_.msg);
                outMsg_ = OutgoingMsg{};
            } else {
                ++sendCount_;
                lastSendMs_ = now;
                Count(kRepeatMsgSent);
                toSend = outMsg_.msg;
                dest = outMsg_.dest;
            }
        }
    }

    if (givenUp) {
        // The rest of a segmented message goes with it.
        const std::uint32_t leaderId = LeaderIdOf(*givenUp);
        while (std::optional<OutgoingMsg> next = PopOutgoing()) {
            const auto* seg = dynamic_cast<const JsonMsgAtt*>(next->msg.get());
            if (seg == nullptr || seg->leader_id != leaderId) {
                heldBack_ = std::move(next);
                break;
            }
        }
        // The next message goes out in the following round, without waiting for the poll interval.
        wake_.Signal();
        throw ErrException(std::string("Protocol error. No ack received"));
    }

    if (toSend) {
        ErrInfo err = inner_->SendDirect(toSend, dest);
        if (!err.IsOk()) {
            // The message stays in flight and is repeated later.
            Hold(keep);
            ReportError(err);
        }
    }
    if (!Current(generation)) {
        return;
    }

    // 2. One acknowledged message and one received message per round to the user. A callback that stopped
    // the session ends the round: a worker detached by it touches nothing of the worker's own any more,
    // since the worker of a new Start may be running.
    if (std::optional<std::shared_ptr<JsonMsg>> acked = delivered_.TryPop()) {
        if (IJsonUdpReceiver* user = User()) {
            Hold(keep);
            user->OnAck(this, *acked);
        }
        wake_.Signal();
    }
    if (!Current(generation)) {
        return;
    }
    if (std::optional<InternalMsg> received = received_.TryPop()) {
        if (IJsonUdpReceiver* user = User()) {
            Hold(keep);
            user->OnMessage(this, received->msg, received->addr);
        }
        wake_.Signal();
    }
    if (!Current(generation)) {
        return;
    }

    // 3. Keep a quiet link alive.
    if (settings.ping) {
        const SockAddr pingAddr = inner_->GetDefaultSendAddr();
        const std::int64_t now = settings.clock->NowMs();
        if (pingAddr.IsValid() &&
            now - lastActivityMs_.load() >= static_cast<std::int64_t>(settings.ping_interval_ms)) {
            ErrInfo err = Send(std::make_shared<JsonMsgPing>(), pingAddr);
            err.MarkHandled();
            lastActivityMs_.store(now);
            Count(kPingSent);
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Receive side (socket service thread)

void JsonUdpConnect::OnAck(IJsonUdpManager* /*from*/, const std::shared_ptr<JsonMsg>& /*msg*/) {}

void JsonUdpConnect::OnError(IJsonUdpManager* /*from*/, const ErrInfo& error) {
    ReportError(error);
}

void JsonUdpConnect::Drop(const SockAddr& sender, Counter counter, const wchar_t* reason) {
    Count(counter);
    inner_->Drops().Count(sender, reason);
}

bool JsonUdpConnect::AcceptsFrom(IJsonUdpManager* /*from*/, const SockAddr& sender) {
    // A session with a peer hears only its peer, and the destination of a message in flight that was
    // sent elsewhere; anything else is dropped before it costs a decode.
    const SockAddr peer = inner_->GetDefaultSendAddr();
    if (!peer.IsValid() || sender == peer) {
        return true;
    }
    {
        TimedLocker<NamedMutex> lock(outMutex_, L"Accepts", 5, "Network::JsonUdpConnect::AcceptsFrom",
                                     __FILE__, __LINE__);
        if (outMsg_.HasValue() && sender == sentTo_) {
            return true;
        }
    }
    Drop(sender, kForeignDropped, kDropForeign);
    return false;
}

void JsonUdpConnect::TakeAck(const JsonMsgAck& ack, const SockAddr& sender) {
    std::shared_ptr<JsonMsg> completed;
    bool matched = false;
    bool fromPeer = false;
    bool wasPing = false;
    std::int64_t ackMs = 0;
    {
        TimedLocker<NamedMutex> lock(outMutex_, L"Ack", 5, "Network::JsonUdpConnect::OnMessage", __FILE__,
                                     __LINE__);
        fromPeer = outMsg_.HasValue() ? sender == sentTo_ : sender == inner_->GetDefaultSendAddr();
        if (fromPeer && outMsg_.HasValue() && ack.ack_msg_id == outMsg_.msg->msg_id) {
            matched = true;
            if (CompletesMessage(outMsg_.leader, outMsg_.msg)) {
                completed = outMsg_.leader;
            }
            wasPing = dynamic_cast<const JsonMsgPing*>(outMsg_.msg.get()) != nullptr;
            ackMs = clock_.load()->NowMs() - lastSendMs_;
            outMsg_ = OutgoingMsg{};
        }
    }
    if (fromPeer) {
        lastActivityMs_ = clock_.load()->NowMs();
    }
    if (matched) {
        if (completed) {
            if (delivered_.Size() >= kJsonUdpMaxAcksWaiting) {
                Drop(sender, kAckQueueDropped, kDropQueueFull);
            } else {
                delivered_.Push(std::move(completed));
            }
        }
        if (wasPing) {
            Count(kPingAcked);
        }
        Count(kMsgSent);
        const auto ms = static_cast<std::int32_t>(std::clamp<std::int64_t>(ackMs, 0, INT32_MAX));
        std::int32_t seen = counters_[kMaxAckMs].load();
        while (ms > seen && !counters_[kMaxAckMs].compare_exchange_weak(seen, ms)) {
        }
    } else if (fromPeer) {
        Count(kDupAckReceived);
    } else {
        Drop(sender, kForeignDropped, kDropForeign);
    }
    wake_.Signal();
}

void JsonUdpConnect::OnMessage(IJsonUdpManager* /*from*/, std::shared_ptr<JsonMsg> msg,
                               const SockAddr& sender) {
    // Nothing of the receive side may escape onto the service thread.
    try {
        if (!msg) {
            return;
        }
        if (const auto* ack = dynamic_cast<const JsonMsgAck*>(msg.get())) {
            TakeAck(*ack, sender);
            return;
        }
        // A session with a peer has heard only its peer (AcceptsFrom) and acknowledges nobody else.
        const std::int64_t nowMs = clock_.load()->NowMs();
        lastActivityMs_.store(nowMs);

        bool isNew = false;
        const wchar_t* refused = nullptr;
        {
            std::lock_guard<std::mutex> lock(receiveMutex_);
            if (receivedMsg_ && receivedMsg_->msg_id == msg->msg_id && receivedFrom_ == sender &&
                nowMs - receivedAtMs_ < kJsonUdpDuplicateWindowMs) {
                // Acknowledged again: its sender missed our acknowledgement.
                Count(kDupMsgReceived);
                Count(kRepeatAckSent);
            } else {
                refused = Take(msg, sender);
                if (refused == nullptr) {
                    isNew = true;
                    receivedMsg_ = msg;
                    receivedFrom_ = sender;
                    receivedAtMs_ = nowMs;
                    Count(kMsgReceived);
                }
            }
        }
        if (refused != nullptr) {
            Drop(sender, refused == kDropQueueFull ? kReceiveQueueDropped : kReassemblyBusyDropped, refused);
            return;
        }
        ErrInfo ackResult = inner_->SendDirect(std::make_shared<JsonMsgAck>(msg->msg_id), sender);
        if (!ackResult.IsOk()) {
            ReportError(ackResult);
        }
        if (isNew && dynamic_cast<const JsonMsgPing*>(msg.get()) != nullptr) {
            Count(kPingReceived);
        }
        wake_.Signal();
    } catch (const std::exception& e) {
        ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::OnMessage"));
        err.SetError(e.what());
        ReportError(err);
    } catch (...) {
        ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::OnMessage"));
        err.SetError(L"Unknown exception");
        ReportError(err);
    }
}

const wchar_t* JsonUdpConnect::Take(const std::shared_ptr<JsonMsg>& msg, const SockAddr& sender) {
    const auto* seg = dynamic_cast<const JsonMsgAtt*>(msg.get());
    const bool busy = reassembly_.msg != nullptr;
    if (busy && sender != reassembly_.addr && (seg != nullptr || msg->att.size() < msg->att_announced)) {
        // The reassembly belongs to its leader's sender; others try again later.
        return kDropReassemblyBusy;
    }
    if (seg == nullptr) {
        if (msg->att.size() < msg->att_announced) {
            // A leader: its segments follow. A new one of the same sender ends the one before.
            reassembly_ = InternalMsg{msg, sender};
            nextSegment_ = 0;
            return nullptr;
        }
        if (received_.Size() >= maxReceivedWaiting_.load()) {
            return kDropQueueFull;
        }
        received_.Push(InternalMsg{msg, sender});
        return nullptr;
    }
    if (!busy) {
        return nullptr;  // a segment without its leader: acknowledged, and lost
    }
    JsonMsg& leader = *reassembly_.msg;
    const std::uint64_t missing = leader.att_announced - leader.att.size();
    const bool fits = seg->seg_number == nextSegment_ && seg->leader_id == leader.msg_id &&
                      seg->att.size() == seg->att_announced && seg->att.size() <= missing;
    if (!fits) {
        // Out of order, of another message, short or too long: the message being put together is lost.
        reassembly_ = InternalMsg{};
        return nullptr;
    }
    const bool last = nextSegment_ + 1 == seg->seg_count;
    if (last && received_.Size() >= maxReceivedWaiting_.load()) {
        return kDropQueueFull;  // the last segment comes again, and finds the reassembly as it was
    }
    leader.att.insert(leader.att.end(), seg->att.begin(), seg->att.end());
    leader.att_size = leader.att.size();
    ++nextSegment_;
    if (last) {
        if (leader.att.size() == leader.att_announced) {
            received_.Push(reassembly_);
        }
        reassembly_ = InternalMsg{};
    }
    return nullptr;
}

}  // namespace Network
