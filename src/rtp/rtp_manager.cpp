#include "rtp/rtp_manager.h"

#include <algorithm>
#include <utility>

#include "common/environment.h"

namespace Network {

namespace {

constexpr std::int64_t kMinuteMs = 60000;
constexpr std::uint32_t kSlowMs = 5;

std::wstring ManagerName(const ComponentInfo& info) {
    return info.name.empty() ? std::wstring(L"RtpManager") : info.name;
}

// The period clock of the statistics never turns by itself: the manager reports them on the minutes of
// its own clock.
std::uint64_t NoMinute() {
    return 0;
}

void ConfigureStatistics(Statistics& stats) {
    stats.SetMinuteSource(&NoMinute);
    // Intervals of the clock's milliseconds, 0 to 50 ms with a bucket each.
    stats.Configure(Statistics::kKindFull, 1, 1000, 1000, 0, 50);
}

}  // namespace

// ---- targets ----

void RtpTargetList::Add(ISyncTarget* target) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::binary_search(targets_->begin(), targets_->end(), target)) {
        return;
    }
    auto next = std::make_shared<std::vector<ISyncTarget*>>(*targets_);
    next->insert(std::lower_bound(next->begin(), next->end(), target), target);
    targets_ = std::move(next);
}

bool RtpTargetList::Remove(ISyncTarget* target) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!std::binary_search(targets_->begin(), targets_->end(), target)) {
        return false;
    }
    auto next = std::make_shared<std::vector<ISyncTarget*>>(*targets_);
    next->erase(std::lower_bound(next->begin(), next->end(), target));
    targets_ = std::move(next);
    return true;
}

std::shared_ptr<const std::vector<ISyncTarget*>> RtpTargetList::Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_;
}

// ---- RtpManager ----

RtpManager::RtpManager(const ComponentInfo& info, INetManager* netManager, IClock* clock)
    : name_(ManagerName(info)),
      netManager_(netManager),
      clock_(clock != nullptr ? clock : &RealClock()),
      log_(GetProcessDebugLog()),
      chans_(std::make_shared<Channels>()),
      sendStats_(FormatLine(L"%ls.Send", name_.c_str())),
      recvStats_(FormatLine(L"%ls.Recv", name_.c_str())) {
    ConfigureStatistics(sendStats_);
    ConfigureStatistics(recvStats_);
    notifying_.reserve(4);
    WriteAtLevel(log_, kLogThreads, FormatLine(L"RtpManager \"%ls\": Created", name_.c_str()));
}

RtpManager::~RtpManager() {
    if (running_.load() || !Snapshot()->recv.empty() || !Snapshot()->send.empty()) {
        Stop();
    }
    WriteAtLevel(log_, kLogThreads, FormatLine(L"RtpManager \"%ls\": Destroyed", name_.c_str()));
}

void RtpManager::AddTarget(ISyncTarget* target) {
    targets_.Add(target);
}

ErrInfo RtpManager::DelTarget(ISyncTarget* target) {
    ErrInfo err(ERR_PLACE("Network::RtpManager::DelTarget"));
    if (!targets_.Remove(target)) {
        err.SetError(L"Sync target not found");
    }
    return err;
}

std::shared_ptr<const RtpManager::Channels> RtpManager::Snapshot() {
    std::lock_guard<std::mutex> lock(chansMutex_);
    return chans_;
}

std::shared_ptr<const RtpManager::Channels> RtpManager::Publish(std::shared_ptr<const Channels> channels) {
    std::lock_guard<std::mutex> lock(chansMutex_);
    chans_.swap(channels);
    return channels;
}

void RtpManager::CloseChannels() {
    const std::shared_ptr<const Channels> old = Publish(std::make_shared<Channels>());
    for (const auto& chan : old->recv) {
        chan->Stop();
    }
    for (const auto& chan : old->send) {
        chan->Close();
    }
}

