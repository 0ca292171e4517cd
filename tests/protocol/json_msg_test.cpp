#include <gtest/gtest.h>

#include <algorithm>
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
using protocol_test::DecodeBytes;
using protocol_test::Encode;
using protocol_test::SameMessage;
using protocol_test::TextOf;

std::vector<std::uint8_t> Bytes(std::string_view s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// ---- serialising ----

TEST(JsonMsgToPacket, PingWithId17IsExactly27Bytes) {
    JsonMsgPing ping;
    ping.msg_id = 17;
    const std::vector<std::uint8_t> bytes = Encode(ping);
    EXPECT_EQ(bytes, Datagram(R"({"msg":"ping","msg_id":17})"));
    EXPECT_EQ(bytes.size(), 27u);
}

TEST(JsonMsgToPacket, LimitRejectsALongerDatagramWhenThePacketMustGrow) {
    JsonMsgPing ping;
    ping.msg_id = 17;
    Packet small(0);
    ErrInfo err(ERR_PLACE("test"));
    ping.ToPacket(err, small, false, 20);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Can not deserialize msg. Packet too small");
    EXPECT_STREQ(err.Method(), "Network::JsonMsg::ToPacket");
    err.MarkHandled();

    // Exactly the datagram's size is allowed.
    Packet exact(0);
    ErrInfo ok(ERR_PLACE("test"));
    ping.ToPacket(ok, exact, false, 27);
    EXPECT_TRUE(ok.IsOk());
    EXPECT_EQ(exact.Size(), 27u);

    // Without a limit the packet grows as needed.
    Packet grow(1);
    ErrInfo unlimited(ERR_PLACE("test"));
    ping.ToPacket(unlimited, grow, false, 0);
    EXPECT_TRUE(unlimited.IsOk());
    EXPECT_EQ(grow.Bytes(), Datagram(R"({"msg":"ping","msg_id":17})"));
}

TEST(JsonMsgToPacket, ReusedPacketTakesTheNewSizeExactly) {
    Packet packet(2000);
    JsonMsgError big;
    big.msg_id = 1;
    big.txt = std::wstring(500, L'x');
    ErrInfo err(ERR_PLACE("test"));
    big.ToPacket(err, packet, false, 2000);
    ASSERT_TRUE(err.IsOk());
    JsonMsgPing ping;
    ping.msg_id = 17;
    ping.ToPacket(err, packet, false, 2000);
    ASSERT_TRUE(err.IsOk());
    EXPECT_EQ(packet.Bytes(), Datagram(R"({"msg":"ping","msg_id":17})"));
}

TEST(JsonMsgToPacket, OptionalBaseKeysAndTheAttachment) {
    JsonMsgOk ok(42);
    ok.msg_id = 7;
    EXPECT_EQ(TextOf(Encode(ok)), R"({"ack_msg_id":42,"msg":"ok","msg_id":7})");
    EXPECT_EQ(TextOf(Encode(ok, true)), R"({"ack_msg_id":42,"msg":"ok","msg_id":7,"req":1})");

    JsonMsgIdle idle;
    idle.msg_id = 3;
    idle.req = true;
    idle.att = {0xDE, 0x00, 0xAD};
    idle.att_size = idle.att.size();
    EXPECT_EQ(Encode(idle), Datagram(R"({"att":3,"msg":"idle","msg_id":3,"req":1})", {0xDE, 0x00, 0xAD}));
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

TEST(JsonMsgToPacket, ExceptionsOfTheWriterBecomeErrors) {
    BrokenMsg broken;
    Packet packet;
    ErrInfo err(ERR_PLACE("test"));
    broken.ToPacket(err, packet, false, 0);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetType(), static_cast<std::uint32_t>(kErrTypeText));
    EXPECT_EQ(err.GetText(), L"JSON value undefined: cannot generate text representation");
    EXPECT_STREQ(err.Method(), "Network::JsonMsg::ToPacket");
    err.MarkHandled();

    std::wstring text = L"unchanged";
    ErrInfo err2(ERR_PLACE("test"));
    broken.ToString(err2, text);
    ASSERT_FALSE(err2.IsOk());
    EXPECT_STREQ(err2.Method(), "Network::JsonMsg::ToString");
    err2.MarkHandled();

    const std::wstring logText = broken.ToText();
    EXPECT_EQ(logText.rfind(L"ERROR:", 0), 0u);
    EXPECT_NE(logText.find(L"JSON value undefined"), std::wstring::npos);
}

TEST(JsonMsgToPacket, TextThatHasNoUtf8FormIsRefused) {
    JsonMsgError e;
    e.txt = std::wstring(1, static_cast<wchar_t>(0xD800));  // a lone surrogate
    Packet packet;
    ErrInfo err(ERR_PLACE("test"));
    e.ToPacket(err, packet, false, 0);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Can not deserialize msg");
    err.MarkHandled();
}

TEST(JsonMsgToPacket, NonAsciiTextIsUtf8OnTheWire) {
    JsonMsgError e;
    e.msg_id = 1;
    e.code = 5;
    e.txt = L"\u00e9\u20ac";  // e-acute, euro sign
    EXPECT_EQ(TextOf(Encode(e)),
              "{\"code\":5,\"msg\":\"error\",\"msg_id\":1,\"txt\":\"\xC3\xA9\xE2\x82\xAC\"}");
}

TEST(JsonMsgToString, CompactTextAndLogText) {
    JsonMsgAck ack(9);
    ack.msg_id = 10;
    std::wstring text;
    ErrInfo err(ERR_PLACE("test"));
    ack.ToString(err, text);
    EXPECT_TRUE(err.IsOk());
    EXPECT_EQ(text, LR"({"ack_msg_id":9,"msg":"ack","msg_id":10})");
    EXPECT_EQ(ack.ToText(), text);
}

// ---- the identifier counter ----

TEST(JsonMsgId, ConsecutiveMessagesGetConsecutiveIdentifiers) {
    JsonMsgPing a;
    JsonMsgIdle b;
    JsonMsgAck c;
    EXPECT_EQ(b.msg_id, a.msg_id + 1);
    EXPECT_EQ(c.msg_id, b.msg_id + 1);
    EXPECT_NE(a.msg_id, 0u);
}

TEST(JsonMsgId, ZeroIsSkippedWhenTheCounterWraps) {
    JsonMsg::SetNextMsgId(0xFFFFFFFEu);
    JsonMsgPing a;
    JsonMsgPing b;
    JsonMsgPing c;
    JsonMsgPing d;
    EXPECT_EQ(a.msg_id, 0xFFFFFFFEu);
    EXPECT_EQ(b.msg_id, 0xFFFFFFFFu);
    EXPECT_EQ(c.msg_id, 1u);
    EXPECT_EQ(d.msg_id, 2u);
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
            ids[t].reserve(kPerThread);
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
    EXPECT_EQ(all.count(0u), 0u);
}

// ---- decoding ----

TEST(JsonMsgFromPacket, PingWithId5) {
    auto msg = DecodeBytes(Datagram(R"({"msg":"ping","msg_id":5})"));
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(dynamic_cast<JsonMsgPing*>(msg.get()), nullptr);
    EXPECT_EQ(msg->type, L"ping");
    EXPECT_EQ(msg->msg_id, 5u);
    EXPECT_EQ(msg->ack_msg_id, 0u);
    EXPECT_EQ(msg->att_size, 0u);
    EXPECT_TRUE(msg->att.empty());
    EXPECT_FALSE(msg->peer.IsValid());
}

TEST(JsonMsgFromPacket, TheZeroByteIsRequiredAndMustNotComeFirst) {
    EXPECT_EQ(DecodeBytes(Bytes(R"({"msg":"ping","msg_id":5})")), nullptr);
    EXPECT_EQ(DecodeBytes({0}), nullptr);
    EXPECT_EQ(DecodeBytes({}), nullptr);
    EXPECT_EQ(DecodeBytes({'1'}), nullptr);
    std::vector<std::uint8_t> leadingZero = Datagram(R"({"msg":"ping","msg_id":5})");
    leadingZero.insert(leadingZero.begin(), 0);
    EXPECT_EQ(DecodeBytes(leadingZero), nullptr);
}

TEST(JsonMsgFromPacket, MissingOrMalformedIdentifierFails) {
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"ping"})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"ping","msg_id":"5"})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"ping","msg_id":-1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"ping","msg_id":4294967296})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"ping","msg_id":5.0})")), nullptr);
    auto max = DecodeBytes(Datagram(R"({"msg":"ping","msg_id":4294967295})"));
    ASSERT_NE(max, nullptr);
    EXPECT_EQ(max->msg_id, 4294967295u);
}

