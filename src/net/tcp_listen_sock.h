// TcpListenSock: a listening TCP socket served by a NetManager. Every connection it accepts becomes a
// TcpSock of the same service, registered and handed to the listener's receiver on the service thread.
//
// Hostile peers: one visit accepts at most kMaxAcceptsPerVisit connections and then has the socket
// announced again; a listener keeps at most max_connections of its connections open at once, and one
// more is accepted and reset at once (counted in RefusedConnections and the service's TcpAcceptRefused),
// so a flood of connections costs neither sockets nor memory beyond the bound and the peers learn of the
// refusal at once instead of waiting in the backlog. The lines a connection writes (accepted, refused,
// failed) are kept to kLinesPerMinute a minute; the number left out is written with the next line after.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/base_sock.h"
#include "net/inet.h"

namespace Network {

class TcpSock;

class TcpListenSock final : public ITcpListenSock,
                            public BaseSock,
                            public std::enable_shared_from_this<TcpListenSock> {
public:
    static constexpr std::uint32_t kMaxAcceptsPerVisit = 64;
    static constexpr std::uint32_t kLinesPerMinute = 10;
    // The backlog asked for: the system's largest.
    static constexpr int kBacklog = 0x7FFFFFFF;

    static std::shared_ptr<TcpListenSock> Create(INetManagerImpl& manager);
    explicit TcpListenSock(INetManagerImpl& manager);
    ~TcpListenSock() override;

    // ITcpListenSock
    [[nodiscard]] INetManager& GetNetManager() override;
    ErrInfo Open(const TcpListenSockInfo& info) override;
    void Close() override;
    [[nodiscard]] TcpListenSockInfo GetInfo() override;
    [[nodiscard]] std::uint64_t RefusedConnections() override { return refused_.load(); }
    [[nodiscard]] BaseSock* GetBaseSock() override { return this; }

    // BaseSock
    [[nodiscard]] std::shared_ptr<BaseSock> GetSharedPtr() override { return shared_from_this(); }
    [[nodiscard]] std::uint32_t GetType() override { return kTypeTcpListen; }
    [[nodiscard]] std::uint32_t GetEventMask() override { return kSockEvAccept | kSockEvClose; }
    bool HandleSocketEvents(std::uint32_t bits) override;
    [[nodiscard]] std::uint32_t GetWeight() override;

private:
    void AcceptConnections();
    // Connections of this listener still open (the closed ones are forgotten here).
    std::size_t OpenConnections();
    // A connection line within the budget of kLinesPerMinute a minute.
    void ConnectionLine(std::uint32_t level, const std::wstring& line);

    TcpListenSockInfo info_;  // under the socket lock
    std::vector<std::weak_ptr<TcpSock>> accepted_;
    std::atomic<std::uint64_t> refused_{0};
    std::uint64_t budgetMinute_ = 0;
    std::uint32_t budgetUsed_ = 0;
    std::uint64_t budgetLeftOut_ = 0;
};

}  // namespace Network
