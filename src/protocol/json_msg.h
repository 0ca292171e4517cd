// Control messages: the message base JsonMsg, the six transport kinds and the datagram layout.
//
// Every control message is one JSON object carried in one UDP datagram:
//
//     bytes 0 .. n-1     the compact JSON text of the message (UTF-8, no byte-order mark), n >= 1
//     byte  n            one zero byte that ends the text
//     bytes n+1 .. n+A   the binary attachment (`att`), absent when there is none
//
// There is no other header, length prefix or checksum. Object keys come out in ascending order, so a ping
// is {"msg":"ping","msg_id":17} plus the zero byte: 27 bytes.
//
// Decoding never throws and never trusts the datagram: anything that is not a well-formed message of a
// known type gives no message (the caller reports "Bad message received").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/err_info.h"
#include "json/value.h"
#include "protocol/packet.h"
#include "protocol/sock_addr.h"

namespace Network {

// The largest attachment a received message may announce with "att" (16 MiB). A datagram announcing more
// is not decodable. An announcement costs no memory: a received message holds only the bytes that came,
// and reassembly of a segmented attachment grows with the segments that arrive, never beyond what the
// leader announced, so never beyond this figure. Real attachments are far smaller.
inline constexpr std::uint64_t kMaxAttachmentSize = 16u * 1024u * 1024u;

struct JsonMsg;

// Turns a received type name into an empty message of the right class.
class IJsonMsgFactory {
public:
    virtual ~IJsonMsgFactory() = default;
    // A new message for `type` (exact, case-sensitive name), or null when the name is unknown.
    [[nodiscard]] virtual std::unique_ptr<JsonMsg> CreateMsg(const std::wstring& type) const = 0;
};

// The base of every message. Fields are public: the owner fills them before sending, the decoder after
// receiving; a message is not changed any more once it has been handed on.
struct JsonMsg {
    // Sets `type` and takes a fresh `msg_id` from the process-wide counter.
    explicit JsonMsg(std::wstring type_name);
    JsonMsg(const JsonMsg&) = default;
    JsonMsg& operator=(const JsonMsg&) = default;
    virtual ~JsonMsg();

    // Writes the message's keys into `out` (made an object). Fails only by a JSON::Exception, which it lets
    // through; ToPacket and ToString turn it into an error.
    virtual ErrInfo Serialize(JSON::Value& out) const;
    // Reads the message's keys from `in`. A required key that is missing or of the wrong kind throws
    // JSON::Exception; the decoder catches it.
    virtual ErrInfo Deserialize(const JSON::Value& in);

    // Serialises into `packet` (the datagram layout above). With `request` the text also carries "req":1.
    // `limit` (0: none) applies when the packet has to grow: a datagram longer than the limit fails with
    // "Can not deserialize msg. Packet too small". Returns `result`.
    ErrInfo& ToPacket(ErrInfo& result, Packet& packet, bool request = false, std::size_t limit = 0) const;
    // The compact JSON text of the message. Returns `result`.
    ErrInfo& ToString(ErrInfo& result, std::wstring& text) const;
    // The text of ToString, or "ERROR:" and the error's full text; for log lines.
    [[nodiscard]] std::wstring ToText() const;

    // Decodes one datagram; null when it is not a message (see the layout above). Transport kinds are
    // made here, any other type name by `factory` (none with a null factory). `sender`, when given, becomes
    // the message's `peer`. On a decoded message `att` holds the attachment bytes that really came (at most
    // the announced length), `att_size` counts them and `att_announced` keeps the announced length, which
    // is more when the datagram was short (a leader of a segmented attachment announces all and carries
    // none). Nothing is allocated for bytes that did not come; an announced length above
    // kMaxAttachmentSize makes the datagram undecodable.
    [[nodiscard]] static std::unique_ptr<JsonMsg> FromPacket(const Packet& datagram,
                                                             const IJsonMsgFactory* factory,
                                                             const SockAddr* sender) noexcept;
    [[nodiscard]] static std::unique_ptr<JsonMsg> FromDatagram(const std::uint8_t* data, std::size_t size,
                                                               const IJsonMsgFactory* factory,
                                                               const SockAddr* sender) noexcept;
    // The message creation step of the decoder: `value` must be an object with a non-empty String "msg"
    // naming a known type, and the new message's Deserialize must succeed.
    [[nodiscard]] static std::unique_ptr<JsonMsg> CreateFromValue(const JSON::Value& value,
                                                                  const IJsonMsgFactory* factory,
                                                                  const SockAddr* sender) noexcept;

