// NetManagerMulti: a socket service that spreads its sockets over several NetManagers, each with its own
// service thread. Every new socket goes to the inner service that carries the least weight (the sum of
// its sockets' weights); of equal ones the first wins, so sockets of equal weight alternate. To its users
// it is an INetManager like any other; INetManager::Create makes one for a count of 2 or more.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "net/inet.h"

namespace Network {

class NetManager;

class INetManagerMulti : public INetManager {
public:
    // The inner service the next socket goes to; empty when there is none.
    [[nodiscard]] virtual std::shared_ptr<INetManager> ChooseManager() = 0;
    // `count` new sockets on one inner service: the first goes where CreateUdpSock (...) would put it,
    // the others follow it to the same service.
    virtual std::vector<std::shared_ptr<IUdpSock>> CreateUdpSocks(std::size_t count) = 0;
    virtual std::vector<std::shared_ptr<ITcpSock>> CreateTcpSocks(std::size_t count) = 0;
    // A socket kind this build does not carry: always an empty list.
    virtual std::vector<std::shared_ptr<BaseSock>> CreateOtherSocks(std::size_t count) = 0;
    virtual std::vector<std::shared_ptr<ITcpListenSock>> CreateTcpListenSocks(std::size_t count) = 0;
};

class NetManagerMulti final : public INetManagerMulti {
public:
    // `count` inner services (at least 2), named info.name + ":" + i; `clock` goes to each.
    NetManagerMulti(const ComponentInfo& info, bool autoStart, std::size_t count,
                    IClock& clock = RealClock());
    ~NetManagerMulti() override;
    NetManagerMulti(const NetManagerMulti&) = delete;
    NetManagerMulti& operator=(const NetManagerMulti&) = delete;

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

    // INetManagerMulti
    [[nodiscard]] std::shared_ptr<INetManager> ChooseManager() override;
    std::vector<std::shared_ptr<IUdpSock>> CreateUdpSocks(std::size_t count) override;
    std::vector<std::shared_ptr<ITcpSock>> CreateTcpSocks(std::size_t count) override;
    std::vector<std::shared_ptr<BaseSock>> CreateOtherSocks(std::size_t count) override;
    std::vector<std::shared_ptr<ITcpListenSock>> CreateTcpListenSocks(std::size_t count) override;

    // The inner services, in order.
    [[nodiscard]] const std::vector<std::shared_ptr<NetManager>>& Managers() const { return managers_; }

private:
    template <class Sock, class Make>
    std::vector<std::shared_ptr<Sock>> CreateMany(std::size_t count, Make make);

    std::shared_ptr<IDebugLog> log_;
    const std::wstring name_;
    bool logging_ = false;
    std::vector<std::shared_ptr<NetManager>> managers_;
    std::atomic<bool> running_{false};
};

}  // namespace Network
