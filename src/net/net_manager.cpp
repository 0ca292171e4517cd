#include "net/net_manager.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "common/clock.h"
#include "common/environment.h"
#include "common/err_info.h"
#include "net/net_manager_multi.h"
#include "net/tcp_listen_sock.h"
#include "net/tcp_sock.h"
#include "net/udp_sock.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace Network {

static_assert(kSockEvIdle == platform::kSockIdle && kSockEvRead == platform::kSockRead &&
                  kSockEvWrite == platform::kSockWrite && kSockEvOob == platform::kSockOob &&
                  kSockEvClose == platform::kSockClose && kSockEvAccept == platform::kSockAccept &&
                  kSockEvConnect == platform::kSockConnect && kSockEvError == platform::kSockError,
              "the service passes the poller's event bits through unchanged");

namespace {

// A stepped clock does not end a real wait: with any clock but the real one the loop waits in slices of
// this length, so that it sees a step soon without anybody having to wake it.
constexpr int kSteppedClockSliceMs = 5;

const wchar_t* const kNetStatNames[NetStatCount] = {
    L"Total (mks)",           L"Wait (mks)",        L"UdpRecv (mks)",      L"UdpRecvCallback (mks)",
    L"UdpSendSleep (mks)",    L"UdpSendSync (mks)", L"UdpSendAsync (mks)", L"TcpRecv (mks)",
    L"TcpRecvCallback (mks)", L"TcpSend (mks)",     L"TlsHandshake (mks)",
};

const wchar_t* const kIoStatLabels[IoCounterCount] = {
    L" UdpRecvBytes=",      L" UdpSentSyncBytes=",  L" UdpSentAsyncBytes=",  L" UdpSendSyncDrops=",
    L" UdpSendAsyncDrops=", L" UdpSendSyncBlocks=", L" UdpSendAsyncBlocks=", L" TcpRecvBytes=",
    L" TcpSendBytes=",      L" UdpRecvDatagrams=",  L" UdpRecvDrops=",       L" TcpSendRefused=",
    L" TcpAcceptRefused=",
};

// Histogram range in microseconds; longer intervals land in the top bucket (their maximum is kept).
constexpr std::int32_t kHistogramMaxMks = 1000;
// The histograms are reported and reset by the service's own once-a-minute report, never by themselves.
constexpr std::uint32_t kHistogramNeverTurns = 0xFFFFFFFFu;

std::uint64_t Cookie(std::uint32_t id, std::uint32_t index) {
    return (std::uint64_t{id} << 32) | index;
}

const wchar_t* OnOff(bool on) {
    return on ? L"ON" : L"OFF";
}

}  // namespace

std::shared_ptr<INetManager> INetManager::Create(const ComponentInfo& info, bool autoStart,
                                                 std::size_t count) {
    if (count >= 2) {
        return std::make_shared<NetManagerMulti>(info, autoStart, count);
    }
    return NetManager::Create(info, autoStart);
}

std::shared_ptr<NetManager> NetManager::Create(const ComponentInfo& info, bool autoStart, IClock& clock) {
    return std::make_shared<NetManager>(info, autoStart, clock);
}

NetManager::NetManager(const ComponentInfo& info, bool autoStart, IClock& clock)
    : log_(GetProcessDebugLog()),
      clock_(clock),
      visitAllOnEveryWake_(!platform::SocketPoller::ReportsReadySocketsOnly()),
      name_(info.name),
      reportTimer_(1),
      reportPrefix_(L"STATISTICS: " + info.name + L": ") {
    if (log_) {
        int state = log_->GetLogStreamState(L"NetManager-Stat");
        if (state != kLogStreamOff) {
            state = log_->GetLogStreamState(L"NetManager-" + name_ + L"-Stat");
        }
        statsOn_ = state != kLogStreamOff;
        logging_ = log_->GetLoggingLevel() >= kLogMessages &&
                   (log_->IsLogEnabled(L"NetManager") || log_->IsLogEnabled(L"NetManager-" + name_));
    }
    WriteAtLevel(log_, kLogErrors,
                 FormatLine(L"NetManager \"%ls\" created; statistic is %ls; logging is %ls; watcher %ls",
                            name_.c_str(), OnOff(statsOn_), OnOff(logging_), L"WinSock2"));
    netStats_.reserve(NetStatCount);
    for (const wchar_t* statName : kNetStatNames) {
        netStats_.emplace_back(statName);
        Statistics& s = netStats_.back();
        s.Configure(Statistics::kKindFull, kHistogramNeverTurns, GetTicksFrequency(), 1000000, 0,
                    kHistogramMaxMks);
        s.SetEnabled(false);
    }
    libraryStarted_ = InitWinSock();
    if (autoStart) {
        Start();
    }
}

