#include "rtp/rtp_packet.h"

#include <array>
#include <cstring>

namespace Network {

namespace {

struct Layout {
    std::uint8_t channels = 0;
    std::uint8_t bytes = 0;
    bool valid = false;
};

constexpr std::array<Layout, 128> MakeLayouts() {
    std::array<Layout, 128> t{};
    const auto set = [&t](std::initializer_list<int> types, int channels, int bytes) {
        for (const int pt : types) {
            t[static_cast<std::size_t>(pt)] = {static_cast<std::uint8_t>(channels),
                                               static_cast<std::uint8_t>(bytes), true};
        }
    };
    set({72, 74, 100, 101}, 2, 3);
    set({94, 95}, 2, 2);
    set({86, 107, 110, 113}, 1, 2);
    set({96, 97}, 4, 2);
    set({98, 99}, 6, 2);
    set({102}, 5, 2);
    set({103}, 9, 2);
    set({104}, 13, 2);
    set({105, 109, 112}, 16, 2);
    set({84, 88, 106, 108, 111}, 17, 2);
    set({117, 118, 119}, 8, 2);
    set({120, 121, 122}, 24, 2);
    set({123, 124, 125}, 32, 2);
    set({90, 91}, 64, 2);
    set({114, 115, 116}, 96, 2);
    set({92, 93}, 128, 2);
    set({80}, 0, 0);
    return t;
}

constexpr std::array<Layout, 128> kLayouts = MakeLayouts();

constexpr Layout LayoutOf(std::uint8_t pt) noexcept {
    return pt < 128 ? kLayouts[pt] : Layout{};
}

constexpr float k24Scale = 1.0f / 8388607.0f;
constexpr float k16Scale = 1.0f / 32767.0f;

}  // namespace

bool RtpIsValidPayloadType(std::uint8_t pt) noexcept {
    return LayoutOf(pt).valid;
}
std::uint32_t RtpChannels(std::uint8_t pt) noexcept {
    return LayoutOf(pt).channels;
}
std::uint32_t RtpBytesPerSample(std::uint8_t pt) noexcept {
    return LayoutOf(pt).bytes;
}

bool RtpIsLegacyPayloadType(std::uint8_t pt) noexcept {
    return pt == 72 || pt == 74 || pt == 84 || pt == 86 || pt == 88;
}

std::size_t RtpPacketSize(std::uint8_t pt, std::uint32_t frames) noexcept {
    const Layout l = LayoutOf(pt);
    if (!l.valid) {
        return 0;
    }
    return std::size_t{frames} * l.channels * l.bytes + kRtpHeaderSize;
}

std::int32_t RtpFloatTo24(float v) noexcept {
    if (v >= 1.0f) {
        return 8388607;
    }
    if (v <= -1.0f) {
        return -8388608;
    }
    if (!(v == v)) {  // NaN carries no level: silence
        return 0;
    }
    return static_cast<std::int32_t>(static_cast<double>(v) * 8388607.0);
}

std::int16_t RtpFloatTo16(float v) noexcept {
    if (v >= 1.0f) {
        return 32767;
    }
    if (v <= -1.0f) {
        return -32767;
    }
    if (!(v == v)) {
        return 0;
    }
    return static_cast<std::int16_t>(static_cast<double>(v) * 32767.0);
}

float Rtp24ToFloat(std::int32_t v) noexcept {
    return static_cast<float>(v) * k24Scale;
}
float Rtp16ToFloat(std::int16_t v) noexcept {
    return static_cast<float>(v) * k16Scale;
}

RtpPacket RtpPacket::Create(std::uint8_t pt, std::uint32_t frames) {
    const std::size_t size = RtpPacketSize(pt, frames);
    if (size == 0) {
        return RtpPacket();
    }
    auto datagram = std::make_shared<Packet>(size);
    datagram->Resize(size);
    std::uint8_t* d = datagram->Data();
    d[0] = 0x80;
    d[1] = static_cast<std::uint8_t>(RtpIsLegacyPayloadType(pt) ? 0x80u | pt : pt);
    return RtpPacket(std::move(datagram));
}

bool RtpPacket::IsEmpty() const noexcept {
    return !datagram_ || datagram_->Size() < kRtpHeaderSize;
}

std::uint8_t RtpPacket::Version() const noexcept {
    return IsEmpty() ? 0 : datagram_->Data()[0] >> 6;
}

void RtpPacket::SetVersion(std::uint8_t v) noexcept {
    if (!IsEmpty()) {
        std::uint8_t& b = datagram_->Data()[0];
        b = static_cast<std::uint8_t>((b & 0x3Fu) | ((v & 3u) << 6));
    }
}

std::uint8_t RtpPacket::PayloadType() const noexcept {
    return IsEmpty() ? 0 : datagram_->Data()[1] & 0x7Fu;
}

void RtpPacket::SetPayloadType(std::uint8_t pt) noexcept {
    if (!IsEmpty()) {
        std::uint8_t& b = datagram_->Data()[1];
        b = static_cast<std::uint8_t>((b & 0x80u) | (pt & 0x7Fu));
    }
}

bool RtpPacket::Marker() const noexcept {
    return !IsEmpty() && (datagram_->Data()[1] & 0x80u) != 0;
}

std::uint16_t RtpPacket::SequenceNumber() const noexcept {
    if (IsEmpty()) {
        return 0;
    }
    const std::uint8_t* d = datagram_->Data();
    return static_cast<std::uint16_t>((d[2] << 8) | d[3]);
}

void RtpPacket::SetSequenceNumber(std::uint16_t seq) noexcept {
    if (!IsEmpty()) {
        std::uint8_t* d = datagram_->Data();
        d[2] = static_cast<std::uint8_t>(seq >> 8);
        d[3] = static_cast<std::uint8_t>(seq);
    }
}

namespace {
std::uint32_t Read32(const std::uint8_t* d) noexcept {
    return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
}
void Write32(std::uint8_t* d, std::uint32_t v) noexcept {
    d[0] = static_cast<std::uint8_t>(v >> 24);
    d[1] = static_cast<std::uint8_t>(v >> 16);
    d[2] = static_cast<std::uint8_t>(v >> 8);
    d[3] = static_cast<std::uint8_t>(v);
}
}  // namespace

std::uint32_t RtpPacket::Timestamp() const noexcept {
    return IsEmpty() ? 0 : Read32(datagram_->Data() + 4);
}

void RtpPacket::SetTimestamp(std::uint32_t ts) noexcept {
    if (!IsEmpty()) {
        Write32(datagram_->Data() + 4, ts);
    }
}

std::uint32_t RtpPacket::Ssrc() const noexcept {
    return IsEmpty() ? 0 : Read32(datagram_->Data() + 8);
}

void RtpPacket::SetSsrc(std::uint32_t ssrc) noexcept {
    if (!IsEmpty()) {
        Write32(datagram_->Data() + 8, ssrc);
    }
}

std::uint32_t RtpPacket::Frames() const noexcept {
    if (IsEmpty()) {
        return 0;
    }
    const Layout l = LayoutOf(PayloadType());
    const std::size_t frameBytes = std::size_t{l.channels} * l.bytes;
    if (frameBytes == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>((datagram_->Size() - kRtpHeaderSize) / frameBytes);
}

void RtpPacket::WriteChannel(const float* samples, std::uint32_t channel, std::size_t stride,
                             std::uint32_t firstFrame, std::uint32_t count) noexcept {
    const std::uint32_t frames = Frames();
    const Layout l = LayoutOf(PayloadType());
    if (samples == nullptr || channel >= l.channels || firstFrame >= frames) {
        return;
    }
    if (count > frames - firstFrame) {
        count = frames - firstFrame;
    }
    const std::size_t frameBytes = std::size_t{l.channels} * l.bytes;
    std::uint8_t* p =
        datagram_->Data() + kRtpHeaderSize + firstFrame * frameBytes + std::size_t{channel} * l.bytes;
    if (l.bytes == 3) {
        for (std::uint32_t i = 0; i < count; ++i, p += frameBytes) {
            const auto v = static_cast<std::uint32_t>(RtpFloatTo24(samples[i * stride]));
            p[0] = static_cast<std::uint8_t>(v >> 16);
            p[1] = static_cast<std::uint8_t>(v >> 8);
            p[2] = static_cast<std::uint8_t>(v);
        }
    } else if (l.bytes == 2) {
        for (std::uint32_t i = 0; i < count; ++i, p += frameBytes) {
            const auto v = static_cast<std::uint16_t>(RtpFloatTo16(samples[i * stride]));
            p[0] = static_cast<std::uint8_t>(v);
            p[1] = static_cast<std::uint8_t>(v >> 8);
        }
    }
}

std::uint32_t RtpPacket::ReadChannel(float* samples, std::uint32_t channel, std::size_t stride,
                                     std::uint32_t firstFrame, std::uint32_t count) const noexcept {
    const std::uint32_t frames = Frames();
    const Layout l = LayoutOf(PayloadType());
    if (samples == nullptr || channel >= l.channels || firstFrame >= frames) {
        return 0;
    }
    if (count == 0 || count > frames - firstFrame) {
        count = frames - firstFrame;
    }
    const std::size_t frameBytes = std::size_t{l.channels} * l.bytes;
    const std::uint8_t* p =
        datagram_->Data() + kRtpHeaderSize + firstFrame * frameBytes + std::size_t{channel} * l.bytes;
    if (l.bytes == 3) {
        for (std::uint32_t i = 0; i < count; ++i, p += frameBytes) {
            // Shift into the top of a 32-bit word and back: the sign extends arithmetically.
            const auto word = static_cast<std::int32_t>(
                (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8));
            samples[i * stride] = Rtp24ToFloat(word >> 8);
        }
    } else if (l.bytes == 2) {
        for (std::uint32_t i = 0; i < count; ++i, p += frameBytes) {
            samples[i * stride] = Rtp16ToFloat(static_cast<std::int16_t>(p[0] | (p[1] << 8)));
        }
    } else {
        return 0;
    }
    return count;
}

void RtpPacket::SilenceChannel(std::uint32_t channel, std::uint32_t firstFrame,
                               std::uint32_t count) noexcept {
    const std::uint32_t frames = Frames();
    const Layout l = LayoutOf(PayloadType());
    if (channel >= l.channels || firstFrame >= frames) {
        return;
    }
    if (count > frames - firstFrame) {
        count = frames - firstFrame;
    }
    const std::size_t frameBytes = std::size_t{l.channels} * l.bytes;
    std::uint8_t* p =
        datagram_->Data() + kRtpHeaderSize + firstFrame * frameBytes + std::size_t{channel} * l.bytes;
    for (std::uint32_t i = 0; i < count; ++i, p += frameBytes) {
        std::memset(p, 0, l.bytes);
    }
}

void RtpChanAddrInfo::Set(const std::wstring& address, const std::wstring& address2, std::uint16_t port) {
    addr.Set(address, port);
    if (address2.empty()) {
        addr2.Clear();
    } else {
        addr2.Set(address2, port);
    }
    by_reference = false;
    reference = nullptr;
}

void RtpChanAddrInfo::Set(void* ref, const std::wstring& refName) {
    addr.Clear();
    addr2.Clear();
    by_reference = true;
    reference = ref;
    name = refName;
}

bool RtpChanAddrInfo::IsSet() const noexcept {
    if (by_reference) {
        return reference != nullptr && !name.empty();
    }
    return addr.IsValid() || addr2.IsValid();
}

bool RtpChanAddrInfo::operator==(const RtpChanAddrInfo& o) const noexcept {
    return addr == o.addr && addr2 == o.addr2 && flag == o.flag && value == o.value &&
           by_reference == o.by_reference && reference == o.reference && name == o.name &&
           value2 == o.value2 && value3 == o.value3;
}

bool RtpRecvChanInfo::operator==(const RtpRecvChanInfo& o) const noexcept {
    return RtpChanAddrInfo::operator==(o) && payload_type == o.payload_type && source == o.source;
}

bool RtpSendChanInfo::operator==(const RtpSendChanInfo& o) const noexcept {
    return RtpRecvChanInfo::operator==(o) && send_flag == o.send_flag && send_value == o.send_value &&
           send_value2 == o.send_value2;
}

ErrInfo RtpManagerInfo::IsValid() const {
    ErrInfo result(ERR_PLACE("Network::RtpManagerInfo::IsValid"));
    if (SampleFreq == 0) {
        return result.SetError(L"SampleFreq con not be 0");
    }
    if (PacketSmplSize == 0) {
        return result.SetError(L"PacketSmplSize rate con not be 0");
    }
    if (PacketSmplSize > kRtpMaxPacketFrames) {
        return result.SetError(L"PacketSmplSize " + std::to_wstring(PacketSmplSize) + L" is more than " +
                               std::to_wstring(kRtpMaxPacketFrames) + L" frames");
    }
    if (buffer_window == 0 || buffer_window > kRtpMaxBufferWindow) {
        return result.SetError(L"Buffer window " + std::to_wstring(buffer_window) +
                               L" is not between 1 and " + std::to_wstring(kRtpMaxBufferWindow) +
                               L" packets");
    }
    if (start_latency >= buffer_window) {
        return result.SetError(L"Start latency " + std::to_wstring(start_latency) +
                               L" must be less than the buffer window " + std::to_wstring(buffer_window) +
                               L": the stream would lose its lock with every packet");
    }
    if (recv_chans.size() > kRtpMaxStreams || send_chans.size() > kRtpMaxStreams) {
        return result.SetError(L"More than " + std::to_wstring(kRtpMaxStreams) +
                               L" streams in one direction");
    }
    return result;
}

}  // namespace Network