ErrInfo RtpManager::Init(const RtpManagerInfo& info) {
    ErrInfo valid = info.IsValid();
    if (!valid.IsOk()) {
        return valid;
    }
    CloseChannels();
    {
        TimedLocker<NamedMutex> lock(recvLock_, L"", kSlowMs, "Network::RtpManager::Init", __FILE__,
                                     __LINE__);
        window_ = info.buffer_window;
        latency_ = info.start_latency;
    }
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        packetFrames_ = info.PacketSmplSize;
    }
    sampleFreq_.store(info.SampleFreq);
    WriteAtLevel(log_, kLogThreads,
                 FormatLine(L"RtpManager \"%ls\": Init: FS = %u Packet samples = %u", name_.c_str(),
                            info.SampleFreq, info.PacketSmplSize));

    // The automatic-sockets flag goes to the channels, which use the sockets of the service either way.
    auto chans = std::make_shared<Channels>();
    for (std::size_t i = 0; i < info.recv_chans.size(); ++i) {
        RtpRecvChanInfoEx ex;
        static_cast<RtpRecvChanInfo&>(ex) = info.recv_chans[i];
        ex.receiver = this;
        ex.capacity = info.buffer_window;
        chans->recv.push_back(RtpRecvChan::Create(
            ComponentInfo{FormatLine(L"%ls.Recv[%d]", name_.c_str(), static_cast<int>(i))}, netManager_, ex,
            info.auto_sockets, clock_));
    }
    for (std::size_t i = 0; i < info.send_chans.size(); ++i) {
        chans->send.push_back(std::make_shared<RtpSendChan>(
            ComponentInfo{FormatLine(L"%ls.Send[%d]", name_.c_str(), static_cast<int>(i))}, netManager_,
            info.send_chans[i], info.auto_sockets, clock_));
    }
    // Published before the sockets open: a packet that arrives at once finds its ring in the lists.
    Publish(chans);
    {
        std::lock_guard<std::mutex> lock(notifyMutex_);
        gateClosed_ = false;
    }
    // A channel that cannot listen (its port in use) fails the session: it could never receive.
    for (const auto& chan : chans->recv) {
        ErrInfo opened = chan->Init();
        if (!opened.IsOk()) {
            CloseChannels();
            return opened;
        }
    }
    for (const auto& chan : chans->send) {
        ErrInfo opened = chan->Open();
        if (!opened.IsOk()) {
            CloseChannels();
            return opened;
        }
    }
    return ErrInfo(ERR_PLACE("Network::RtpManager::Init"));
}

ErrInfo RtpManager::Start() {
    running_.store(true);
    WriteAtLevel(log_, kLogThreads, FormatLine(L"RtpManager \"%ls\": Started", name_.c_str()));
    return ErrInfo(ERR_PLACE("Network::RtpManager::Start"));
}

void RtpManager::Stop() {
    running_.store(false);
    {
        std::unique_lock<std::mutex> lock(notifyMutex_);
        gateClosed_ = true;
        const std::thread::id self = std::this_thread::get_id();
        for (Notifying& n : notifying_) {
            if (n.thread == self) {
                n.stopping = true;
            }
        }
        // Notifications run to their end, except those of threads that are themselves in Stop: this one
        // (a target stopping its source) and any other (which would wait for this one, and this for it).
        const auto othersDone = [&] {
            return std::all_of(notifying_.begin(), notifying_.end(),
                               [](const Notifying& n) { return n.stopping; });
        };
        if (!othersDone()) {
            WriteAtLevel(
                log_, kLogThreads,
                FormatLine(L"RtpManager \"%ls\": Stop: waiting for the notifications of other threads",
                           name_.c_str()));
            notifyDone_.wait(lock, othersDone);
        }
    }
    CloseChannels();
    WriteAtLevel(log_, kLogThreads, FormatLine(L"RtpManager \"%ls\": Stopped", name_.c_str()));
    std::lock_guard<std::mutex> lock(statsMutex_);
    sendStats_.ReportAndReset();
    recvStats_.ReportAndReset();
}

void RtpManager::Notify(std::int64_t position) {
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(notifyMutex_);
        if (gateClosed_) {
            return;
        }
        notifying_.push_back(Notifying{self, false});
    }
    // The entry goes when the notification ends, however it ends: a Stop waiting for it must not hang.
    const auto done = [this, self](void*) {
        std::lock_guard<std::mutex> lock(notifyMutex_);
        const auto mine = std::find_if(notifying_.rbegin(), notifying_.rend(),
                                       [&](const Notifying& n) { return n.thread == self; });
        notifying_.erase(std::next(mine).base());
        notifyDone_.notify_all();
    };
    const std::unique_ptr<void, decltype(done)> guard(this, done);
    const std::shared_ptr<const std::vector<ISyncTarget*>> targets = targets_.Get();
    const std::uint32_t freq = sampleFreq_.load();
    for (ISyncTarget* target : *targets) {
        target->OnSync(this, position, freq);
    }
}

void RtpManager::ReportStatisticsIfDue(std::int64_t nowMs) {
    const std::int64_t minute = nowMs / kMinuteMs;
    if (statsMinute_ >= 0 && minute != statsMinute_) {
        sendStats_.ReportAndReset();
        recvStats_.ReportAndReset();
    }
    statsMinute_ = minute;
}

