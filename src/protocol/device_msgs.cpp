#include "protocol/device_msgs.h"

#include <utility>

#include "protocol/msg_fields.h"

namespace Network {

namespace {

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

using fields::Field;

// ---- "dev_info" ----

constexpr Field<JsonMsgDevInfo> kDevInfo[] = {
    fields::Required<&JsonMsgDevInfo::unit_id>(L"unit_id"),
    fields::Required<&JsonMsgDevInfo::unit_type>(L"unit_type"),
    fields::Required<&JsonMsgDevInfo::hardware>(L"hardware"),
    fields::Required<&JsonMsgDevInfo::firmware>(L"firmware"),
    fields::Required<&JsonMsgDevInfo::software>(L"software"),
    fields::Required<&JsonMsgDevInfo::audio_protocol>(L"audio_protocol"),
    fields::Required<&JsonMsgDevInfo::control_protocol>(L"control_protocol"),
    fields::Required<&JsonMsgDevInfo::rtp_port>(L"rtp_port"),
    fields::Required<&JsonMsgDevInfo::inputs>(L"inputs"),
    fields::Required<&JsonMsgDevInfo::outputs>(L"outputs"),
};

// ---- "set_state" / "state" ----

constexpr fields::Choice kSelectTexts[] = {{InputEntry::kSelectDigital, L"aes"},
                                           {InputEntry::kSelectAnalog, L"analog"}};
constexpr fields::Choice kGainTexts[] = {{InputEntry::kGainMinus10dBu, L"-10dBu"},
                                         {InputEntry::kGainPlus4dBu, L"+4dBu"}};

constexpr Field<InputEntry> kInputEntry[] = {
    fields::OneOf<&InputEntry::select, kSelectTexts>(L"select"),
    fields::OneOf<&InputEntry::gain, kGainTexts>(L"gain"),
    fields::NonZero<&InputEntry::freq>(L"freq"),
};

constexpr Field<JsonMsgStateData> kState[] = {
    fields::NonZero<&JsonMsgStateData::device_freq>(L"device_freq"),
    fields::Objects<&JsonMsgStateData::inputs, kInputEntry>(L"inputs"),
};

// ---- "inputs" / "set_inputs" ----

// One String per entry, written when the list is not empty; on reading the key may be absent but, when
// present, must be an Array (ArraySize throws otherwise), and each element is appended.
template <auto Member, std::wstring (*ToText)(const typename fields::MemberOf<Member>::Type::value_type&),
          void (*FromElement)(const JSON::Value&, typename fields::MemberOf<Member>::Type::value_type&)>
constexpr Field<fields::RecordOf<Member>> TextList(const wchar_t* key) {
    using Rec = fields::RecordOf<Member>;
    using Entry = typename fields::MemberOf<Member>::Type::value_type;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                fields::WriteEach(
                    out, k, r.*Member, JSON::kString,
                    [](const Entry& entry, JSON::Value& element) { element.SetString(ToText(entry)); });
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                const JSON::Value* list = in.FindItem(k);
                if (list != nullptr) {
                    (r.*Member).reserve((r.*Member).size() + list->ArraySize());
                    for (const JSON::Value& element : list->array) {
                        Entry entry;
                        FromElement(element, entry);
                        (r.*Member).push_back(entry);
                    }
                }
                return true;
            }};
}

std::wstring AddrText(const SockAddr& addr) {
    return addr.IsValid() ? addr.ToString() : std::wstring();
}

void AddrFromElement(const JSON::Value& element, SockAddr& addr) {
    if (element.GetType() == JSON::kString) {
        addr.SetNumeric(element.string);
    }
}

std::wstring RouteText(const InputRoute& route) {
    if (!route.active) {
        return L"";
    }
    return route.addr.IsValid() ? route.addr.ToString() : L"off";
}

void RouteFromElement(const JSON::Value& element, InputRoute& route) {
    if (element.GetType() == JSON::kString && !element.string.empty()) {
        route.active = true;
        if (element.string != L"off") {
            route.addr.SetNumeric(element.string);
        }
    }
}

