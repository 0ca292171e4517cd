// Bytes, texts and addresses as the tests write them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace testing_support {

// The datagram of a JSON text: its bytes and, as the wire format has it, one zero byte.
inline std::vector<std::uint8_t> BytesOf(const std::string& text, bool zeroByte = true) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if (zeroByte) {
        bytes.push_back(0);
    }
    return bytes;
}

// The text of a datagram: its bytes up to the first zero byte.
inline std::string TextOf(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        if (b == 0) {
            break;
        }
        text.push_back(static_cast<char>(b));
    }
    return text;
}

// `n` bytes of a repeatable pseudo-random pattern; another seed gives another pattern.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed = 7) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

// 127.0.0.1:port.
inline platform::SockAddrIn LoopbackAddr(std::uint16_t port) {
    return platform::SockAddrIn::Loopback(port);
}

}  // namespace testing_support
