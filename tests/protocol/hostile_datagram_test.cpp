// Datagrams from a hostile or broken peer: every one of them must give no message (or a well-formed one)
// and never an exception, a crash or a huge allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol_test_support.h"

namespace {

using namespace Network;
using protocol_test::Datagram;
using protocol_test::DecodeBytes;
using protocol_test::Encode;
using protocol_test::SameMessage;
using protocol_test::TextOf;

const AsioDriverJsonMsgFactory kFactory;

std::unique_ptr<JsonMsg> DecodeWithFactory(const std::vector<std::uint8_t>& bytes) {
    return DecodeBytes(bytes, &kFactory);
}

// Valid datagrams of several kinds, the material the mutation tests start from.
std::vector<std::vector<std::uint8_t>> ValidDatagrams() {
    std::vector<std::vector<std::uint8_t>> out;
    out.push_back(Datagram(R"({"msg":"ping","msg_id":17})"));
    out.push_back(Datagram(
        R"({"device_freq":48000,"inputs":[{"freq":48000,"gain":"+4dBu","select":"analog"}],"msg":"state","msg_id":12})"));
    out.push_back(
        Datagram(R"({"att":5,"leader_id":3,"msg":"attach","msg_id":4,"seg_count":2,"seg_number":1})",
                 {1, 2, 3, 4, 5}));
    out.push_back(Datagram(R"({"inputs":["10.0.0.5:5004","off",""],"msg":"set_inputs","msg_id":2})"));
    out.push_back(Datagram(
        R"({"msg":"cur_time","msg_id":5,"td":"2024\/01\/25 19:04:28.015","utc":"2024\/01\/25 18:04:28.015"})"));
    out.push_back(Datagram(
        R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,"msg":"dev_info",)"
        R"("msg_id":9,"outputs":0,"rtp_port":5004,"software":1,"unit_id":"X","unit_type":"KX410"})"));
    out.push_back(Datagram(
        R"({"msg":"fm_quality","msg_id":1,"multipath":[1],"pilot":[1],"rssi":[-5],"snr":[3],"valid":[1]})"));
    out.push_back(Datagram(R"({"code":3,"msg":"error","msg_id":1,"txt":"bad \u00E9"})"));
    return out;
}

// What every decoded message must satisfy: it prints again, that datagram decodes to the same message,
// and from there on printing and decoding reach a fixed point. (A message whose attachment came short
// prints its whole announced buffer behind the count of real bytes; the next decode keeps only those, so
// for such a message the fixed point is one round later.)
void ExpectStableRoundTrip(const JsonMsg& msg, const std::vector<std::uint8_t>& source) {
    Packet packet;
    ErrInfo err(ERR_PLACE("test"));
    msg.ToPacket(err, packet, false, 0);
    if (!err.IsOk()) {
        // Only text that has no UTF-8 form (a lone surrogate from a \u escape) may refuse to print.
        EXPECT_EQ(err.GetText(), L"Can not deserialize msg") << TextOf(source);
        err.MarkHandled();
        return;
    }
    const std::vector<std::uint8_t> again = packet.Bytes();
    auto back = DecodeWithFactory(again);
    ASSERT_NE(back, nullptr) << TextOf(source) << " -> " << TextOf(again);
    EXPECT_TRUE(SameMessage(msg, *back)) << TextOf(source) << " -> " << TextOf(again);
    const std::vector<std::uint8_t> third = Encode(*back);
    if (msg.att.size() == msg.att_size) {
        EXPECT_EQ(third, again) << TextOf(again);
    } else {
        EXPECT_EQ(third.size(), again.size() - (msg.att.size() - msg.att_size)) << TextOf(again);
    }
    auto fixed = DecodeWithFactory(third);
    ASSERT_NE(fixed, nullptr) << TextOf(third);
    EXPECT_TRUE(SameMessage(*back, *fixed)) << TextOf(third);
    EXPECT_EQ(Encode(*fixed), third) << TextOf(third);
}

TEST(HostileDatagram, EveryTruncationWithoutTheZeroByteIsRejected) {
    for (const auto& full : ValidDatagrams()) {
        ASSERT_NE(DecodeWithFactory(full), nullptr) << TextOf(full);
        const std::size_t textLength = TextOf(full).size();
        for (std::size_t n = 0; n <= textLength; ++n) {
            std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_EQ(DecodeWithFactory(cut), nullptr) << n << ": " << TextOf(full);
        }
    }
}

