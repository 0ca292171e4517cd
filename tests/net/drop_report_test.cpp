// The drop report: counts per sender and reason, one summary line per sender and minute, a bounded table.
#include "net/drop_report.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_clock.h"

namespace {

using Network::DropReport;
using Network::SockAddr;
using std::chrono::milliseconds;
using testing_support::TestClock;

// Keeps the lines written to it.
class LinesLog : public IDebugLog {
public:
    std::uint32_t SetLoggingLevel(std::uint32_t) override { return 0; }
    std::uint32_t GetLoggingLevel() const override { return 0; }
    std::uint32_t SetEntriesPerMinute(std::uint32_t) override { return 0; }
    std::uint32_t GetEntriesPerMinute() const override { return 0; }
    using IDebugLog::Write;
    void Write(const wchar_t* text, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text, length);
    }
    void WriteRaw(const char*, std::size_t) override {}
    void SetListener(IDebugLogListener*) override {}
    std::vector<std::wstring> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

TEST(DropReport, OneLinePerSenderAndMinuteWithTheCountsAndTheSendersBeyondTheBoundFolded) {
    TestClock clock;
    auto log = std::make_shared<LinesLog>();
    DropReport report(L"Session", log, &clock, 2);
    const SockAddr a(L"127.0.0.2", 40000), b(L"127.0.0.3", 40001), c(L"127.0.0.4", 40002), d(L"127.0.0.5", 1);
    // Only each sender's first drop of a minute is "first".
    EXPECT_TRUE(report.Count(a, Network::kDropForeign));
    for (int i = 0; i < 9981; ++i) {
        EXPECT_FALSE(report.Count(a, Network::kDropForeign));
    }
    for (int i = 0; i < 3; ++i) {
        report.Count(a, Network::kDropUndecodable);
        report.Count(b, Network::kDropQueueFull);
    }
    report.Count(c, Network::kDropForeign);
    report.Count(d, Network::kDropForeign);
    clock.Step(milliseconds(59999));
    report.Poll();
    EXPECT_TRUE(log->Take().empty());

    clock.Step(milliseconds(1));
    report.Count(a, Network::kDropForeign);  // opens a's next minute
    EXPECT_EQ(log->Take(),
              (std::vector<std::wstring>{
                  L"Session: dropped from 127.0.0.2:40000 in the last minute: 9982 foreign, 3 undecodable",
                  L"Session: dropped from 127.0.0.3:40001 in the last minute: 3 queue full",
                  L"Session: dropped from other senders in the last minute: 2 foreign"}));
    EXPECT_EQ(report.Total(Network::kDropForeign), 9985u);

    // A minute later only a, which dropped again; b and the others were quiet and leave the table, so a new
    // sender has a line of its own.
    report.Count(c, Network::kDropUndecodable);
    clock.Step(milliseconds(60000));
    report.Poll();
    EXPECT_EQ(log->Take(), (std::vector<std::wstring>{
                               L"Session: dropped from 127.0.0.2:40000 in the last minute: 1 foreign",
                               L"Session: dropped from other senders in the last minute: 1 undecodable"}));
    clock.Step(milliseconds(60000));
    report.Poll();
    EXPECT_TRUE(report.Count(d, Network::kDropForeign));
    clock.Step(milliseconds(60000));
    report.Poll();
    EXPECT_EQ(
        log->Take(),
        (std::vector<std::wstring>{L"Session: dropped from 127.0.0.5:1 in the last minute: 1 foreign"}));
}

}  // namespace
