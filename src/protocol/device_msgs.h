// The device messages: every control message a device and the library exchange, with its keys, and the
// factory that makes an empty message of the right class from a received type name.
//
// Reads called required use the throwing accessors of JSON::Value, so a missing key or one of the wrong
// kind makes the datagram undecodable; optional reads never fail and skip malformed values as described
// at each field.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/calendar_time.h"
#include "protocol/json_msg.h"
#include "protocol/msg_fields.h"
#include "protocol/sock_addr.h"

namespace Network {

// ---- messages without fields of their own ----

// "dev_find": discovery request to any device.
struct JsonMsgDevFind : JsonMsg {
    JsonMsgDevFind() : JsonMsg(L"dev_find") {}
};
// "get_dev_info": asks for "dev_info".
struct JsonMsgGetDevInfo : JsonMsg {
    JsonMsgGetDevInfo() : JsonMsg(L"get_dev_info") {}
};
// "get_state": asks for "state".
struct JsonMsgGetState : JsonMsg {
    JsonMsgGetState() : JsonMsg(L"get_state") {}
};
// "get_inputs": asks for "inputs".
struct JsonMsgGetInputs : JsonMsg {
    JsonMsgGetInputs() : JsonMsg(L"get_inputs") {}
};
// "get_fm_freq": asks for "fm_freq".
struct JsonMsgGetFmFreq : JsonMsg {
    JsonMsgGetFmFreq() : JsonMsg(L"get_fm_freq") {}
};
// "get_fm_quality": asks for "fm_quality".
struct JsonMsgGetFmQuality : JsonMsg {
    JsonMsgGetFmQuality() : JsonMsg(L"get_fm_quality") {}
};
// "get_rds_data": asks for "rds_data".
struct JsonMsgGetRdsData : JsonMsg {
    JsonMsgGetRdsData() : JsonMsg(L"get_rds_data") {}
};
// "get_time": the device asks for "cur_time".
struct JsonMsgGetTime : JsonMsg {
    JsonMsgGetTime() : JsonMsg(L"get_time") {}
};
// "get_bypass": asks for "bypass".
struct JsonMsgGetBypass : JsonMsg {
    JsonMsgGetBypass() : JsonMsg(L"get_bypass") {}
};

// ---- "dev_info" ----

// The device's description; every key is written and every key is required on reading.
struct JsonMsgDevInfo : FieldMsg<JsonMsgDevInfo> {
    JsonMsgDevInfo() : FieldMsg(L"dev_info") {}
    static const std::span<const fields::Field<JsonMsgDevInfo>> kFields;

    std::wstring unit_id;                // "unit_id"
    std::wstring unit_type;              // "unit_type": the model text, e.g. "KX410"
    std::uint32_t hardware = 1;          // "hardware"
    std::uint32_t firmware = 1;          // "firmware"
    std::uint32_t software = 1;          // "software"
    std::uint32_t audio_protocol = 1;    // "audio_protocol"
    std::uint32_t control_protocol = 1;  // "control_protocol"
    std::uint32_t rtp_port = 0;          // "rtp_port"
    std::uint32_t inputs = 0;            // "inputs": number of inputs
    std::uint32_t outputs = 0;           // "outputs": number of outputs
};

// ---- "set_state" / "state" ----

// One input of the device.
struct InputEntry {
    // `select`: written as "aes" / "analog".
    static constexpr std::uint32_t kSelectUndefined = 0;
    static constexpr std::uint32_t kSelectDigital = 1;
    static constexpr std::uint32_t kSelectAnalog = 2;
    // `gain`: written as "-10dBu" / "+4dBu".
    static constexpr std::uint32_t kGainUndefined = 0;
    static constexpr std::uint32_t kGainMinus10dBu = 1;
    static constexpr std::uint32_t kGainPlus4dBu = 2;

    std::uint32_t select = kSelectUndefined;  // "select": only 1 and 2 are written
    std::uint32_t gain = kGainUndefined;      // "gain": only 1 and 2 are written
    std::uint32_t freq = 0;                   // "freq": sample frequency in Hz, written when not 0

    friend bool operator==(const InputEntry&, const InputEntry&) = default;
};

// The fields and rules of "set_state" and "state". "device_freq" is taken when it is an Integer (out of
// the 32-bit range throws). "inputs", when an Array, replaces the list: one entry per element, read from
// the element when it is an Object and left at the defaults otherwise.
struct JsonMsgStateData : FieldMsg<JsonMsgStateData> {
    static const std::span<const fields::Field<JsonMsgStateData>> kFields;

    std::uint32_t device_freq = 0;   // "device_freq": written when not 0
    std::vector<InputEntry> inputs;  // "inputs": written when not empty

protected:
    using FieldMsg::FieldMsg;
};

// "set_state": host -> device.
struct JsonMsgSetState : JsonMsgStateData {
    JsonMsgSetState() : JsonMsgStateData(L"set_state") {}
};
// "state": device -> host.
struct JsonMsgState : JsonMsgStateData {
    JsonMsgState() : JsonMsgStateData(L"state") {}
};

// ---- "inputs" ----

// Where the device sends each of its input streams, in input order. Written when not empty: "a.b.c.d:port"
// per valid address, "" per invalid one. On reading "inputs" may be absent; present, it must be an Array.
// A String element is read as "a.b.c.d:port" (anything else there, and any other element, gives a
// cleared address). One address per element.
struct JsonMsgInputs : FieldMsg<JsonMsgInputs> {
    JsonMsgInputs() : FieldMsg(L"inputs") {}
    static const std::span<const fields::Field<JsonMsgInputs>> kFields;

