#include "protocol/sock_addr.h"

#include <climits>
#include <cstring>

#include "common/err_info.h"

namespace Network {

namespace {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// The port number as wcstol reads it in base 10 on a system with a 32-bit long (where this protocol was
// first spoken), so every platform reads the same text to the same port: leading blanks, an optional
// sign, then the leading digits, saturated at the 32-bit range. The low 16 bits are the port.
std::uint16_t ParsePort(std::wstring_view text) {
    constexpr std::int64_t kCap = static_cast<std::int64_t>(INT32_MAX) + 1;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > kCap) {
            value = kCap;
        }
    }
    const std::int64_t number = negative ? -value : (value > INT32_MAX ? INT32_MAX : value);
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(number) & 0xFFFFu);
}

// "a.b.c.d" with four decimal numbers of one to three digits, each at most 255; nothing else.
bool ParseDottedQuad(std::wstring_view text, std::uint8_t (&out)[4]) {
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != L'.') {
                return false;
            }
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - L'0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return false;
        }
        out[part] = static_cast<std::uint8_t>(value);
    }
    return pos == text.size();
}

}  // namespace

SockAddr::SockAddr(const wchar_t* text) {
    Clear();
    Set(text);
}

SockAddr::SockAddr(const std::wstring& text) {
    Clear();
    Set(text);
}

SockAddr::SockAddr(const wchar_t* host, std::uint16_t port) {
    Clear();
    Set(host, port);
}

SockAddr::SockAddr(const std::wstring& host, std::uint16_t port) {
    Clear();
    Set(host, port);
}

void SockAddr::Clear() noexcept {
    addr_ = platform::SockAddrIn{};
    addr_.family = platform::kAddressFamilyIPv4;
    addr_.SetAddress(0x00, 0xFF, 0xFF, 0x00);
}

bool SockAddr::Set(const wchar_t* host, std::uint16_t port) {
    if (host == nullptr) {
        Clear();
        return false;
    }
    return Set(std::wstring(host), port);
}

bool SockAddr::Set(const std::wstring& host, std::uint16_t port) {
    Clear();
    if (host.empty()) {
        return false;
    }
    platform::SockAddrIn resolved;
    const platform::SocketResult r = platform::ResolveIPv4(std::wstring_view(host), resolved);
    if (!r.ok()) {
        // Not handed to the caller: reported by the error object itself as an unchecked error.
        ErrInfo err(ERR_PLACE("Network::SockAddr::Set"));
        err.SetSysError(static_cast<std::uint32_t>(r.code), L"Can not resolve host name '" + host + L"'");
        return false;
    }
    std::memcpy(addr_.addr, resolved.addr, sizeof(addr_.addr));
    addr_.SetPort(port);
    return IsValid();
}

bool SockAddr::Set(const wchar_t* text) {
    if (text == nullptr) {
        Clear();
        return false;
    }
    return Set(std::wstring(text));
}

bool SockAddr::Set(const std::wstring& text) {
    const std::size_t colon = text.find(L':');
    if (colon == std::wstring::npos) {
        return false;
    }
    return Set(text.substr(0, colon), ParsePort(std::wstring_view(text).substr(colon + 1)));
}

bool SockAddr::SetNumeric(std::wstring_view text) {
    Clear();
    const std::size_t colon = text.find(L':');
    if (colon == std::wstring_view::npos) {
        return false;
    }
    std::uint8_t bytes[4];
    if (!ParseDottedQuad(text.substr(0, colon), bytes)) {
        return false;
    }
    std::memcpy(addr_.addr, bytes, sizeof(bytes));
    addr_.SetPort(ParsePort(text.substr(colon + 1)));
    return IsValid();
}

std::uint32_t SockAddr::AddrWordLE() const noexcept {
    return static_cast<std::uint32_t>(addr_.addr[0]) | (static_cast<std::uint32_t>(addr_.addr[1]) << 8) |
           (static_cast<std::uint32_t>(addr_.addr[2]) << 16) |
           (static_cast<std::uint32_t>(addr_.addr[3]) << 24);
}

bool SockAddr::IsValid() const noexcept {
    return AddrWordLE() != kNoAddressMarker;
}

std::uint32_t SockAddr::GetAddr() const noexcept {
    std::uint32_t word;
    std::memcpy(&word, addr_.addr, sizeof(word));
    return word;
}

std::wstring SockAddr::ToString() const {
    return platform::FormatEndpointW(addr_);
}

std::wstring SockAddr::AddrToString() const {
    return platform::FormatAddressW(addr_);
}

bool operator==(const SockAddr& a, const SockAddr& b) noexcept {
    return a.addr_.family == b.addr_.family && a.GetAddr() == b.GetAddr() && a.GetPort() == b.GetPort();
}

bool operator<(const SockAddr& a, const SockAddr& b) noexcept {
    if (a.addr_.family != b.addr_.family) {
        return a.addr_.family < b.addr_.family;
    }
    const std::uint32_t wa = a.AddrWordLE();
    const std::uint32_t wb = b.AddrWordLE();
    if (wa != wb) {
        return wa < wb;
    }
    return a.GetPort() < b.GetPort();
}

}  // namespace Network
