#include "protocol/packet.h"

#include <cstring>

namespace Network {

void Packet::Consume(std::size_t n) {
    if (n >= bytes_.size()) {
        bytes_.clear();
        return;
    }
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
}

void Packet::Assign(const void* data, std::size_t size) {
    bytes_.resize(size);
    if (size != 0) {
        std::memcpy(bytes_.data(), data, size);
    }
}

}  // namespace Network
