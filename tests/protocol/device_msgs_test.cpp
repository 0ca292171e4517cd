#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <vector>

#include "platform/calendar_time.h"
#include "protocol/device_msgs.h"
#include "protocol_test_support.h"

namespace {

using namespace Network;
using protocol_test::Datagram;
using protocol_test::Decode;
using protocol_test::DecodeAs;
using protocol_test::Encode;
using protocol_test::SameMessage;
using protocol_test::TextOf;

// ---- the factory ----

struct CatalogueRow {
    const wchar_t* name;
    std::type_index type;
};

// The catalogue as the devices rely on it, written down independently of the factory's own table.
const std::vector<CatalogueRow>& Catalogue() {
    static const std::vector<CatalogueRow> rows = {
        {L"dev_find", typeid(JsonMsgDevFind)},
        {L"get_dev_info", typeid(JsonMsgGetDevInfo)},
        {L"dev_info", typeid(JsonMsgDevInfo)},
        {L"get_state", typeid(JsonMsgGetState)},
        {L"set_state", typeid(JsonMsgSetState)},
        {L"state", typeid(JsonMsgState)},
        {L"get_inputs", typeid(JsonMsgGetInputs)},
        {L"set_inputs", typeid(JsonMsgSetInputs)},
        {L"inputs", typeid(JsonMsgInputs)},
        {L"get_fm_freq", typeid(JsonMsgGetFmFreq)},
        {L"set_fm_freq", typeid(JsonMsgSetFmFreq)},
        {L"fm_freq", typeid(JsonMsgFmFreq)},
        {L"get_fm_quality", typeid(JsonMsgGetFmQuality)},
        {L"fm_quality", typeid(JsonMsgFmQuality)},
        {L"get_rds_data", typeid(JsonMsgGetRdsData)},
        {L"rds_data", typeid(JsonMsgRdsData)},
        {L"get_time", typeid(JsonMsgGetTime)},
        {L"cur_time", typeid(JsonMsgCurTime)},
        {L"bypass", typeid(JsonMsgBypass)},
        {L"get_bypass", typeid(JsonMsgGetBypass)},
        {L"set_bypass", typeid(JsonMsgSetBypass)},
    };
    return rows;
}

TEST(AsioDriverJsonMsgFactory, MakesTheClassOfEveryTypeName) {
    const AsioDriverJsonMsgFactory factory;
    for (const CatalogueRow& row : Catalogue()) {
        const std::unique_ptr<JsonMsg> msg = factory.CreateMsg(row.name);
        ASSERT_NE(msg, nullptr) << testing::PrintToString(std::wstring(row.name));
        const JsonMsg& ref = *msg;
        EXPECT_EQ(std::type_index(typeid(ref)), row.type) << testing::PrintToString(std::wstring(row.name));
        EXPECT_EQ(msg->type, row.name);
    }
    EXPECT_EQ(AsioDriverJsonMsgFactory::TypeNames().size(), Catalogue().size());
}

TEST(AsioDriverJsonMsgFactory, NamesAreExactAndCaseSensitive) {
    const AsioDriverJsonMsgFactory factory;
    for (const wchar_t* name : {L"STATE", L"State", L"dev_find ", L" get_state", L"fm_freqs", L"", L"ping",
                                L"ack", L"attach", L"error", L"ok", L"idle"}) {
        EXPECT_EQ(factory.CreateMsg(name), nullptr) << testing::PrintToString(std::wstring(name));
    }
}

TEST(AsioDriverJsonMsgFactory, DefaultsOfTheConstructors) {
    JsonMsgDevInfo info;
    EXPECT_EQ(info.hardware, 1u);
    EXPECT_EQ(info.firmware, 1u);
    EXPECT_EQ(info.software, 1u);
    EXPECT_EQ(info.audio_protocol, 1u);
    EXPECT_EQ(info.control_protocol, 1u);
    EXPECT_EQ(info.rtp_port, 0u);
    EXPECT_EQ(info.inputs, 0u);
    EXPECT_EQ(info.outputs, 0u);
    EXPECT_FALSE(JsonMsgBypass().bypass);
    EXPECT_EQ(JsonMsgState().device_freq, 0u);
    EXPECT_FALSE(JsonMsgSetState().req);
}

// ---- every class survives the trip through a datagram ----

std::vector<std::unique_ptr<JsonMsg>> FilledMessages() {
    std::vector<std::unique_ptr<JsonMsg>> v;
    v.push_back(std::make_unique<JsonMsgDevFind>());
    v.push_back(std::make_unique<JsonMsgGetDevInfo>());
    auto info = std::make_unique<JsonMsgDevInfo>();
    info->unit_id = L"A1B2-\u00c4";
    info->unit_type = L"KX410";
    info->hardware = 3;
    info->firmware = 4;
    info->software = 5;
    info->audio_protocol = 6;
    info->control_protocol = 7;
    info->rtp_port = 5004;
    info->inputs = 2;
    info->outputs = 4294967295u;
    v.push_back(std::move(info));
    v.push_back(std::make_unique<JsonMsgGetState>());
    auto setState = std::make_unique<JsonMsgSetState>();
    setState->device_freq = 44100;
    setState->inputs = {{1, 1, 44100}, {2, 2, 0}, {0, 0, 0}};
    v.push_back(std::move(setState));
    auto state = std::make_unique<JsonMsgState>();
    state->device_freq = 48000;
    state->inputs = {{2, 2, 48000}};
    v.push_back(std::move(state));
    v.push_back(std::make_unique<JsonMsgGetInputs>());
    auto setInputs = std::make_unique<JsonMsgSetInputs>();
    setInputs->inputs = {{true, SockAddr(L"10.0.0.5", 5004)}, {true, SockAddr()}, {false, SockAddr()}};
    v.push_back(std::move(setInputs));
    auto inputs = std::make_unique<JsonMsgInputs>();
    inputs->inputs = {SockAddr(L"192.168.0.7", 6000), SockAddr()};
    v.push_back(std::move(inputs));
    v.push_back(std::make_unique<JsonMsgGetFmFreq>());
    auto setFreq = std::make_unique<JsonMsgSetFmFreq>();
    setFreq->freq = {87500, 108000, -1, 2147483647, -2147483647 - 1};
    v.push_back(std::move(setFreq));
    auto freq = std::make_unique<JsonMsgFmFreq>();
    freq->freq = {99100};
    v.push_back(std::move(freq));
    v.push_back(std::make_unique<JsonMsgGetFmQuality>());
    auto quality = std::make_unique<JsonMsgFmQuality>();
    quality->rssi = {40, 41};
    quality->snr = {20, 21};
    quality->multipath = {1, 2};
    quality->pilot = {0, 1};
    quality->valid = {1, 0};
    v.push_back(std::move(quality));
    v.push_back(std::make_unique<JsonMsgGetRdsData>());
    auto rds = std::make_unique<JsonMsgRdsData>();
    rds->psrv = {L"RADIO 1", L""};
    rds->text = {L"News/Weather \"live\"", L"\u00fc\u00df"};
    rds->time = {L"12:00", L"13:00"};
    v.push_back(std::move(rds));
    v.push_back(std::make_unique<JsonMsgGetTime>());
    v.push_back(std::make_unique<JsonMsgCurTime>());
    auto bypass = std::make_unique<JsonMsgBypass>();
    bypass->bypass = true;
    v.push_back(std::move(bypass));
    v.push_back(std::make_unique<JsonMsgGetBypass>());
    v.push_back(std::make_unique<JsonMsgSetBypass>());
    return v;
}

TEST(DeviceMsgRoundTrip, EveryClassDecodesBackToTheSameKeys) {
    const AsioDriverJsonMsgFactory factory;
    const std::vector<std::unique_ptr<JsonMsg>> msgs = FilledMessages();
    ASSERT_EQ(msgs.size(), Catalogue().size());
    for (const auto& original : msgs) {
        original->ack_msg_id = 99;
        const std::vector<std::uint8_t> bytes = Encode(*original);
        const auto back = protocol_test::DecodeBytes(bytes, &factory);
        ASSERT_NE(back, nullptr) << TextOf(bytes);
        EXPECT_TRUE(SameMessage(*original, *back)) << TextOf(bytes);
        EXPECT_EQ(back->msg_id, original->msg_id);
        EXPECT_EQ(back->ack_msg_id, 99u);
        // And the decoded message prints exactly the same datagram again.
        EXPECT_EQ(Encode(*back), bytes);
    }
}

TEST(DeviceMsgRoundTrip, FieldsComeBackUnchanged) {
    JsonMsgDevInfo info;
    info.unit_id = L"SN-77";
    info.unit_type = L"KX260";
    info.rtp_port = 5004;
    info.inputs = 2;
    info.outputs = 2;
    auto back = DecodeAs<JsonMsgDevInfo>(TextOf(Encode(info)));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->unit_id, L"SN-77");
    EXPECT_EQ(back->unit_type, L"KX260");
    EXPECT_EQ(back->rtp_port, 5004u);
    EXPECT_EQ(back->inputs, 2u);
    EXPECT_EQ(back->outputs, 2u);

