// Datagrams from text and back, for the protocol tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"

namespace protocol_test {

using testing_support::TextOf;

// The text bytes, one zero byte, then the attachment bytes.
inline std::vector<std::uint8_t> Datagram(const std::string& text,
                                          const std::vector<std::uint8_t>& att = {}) {
    std::vector<std::uint8_t> bytes = testing_support::BytesOf(text);
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

}  // namespace protocol_test
