#include "net/tcp_sock.h"

#include <algorithm>
#include <utility>

#include "common/clock.h"
#include "net/net_manager.h"
#include "platform/poller.h"

namespace Network {

namespace {

#define TCP_SOCK_LOCK(comment, method) \
    TimedLocker<NamedRecursiveMutex> sockLock(GetLock(), comment, 5, method, __FILE__, __LINE__)

}  // namespace

std::shared_ptr<TcpSock> TcpSock::Create(INetManagerImpl& manager) {
    return std::make_shared<TcpSock>(manager);
}

std::shared_ptr<TcpSock> TcpSock::CreateIncoming(INetManagerImpl& manager, platform::SocketHandle handle,
                                                 const SockAddr& peer, const TcpSockInfo& info) {
    auto sock = Create(manager);
    sock->info_ = info;
    sock->info_.remote_addr = peer;
    sock->info_.recv_chunk_size = std::clamp<std::uint32_t>(info.recv_chunk_size, 1, kMaxChunkBytes);
    sock->sendLimit_.store(info.send_queue_limit);
    sock->SetHandle(handle);
    sock->state_.store(kTcpConnected);
    sock->connectedAtMs_ = TicksToMs(GetTicks());
    return sock;
}

TcpSock::TcpSock(INetManagerImpl& manager) : BaseSock(manager, L"TcpSock") {}

TcpSock::~TcpSock() {
    CloseUnserved();
}

INetManager& TcpSock::GetNetManager() {
    return Manager();
}

bool TcpSock::Logs(std::uint32_t level) const {
    return IsLogging() && log_ && log_->GetLoggingLevel() >= level;
}

void TcpSock::LogEvent(std::uint32_t level, const wchar_t* what, long long value) const {
    if (Logs(level)) {
        LogAt(level, FormatLine(L"%ls: TCP socket %d (%08X): %ls %lld bytes", ManagerName().c_str(),
                                HandleForLog(), GetId(), what, value));
    }
}

ErrInfo TcpSock::Open(const TcpSockInfo& info) {
    ErrInfo err(ERR_PLACE("Network::TcpSock::Open"));
    TCP_SOCK_LOCK(L"outgoing TCP connection: Open", "Network::TcpSock::Open");
    if (IsOpen()) {
        return err.SetError(L"outgoing TCP connection: can not open socket");
    }
    info_ = info;
    info_.recv_chunk_size = std::clamp<std::uint32_t>(info.recv_chunk_size, 1, kMaxChunkBytes);
    sendLimit_.store(info.send_queue_limit);
    ClearQueue();
    writable_ = true;
    readable_ = true;
    if (!info.remote_addr.IsComplete()) {
        return err.SetError(L"outgoing TCP connection: undefined address");
    }
    platform::SocketHandle h = platform::kInvalidSocket;
    if (const platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kTcp, h); !r) {
        return err.SetSysError(static_cast<std::uint32_t>(r.code),
                               L"outgoing TCP connection: create socket failed (INVALID_SOCKET)");
    }
    SetHandle(h);
    state_.store(kTcpConnecting);
    LogAt(kLogConfig, FormatLine(L"%ls: TCP socket %d (%08X) : non-blocking connect; state = Connecting",
                                 ManagerName().c_str(), HandleForLog(), GetId()));
    const auto fail = [&](int code, const std::wstring& text) {
        state_.store(kTcpDisconnected);
        CloseBase();
        return code != 0 ? err.SetSysError(static_cast<std::uint32_t>(code), text) : err.SetError(text);
    };
    if (!Manager().RegisterSocketEvents(*this)) {
        return fail(0, L"outgoing TCP connection: socket netmanager handling failed");
    }
    if (info.local_addr.IsValid()) {
        if (const platform::SocketResult r = platform::Bind(h, info.local_addr.Native()); !r) {
            return fail(r.code,
                        FormatLine(L"%ls: TCP socket %d (%08X) bind() has failed : host = \"%ls\"; "
                                   L"Error: %ls",
                                   ManagerName().c_str(), HandleForLog(), GetId(),
                                   info.local_addr.ToString().c_str(), platform::SocketErrorText(r).c_str()));
        }
    }
    const platform::SocketResult r = platform::Connect(h, info.remote_addr.Native());
    if (r.ok()) {
        // Connected at once: the connect step still runs on the service thread.
        Manager().RequestConnectEvent(*this);
    } else if (!r.Is(platform::SocketErrorKind::kInProgress)) {
        return fail(r.code,
                    FormatLine(L"%ls: TCP socket %d (%08X) connect() has failed : host = \"%ls\"; "
                               L"Error: %ls",
                               ManagerName().c_str(), HandleForLog(), GetId(),
                               info.remote_addr.ToString().c_str(), platform::SocketErrorText(r).c_str()));
    }
    return err;
}

