#include "common/locks.h"

#include <gtest/gtest.h>

namespace {

LockUseTimes Times(std::uint64_t wait, std::uint64_t hold, std::uint64_t release) {
    return {1000000, 1000000 + wait, 1000000 + wait + hold, 1000000 + wait + hold + release};
}

TEST(LockReport, ThresholdAndLayout) {
    constexpr std::uint64_t kFrequency = 10000000;  // 10000 ticks per millisecond
    EXPECT_FALSE(IsSlowLockUse(Times(20000, 29999, 0), 5, kFrequency)) << "4.9999 ms";
    EXPECT_TRUE(IsSlowLockUse(Times(20000, 30000, 0), 5, kFrequency)) << "5 ms";
    const std::wstring name = L"NetManager::ServicedSocketsMutex";
    const std::wstring lock = L"LOCK: " + name + L" ";
    const std::wstring figures = L": Total=13 Waiting=10 Owning=1 Release=1";
    const struct Row {
        const wchar_t* comment;
        const char *method, *file;
        int line;
        std::wstring expected;
    } rows[] = {
        {L"", "Network::NetManager::Process", "net_manager.cpp", 412,
         lock + figures + L" Method=Network::NetManager::Process File=net_manager.cpp Line=412"},
        {L"Close", nullptr, nullptr, 0, lock + L"Close" + figures},
        {nullptr, "m", nullptr, 3, lock + figures},
        {L"c", nullptr, "f", 3, lock + L"c" + figures},
        {L"c", "m", "f", 0, lock + L"c" + figures},
    };
    for (const Row& row : rows) {
        const SlowLockUse use{&name,    row.comment, row.method,
                              row.file, row.line,    Times(105000, 19999, 10001)};
        EXPECT_EQ(FormatLockReport(use, kFrequency), row.expected);
    }
}

}  // namespace
