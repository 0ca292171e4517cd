#include "protocol/device_msgs.h"

#include <utility>

#include "protocol/msg_fields.h"

namespace Network {

namespace {

const wchar_t* SelectText(std::uint32_t select) {
    switch (select) {
        case InputEntry::kSelectDigital:
            return L"aes";
        case InputEntry::kSelectAnalog:
            return L"analog";
        default:
            return nullptr;
    }
}

const wchar_t* GainText(std::uint32_t gain) {
    switch (gain) {
        case InputEntry::kGainMinus10dBu:
            return L"-10dBu";
        case InputEntry::kGainPlus4dBu:
            return L"+4dBu";
        default:
            return nullptr;
    }
}

void ReadInputEntry(const JSON::Value& element, InputEntry& entry) {
    if (const std::wstring* s = fields::OptionalString(element, L"select")) {
        if (*s == L"aes") {
            entry.select = InputEntry::kSelectDigital;
        } else if (*s == L"analog") {
            entry.select = InputEntry::kSelectAnalog;
        }
    }
    if (const std::wstring* g = fields::OptionalString(element, L"gain")) {
        if (*g == L"-10dBu") {
            entry.gain = InputEntry::kGainMinus10dBu;
        } else if (*g == L"+4dBu") {
            entry.gain = InputEntry::kGainPlus4dBu;
        }
    }
    const JSON::Value* f = element.FindItem(L"freq");
    if (f != nullptr && f->GetType() == JSON::kInteger) {
        entry.freq = f->GetUInt32();
    }
}

// The low `width` decimal digits of `value`, zero-padded.
void AppendDigits(std::wstring& out, unsigned value, int width) {
    wchar_t digits[4];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<std::size_t>(width));
}

// Reads `width` digits at `pos`; false when one is not a digit.
bool ReadDigits(std::wstring_view text, std::size_t pos, int width, std::uint16_t& out) {
    unsigned value = 0;
    for (int i = 0; i < width; ++i) {
        const wchar_t c = text[pos + static_cast<std::size_t>(i)];
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

// ---- "dev_info" ----

ErrInfo JsonMsgDevInfo::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    out[L"unit_id"].SetString(unit_id);
    out[L"unit_type"].SetString(unit_type);
    out[L"hardware"].SetInt(hardware);
    out[L"firmware"].SetInt(firmware);
    out[L"software"].SetInt(software);
    out[L"audio_protocol"].SetInt(audio_protocol);
    out[L"control_protocol"].SetInt(control_protocol);
    out[L"rtp_port"].SetInt(rtp_port);
    out[L"inputs"].SetInt(inputs);
    out[L"outputs"].SetInt(outputs);
    return err;
}

ErrInfo JsonMsgDevInfo::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    unit_id = in[L"unit_id"].GetString();
    unit_type = in[L"unit_type"].GetString();
    hardware = in[L"hardware"].GetUInt32();
    firmware = in[L"firmware"].GetUInt32();
    software = in[L"software"].GetUInt32();
    audio_protocol = in[L"audio_protocol"].GetUInt32();
    control_protocol = in[L"control_protocol"].GetUInt32();
    rtp_port = in[L"rtp_port"].GetUInt32();
    inputs = in[L"inputs"].GetUInt32();
    outputs = in[L"outputs"].GetUInt32();
    return err;
}

// ---- "set_state" / "state" ----

ErrInfo JsonMsgStateData::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    if (device_freq != 0) {
        out[L"device_freq"].SetInt(device_freq);
    }
    if (!inputs.empty()) {
        JSON::Value& list = out[L"inputs"];
        list.ResizeArray(inputs.size(), JSON::kObject);
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const InputEntry& entry = inputs[i];
            JSON::Value& item = list.array[i];
            if (const wchar_t* s = SelectText(entry.select)) {
                item[L"select"].SetString(s);
            }
            if (const wchar_t* g = GainText(entry.gain)) {
                item[L"gain"].SetString(g);
            }
            if (entry.freq != 0) {
                item[L"freq"].SetInt(entry.freq);
            }
        }
    }
    return err;
}

ErrInfo JsonMsgStateData::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    const JSON::Value* freq = in.FindItem(L"device_freq");
    if (freq != nullptr && freq->GetType() == JSON::kInteger) {
        device_freq = freq->GetUInt32();
    }
    const JSON::Value* list = in.FindItem(L"inputs");
    if (list != nullptr && list->GetType() == JSON::kArray) {
        inputs.clear();
        inputs.reserve(list->array.size());
        for (const JSON::Value& element : list->array) {
            InputEntry entry;
            if (element.GetType() == JSON::kObject) {
                ReadInputEntry(element, entry);
            }
            inputs.push_back(entry);
        }
    }
    return err;
}

