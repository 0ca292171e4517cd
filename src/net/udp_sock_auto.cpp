#include "net/udp_sock_auto.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "common/environment.h"

namespace Network {

namespace {

// With a clock other than the real one the service waits in slices of this length (see the header).
constexpr std::int64_t kSteppedClockSliceMs = 5;

std::uint32_t IdOf(const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

bool SameOwner(const std::weak_ptr<UdpSockAuto>& a, const std::weak_ptr<UdpSockAuto>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

// ---- the re-open service ----

UdpReopenService& UdpReopenService::Process() {
    static UdpReopenService* const service = [] {
        auto* made = new UdpReopenService();
        std::atexit([] { Process().Stop(); });
        return made;
    }();
    return *service;
}

UdpReopenService::UdpReopenService(IClock& clock, std::int64_t intervalMs)
    : clock_(clock), intervalMs_(intervalMs) {}

UdpReopenService::~UdpReopenService() {
    Stop();
}

void UdpReopenService::Add(const std::shared_ptr<UdpSockAuto>& sock) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{sock, sock.get()});
    if (running_ || stop_) {
        return;
    }
    if (thread_.joinable()) {
        // The previous thread found nothing left and has left its loop (it said so under this lock).
        thread_.join();
    }
    running_ = true;
    // The first pass comes one interval after the failure that started the thread.
    const std::int64_t startMs = clock_.NowMs();
    thread_ = std::thread([this, startMs] { Run(startMs); });
}

void UdpReopenService::Withdraw(const UdpSockAuto* sock) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [sock](const Entry& e) { return e.id == sock; });
}

std::size_t UdpReopenService::Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::uint64_t UdpReopenService::Passes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return passes_;
}

bool UdpReopenService::IsThreadRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void UdpReopenService::Stop() {
    std::thread ending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            ending = std::move(thread_);
        }
    }
    wake_.notify_all();
    if (ending.joinable()) {
        ending.join();
    }
}

void UdpReopenService::Run(std::int64_t startMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::int64_t lastPass = startMs;
    while (!stop_) {
        const std::int64_t left = intervalMs_ - (clock_.NowMs() - lastPass);
        if (left > 0) {
            const std::int64_t slice = &clock_ == &RealClock() ? left : std::min(left, kSteppedClockSliceMs);
            wake_.wait_for(lock, std::chrono::milliseconds(slice));
            continue;
        }
        lastPass = clock_.NowMs();
        // The sockets are tried without the service's lock: Close holds a socket's lock while it
        // withdraws, and an attempt holds it while it opens.
        const std::vector<Entry> batch = entries_;
        lock.unlock();
        std::vector<std::weak_ptr<UdpSockAuto>> done;
        for (const Entry& e : batch) {
            const std::shared_ptr<UdpSockAuto> sock = e.sock.lock();
            if (!sock || sock->TryOpen()) {
                done.push_back(e.sock);
            }
        }
        lock.lock();
        ++passes_;
        std::erase_if(entries_, [&](const Entry& e) {
            return e.sock.expired() ||
                   std::any_of(done.begin(), done.end(), [&](const auto& d) { return SameOwner(d, e.sock); });
        });
        if (entries_.empty()) {
            break;  // nothing left: the thread ends, the next Add starts another
        }
    }
    running_ = false;
}

// ---- the socket ----

std::shared_ptr<UdpSockAuto> UdpSockAuto::Create(INetManager& manager, UdpReopenService& service) {
    return std::make_shared<UdpSockAuto>(manager, service);
}

UdpSockAuto::UdpSockAuto(INetManager& manager, UdpReopenService& service)
    : log_(GetProcessDebugLog()),
      manager_(manager),
      service_(service),
      prefix_(FormatLine(L"UdpSockAuto(%08X): ", IdOf(this))),
      sendState_(std::make_shared<ErrorState>(prefix_ + L"SendErrState")),
      openState_(std::make_shared<ErrorState>(prefix_ + L"OpenErrState")) {
    if (log_) {
        logging_ = log_->GetLoggingLevel() >= kLogConfig &&
                   (log_->IsLogEnabled(L"NetManager") || log_->IsLogEnabled(L"UdpSockAuto"));
    }
}

UdpSockAuto::~UdpSockAuto() {
    // Closing also takes the inner socket out of its service, which would otherwise serve it on.
    Close();
    Log(prefix_ + L"Socket destroyed");
}

void UdpSockAuto::Log(const std::wstring& line) const {
    if (logging_ && log_) {
        log_->Write(line);
    }
}

