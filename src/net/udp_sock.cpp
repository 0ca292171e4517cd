#include "net/udp_sock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <utility>

#include "common/clock.h"
#include "net/net_manager.h"
#include "platform/poller.h"
#include "platform/sys_error.h"

namespace Network {

namespace {

// How long a synchronous send that would block waits before it tries again.
constexpr std::chrono::microseconds kBlockedSendPause{10};

// A socket lock use of a UDP socket, reported when it took 5 ms or more.
#define UDP_SOCK_LOCK(comment, method) \
    TimedLocker<NamedRecursiveMutex> sockLock(GetLock(), comment, 5, method, __FILE__, __LINE__)

}  // namespace

std::shared_ptr<UdpSock> UdpSock::Create(INetManagerImpl& manager) {
    return std::make_shared<UdpSock>(manager);
}

UdpSock::UdpSock(INetManagerImpl& manager) : BaseSock(manager, L"UdpSock"), sendState_(L"UdpSock::Send") {}

UdpSock::~UdpSock() {
    CloseUnserved();
}

INetManager& UdpSock::GetNetManager() {
    return Manager();
}

void UdpSock::ResetQueue(std::size_t capacity) {
    ring_.clear();
    ring_.resize(capacity == 0 ? 0 : capacity + 1);
    head_.store(0);
    tail_.store(0);
}

bool UdpSock::PushEntry(OutEntry&& entry) {
    const std::size_t n = ring_.size();
    if (n == 0) {
        return false;
    }
    const std::size_t t = tail_.load(std::memory_order_relaxed);
    const std::size_t next = (t + 1) % n;
    if (next == head_.load(std::memory_order_acquire)) {
        return false;
    }
    ring_[t] = std::move(entry);
    tail_.store(next, std::memory_order_release);
    return true;
}

bool UdpSock::PopEntry(OutEntry& out) {
    const std::size_t n = ring_.size();
    if (n == 0) {
        return false;
    }
    const std::size_t h = head_.load(std::memory_order_relaxed);
    if (h == tail_.load(std::memory_order_acquire)) {
        return false;
    }
    out = std::move(ring_[h]);
    ring_[h] = OutEntry{};
    head_.store((h + 1) % n, std::memory_order_release);
    return true;
}

std::size_t UdpSock::QueuedCount() const noexcept {
    std::lock_guard<std::mutex> lock(pushMutex_);
    const std::size_t n = ring_.size();
    if (n == 0) {
        return 0;
    }
    return (tail_.load() + n - head_.load()) % n;
}

ErrInfo UdpSock::Open(const UdpSockInfo& info) {
    ErrInfo err(ERR_PLACE("Network::UdpSock::Open"));
    UDP_SOCK_LOCK(L"Open", "Network::UdpSock::Open");
    if (IsOpen()) {
        // Opening again replaces the old handle; it must not stay registered or leak.
        CloseBase();
    }
    {
        std::lock_guard<std::mutex> push(pushMutex_);
        info_ = info;
        ResetQueue(info.sync_only ? 0 : info.send_queue_capacity);
    }
    current_ = OutEntry{};
    hasCurrent_ = false;
    writable_ = true;
    closing_.store(false);
    recvBuffer_.assign(std::clamp<std::size_t>(info.recv_buffer_size, 1, kMaxDatagramBytes), 0);

    platform::SocketHandle h = platform::kInvalidSocket;
    platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kUdp, h);
    if (!r) {
        err.SetSysError(static_cast<std::uint32_t>(r.code), L"UDP socket: create failed");
        return err;
    }
    const auto fail = [&](platform::SocketResult res, const std::wstring& text) {
        (void)platform::CloseSocket(h);
        err.SetSysError(static_cast<std::uint32_t>(res.code), text);
        return err;
    };
    if (info.broadcast) {
        if (r = platform::SetBroadcast(h, true); !r) {
            return fail(r, L"UDP socket: setsockopt SO_BROADCAST failed");
        }
    }
    if (info.multicast) {
        if (r = platform::SetReuseAddress(h, true); !r) {
            return fail(r, L"UDP socket: setsockopt SO_MULTICAST failed");
        }
    }
    AskReceiveBuffer(h, info.socket_recv_buffer);
    const platform::SockAddrIn iface =
        info.multicast_iface.IsValid() ? info.multicast_iface.Native() : platform::SockAddrIn::Loopback();
    if (!info.bind_addr.IsValid()) {
        if (info.multicast) {
            if (r = platform::SetMulticastInterface(h, iface); !r) {
                return fail(r, L"UDP socket: setsockopt SO_MULTICAST failed");
            }
        }
        SetHandle(h);
        LogAt(kLogErrors, FormatLine(L"%ls: UDP socket %d (%08X) has been opened (unbound)",
                                     ManagerName().c_str(), HandleForLog(), GetId()));
    } else {
        platform::SockAddrIn local = info.bind_addr.Native();
        if (info.multicast) {
            local = platform::SockAddrIn::Make(0, 0, 0, 0, info.bind_addr.GetPort());
        }
        if (r = platform::Bind(h, local); !r) {
            const std::wstring text =
                FormatLine(L"%ls: UDP socket %d (%08X) bind() has failed to \"%ls\"; Error: %ls",
                           ManagerName().c_str(), static_cast<int>(h), GetId(),
                           info.bind_addr.ToString().c_str(), platform::SocketErrorText(r).c_str());
            LogAt(kLogErrors, text);
            return fail(r, text);
        }
        if (!info.multicast && info.bind_addr.GetPort() == 0) {
            // Port 0: the system chose one; the socket is bound with a port from now on and says which.
            if (r = platform::GetLocalAddress(h, local); !r) {
                return fail(r, L"UDP socket: getsockname() failed");
            }
            std::lock_guard<std::mutex> push(pushMutex_);
            info_.bind_addr = SockAddr(local);
        }
        if (info.multicast) {
            if (r = platform::JoinMulticastGroup(h, info.bind_addr.Native(), iface); !r) {
                return fail(r, L"UDP socket: setsockopt SO_MULTICAST failed");
            }
            (void)platform::JoinMulticastGroup(h, info.bind_addr.Native(), platform::SockAddrIn::Loopback());
        }
        SetHandle(h);
        LogAt(kLogErrors,
              FormatLine(L"%ls: UDP socket %d (%08X) has been opened and bound to \"%ls\"",
                         ManagerName().c_str(), HandleForLog(), GetId(), info_.bind_addr.ToString().c_str()));
    }
    if (!Manager().RegisterSocketEvents(*this)) {
        // Reported as it stands; the socket is open and can still send.
        ErrInfo post(ERR_PLACE("Network::UdpSock::Open"));
        post.SetSysError(platform::LastSystemError(), L"UDP socket: post-open in netmanager failed");
    }
    return err;
}

