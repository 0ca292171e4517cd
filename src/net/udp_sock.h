// UdpSock: the UDP socket served by a NetManager.
//
// Opened from a UdpSockInfo, it can broadcast and join a multicast group, sends datagrams either at once
// on the caller's thread (sync_only, the default) or through a bounded queue that the service thread
// drains, and hands every received datagram to one IUdpReceiver on the service thread.
//
// Reading: one visit of the service thread reads at most kMaxDatagramsPerVisit datagrams and then asks
// the service to announce the socket again, so a flooded socket gets its turn once per round like every
// other socket and the rest of its datagrams wait in the system's buffer, not in ours. Each datagram is
// read into one buffer the socket keeps and handed on as a Packet of exactly its length.
//
// Locking: the socket lock (recursive) serialises opening, closing, synchronous sends and everything the
// service thread does with the socket, but it is never held while the receiver is called: a datagram is
// read under it, the lock is let go, and then the receiver runs. Close raises a flag that ends a visit
// between two datagrams, takes the lock, and then waits for a receiver call still running on the service
// thread to return (unless it is called from that very call), so that no call comes after it. Queued
// sends do not take the socket lock: the queue is a ring with one consumer (the service thread, under the
// socket lock) and producers that serialise among themselves on a small lock of their own, so any number
// of threads may send at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/error_state.h"
#include "net/base_sock.h"
#include "net/inet.h"

namespace Network {

class UdpSock final : public IUdpSock, public BaseSock, public std::enable_shared_from_this<UdpSock> {
public:
    // Datagrams one visit of the service thread reads at most (see ReadDatagrams).
    static constexpr std::uint32_t kMaxDatagramsPerVisit = 64;
    // The receive buffer never exceeds the largest datagram UDP can carry, whatever recv_buffer_size says.
    static constexpr std::uint32_t kMaxDatagramBytes = 65536;

    // A new, closed socket of `manager` (not yet in its collection; NetManager::CreateUdpSock adds it).
    static std::shared_ptr<UdpSock> Create(INetManagerImpl& manager);
    explicit UdpSock(INetManagerImpl& manager);
    ~UdpSock() override;

    // IUdpSock
    [[nodiscard]] INetManager& GetNetManager() override;
    ErrInfo Open(const UdpSockInfo& info) override;
    void Close() override;
    ErrInfo SetSendAddr(const SockAddr& addr) override;
    ErrInfo Send(std::shared_ptr<Packet> packet, const SockAddr& dest) override;
    ErrInfo Send(std::unique_ptr<Packet> packet, const SockAddr& dest) override;
    ErrInfo Send(const std::uint8_t* data, std::size_t size, const SockAddr& dest) override;
    [[nodiscard]] UdpSockInfo GetInfo() override;
    [[nodiscard]] BaseSock* GetBaseSock() override { return this; }

    // BaseSock
    [[nodiscard]] std::shared_ptr<BaseSock> GetSharedPtr() override { return shared_from_this(); }
    [[nodiscard]] std::uint32_t GetType() override { return kTypeUdp; }
    [[nodiscard]] std::uint32_t GetEventMask() override;
    bool HandleSocketEvents(std::uint32_t bits) override;
    [[nodiscard]] bool IsIdle() override;
    [[nodiscard]] std::uint32_t GetWeight() override;
    void OnSocketError(const ErrInfo& error) override;
    void OnSocketClosed(const ErrInfo& error) override;

    // Datagrams waiting in the send queue (not counting one held back by a blocked send).
    [[nodiscard]] std::size_t QueuedCount() const noexcept;
    // Failed sends in the current series of the send error state (0 after a success).
    [[nodiscard]] std::uint32_t SendErrorCount() const { return sendState_.ErrCount(); }

private:
    struct OutEntry {
        std::shared_ptr<Packet> packet;
        SockAddr dest;
    };

    [[nodiscard]] bool SyncOnly() const;
    ErrInfo SendSync(const std::uint8_t* data, std::size_t size, const SockAddr& dest);
    ErrInfo SendAsync(std::shared_ptr<Packet> packet, const SockAddr& dest);
    // The destination of a send: `dest` when valid, else the default send address.
    SockAddr Destination(const SockAddr& dest) const;
    ErrInfo& SendReport(ErrInfo& result, const SockAddr& dest);
    bool PushEntry(OutEntry&& entry);
    bool PopEntry(OutEntry& out);
    bool OnWriteEvent(ErrInfo& failure);
    bool ReadDatagrams();
    // Asks the system for a receive buffer of `bytes` (0: nothing asked); a shortfall is logged.
    void AskReceiveBuffer(platform::SocketHandle h, std::uint32_t bytes);
    // Whether a line of `level` would be written (kLogAlways: whatever the level). Lines written per
    // event or per datagram are built only then: the receive path must not format text nobody reads.
    static constexpr std::uint32_t kLogAlways = 0xFFFFFFFFu;
    [[nodiscard]] bool Logs(std::uint32_t level) const;
    // Under the socket lock: the receiver to call, counted as being called, or null when the socket has
    // none or is closing. Every non-null result is followed by EndCallback once the call has returned.
    IUdpReceiver* BeginCallback();
    void EndCallback();
    // Calls `call(receiver)` outside the socket lock; false when there was no receiver to call.
    template <class Call>
    bool CallReceiver(Call&& call);
    // Close: waits until no receiver call runs, unless the caller is that call itself.
    void WaitForCallbacks();
    void ResetQueue(std::size_t capacity);
    std::wstring SelfText() const;

    UdpSockInfo info_;  // written under the socket lock and pushMutex_ together; read under either
    // The send ring: capacity + 1 places; empty when head == tail, full when tail + 1 == head.
    std::vector<OutEntry> ring_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    mutable std::mutex pushMutex_;  // serialises producers
    OutEntry current_;              // being sent; service thread under the socket lock
    bool hasCurrent_ = false;       // current_ holds an entry (under the socket lock)
    bool writable_ = true;          // under the socket lock
    ErrorState sendState_;

    std::vector<std::uint8_t> recvBuffer_;  // every datagram is read into it; under the socket lock
    std::atomic<bool> closing_{false};      // set by Close before it waits for the lock; cleared by Open
    std::mutex callbackMutex_;              // guards the two below
    std::condition_variable callbackDone_;
    std::uint32_t callbacks_ = 0;     // receiver calls running now (only ever on the service thread)
    std::thread::id callbackThread_;  // the thread they run on
};

}  // namespace Network