    JsonMsgSetState s;
    s.device_freq = 44100;
    s.inputs = {{1, 1, 44100}, {2, 2, 0}, {0, 0, 0}};
    auto sBack = DecodeAs<JsonMsgSetState>(TextOf(Encode(s)));
    ASSERT_NE(sBack, nullptr);
    EXPECT_EQ(sBack->device_freq, 44100u);
    EXPECT_EQ(sBack->inputs, s.inputs);
    EXPECT_EQ(DecodeAs<JsonMsgState>(TextOf(Encode(s))), nullptr);  // "set_state" is not "state"
}

// ---- exact texts ----

TEST(DeviceMsgText, StateExampleIsExact) {
    JsonMsgState state;
    state.msg_id = 12;
    state.device_freq = 48000;
    state.inputs = {{InputEntry::kSelectAnalog, InputEntry::kGainPlus4dBu, 48000}};
    const std::string text =
        R"({"device_freq":48000,"inputs":[{"freq":48000,"gain":"+4dBu","select":"analog"}],"msg":"state","msg_id":12})";
    EXPECT_EQ(Encode(state), Datagram(text));

    auto back = DecodeAs<JsonMsgState>(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->msg_id, 12u);
    EXPECT_EQ(back->device_freq, 48000u);
    ASSERT_EQ(back->inputs.size(), 1u);
    EXPECT_EQ(back->inputs[0].select, InputEntry::kSelectAnalog);
    EXPECT_EQ(back->inputs[0].gain, InputEntry::kGainPlus4dBu);
    EXPECT_EQ(back->inputs[0].freq, 48000u);
}

