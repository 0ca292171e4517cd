// Packet: the owned byte buffer of one datagram (or of one piece of a stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Network {

// Passed around as std::shared_ptr<Packet> (send queues, message serialisation); never copied implicitly.
class Packet {
public:
    // An empty buffer with at least `capacity` bytes reserved.
    explicit Packet(std::size_t capacity = 0) { bytes_.reserve(capacity); }
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    Packet(Packet&&) noexcept = default;
    Packet& operator=(Packet&&) noexcept = default;
    virtual ~Packet() = default;

    // The first byte; the buffer must not be empty.
    [[nodiscard]] std::uint8_t* Data() noexcept { return bytes_.data(); }
    [[nodiscard]] const std::uint8_t* Data() const noexcept { return bytes_.data(); }
    [[nodiscard]] std::size_t Size() const noexcept { return bytes_.size(); }
    [[nodiscard]] std::size_t Capacity() const noexcept { return bytes_.capacity(); }
    [[nodiscard]] bool Empty() const noexcept { return bytes_.empty(); }

    // Grows with zero bytes or shrinks to `n` bytes.
    void Resize(std::size_t n) { bytes_.resize(n); }
    // Makes sure at least `n` bytes are reserved.
    void Reserve(std::size_t n) { bytes_.reserve(n); }
    // Replaces the content with a copy of `size` bytes at `data`.
    void Assign(const void* data, std::size_t size);

    [[nodiscard]] const std::vector<std::uint8_t>& Bytes() const noexcept { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace Network