TEST(HostileDatagram, TextCutShortBeforeTheZeroByteIsRejected) {
    for (const auto& full : ValidDatagrams()) {
        const std::string text = TextOf(full);
        for (std::size_t n = 1; n < text.size(); ++n) {
            // The object is never closed, so the text is never a complete value.
            EXPECT_EQ(DecodeWithFactory(Datagram(text.substr(0, n))), nullptr) << text.substr(0, n);
        }
    }
}

TEST(HostileDatagram, JsonThatIsNotAnObjectIsRejected) {
    for (const char* text : {"[]", "[1,2]", "1", "-0.5", "\"ping\"", "null", "true", "false",
                             R"([{"msg":"ping","msg_id":1}])", "{}", " ", "{", "}"}) {
        EXPECT_EQ(DecodeWithFactory(Datagram(text)), nullptr) << text;
    }
}

TEST(HostileDatagram, InvalidUtf8IsRejected) {
    const std::string good = R"({"msg":"ping","msg_id":1,"x":"__"})";
    const std::vector<std::vector<std::uint8_t>> badSequences = {
        {0xFF, 0xFE},              // never valid
        {0xC0, 0xAF},              // overlong '/'
        {0x80, 0x80},              // lone continuation bytes
        {0xED, 0xA0, 0x80},        // an encoded surrogate
        {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
        {0xE2, 0x82},              // cut sequence
    };
    for (const auto& seq : badSequences) {
        std::vector<std::uint8_t> bytes(good.begin(), good.end());
        const std::size_t at = good.find("__");
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at) + 2);
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), seq.begin(), seq.end());
        bytes.push_back(0);
        EXPECT_EQ(DecodeWithFactory(bytes), nullptr);
    }
    // The same place with valid multi-byte text decodes.
    std::string valid = good;
    valid.replace(valid.find("__"), 2, "\xC3\xA9\xF0\x9F\x8E\xB5");
    EXPECT_NE(DecodeWithFactory(Datagram(valid)), nullptr);
}

TEST(HostileDatagram, WrongKeyKindsAreRejectedOrIgnoredByTheRules) {
    // Required keys of the wrong kind: no message.
    const char* rejected[] = {
        R"({"msg":["ping"],"msg_id":1})",
        R"({"msg":{"x":1},"msg_id":1})",
        R"({"msg":"ping","msg_id":[1]})",
        R"({"msg":"ping","msg_id":true})",
        R"({"msg":"ping","msg_id":null})",
        R"({"msg":"ping","msg_id":1e3})",
        R"({"leader_id":-1,"msg":"attach","msg_id":1,"seg_count":1,"seg_number":0})",
        R"({"code":1,"msg":"error","msg_id":1,"txt":null})",
        R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,"msg":"dev_info",)"
        R"("msg_id":9,"outputs":0,"rtp_port":"5004","software":1,"unit_id":"X","unit_type":"KX410"})",
        R"({"inputs":null,"msg":"inputs","msg_id":1})",
        R"({"inputs":"off","msg":"set_inputs","msg_id":1})",
        R"({"msg":"cur_time","msg_id":5,"td":null,"utc":null})",
        R"({"device_freq":4294967296,"msg":"set_state","msg_id":1})",
    };
    for (const char* text : rejected) {
        EXPECT_EQ(DecodeWithFactory(Datagram(text)), nullptr) << text;
    }
    // Optional keys of the wrong kind: the message decodes with defaults.
    const char* accepted[] = {
        R"({"ack_msg_id":[1],"att":"big","msg":"ping","msg_id":1})",
        R"({"freq":{"a":1},"msg":"fm_freq","msg_id":1})",
        R"({"bypass":["on"],"msg":"bypass","msg_id":1})",
        R"({"device_freq":"x","inputs":"y","msg":"state","msg_id":1})",
        R"({"msg":"rds_data","msg_id":1,"psrv":5,"text":null,"time":[[]]})",
    };
    for (const char* text : accepted) {
        auto msg = DecodeWithFactory(Datagram(text));
        ASSERT_NE(msg, nullptr) << text;
        EXPECT_EQ(msg->att_size, 0u);
        EXPECT_EQ(msg->ack_msg_id, 0u);
        ExpectStableRoundTrip(*msg, Datagram(text));
    }
}