void RtpManager::OnRtpPacket(RtpRecvChan* channel, const std::shared_ptr<Packet>& packet) {
    if (channel == nullptr || !packet || packet->Size() < kRtpHeaderSize) {
        return;
    }
    const RtpPacket rtp(packet);
    const std::uint16_t seq = rtp.SequenceNumber();
    const std::uint32_t ts = rtp.Timestamp();
    bool notify = true;
    std::int64_t position = 0;
    {
        TimedLocker<NamedMutex> lock(recvLock_, L"", kSlowMs, "Network::RtpManager::OnRtpPacket", __FILE__,
                                     __LINE__);
        std::int64_t extSeq = seq;
        if (synced_) {
            const std::int64_t prevSeqNum = seqNum_;
            const std::int64_t prevTs = highTs_;
            extSeq = seqNum_ + static_cast<std::int16_t>(
                                   static_cast<std::uint16_t>(seq - static_cast<std::uint16_t>(seqNum_)));
            // A sender may push the timestamp by up to 2^31 a packet: wrap rather than overflow.
            const std::int32_t tsStep = static_cast<std::int32_t>(ts - static_cast<std::uint32_t>(highTs_));
            const auto extTs = static_cast<std::int64_t>(static_cast<std::uint64_t>(highTs_) +
                                                         static_cast<std::uint64_t>(std::int64_t{tsStep}));
            if (extSeq > seqNum_) {
                seqNum_ = extSeq;
                const std::int64_t now = clock_->NowMs();
                {
                    std::lock_guard<std::mutex> stats(statsMutex_);
                    recvStats_.AddSample(static_cast<std::uint64_t>(now));
                    ReportStatisticsIfDue(now);
                }
                const std::int64_t minute = now / kMinuteMs;
                if (minute != reportMinute_) {
                    if (reportMinute_ >= 0) {
                        WriteAtLevel(
                            log_, kLogPeriodic,
                            FormatLine(L"STATISTICS: %ls: SeqNumPos=%lld, SeqNum=%lld, PosInBuf=%lld",
                                       name_.c_str(), static_cast<long long>(seqNumPos_),
                                       static_cast<long long>(seqNum_),
                                       static_cast<long long>(extSeq - seqNumPos_)));
                    }
                    reportMinute_ = minute;
                }
            }
            if (extTs > highTs_) {
                highTs_ = extTs;
            }
            if (highTs_ == prevTs) {
                notify = false;
            }
            if (seqNum_ < seqNumPos_ || extSeq >= seqNumPos_ + window_) {
                synced_ = false;
                channel->Count(RtpRecvChan::kRelock);
                if (syncLines_.Take(log_, kLogErrors, name_, clock_->NowMs())) {
                    WriteAtLevel(log_, kLogErrors,
                                 FormatLine(L"%ls: RTP sync LOST: SeqNumPos=%lld, SeqNum=%lld, seq_num=%lld, "
                                            L"old_seq_num=%lld, PosInBuf=%lld",
                                            name_.c_str(), static_cast<long long>(seqNumPos_),
                                            static_cast<long long>(seqNum_), static_cast<long long>(extSeq),
                                            static_cast<long long>(prevSeqNum),
                                            static_cast<long long>(extSeq - seqNumPos_)));
                }
            }
        }
        if (!synced_) {
            Notify(-1);
            extSeq = seq;
            seqNum_ = seq;
            seqNumPos_ = seqNum_ - latency_;
            lockSeq_ = seqNum_;
            highTs_ = ts;
            synced_ = true;
            // Packets of the old timing would be read as blocks at positions of the new one. The lists are
            // looked up only here: a lock is rare, a packet is not.
            const std::shared_ptr<const Channels> chans = Snapshot();
            for (const auto& chan : chans->recv) {
                chan->Clear();
            }
            if (syncLines_.Take(log_, kLogErrors, name_, clock_->NowMs())) {
                WriteAtLevel(log_, kLogErrors,
                             FormatLine(L"%ls: RTP sync LOCK: SeqNumPos=%lld, SeqNum=%lld, PosInBuf=%lld",
                                        name_.c_str(), static_cast<long long>(seqNumPos_),
                                        static_cast<long long>(seqNum_),
                                        static_cast<long long>(seqNum_ - seqNumPos_)));
            }
        }
        if (extSeq >= seqNumPos_ && extSeq < seqNumPos_ + window_) {
            if (channel->Store(static_cast<std::uint64_t>(extSeq - seqNumPos_), packet)) {
                channel->Count(RtpRecvChan::kDuplicate);
            }
            channel->Count(RtpRecvChan::kReceived);
        } else {
            channel->Count(RtpRecvChan::kLate);
        }
        position = highTs_;
    }
    if (notify) {
        Notify(position);
    }
}