    // The next message identifier: the process-wide counter's value before an atomic increment; 0 is
    // skipped after the counter wraps.
    [[nodiscard]] static std::uint32_t NextMsgId() noexcept;
    // Sets the counter's next value. For tests of the wrap-around only.
    static void SetNextMsgId(std::uint32_t next) noexcept;

    std::wstring type;                // "msg": the type name; set by the constructor, never changed
    std::uint32_t msg_id;             // "msg_id"
    SockAddr peer;                    // sender of a received message; cleared for local ones
    bool req = false;                 // "req": 1 when set
    std::uint32_t ack_msg_id = 0;     // "ack_msg_id": the message this one acknowledges or answers
    std::uint64_t att_size = 0;       // "att": announced attachment length (bytes that came, once decoded)
    std::vector<std::uint8_t> att;    // the attachment bytes
    std::uint64_t att_announced = 0;  // decoded messages only: the length "att" announced (0: none)
};

// A message declares its own keys once, as a list of Field entries (the rules that make them are in
// protocol/msg_fields.h); writing and reading both run from that list.
namespace fields {

// One key of a record: how its member is written into and read from a JSON object.
template <class Rec>
struct Field {
    const wchar_t* key;
    void (*write)(const Rec& rec, JSON::Value& out, const wchar_t* key);
    // False when the value makes the whole message unreadable (only the rules that say so).
    bool (*read)(Rec& rec, const JSON::Value& in, const wchar_t* key);
};

template <class Rec>
void WriteFields(const Rec& rec, std::span<const Field<Rec>> list, JSON::Value& out) {
    for (const Field<Rec>& f : list) {
        f.write(rec, out, f.key);
    }
}

template <class Rec>
bool ReadFields(Rec& rec, std::span<const Field<Rec>> list, const JSON::Value& in) {
    for (const Field<Rec>& f : list) {
        if (!f.read(rec, in, f.key)) {
            return false;
        }
    }
    return true;
}

}  // namespace fields

// A message whose own keys are the list `Self::kFields`, after the base keys.
template <class Self>
struct FieldMsg : JsonMsg {
    ErrInfo Serialize(JSON::Value& out) const override {
        ErrInfo err = JsonMsg::Serialize(out);
        if (err.IsOk()) {
            fields::WriteFields<Self>(static_cast<const Self&>(*this), Self::kFields, out);
        }
        return err;
    }
    ErrInfo Deserialize(const JSON::Value& in) override {
        ErrInfo err = JsonMsg::Deserialize(in);
        if (err.IsOk() && !fields::ReadFields<Self>(static_cast<Self&>(*this), Self::kFields, in)) {
            err.SetError(L"Can not read message " + type);
        }
        return err;
    }

protected:
    explicit FieldMsg(std::wstring type_name) : JsonMsg(std::move(type_name)) {}
};

// "ack": acknowledges the message whose msg_id is `ack_msg_id`.
struct JsonMsgAck : JsonMsg {
    JsonMsgAck() : JsonMsg(L"ack") {}
    explicit JsonMsgAck(std::uint32_t ack_id) : JsonMsg(L"ack") { ack_msg_id = ack_id; }
};

// "ok": a positive answer to the message `ack_msg_id`.
struct JsonMsgOk : JsonMsg {
    JsonMsgOk() : JsonMsg(L"ok") {}
    explicit JsonMsgOk(std::uint32_t ack_id) : JsonMsg(L"ok") { ack_msg_id = ack_id; }
};

// "attach": one segment of the attachment of the message `leader_id`; its own `att` carries the bytes.
struct JsonMsgAtt : FieldMsg<JsonMsgAtt> {
    JsonMsgAtt() : FieldMsg(L"attach") {}
    static const std::span<const fields::Field<JsonMsgAtt>> kFields;  // all written, all required

    std::uint32_t leader_id = 0;   // "leader_id"
    std::uint32_t seg_count = 0;   // "seg_count"
    std::uint32_t seg_number = 0;  // "seg_number", 0-based
};

// "error": an error report of the peer.
struct JsonMsgError : FieldMsg<JsonMsgError> {
    JsonMsgError() : FieldMsg(L"error") {}
    static const std::span<const fields::Field<JsonMsgError>> kFields;  // all written, all required

    std::uint32_t code = 0;  // "code"
    std::wstring txt;        // "txt"
};

// "idle".
struct JsonMsgIdle : JsonMsg {
    JsonMsgIdle() : JsonMsg(L"idle") {}
};

// "ping": keeps a quiet link alive.
struct JsonMsgPing : JsonMsg {
    JsonMsgPing() : JsonMsg(L"ping") {}
};

}  // namespace Network