void UdpSock::AskReceiveBuffer(platform::SocketHandle h, std::uint32_t bytes) {
    if (bytes == 0) {
        return;
    }
    const int asked = static_cast<int>(std::min<std::uint32_t>(bytes, INT_MAX));
    int got = 0;
    const platform::SocketResult set = platform::SetReceiveBufferSize(h, asked);
    const platform::SocketResult read = platform::GetReceiveBufferSize(h, got);
    if (set && read && got >= asked) {
        return;
    }
    // A shortfall is the system's setting and the same for every socket: said once per process, not once
    // per socket (discovery opens one per search).
    static std::atomic<bool> said{false};
    if (said.exchange(true)) {
        return;
    }
    const std::wstring why = !set    ? L"setsockopt SO_RCVBUF failed: " + platform::SocketErrorText(set)
                             : !read ? L"getsockopt SO_RCVBUF failed: " + platform::SocketErrorText(read)
                                     : std::wstring(L"the system's limit; on Linux net.core.rmem_max");
    WriteAtLevel(
        log_, kLogErrors,
        FormatLine(L"%ls: UDP socket %d (%08X) asked for a receive buffer of %d bytes, the system gave "
                   L"%d (%ls); datagrams of a burst beyond that are lost. Said once per process.",
                   ManagerName().c_str(), static_cast<int>(h), GetId(), asked, got, why.c_str()));
}

