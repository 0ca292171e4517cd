#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/environment.h"

#include "protocol/packet.h"
#include "protocol/sock_addr.h"

namespace {

using Network::Packet;
using Network::SockAddr;

// ---- Packet ----

TEST(Packet, ReservesGrowsWithZerosAndShrinks) {
    Packet p(100);
    EXPECT_EQ(p.Size(), 0u);
    EXPECT_GE(p.Capacity(), 100u);

    const std::uint8_t bytes[] = {1, 2, 3};
    p.Assign(bytes, sizeof(bytes));
    p.Resize(6);
    ASSERT_EQ(p.Size(), 6u);
    EXPECT_EQ(p.Data()[0], 1);
    EXPECT_EQ(p.Data()[2], 3);
    EXPECT_EQ(p.Data()[3], 0);
    EXPECT_EQ(p.Data()[5], 0);
    p.Resize(2);
    EXPECT_EQ(p.Size(), 2u);
    EXPECT_EQ(p.Data()[1], 2);

    p.Reserve(5000);
    EXPECT_GE(p.Capacity(), 5000u);
    EXPECT_EQ(p.Size(), 2u);
}

TEST(Packet, ConsumeRemovesTheFrontAndEmptiesWhenAskedForAllOrMore) {
    const std::uint8_t bytes[] = {10, 11, 12, 13, 14};
    Packet p;
    p.Assign(bytes, sizeof(bytes));
    p.Consume(2);
    ASSERT_EQ(p.Size(), 3u);
    EXPECT_EQ(p.Data()[0], 12);
    EXPECT_EQ(p.Data()[2], 14);
    p.Consume(0);
    EXPECT_EQ(p.Size(), 3u);
    p.Consume(3);
    EXPECT_TRUE(p.Empty());

    p.Assign(bytes, sizeof(bytes));
    p.Consume(1000);
    EXPECT_TRUE(p.Empty());
}

// ---- SockAddr ----

TEST(SockAddr, ClearedAddressHasTheSystemLayoutAndTheNoAddressMarker) {
    SockAddr a;
    static_assert(sizeof(SockAddr) == 16);
    unsigned char raw[16];
    std::memcpy(raw, &a, sizeof(raw));
    const std::uint16_t family = static_cast<std::uint16_t>(raw[0] | (raw[1] << 8));
    EXPECT_EQ(family, 2);  // host order on the little-endian targets we build for
    EXPECT_EQ(raw[2], 0);
    EXPECT_EQ(raw[3], 0);
    EXPECT_EQ(raw[4], 0x00);
    EXPECT_EQ(raw[5], 0xFF);
    EXPECT_EQ(raw[6], 0xFF);
    EXPECT_EQ(raw[7], 0x00);
    for (int i = 8; i < 16; ++i) {
        EXPECT_EQ(raw[i], 0) << i;
    }
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(a.IsComplete());
    EXPECT_EQ(a.GetPort(), 0);
}

TEST(SockAddr, PortIsStoredBigEndianAndPrintedWithTheDottedQuad) {
    SockAddr a(L"192.168.1.10", 7000);
    ASSERT_TRUE(a.IsValid());
    EXPECT_TRUE(a.IsComplete());
    EXPECT_EQ(a.Native().port[0], 0x1B);  // 7000 = 0x1B58
    EXPECT_EQ(a.Native().port[1], 0x58);
    EXPECT_EQ(a.Native().addr[0], 192);
    EXPECT_EQ(a.Native().addr[3], 10);
    EXPECT_EQ(a.ToString(), L"192.168.1.10:7000");
    EXPECT_EQ(a.AddrToString(), L"192.168.1.10");
    std::uint32_t word;
    std::memcpy(&word, a.Native().addr, 4);
    EXPECT_EQ(a.GetAddr(), word);
}

TEST(SockAddr, SetRejectsNullAndEmptyHostsAndLeavesTheAddressCleared) {
    SockAddr a(L"10.1.2.3", 80);
    ASSERT_TRUE(a.IsValid());
    EXPECT_FALSE(a.Set(static_cast<const wchar_t*>(nullptr), 80));
    EXPECT_EQ(a, SockAddr());
    a.Set(std::wstring(L"10.1.2.3"), 80);
    EXPECT_FALSE(a.Set(std::wstring(), 80));
    EXPECT_EQ(a, SockAddr());
    EXPECT_EQ(a.GetPort(), 0);
}

class RecordCollector : public IDebugLogListener {
public:
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }
    std::vector<std::wstring> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

private:
    std::mutex mutex_;
    std::vector<std::wstring> records_;
};

