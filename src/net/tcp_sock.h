// TcpSock: a non-blocking TCP stream socket served by a NetManager.
//
// Outgoing: Open starts a non-blocking connect; the service reports its outcome (FD_CONNECT) and the
// receiver hears OnConnected, or OnSocketClosed when it failed. Incoming: a TcpListenSock makes the
// socket from an accepted handle, already connected.
//
// Sending: Send queues the packet (nothing is written on the caller's thread) and asks the service for a
// visit; the service thread writes the queue in order. A partial write keeps the rest at the front of
// the queue (by an offset: a packet may be queued on several sockets at once, so it is never changed),
// and "would block" stops the writing until the system reports the socket writable again. The queue is
// bounded in bytes (TcpSockInfo::send_queue_limit): a peer that never reads makes Send fail, and the
// refusals are counted, instead of making the queue grow.
//
// Reading: each visit reads at most kMaxChunksPerVisit chunks of recv_chunk_size bytes into one buffer of
// the socket and hands each on as a Packet of exactly its length; then it asks to be announced again, so
// one fast peer cannot hold the service thread. The end of the stream is told apart: an orderly close of
// the peer (remaining data is delivered first), a reset (the error carries the system's code), a failed
// read, a failed connect.
//
// Locking: the socket lock (recursive) is held for everything the service thread does with the socket,
// receiver calls included; Send takes only the queue's own lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "net/base_sock.h"
#include "net/inet.h"

namespace Network {

class TcpSock : public ITcpSock, public BaseSock, public std::enable_shared_from_this<TcpSock> {
public:
    // Chunks one visit reads at most before the socket is announced again.
    static constexpr std::uint32_t kMaxChunksPerVisit = 64;
    // The receive chunk is clamped to 1 byte .. kMaxChunkBytes.
    static constexpr std::uint32_t kMaxChunkBytes = 1024 * 1024;

    // A new, closed socket of `manager` (not yet in its collection; NetManager::CreateTcpSock adds it).
    static std::shared_ptr<TcpSock> Create(INetManagerImpl& manager);
    // A connected socket for an accepted handle (owned from now on) and its peer; not yet served.
    static std::shared_ptr<TcpSock> CreateIncoming(INetManagerImpl& manager, platform::SocketHandle handle,
                                                   const SockAddr& peer, const TcpSockInfo& info);
    explicit TcpSock(INetManagerImpl& manager);
    ~TcpSock() override;

    // ITcpSock
    [[nodiscard]] INetManager& GetNetManager() override;
    ErrInfo Open(const TcpSockInfo& info) override;
    void Close() override;
    ErrInfo Send(std::shared_ptr<Packet> packet) override;
    ErrInfo Send(std::unique_ptr<Packet> packet) override;
    ErrInfo Send(const std::uint8_t* data, std::size_t size) override;
    [[nodiscard]] TcpSockInfo GetInfo() override;
    void SetReceiver(ITcpReceiver* receiver) override;
    [[nodiscard]] std::uint32_t GetState() override;
    [[nodiscard]] std::size_t QueuedBytes() override;
    [[nodiscard]] std::uint64_t RefusedSends() override { return refused_.load(); }
    [[nodiscard]] BaseSock* GetBaseSock() override { return this; }

    // BaseSock
    [[nodiscard]] std::shared_ptr<BaseSock> GetSharedPtr() override { return shared_from_this(); }
    [[nodiscard]] std::uint32_t GetType() override { return kTypeTcp; }
    [[nodiscard]] std::uint32_t GetEventMask() override;
    bool HandleSocketEvents(std::uint32_t bits) override;
    [[nodiscard]] bool IsIdle() override { return QueuedBytes() != 0; }
    [[nodiscard]] bool WantsConnectEvent() override { return state_.load() == kTcpConnecting; }
    [[nodiscard]] std::uint32_t GetWeight() override;
    // A failure found by the service: the receiver hears of it, then the socket closes.
    void OnSocketError(const ErrInfo& error) override;
    void OnSocketClosed(const ErrInfo& error) override;

protected:
    // Steps a derived socket may change; all run on the service thread under the socket lock.
    virtual void OnTcpConnectCompleted();
    virtual void ProcessInboundData(std::shared_ptr<Packet> data);
    // Runs before every write; false reports "TCP send failure : outbound data not ready" and closes.
    virtual bool PreprocessOutboundData() { return true; }
    virtual bool OnWriteEvent();
    virtual bool OnReadEvent();
    virtual void OnCloseEvent();

private:
    struct Queued {
        std::shared_ptr<Packet> packet;
        std::size_t offset = 0;  // bytes of it written already
    };

    // Reads chunks and delivers them; `drain` reads to the end without the per-visit bound. When the
    // stream ended, `end` gets why. True when data was read.
    bool ReadChunks(bool drain, ErrInfo& end);
    // Tells the receiver (OnSocketClosed) and closes.
    void CloseWith(ErrInfo& why);
    [[nodiscard]] bool Logs(std::uint32_t level) const;
    void LogEvent(std::uint32_t level, const wchar_t* what, long long value) const;
    void ClearQueue();

    TcpSockInfo info_;  // under the socket lock
    std::atomic<std::uint32_t> state_{kTcpDisconnected};
    std::atomic<std::size_t> sendLimit_{0};
    bool writable_ = true;  // under the socket lock
    bool readable_ = true;  // under the socket lock
    std::uint64_t connectedAtMs_ = 0;
    std::vector<std::uint8_t> recvBuffer_;

    std::mutex queueMutex_;  // guards the two below
    std::deque<Queued> queue_;
    std::size_t queuedBytes_ = 0;
    std::atomic<std::uint64_t> refused_{0};
};

}  // namespace Network
