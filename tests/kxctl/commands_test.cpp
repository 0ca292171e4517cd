// kxctl's commands end to end against simulated devices on 127.0.0.1, run in-process from the command
// line: the JSON documents and their exact keys, what tuning does to the device, the monitor's refreshes
// and its end, the progress line, the demo, and failures (exit 1 with one line naming the reason and the
// debug log file).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "kxctl_test_support.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "sim/stations.h"

namespace {

using kxctl_test::Keys;
using kxctl_test::Lines;
using kxctl_test::Outcome;
using kxctl_test::ParseJson;
using kxctl_test::RunKxctl;
using kxctl_test::Union;

std::string EndpointOf(const Network::SockAddr& address) {
    return platform::FormatEndpoint(address.Native());
}

const Sim::Station& StationAt(std::int32_t freq) {
    for (const Sim::Station& s : Sim::DefaultStations()) {
        if (s.freq == freq) {
            return s;
        }
    }
    ADD_FAILURE() << "no station on " << freq;
    return Sim::DefaultStations().front();
}

// The failure line: "kxctl: <reason> (debug log: <path>)" and nothing else, the path naming a file.
void ExpectFailureLine(const Outcome& o, const std::string& reason) {
    EXPECT_EQ(o.code, Kxctl::kExitFailed);
    const std::vector<std::string> lines = Lines(o.err);
    ASSERT_EQ(lines.size(), 1u) << o.err;
    EXPECT_EQ(lines[0].rfind("kxctl: " + reason, 0), 0u) << o.err;
    const std::string marker = " (debug log: ";
    const std::size_t at = lines[0].find(marker);
    ASSERT_NE(at, std::string::npos) << o.err;
    ASSERT_EQ(lines[0].back(), ')') << o.err;
    const std::string path = lines[0].substr(at + marker.size(), lines[0].size() - at - marker.size() - 1);
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::path(std::u8string(path.begin(), path.end()))))
        << path;
}

class KxctlSim : public ::testing::Test {
protected:
    void Start(std::size_t devices, const std::function<void(Sim::SimConfig&)>& adjust = {}) {
        Sim::SimConfig config = Sim::SimConfig::WithDevices(devices);
        if (adjust) {
            adjust(config);
        }
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
    }
    void TearDown() override { sim_.Stop(); }

    std::string Device(std::size_t index) const { return EndpointOf(sim_.DeviceAddress(index)); }

    Sim::Simulator sim_;
};

TEST_F(KxctlSim, DiscoverListsEveryDeviceWithTheRecordsFields) {
    Start(3);
    const Outcome o = RunKxctl({"discover", "--json", EndpointOf(sim_.DiscoveryAddress())});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_TRUE(o.err.empty()) << o.err;  // no progress line: the error stream is no terminal
    ASSERT_EQ(Lines(o.out).size(), 1u) << o.out;
    const JSON::Value root = ParseJson(o.out);
    EXPECT_EQ(Keys(root), (std::set<std::string>{"devices"}));
    const JSON::Value& devices = root[L"devices"];
    ASSERT_EQ(devices.ArraySize(), 3u) << o.out;
    std::set<std::string> ids;
    for (std::size_t i = 0; i < devices.ArraySize(); ++i) {
        const JSON::Value& d = devices[static_cast<std::uint64_t>(i)];
        EXPECT_EQ(Keys(d), Union(kxctl_test::kInfoKeys, {"address", "port"}));
        EXPECT_EQ(kxctl_test::Utf8(d[L"address"]), "127.0.0.1");
        EXPECT_EQ(d[L"inputs"].GetInt64(), 2);
        EXPECT_EQ(d[L"device_freq"].GetInt64(), 0);  // discovery never reports it
        const std::string id = kxctl_test::Utf8(d[L"unit_id"]);
        ids.insert(id);
        // Each answer names the port of the device that sent it.
        for (const Sim::DeviceEndpoint& e : sim_.Devices()) {
            if (e.unit_id == id) {
                EXPECT_EQ(d[L"port"].GetInt64(), e.address.GetPort()) << id;
            }
        }
    }
    EXPECT_EQ(ids,
              (std::set<std::string>{Sim::DefaultUnitId(0), Sim::DefaultUnitId(1), Sim::DefaultUnitId(2)}));
}

