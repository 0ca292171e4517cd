#include "common/err_info.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "log_test_support.h"
#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace {

using testing_support::ProcessLogCapture;

constexpr char kMethod[] = "Network::JsonMsg::ToPacket";
constexpr char kFile[] = "src/protocol/json_msg.cpp";
const std::wstring kPlace = L" Method=Network::JsonMsg::ToPacket File=src/protocol/json_msg.cpp Line=42";

// The system's text for a code as the error texts show it: control characters become blanks.
std::wstring SystemText(std::uint32_t code) {
    std::wstring text = platform::SystemErrorText(code).substr(0, 511);
    for (wchar_t& c : text) {
        c = static_cast<unsigned>(c) < 32 ? L' ' : c;
    }
    return text;
}

TEST(ErrInfo, Texts) {
    struct Row {
        const char* name;
        std::function<void(ErrInfo&)> set;
        std::wstring shortText;
    } rows[] = {
        {"ok", [](ErrInfo&) {}, L""},
        {"text error", [](ErrInfo& e) { e.SetError(L"Bad socket"); }, L" ErrStr=Bad socket"},
        {"system error", [](ErrInfo& e) { e.SetSysError(10054, "UDP socket: recv failed"); },
         L" ErrType=1 ErrCode=10054/2746h (" + SystemText(10054) + L") ErrStr=UDP socket: recv failed"},
        {"code 0 and no text", [](ErrInfo& e) { e.SetSysError(0u, L""); },
         L" ErrType=1 ErrCode=0/0h (" + SystemText(0) + L")"},
        {"unsigned upper-case code", [](ErrInfo& e) { e.SetSysError(0xC0000005u, L"x"); },
         L" ErrType=1 ErrCode=3221225477/C0000005h (" + SystemText(0xC0000005u) + L") ErrStr=x"},
        {"narrow text is UTF-8", [](ErrInfo& e) { e.SetError("caf\xC3\xA9"); }, L" ErrStr=caf\u00E9"},
        {"invalid UTF-8 leaves no text", [](ErrInfo& e) { e.SetError("\xC3"); }, L""},
        {"last system error", [](ErrInfo& e) {
             platform::SetLastSystemError(5);
             e.SetLastSysError(std::string("denied"));
         },
         L" ErrType=1 ErrCode=5/5h (" + SystemText(5) + L") ErrStr=denied"},
    };
    for (const Row& row : rows) {
        ErrInfo e(kMethod, kFile, 42);
        row.set(e);
        EXPECT_EQ(e.ToShortString(), row.shortText) << row.name;
        EXPECT_EQ(e.ToString(), e.IsOk() ? L"" : row.shortText + kPlace) << row.name;
        e.MarkHandled();
    }
}

TEST(ErrInfo, AddInfoStartsATextErrorAndJoinsWithTheLogLineBreak) {
    ErrInfo e(kMethod, kFile, 1);
    e.AddInfo("first").AddInfo(std::wstring(L"second"));
    EXPECT_EQ(e.GetType(), 3u);
    EXPECT_EQ(e.GetText(), L"first\r\n" + std::wstring(37, L' ') + L"second");
    ErrInfo coded(kMethod, kFile, 2);
    coded.SetSysError(3, L"").AddInfo(L"more");
    EXPECT_EQ(coded.GetType(), 1u) << "a coded error keeps its kind";
    e.MarkHandled();
    coded.MarkHandled();
}

TEST(ErrInfo, CopiesShareTheErrorAndReportItOnce) {
    ProcessLogCapture capture;
    std::wstring expected;
    {
        ErrInfo original(kMethod, kFile, 77);
        original.SetError(L"reported once");
        expected = original.ToString();
        ErrInfo copy(original);
        ErrInfo third(kMethod, kFile, 1);
        third = copy;
        original.SetSysError(9, L"changed through the first");
        EXPECT_EQ(third.GetCode(), 9u) << "copies share one record";
        third.SetError(L"reported once");
        ErrInfo quiet(kMethod, kFile, 2);
        quiet.SetError(L"handled, never reported").MarkHandled();
        ErrInfo quietCopy(quiet);
        ErrInfo overwritten(kMethod, kFile, 3);
        overwritten.SetError(L"overwritten unhandled");
        overwritten = quietCopy;
    }
    capture.Sync();
    const auto reported = capture.Containing(L"reported once");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].substr(37), expected + L"\r\n");
    EXPECT_TRUE(capture.Containing(L"handled, never reported").empty());
    EXPECT_EQ(capture.Containing(L"overwritten unhandled").size(), 1u);
}

TEST(ErrException, MessagesAreUtf8) {
    ErrInfo e(kMethod, kFile, 42);
    e.SetError(L"\u00FCber");
    EXPECT_EQ(std::string(ErrException(e).what()), WideToUtf8(L" ErrStr=\u00FCber" + kPlace));
    e.MarkHandled();
    EXPECT_STREQ(ErrException(std::wstring(L"gr\u00FC\u00DF")).what(), "gr\xC3\xBC\xC3\x9F");
}

}  // namespace