void TcpSock::Close() {
    TCP_SOCK_LOCK(L"Close", "Network::TcpSock::Close");
    if (IsOpen()) {
        LogAt(kLogConfig, FormatLine(L"%ls: TCP socket %d (%08X): Close() invoked; state = Disconnected",
                                     ManagerName().c_str(), HandleForLog(), GetId()));
    }
    info_.receiver = nullptr;
    state_.store(kTcpDisconnected);
    if (!CloseBase() && GetIndex() != kNoIndex) {
        // Made but never opened (or its Open failed): it still leaves the collection.
        Manager().UnregisterSocket(*this);
    }
    ClearQueue();
}

void TcpSock::ClearQueue() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
    queuedBytes_ = 0;
}

ErrInfo TcpSock::Send(std::shared_ptr<Packet> packet) {
    ErrInfo err(ERR_PLACE("Network::TcpSock::Send"));
    if (!IsOpen()) {
        return err.SetError(L"TCP send failure : Socket is not open");
    }
    if (state_.load() != kTcpConnected) {
        return err.SetError(L"TCP send failure : Socket is not connected yet");
    }
    if (!packet || packet->Empty()) {
        return err;
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        const std::size_t limit = sendLimit_.load();
        if (packet->Size() > limit || queuedBytes_ > limit - packet->Size()) {
            refused_.fetch_add(1);
            Manager().AddIoStat(kIoTcpSendRefused, 1);
            return err.SetError(
                FormatLine(L"TCP send failure : send queue full; %zu bytes queued, %zu more "
                           L"refused (limit %zu bytes)",
                           queuedBytes_, packet->Size(), limit));
        }
        queuedBytes_ += packet->Size();
        queue_.push_back(Queued{std::move(packet), 0});
    }
    Manager().WakeFor(*this);
    return err;
}

ErrInfo TcpSock::Send(std::unique_ptr<Packet> packet) {
    return Send(std::shared_ptr<Packet>(std::move(packet)));
}

ErrInfo TcpSock::Send(const std::uint8_t* data, std::size_t size) {
    auto packet = std::make_shared<Packet>(size);
    packet->Assign(data, size);
    return Send(std::move(packet));
}

TcpSockInfo TcpSock::GetInfo() {
    TCP_SOCK_LOCK(L"GetInfo", "Network::TcpSock::GetInfo");
    return info_;
}

void TcpSock::SetReceiver(ITcpReceiver* receiver) {
    TCP_SOCK_LOCK(L"SetReceiver", "Network::TcpSock::SetReceiver");
    info_.receiver = receiver;
}

std::uint32_t TcpSock::GetState() {
    return IsOpen() ? state_.load() : kTcpDisconnected;
}

std::size_t TcpSock::QueuedBytes() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queuedBytes_;
}

std::uint32_t TcpSock::GetEventMask() {
    const std::uint32_t mask = kSockEvRead | kSockEvWrite | kSockEvOob | kSockEvClose;
    return state_.load() == kTcpConnecting ? mask | kSockEvConnect : mask;
}

