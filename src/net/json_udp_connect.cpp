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
        MsgSent, MsgReceived, RepeatMsgSent, RepeatAckSent, DupMsgReceived, DupAckReceived, MaxAckMs);
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
    }
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
    worker_ = std::thread(&JsonUdpConnect::Worker, this, generation_.fetch_add(1) + 1);
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
                // Stopped from a callback on the worker itself: it cannot wait for itself; it leaves its
                // loop when the callback returns.
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

void JsonUdpConnect::Worker(std::uint64_t generation) {
    JsonUdpConnectInfo settings;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        settings = info_;
    }
    WriteAtLevel(log_, kLogThreads, FormatLine(L"%ls: session worker started", name_.c_str()));
    // A worker detached by a Stop from its own callback must not go on after a new Start.
    const auto current = [&] { return !stop_.load() && generation_.load() == generation; };
    while (current()) {
        bool inFlight = false;
        {
            TimedLocker<NamedMutex> lock(outMutex_, L"Worker wait", 5, "Network::JsonUdpConnect::Worker",
                                         __FILE__, __LINE__);
            inFlight = outMsg_.HasValue();
        }
        // A stepped clock does not end a real wait, so with any clock but the real one the worker polls
        // as it does while a message is in flight.
        const bool poll = (settings.repeat_interval_ms > 0 && inFlight) || settings.clock != &RealClock();
        wake_.Wait(std::chrono::milliseconds(poll ? 1 : 100));
        if (!current()) {
            break;
        }
        try {
            WorkerRound(settings);
        } catch (const std::exception& e) {
            ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::SetError"));
            err.SetError(e.what());
            ReportError(err);
        } catch (...) {
            ErrInfo err(ERR_PLACE("Network::JsonUdpConnect::SetError"));
            err.SetError(L"Unknown exception");
            ReportError(err);
        }
    }
    WriteAtLevel(log_, kLogThreads, FormatLine(L"%ls: session worker stopped", name_.c_str()));
}

std::optional<JsonUdpConnect::OutgoingMsg> JsonUdpConnect::PopOutgoing() {
    if (heldBack_) {
        std::optional<OutgoingMsg> entry = std::move(heldBack_);
        heldBack_.reset();
        return entry;
    }
    return outgoing_.TryPop();
}

