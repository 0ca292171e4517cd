// The RTP session as its users see it: sync sources and targets, the RTP manager with its jitter ring,
// and the audio manager that turns buffered packets into float blocks and float blocks into packets.
//
// An RTP manager owns one receive channel per incoming stream and one send channel per outgoing stream.
// All incoming streams of a session share one sequence-number lock: the device sends one packet per
// stream and block, each stream's packet of a block with the same sequence number and timestamp. Each
// packet that advances the highest timestamp notifies the sync targets once (OnSync with the position in
// samples); the target then reads one block (RecvPackets / RecvAudio), which advances the read position
// by one packet. Reading starts `start_latency` packets behind the newest packet after a lock; a packet
// more than the buffer window ahead of the reader, or a reader ahead of everything received, loses the
// lock, and the same packet locks it again (targets get position -1 first).
//
// Threads: packets arrive on the thread serving their socket; targets are notified on that thread (with
// -1 while the ring lock is held: a target must not read from within that call). Stop does not return
// while a notification is still running on another thread, so a target may free what its OnSync uses as
// soon as Stop has returned.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/err_info.h"
#include "net/inet.h"
#include "rtp/rtp_packet.h"

namespace Network {

class ISyncSource;
class RtpRecvChan;

class ISyncTarget {
public:
    virtual ~ISyncTarget() = default;
    // `position`: the stream position in samples (the highest timestamp received), or -1 when the stream
    // has just been locked or re-locked and positions start anew.
    virtual void OnSync(ISyncSource* source, std::int64_t position, std::uint32_t sampleFreq) = 0;
};

class ISyncSource {
public:
    virtual ~ISyncSource() = default;
    virtual void AddTarget(ISyncTarget* target) = 0;
    // "Sync target not found" when `target` was not added.
    virtual ErrInfo DelTarget(ISyncTarget* target) = 0;
};

class IRtpReceiver {
public:
    virtual ~IRtpReceiver() = default;
    // One datagram accepted by a receive channel (on the thread serving its socket).
    virtual void OnRtpPacket(RtpRecvChan* channel, const std::shared_ptr<Packet>& packet) = 0;
};

// Replaces outgoing packets: Process returns false when the packets it put into `replacements` are to be
// sent instead of `packet`.
class IRtpSendFilter {
public:
    virtual ~IRtpSendFilter() = default;
    virtual bool Process(const RtpPacket& packet, std::vector<RtpPacket>& replacements) = 0;
};

// What happened to one incoming stream since the session was created. Each packet is counted once: taken
// into the ring (received, of which duplicates replaced an earlier copy), or dropped (late, foreign,
// malformed).
struct RtpStreamStats {
    std::uint64_t packets_received = 0;   // taken into the ring (duplicates included)
    std::uint64_t duplicate_packets = 0;  // a second copy of a packet already in the ring
    std::uint64_t late_packets = 0;       // older than the read position, or beyond the ring: dropped
    std::uint64_t foreign_dropped = 0;    // from an address other than the stream's source
    std::uint64_t malformed_dropped = 0;  // shorter than a header, not version 2, or of another payload type
    std::uint64_t blocks_played = 0;      // blocks delivered with this stream's audio
    std::uint64_t silent_blocks = 0;      // blocks delivered as silence: the packet was missing
    std::uint64_t bad_blocks = 0;         // blocks delivered as silence: wrong format or frame count
    std::uint64_t relocks = 0;
    std::uint64_t fill_blocks = 0;  // silence while the ring filled after a lock (start latency), not a loss
                                    // // lock lost and taken again on a packet of this stream
};

class IRtpManager : public ISyncSource {
public:
    // Opens the channels of `info`; packets are received and buffered from then on. Fails, with every
    // channel closed again, when `info` is not valid or a channel's socket cannot be opened (a port in
    // use): a session that could never receive must not look started.
    virtual ErrInfo Init(const RtpManagerInfo& info) = 0;
    virtual ErrInfo Start() = 0;
    // Closes every channel; returns only when no notification runs any more (except one on the calling
    // thread itself, when a target stops its own source).
    virtual void Stop() = 0;
    [[nodiscard]] virtual bool IsStarted() = 0;
    [[nodiscard]] virtual std::size_t GetRecvChanCount() = 0;
    [[nodiscard]] virtual std::size_t GetSendChanCount() = 0;
    // "Incorrect channel index" for an index without a send channel.
    virtual ErrInfo SetSendChanAddr(std::size_t index, const SockAddr& address) = 0;
    virtual ErrInfo SetSendChanAddr2(std::size_t index, const SockAddr& address) = 0;
    virtual ErrInfo SetPayloadType(std::size_t index, std::uint8_t payloadType) = 0;
    // One packet (or none) per receive channel from the read position, which advances by one.
    virtual void RecvPackets(std::vector<std::shared_ptr<Packet>>& packets) = 0;
    // One packet per send channel, all with the next sequence number and timestamp.
    virtual void SendPackets(std::vector<RtpPacket>& packets) = 0;
    // Not owned; null: none.
    virtual void SetSendFilter(IRtpSendFilter* filter) = 0;
    // The local address receive channel `index` listens on (its primary path), with the port the system
    // chose when the record asked for port 0; cleared for an index without a channel.
    [[nodiscard]] virtual SockAddr GetRecvChanAddr(std::size_t index) = 0;
    // Whether the last read of that receive channel found a packet.
    [[nodiscard]] virtual bool GetRecvStreamState(std::size_t index) = 0;
    // The counters of receive channel `index` (all 0 for an index without a channel).
    [[nodiscard]] virtual RtpStreamStats GetRecvStreamStats(std::size_t index) = 0;
};

class IRtpAudio {
public:
    virtual ~IRtpAudio() = default;
    // Fills one buffer per audio channel (channels of all receive streams in order; a null entry skips
    // that channel) with the next block of `frames` frames. A missing packet, or one of another format or
    // frame count, gives silence on that stream's channels, and is counted.
    virtual void RecvAudio(const std::vector<float*>& buffers, std::uint32_t frames) = 0;
    // Sends one block: one buffer per channel of all send streams in order; a null entry sends silence.
    virtual void SendAudio(const std::vector<float*>& buffers, std::uint32_t frames) = 0;
};

class IRtpAudioManager : public IRtpManager, public IRtpAudio {};

// `clock` times the statistics and the drop reports (null: the real clock); the sockets are made by
// `netManager`, which must outlive the manager.
[[nodiscard]] std::shared_ptr<IRtpAudioManager> CreateRtpAudioManager(const ComponentInfo& info,
                                                                      INetManager* netManager,
                                                                      IClock* clock = nullptr);

}  // namespace Network
