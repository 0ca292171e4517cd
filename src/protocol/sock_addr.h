// SockAddr: an IPv4 endpoint (address and port) in the system's 16-byte socket address layout, so that
// it goes to and comes from the socket calls without conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace Network {

class SockAddr {
public:
    // The four address bytes 00 FF FF 00 (0.255.255.0) mark "no address"; compared as one little-endian
    // 32-bit word.
    static constexpr std::uint32_t kNoAddressMarker = 0x00FFFF00u;

    // A cleared address: family 2, port 0, the "no address" marker.
    SockAddr() noexcept { Clear(); }
    // Clear, then Set(text) with text of the form host:port.
    explicit SockAddr(const wchar_t* text);
    explicit SockAddr(const std::wstring& text);
    // Clear, then Set(host, port).
    SockAddr(const wchar_t* host, std::uint16_t port);
    SockAddr(const std::wstring& host, std::uint16_t port);
    // Takes the system's record as it is.
    explicit SockAddr(const platform::SockAddrIn& native) noexcept : addr_(native) {}

    void Clear() noexcept;

    // Resolves `host` (a name or a dotted quad) to its first IPv4 address and stores it with `port`.
    // False, with the address cleared, when `host` is null or empty or cannot be resolved; a resolver
    // failure also leaves an error report in the debug log. Otherwise the result is IsValid().
    bool Set(const wchar_t* host, std::uint16_t port);
    bool Set(const std::wstring& host, std::uint16_t port);
    // Set(host, 0).
    bool SetHost(const std::wstring& host) { return Set(host, 0); }
    // Splits host:port at the first colon (false when there is none) and calls Set(host, port). The port
    // is read like wcstol in base 10 (leading blanks, a sign, the leading digits; nothing numeric gives
    // 0; saturation at the 32-bit range) and its low 16 bits are taken.
    bool Set(const std::wstring& text);
    bool Set(const wchar_t* text);

    // Like Set(text), but the host must be a dotted quad of four decimal numbers 0..255; the name
    // resolver is never asked and nothing is logged. Used for addresses that arrive in messages, so a
    // datagram can never make the receiving thread wait for name resolution.
    bool SetNumeric(std::wstring_view text);

    // Port in host order.
    void SetPort(std::uint16_t port) noexcept { addr_.SetPort(port); }
    [[nodiscard]] std::uint16_t GetPort() const noexcept { return addr_.Port(); }

    // The address is not the "no address" marker.
    [[nodiscard]] bool IsValid() const noexcept;
    // IsValid() and a port other than 0.
    [[nodiscard]] bool IsComplete() const noexcept { return IsValid() && GetPort() != 0; }
    // The raw address word as stored (network byte order in memory).
    [[nodiscard]] std::uint32_t GetAddr() const noexcept;

    // "a.b.c.d:port" and "a.b.c.d".
    [[nodiscard]] std::wstring ToString() const;
    [[nodiscard]] std::wstring AddrToString() const;

    // The system's record, for the socket calls.
    [[nodiscard]] const platform::SockAddrIn& Native() const noexcept { return addr_; }
    [[nodiscard]] platform::SockAddrIn& Native() noexcept { return addr_; }

    // Equal when family, address and port are equal.
    friend bool operator==(const SockAddr& a, const SockAddr& b) noexcept;
    friend bool operator!=(const SockAddr& a, const SockAddr& b) noexcept { return !(a == b); }
    // Strict order for ordered containers: family, then the address word read little-endian, then port.
    friend bool operator<(const SockAddr& a, const SockAddr& b) noexcept;

private:
    // The address bytes read as a little-endian 32-bit number, whatever the host order.
    [[nodiscard]] std::uint32_t AddrWordLE() const noexcept;

    platform::SockAddrIn addr_;
};

static_assert(sizeof(SockAddr) == 16, "SockAddr must keep the system's IPv4 socket address layout");

}  // namespace Network
