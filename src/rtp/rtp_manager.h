// RtpManager: one audio session. It owns the receive and send channels, locks the incoming streams'
// sequence numbers to a read position, keeps each stream's packets in the channel's ring at the slot of
// their sequence number, and notifies its sync targets when a newer block has arrived. RtpAudioManager
// wraps it for the application side: one buffered packet per stream in, float blocks out, and back.
//
// The ring: `buffer_window` slots per stream; slot (head + k) holds the packet of extended sequence number
// SeqNumPos + k. A lock (the first packet, or a packet after the lock was lost) puts SeqNumPos
// `start_latency` packets behind that packet and empties every ring, so no packet of the old timing is
// ever read at a position of the new one. A packet older than SeqNumPos is dropped and counted late; a
// packet at or beyond SeqNumPos + window, or a reader ahead of everything received, loses the lock.
//
// Threads: packets arrive on the threads serving the sockets; RecvPackets/RecvAudio/SendAudio run on the
// target's thread (normally inside its OnSync). The ring lock guards the rings and the sync state; the
// channel lists are published as an immutable snapshot, so a reader keeps the channels it started with
// alive however Stop and Init replace them. Stop closes the notification gate and then waits until no
// notification runs on another thread (a thread that itself stops the manager from within OnSync is not
// waited for), so that the targets may go away as soon as Stop has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/locks.h"
#include "common/statistics.h"
#include "rtp/rtp.h"
#include "rtp/rtp_channel.h"

namespace Network {

// Targets of one sync source, copied on write: a notification walks the list it started with and costs
// no allocation.
class RtpTargetList {
public:
    void Add(ISyncTarget* target);
    bool Remove(ISyncTarget* target);
    [[nodiscard]] std::shared_ptr<const std::vector<ISyncTarget*>> Get();

private:
    std::mutex mutex_;
    std::shared_ptr<const std::vector<ISyncTarget*>> targets_ = std::make_shared<std::vector<ISyncTarget*>>();
};

class RtpManager final : public IRtpManager, public IRtpReceiver {
public:
    // `netManager` makes the sockets and must outlive the manager (null: channels without addresses
    // only); `clock` null: the real clock.
    RtpManager(const ComponentInfo& info, INetManager* netManager, IClock* clock);
    ~RtpManager() override;
    RtpManager(const RtpManager&) = delete;
    RtpManager& operator=(const RtpManager&) = delete;

    // ISyncSource
    void AddTarget(ISyncTarget* target) override;
    ErrInfo DelTarget(ISyncTarget* target) override;

    // IRtpManager
    ErrInfo Init(const RtpManagerInfo& info) override;
    ErrInfo Start() override;
    void Stop() override;
    [[nodiscard]] bool IsStarted() override { return running_.load(); }
    [[nodiscard]] std::size_t GetRecvChanCount() override { return Snapshot()->recv.size(); }
    [[nodiscard]] std::size_t GetSendChanCount() override { return Snapshot()->send.size(); }
    ErrInfo SetSendChanAddr(std::size_t index, const SockAddr& address) override;
    ErrInfo SetSendChanAddr2(std::size_t index, const SockAddr& address) override;
    ErrInfo SetPayloadType(std::size_t index, std::uint8_t payloadType) override;
    void RecvPackets(std::vector<std::shared_ptr<Packet>>& packets) override;
    // The same; `filling` tells whether the position read came before the current lock's first packet.
    void RecvPackets(std::vector<std::shared_ptr<Packet>>& packets, bool& filling);
    void SendPackets(std::vector<RtpPacket>& packets) override;
    void SetSendFilter(IRtpSendFilter* filter) override;
    [[nodiscard]] SockAddr GetRecvChanAddr(std::size_t index) override;
    [[nodiscard]] bool GetRecvStreamState(std::size_t index) override;
    [[nodiscard]] RtpStreamStats GetRecvStreamStats(std::size_t index) override;

    // IRtpReceiver
    void OnRtpPacket(RtpRecvChan* channel, const std::shared_ptr<Packet>& packet) override;

    // The channels as they are now; Stop and Init replace the lists, never change them.
    struct Channels {
        std::vector<std::shared_ptr<RtpRecvChan>> recv;
        std::vector<std::shared_ptr<RtpSendChan>> send;
    };
    [[nodiscard]] std::shared_ptr<const Channels> Snapshot();
    // Receive channel `index` (null past the end): where tests and the fuzzer hand in datagrams.
    [[nodiscard]] std::shared_ptr<RtpRecvChan> GetRecvChan(std::size_t index);
    [[nodiscard]] IClock& GetClock() noexcept { return *clock_; }
    [[nodiscard]] const std::wstring& Name() const noexcept { return name_; }

private:
    // A notification in progress: its thread, and whether that thread is itself stopping the manager.
    struct Notifying {
        std::thread::id thread;
        bool stopping = false;
    };

