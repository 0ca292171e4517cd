// The datagram layout (text, zero byte, attachment), what a datagram must be to decode, and the message
// identifier counter.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/json_msg.h"
#include "protocol_test_support.h"

namespace {

using namespace Network;
using protocol_test::Datagram;
using protocol_test::Decode;
using protocol_test::Encode;
using protocol_test::TextOf;

JsonMsgPing Ping17() {
    JsonMsgPing ping;
    ping.msg_id = 17;
    return ping;
}

TEST(JsonMsgToPacket, PingWithId17IsExactly27BytesAndALimitBelowFails) {
    EXPECT_EQ(Encode(Ping17()), Datagram(R"({"msg":"ping","msg_id":17})"));
    EXPECT_EQ(Encode(Ping17()).size(), 27u);

    Packet small(0);
    ErrInfo err(ERR_PLACE("test"));
    Ping17().ToPacket(err, small, false, 20);
    EXPECT_EQ(err.GetText(), L"Can not deserialize msg. Packet too small");
    err.MarkHandled();
    Packet exact(0);
    Ping17().ToPacket(err, exact, false, 27);
    EXPECT_TRUE(err.IsOk());
}

TEST(JsonMsgToPacket, AReusedPacketTakesTheNewDatagramExactly) {
    Packet packet(2000);
    JsonMsgError big;
    big.txt = std::wstring(500, L'x');
    ErrInfo err(ERR_PLACE("test"));
    big.ToPacket(err, packet, false, 2000);
    Ping17().ToPacket(err, packet, false, 2000);
    ASSERT_TRUE(err.IsOk());
    EXPECT_EQ(packet.Bytes(), Datagram(R"({"msg":"ping","msg_id":17})"));
}

TEST(JsonMsgToPacket, TheRequestFlagAddsReq) {
    JsonMsgOk ok(42);
    ok.msg_id = 7;
    EXPECT_EQ(TextOf(Encode(ok, true)), R"({"ack_msg_id":42,"msg":"ok","msg_id":7,"req":1})");
}

// A message that leaves a value undefined cannot be printed.
struct BrokenMsg : JsonMsg {
    BrokenMsg() : JsonMsg(L"broken") {}
    ErrInfo Serialize(JSON::Value& out) const override {
        ErrInfo err = JsonMsg::Serialize(out);
        out[L"hole"];  // inserted, never set
        return err;
    }
};

TEST(JsonMsgToPacket, WhatCannotBePrintedBecomesAnError) {
    Packet packet;
    ErrInfo err(ERR_PLACE("test"));
    BrokenMsg().ToPacket(err, packet, false, 0);
    EXPECT_EQ(err.GetText(), L"JSON value undefined: cannot generate text representation");
    EXPECT_STREQ(err.Method(), "Network::JsonMsg::ToPacket");
    err.MarkHandled();

    JsonMsgError loneSurrogate;
    loneSurrogate.txt = std::wstring(1, static_cast<wchar_t>(0xD800));
    loneSurrogate.ToPacket(err, packet, false, 0);
    EXPECT_EQ(err.GetText(), L"Can not deserialize msg");
    err.MarkHandled();
}

TEST(JsonMsgFromPacket, DatagramsThatAreNotAMessage) {
    std::vector<std::uint8_t> noZero = Datagram(R"({"msg":"ping","msg_id":5})");
    noZero.pop_back();
    std::vector<std::uint8_t> leadingZero = Datagram(R"({"msg":"ping","msg_id":5})");
    leadingZero.insert(leadingZero.begin(), 0);
    std::vector<std::uint8_t> zeroInText = Datagram(R"({"msg":"ping","msg_id":5})");
    zeroInText[5] = 0;
    const std::vector<std::vector<std::uint8_t>> rejected = {
        {},
        {0},
        noZero,
        leadingZero,
        zeroInText,
        Datagram("{\"msg\":\"ping\",\"msg_id\":5,\"x\":\"\xED\xA0\x80\"}"),  // an encoded surrogate
        Datagram(R"([{"msg":"ping","msg_id":1}])"),
        Datagram(R"({"msg":"ping"})"),
        Datagram(R"({"msg":"ping","msg_id":"5"})"),
        Datagram(R"({"msg":"ping","msg_id":-1})"),
        Datagram(R"({"msg":"ping","msg_id":4294967296})"),
        Datagram(R"({"msg_id":1})"),
        Datagram(R"({"msg":"","msg_id":1})"),
        Datagram(R"({"msg":"PING","msg_id":1})"),
    };
    for (const auto& bytes : rejected) {
        EXPECT_EQ(Decode(bytes), nullptr) << TextOf(bytes);
    }
    EXPECT_EQ(Decode(Datagram(R"({"msg":"state","msg_id":1})"), nullptr), nullptr) << "no factory";
}

TEST(JsonMsgFromPacket, PingWithId5FromASenderWithTextAfterTheValue) {
    const SockAddr sender(L"10.1.1.1", 15001);
    auto msg = Decode(Datagram(R"({"msg":"ping","msg_id":5} trailing ]] garbage)"), nullptr, &sender);
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(dynamic_cast<JsonMsgPing*>(msg.get()), nullptr);
    EXPECT_EQ(msg->msg_id, 5u);
    EXPECT_EQ(msg->ack_msg_id, 0u);
    EXPECT_EQ(msg->peer, sender);
    EXPECT_EQ(Decode(Datagram(R"({"msg":"ping","msg_id":4294967295})"))->msg_id, 4294967295u);
}

TEST(JsonMsgFromPacket, OptionalBaseKeysOfTheWrongKindReadAsZero) {
    for (const char* text : {R"({"ack_msg_id":"12","att":"big","msg":"ack","msg_id":3})",
                             R"({"ack_msg_id":4294967296,"att":-4,"msg":"ack","msg_id":3})",
                             R"({"ack_msg_id":[1],"att":68719476736,"msg":"ack","msg_id":3})"}) {
        auto msg = Decode(Datagram(text, {1, 2}));
        ASSERT_NE(msg, nullptr) << text;
        EXPECT_EQ(msg->ack_msg_id, 0u) << text;
        EXPECT_EQ(msg->att_size, 0u) << text;
        EXPECT_TRUE(msg->att.empty()) << text;
    }
}

TEST(JsonMsgFromPacket, AttachmentKeepsTheAnnouncedLengthAndCountsTheBytesThatCame) {
    struct Row {
        const char* att;
        std::vector<std::uint8_t> following;
        std::uint64_t size;
        std::vector<std::uint8_t> bytes;
    };
    const Row rows[] = {
        {"10", {1, 2, 3, 4}, 4, {1, 2, 3, 4, 0, 0, 0, 0, 0, 0}},
        {"10", {}, 0, std::vector<std::uint8_t>(10, 0)},
        {"2", {7, 8, 9, 10}, 2, {7, 8}},
    };
    for (const Row& row : rows) {
        auto msg = Decode(
            Datagram(std::string(R"({"att":)") + row.att + R"(,"msg":"idle","msg_id":1})", row.following));
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->att_size, row.size);
        EXPECT_EQ(msg->att, row.bytes);
    }
    // One short datagram must not make the receiver allocate gigabytes.
    for (const char* att : {"4294967295", "16777217"}) {
        EXPECT_EQ(Decode(Datagram(std::string(R"({"att":)") + att + R"(,"msg":"idle","msg_id":1})", {1})),
                  nullptr);
    }
    auto atLimit = Decode(Datagram(R"({"att":16777216,"msg":"idle","msg_id":1})", {5}));
    ASSERT_NE(atLimit, nullptr);
    EXPECT_EQ(atLimit->att.size(), kMaxAttachmentSize);
}

TEST(JsonMsgId, ConsecutiveAndZeroSkippedWhenTheCounterWraps) {
    JsonMsg::SetNextMsgId(0xFFFFFFFEu);
    const std::uint32_t ids[] = {JsonMsgPing().msg_id, JsonMsgIdle().msg_id, JsonMsgAck().msg_id,
                                 JsonMsgPing().msg_id};
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(ids), std::end(ids)),
              (std::vector<std::uint32_t>{0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}));
}

TEST(JsonMsgId, ThreadsNeverShareAnIdentifier) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 20000;
    std::vector<std::vector<std::uint32_t>> ids(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
                ids[t].push_back(JsonMsgPing().msg_id);
            }
        });
    }
    go = true;
    for (std::thread& t : threads) {
        t.join();
    }
    std::set<std::uint32_t> all;
    for (const auto& v : ids) {
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