TEST(DeviceMsgText, EmptyStateWritesOnlyTheBaseKeys) {
    JsonMsgState state;
    state.msg_id = 4;
    EXPECT_EQ(TextOf(Encode(state)), R"({"msg":"state","msg_id":4})");
    state.inputs = {{0, 0, 0}, {1, 1, 0}, {3, 3, 0}};
    EXPECT_EQ(TextOf(Encode(state)),
              R"({"inputs":[{},{"gain":"-10dBu","select":"aes"},{}],"msg":"state","msg_id":4})");
}

TEST(DeviceMsgText, SetInputsWritesAddressOffOrEmpty) {
    JsonMsgSetInputs m;
    m.msg_id = 2;
    m.inputs = {{true, SockAddr(L"10.0.0.5", 5004)}, {true, SockAddr()}, {false, SockAddr(L"10.0.0.6", 1)}};
    EXPECT_EQ(TextOf(Encode(m)), R"({"inputs":["10.0.0.5:5004","off",""],"msg":"set_inputs","msg_id":2})");
    m.inputs.clear();
    EXPECT_EQ(TextOf(Encode(m)), R"({"msg":"set_inputs","msg_id":2})");
}

TEST(DeviceMsgText, InputsWritesValidAddressesAndEmptyForInvalidOnes) {
    JsonMsgInputs m;
    m.msg_id = 2;
    m.inputs = {SockAddr(L"10.0.0.5", 5004), SockAddr()};
    EXPECT_EQ(TextOf(Encode(m)), R"({"inputs":["10.0.0.5:5004",""],"msg":"inputs","msg_id":2})");
}

