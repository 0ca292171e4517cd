// NetManager: the socket service. One thread waits for the network events of every socket registered
// with it and runs their handlers; the service also keeps timing histograms and byte counters of the
// traffic and reports them once a minute ("STATISTICS: <name>: IoStat: ...").
//
// The wait is the platform's socket poller, which reports exactly the sockets that have events. A
// wake-up therefore visits only those sockets (and those a sender asked a visit for with WakeFor), so a
// service with a thousand quiet sockets answers one datagram as fast as a service with one. Besides,
// every socket is visited at least once every 3000 ms of the service's clock, and Wake() visits all of
// them. Where the poller cannot report the ready sockets alone (Windows), every wake-up visits every
// socket.
//
// The collection of served sockets grows in steps of 128 slots, keeps at least 44 of them free, and
// places a new socket three slots past the one used last.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/locks.h"
#include "common/statistics.h"
#include "net/base_sock.h"
#include "net/inet.h"
#include "platform/poller.h"

namespace Network {

// Timing histograms of a service, in microseconds.
enum NetStats : std::uint32_t {
    kNetStatTotal = 0,        // "Total (mks)": processing of one round
    kNetStatWait,             // "Wait (mks)"
    kNetStatUdpRecv,          // "UdpRecv (mks)"
    kNetStatUdpRecvCallback,  // "UdpRecvCallback (mks)"
    kNetStatUdpSendSleep,     // "UdpSendSleep (mks)"
    kNetStatUdpSendSync,      // "UdpSendSync (mks)"
    kNetStatUdpSendAsync,     // "UdpSendAsync (mks)"
    kNetStatTcpRecv,          // "TcpRecv (mks)"
    kNetStatTcpRecvCallback,  // "TcpRecvCallback (mks)"
    kNetStatTcpSend,          // "TcpSend (mks)"
    kNetStatTlsHandshake,     // "TlsHandshake (mks)"
    NetStatCount
};

// Byte and event counters of a service, reset by each report.
enum IoCounter : std::uint32_t {
    kIoUdpRecvBytes = 0,
    kIoUdpSentSyncBytes,
    kIoUdpSentAsyncBytes,
    kIoUdpSendSyncDrops,
    kIoUdpSendAsyncDrops,
    kIoUdpSendSyncBlocks,
    kIoUdpSendAsyncBlocks,
    kIoTcpRecvBytes,
    kIoTcpSendBytes,
    kIoUdpRecvDatagrams,  // datagrams read from UDP sockets
    kIoUdpRecvDrops,      // of those, datagrams no receiver got (empty, or the socket had no receiver)
    kIoTcpSendRefused,    // TCP sends refused because the socket's send queue was full
    kIoTcpAcceptRefused,  // connections a listener closed at once because it had its most open
    IoCounterCount
};

class INetManagerMulti;

// What sockets need from their service.
class INetManagerImpl : public INetManager {
public:
    [[nodiscard]] virtual const std::wstring& GetName() = 0;
    // Puts a socket into the collection (a socket already served, or null, is refused with a log line).
    virtual void AddSocketToService(std::shared_ptr<BaseSock> sock) = 0;
    // Called by a socket right after it opened: its events are reported from now on. A socket that is not
    // in the collection (closed before, now opened again) is put back into it. False when the events
    // could not be installed.
    virtual bool RegisterSocketEvents(BaseSock& sock) = 0;
    // Called by a socket when it closes: no more events, out of the collection.
    virtual void UnregisterSocket(BaseSock& sock) = 0;
    // Asks the loop to run the socket's connect step.
    virtual void RequestConnectEvent(BaseSock& sock) = 0;
    // Asks the loop to visit this socket soon (after data was queued for sending).
    virtual void WakeFor(BaseSock& sock) = 0;
    // A send or read stopped early: report `events` (kSockEvWrite, kSockEvRead) again once they hold.
    virtual void OnWouldBlock(BaseSock& sock, std::uint32_t events) = 0;
    virtual void SetWatcher(INetManagerMulti* watcher) = 0;
    [[nodiscard]] virtual INetManagerMulti* GetWatcher() = 0;
    // Makes the loop run one round that visits every socket.
    virtual void Wake() = 0;
    // Adds the interval end - begin (ticks of GetTicks) to a histogram, when statistics are on.
    virtual void AddTimeStat(NetStats index, std::uint64_t begin, std::uint64_t end) = 0;
    // Adds `value` to a counter, when statistics are on.
    virtual void AddIoStat(IoCounter index, std::uint64_t value) = 0;
};

class NetManager final : public INetManagerImpl {
public:
    // Collection and loop constants.
    static constexpr std::size_t kCollectionStep = 128;
    static constexpr std::size_t kMinFreeSlots = 44;
    static constexpr std::size_t kSlotSearchOffset = 3;
    static constexpr int kIdleVisitMs = 3000;

    // `clock` paces the visits of quiet sockets; it must outlive the service.
    static std::shared_ptr<NetManager> Create(const ComponentInfo& info, bool autoStart,
                                              IClock& clock = RealClock());
    NetManager(const ComponentInfo& info, bool autoStart, IClock& clock = RealClock());
    // Stops the service and closes every socket it still serves.
    ~NetManager() override;
    NetManager(const NetManager&) = delete;
    NetManager& operator=(const NetManager&) = delete;