TEST(JsonMsgFromPacket, OptionalKeysOfTheWrongKindReadAsZero) {
    auto a = DecodeBytes(Datagram(R"({"ack_msg_id":"12","msg":"ack","msg_id":3})"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->ack_msg_id, 0u);
    auto b = DecodeBytes(Datagram(R"({"ack_msg_id":4294967296,"att":-4,"msg":"ack","msg_id":3})"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->ack_msg_id, 0u);
    EXPECT_EQ(b->att_size, 0u);
    auto c = DecodeBytes(Datagram(R"({"ack_msg_id":12,"msg":"ok","msg_id":3})"));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(dynamic_cast<JsonMsgOk*>(c.get()), nullptr);
    EXPECT_EQ(c->ack_msg_id, 12u);
}

TEST(JsonMsgFromPacket, ShortAttachmentKeepsTheAnnouncedLengthAndCountsTheRealBytes) {
    auto msg = DecodeBytes(Datagram(R"({"att":10,"msg":"idle","msg_id":1})", {1, 2, 3, 4}));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->att_size, 4u);
    EXPECT_EQ(msg->att, (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));

    auto none = DecodeBytes(Datagram(R"({"att":10,"msg":"idle","msg_id":1})"));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->att_size, 0u);
    EXPECT_EQ(none->att.size(), 10u);
}