void JsonUdpConnect::WorkerRound(const JsonUdpConnectInfo& settings) {
    // 1. At most one datagram: the next message when nothing is in flight, else a repetition when due.
    std::shared_ptr<JsonMsg> toSend;
    std::shared_ptr<JsonMsg> givenUp;
    SockAddr dest;
    {
        TimedLocker<NamedMutex> lock(outMutex_, L"Worker send", 5, "Network::JsonUdpConnect::WorkerRound",
                                     __FILE__, __LINE__);
        const std::int64_t now = settings.clock->NowMs();
        if (!outMsg_.HasValue()) {
            if (std::optional<OutgoingMsg> next = PopOutgoing()) {
                outMsg_ = std::move(*next);
                toSend = outMsg_.msg;
                dest = outMsg_.dest;
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
            ReportError(err);
        }
    }

    // 2. One acknowledged message and one received message per round to the user.
    if (std::optional<std::shared_ptr<JsonMsg>> acked = delivered_.TryPop()) {
        if (IJsonUdpReceiver* user = User()) {
            user->OnAck(this, *acked);
        }
        wake_.Signal();
    }
    if (std::optional<InternalMsg> received = received_.TryPop()) {
        if (IJsonUdpReceiver* user = User()) {
            user->OnMessage(this, received->msg, received->addr);
        }
        wake_.Signal();
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

void JsonUdpConnect::OnMessage(IJsonUdpManager* /*from*/, std::shared_ptr<JsonMsg> msg,
                               const SockAddr& sender) {
    // Nothing of the receive side may escape onto the service thread.
    try {
        if (!msg) {
            return;
        }
        lastActivityMs_.store(clock_.load()->NowMs());

        if (const auto* ack = dynamic_cast<const JsonMsgAck*>(msg.get())) {
            std::shared_ptr<JsonMsg> completed;
            bool matched = false;
            bool wasPing = false;
            std::int64_t ackMs = 0;
            {
                TimedLocker<NamedMutex> lock(outMutex_, L"Ack", 5, "Network::JsonUdpConnect::OnMessage",
                                             __FILE__, __LINE__);
                if (outMsg_.HasValue() && ack->ack_msg_id == outMsg_.msg->msg_id) {
                    matched = true;
                    if (CompletesMessage(outMsg_.leader, outMsg_.msg)) {
                        completed = outMsg_.leader;
                    }
                    wasPing = dynamic_cast<const JsonMsgPing*>(outMsg_.msg.get()) != nullptr;
                    ackMs = clock_.load()->NowMs() - lastSendMs_;
                    outMsg_ = OutgoingMsg{};
                }
            }
            if (matched) {
                if (completed) {
                    delivered_.Push(std::move(completed));
                }
                if (wasPing) {
                    Count(kPingAcked);
                }
                Count(kMsgSent);
                const auto ms = static_cast<std::int32_t>(std::clamp<std::int64_t>(ackMs, 0, INT32_MAX));
                std::int32_t seen = counters_[kMaxAckMs].load();
                while (ms > seen && !counters_[kMaxAckMs].compare_exchange_weak(seen, ms)) {
                }
            } else {
                Count(kDupAckReceived);
            }
            wake_.Signal();
            return;
        }

        // Every other message is acknowledged at once, also a duplicate (its sender missed our ack).
        ErrInfo ackResult = inner_->SendDirect(std::make_shared<JsonMsgAck>(msg->msg_id), sender);
        if (!ackResult.IsOk()) {
            ReportError(ackResult);
        }

        bool isNew = false;
        {
            std::lock_guard<std::mutex> lock(receiveMutex_);
            if (receivedMsg_ && receivedMsg_->msg_id == msg->msg_id && receivedFrom_ == sender) {
                Count(kDupMsgReceived);
                Count(kRepeatAckSent);
            } else {
                isNew = true;
                receivedMsg_ = msg;
                receivedFrom_ = sender;
                Reassemble(msg, sender);
                Count(kMsgReceived);
            }
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

void JsonUdpConnect::Reassemble(const std::shared_ptr<JsonMsg>& msg, const SockAddr& sender) {
    auto* seg = dynamic_cast<JsonMsgAtt*>(msg.get());
    if (!reassembly_.msg) {
        if (seg != nullptr) {
            return;  // a segment without its leader
        }
        if (msg->att.empty() || msg->att_size == msg->att.size()) {
            received_.Push(InternalMsg{msg, sender});
        } else if (msg->att_size < msg->att.size()) {
            // A leader: its buffer has the announced length (bounded by the decoder), the segments fill it.
            reassembly_ = InternalMsg{msg, sender};
            nextSegment_ = 0;
        }
        return;
    }

    JsonMsg& leader = *reassembly_.msg;
    const std::size_t missing = leader.att.size() - static_cast<std::size_t>(leader.att_size);
    const bool fits = seg != nullptr && seg->seg_number == nextSegment_ && seg->att_size == seg->att.size() &&
                      seg->att.size() <= missing && seg->leader_id == leader.msg_id &&
                      sender == reassembly_.addr;
    if (!fits) {
        // Anything else (another message, a segment out of order, of another message or another sender)
        // loses the message being put together, and is dropped itself.
        reassembly_ = InternalMsg{};
        return;
    }
    std::copy(seg->att.begin(), seg->att.end(),
              leader.att.begin() + static_cast<std::ptrdiff_t>(leader.att_size));
    leader.att_size += seg->att.size();
    ++nextSegment_;
    if (nextSegment_ == seg->seg_count) {
        if (leader.att_size == leader.att.size()) {
            received_.Push(reassembly_);
        }
        reassembly_ = InternalMsg{};
    }
}

}  // namespace Network