void RtpManager::RecvPackets(std::vector<std::shared_ptr<Packet>>& packets) {
    bool filling = false;
    RecvPackets(packets, filling);
}

void RtpManager::RecvPackets(std::vector<std::shared_ptr<Packet>>& packets, bool& filling) {
    const std::shared_ptr<const Channels> chans = Snapshot();
    packets.resize(chans->recv.size());
    {
        TimedLocker<NamedMutex> lock(recvLock_, L"", kSlowMs, "Network::RtpManager::RecvPackets", __FILE__,
                                     __LINE__);
        for (std::size_t i = 0; i < chans->recv.size(); ++i) {
            packets[i] = chans->recv[i]->Take();
        }
        filling = seqNumPos_ < lockSeq_;
        ++seqNumPos_;
    }
    // The last minute of a flood is reported even when the flood has stopped.
    for (const auto& chan : chans->recv) {
        chan->PollDrops();
    }
}

void RtpManager::SendPackets(std::vector<RtpPacket>& packets) {
    const std::shared_ptr<const Channels> chans = Snapshot();
    std::lock_guard<std::mutex> lock(sendMutex_);
    {
        const std::int64_t now = clock_->NowMs();
        std::lock_guard<std::mutex> stats(statsMutex_);
        sendStats_.AddSample(static_cast<std::uint64_t>(now));
        ReportStatisticsIfDue(now);
    }
    std::vector<RtpPacket> replacements;
    for (std::size_t i = 0; i < chans->send.size() && i < packets.size(); ++i) {
        RtpPacket& packet = packets[i];
        if (packet.IsEmpty()) {
            continue;  // a channel of an unknown payload type has nothing to send
        }
        packet.SetSequenceNumber(static_cast<std::uint16_t>(sendSeq_));
        packet.SetTimestamp(static_cast<std::uint32_t>(sendTs_));
        RtpSendChan& chan = *chans->send[i];
        replacements.clear();
        if (filter_ != nullptr && !filter_->Process(packet, replacements)) {
            for (const RtpPacket& r : replacements) {
                chan.Send(r).MarkHandled();
            }
        } else if (chan.HasDestination()) {
            chan.Send(packet).MarkHandled();
        }
    }
    ++sendSeq_;
    sendTs_ += packetFrames_;
}

void RtpManager::SetSendFilter(IRtpSendFilter* filter) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    filter_ = filter;
}

ErrInfo RtpManager::SendChanAddr(std::size_t index, std::size_t path, const SockAddr& address,
                                 const char* method) {
    const std::shared_ptr<const Channels> chans = Snapshot();
    if (index >= chans->send.size()) {
        ErrInfo err(method, __FILE__, __LINE__);
        return err.SetError(L"Incorrect channel index");
    }
    return chans->send[index]->SetSendAddr(path, address);
}

ErrInfo RtpManager::SetSendChanAddr(std::size_t index, const SockAddr& address) {
    return SendChanAddr(index, 0, address, "Network::RtpManager::SetSendChanAddr");
}

ErrInfo RtpManager::SetSendChanAddr2(std::size_t index, const SockAddr& address) {
    return SendChanAddr(index, 1, address, "Network::RtpManager::SetSendChanAddr2");
}

ErrInfo RtpManager::SetPayloadType(std::size_t index, std::uint8_t payloadType) {
    ErrInfo err(ERR_PLACE("Network::RtpManager::SetPayloadType"));
    const std::shared_ptr<const Channels> chans = Snapshot();
    if (index >= chans->send.size()) {
        return err.SetError(L"Incorrect channel index");
    }
    chans->send[index]->SetPayloadType(payloadType);
    return err;
}

std::shared_ptr<RtpRecvChan> RtpManager::GetRecvChan(std::size_t index) {
    const std::shared_ptr<const Channels> chans = Snapshot();
    return index < chans->recv.size() ? chans->recv[index] : nullptr;
}

SockAddr RtpManager::GetRecvChanAddr(std::size_t index) {
    const std::shared_ptr<RtpRecvChan> chan = GetRecvChan(index);
    return chan ? chan->GetAddr() : SockAddr();
}

bool RtpManager::GetRecvStreamState(std::size_t index) {
    const std::shared_ptr<RtpRecvChan> chan = GetRecvChan(index);
    return chan && chan->GetStreamState();
}

RtpStreamStats RtpManager::GetRecvStreamStats(std::size_t index) {
    const std::shared_ptr<RtpRecvChan> chan = GetRecvChan(index);
    return chan ? chan->Stats() : RtpStreamStats{};
}