TEST(DeviceMsgText, ListsAreAlwaysWritten) {
    JsonMsgFmQuality q;
    q.msg_id = 1;
    EXPECT_EQ(TextOf(Encode(q)),
              R"({"msg":"fm_quality","msg_id":1,"multipath":[],"pilot":[],"rssi":[],"snr":[],"valid":[]})");
    JsonMsgFmFreq f;
    f.msg_id = 1;
    EXPECT_EQ(TextOf(Encode(f)), R"({"freq":[],"msg":"fm_freq","msg_id":1})");
    f.freq = {87500, -3};
    EXPECT_EQ(TextOf(Encode(f)), R"({"freq":[87500,-3],"msg":"fm_freq","msg_id":1})");
    JsonMsgRdsData r;
    r.msg_id = 1;
    r.text = {L"a", L"b"};
    EXPECT_EQ(TextOf(Encode(r)), R"({"msg":"rds_data","msg_id":1,"psrv":[],"text":["a","b"],"time":[]})");
}

TEST(DeviceMsgText, BypassAndDeviceInfo) {
    JsonMsgSetBypass b;
    b.msg_id = 6;
    EXPECT_EQ(TextOf(Encode(b)), R"({"bypass":"off","msg":"set_bypass","msg_id":6})");
    b.bypass = true;
    EXPECT_EQ(TextOf(Encode(b)), R"({"bypass":"on","msg":"set_bypass","msg_id":6})");

    JsonMsgDevInfo d;
    d.msg_id = 9;
    d.unit_id = L"X";
    d.unit_type = L"KX9";
    EXPECT_EQ(
        TextOf(Encode(d)),
        R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":0,"msg":"dev_info",)"
        R"("msg_id":9,"outputs":0,"rtp_port":0,"software":1,"unit_id":"X","unit_type":"KX9"})");
}

// ---- reading rules ----

TEST(DeviceMsgRead, StateInputsFollowTheEntryRules) {
    auto none = DecodeAs<JsonMsgState>(R"({"msg":"state","msg_id":1})");
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(none->inputs.empty());
    EXPECT_EQ(none->device_freq, 0u);

    auto two = DecodeAs<JsonMsgState>(R"({"inputs":[1,{"select":"aes"}],"msg":"state","msg_id":1})");
    ASSERT_NE(two, nullptr);
    ASSERT_EQ(two->inputs.size(), 2u);
    EXPECT_EQ(two->inputs[0], InputEntry{});
    EXPECT_EQ(two->inputs[1].select, InputEntry::kSelectDigital);
    EXPECT_EQ(two->inputs[1].gain, 0u);

    auto odd = DecodeAs<JsonMsgState>(
        R"({"device_freq":"44100","inputs":[{"freq":"1","gain":"+4DBU","select":"AES"},{"gain":"-10dBu","select":2}],)"
        R"("msg":"state","msg_id":1})");
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->device_freq, 0u);
    ASSERT_EQ(odd->inputs.size(), 2u);
    EXPECT_EQ(odd->inputs[0], InputEntry{});
    EXPECT_EQ(odd->inputs[1].gain, InputEntry::kGainMinus10dBu);
    EXPECT_EQ(odd->inputs[1].select, 0u);

    auto notArray = DecodeAs<JsonMsgState>(R"({"inputs":{"select":"aes"},"msg":"state","msg_id":1})");
    ASSERT_NE(notArray, nullptr);
    EXPECT_TRUE(notArray->inputs.empty());

    // Integers out of the 32-bit range make the datagram undecodable.
    EXPECT_EQ(Decode(R"({"device_freq":-1,"msg":"state","msg_id":1})"), nullptr);
    EXPECT_EQ(Decode(R"({"inputs":[{"freq":4294967296}],"msg":"state","msg_id":1})"), nullptr);
}

