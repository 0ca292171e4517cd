#include "common/err_info.h"

#include <gtest/gtest.h>

#include <string>

#include "log_test_support.h"
#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace {

using testing_support::ProcessLogCapture;

constexpr char kMethod[] = "Network::JsonMsg::ToPacket";
constexpr char kFile[] = "src/protocol/json_msg.cpp";

std::wstring OneLine(std::wstring text) {
    if (text.size() > 511) {
        text.resize(511);
    }
    for (wchar_t& c : text) {
        if (static_cast<unsigned>(c) < 32) {
            c = L' ';
        }
    }
    return text;
}

TEST(ErrInfo, OkObjectPrintsNothingAndReportsNothing) {
    ProcessLogCapture capture;
    {
        ErrInfo ok(kMethod, kFile, 10);
        EXPECT_TRUE(ok.IsOk());
        EXPECT_FALSE(ok.IsHandled());
        EXPECT_EQ(ok.GetCode(), 0u);
        EXPECT_EQ(ok.GetType(), 0u);
        EXPECT_TRUE(ok.GetText().empty());
        std::wstring out = L"previous";
        EXPECT_EQ(&ok.ToString(out), &out);
        EXPECT_EQ(out, L"");
        out = L"previous";
        EXPECT_EQ(ok.ToShortString(out), L"");
        // The empty text of every ok object is one shared string.
        ErrInfo other(kMethod, kFile, 11);
        EXPECT_EQ(&ok.GetText(), &other.GetText());
    }
    capture.Sync();
    EXPECT_TRUE(capture.Records().empty());
}

TEST(ErrInfo, TextErrorPrintsOnlyTextAndLocation) {
    ErrInfo e(kMethod, kFile, 42);
    EXPECT_EQ(&e.SetError(L"Bad socket"), &e);
    EXPECT_FALSE(e.IsOk());
    EXPECT_EQ(e.GetType(), 3u);
    EXPECT_EQ(e.GetCode(), 0u);
    EXPECT_EQ(e.ToShortString(), L" ErrStr=Bad socket");
    EXPECT_EQ(e.ToString(),
              L" ErrStr=Bad socket Method=Network::JsonMsg::ToPacket File=src/protocol/json_msg.cpp Line=42");
    e.MarkHandled();
}

TEST(ErrInfo, SystemErrorPrintsKindCodeSystemTextAndText) {
    ErrInfo e(kMethod, kFile, -3);
    e.SetSysError(10054, "UDP socket: recv failed");
    EXPECT_EQ(e.GetType(), 1u);
    EXPECT_EQ(e.GetCode(), 10054u);
    const std::wstring sys = OneLine(platform::SystemErrorText(10054));
    EXPECT_EQ(e.ToShortString(),
              L" ErrType=1 ErrCode=10054/2746h (" + sys + L") ErrStr=UDP socket: recv failed");
    EXPECT_EQ(e.ToString(), e.ToShortString() + L" Method=" + Utf8ToWide(kMethod) + L" File=" +
                                Utf8ToWide(kFile) + L" Line=-3");
    for (wchar_t c : e.ToString()) {
        EXPECT_GE(static_cast<unsigned>(c), 32u);
    }
    e.MarkHandled();
}

TEST(ErrInfo, CodesPrintUnsignedInDecimalAndUpperCaseHex) {
    ErrInfo zero(kMethod, kFile, 1);
    zero.SetSysError(0u, L"");
    EXPECT_EQ(zero.ToShortString().rfind(L" ErrType=1 ErrCode=0/0h (", 0), 0u);
    // No text: no ErrStr part.
    EXPECT_EQ(zero.ToShortString().find(L"ErrStr"), std::wstring::npos);
    ErrInfo big(kMethod, kFile, 1);
    big.SetSysError(0xC0000005u, L"x");
    EXPECT_NE(big.ToShortString().find(L" ErrCode=3221225477/C0000005h ("), std::wstring::npos);
    zero.MarkHandled();
    big.MarkHandled();
}

TEST(ErrInfo, LastSystemErrorIsTakenAsCode) {
    ErrInfo e(kMethod, kFile, 1);
    platform::SetLastSystemError(5);
    e.SetLastSysError(std::string("denied"));
    EXPECT_EQ(e.GetCode(), 5u);
    EXPECT_EQ(e.GetType(), 1u);
    EXPECT_EQ(e.GetText(), L"denied");
    e.MarkHandled();
}

