// Datagrams from text and back, for the protocol tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"

namespace protocol_test {

// The text bytes, one zero byte, then the attachment bytes.
inline std::vector<std::uint8_t> Datagram(std::string_view text, const std::vector<std::uint8_t>& att = {}) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), att.begin(), att.end());
    return bytes;
}

inline const Network::AsioDriverJsonMsgFactory kDeviceFactory;

inline std::unique_ptr<Network::JsonMsg> Decode(const std::vector<std::uint8_t>& bytes,
                                                const Network::IJsonMsgFactory* factory = &kDeviceFactory,
                                                const Network::SockAddr* sender = nullptr) {
    Network::Packet packet;
    packet.Assign(bytes.data(), bytes.size());
    return Network::JsonMsg::FromPacket(packet, factory, sender);
}

// The datagram of a message; fails the test when the message does not print.
inline std::vector<std::uint8_t> Encode(const Network::JsonMsg& msg, bool request = false) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("protocol_test::Encode"));
    msg.ToPacket(err, packet, request, 0);
    EXPECT_TRUE(err.IsOk()) << testing::PrintToString(err.ToString());
    err.MarkHandled();
    return packet.Bytes();
}

// The text part of a datagram, up to its first zero byte.
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

}  // namespace protocol_test
