#include "protocol/json_msg.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "platform/utf8.h"
#include "protocol/msg_fields.h"

namespace Network {

namespace {

// Identifiers of locally made messages; starts at 1, 0 is never handed out.
std::atomic<std::uint32_t> g_nextMsgId{1};

// The transport kinds, made before the factory is asked.
std::unique_ptr<JsonMsg> CreateTransportMsg(const std::wstring& type) {
    if (type == L"idle") {
        return std::make_unique<JsonMsgIdle>();
    }
    if (type == L"ping") {
        return std::make_unique<JsonMsgPing>();
    }
    if (type == L"ack") {
        return std::make_unique<JsonMsgAck>();
    }
    if (type == L"attach") {
        return std::make_unique<JsonMsgAtt>();
    }
    if (type == L"error") {
        return std::make_unique<JsonMsgError>();
    }
    if (type == L"ok") {
        return std::make_unique<JsonMsgOk>(0);
    }
    return nullptr;
}

}  // namespace

JsonMsg::JsonMsg(std::wstring type_name) : type(std::move(type_name)), msg_id(NextMsgId()) {}

JsonMsg::~JsonMsg() = default;

std::uint32_t JsonMsg::NextMsgId() noexcept {
    std::uint32_t id = g_nextMsgId.fetch_add(1);
    if (id == 0) {
        id = g_nextMsgId.fetch_add(1);
    }
    return id;
}

void JsonMsg::SetNextMsgId(std::uint32_t next) noexcept {
    g_nextMsgId.store(next);
}

ErrInfo JsonMsg::Serialize(JSON::Value& out) const {
    out[L"msg"].SetString(type);
    out[L"msg_id"].SetInt(msg_id);
    if (req) {
        out[L"req"].SetInt(static_cast<std::int64_t>(1));
    }
    if (ack_msg_id != 0) {
        out[L"ack_msg_id"].SetInt(ack_msg_id);
    }
    if (att_size != 0) {
        out[L"att"].SetInt(att_size);
    }
    return ErrInfo(ERR_PLACE("Network::JsonMsg::Serialize"));
}

ErrInfo JsonMsg::Deserialize(const JSON::Value& in) {
    msg_id = in[L"msg_id"].GetUInt32();
    ack_msg_id = fields::OptionalUInt32(in, L"ack_msg_id");
    att_size = fields::OptionalUInt32(in, L"att");
    return ErrInfo(ERR_PLACE("Network::JsonMsg::Deserialize"));
}

ErrInfo& JsonMsg::ToPacket(ErrInfo& result, Packet& packet, bool request, std::size_t limit) const {
    try {
        JSON::Value value;
        ErrInfo err = Serialize(value);
        if (!err.IsOk()) {
            result = err;
            return result;
        }
        if (request) {
            value[L"req"].SetInt(static_cast<std::int64_t>(1));
        }
        const std::string text = WideToUtf8(JSON::GenerateText(value));
        if (text.empty()) {
            result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToPacket")).SetError(L"Can not deserialize msg");
            return result;
        }
        const std::size_t total = text.size() + 1 + att.size();
        if (packet.Capacity() < total) {
            if (limit != 0 && total > limit) {
                result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToPacket"))
                             .SetError(L"Can not deserialize msg. Packet too small");
                return result;
            }
            packet.Reserve(total);
        }
        packet.Resize(total);
        std::uint8_t* out = packet.Data();
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = 0;
        if (!att.empty()) {
            std::memcpy(out + text.size() + 1, att.data(), att.size());
        }
    } catch (const std::exception& e) {
        result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToPacket")).SetError(e.what());
        return result;
    }
    result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToPacket"));
    return result;
}

ErrInfo& JsonMsg::ToString(ErrInfo& result, std::wstring& text) const {
    try {
        JSON::Value value;
        ErrInfo err = Serialize(value);
        if (!err.IsOk()) {
            result = err;
            return result;
        }
        text = JSON::GenerateText(value);
    } catch (const std::exception& e) {
        result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToString")).SetError(e.what());
        return result;
    }
    result = ErrInfo(ERR_PLACE("Network::JsonMsg::ToString"));
    return result;
}

std::wstring JsonMsg::ToText() const {
    ErrInfo err(ERR_PLACE("Network::JsonMsg::ToText"));
    std::wstring text;
    ToString(err, text);
    if (err.IsOk()) {
        return text;
    }
    err.MarkHandled();
    return L"ERROR:" + err.ToString();
}

std::unique_ptr<JsonMsg> JsonMsg::FromPacket(const Packet& datagram, const IJsonMsgFactory* factory,
                                             const SockAddr* sender) noexcept {
    return FromDatagram(datagram.Data(), datagram.Size(), factory, sender);
}

std::unique_ptr<JsonMsg> JsonMsg::FromDatagram(const std::uint8_t* data, std::size_t size,
                                               const IJsonMsgFactory* factory,
                                               const SockAddr* sender) noexcept {
    // A hostile datagram of any content costs a null result and nothing else: no exception (of the JSON
    // library, of a message's Deserialize, or bad_alloc) leaves the decoder.
    try {
        if (data == nullptr || size < 2) {
            return nullptr;
        }
        const void* zero = std::memchr(data, 0, size);
        if (zero == nullptr || zero == data) {
            return nullptr;
        }
        const std::size_t n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data);
        const std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), n));
        if (text.empty()) {
            return nullptr;
        }
        JSON::Value value;
        if (!JSON::ParseText(std::wstring_view(text), value)) {
            return nullptr;
        }
        std::unique_ptr<JsonMsg> msg = CreateFromValue(value, factory, sender);
        if (!msg) {
            return nullptr;
        }
        if (msg->att_size != 0) {
            const std::uint64_t announced = msg->att_size;
            if (announced > kMaxAttachmentSize) {
                return nullptr;
            }
            // Only the bytes that came take memory; the announced length is kept as a number.
            msg->att_announced = announced;
            const std::size_t following = size - n - 1;
            const std::size_t count = std::min(static_cast<std::size_t>(announced), following);
            msg->att.assign(data + n + 1, data + n + 1 + count);
            msg->att_size = count;
        }
        return msg;
    } catch (...) {
        return nullptr;
    }
}

