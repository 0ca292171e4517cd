// Every kxctl command in-process against the simulator on 127.0.0.1, and failures: exit 1 with one line
// naming the reason and the debug log file.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "kxctl/kxctl_lib.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "temp_folder.h"

#ifdef NORVANE_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs a command line in-process through kxctl's own parsing and commands; `adjust` may change the
// console (terminal flags, interruption) first.
Outcome RunKxctl(const std::vector<std::string>& args,
                 const std::function<void(Kxctl::Console&)>& adjust = {}) {
    std::vector<const char*> argv = {"kxctl"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    std::ostringstream out, err;
    Kxctl::Settings settings;
    const Kxctl::ParseOutcome parsed =
        Kxctl::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings, out, err);
    Kxctl::Console console{out, err};
    if (parsed.run && adjust) {
        adjust(console);
    }
    const int code = parsed.run ? Kxctl::Run(settings, console) : parsed.exit_code;
    return {code, out.str(), err.str()};
}

class KxctlSim : public ::testing::Test {
protected:
    void Start(const Sim::DeviceConfig& device = {}) {
        Sim::SimConfig config;
        config.devices = {device};
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
        device_ = platform::FormatEndpoint(sim_.DeviceAddress(0).Native());
        discovery_ = platform::FormatEndpoint(sim_.DiscoveryAddress().Native());
    }

    Sim::Simulator sim_;
    std::string device_;
    std::string discovery_;
};

TEST_F(KxctlSim, DiscoverPrintsTheDocumentOfEveryAnswerAndProgressOnATerminal) {
    Start();
    const Outcome o =
        RunKxctl({"discover", "--json", discovery_}, [](Kxctl::Console& c) { c.err_is_terminal = true; });
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out,
              "{\"devices\":[{\"address\":\"127.0.0.1\",\"audio_protocol\":2,\"control_protocol\":1,"
              "\"device_freq\":0,\"firmware\":1,\"hardware\":1,\"inputs\":2,\"port\":" +
                  std::to_string(sim_.DeviceAddress(0).GetPort()) +
                  ",\"rtp_port\":0,\"software\":1,\"unit_id\":\"SIM410-0001\"}]}\n");
    // A spinner line rewritten in place and blanked at the end, never a line break.
    EXPECT_EQ(o.err.rfind("\r| Waiting 3 s for devices to answer " + discovery_ + " 0.", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("\r/ "), std::string::npos);
    EXPECT_EQ(o.err.find('\n'), std::string::npos);
    const std::size_t blank = o.err.rfind('\r', o.err.size() - 2);
    EXPECT_EQ(o.err.substr(o.err.find_first_not_of(' ', blank + 1)), "\r");  // only blanks in between
}

