// UdpSockAuto: a UDP socket that survives a failed opening. When Open fails (the local address to bind
// does not exist yet, or is taken), the socket keeps its settings, returns the failure, and hands itself
// to the process's re-open service, which tries again every 5000 ms until the socket opens, is closed,
// or is gone. It offers IUdpSock like UdpSock and forwards to an inner UdpSock of its service once that
// is open (the receiver is called with the inner socket).
//
// Close withdraws a pending re-open: a closed socket never opens by itself. Close waits for an attempt
// in progress, so once it returns the service no longer touches the socket (or its socket service).
//
// The re-open service keeps only weak pointers. The process's one is made on first use and never
// destroyed (a socket ended by a static destructor may still withdraw from it); its thread starts with
// the first pending re-open and ends by itself when none is left, so usually no thread exists at all. At
// process exit a running thread is told to stop and joined: on Linux it leaves after the attempt it may
// be making; on Windows the DLL's exit handlers run after the system has ended every other thread, so
// the join returns at once. (Unloading the DLL while a re-open is pending is not supported.)
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/error_state.h"
#include "net/inet.h"

namespace Network {

class UdpSockAuto;

class UdpReopenService {
public:
    static constexpr std::int64_t kIntervalMs = 5000;

    // The process's service (real clock, 5000 ms).
    static UdpReopenService& Process();

    // Passes run every `intervalMs` of `clock`; with a clock other than the real one the thread waits in
    // slices of 5 ms, so a step of the clock is seen at once.
    explicit UdpReopenService(IClock& clock = RealClock(), std::int64_t intervalMs = kIntervalMs);
    // Stops the thread (joins it).
    ~UdpReopenService();
    UdpReopenService(const UdpReopenService&) = delete;
    UdpReopenService& operator=(const UdpReopenService&) = delete;

    // A socket whose Open failed; it is tried at every pass from the next one on.
    void Add(const std::shared_ptr<UdpSockAuto>& sock);
    // Forgets the socket (Close, destruction).
    void Withdraw(const UdpSockAuto* sock);
    // Sockets waiting to be opened.
    [[nodiscard]] std::size_t Pending();
    // Passes made so far.
    [[nodiscard]] std::uint64_t Passes();
    [[nodiscard]] bool IsThreadRunning();
    // Ends the thread and waits for it; sockets added later are kept but no longer tried.
    void Stop();

private:
    struct Entry {
        std::weak_ptr<UdpSockAuto> sock;
        const UdpSockAuto* id = nullptr;
    };
    void Run(std::int64_t startMs);

    IClock& clock_;
    const std::int64_t intervalMs_;
    std::mutex mutex_;  // guards everything below; never held while a socket is tried
    std::condition_variable wake_;
    std::vector<Entry> entries_;
    std::uint64_t passes_ = 0;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

class UdpSockAuto final : public IUdpSock, public std::enable_shared_from_this<UdpSockAuto> {
public:
    // A closed socket whose inner sockets `manager` makes; `service` re-opens it (both must outlive it).
    static std::shared_ptr<UdpSockAuto> Create(INetManager& manager,
                                               UdpReopenService& service = UdpReopenService::Process());
    UdpSockAuto(INetManager& manager, UdpReopenService& service);
    ~UdpSockAuto() override;
    UdpSockAuto(const UdpSockAuto&) = delete;
    UdpSockAuto& operator=(const UdpSockAuto&) = delete;

    // IUdpSock
    [[nodiscard]] INetManager& GetNetManager() override { return manager_; }
    ErrInfo Open(const UdpSockInfo& info) override;
    void Close() override;
    ErrInfo SetSendAddr(const SockAddr& addr) override;
    ErrInfo Send(std::shared_ptr<Packet> packet, const SockAddr& dest) override;
    ErrInfo Send(std::unique_ptr<Packet> packet, const SockAddr& dest) override;
    ErrInfo Send(const std::uint8_t* data, std::size_t size, const SockAddr& dest) override;
    // The settings; once open, the inner socket's (with the port the system chose for port 0).
    [[nodiscard]] UdpSockInfo GetInfo() override;
    [[nodiscard]] BaseSock* GetBaseSock() override;

    // Called by the service: opens with the stored settings. True when nothing is left to do (opened,
    // open already, or no longer wanted).
    bool TryOpen();
    [[nodiscard]] bool IsReopenRequested();

private:
    void Log(const std::wstring& line) const;
    // The inner socket for a send, or the failure "Send() - socket not opened".
    std::shared_ptr<IUdpSock> ForSend(ErrInfo& err, std::shared_ptr<ErrorState>& state);
    // Under the lock: a new socket of the service opened with the settings, the result recorded in the
    // open error state; empty (and the socket closed again) on failure. `operation` names the caller in
    // the text when the service makes no socket.
    std::shared_ptr<IUdpSock> OpenInner(ErrInfo& result, const wchar_t* operation);

    std::shared_ptr<IDebugLog> log_;
    INetManager& manager_;
    UdpReopenService& service_;
    bool logging_ = false;

    std::mutex mutex_;  // guards everything below; held by an opening attempt
    std::wstring prefix_;
    std::shared_ptr<IUdpSock> inner_;
    UdpSockInfo settings_;
    bool reopenRequested_ = false;
    std::shared_ptr<ErrorState> sendState_;
    std::shared_ptr<ErrorState> openState_;
};

}  // namespace Network