TEST(DeviceMsgRead, InputsNeedAnArrayAndGiveOneAddressPerElement) {
    auto m = DecodeAs<JsonMsgInputs>(
        R"({"inputs":["10.0.0.5:5004",7,"garbage","","host.example:80","10.0.0.6:"],"msg":"inputs","msg_id":1})");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->inputs.size(), 6u);
    EXPECT_EQ(m->inputs[0], SockAddr(L"10.0.0.5", 5004));
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(m->inputs[i], SockAddr()) << i;
    }
    EXPECT_TRUE(m->inputs[5].IsValid());
    EXPECT_EQ(m->inputs[5].GetPort(), 0);

    auto absent = DecodeAs<JsonMsgInputs>(R"({"msg":"inputs","msg_id":1})");
    ASSERT_NE(absent, nullptr);
    EXPECT_TRUE(absent->inputs.empty());
    EXPECT_EQ(Decode(R"({"inputs":"10.0.0.5:5004","msg":"inputs","msg_id":1})"), nullptr);
    EXPECT_EQ(Decode(R"({"inputs":{},"msg":"inputs","msg_id":1})"), nullptr);
}

TEST(DeviceMsgRead, SetInputsEntries) {
    auto m = DecodeAs<JsonMsgSetInputs>(
        R"({"inputs":["10.0.0.5:5004","off","",3,"junk"],"msg":"set_inputs","msg_id":1})");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->inputs.size(), 5u);
    EXPECT_TRUE(m->inputs[0].active);
    EXPECT_EQ(m->inputs[0].addr, SockAddr(L"10.0.0.5", 5004));
    EXPECT_TRUE(m->inputs[1].active);
    EXPECT_FALSE(m->inputs[1].addr.IsValid());
    EXPECT_FALSE(m->inputs[2].active);
    EXPECT_FALSE(m->inputs[3].active);
    EXPECT_FALSE(m->inputs[3].addr.IsValid());
    EXPECT_TRUE(m->inputs[4].active);  // a non-empty text switches the input, an unreadable one off
    EXPECT_FALSE(m->inputs[4].addr.IsValid());
    EXPECT_EQ(Decode(R"({"inputs":5,"msg":"set_inputs","msg_id":1})"), nullptr);
}

TEST(DeviceMsgRead, IntegerListStopsAtTheFirstElementThatIsNotA32BitInteger) {
    auto a = DecodeAs<JsonMsgFmFreq>(R"({"freq":[1,"2",3],"msg":"fm_freq","msg_id":1})");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->freq, (std::vector<std::int32_t>{1}));
    auto b = DecodeAs<JsonMsgFmFreq>(
        R"({"freq":[-2147483648,2147483647,2147483648,5],"msg":"fm_freq","msg_id":1})");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->freq, (std::vector<std::int32_t>{-2147483647 - 1, 2147483647}));
    auto c = DecodeAs<JsonMsgFmFreq>(R"({"freq":"87500","msg":"fm_freq","msg_id":1})");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->freq.empty());
    auto d = DecodeAs<JsonMsgFmFreq>(R"({"freq":[1.5],"msg":"fm_freq","msg_id":1})");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->freq.empty());

    auto q = DecodeAs<JsonMsgFmQuality>(
        R"({"msg":"fm_quality","msg_id":1,"multipath":[5,null],"pilot":[1,2],"rssi":[30],"valid":7})");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->rssi, (std::vector<std::int32_t>{30}));
    EXPECT_TRUE(q->snr.empty());
    EXPECT_EQ(q->multipath, (std::vector<std::int32_t>{5}));
    EXPECT_EQ(q->pilot, (std::vector<std::int32_t>{1, 2}));
    EXPECT_TRUE(q->valid.empty());
}

