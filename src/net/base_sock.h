// BaseSock: the part every socket served by a NetManager has in common.
//
// A socket owns its platform handle, a recursive lock that guards the handle and all socket state, an
// identity for log lines (the process-wide id, printed "%08X") and the slot it occupies in its service's
// collection. The service thread calls HandleSocketEvents with the event bits of inet.h; everything else
// a derived socket does happens under GetLock(), except calling its owner back (see SetLastError).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/debug_log.h"
#include "common/err_info.h"
#include "common/locks.h"
#include "net/inet.h"
#include "platform/socket.h"

namespace Network {

class INetManagerImpl;

class BaseSock {
public:
    // The collection index of a socket that is not served.
    static constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
    // Values of GetType().
    static constexpr std::uint32_t kTypeUdp = 1;
    static constexpr std::uint32_t kTypeTcp = 3;
    static constexpr std::uint32_t kTypeTcpListen = 4;

    virtual ~BaseSock();
    BaseSock(const BaseSock&) = delete;
    BaseSock& operator=(const BaseSock&) = delete;

    [[nodiscard]] virtual std::shared_ptr<BaseSock> GetSharedPtr() = 0;
    virtual void Close() = 0;
    [[nodiscard]] virtual std::uint32_t GetType() = 0;
    // The event bits the socket wants reported (kSockEvRead, kSockEvWrite, ...).
    [[nodiscard]] virtual std::uint32_t GetEventMask() = 0;
    // Runs on the service thread, at least once every 3000 ms and whenever the socket has events; `bits`
    // may be 0. True when the visit did something (sent or read).
    virtual bool HandleSocketEvents(std::uint32_t bits) = 0;
    // True makes the service pass kSockEvIdle, so the visit has a non-empty mask.
    [[nodiscard]] virtual bool IsIdle() { return false; }
    [[nodiscard]] virtual bool WantsConnectEvent() { return false; }
    [[nodiscard]] virtual std::uint32_t GetWeight() = 0;
    virtual void OnSocketError(const ErrInfo& error) { (void)error; }
    virtual void OnSocketClosed(const ErrInfo& error) { (void)error; }

    [[nodiscard]] platform::SocketHandle GetHandle() const noexcept { return handle_.load(); }
    [[nodiscard]] bool IsOpen() const noexcept { return GetHandle() != platform::kInvalidSocket; }
    [[nodiscard]] std::uint32_t GetId() const noexcept { return id_; }
    // The handle as log lines print it ("%d").
    [[nodiscard]] int HandleForLog() const noexcept { return static_cast<int>(GetHandle()); }

    // The collection slot; written only by the service.
    [[nodiscard]] std::uint32_t GetIndex() const noexcept { return index_.load(); }
    void SetIndex(std::uint32_t index) noexcept { index_.store(index); }

    [[nodiscard]] NamedRecursiveMutex& GetLock() noexcept { return lock_; }
    // OnSocketError / OnSocketClosed. The lock is the derived socket's business: a UDP socket calls its
    // receiver without it, so call these without holding it either.
    void SetLastError(const ErrInfo& error);
    void NotifyClosed(const ErrInfo& error);
    // Blocking mode of the handle; true on success.
    bool SetBlocking(bool blocking);

    [[nodiscard]] INetManagerImpl& Manager() noexcept { return manager_; }
    [[nodiscard]] const std::wstring& ManagerName() const noexcept { return managerName_; }
    [[nodiscard]] bool IsLogging() const noexcept { return logging_; }
    [[nodiscard]] const std::wstring& TypeName() const noexcept { return typeName_; }

    // Set by the service's RequestConnectEvent, cleared by its loop.
    [[nodiscard]] bool IsConnectEventRequested() const noexcept { return connectRequested_.load(); }
    void SetConnectEventRequested(bool on) noexcept { connectRequested_.store(on); }

    // The native reason of the last FD_CLOSE (or failed connect) the service reported, 0 for an orderly
    // close; set by the service right before it passes kSockEvClose, taken (and cleared) by the socket.
    void SetCloseError(int code) noexcept { closeError_.store(code); }
    [[nodiscard]] int TakeCloseError() noexcept { return closeError_.exchange(0); }

    // Service bookkeeping (written only by the service): the weight the socket was counted with when it
    // was added, and whether a visit has been asked for with WakeFor and not yet made.
    [[nodiscard]] std::uint32_t ServiceWeight() const noexcept { return serviceWeight_.load(); }
    void SetServiceWeight(std::uint32_t w) noexcept { serviceWeight_.store(w); }
    // True when the flag was clear (the caller queues the visit).
    bool RequestVisit() noexcept { return !visitRequested_.exchange(true); }
    void ClearVisitRequest() noexcept { visitRequested_.store(false); }

protected:
    // `typeName` names the lock (typeName + "::_SockMutex") and the socket kind in log lines.
    BaseSock(INetManagerImpl& manager, const std::wstring& typeName);

    void SetHandle(platform::SocketHandle h) noexcept { handle_.store(h); }
    // Under the socket lock: unregisters from the service, shuts streams down, closes the handle. False
    // when the socket was closed already.
    bool CloseBase();
    // For the destructors of the socket kinds: only a socket that was never served can end open (the
    // service holds every one it serves); it leaves the service's collection and its handle is closed.
    void CloseUnserved() noexcept;
    // Writes `line` at `level` when the socket logs.
    void LogAt(std::uint32_t level, const std::wstring& line) const;
    // Writes `line` unconditionally of the level when the socket logs.
    void LogAlways(const std::wstring& line) const;

    std::shared_ptr<IDebugLog> log_;

private:
    INetManagerImpl& manager_;
    const std::wstring managerName_;
    const std::wstring typeName_;
    NamedRecursiveMutex lock_;
    std::atomic<platform::SocketHandle> handle_{platform::kInvalidSocket};
    const bool logging_;
    std::atomic<std::uint32_t> index_{kNoIndex};
    const std::uint32_t id_;
    std::atomic<bool> connectRequested_{false};
    std::atomic<int> closeError_{0};
    std::atomic<std::uint32_t> serviceWeight_{0};
    std::atomic<bool> visitRequested_{false};
};

}  // namespace Network