NetManager::~NetManager() {
    Stop();
    // A service that never ran (or whose sockets were opened again after it stopped) still closes them:
    // no socket may outlive its service with a registration in it.
    if (GetCollectionSize() != 0) {
        ClearAll();
    }
    if (libraryStarted_) {
        platform::StopSocketLibrary();
    }
    WriteAtLevel(log_, kLogErrors, FormatLine(L"NetManager \"%ls\" destroyed", name_.c_str()));
}

bool NetManager::Start() {
    std::lock_guard<std::mutex> control(controlMutex_);
    if (running_.load()) {
        return true;
    }
    if (!poller_.IsValid()) {
        return false;
    }
    if (thread_.joinable()) {
        // Stopped from its own thread earlier; that thread has ended or is about to.
        thread_.join();
    }
    running_.store(true);
    thread_ = std::thread([this] { Process(); });
    return IsRunning();
}

void NetManager::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> control(controlMutex_);
        if (running_.exchange(false)) {
            poller_.Wake();
        }
        // A receiver may stop the service from the service thread itself: that thread leaves its loop
        // after the round and is joined by the next Start, or by a Stop from another thread.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            ending = std::move(thread_);
        }
    }
    if (ending.joinable()) {
        ending.join();
    }
}

template <class Sock>
std::shared_ptr<Sock> NetManager::Serve(std::shared_ptr<Sock> sock, const wchar_t* kind) {
    if (logging_) {
        WriteAtLevel(log_, kLogConfig,
                     FormatLine(L"%ls: Create %ls socket (%08X)", name_.c_str(), kind, sock->GetId()));
    }
    {
        TimedLocker<NamedRecursiveMutex> lock(sock->GetLock(), L"CreateSock", 5,
                                              "Network::NetManager::CreateSock", __FILE__, __LINE__);
        AddSocketToService(sock);
    }
    return sock;
}

std::shared_ptr<IUdpSock> NetManager::CreateUdpSock() {
    return Serve(UdpSock::Create(*this), L"UDP");
}

std::shared_ptr<ITcpSock> NetManager::CreateTcpSock() {
    return Serve(TcpSock::Create(*this), L"TCP");
}

std::shared_ptr<ITcpListenSock> NetManager::CreateTcpListenSock() {
    return Serve(TcpListenSock::Create(*this), L"TCP server");
}

std::size_t NetManager::GetNumSockets() {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetNumSockets");
    return sockets_.size() >= free_ ? sockets_.size() - free_ : 0;
}

std::size_t NetManager::GetWeight() {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetWeight");
    return weight_;
}

std::size_t NetManager::GetCollectionSize() {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetCollectionSize");
    return sockets_.size();
}

std::size_t NetManager::GetFreeSlots() {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetFreeSlots");
    return free_;
}

std::size_t NetManager::GetLastIndex() {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetLastIndex");
    return lastIndex_;
}

void NetManager::LogError(const std::wstring& line) {
    if (log_) {
        log_->Write(line);
    }
}