std::unique_ptr<JsonMsg> JsonMsg::CreateFromValue(const JSON::Value& value, const IJsonMsgFactory* factory,
                                                  const SockAddr* sender) noexcept {
    try {
        if (value.GetType() != JSON::kObject) {
            return nullptr;
        }
        const JSON::Value* item = value.FindItem(L"msg");
        if (item == nullptr) {
            return nullptr;
        }
        const std::wstring& name = item->GetString();
        if (name.empty()) {
            return nullptr;
        }
        std::unique_ptr<JsonMsg> msg = CreateTransportMsg(name);
        if (!msg && factory != nullptr) {
            msg = factory->CreateMsg(name);
        }
        if (!msg) {
            return nullptr;
        }
        ErrInfo err = msg->Deserialize(value);
        if (!err.IsOk()) {
            // The caller reports the undecodable datagram in its own words.
            err.MarkHandled();
            return nullptr;
        }
        if (sender != nullptr) {
            msg->peer = *sender;
        }
        return msg;
    } catch (...) {
        return nullptr;
    }
}

// ---- transport kinds ----

namespace {

constexpr fields::Field<JsonMsgAtt> kAtt[] = {
    fields::Required<&JsonMsgAtt::leader_id>(L"leader_id"),
    fields::Required<&JsonMsgAtt::seg_count>(L"seg_count"),
    fields::Required<&JsonMsgAtt::seg_number>(L"seg_number"),
};
constexpr fields::Field<JsonMsgError> kError[] = {
    fields::Required<&JsonMsgError::code>(L"code"),
    fields::Required<&JsonMsgError::txt>(L"txt"),
};

}  // namespace

const std::span<const fields::Field<JsonMsgAtt>> JsonMsgAtt::kFields = kAtt;
const std::span<const fields::Field<JsonMsgError>> JsonMsgError::kFields = kError;

}  // namespace Network
