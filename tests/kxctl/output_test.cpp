// What kxctl prints, exactly: tables aligned on characters with device texts made safe for a terminal,
// the device report, and the tuners' JSON document (the other documents are checked whole against the
// simulator in commands_test.cpp).
#include <gtest/gtest.h>

#include "kxctl/kxctl_lib.h"
#include "platform/utf8.h"

namespace {

namespace SDK = Norvane::SDK;
using Kxctl::TunerReading;

// A G clef (U+1D11E) as the UTF-16 surrogate pair the JSON parser stores on every platform.
const std::wstring kClefPair = {static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
const std::string kClefUtf8 = "\xF0\x9D\x84\x9E";

std::vector<TunerReading> Readings() {
    std::vector<TunerReading> t(2);
    t[0].freq = 104800;
    t[0].quality = SDK::Kx410TunerQualityValues{};
    t[0].quality->rssi = 0xFFFFFFFFu;  // every number keeps its 32 bits
    t[0].quality->snr = 21;
    t[0].quality->multipath = 6;
    t[0].quality->pilot = 1;
    t[0].quality->valid = 1;
    t[0].rds = SDK::Kx410TunerRdsDataValues{};
    t[0].rds->psrv = L"\x00C6ther \"x\" " + kClefPair;
    t[0].rds->text = L"A\x1b[2JB/\x7f";                                     // would steer a terminal
    t[0].rds->time = std::wstring(L"bad ") + static_cast<wchar_t>(0xD800);  // not Unicode: becomes empty
    t[1].freq = 87500;                                                      // nothing more read for this one
    return t;
}

TEST(KxctlOutput, TunersTableAlignsOnCharactersAndShowsDashesForWhatWasNotRead) {
    EXPECT_EQ(Kxctl::TunersTable(Readings()),
              "TUNER  FREQUENCY  RSSI        SNR  MULTIPATH  PILOT  VALID  PS NAME      RADIOTEXT  TIME\n"
              "1      104.8 MHz  4294967295  21   6          1      1      \xC3\x86ther \"x\" " +
                  kClefUtf8 +
                  "  A\xEF\xBF\xBD[2JB/\xEF\xBF\xBD\n"
                  "2      87.5 MHz   -           -    -          -      -      -            -          "
                  "-\n");
}

TEST(KxctlOutput, TunersJsonCarriesExactlyWhatWasRead) {
    EXPECT_EQ(Kxctl::JsonText(Kxctl::TunersJson(Readings())),
              "{\"tuners\":[{\"freq\":104800,\"multipath\":6,\"pilot\":1,\"psrv\":\"\xC3\x86ther \\\"x\\\" " +
                  kClefUtf8 +
                  "\",\"rssi\":4294967295,\"snr\":21,\"text\":\"A\\u001B[2JB\\/\x7F"
                  "\",\"time\":\"\",\"valid\":1},"
                  "{\"freq\":87500}]}");
}

SDK::DeviceInfoEx Found() {
    SDK::DeviceInfoEx d;
    // Controls (C0, C1 U+009B, the override U+202E) and each byte of broken UTF-8 become U+FFFD; a
    // sequence cut at the end is never read past it.
    d.unit_id =
        "\xCE\xA9\x1b]0;x\x07\xC2\x9B\xE2\x80\xAE\xC3"
        "a\xFF\xE2\x80";
    d.hardware = 3;
    d.firmware = 4;
    d.software = 5;
    d.audio_protocol = 2;
    d.control_protocol = 1;
    d.rtp_port = 5004;
    d.inputs = 2;
    d.device_freq = 44100;
    d.address = "10.1.2.3";
    d.port = 16001;
    return d;
}

TEST(KxctlOutput, DevicesTableKeepsControlCharactersOffTheTerminal) {
    EXPECT_EQ(
        Kxctl::DevicesTable({Found()}),
        "UNIT ID         ADDRESS         TUNERS  HARDWARE  FIRMWARE  SOFTWARE  AUDIO PROTO  CONTROL PROTO  "
        "RTP PORT\n\xCE\xA9\xEF\xBF\xBD]0;x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
        "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD  10.1.2.3:16001  2       3         4         5         2      "
        "      1              "
        "5004\n");
}

TEST(KxctlOutput, DeviceReportLinesUpItsValues) {
    Kxctl::DeviceReport report;
    static_cast<SDK::DeviceInfo&>(report.info) = Found();
    report.info.unit_id = "SIM410-0001";
    report.state = SDK::Connected;
    report.frames_per_block = 192;
    report.tuners.resize(2);
    report.tuners[0].freq = 100500;
    report.tuners[1].freq = 94300;
    EXPECT_EQ(Kxctl::DeviceReportText(report, {"10.0.0.5", 15001}, {"10.0.0.2", 40000}),
              "Device            SIM410-0001\n"
              "Address           10.0.0.5:15001 (local end 10.0.0.2:40000)\n"
              "State             Connected\n"
              "Tuners            2\n"
              "Sample rate       44100 Hz\n"
              "Frames per block  192\n"
              "Versions          hardware 3, firmware 4, software 5\n"
              "Protocols         audio 2, control 1\n"
              "RTP port          5004\n"
              "\n"
              "TUNER  FREQUENCY\n"
              "1      100.5 MHz\n"
              "2      94.3 MHz\n");
    for (const auto& [khz, text] :
         {std::pair{88250u, "88.25 MHz"}, {87505u, "87.505 MHz"}, {104000u, "104 MHz"}, {5u, "0.005 MHz"}}) {
        EXPECT_EQ(Kxctl::FormatMHz(khz), text);
    }
    report.info.device_freq = 0;
    EXPECT_NE(Kxctl::DeviceReportText(report, {"h", 1}, {"l", 2}).find("\nSample rate       not reported\n"),
              std::string::npos);
}

}  // namespace
