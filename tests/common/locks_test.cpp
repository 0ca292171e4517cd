#include "common/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "log_test_support.h"

namespace {

using testing_support::ProcessLogCapture;

constexpr std::uint64_t kFrequency = 10000000;  // 10 MHz: 10000 ticks per millisecond

LockUseTimes Times(std::uint64_t waitTicks, std::uint64_t holdTicks, std::uint64_t releaseTicks) {
    LockUseTimes t;
    t.request = 1000000;
    t.acquire = t.request + waitTicks;
    t.releaseStart = t.acquire + holdTicks;
    t.releaseEnd = t.releaseStart + releaseTicks;
    return t;
}

TEST(LockReport, NothingBelowTheThresholdOneLineFromIt) {
    // 4.9999 ms in all: no report.
    EXPECT_EQ(FormatLockReport(L"M", L"c", 5, nullptr, nullptr, 0, Times(20000, 29999, 0), kFrequency), L"");
    // Exactly 5 ms: reported.
    EXPECT_EQ(FormatLockReport(L"M", L"c", 5, nullptr, nullptr, 0, Times(20000, 30000, 0), kFrequency),
              L"LOCK: M c: Total=5 Waiting=2 Owning=3 Release=0");
    // Milliseconds are truncated per figure.
    EXPECT_EQ(FormatLockReport(L"RtpManager::RecvChansLock", L"", 5, nullptr, nullptr, 0,
                               Times(105000, 19999, 10001), kFrequency),
              L"LOCK: RtpManager::RecvChansLock : Total=13 Waiting=10 Owning=1 Release=1")
        << "an empty comment leaves a blank before the colon";
    EXPECT_EQ(FormatLockReport(L"M", nullptr, 5, nullptr, nullptr, 0, Times(0, 50000, 0), kFrequency),
              L"LOCK: M : Total=5 Waiting=0 Owning=5 Release=0");
    // Threshold 0 reports every use.
    EXPECT_EQ(FormatLockReport(L"M", L"x", 0, nullptr, nullptr, 0, Times(0, 0, 0), kFrequency),
              L"LOCK: M x: Total=0 Waiting=0 Owning=0 Release=0");
}

TEST(LockReport, LocationOnlyWithMethodFileAndPositiveLine) {
    const LockUseTimes t = Times(0, 60000, 0);
    EXPECT_EQ(FormatLockReport(L"NetManager::ServicedSocketsMutex", L"", 5, "Network::NetManager::Process",
                               "src/net/net_manager.cpp", 412, t, kFrequency),
              L"LOCK: NetManager::ServicedSocketsMutex : Total=6 Waiting=0 Owning=6 Release=0"
              L" Method=Network::NetManager::Process File=src/net/net_manager.cpp Line=412");
    const std::wstring bare = L"LOCK: S Close: Total=6 Waiting=0 Owning=6 Release=0";
    EXPECT_EQ(FormatLockReport(L"S", L"Close", 5, "m", nullptr, 3, t, kFrequency), bare);
    EXPECT_EQ(FormatLockReport(L"S", L"Close", 5, nullptr, "f", 3, t, kFrequency), bare);
    EXPECT_EQ(FormatLockReport(L"S", L"Close", 5, "m", "f", 0, t, kFrequency), bare);
    EXPECT_EQ(FormatLockReport(L"S", L"Close", 5, "m", "f", -4, t, kFrequency), bare);
}

TEST(NamedMutexes, NamesAndRecursion) {
    NamedMutex plain(L"RtpManager::RecvChansLock");
    EXPECT_EQ(plain.Name(), L"RtpManager::RecvChansLock");
    NamedRecursiveMutex recursive(L"sock::_SockMutex");
    EXPECT_EQ(recursive.Name(), L"sock::_SockMutex");

    recursive.lock();
    ASSERT_TRUE(recursive.try_lock()) << "the owner may lock again";
    std::atomic<bool> otherGotIt{true};
    std::thread([&] { otherGotIt = recursive.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt.load());
    recursive.unlock();
    std::thread([&] { otherGotIt = recursive.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt.load()) << "still held once";
    recursive.unlock();
    std::thread([&] {
        otherGotIt = recursive.try_lock();
        if (otherGotIt) {
            recursive.unlock();
        }
    }).join();
    EXPECT_TRUE(otherGotIt.load());

    plain.lock();
    std::thread([&] { otherGotIt = plain.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt.load());
    plain.unlock();
}

TEST(TimedLocker, GuardsTheMutexForItsScope) {
    NamedMutex m(L"Test::Scope");
    std::atomic<bool> locked{false};
    {
        TimedLocker lock(m, L"Scope");
        std::thread([&] { locked = m.try_lock(); }).join();
        EXPECT_FALSE(locked.load());
    }
    ASSERT_TRUE(m.try_lock()) << "released at the end of the scope";
    m.unlock();

    NamedRecursiveMutex r(L"Test::Nested");
    {
        TimedLocker outer(r, L"outer");
        TimedLocker inner(r, L"inner");  // the same thread again: no deadlock
    }
    ASSERT_TRUE(r.try_lock());
    r.unlock();
}

// Parses "... Total=%d Waiting=%d Owning=%d Release=%d..." from a record; -1 for a figure not found.
struct Figures {
    int total = -1, waiting = -1, owning = -1, release = -1;
};
int FigureAfter(const std::wstring& record, const std::wstring& label) {
    const std::size_t at = record.find(label);
    if (at == std::wstring::npos) {
        return -1;
    }
    std::size_t p = at + label.size();
    int value = -1;
    while (p < record.size() && record[p] >= L'0' && record[p] <= L'9') {
        value = (value < 0 ? 0 : value * 10) + (record[p] - L'0');
        ++p;
    }
    return value;
}
Figures Parse(const std::wstring& record) {
    return {FigureAfter(record, L" Total="), FigureAfter(record, L" Waiting="),
            FigureAfter(record, L" Owning="), FigureAfter(record, L" Release=")};
}

TEST(TimedLocker, SlowUseWritesExactlyOneLineAfterTheUnlock) {
    ProcessLogCapture capture;
    NamedRecursiveMutex m(L"Test::SlowSock::_SockMutex");
    {
        TimedLocker lock(m, L"UDP socket: SetSendAddr", 5, "Network::UdpSock::SetSendAddr", "udp_sock.cpp",
                         77);
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
    capture.Sync();
    const auto lines =
        capture.Containing(L"LOCK: Test::SlowSock::_SockMutex UDP socket: SetSendAddr: Total=");
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring& line = lines[0];
    EXPECT_NE(line.find(L" Method=Network::UdpSock::SetSendAddr File=udp_sock.cpp Line=77\r\n"),
              std::wstring::npos)
        << std::string(line.begin(), line.end());
    const Figures f = Parse(line);
    EXPECT_GE(f.total, 7);
    EXPECT_GE(f.owning, 7);
    EXPECT_GE(f.waiting, 0);
    EXPECT_LE(f.waiting + f.owning + f.release, f.total + 2)
        << "the parts add up to the total (rounding aside)";
}

TEST(TimedLocker, FastUseWritesNothing) {
    ProcessLogCapture capture;
    NamedMutex m(L"Test::FastMutex");
    const std::uint64_t start = GetTicks();
    { TimedLocker lock(m, L"Fast"); }
    const std::uint64_t elapsed = GetTicks() - start;
    capture.Sync();
    if (elapsed >= MsToTicks(5)) {
        GTEST_SKIP() << "the machine stalled for 5 ms inside the lock use; a report is then correct";
    }
    EXPECT_TRUE(capture.Containing(L"Test::FastMutex").empty());
}

TEST(TimedLocker, WaitingForAnotherThreadIsReportedAsWaiting) {
    ProcessLogCapture capture;
    NamedMutex m(L"Test::Contended");
    std::atomic<bool> holderHasIt{false};
    std::atomic<bool> waiterStarting{false};
    std::thread holder([&] {
        m.lock();
        holderHasIt = true;
        while (!waiterStarting) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        m.unlock();
    });
    while (!holderHasIt) {
        std::this_thread::yield();
    }
    waiterStarting = true;
    {
        TimedLocker lock(m, L"Wait");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    holder.join();
    capture.Sync();
    const auto lines = capture.Containing(L"LOCK: Test::Contended Wait: ");
    ASSERT_EQ(lines.size(), 1u);
    const Figures f = Parse(lines[0]);
    EXPECT_GE(f.waiting, 20) << "the holder kept it about 40 ms after the waiter asked";
    EXPECT_GE(f.owning, 10);
    const std::wstring ending = L" Release=" + std::to_wstring(f.release) + L"\r\n";
    ASSERT_GE(lines[0].size(), ending.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - ending.size()), ending)
        << "without a location the line ends with the Release figure";
}

}  // namespace
