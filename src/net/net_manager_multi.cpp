#include "net/net_manager_multi.h"

#include <algorithm>

#include "common/environment.h"
#include "net/net_manager.h"

namespace Network {

NetManagerMulti::NetManagerMulti(const ComponentInfo& info, bool autoStart, std::size_t count, IClock& clock)
    : log_(GetProcessDebugLog()), name_(info.name) {
    if (log_) {
        logging_ = log_->GetLoggingLevel() >= kLogMessages && log_->IsLogEnabled(L"NetManager");
    }
    WriteAtLevel(log_, kLogErrors,
                 FormatLine(L"NetManagerMulti \"%ls\" created; logging is %ls", name_.c_str(),
                            logging_ ? L"ON" : L"OFF"));
    count = std::max<std::size_t>(count, 2);
    managers_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        ComponentInfo inner = info;
        inner.name = name_ + L":" + std::to_wstring(i);
        managers_.push_back(NetManager::Create(inner, false, clock));
        managers_.back()->SetWatcher(this);
    }
    if (autoStart) {
        Start();
    }
}

NetManagerMulti::~NetManagerMulti() {
    Stop();
    for (const std::shared_ptr<NetManager>& m : managers_) {
        m->SetWatcher(nullptr);
    }
    managers_.clear();
    WriteAtLevel(log_, kLogErrors, FormatLine(L"NetManagerMulti \"%ls\" destroyed", name_.c_str()));
}

bool NetManagerMulti::Start() {
    if (!running_.load()) {
        for (const std::shared_ptr<NetManager>& m : managers_) {
            m->Start();
        }
        running_.store(true);
    }
    return true;
}

void NetManagerMulti::Stop() {
    if (running_.exchange(false)) {
        for (const std::shared_ptr<NetManager>& m : managers_) {
            m->Stop();
        }
    }
}

std::shared_ptr<INetManager> NetManagerMulti::ChooseManager() {
    std::shared_ptr<NetManager> best;
    std::size_t bestWeight = 0;
    for (const std::shared_ptr<NetManager>& m : managers_) {
        const std::size_t w = m->GetWeight();
        if (!best || w < bestWeight) {
            best = m;
            bestWeight = w;
        }
    }
    return best;
}

std::shared_ptr<IUdpSock> NetManagerMulti::CreateUdpSock() {
    const std::shared_ptr<INetManager> m = ChooseManager();
    return m ? m->CreateUdpSock() : nullptr;
}

std::shared_ptr<ITcpSock> NetManagerMulti::CreateTcpSock() {
    const std::shared_ptr<INetManager> m = ChooseManager();
    return m ? m->CreateTcpSock() : nullptr;
}

std::shared_ptr<ITcpListenSock> NetManagerMulti::CreateTcpListenSock() {
    const std::shared_ptr<INetManager> m = ChooseManager();
    return m ? m->CreateTcpListenSock() : nullptr;
}

std::size_t NetManagerMulti::GetNumSockets() {
    std::size_t sum = 0;
    for (const std::shared_ptr<NetManager>& m : managers_) {
        sum += m->GetNumSockets();
    }
    return sum;
}

std::size_t NetManagerMulti::GetWeight() {
    std::size_t sum = 0;
    for (const std::shared_ptr<NetManager>& m : managers_) {
        sum += m->GetWeight();
    }
    return sum;
}

template <class Sock, class Make>
std::vector<std::shared_ptr<Sock>> NetManagerMulti::CreateMany(std::size_t count, Make make) {
    std::vector<std::shared_ptr<Sock>> out;
    if (count == 0) {
        return out;
    }
    std::shared_ptr<Sock> first = make(*this);
    if (!first) {
        return out;
    }
    INetManager& home = first->GetNetManager();
    out.reserve(count);
    out.push_back(std::move(first));
    while (out.size() < count) {
        std::shared_ptr<Sock> next = make(home);
        if (!next) {
            break;
        }
        out.push_back(std::move(next));
    }
    return out;
}

std::vector<std::shared_ptr<IUdpSock>> NetManagerMulti::CreateUdpSocks(std::size_t count) {
    return CreateMany<IUdpSock>(count, [](INetManager& m) { return m.CreateUdpSock(); });
}

std::vector<std::shared_ptr<ITcpSock>> NetManagerMulti::CreateTcpSocks(std::size_t count) {
    return CreateMany<ITcpSock>(count, [](INetManager& m) { return m.CreateTcpSock(); });
}

std::vector<std::shared_ptr<BaseSock>> NetManagerMulti::CreateOtherSocks(std::size_t count) {
    (void)count;
    return {};
}

std::vector<std::shared_ptr<ITcpListenSock>> NetManagerMulti::CreateTcpListenSocks(std::size_t count) {
    return CreateMany<ITcpListenSock>(count, [](INetManager& m) { return m.CreateTcpListenSock(); });
}

}  // namespace Network