std::uint32_t TcpSock::GetWeight() {
    TCP_SOCK_LOCK(L"GetWeight", "Network::TcpSock::GetWeight");
    return info_.weight;
}

void TcpSock::OnSocketError(const ErrInfo& error) {
    TCP_SOCK_LOCK(L"OnSocketError", "Network::TcpSock::OnSocketError");
    if (!IsOpen()) {
        return;
    }
    if (info_.receiver != nullptr) {
        info_.receiver->OnSocketError(this, error);
    }
    Close();
}

void TcpSock::OnSocketClosed(const ErrInfo& error) {
    TCP_SOCK_LOCK(L"OnSocketClosed", "Network::TcpSock::OnSocketClosed");
    if (info_.receiver != nullptr) {
        info_.receiver->OnSocketClosed(this, error);
    }
}

void TcpSock::CloseWith(ErrInfo& why) {
    if (Logs(kLogMessages)) {
        LogAt(kLogMessages, FormatLine(L"%ls: TCP socket %d (%08X): %ls", ManagerName().c_str(),
                                       HandleForLog(), GetId(), why.ToShortString().c_str()));
    }
    NotifyClosed(why);
    why.MarkHandled();
    Close();
}

void TcpSock::OnTcpConnectCompleted() {
    connectedAtMs_ = TicksToMs(GetTicks());
    if (info_.receiver != nullptr) {
        info_.receiver->OnConnected(this);
    }
}

void TcpSock::ProcessInboundData(std::shared_ptr<Packet> data) {
    // Data nobody takes is dropped; the stream goes on.
    if (info_.receiver == nullptr) {
        return;
    }
    const std::uint64_t t0 = GetTicks();
    info_.receiver->OnDataReceived(this, std::move(data));
    Manager().AddTimeStat(kNetStatTcpRecvCallback, t0, GetTicks());
}

bool TcpSock::HandleSocketEvents(std::uint32_t bits) {
    if (bits == 0 || !IsOpen()) {
        return false;
    }
    TCP_SOCK_LOCK(L"HandleSocketEvents", "Network::TcpSock::HandleSocketEvents");
    if (!IsOpen()) {
        return false;
    }
    if (Logs(kLogSocketEvents)) {
        LogAt(kLogSocketEvents,
              FormatLine(L"%ls: TCP socket %d (%08X): handle events = %ls", ManagerName().c_str(),
                         HandleForLog(), GetId(), platform::SocketEventNames(bits).c_str()));
    }
    if ((bits & kSockEvClose) != 0) {
        OnCloseEvent();
        return true;
    }
    if ((bits & kSockEvConnect) != 0 && state_.load() == kTcpConnecting) {
        state_.store(kTcpConnected);
        LogAt(kLogConfig, FormatLine(L"%ls: TCP socket %d (%08X): CONNECT event; state = Connected",
                                     ManagerName().c_str(), HandleForLog(), GetId()));
        OnTcpConnectCompleted();
        if (!IsOpen()) {
            return true;
        }
    }
    if (state_.load() != kTcpConnected) {
        return false;
    }
    if ((bits & kSockEvWrite) != 0) {
        writable_ = true;
    }
    if (!PreprocessOutboundData()) {
        ErrInfo err(ERR_PLACE("Network::TcpSock::HandleSocketEvents"));
        err.SetError(L"TCP send failure : outbound data not ready");
        OnSocketError(err);
        err.MarkHandled();
        return false;
    }
    bool did = writable_ && OnWriteEvent();
    if ((bits & kSockEvRead) != 0) {
        readable_ = true;
    }
    if (IsOpen() && readable_ && OnReadEvent()) {
        did = true;
    }
    return did;
}

