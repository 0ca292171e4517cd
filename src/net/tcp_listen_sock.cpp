#include "net/tcp_listen_sock.h"

#include <algorithm>

#include "common/statistics.h"
#include "net/net_manager.h"
#include "net/tcp_sock.h"
#include "platform/sys_error.h"

namespace Network {

namespace {

#define TCP_LISTEN_LOCK(comment, method) \
    TimedLocker<NamedRecursiveMutex> sockLock(GetLock(), comment, 5, method, __FILE__, __LINE__)

}  // namespace

std::shared_ptr<TcpListenSock> TcpListenSock::Create(INetManagerImpl& manager) {
    return std::make_shared<TcpListenSock>(manager);
}

TcpListenSock::TcpListenSock(INetManagerImpl& manager) : BaseSock(manager, L"TcpListenSock") {}

TcpListenSock::~TcpListenSock() {
    CloseUnserved();
}

INetManager& TcpListenSock::GetNetManager() {
    return Manager();
}

ErrInfo TcpListenSock::Open(const TcpListenSockInfo& info) {
    ErrInfo err(ERR_PLACE("Network::TcpListenSock::Open"));
    TCP_LISTEN_LOCK(L"server socket: Open", "Network::TcpListenSock::Open");
    if (IsOpen()) {
        return err.SetError(L"server socket: already listening");
    }
    info_ = info;
    if (!info.local_addr.IsValid()) {
        return err.SetError(L"server socket: undefined local address for listening");
    }
    platform::SocketHandle h = platform::kInvalidSocket;
    if (const platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kTcp, h); !r) {
        return err.SetSysError(static_cast<std::uint32_t>(r.code), L"server socket: create failed");
    }
    const auto fail = [&](const platform::SocketResult& r, const std::wstring& text) {
        (void)platform::CloseSocket(h);
        return err.SetSysError(static_cast<std::uint32_t>(r.code), text);
    };
    const auto failText = [&](const wchar_t* call, const platform::SocketResult& r) {
        return FormatLine(L"%ls: TCP server socket %d (%08X) %ls() has failed; host = \"%ls\"; Error: %ls",
                          ManagerName().c_str(), static_cast<int>(h), GetId(), call,
                          info.local_addr.ToString().c_str(), platform::SocketErrorText(r).c_str());
    };
    if (const platform::SocketResult r = platform::SetReuseAddress(h, true); !r) {
        return fail(r, L"server socket: setsockopt SO_REUSEADDR failed");
    }
    if (const platform::SocketResult r = platform::Bind(h, info.local_addr.Native()); !r) {
        return fail(r, failText(L"bind", r));
    }
    if (const platform::SocketResult r = platform::Listen(h, kBacklog); !r) {
        return fail(r, failText(L"listen", r));
    }
    platform::SockAddrIn local;
    if (platform::GetLocalAddress(h, local).ok()) {
        info_.local_addr = SockAddr(local);  // the port the system chose for port 0
    }
    SetHandle(h);
    if (!Manager().RegisterSocketEvents(*this)) {
        CloseBase();
        return err.SetError(L"server socket: post-open in netmanager failed");
    }
    LogAt(kLogConfig,
          FormatLine(L"%ls: TCP server socket %d (%08X) listens at \"%ls\"", ManagerName().c_str(),
                     HandleForLog(), GetId(), info_.local_addr.ToString().c_str()));
    return err;
}

void TcpListenSock::Close() {
    TCP_LISTEN_LOCK(L"Close", "Network::TcpListenSock::Close");
    info_.receiver = nullptr;
    if (!CloseBase() && GetIndex() != kNoIndex) {
        Manager().UnregisterSocket(*this);
    }
}

TcpListenSockInfo TcpListenSock::GetInfo() {
    TCP_LISTEN_LOCK(L"GetInfo", "Network::TcpListenSock::GetInfo");
    return info_;
}

std::uint32_t TcpListenSock::GetWeight() {
    TCP_LISTEN_LOCK(L"GetWeight", "Network::TcpListenSock::GetWeight");
    return info_.accepted.weight;
}

void TcpListenSock::ConnectionLine(std::uint32_t level, const std::wstring& line) {
    if (!IsLogging() || !log_ || log_->GetLoggingLevel() < level) {
        return;
    }
    const std::uint64_t minute = CurrentUnixMinute();
    if (minute != budgetMinute_) {
        budgetMinute_ = minute;
        budgetUsed_ = 0;
    }
    if (budgetUsed_ >= kLinesPerMinute) {
        ++budgetLeftOut_;
        return;
    }
    ++budgetUsed_;
    std::wstring text = line;
    if (budgetLeftOut_ != 0) {
        text += FormatLine(L" (%llu connection lines left out before)",
                           static_cast<unsigned long long>(budgetLeftOut_));
        budgetLeftOut_ = 0;
    }
    LogAt(level, text);
}