TEST(JsonMsgFromPacket, BytesBeyondTheAnnouncedAttachmentAreIgnored) {
    auto msg = DecodeBytes(Datagram(R"({"att":2,"msg":"idle","msg_id":1})", {7, 8, 9, 10}));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->att_size, 2u);
    EXPECT_EQ(msg->att, (std::vector<std::uint8_t>{7, 8}));

    auto unannounced = DecodeBytes(Datagram(R"({"msg":"idle","msg_id":1})", {7, 8}));
    ASSERT_NE(unannounced, nullptr);
    EXPECT_EQ(unannounced->att_size, 0u);
    EXPECT_TRUE(unannounced->att.empty());
}

TEST(JsonMsgFromPacket, AnnouncedAttachmentIsBounded) {
    // One short datagram must not make the receiver allocate gigabytes.
    EXPECT_EQ(DecodeBytes(Datagram(R"({"att":4294967295,"msg":"idle","msg_id":1})", {1})), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"att":16777217,"msg":"idle","msg_id":1})", {1})), nullptr);
    static_assert(kMaxAttachmentSize == 16777216u);
    auto atLimit = DecodeBytes(Datagram(R"({"att":16777216,"msg":"idle","msg_id":1})", {5}));
    ASSERT_NE(atLimit, nullptr);
    EXPECT_EQ(atLimit->att.size(), kMaxAttachmentSize);
    EXPECT_EQ(atLimit->att_size, 1u);
    EXPECT_EQ(atLimit->att[0], 5);
}

TEST(JsonMsgFromPacket, TypeNameMustBeANonEmptyStringOfAKnownType) {
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"state","msg_id":1})")), nullptr);  // no factory
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg_id":1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"","msg_id":1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":7,"msg_id":1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":null,"msg_id":1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"PING","msg_id":1})")), nullptr);
}

TEST(JsonMsgFromPacket, SenderBecomesThePeerAndTrailingTextIsIgnored) {
    const SockAddr sender(L"10.1.1.1", 15001);
    auto msg = DecodeBytes(Datagram(R"({"msg":"ping","msg_id":8} trailing ]] garbage)"), nullptr, &sender);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->peer, sender);
    EXPECT_EQ(msg->msg_id, 8u);
}

class CountingFactory : public IJsonMsgFactory {
public:
    std::unique_ptr<JsonMsg> CreateMsg(const std::wstring& type) const override {
        asked.push_back(type);
        if (type == L"custom") {
            return std::make_unique<JsonMsgIdle>();
        }
        return nullptr;
    }
    mutable std::vector<std::wstring> asked;
};

TEST(JsonMsgFromPacket, FactoryIsAskedOnlyForNonTransportNames) {
    CountingFactory factory;
    auto ping = DecodeBytes(Datagram(R"({"msg":"ping","msg_id":1})"), &factory);
    ASSERT_NE(ping, nullptr);
    EXPECT_TRUE(factory.asked.empty());
    auto custom = DecodeBytes(Datagram(R"({"msg":"custom","msg_id":2})"), &factory);
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(custom->msg_id, 2u);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"msg":"other","msg_id":2})"), &factory), nullptr);
    EXPECT_EQ(factory.asked, (std::vector<std::wstring>{L"custom", L"other"}));
}