TEST(HostileDatagram, HugeAnnouncedAttachmentsAreRejectedWithoutAllocating) {
    for (const char* att : {"4294967295", "2147483648", "16777217"}) {
        const std::string text = std::string(R"({"att":)") + att + R"(,"msg":"idle","msg_id":1})";
        EXPECT_EQ(DecodeWithFactory(Datagram(text, {1, 2, 3})), nullptr) << text;
        EXPECT_EQ(DecodeWithFactory(Datagram(text)), nullptr) << text;
    }
    // Above 32 bits the key is not a valid announcement at all and reads as none.
    auto msg = DecodeWithFactory(Datagram(R"({"att":68719476736,"msg":"idle","msg_id":1})", {1, 2}));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->att_size, 0u);
    EXPECT_TRUE(msg->att.empty());
}

TEST(HostileDatagram, DeepNestingNeitherCrashesNorDecodes) {
    constexpr int kDepth = 200000;
    std::string deep(kDepth, '[');
    deep += std::string(kDepth, ']');
    EXPECT_EQ(DecodeWithFactory(Datagram(deep)), nullptr);

    // Deep garbage under an unknown key of a valid message: the message decodes, the garbage is dropped.
    std::string nested = R"({"junk":)" + deep + R"(,"msg":"ping","msg_id":3})";
    auto msg = DecodeWithFactory(Datagram(nested));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(TextOf(Encode(*msg)), R"({"msg":"ping","msg_id":3})");
}

TEST(HostileDatagram, ZeroBytesInsideTheTextEndIt) {
    // Everything after the first zero byte is attachment, so a zero inside the text cuts it short.
    std::vector<std::uint8_t> bytes = Datagram(R"({"msg":"ping","msg_id":17})");
    bytes[5] = 0;
    EXPECT_EQ(DecodeWithFactory(bytes), nullptr);
    // A \u0000 escape is text, not a zero byte.
    auto msg = DecodeWithFactory(Datagram(R"({"code":1,"msg":"error","msg_id":1,"txt":"a\u0000b"})"));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(dynamic_cast<JsonMsgError&>(*msg).txt, std::wstring(L"a\0b", 3));
    ExpectStableRoundTrip(*msg, Datagram("txt with zero"));
}

// Every single-byte change of a valid datagram either gives no message or one that survives a round trip.
TEST(HostileDatagram, SingleByteMutationsDecodeToStableMessagesOrNothing) {
    const std::uint8_t replacements[] = {0x00, '"', '\\', '{', '}', '[',  ']',  ',',  ':', '0',
                                         '9',  '-', 'e',  'x', ' ', 0x7F, 0x80, 0xC3, 0xFF};
    std::size_t decoded = 0;
    std::size_t rejected = 0;
    for (const auto& original : ValidDatagrams()) {
        for (std::size_t i = 0; i < original.size(); ++i) {
            for (std::uint8_t r : replacements) {
                std::vector<std::uint8_t> mutated = original;
                mutated[i] = r;
                auto msg = DecodeWithFactory(mutated);
                if (msg) {
                    ++decoded;
                    ExpectStableRoundTrip(*msg, mutated);
                } else {
                    ++rejected;
                }
            }
        }
    }
    // Both outcomes occur; a decoder that rejected (or accepted) everything would be broken.
    EXPECT_GT(decoded, 100u);
    EXPECT_GT(rejected, 1000u);
}

// Token soup: random sequences of JSON pieces, message keys and stray bytes, with a fixed seed.
TEST(HostileDatagram, RandomTokenSoupDecodesToStableMessagesOrNothing) {
    const char* tokens[] = {"{",        "}",          "[",        "]",          ",",          ":",
                            "\"msg\"",  "\"msg_id\"", "\"ping\"", "\"state\"",  "\"inputs\"", "\"att\"",
                            "\"freq\"", "1",          "-",        "4294967296", "0.5",        "null",
                            "\"",       "\\",         "\"off\"",  "\"aes\"",    "\\u00",      " "};
    std::mt19937 rng(12345);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(tokens));
    std::uniform_int_distribution<int> count(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    std::size_t decoded = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = (i % 2 == 0) ? "{\"msg\":\"ping\",\"msg_id\":1," : "";
        for (int n = count(rng); n > 0; --n) {
            const std::size_t k = pick(rng);
            text +=
                k < std::size(tokens) ? std::string(tokens[k]) : std::string(1, static_cast<char>(byte(rng)));
        }
        text += "}";
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        if (auto msg = DecodeWithFactory(bytes)) {
            ++decoded;
            ExpectStableRoundTrip(*msg, bytes);
        }
    }
    EXPECT_GT(decoded, 0u);
}

}  // namespace
