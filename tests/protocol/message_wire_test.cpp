// Every message kind on the wire: the exact datagram each one prints, read back to the same message, and
// the reading rules for keys that are absent, malformed or of the wrong kind.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "protocol/device_msgs.h"
#include "protocol_test_support.h"

namespace {

using namespace Network;
using namespace protocol_test;

template <class T>
std::unique_ptr<JsonMsg> New() {
    return std::make_unique<T>();
}

using Filler = std::function<void(JsonMsg&)>;
template <class T>
Filler Fill(void (*fill)(T&)) {
    return [fill](JsonMsg& m) { fill(dynamic_cast<T&>(m)); };
}

struct WireRow {
    std::unique_ptr<JsonMsg> (*make)();
    Filler fill;       // the values of the message's own fields
    const char* text;  // the datagram's text; one zero byte (and the attachment) follow
};

const WireRow kWireRows[] = {
    {&New<JsonMsgAck>, Fill<JsonMsg>([](JsonMsg& m) { m.ack_msg_id = 9; }),
     R"({"ack_msg_id":9,"msg":"ack","msg_id":1})"},
    {&New<JsonMsgAtt>, Fill<JsonMsgAtt>([](JsonMsgAtt& m) {
         m.leader_id = 1234;
         m.seg_count = 3;
         m.seg_number = 2;
         m.att = {0xDE, 0x00, 0xAD};
         m.att_size = 3;
     }),
     R"({"att":3,"leader_id":1234,"msg":"attach","msg_id":1,"seg_count":3,"seg_number":2})"},
    {&New<JsonMsgError>, Fill<JsonMsgError>([](JsonMsgError& m) {
         m.code = 4000000000u;
         m.txt = L"disk \"full\" \u00e9\u20ac";
     }),
     "{\"code\":4000000000,\"msg\":\"error\",\"msg_id\":1,\"txt\":\"disk \\\"full\\\" "
     "\xC3\xA9\xE2\x82\xAC\"}"},
    {&New<JsonMsgIdle>, nullptr, R"({"msg":"idle","msg_id":1})"},
    {&New<JsonMsgPing>, nullptr, R"({"msg":"ping","msg_id":1})"},
    {&New<JsonMsgDevFind>, nullptr, R"({"msg":"dev_find","msg_id":1})"},
    {&New<JsonMsgGetDevInfo>, nullptr, R"({"msg":"get_dev_info","msg_id":1})"},
    {&New<JsonMsgDevInfo>, Fill<JsonMsgDevInfo>([](JsonMsgDevInfo& m) {
         m.unit_id = L"A1-\u00c4";
         m.unit_type = L"KX410";
         std::uint32_t n = 3;
         for (auto field : {&JsonMsgDevInfo::hardware, &JsonMsgDevInfo::firmware, &JsonMsgDevInfo::software,
                            &JsonMsgDevInfo::audio_protocol, &JsonMsgDevInfo::control_protocol}) {
             m.*field = n++;
         }
         m.rtp_port = 5004;
         m.inputs = 2;
         m.outputs = 4294967295u;
     }),
     "{\"audio_protocol\":6,\"control_protocol\":7,\"firmware\":4,\"hardware\":3,\"inputs\":2,\"msg\":\"dev_"
     "info\","
     "\"msg_id\":1,\"outputs\":4294967295,\"rtp_port\":5004,\"software\":5,\"unit_id\":\"A1-\xC3\x84\","
     "\"unit_type\":\"KX410\"}"},
    {&New<JsonMsgGetState>, nullptr, R"({"msg":"get_state","msg_id":1})"},
    {&New<JsonMsgSetState>, Fill<JsonMsgStateData>([](JsonMsgStateData& m) {
         m.device_freq = 44100;
         m.inputs = {{1, 1, 44100}, {2, 2, 0}, {0, 0, 0}};
     }),
     R"({"device_freq":44100,"inputs":[{"freq":44100,"gain":"-10dBu","select":"aes"},)"
     R"({"gain":"+4dBu","select":"analog"},{}],"msg":"set_state","msg_id":1})"},
    {&New<JsonMsgState>, Fill<JsonMsgStateData>([](JsonMsgStateData& m) {
         m.msg_id = 12;
         m.device_freq = 48000;
         m.inputs = {{InputEntry::kSelectAnalog, InputEntry::kGainPlus4dBu, 48000}};
     }),
     R"({"device_freq":48000,"inputs":[{"freq":48000,"gain":"+4dBu","select":"analog"}],"msg":"state","msg_id":12})"},
    {&New<JsonMsgState>, nullptr, R"({"msg":"state","msg_id":1})"},
    {&New<JsonMsgGetInputs>, nullptr, R"({"msg":"get_inputs","msg_id":1})"},
    {&New<JsonMsgSetInputs>, Fill<JsonMsgSetInputs>([](JsonMsgSetInputs& m) {
         m.inputs = {{true, SockAddr(L"10.0.0.5", 5004)}, {true, SockAddr()}, {false, SockAddr()}};
     }),
     R"({"inputs":["10.0.0.5:5004","off",""],"msg":"set_inputs","msg_id":1})"},
    {&New<JsonMsgInputs>, Fill<JsonMsgInputs>([](JsonMsgInputs& m) {
         m.inputs = {SockAddr(L"192.168.0.7", 6000), SockAddr()};
     }),
     R"({"inputs":["192.168.0.7:6000",""],"msg":"inputs","msg_id":1})"},
    {&New<JsonMsgGetFmFreq>, nullptr, R"({"msg":"get_fm_freq","msg_id":1})"},
    {&New<JsonMsgSetFmFreq>, Fill<JsonMsgFmFreqData>([](JsonMsgFmFreqData& m) {
         m.freq = {87500, -1, 2147483647, -2147483647 - 1};
     }),
     R"({"freq":[87500,-1,2147483647,-2147483648],"msg":"set_fm_freq","msg_id":1})"},
    {&New<JsonMsgFmFreq>, nullptr, R"({"freq":[],"msg":"fm_freq","msg_id":1})"},
    {&New<JsonMsgGetFmQuality>, nullptr, R"({"msg":"get_fm_quality","msg_id":1})"},
    {&New<JsonMsgFmQuality>, Fill<JsonMsgFmQuality>([](JsonMsgFmQuality& m) {
         m.rssi = {40, 41};
         m.snr = {20, 21};
         m.multipath = {1, 2};
         m.pilot = {0, 1};
         m.valid = {1, 0};
     }),
     R"({"msg":"fm_quality","msg_id":1,"multipath":[1,2],"pilot":[0,1],"rssi":[40,41],"snr":[20,21],"valid":[1,0]})"},
    {&New<JsonMsgFmQuality>, nullptr,
     R"({"msg":"fm_quality","msg_id":1,"multipath":[],"pilot":[],"rssi":[],"snr":[],"valid":[]})"},
    {&New<JsonMsgGetRdsData>, nullptr, R"({"msg":"get_rds_data","msg_id":1})"},
    {&New<JsonMsgRdsData>, Fill<JsonMsgRdsData>([](JsonMsgRdsData& m) {
         m.psrv = {L"RADIO 1", L""};
         m.text = {L"News/Weather", L"\u00fc"};
         m.time = {L"12:00", L"13:00"};
     }),
     "{\"msg\":\"rds_data\",\"msg_id\":1,\"psrv\":[\"RADIO "
     "1\",\"\"],\"text\":[\"News\\/Weather\",\"\xC3\xBC\"],"
     "\"time\":[\"12:00\",\"13:00\"]}"},
    {&New<JsonMsgGetTime>, nullptr, R"({"msg":"get_time","msg_id":1})"},
    {&New<JsonMsgCurTime>, Fill<JsonMsgCurTime>([](JsonMsgCurTime& m) {
         ParseTimeText(L"2024/01/25 19:04:28.015", m.td);
         ParseTimeText(L"2024/01/25 18:04:28.015", m.utc);
     }),
     R"({"msg":"cur_time","msg_id":1,"td":"2024\/01\/25 19:04:28.015","utc":"2024\/01\/25 18:04:28.015"})"},
    {&New<JsonMsgBypass>, Fill<JsonMsgBypassData>([](JsonMsgBypassData& m) { m.bypass = true; }),
     R"({"bypass":"on","msg":"bypass","msg_id":1})"},
    {&New<JsonMsgGetBypass>, nullptr, R"({"msg":"get_bypass","msg_id":1})"},
    {&New<JsonMsgSetBypass>, nullptr, R"({"bypass":"off","msg":"set_bypass","msg_id":1})"},
};

TEST(MessageWire, EveryKindPrintsItsExactBytesAndReadsBackTheSame) {
    std::set<std::wstring> types;
    for (const WireRow& row : kWireRows) {
        SCOPED_TRACE(row.text);
        const std::unique_ptr<JsonMsg> msg = row.make();
        msg->msg_id = 1;
        if (row.fill) {
            row.fill(*msg);
        }
        const std::vector<std::uint8_t> bytes = Datagram(row.text, msg->att);
        EXPECT_EQ(Encode(*msg), bytes) << TextOf(Encode(*msg));
        const std::unique_ptr<JsonMsg> back = Decode(bytes);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(typeid(*back), typeid(*msg));
        EXPECT_EQ(Encode(*back), bytes);
        types.insert(msg->type);
    }
    // Every name of the catalogue has a row.
    for (const std::wstring& name : AsioDriverJsonMsgFactory::TypeNames()) {
        EXPECT_EQ(types.count(name), 1u) << testing::PrintToString(name);
    }
}

// A datagram as the peer may send it, and what the message it decodes to prints ("" when it decodes to
// nothing).
TEST(MessageWire, ReadingRules) {
    const std::pair<const char*, const char*> rows[] = {
        // Required keys missing or of the wrong kind refuse the datagram.
        {R"({"leader_id":1,"msg":"attach","msg_id":1,"seg_number":0})", ""},
        {R"({"code":1,"msg":"error","msg_id":1})", ""},
        {R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,"msg":"dev_info",)"
         R"("msg_id":9,"outputs":0,"software":1,"unit_id":"X","unit_type":"KX410"})",
         ""},
        {R"({"audio_protocol":1,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,"msg":"dev_info",)"
         R"("msg_id":9,"outputs":0,"rtp_port":1,"software":1,"unit_id":"X","unit_type":410})",
         ""},
        // "state": optional keys, entries read by their own rules, integers out of range refuse.
        {R"({"inputs":[1,{"select":"aes"}],"msg":"state","msg_id":1})",
         R"({"inputs":[{},{"select":"aes"}],"msg":"state","msg_id":1})"},
        {R"({"device_freq":"44100","inputs":[{"freq":"1","gain":"+4DBU","select":"AES"},{"gain":"-10dBu","select":2}],)"
         R"("msg":"state","msg_id":1})",
         R"({"inputs":[{},{"gain":"-10dBu"}],"msg":"state","msg_id":1})"},
        {R"({"inputs":{"select":"aes"},"msg":"state","msg_id":1})", R"({"msg":"state","msg_id":1})"},
        {R"({"inputs":[{"freq":4294967296}],"msg":"set_state","msg_id":1})", ""},
        // Address lists: one entry per element; the key may be absent but not of another kind.
        {R"({"inputs":["10.0.0.5:5004",7,"garbage","","host.example:80","10.0.0.6:"],"msg":"inputs","msg_id":1})",
         R"({"inputs":["10.0.0.5:5004","","","","","10.0.0.6:0"],"msg":"inputs","msg_id":1})"},
        {R"({"msg":"inputs","msg_id":1})", R"({"msg":"inputs","msg_id":1})"},
        {R"({"inputs":["10.0.0.5:5004","off","",3,"junk"],"msg":"set_inputs","msg_id":1})",
         R"({"inputs":["10.0.0.5:5004","off","","","off"],"msg":"set_inputs","msg_id":1})"},
        {R"({"inputs":5,"msg":"set_inputs","msg_id":1})", ""},
        // Lists stop at the first element of another kind.
        {R"({"freq":[1,"2",3],"msg":"fm_freq","msg_id":1})", R"({"freq":[1],"msg":"fm_freq","msg_id":1})"},
        {R"({"freq":[-2147483648,2147483647,2147483648,5],"msg":"fm_freq","msg_id":1})",
         R"({"freq":[-2147483648,2147483647],"msg":"fm_freq","msg_id":1})"},
        {R"({"msg":"fm_quality","msg_id":1,"multipath":[5,null],"pilot":[1,2],"rssi":[30],"valid":7})",
         R"({"msg":"fm_quality","msg_id":1,"multipath":[5],"pilot":[1,2],"rssi":[30],"snr":[],"valid":[]})"},
        {R"({"msg":"rds_data","msg_id":1,"psrv":["A",1,"B"],"text":["x\/y","z"],"time":{}})",
         R"({"msg":"rds_data","msg_id":1,"psrv":["A"],"text":["x\/y","z"],"time":[]})"},
        {R"({"msg":"STATE","msg_id":1})", ""},  // type names are exact
        // "bypass" is on only for the exact text.
        {R"({"bypass":"ON","msg":"bypass","msg_id":1})", R"({"bypass":"off","msg":"bypass","msg_id":1})"},
        {R"({"msg":"bypass","msg_id":1})", R"({"bypass":"off","msg":"bypass","msg_id":1})"},
        // "cur_time" needs both times as 23-character texts.
        {R"({"msg":"cur_time","msg_id":5,"td":"2024/01/25 19:04:28.01","utc":"2024/01/25 18:04:28.015"})",
         ""},
        {R"({"msg":"cur_time","msg_id":5,"td":"2024/01/25 19:04:28.015"})", ""},
    };
    for (const auto& [sent, printed] : rows) {
        const std::unique_ptr<JsonMsg> msg = Decode(Datagram(sent));
        EXPECT_EQ(msg ? TextOf(Encode(*msg)) : "", printed) << sent;
    }
}

