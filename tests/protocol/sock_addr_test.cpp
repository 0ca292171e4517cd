#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/sock_addr.h"

namespace {

using Network::SockAddr;

TEST(SockAddr, SystemLayoutWithTheNoAddressMarkerAndTheBigEndianPort) {
    const SockAddr cleared;
    unsigned char raw[16];
    std::memcpy(raw, &cleared, sizeof(raw));
    // Family 2 in host order (little-endian targets), port 0, the marker 00 FF FF 00, eight zero bytes.
    EXPECT_EQ(std::vector<unsigned char>(raw, raw + 16),
              (std::vector<unsigned char>{2, 0, 0, 0, 0x00, 0xFF, 0xFF, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(cleared.IsValid());

    const SockAddr a(L"192.168.1.10", 7000);
    EXPECT_EQ(a.Native().port[0], 0x1B);  // 7000 = 0x1B58
    EXPECT_EQ(a.Native().port[1], 0x58);
    EXPECT_EQ(a.Native().addr[0], 192);
    EXPECT_EQ(a.ToString(), L"192.168.1.10:7000");
    EXPECT_EQ(a.AddrToString(), L"192.168.1.10");
    EXPECT_TRUE(a.IsComplete());
}

TEST(SockAddr, HostAndPortText) {
    // The port is read like an integer conversion in base ten (blanks, a sign, the leading digits,
    // saturation at the 32-bit range), and its low 16 bits are taken.
    const std::pair<const wchar_t*, std::uint16_t> ports[] = {{L"10.0.0.1:", 0},
                                                              {L"10.0.0.1:5000", 5000},
                                                              {L"1.2.3.4: +42", 42},
                                                              {L"1.2.3.4:12ab", 12},
                                                              {L"1.2.3.4:abc", 0},
                                                              {L"1.2.3.4:70000", 4464},
                                                              {L"1.2.3.4:99999999999", 65535},
                                                              {L"1.2.3.4:-1", 65535},
                                                              {L"1.2.3.4:-99999999999", 0}};
    for (const auto& [text, port] : ports) {
        SockAddr a;
        SockAddr n;
        EXPECT_TRUE(a.Set(text)) << testing::PrintToString(std::wstring(text));
        EXPECT_TRUE(n.SetNumeric(text)) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(a.GetPort(), port) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(n, a);
    }
    // The form for addresses that arrive in messages takes dotted quads only and never asks the resolver.
    for (const wchar_t* text : {L"10.0.0.1", L"localhost:80", L"1.2.3:80", L"1.2.3.256:1", L"1.2.3.4.5:1",
                                L" 1.2.3.4:1", L"1..2.3:4", L":80", L"1.2.3.4 :80", L"-1.2.3.4:5"}) {
        SockAddr b(L"9.9.9.9", 9);
        EXPECT_FALSE(b.SetNumeric(text)) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(b, SockAddr()) << testing::PrintToString(std::wstring(text));
    }
    EXPECT_FALSE(SockAddr().Set(L"0.255.255.0:5")) << "the no-address marker";
    EXPECT_FALSE(SockAddr().SetNumeric(L"0.255.255.0:5"));
    EXPECT_EQ(SockAddr(L"localhost", 15001).ToString(), L"127.0.0.1:15001");
    SockAddr a(L"10.1.2.3", 80);
    EXPECT_FALSE(a.Set(std::wstring(L"bad\0name", 8), 80));  // a zero character never resolves
    EXPECT_EQ(a, SockAddr());
}

TEST(SockAddr, OrderUsesFamilyTheLittleEndianAddressWordAndThePort) {
    const std::vector<SockAddr> ascending = {SockAddr(L"10.0.0.1:80"), SockAddr(L"10.0.0.1:81"),
                                             SockAddr(L"10.0.0.2:1"), SockAddr(L"9.0.0.3:1")};
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            EXPECT_EQ(ascending[i] < ascending[j], i < j) << i << " " << j;
            EXPECT_EQ(ascending[i] == ascending[j], i == j) << i << " " << j;
        }
    }
}

}  // namespace