// ---- RtpAudioManager ----

RtpAudioManager::RtpAudioManager(const ComponentInfo& info, INetManager* netManager, IClock* clock)
    : log_(GetProcessDebugLog()), inner_(std::make_shared<RtpManager>(info, netManager, clock)) {
    inner_->AddTarget(this);
}

RtpAudioManager::~RtpAudioManager() {
    inner_->Stop();
    inner_->DelTarget(this).MarkHandled();
}

ErrInfo RtpAudioManager::DelTarget(ISyncTarget* target) {
    ErrInfo err(ERR_PLACE("Network::RtpAudioManager::DelTarget"));
    if (!targets_.Remove(target)) {
        err.SetError(L"Sync target not found");
    }
    return err;
}

void RtpAudioManager::OnSync(ISyncSource* source, std::int64_t position, std::uint32_t sampleFreq) {
    (void)source;
    const std::shared_ptr<const std::vector<ISyncTarget*>> targets = targets_.Get();
    for (ISyncTarget* target : *targets) {
        target->OnSync(this, position, sampleFreq);
    }
}

void RtpAudioManager::RecvAudio(const std::vector<float*>& buffers, std::uint32_t frames) {
    IClock& clock = inner_->GetClock();
    const std::int64_t start = clock.NowMs();
    const std::shared_ptr<const RtpManager::Channels> chans = inner_->Snapshot();
    std::lock_guard<std::mutex> lock(recvMutex_);
    bool filling = false;
    inner_->RecvPackets(packets_, filling);
    std::size_t expected = 0;
    for (const auto& chan : chans->recv) {
        expected += chan->ExpectedChannels();
    }
    // A list that does not match the channels (replaced meanwhile, or the caller's mistake) is not touched.
    if (packets_.size() == chans->recv.size() && expected == buffers.size()) {
        std::size_t k = 0;
        for (std::size_t i = 0; i < packets_.size(); ++i) {
            RtpRecvChan& chan = *chans->recv[i];
            const std::uint32_t n = chan.ExpectedChannels();
            const RtpPacket packet(packets_[i]);
            const bool present = packets_[i] != nullptr;
            const bool good = present && packet.Channels() == n && packet.Frames() == frames;
            // A missing packet, or one of another format or size, gives this stream silence; the walk goes
            // on.
            chan.Count(good      ? RtpRecvChan::kPlayed
                       : present ? RtpRecvChan::kBad
                       : filling ? RtpRecvChan::kFill
                                 : RtpRecvChan::kSilent);
            if (good) {
                packet.ReadChannels(buffers.data() + k, frames);
                k += n;
                continue;
            }
            for (std::uint32_t c = 0; c < n; ++c, ++k) {
                if (buffers[k] != nullptr) {
                    std::fill(buffers[k], buffers[k] + frames, 0.0f);
                }
            }
        }
    }
    std::fill(packets_.begin(), packets_.end(), nullptr);
    const std::int64_t took = clock.NowMs() - start;
    if (took >= static_cast<std::int64_t>(kSlowMs)) {
        WriteAtLevel(
            log_, kLogErrors,
            FormatLine(L"DURATION: %d ms : %ls", static_cast<int>(took), L"RtpAudioManager::RecvAudio"));
    }
}

void RtpAudioManager::SendAudio(const std::vector<float*>& buffers, std::uint32_t frames) {
    const std::shared_ptr<const RtpManager::Channels> chans = inner_->Snapshot();
    std::vector<std::uint8_t> types;
    types.reserve(chans->send.size());
    std::size_t expected = 0;
    for (const auto& chan : chans->send) {
        types.push_back(chan->PayloadType());
        expected += RtpChannels(types.back());
    }
    if (expected != buffers.size() || frames > kRtpMaxPacketFrames) {
        return;
    }
    std::vector<RtpPacket> packets;
    packets.reserve(types.size());
    std::size_t k = 0;
    for (const std::uint8_t pt : types) {
        RtpPacket packet = RtpPacket::Create(pt, frames);
        for (std::uint32_t c = 0; c < RtpChannels(pt); ++c, ++k) {
            if (buffers[k] != nullptr) {
                packet.WriteChannel(buffers[k], c, 1, 0, frames);
            } else {
                packet.SilenceChannel(c, 0, frames);
            }
        }
        packets.push_back(std::move(packet));
    }
    inner_->SendPackets(packets);
}

std::shared_ptr<IRtpAudioManager> CreateRtpAudioManager(const ComponentInfo& info, INetManager* netManager,
                                                        IClock* clock) {
    return std::make_shared<RtpAudioManager>(info, netManager, clock);
}

}  // namespace Network