TEST(ErrInfo, SettersReuseOneRecordAndNarrowTextIsUtf8) {
    ErrInfo e(kMethod, kFile, 1);
    e.SetSysError(7, L"first");
    ErrInfo copy(e);  // shares the record
    e.SetError("caf\xC3\xA9");
    EXPECT_EQ(copy.GetText(), L"caf\u00E9");
    EXPECT_EQ(copy.GetType(), 3u);
    EXPECT_EQ(copy.GetCode(), 7u);  // a text error leaves the code as it was
    e.SetError("\xC3");             // invalid UTF-8: empty text, kind still set
    EXPECT_TRUE(copy.GetText().empty());
    EXPECT_EQ(copy.GetType(), 3u);
    copy.MarkHandled();
}

TEST(ErrInfo, AddInfoStartsATextErrorAndJoinsWithTheLogLineBreak) {
    ProcessLogCapture capture;
    ErrInfo e(kMethod, kFile, 1);
    e.AddInfo("first");
    EXPECT_EQ(e.GetType(), 3u);
    EXPECT_EQ(e.GetText(), L"first");
    e.AddInfo(std::wstring(L"second"));
    EXPECT_EQ(e.GetText(), L"first" + capture.Log().LineBreak + L"second");
    EXPECT_EQ(capture.Log().LineBreak, L"\r\n" + std::wstring(37, L' '));
    // On a coded error the kind stays.
    ErrInfo s(kMethod, kFile, 2);
    s.SetSysError(3, L"");
    s.AddInfo(L"more");
    EXPECT_EQ(s.GetType(), 1u);
    EXPECT_EQ(s.GetText(), L"more");
    e.MarkHandled();
    s.MarkHandled();
}

TEST(ErrInfo, UnhandledErrorIsReportedOnceByItsNewestCopy) {
    ProcessLogCapture capture;
    std::wstring expected;
    {
        ErrInfo original(kMethod, kFile, 77);
        original.SetError(L"reported once");
        expected = original.ToString();
        {
            ErrInfo copy(original);
            EXPECT_TRUE(original.IsHandled());
            EXPECT_FALSE(copy.IsHandled());
            ErrInfo third(kMethod, kFile, 1);
            third = copy;
            EXPECT_TRUE(copy.IsHandled());
            EXPECT_FALSE(third.IsHandled());
            EXPECT_EQ(third.Line(), 77);
        }
        capture.Sync();
        EXPECT_EQ(capture.Containing(L"reported once").size(), 1u);
    }
    capture.Sync();
    const auto records = capture.Containing(L"reported once");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(37), expected + L"\r\n");
}

TEST(ErrInfo, HandledErrorAndItsCopiesReportNothing) {
    ProcessLogCapture capture;
    {
        ErrInfo e(kMethod, kFile, 1);
        e.SetError(L"quiet").MarkHandled();
        ErrInfo copy(e);
        ErrInfo assigned(kMethod, kFile, 2);
        assigned = copy;
        EXPECT_TRUE(copy.IsHandled());
        EXPECT_TRUE(assigned.IsHandled());
    }
    capture.Sync();
    EXPECT_TRUE(capture.Containing(L"quiet").empty());
}

TEST(ErrInfo, AssigningOverAnUnhandledErrorReportsIt) {
    ProcessLogCapture capture;
    {
        ErrInfo target(kMethod, kFile, 1);
        target.SetError(L"overwritten");
        ErrInfo source(kMethod, kFile, 2);
        source.SetError(L"replacement").MarkHandled();
        target = source;
        EXPECT_EQ(target.GetText(), L"replacement");
        target = target;  // self-assignment changes nothing
        EXPECT_EQ(target.GetText(), L"replacement");
    }
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"overwritten").size(), 1u);
    EXPECT_TRUE(capture.Containing(L"replacement").empty());
}

TEST(ErrInfo, ErrorsFromManyThreadsAreReported) {
    ProcessLogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                ErrInfo e(kMethod, kFile, i);
                e.SetError(FormatLine(L"threaded %d/%d", t, i));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"threaded ").size(), 200u);
}

TEST(ErrException, MessagesAreUtf8) {
    ErrInfo e(kMethod, kFile, 9);
    e.SetError(L"\u00FCber");
    const ErrException fromInfo(e);
    EXPECT_EQ(std::string(fromInfo.what()), WideToUtf8(e.ToString()));
    EXPECT_NE(std::string(fromInfo.what()).find("Line=9"), std::string::npos);
    e.MarkHandled();

    const ErrException fromWide(std::wstring(L"gr\u00FC\u00DF"));
    EXPECT_STREQ(fromWide.what(), "gr\xC3\xBC\xC3\x9F");
    const ErrException fromNarrow(std::string("plain"));
    const ErrException copy(fromNarrow);
    EXPECT_STREQ(copy.what(), "plain");
    try {
        throw ErrException(std::string("thrown"));
    } catch (const std::exception& ex) {
        EXPECT_STREQ(ex.what(), "thrown");
    }
}

}  // namespace
