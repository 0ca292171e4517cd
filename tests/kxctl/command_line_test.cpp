// The command line: DEVICE and --local endpoints, frequencies, every subcommand's settings, and usage
// errors (exit 2, a message on standard error, nothing on standard output, nothing run).

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kxctl_test_support.h"

namespace {

using Kxctl::Command;
using Kxctl::Endpoint;
using kxctl_test::RunKxctl;

struct Parsed {
    Kxctl::ParseOutcome outcome;
    Kxctl::Settings settings;
    std::string out;
    std::string err;
};

Parsed Parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"kxctl"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    Parsed p;
    p.outcome = Kxctl::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), p.settings, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

TEST(KxctlEndpoint, HostAloneTakesTheDefaultPort) {
    Endpoint e;
    std::string error;
    ASSERT_TRUE(Kxctl::ParseEndpoint("192.168.1.20", 15001, false, e, error)) << error;
    EXPECT_EQ(e, (Endpoint{"192.168.1.20", 15001}));
    ASSERT_TRUE(Kxctl::ParseEndpoint("tuner.local:16000", 15001, false, e, error)) << error;
    EXPECT_EQ(e, (Endpoint{"tuner.local", 16000}));
    ASSERT_TRUE(Kxctl::ParseEndpoint("10.0.0.1:65535", 15001, false, e, error)) << error;
    EXPECT_EQ(e.port, 65535);
    EXPECT_EQ(e.ToString(), "10.0.0.1:65535");
}

TEST(KxctlEndpoint, PortZeroOnlyWhereAFreePortIsMeant) {
    Endpoint e;
    std::string error;
    ASSERT_TRUE(Kxctl::ParseEndpoint("127.0.0.1", 0, true, e, error)) << error;
    EXPECT_EQ(e, (Endpoint{"127.0.0.1", 0}));
    ASSERT_TRUE(Kxctl::ParseEndpoint("127.0.0.1:0", 0, true, e, error)) << error;
    EXPECT_EQ(e.port, 0);
    EXPECT_FALSE(Kxctl::ParseEndpoint("127.0.0.1:0", 15001, false, e, error));
    EXPECT_NE(error.find("1 to 65535"), std::string::npos) << error;
    EXPECT_FALSE(Kxctl::ParseEndpoint("127.0.0.1", 0, false, e, error));
}

TEST(KxctlEndpoint, MalformedTextIsRefusedAndLeavesTheResultAlone) {
    const Endpoint before{"unchanged", 7};
    for (const char* text : {"", ":15001", "host:", "host:65536", "host:99999999999999999999999", "host:-1",
                             "host:+5", "host: 5", "host:5x", "::1", "fe80::1:15001", "a:1:2"}) {
        Endpoint e = before;
        std::string error;
        EXPECT_FALSE(Kxctl::ParseEndpoint(text, 15001, true, e, error)) << "'" << text << "'";
        EXPECT_FALSE(error.empty()) << "'" << text << "'";
        EXPECT_EQ(e, before) << "'" << text << "'";
    }
}

TEST(KxctlFrequency, KilohertzOrMegahertzWithAPoint) {
    struct Case {
        const char* text;
        std::uint32_t khz;
    };
    for (const Case& c : {Case{"100500", 100500}, Case{"100.5", 100500}, Case{"88.25", 88250},
                          Case{"87.505", 87505}, Case{"100.", 100000}, Case{"104.800", 104800}, Case{"1", 1},
                          Case{"4294967295", 4294967295u}, Case{"4294967.295", 4294967295u}}) {
        std::uint32_t khz = 0;
        std::string error;
        EXPECT_TRUE(Kxctl::ParseFrequency(c.text, khz, error)) << c.text << ": " << error;
        EXPECT_EQ(khz, c.khz) << c.text;
    }
}

TEST(KxctlFrequency, AnythingElseIsRefused) {
    for (const char* text : {"", "0", "0.0", "000", "100.5001", ".5", "-1", "+100", "1e5", "100,5", "100.5.1",
                             "4294967296", "4294967.296", "99999999999999999999", " 100", "100 MHz"}) {
        std::uint32_t khz = 12345;
        std::string error;
        EXPECT_FALSE(Kxctl::ParseFrequency(text, khz, error)) << "'" << text << "'";
        EXPECT_EQ(khz, 12345u) << "'" << text << "'";
        EXPECT_NE(error.find(text), std::string::npos) << error;
    }
}

TEST(KxctlFrequency, ShownInMegahertz) {
    EXPECT_EQ(Kxctl::FormatMHz(100500), "100.5 MHz");
    EXPECT_EQ(Kxctl::FormatMHz(88250), "88.25 MHz");
    EXPECT_EQ(Kxctl::FormatMHz(87505), "87.505 MHz");
    EXPECT_EQ(Kxctl::FormatMHz(104000), "104 MHz");
    EXPECT_EQ(Kxctl::FormatMHz(5), "0.005 MHz");
    EXPECT_EQ(Kxctl::FormatMHz(0), "0 MHz");
}