void UdpSock::Close() {
    LogAt(kLogConfig,
          FormatLine(L"%ls: close UDP socket %d (%08X)", ManagerName().c_str(), HandleForLog(), GetId()));
    // A visit of the service thread reading a flood sees this between two datagrams and lets the lock go.
    closing_.store(true);
    {
        UDP_SOCK_LOCK(L"Close", "Network::UdpSock::Close");
        {
            std::lock_guard<std::mutex> push(pushMutex_);
            info_.receiver = nullptr;
        }
        if (!CloseBase() && GetIndex() != kNoIndex) {
            // Made but never opened (or its Open failed): it still leaves the collection.
            Manager().UnregisterSocket(*this);
        }
        // Datagrams still queued are never sent now; the next Open starts with an empty queue.
        OutEntry dropped;
        while (PopEntry(dropped)) {
        }
        current_ = OutEntry{};
        hasCurrent_ = false;
    }
    // No receiver call begins from now on; one that began before must end before Close returns.
    WaitForCallbacks();
}

IUdpReceiver* UdpSock::BeginCallback() {
    IUdpReceiver* receiver = info_.receiver;
    if (receiver == nullptr || closing_.load() || !IsOpen()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(callbackMutex_);
    ++callbacks_;
    callbackThread_ = std::this_thread::get_id();
    return receiver;
}

void UdpSock::EndCallback() {
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        --callbacks_;
    }
    callbackDone_.notify_all();
}

template <class Call>
bool UdpSock::CallReceiver(Call&& call) {
    IUdpReceiver* receiver = nullptr;
    {
        UDP_SOCK_LOCK(L"Callback", "Network::UdpSock::CallReceiver");
        receiver = BeginCallback();
    }
    if (receiver == nullptr) {
        return false;
    }
    struct End {
        UdpSock& sock;
        ~End() { sock.EndCallback(); }
    } end{*this};
    call(*receiver);
    return true;
}

void UdpSock::WaitForCallbacks() {
    std::unique_lock<std::mutex> lock(callbackMutex_);
    // A receiver that closes the socket from its own call would wait for itself.
    callbackDone_.wait(lock,
                       [&] { return callbacks_ == 0 || callbackThread_ == std::this_thread::get_id(); });
}

ErrInfo UdpSock::SetSendAddr(const SockAddr& addr) {
    ErrInfo err(ERR_PLACE("Network::UdpSock::SetSendAddr"));
    UDP_SOCK_LOCK(L"SetSendAddr", "Network::UdpSock::SetSendAddr");
    if (!IsOpen()) {
        err.SetError(L"UDP socket: Invalid socket");
        return err;
    }
    std::lock_guard<std::mutex> push(pushMutex_);
    info_.send_addr = addr;
    return err;
}

UdpSockInfo UdpSock::GetInfo() {
    UDP_SOCK_LOCK(L"GetInfo", "Network::UdpSock::GetInfo");
    return info_;
}

bool UdpSock::SyncOnly() const {
    std::lock_guard<std::mutex> push(pushMutex_);
    return info_.sync_only;
}

ErrInfo UdpSock::Send(std::shared_ptr<Packet> packet, const SockAddr& dest) {
    if (SyncOnly()) {
        return SendSync(packet && !packet->Empty() ? packet->Data() : nullptr, packet ? packet->Size() : 0,
                        dest);
    }
    return SendAsync(std::move(packet), dest);
}

ErrInfo UdpSock::Send(std::unique_ptr<Packet> packet, const SockAddr& dest) {
    return Send(std::shared_ptr<Packet>(std::move(packet)), dest);
}

ErrInfo UdpSock::Send(const std::uint8_t* data, std::size_t size, const SockAddr& dest) {
    if (SyncOnly()) {
        return SendSync(data, size, dest);
    }
    auto packet = std::make_shared<Packet>(size);
    packet->Assign(data, size);
    return SendAsync(std::move(packet), dest);
}

SockAddr UdpSock::Destination(const SockAddr& dest) const {
    return dest.IsValid() ? dest : info_.send_addr;
}