std::size_t TcpListenSock::OpenConnections() {
    std::erase_if(accepted_, [](const std::weak_ptr<TcpSock>& w) {
        const std::shared_ptr<TcpSock> s = w.lock();
        return !s || !s->IsOpen();
    });
    return accepted_.size();
}

bool TcpListenSock::HandleSocketEvents(std::uint32_t bits) {
    if (bits == 0) {
        return false;
    }
    TCP_LISTEN_LOCK(L"HandleSocketEvents", "Network::TcpListenSock::HandleSocketEvents");
    if (!IsOpen()) {
        return false;
    }
    if ((bits & kSockEvClose) != 0) {
        LogAt(kLogErrors, FormatLine(L"%ls: TCP server socket %d (%08X): event = CLOSE",
                                     ManagerName().c_str(), HandleForLog(), GetId()));
    }
    if ((bits & kSockEvAccept) == 0) {
        LogAt(kLogSocketEvents, FormatLine(L"%ls: TCP server socket %d (%08X): event = %08X",
                                           ManagerName().c_str(), HandleForLog(), GetId(), bits));
        return false;
    }
    ConnectionLine(kLogSocketEvents, FormatLine(L"%ls: TCP server socket %d (%08X): event = ACCEPT",
                                                ManagerName().c_str(), HandleForLog(), GetId()));
    AcceptConnections();
    return true;
}

void TcpListenSock::AcceptConnections() {
    INetManagerImpl& mgr = Manager();
    for (std::uint32_t n = 0; n < kMaxAcceptsPerVisit; ++n) {
        platform::SocketHandle h = platform::kInvalidSocket;
        platform::SockAddrIn peerNative;
        const platform::SocketResult r = platform::Accept(GetHandle(), h, &peerNative);
        if (!r) {
            if (!r.WouldBlock()) {
                ConnectionLine(kLogErrors,
                               FormatLine(L"%ls: TCP server socket %d (%08X): server socket: accept "
                                          L"failed; code = %d",
                                          ManagerName().c_str(), HandleForLog(), GetId(), r.code));
            }
            return;
        }
        const SockAddr peer(peerNative);
        if (OpenConnections() >= info_.max_connections) {
            // A reset, so the refused peer knows at once and no closing state stays behind here.
            (void)platform::SetLinger(h, true, 0);
            (void)platform::CloseSocket(h);
            refused_.fetch_add(1);
            mgr.AddIoStat(kIoTcpAcceptRefused, 1);
            ConnectionLine(kLogErrors,
                           FormatLine(L"%ls: TCP server socket %d (%08X): connection from %ls refused: %zu "
                                      L"connections open, the most allowed (%llu refused so far)",
                                      ManagerName().c_str(), HandleForLog(), GetId(), peer.ToString().c_str(),
                                      accepted_.size(), static_cast<unsigned long long>(refused_.load())));
            continue;
        }
        ConnectionLine(kLogMessages,
                       FormatLine(L"%ls: TCP server socket %d (%08X): incoming connection from %ls",
                                  ManagerName().c_str(), HandleForLog(), GetId(), peer.ToString().c_str()));
        std::shared_ptr<TcpSock> sock = TcpSock::CreateIncoming(mgr, h, peer, info_.accepted);
        mgr.AddSocketToService(sock);
        if (!mgr.RegisterSocketEvents(*sock)) {
            const platform::SysErrorCode code = platform::LastSystemError();
            ConnectionLine(
                kLogErrors,
                FormatLine(L"%ls: Incoming TCP connection socket %d (%08X): NetManager failed post-open "
                           L"setup: error %d (%ls)",
                           ManagerName().c_str(), sock->HandleForLog(), sock->GetId(), static_cast<int>(code),
                           platform::SystemErrorText(code).c_str()));
            sock->Close();
            continue;
        }
        ConnectionLine(kLogMessages, FormatLine(L"%ls: Incoming TCP connection socket %d (%08X) added OK",
                                                ManagerName().c_str(), sock->HandleForLog(), sock->GetId()));
        accepted_.push_back(sock);
        if (info_.receiver != nullptr) {
            info_.receiver->OnAccepted(this, sock);
        }
    }
    // More may wait: the socket is announced again and the next round takes them.
    mgr.OnWouldBlock(*this, kSockEvRead);
}

}  // namespace Network