TEST_F(KxctlSim, DiscoverDrawsProgressOnlyOnATerminal) {
    Start(1);
    const Outcome o = RunKxctl({"discover", EndpointOf(sim_.DiscoveryAddress()), "--local", "127.0.0.1"},
                               [](Kxctl::Console& c) { c.err_is_terminal = true; });
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    // A spinner line rewritten in place, blanked at the end, and never a line break.
    EXPECT_NE(o.err.find("\r| Waiting 3 s for devices to answer " + EndpointOf(sim_.DiscoveryAddress())),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("\r/ "), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find('\n'), std::string::npos) << o.err;
    ASSERT_GE(o.err.size(), 2u);
    EXPECT_EQ(o.err.back(), '\r');
    const std::size_t blank_start = o.err.rfind('\r', o.err.size() - 2);
    const std::string blank = o.err.substr(blank_start + 1, o.err.size() - blank_start - 2);
    EXPECT_EQ(blank.find_first_not_of(' '), std::string::npos) << "'" << blank << "'";
    // The table went to the output.
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(lines[0].rfind("UNIT ID", 0), 0u);
    EXPECT_EQ(lines[1].rfind(Sim::DefaultUnitId(0) + "  " + Device(0), 0), 0u) << o.out;
}

TEST_F(KxctlSim, DiscoverWithNoAnswerSucceedsWithAnEmptyList) {
    Start(1, [](Sim::SimConfig& c) { c.devices[0].faults.in.loss = 1.0; });
    Outcome o = RunKxctl({"--json", "discover", EndpointOf(sim_.DiscoveryAddress())});
    EXPECT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out, "{\"devices\":[]}\n");
    o = RunKxctl({"discover", EndpointOf(sim_.DiscoveryAddress())});
    EXPECT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out, "No device answered " + EndpointOf(sim_.DiscoveryAddress()) + " within 3 seconds.\n");
}

