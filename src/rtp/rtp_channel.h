// The channels of an RTP session: a receive channel listens for one incoming stream on up to two local
// addresses (a primary path and a second path for the same stream) and keeps the stream's jitter ring; a
// send channel sends each packet of one outgoing stream to up to two destinations.
//
// Everything a receive channel hears is hostile until checked. Before a datagram reaches the manager (and
// its ring lock) the channel drops, without allocating, what comes from another address than the stream's
// source ("foreign") and what cannot be a packet of the stream: shorter than the header, not version 2,
// or of another payload type than the record's ("malformed"; a record of type 0 takes any 2-channel
// type). Drops are counted per stream and summed up per sender once a minute by a DropReport.
//
// Sockets: the records' automatic-sockets flag is kept, but this build has only the sockets of the socket
// service, which both kinds of channel use whatever the flag says.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/debug_log.h"
#include "common/err_info.h"
#include "net/drop_report.h"
#include "net/inet.h"
#include "rtp/rtp.h"
#include "rtp/rtp_packet.h"

namespace Network {

// The drop reason of a datagram that is not a packet of the stream.
inline constexpr const wchar_t* kDropMalformed = L"malformed";
// Lines of one kind (stream state, sync, send errors) a component writes at most per minute.
inline constexpr std::uint32_t kRtpLinesPerMinute = 10;

// Keeps lines that a flood or a broken stream could repeat for every packet to kRtpLinesPerMinute a
// minute; the lines left out are counted and their number is written before the first line of a later
// minute. Not thread-safe: used under its owner's lock.
class RtpLineBudget {
public:
    // Whether a line may be written at `nowMs`; when lines were left out in the minute before, writes
    // "<name>: <n> lines left out ..." first.
    bool Take(const std::shared_ptr<IDebugLog>& log, std::uint32_t level, const std::wstring& name,
              std::int64_t nowMs);

private:
    bool started_ = false;
    std::int64_t start_ = 0;
    std::uint32_t used_ = 0;
    std::uint64_t leftOut_ = 0;
};

class RtpRecvChan final : public IUdpReceiver {
public:
    // Indices of the per-stream counters (RtpStreamStats, in its order).
    enum Counter : std::size_t {
        kReceived,
        kDuplicate,
        kLate,
        kForeign,
        kMalformed,
        kPlayed,
        kSilent,
        kBad,
        kRelock,
        kFill,
        kCounters
    };

    // `clock` (null: the real one) times the drop report and the stream-state lines.
    static std::shared_ptr<RtpRecvChan> Create(const ComponentInfo& info, INetManager* netManager,
                                               const RtpRecvChanInfoEx& chanInfo, bool autoSockets,
                                               IClock* clock = nullptr);
    RtpRecvChan(const ComponentInfo& info, INetManager* netManager, const RtpRecvChanInfoEx& chanInfo,
                bool autoSockets, IClock* clock);
    ~RtpRecvChan() override;
    RtpRecvChan(const RtpRecvChan&) = delete;
    RtpRecvChan& operator=(const RtpRecvChan&) = delete;

    // Opens a socket for each valid address of the record. Fails, with what it opened closed again, when
    // one cannot be opened (a port in use), naming the address and the reason.
    ErrInfo Init();
    // Closes the sockets; no datagram is delivered after it returns.
    void Stop();

    // The ring, used under the manager's ring lock. Store puts `packet` at `offset` slots after the head
    // (dropped at or beyond the capacity) and returns true when it replaced a copy already there; Take
    // empties the head slot, advances the head and returns what was there; Clear empties every slot.
    bool Store(std::uint64_t offset, std::shared_ptr<Packet> packet);
    std::shared_ptr<Packet> Take();
    void Clear();

    // Whether the last Take found a packet.
    [[nodiscard]] bool GetStreamState() const noexcept { return lastState_.load(); }
    // The bound address of the primary path (with the port the system chose); cleared without one.
    [[nodiscard]] SockAddr GetAddr();
    [[nodiscard]] const std::wstring& Name() const noexcept { return name_; }
    [[nodiscard]] const RtpRecvChanInfoEx& Info() const noexcept { return info_; }
    // 2 for a record of payload type 0.
    [[nodiscard]] std::uint32_t ExpectedChannels() const noexcept;

    void Count(Counter counter) noexcept { counters_[counter].fetch_add(1, std::memory_order_relaxed); }
    [[nodiscard]] RtpStreamStats Stats() const noexcept;
    // Writes the drop report lines whose minute is over.
    void PollDrops() { drops_.Poll(); }

    // Whether `datagram` from `from` may enter the stream; a refused one is counted and reported.
    bool Accept(const Packet& datagram, const SockAddr& from);

    // IUdpReceiver: accepted datagrams go to the record's receiver.
    void OnDatagramReceived(IUdpSock* sock, std::shared_ptr<Packet> datagram, const SockAddr& from) override;
    // Dropped: the error reports itself.
    void OnSocketError(const ErrInfo& error, IUdpSock* sock) override;

private:
    const std::wstring name_;
    const RtpRecvChanInfoEx info_;
    INetManager* const netManager_;
    IClock* const clock_;
    const std::shared_ptr<IDebugLog> log_;
    const bool streamLines_;  // the "RtpStreams" log stream is not switched off
    const bool autoSockets_;  // self-reopening sockets (UdpSockAuto)
    std::mutex socketsMutex_;
    std::array<std::shared_ptr<IUdpSock>, 2> sockets_;
    // Under the manager's ring lock.
    std::vector<std::shared_ptr<Packet>> ring_;
    std::size_t head_ = 0;
    RtpLineBudget stateLines_;
    std::atomic<bool> lastState_{false};
    std::array<std::atomic<std::uint64_t>, kCounters> counters_{};
    DropReport drops_;
};

class RtpSendChan {
public:
    RtpSendChan(const ComponentInfo& info, INetManager* netManager, const RtpSendChanInfo& sendInfo,
                bool autoSockets, IClock* clock = nullptr);
    // Closes both sockets.
    virtual ~RtpSendChan();
    RtpSendChan(const RtpSendChan&) = delete;
    RtpSendChan& operator=(const RtpSendChan&) = delete;

    // Opens a socket toward each valid destination of the record; the first failure is returned.
    ErrInfo Open();
    // Points path `index` (0 primary, 1 secondary) at `address`: opens its socket, or closes it for an
    // invalid address. "Invalid socket index" for an index of 2 or more.
    ErrInfo SetSendAddr(std::size_t index, const SockAddr& address);
    // Sends the packet once on each open path. "Can not send empty packet"; failures of the sends are
    // written to the log (at most kRtpLinesPerMinute a minute), not returned.
    ErrInfo Send(const RtpPacket& packet);
    void Close();

    [[nodiscard]] std::uint8_t PayloadType();
    void SetPayloadType(std::uint8_t pt);
    // Either destination is valid.
    [[nodiscard]] bool HasDestination();

private:
    const std::wstring name_;
    INetManager* const netManager_;
    IClock* const clock_;
    const std::shared_ptr<IDebugLog> log_;
    const bool autoSockets_;  // self-reopening sockets (UdpSockAuto)
    std::mutex mutex_;
    RtpSendChanInfo info_;
    std::array<std::shared_ptr<IUdpSock>, 2> sockets_;
    RtpLineBudget errorLines_;
};

}  // namespace Network