TEST_F(KxctlSim, InfoReportsTheDevice) {
    Start({.tuners = 3,
           .device_freq = 44100,
           .rtp_port = 6100,
           .hardware = 7,
           .freqs = {94300, 88600, 107200}});
    const Outcome o = RunKxctl({"info", device_, "--json"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out,
              "{\"audio_protocol\":2,\"control_protocol\":1,\"device_freq\":44100,\"firmware\":1,"
              "\"frames_per_block\":192,\"hardware\":7,\"inputs\":3,\"rtp_port\":6100,\"software\":1,"
              "\"state\":\"Connected\",\"tuners\":[{\"freq\":94300},{\"freq\":88600},{\"freq\":107200}],"
              "\"unit_id\":\"SIM410-0001\"}\n");
}

// info asks the model first; the audio interface's values come in words.
TEST_F(KxctlSim, InfoShowsWhatTheOtherModelsReport) {
    struct Row {
        Sim::DeviceConfig device;
        bool json;
        std::vector<std::string> shows;
    } const rows[] = {
        {{.model = Sim::Model::kKx260, .control_protocol = 2},
         true,
         {R"("bypass":"off")",
          R"("input":{"freq":48000,"gain":"+4 dBu","select":"analog"},"inputs":2,"model":"KX260")"}},
        {{.model = Sim::Model::kKx260},
         false,
         {"\nInputs            2\n",
          "\nInput             analog, +4 dBu, 48000 Hz\nBypass            none\n"}},
        {{.model = Sim::Model::kKx9},
         true,
         {R"("model":"KX9")", R"("time_requests_answered":0,"time_requests_dropped":0)"}},
    };
    for (const Row& row : rows) {
        Start(row.device);
        const Outcome o = RunKxctl(row.json ? std::vector<std::string>{"info", device_, "--json"}
                                            : std::vector<std::string>{"info", device_});
        ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
        for (const std::string& part : row.shows) {
            EXPECT_NE(o.out.find(part), std::string::npos) << part << " in\n" << o.out;
        }
        sim_.Stop();
    }
}

TEST_F(KxctlSim, TuneSetsTheTunersGivenKeepsTheOthersAndRefusesTooMany) {
    Start({.tuners = 3, .freqs = {100500, 94300, 88600}});
    Outcome o = RunKxctl({"tune", device_, "107.2", "104800"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_EQ(o.out, "TUNER  FREQUENCY\n1      107.2 MHz\n2      104.8 MHz\n3      88.6 MHz\n");
    EXPECT_EQ(sim_.Tuners(0).at(0).freq, 107200);
    EXPECT_EQ(sim_.Tuners(0).at(1).freq, 104800);

    o = RunKxctl({"--json", "tune", device_, "88.1", "88.2", "88.3", "88.4"});
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.err, "kxctl: " + device_ +
                         " has 3 tuners; 4 frequencies given\nRun with --help for more information.\n");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(sim_.Counters(0).set_fm_freq, 1u);
}

TEST_F(KxctlSim, QualityAndRdsFollowTheTunedStation) {
    Start({.freqs = {94300, 87500}});  // Radio Aether, then noise
    Outcome o = RunKxctl({"quality", "--json", device_});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_NE(o.out.find("{\"tuners\":[{\"freq\":94300,\"multipath\":"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(",\"valid\":1},{\"freq\":87500,\"multipath\":"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(",\"valid\":0}]}\n"), std::string::npos) << o.out;

    o = RunKxctl({"rds", device_});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_NE(o.out.find("1      94.3 MHz   Radio \xC3\x86ther  "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\n2      87.5 MHz\n"), std::string::npos)
        << o.out;  // empty texts, no trailing blanks
}

TEST_F(KxctlSim, MonitorRedrawsEachRefreshInPlaceUntilInterrupted) {
    Start();
    bool tuned = false;
    const Outcome o = RunKxctl({"monitor", device_, "--interval", "0.05"}, [&](Kxctl::Console& c) {
        c.out_redraw = true;
        c.interrupted = [&] {
            if (static_cast<std::ostringstream&>(c.out).str().find("refresh 2") != std::string::npos) {
                return true;
            }
            // Between the refreshes another client retunes tuner 2.
            tuned = tuned || RunKxctl({"tune", device_, "100.5", "104.8"}).code == Kxctl::kExitOk;
            return false;
        };
    });
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const std::string title = "SIM410-0001 at " + device_ + ", refresh ";
    const std::size_t redraw =
        o.out.find("\x1b[4A\x1b[J");  // title, header and two tuners climbed and erased
    ASSERT_NE(redraw, std::string::npos) << o.out;
    EXPECT_EQ(o.out.find(title + "1 (Ctrl-C ends)\nTUNER  FREQUENCY  RSSI"), 0u) << o.out;
    EXPECT_LT(o.out.find("\n2      94.3 MHz "), redraw) << o.out;
    EXPECT_EQ(o.out.find(title + "2 (Ctrl-C ends)\n"), redraw + 7) << o.out;
    EXPECT_NE(o.out.find("\n2      104.8 MHz ", redraw), std::string::npos) << o.out;
}

TEST_F(KxctlSim, AHostileUnitIdReachesTheTerminalDefused) {
    // Sets the terminal's title, starts a line of its own, clears the screen (C1 CSI) and turns the text.
    Start({.unit_id = "\x1b]0;owned\x07\r\n\xC2\x9B"
                      "2J\xE2\x80\xAE"
                      "X"});
    const Outcome o = RunKxctl({"monitor", device_, "--count", "1"});  // info's tables: the output test
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_NE(o.out.find(r + "]0;owned" + r + r + r + r + "2J" + r + "X"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find_first_of("\x1b\x07\r"), std::string::npos);
}

TEST_F(KxctlSim, MonitorLevelsShowEachChannelOverTheLastRefresh) {
    Start({.freqs = {94300, 87500}});  // a station's tones at -6 dBFS, then noise
    const Outcome o = RunKxctl({"monitor", device_, "--levels", "--count", "2", "--interval", "0.5"});
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    // The second refresh's rows: the tones at -6.0 dBFS RMS (the levels are the unit test's), then noise.
    const std::size_t second = o.out.find("refresh 2 of 2\n");
    ASSERT_NE(second, std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\ntuner 1 right ", second), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("]  -6.0  ", o.out.find("\ntuner 1 left ", second)), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("inf", o.out.find("\ntuner 2 left ", second)), std::string::npos) << o.out;
}

#ifdef NORVANE_HAVE_SNDFILE
struct WavContent {
    int channels = 0;
    sf_count_t frames = 0;
    std::vector<float> peaks;  // per channel
};

WavContent ReadWav(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    WavContent wav{info.channels, info.frames, std::vector<float>(static_cast<std::size_t>(info.channels))};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        float& peak = wav.peaks[i % wav.peaks.size()];
        peak = std::max(peak, std::abs(samples[i]));
    }
    return wav;
}

TEST_F(KxctlSim, RecordWritesEveryChannelOfEveryTunerInOrderAndSumsThemUp) {
    Start({.freqs = {94300, 87500}});
    testing_support::TempFolder folder("kxctl-record");
    const std::string path = (folder.path() / "r.wav").string();
    const Outcome o = RunKxctl({"record", device_, "--seconds", "0.5005", "--out", path});  // 125.125 blocks
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const WavContent wav = ReadWav(path);
    ASSERT_EQ(wav.channels, 4);
    EXPECT_EQ(wav.frames, 24024);
    EXPECT_NEAR(wav.peaks[0], 0.5, 0.01);  // tuner 1 on its station: the tones
    EXPECT_NEAR(wav.peaks[1], 0.5, 0.01);
    EXPECT_TRUE(wav.peaks[2] > 0 && wav.peaks[2] < 0.1 && wav.peaks[3] > 0 && wav.peaks[3] < 0.1);  // noise
    EXPECT_NE(o.out.find("Recorded 0.50 s (24024 frames at 48000 Hz, 4 channels, 24-bit PCM) to " + path),
              std::string::npos)
        << o.out;
    for (const char* row :
         {"\ntuner 1 left   -6.0", "\ntuner 1 right  -6.0", "\ntuner 2 left ", "\ntuner 2 right ",
          "\ntuner 1  ", "\ntuner 2  ", "  SILENT  FILL  BAD  RELOCKS\n",
          "\nBlocks dropped because the writer fell behind: 0.\n"}) {
        EXPECT_NE(o.out.find(row), std::string::npos) << row << "\n" << o.out;
    }
}

TEST_F(KxctlSim, RecordEndsOnCtrlCWithACompleteFileAndTheSummary) {
    Start();
    testing_support::TempFolder folder("kxctl-record");
    const std::filesystem::path path = folder.path() / "r.wav";
    Kxctl::CatchInterrupts();
    const Outcome o = RunKxctl({"record", device_, "--json", "--seconds", "20", "--out", path.string()},
                               [&](Kxctl::Console& c) {
                                   c.interrupted = [&] {
                                       std::error_code error;
                                       if (std::filesystem::file_size(path, error) > 50000 && !error) {
                                           std::raise(SIGINT);
                                       }
                                       return Kxctl::InterruptRequested();
                                   };
                               });
    std::signal(SIGINT, SIG_DFL);
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    const WavContent wav = ReadWav(path);
    EXPECT_EQ(wav.channels, 4);
    EXPECT_TRUE(wav.frames > 4000 && wav.frames < 20 * 48000) << wav.frames;
    // The summary counts what the file holds; nothing precedes it on a pipe.
    EXPECT_EQ(o.out.find("{\"channels\":[{\"channel\":\"tuner 1 left\",\"peak_dbfs\":"), 0u) << o.out;
    for (const std::string& part :
         std::vector<std::string>{",\"frames\":" + std::to_string(wav.frames) + ",\"interrupted\":true,",
                                  "\"streams\":[{\"bad_blocks\":0,", "},{\"bad_blocks\":0,"}) {
        EXPECT_NE(o.out.find(part), std::string::npos) << part << "\n" << o.out;
    }
}
#endif

TEST(KxctlDemo, NarratesAWholeSessionInOrder) {
    testing_support::TempFolder folder("kxctl-demo");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());  // the demo records to demo.wav in the current folder
    const Outcome o = RunKxctl({"demo"});
    std::filesystem::current_path(previous);
    ASSERT_EQ(o.code, Kxctl::kExitOk) << o.err;
    EXPECT_GT(std::filesystem::file_size(folder.path() / "demo.wav"), 144000u * 12);
    std::size_t at = 0;
    for (const char* step :
         {"1. The simulator runs device SIM410-0001", "2. Discovery", "1 device answered in",
          "3. Connecting to ", "State             Connected",
          "4. Tuning tuner 1 to 94.3 MHz (station \"Radio \xC3\x86ther\")", "5. Reception quality",
          "Tuner 1: locked onto a station (valid 1), stereo pilot present",
          "Tuner 2: no station, only noise (valid 0)", "6. RDS texts", "Radio \xC3\x86ther",
          "7. Recording 3 seconds",
          "Recorded 3.00 s (144000 frames at 48000 Hz, 4 channels, 24-bit PCM) to demo.wav.", "tuner 2 right",
          "8. Session closed.", "Done.\n"}) {
        at = o.out.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << o.out;
    }
}

void ExpectFailure(const Outcome& o, const std::string& reason) {
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "");
    const std::string marker = " (debug log: ";
    const std::size_t at = o.err.find(marker);
    ASSERT_EQ(o.err.rfind("kxctl: " + reason, 0), 0u) << o.err;
    ASSERT_TRUE(at != std::string::npos && o.err.ends_with(")\n")) << o.err;
    const std::string path = o.err.substr(at + marker.size(), o.err.size() - at - marker.size() - 2);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::u8string(path.begin(), path.end()))) << path;
}

struct FailureCase {
    const char* name;
    Sim::Faults faults;
    std::string command;
    std::string reason;  // what the line starts with
};

class KxctlFailure : public KxctlSim, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KxctlFailure, EndsWithOneAndALineNamingTheReasonAndTheLog) {
    Start({.faults = GetParam().faults});
    ExpectFailure(RunKxctl({GetParam().command, device_}), GetParam().reason);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reasons, KxctlFailure, ::testing::Values(
    FailureCase{"Silent", {.in = {.loss = 1.0}}, "info", "cannot connect to "},
    FailureCase{"FreqList", {.list_length_delta = 1, .list_keys = {"freq"}}, "rds", "reading the tuners' frequencies failed"},
    FailureCase{"QualityList", {.list_length_delta = 1, .list_keys = {"rssi"}}, "quality", "reading the reception quality failed"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(KxctlUnresolvable, HostEndsWithOne) {
    ExpectFailure(RunKxctl({"info", "no-such-host.invalid"}), "cannot resolve 'no-such-host.invalid'");
}

}  // namespace
