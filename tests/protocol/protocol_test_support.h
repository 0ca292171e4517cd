// Helpers shared by the protocol tests: building datagrams from text and comparing messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "json/value.h"
#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"

namespace protocol_test {

// A datagram: the text bytes, one zero byte, then the attachment bytes.
inline std::vector<std::uint8_t> Datagram(std::string_view text,
                                          const std::vector<std::uint8_t>& attachment = {}) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), attachment.begin(), attachment.end());
    return bytes;
}

inline std::unique_ptr<Network::JsonMsg> DecodeBytes(const std::vector<std::uint8_t>& bytes,
                                                     const Network::IJsonMsgFactory* factory = nullptr,
                                                     const Network::SockAddr* sender = nullptr) {
    Network::Packet packet;
    packet.Assign(bytes.data(), bytes.size());
    return Network::JsonMsg::FromPacket(packet, factory, sender);
}

// Decodes `text` plus the zero byte with the device factory.
inline std::unique_ptr<Network::JsonMsg> Decode(std::string_view text) {
    static const Network::AsioDriverJsonMsgFactory factory;
    return DecodeBytes(Datagram(text), &factory);
}

// Decodes and casts; null when the datagram does not decode or has another class.
template <typename T>
std::unique_ptr<T> DecodeAs(std::string_view text) {
    std::unique_ptr<Network::JsonMsg> msg = Decode(text);
    if (auto* typed = dynamic_cast<T*>(msg.get())) {
        msg.release();
        return std::unique_ptr<T>(typed);
    }
    return nullptr;
}

// The datagram of a message; fails the test when serialisation fails.
inline std::vector<std::uint8_t> Encode(const Network::JsonMsg& msg, bool request = false) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("protocol_test::Encode"));
    msg.ToPacket(err, packet, request, 0);
    EXPECT_TRUE(err.IsOk()) << "ToPacket failed: " << testing::PrintToString(err.ToString());
    err.MarkHandled();
    return packet.Bytes();
}

// The text part of a datagram (up to its first zero byte).
inline std::string TextOf(const std::vector<std::uint8_t>& datagram) {
    std::string text;
    for (std::uint8_t b : datagram) {
        if (b == 0) {
            break;
        }
        text.push_back(static_cast<char>(b));
    }
    return text;
}

// The keys a message writes.
inline JSON::Value Keys(const Network::JsonMsg& msg) {
    JSON::Value v;
    ErrInfo err = msg.Serialize(v);
    EXPECT_TRUE(err.IsOk());
    err.MarkHandled();
    return v;
}

// Two messages are the same when they are of one class, write the same keys and carry the same real
// attachment bytes (the first att_size bytes of att).
inline ::testing::AssertionResult SameMessage(const Network::JsonMsg& a, const Network::JsonMsg& b) {
    if (typeid(a) != typeid(b)) {
        return ::testing::AssertionFailure()
               << "classes differ: " << typeid(a).name() << " / " << typeid(b).name();
    }
    const JSON::Value ka = Keys(a);
    const JSON::Value kb = Keys(b);
    if (!JSON::Equal(ka, kb)) {
        return ::testing::AssertionFailure() << "keys differ";
    }
    if (a.att_size != b.att_size) {
        return ::testing::AssertionFailure() << "att_size " << a.att_size << " / " << b.att_size;
    }
    if (a.att_size > a.att.size() || b.att_size > b.att.size() ||
        !std::equal(a.att.begin(), a.att.begin() + static_cast<std::ptrdiff_t>(a.att_size), b.att.begin())) {
        return ::testing::AssertionFailure() << "attachment bytes differ";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace protocol_test
