// The RTP packet: header bytes, the payload-type table, and the sample conversions at their extremes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rtp/rtp_packet.h"

namespace {

using namespace Network;

std::vector<std::uint8_t> Bytes(const RtpPacket& p) {
    return p.Datagram() ? p.Datagram()->Bytes() : std::vector<std::uint8_t>{};
}

TEST(RtpPacketTest, HeaderIsWrittenWithExactBytes) {
    RtpPacket p = RtpPacket::Create(72, 1);  // legacy: marker bit set
    p.SetSequenceNumber(0xA1B2);
    p.SetTimestamp(0xC3D4E5F6);
    p.SetSsrc(0x01020304);
    EXPECT_EQ(Bytes(p), (std::vector<std::uint8_t>{0x80, 0xC8, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x02,
                                                   0x03, 0x04, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(p.PayloadType(), 72);
    EXPECT_TRUE(RtpPacket::Create(73, 1).IsEmpty());
}

TEST(RtpPacketTest, PayloadTypesFixChannelsBytesAndSize) {
    struct Row {
        std::uint8_t pt;
        std::uint32_t channels, bytes;
        std::size_t size48;
    };
    for (const Row& r : {Row{100, 2, 3, 300}, Row{73, 0, 0, 0}, Row{94, 2, 2, 204}, Row{86, 1, 2, 108},
                         Row{92, 128, 2, 12300}, Row{80, 0, 0, 12}, Row{127, 0, 0, 0}}) {
        EXPECT_EQ(RtpChannels(r.pt), r.channels) << int(r.pt);
        EXPECT_EQ(RtpBytesPerSample(r.pt), r.bytes) << int(r.pt);
        EXPECT_EQ(RtpPacketSize(r.pt, 48), r.size48) << int(r.pt);
    }
    // Trailing bytes of an incomplete frame are ignored.
    auto d = std::make_shared<Packet>();
    d->Resize(12 + 6 * 48 + 3);
    RtpPacket p(d);
    p.SetVersion(2);
    p.SetPayloadType(100);
    EXPECT_EQ(p.Frames(), 48u);
}

TEST(RtpPacketTest, SamplesConvertAtTheExtremes) {
    struct Row {
        std::uint8_t pt;
        float in;
        std::vector<std::uint8_t> right;  // channel 1 of frame 0 on the wire
        float back;
    };
    const Row rows[] = {
        {100, 1.0f, {0x7F, 0xFF, 0xFF}, 1.0f},
        {100, -1.0f, {0x80, 0x00, 0x00}, -8388608.0f / 8388607.0f},  // slightly below -1
        {100, 2.0f, {0x7F, 0xFF, 0xFF}, 1.0f},
        {100, 0.5f, {0x3F, 0xFF, 0xFF}, 4194303.0f / 8388607.0f},  // truncated toward zero
        {94, 1.0f, {0xFF, 0x7F}, 1.0f},                            // 16-bit: least significant byte first
        {94, -1.0f, {0x01, 0x80}, -1.0f},                          // -32767, never -32768
        {94, -0.5f, {0x01, 0xC0}, -16383.0f / 32767.0f},
    };
    for (const Row& r : rows) {
        RtpPacket p = RtpPacket::Create(r.pt, 2);
        const float in[2] = {r.in, r.in};
        p.WriteChannel(in, 1, 1, 0, 5);  // the count is cut at the end of the packet
        const std::vector<std::uint8_t> bytes = Bytes(p);
        const std::size_t width = r.right.size();
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 12 + width, bytes.begin() + 12 + 2 * width),
                  r.right)
            << r.in;
        EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 12, bytes.begin() + 12 + width),
                  std::vector<std::uint8_t>(width, 0));  // channel 0 untouched
        float out[2] = {9, 9};
        EXPECT_EQ(p.ReadChannel(out, 1, 1, 0, 0), 2u);  // count 0: to the end
        EXPECT_FLOAT_EQ(out[0], r.back) << r.in;
        EXPECT_FLOAT_EQ(out[1], r.back) << r.in;
    }
}

// Every channel in one pass gives ReadChannel's floats bit for bit, whatever the bytes, for odd and even
// frame counts (the stereo paths take frames in groups and finish the rest one by one).
TEST(RtpPacketTest, AllChannelsInOnePassEqualReadChannel) {
    std::uint32_t seed = 12345;
    for (const std::uint8_t pt : {100, 72, 94, 86, 96}) {
        for (const std::uint32_t frames : {1u, 2u, 4u, 5u, 9u, 192u}) {
            RtpPacket p = RtpPacket::Create(pt, frames);
            for (std::size_t i = 12; i < p.Datagram()->Size(); ++i) {
                seed = seed * 1103515245u + 12345u;
                p.Datagram()->Data()[i] = static_cast<std::uint8_t>(seed >> 16);
            }
            const std::uint32_t n = p.Channels();
            std::vector<std::vector<float>> want(n, std::vector<float>(frames + 1, 7.0f));
            std::vector<std::vector<float>> got = want;
            std::vector<float*> out;
            for (std::uint32_t c = 0; c < n; ++c) {
                p.ReadChannel(want[c].data(), c, 1, 0, 0);
                out.push_back(got[c].data());
            }
            // A larger count is cut at the end of the packet; the float behind it is left alone.
            EXPECT_EQ(p.ReadChannels(out.data(), frames + 1), frames) << int(pt);
            EXPECT_EQ(got, want) << int(pt) << " " << frames;
        }
    }
}

}  // namespace
