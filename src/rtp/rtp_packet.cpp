#include "rtp/rtp_packet.h"

#include <algorithm>
#include <array>
#include <cstring>

// NORVANE_RTP_NO_SHUFFLE builds the portable loops alone (to measure or test them on x86-64).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(NORVANE_RTP_NO_SHUFFLE)
#include <immintrin.h>
#define NORVANE_RTP_SHUFFLE 1
#endif

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

int RtpHeaderPayloadType(const std::uint8_t* data, std::size_t size) noexcept {
    if (data == nullptr || size < kRtpHeaderSize || (data[0] >> 6) != 2) {
        return -1;
    }
    return data[1] & 0x7F;
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

namespace {

// A 24-bit sample whose bytes are the top three of `word`: the arithmetic shift extends the sign.
float Top24ToFloat(std::uint32_t word) noexcept {
    return Rtp24ToFloat(static_cast<std::int32_t>(word) >> 8);
}

std::uint32_t LoadBig32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

float Sample24(const std::uint8_t* p) noexcept {
    return Top24ToFloat((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                        (std::uint32_t{p[2]} << 8));
}

float Sample16(const std::uint8_t* p) noexcept {
    return Rtp16ToFloat(static_cast<std::int16_t>(p[0] | (p[1] << 8)));
}

// Two frames (12 bytes) at a time as three big-endian words: each sample is the top three bytes of a word
// made of two neighbours; an odd last frame is read byte by byte.
void Decode24StereoScalar(const std::uint8_t* s, float* left, float* right, std::uint32_t frames) noexcept {
    for (; frames >= 2; frames -= 2, s += 12, left += 2, right += 2) {
        const std::uint32_t w0 = LoadBig32(s);
        const std::uint32_t w1 = LoadBig32(s + 4);
        const std::uint32_t w2 = LoadBig32(s + 8);
        left[0] = Top24ToFloat(w0);
        right[0] = Top24ToFloat((w0 << 24) | (w1 >> 8));
        left[1] = Top24ToFloat((w1 << 16) | (w2 >> 16));
        right[1] = Top24ToFloat(w2 << 8);
    }
    if (frames != 0) {
        left[0] = Sample24(s);
        right[0] = Sample24(s + 3);
    }
}

#if defined(NORVANE_RTP_SHUFFLE)
// Four frames per step with byte shuffles: each 16-byte load holds two frames (and four bytes of the
// next), the shuffle puts their four samples into the top of 32-bit words, the shift extends the sign,
// and the float conversion and multiply are exact as in Rtp24ToFloat. The loads read 4 bytes past the 4
// frames, so the step runs while a fifth frame follows; the scalar loop takes the rest.
__attribute__((target("ssse3"))) std::uint32_t Decode24StereoShuffle(const std::uint8_t* s, float* left,
                                                                     float* right,
                                                                     std::uint32_t frames) noexcept {
    const __m128i order = _mm_setr_epi8(-1, 2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9);
    const __m128 scale = _mm_set1_ps(k24Scale);
    std::uint32_t done = 0;
    for (; frames - done >= 5; done += 4, s += 24) {
        const __m128i a =
            _mm_srai_epi32(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), order), 8);
        const __m128i b = _mm_srai_epi32(
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12)), order), 8);
        const __m128 fa = _mm_mul_ps(_mm_cvtepi32_ps(a), scale);  // L0 R0 L1 R1
        const __m128 fb = _mm_mul_ps(_mm_cvtepi32_ps(b), scale);  // L2 R2 L3 R3
        _mm_storeu_ps(left + done, _mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm_storeu_ps(right + done, _mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    return done;
}

bool HasShuffle() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}
#endif

void Decode24Stereo(const std::uint8_t* s, float* left, float* right, std::uint32_t frames) noexcept {
    std::uint32_t done = 0;
#if defined(NORVANE_RTP_SHUFFLE)
    if (HasShuffle()) {
        done = Decode24StereoShuffle(s, left, right, frames);
    }
#endif
    Decode24StereoScalar(s + std::size_t{done} * 6, left + done, right + done, frames - done);
}

void Decode16Stereo(const std::uint8_t* s, float* left, float* right, std::uint32_t frames) noexcept {
    for (std::uint32_t i = 0; i < frames; ++i, s += 4) {
        left[i] = Sample16(s);
        right[i] = Sample16(s + 2);
    }
}

}  // namespace

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
void Write32(std::uint8_t* d, std::uint32_t v) noexcept {
    d[0] = static_cast<std::uint8_t>(v >> 24);
    d[1] = static_cast<std::uint8_t>(v >> 16);
    d[2] = static_cast<std::uint8_t>(v >> 8);
    d[3] = static_cast<std::uint8_t>(v);
}
}  // namespace