ErrInfo UdpSockAuto::Open(const UdpSockInfo& info) {
    ErrInfo err(ERR_PLACE("Network::UdpSockAuto::Open"));
    std::lock_guard<std::mutex> lock(mutex_);
    if (reopenRequested_) {
        return err.SetError(prefix_ + L"Open() - Reopen already requested");
    }
    if (inner_) {
        return err.SetError(prefix_ + L"Open() - Socket already opened");
    }
    prefix_ =
        FormatLine(L"UdpSockAuto(%08X): RecvAddr=\"%ls\": ", IdOf(this), info.bind_addr.ToString().c_str());
    sendState_ = std::make_shared<ErrorState>(prefix_ + L"SendErrState");
    openState_ = std::make_shared<ErrorState>(prefix_ + L"OpenErrState");
    settings_ = info;
    inner_ = OpenInner(err, L"Open()");
    if (!inner_) {
        Log(FormatLine(L"%ls UDP auto socket init auto due to open fault; Error: %ls", prefix_.c_str(),
                       err.GetText().c_str()));
        reopenRequested_ = true;
        service_.Add(shared_from_this());
        return err;
    }
    Log(prefix_ + L"Socket opened");
    return err;
}

std::shared_ptr<IUdpSock> UdpSockAuto::OpenInner(ErrInfo& result, const wchar_t* operation) {
    std::shared_ptr<IUdpSock> sock = manager_.CreateUdpSock();
    if (!sock) {
        result.SetError(prefix_ + operation + L" - the socket service made no socket");
    } else {
        result = sock->Open(settings_);
    }
    openState_->SetState(result);
    if (!result.IsOk()) {
        if (sock) {
            sock->Close();  // out of its service's collection
        }
        return {};
    }
    return sock;
}

bool UdpSockAuto::TryOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!reopenRequested_ || inner_) {
        reopenRequested_ = false;
        return true;
    }
    ErrInfo result(ERR_PLACE("Network::UdpSockAuto::TryOpen"));
    inner_ = OpenInner(result, L"TryOpen()");
    Log(FormatLine(L"%ls UDP auto socket re-open attempt done, Result: %ls", prefix_.c_str(),
                   result.IsOk() ? L"OK" : result.GetText().c_str()));
    if (!inner_) {
        result.MarkHandled();
        return false;
    }
    reopenRequested_ = false;
    return true;
}

bool UdpSockAuto::IsReopenRequested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reopenRequested_;
}

void UdpSockAuto::Close() {
    std::shared_ptr<IUdpSock> inner;
    bool withdraw = false;
    std::wstring prefix;
    {
        // Waits for an opening attempt in progress; after it, none starts.
        std::lock_guard<std::mutex> lock(mutex_);
        inner.swap(inner_);
        withdraw = reopenRequested_;
        reopenRequested_ = false;
        prefix = prefix_;
    }
    if (withdraw) {
        service_.Withdraw(this);
    }
    if (inner) {
        inner->Close();
        Log(prefix + L"Socket closed ");
    }
}

ErrInfo UdpSockAuto::SetSendAddr(const SockAddr& addr) {
    ErrInfo err(ERR_PLACE("Network::UdpSockAuto::SetSendAddr"));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inner_) {
        return err.SetError(prefix_ + L"SetSendAddr() - socket not opened");
    }
    settings_.send_addr = addr;
    err = inner_->SetSendAddr(addr);
    Log(FormatLine(L"%ls UDP auto socket SetSendAddr: SendAddr = \"%ls\"", prefix_.c_str(),
                   addr.ToString().c_str()));
    return err;
}

std::shared_ptr<IUdpSock> UdpSockAuto::ForSend(ErrInfo& err, std::shared_ptr<ErrorState>& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    state = sendState_;
    if (!inner_) {
        err.SetError(prefix_ + L"Send() - socket not opened");
    }
    return inner_;
}

ErrInfo UdpSockAuto::Send(std::shared_ptr<Packet> packet, const SockAddr& dest) {
    ErrInfo err(ERR_PLACE("Network::UdpSockAuto::Send"));
    std::shared_ptr<ErrorState> state;
    if (const std::shared_ptr<IUdpSock> inner = ForSend(err, state)) {
        err = inner->Send(std::move(packet), dest);
    }
    return state->SetState(err);
}

ErrInfo UdpSockAuto::Send(std::unique_ptr<Packet> packet, const SockAddr& dest) {
    return Send(std::shared_ptr<Packet>(std::move(packet)), dest);
}

ErrInfo UdpSockAuto::Send(const std::uint8_t* data, std::size_t size, const SockAddr& dest) {
    ErrInfo err(ERR_PLACE("Network::UdpSockAuto::Send"));
    std::shared_ptr<ErrorState> state;
    if (const std::shared_ptr<IUdpSock> inner = ForSend(err, state)) {
        err = inner->Send(data, size, dest);
    }
    return state->SetState(err);
}

UdpSockInfo UdpSockAuto::GetInfo() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inner_ ? inner_->GetInfo() : settings_;
}

BaseSock* UdpSockAuto::GetBaseSock() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inner_ ? inner_->GetBaseSock() : nullptr;
}

}  // namespace Network
