// What kxctl prints: table alignment by characters, device texts made safe for a terminal, and the exact
// JSON documents (keys, values, UTF-8 of RDS texts whatever form the wide text has).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kxctl_test_support.h"

namespace {

namespace SDK = Norvane::SDK;
using Kxctl::TunerReading;
using kxctl_test::Keys;
using kxctl_test::ParseJson;

SDK::Kx410TunerQualityValues Quality(std::uint32_t rssi, std::uint32_t snr, std::uint32_t multipath,
                                     std::uint32_t pilot, std::uint32_t valid) {
    SDK::Kx410TunerQualityValues q;
    q.rssi = rssi;
    q.snr = snr;
    q.multipath = multipath;
    q.pilot = pilot;
    q.valid = valid;
    return q;
}

SDK::Kx410TunerRdsDataValues Rds(std::wstring psrv, std::wstring text, std::wstring time) {
    SDK::Kx410TunerRdsDataValues r;
    r.psrv = std::move(psrv);
    r.text = std::move(text);
    r.time = std::move(time);
    return r;
}

SDK::DeviceInfoEx Found(const char* unit_id, const char* address, std::uint16_t port) {
    SDK::DeviceInfoEx d;
    d.unit_id = unit_id;
    d.hardware = 3;
    d.firmware = 4;
    d.software = 5;
    d.audio_protocol = 2;
    d.control_protocol = 1;
    d.rtp_port = 5004;
    d.inputs = 2;
    d.address = address;
    d.port = port;
    return d;
}

// U+1D11E (musical G clef) as a UTF-16 surrogate pair, the form the JSON parser stores on every
// platform, and as UTF-8.
const std::wstring kClefPair = {static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
const std::string kClefUtf8 = "\xF0\x9D\x84\x9E";

TEST(KxctlTable, TextWidthCountsCharactersNotBytes) {
    EXPECT_EQ(Kxctl::TextWidth(""), 0u);
    EXPECT_EQ(Kxctl::TextWidth("abc"), 3u);
    EXPECT_EQ(Kxctl::TextWidth("\xCE\xA9mega"), 5u);              // Omega
    EXPECT_EQ(Kxctl::TextWidth("Caf\xC3\xA9 " + kClefUtf8), 6u);  // e-acute, a 4-byte character
    EXPECT_EQ(Kxctl::TextWidth("\xE2\x80\x94"), 1u);              // em dash
    // Broken UTF-8 counts byte by byte and never reads past the end.
    EXPECT_EQ(Kxctl::TextWidth("\xFF\xFE"), 2u);
    EXPECT_EQ(Kxctl::TextWidth("a\xE2\x80"), 3u);
    EXPECT_EQ(Kxctl::TextWidth("\xF0\x9D\x84"), 3u);
    EXPECT_EQ(Kxctl::TextWidth("\xC3"
                               "a"),
              2u);
}

TEST(KxctlTable, ColumnsAlignOnCharactersWithoutTrailingBlanks) {
    const std::string table = Kxctl::FormatTable(
        {"NAME", "FREQ", "X"},
        {{"\xCE\xA9mega", "104.8 MHz", "1"}, {"Radio \xC3\x86ther", "94.3 MHz"}, {"a", "", ""}});
    EXPECT_EQ(table,
              "NAME         FREQ       X\n"
              "\xCE\xA9mega        104.8 MHz  1\n"
              "Radio \xC3\x86ther  94.3 MHz\n"
              "a\n");
    EXPECT_EQ(Kxctl::FormatTable({"ONLY"}, {}), "ONLY\n");
}

TEST(KxctlTable, TunersShowWhatWasReadAndDashesForWhatWasNot) {
    std::vector<TunerReading> tuners(2);
    tuners[0].freq = 104800;
    tuners[0].quality = Quality(40, 21, 6, 1, 1);
    tuners[1].freq = 87500;  // no quality read for this one
    EXPECT_EQ(Kxctl::TunersTable(tuners),
              "TUNER  FREQUENCY  RSSI  SNR  MULTIPATH  PILOT  VALID\n"
              "1      104.8 MHz  40    21   6          1      1\n"
              "2      87.5 MHz   -     -    -          -      -\n");
    tuners[0].quality.reset();
    EXPECT_EQ(Kxctl::TunersTable(tuners),
              "TUNER  FREQUENCY\n"
              "1      104.8 MHz\n"
              "2      87.5 MHz\n");
}

TEST(KxctlTable, DeviceTextsCannotSteerTheTerminal) {
    std::vector<TunerReading> tuners(1);
    tuners[0].freq = 100500;
    tuners[0].rds = Rds(L"A\x1b[2JB", L"line\nbreak\x7f", L"\t12:00");
    const std::string table = Kxctl::TunersTable(tuners);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_EQ(table.find('\x7f'), std::string::npos);
    EXPECT_EQ(table.find('\t'), std::string::npos);
    EXPECT_NE(table.find("A?[2JB"), std::string::npos) << table;
    EXPECT_NE(table.find("line?break?"), std::string::npos) << table;
    EXPECT_EQ(kxctl_test::Lines(table).size(), 2u) << table;

    SDK::DeviceInfoEx evil = Found("ID\x1b]0;owned\x07", "10.0.0.1", 15001);
    const std::string devices = Kxctl::DevicesTable({evil});
    EXPECT_EQ(devices.find('\x1b'), std::string::npos);
    EXPECT_EQ(devices.find('\x07'), std::string::npos);
}

TEST(KxctlTable, DeviceReportLinesUpItsValues) {
    Kxctl::DeviceReport report;
    report.info.unit_id = "SIM410-0001";
    report.info.inputs = 2;
    report.info.device_freq = 48000;
    report.info.hardware = 1;
    report.info.firmware = 2;
    report.info.software = 3;
    report.info.audio_protocol = 2;
    report.info.control_protocol = 1;
    report.info.rtp_port = 5004;
    report.state = SDK::Connected;
    report.frames_per_block = 192;
    report.tuners.resize(2);
    report.tuners[0].freq = 100500;
    report.tuners[1].freq = 94300;
    const std::string text = Kxctl::DeviceReportText(report, {"10.0.0.5", 15001}, {"10.0.0.2", 40000});
    EXPECT_EQ(text,
              "Device            SIM410-0001\n"
              "Address           10.0.0.5:15001 (local end 10.0.0.2:40000)\n"
              "State             Connected\n"
              "Tuners            2\n"
              "Sample rate       48000 Hz\n"
              "Frames per block  192\n"
              "Versions          hardware 1, firmware 2, software 3\n"
              "Protocols         audio 2, control 1\n"
              "RTP port          5004\n"
              "\n"
              "TUNER  FREQUENCY\n"
              "1      100.5 MHz\n"
              "2      94.3 MHz\n");
    report.info.device_freq = 0;
    EXPECT_NE(Kxctl::DeviceReportText(report, {"h", 1}, {"l", 2}).find("Sample rate       not reported\n"),
              std::string::npos);
}

TEST(KxctlJson, DevicesCarryEveryFieldOfTheRecord) {
    EXPECT_EQ(Kxctl::JsonText(Kxctl::DevicesJson({})), "{\"devices\":[]}");
    SDK::DeviceInfoEx d = Found("SIM410-0007", "10.1.2.3", 16001);
    d.device_freq = 44100;
    EXPECT_EQ(Kxctl::JsonText(Kxctl::DevicesJson({d})),
              "{\"devices\":[{\"address\":\"10.1.2.3\",\"audio_protocol\":2,\"control_protocol\":1,"
              "\"device_freq\":44100,\"firmware\":4,\"hardware\":3,\"inputs\":2,\"port\":16001,"
              "\"rtp_port\":5004,\"software\":5,\"unit_id\":\"SIM410-0007\"}]}");
    const JSON::Value two = ParseJson(Kxctl::JsonText(Kxctl::DevicesJson({d, Found("B", "10.1.2.4", 1)})));
    ASSERT_EQ(two[L"devices"].ArraySize(), 2u);
    EXPECT_EQ(Keys(two[L"devices"][0]), kxctl_test::Union(kxctl_test::kInfoKeys, {"address", "port"}));
    EXPECT_EQ(two[L"devices"][1][L"unit_id"].GetString(), L"B");
    EXPECT_EQ(two[L"devices"][1][L"port"].GetInt64(), 1);
}

TEST(KxctlJson, NumbersKeepAllThirtyTwoBits) {
    SDK::DeviceInfoEx d = Found("X", "1.2.3.4", 65535);
    d.hardware = 0xFFFFFFFFu;
    std::vector<TunerReading> tuners(1);
    tuners[0].freq = 0xFFFFFFFFu;
    tuners[0].quality = Quality(0xFFFFFFFFu, 0, 0, 0, 0);
    EXPECT_NE(Kxctl::JsonText(Kxctl::DevicesJson({d})).find("\"hardware\":4294967295"), std::string::npos);
    EXPECT_EQ(Kxctl::JsonText(Kxctl::TunersJson(tuners)),
              "{\"tuners\":[{\"freq\":4294967295,\"multipath\":0,\"pilot\":0,\"rssi\":4294967295,\"snr\":0,"
              "\"valid\":0}]}");
}

TEST(KxctlJson, TunersCarryExactlyWhatWasRead) {
    std::vector<TunerReading> tuners(2);
    tuners[0].freq = 100500;
    tuners[1].freq = 94300;
    EXPECT_EQ(Kxctl::JsonText(Kxctl::TunersJson(tuners)),
              "{\"tuners\":[{\"freq\":100500},{\"freq\":94300}]}");
    EXPECT_EQ(Kxctl::JsonText(Kxctl::TunersJson({})), "{\"tuners\":[]}");

    tuners[0].quality = Quality(66, 45, 3, 1, 1);
    tuners[1].quality = Quality(11, 3, 89, 0, 0);
    tuners[0].rds = Rds(L"Norvane FM", L"Hits / News", L"2024/01/02 03:04:05.006");
    tuners[1].rds = Rds(L"", L"", L"");
    EXPECT_EQ(
        Kxctl::JsonText(Kxctl::TunersJson(tuners)),
        "{\"tuners\":[{\"freq\":100500,\"multipath\":3,\"pilot\":1,\"psrv\":\"Norvane FM\",\"rssi\":66,"
        "\"snr\":45,\"text\":\"Hits \\/ News\",\"time\":\"2024\\/01\\/02 03:04:05.006\",\"valid\":1},"
        "{\"freq\":94300,\"multipath\":89,\"pilot\":0,\"psrv\":\"\",\"rssi\":11,\"snr\":3,\"text\":\"\","
        "\"time\":\"\",\"valid\":0}]}");
}

TEST(KxctlJson, RdsTextsBecomeUtf8WhateverTheirWideForm) {
    std::vector<TunerReading> tuners(1);
    tuners[0].freq = 1;
    // The same character once as a surrogate pair (as the JSON parser delivers it) and once as one wide
    // character where wchar_t has 32 bits; quotes, a backslash and a control character on the way.
    std::wstring direct = Utf8ToWide(kClefUtf8);
    tuners[0].rds = Rds(L"\x00C6ther \"x\"", L"Musik " + kClefPair + L" \\", L"a\x0001" + direct);
    const std::string text = Kxctl::JsonText(Kxctl::TunersJson(tuners));
    EXPECT_EQ(text, "{\"tuners\":[{\"freq\":1,\"psrv\":\"\xC3\x86ther \\\"x\\\"\",\"text\":\"Musik " +
                        kClefUtf8 + " \\\\\",\"time\":\"a\\u0001" + kClefUtf8 + "\"}]}");
    const JSON::Value back = ParseJson(text);
    EXPECT_EQ(Keys(back[L"tuners"][0]), kxctl_test::Union({"freq"}, kxctl_test::kRdsKeys));
}

TEST(KxctlJson, AnInvalidRdsTextEmptiesOnlyItself) {
    std::vector<TunerReading> tuners(1);
    tuners[0].freq = 100500;
    // A lone high surrogate is not Unicode: that field becomes empty, the document stays whole.
    tuners[0].rds = Rds(std::wstring(L"bad ") + static_cast<wchar_t>(0xD800), L"good", L"");
    EXPECT_EQ(Kxctl::RdsText(tuners[0].rds->psrv), "");
    EXPECT_EQ(Kxctl::JsonText(Kxctl::TunersJson(tuners)),
              "{\"tuners\":[{\"freq\":100500,\"psrv\":\"\",\"text\":\"good\",\"time\":\"\"}]}");
}

TEST(KxctlJson, DeviceReportIsTheInfoRecordWithStateFramesAndTuners) {
    Kxctl::DeviceReport report;
    report.info.unit_id = "SIM410-0001";
    report.info.inputs = 1;
    report.info.device_freq = 48000;
    report.state = SDK::Connected;
    report.frames_per_block = 192;
    report.tuners.resize(1);
    report.tuners[0].freq = 100500;
    EXPECT_EQ(Kxctl::JsonText(Kxctl::DeviceReportJson(report)),
              "{\"audio_protocol\":0,\"control_protocol\":0,\"device_freq\":48000,\"firmware\":0,"
              "\"frames_per_block\":192,\"hardware\":0,\"inputs\":1,\"rtp_port\":0,\"software\":0,"
              "\"state\":\"Connected\",\"tuners\":[{\"freq\":100500}],\"unit_id\":\"SIM410-0001\"}");
    report.state = SDK::RtpActive;
    EXPECT_EQ(ParseJson(Kxctl::JsonText(Kxctl::DeviceReportJson(report)))[L"state"].GetString(),
              L"RtpActive");
    report.state = SDK::Disconnected;
    EXPECT_EQ(ParseJson(Kxctl::JsonText(Kxctl::DeviceReportJson(report)))[L"state"].GetString(),
              L"Disconnected");
}

}  // namespace
