#include "rtp/rtp_channel.h"

#include <utility>

#include "common/environment.h"
#include "net/udp_sock_auto.h"

namespace Network {

namespace {

// A socket of the service, or with `autoSockets` one that re-opens itself after a failed Open.
std::shared_ptr<IUdpSock> MakeSocket(INetManager* netManager, bool autoSockets) {
    if (netManager == nullptr) {
        return nullptr;
    }
    return autoSockets ? UdpSockAuto::Create(*netManager) : netManager->CreateUdpSock();
}

// A self-reopening socket whose Open failed keeps trying by itself.
bool OpensLater(const std::shared_ptr<IUdpSock>& sock) {
    auto* reopening = dynamic_cast<UdpSockAuto*>(sock.get());
    return reopening != nullptr && reopening->IsReopenRequested();
}

constexpr std::int64_t kMinuteMs = 60000;

std::wstring NameOr(const ComponentInfo& info, const wchar_t* fallback) {
    return info.name.empty() ? std::wstring(fallback) : info.name;
}

IClock* ClockOr(IClock* clock) {
    return clock != nullptr ? clock : &RealClock();
}

bool StreamLinesOn(const std::shared_ptr<IDebugLog>& log) {
    return !log || log->GetLogStreamState(L"RtpStreams") != kLogStreamOff;
}

}  // namespace

bool RtpLineBudget::Take(const std::shared_ptr<IDebugLog>& log, std::uint32_t level, const std::wstring& name,
                         std::int64_t nowMs) {
    if (!started_ || nowMs - start_ >= kMinuteMs) {
        if (leftOut_ != 0) {
            WriteAtLevel(
                log, level,
                FormatLine(L"%ls: %llu lines like the next left out in the last minute (at most %u a "
                           L"minute)",
                           name.c_str(), static_cast<unsigned long long>(leftOut_), kRtpLinesPerMinute));
        }
        started_ = true;
        start_ = nowMs;
        used_ = 0;
        leftOut_ = 0;
    }
    if (used_ < kRtpLinesPerMinute) {
        ++used_;
        return true;
    }
    ++leftOut_;
    return false;
}

// ---- receive channel ----

std::shared_ptr<RtpRecvChan> RtpRecvChan::Create(const ComponentInfo& info, INetManager* netManager,
                                                 const RtpRecvChanInfoEx& chanInfo, bool autoSockets,
                                                 IClock* clock) {
    return std::make_shared<RtpRecvChan>(info, netManager, chanInfo, autoSockets, clock);
}

RtpRecvChan::RtpRecvChan(const ComponentInfo& info, INetManager* netManager,
                         const RtpRecvChanInfoEx& chanInfo, bool autoSockets, IClock* clock)
    : name_(NameOr(info, L"RtpRecvChan")),
      info_(chanInfo),
      netManager_(netManager),
      clock_(ClockOr(clock)),
      log_(GetProcessDebugLog()),
      streamLines_(StreamLinesOn(log_)),
      autoSockets_(autoSockets),
      ring_(chanInfo.capacity),
      drops_(name_, DropReport::ToLog(log_), clock_) {}

RtpRecvChan::~RtpRecvChan() {
    Stop();
}

ErrInfo RtpRecvChan::Init() {
    ErrInfo err(ERR_PLACE("Network::RtpRecvChan::Init"));
    for (std::uint32_t i = 0; i < 2; ++i) {
        const SockAddr& address = i == 0 ? info_.addr : info_.addr2;
        if (!address.IsValid()) {
            continue;
        }
        const std::wstring where = address.ToString();
        WriteAtLevel(
            log_, kLogConfig,
            FormatLine(L"RtpRecvChan \"%ls\": Init: RTP input #%u at %ls", name_.c_str(), i, where.c_str()));
        std::shared_ptr<IUdpSock> sock = MakeSocket(netManager_, autoSockets_);
        ErrInfo opened(ERR_PLACE("Network::RtpRecvChan::Init"));
        if (!sock) {
            opened.SetError(L"no socket service");
        } else {
            UdpSockInfo sockInfo;
            sockInfo.bind_addr = address;
            sockInfo.receiver = this;
            opened = sock->Open(sockInfo);
        }
        if (!opened.IsOk() && OpensLater(sock)) {
            // The socket keeps trying by itself; the input starts to receive once it opens.
            WriteAtLevel(
                log_, kLogErrors,
                FormatLine(L"RtpRecvChan \"%ls\": Init: RTP input #%u at %ls cannot be opened yet; its "
                           L"socket tries again every %lld ms: %ls",
                           name_.c_str(), i, where.c_str(),
                           static_cast<long long>(UdpReopenService::kIntervalMs), opened.GetText().c_str()));
            opened.MarkHandled();
        } else if (!opened.IsOk()) {
            const std::wstring reason = opened.GetText();
            opened.MarkHandled();
            Stop();
            return err.SetError(
                FormatLine(L"RtpRecvChan \"%ls\": Init: RTP input #%u at %ls cannot be opened: %ls",
                           name_.c_str(), i, where.c_str(), reason.c_str()));
        }
        std::lock_guard<std::mutex> lock(socketsMutex_);
        sockets_[i] = std::move(sock);
    }
    return err;
}

void RtpRecvChan::Stop() {
    std::array<std::shared_ptr<IUdpSock>, 2> sockets;
    {
        std::lock_guard<std::mutex> lock(socketsMutex_);
        sockets.swap(sockets_);
    }
    for (std::uint32_t i = 0; i < 2; ++i) {
        if (sockets[i]) {
            WriteAtLevel(log_, kLogConfig,
                         FormatLine(L"RtpRecvChan \"%ls\": Stop: RTP input #%u at %ls", name_.c_str(), i,
                                    sockets[i]->GetInfo().bind_addr.ToString().c_str()));
            sockets[i]->Close();
        }
    }
}

bool RtpRecvChan::Store(std::uint64_t offset, std::shared_ptr<Packet> packet) {
    const std::size_t n = ring_.size();
    if (offset >= n) {
        return false;
    }
    std::size_t slot = head_ + static_cast<std::size_t>(offset);
    if (slot >= n) {
        slot -= n;
    }
    const bool replaced = ring_[slot] != nullptr;
    ring_[slot] = std::move(packet);
    return replaced;
}

std::shared_ptr<Packet> RtpRecvChan::Take() {
    if (ring_.empty()) {
        return nullptr;
    }
    std::shared_ptr<Packet> packet = std::move(ring_[head_]);
    ring_[head_] = nullptr;
    if (++head_ == ring_.size()) {
        head_ = 0;
    }
    const bool present = packet != nullptr;
    if (present != lastState_.load()) {
        lastState_.store(present);
        if (streamLines_ && stateLines_.Take(log_, kLogConfig, name_, clock_->NowMs())) {
            WriteAtLevel(log_, kLogConfig,
                         FormatLine(present ? L"%ls: Stream OK" : L"%ls: Stream ERROR", name_.c_str()));
        }
    }
    return packet;
}

void RtpRecvChan::Clear() {
    for (std::shared_ptr<Packet>& slot : ring_) {
        slot = nullptr;
    }
}

SockAddr RtpRecvChan::GetAddr() {
    std::shared_ptr<IUdpSock> sock;
    {
        std::lock_guard<std::mutex> lock(socketsMutex_);
        sock = sockets_[0];
    }
    return sock ? sock->GetInfo().bind_addr : SockAddr();
}

std::uint32_t RtpRecvChan::ExpectedChannels() const noexcept {
    return info_.payload_type == 0 ? 2 : RtpChannels(info_.payload_type);
}

RtpStreamStats RtpRecvChan::Stats() const noexcept {
    const auto at = [this](Counter c) { return counters_[c].load(std::memory_order_relaxed); };
    RtpStreamStats s;
    s.packets_received = at(kReceived);
    s.duplicate_packets = at(kDuplicate);
    s.late_packets = at(kLate);
    s.foreign_dropped = at(kForeign);
    s.malformed_dropped = at(kMalformed);
    s.blocks_played = at(kPlayed);
    s.silent_blocks = at(kSilent);
    s.bad_blocks = at(kBad);
    s.relocks = at(kRelock);
    s.fill_blocks = at(kFill);
    return s;
}

bool RtpRecvChan::Accept(const Packet& datagram, const SockAddr& from) {
    if (info_.source.IsValid() && from.GetAddr() != info_.source.GetAddr()) {
        Count(kForeign);
        drops_.Count(from, kDropForeign);
        return false;
    }
    const int header = RtpHeaderPayloadType(datagram.Data(), datagram.Size());
    const auto pt = static_cast<std::uint8_t>(header);
    const bool wellFormed =
        header >= 0 && (info_.payload_type != 0 ? pt == info_.payload_type
                                                : RtpIsValidPayloadType(pt) && RtpChannels(pt) == 2);
    if (!wellFormed) {
        Count(kMalformed);
        drops_.Count(from, kDropMalformed);
        return false;
    }
    return true;
}

void RtpRecvChan::OnDatagramReceived(IUdpSock* sock, std::shared_ptr<Packet> datagram, const SockAddr& from) {
    (void)sock;
    if (datagram && info_.receiver != nullptr && Accept(*datagram, from)) {
        info_.receiver->OnRtpPacket(this, datagram);
    }
}

void RtpRecvChan::OnSocketError(const ErrInfo& error, IUdpSock* sock) {
    (void)error;
    (void)sock;
}

// ---- send channel ----

RtpSendChan::RtpSendChan(const ComponentInfo& info, INetManager* netManager, const RtpSendChanInfo& sendInfo,
                         bool autoSockets, IClock* clock)
    : name_(NameOr(info, L"RtpSendChan")),
      netManager_(netManager),
      clock_(ClockOr(clock)),
      log_(GetProcessDebugLog()),
      autoSockets_(autoSockets),
      info_(sendInfo) {}

RtpSendChan::~RtpSendChan() {
    Close();
}

ErrInfo RtpSendChan::Open() {
    SockAddr addr, addr2;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        addr = info_.addr;
        addr2 = info_.addr2;
    }
    ErrInfo result = SetSendAddr(0, addr);
    return result.IsOk() ? SetSendAddr(1, addr2) : result;
}

