// RtpPacket: one datagram seen as an RTP packet, the payload types this system knows, the conversions
// between PCM samples and floats, and the records that configure an RTP session.
//
// Header (12 bytes, big-endian fields): version 2, no padding, extension or CSRC; the marker bit set only
// for the legacy payload types 72, 74, 84, 86 and 88; payload type; 16-bit sequence number; 32-bit
// timestamp; SSRC 0. The payload always starts at byte 12 and holds frames one after another, within a
// frame one sample per channel in channel order. 24-bit samples are most significant byte first; 16-bit
// samples are least significant byte first (host order, not network order).
//
// The payload type alone fixes channels and bytes per sample. A packet of an unknown type, or an empty
// packet, holds no frames, and every operation on it does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/err_info.h"
#include "protocol/packet.h"
#include "protocol/sock_addr.h"

namespace Network {

inline constexpr std::size_t kRtpHeaderSize = 12;
// The most channels a payload type carries (types 92 and 93).
inline constexpr std::uint32_t kRtpMaxChannels = 128;

// Payload-type queries. Channels and bytes per sample are 0 for an unknown type and for type 80, which is
// accepted but carries no samples.
[[nodiscard]] bool RtpIsValidPayloadType(std::uint8_t pt) noexcept;
[[nodiscard]] std::uint32_t RtpChannels(std::uint8_t pt) noexcept;
[[nodiscard]] std::uint32_t RtpBytesPerSample(std::uint8_t pt) noexcept;
// Legacy types are written with the marker bit set.
[[nodiscard]] bool RtpIsLegacyPayloadType(std::uint8_t pt) noexcept;
// The payload type of a datagram that begins with a whole RTP header of version 2; -1 for anything else.
// What a receiver checks before it takes a datagram for a packet.
[[nodiscard]] int RtpHeaderPayloadType(const std::uint8_t* data, std::size_t size) noexcept;
// frames x channels x bytes per sample + 12; 0 for an unknown type.
[[nodiscard]] std::size_t RtpPacketSize(std::uint8_t pt, std::uint32_t frames) noexcept;

// Sample conversions. Floats at or beyond +-1.0 give the extreme codes (16-bit: +-32767, never -32768);
// others are scaled and truncated toward zero.
[[nodiscard]] std::int32_t RtpFloatTo24(float v) noexcept;
[[nodiscard]] std::int16_t RtpFloatTo16(float v) noexcept;
[[nodiscard]] float Rtp24ToFloat(std::int32_t v) noexcept;  // v sign-extended from 24 bits
[[nodiscard]] float Rtp16ToFloat(std::int16_t v) noexcept;

class RtpPacket {
public:
    // An empty packet.
    RtpPacket() = default;
    // A view of `datagram` (shared, not copied).
    explicit RtpPacket(std::shared_ptr<Packet> datagram) noexcept : datagram_(std::move(datagram)) {}
    RtpPacket(const RtpPacket&) = default;
    RtpPacket& operator=(const RtpPacket&) = default;
    RtpPacket(RtpPacket&&) noexcept = default;
    RtpPacket& operator=(RtpPacket&&) noexcept = default;
    virtual ~RtpPacket() = default;

    // A new zero-filled packet of RtpPacketSize(pt, frames) bytes with version 2 and the payload type (the
    // marker bit for legacy types). Empty for an unknown type.
    [[nodiscard]] static RtpPacket Create(std::uint8_t pt, std::uint32_t frames);

    // No datagram, or one shorter than the header.
    [[nodiscard]] bool IsEmpty() const noexcept;
    [[nodiscard]] const std::shared_ptr<Packet>& Datagram() const noexcept { return datagram_; }

    // Header fields; 0 (or nothing written) for an empty packet.
    [[nodiscard]] std::uint8_t Version() const noexcept;
    void SetVersion(std::uint8_t v) noexcept;
    [[nodiscard]] std::uint8_t PayloadType() const noexcept;
    void SetPayloadType(std::uint8_t pt) noexcept;  // keeps the marker bit
    [[nodiscard]] bool Marker() const noexcept;
    [[nodiscard]] std::uint16_t SequenceNumber() const noexcept;
    void SetSequenceNumber(std::uint16_t seq) noexcept;
    [[nodiscard]] std::uint32_t Timestamp() const noexcept;
    void SetTimestamp(std::uint32_t ts) noexcept;
    [[nodiscard]] std::uint32_t Ssrc() const noexcept;
    void SetSsrc(std::uint32_t ssrc) noexcept;

    // Frames in the packet: (length - 12) / (channels x bytes per sample), rounded down; 0 for an empty
    // packet or a type without samples. Trailing bytes of an incomplete frame are ignored.
    [[nodiscard]] std::uint32_t Frames() const noexcept;
    [[nodiscard]] std::uint32_t Channels() const noexcept { return RtpChannels(PayloadType()); }

