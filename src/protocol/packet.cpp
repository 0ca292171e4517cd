#include "protocol/packet.h"

#include <cstring>

namespace Network {

void Packet::Assign(const void* data, std::size_t size) {
    bytes_.resize(size);
    if (size != 0) {
        std::memcpy(bytes_.data(), data, size);
    }
}

}  // namespace Network