ErrInfo RtpSendChan::SetSendAddr(std::size_t index, const SockAddr& address) {
    ErrInfo err(ERR_PLACE("Network::RtpSendChan::SetSendAddr"));
    if (index >= 2) {
        return err.SetError(L"Invalid socket index");
    }
    std::shared_ptr<IUdpSock> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        (index == 0 ? info_.addr : info_.addr2) = address;
        if (address.IsValid()) {
            WriteAtLevel(log_, kLogConfig,
                         FormatLine(L"RtpSendChan \"%ls\": Init: RTP output #%u to %ls", name_.c_str(),
                                    static_cast<unsigned>(index), address.ToString().c_str()));
            if (sockets_[index]) {
                return sockets_[index]->SetSendAddr(address);
            }
            std::shared_ptr<IUdpSock> sock = MakeSocket(netManager_, autoSockets_);
            if (!sock) {
                return err.SetError(L"RtpSendChan \"" + name_ + L"\": no socket service for " +
                                    address.ToString());
            }
            UdpSockInfo sockInfo;
            sockInfo.send_addr = address;
            ErrInfo opened = sock->Open(sockInfo);
            if (opened.IsOk() || OpensLater(sock)) {
                // A self-reopening socket is kept after a failed Open: it opens by itself later.
                sockets_[index] = std::move(sock);
            }
            return opened;
        }
        closing.swap(sockets_[index]);
    }
    if (closing) {
        closing->Close();
    }
    return err;
}