    // Converts floats into channel `channel`: frame f from `firstFrame` takes samples[(f - firstFrame) *
    // stride]; `count` is cut at the end of the packet.
    void WriteChannel(const float* samples, std::uint32_t channel, std::size_t stride,
                      std::uint32_t firstFrame, std::uint32_t count) noexcept;
    // Fills samples[i * stride] for i < count from channel `channel` starting at `firstFrame`; `count` 0
    // means to the end of the packet, and a larger count is cut to what remains. Returns the frames read.
    std::uint32_t ReadChannel(float* samples, std::uint32_t channel, std::size_t stride,
                              std::uint32_t firstFrame, std::uint32_t count) const noexcept;
    // Fills samples[c][i] for i < count from every channel c of the packet in one pass from frame 0:
    // `samples` holds Channels() pointers, a null one skips its channel; `count` 0 means the whole packet,
    // a larger count is cut to it. The floats are ReadChannel's, bit for bit. Returns the frames read.
    std::uint32_t ReadChannels(float* const* samples, std::uint32_t count) const noexcept;
    // Writes zero samples into one channel.
    void SilenceChannel(std::uint32_t channel, std::uint32_t firstFrame, std::uint32_t count) noexcept;

private:
    // Where channel `channel` begins at frame `firstFrame`, the bytes from one frame to the next, the
    // sample size, and how many of `count` frames the packet holds from there; no frames when the channel
    // or the frame is not in the packet.
    struct ChannelCursor {
        std::uint8_t* at = nullptr;
        std::size_t step = 0;
        std::uint32_t bytes = 0;
        std::uint32_t count = 0;
    };
    [[nodiscard]] ChannelCursor Cursor(std::uint32_t channel, std::uint32_t firstFrame,
                                       std::uint32_t count) const noexcept;

    std::shared_ptr<Packet> datagram_;
};

// Where one stream goes to or comes from: a primary address and an optional second path (the same stream
// on another network), or a reference to an existing object by name.
struct RtpChanAddrInfo {
    SockAddr addr;
    SockAddr addr2;
    bool flag = true;           // passed on, not interpreted
    std::uint32_t value = 100;  // passed on, not interpreted
    bool by_reference = false;
    void* reference = nullptr;
    std::wstring name;
    std::uint32_t value2 = 5;  // passed on, not interpreted
    std::uint32_t value3 = 9;  // passed on, not interpreted

    // Primary address from `address` and `port`; the second from `address2` and the same port, or
    // cleared when `address2` is empty. Not by reference.
    void Set(const std::wstring& address, const std::wstring& address2, std::uint16_t port);
    // Both addresses cleared; refers to `ref` under `refName`.
    void Set(void* ref, const std::wstring& refName);
    // Without the reference flag: either address is valid; with it: a reference and a name.
    [[nodiscard]] bool IsSet() const noexcept;
    bool operator==(const RtpChanAddrInfo& other) const noexcept;
};

struct RtpRecvChanInfo : RtpChanAddrInfo {
    // 0: not stated, taken as 2 channels.
    std::uint8_t payload_type = 0;
    // Only datagrams whose sender has this address (any port) are taken; invalid: any sender. A device
    // session sets it to the device's address, so no other host on the network can feed the stream.
    SockAddr source;
    bool operator==(const RtpRecvChanInfo& other) const noexcept;
};

struct RtpSendChanInfo : RtpRecvChanInfo {
    bool send_flag = true;           // passed on, not interpreted
    std::uint32_t send_value = 100;  // passed on, not interpreted
    std::uint32_t send_value2 = 0;   // passed on, not interpreted
    bool operator==(const RtpSendChanInfo& other) const noexcept;
};

class IRtpReceiver;

struct RtpRecvChanInfoEx : RtpRecvChanInfo {
    IRtpReceiver* receiver = nullptr;  // gets every accepted datagram
    std::uint32_t capacity = 9;        // ring slots (the manager sets the buffer window)
};

// The most packets a receive ring holds, and the most streams one session has each way: the buffer
// window and the channel lists come from callers and devices, and each slot and channel costs memory
// and a socket.
inline constexpr std::uint32_t kRtpMaxBufferWindow = 1024;
inline constexpr std::size_t kRtpMaxStreams = 256;
// The most frames one block may have (a 16-channel 16-bit packet of this size still fits a datagram).
inline constexpr std::uint32_t kRtpMaxPacketFrames = 2048;

struct RtpManagerInfo {
    std::uint32_t SampleFreq = 0;      // samples per second
    std::uint32_t PacketSmplSize = 0;  // frames per packet (the block size)
    std::uint32_t buffer_window = 9;   // packets the receive ring holds per channel
    std::uint32_t start_latency = 5;   // packets behind the newest one where reading starts after a lock
    std::vector<RtpRecvChanInfo> recv_chans;
    std::vector<RtpSendChanInfo> send_chans;
    // Self-reopening sockets (UdpSockAuto) instead of sockets of the service: a channel whose socket cannot
    // open yet (its address is missing or taken) keeps it, and it opens by itself within 5000 ms of the
    // address becoming usable; off, Init fails when a receive socket cannot open.
    bool auto_sockets = false;

    // "SampleFreq con not be 0", "PacketSmplSize rate con not be 0", then the bounds: a buffer window of
    // 1 to kRtpMaxBufferWindow, a start latency below the window, at most kRtpMaxPacketFrames frames per
    // packet and kRtpMaxStreams streams each way.
    [[nodiscard]] ErrInfo IsValid() const;
};

}  // namespace Network