TEST(KxctlCommandLine, EverySubcommandFillsItsSettings) {
    Parsed p = Parse({"info", "10.0.0.9"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kInfo);
    EXPECT_EQ(p.settings.device, (Endpoint{"10.0.0.9", 15001}));
    EXPECT_FALSE(p.settings.json);
    EXPECT_FALSE(p.settings.local.has_value());

    p = Parse({"--json", "tune", "10.0.0.9:16001", "100.5", "94300"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kTune);
    EXPECT_TRUE(p.settings.json);
    EXPECT_EQ(p.settings.device, (Endpoint{"10.0.0.9", 16001}));
    EXPECT_EQ(p.settings.freqs, (std::vector<std::uint32_t>{100500, 94300}));

    p = Parse({"quality", "h"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kQuality);
    p = Parse({"rds", "h"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kRds);

    p = Parse({"monitor", "h", "--count", "3", "--interval", "0.25"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kMonitor);
    EXPECT_EQ(p.settings.count, 3u);
    EXPECT_EQ(p.settings.interval_ms, 250u);
    p = Parse({"monitor", "h"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.count, 0u);  // until interrupted
    EXPECT_EQ(p.settings.interval_ms, 1000u);

    p = Parse({"demo"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kDemo);
}

TEST(KxctlCommandLine, DiscoverTargetsTheBroadcastAddressUnlessGivenOne) {
    Parsed p = Parse({"discover"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.command, Command::kDiscover);
    EXPECT_EQ(p.settings.target, (Endpoint{"255.255.255.255", 15001}));
    p = Parse({"discover", "192.168.7.255"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.target, (Endpoint{"192.168.7.255", 15001}));
    p = Parse({"discover", "127.0.0.1:15000"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    EXPECT_EQ(p.settings.target, (Endpoint{"127.0.0.1", 15000}));
}

TEST(KxctlCommandLine, GlobalOptionsBeforeOrAfterTheSubcommand) {
    for (const auto& args : {std::vector<std::string>{"--json", "--local", "127.0.0.1:40000", "info", "h"},
                             std::vector<std::string>{"info", "h", "--json", "--local", "127.0.0.1:40000"}}) {
        Parsed p = Parse(args);
        ASSERT_TRUE(p.outcome.run) << p.err;
        EXPECT_TRUE(p.settings.json);
        ASSERT_TRUE(p.settings.local.has_value());
        EXPECT_EQ(*p.settings.local, (Endpoint{"127.0.0.1", 40000}));
    }
    Parsed p = Parse({"--local", "127.0.0.1", "--log-folder", "/some/where", "rds", "h"});
    ASSERT_TRUE(p.outcome.run) << p.err;
    ASSERT_TRUE(p.settings.local.has_value());
    EXPECT_EQ(p.settings.local->port, 0);  // a free port on that address
    EXPECT_EQ(p.settings.log_folder, std::filesystem::path("/some/where"));
}

TEST(KxctlCommandLine, HelpPrintsUsageAndEndsWithZero) {
    for (const auto& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"tune", "--help"}}) {
        const kxctl_test::Outcome o = RunKxctl(args);
        EXPECT_EQ(o.code, Kxctl::kExitOk);
        EXPECT_NE(o.out.find("Usage:"), std::string::npos) << o.out;
        EXPECT_TRUE(o.err.empty()) << o.err;
    }
    const kxctl_test::Outcome o = RunKxctl({"--help"});
    for (const char* sub : {"discover", "info", "tune", "quality", "rds", "monitor", "demo"}) {
        EXPECT_NE(o.out.find(sub), std::string::npos) << sub;
    }
}

// Each of these must end with 2 before anything is sent: none names a reachable device, so a command
// that ran would end with 1 after a time-out instead.
TEST(KxctlCommandLine, UsageErrorsEndWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"info"},
        {"info", "127.0.0.1", "extra"},
        {"info", "127.0.0.1:0"},
        {"info", "127.0.0.1:70000"},
        {"info", ":15001"},
        {"info", "::1"},
        {"tune", "127.0.0.1"},
        {"tune", "127.0.0.1", "abc"},
        {"tune", "127.0.0.1", "100.5", "0"},
        {"monitor", "127.0.0.1", "--count", "0"},
        {"monitor", "127.0.0.1", "--count", "x"},
        {"monitor", "127.0.0.1", "--interval", "0"},
        {"discover", "host:"},
        {"discover", "127.0.0.1:0"},
        {"--local", "127.0.0.1:99999", "info", "127.0.0.1"},
        {"--local", ":5", "info", "127.0.0.1"},
        {"--json", "demo"},
        {"--local", "127.0.0.1", "demo"},
        {"--no-such-option", "info", "127.0.0.1"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        const kxctl_test::Outcome o = RunKxctl(args);
        EXPECT_EQ(o.code, Kxctl::kExitUsage) << joined;
        EXPECT_TRUE(o.out.empty()) << joined << "-> " << o.out;
        EXPECT_EQ(o.err.rfind("kxctl: ", 0), 0u) << joined << "-> " << o.err;
        EXPECT_NE(o.err.find("--help"), std::string::npos) << joined << "-> " << o.err;
    }
}

TEST(KxctlCommandLine, UsageMessagesNameTheFault) {
    EXPECT_NE(RunKxctl({"tune", "127.0.0.1", "10x"}).err.find("'10x' is not a frequency"), std::string::npos);
    EXPECT_NE(RunKxctl({"info", "127.0.0.1:0"}).err.find("'127.0.0.1:0': the port must be"),
              std::string::npos);
    EXPECT_NE(RunKxctl({"info"}).err.find("DEVICE is required"), std::string::npos);
    EXPECT_NE(RunKxctl({"--local", "a:b", "info", "h"}).err.find("--local"), std::string::npos);
}

}  // namespace
