#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/sock_addr.h"

namespace {

using Network::Packet;
using Network::SockAddr;

TEST(Packet, ConsumeRemovesTheFrontAndEmptiesWhenAskedForAllOrMore) {
    const std::uint8_t bytes[] = {10, 11, 12, 13, 14};
    Packet p;
    p.Assign(bytes, sizeof(bytes));
    p.Consume(2);
    EXPECT_EQ(p.Bytes(), (std::vector<std::uint8_t>{12, 13, 14}));
    p.Consume(1000);
    EXPECT_TRUE(p.Empty());
}

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
    struct Row {
        const wchar_t* text;
        bool ok;             // Set and SetNumeric
        std::uint16_t port;  // read like an integer conversion in base ten, low 16 bits
    };
    const Row rows[] = {
        {L"10.0.0.1", false, 0},
        {L"10.0.0.1:", true, 0},
        {L"10.0.0.1:5000", true, 5000},
        {L"1.2.3.4: +42", true, 42},
        {L"1.2.3.4:12ab", true, 12},
        {L"1.2.3.4:abc", true, 0},
        {L"1.2.3.4:70000", true, 4464},
        {L"1.2.3.4:-1", true, 65535},
        {L"1.2.3.4:99999999999", true, 65535},
        {L"1.2.3.4:-99999999999", true, 0},
        {L"0.255.255.0:5", false, 0},  // the no-address marker
    };
    for (const Row& row : rows) {
        SockAddr a(L"9.9.9.9", 9);
        SockAddr n(L"9.9.9.9", 9);
        EXPECT_EQ(a.Set(row.text), row.ok) << testing::PrintToString(std::wstring(row.text));
        EXPECT_EQ(n.SetNumeric(row.text), row.ok) << testing::PrintToString(std::wstring(row.text));
        if (row.ok) {
            EXPECT_EQ(a.GetPort(), row.port) << testing::PrintToString(std::wstring(row.text));
            EXPECT_EQ(n, a);
        }
    }
    EXPECT_EQ(SockAddr(L"localhost", 15001).ToString(), L"127.0.0.1:15001");
}

TEST(SockAddr, FailedSetsLeaveTheAddressCleared) {
    SockAddr a(L"10.1.2.3", 80);
    EXPECT_FALSE(a.Set(static_cast<const wchar_t*>(nullptr), 80));
    EXPECT_EQ(a, SockAddr());
    a.Set(std::wstring(L"10.1.2.3"), 80);
    EXPECT_FALSE(a.Set(std::wstring(L"bad\0name", 8), 80));  // a zero character never resolves
    EXPECT_EQ(a, SockAddr());
    for (const wchar_t* text : {L"localhost:80", L"1.2.3:80", L"1.2.3.256:1", L"1.2.3.4.5:1", L" 1.2.3.4:1",
                                L"1..2.3:4", L":80", L"1.2.3.4 :80", L"1234.1.1.1:1", L"", L"-1.2.3.4:5"}) {
        SockAddr b(L"9.9.9.9", 9);
        EXPECT_FALSE(b.SetNumeric(text)) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(b, SockAddr()) << testing::PrintToString(std::wstring(text));
    }
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