bool TcpSock::OnWriteEvent() {
    bool sent = false;
    INetManagerImpl& mgr = Manager();
    while (writable_ && IsOpen()) {
        std::shared_ptr<Packet> packet;
        std::size_t offset = 0;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            if (queue_.empty()) {
                break;
            }
            packet = queue_.front().packet;
            offset = queue_.front().offset;
        }
        const std::uint64_t t0 = GetTicks();
        const platform::SocketIo io =
            platform::Send(GetHandle(), packet->Data() + offset, packet->Size() - offset);
        mgr.AddTimeStat(kNetStatTcpSend, t0, GetTicks());
        if (io.ok()) {
            {
                // Only this thread takes from the queue, and Close (which empties it) holds the socket lock.
                std::lock_guard<std::mutex> lock(queueMutex_);
                Queued& front = queue_.front();
                front.offset += io.bytes;
                queuedBytes_ -= io.bytes;
                if (front.offset >= front.packet->Size()) {
                    queue_.pop_front();
                }
            }
            mgr.AddIoStat(kIoTcpSendBytes, io.bytes);
            LogEvent(kLogMessages, L"send", static_cast<long long>(io.bytes));
            sent = true;
            continue;
        }
        if (io.result.WouldBlock()) {
            writable_ = false;
            mgr.OnWouldBlock(*this, kSockEvWrite);
            break;
        }
        ErrInfo err(ERR_PLACE("Network::TcpSock::OnWriteEvent"));
        err.SetSysError(static_cast<std::uint32_t>(io.result.code), L"Can't send TCP data");
        OnSocketError(err);
        err.MarkHandled();
        break;
    }
    return sent;
}

bool TcpSock::ReadChunks(bool drain, ErrInfo& end) {
    INetManagerImpl& mgr = Manager();
    recvBuffer_.resize(info_.recv_chunk_size);
    bool got = false;
    for (std::uint32_t n = 0; readable_ && IsOpen(); ++n) {
        if (!drain && n >= kMaxChunksPerVisit) {
            // The rest waits for the next round, like every other socket's data.
            mgr.OnWouldBlock(*this, kSockEvRead);
            break;
        }
        const std::uint64_t t0 = GetTicks();
        const platform::SocketIo io = platform::Recv(GetHandle(), recvBuffer_.data(), recvBuffer_.size());
        mgr.AddTimeStat(kNetStatTcpRecv, t0, GetTicks());
        if (!io.ok()) {
            if (io.result.WouldBlock()) {
                readable_ = false;
            } else {
                end.SetSysError(static_cast<std::uint32_t>(io.result.code),
                                L"TCP socket disconnected; read error detected");
            }
            break;
        }
        if (io.bytes == 0) {
            end.SetError(L"TCP socket disconnected; read shutdown detected");
            break;
        }
        got = true;
        mgr.AddIoStat(kIoTcpRecvBytes, io.bytes);
        LogEvent(kLogMessages, L"receive", static_cast<long long>(io.bytes));
        auto packet = std::make_shared<Packet>(io.bytes);
        packet->Assign(recvBuffer_.data(), io.bytes);
        ProcessInboundData(std::move(packet));
    }
    return got;
}

bool TcpSock::OnReadEvent() {
    ErrInfo end(ERR_PLACE("Network::TcpSock::OnReadEvent"));
    const bool got = ReadChunks(false, end);
    if (!end.IsOk()) {
        CloseWith(end);
    }
    return got;
}

void TcpSock::OnCloseEvent() {
    const int code = TakeCloseError();
    ErrInfo why(ERR_PLACE("Network::TcpSock::OnCloseEvent"));
    if (code == 0 && state_.load() == kTcpConnected) {
        // An orderly close: what the peer sent before it is still delivered.
        readable_ = true;
        ErrInfo end(ERR_PLACE("Network::TcpSock::OnCloseEvent"));
        ReadChunks(true, end);
        end.MarkHandled();
    }
    if (!IsOpen()) {
        return;
    }
    if (code != 0) {
        why.SetSysError(static_cast<std::uint32_t>(code), L"TCP socket disconnected");
    } else {
        why.SetError(L"TCP socket disconnected");
    }
    CloseWith(why);
}

}  // namespace Network