    std::shared_ptr<const Channels> Publish(std::shared_ptr<const Channels> channels);
    // Replaces the channels with none and closes the old ones.
    void CloseChannels();
    ErrInfo SendChanAddr(std::size_t index, std::size_t path, const SockAddr& address, const char* method);
    void Notify(std::int64_t position);
    // Under statsMutex_: reports and resets both statistics when the minute of `nowMs` is a new one.
    void ReportStatisticsIfDue(std::int64_t nowMs);

    const std::wstring name_;
    INetManager* const netManager_;
    IClock* const clock_;
    const std::shared_ptr<IDebugLog> log_;
    std::atomic<bool> running_{false};

    std::mutex chansMutex_;  // only while the snapshot pointer is read or replaced
    std::shared_ptr<const Channels> chans_;

    // The ring lock: the rings and the receive sync state.
    NamedMutex recvLock_{L"RtpManager::RecvChansLock"};
    bool synced_ = false;
    std::int64_t seqNumPos_ = 0;
    // The first packet of the current lock: reads before it find the ring still filling.
    std::int64_t lockSeq_ = 0;
    std::int64_t seqNum_ = 0;
    std::int64_t highTs_ = 0;
    std::int64_t window_ = 9;
    std::int64_t latency_ = 5;
    std::int64_t reportMinute_ = -1;
    RtpLineBudget syncLines_;

    std::atomic<std::uint32_t> sampleFreq_{0};

    std::mutex sendMutex_;  // the send counters, the block size and the filter
    std::uint64_t sendSeq_ = 0;
    std::uint64_t sendTs_ = 0;
    std::uint32_t packetFrames_ = 0;
    IRtpSendFilter* filter_ = nullptr;

    std::mutex statsMutex_;  // taken inside the ring lock or the send lock, never around a call out
    Statistics sendStats_;
    Statistics recvStats_;
    std::int64_t statsMinute_ = -1;

    RtpTargetList targets_;
    std::mutex notifyMutex_;
    std::condition_variable notifyDone_;
    bool gateClosed_ = false;
    std::vector<Notifying> notifying_;
};

class RtpAudioManager final : public IRtpAudioManager, public ISyncTarget {
public:
    RtpAudioManager(const ComponentInfo& info, INetManager* netManager, IClock* clock);
    ~RtpAudioManager() override;
    RtpAudioManager(const RtpAudioManager&) = delete;
    RtpAudioManager& operator=(const RtpAudioManager&) = delete;

    void AddTarget(ISyncTarget* target) override { targets_.Add(target); }
    ErrInfo DelTarget(ISyncTarget* target) override;
    ErrInfo Init(const RtpManagerInfo& info) override { return inner_->Init(info); }
    ErrInfo Start() override { return inner_->Start(); }
    void Stop() override { inner_->Stop(); }
    [[nodiscard]] bool IsStarted() override { return inner_->IsStarted(); }
    [[nodiscard]] std::size_t GetRecvChanCount() override { return inner_->GetRecvChanCount(); }
    [[nodiscard]] std::size_t GetSendChanCount() override { return inner_->GetSendChanCount(); }
    ErrInfo SetSendChanAddr(std::size_t index, const SockAddr& address) override {
        return inner_->SetSendChanAddr(index, address);
    }
    ErrInfo SetSendChanAddr2(std::size_t index, const SockAddr& address) override {
        return inner_->SetSendChanAddr2(index, address);
    }
    ErrInfo SetPayloadType(std::size_t index, std::uint8_t payloadType) override {
        return inner_->SetPayloadType(index, payloadType);
    }
    void RecvPackets(std::vector<std::shared_ptr<Packet>>& packets) override { inner_->RecvPackets(packets); }
    void SendPackets(std::vector<RtpPacket>& packets) override { inner_->SendPackets(packets); }
    void SetSendFilter(IRtpSendFilter* filter) override { inner_->SetSendFilter(filter); }
    [[nodiscard]] SockAddr GetRecvChanAddr(std::size_t index) override {
        return inner_->GetRecvChanAddr(index);
    }
    [[nodiscard]] bool GetRecvStreamState(std::size_t index) override {
        return inner_->GetRecvStreamState(index);
    }
    [[nodiscard]] RtpStreamStats GetRecvStreamStats(std::size_t index) override {
        return inner_->GetRecvStreamStats(index);
    }

    void RecvAudio(const std::vector<float*>& buffers, std::uint32_t frames) override;
    void SendAudio(const std::vector<float*>& buffers, std::uint32_t frames) override;

    // Passes the inner manager's notifications on to this manager's targets, naming itself the source.
    void OnSync(ISyncSource* source, std::int64_t position, std::uint32_t sampleFreq) override;

    [[nodiscard]] RtpManager& Inner() noexcept { return *inner_; }

private:
    const std::shared_ptr<IDebugLog> log_;
    std::shared_ptr<RtpManager> inner_;
    RtpTargetList targets_;
    std::vector<std::shared_ptr<Packet>> packets_;  // RecvAudio's, reused
    std::mutex recvMutex_;
};

}  // namespace Network