constexpr Field<JsonMsgInputs> kInputs[] = {
    TextList<&JsonMsgInputs::inputs, &AddrText, &AddrFromElement>(L"inputs"),
};
constexpr Field<JsonMsgSetInputs> kSetInputs[] = {
    TextList<&JsonMsgSetInputs::inputs, &RouteText, &RouteFromElement>(L"inputs"),
};

// ---- tuner lists ----

constexpr Field<JsonMsgFmFreqData> kFmFreq[] = {
    fields::List<&JsonMsgFmFreqData::freq>(L"freq"),
};

constexpr Field<JsonMsgFmQuality> kFmQuality[] = {
    fields::List<&JsonMsgFmQuality::rssi>(L"rssi"),
    fields::List<&JsonMsgFmQuality::snr>(L"snr"),
    fields::List<&JsonMsgFmQuality::multipath>(L"multipath"),
    fields::List<&JsonMsgFmQuality::pilot>(L"pilot"),
    fields::List<&JsonMsgFmQuality::valid>(L"valid"),
};

constexpr Field<JsonMsgRdsData> kRdsData[] = {
    fields::List<&JsonMsgRdsData::psrv>(L"psrv"),
    fields::List<&JsonMsgRdsData::text>(L"text"),
    fields::List<&JsonMsgRdsData::time>(L"time"),
};

// ---- "cur_time" ----

// The 23-character text form; a String of another length (or none) refuses the message, one that does
// not parse leaves the time as it was.
template <auto Member>
constexpr Field<JsonMsgCurTime> TimeText(const wchar_t* key) {
    return {key,
            [](const JsonMsgCurTime& m, JSON::Value& out, const wchar_t* k) {
                out[k].SetString(FormatTimeText(m.*Member));
            },
            [](JsonMsgCurTime& m, const JSON::Value& in, const wchar_t* k) {
                const std::wstring* text = fields::OptionalString(in, k);
                if (text == nullptr || text->size() != kTimeTextLength) {
                    return false;
                }
                ParseTimeText(*text, m.*Member);
                return true;
            }};
}

constexpr Field<JsonMsgCurTime> kCurTime[] = {
    TimeText<&JsonMsgCurTime::td>(L"td"),
    TimeText<&JsonMsgCurTime::utc>(L"utc"),
};

// ---- "set_bypass" / "bypass" ----

constexpr Field<JsonMsgBypassData> kBypass[] = {
    fields::OnOff<&JsonMsgBypassData::bypass>(L"bypass"),
};

}  // namespace

const std::span<const Field<JsonMsgDevInfo>> JsonMsgDevInfo::kFields = kDevInfo;
const std::span<const Field<JsonMsgStateData>> JsonMsgStateData::kFields = kState;
const std::span<const Field<JsonMsgInputs>> JsonMsgInputs::kFields = kInputs;
const std::span<const Field<JsonMsgSetInputs>> JsonMsgSetInputs::kFields = kSetInputs;
const std::span<const Field<JsonMsgFmFreqData>> JsonMsgFmFreqData::kFields = kFmFreq;
const std::span<const Field<JsonMsgFmQuality>> JsonMsgFmQuality::kFields = kFmQuality;
const std::span<const Field<JsonMsgRdsData>> JsonMsgRdsData::kFields = kRdsData;
const std::span<const Field<JsonMsgCurTime>> JsonMsgCurTime::kFields = kCurTime;
const std::span<const Field<JsonMsgBypassData>> JsonMsgBypassData::kFields = kBypass;

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

JsonMsgCurTime::JsonMsgCurTime() : FieldMsg(L"cur_time") {
    // One reading of the clock for both, so they name the same moment.
    const std::int64_t now = platform::UnixTimeMs();
    td = platform::LocalTimeFromUnixMs(now);
    utc = platform::UtcTimeFromUnixMs(now);
}

ErrInfo JsonMsgCurTime::Deserialize(const JSON::Value& in) {
    ErrInfo err = FieldMsg::Deserialize(in);
    if (err.IsOk()) {
        return err;
    }
    err.MarkHandled();
    return ErrInfo(ERR_PLACE("Network::JsonMsgCurTime::Deserialize"))
        .SetError(L"Both time string parameters are mandatory for 'cur_time' message");
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