void NetManager::AddSocketToService(std::shared_ptr<BaseSock> sock) {
    if (!sock) {
        LogError(FormatLine(L"%ls: Error: Attempt to add <null> socket to service", name_.c_str()));
        return;
    }
    if (sock->GetIndex() != BaseSock::kNoIndex) {
        LogError(FormatLine(L"%ls: Error: Socket %3d (%08X) alredy added to service as %zu", name_.c_str(),
                            sock->HandleForLog(), sock->GetId(), static_cast<std::size_t>(sock->GetIndex())));
        return;
    }
    // Asked before the collection lock: the socket's lock is never taken under it.
    const std::uint32_t weight = sock->GetWeight();
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"AddSocketToService", 5,
                                          "Network::NetManager::AddSocketToService", __FILE__, __LINE__);
    if (free_ < kMinFreeSlots) {
        const std::size_t used = sockets_.size() >= free_ ? sockets_.size() - free_ : 0;
        const std::size_t newSize = (sockets_.size() + kCollectionStep) / kCollectionStep * kCollectionStep;
        sockets_.resize(newSize);
        free_ = newSize - used;
        if (logging_) {
            WriteAtLevel(
                log_, kLogConfig,
                FormatLine(L"%ls: Socket %d (%08X) : Socket collection expanded: size = %zu; free = %zu",
                           name_.c_str(), sock->HandleForLog(), sock->GetId(), sockets_.size(), free_));
        }
    }
    const std::size_t size = sockets_.size();
    std::size_t slot = (lastIndex_ + kSlotSearchOffset) % size;
    while (sockets_[slot]) {
        slot = (slot + 1) % size;
        if (slot == lastIndex_) {
            break;
        }
    }
    if (sockets_[slot]) {
        // The search starts past the last slot used and stops when it comes back to it, so the two slots
        // right behind it are never looked at; with at least 44 free slots that cannot leave it empty-handed,
        // but a slot in use must never be overwritten.
        slot =
            static_cast<std::size_t>(std::find(sockets_.begin(), sockets_.end(), nullptr) - sockets_.begin());
    }
    sock->SetIndex(static_cast<std::uint32_t>(slot));
    sock->SetServiceWeight(weight);
    sockets_[slot] = sock;
    lastIndex_ = slot;
    --free_;
    weight_ += weight;
    if (logging_) {
        WriteAtLevel(
            log_, kLogConfig,
            FormatLine(
                L"%ls: Socket %d (%08X) : Added to socket collection: index = #%zu; size = %zu; free = %zu",
                name_.c_str(), sock->HandleForLog(), sock->GetId(), slot, sockets_.size(), free_));
    }
}

void NetManager::RemoveSocketFromService(BaseSock* sock) {
    if (sock == nullptr) {
        return;
    }
    std::shared_ptr<BaseSock> keep;  // released after the lock, so the socket never ends under it
    {
        TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"RemoveSocketFromService", 5,
                                              "Network::NetManager::RemoveSocketFromService", __FILE__,
                                              __LINE__);
        const std::size_t idx = sock->GetIndex();
        if (idx >= sockets_.size()) {
            if (!sockets_.empty()) {
                LogError(FormatLine(
                    L"%ls: Error: Socket %3d (%08X) is not under service: indx = %zu (attempt to remove)",
                    name_.c_str(), sock->HandleForLog(), sock->GetId(), idx));
            }
            return;
        }
        if (sockets_[idx].get() != sock) {
            LogError(
                FormatLine(L"%ls: Error: Socket %3d (%08X) contains invalid indx = %zu (attempt to remove)",
                           name_.c_str(), sock->HandleForLog(), sock->GetId(), idx));
            return;
        }
        keep = std::move(sockets_[idx]);
        sockets_[idx].reset();
        sock->SetIndex(BaseSock::kNoIndex);
        ++free_;
        const std::size_t weight = sock->ServiceWeight();
        weight_ = weight_ >= weight ? weight_ - weight : 0;
        if (logging_) {
            WriteAtLevel(
                log_, kLogConfig,
                FormatLine(
                    L"%ls: Socket %d (%08X) : Removed from socket collection: index = #%zu; size = %zu",
                    name_.c_str(), sock->HandleForLog(), sock->GetId(), idx, sockets_.size()));
        }
        bool shrunk = false;
        while (!sockets_.empty() && !sockets_.back() && free_ >= kMinFreeSlots) {
            sockets_.pop_back();
            --free_;
            shrunk = true;
        }
        if (shrunk && logging_) {
            WriteAtLevel(
                log_, kLogConfig,
                FormatLine(L"%ls: Socket %d (%08X) : Socket collection shrinked: size = %zu; free = %zu",
                           name_.c_str(), sock->HandleForLog(), sock->GetId(), sockets_.size(), free_));
        }
    }
}

std::shared_ptr<BaseSock> NetManager::GetServicedSocket(std::size_t index) {
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetServicedSocket");
    if (index >= sockets_.size()) {
        return {};
    }
    return sockets_[index];
}

void NetManager::GetAllServicedSockets(std::vector<std::shared_ptr<BaseSock>>& out) {
    out.clear();
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"GetAllServicedSockets", 5,
                                          "Network::NetManager::GetAllServicedSockets", __FILE__, __LINE__);
    out.reserve(sockets_.size() - std::min(free_, sockets_.size()));
    for (const std::shared_ptr<BaseSock>& s : sockets_) {
        if (s) {
            out.push_back(s);
        }
    }
}