TEST(DeviceMsgRead, StringListStopsAtTheFirstNonString) {
    auto r = DecodeAs<JsonMsgRdsData>(
        R"({"msg":"rds_data","msg_id":1,"psrv":["A",1,"B"],"text":["x\/y","z"],"time":{}})");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->psrv, (std::vector<std::wstring>{L"A"}));
    EXPECT_EQ(r->text, (std::vector<std::wstring>{L"x/y", L"z"}));
    EXPECT_TRUE(r->time.empty());
}

TEST(DeviceMsgRead, BypassIsOnOnlyForTheExactText) {
    const char* texts[] = {R"({"bypass":"ON","msg":"bypass","msg_id":1})",
                           R"({"bypass":1,"msg":"bypass","msg_id":1})",
                           R"({"bypass":true,"msg":"bypass","msg_id":1})", R"({"msg":"bypass","msg_id":1})",
                           R"({"bypass":"off","msg":"bypass","msg_id":1})"};
    for (const char* text : texts) {
        auto b = DecodeAs<JsonMsgBypass>(text);
        ASSERT_NE(b, nullptr) << text;
        EXPECT_FALSE(b->bypass) << text;
    }
    auto on = DecodeAs<JsonMsgBypass>(R"({"bypass":"on","msg":"bypass","msg_id":1})");
    ASSERT_NE(on, nullptr);
    EXPECT_TRUE(on->bypass);
}

TEST(DeviceMsgRead, DeviceInfoNeedsEveryKey) {
    const std::string full =
        R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,"msg":"dev_info",)"
        R"("msg_id":9,"outputs":0,"rtp_port":5004,"software":1,"unit_id":"X","unit_type":"KX410"})";
    ASSERT_NE(DecodeAs<JsonMsgDevInfo>(full), nullptr);
    for (const char* key :
         {"\"rtp_port\":5004,", "\"unit_id\":\"X\",", "\"hardware\":1,", "\"outputs\":0,"}) {
        std::string text = full;
        text.erase(text.find(key), std::string(key).size());
        EXPECT_EQ(Decode(text), nullptr) << text;
    }
    std::string wrongKind = full;
    wrongKind.replace(wrongKind.find("\"KX410\""), 7, "410");
    EXPECT_EQ(Decode(wrongKind), nullptr);
    std::string negative = full;
    negative.replace(negative.find("\"inputs\":2"), 10, "\"inputs\":-2");
    EXPECT_EQ(Decode(negative), nullptr);
}

// ---- "cur_time" ----

TEST(CurTimeText, FormatIsFixedWidthAndZeroPadded) {
    SystemTime t;
    t.year = 2024;
    t.month = 1;
    t.dayOfWeek = 4;
    t.day = 25;
    t.hour = 19;
    t.minute = 4;
    t.second = 28;
    t.millisecond = 15;
    EXPECT_EQ(FormatTimeText(t), L"2024/01/25 19:04:28.015");
    SystemTime zero;
    EXPECT_EQ(FormatTimeText(zero), L"0000/00/00 00:00:00.000");
    SystemTime big;
    big.year = 12345;
    big.millisecond = 1000;
    EXPECT_EQ(FormatTimeText(big).size(), kTimeTextLength);
}

TEST(CurTimeText, ParseReadsEveryFieldButTheDayOfWeek) {
    SystemTime t;
    t.dayOfWeek = 6;
    ASSERT_TRUE(ParseTimeText(L"2023/12/31 23:59:58.999", t));
    EXPECT_EQ(t.year, 2023);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 58);
    EXPECT_EQ(t.millisecond, 999);
    EXPECT_EQ(t.dayOfWeek, 6);
}