    std::vector<SockAddr> inputs;  // "inputs"
};

// ---- "set_inputs" ----

// One input stream of the device: where to send it.
struct InputRoute {
    bool active = false;  // false: this input is left as it is
    SockAddr addr;        // destination of the stream; invalid with `active` switches the stream off
};

// Written when not empty, one String per entry: the address text (active, valid address), "off" (active,
// invalid address) or "" (inactive). Read as for "inputs": a non-empty String gives an active entry whose
// address is read from it unless it is "off"; "" and non-strings give inactive entries.
struct JsonMsgSetInputs : FieldMsg<JsonMsgSetInputs> {
    JsonMsgSetInputs() : FieldMsg(L"set_inputs") {}
    static const std::span<const fields::Field<JsonMsgSetInputs>> kFields;

    std::vector<InputRoute> inputs;  // "inputs"
};

// ---- "set_fm_freq" / "fm_freq" ----

struct JsonMsgFmFreqData : FieldMsg<JsonMsgFmFreqData> {
    static const std::span<const fields::Field<JsonMsgFmFreqData>> kFields;

    std::vector<std::int32_t> freq;  // "freq": one per tuner, in the device's unit; always written

protected:
    using FieldMsg::FieldMsg;
};

// "set_fm_freq": host -> device.
struct JsonMsgSetFmFreq : JsonMsgFmFreqData {
    JsonMsgSetFmFreq() : JsonMsgFmFreqData(L"set_fm_freq") {}
};
// "fm_freq": device -> host.
struct JsonMsgFmFreq : JsonMsgFmFreqData {
    JsonMsgFmFreq() : JsonMsgFmFreqData(L"fm_freq") {}
};

// ---- "fm_quality" ----

// Five lists, element i of each belonging to tuner i; all always written, all read as integer lists.
struct JsonMsgFmQuality : FieldMsg<JsonMsgFmQuality> {
    JsonMsgFmQuality() : FieldMsg(L"fm_quality") {}
    static const std::span<const fields::Field<JsonMsgFmQuality>> kFields;

    std::vector<std::int32_t> rssi;       // "rssi"
    std::vector<std::int32_t> snr;        // "snr"
    std::vector<std::int32_t> multipath;  // "multipath"
    std::vector<std::int32_t> pilot;      // "pilot"
    std::vector<std::int32_t> valid;      // "valid"
};

// ---- "rds_data" ----

// Three text lists, element i of each belonging to tuner i; all always written, all read as string lists.
struct JsonMsgRdsData : FieldMsg<JsonMsgRdsData> {
    JsonMsgRdsData() : FieldMsg(L"rds_data") {}
    static const std::span<const fields::Field<JsonMsgRdsData>> kFields;

    std::vector<std::wstring> psrv;  // "psrv"
    std::vector<std::wstring> text;  // "text"
    std::vector<std::wstring> time;  // "time"
};

// ---- "cur_time" ----

// A calendar record laid out like the Windows SYSTEMTIME: year, month, day of week, day, hour, minute,
// second, millisecond.
using SystemTime = platform::CalendarTime;

// Length of the text form of a time: "YYYY/MM/DD hh:mm:ss.mmm".
inline constexpr std::size_t kTimeTextLength = 23;

// The 23-character text form, every field zero-padded (the low digits of a field too large for its
// width). The day of week is not part of it.
[[nodiscard]] std::wstring FormatTimeText(const SystemTime& time);
// Parses the 23-character form character by character. False, with `time` unchanged, when the text has
// another length or any character is out of place. The day of week is not set.
bool ParseTimeText(std::wstring_view text, SystemTime& time);

// "td" then "utc", each in the text form. On reading both must be Strings of exactly 23 characters,
// otherwise the error "Both time string parameters are mandatory for 'cur_time' message"; a string that
// does not parse leaves its time as it was.
struct JsonMsgCurTime : FieldMsg<JsonMsgCurTime> {
    // Both times are the current moment: local time and UTC.
    JsonMsgCurTime();
    static const std::span<const fields::Field<JsonMsgCurTime>> kFields;
    ErrInfo Deserialize(const JSON::Value& in) override;

    SystemTime td;   // "td": local date and time
    SystemTime utc;  // "utc": the same moment in UTC
};

// ---- "set_bypass" / "bypass" ----

// "bypass": "on" or "off"; true exactly when it is the String "on".
struct JsonMsgBypassData : FieldMsg<JsonMsgBypassData> {
    static const std::span<const fields::Field<JsonMsgBypassData>> kFields;

    bool bypass = false;

protected:
    using FieldMsg::FieldMsg;
};

// "set_bypass": host -> device.
struct JsonMsgSetBypass : JsonMsgBypassData {
    JsonMsgSetBypass() : JsonMsgBypassData(L"set_bypass") {}
};
// "bypass": device -> host.
struct JsonMsgBypass : JsonMsgBypassData {
    JsonMsgBypass() : JsonMsgBypassData(L"bypass") {}
};

// ---- factory ----

// Makes the message class of every device type name above (exact, case-sensitive); null for any other
// name. Stateless: one instance serves every endpoint.
class AsioDriverJsonMsgFactory final : public IJsonMsgFactory {
public:
    [[nodiscard]] std::unique_ptr<JsonMsg> CreateMsg(const std::wstring& type) const override;

    // The type names the factory knows, in the order of the catalogue.
    [[nodiscard]] static const std::vector<std::wstring>& TypeNames();
};

}  // namespace Network