std::shared_ptr<BaseSock> NetManager::FindByCookie(std::uint64_t cookie) {
    const auto index = static_cast<std::uint32_t>(cookie & 0xFFFFFFFFu);
    const auto id = static_cast<std::uint32_t>(cookie >> 32);
    TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"FindByCookie");
    if (index >= sockets_.size() || !sockets_[index] || sockets_[index]->GetId() != id) {
        return {};
    }
    return sockets_[index];
}

bool NetManager::InstallSocketEventHandling(BaseSock& sock) {
    if (logging_) {
        WriteAtLevel(log_, kLogConfig,
                     FormatLine(L"%ls: Socket %d (%08X) : Install event handling (WSA)", name_.c_str(),
                                sock.HandleForLog(), sock.GetId()));
    }
    TimedLocker<NamedRecursiveMutex> lock(sock.GetLock(), L"InstallSocketEventHandling", 5,
                                          "Network::NetManager::InstallSocketEventHandling", __FILE__,
                                          __LINE__);
    if (!sock.IsOpen()) {
        return false;
    }
    const std::uint32_t interest = sock.GetEventMask() & (kSockEvRead | kSockEvWrite | kSockEvOob |
                                                          kSockEvClose | kSockEvAccept | kSockEvConnect);
    return poller_.Add(sock.GetHandle(), interest, Cookie(sock.GetId(), sock.GetIndex())).ok();
}

void NetManager::UninstallSocketEventHandling(BaseSock& sock) {
    TimedLocker<NamedRecursiveMutex> lock(sock.GetLock(), L"UninstallSocketEventHandling", 5,
                                          "Network::NetManager::UninstallSocketEventHandling", __FILE__,
                                          __LINE__);
    if (sock.IsOpen()) {
        (void)poller_.Remove(sock.GetHandle());
    }
}

bool NetManager::RegisterSocketEvents(BaseSock& sock) {
    bool ok = false;
    {
        TimedLocker<NamedRecursiveMutex> lock(sock.GetLock(), L"RegisterSocketEvents", 5,
                                              "Network::NetManager::RegisterSocketEvents", __FILE__,
                                              __LINE__);
        if (sock.GetIndex() == BaseSock::kNoIndex) {
            // Closing took the socket out of the collection; opened again, it is served again.
            AddSocketToService(sock.GetSharedPtr());
        }
        ok = InstallSocketEventHandling(sock);
    }
    Wake();
    return ok;
}

void NetManager::UnregisterSocket(BaseSock& sock) {
    UninstallSocketEventHandling(sock);
    RemoveSocketFromService(&sock);
    Wake();
}

void NetManager::RequestConnectEvent(BaseSock& sock) {
    sock.SetConnectEventRequested(true);
    Wake();
}

void NetManager::WakeFor(BaseSock& sock) {
    if (visitAllOnEveryWake_) {
        Wake();
        return;
    }
    if (sock.RequestVisit()) {
        std::lock_guard<std::mutex> lock(visitMutex_);
        visitCookies_.push_back(Cookie(sock.GetId(), sock.GetIndex()));
    }
    poller_.Wake();
}

void NetManager::OnWouldBlock(BaseSock& sock, std::uint32_t events) {
    if (sock.IsOpen()) {
        (void)poller_.Rearm(sock.GetHandle(), events);
    }
}

void NetManager::Wake() {
    wakeAll_.store(true);
    poller_.Wake();
}

void NetManager::SignalTimer() {
    timerSignalled_.store(true);
    poller_.Wake();
}

