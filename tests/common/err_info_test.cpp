#include "common/err_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "log_test_support.h"
#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace {

constexpr char kMethod[] = "Network::JsonMsg::ToPacket";
constexpr char kFile[] = "src/protocol/json_msg.cpp";
const std::wstring kPlace = L" Method=Network::JsonMsg::ToPacket File=src/protocol/json_msg.cpp Line=42";

// The part of a system error: kind, code and the system's text with its control characters as blanks.
std::wstring System(std::uint32_t code, const wchar_t* codeText) {
    std::wstring text = platform::SystemErrorText(code).substr(0, 511);
    std::replace_if(
        text.begin(), text.end(), [](wchar_t c) { return static_cast<unsigned>(c) < 32; }, L' ');
    return L" ErrType=1 ErrCode=" + std::wstring(codeText) + L" (" + text + L")";
}

TEST(ErrInfo, Texts) {
    const struct Row {
        std::function<void(ErrInfo&)> set;
        std::wstring shortText;
    } rows[] = {
        {[](ErrInfo&) {}, L""},
        {[](ErrInfo& e) { e.SetError(L"Bad socket"); }, L" ErrStr=Bad socket"},
        {[](ErrInfo& e) { e.SetSysError(10054, "recv failed"); },
         System(10054, L"10054/2746h") + L" ErrStr=recv failed"},
        {[](ErrInfo& e) { e.SetSysError(0xC0000005u, L"x"); },
         System(0xC0000005u, L"3221225477/C0000005h") + L" ErrStr=x"},
        {[](ErrInfo& e) { e.SetError("\xC3"); }, L""},  // invalid UTF-8: an error without text
        {[](ErrInfo& e) { e.AddInfo("a").AddInfo(std::wstring(L"b")); },
         L" ErrStr=a\r\n" + std::wstring(37, L' ') + L"b"},
        {[](ErrInfo& e) { e.SetSysError(3, L"").AddInfo(L"more"); }, System(3, L"3/3h") + L" ErrStr=more"},
    };
    for (const Row& row : rows) {
        ErrInfo e(kMethod, kFile, 42);
        row.set(e);
        EXPECT_EQ(e.ToShortString(), row.shortText);
        EXPECT_EQ(e.ToString(), e.IsOk() ? L"" : row.shortText + kPlace);
        e.MarkHandled();
    }
    ErrInfo e(kMethod, kFile, 42);
    e.SetError(L"\u00FCber").MarkHandled();
    EXPECT_EQ(std::string(ErrException(e).what()), WideToUtf8(L" ErrStr=\u00FCber" + kPlace));
}

TEST(ErrInfo, CopiesShareTheErrorAndReportItOnce) {
    testing_support::LogCapture capture;
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
        ErrInfo overwritten(kMethod, kFile, 3);
        overwritten.SetError(L"overwritten unhandled");
        overwritten = ErrInfo(quiet);
    }
    const auto reported = capture.Containing(L"reported once");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].substr(37), expected + L"\r\n");
    EXPECT_TRUE(capture.Containing(L"handled, never reported").empty());
    EXPECT_EQ(capture.Containing(L"overwritten unhandled").size(), 1u);
}

}  // namespace