ErrInfo UdpSock::SendSync(const std::uint8_t* data, std::size_t size, const SockAddr& dest) {
    ErrInfo err(ERR_PLACE("Network::UdpSock::SendSync"));
    SockAddr target = dest;
    {
        UDP_SOCK_LOCK(L"UDP socket: SendDirect", "Network::UdpSock::SendSync");
        if (!IsOpen()) {
            err.SetError(L"Invalid socket");
        } else if (target = Destination(dest); !target.IsValid()) {
            err.SetError(L"UDP socket: send address undefined");
        } else {
            INetManagerImpl& mgr = Manager();
            const std::uint64_t t0 = GetTicks();
            for (;;) {
                const platform::SocketIo io = platform::SendTo(GetHandle(), data, size, target.Native());
                if (io.ok()) {
                    mgr.AddIoStat(kIoUdpSentSyncBytes, size);
                    break;
                }
                if (!io.result.WouldBlock()) {
                    err.SetSysError(static_cast<std::uint32_t>(io.result.code),
                                    L"UDP socket: sendto() failed");
                    mgr.AddIoStat(kIoUdpSendSyncDrops, 1);
                    break;
                }
                mgr.AddIoStat(kIoUdpSendSyncBlocks, 1);
                if (!info_.wait_when_blocked) {
                    mgr.AddIoStat(kIoUdpSendSyncDrops, 1);
                    break;
                }
                const std::uint64_t s = GetTicks();
                std::this_thread::sleep_for(kBlockedSendPause);
                mgr.AddTimeStat(kNetStatUdpSendSleep, s, GetTicks());
            }
            mgr.AddTimeStat(kNetStatUdpSendSync, t0, GetTicks());
        }
    }
    return SendReport(err, target);
}

ErrInfo UdpSock::SendAsync(std::shared_ptr<Packet> packet, const SockAddr& dest) {
    ErrInfo err(ERR_PLACE("Network::UdpSock::SendAsync"));
    SockAddr target = dest;
    bool queued = false;
    {
        // Several threads may send at once; the ring itself has room for one producer at a time.
        std::lock_guard<std::mutex> producers(pushMutex_);
        if (!IsOpen()) {
            err.SetError(L"Invalid socket");
        } else if (target = Destination(dest); !target.IsValid()) {
            err.SetError(L"UDP socket: send address undefined");
        } else if (!PushEntry(OutEntry{std::move(packet), target})) {
            Manager().AddIoStat(kIoUdpSendAsyncDrops, 1);
            err.SetError(L"UDP socket: Send buffer overflow");
        } else {
            queued = true;
        }
    }
    if (queued) {
        Manager().WakeFor(*this);
    }
    return SendReport(err, target);
}

std::wstring UdpSock::SelfText() const {
    return info_.bind_addr.IsValid() ? info_.bind_addr.ToString() : std::wstring(L"empty");
}

ErrInfo& UdpSock::SendReport(ErrInfo& result, const SockAddr& dest) {
    sendState_.SetState(result);
    if (!result.IsOk()) {
        const std::wstring context =
            FormatLine(L"%ls: UDP socket %d (%08X)", ManagerName().c_str(), HandleForLog(), GetId());
        if (result.GetText().find(context) == std::wstring::npos) {
            std::wstring self;
            {
                std::lock_guard<std::mutex> push(pushMutex_);
                self = SelfText();
            }
            result.AddInfo(context + FormatLine(L"; self = '%ls', dest = '%ls'", self.c_str(),
                                                dest.IsValid() ? dest.ToString().c_str() : L"empty"));
        }
    }
    return result;
}

std::uint32_t UdpSock::GetEventMask() {
    UDP_SOCK_LOCK(L"GetEventMask", "Network::UdpSock::GetEventMask");
    return info_.sync_only ? kSockEvRead : (kSockEvRead | kSockEvWrite);
}

std::uint32_t UdpSock::GetWeight() {
    UDP_SOCK_LOCK(L"GetWeight", "Network::UdpSock::GetWeight");
    return info_.weight;
}

bool UdpSock::IsIdle() {
    UDP_SOCK_LOCK(L"IsIdle", "Network::UdpSock::IsIdle");
    if (info_.sync_only) {
        return false;
    }
    const bool queueEmpty = head_.load() == tail_.load();
    return !queueEmpty || !hasCurrent_;
}

void UdpSock::OnSocketError(const ErrInfo& error) {
    (void)CallReceiver([&](IUdpReceiver& receiver) { receiver.OnSocketError(error, this); });
}