TEST_F(KxctlSim, InfoReportsTheDeviceItsStateAndTuners) {
    Start(1, [](Sim::SimConfig& c) {
        c.devices[0].tuners = 3;
        c.devices[0].device_freq = 44100;
        c.devices[0].hardware = 7;
        c.devices[0].rtp_port = 6100;
        c.devices[0].freqs = {94300, 88600, 107200};
    });
    const Outcome o = RunKxctl({"info", Device(0), "--json"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_TRUE(o.err.empty()) << o.err;
    const JSON::Value root = ParseJson(o.out);
    EXPECT_EQ(Keys(root), Union(kxctl_test::kInfoKeys, {"state", "frames_per_block", "tuners"}));
    EXPECT_EQ(kxctl_test::Utf8(root[L"unit_id"]), Sim::DefaultUnitId(0));
    EXPECT_EQ(root[L"inputs"].GetInt64(), 3);
    EXPECT_EQ(root[L"device_freq"].GetInt64(), 44100);
    EXPECT_EQ(root[L"hardware"].GetInt64(), 7);
    EXPECT_EQ(root[L"rtp_port"].GetInt64(), 6100);
    EXPECT_EQ(kxctl_test::Utf8(root[L"state"]), "Connected");
    EXPECT_EQ(root[L"frames_per_block"].GetInt64(), 192);
    const JSON::Value& tuners = root[L"tuners"];
    ASSERT_EQ(tuners.ArraySize(), 3u);
    const std::int64_t expected[] = {94300, 88600, 107200};
    for (std::uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Keys(tuners[i]), (std::set<std::string>{"freq"}));
        EXPECT_EQ(tuners[i][L"freq"].GetInt64(), expected[i]);
    }
}

TEST_F(KxctlSim, InfoAsTextNamesBothEndsOfTheSession) {
    Start(1);
    const Outcome o = RunKxctl({"info", Device(0), "--local", "127.0.0.1"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_GE(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[0], "Device            " + Sim::DefaultUnitId(0));
    EXPECT_EQ(lines[1].rfind("Address           " + Device(0) + " (local end 127.0.0.1:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "State             Connected");
    EXPECT_EQ(lines.back(), "2      94.3 MHz") << o.out;
}

TEST_F(KxctlSim, TuneChangesTheDeviceAndShowsWhatItReadBack) {
    Start(1);
    const Outcome o = RunKxctl({"--json", "tune", Device(0), "104.8", "88600"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out, "{\"tuners\":[{\"freq\":104800},{\"freq\":88600}]}\n");
    const std::vector<Sim::TunerState> tuners = sim_.Tuners(0);
    ASSERT_EQ(tuners.size(), 2u);
    EXPECT_EQ(tuners[0].freq, 104800);
    EXPECT_EQ(tuners[1].freq, 88600);
    EXPECT_EQ(sim_.Counters(0).set_fm_freq, 1u);
}

TEST_F(KxctlSim, TuneKeepsTheTunersNotGiven) {
    Start(1, [](Sim::SimConfig& c) {
        c.devices[0].tuners = 3;
        c.devices[0].freqs = {100500, 94300, 88600};
    });
    const Outcome o = RunKxctl({"tune", Device(0), "107200"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out,
              "TUNER  FREQUENCY\n"
              "1      107.2 MHz\n"
              "2      94.3 MHz\n"
              "3      88.6 MHz\n");
    const std::vector<Sim::TunerState> tuners = sim_.Tuners(0);
    ASSERT_EQ(tuners.size(), 3u);
    EXPECT_EQ(tuners[0].freq, 107200);
    EXPECT_EQ(tuners[1].freq, 94300);
    EXPECT_EQ(tuners[2].freq, 88600);
}

TEST_F(KxctlSim, TuneWithMoreFrequenciesThanTunersIsAUsageErrorAndTunesNothing) {
    Start(1);
    const Outcome o = RunKxctl({"tune", Device(0), "100.5", "94.3", "88.6"});
    EXPECT_EQ(o.code, Kxctl::kExitUsage);
    EXPECT_EQ(o.err, "kxctl: " + Device(0) + " has 2 tuners; 3 frequencies given\n");
    EXPECT_TRUE(o.out.empty());
    EXPECT_EQ(sim_.Counters(0).set_fm_freq, 0u);
}

TEST_F(KxctlSim, QualityFollowsTheTunedFrequency) {
    Start(1, [](Sim::SimConfig& c) { c.devices[0].freqs = {100500, 87500}; });  // a station; noise
    const Outcome o = RunKxctl({"quality", "--json", Device(0)});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const JSON::Value root = ParseJson(o.out);
    EXPECT_EQ(Keys(root), (std::set<std::string>{"tuners"}));
    ASSERT_EQ(root[L"tuners"].ArraySize(), 2u);
    const JSON::Value& on = root[L"tuners"][0];
    const JSON::Value& off = root[L"tuners"][1];
    EXPECT_EQ(Keys(on), Union({"freq"}, kxctl_test::kQualityKeys));
    EXPECT_EQ(Keys(off), Union({"freq"}, kxctl_test::kQualityKeys));
    EXPECT_EQ(on[L"freq"].GetInt64(), 100500);
    EXPECT_EQ(on[L"valid"].GetInt64(), 1);
    EXPECT_EQ(on[L"pilot"].GetInt64(), 1);
    EXPECT_EQ(off[L"freq"].GetInt64(), 87500);
    EXPECT_EQ(off[L"valid"].GetInt64(), 0);
    EXPECT_GT(on[L"rssi"].GetInt64(), off[L"rssi"].GetInt64());
    EXPECT_GT(on[L"snr"].GetInt64(), off[L"snr"].GetInt64());
}

TEST_F(KxctlSim, RdsTextsArriveAsUtf8WithCharactersBeyondTheBasicPlane) {
    // Radio Aether's texts hold an e-acute, a saxophone (U+1F3B7), a G clef (U+1D11E), '/' and '"'.
    Start(1, [](Sim::SimConfig& c) { c.devices[0].freqs = {94300, 87500}; });
    const Outcome o = RunKxctl({"rds", Device(0), "--json"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const JSON::Value root = ParseJson(o.out);
    ASSERT_EQ(root[L"tuners"].ArraySize(), 2u);
    const JSON::Value& on = root[L"tuners"][0];
    EXPECT_EQ(Keys(on), Union({"freq"}, kxctl_test::kRdsKeys));
    const Sim::Station& station = StationAt(94300);
    EXPECT_EQ(kxctl_test::Utf8(on[L"psrv"]), station.name);
    const std::string text = kxctl_test::Utf8(on[L"text"]);
    EXPECT_NE(std::find(station.radiotext.begin(), station.radiotext.end(), text), station.radiotext.end())
        << text;
    // "YYYY/MM/DD hh:mm:ss.mmm", its slashes escaped in the document.
    const std::string time = kxctl_test::Utf8(on[L"time"]);
    ASSERT_EQ(time.size(), 23u) << time;
    EXPECT_EQ(time[4], '/');
    EXPECT_EQ(time[7], '/');
    EXPECT_NE(o.out.find("\\/"), std::string::npos);
    // Raw UTF-8 in the output, never \u escapes of surrogates.
    EXPECT_NE(o.out.find(station.name), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("\\uD8"), std::string::npos) << o.out;
    // Off a station there is nothing to read.
    const JSON::Value& off = root[L"tuners"][1];
    EXPECT_EQ(kxctl_test::Utf8(off[L"psrv"]), "");
    EXPECT_EQ(kxctl_test::Utf8(off[L"text"]), "");
}

TEST_F(KxctlSim, MonitorPrintsOneDocumentPerRefreshWithEverything) {
    Start(1);
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = RunKxctl({"monitor", Device(0), "--count", "3", "--interval", "0.2", "--json"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    for (const std::string& line : lines) {
        const JSON::Value root = ParseJson(line);
        ASSERT_EQ(root[L"tuners"].ArraySize(), 2u) << line;
        for (std::uint64_t i = 0; i < 2; ++i) {
            EXPECT_EQ(Keys(root[L"tuners"][i]),
                      Union(Union({"freq"}, kxctl_test::kQualityKeys), kxctl_test::kRdsKeys));
        }
        EXPECT_EQ(kxctl_test::Utf8(root[L"tuners"][0][L"psrv"]), StationAt(100500).name);
    }
    // Two waits of the interval between three refreshes; none after the last.
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_GE(sim_.Counters(0).messages_in, 2u + 3u * 3u);  // handshake, then three readings a refresh
}

TEST_F(KxctlSim, MonitorFollowsRetuningByAnotherClient) {
    Start(1);
    std::atomic<int> refreshes{0};
    const std::string device = Device(0);
    const Outcome o =
        RunKxctl({"monitor", device, "--count", "2", "--interval", "0.3", "--json"}, [&](Kxctl::Console& c) {
            c.interrupted = [&] {
                // Between the refreshes another client retunes tuner 2.
                if (refreshes.fetch_add(1) == 0) {
                    const Outcome t = RunKxctl({"tune", device, "100.5", "104.8"});
                    EXPECT_EQ(t.code, Kxctl::kExitOk) << t.err;
                }
                return false;
            };
        });
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    EXPECT_EQ(ParseJson(lines[0])[L"tuners"][1][L"freq"].GetInt64(), 94300);
    EXPECT_EQ(ParseJson(lines[1])[L"tuners"][1][L"freq"].GetInt64(), 104800);
    EXPECT_EQ(kxctl_test::Utf8(ParseJson(lines[1])[L"tuners"][1][L"psrv"]), StationAt(104800).name);
}

TEST_F(KxctlSim, MonitorEndsWhenInterruptedAsASuccess) {
    Start(1);
    const Outcome o = RunKxctl({"monitor", Device(0), "--interval", "0.1", "--json"},
                               [](Kxctl::Console& c) { c.interrupted = [] { return true; }; });
    EXPECT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(Lines(o.out).size(), 1u) << o.out;
}

TEST_F(KxctlSim, MonitorRedrawsInPlaceOnATerminal) {
    Start(1);
    const Outcome o = RunKxctl({"monitor", Device(0), "--count", "2", "--interval", "0.05"},
                               [](Kxctl::Console& c) { c.out_redraw = true; });
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    // The first view has a title line, a header and two tuners: the second one climbs four lines and
    // erases them before it draws itself.
    const std::string redraw = "\x1b[4A\x1b[J";
    const std::size_t at = o.out.find(redraw);
    ASSERT_NE(at, std::string::npos) << o.out;
    EXPECT_EQ(Lines(o.out.substr(0, at)).size(), 4u);
    EXPECT_EQ(o.out.find(redraw, at + 1), std::string::npos);
    EXPECT_EQ(o.out.find(Sim::DefaultUnitId(0) + " at " + Device(0) + ", refresh 1 of 2\n"), 0u) << o.out;
    EXPECT_NE(o.out.find(", refresh 2 of 2\n"), std::string::npos);

    // Without a terminal the views follow each other, one blank line apart.
    const Outcome plain = RunKxctl({"monitor", Device(0), "--count", "2", "--interval", "0.05"});
    ASSERT_EQ(plain.code, Kxctl::kExitOk) << plain.err;
    EXPECT_EQ(plain.out.find('\x1b'), std::string::npos);
    EXPECT_NE(plain.out.find("\n\n" + Sim::DefaultUnitId(0) + " at "), std::string::npos) << plain.out;
}

TEST_F(KxctlSim, AReadingThatFailsEndsWithOneAndTheReason) {
    // The device answers "fm_quality" with one entry too many: the library refuses the answer.
    Start(1, [](Sim::SimConfig& c) {
        c.devices[0].faults.list_length_delta = 1;
        c.devices[0].faults.list_keys = {"rssi"};
    });
    const Outcome o = RunKxctl({"quality", Device(0)});
    ExpectFailureLine(o, "reading the reception quality failed");
    EXPECT_TRUE(o.out.empty()) << o.out;
}

TEST_F(KxctlSim, ADeviceOfAnotherModelIsRefused) {
    Start(1, [](Sim::SimConfig& c) { c.devices[0].faults.type_text = "KX9"; });
    const Outcome o = RunKxctl({"info", Device(0)});
    ExpectFailureLine(o, "cannot connect to " + Device(0) + " from 127.0.0.1:");
}

TEST(KxctlFailure, ADeviceThatDoesNotAnswerEndsWithOneAndTheReason) {
    ASSERT_TRUE(platform::StartSocketLibrary().ok());
    // A socket that reads nothing and answers nothing holds the port, so no one else answers there.
    platform::SocketHandle handle = platform::kInvalidSocket;
    ASSERT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, handle).ok());
    platform::UniqueSocket silent(handle);
    platform::SockAddrIn address = platform::SockAddrIn::Loopback(0);
    ASSERT_TRUE(platform::Bind(silent.Get(), address).ok());
    ASSERT_TRUE(platform::GetLocalAddress(silent.Get(), address).ok());
    const std::string device = platform::FormatEndpoint(address);
    for (const char* command : {"info", "quality", "rds", "monitor"}) {
        const Outcome o = RunKxctl({command, device});
        ExpectFailureLine(o, "cannot connect to " + device + " from 127.0.0.1:");
        EXPECT_NE(o.err.find("the device did not answer"), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << command << ": " << o.out;
    }
    platform::StopSocketLibrary();
}

TEST(KxctlFailure, AHostThatDoesNotResolveEndsWithOne) {
    const Outcome o = RunKxctl({"info", "no-such-host.invalid"});
    ExpectFailureLine(o, "cannot resolve 'no-such-host.invalid'");
}

TEST(KxctlLocalEnd, TheRoutedAddressWithAFreePortUnlessGiven) {
    Kxctl::Endpoint local;
    std::string error;
    ASSERT_TRUE(Kxctl::ChooseLocalEndpoint({"127.0.0.1", 15001}, std::nullopt, local, error)) << error;
    EXPECT_EQ(local.host, "127.0.0.1");
    EXPECT_NE(local.port, 0);
    // The port chosen is free: a socket can take it.
    ASSERT_TRUE(platform::StartSocketLibrary().ok());
    platform::SocketHandle handle = platform::kInvalidSocket;
    ASSERT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, handle).ok());
    platform::UniqueSocket socket(handle);
    EXPECT_TRUE(platform::Bind(socket.Get(), platform::SockAddrIn::Loopback(local.port)).ok());
    platform::StopSocketLibrary();

    // An address without a port: a free port there. With a port: taken as it is, nothing asked.
    ASSERT_TRUE(
        Kxctl::ChooseLocalEndpoint({"127.0.0.1", 15001}, Kxctl::Endpoint{"127.0.0.1", 0}, local, error));
    EXPECT_EQ(local.host, "127.0.0.1");
    EXPECT_NE(local.port, 0);
    ASSERT_TRUE(
        Kxctl::ChooseLocalEndpoint({"unused.invalid", 1}, Kxctl::Endpoint{"10.9.8.7", 4321}, local, error));
    EXPECT_EQ(local, (Kxctl::Endpoint{"10.9.8.7", 4321}));

    EXPECT_FALSE(Kxctl::ChooseLocalEndpoint({"no-such-host.invalid", 1}, std::nullopt, local, error));
    EXPECT_EQ(error.rfind("cannot resolve 'no-such-host.invalid'", 0), 0u) << error;
}

TEST(KxctlDemo, NarratesAWholeSessionAndEndsWithZero) {
    const Outcome o = RunKxctl({"demo"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_TRUE(o.err.empty()) << o.err;
    // Every step, in order.
    std::size_t at = 0;
    for (const char* step :
         {"1. The simulator runs device ", "2. Discovery", "1 device answered in", "3. Connecting to ",
          "State             Connected", "4. Tuning tuner 1 to ", "5. Reception quality",
          "Tuner 1: locked onto a station (valid 1)", "Tuner 2: no station, only noise (valid 0)",
          "6. RDS texts", "7. Session closed.", "Done.\n"}) {
        const std::size_t next = o.out.find(step, at);
        ASSERT_NE(next, std::string::npos) << "missing after offset " << at << ": " << step << "\n" << o.out;
        at = next;
    }
    EXPECT_NE(o.out.find(Sim::DefaultUnitId(0)), std::string::npos);
    // The RDS step shows the tuned station's name as the device sent it.
    const std::size_t rds = o.out.find("6. RDS texts");
    const std::size_t tune = o.out.find("4. Tuning tuner 1 to ");
    const std::size_t quote = o.out.find("(station \"", tune);
    ASSERT_NE(quote, std::string::npos);
    const std::size_t name_start = quote + 10;
    const std::string name = o.out.substr(name_start, o.out.find('"', name_start) - name_start);
    EXPECT_FALSE(name.empty());
    EXPECT_NE(o.out.find(name, rds), std::string::npos) << o.out;
    // The closing line carries the simulator's own counts: at least the handshake and the readings.
    const std::string closing = "7. Session closed. The device received ";
    const std::size_t counts = o.out.find(closing);
    ASSERT_NE(counts, std::string::npos);
    EXPECT_GE(std::stoi(o.out.substr(counts + closing.size())), 8) << o.out;
}

}  // namespace
