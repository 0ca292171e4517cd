// kxctl's command lines: the settings each gives, or the usage error it ends with (exit 2, the message on
// standard error, nothing on standard output, nothing run).
#include <gtest/gtest.h>

#include <sstream>

#include "kxctl/kxctl_lib.h"

namespace {

using Kxctl::Command;

// The settings of a command line in one line: command, endpoint, then what else was given.
std::string Describe(const Kxctl::Settings& s) {
    static const char* const kNames[] = {"discover", "info",    "tune", "quality",
                                         "rds",      "monitor", "demo", "record"};
    std::ostringstream d;
    d << kNames[static_cast<int>(s.command)];
    if (s.command != Command::kDemo) {
        d << ' ' << (s.command == Command::kDiscover ? s.target : s.device).ToString();
    }
    d << (s.json ? " json" : "") << (s.local ? " local=" + s.local->ToString() : std::string());
    for (std::uint32_t khz : s.freqs) {
        d << ' ' << khz;
    }
    if (s.command == Command::kMonitor) {
        d << " count=" << s.count << " every " << s.interval_ms << " ms" << (s.levels ? " levels" : "");
    }
    if (s.command == Command::kRecord) {
        d << ' ' << s.seconds << " s to " << s.out.string();
    }
    if (s.rtp_port != 0) {
        d << " rtp=" << s.rtp_port;
    }
    return d.str();
}

struct LineCase {
    std::vector<std::string> args;
    std::string
        expected;  // the settings (Describe) of a command that runs, a piece of the help, or the usage error
};

class KxctlCommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(KxctlCommandLine, GivesItsSettingsOrItsUsageError) {
    const LineCase& c = GetParam();
    std::vector<const char*> argv = {"kxctl"};
    for (const std::string& a : c.args) {
        argv.push_back(a.c_str());
    }
    std::ostringstream out, err;
    Kxctl::Settings settings;
    const Kxctl::ParseOutcome o =
        Kxctl::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings, out, err);
    if (o.run) {
        EXPECT_EQ(Describe(settings), c.expected);
        EXPECT_EQ(err.str(), "");
        return;
    }
    if (o.exit_code == Kxctl::kExitOk) {  // help
        EXPECT_NE(out.str().find(c.expected), std::string::npos) << out.str();
        return;
    }
    EXPECT_EQ(o.exit_code, 2);  // the exit codes are what scripts read
    EXPECT_EQ(err.str(), "kxctl: " + c.expected + "\nRun with --help for more information.\n");
    EXPECT_EQ(out.str(), "");
}

const std::string kOutsideBand = " is outside the FM band of 64 MHz to 108 MHz";
const std::string kNotFrequency =
    "' is not a frequency: give kHz (100500) or MHz with a decimal point (100.5), above 0";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, KxctlCommandLine, ::testing::Values(
        LineCase{{"info", "10.0.0.9"}, "info 10.0.0.9:15001"},
        LineCase{{"quality", "tuner.local:65535"}, "quality tuner.local:65535"},
        LineCase{{"--json", "tune", "h:16001", "100.5", "94300", "88.25", "87.505", "100.", "64.0", "108.000"},
                 "tune h:16001 json 100500 94300 88250 87505 100000 64000 108000"},
        LineCase{{"tune", "h", "63.9"}, "'63.9' (63.9 MHz)" + kOutsideBand},
        LineCase{{"tune", "h", "94.3", "108.1"}, "'108.1' (108.1 MHz)" + kOutsideBand},
        LineCase{{"record", "h", "--seconds", "1.5", "--out", "a b.wav", "--rtp-port", "5000"},
                 "record h:15001 1.5 s to a b.wav rtp=5000"},
        LineCase{{"monitor", "h", "--levels", "--count", "2"}, "monitor h:15001 count=2 every 1000 ms levels"},
        LineCase{{"record", "h", "--seconds", "86401", "--out", "a.wav"},
                 "--seconds 86401: give a time above 0 and at most 86400 s (a day)"},
        LineCase{{"rds", "h", "--json", "--local", "127.0.0.1:40000"},
                 "rds h:15001 json local=127.0.0.1:40000"},
        LineCase{{"--local", "127.0.0.1", "monitor", "h", "--count", "3", "--interval", "0.25"},
                 "monitor h:15001 local=127.0.0.1:0 count=3 every 250 ms"},
        LineCase{{"monitor", "h"}, "monitor h:15001 count=0 every 1000 ms"},
        LineCase{{"discover"}, "discover 255.255.255.255:15001"},
        LineCase{{"discover", "127.0.0.1:15000"}, "discover 127.0.0.1:15000"}, LineCase{{"demo"}, "demo"},
        LineCase{{}, "A subcommand is required"}, LineCase{{"info"}, "DEVICE is required"},
            LineCase{{"info", "h:0"}, "'h:0': the port must be a number from 1 to 65535"},
        LineCase{{"info", "h:65536"}, "'h:65536': the port must be a number from 1 to 65535"},
        LineCase{{"info", "h:5x"}, "'h:5x': the port must be a number from 1 to 65535"},
            LineCase{{"info", ":15001"}, "':15001' names no host"},
        LineCase{{"info", "::1"}, "'::1' is not host[:port] (IPv6 addresses are not supported)"},
        LineCase{{"discover", "127.0.0.1:0"}, "'127.0.0.1:0': the port must be a number from 1 to 65535"},
        LineCase{{"--local", "a:99999", "info", "h"},
                 "--local 'a:99999': the port must be a number from 0 to 65535"},
            LineCase{{"tune", "h", "100.5", "0"}, "'0" + kNotFrequency},
        LineCase{{"tune", "h", "87.0005"}, "'87.0005" + kNotFrequency},
        LineCase{{"tune", "h", ".5"}, "'.5" + kNotFrequency},
        LineCase{{"tune", "h", "1e5"}, "'1e5" + kNotFrequency},
        LineCase{{"tune", "h", "4294967296"}, "'4294967296" + kNotFrequency},
        LineCase{{"tune", "h", "4294967.296"}, "'4294967.296" + kNotFrequency},
        LineCase{{"monitor", "h", "--count", "0"}, "--count: Value 0 not in range 1 to 1000000"},
        LineCase{{"--json", "demo"}, "demo narrates on 127.0.0.1: --json and --local do not apply to it"},
        LineCase{{"--no-such-option", "info", "h"},
                 "The following argument was not expected: --no-such-option"}));
// clang-format on

}  // namespace