void UdpSock::OnSocketClosed(const ErrInfo& error) {
    (void)CallReceiver([&](IUdpReceiver& receiver) { receiver.OnSocketClosed(error, this); });
}

bool UdpSock::OnWriteEvent(ErrInfo& failure) {
    bool sent = false;
    INetManagerImpl& mgr = Manager();
    while (writable_ && IsOpen()) {
        if (!hasCurrent_) {
            if (!PopEntry(current_)) {
                break;
            }
            hasCurrent_ = true;
        }
        if (!current_.packet || current_.packet->Empty() || !current_.dest.IsValid()) {
            current_ = OutEntry{};
            hasCurrent_ = false;
            continue;
        }
        const std::uint64_t t0 = GetTicks();
        const platform::SocketIo io = platform::SendTo(GetHandle(), current_.packet->Data(),
                                                       current_.packet->Size(), current_.dest.Native());
        mgr.AddTimeStat(kNetStatUdpSendAsync, t0, GetTicks());
        if (io.ok()) {
            current_ = OutEntry{};
            hasCurrent_ = false;
            mgr.AddIoStat(kIoUdpSentAsyncBytes, io.bytes);
            if (Logs(kLogMessages)) {
                LogAt(kLogMessages,
                      FormatLine(L"%ls: UDP socket %d (%08X): send %d bytes", ManagerName().c_str(),
                                 HandleForLog(), GetId(), static_cast<int>(io.bytes)));
            }
            sent = true;
            continue;
        }
        if (io.result.WouldBlock()) {
            if (info_.wait_when_blocked) {
                writable_ = false;
                mgr.AddIoStat(kIoUdpSendAsyncBlocks, 1);
                mgr.OnWouldBlock(*this, kSockEvWrite);
                break;
            }
            // A full send buffer costs this datagram, as it does for a synchronous send; the socket stays.
            mgr.AddIoStat(kIoUdpSendAsyncDrops, 1);
            current_ = OutEntry{};
            hasCurrent_ = false;
            continue;
        }
        current_ = OutEntry{};
        hasCurrent_ = false;
        // Reported and closed by the caller once it has let the socket lock go.
        ErrInfo err(ERR_PLACE("Network::UdpSock::OnWriteEvent"));
        err.SetSysError(static_cast<std::uint32_t>(io.result.code), L"Can't send UDP data");
        failure = err;
        break;
    }
    return sent;
}

// One visit reads at most kMaxDatagramsPerVisit datagrams. The bound is a count because what a visit
// costs the other sockets is per datagram (one receive call and one receiver call), whatever its length;
// 64 keeps the round's own cost (one wait and one re-announcement, a few microseconds) small against the
// batch, while another socket of the service waits at most 64 receiver calls per flooded socket. When the
// visit stops with datagrams perhaps left, the socket is announced again (OnWouldBlock): epoll reports it
// at once if data remains and not at all if none does; Winsock re-records FD_READ by itself after every
// receive call that left data behind. A visit that ends on "would block" needs nothing: the next datagram
// is reported as it arrives.
bool UdpSock::ReadDatagrams() {
    INetManagerImpl& mgr = Manager();
    ErrInfo failure(ERR_PLACE("Network::UdpSock::HandleSocketEvents"));
    std::uint32_t count = 0;
    // One counter read per datagram and one per visit: each read ends one interval and starts the next
    // (receive, then the receiver's call, then the next receive).
    std::uint64_t mark = GetTicks();
    for (;;) {
        IUdpReceiver* receiver = nullptr;
        std::shared_ptr<Packet> packet;
        SockAddr from;
        {
            UDP_SOCK_LOCK(L"Read", "Network::UdpSock::HandleSocketEvents");
            if (!IsOpen() || !info_.bind_addr.IsComplete()) {
                break;
            }
            if (count >= kMaxDatagramsPerVisit || closing_.load() || !mgr.IsRunning()) {
                // Stopped early: what is left is announced again and waits for the next round.
                mgr.OnWouldBlock(*this, kSockEvRead);  // the rest of a batch
                break;
            }
            const platform::SocketIo io =
                platform::RecvFrom(GetHandle(), recvBuffer_.data(), recvBuffer_.size(), &from.Native());
            const std::uint64_t received = GetTicks();
            mgr.AddTimeStat(kNetStatUdpRecv, mark, received);
            mark = received;
            if (!io.ok()) {
                if (!io.result.WouldBlock()) {
                    failure.SetSysError(static_cast<std::uint32_t>(io.result.code),
                                        L"UDP socket: recv failed");
                    // Datagrams behind the failed one are announced again.
                    mgr.OnWouldBlock(*this, kSockEvRead);
                }
                break;
            }
            ++count;
            mgr.AddIoStat(kIoUdpRecvBytes, io.bytes);
            mgr.AddIoStat(kIoUdpRecvDatagrams, 1);
            if (Logs(kLogSocketEvents)) {
                LogAt(kLogSocketEvents,
                      FormatLine(
                          L"%ls: UDP socket %d (%08X): event = READ; incoming datagram %d bytes from %ls",
                          ManagerName().c_str(), HandleForLog(), GetId(), static_cast<int>(io.bytes),
                          from.ToString().c_str()));
            }
            receiver = io.bytes > 0 ? BeginCallback() : nullptr;
            if (receiver == nullptr) {
                mgr.AddIoStat(kIoUdpRecvDrops, 1);  // empty, or nobody to take it
                continue;
            }
            packet = std::make_shared<Packet>(io.bytes);
            packet->Assign(recvBuffer_.data(), io.bytes);
        }
        struct End {
            UdpSock& sock;
            ~End() { sock.EndCallback(); }
        } end{*this};
        receiver->OnDatagramReceived(this, std::move(packet), from);
        const std::uint64_t called = GetTicks();
        mgr.AddTimeStat(kNetStatUdpRecvCallback, mark, called);
        mark = called;
    }
    if (!failure.IsOk()) {
        SetLastError(failure);
    }
    return count > 0;
}