void NetManager::AddTimeStat(NetStats index, std::uint64_t begin, std::uint64_t end) {
    if (!statsOn_ || index >= NetStatCount) {
        return;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    netStats_[index].AddInterval(end > begin ? end - begin : 0);
}

void NetManager::AddIoStat(IoCounter index, std::uint64_t value) {
    if (!statsOn_ || index >= IoCounterCount) {
        return;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    ioStats_[index] += value;
}

std::uint64_t NetManager::GetIoStat(IoCounter index) {
    if (index >= IoCounterCount) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    return ioStats_[index];
}

std::uint64_t NetManager::GetTimeStatCount(NetStats index) {
    if (index >= NetStatCount) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    return netStats_[index].Count();
}

void NetManager::SetReportMinuteSource(MinuteSource source) {
    reportTimer_.SetMinuteSource(source);
}

void NetManager::IoStat() {
    if (!statsOn_ || !reportTimer_.IsNewPeriod()) {
        return;
    }
    std::wstring text = reportPrefix_ + L"IoStat: Sockets=" + std::to_wstring(GetNumSockets());
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        for (std::size_t i = 0; i < IoCounterCount; ++i) {
            if (ioStats_[i] != 0) {
                text += kIoStatLabels[i];
                text += std::to_wstring(ioStats_[i]);
            }
        }
        for (Statistics& s : netStats_) {
            if (s.Count() != 0) {
                text += log_ ? log_->LineBreak : std::wstring(L"\r\n");
                text += reportPrefix_;
                text += s.FormatReport();
                s.Reset();
            }
        }
        ioStats_.fill(0);
    }
    if (log_) {
        log_->Write(text);
    }
}

bool NetManager::HandleSocketEvents(BaseSock* sock, const platform::SocketEvent* event) {
    const std::uint32_t events = event != nullptr ? event->events : 0;
    if ((events & kSockEvError) != 0) {
        // Reported without the socket's lock: the socket calls its owner back.
        if (sock->IsOpen()) {
            ErrInfo err(ERR_PLACE("Network::NetManager::HandleSocketEvents"));
            err.SetSysError(static_cast<std::uint32_t>(event->error), L"WSAEnumNetworkEvents failed");
            sock->SetLastError(err);
        }
        return false;
    }
    {
        TimedLocker<NamedRecursiveMutex> lock(sock->GetLock(), L"HandleSocketEvents", 5,
                                              "Network::NetManager::HandleSocketEvents", __FILE__, __LINE__);
        if (!sock->IsOpen()) {
            return false;
        }
        if ((events & kSockEvConnect) != 0) {
            if (event->connect_error != 0) {
                sock->SetCloseError(event->connect_error);
                sock->HandleSocketEvents(kSockEvClose);
                return true;
            }
            if (sock->WantsConnectEvent()) {
                sock->HandleSocketEvents(kSockEvConnect);
            }
            sock->SetConnectEventRequested(false);
        } else if (sock->IsConnectEventRequested()) {
            if (sock->WantsConnectEvent()) {
                sock->HandleSocketEvents(kSockEvConnect);
            }
            sock->SetConnectEventRequested(false);
        }
    }
    std::uint32_t mask = events & (kSockEvClose | kSockEvRead | kSockEvWrite | kSockEvOob | kSockEvAccept);
    if ((mask & kSockEvClose) != 0) {
        sock->SetCloseError(event->close_error);
    }
    if (sock->IsIdle()) {
        mask |= kSockEvIdle;
    }
    return sock->HandleSocketEvents(mask);
}

void NetManager::ServeRound(const std::vector<platform::SocketEvent>& ready, bool full) {
    std::vector<std::uint64_t> asked;
    {
        std::lock_guard<std::mutex> lock(visitMutex_);
        asked.swap(visitCookies_);
    }
    std::vector<std::shared_ptr<BaseSock>> targets;
    for (std::uint64_t cookie : asked) {
        if (std::shared_ptr<BaseSock> s = FindByCookie(cookie)) {
            // Cleared before the visit: data queued during it asks for the next one.
            s->ClearVisitRequest();
            targets.push_back(std::move(s));
        }
    }

    if (full) {
        std::vector<const platform::SocketEvent*> byCookie;
        byCookie.reserve(ready.size());
        for (const platform::SocketEvent& e : ready) {
            byCookie.push_back(&e);
        }
        const auto less = [](const platform::SocketEvent* a, const platform::SocketEvent* b) {
            return a->cookie < b->cookie;
        };
        std::sort(byCookie.begin(), byCookie.end(), less);
        std::vector<std::shared_ptr<BaseSock>> all;
        GetAllServicedSockets(all);
        for (const std::shared_ptr<BaseSock>& s : all) {
            platform::SocketEvent key;
            key.cookie = Cookie(s->GetId(), s->GetIndex());
            const auto it = std::lower_bound(byCookie.begin(), byCookie.end(), &key, less);
            HandleSocketEvents(s.get(), it != byCookie.end() && (*it)->cookie == key.cookie ? *it : nullptr);
        }
        return;
    }

    std::vector<std::uint64_t> served;
    served.reserve(ready.size());
    for (const platform::SocketEvent& e : ready) {
        if (std::shared_ptr<BaseSock> s = FindByCookie(e.cookie)) {
            HandleSocketEvents(s.get(), &e);
            served.push_back(e.cookie);
        }
    }
    std::sort(served.begin(), served.end());
    for (const std::shared_ptr<BaseSock>& s : targets) {
        const std::uint64_t cookie = Cookie(s->GetId(), s->GetIndex());
        if (!std::binary_search(served.begin(), served.end(), cookie)) {
            HandleSocketEvents(s.get(), nullptr);
        }
    }
}

void NetManager::Process() {
    threadId_.store(platform::CurrentThreadId());
    WriteAtLevel(
        log_, kLogThreads,
        FormatLine(L"NetManager \"%ls\" started; service thread ID=%u", name_.c_str(), threadId_.load()));
    if (const std::uint32_t code = platform::SetCurrentThreadPriority(2); code != 0) {
        ErrInfo err(ERR_PLACE("Network::NetManager::Process"));
        err.SetSysError(code, L"Can not set realtime priority");
    }

    std::vector<platform::SocketEvent> ready;
    std::uint64_t prevWaitEnd = GetTicks();
    std::int64_t lastFullRound = clock_.NowMs();
    platform::SocketResult lastWaitError;
    while (running_.load()) {
        const std::int64_t sinceFullRound = clock_.NowMs() - lastFullRound;
        int timeout =
            static_cast<int>(std::clamp<std::int64_t>(kIdleVisitMs - sinceFullRound, 0, kIdleVisitMs));
        if (&clock_ != &RealClock()) {
            timeout = std::min(timeout, kSteppedClockSliceMs);
        }
        const std::uint64_t waitStart = GetTicks();
        if (statsOn_) {
            AddTimeStat(kNetStatTotal, prevWaitEnd, waitStart);
            IoStat();
        }
        const platform::WaitResult wr = poller_.Wait(timeout, ready);
        if (!running_.load()) {
            break;
        }
        const std::uint64_t waitEnd = GetTicks();
        if (statsOn_) {
            AddTimeStat(kNetStatWait, waitStart, waitEnd);
            if (logging_) {
                WriteAtLevel(
                    log_, kLogPeriodic,
                    FormatLine(L"%ls: Wait for socket events: active = %u sockets; just.wait = %llu mcs; "
                               L"prev.proc = %llu mcs",
                               name_.c_str(), static_cast<unsigned>(GetNumSockets()),
                               static_cast<unsigned long long>(TicksToMks(waitEnd - waitStart)),
                               static_cast<unsigned long long>(TicksToMks(waitStart - prevWaitEnd))));
            }
        }
        prevWaitEnd = waitEnd;
        if (!wr.error.ok()) {
            // The wait itself failed: report each new failure once, serve every socket, and do not spin.
            if (wr.error.code != lastWaitError.code) {
                LogError(FormatLine(L"%ls: Error: wait for socket events failed; code = %d", name_.c_str(),
                                    wr.error.code));
            }
            lastWaitError = wr.error;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            lastFullRound = clock_.NowMs();
            ServeRound(ready, true);
            continue;
        }
        lastWaitError = platform::SocketResult::Ok();

        const bool timer = timerSignalled_.exchange(false);
        const bool wakeAll = wakeAll_.exchange(false);
        bool asked = false;
        {
            std::lock_guard<std::mutex> lock(visitMutex_);
            asked = !visitCookies_.empty();
        }
        const std::int64_t now = clock_.NowMs();
        const bool due = now - lastFullRound >= kIdleVisitMs;
        if (!due && ready.empty() && !wakeAll && !asked && (timer || wr.timed_out)) {
            continue;  // the timer signal alone, or a slice of a stepped clock, serves no socket
        }
        const bool full = visitAllOnEveryWake_ || wakeAll || due;
        if (full) {
            lastFullRound = now;
        }
        ServeRound(ready, full);
    }
    ClearAll();
    WriteAtLevel(log_, kLogThreads, FormatLine(L"NetManager \"%ls\" main thread ended", name_.c_str()));
}

void NetManager::ClearAll() {
    WriteAtLevel(log_, kLogThreads,
                 FormatLine(L"NetManager \"%ls\" proceed to stop and cleanup", name_.c_str()));
    std::vector<std::shared_ptr<BaseSock>> all;
    {
        TimedLocker<NamedRecursiveMutex> lock(servicedSocketsMutex_, L"ClearAll", 5,
                                              "Network::NetManager::ClearAll", __FILE__, __LINE__);
        for (std::shared_ptr<BaseSock>& s : sockets_) {
            if (s) {
                s->SetIndex(BaseSock::kNoIndex);
                all.push_back(std::move(s));
            }
        }
        sockets_.clear();
        free_ = 0;
        lastIndex_ = 0;
        weight_ = 0;
    }
    for (const std::shared_ptr<BaseSock>& s : all) {
        s->Close();
    }
}

}  // namespace Network