// ---- "inputs" ----

ErrInfo JsonMsgInputs::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    if (!inputs.empty()) {
        JSON::Value& list = out[L"inputs"];
        list.ResizeArray(inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            list.array[i].SetString(inputs[i].IsValid() ? inputs[i].ToString() : std::wstring());
        }
    }
    return err;
}

ErrInfo JsonMsgInputs::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    const JSON::Value* list = in.FindItem(L"inputs");
    if (list != nullptr) {
        const std::size_t count = list->ArraySize();  // throws unless an Array
        inputs.reserve(inputs.size() + count);
        for (const JSON::Value& element : list->array) {
            SockAddr addr;
            if (element.GetType() == JSON::kString) {
                addr.SetNumeric(element.string);
            }
            inputs.push_back(addr);
        }
    }
    return err;
}

// ---- "set_inputs" ----

ErrInfo JsonMsgSetInputs::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    if (!inputs.empty()) {
        JSON::Value& list = out[L"inputs"];
        list.ResizeArray(inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const InputRoute& route = inputs[i];
            if (!route.active) {
                list.array[i].SetString(L"");
            } else if (route.addr.IsValid()) {
                list.array[i].SetString(route.addr.ToString());
            } else {
                list.array[i].SetString(L"off");
            }
        }
    }
    return err;
}

ErrInfo JsonMsgSetInputs::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    const JSON::Value* list = in.FindItem(L"inputs");
    if (list != nullptr) {
        const std::size_t count = list->ArraySize();  // throws unless an Array
        inputs.reserve(inputs.size() + count);
        for (const JSON::Value& element : list->array) {
            InputRoute route;
            if (element.GetType() == JSON::kString && !element.string.empty()) {
                route.active = true;
                if (element.string != L"off") {
                    route.addr.SetNumeric(element.string);
                }
            }
            inputs.push_back(route);
        }
    }
    return err;
}

// ---- "set_fm_freq" / "fm_freq" ----

ErrInfo JsonMsgFmFreqData::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    fields::WriteIntList(out, L"freq", freq);
    return err;
}

ErrInfo JsonMsgFmFreqData::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    fields::ReadIntList(in, L"freq", freq);
    return err;
}

// ---- "fm_quality" ----

ErrInfo JsonMsgFmQuality::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    fields::WriteIntList(out, L"rssi", rssi);
    fields::WriteIntList(out, L"snr", snr);
    fields::WriteIntList(out, L"multipath", multipath);
    fields::WriteIntList(out, L"pilot", pilot);
    fields::WriteIntList(out, L"valid", valid);
    return err;
}

ErrInfo JsonMsgFmQuality::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    fields::ReadIntList(in, L"rssi", rssi);
    fields::ReadIntList(in, L"snr", snr);
    fields::ReadIntList(in, L"multipath", multipath);
    fields::ReadIntList(in, L"pilot", pilot);
    fields::ReadIntList(in, L"valid", valid);
    return err;
}

// ---- "rds_data" ----

ErrInfo JsonMsgRdsData::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    fields::WriteStringList(out, L"psrv", psrv);
    fields::WriteStringList(out, L"text", text);
    fields::WriteStringList(out, L"time", time);
    return err;
}

ErrInfo JsonMsgRdsData::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    fields::ReadStringList(in, L"psrv", psrv);
    fields::ReadStringList(in, L"text", text);
    fields::ReadStringList(in, L"time", time);
    return err;
}

// ---- "cur_time" ----

std::wstring FormatTimeText(const SystemTime& time) {
    std::wstring out;
    out.reserve(kTimeTextLength);
    AppendDigits(out, time.year, 4);
    out.push_back(L'/');
    AppendDigits(out, time.month, 2);
    out.push_back(L'/');
    AppendDigits(out, time.day, 2);
    out.push_back(L' ');
    AppendDigits(out, time.hour, 2);
    out.push_back(L':');
    AppendDigits(out, time.minute, 2);
    out.push_back(L':');
    AppendDigits(out, time.second, 2);
    out.push_back(L'.');
    AppendDigits(out, time.millisecond, 3);
    return out;
}

bool ParseTimeText(std::wstring_view text, SystemTime& time) {
    if (text.size() != kTimeTextLength) {
        return false;
    }
    if (text[4] != L'/' || text[7] != L'/' || text[10] != L' ' || text[13] != L':' || text[16] != L':' ||
        text[19] != L'.') {
        return false;
    }
    SystemTime parsed = time;
    if (!ReadDigits(text, 0, 4, parsed.year) || !ReadDigits(text, 5, 2, parsed.month) ||
        !ReadDigits(text, 8, 2, parsed.day) || !ReadDigits(text, 11, 2, parsed.hour) ||
        !ReadDigits(text, 14, 2, parsed.minute) || !ReadDigits(text, 17, 2, parsed.second) ||
        !ReadDigits(text, 20, 3, parsed.millisecond)) {
        return false;
    }
    time = parsed;
    return true;
}