ErrInfo RtpSendChan::Send(const RtpPacket& packet) {
    ErrInfo err(ERR_PLACE("Network::RtpSendChan::Send"));
    if (packet.IsEmpty()) {
        return err.SetError(L"Can not send empty packet");
    }
    std::array<std::shared_ptr<IUdpSock>, 2> sockets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sockets = sockets_;
    }
    for (const std::shared_ptr<IUdpSock>& sock : sockets) {
        if (!sock) {
            continue;
        }
        ErrInfo sent = sock->Send(packet.Datagram(), SockAddr());
        if (!sent.IsOk()) {
            // One failure per block would flood the log: a few lines a minute say enough.
            std::lock_guard<std::mutex> lock(mutex_);
            if (errorLines_.Take(log_, kLogErrors, name_, clock_->NowMs())) {
                WriteAtLevel(log_, kLogErrors,
                             FormatLine(L"%ls: Send: %ls", name_.c_str(), sent.ToShortString().c_str()));
            }
        }
        sent.MarkHandled();
    }
    return err;
}

void RtpSendChan::Close() {
    std::array<std::shared_ptr<IUdpSock>, 2> sockets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sockets.swap(sockets_);
    }
    for (const std::shared_ptr<IUdpSock>& sock : sockets) {
        if (sock) {
            sock->Close();
        }
    }
}

std::uint8_t RtpSendChan::PayloadType() {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_.payload_type;
}

void RtpSendChan::SetPayloadType(std::uint8_t pt) {
    std::lock_guard<std::mutex> lock(mutex_);
    info_.payload_type = pt;
}

bool RtpSendChan::HasDestination() {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_.addr.IsValid() || info_.addr2.IsValid();
}

}  // namespace Network
