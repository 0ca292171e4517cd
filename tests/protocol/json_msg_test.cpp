// The datagram layout (text, zero byte, attachment), what a datagram must be to decode, and the message
// identifier counter.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/json_msg.h"
#include "protocol_test_support.h"

namespace {

using namespace Network;
using namespace protocol_test;

TEST(JsonMsgToPacket, PingWithId17IsExactly27BytesAndALimitBelowFails) {
    JsonMsgPing ping;
    ping.msg_id = 17;
    EXPECT_EQ(Encode(ping), Datagram(R"({"msg":"ping","msg_id":17})"));
    EXPECT_EQ(Encode(ping).size(), 27u);
    ErrInfo err(ERR_PLACE("test"));
    Packet small(0);
    ping.ToPacket(err, small, false, 20);
    EXPECT_EQ(err.GetText(), L"Can not deserialize msg. Packet too small");
    err.MarkHandled();

    // A packet that held a longer datagram takes the new one exactly.
    Packet reused(2000);
    JsonMsgError big;
    big.txt = std::wstring(500, L'x');
    big.ToPacket(err, reused, false, 27);
    ping.ToPacket(err, reused, true, 27);
    EXPECT_TRUE(err.IsOk());
    EXPECT_EQ(reused.Bytes(), Datagram(R"({"msg":"ping","msg_id":17,"req":1})"));
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

TEST(JsonMsgFromPacket, BaseKeysAndTheAttachment) {
    const std::vector<std::uint8_t> ping = Datagram(R"({"msg":"ping","msg_id":5})");
    struct Row {
        std::vector<std::uint8_t> datagram;
        bool decodes;
        std::uint32_t ack = 0;
        std::vector<std::uint8_t> att = {};  // the bytes that came, no more than announced
        std::uint64_t announced = 0;
    };
    const Row rows[] = {
        {{}, false},
        {{0}, false},
        {{ping.begin(), ping.end() - 1}, false},                      // no zero byte
        {Datagram(std::string(1, '\0') + TextOf(ping)), false},       // the zero byte first
        {Datagram(std::string(R"({"ms)") + '\0' + "g\":1}"), false},  // a zero byte inside the text
        {ping, true},
        {Datagram("{\"msg\":\"ping\",\"msg_id\":5,\"x\":\"\xED\xA0\x80\"}"), false},  // an encoded surrogate
        {Datagram(R"([{"msg":"ping","msg_id":1}])"), false},
        {Datagram(R"({"msg":"ping"})"), false},
        {Datagram(R"({"msg":"ping","msg_id":"5"})"), false},
        {Datagram(R"({"msg":"ping","msg_id":4294967296})"), false},
        {Datagram(R"({"msg_id":1})"), false},
        {Datagram(R"({"msg":"","msg_id":1})"), false},
        {Datagram(R"({"msg":"PING","msg_id":1})"), false},
        {Datagram(R"({"ack_msg_id":12,"msg":"ack","msg_id":3})"), true, 12},
        {Datagram(R"({"ack_msg_id":"12","att":"big","msg":"ack","msg_id":3})", {1}), true},
        {Datagram(R"({"ack_msg_id":4294967296,"att":-4,"msg":"ack","msg_id":3})", {1}), true},
        {Datagram(R"({"att":68719476736,"msg":"idle","msg_id":1})", {1}), true},
        {Datagram(R"({"att":10,"msg":"idle","msg_id":1})", {1, 2, 3, 4}), true, 0, {1, 2, 3, 4}, 10},
        {Datagram(R"({"att":3,"msg":"idle","msg_id":1})"), true, 0, {}, 3},
        {Datagram(R"({"att":2,"msg":"idle","msg_id":1})", {7, 0, 9}), true, 0, {7, 0}, 2},
        // One short datagram must not make the receiver allocate gigabytes.
        {Datagram(R"({"att":4294967295,"msg":"idle","msg_id":1})", {1}), false},
        {Datagram(R"({"att":16777217,"msg":"idle","msg_id":1})", {1}), false},
    };
    for (const Row& row : rows) {
        const auto msg = Decode(row.datagram);
        ASSERT_EQ(msg != nullptr, row.decodes) << TextOf(row.datagram);
        if (msg) {
            EXPECT_EQ(msg->ack_msg_id, row.ack) << TextOf(row.datagram);
            EXPECT_EQ(msg->att, row.att) << TextOf(row.datagram);
            EXPECT_EQ(msg->att_size, row.att.size()) << TextOf(row.datagram);
            EXPECT_EQ(msg->att_announced, row.announced) << TextOf(row.datagram);
        }
    }
    // The largest announcement decodes, and costs no memory.
    const auto largest = Decode(Datagram(R"({"att":16777216,"msg":"idle","msg_id":1})", {1}));
    EXPECT_EQ(largest->att_announced, kMaxAttachmentSize);
    EXPECT_EQ(largest->att.capacity(), 1u);
    EXPECT_EQ(Decode(Datagram(R"({"msg":"state","msg_id":1})"), nullptr), nullptr) << "no factory";
}

TEST(JsonMsgFromPacket, PingWithId5FromASenderWithTextAfterTheValue) {
    const SockAddr sender(L"10.1.1.1", 15001);
    auto msg = Decode(Datagram(R"({"msg":"ping","msg_id":5} trailing ]] garbage)"), nullptr, &sender);
    ASSERT_NE(dynamic_cast<JsonMsgPing*>(msg.get()), nullptr);
    EXPECT_EQ(msg->msg_id, 5u);
    EXPECT_EQ(msg->peer, sender);
}

TEST(JsonMsgId, ZeroIsSkippedWhenTheCounterWrapsAndThreadsNeverShareOne) {
    JsonMsg::SetNextMsgId(0xFFFFFFFEu);
    const std::uint32_t ids[] = {JsonMsgPing().msg_id, JsonMsgIdle().msg_id, JsonMsgAck().msg_id};
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(ids), std::end(ids)),
              (std::vector<std::uint32_t>{0xFFFFFFFEu, 0xFFFFFFFFu, 1u}));

    constexpr int kPerThread = 40000;
    std::vector<std::uint32_t> a;
    std::vector<std::uint32_t> b;
    auto take = [](std::vector<std::uint32_t>& out) {
        for (int i = 0; i < kPerThread; ++i) {
            out.push_back(JsonMsgPing().msg_id);
        }
    };
    std::thread other(take, std::ref(b));
    take(a);
    other.join();
    std::set<std::uint32_t> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(all.size(), 2u * kPerThread);
}

}  // namespace
