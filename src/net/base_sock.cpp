#include "net/base_sock.h"

#include "common/environment.h"
#include "net/net_manager.h"

namespace Network {

namespace {

std::atomic<std::uint32_t> g_nextSocketId{0};

}  // namespace

BaseSock::BaseSock(INetManagerImpl& manager, const std::wstring& typeName)
    : log_(GetProcessDebugLog()),
      manager_(manager),
      managerName_(manager.GetName()),
      typeName_(typeName),
      lock_(typeName + L"::_SockMutex"),
      logging_(manager.IsLogging()),
      id_(g_nextSocketId.fetch_add(1) + 1) {}

BaseSock::~BaseSock() {
    LogAt(kLogConfig, FormatLine(L"%ls: destroy basic socket object %d (%08X)", managerName_.c_str(),
                                 HandleForLog(), id_));
}

void BaseSock::SetLastError(const ErrInfo& error) {
    OnSocketError(error);
}

void BaseSock::NotifyClosed(const ErrInfo& error) {
    OnSocketClosed(error);
}

bool BaseSock::SetBlocking(bool blocking) {
    TimedLocker<NamedRecursiveMutex> lock(lock_, L"SetBlocking", 5, "Network::BaseSock::SetBlocking",
                                          __FILE__, __LINE__);
    if (!IsOpen()) {
        return false;
    }
    return platform::SetNonBlocking(GetHandle(), !blocking).ok();
}

bool BaseSock::CloseBase() {
    TimedLocker<NamedRecursiveMutex> lock(lock_, L"Close", 5, "Network::BaseSock::Close", __FILE__, __LINE__);
    if (!IsOpen()) {
        return false;
    }
    manager_.UnregisterSocket(*this);
    const platform::SocketHandle h = GetHandle();
    LogAt(kLogConfig, FormatLine(L"%ls: socket %d (%08X): close socket handle", managerName_.c_str(),
                                 static_cast<int>(h), id_));
    const std::uint32_t type = GetType();
    if (type == kTypeTcp || type == kTypeTcpListen) {
        (void)platform::ShutdownSocket(h);
    }
    (void)platform::CloseSocket(h);
    SetHandle(platform::kInvalidSocket);
    return true;
}

void BaseSock::CloseUnserved() noexcept {
    if (IsOpen()) {
        manager_.UnregisterSocket(*this);
        (void)platform::CloseSocket(GetHandle());
        SetHandle(platform::kInvalidSocket);
    }
}

void BaseSock::LogAt(std::uint32_t level, const std::wstring& line) const {
    if (logging_) {
        WriteAtLevel(log_, level, line);
    }
}

void BaseSock::LogAlways(const std::wstring& line) const {
    if (logging_ && log_) {
        log_->Write(line);
    }
}

}  // namespace Network