TEST(CurTime, AnyCharacterOutOfPlaceLeavesTheTimeUnchanged) {
    const std::wstring good = L"2023/12/31 23:59:58.999";
    SystemTime before;
    before.year = 1999;
    SystemTime t;
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::wstring bad = good;
        bad[i] = (bad[i] >= L'0' && bad[i] <= L'9') ? L'x' : L'5';
        t = before;
        EXPECT_FALSE(ParseTimeText(bad, t)) << i;
        EXPECT_EQ(t, before) << i;
    }
    EXPECT_FALSE(ParseTimeText(L"2023/12/31 23:59:58.9999", t));
}

TEST(CurTime, ConstructorTakesTheCurrentMomentInLocalTimeAndUtc) {
    const std::int64_t before = platform::UnixTimeMs();
    JsonMsgCurTime m;
    const std::int64_t after = platform::UnixTimeMs();
    const std::int64_t utcMs =
        ((platform::DayNumber(m.utc.year, m.utc.month, m.utc.day) * 24 + m.utc.hour) * 60 + m.utc.minute) *
            60000 +
        m.utc.second * 1000 + m.utc.millisecond;
    EXPECT_GE(utcMs, before);
    EXPECT_LE(utcMs, after);
    EXPECT_EQ(m.td, platform::LocalTimeFromUnixMs(utcMs));
}

}  // namespace