JsonMsgCurTime::JsonMsgCurTime() : JsonMsg(L"cur_time") {
    // One reading of the clock for both, so they name the same moment.
    const std::int64_t now = platform::UnixTimeMs();
    td = platform::LocalTimeFromUnixMs(now);
    utc = platform::UtcTimeFromUnixMs(now);
}

ErrInfo JsonMsgCurTime::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    out[L"td"].SetString(FormatTimeText(td));
    out[L"utc"].SetString(FormatTimeText(utc));
    return err;
}

ErrInfo JsonMsgCurTime::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    const std::wstring* tdText = fields::OptionalString(in, L"td");
    const std::wstring* utcText = fields::OptionalString(in, L"utc");
    if (tdText == nullptr || tdText->size() != kTimeTextLength || utcText == nullptr ||
        utcText->size() != kTimeTextLength) {
        return ErrInfo(ERR_PLACE("Network::JsonMsgCurTime::Deserialize"))
            .SetError(L"Both time string parameters are mandatory for 'cur_time' message");
    }
    ParseTimeText(*tdText, td);
    ParseTimeText(*utcText, utc);
    return err;
}

// ---- "set_bypass" / "bypass" ----

ErrInfo JsonMsgBypassData::Serialize(JSON::Value& out) const {
    ErrInfo err = JsonMsg::Serialize(out);
    if (!err.IsOk()) {
        return err;
    }
    out[L"bypass"].SetString(bypass ? L"on" : L"off");
    return err;
}

ErrInfo JsonMsgBypassData::Deserialize(const JSON::Value& in) {
    ErrInfo err = JsonMsg::Deserialize(in);
    if (!err.IsOk()) {
        return err;
    }
    const std::wstring* text = fields::OptionalString(in, L"bypass");
    bypass = text != nullptr && *text == L"on";
    return err;
}

// ---- factory ----

namespace {

template <typename T>
std::unique_ptr<JsonMsg> Make() {
    return std::make_unique<T>();
}

struct CatalogueEntry {
    const wchar_t* type;
    std::unique_ptr<JsonMsg> (*create)();
};

constexpr CatalogueEntry kCatalogue[] = {
    {L"dev_find", &Make<JsonMsgDevFind>},
    {L"get_dev_info", &Make<JsonMsgGetDevInfo>},
    {L"dev_info", &Make<JsonMsgDevInfo>},
    {L"get_state", &Make<JsonMsgGetState>},
    {L"set_state", &Make<JsonMsgSetState>},
    {L"state", &Make<JsonMsgState>},
    {L"get_inputs", &Make<JsonMsgGetInputs>},
    {L"set_inputs", &Make<JsonMsgSetInputs>},
    {L"inputs", &Make<JsonMsgInputs>},
    {L"get_fm_freq", &Make<JsonMsgGetFmFreq>},
    {L"set_fm_freq", &Make<JsonMsgSetFmFreq>},
    {L"fm_freq", &Make<JsonMsgFmFreq>},
    {L"get_fm_quality", &Make<JsonMsgGetFmQuality>},
    {L"fm_quality", &Make<JsonMsgFmQuality>},
    {L"get_rds_data", &Make<JsonMsgGetRdsData>},
    {L"rds_data", &Make<JsonMsgRdsData>},
    {L"get_time", &Make<JsonMsgGetTime>},
    {L"cur_time", &Make<JsonMsgCurTime>},
    {L"bypass", &Make<JsonMsgBypass>},
    {L"get_bypass", &Make<JsonMsgGetBypass>},
    {L"set_bypass", &Make<JsonMsgSetBypass>},
};

}  // namespace

std::unique_ptr<JsonMsg> AsioDriverJsonMsgFactory::CreateMsg(const std::wstring& type) const {
    for (const CatalogueEntry& entry : kCatalogue) {
        if (type == entry.type) {
            return entry.create();
        }
    }
    return nullptr;
}

const std::vector<std::wstring>& AsioDriverJsonMsgFactory::TypeNames() {
    static const std::vector<std::wstring> names = [] {
        std::vector<std::wstring> v;
        for (const CatalogueEntry& entry : kCatalogue) {
            v.emplace_back(entry.type);
        }
        return v;
    }();
    return names;
}

}  // namespace Network