bool UdpSock::Logs(std::uint32_t level) const {
    return IsLogging() && log_ && (level == kLogAlways || log_->GetLoggingLevel() >= level);
}

bool UdpSock::HandleSocketEvents(std::uint32_t bits) {
    if (Logs(kLogAlways)) {
        LogAlways(FormatLine(L"%ls: %ls socket %d (%08X): handle events = %ls", ManagerName().c_str(), L"UDP",
                             HandleForLog(), GetId(), platform::SocketEventNames(bits).c_str()));
    }
    if (bits == 0) {
        return false;
    }
    if ((bits & kSockEvClose) != 0) {
        LogAt(kLogErrors, FormatLine(L"%ls: UDP socket %d (%08X): event = CLOSE", ManagerName().c_str(),
                                     HandleForLog(), GetId()));
        ErrInfo err(ERR_PLACE("Network::UdpSock::HandleSocketEvents"));
        err.SetError(L"UDP socket closed");
        NotifyClosed(err);
        Close();
        return false;
    }
    bool did = false;
    ErrInfo failure(ERR_PLACE("Network::UdpSock::OnWriteEvent"));
    {
        UDP_SOCK_LOCK(L"HandleSocketEvents", "Network::UdpSock::HandleSocketEvents");
        if (!IsOpen()) {
            return false;
        }
        if (!info_.sync_only) {
            if ((bits & kSockEvWrite) != 0) {
                writable_ = true;
                if (Logs(kLogMessages)) {
                    LogAt(kLogMessages, FormatLine(L"%ls: UDP socket %d (%08X): event = WRITE",
                                                   ManagerName().c_str(), HandleForLog(), GetId()));
                }
            }
            if (writable_) {
                did = OnWriteEvent(failure);
            }
        } else if ((bits & kSockEvRead) == 0) {
            if (Logs(kLogSocketEvents)) {
                LogAt(kLogSocketEvents, FormatLine(L"%ls: UDP socket %d (%08X): event = %08X",
                                                   ManagerName().c_str(), HandleForLog(), GetId(), bits));
            }
            return false;
        }
    }
    if (!failure.IsOk()) {
        // A queued send failed for good: the receiver hears of it (without the socket lock), then the
        // socket closes.
        SetLastError(failure);
        Close();
        return did;
    }
    if ((bits & kSockEvRead) != 0 && ReadDatagrams()) {
        did = true;
    }
    return did;
}

}  // namespace Network