std::uint32_t RtpPacket::Timestamp() const noexcept {
    return IsEmpty() ? 0 : LoadBig32(datagram_->Data() + 4);
}

void RtpPacket::SetTimestamp(std::uint32_t ts) noexcept {
    if (!IsEmpty()) {
        Write32(datagram_->Data() + 4, ts);
    }
}

std::uint32_t RtpPacket::Ssrc() const noexcept {
    return IsEmpty() ? 0 : LoadBig32(datagram_->Data() + 8);
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

RtpPacket::ChannelCursor RtpPacket::Cursor(std::uint32_t channel, std::uint32_t firstFrame,
                                           std::uint32_t count) const noexcept {
    const std::uint32_t frames = Frames();
    const Layout l = LayoutOf(PayloadType());
    if (channel >= l.channels || firstFrame >= frames) {
        return {};
    }
    const std::size_t step = std::size_t{l.channels} * l.bytes;
    return {datagram_->Data() + kRtpHeaderSize + firstFrame * step + std::size_t{channel} * l.bytes, step,
            l.bytes, std::min(count, frames - firstFrame)};
}

void RtpPacket::WriteChannel(const float* samples, std::uint32_t channel, std::size_t stride,
                             std::uint32_t firstFrame, std::uint32_t count) noexcept {
    if (samples == nullptr) {
        return;
    }
    const ChannelCursor c = Cursor(channel, firstFrame, count);
    std::uint8_t* p = c.at;
    if (c.bytes == 3) {
        for (std::uint32_t i = 0; i < c.count; ++i, p += c.step) {
            const auto v = static_cast<std::uint32_t>(RtpFloatTo24(samples[i * stride]));
            p[0] = static_cast<std::uint8_t>(v >> 16);
            p[1] = static_cast<std::uint8_t>(v >> 8);
            p[2] = static_cast<std::uint8_t>(v);
        }
    } else if (c.bytes == 2) {
        for (std::uint32_t i = 0; i < c.count; ++i, p += c.step) {
            const auto v = static_cast<std::uint16_t>(RtpFloatTo16(samples[i * stride]));
            p[0] = static_cast<std::uint8_t>(v);
            p[1] = static_cast<std::uint8_t>(v >> 8);
        }
    }
}

std::uint32_t RtpPacket::ReadChannel(float* samples, std::uint32_t channel, std::size_t stride,
                                     std::uint32_t firstFrame, std::uint32_t count) const noexcept {
    if (samples == nullptr) {
        return 0;
    }
    // A count of 0 reads to the end of the packet.
    const ChannelCursor c = Cursor(channel, firstFrame, count == 0 ? UINT32_MAX : count);
    if (c.at == nullptr) {
        return 0;
    }
    const std::uint8_t* p = c.at;
    const std::uint8_t* const end = p + c.count * c.step;
    if (c.bytes == 3) {
        for (; p != end; p += c.step, samples += stride) {
            *samples = Sample24(p);
        }
    } else if (c.bytes == 2) {
        for (; p != end; p += c.step, samples += stride) {
            *samples = Sample16(p);
        }
    } else {
        return 0;
    }
    return c.count;
}

std::uint32_t RtpPacket::ReadChannels(float* const* samples, std::uint32_t count) const noexcept {
    const std::uint32_t frames = Frames();
    const Layout l = LayoutOf(PayloadType());
    if (samples == nullptr || frames == 0) {
        return 0;
    }
    if (count == 0 || count > frames) {
        count = frames;
    }
    const std::uint8_t* payload = datagram_->Data() + kRtpHeaderSize;
    if (l.channels == 2 && samples[0] != nullptr && samples[1] != nullptr) {
        if (l.bytes == 3) {
            Decode24Stereo(payload, samples[0], samples[1], count);
            return count;
        }
        if (l.bytes == 2) {
            Decode16Stereo(payload, samples[0], samples[1], count);
            return count;
        }
    }
    for (std::uint32_t c = 0; c < l.channels; ++c) {
        if (samples[c] != nullptr) {
            ReadChannel(samples[c], c, 1, 0, count);
        }
    }
    return count;
}

void RtpPacket::SilenceChannel(std::uint32_t channel, std::uint32_t firstFrame,
                               std::uint32_t count) noexcept {
    const ChannelCursor c = Cursor(channel, firstFrame, count);
    std::uint8_t* p = c.at;
    for (std::uint32_t i = 0; i < c.count; ++i, p += c.step) {
        std::memset(p, 0, c.bytes);
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