TEST(SockAddr, UnresolvableHostFailsClearsAndReportsTheError) {
    std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    ASSERT_NE(log, nullptr);
    RecordCollector collector;
    log->SetListener(&collector);

    // A name holding a zero character can never be resolved; the resolver is not even asked.
    SockAddr a(L"10.1.2.3", 80);
    EXPECT_FALSE(a.Set(std::wstring(L"bad\0name", 8), 80));
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(a.GetPort(), 0);

    log->Flush(std::chrono::milliseconds(5000));
    log->SetListener(nullptr);
    int reports = 0;
    for (const std::wstring& record : collector.Records()) {
        if (record.find(L"Can not resolve host name 'bad") != std::wstring::npos &&
            record.find(L"Network::SockAddr::Set") != std::wstring::npos) {
            ++reports;
        }
    }
    EXPECT_EQ(reports, 1);
}

TEST(SockAddr, SetFromHostAndPortText) {
    SockAddr a;
    EXPECT_FALSE(a.Set(std::wstring(L"10.0.0.1")));  // no colon
    EXPECT_FALSE(a.IsValid());

    EXPECT_TRUE(a.Set(std::wstring(L"10.0.0.1:")));
    EXPECT_TRUE(a.IsValid());
    EXPECT_EQ(a.GetPort(), 0);
    EXPECT_FALSE(a.IsComplete());

    EXPECT_TRUE(a.Set(L"10.0.0.1:5000"));
    EXPECT_EQ(a.GetPort(), 5000);
    EXPECT_TRUE(a.IsComplete());
    EXPECT_EQ(a.ToString(), L"10.0.0.1:5000");

    EXPECT_EQ(SockAddr(L"10.0.0.1:5000"), a);
    EXPECT_EQ(SockAddr(std::wstring(L"10.0.0.1"), 5000), a);
}

TEST(SockAddr, PortTextIsReadLikeAnIntegerConversionInBaseTen) {
    struct Case {
        const wchar_t* text;
        std::uint16_t port;
    };
    const Case cases[] = {
        {L"1.2.3.4: +42", 42},           {L"1.2.3.4:12ab", 12},    {L"1.2.3.4:abc", 0},
        {L"1.2.3.4:65535", 65535},       {L"1.2.3.4:70000", 4464}, {L"1.2.3.4:-1", 65535},
        {L"1.2.3.4:99999999999", 65535},  // saturates at the largest 32-bit number
        {L"1.2.3.4:-99999999999", 0},     // and at the smallest
    };
    for (const Case& c : cases) {
        SockAddr a;
        EXPECT_TRUE(a.Set(c.text)) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(a.GetPort(), c.port) << testing::PrintToString(std::wstring(c.text));
        SockAddr n;
        EXPECT_TRUE(n.SetNumeric(c.text));
        EXPECT_EQ(n, a);
    }
}

TEST(SockAddr, ResolvesTheLocalHostName) {
    SockAddr a(L"localhost", 15001);
    ASSERT_TRUE(a.IsValid());
    EXPECT_EQ(a.AddrToString(), L"127.0.0.1");
    EXPECT_EQ(a.GetPort(), 15001);
}

TEST(SockAddr, TheNoAddressMarkerIsNeverValid) {
    SockAddr a;
    EXPECT_FALSE(a.Set(L"0.255.255.0:5"));
    EXPECT_FALSE(a.IsValid());
    EXPECT_FALSE(a.SetNumeric(L"0.255.255.0:5"));
    EXPECT_TRUE(a.SetNumeric(L"0.0.0.0:5"));
}

TEST(SockAddr, NumericFormAcceptsOnlyDottedQuads) {
    SockAddr a;
    EXPECT_TRUE(a.SetNumeric(L"10.0.0.5:5004"));
    EXPECT_EQ(a.ToString(), L"10.0.0.5:5004");
    EXPECT_TRUE(a.SetNumeric(L"255.255.255.255:1"));

    const wchar_t* rejected[] = {
        L"localhost:80", L"1.2.3:80", L"1.2.3.256:1", L"1.2.3.4.5:1",  L"1.2.3.4", L" 1.2.3.4:1",
        L"1..2.3:4",     L":80",      L"1.2.3.4 :80", L"1234.1.1.1:1", L"",        L"-1.2.3.4:5"};
    for (const wchar_t* text : rejected) {
        SockAddr b(L"9.9.9.9", 9);
        EXPECT_FALSE(b.SetNumeric(text)) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(b, SockAddr()) << testing::PrintToString(std::wstring(text));
    }
}

TEST(SockAddr, EqualityAndOrderUseFamilyAddressAndPort) {
    const SockAddr a(L"10.0.0.1:80");
    const SockAddr b(L"10.0.0.1:81");
    const SockAddr c(L"10.0.0.2:1");
    const SockAddr d(L"9.0.0.3:1");  // the last byte counts most in the little-endian word
    EXPECT_EQ(a, SockAddr(L"10.0.0.1:80"));
    EXPECT_NE(a, b);
    EXPECT_NE(SockAddr(), a);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(b < c);
    EXPECT_TRUE(c < d);
    EXPECT_FALSE(a < a);

    std::map<SockAddr, int> m;
    m[a] = 1;
    m[b] = 2;
    m[SockAddr(L"10.0.0.1:80")] = 3;
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m[a], 3);
}

}  // namespace