TEST(JsonMsgCreateFromValue, NeedsAnObject) {
    JSON::Value array;
    array[0].SetInt(static_cast<std::int64_t>(1));
    EXPECT_EQ(JsonMsg::CreateFromValue(array, nullptr, nullptr), nullptr);
    JSON::Value undefined;
    EXPECT_EQ(JsonMsg::CreateFromValue(undefined, nullptr, nullptr), nullptr);

    JSON::Value obj;
    obj[L"msg"].SetString(L"ack");
    obj[L"msg_id"].SetInt(static_cast<std::int64_t>(4));
    obj[L"ack_msg_id"].SetInt(static_cast<std::int64_t>(3));
    auto msg = JsonMsg::CreateFromValue(obj, nullptr, nullptr);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->ack_msg_id, 3u);
}

// ---- every transport kind survives the trip through a datagram ----

TEST(JsonMsgRoundTrip, TransportKinds) {
    std::vector<std::unique_ptr<JsonMsg>> msgs;
    msgs.push_back(std::make_unique<JsonMsgAck>(77));
    msgs.push_back(std::make_unique<JsonMsgOk>(78));
    auto att = std::make_unique<JsonMsgAtt>();
    att->leader_id = 1234;
    att->seg_count = 3;
    att->seg_number = 2;
    att->att.assign(400, 0xA5);
    att->att_size = 400;
    msgs.push_back(std::move(att));
    auto error = std::make_unique<JsonMsgError>();
    error->code = 4000000000u;
    error->txt = L"disk \"full\" / \\ \t\u00fc";
    msgs.push_back(std::move(error));
    msgs.push_back(std::make_unique<JsonMsgIdle>());
    msgs.push_back(std::make_unique<JsonMsgPing>());

    for (const auto& original : msgs) {
        const std::vector<std::uint8_t> bytes = Encode(*original);
        const auto back = DecodeBytes(bytes);
        ASSERT_NE(back, nullptr) << TextOf(bytes);
        EXPECT_TRUE(SameMessage(*original, *back)) << TextOf(bytes);
        EXPECT_EQ(back->msg_id, original->msg_id);
        EXPECT_EQ(back->type, original->type);
    }
    auto seg = DecodeBytes(Encode(*msgs[2]));
    auto* typed = dynamic_cast<JsonMsgAtt*>(seg.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->leader_id, 1234u);
    EXPECT_EQ(typed->seg_count, 3u);
    EXPECT_EQ(typed->seg_number, 2u);
    EXPECT_EQ(typed->att, std::vector<std::uint8_t>(400, 0xA5));
    auto err = DecodeBytes(Encode(*msgs[3]));
    auto* typedErr = dynamic_cast<JsonMsgError*>(err.get());
    ASSERT_NE(typedErr, nullptr);
    EXPECT_EQ(typedErr->code, 4000000000u);
    EXPECT_EQ(typedErr->txt, L"disk \"full\" / \\ \t\u00fc");
}

TEST(JsonMsgRoundTrip, RequiredKeysOfTransportKinds) {
    EXPECT_EQ(DecodeBytes(Datagram(R"({"leader_id":1,"msg":"attach","msg_id":1,"seg_number":0})")), nullptr);
    EXPECT_EQ(
        DecodeBytes(Datagram(R"({"leader_id":1,"msg":"attach","msg_id":1,"seg_count":"2","seg_number":0})")),
        nullptr);
    EXPECT_NE(
        DecodeBytes(Datagram(R"({"leader_id":1,"msg":"attach","msg_id":1,"seg_count":2,"seg_number":0})")),
        nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"code":1,"msg":"error","msg_id":1})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"code":1,"msg":"error","msg_id":1,"txt":5})")), nullptr);
    EXPECT_EQ(DecodeBytes(Datagram(R"({"code":-1,"msg":"error","msg_id":1,"txt":""})")), nullptr);
    EXPECT_NE(DecodeBytes(Datagram(R"({"code":0,"msg":"error","msg_id":1,"txt":""})")), nullptr);
}

}  // namespace