    // INetManager
    bool Start() override;
    void Stop() override;
    [[nodiscard]] bool IsRunning() override { return running_.load(); }
    std::shared_ptr<IUdpSock> CreateUdpSock() override;
    std::shared_ptr<ITcpSock> CreateTcpSock() override;
    std::shared_ptr<BaseSock> CreateOtherSock() override { return {}; }
    std::shared_ptr<ITcpListenSock> CreateTcpListenSock() override;
    [[nodiscard]] bool IsLogging() override { return logging_; }
    [[nodiscard]] std::size_t GetNumSockets() override;
    [[nodiscard]] std::size_t GetWeight() override;

    // INetManagerImpl
    [[nodiscard]] const std::wstring& GetName() override { return name_; }
    void AddSocketToService(std::shared_ptr<BaseSock> sock) override;
    bool RegisterSocketEvents(BaseSock& sock) override;
    void UnregisterSocket(BaseSock& sock) override;
    void RequestConnectEvent(BaseSock& sock) override;
    void WakeFor(BaseSock& sock) override;
    void OnWouldBlock(BaseSock& sock, std::uint32_t events) override;
    void SetWatcher(INetManagerMulti* watcher) override { watcher_.store(watcher); }
    [[nodiscard]] INetManagerMulti* GetWatcher() override { return watcher_.load(); }
    void Wake() override;
    void AddTimeStat(NetStats index, std::uint64_t begin, std::uint64_t end) override;
    void AddIoStat(IoCounter index, std::uint64_t value) override;

    // Wakes the loop for a round that serves no socket (the "TLS_TIMER" signal).
    void SignalTimer();

    void RemoveSocketFromService(BaseSock* sock);
    // The socket in slot `index`; empty for a free slot or an index past the end.
    [[nodiscard]] std::shared_ptr<BaseSock> GetServicedSocket(std::size_t index);
    // Copies of all occupied slots, in slot order.
    void GetAllServicedSockets(std::vector<std::shared_ptr<BaseSock>>& out);

    // State of the collection, for diagnostics.
    [[nodiscard]] std::size_t GetCollectionSize();
    [[nodiscard]] std::size_t GetFreeSlots();
    [[nodiscard]] std::size_t GetLastIndex();

    [[nodiscard]] bool IsStatisticsOn() const noexcept { return statsOn_; }
    // The current value of a counter (0 when statistics are off).
    [[nodiscard]] std::uint64_t GetIoStat(IoCounter index);
    // Samples in a histogram since the last report.
    [[nodiscard]] std::uint64_t GetTimeStatCount(NetStats index);
    // Where the once-a-minute report reads the time; set it before Start.
    void SetReportMinuteSource(MinuteSource source);
    // The system id of the service thread (0 before it first ran).
    [[nodiscard]] std::uint32_t GetServiceThreadId() const noexcept { return threadId_.load(); }

private:
    struct Visit;

    // Puts a new socket into the collection (logged as a `kind` socket) and returns it.
    template <class Sock>
    std::shared_ptr<Sock> Serve(std::shared_ptr<Sock> sock, const wchar_t* kind);

    void Process();
    bool InstallSocketEventHandling(BaseSock& sock);
    void UninstallSocketEventHandling(BaseSock& sock);
    bool HandleSocketEvents(BaseSock* sock, const platform::SocketEvent* event);
    std::shared_ptr<BaseSock> FindByCookie(std::uint64_t cookie);
    void ServeRound(const std::vector<platform::SocketEvent>& ready, bool full);
    void ClearAll();
    void IoStat();
    void LogError(const std::wstring& line);

    std::shared_ptr<IDebugLog> log_;
    IClock& clock_;
    const bool visitAllOnEveryWake_;
    std::mutex controlMutex_;  // serialises Start and Stop
    std::thread thread_;
    const std::wstring name_;
    std::atomic<bool> running_{false};
    bool statsOn_ = true;
    bool logging_ = false;

    std::mutex statsMutex_;  // guards netStats_ and ioStats_
    std::vector<Statistics> netStats_;
    std::array<std::uint64_t, IoCounterCount> ioStats_{};
    PeriodClock reportTimer_;
    const std::wstring reportPrefix_;

    bool libraryStarted_ = false;
    platform::SocketPoller poller_;
    std::atomic<bool> timerSignalled_{false};
    std::atomic<bool> wakeAll_{false};
    std::mutex visitMutex_;  // guards visitCookies_
    std::vector<std::uint64_t> visitCookies_;

    std::atomic<std::uint32_t> threadId_{0};

    NamedRecursiveMutex servicedSocketsMutex_{L"NetManager::ServicedSocketsMutex"};
    std::vector<std::shared_ptr<BaseSock>> sockets_;
    std::size_t lastIndex_ = 0;
    std::size_t free_ = 0;
    std::atomic<INetManagerMulti*> watcher_{nullptr};
    std::size_t weight_ = 0;
};

}  // namespace Network