TEST(CurTimeText, AnyCharacterOutOfPlaceLeavesTheTimeUnchanged) {
    const std::wstring good = L"2023/12/31 23:59:58.999";
    SystemTime before;
    before.year = 1999;
    before.month = 2;
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::wstring bad = good;
        bad[i] = (bad[i] >= L'0' && bad[i] <= L'9') ? L'x' : L'5';
        SystemTime t = before;
        EXPECT_FALSE(ParseTimeText(bad, t)) << i;
        EXPECT_EQ(t, before) << i;
    }
    SystemTime t = before;
    EXPECT_FALSE(ParseTimeText(L"2023/12/31 23:59:58.99", t));
    EXPECT_FALSE(ParseTimeText(L"2023/12/31 23:59:58.9999", t));
    EXPECT_EQ(t, before);
}

TEST(CurTimeMsg, ConstructorTakesTheCurrentMomentInLocalTimeAndUtc) {
    const std::int64_t before = platform::UnixTimeMs();
    JsonMsgCurTime m;
    const std::int64_t after = platform::UnixTimeMs();
    auto toMs = [](const SystemTime& t) {
        return ((platform::DayNumber(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000 +
               t.second * 1000 + t.millisecond;
    };
    EXPECT_GE(toMs(m.utc), before);
    EXPECT_LE(toMs(m.utc), after);
    // Local time is UTC moved by the zone's offset at that moment.
    EXPECT_EQ(m.td, platform::LocalTimeFromUnixMs(toMs(m.utc)));
}

TEST(CurTimeMsg, TextOnTheWireEscapesTheSolidus) {
    JsonMsgCurTime m;
    m.msg_id = 5;
    ASSERT_TRUE(ParseTimeText(L"2024/01/25 19:04:28.015", m.td));
    ASSERT_TRUE(ParseTimeText(L"2024/01/25 18:04:28.015", m.utc));
    EXPECT_EQ(
        TextOf(Encode(m)),
        R"({"msg":"cur_time","msg_id":5,"td":"2024\/01\/25 19:04:28.015","utc":"2024\/01\/25 18:04:28.015"})");
    auto back = DecodeAs<JsonMsgCurTime>(TextOf(Encode(m)));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(FormatTimeText(back->td), L"2024/01/25 19:04:28.015");
    EXPECT_EQ(FormatTimeText(back->utc), L"2024/01/25 18:04:28.015");
}

TEST(CurTimeMsg, BothTimesMustBe23CharacterStrings) {
    const char* bad[] = {
        R"({"msg":"cur_time","msg_id":5,"td":"2024/01/25 19:04:28.01","utc":"2024/01/25 18:04:28.015"})",
        R"({"msg":"cur_time","msg_id":5,"td":"2024/01/25 19:04:28.015"})",
        R"({"msg":"cur_time","msg_id":5,"utc":"2024/01/25 19:04:28.015"})",
        R"({"msg":"cur_time","msg_id":5,"td":"2024/01/25 19:04:28.015","utc":20240125})",
    };
    for (const char* text : bad) {
        EXPECT_EQ(Decode(text), nullptr) << text;
    }

    JSON::Value v;
    ASSERT_TRUE(JSON::ParseText(bad[0], v));
    JsonMsgCurTime m;
    ErrInfo err = m.Deserialize(v);
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetText(), L"Both time string parameters are mandatory for 'cur_time' message");
    EXPECT_STREQ(err.Method(), "Network::JsonMsgCurTime::Deserialize");
    err.MarkHandled();
}

TEST(CurTimeMsg, UnparsableTimeOfTheRightLengthIsKeptWithoutError) {
    auto m = DecodeAs<JsonMsgCurTime>(
        R"({"msg":"cur_time","msg_id":5,"td":"2024-01-25 19:04:28.015","utc":"2024/01/25 18:04:28.015"})");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(FormatTimeText(m->utc), L"2024/01/25 18:04:28.015");
    EXPECT_NE(FormatTimeText(m->td), L"2024/01/25 19:04:28.015");
    EXPECT_NE(m->td.year, 0);  // still the moment the message was made
}

}  // namespace
